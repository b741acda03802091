// Link-layer decoder: Ethernet II, IEEE 802.3, FDDI, 802.2 LLC, SNAP, PPP,
// 802.1Q/802.1ad tags, MPLS label stacks and PPPoE.
#include <cstring>

#include "pansupp.h"

namespace {

struct etyp {
  unsigned type;
  const char *name;
};
const etyp k_ethtypes[] = {
    {0x0200, "XEROX PUP"},
    {0x0201, "XEROX PUP Address Translation"},
    {0x0600, "XEROX XNS IDP"},
    {0x0800, "IP"},
    {0x0801, "X.75"},
    {0x0803, "ECMA Internet"},
    {0x0804, "MIT ChaosNet"},
    {0x0805, "X.25 Packet Layer"},
    {0x0806, "ARP"},
    {0x0807, "XMS Compatibility"},
    {0x0808, "Frame Relay ARP"},
    {0x0900, "Ungermann Bass Net Debugger"},
    {0x0A00, "XEROX PUP"},
    {0x0A01, "XEROX PUP Address Translation"},
    {0x0BAD, "Banyan VINES"},
    {0x0BAE, "VINES Loopback"},
    {0x0BAF, "VINES Echo"},
    {0x1000, "Berkeley Trailer Negotiation"},
    {0x22EB, "ERSPAN Type III"},
    {0x6001, "DEC MOP Dump/Load"},
    {0x6002, "DEC MOP Remote Console"},
    {0x6003, "DECNET Phase IV Route"},
    {0x6004, "DEC LAT"},
    {0x6005, "DEC Diagnostic Protocol"},
    {0x6006, "DEC Customer Protocol"},
    {0x6007, "DEC LAVC, SCA"},
    {0x6558, "Transparent Ethernet Bridging"},
    {0x6559, "Raw Frame Relay"},
    {0x7000, "Ungermann Bass Download"},
    {0x7002, "Ungermann Bass Diag/Loop"},
    {0x8005, "HP Probe"},
    {0x8035, "RARP"},
    {0x8038, "DEC LANBridge"},
    {0x803D, "DEC Ethernet Encryption"},
    {0x803F, "DEC LAN Traffic Monitor"},
    {0x809B, "AppleTalk"},
    {0x80D5, "IBM SNA"},
    {0x80F3, "AppleTalk ARP"},
    {0x8100, "802.1Q VLAN"},
    {0x8137, "IPX"},
    {0x814C, "SNMP"},
    {0x86DD, "IPv6"},
    {0x876B, "TCP/IP Compression"},
    {0x876C, "IP Autonomous Systems"},
    {0x880B, "PPP"},
    {0x8847, "MPLS"},
    {0x8848, "MPLS Multicast"},
    {0x884C, "MultiProtocol-over-ATM"},
    {0x8884, "Frame-based ATM-over-Ethernet"},
    {0x8863, "PPPoE Discovery"},
    {0x8864, "PPPoE Session"},
    {0x888E, "802.1x EAP"},
    {0x88BE, "ERSPAN"},
    {0x88A8, "802.1ad Service VLAN"},
    {0x9000, "Loopback"},
    {0x9001, "3COM (Bridge) XNS System Management"},
    {0x9002, "3COM (Bridge) TCP/IP Sys"},
    {0x9003, "3COM (Bridge) Loop Detect"},
    {0x9100, "802.1Q-in-Q VLAN"},
};

// Next layer for an ether type; layer 3 code 0 (not decoded) when the type
// has no decoder.
void by_ethtype(unsigned type, int *layer, int *proto) {
  if (!kav_ethtype_layer(type, layer, proto)) {
    *layer = KAV_LAYER_NET;
    *proto = 0;
  }
}

const char *sap2nam(unsigned sap) {
  static char buf[16];
  switch (sap) {
    case 0x00: return "NULL LSAP";
    case 0x02: return "Individual LLC sublayer management";
    case 0x03: return "Group LLC sublayer management";
    case 0x04: return "SNA Path Control";
    case 0x0E: return "PROWAY-LAN";
    case 0x4E: return "EIA-RS 511";
    case 0x5E: return "ISI IP";
    case 0x8E: return "PROWAY-LAN";
    case 0xAA: return "SNAP";
    case 0xE0: return "IPX";
    case 0xFE: return "ISO CLNS";
    case 0xFF: return "Global DSAP";
    default: snprintf(buf, sizeof buf, "<0x%x>", sap); return buf;
  }
}

const char *fc2nam(unsigned fc) {
  switch (fc >> 4) {
    case 0x8: return "Non-Restricted Token";
    case 0x5: return "Async LLC";
    case 0x6: return "Async Implementor";
    case 0xD: return "Sync LLC";
    case 0xE: return "Sync Implementor";
    case 0x4:
      if (fc == 0x41) return "SMT Info";
      if (fc == 0x4F) return "SMT Next Station Address";
      if (fc == 0x40) return "Void";
      return "SMT";
    case 0xC:
      if (fc == 0xC2) return "MAC Beacon";
      if (fc == 0xC3) return "MAC Claim";
      if (fc == 0xC0) return "Restricted Token";
      return "MAC";
    default: return "Unknown";
  }
}

void hexaddr(const unsigned char *a, char *out) {
  static const char hx[] = "0123456789ABCDEF";
  for (int i = 0; i < 6; i++) {
    out[i * 3] = hx[a[i] >> 4];
    out[i * 3 + 1] = hx[a[i] & 15];
    out[i * 3 + 2] = i < 5 ? ':' : 0;
  }
}

// Destination text of Ethernet and 802.3 frames; returns whether it is a
// broadcast or multicast (shown already at level 2).
bool dest_text(const unsigned char *a, char *out, size_t outsz) {
  static const unsigned char bc[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  if (memcmp(a, bc, 6) == 0) {
    snprintf(out, outsz, "broadcast");
    return true;
  }
  if (a[0] == 0x01) {
    snprintf(out, outsz, "multicast");
    return true;
  }
  kav_strlcpy(out, outsz, kav_ethaddr2nam(a));
  return false;
}

// Ethernet II and 802.3 share the 14-octet MAC header.
unsigned mac_header(bool ether, int *layer, int *proto, const kav_view &pdu, int *trailer, kav_pktctx *ctx) {
  const char *tag = ether ? "ETHER" : "802.3";
  const char *mark = "";
  int len = pdu.size();
  unsigned payload = 0;
  if (len < 14) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", ether ? "Ethernet" : "802.3", unsigned(14 - len));
    mark = "*";
  } else
    payload = unsigned(len - 14);

  unsigned char dst[6], src[6];
  char dtxt[200] = "", stxt[200] = "";
  bool have_dst = pdu.copy(0, 6, dst), have_src = pdu.copy(6, 6, src);
  bool dst_early = false;
  if (have_dst) {
    dst_early = dest_text(dst, dtxt, sizeof dtxt);
    KAV_CTX_SET(ctx->l2dst, dtxt);
  }
  if (have_src) {
    kav_strlcpy(stxt, sizeof stxt, kav_ethaddr2nam(src));
    KAV_CTX_SET(ctx->l2src, stxt);
  }
  uint32_t tl = 0;
  bool have_tl = pdu.get16(12, tl);
  bool unknown_type = false;

  if (ether) {
    *layer = KAV_LAYER_NET;
    *proto = 0;
    if (have_tl) {
      ctx->ethtype = tl;
      if (tl == KAV_ETHTYPE_SNMP) {
        *layer = KAV_LAYER_APP;
        *proto = KAV_PORT_SNMP;
      } else
        by_ethtype(tl, layer, proto);
      unknown_type = *layer == KAV_LAYER_NET && *proto == 0;
    }
  } else {
    uint32_t ff = 0;
    if (pdu.get16(14, ff) && ff == KAV_IPX_RAW) {
      *layer = KAV_LAYER_NET;
      *proto = KAV_L3_IPX;
    } else {
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_LLC;
    }
  }

  if (kav_vblvl == 4) {
    if (have_src) kavprt(4, "+%s: Source Addr = %s\n", tag, stxt);
    if (have_dst) kavprt(4, "+%s: Dest Addr = %s\n", tag, dtxt);
    if (have_tl) {
      if (ether)
        kavprt(4, "+ETHER: Type = 0x%04X (%s)%s\n", tl, ethtyp2nam(tl), tl <= KAV_ETHTYPE_MAXLEN ? " *ERROR*" : "");
      else
        kavprt(4, "+802.3: Length = %u%s\n", tl, tl > KAV_ETHTYPE_MAXLEN ? " *ERROR*" : "");
    }
  } else {
    kavprt(2, "%s%s", mark, ether ? "ETH" : "802.3");
    if (have_src) kavprt(3, ": %s ->", stxt);
    if (have_dst) kavprt(dst_early ? 2 : 3, " %s", dtxt);
    if (ether && unknown_type) kavprt(2, " (%s)", ethtyp2nam(tl));
  }

  if (!ether && have_tl && payload > tl) {
    int excess = int(payload - tl);
    *trailer = excess;
    kavprt(4, "\tNB: PDU length adjusted down by %d, to %u\n", excess, tl + 14);
    payload = tl;
  }
  return payload;
}

unsigned fddi(int *layer, int *proto, const kav_view &pdu, kav_pktctx *ctx) {
  const char *mark = "";
  int len = pdu.size();
  unsigned payload = 0;
  if (len < 14) {
    kavprt(4, "WARNING: FDDI header is truncated (by %u bytes)\n", unsigned(14 - len));
    mark = "*";
  } else
    payload = unsigned(len - 14);
  uint32_t fc = 0;
  bool have_fc = pdu.get8(0, fc);
  unsigned char dst[6], src[6];
  char dtxt[24] = "", stxt[24] = "";
  bool have_dst = pdu.copy(1, 6, dst), have_src = pdu.copy(7, 6, src);
  if (have_dst) {
    hexaddr(dst, dtxt);
    KAV_CTX_SET(ctx->l2dst, dtxt);
  }
  if (have_src) {
    hexaddr(src, stxt);
    KAV_CTX_SET(ctx->l2src, stxt);
  }
  *layer = KAV_LAYER_LINK;
  *proto = (have_fc && (fc & 0x70) == 0x50) ? KAV_L2_LLC : 0;
  if (kav_vblvl == 4) {
    if (have_fc) kavprt(4, "+FDDI: FC = %s <0x%02X>\n", fc2nam(fc), fc);
    if (have_src) kavprt(4, "+FDDI: Source Addr = %s\n", stxt);
    if (have_dst) kavprt(4, "+FDDI: Dest Addr = %s\n", dtxt);
  } else {
    kavprt(2, "%sFDDI: <%02X> ", mark, fc);
    if (have_src && have_dst) kavprt(3, "%s -> %s", stxt, dtxt);
  }
  return payload;
}

unsigned llc(int *layer, int *proto, const kav_view &pdu, kav_pktctx *ctx) {
  int len = pdu.size();
  uint32_t dsap = 0, ssap = 0, c1 = 0, c2 = 0;
  bool have_d = pdu.get8(0, dsap), have_s = pdu.get8(1, ssap), have_c1 = pdu.get8(2, c1);
  bool have_c2 = pdu.get8(3, c2);
  char fmt = 'I';
  int hdr = 4;
  if (have_c1) {
    if ((c1 & 3) == 1)
      fmt = 'S';
    else if ((c1 & 3) == 3) {
      fmt = 'U';
      hdr = 3;
    }
  }
  const char *mark = "";
  *layer = KAV_LAYER_LINK;
  *proto = 0;
  if (len < hdr) {
    kavprt(4, "WARNING: LLC header is truncated (by %u bytes)\n", unsigned(hdr - len));
    mark = "*";
    hdr = len;
  } else {
    uint32_t nlpid = 0;
    int l, p, h;
    if (kav_llc_layer(dsap, ssap, c1, pdu.get8(3, nlpid) ? int(nlpid) : -1, &l, &p, &h)) {
      *layer = l;
      *proto = p;
      hdr = h;
    }
  }
  ctx->llckind = uint32_t(*proto);
  if (have_s) ctx->llcssap = ssap;
  if (have_d) ctx->llcdsap = dsap;
  if (have_c1) ctx->llcctl = c1;

  if (kav_vblvl == 4) {
    if (have_s) kavprt(4, "+LLC: Source SAP = 0x%02X (%s)\n", ssap, sap2nam(ssap));
    if (have_d) kavprt(4, "+LLC: Dest SAP = 0x%02X (%s)\n", dsap, sap2nam(dsap));
    if (have_c1 && (fmt == 'U' || have_c2)) {
      kavprt(4, "+LLC: Control = 0x%02X", c1);
      if (fmt != 'U') kavprt(4, "%02X", c2);
      kavprt(4, "\n\t");
      if (fmt == 'S') {
        static const char *const fn[3] = {"RR", "RNR", "REJ"};
        unsigned f = (c1 >> 2) & 3;
        if (f < 3)
          kavprt(4, "Supervisory frame - %s", fn[f]);
        else
          kavprt(4, "Supervisory frame - <%u>", f);
        kavprt(4, ": N(R)=%d, Poll/Final=%s\n", int(c2 >> 1), (c2 & 1) ? "On" : "Off");
      } else if (fmt == 'U') {
        unsigned m = (c1 >> 2) & 0x3B;
        const char *cr = (ssap & 1) ? "response" : "command";
        kavprt(4, "Unnumbered frame - ");
        switch (m) {
          case 0: kavprt(4, "UI"); break;
          case 3: kavprt(4, "DM"); break;
          case 16: kavprt(4, "DISC"); break;
          case 24: kavprt(4, "UA"); break;
          case 27: kavprt(4, "SABME"); break;
          case 33: kavprt(4, "FRMR"); break;
          case 43: kavprt(4, "XID %s", cr); break;
          case 56: kavprt(4, "TEST %s", cr); break;
          default: kavprt(4, "<%u>", m); break;
        }
        kavprt(4, ": Poll/Final=%s\n", (c1 & 0x10) ? "On" : "Off");
      } else
        kavprt(4, "Information frame: N(S)=%d, N(R)=%d, Poll=%s\n", int(c1 >> 1), int(c2 >> 1),
               (c2 & 1) ? "On" : "Off");
    }
  } else {
    kavprt(2, "%sLLC.%c", mark, fmt);
    if (have_s && have_d) kavprt(3, ": %02X -> %02X", ssap, dsap);
  }
  return unsigned(len - hdr);
}

unsigned snap(int *layer, int *proto, const kav_view &pdu, kav_pktctx *ctx) {
  int len = pdu.size();
  const char *mark = "";
  unsigned payload = 0;
  if (len < 5) {
    kavprt(4, "WARNING: SNAP header is truncated (by %u bytes)\n", unsigned(5 - len));
    mark = "*";
  } else
    payload = unsigned(len - 5);
  uint32_t oui = 0, pid = 0;
  bool have_oui = pdu.get24(0, oui), have_pid = pdu.get16(3, pid);
  const char *family = "", *sep = "", *name = "", *psep = "";
  char namebuf[64] = "";
  *layer = KAV_LAYER_LINK;
  *proto = 0;
  if (have_oui && oui == KAV_OUI_ETHTYPE) {
    family = "Ethertype";
    sep = " ... ";
    if (have_pid) {
      by_ethtype(pid, layer, proto);
      kav_strlcpy(namebuf, sizeof namebuf, ethtyp2nam(pid));
      name = namebuf;
      psep = " ... ";
    }
  } else if (have_oui && oui == KAV_OUI_8021) {
    family = "802.1";
    sep = " ... ";
    if (have_pid) {
      switch (pid) {
        case 7: *proto = KAV_L2_8023; break;
        case 8: *proto = KAV_L2_TPB; break;
        case 9: *proto = KAV_L2_TPR; break;
        case 10: *proto = KAV_L2_FDDI; break;
        case 11: *proto = KAV_L2_METRO; break;
        default: *proto = 0; break;
      }
      kav_strlcpy(namebuf, sizeof namebuf, kav_l2proto2nam(*proto));
      name = namebuf;
      psep = " ... ";
    }
  }
  if (have_oui) ctx->snapoui = oui;
  if (have_pid) ctx->ethtype = pid;
  if (kav_vblvl == 4) {
    if (have_oui) kavprt(4, "+SNAP: OUI = %d (0x%06X)%s%s\n", int(oui), oui, sep, family);
    if (have_pid) kavprt(4, "+SNAP: Protocol ID = %d (0x%04X)%s%s\n", int(pid), pid, psep, name);
  } else
    kavprt(2, "%sSNAP", mark);
  return payload;
}

unsigned ppp(int *layer, int *proto, const kav_view &pdu) {
  int len = pdu.size();
  uint32_t addr = 0, ctl = 0, type = 0;
  // Address and control may be left out (PPPoE always does): a protocol field
  // starts with an even octet, the address octet is 0xFF.
  uint32_t b0 = 0xFF;
  pdu.get8(0, b0);
  const bool acfc = (b0 & 1) == 0;
  const int hdr = acfc ? 2 : 4;
  bool have_a = !acfc && pdu.get8(0, addr), have_c = !acfc && pdu.get8(1, ctl), have_t = pdu.get16(hdr - 2, type);
  *layer = KAV_LAYER_NET;
  *proto = 0;
  if (have_t) {
    if (type == KAV_PPP_IP)
      *proto = KAV_L3_IP;
    else if (type == KAV_PPP_IPV6)
      *proto = KAV_L3_IPV6;
    else if (type == KAV_PPP_LCP)
      *proto = KAV_L3_PPPLCP;
    else if (type == KAV_PPP_NCP)
      *proto = KAV_L3_PPPNCP;
    else if (type == KAV_PPP_MPLS || type == KAV_PPP_MPLS_MC) {
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_MPLS;
    }
  }
  if (kav_vblvl == 4) {
    if (have_a) kavprt(4, "+PPP: Addr = 0x%02X\n", addr);
    if (have_c) kavprt(4, "+PPP: Control = 0x%02X\n", ctl);
    if (have_t) {
      char nb[24];
      if (*layer == KAV_LAYER_LINK)
        kav_strlcpy(nb, sizeof nb, kav_l2proto2nam(*proto));
      else if (*proto)
        kav_strlcpy(nb, sizeof nb, kav_l3proto2nam(*proto));
      else
        snprintf(nb, sizeof nb, "<0x%x>", type);
      kavprt(4, "+PPP: Type = 0x%04X (%s)\n", type, nb);
      if (!acfc) kavprt(4, "\tDARPA protocols require Addr=0xFF, Control=03\n");
    }
  } else
    kavprt(2, "%sPPP", len < hdr ? "*" : "");
  return len < hdr ? 0 : unsigned(len - hdr);
}

// 802.1Q / 802.1ad tag: TCI (priority 3 bits, DEI 1, VLAN id 12) and the
// type of what it carries. The tag protocol is the type that led here.
unsigned vlan(int *layer, int *proto, const kav_view &pdu, int *trailer, kav_pktctx *ctx) {
  const char *T = ctx->ethtype == KAV_ETHTYPE_QINQ ? "802.1ad" : "802.1Q";
  int len = pdu.size();
  const char *mark = "";
  unsigned payload = 0;
  if (len < 4) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(4 - len));
    mark = "*";
  } else
    payload = unsigned(len - 4);
  uint32_t tci = 0, type = 0;
  bool have_tci = pdu.get16(0, tci), have_type = pdu.get16(2, type);
  unsigned pcp = tci >> 13, dei = (tci >> 12) & 1, vid = tci & 0xFFF;
  *layer = KAV_LAYER_NET;
  *proto = 0;
  bool unknown_type = false;
  if (have_type) {
    ctx->ethtype = type;
    if (type <= KAV_ETHTYPE_MAXLEN) {
      // A length: 802.2 LLC follows, and what lies beyond the length is padding.
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_LLC;
    } else {
      by_ethtype(type, layer, proto);
      unknown_type = *layer == KAV_LAYER_NET && *proto == 0;
    }
  }
  if (kav_vblvl == 4) {
    if (have_tci) {
      kavprt(4, "+%s: Priority = %u\n", T, pcp);
      kavprt(4, "+%s: DEI = %u\n", T, dei);
      kavprt(4, "+%s: VLAN ID = %u\n", T, vid);
    }
    if (have_type) {
      if (type <= KAV_ETHTYPE_MAXLEN)
        kavprt(4, "+%s: Length = %u\n", T, type);
      else
        kavprt(4, "+%s: Type = 0x%04X (%s)\n", T, type, ethtyp2nam(type));
    }
  } else {
    kavprt(2, "%s%s", mark, T);
    if (have_tci) {
      kavprt(2, " vlan=%u", vid);
      kavprt(3, " pri=%u%s", pcp, dei ? " DEI" : "");
    }
    if (unknown_type) kavprt(2, " (%s)", ethtyp2nam(type));
  }
  if (have_type && type <= KAV_ETHTYPE_MAXLEN && payload > type) {
    int excess = int(payload - type);
    *trailer = excess;
    kavprt(4, "\tNB: PDU length adjusted down by %d, to %u\n", excess, type + 4);
    payload = type;
  }
  return payload;
}

// MPLS label stack: entries of label (20 bits), traffic class (3), bottom of
// stack (1) and TTL (8), down to the bottom entry; the first nibble of what
// follows tells IPv4 from IPv6.
unsigned mpls(int *layer, int *proto, const kav_view &pdu) {
  const char *T = "MPLS";
  *layer = KAV_LAYER_NET;
  *proto = 0;
  kav_cursor c(pdu);
  int n = 0;
  bool bottom = false;
  while (!bottom && c.has(4)) {
    bottom = (c.u32() >> 8) & 1;
    n++;
  }
  const char *mark = "";
  if (!bottom) {
    // The capture ends inside the stack: nothing after it can be told.
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, 4u - unsigned(c.remaining()));
    mark = "*";
  }
  kavprt(2, "%s%s", mark, T);
  kav_cursor e(pdu);
  for (int i = 0; i < n; i++) {
    uint32_t w = e.u32();
    unsigned label = w >> 12, tc = (w >> 9) & 7, bos = (w >> 8) & 1, ttl = w & 0xFF;
    if (kav_vblvl == 4) {
      kavprt(4, "+%s: Label %d = %u\n", T, i + 1, label);
      kavprt(4, "+%s:   Class = %u, Bottom of Stack = %s, TTL = %u\n", T, tc, bos ? "Yes" : "No", ttl);
    } else {
      kavprt(2, "%s%u", i ? "," : " label=", label);
      kavprt(3, "<tc=%u,ttl=%u>", tc, ttl);
    }
  }
  if (!bottom) return 0;
  uint32_t nib = 0;
  if (e.rest().get8(0, nib)) {
    *proto = kav_ipversion_l3(nib >> 4);
    kavprt(4, "+%s: Payload = %s\n", T, *proto == KAV_L3_IP ? "IPv4" : *proto == KAV_L3_IPV6 ? "IPv6" : "unknown");
  }
  return unsigned(e.remaining());
}

const char *pppoe_code2nam(unsigned code) {
  static char buf[24];
  switch (code) {
    case 0x00: return "Session Data";
    case 0x07: return "PADO";
    case 0x09: return "PADI";
    case 0x19: return "PADR";
    case 0x65: return "PADS";
    case 0xA7: return "PADT";
    default: snprintf(buf, sizeof buf, "<0x%02X>", code); return buf;
  }
}

const char *pppoe_tag2nam(unsigned tag) {
  static char buf[24];
  switch (tag) {
    case 0x0000: return "End-Of-List";
    case 0x0101: return "Service-Name";
    case 0x0102: return "AC-Name";
    case 0x0103: return "Host-Uniq";
    case 0x0104: return "AC-Cookie";
    case 0x0105: return "Vendor-Specific";
    case 0x0110: return "Relay-Session-Id";
    case 0x0120: return "PPP-Max-Payload";
    case 0x0201: return "Service-Name-Error";
    case 0x0202: return "AC-System-Error";
    case 0x0203: return "Generic-Error";
    default: snprintf(buf, sizeof buf, "<0x%04X>", tag); return buf;
  }
}

// Tags of a discovery packet, at level 4.
void pppoe_tags(const kav_view &body) {
  const char *T = "PPPoE";
  kav_cursor c(body);
  while (c.remaining() > 0) {
    uint32_t tag = c.u16(), tlen = c.u16();
    if (!c.ok()) {
      kavprt(4, "WARNING: %s tag header is truncated (by %u bytes)\n", T, 4u - unsigned(c.v.len - c.pos));
      return;
    }
    kavprt(4, "+%s: Tag = %s (0x%04X), %u octet%s\n", T, pppoe_tag2nam(tag), tag, tlen, tlen == 1 ? "" : "s");
    kav_view val = c.take(tlen);
    if (!c.ok()) {
      kavprt(4, "WARNING: %s tag is truncated (by %u bytes)\n", T, tlen - unsigned(c.v.len - c.pos));
      kav_dumpv(c.v.from(c.pos));
      return;
    }
    bool text = tag == 0x0101 || tag == 0x0102 || (tag >= 0x0201 && tag <= 0x0203);
    if (text && tlen > 0) {
      char buf[256];
      int n = val.size() < int(sizeof buf) ? val.size() : int(sizeof buf) - 1;
      val.copy(0, n, buf);
      buf[n] = 0;
      kavprt(4, "+%s:   Value = \"", T);
      kav_txtprt(buf, n, val.size() > n);
      kavprt(4, "\"\n");
    } else if (tag == 0x0120 && tlen == 2)
      kavprt(4, "+%s:   Value = %u\n", T, val.u16(0));
    else if (tlen > 0)
      kav_dumpv(val);
    if (tag == 0) return;
  }
}

// PPPoE header: version and type (4 bits each), code, session id, length.
// Discovery packets carry tags; session packets carry PPP without its address
// and control octets.
unsigned pppoe(bool session, int *layer, int *proto, const kav_view &pdu, int *trailer) {
  const char *T = "PPPoE";
  int len = pdu.size();
  const char *mark = "";
  if (len < 6) {
    kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(6 - len));
    mark = "*";
  }
  uint32_t vt = 0, code = 0, sid = 0, plen = 0;
  bool have_vt = pdu.get8(0, vt) && pdu.get8(1, code), have_sid = pdu.get16(2, sid), have_len = pdu.get16(4, plen);
  unsigned payload = len > 6 ? unsigned(len - 6) : 0;
  if (have_len && payload > plen) {
    int excess = int(payload - plen);
    *trailer = excess;
    kavprt(4, "NB: PDU length adjusted down by %d, to %u\n", excess, plen + 6);
    payload = plen;
  }
  if (kav_vblvl == 4) {
    if (have_vt) {
      kavprt(4, "+%s: Version = %u\n", T, vt >> 4);
      kavprt(4, "+%s: Type = %u\n", T, vt & 15);
      kavprt(4, "+%s: Code = %s (0x%02X)\n", T, pppoe_code2nam(code), code);
    }
    if (have_sid) kavprt(4, "+%s: Session ID = 0x%04X\n", T, sid);
    if (have_len) kavprt(4, "+%s: Payload Length = %u\n", T, plen);
  } else if (session) {
    kavprt(2, "%s%s", mark, T);
    if (have_sid) kavprt(3, " sid=0x%04X", sid);
  } else {
    kavprt(1, "%s%s %s", mark, T, have_vt ? pppoe_code2nam(code) : "");
    if (have_sid) kavprt(3, " sid=0x%04X", sid);
  }
  if (session) {
    *layer = KAV_LAYER_LINK;
    *proto = KAV_L2_PPP;
    return len < 6 ? 0 : payload;
  }
  // Discovery: the tags are this layer's own; nothing follows them.
  *layer = KAV_LAYER_LINK;
  *proto = 0;
  if (len >= 6 && kav_vblvl == 4) pppoe_tags(pdu.sub(6, int(payload)));
  return 0;
}

}  // namespace

const char *ethtyp2nam(unsigned type) {
  static char buf[24];
  if (type >= 0x1001 && type <= 0x100F) return "Berkeley Trailer-Encapsulated IP";
  for (const auto &e : k_ethtypes)
    if (e.type == type) return e.name;
  snprintf(buf, sizeof buf, "<0x%x>", type);
  return buf;
}

const char *kav_l2proto2nam(int code) {
  static const char *const names[] = {nullptr, "Ethernet", "802.3", "Token Ring", "Token Bus",
                                      "802.6 MAN", "FDDI", "LLC", "SNAP", "PPP",
                                      "VLAN", "MPLS", "PPPoE Discovery", "PPPoE Session"};
  static char buf[24];
  if (code >= 1 && code <= 13) return names[code];
  snprintf(buf, sizeof buf, "<%u>", unsigned(code));
  return buf;
}

unsigned kav_panl2(int *layer, int *proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx) {
  *more = 1;
  switch (*proto) {
    case KAV_L2_ETH: return mac_header(true, layer, proto, pdu, trailer, ctx);
    case KAV_L2_8023: return mac_header(false, layer, proto, pdu, trailer, ctx);
    case KAV_L2_FDDI: return fddi(layer, proto, pdu, ctx);
    case KAV_L2_LLC: return llc(layer, proto, pdu, ctx);
    case KAV_L2_SNAP: return snap(layer, proto, pdu, ctx);
    case KAV_L2_PPP: return ppp(layer, proto, pdu);
    case KAV_L2_VLAN: return vlan(layer, proto, pdu, trailer, ctx);
    case KAV_L2_MPLS: return mpls(layer, proto, pdu);
    case KAV_L2_PPPOED: return pppoe(false, layer, proto, pdu, trailer);
    case KAV_L2_PPPOES: return pppoe(true, layer, proto, pdu, trailer);
    default: *layer = KAV_LAYER_STOP; return unsigned(pdu.size());
  }
}
