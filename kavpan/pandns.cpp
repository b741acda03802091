// DNS messages: header, questions and resource records with names expanded
// through compression pointers.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "panapp.h"

namespace {

const char *const k_rrtypes[] = {
    nullptr,
    "A (host address)",
    "NS (nameserver)",
    "MD (mail destination)",
    "MF (mail forwarder)",
    "CNAME (canonical name for alias)",
    "SOA (start of authority)",
    "MB (mailbox)",
    "MG (mail group member)",
    "MR (mail rename name)",
    "NULL (null RR)",
    "WKS (well-known service)",
    "PTR (pointer)",
    "HINFO (host info)",
    "MINFO (mailbox info)",
    "MX (mail exchange)",
    "TXT (text strings)",
    "RP (responsible person)",
    "AFSDB (AFS database location)",
    "X25 (X25 address)",
    "ISDN (ISDN address)",
    "RT (route through)",
    "NSAP (NSAP address)",
    "NSAP-PTR (NSAP pointer)",
    "SIG (security signature)",
    "KEY (security key)",
    "PX (X.400 mapping info)",
    "GPOS (geographical position)",
    "AAAA (IPv6 address)",
    "LOC (location info)",
    "NXT (next domain)",
    "EID (endpoint id)",
    "NIMLOC (Nimrod locator)",
    "SRV (server selection)",
    "ATMA (ATM address)",
    "NAPTR (naming authority pointer)",
    "KX (key exchanger)",
    "CERT",
    "A6",
    "DNAME",
};

const char *dnsclass2txt(unsigned c) {
  static char buf[33];
  switch (c) {
    case 1: return "IN (Internet)";
    case 3: return "CH (CHAOS)";
    case 4: return "HS (HESIOD)";
    case 255: return "ANY";
    default: snprintf(buf, sizeof buf, "<%u>", c); return buf;
  }
}

const char *rcode2txt(unsigned r) {
  static const char *const names[] = {"NoError (ok)",
                                      "FormErr (format error)",
                                      "ServFail (server failure)",
                                      "NXDOMAIN (non-existent domain)",
                                      "NotImp (not implemented)",
                                      "Refused (query refused)",
                                      "YXDOMAIN (domain exists unexpectedly)",
                                      "YXRRSET (RR set exists unexpectedly)",
                                      "NXRRSET (non-existent RR set)",
                                      "NotAuth (server not authoritative for zone)",
                                      "NotZone (name not contained in zone)"};
  static char buf[40];
  if (r <= 10) return names[r];
  snprintf(buf, sizeof buf, "<%d> (unrecognised RCODE)", int(r));
  return buf;
}

const char *opcode2txt(unsigned op) {
  static char buf[16];
  switch (op) {
    case 0: return "Standard";
    case 1: return "Inverse";
    case 2: return "Status";
    case 4: return "Notify";
    case 5: return "Update";
    default: snprintf(buf, sizeof buf, "<%d>", int(op)); return buf;
  }
}

const char *yn(unsigned b) { return b ? "Yes" : "No"; }
const char *cmpr(int c) { return c ? " CMPR" : ""; }

// The numbered domain line of question or record i; sets *err on a name error.
int print_domain(const kav_view &m, int off, int i, int *err) {
  char name[304];
  int cmp = 0;
  int n = parse_dns_name(m, off, name, err, &cmp);
  kavprt(4, "+%s: - %d\n+%s:\tDomain: <%s>%s\n", "DNS", i, "DNS", name, cmpr(cmp));
  return n;
}

// The RDATA text of one record: appended to, cut at its capacity.
struct rdtext {
  char b[1025];
  int n = 0;
  rdtext() { b[0] = 0; }
  bool full() const { return n >= int(sizeof b) - 1; }
  void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (full()) return;
    va_list ap;
    va_start(ap, fmt);
    int w = vsnprintf(b + n, sizeof b - size_t(n), fmt, ap);
    va_end(ap);
    if (w > 0) n = n + w < int(sizeof b) - 1 ? n + w : int(sizeof b) - 1;
  }
};

// Readers of RDATA fields inside the message; a field that runs past the
// message sets cut and reads as empty (or as much of a string as is there).
struct rdreader {
  const kav_view &m;
  bool cut = false;
  int name(int at, char *out, int *compressed) {
    int err = 0;
    int n = parse_dns_name(m, at, out, &err, compressed);
    if (err) cut = true;
    return n;
  }
  // A character string (length octet and text); returns the octets it
  // occupies per its length octet.
  int str(int at, kav_view *s) {
    uint32_t l = 0;
    if (!m.get8(at, l)) {
      cut = true;
      *s = kav_view();
      return 1;
    }
    if (!m.exact(at + 1, l, *s)) {
      cut = true;
      *s = m.sub(at + 1, int(l));
    }
    return 1 + int(l);
  }
  uint32_t num(int at, int n) {
    uint32_t v = 0;
    bool ok = n == 2 ? m.get16(at, v) : m.get32(at, v);
    if (!ok) cut = true;
    return v;
  }
};

// Builds the RDATA text of a record of the given type at roff; returns the
// octets the decoding used, or -1 for types whose count is not compared.
int rdata(const kav_view &m, unsigned type, int roff, int rdlen, rdtext &t) {
  rdreader r{m};
  char n1[304], n2[304];
  int c1 = 0, c2 = 0, used = -1;
  kav_view s1, s2, s3;
  auto sv = [](const kav_view &s) { return s.base ? (const char *)s.base : ""; };
  switch (type) {
    case 1: {
      unsigned char a[4];
      if (m.copy(roff, 4, a))
        t.add("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
      else
        r.cut = true;
      used = 4;
      break;
    }
    case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 12: case 23:
      used = r.name(roff, n1, &c1);
      t.add("<%s>%s", n1, cmpr(c1));
      break;
    case 6: {
      int a = r.name(roff, n1, &c1);
      int b = r.name(roff + a, n2, &c2);
      int v = roff + a + b;
      t.add("MNAME: <%s>%s\n\t\tRNAME: <%s>%s\n\t\tSerial: %lu", n1, cmpr(c1), n2, cmpr(c2),
            (unsigned long)r.num(v, 4));
      t.add("\n\t\tRefresh: %lu", (unsigned long)r.num(v + 4, 4));
      t.add("\n\t\tRetry: %lu", (unsigned long)r.num(v + 8, 4));
      t.add("\n\t\tExpire: %lu", (unsigned long)r.num(v + 12, 4));
      t.add("\n\t\tMin TTL: %lu", (unsigned long)r.num(v + 16, 4));
      used = a + b + 20;
      break;
    }
    case 11: {
      unsigned char a[4];
      uint32_t proto = 0;
      if (!m.copy(roff, 4, a) || !m.get8(roff + 4, proto)) {
        r.cut = true;
        break;
      }
      t.add("IP address: %u.%u.%u.%u", a[0], a[1], a[2], a[3]);
      t.add("\n\t\tIP protocol: %s", kav_l4proto2nam(proto));
      t.add("\n\t\tServices: ");
      bool first = true;
      for (int i = 5; i < rdlen && !t.full(); i++) {
        uint32_t bits = m.u8(roff + i);
        for (int k = 0; k < 8; k++)
          if (bits & (0x80u >> k)) {
            t.add("%s%s", first ? "" : ", ", kav_l5proto2nam((i - 5) * 8 + k, KAV_IPPROTO_TCP));
            first = false;
          }
      }
      break;
    }
    case 13: {
      int a = r.str(roff, &s1);
      int b = r.str(roff + a, &s2);
      t.add("CPU: %.*s (%d octets)\n\t\tOS: %.*s (%d octets)", s1.size(), sv(s1), a - 1, s2.size(), sv(s2), b - 1);
      used = a + b;
      break;
    }
    case 14: {
      int a = r.name(roff, n1, &c1);
      int b = r.name(roff + a, n2, &c2);
      t.add("RMAILBX:");
      t.add(" <%s>%s\n\t\tEMAILBX: <%s>%s", n1, cmpr(c1), n2, cmpr(c2));
      used = a + b;
      break;
    }
    case 15:
    case 21: {
      long pref = long(r.num(roff, 2));
      int a = r.name(roff + 2, n1, &c1);
      t.add("Preference=%ld, %s=<%s>%s", pref, type == 15 ? "Exchange" : "intermediate-host", n1, cmpr(c1));
      used = a + 2;
      break;
    }
    case 16: {
      used = 0;
      for (int j = 1; used < rdlen && !r.cut; j++) {
        int a = r.str(roff + used, &s1);
        int l = a - 1;
        t.add("%sText %d (%d octet%s): %.*s", j == 1 ? "" : "\n\t\t", j, l, l == 1 ? "" : "s", s1.size(), sv(s1));
        used += a;
      }
      break;
    }
    case 17: {
      int a = r.name(roff, n1, &c1);
      int b = r.name(roff + a, n2, &c2);
      t.add("Mbox: <%s>%s\n\t\t", n1, cmpr(c1));
      t.add("Txt:");
      t.add(" <%s>%s\n", n2, cmpr(c2));
      used = a + b;
      break;
    }
    case 18: {
      long sub = long(r.num(roff, 2));
      int a = r.name(roff + 2, n1, &c1);
      t.add("Subtype=%ld, Hostname=<%s>%s", sub, n1, cmpr(c1));
      used = a + 2;
      break;
    }
    case 19:
      used = r.str(roff, &s1);
      t.add("<%.*s>", s1.size(), sv(s1));
      break;
    case 20: {
      int a = r.str(roff, &s1);
      t.add("<%.*s>", s1.size(), sv(s1));
      used = a;
      if (rdlen != a && !r.cut) {
        used += r.str(roff + a, &s2);
        t.add(", sa=<%.*s>", s2.size(), sv(s2));
      }
      break;
    }
    case 26: {
      long pref = long(r.num(roff, 2));
      int a = r.name(roff + 2, n1, &c1);
      int b = r.name(roff + 2 + a, n2, &c2);
      t.add("Preference: %ld\n\t\tMap822: <%s>%s\n\t\tMapX400: <%s>%s\n", pref, n1, cmpr(c1), n2, cmpr(c2));
      used = a + b + 2;
      break;
    }
    case 27: {
      int a = r.str(roff, &s1);
      int b = r.str(roff + a, &s2);
      int c = r.str(roff + a + b, &s3);
      t.add("Longitude: %.*s\n\t\t", s1.size(), sv(s1));
      t.add("Latitude: %.*s\n\t\t", s2.size(), sv(s2));
      t.add("Altitude: %.*s\n\t\t", s3.size(), sv(s3));
      used = a + b + c;
      break;
    }
    case 30: {
      int a = r.name(roff, n1, &c1);
      int bm = rdlen - a > 0 ? rdlen - a : 0;
      t.add("<%s>%s\n\t\tBit map (%d octet%s):", n1, cmpr(c1), bm, bm == 1 ? "" : "s");
      for (int i = 0; i < bm && !t.full(); i++) t.add(" %02x", m.u8(roff + a + i));
      break;
    }
    default:
      for (int i = 0; i < rdlen && !t.full(); i++) t.add(" %02x", m.u8(roff + i));
      break;
  }
  if (r.cut) t.add("\n\t*TRUNCATED* RDATA runs past the end of the message");
  return used;
}

}  // namespace

const char *dnsrrtyp2txt(unsigned type) {
  static char buf[65];
  if (type >= 1 && type < sizeof k_rrtypes / sizeof k_rrtypes[0]) return k_rrtypes[type];
  switch (type) {
    case 100: return "UINFO";
    case 101: return "UID";
    case 102: return "GID";
    case 103: return "UNSPEC";
    case 249: return "TKEY (transaction key)";
    case 250: return "TSIG (transaction signature)";
    case 251: return "TXFR (incremental transfer)";
    case 252: return "AXFR (transfer entire zone)";
    case 253: return "MAILB (mailbox RRs)";
    case 254: return "MAILA (mail agent RRs)";
    case 255: return "ANY (all records)";
    default: snprintf(buf, sizeof buf, "<QTYPE=%u>", type); return buf;
  }
}

char *secs2txt(int secs) {
  static char buf[133];
  buf[0] = 0;
  if (secs <= 0) return buf;
  const int parts[4] = {secs / 86400, secs % 86400 / 3600, secs % 3600 / 60, secs % 60};
  static const char *const units[4] = {"day", "hour", "minute", "second"};
  size_t n = 0;
  for (int i = 0; i < 4; i++)
    if (parts[i]) {
      n += size_t(snprintf(buf + n, sizeof buf - n, "%s%d %s%s", n ? ", " : "", parts[i], units[i],
                           parts[i] == 1 ? "" : "s"));
      if (n >= sizeof buf) break;
    }
  return buf;
}

int parse_dns_name(kav_view msg, int off, char *out, int *err, int *compressed) {
  int len = msg.size();
  int pos = off, jumps = 0, end = -1, n = 0, stop;
  bool bad = false;
  out[0] = 0;
  for (;;) {
    uint32_t b = 0, lo = 0;
    if (!msg.get8(pos, b)) {
      bad = true;
      stop = pos;
      break;
    }
    if ((b & 0xC0) == 0xC0) {
      if (!msg.get8(pos + 1, lo)) {
        bad = true;
        stop = pos;
        break;
      }
      if (end < 0) end = pos + 2;
      // A loop of pointers ends here: the tenth is never followed.
      if (jumps == 9) {
        bad = true;
        stop = pos;
        break;
      }
      jumps++;
      pos = int(((b << 8) | lo) & 0x3FFF);
      continue;
    }
    if (b == 0) {
      stop = pos + 1;
      break;
    }
    if (int(b) > len - pos - 1 || n + int(b) > 299) {
      bad = true;
      stop = pos + 1;
      break;
    }
    msg.copy(pos + 1, int(b), out + n);
    n += int(b);
    out[n++] = '.';
    out[n] = 0;
    pos += 1 + int(b);
  }
  if (bad && err) *err = 1;
  int c = end >= 0;
  if (compressed) *compressed = c;
  return (c ? end : stop) - off;
}

int parse_dns_rr(kav_view m, int off, int count, int *err, const char *section) {
  const char *T = "DNS";
  int local = 0;
  if (!err) err = &local;
  kavprt(4, "+%s: %s RRs\n", T, section);
  for (int i = 1; i <= count; i++) {
    int e = 0;
    int n = print_domain(m, off, i, &e);
    if (e) {
      kavprt(4, "NB: RR truncated %s domain-name.\n", "in");
      *err = 1;
      return off + n;
    }
    off += n;
    uint32_t type = 0, cls = 0, ttl = 0, rdlen = 0;
    if (!m.has(off, 10) || !m.get16(off + 8, rdlen) || !m.has(off + 10, int(rdlen))) {
      kavprt(4, "NB: RR truncated %s domain-name.\n", "after");
      *err = 1;
      return off;
    }
    m.get16(off, type);
    m.get16(off + 2, cls);
    m.get32(off + 4, ttl);
    kavprt(4, "+%s:\tType=%s, Class=%s\n", T, dnsrrtyp2txt(type), dnsclass2txt(cls));
    kavprt(4, "+%s:\tTTL=%d (%s)\n", T, int(ttl), secs2txt(int(ttl)));
    rdtext t;
    int used = rdata(m, type, off + 10, int(rdlen), t);
    if (used >= 0 && used != int(rdlen)) t.add("\n\t*ERROR* actual Datalen=%d", used);
    kavprt(4, "+%s:\tRDATA follows (%d bytes):\n+%s:\t%s\n", T, int(rdlen), T, t.b);
    off += 10 + int(rdlen);
  }
  return off;
}

void parse_dns_msg(kav_view m) {
  const char *T = "DNS";
  int len = m.size();
  uint32_t f1 = m.u8(2), f2 = m.u8(3);
  uint32_t qd = m.u16(4), an = m.u16(6), ns = m.u16(8), ar = m.u16(10);
  const char *dir = (f1 & 0x80) ? "ANS" : "QRY";
  if (kav_vblvl != 4) {
    if (len >= 12)
      kavprt(1, "%s - %d,%d,%d,%d", dir, int(qd), int(an), int(ns), int(ar));
    else if (len >= 3)
      kavprt(1, "%s - header truncated", dir);
    else
      kavprt(1, "DNS header truncated");
    return;
  }
  if (len > 0) {
    uint32_t id = m.u16(0);
    kavprt(4, "+%s: Query ID = %d (0x%02X)\n", T, int(id), id);
    kavprt(4, "+%s: Operation (QR): %s\n", T, (f1 & 0x80) ? "Response" : "Query");
    kavprt(4, "+%s: Query Type (Opcode): %s", T, opcode2txt((f1 >> 3) & 0xF));
    kavprt(4, "\n+%s: Authoritative Answer (AA): %s\n", T, yn(f1 & 0x04));
    kavprt(4, "+%s: Message Truncated (TC): %s\n", T, yn(f1 & 0x02));
    kavprt(4, "+%s: Recursion Requested (RD): %s\n", T, yn(f1 & 0x01));
    kavprt(4, "+%s: Recursion Available (RA): %s\n", T, yn(f2 & 0x80));
    kavprt(4, "+%s: Response Type (RCODE): %s\n", T, rcode2txt(f2 & 0x0F));
  }
  if (len > 4) {
    kavprt(4, "+%s: Number of Questions: %d\n", T, int(qd));
    kavprt(4, "+%s: Number of Answer RRs: %d\n", T, int(an));
  }
  if (len > 8) {
    kavprt(4, "+%s: Number of Authority RRs: %d\n", T, int(ns));
    kavprt(4, "+%s: Number of Additional RRs: %d\n", T, int(ar));
  }
  if (len < 12) {
    kavprt(4, "NB: Rest of header missing (datagram truncated)\n");
    return;
  }
  int off = 12;
  if (qd > 0) {
    kavprt(4, "+%s: QUESTIONS\n", T);
    for (int i = 1; i <= int(qd) && off < len; i++) {
      int e = 0;
      int n = print_domain(m, off, i, &e);
      if (e) {
        kavprt(4, "NB: Question truncated %s domain-name.\n", "in");
        return;
      }
      off += n;
      uint32_t type = 0, cls = 0;
      if (!m.get16(off, type) || !m.get16(off + 2, cls)) {
        kavprt(4, "NB: Question truncated %s domain-name.\n", "after");
        return;
      }
      kavprt(4, "+%s:\tType=%s, Class=%s\n", T, dnsrrtyp2txt(type), dnsclass2txt(cls));
      off += 4;
    }
  }
  const struct {
    uint32_t count;
    const char *name;
  } sections[] = {{an, "ANSWER"}, {ns, "AUTHORITY"}, {ar, "ADDITIONAL"}};
  int err = 0;
  for (const auto &s : sections) {
    if (s.count == 0) continue;
    off = parse_dns_rr(m, off, int(s.count), &err, s.name);
    if (err) return;
  }
}
