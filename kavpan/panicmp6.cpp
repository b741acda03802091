// ICMPv6 (IP protocol 58): the error messages with the datagram they quote,
// echo, router and neighbour discovery with their options, and the checksum
// over the IPv6 pseudo-header.
#include <arpa/inet.h>

#include "pansupp.h"

namespace {

const char *icmp6_typ2nam(unsigned t) {
  static char buf[24];
  switch (t) {
    case 1: return "Destination Unreachable";
    case 2: return "Packet Too Big";
    case 3: return "Time Exceeded";
    case 4: return "Parameter Problem";
    case 128: return "Echo Request";
    case 129: return "Echo Reply";
    case 130: return "Multicast Listener Query";
    case 131: return "Multicast Listener Report";
    case 132: return "Multicast Listener Done";
    case 133: return "Router Solicitation";
    case 134: return "Router Advertisement";
    case 135: return "Neighbour Solicitation";
    case 136: return "Neighbour Advertisement";
    case 137: return "Redirect";
    case 143: return "Multicast Listener Report v2";
    default: snprintf(buf, sizeof buf, "<Type=%u>", t); return buf;
  }
}

const kav_codenam k_icmp6codes[] = {
    {1, 0, "Unreach-NoRoute", "no route to destination"},
    {1, 1, "Unreach-Admin", "communication administratively prohibited"},
    {1, 2, "Unreach-Scope", "beyond scope of source address"},
    {1, 3, "Unreach-Addr", "address unreachable"},
    {1, 4, "Unreach-Port", "port unreachable"},
    {1, 5, "Unreach-Policy", "source address failed ingress/egress policy"},
    {1, 6, "Unreach-Reject", "reject route to destination"},
    {2, 0, "TooBig", "zero"},
    {3, 0, "Exceed-HopLimit", "hop limit exceeded in transit"},
    {3, 1, "Exceed-Assembly", "fragment reassembly time exceeded"},
    {4, 0, "Params-Hdr", "erroneous header field"},
    {4, 1, "Params-NextHdr", "unrecognised next header"},
    {4, 2, "Params-Opt", "unrecognised IPv6 option"},
    {128, 0, "EchoReq", "zero"},
    {129, 0, "EchoRsp", "zero"},
    {130, 0, "MLD-Query", "zero"},
    {131, 0, "MLD-Report", "zero"},
    {132, 0, "MLD-Done", "zero"},
    {133, 0, "RtrSol", "zero"},
    {134, 0, "RtrAdv", "zero"},
    {135, 0, "NbrSol", "zero"},
    {136, 0, "NbrAdv", "zero"},
    {137, 0, "Redirect", "zero"},
    {143, 0, "MLDv2-Report", "zero"},
};

const char *icmp6_cod2nam(unsigned type, unsigned code) { return kav_code2nam(k_icmp6codes, type, code); }

const char *nd_optnam(unsigned t) {
  static char buf[24];
  switch (t) {
    case 1: return "Source Link-Layer Address";
    case 2: return "Target Link-Layer Address";
    case 3: return "Prefix Information";
    case 4: return "Redirected Header";
    case 5: return "MTU";
    case 25: return "Recursive DNS Server";
    case 31: return "DNS Search List";
    default: snprintf(buf, sizeof buf, "<OPT=%u>", t); return buf;
  }
}

bool addr6(const kav_view &v, int off, char *out, size_t sz) {
  unsigned char a[16];
  if (!v.copy(off, 16, a)) return false;
  inet_ntop(AF_INET6, a, out, socklen_t(sz));
  return true;
}

// Neighbour-discovery options from off to the end of the message (level 4).
// Their length is counted in units of 8 octets, type and length included.
void nd_options(const kav_view &pdu, int off) {
  const char *T = "ICMPv6";
  kav_cursor c(pdu, off);
  while (c.remaining() > 0) {
    int at = c.pos;
    uint32_t t = c.u8(), l = c.u8();
    const char *err = nullptr;
    char ebuf[64];
    kav_view opt;
    if (!c.ok())
      err = "\tOption header truncated";
    else if (l == 0) {
      snprintf(ebuf, sizeof ebuf, "\tIllegal option length field (%u)", l);
      err = ebuf;
    } else if (!pdu.exact(at, l * 8, opt))
      err = "\tOption data truncated";
    if (err) {
      int rest = pdu.size() - at;
      kavprt(4, "%s", err);
      kavprt(4, "- dumping rest of %s message (%d byte%s):\n", T, rest, rest == 1 ? "" : "s");
      kav_dumpv(pdu.from(at));
      return;
    }
    c = kav_cursor(pdu, at + int(l) * 8);
    kavprt(4, "+%s: Option = %s (Type=%u), %u octets\n", T, nd_optnam(t), t, l * 8);
    char a6[INET6_ADDRSTRLEN];
    switch (t) {
      case 1:
      case 2: {
        // Link-layer address: the octets after type and length (6 on Ethernet).
        char hx[3 * 14 + 1] = "";
        int n = opt.size() - 2;
        if (n > 14) n = 14;
        size_t k = 0;
        for (int i = 0; i < n; i++) k += size_t(snprintf(hx + k, sizeof hx - k, i ? ":%02X" : "%02X", opt.u8(2 + i)));
        kavprt(4, "+%s:   Link-Layer Address = %s\n", T, hx);
        break;
      }
      case 3:
        if (opt.size() >= 32 && addr6(opt, 16, a6, sizeof a6)) {
          uint32_t fl = opt.u8(3);
          kavprt(4, "+%s:   Prefix = %s/%u\n", T, a6, opt.u8(2));
          kavprt(4, "+%s:   Flags = <%s, %s> (0x%02X)\n", T, (fl & 0x80) ? "On-Link" : "Not On-Link",
                 (fl & 0x40) ? "Autonomous" : "Not Autonomous", fl);
          kavprt(4, "+%s:   Valid Lifetime = %lu\n", T, (unsigned long)opt.u32(4));
          kavprt(4, "+%s:   Preferred Lifetime = %lu\n", T, (unsigned long)opt.u32(8));
        } else
          kav_dumpv(opt.from(2));
        break;
      case 5:
        if (opt.size() >= 8)
          kavprt(4, "+%s:   MTU = %lu\n", T, (unsigned long)opt.u32(4));
        else
          kav_dumpv(opt.from(2));
        break;
      case 25:
        if (opt.size() >= 8) {
          kavprt(4, "+%s:   Lifetime = %lu\n", T, (unsigned long)opt.u32(4));
          for (int i = 0; 8 + 16 * i + 16 <= opt.size(); i++)
            if (addr6(opt, 8 + 16 * i, a6, sizeof a6)) kavprt(4, "+%s:   Server %d = %s\n", T, i + 1, a6);
        }
        break;
      default:
        if (opt.size() > 2) kav_dumpv(opt.from(2));
        break;
    }
  }
}

}  // namespace

unsigned kav_icmp6(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx) {
  const char *T = "ICMPv6";
  int len = pdu.size();
  // An error message quotes the datagram that caused it, decoded as IPv6.
  *layer = KAV_LAYER_NET;
  *proto = KAV_L3_IPV6;
  uint32_t type = 0, code = 0, cks = 0;
  bool have_tc = pdu.get8(0, type) && pdu.get8(1, code);
  bool have_cks = pdu.get16(2, cks);
  const char *mark = "";
  int tested = -1;
  bool corrupt = false;
  unsigned um = kav_eff_missing(missing, ctx);
  if (um > 0) {
    kavprt(4, "WARNING: %s packet is truncated (by %u bytes)\n", T, um);
    mark = "%";
  } else if (len < 4)
    mark = "*";
  else if (ctx->ph_valid == 1) {
    tested = len + ctx->ph_len;
    corrupt = !kav_chksum_ok(pdu, ctx->ph_sum);
    if (corrupt) mark = "!";
  }
  if (have_tc) {
    ctx->icmptype = type;
    ctx->icmpcode = code;
  }
  char a6[INET6_ADDRSTRLEN];
  if (kav_vblvl != 4) {
    kavprt(1, "%s%s: %s", mark, T, have_tc ? icmp6_cod2nam(type, code) : "");
    if ((type == 135 || type == 136 || type == 137) && addr6(pdu, 8, a6, sizeof a6)) kavprt(2, " tgt=%s", a6);
    if (type == 2 && pdu.has(4, 4)) kavprt(2, " mtu=%u", pdu.u32(4));
    return 0;
  }
  if (!have_tc) return 0;
  kavprt(4, "+%s: Type = %s (%d)\n", T, icmp6_typ2nam(type), int(type));
  kavprt(4, "+%s: Code = %s (%d)\n", T, icmp6_cod2nam(type, code), int(code));
  if (have_cks) kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
  auto rest = [len](int n) { return len > n ? unsigned(len - n) : 0u; };
  uint32_t a = 0, b = 0;
  switch (type) {
    case 1:
    case 3:
      if (pdu.get32(4, a)) kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)a, a ? " *ERROR*" : "");
      *more = 1;
      return rest(8);
    case 2:
      if (pdu.get32(4, a)) kavprt(4, "+%s: MTU = %lu\n", T, (unsigned long)a);
      *more = 1;
      return rest(8);
    case 4:
      if (pdu.get32(4, a)) kavprt(4, "+%s: Pointer = %lu\n", T, (unsigned long)a);
      *more = 1;
      return rest(8);
    case 128:
    case 129:
      if (pdu.get16(4, a)) kavprt(4, "+%s: ID = %d\n", T, int(a));
      if (pdu.get16(6, b)) kavprt(4, "+%s: Sequence = %d\n", T, int(b));
      if (len > 8) {
        kavprt(4, "+%s: %d octets of optional data follow:\n", T, len - 8);
        kav_dumpv(pdu.from(8));
      }
      return 0;
    case 133:
      if (pdu.get32(4, a)) kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)a, a ? " *ERROR*" : "");
      nd_options(pdu, 8);
      return 0;
    case 134: {
      uint32_t hl = 0, fl = 0, life = 0, reach = 0, retr = 0;
      if (pdu.get8(4, hl) && pdu.get8(5, fl) && pdu.get16(6, life)) {
        kavprt(4, "+%s: Cur Hop Limit = %u\n", T, hl);
        kavprt(4, "+%s: Flags = <%s, %s> (0x%02X)\n", T, (fl & 0x80) ? "Managed" : "Not Managed",
               (fl & 0x40) ? "Other" : "No Other", fl);
        kavprt(4, "+%s: Router Lifetime = %u\n", T, life);
      }
      if (pdu.get32(8, reach)) kavprt(4, "+%s: Reachable Time = %lu\n", T, (unsigned long)reach);
      if (pdu.get32(12, retr)) kavprt(4, "+%s: Retrans Timer = %lu\n", T, (unsigned long)retr);
      nd_options(pdu, 16);
      return 0;
    }
    case 135:
    case 136:
    case 137:
      if (type == 136 && pdu.get32(4, a))
        kavprt(4, "+%s: Flags = <%s, %s, %s> (0x%X)\n", T, (a & 0x80000000u) ? "Router" : "Not Router",
               (a & 0x40000000u) ? "Solicited" : "Not Solicited", (a & 0x20000000u) ? "Override" : "No Override",
               a >> 29);
      else if (pdu.get32(4, a))
        kavprt(4, "+%s: Reserved = %lu%s\n", T, (unsigned long)a, a ? " *ERROR*" : "");
      if (addr6(pdu, 8, a6, sizeof a6)) kavprt(4, "+%s: Target Address = %s\n", T, a6);
      if (type == 137) {
        if (addr6(pdu, 24, a6, sizeof a6)) kavprt(4, "+%s: Destination Address = %s\n", T, a6);
        nd_options(pdu, 40);
      } else
        nd_options(pdu, 24);
      return 0;
    default: kav_dumpv(pdu); return 0;
  }
}
