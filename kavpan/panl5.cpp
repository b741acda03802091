// Application layer: the dispatch by port or protocol map, TFTP and the
// line-oriented text protocols. The other families have files of their own.
#include "panapp.h"
#include "tova.h"

namespace {

unsigned l5_text(const kav_l5row &, kav_view d, int, int *, kav_pktctx *ctx) {
  // Kept for the trigger's %w field: the text is read there, after the chain.
  ctx->apptext = d.base;
  ctx->applen = d.size();
  if (kav_vblvl == 4)
    kav_dumpv(d, kav_envdmpfmt ? nullptr : "TXT");
  else if (kav_txtdmp > 0 && kav_prtok(1))
    kav_txtprt_v(d, kav_txtdmp, 1);
  return 0;
}

// The NUL-terminated string at off; *term tells whether its NUL was captured.
kav_view cstring(const kav_view &d, int off, bool *term) {
  int z = d.find(off, 0);
  *term = z >= 0;
  return d.sub(off, z >= 0 ? z - off : d.size() - off);
}

unsigned tftp_truncated(const kav_view &d) {
  kavprt(1, "TFTP truncated");
  kavprt(4, "NB: TFTP message truncated (%d octet%s)\n", d.size(), d.size() == 1 ? "" : "s");
  return unsigned(d.size());
}

unsigned l5_tftp(const kav_l5row &, kav_view d, int, int *, kav_pktctx *) {
  const char *T = "TFTP";
  int len = d.size();
  uint32_t op = 0, word = 0;
  if (!d.get16(0, op)) return tftp_truncated(d);
  bool term = false;
  switch (op) {
    case 1:
    case 2: {
      const char *rw = op == 1 ? "Read" : "Write";
      kav_view fn = cstring(d, 2, &term);
      if (kav_vblvl != 4) {
        kavprt(1, "%s %.*s", rw, fn.size(), (const char *)fn.base);
        return 0;
      }
      kavprt(4, "+%s: Opcode = %s-Request\n", T, rw);
      kavprt(4, "+%s: Filename = %.*s\n", T, fn.size(), (const char *)fn.base);
      if (!term) {
        kavprt(4, "NB: %s file name truncated\n", T);
        return 0;
      }
      kav_view mode = cstring(d, 2 + fn.size() + 1, &term);
      kavprt(4, "+%s: Mode = %.*s\n", T, mode.size(), (const char *)mode.base);
      if (!term) {
        kavprt(4, "NB: %s mode truncated\n", T);
        return 0;
      }
      return unsigned(len - (2 + fn.size() + 1 + mode.size() + 1));
    }
    case 3:
    case 4: {
      const char *dk = op == 3 ? "Data" : "Ack";
      if (!d.get16(2, word)) return tftp_truncated(d);
      if (kav_vblvl != 4) {
        kavprt(1, "%s #%d", dk, int(word));
        return 0;
      }
      kavprt(4, "+%s: Opcode = %s\n", T, dk);
      kavprt(4, "+%s: Block = %d\n", T, int(word));
      return op == 3 ? 0 : unsigned(len - 4);
    }
    case 5: {
      if (!d.get16(2, word)) return tftp_truncated(d);
      if (kav_vblvl != 4) {
        kavprt(1, "Err #%d", int(word));
        return 0;
      }
      kav_view msg = cstring(d, 4, &term);
      kavprt(4, "+%s: Opcode = Error\n", T);
      kavprt(4, "+%s: Code = %d\n", T, int(word));
      kavprt(4, "+%s: Message = %.*s\n", T, msg.size(), (const char *)msg.base);
      if (!term) kavprt(4, "NB: %s message truncated\n", T);
      return 0;
    }
    default:
      if (kav_vblvl != 4) {
        kavprt(1, "Op=%d", int(op));
        return 0;
      }
      kavprt(4, "+%s: Opcode = <%d>\n", T, int(op));
      return unsigned(len - 2);
  }
}

unsigned l5_dns(const kav_l5row &, kav_view d, int l4proto, int *, kav_pktctx *) {
  // Over TCP each message follows a 2-octet length.
  parse_dns_msg(l4proto == KAV_IPPROTO_TCP ? d.from(2) : d);
  return 0;
}
// Decoders that take the payload alone and account for all of it.
template <void (*parse)(kav_view)>
unsigned l5_whole(const kav_l5row &, kav_view d, int, int *, kav_pktctx *) {
  parse(d);
  return 0;
}
unsigned l5_rpc(const kav_l5row &, kav_view d, int l4proto, int *layer, kav_pktctx *) {
  if (kav_l5_rpc(d, l4proto)) return 0;
  *layer = KAV_LAYER_STOP;
  return unsigned(d.size());
}
unsigned l5_ber(const kav_l5row &row, kav_view d, int, int *layer, kav_pktctx *) {
  if (kav_l5_asn1(d, *layer, row.key, row.label) >= 0) return 0;
  *layer = KAV_LAYER_STOP;
  return unsigned(d.size());
}

}  // namespace

// ---- families decoded elsewhere -------------------------------------------------------
bool kav_l5_rpc(kav_view data, int l4proto) {
  kav_panrpc(data, l4proto);
  return true;
}
int kav_l5_asn1(kav_view data, int layer, int code, const char *label) {
  return kav_panasn1(data, layer, code, label);
}

// ---- dispatch ---------------------------------------------------------------------------

const kav_l5row kav_l5table[] = {
    {21, KAV_L5_ANY, "TEXT", l5_text},
    {23, KAV_L5_ANY, "TEXT", l5_text},
    {25, KAV_L5_ANY, "TEXT", l5_text},
    {80, KAV_L5_ANY, "TEXT", l5_text},
    {110, KAV_L5_ANY, "TEXT", l5_text},
    {119, KAV_L5_ANY, "TEXT", l5_text},
    {143, KAV_L5_ANY, "TEXT", l5_text},
    {5060, KAV_L5_ANY, "TEXT", l5_text},
    {KAV_MAP_TEXT, KAV_L5_ANY, "TEXT", l5_text},
    {513, KAV_L5_NOTUDP, "TEXT", l5_text},
    {514, KAV_L5_NOTUDP, "TEXT", l5_text},
    {53, KAV_L5_ANY, "DNS", l5_dns},
    {67, KAV_L5_ANY, "DHCP", l5_whole<parse_dhcp_msg>},
    {68, KAV_L5_ANY, "DHCP", l5_whole<parse_dhcp_msg>},
    {69, KAV_L5_ANY, "TFTP", l5_tftp},
    {KAV_PORT_SUNRPC, KAV_L5_ANY, "RPC", l5_rpc},
    {KAV_PORT_NFS, KAV_L5_ANY, "RPC", l5_rpc},
    {KAV_PORT_LOCKD, KAV_L5_ANY, "RPC", l5_rpc},
    {KAV_MAP_RPC, KAV_L5_ANY, "RPC", l5_rpc},
    {KAV_PORT_SNMP, KAV_L5_ANY, "SNMP", l5_ber},
    {KAV_PORT_SNMPTRAP, KAV_L5_ANY, "SNMP", l5_ber},
    {KAV_PORT_LDAP, KAV_L5_ANY, "LDAP", l5_ber},
    {KAV_MAP_ASN1, KAV_L5_ANY, nullptr, l5_ber},
    {KAV_MAP_X509CERT, KAV_L5_ANY, "X509", l5_ber},
    {KAV_MAP_X509CRL, KAV_L5_ANY, "X509", l5_ber},
    {443, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {465, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {563, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {614, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {636, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {989, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {990, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {992, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {993, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {994, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {995, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {5061, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {KAV_MAP_SSL, KAV_L5_ANY, "SSL", l5_whole<parse_ssl_msg>},
    {520, KAV_L5_ANY, "RIP", l5_whole<parse_rip_msg>},
    {1812, KAV_L5_ANY, "RADIUS", l5_whole<parse_radius_msg>},
    {1813, KAV_L5_ANY, "RADIUS", l5_whole<parse_radius_msg>},
};
const int kav_l5rows = int(sizeof kav_l5table / sizeof kav_l5table[0]);

const kav_l5row *kav_l5find(int key, int l4proto) {
  for (const kav_l5row &r : kav_l5table)
    if (r.key == key) return r.transport == KAV_L5_NOTUDP && l4proto == KAV_IPPROTO_UDP ? nullptr : &r;
  return nullptr;
}

bool kav_rpc_recognised(kav_view d, int l4proto) {
  // Over TCP the message follows the 4-octet record mark.
  bool tcp = l4proto == KAV_IPPROTO_TCP;
  int n = d.size() - (tcp ? 1 : 0);
  uint32_t type = 0, next = 0;
  if (n < 24 || !d.get32(tcp ? 8 : 4, type) || !d.get32(tcp ? 12 : 8, next)) return false;
  if (type == 1) return next == 0 || next == 1;
  return n > 39 && type == 0 && next == 2;
}

unsigned kav_panl5(int *layer, int *proto, int l4proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx) {
  (void)trailer;
  *more = 0;
  int port = *proto;
  const kav_l5row *row = kav_l5find(kav_force_map ? kav_proto_map : port, l4proto);
  if (!row && !kav_force_map && kav_proto_map != 0 && kav_proto_map != port) {
    if (kav_proto_map != KAV_MAP_RPC)
      row = kav_l5find(kav_proto_map, l4proto);
    else if (kav_rpc_recognised(pdu, l4proto))
      row = kav_l5find(KAV_MAP_RPC, l4proto);
  }
  if (!row) {
    *layer = KAV_LAYER_STOP;
    return unsigned(pdu.size());
  }
  return row->decode(*row, pdu, l4proto, layer, ctx);
}

const char *kav_hextxt(const kav_view &v, char *buf, int size) {
  return buf2hex(v.base, v.size(), buf, size);
}
