// Transport-layer decoder: TCP, UDP, ICMP, IGMP and VRRP; OSPF has its own file.
#include <cstring>

#include "pansupp.h"

namespace {

const char *icmp_typ2nam(unsigned t) {
  static char buf[24];
  switch (t) {
    case 0: return "Echo Reply";
    case 3: return "Destination Unreachable";
    case 4: return "Source Quench";
    case 5: return "Redirect";
    case 6: return "Alternate Host Address";
    case 8: return "Echo Request";
    case 9: return "Router Advertisement";
    case 10: return "Router Solicitation";
    case 11: return "Time Exceeded";
    case 12: return "Parameter Problem";
    case 13: return "Timestamp Request";
    case 14: return "Timestamp Reply";
    case 15: return "Information Request";
    case 16: return "Information Reply";
    case 17: return "Address Mask Request";
    case 18: return "Address Mask Reply";
    case 30: return "Traceroute";
    case 31: return "Datagram Conversion Error";
    case 32: return "Mobile Host Redirect";
    case 33: return "IPV6 Where-Are-You";
    case 34: return "IPV6 I-Am-Here";
    case 35: return "Mobile Registration Request";
    case 36: return "Mobile Registration Response";
    case 37: return "Domain Name Request";
    case 38: return "Domain Name Response";
    case 39: return "SKIP";
    case 40: return "Photuris";
    default: snprintf(buf, sizeof buf, "<Type=%u>", t); return buf;
  }
}

const kav_codenam k_icmpcodes[] = {
    {0, 0, "EchoRsp", "zero"},
    {3, 0, "Unreach-Net", "network unreachable"},
    {3, 1, "Unreach-Host", "host unreachable"},
    {3, 2, "Unreach-Proto", "protocol unreachable"},
    {3, 3, "Unreach-Port", "port unreachable"},
    {3, 4, "Unreach-Frag", "fragmentation needed but prohibited"},
    {3, 5, "Unreach-SrcRoute", "source route failed"},
    {3, 6, "Unreach-NetBad", "destination network unknown"},
    {3, 7, "Unreach-HostBad", "destination host unknown"},
    {3, 8, "Unreach-SrcHostIsolated", "source host isolated"},
    {3, 9, "Unreach-NetBar", "destination network barred"},
    {3, 10, "Unreach-HostBar", "destination host barred"},
    {3, 11, "Unreach-NetTos", "network unreachable for TOS"},
    {3, 12, "Unreach-HostTos", "host unreachable for TOS"},
    {3, 13, "Unreach-CommsBar", "communications barred"},
    {3, 14, "Unreach-HostPrec", "host precedence violation"},
    {3, 15, "Unreach-PrecCut", "precedence cutoff in effect"},
    {4, 0, "SrcQuench", "zero"},
    {5, 0, "Redir-Net", "redirect for network"},
    {5, 1, "Redir-Host", "redirect for host"},
    {5, 2, "Redir-NetTos", "redirect for TOS and network"},
    {5, 3, "Redir-HostTos", "redirect for TOS and host"},
    {6, 0, "Alt-HostAddr", "zero"},
    {8, 0, "EchoReq", "zero"},
    {9, 0, "RrtAdv", "zero"},
    {10, 0, "RrtWant", "zero"},
    {11, 0, "Exceed-Transit", "time exceeded in transit"},
    {11, 1, "Exceed-Assembly", "time exceeded during reassembly"},
    {12, 0, "Params-Hdr", "bad IP header"},
    {12, 1, "Params-Opt", "required option missing"},
    {12, 2, "Params-Len", "bad length"},
    {13, 0, "TimeReq", "zero"},
    {14, 0, "TimeRsp", "zero"},
    {15, 0, "InfoReq", "zero"},
    {16, 0, "InfoRsp", "zero"},
    {17, 0, "MaskReq", "zero"},
    {18, 0, "MaskRsp", "zero"},
    {30, 0, "Traceroute-Yes", "Outbound Packet successfully forwarded"},
    {30, 1, "Traceroute-No", "No route for outbound packet - discarded"},
    {31, 0, "Datagram-ConvErr", "zero"},
    {32, 0, "MobHost-Redir", "zero"},
    {33, 0, "IPV6-Where", "zero"},
    {34, 0, "IPV6-Here", "zero"},
    {35, 0, "MobRegReq", "zero"},
    {36, 0, "MobRegRsp", "zero"},
    {37, 0, "DomNamReq", "zero"},
    {38, 0, "DomNamRsp", "zero"},
    {39, 0, "SKIP", "zero"},
    {40, 1, "Unknown-Index", "unknown security parameters index"},
    {40, 2, "AuthFail", "valid security parameters, but authentication failed"},
    {40, 3, "Decrypt-Fail", "valid security parameters, but decryption failed"},
};

const char *icmp_cod2nam(unsigned type, unsigned code) { return kav_code2nam(k_icmpcodes, type, code); }

struct optnam {
  const char *shrt, *lng;
};
const optnam k_tcpopts[25] = {
    {"EOOL", "End-Of-Options"},
    {"NOP", "Null Option"},
    {"MSS", "MSS"},
    {"WS", "Window Scale"},
    {"SACKOK", "Selective ACKs Permitted"},
    {"SACKS", "Selective ACKs"},
    {"ECHOREQ", "Echo Request"},
    {"ECHORSP", "Echo Reply"},
    {"TS", "Timestamp"},
    {"PARTOK", "Partial Order Connection Permitted"},
    {"PARTPROF", "Partial Order Service Profile"},
    {"CC", "T/TCP CC"},
    {"CC.NEW", "T/TCP CC.NEW"},
    {"CC.ECHO", "T/TCP CC.ECHO"},
    {"ALTCHK_REQ", "Alternate Checksum Request"},
    {"ALTCHK_DATA", "Alternate Checksum Data"},
    {"SKEETER", "SKEETER"},
    {"BUBBA", "BUBBA"},
    {"TRLCHK", "Trailer Checksum"},
    {"MD5SIG", "MD5 Signature"},
    {"SCPS", "SCPS Capabilities"},
    {"SELNEGACK", "Selective Negative Acknowledgements"},
    {"RECBDRY", "Record Boundaries"},
    {"CRPT", "Corruption Experienced"},
    {"SNAP", "SNAP"},
};

const char *tcpopt2nam(unsigned kind, bool lng) {
  static char buf[24];
  if (kind <= 24) return lng ? k_tcpopts[kind].lng : k_tcpopts[kind].shrt;
  snprintf(buf, sizeof buf, "<OPT=%u>", kind);
  return buf;
}

// Servers on ports above the reserved range, named by their own port.
bool nfs_x11(unsigned p) {
  return p == KAV_PORT_LISTEN || p == KAV_PORT_LOCKD || p == KAV_PORT_NFS ||
         (p >= KAV_PORT_X11 && p <= KAV_PORT_X11_LAST);
}

const unsigned kLastReservedPort = 1023;

// Which of the two ports names the application protocol.
unsigned app_port(unsigned s, unsigned d) {
  if (nfs_x11(s)) return s;
  if (s > kLastReservedPort) return d;
  if (nfs_x11(d)) return d;
  if (d > kLastReservedPort) return s;
  return s < d ? s : d;
}

// Missing octets for the checksum verdict: what the capture lost, or what the
// enclosing IP header says is absent (a datagram quoted by ICMP).
unsigned eff_missing(unsigned missing, const kav_pktctx *ctx) { return kav_eff_missing(missing, ctx); }

// Verdict on a message covered by a plain Internet checksum (no pseudo-header):
// "%" when octets are missing, "*" when shorter than its fixed part, "!" when
// the sum is wrong. tested is the number of octets summed, or -1.
struct cks_verdict {
  const char *mark;
  int tested;
  bool corrupt;
};
cks_verdict judge_plain_cksum(const char *T, const kav_view &pdu, int minlen, unsigned missing, kav_pktctx *ctx) {
  cks_verdict v{"", -1, false};
  unsigned um = eff_missing(missing, ctx);
  if (um > 0) {
    kavprt(4, "WARNING: %s packet is truncated (by %u bytes)\n", T, um);
    v.mark = "%";
  } else if (pdu.size() < minlen)
    v.mark = "*";
  else {
    v.tested = pdu.size();
    v.corrupt = !kav_chksum_ok(pdu);
    if (v.corrupt) v.mark = "!";
  }
  return v;
}

// Checksum with the pseudo-header the network layer left; tested is -1 when
// there is none to use.
bool pseudo_cksum(const kav_view &pdu, const kav_pktctx *ctx, int *tested) {
  if (ctx->ph_valid != 1) {
    *tested = -1;
    return true;
  }
  *tested = pdu.size() + ctx->ph_len;
  return kav_chksum_ok(pdu, ctx->ph_sum);
}

void ports(const kav_view &pdu, int l4, unsigned *s, unsigned *d, kav_pktctx *ctx, char *stxt, char *dtxt,
           size_t sz) {
  uint32_t a = 0, b = 0;
  bool hs = pdu.get16(0, a), hd = pdu.get16(2, b);
  *s = a;
  *d = b;
  stxt[0] = dtxt[0] = 0;
  if (hs) {
    kav_strlcpy(stxt, sz, kav_l5proto2nam(int(a), l4));
    KAV_CTX_SET(ctx->srcport, stxt);
  }
  if (hd) {
    kav_strlcpy(dtxt, sz, kav_l5proto2nam(int(b), l4));
    KAV_CTX_SET(ctx->dstport, dtxt);
  }
}

void tcp_flags(unsigned f, char *out, size_t sz) {
  static const char *const names[6] = {"FIN", "SYN", "RST", "PSH", "ACK", "URG"};
  size_t k = 0;
  for (int i = 0; i < 6; i++)
    if (f & (1u << i)) {
      if (k && k + 1 < sz) out[k++] = ',';
      for (const char *n = names[i]; *n && k + 1 < sz; n++) out[k++] = *n;
    }
  out[k] = 0;
  if (!k) kav_strlcpy(out, sz, "None");
}

void tcp_options(const kav_view &hdr, int H) {
  const char *T = "TCP";
  int end = hdr.size();  // the captured part of the header
  int off = 20, nopt = 0;
  while (off < end) {
    uint32_t kind = hdr.u8(off);
    if (nopt == 0) kavprt(4, "+%s: Options follow (%d bytes):\n", T, H - 20);
    uint32_t l = 0, cc = 0;
    bool have_len = kind <= 1 || hdr.get8(off + 1, l);
    int olen = kind <= 1 ? 1 : int(l);
    bool is_cc = kind >= 11 && kind <= 13;
    bool cc_ok = is_cc && have_len && olen >= 6 && off + olen <= end && hdr.get32(off + 2, cc);
    kavprt(2, "%s%s", nopt ? "," : ", opts ", tcpopt2nam(kind, false));
    if (cc_ok) kavprt(2, "=%d", int(cc));
    nopt++;
    kavprt(4, "+%s: - %s (Code=%d)", T, tcpopt2nam(kind, true), int(kind));
    if (kind <= 1) {
      kavprt(4, "\n");
      if (kind == 0) return;
      off++;
      continue;
    }
    const char *err = nullptr;
    char ebuf[64];
    if (!have_len)
      err = "\tOption header truncated";
    else if (olen < 2) {
      snprintf(ebuf, sizeof ebuf, "\tIllegal option length field (%d)", olen);
      err = ebuf;
    } else if (off + olen > H || off + olen > end)
      err = "\tOption data truncated";
    if (err) {
      if (kav_vblvl == 4) {
        int rest = end - off - 1;
        kavprt(4, "%s", err);
        kavprt(4, "- dumping rest of TCP header (%d byte%s):\n", rest, rest == 1 ? "" : "s");
        kav_dumpv(hdr.from(off + 1));
      }
      return;
    }
    kavprt(4, ": %d data octet%s\n", olen - 2, olen - 2 == 1 ? "" : "s");
    if (kav_vblvl == 4) {
      kav_view opt = hdr.sub(off, olen);
      uint32_t a = 0, b = 0;
      switch (kind) {
        case 2:
          if (opt.get16(2, a)) kavprt(4, "+%s:   MSS = %ld\n", T, long(a));
          break;
        case 3:
          if (opt.get8(2, a)) kavprt(4, "+%s:   Shift = %d\n", T, int(a));
          break;
        case 5: {
          int k = (olen - 2) / 8;
          kavprt(4, "+%s:   %d SACK%s\n", T, k, k == 1 ? "" : "s");
          for (int i = 0; i < k; i++)
            if (opt.get32(2 + 8 * i, a) && opt.get32(6 + 8 * i, b))
              kavprt(4, "+%s:   - Block %d: Left Edge = %ld, Right Edge = %ld\n", T, i + 1, long(a), long(b));
          break;
        }
        case 8:
          if (opt.get32(2, a) && opt.get32(6, b))
            kavprt(4, "+%s:   Value = %lu, Echo = %lu\n", T, (unsigned long)a, (unsigned long)b);
          break;
        case 11:
        case 12:
        case 13:
          if (opt.get32(2, a)) kavprt(4, "+%s:   Value = %d\n", T, int(a));
          break;
        default:
          if (olen > 2) {
            kavprt(4, "\tDumping unrecognised option-data octets:\n");
            kav_dumpv(opt.from(2));
          }
          break;
      }
    }
    off += olen;
  }
}

unsigned tcp(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx) {
  const char *T = "TCP";
  int len = pdu.size();
  char stxt[140], dtxt[140];
  unsigned sp, dp;
  ports(pdu, KAV_IPPROTO_TCP, &sp, &dp, ctx, stxt, dtxt, sizeof stxt);
  unsigned app = app_port(sp, dp);

  uint32_t b12 = 0;
  pdu.get8(12, b12);
  int H = int(b12 >> 4) * 4;
  if (H < 20) {
    kavprt(4, "WARNING: TCP header length claims to be %d (illegal)", H);
    kavprt(4, " - adjust to min=%d\n", 20);
    H = 20;
  }
  const char *mark = "";
  int tested = -1;
  bool corrupt = false;
  unsigned um = eff_missing(missing, ctx);
  if (H > len) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(H - len));
    mark = "*";
  } else if (um > 0) {
    kavprt(4, "WARNING: %s packet is truncated (by %u bytes)\n", T, um);
    mark = "%";
  } else {
    corrupt = !pseudo_cksum(pdu, ctx, &tested);
    if (corrupt) mark = "!";
  }
  uint32_t seq = 0, ack = 0, fl = 0, win = 0, cks = 0, urg = 0;
  bool have_seq = pdu.get32(4, seq), have_ack = pdu.get32(8, ack);
  bool have_r12 = pdu.get8(13, fl) && pdu.get16(14, win);
  pdu.get16(16, cks);
  pdu.get16(18, urg);
  char ftxt[40];
  tcp_flags(fl & 0x3F, ftxt, sizeof ftxt);
  if (have_r12) KAV_CTX_SET(ctx->tcpflags, ftxt);
  if (have_seq) ctx->tcpseq = seq;
  if (have_ack) ctx->tcpack = ack;

  int hcap = H < len ? H : len;
  if (kav_vblvl != 4) {
    kavprt(1, "%s%s: %s->%s", mark, T, stxt, dtxt);
    if ((kav_vblvl == 2 || kav_vblvl == 3) && have_r12) {
      kavprt(2, " <%s>, seq=%u", ftxt, seq % 1000000u);  // blank-separated from the port, as listings readers expect
      uint32_t n = uint32_t(len > H ? len - H : 0) + missing;
      n += (fl & 0x02 ? 1 : 0) + (fl & 0x01 ? 1 : 0) + (fl & 0x04 ? 1 : 0);
      if (n != 0) kavprt(2, "-%u", uint32_t(seq + n - 1) % 1000000u);
      kavprt(2, ", ack=%u, win=%u", ack % 1000000u, win);
    }
  } else {
    if (hcap >= 4) {
      kavprt(4, "+%s: Source Port = %s\n", T, stxt);
      kavprt(4, "+%s: Dest Port = %s\n", T, dtxt);
    }
    if (hcap >= 8) kavprt(4, "+%s: Sequence Number = %lu\n", T, (unsigned long)seq);
    if (hcap >= 12) kavprt(4, "+%s: Ack Number = %lu\n", T, (unsigned long)ack);
    if (hcap >= 16) {
      kavprt(4, "+%s: Header Len = %d (%d octets)\n", T, int(b12 >> 4), int(b12 >> 4) * 4);
      kavprt(4, "+%s: Reserved = %d:%d\n", T, int(b12 & 15), int(fl >> 6));
      kavprt(4, "+%s: Flags = <%s>  (0x%02X)\n", T, ftxt, fl);
      kavprt(4, "+%s: Window = %d\n", T, int(win));
    }
    if (hcap >= 20) {
      kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
      kavprt(4, "+%s: Urgent Pointer = %d (0x%02X)\n", T, int(urg), urg);
    }
  }
  if (H > 20 && hcap > 20) tcp_options(pdu.first(hcap), H);

  *layer = KAV_LAYER_APP;
  *proto = int(app);
  *more = 1;
  return len > H ? unsigned(len - H) : 0;
}

unsigned udp(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx) {
  const char *T = "UDP";
  int len = pdu.size();
  char stxt[140], dtxt[140];
  unsigned sp, dp;
  ports(pdu, KAV_IPPROTO_UDP, &sp, &dp, ctx, stxt, dtxt, sizeof stxt);
  *layer = KAV_LAYER_APP;
  *proto = int(app_port(sp, dp));
  *more = 1;
  uint32_t ulen = 0, cks = 0;
  bool have_len = pdu.get16(4, ulen), have_cks = pdu.get16(6, cks);
  const char *mark = "";
  int tested = -1;
  bool corrupt = false;
  unsigned um = eff_missing(missing, ctx);
  if (len < 8) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(8 - len));
    mark = "*";
  } else if (cks == 0)
    mark = "-";
  else if (um > 0) {
    kavprt(4, "WARNING: %s packet is truncated (by %u bytes)\n", T, um);
    mark = "%";
  } else {
    corrupt = !pseudo_cksum(pdu, ctx, &tested);
    if (corrupt) mark = "!";
  }
  if (kav_vblvl != 4)
    kavprt(1, "%s%s: %s->%s", mark, T, stxt, dtxt);
  else {
    if (len >= 4) {
      kavprt(4, "+%s: Source Port = %s\n", T, stxt);
      kavprt(4, "+%s: Dest Port = %s\n", T, dtxt);
    }
    if (len > 4 && have_len) kavprt(4, "+%s: PDU Size = %d%s\n", T, int(ulen), ulen != unsigned(len) + um ? " !ERROR" : "");
    if (len > 4 && have_cks)
      kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
  }
  return len > 8 ? unsigned(len - 8) : 0;
}

unsigned icmp(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx) {
  const char *T = "ICMP";
  int len = pdu.size();
  *layer = KAV_LAYER_NET;
  *proto = KAV_L3_IP;
  uint32_t type = 0, code = 0, cks = 0;
  bool have_tc = pdu.get8(0, type) && pdu.get8(1, code);
  bool have_cks = pdu.get16(2, cks);
  const cks_verdict v = judge_plain_cksum(T, pdu, 4, missing, ctx);
  const char *mark = v.mark;
  const int tested = v.tested;
  const bool corrupt = v.corrupt;
  if (have_tc) {
    ctx->icmptype = type;
    ctx->icmpcode = code;
  }
  if (kav_vblvl != 4) {
    kavprt(1, "%s%s: %s", mark, T, have_tc ? icmp_cod2nam(type, code) : "");
    return 0;
  }
  if (!have_tc) return 0;
  kavprt(4, "+%s: Type = %s (%d)\n", T, icmp_typ2nam(type), int(type));
  kavprt(4, "+%s: Code = %s (%d)\n", T, icmp_cod2nam(type, code), int(code));
  if (have_cks) kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
  auto rest = [len](int n) { return len > n ? unsigned(len - n) : 0u; };
  uint32_t a = 0, b = 0;
  auto id_seq = [&]() {
    if (pdu.get16(4, a)) kavprt(4, "+%s: ID = %d\n", T, int(a));
    if (pdu.get16(6, b)) kavprt(4, "+%s: Sequence = %d\n", T, int(b));
  };
  char host[200];
  unsigned char ip4[4];
  switch (type) {
    case 0:
    case 8:
      id_seq();
      if (len > 8) {
        kavprt(4, "+%s: %d octets of optional data follow:\n", T, len - 8);
        kav_dumpv(pdu.from(8));
      }
      return 0;
    case 3:
    case 4:
    case 11:
      if (pdu.get32(4, a)) kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)a, a ? " *ERROR*" : "");
      *more = 1;
      return rest(8);
    case 5:
      if (pdu.copy(4, 4, ip4)) {
        kav_strlcpy(host, sizeof host, kav_ipaddr2nam(ip4));
        kavprt(4, "+%s: Required Router = %s\n", T, host);
      }
      *more = 1;
      return rest(8);
    case 12:
      if (pdu.get8(4, a)) kavprt(4, "+%s: Pointer = %d%s\n", T, int(a), code == 1 ? " (not used)" : "");
      if (pdu.get24(5, b)) kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)b, b ? " *ERROR*" : "");
      *more = 1;
      return rest(8);
    case 9: {
      uint32_t n = 0, esz = 0, life = 0;
      if (pdu.get8(4, n)) kavprt(4, "+%s: No. Of Addresses = %d\n", T, int(n));
      if (pdu.get8(5, esz)) kavprt(4, "+%s: Entry Size = %d%s\n", T, int(esz), esz != 2 ? " *ERROR*" : "");
      if (pdu.get16(6, life)) kavprt(4, "+%s: Lifetime = %d\n", T, int(life));
      for (int i = 0; i < int(n); i++) {
        int off = 8 + 8 * i;
        if (!pdu.copy(off, 4, ip4) || !pdu.get32(off + 4, a)) break;
        kav_strlcpy(host, sizeof host, kav_ipaddr2nam(ip4));
        kavprt(4, "+%s: Router %d = %s\n", T, i, host);
        kavprt(4, "+%s:\tPreference = %lu (0x%04lX)\n", T, (unsigned long)a, (unsigned long)a);
      }
      return rest(8 + 8 * int(n));
    }
    case 10:
      if (pdu.get32(4, a)) kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)a, a ? " *ERROR*" : "");
      return rest(8);
    case 13:
    case 14:
      id_seq();
      if (pdu.get32(8, a)) kavprt(4, "+%s: Originate Timestamp = %lu\n", T, (unsigned long)a);
      if (pdu.get32(12, a)) kavprt(4, "+%s: Receive Timestamp = %lu\n", T, (unsigned long)a);
      if (pdu.get32(16, a)) kavprt(4, "+%s: Transmit Timestamp = %lu\n", T, (unsigned long)a);
      return rest(20);
    case 15:
    case 16:
      id_seq();
      return rest(8);
    case 17:
    case 18:
      id_seq();
      if (pdu.get32(8, a)) kavprt(4, "+%s: Subnet Mask = 0x%04lX\n", T, (unsigned long)a);
      return rest(12);
    case 30:
      if (pdu.get16(4, a)) kavprt(4, "+%s: ID = %ld\n", T, long(a));
      if (pdu.get16(6, a)) kavprt(4, "+%s: Unused = %ld\n", T, long(a));
      if (pdu.get16(8, a)) kavprt(4, "+%s: Outbound Hop Count = %ld\n", T, long(a));
      if (pdu.get16(10, a)) kavprt(4, "+%s: Inbound Hop Count = %ld\n", T, long(a));
      if (pdu.get32(12, a)) kavprt(4, "+%s: Output Link Speed = %ld\n", T, long(a));
      if (pdu.get32(16, a)) kavprt(4, "+%s: Output Link MTU = %ld\n", T, long(a));
      return rest(20);
    default: kav_dumpv(pdu); return 0;
  }
}

unsigned igmp(const kav_view &pdu, unsigned missing, kav_pktctx *ctx) {
  const char *T = "IGMP";
  int len = pdu.size();
  uint32_t type = 0, mrt = 0, cks = 0;
  bool have_t = pdu.get8(0, type), have_m = pdu.get8(1, mrt), have_c = pdu.get16(2, cks);
  unsigned char grp[4];
  bool have_g = pdu.copy(4, 4, grp);
  char gtxt[200] = "";
  if (have_g) kav_strlcpy(gtxt, sizeof gtxt, kav_ipaddr2nam(grp));
  bool gzero = have_g && !grp[0] && !grp[1] && !grp[2] && !grp[3];
  int ver = -1;
  const char *tname = "Unrecognised";
  char summ[240];
  switch (type) {
    case 0x11:
      if (mrt == 0) {
        ver = 1;
        tname = "Membership Query";
        snprintf(summ, sizeof summ, "Query");
      } else {
        ver = 2;
        if (gzero || !have_g) {
          tname = "Membership Query (general)";
          snprintf(summ, sizeof summ, "Query");
        } else {
          tname = "Membership Query (specific)";
          snprintf(summ, sizeof summ, "Query=%s", gtxt);
        }
      }
      break;
    case 0x12:
      ver = 1;
      tname = "Membership Report";
      snprintf(summ, sizeof summ, "Report=%s", gtxt);
      break;
    case 0x16:
      ver = 2;
      tname = "Membership Report";
      snprintf(summ, sizeof summ, "Report=%s", gtxt);
      break;
    case 0x17:
      ver = 2;
      tname = "Leave Group";
      snprintf(summ, sizeof summ, "Leave=%s", gtxt);
      break;
    default: snprintf(summ, sizeof summ, "<%d>", int(type)); break;
  }
  const cks_verdict v = judge_plain_cksum(T, pdu, 8, missing, ctx);
  const char *mark = v.mark;
  const int tested = v.tested;
  const bool corrupt = v.corrupt;
  if (kav_vblvl != 4)
    kavprt(1, "%s%s: %s", mark, T, summ);
  else {
    if (have_t) {
      kavprt(4, "+%s: Version = %d\n", T, ver);
      kavprt(4, "+%s: Type = %s <0x%x>\n", T, tname, type);
    }
    if (have_m)
      kavprt(4, "+%s: %s = %d%s\n", T, ver == 1 ? "Unused" : "Max Response Time", int(mrt),
             (ver == 1 && mrt != 0) ? " ***INVALID***" : "");
    if (have_c) kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
    if (have_g) kavprt(4, "+%s: Group Address = %s\n", T, gtxt);
  }
  return len > 8 ? unsigned(len - 8) : 0;
}

unsigned vrrp(const kav_view &pdu, unsigned missing, kav_pktctx *ctx) {
  const char *T = "VRRP";
  int len = pdu.size();
  uint32_t b0 = 0, vrid = 0, pri = 0, cnt = 0, auth = 0, adv = 0, cks = 0;
  bool r0 = pdu.get8(0, b0) && pdu.get8(1, vrid) && pdu.get8(2, pri) && pdu.get8(3, cnt);
  bool r4 = pdu.get8(4, auth) && pdu.get8(5, adv) && pdu.get16(6, cks);
  unsigned ver = b0 >> 4, type = b0 & 15;
  char tname[16];
  if ((b0 & 0x0E) == 0 && type == 1)
    snprintf(tname, sizeof tname, "Advertisement");
  else
    snprintf(tname, sizeof tname, "<%d>", int(type));
  const cks_verdict v = judge_plain_cksum(T, pdu, 8, missing, ctx);
  const char *mark = v.mark;
  const int tested = v.tested;
  const bool corrupt = v.corrupt;
  if (kav_vblvl != 4) {
    kavprt(1, "%s%s=%s (ver=%d, ID=%d, Pri=%d, AdvIPs=%d)", mark, T, tname, int(ver), int(vrid), int(pri), int(cnt));
    return 0;
  }
  if (r0) {
    kavprt(4, "+%s: Version = %d\n", T, int(ver));
    kavprt(4, "+%s: Packet Type = %s (%d)\n", T, tname, int(type));
    kavprt(4, "+%s: Virtual Router ID = %d\n", T, int(vrid));
    kavprt(4, "+%s: Priority = %d\n", T, int(pri));
    kavprt(4, "+%s: IP Address Count = %d\n", T, int(cnt));
  }
  if (r4) {
    const char *an = auth == 0 ? "Null Authentication" : auth == 1 ? "Simple Password" : auth == 2 ? "IP Auth Header" : nullptr;
    char ab[16];
    if (!an) {
      snprintf(ab, sizeof ab, "<%d>", int(auth));
      an = ab;
    }
    kavprt(4, "+%s: Auth Type = %s (%d)\n", T, an, int(auth));
    kavprt(4, "+%s: Advertisement Interval = %d second%s\n", T, int(adv), adv == 1 ? "" : "s");
    kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
  }
  for (int i = 0; i < int(cnt); i++) {
    unsigned char a[4];
    if (!pdu.copy(8 + 4 * i, 4, a)) break;
    char host[200];
    kav_strlcpy(host, sizeof host, kav_ipaddr2nam(a));
    kavprt(4, "+%s: IP Address %d = %s\n", T, i + 1, host);
  }
  int ao = 8 + 4 * int(cnt);
  unsigned char ad[8];
  if (pdu.copy(ao, 8, ad)) {
    if (auth == 1) {
      char txt[9];
      memcpy(txt, ad, 8);
      txt[8] = 0;
      kavprt(4, "+%s: Auth Data = %x:%x:%x:%x:%x:%x:%x:%x (%.8s)\n", T, ad[0], ad[1], ad[2], ad[3], ad[4], ad[5], ad[6],
             ad[7], txt);
    } else
      kavprt(4, "+%s: Auth Data = %x:%x:%x:%x:%x:%x:%x:%x\n", T, ad[0], ad[1], ad[2], ad[3], ad[4], ad[5], ad[6], ad[7]);
  }
  int mlen = 16 + 4 * int(cnt);
  if (len < mlen)
    kavprt(4, "WARNING: VRRP packet is truncated (by %d bytes)\n", mlen - len);
  else if (len > mlen) {
    kavprt(4, "+%s: %d trailing octet%s follow:\n", T, len - mlen, len - mlen == 1 ? "" : "s");
    kav_dumpv(pdu.from(mlen));
  }
  return 0;
}

}  // namespace

unsigned kav_panl4(int *layer, int *proto, kav_view pdu, int *trailer, int *more, unsigned missing,
                   kav_pktctx *ctx) {
  (void)trailer;
  if (pdu.size() <= 0) return 0;
  switch (*proto) {
    case KAV_IPPROTO_TCP: return tcp(layer, proto, pdu, more, missing, ctx);
    case KAV_IPPROTO_UDP: return udp(layer, proto, pdu, more, missing, ctx);
    case KAV_IPPROTO_ICMP: return icmp(layer, proto, pdu, more, missing, ctx);
    case KAV_IPPROTO_IGMP: return igmp(pdu, missing, ctx);
    case KAV_IPPROTO_VRRP: return vrrp(pdu, missing, ctx);
    case KAV_IPPROTO_GRE: return kav_gre(layer, proto, pdu, more, missing, ctx);
    case KAV_IPPROTO_ICMPV6: return kav_icmp6(layer, proto, pdu, more, missing, ctx);
    case KAV_IPPROTO_OSPF: kav_panospf(pdu); return 0;
    default: *layer = KAV_LAYER_STOP; return unsigned(pdu.size());
  }
}
