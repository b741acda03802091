// GRE (IP protocol 47): the optional checksum, offset, key, sequence and
// acknowledgement fields, the source-route entries of the routing flag, then
// the payload by its protocol type, through the same type table as Ethernet.
// Mirrored traffic (ERSPAN) carries its own header, read here, before the
// mirrored Ethernet frame.
#include "pansupp.h"

namespace {

const unsigned GRE_C = 0x8000, GRE_R = 0x4000, GRE_K = 0x2000, GRE_S = 0x1000, GRE_A = 0x0080;

void gre_flags(unsigned f, unsigned ver, char *out, size_t sz) {
  static const struct {
    unsigned bit;
    const char *name;
  } bits[] = {{GRE_C, "Checksum"}, {GRE_R, "Routing"}, {GRE_K, "Key"}, {GRE_S, "Sequence"}, {GRE_A, "Ack"}};
  size_t k = 0;
  out[0] = 0;
  for (const auto &b : bits) {
    if (!(f & b.bit) || (b.bit == GRE_A && ver != 1)) continue;
    k += size_t(snprintf(out + k, sz - k, "%s%s", k ? "," : "", b.name));
    if (k >= sz) break;
  }
  if (!out[0]) kav_strlcpy(out, sz, "None");
}

// ERSPAN header after GRE: none for type I (0x88BE without a sequence
// number), 8 octets for type II, 12 (and 8 more of platform data when its O
// bit is set) for type III. Returns its length, or -1 when cut short; sets
// whether an Ethernet frame follows.
int erspan(const kav_view &v, unsigned ptype, bool seq, bool *ether) {
  const char *T = "GRE";
  *ether = true;
  if (ptype == KAV_ETHTYPE_ERSPAN2 && !seq) return 0;
  kav_cursor c(v);
  uint32_t w0 = c.u32(), w1 = c.u32();
  uint32_t ts = 0, w3 = 0;
  if (ptype == KAV_ETHTYPE_ERSPAN3) {
    ts = w1;
    w3 = c.u32();
    if (c.ok() && (w3 & 1)) c.skip(8);
  }
  if (!c.ok()) {
    int need = ptype == KAV_ETHTYPE_ERSPAN3 ? 12 + (v.size() >= 12 && (w3 & 1) ? 8 : 0) : 8;
    kavprt(4, "WARNING: ERSPAN header is truncated (by %u bytes)\n", unsigned(need - v.size()));
    return -1;
  }
  unsigned ver = w0 >> 28, vlan = (w0 >> 16) & 0xFFF, cos = (w0 >> 13) & 7, sid = w0 & 0x3FF;
  kavprt(2, " erspan=%u", sid);
  kavprt(4, "+%s: ERSPAN Version = %u\n", T, ver);
  kavprt(4, "+%s: ERSPAN VLAN = %u, Class = %u\n", T, vlan, cos);
  kavprt(4, "+%s: ERSPAN Session ID = %u\n", T, sid);
  if (ptype == KAV_ETHTYPE_ERSPAN3) {
    unsigned ft = (w3 >> 10) & 0x1F;
    kavprt(4, "+%s: ERSPAN Timestamp = %lu\n", T, (unsigned long)ts);
    kavprt(4, "+%s: ERSPAN Frame Type = %u\n", T, ft);
    *ether = ft == 0;
  } else
    kavprt(4, "+%s: ERSPAN Index = %u\n", T, w1 & 0xFFFFF);
  return c.pos;
}

}  // namespace

unsigned kav_gre(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx) {
  const char *T = "GRE";
  int len = pdu.size();
  kav_cursor c(pdu);
  uint32_t flags = c.u16(), ptype = c.u16();
  unsigned ver = flags & 7;
  uint32_t cks = 0, offset = 0, key = 0, seq = 0, ack = 0;
  bool have_fixed = c.ok();
  if (flags & (GRE_C | GRE_R)) {
    cks = c.u16();
    offset = c.u16();
  }
  if (flags & GRE_K) key = c.u32();
  if (flags & GRE_S) seq = c.u32();
  if (ver == 1 && (flags & GRE_A)) ack = c.u32();
  bool have_opts = c.ok();
  // Source-route entries: address family, offset, length, then that many
  // octets; an entry of length 0 ends the list.
  int nsre = 0;
  if (have_opts && (flags & GRE_R)) {
    for (;;) {
      c.u16();
      c.u8();
      uint32_t l = c.u8();
      if (!c.ok() || l == 0) break;
      c.skip(l);
      nsre++;
    }
  }
  int H = c.ok() ? c.pos : len;
  const char *mark = "";
  int tested = -1;
  bool corrupt = false;
  if (!c.ok()) {
    if (!have_opts) {
      int need = 4 + ((flags & (GRE_C | GRE_R)) ? 4 : 0) + ((flags & GRE_K) ? 4 : 0) + ((flags & GRE_S) ? 4 : 0) +
                 ((ver == 1 && (flags & GRE_A)) ? 4 : 0);
      kavprt(4, "WARNING: %s header is truncated (by %u bytes)\n", T, unsigned(need - len));
    } else
      kavprt(4, "WARNING: %s source route is truncated\n", T);
    mark = "*";
  } else if (flags & GRE_C) {
    unsigned um = kav_eff_missing(missing, ctx);
    if (um > 0) {
      kavprt(4, "WARNING: %s packet is truncated (by %u bytes)\n", T, um);
      mark = "%";
    } else {
      tested = len;
      corrupt = !kav_chksum_ok(pdu);
      if (corrupt) mark = "!";
    }
  }

  *layer = KAV_LAYER_NET;
  *proto = 0;
  bool mirror = have_fixed && (ptype == KAV_ETHTYPE_ERSPAN2 || ptype == KAV_ETHTYPE_ERSPAN3);
  bool known = mirror || (have_fixed && kav_ethtype_layer(ptype, layer, proto));
  if (kav_vblvl == 4) {
    if (have_fixed) {
      char ft[64];
      gre_flags(flags, ver, ft, sizeof ft);
      kavprt(4, "+%s: Flags = <%s> (0x%04X)\n", T, ft, flags);
      kavprt(4, "+%s: Version = %u\n", T, ver);
      kavprt(4, "+%s: Protocol Type = 0x%04X (%s)\n", T, ptype, ethtyp2nam(ptype));
    }
    if (have_opts) {
      if (flags & GRE_C)
        kavprt(4, "+%s: Checksum = 0x%04X%s (over %d bytes)\n", T, cks, corrupt ? " ... CORRUPT" : "", tested);
      if (flags & (GRE_C | GRE_R)) kavprt(4, "+%s: Offset = %u\n", T, offset);
      if ((flags & GRE_K) && ver == 1) {
        kavprt(4, "+%s: Payload Length = %u\n", T, key >> 16);
        kavprt(4, "+%s: Call ID = %u\n", T, key & 0xFFFF);
      } else if (flags & GRE_K)
        kavprt(4, "+%s: Key = %u (0x%08X)\n", T, key, key);
      if (flags & GRE_S) kavprt(4, "+%s: Sequence Number = %u\n", T, seq);
      if (ver == 1 && (flags & GRE_A)) kavprt(4, "+%s: Ack Number = %u\n", T, ack);
      if (flags & GRE_R) kavprt(4, "+%s: %d source route entr%s\n", T, nsre, nsre == 1 ? "y" : "ies");
    }
  } else {
    kavprt(1, "%s%s", mark, T);
    if (have_opts && (flags & GRE_K)) {
      if (ver == 1)
        kavprt(2, " call=%u", key & 0xFFFF);
      else
        kavprt(2, " key=%u", key);
    }
    if (have_opts && (flags & GRE_S)) kavprt(2, " seq=%u", seq);
    if (have_fixed && !known) kavprt(1, " (%s)", ethtyp2nam(ptype));
  }
  if (!c.ok()) return 0;
  if (mirror) {
    bool ether = false;
    int eh = erspan(pdu.from(H), ptype, (flags & GRE_S) != 0, &ether);
    if (eh < 0) return 0;
    H += eh;
    if (ether) {
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_ETH;
    }
  }
  *more = 1;
  return unsigned(len - H);
}
