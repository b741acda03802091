// Network-layer decoder: IPv4 (options, fragments, checksum), ARP/RARP, IPv6, IPX.
#include <arpa/inet.h>
#include <cstring>

#include "pansupp.h"

namespace {

struct optnam {
  const char *shrt;
  const char *lng;
};
const optnam k_ipopts[24] = {
    {"EOOL", "End-Of-Options"},         {"NOP", "Null Option"},
    {"SEC", "Security"},                {"LSR", "Loose Source Routing"},
    {"TS", "Timestamp"},                {"ESEC", "Extended Security"},
    {"CIPSO", "Commercial Security"},   {"RR", "Record Routes"},
    {"SID", "SATNET Stream ID"},        {"SSR", "Strict Source Routing"},
    {"ZSU", "Experimental Measurement"}, {"MTUP", "MTU Probe"},
    {"MTUR", "MTU Reply"},              {"FINN", "Experimental Flow Control"},
    {"VISA", "Experimental Access Control"}, {"ENCODE", "ENCODE"},
    {"IMITD", "IMI Traffic Descriptor"}, {"EIP", "EIP"},
    {"TR", "Traceroute"},               {"ADDEXT", "Address Extension"},
    {"RTRALT", "Router Alert"},         {"SDB", "Selective Directed Broadcast"},
    {"NSAPA", "NSAP Addresses"},        {"DPS", "Dynamic Packet State"},
};
const char *const k_optclass[4] = {"Control", "Reserved-1", "Debug-Measure", "Reserved-3"};

const char *optname(unsigned num, bool lng) {
  static char buf[24];
  if (num < 24) return lng ? k_ipopts[num].lng : k_ipopts[num].shrt;
  snprintf(buf, sizeof buf, "<OPT=%u>", num);
  return buf;
}

const char *seclevel(unsigned v) {
  static char buf[32];
  switch (v) {
    case 0x0000: return "Unclassified";
    case 0xF135: return "Confidential";
    case 0x789A: return "EFTO";
    case 0xBC4D: return "MMMM";
    case 0x5E26: return "PROG";
    case 0xAF13: return "Restricted";
    case 0xD788: return "Secret";
    case 0x6BC5: return "Top Secret";
    default: snprintf(buf, sizeof buf, "Reserved (0x%02X)", v); return buf;
  }
}

// Host text of the IPv4 address at off, copied out of the name function's buffer.
bool hosttext(const kav_view &v, int off, char *out, size_t outsz) {
  unsigned char a[4];
  if (!v.copy(off, 4, a)) return false;
  kav_strlcpy(out, outsz, kav_ipaddr2nam(a));
  return true;
}

void hexjoin(const kav_view &v, int off, int n, char *out, size_t outsz) {
  static const char hx[] = "0123456789ABCDEF";
  size_t k = 0;
  out[0] = 0;
  for (int i = 0; i < n && k + 4 < outsz; i++) {
    uint32_t b;
    if (!v.get8(off + i, b)) break;
    if (i) out[k++] = ':';
    out[k++] = hx[b >> 4];
    out[k++] = hx[b & 15];
  }
  out[k] = 0;
}

void tos_text(unsigned tos, char *out, size_t outsz) {
  if ((tos >> 1) == 0) {
    snprintf(out, outsz, "Normal");
    return;
  }
  static const struct {
    unsigned bit;
    const char *name;
  } bits[] = {{0x02, "Cost"}, {0x04, "Reliability"}, {0x08, "Throughput"}, {0x10, "Delay"}};
  out[0] = 0;
  int n = 0;
  for (const auto &b : bits)
    if (tos & b.bit) {
      size_t l = strlen(out);
      snprintf(out + l, outsz - l, "%s%s", n ? "," : "", b.name);
      n++;
    }
  if (n > 1) {
    size_t l = strlen(out);
    snprintf(out + l, outsz - l, " *Error*");
  }
}

// Level-4 details of one option; opt holds exactly the option's octets.
void ip_option_detail(unsigned num, const kav_view &opt) {
  const char *T = "IP";
  int olen = opt.size();
  uint32_t a = 0, b = 0, c = 0;
  char host[200];
  switch (num) {
    case 1: break;
    case 2:
      if (opt.get16(2, a)) kavprt(4, "+%s:   Security = %s\n", T, seclevel(a));
      if (opt.get16(4, a) && opt.get16(6, b) && opt.get24(8, c))
        kavprt(4, "+%s:   Compartments = 0x%04lX, Handling Restrictions = 0x%04lX, TCC = 0x%06lX\n", T,
               (unsigned long)a, (unsigned long)b, (unsigned long)c);
      break;
    case 3:
    case 7:
    case 9:
      if (opt.get8(2, a)) kavprt(4, "+%s:   Pointer = %d\n", T, int(a));
      if (olen >= 7)
        for (int i = 0; i < (olen - 3) / 4; i++)
          if (hosttext(opt, 3 + 4 * i, host, sizeof host)) kavprt(4, "+%s:   Address %d = %s\n", T, i + 1, host);
      break;
    case 4: {
      if (!opt.get8(2, a) || !opt.get8(3, b)) break;
      kavprt(4, "+%s:   Pointer = %d, Overflow = %d\n", T, int(a), int(b >> 4));
      unsigned fl = b & 15;
      kavprt(4, "+%s:   Flags: 0x%x <IP-addr=%s, Prespecified=%s>\n", T, fl, (fl & 1) ? "Y" : "N",
             (fl & 2) ? "Y" : "N");
      if (olen < 8) break;
      if (fl & 1) {
        for (int i = 0; i < (olen - 4) / 8; i++) {
          if (!hosttext(opt, 4 + 8 * i, host, sizeof host) || !opt.get32(8 + 8 * i, c)) break;
          kavprt(4, "%s:   %d: ", T, i);
          kavprt(4, "Address = %s, ", host);
          kavprt(4, "Timestamp = %d\n", int(c));
        }
      } else {
        for (int i = 0; i < (olen - 4) / 4; i++) {
          if (!opt.get32(4 + 4 * i, c)) break;
          kavprt(4, "%s:   %d: ", T, i);
          kavprt(4, "Timestamp = %d\n", int(c));
        }
      }
      break;
    }
    case 8:
      if (opt.get16(2, a)) kavprt(4, "+%s:   Stream ID = %ld (0x%02lX)\n", T, long(a), (unsigned long)a);
      break;
    case 11:
    case 12:
      if (opt.get16(2, a)) kavprt(4, "+%s:   MTU=%ld\n", T, long(a));
      break;
    case 18:
      if (opt.get16(2, a)) kavprt(4, "+%s:   ID=%ld\n", T, long(a));
      if (opt.get16(4, a)) kavprt(4, "+%s:   Outbound Hop Count = %ld\n", T, long(a));
      if (opt.get16(6, a)) kavprt(4, "+%s:   Inbound Hop Count = %ld\n", T, long(a));
      if (hosttext(opt, 8, host, sizeof host)) kavprt(4, "+%s:   Originator IP address = %s\n", T, host);
      break;
    case 20:
      if (opt.get16(2, a)) kavprt(4, "+%s:   Value=%ld\n", T, long(a));
      break;
    default:
      if (olen > 2) kav_dumpv(opt.from(2));
      break;
  }
}

// Walks the options in hdr[20, H). Returns the offset where the walk stopped.
int ip_options(const kav_view &hdr) {
  const char *T = "IP";
  int H = hdr.size();
  kavprt(4, "+%s: Options follow (%d bytes):\n", T, H - 20);
  int off = 20, nopt = 0;
  while (off < H) {
    uint32_t type = hdr.u8(off);
    unsigned num = type & 31;
    int olen = 1;
    uint32_t l = 0;
    bool have_len = true;
    if (num > 1) {
      have_len = hdr.get8(off + 1, l);
      olen = have_len ? int(l) : 2;
    }
    kavprt(2, "%s%s", nopt ? "," : ", opts=", optname(num, false));
    nopt++;
    if (kav_vblvl == 4) {
      kavprt(4, "+%s: - %s (Code=%d)\n", T, optname(num, true), int(num));
      kavprt(4, "+%s:   Copy=%s, Class=%s, Length=%d\n", T, (type & 0x80) ? "Yes" : "No", k_optclass[(type >> 5) & 3],
             olen);
    }
    if (num == 0) return off + 1;
    if (num > 1 && have_len && olen < 2) return off + 2;  // a length of 0 or 1 would never advance
    if (off + olen > H) {
      int excess = off + olen - H;
      kavprt(4, "\n\tNB: Option truncated by %d byte%s\n", excess, excess == 1 ? "" : "s");
      return have_len ? off + 2 : off + 1;
    }
    if (kav_vblvl == 4) ip_option_detail(num, hdr.sub(off, olen));
    off += olen;
  }
  return off;
}

void set_pseudo_v4(kav_pktctx *ctx, const unsigned char src[4], const unsigned char dst[4], unsigned proto,
                   unsigned len) {
  unsigned char ph[12];
  memcpy(ph, src, 4);
  memcpy(ph + 4, dst, 4);
  ph[8] = 0;
  ph[9] = (unsigned char)proto;
  ph[10] = (unsigned char)(len >> 8);
  ph[11] = (unsigned char)len;
  ctx->ph_sum = kav_chksum_part(ph, 12, 0);
  ctx->ph_len = 12;
  ctx->ph_valid = 1;
}

unsigned ipv4(int *layer, int *proto, const kav_view &pdu0, int *trailer, int *more, kav_pktctx *ctx) {
  const char *T = "IP";
  kav_view pdu = pdu0;
  int len = pdu.size();
  *more = 1;
  ctx->ph_valid = 0;
  ctx->ip_short = 0;
  uint32_t b0 = pdu.u8(0);
  int ihl = int(b0 & 15), H = ihl * 4;
  if (H < 20) {
    kavprt(4, "WARNING: IP header length claims to be %d (illegal)", H);
    kavprt(4, " - adjust to min=%d\n", 20);
    H = 20;
  }
  const char *mark = "";
  int tested = -1;
  bool corrupt = false;
  if (H > len) {
    kavprt(4, "WARNING: IP header is truncated (by %u bytes)\n", unsigned(H - len));
    H = len;
    mark = "*";
  } else {
    tested = H;
    corrupt = !kav_chksum_ok(pdu.first(H));
    if (corrupt) mark = "!";
  }
  kav_view hdr = pdu.first(H);
  uint32_t tos = 0, totlen = 0, id = 0, fo = 0, ttl = 0, ipp = 0, cks = 0;
  bool have_r0 = hdr.get8(1, tos) && hdr.get16(2, totlen);
  bool have_r4 = hdr.get16(4, id) && hdr.get16(6, fo);
  bool have_r8 = hdr.get8(8, ttl) && hdr.get8(9, ipp) && hdr.get16(10, cks);
  unsigned char src[4], dst[4];
  bool have_src = hdr.copy(12, 4, src), have_dst = hdr.copy(16, 4, dst);
  int fragoff = int(fo & 0x1FFF) * 8;

  char stxt[200] = "", dtxt[200] = "";
  if (have_src) kav_strlcpy(stxt, sizeof stxt, kav_ipaddr2nam(src));
  if (have_dst) kav_strlcpy(dtxt, sizeof dtxt, kav_ipaddr2nam(dst));
  if (have_src) KAV_CTX_SET(ctx->ipsrc, stxt);
  if (have_dst) KAV_CTX_SET(ctx->ipdst, dtxt);
  char pname[80] = "";
  if (have_r8) {
    kav_strlcpy(pname, sizeof pname, kav_l4proto2nam(ipp));
    KAV_CTX_SET(ctx->ipproto, pname);
  }
  if (have_r4) ctx->ipid = id;
  if (have_r0) ctx->iplen = totlen;

  // A total length below the header length (segmentation offload) means the
  // captured length is all there is.
  int pdulen = len;
  if (have_r0 && int(totlen) >= H) {
    if (len > int(totlen)) {
      int excess = len - int(totlen);
      *trailer = excess;
      kavprt(4, "NB: PDU length adjusted down by %d, to %u\n", excess, totlen);
      pdulen = int(totlen);
    } else
      ctx->ip_short = int(totlen) - len;
  }

  if (kav_vblvl != 4) {
    kavprt(1, "%sIP: %s -> %s", mark, stxt, dtxt);
    if (kav_vblvl == 2 || kav_vblvl == 3) {
      if (have_r4) {
        kavprt(2, " <%s,%s>", (fo & 0x4000) ? "DF" : "MF", (fo & 0x2000) ? "MORE" : "LAST");
        kavprt(2, ", id=%d.%d", int(id), fragoff);
      }
    }
  } else {
    if (have_r0) {
      char tt[80];
      tos_text(tos, tt, sizeof tt);
      kavprt(4, "+%s: Header Len = %d (%d octets)\n", T, ihl, ihl * 4);
      kavprt(4, "+%s: Version = %d\n", T, int(b0 >> 4));
      kavprt(4, "+%s: Service-Precedence = %d\n", T, int(tos >> 5));
      kavprt(4, "+%s: Service-TOS = <%s> (0x%X)\n", T, tt, tos >> 1);
      kavprt(4, "+%s: Service-Reserved = %d%s\n", T, int(tos & 1), (tos & 1) ? " *ERROR*" : "");
      kavprt(4, "+%s: Fragment Size = %u\n", T, totlen);
    }
    if (have_r4) {
      kavprt(4, "+%s: Datagram ID = %d (0x%02X)\n", T, int(id), id);
      kavprt(4, "+%s: Flags = <%s, %s, %s> (0x%X)\n", T, (fo & 0x8000) ? " *ERROR*" : "n/a",
             (fo & 0x4000) ? "Don't Fragment" : "May Fragment", (fo & 0x2000) ? "More Fragments" : "Last Fragment",
             fo >> 13);
      kavprt(4, "+%s: Fragment Offset = %d (0x%02X) -> %d octets\n", T, int(fo & 0x1FFF), fo & 0x1FFF, fragoff);
    }
    if (have_r8) {
      kavprt(4, "+%s: TTL = %d\n", T, int(ttl));
      kavprt(4, "+%s: Protocol = %s\n", T, pname);
      kavprt(4, "+%s: CheckSum = 0x%02X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
    }
    if (have_src) kavprt(4, "+%s: Source = %s\n", T, stxt);
    if (have_dst) kavprt(4, "+%s: Dest = %s\n", T, dtxt);
  }

  if (H > 20) {
    int end = ip_options(hdr);
    if (end < H && kav_vblvl == 4) {
      kavprt(4, "\t%d padding/trailing octets follow\n", H - end);
      kav_dumpv(hdr.from(end));
    }
  }

  unsigned payload = unsigned(pdulen - H);
  if (!have_r8) {
    *layer = KAV_LAYER_TRANS;
    *proto = -1;
    return payload;
  }
  if (fragoff != 0) {
    *layer = KAV_LAYER_TRANS;
    *proto = -1;
  } else if (ipp == KAV_IPPROTO_IPIP || ipp == KAV_IPPROTO_IPIP_OLD) {
    *layer = KAV_LAYER_NET;
    *proto = KAV_L3_IP;
  } else if (ipp == KAV_IPPROTO_IPV6) {
    *layer = KAV_LAYER_NET;
    *proto = KAV_L3_IPV6;
  } else {
    *layer = KAV_LAYER_TRANS;
    *proto = int(ipp);
    // The first fragment of several holds only part of what the transport
    // checksum covers: no verdict can be given on it.
    if (payload > 0 && ipp != KAV_IPPROTO_ICMP && have_src && have_dst && !(fo & 0x2000))
      set_pseudo_v4(ctx, src, dst, ipp, payload);
  }
  return payload;
}

// IPv6 extension headers walked from the fixed header to the upper layer.
struct v6ext {
  int hlen = 40;         // fixed header and every whole extension header
  int upper = -1;        // upper-layer protocol (the last next-header value)
  bool later = false;    // a fragment other than the first: no upper-layer header
  bool frag = false;     // a fragment at all: the upper layer is not all here
  bool cut = false;      // an extension header runs past the capture
  bool have_fdst = false;
  unsigned char fdst[16];  // final destination, from a routing header with segments left
};

const char *v6_extnam(uint32_t nh, bool lng) {
  switch (nh) {
    case 0: return lng ? "Hop-by-Hop Options" : "HOP";
    case 43: return lng ? "Routing" : "ROUTE";
    case 44: return lng ? "Fragment" : "FRAG";
    default: return lng ? "Destination Options" : "DEST";
  }
}

const char *v6_optnam(unsigned t) {
  static char buf[24];
  switch (t) {
    case 0x00: return "Pad1";
    case 0x01: return "PadN";
    case 0x04: return "Tunnel Encapsulation Limit";
    case 0x05: return "Router Alert";
    case 0xC2: return "Jumbo Payload";
    case 0xC9: return "Home Address";
    default: snprintf(buf, sizeof buf, "<OPT=%u>", t); return buf;
  }
}

// Options of a hop-by-hop or destination-options header, at level 4.
void v6_options(const kav_view &e) {
  const char *T = "IPv6";
  kav_cursor c(e, 2);
  while (c.remaining() > 0) {
    uint32_t t = c.u8();
    if (t == 0) {
      kavprt(4, "+%s:   Option = %s (Type=%u)\n", T, v6_optnam(t), t);
      continue;
    }
    uint32_t l = c.u8();
    kav_view d = c.take(l);
    if (!c.ok()) {
      kavprt(4, "\tOption data truncated\n");
      return;
    }
    kavprt(4, "+%s:   Option = %s (Type=%u), %u data octet%s\n", T, v6_optnam(t), t, l, l == 1 ? "" : "s");
    if (t == 0x05 && l == 2)
      kavprt(4, "+%s:     Value = %u\n", T, d.u16(0));
    else if (t == 0x04 && l == 1)
      kavprt(4, "+%s:     Limit = %u\n", T, d.u8(0));
    else if (t == 0xC2 && l == 4)
      kavprt(4, "+%s:     Payload Length = %lu\n", T, (unsigned long)d.u32(0));
    else if (t != 0x01 && l > 0)
      kav_dumpv(d);
  }
}

// Walks the extension headers of pdu (the datagram as far as its payload
// length goes) from the first next-header value; prints them when show.
void v6_exts(const kav_view &pdu, uint32_t nh, bool show, v6ext *x) {
  const char *T = "IPv6";
  int off = 40, n = 0;
  while (kav_ipv6_exthdr(nh)) {
    uint32_t nxt = 0, hl = 0;
    bool frag = nh == KAV_IPPROTO_FRAGMENT;
    int elen = 8;
    if (!frag && pdu.get8(off + 1, hl)) elen = int(hl + 1) * 8;
    kav_view e;
    if (!pdu.exact(off, uint32_t(elen), e)) {
      // Cut by the capture: what it holds of the fixed fields is still shown,
      // and nothing after it can be reached.
      e = pdu.from(off);
      x->cut = true;
      if (show)
        kavprt(4, "WARNING: IPv6 %s header is truncated (by %u bytes)\n", v6_extnam(nh, true),
               unsigned(off + elen - pdu.size()));
    }
    bool have_nxt = e.get8(0, nxt);
    if (show && have_nxt) {
      kavprt(2, "%s%s", n ? "," : ", ext=", v6_extnam(nh, false));
      kavprt(4, "+%s: - %s header (Code=%u): %d octets\n", T, v6_extnam(nh, true), nh, elen);
      kavprt(4, "+%s:   Next header = %u\n", T, nxt);
    }
    if (x->cut) {
      uint32_t type = 0, left = 0;
      if (show && nh == KAV_IPPROTO_ROUTING && e.get8(2, type) && e.get8(3, left))
        kavprt(4, "+%s:   Routing Type = %u, Segments Left = %u\n", T, type, left);
      break;
    }
    if (frag) {
      uint32_t fo = e.u16(2), id = e.u32(4);
      int fragoff = int(fo & 0xFFF8);
      if (show) {
        kavprt(2, " <%s>, id=%u.%d", (fo & 1) ? "MORE" : "LAST", id, fragoff);
        kavprt(4, "+%s:   Fragment Offset = %d (0x%04X) -> %d octets\n", T, fragoff >> 3, unsigned(fragoff >> 3), fragoff);
        kavprt(4, "+%s:   Flags = <%s> (0x%X)\n", T, (fo & 1) ? "More Fragments" : "Last Fragment", fo & 7);
        kavprt(4, "+%s:   Identification = %lu (0x%08lX)\n", T, (unsigned long)id, (unsigned long)id);
      }
      if (fragoff != 0) x->later = true;
      if (fragoff != 0 || (fo & 1)) x->frag = true;
    } else if (nh == KAV_IPPROTO_ROUTING) {
      uint32_t type = e.u8(2), left = e.u8(3);
      int naddr = (type == 0 || type == 2 || type == 4) ? (elen - 8) / 16 : 0;
      if (show) kavprt(4, "+%s:   Routing Type = %u, Segments Left = %u\n", T, type, left);
      for (int i = 0; i < naddr; i++) {
        unsigned char a[16];
        e.copy(8 + 16 * i, 16, a);
        char at[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, a, at, sizeof at);
        if (show) kavprt(4, "+%s:   Address %d = %s\n", T, i + 1, at);
        // The pseudo-header names the final destination: the last address of
        // the list, or the first segment of a segment-routing header.
        if (left > 0 && (type == 4 ? i == 0 : i == naddr - 1)) {
          memcpy(x->fdst, a, 16);
          x->have_fdst = true;
        }
      }
      if (show && naddr == 0 && elen > 8) kav_dumpv(e.from(4));
    } else if (show && kav_vblvl == 4)
      v6_options(e);
    off += elen;
    nh = nxt;
    n++;
    if (x->later) break;
  }
  x->hlen = off;
  x->upper = int(nh);
}

unsigned ipv6(int *layer, int *proto, const kav_view &pdu, int *trailer, int *more, kav_pktctx *ctx) {
  const char *T = "IPv6";
  int len = pdu.size();
  *more = 1;
  ctx->ph_valid = 0;
  ctx->ip_short = 0;
  const char *mark = "";
  unsigned payload = 0;
  if (len < 40) {
    kavprt(4, "WARNING: IPv6 header is truncated (by %u bytes)\n", unsigned(40 - len));
    mark = "*";
  }
  uint32_t w0 = 0, plen = 0, nh = 0, hlim = 0;
  bool have_w0 = pdu.get32(0, w0);
  bool have_w4 = pdu.get16(4, plen) && pdu.get8(6, nh) && pdu.get8(7, hlim);
  unsigned char src[16], dst[16];
  bool have_src = pdu.copy(8, 16, src), have_dst = pdu.copy(24, 16, dst);
  char stxt[INET6_ADDRSTRLEN] = "", dtxt[INET6_ADDRSTRLEN] = "";
  if (have_src) inet_ntop(AF_INET6, src, stxt, sizeof stxt);
  if (have_dst) inet_ntop(AF_INET6, dst, dtxt, sizeof dtxt);

  v6ext x;
  int upper = 0;
  if (len >= 40) {
    int avail = len - 40;
    upper = avail;
    // Link padding after the stated payload is not payload (a jumbogram says 0).
    if (int(plen) < avail && !(plen == 0 && nh == KAV_IPPROTO_HOPOPTS)) {
      int excess = avail - int(plen);
      *trailer = excess;
      kavprt(4, "NB: PDU length adjusted down by %d, to %u\n", excess, plen + 40);
      upper = int(plen);
    } else if (int(plen) > avail)
      ctx->ip_short = int(plen) - avail;
    v6_exts(pdu.first(40 + upper), nh, false, &x);
    if (x.cut) mark = "*";
    int ulen = 40 + upper - x.hlen;  // the upper-layer packet
    payload = x.cut ? 0 : unsigned(ulen);
    if (!x.cut && !x.later && !x.frag) {
      unsigned char ph[40];
      memcpy(ph, src, 16);
      memcpy(ph + 16, x.have_fdst ? x.fdst : dst, 16);
      ph[32] = (unsigned char)(unsigned(ulen) >> 24);
      ph[33] = (unsigned char)(unsigned(ulen) >> 16);
      ph[34] = (unsigned char)(unsigned(ulen) >> 8);
      ph[35] = (unsigned char)ulen;
      ph[36] = ph[37] = ph[38] = 0;
      ph[39] = (unsigned char)x.upper;
      ctx->ph_sum = kav_chksum_part(ph, 40, 0);
      ctx->ph_len = 40;
      ctx->ph_valid = 1;
    }
  }

  if (kav_vblvl != 4) {
    kavprt(1, "%s%s", T, mark);
    if (kav_vblvl == 3 && have_src && have_dst) {
      kavprt(3, ": %s -> ", stxt);
      kavprt(3, "%s", dtxt);
    }
  } else {
    if (have_w0) {
      unsigned tc = (w0 >> 20) & 0xFF;
      kavprt(4, "+%s: Version = %d\n", T, int(w0 >> 28));
      kavprt(4, "+%s: Traffic-DS = 0x%X, Traffic-ECN=0x%X\n", T, tc >> 2, tc & 3);
      if (have_w4) kavprt(4, "+%s: Flow-Label = 0x%X, Hop-Limit = %d\n", T, w0 & 0xFFFFF, int(hlim));
    }
    if (have_w4) kavprt(4, "+%s: Next header = %d (payload=%d)\n", T, int(nh), int(plen));
    if (have_src) kavprt(4, "+%s: Source Addr = %s\n", T, stxt);
    if (have_dst) kavprt(4, "+%s: Dest Addr = %s\n", T, dtxt);
  }
  if (len >= 40 && kav_ipv6_exthdr(nh)) {
    v6ext shown;
    v6_exts(pdu.first(40 + upper), nh, true, &shown);
  }
  *layer = KAV_LAYER_TRANS;
  *proto = len >= 40 && !x.cut && !x.later ? x.upper : -1;
  if (*proto == KAV_IPPROTO_IPIP || *proto == KAV_IPPROTO_IPV6) {  // IPv4 or IPv6 tunnelled in IPv6
    *layer = KAV_LAYER_NET;
    *proto = *proto == KAV_IPPROTO_IPIP ? KAV_L3_IP : KAV_L3_IPV6;
  }
  return payload;
}

const char *arp_optext(bool rarp, unsigned op) {
  static char buf[32];
  if (op == (rarp ? KAV_ARPOP_RREQUEST : KAV_ARPOP_REQUEST)) return "Request";
  if (op == (rarp ? KAV_ARPOP_RREPLY : KAV_ARPOP_REPLY)) return "Response";
  snprintf(buf, sizeof buf, "%d *ERROR*", int(op));
  return buf;
}

unsigned arp(bool rarp, const kav_view &pdu, kav_pktctx *ctx) {
  const char *T = rarp ? "RARP" : "ARP";
  int len = pdu.size();
  uint32_t htype = 0, ptype = 0, hl = 0, pl = 0, op = 0;
  bool fixed = pdu.get16(0, htype) && pdu.get16(2, ptype) && pdu.get8(4, hl) && pdu.get8(5, pl) && pdu.get16(6, op);
  if (!fixed) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(8 - len));
    kavprt(1, "*%s", T);
    return 0;
  }
  int h = int(hl), p = int(pl);
  int o_sha = 8, o_spa = 8 + h, o_tha = 8 + h + p, o_tpa = 8 + 2 * h + p;
  bool have_sha = pdu.has(o_sha, h), have_spa = pdu.has(o_spa, p), have_tha = pdu.has(o_tha, h),
       have_tpa = pdu.has(o_tpa, p);
  bool eth = htype == KAV_ARPHRD_ETHER && h == 6, ip = ptype == KAV_ETHTYPE_IP && p == 4;
  const char *optext = arp_optext(rarp, op);
  ctx->arpop = op;

  char sha[400], spa[400], tha[400], tpa[400];
  hexjoin(pdu, o_sha, have_sha ? h : 0, sha, sizeof sha);
  hexjoin(pdu, o_spa, have_spa ? p : 0, spa, sizeof spa);
  hexjoin(pdu, o_tha, have_tha ? h : 0, tha, sizeof tha);
  hexjoin(pdu, o_tpa, have_tpa ? p : 0, tpa, sizeof tpa);
  char sha_n[200] = "", tha_n[200] = "", spa_n[200] = "", tpa_n[200] = "";
  unsigned char a6[6];
  if (eth && pdu.copy(o_sha, 6, a6)) kav_strlcpy(sha_n, sizeof sha_n, kav_ethaddr2nam(a6));
  if (eth && pdu.copy(o_tha, 6, a6)) kav_strlcpy(tha_n, sizeof tha_n, kav_ethaddr2nam(a6));
  bool spa_ok = ip && hosttext(pdu, o_spa, spa_n, sizeof spa_n);
  bool tpa_ok = ip && hosttext(pdu, o_tpa, tpa_n, sizeof tpa_n);
  if (tpa_ok) KAV_CTX_SET(ctx->arptpa, tpa_n);

  if (kav_vblvl == 4) {
    kavprt(4, "+%s: Hardware Type = 0x%04X (%s)\n", T, htype, htype == KAV_ARPHRD_ETHER ? "Ethernet" : "not Ethernet");
    kavprt(4, "+%s: Protocol Type = 0x%04X (%s)\n", T, ptype, ptype == KAV_ETHTYPE_IP ? "IP" : "not IP");
    kavprt(4, "+%s: Op = %s\n", T, optext);
    if (have_sha) {
      kavprt(4, "+%s: Sender Hardware Address = <%s> (%d octets)\n", T, sha, h);
      if (eth) kavprt(4, "\t%s\n", sha_n);
    }
    if (have_spa) {
      kavprt(4, "+%s: Sender Protocol Address = %s (%d octets)\n", T, spa, p);
      if (spa_ok) kavprt(4, "\t%s\n", spa_n);
    }
    if (have_tha) {
      kavprt(4, "+%s: Target Hardware Address = %s (%d octets)\n", T, tha, h);
      if (eth) kavprt(4, "\t%s\n", tha_n);
    }
    if (have_tpa) {
      kavprt(4, "+%s: Target Protocol Address = %s (%d octets)\n", T, tpa, p);
      if (tpa_ok) kavprt(4, "\t%s\n", tpa_n);
    }
  } else {
    kavprt(1, "%s %s: ", T, optext);
    auto paddr = [&](bool ok, const char *name, const char *hex) {
      if (ok)
        kavprt(1, "ip=%s", name);
      else
        kavprt(1, "sw-%u=%s", ptype, hex);
    };
    auto haddr = [&](const char *name, const char *hex) {
      if (eth)
        kavprt(1, "eth=%s", name);
      else
        kavprt(1, "hw-%u=%s", htype, hex);
    };
    if (!rarp && op == KAV_ARPOP_REQUEST) {
      paddr(spa_ok, spa_n, spa);
      kavprt(1, " wants ");
      paddr(tpa_ok, tpa_n, tpa);
    } else if (!rarp && op == KAV_ARPOP_REPLY) {
      paddr(spa_ok, spa_n, spa);
      kavprt(1, " maps to ");
      haddr(sha_n, sha);
    } else if (rarp && op == KAV_ARPOP_RREQUEST) {
      haddr(tha_n, tha);
      kavprt(1, " wants ");
      haddr(sha_n, sha);
    } else if (rarp && op == KAV_ARPOP_RREPLY) {
      haddr(sha_n, sha);
      kavprt(1, " maps to ");
      paddr(tpa_ok, tpa_n, tpa);
    }
  }
  int rest = len - 8 - 2 * h - 2 * p;
  return rest > 0 ? unsigned(rest) : 0;
}

}  // namespace

const char *kav_l3proto2nam(int code) {
  static const char *const names[] = {nullptr, "IP", "ARP", "RARP", "PPP-LCP", "PPP-NCP", "IPX", "IPv6"};
  static char buf[24];
  if (code >= 1 && code <= 7) return names[code];
  snprintf(buf, sizeof buf, "<%u>", unsigned(code));
  return buf;
}

unsigned kav_panl3(int *layer, int *proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx) {
  switch (*proto) {
    case KAV_L3_IP: return ipv4(layer, proto, pdu, trailer, more, ctx);
    case KAV_L3_ARP: return arp(false, pdu, ctx);
    case KAV_L3_RARP: return arp(true, pdu, ctx);
    case KAV_L3_IPV6: return ipv6(layer, proto, pdu, trailer, more, ctx);
    case KAV_L3_IPX:
      if (kav_vblvl == 4) {
        kavprt(4, "+IPX: packet dump follows:\n");
        kav_dumpv(pdu);
        return 0;
      }
      kavprt(1, "IPX (%d)", pdu.size());
      return unsigned(pdu.size());
    default: *layer = KAV_LAYER_STOP; return unsigned(pdu.size());
  }
}
