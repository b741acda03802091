// OSPF version 2 packets: the type in the summary, every field and LSA at
// verbosity 4.
#include <cstring>

#include "pansupp.h"

namespace {

const char *ospf_typ2nam(unsigned t) {
  static const char *const names[] = {nullptr, "Hello", "Database Description", "Link State Request",
                                      "Link State Update", "Link State Acknowledgement"};
  static char buf[16];
  if (t >= 1 && t <= 5) return names[t];
  snprintf(buf, sizeof buf, "<%d>", int(t));
  return buf;
}

// ---- OSPF (verbosity 4) -------------------------------------------------------

const char *ospf_auth2nam(unsigned t) {
  static char buf[16];
  switch (t) {
    case 0: return "Null Authentication";
    case 1: return "Simple Password";
    case 2: return "Cryptographic Authentication";
    default: snprintf(buf, sizeof buf, "<%d>", int(t)); return buf;
  }
}

const char *ospf_lsa2nam(unsigned t) {
  static const char *const names[] = {nullptr, "Router-LSA", "Network-LSA", "IP-Summary-LSA", "ASBR-Summary-LSA",
                                      "AS-External-LSA"};
  static char buf[16];
  if (t >= 1 && t <= 5) return names[t];
  snprintf(buf, sizeof buf, "<%d>", int(t));
  return buf;
}

// Texts of the options octet: names of the set bits joined by ",".
const char *parse_ospf_options(unsigned o) {
  static char buf[32];
  static const struct {
    unsigned bit;
    const char *name;
  } bits[] = {{0x02, "E"}, {0x04, "MC"}, {0x08, "N/P"}, {0x10, "EA"}, {0x20, "DC"}};
  buf[0] = 0;
  for (const auto &b : bits)
    if (o & b.bit) {
      size_t l = strlen(buf);
      snprintf(buf + l, sizeof buf - l, "%s%s", l ? "," : "", b.name);
    }
  return buf;
}

struct quad {
  unsigned a, b, c, d;
};
quad q4(uint32_t v) { return {v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255}; }

// Prints one LSA (or only its header); returns the octets it covered.
int parse_ospf_lsa(const kav_view &lsa, bool hdr_only) {
  const char *T = "OSPF";
  char pfx[16], sub[16];
  snprintf(pfx, sizeof pfx, "+%s:%*s", T, 3, "");
  snprintf(sub, sizeof sub, "+%s:%*s", T, 5, "");
  int avail = lsa.size();
  uint32_t a = 0, b = 0, c = 0;
  uint32_t ltype = 0, length = 0;
  if (lsa.get16(0, a) && lsa.get8(2, b) && lsa.get8(3, ltype)) {
    kavprt(4, "%sLSA Age = %ld secs\n", pfx, long(a));
    kavprt(4, "+%s: Options = <%s> (0x%x)\n", T, parse_ospf_options(b), b);
    kavprt(4, "%sLSA Type = %s (%d)\n", pfx, ospf_lsa2nam(ltype), int(ltype));
  }
  if (lsa.get32(4, a)) {
    quad q = q4(a);
    kavprt(4, "%sLink State ID = %lu (%d.%d.%d.%d)\n", pfx, (unsigned long)a, q.a, q.b, q.c, q.d);
  }
  if (lsa.get32(8, a)) {
    quad q = q4(a);
    kavprt(4, "%sAdvertising Router = %d.%d.%d.%d\n", pfx, q.a, q.b, q.c, q.d);
  }
  if (lsa.get32(12, a)) kavprt(4, "%sLSA Sequence Number = %lu\n", pfx, (unsigned long)a);
  if (lsa.get16(16, a) && lsa.get16(18, length)) {
    kavprt(4, "%sChecksum = 0x%04X\n", pfx, a);
    kavprt(4, "%sLSA Length = %ld bytes\n", pfx, long(length));
  }
  if (avail < 20) {
    kavprt(4, "WARNING: LSA header is truncated (by %d bytes)\n", 20 - avail);
    return avail;
  }
  if (hdr_only) return 20;
  // A stated length below the header would never advance the caller's walk.
  int ln = int(length) < 20 ? 20 : int(length);
  if (avail < ln) kavprt(4, "WARNING: LSA is truncated (by %d bytes)\n", ln - avail);
  kav_view v = lsa.first(ln);
  int lim = v.size();
  kavprt(4, "%s%4stype-specific LSA body follows\n", pfx, "");
  quad q;
  switch (ltype) {
    case 1: {
      if (v.get8(20, a) && v.get8(21, b))
        kavprt(4, "%sV=%s, E=%s%s, B=%s%s (0x%x:0x%x)\n", sub, (a & 4) ? "Y" : "N", (a & 2) ? "Y" : "N",
               (a & 2) ? " (AS boundary router)" : "", (a & 1) ? "Y" : "N", (a & 1) ? " (area border router)" : "", a, b);
      uint32_t nlinks = 0;
      if (!v.get16(22, nlinks)) break;
      kavprt(4, "%sNo. of Router Links = %ld\n", sub, long(nlinks));
      int off = 24;
      for (unsigned i = 0; i < nlinks && off < lim; i++) {
        kavprt(4, "%s- Router Link %d follows:\n", sub, int(i + 1));
        uint32_t id = 0, data = 0, type = 0, ntos = 0, metric = 0;
        bool have_type = v.get8(off + 8, type);
        static const char *const kinds[] = {nullptr, "Point-to-point connection to another router",
                                            "connection to a transit network", "connection to a stub network",
                                            "virtual link"};
        static const char *const ids[] = {nullptr, "neighbouring router's Router ID", "IP address of Designated Router",
                                          "IP network/subnet number", "neighbouring router's Router ID"};
        bool known = have_type && type >= 1 && type <= 4;
        if (v.get32(off, id)) {
          q = q4(id);
          kavprt(4, "%sLink ID = %d.%d.%d.%d (%s)\n", sub, q.a, q.b, q.c, q.d, known ? ids[type] : "*Unknown*");
        }
        if (v.get32(off + 4, data)) {
          q = q4(data);
          kavprt(4, "%sLink Data = %lu (%d.%d.%d.%d)\n", sub, (unsigned long)data, q.a, q.b, q.c, q.d);
        }
        if (have_type) kavprt(4, "%sLink Type = %s (%d)\n", sub, known ? kinds[type] : "*Unknown*", int(type));
        bool have_ntos = v.get8(off + 9, ntos);
        if (v.get16(off + 10, metric)) kavprt(4, "%sLink Metric = %ld\n", sub, long(metric));
        if (!have_ntos) break;
        kavprt(4, "%sNo. of TOS metrics for this link: %d\n", sub, int(ntos));
        for (unsigned j = 0; j < ntos; j++) {
          int t = off + 12 + 4 * int(j);
          uint32_t tos, res, m;
          if (!v.get8(t, tos) || !v.get8(t + 1, res) || !v.get16(t + 2, m)) {
            kavprt(4, "%sTOS Metrics truncated\n", sub);
            break;
          }
          kavprt(4, "%sTOS Metric %d: TOS = 0x%x, Metric = %ld (Reserved=%d)\n", sub, int(j + 1), tos, long(m), int(res));
        }
        off += 12 + 4 * int(ntos);
      }
      break;
    }
    case 2: {
      if (v.get32(20, a)) {
        q = q4(a);
        kavprt(4, "%sNetwork Mask = %d.%d.%d.%d\n", sub, q.a, q.b, q.c, q.d);
      }
      int n = (ln - 24) / 4;
      kavprt(4, "%s%d Attached Router%s follow%s%s\n", sub, n, n == 1 ? "" : "s", n == 1 ? "s" : "", n > 0 ? ":" : "");
      for (int i = 0; i < n && v.get32(24 + 4 * i, a); i++) {
        q = q4(a);
        kavprt(4, "%s- Router %d = %d.%d.%d.%d\n", sub, i + 1, q.a, q.b, q.c, q.d);
      }
      break;
    }
    case 3:
    case 4: {
      if (v.get32(20, a)) {
        q = q4(a);
        kavprt(4, "%sNetwork Mask = %d.%d.%d.%d\n", sub, q.a, q.b, q.c, q.d);
      }
      if (v.get8(24, b) && v.get24(25, c)) kavprt(4, "%sMetric = %ld (Reserved=%d)\n", sub, long(c), int(b));
      int n = (ln - 28) / 4;
      kavprt(4, "%s%d TOS-specific metric%s follow%s\n", sub, n, n == 1 ? "" : "s", n == 1 ? "s" : "");
      for (int i = 0; i < n && v.get8(28 + 4 * i, b) && v.get24(29 + 4 * i, c); i++)
        kavprt(4, "%sTOS Metric %d: TOS = 0x%x, Metric = %ld\n", sub, i + 1, b, long(c));
      break;
    }
    case 5: {
      if (v.get32(20, a)) {
        q = q4(a);
        kavprt(4, "%sNetwork Mask = %d.%d.%d.%d\n", sub, q.a, q.b, q.c, q.d);
      }
      if (v.get8(24, b)) kavprt(4, "%sE=%s (Type %d external metric)\n", sub, (b & 0x80) ? "Y" : "N", (b & 0x80) ? 2 : 1);
      if (v.get24(25, c)) kavprt(4, "%sMetric = %ld\n", sub, long(c));
      int n = (ln - 28) / 12;
      kavprt(4, "%s%d External Destination%s Follow%s\n", sub, n, n == 1 ? "" : "s", n == 1 ? "s" : "");
      for (int i = 0; i < n; i++) {
        int off = 28 + 12 * i;
        uint32_t fwd, tag, et, m;
        if (!v.get32(off, fwd) || !v.get32(off + 4, tag) || !v.get8(off + 8, et) || !v.get24(off + 9, m)) break;
        kavprt(4, "%s- Destination %d:\n", sub, i + 1);
        q = q4(fwd);
        kavprt(4, "%sForwarding Address = %d.%d.%d.%d\n", sub, q.a, q.b, q.c, q.d);
        q = q4(tag);
        kavprt(4, "%sExternal Route Tag = %ld (%d.%d.%d.%d)\n", sub, long(tag), q.a, q.b, q.c, q.d);
        kavprt(4, "%sE=%s, TOS = 0x%x, TOS Metric = %ld\n", sub, (et & 0x80) ? "Y" : "N", et & 0x7F, long(m));
      }
      break;
    }
    default: kav_dumpv(v.from(20)); break;
  }
  return lim;
}

// Walks LSA headers (or whole LSAs) from off while below lim; returns where it stopped.
int ospf_lsa_walk(const kav_view &body, int off, int lim, bool hdr_only) {
  const char *T = "OSPF";
  for (int i = 1; off < lim; i++) {
    if (hdr_only)
      kavprt(4, "+%s: - LSA header %d follows:\n", T, i);
    else
      kavprt(4, "+%s: - LSA %d follows:\n", T, i);
    int used = parse_ospf_lsa(body.sub(off, lim - off), hdr_only);
    if (used <= 0) break;
    off += used;
  }
  return off;
}

void ospf(const kav_view &pdu) {
  const char *T = "OSPF";
  int len = pdu.size();
  uint32_t ver = 0, type = 0, plen = 0, a = 0, at = 0, cks = 0;
  quad q;
  if (pdu.get8(0, ver) && pdu.get8(1, type) && pdu.get16(2, plen)) {
    kavprt(4, "+%s: Version = %d\n", T, int(ver));
    kavprt(4, "+%s: Packet Type = %s (%d)\n", T, ospf_typ2nam(type), int(type));
    kavprt(4, "+%s: Packet Length = %ld\n", T, long(plen));
  }
  if (pdu.get32(4, a)) {
    q = q4(a);
    kavprt(4, "+%s: Router ID = 0x%lx (%d.%d.%d.%d)\n", T, (unsigned long)a, q.a, q.b, q.c, q.d);
  }
  if (pdu.get32(8, a)) {
    q = q4(a);
    kavprt(4, "+%s: Area ID = 0x%lx (%d.%d.%d.%d)\n", T, (unsigned long)a, q.a, q.b, q.c, q.d);
  }
  bool have_at = pdu.get16(12, cks) && pdu.get16(14, at);
  if (have_at) {
    kavprt(4, "+%s: Checksum = 0x%04X\n", T, cks);
    kavprt(4, "+%s: AuthType = %s (%d)\n", T, ospf_auth2nam(at), int(at));
  }
  unsigned char ad[8];
  if (have_at && pdu.copy(16, 8, ad)) {
    if (at == 0)
      kavprt(4, "+%s: Unused Auth Data is %x:%x:%x:%x:%x:%x:%x:%x\n", T, ad[0], ad[1], ad[2], ad[3], ad[4], ad[5], ad[6], ad[7]);
    else if (at == 2) {
      kavprt(4, "+%s: Key ID (Auth Data) = %d = 0x%x\n", T, ad[2], ad[2]);
      kavprt(4, "+%s: Digest Len (Auth Data) = %d\n", T, ad[3]);
      uint32_t seq = (uint32_t(ad[4]) << 24) | (ad[5] << 16) | (ad[6] << 8) | ad[7];
      kavprt(4, "+%s: Cryptographic Sequence Number (Auth Data) = %ld\n", T, long(seq));
    } else {
      char txt[9];
      memcpy(txt, ad, 8);
      txt[8] = 0;
      kavprt(4, "+%s: Auth Data = %x:%x:%x:%x:%x:%x:%x:%x (%.8s)\n", T, ad[0], ad[1], ad[2], ad[3], ad[4], ad[5], ad[6],
             ad[7], txt);
    }
  }
  if (len <= 24) {
    kavprt(4, "WARNING: OSPF header is truncated (by %d bytes)\n", 24 - len);
    return;
  }
  int L = int(plen);
  if (len < L) {
    kavprt(4, "WARNING: OSPF packet is truncated (by %d bytes)\n", L - len);
    L = len;
  }
  kav_view body = pdu.first(L);
  kavprt(4, "+%s:%8stype-specific packet body follows\n", T, "");
  int pos = 24;
  switch (type) {
    case 1: {
      for (int off = 24; off < L && off < 44; off += 4) {
        pos = off + 4;
        switch (off) {
          case 24:
            if (body.get32(24, a)) {
              q = q4(a);
              kavprt(4, "+%s: Network Mask = %d.%d.%d.%d\n", T, q.a, q.b, q.c, q.d);
            }
            break;
          case 28: {
            uint32_t hi, opt, pri;
            if (body.get16(28, hi)) kavprt(4, "+%s: HelloInterval = %ld\n", T, long(hi));
            if (body.get8(30, opt)) kavprt(4, "+%s: Options = <%s> (0x%x)\n", T, parse_ospf_options(opt), opt);
            if (body.get8(31, pri)) kavprt(4, "+%s: Priority = %d\n", T, int(pri));
            break;
          }
          case 32:
            if (body.get32(32, a)) kavprt(4, "+%s: RouterDeadInterval = %ld\n", T, long(a));
            break;
          case 36:
            if (body.get32(36, a)) {
              q = q4(a);
              kavprt(4, "+%s: Designated Router = %d.%d.%d.%d\n", T, q.a, q.b, q.c, q.d);
            }
            break;
          case 40: {
            if (body.get32(40, a)) {
              q = q4(a);
              kavprt(4, "+%s: Backup Designated Router = %d.%d.%d.%d\n", T, q.a, q.b, q.c, q.d);
            }
            int n = (L - 44) / 4;
            kavprt(4, "+%s: %d Neighbour IP address%s follow%s%s\n", T, n, n == 1 ? "" : "es", n == 1 ? "s" : "",
                   n > 0 ? ":" : "");
            break;
          }
        }
      }
      for (int i = 0; 44 + 4 * i < L && body.get32(44 + 4 * i, a); i++) {
        q = q4(a);
        kavprt(4, "+%s: - Neighbour %d = %d.%d.%d.%d\n", T, i + 1, q.a, q.b, q.c, q.d);
        pos = 48 + 4 * i;
      }
      break;
    }
    case 2: {
      uint32_t mtu, opt, fl;
      if (body.get16(24, mtu) && body.get8(26, opt) && body.get8(27, fl)) {
        kavprt(4, "+%s: Interface MTU = %ld\n", T, long(mtu));
        kavprt(4, "+%s: Options = <%s> (0x%x)\n", T, parse_ospf_options(opt), opt);
        kavprt(4, "+%s: Init=%s, More=%s, MS=%s (0x%x)\n", T, (fl & 4) ? "Y" : "N", (fl & 2) ? "Y" : "N",
               (fl & 1) ? "Master" : "Slave", fl);
        pos = 28;
      }
      if (body.get32(28, a)) {
        kavprt(4, "+%s: DD Sequence Number = %ld\n", T, long(a));
        pos = 32;
      }
      if (pos == 32) pos = ospf_lsa_walk(body, 32, L, true);
      break;
    }
    case 3: {
      int n = (L - 24) / 12;
      kavprt(4, "+%s: %d LSA request%s follow%s%s\n", T, n, n == 1 ? "" : "s", n == 1 ? "s" : "", n > 0 ? ":" : "");
      for (int i = 0; i < n; i++) {
        int off = 24 + 12 * i;
        uint32_t lt, id, ar;
        if (!body.get32(off, lt) || !body.get32(off + 4, id) || !body.get32(off + 8, ar)) break;
        kavprt(4, "+%s: - LSA %d\n", T, i + 1);
        kavprt(4, "+%s:   LS Type = %ld\n", T, long(lt));
        q = q4(id);
        kavprt(4, "+%s:   Link State ID = %lu (%d.%d.%d.%d)\n", T, (unsigned long)id, q.a, q.b, q.c, q.d);
        q = q4(ar);
        kavprt(4, "+%s:   Advertising Router = %d.%d.%d.%d\n", T, q.a, q.b, q.c, q.d);
        pos = off + 12;
      }
      break;
    }
    case 4:
      if (body.get32(24, a)) {
        kavprt(4, "+%s: %d LSA%s included in this update\n", T, int(a), a == 1 ? "" : "s");
        pos = ospf_lsa_walk(body, 28, L, false);
      }
      break;
    case 5: pos = ospf_lsa_walk(body, 24, L, true); break;
    default:
      kavprt(4, "+%s: %d trailing octet%s follow\n", T, L - 24, L - 24 == 1 ? "" : "s");
      kav_dumpv(body.from(24));
      pos = L;
      break;
  }
  if (pos > len) pos = len;
  if (pos < len) {
    kavprt(4, "+%s: %d trailing octet%s follow\n", T, len - pos, len - pos == 1 ? "" : "s");
    kav_dumpv(pdu.from(pos));
  }
}

}  // namespace

void kav_panospf(kav_view pdu) {
  if (kav_vblvl != 4) {
    uint32_t t = 0;
    pdu.get8(1, t);
    kavprt(1, "%s=%s", "OSPF", ospf_typ2nam(t));
    return;
  }
  ospf(pdu);
}
