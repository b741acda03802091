// kavpan decoder support: level-filtered output, text and dump printers,
// the Internet checksum, the per-packet context, the layer chain and the
// name caches shared by the link, network and transport decoders.
#ifndef KAVPAN_PANSUPP_H
#define KAVPAN_PANSUPP_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kav.h"
#include "panview.h"

struct wtree;

// ---- globals shared by the application and the decoders ---------------------
// Defined in pansupp.cpp; the application sets them from its switches.
extern int kav_vblvl;       // verbosity: 1..3 short summaries, 4 exhaustive, 0 export
extern int kav_numval_ip;   // -n: IP addresses numeric
extern int kav_numval_all;  // -N: every address and protocol numeric
extern int kav_proto_map;   // -u/-U mapping for unrecognised ports (0 none)
extern int kav_force_map;   // -U: mapping applies to every port
extern int kav_txtdmp;      // -l: text characters shown in the short modes
extern int kav_envdmpfmt;   // -d: text protocols dumped in $KAV_DUMPFMT
extern int kav_did_prt;     // set by every kavprt call that printed
extern int kav_rawmode;     // raw-packet input: changes the chain's PDU labels
extern int kav_l5_undecoded;  // set by the chain when no layer-5 decoder took a payload
extern FILE *kav_outfp;     // analysis output; null means standard output

inline FILE *kav_out() { return kav_outfp ? kav_outfp : stdout; }

// Pseudo-protocol codes of -u/-U/-r (negative values of kav_proto_map).
enum {
  KAV_MAP_RPC = -1,
  KAV_MAP_ASN1 = -2,
  KAV_MAP_SSL = -3,
  KAV_MAP_X509CERT = -4,
  KAV_MAP_X509CRL = -5,
  KAV_MAP_TEXT = -6
};
// The names of the pseudo-protocols, matched without regard to case; the
// first name of each code is the one the usage synopsis lists.
struct kav_pseudo {
  const char *name;
  int code;
};
extern const kav_pseudo kav_pseudos[];
extern const int kav_npseudos;
// The code a pseudo-protocol name stands for, or 0 when it names none.
int kav_pseudo_code(const char *name);
// The listed names, in the order of the usage synopsis, joined by ", ".
const char *kav_pseudo_list();

// Copies src into dst of size octets, cut and always terminated.
inline void kav_strlcpy(char *dst, size_t size, const char *src) {
  if (!size) return;
  size_t n = strnlen(src, size - 1);
  std::memcpy(dst, src, n);
  dst[n] = 0;
}

// ---- printing ---------------------------------------------------------------
// Print levels: -1 always; 4 only at verbosity 4; 1..3 below verbosity 4 and
// not above the verbosity.
inline bool kav_prtok(int level) {
  if (level < 0) return true;
  if (level == 4) return kav_vblvl == 4;
  return kav_vblvl != 4 && level <= kav_vblvl;
}
void kavprt(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Most calls are filtered out by the verbosity: test the level before the
// call, so the values (often name lookups) are not even computed then.
#define kavprt(level, ...) (kav_prtok(level) ? kavprt((level), __VA_ARGS__) : (void)0)
// printf subset used by kavprt; -1 when the format is outside it (see pansupp.cpp).
int kav_fmt(char *buf, int size, const char *fmt, va_list ap);
void kav_txtprt(const char *text, int maxlen, int ellipsis);
// The same over captured octets: the text ends at the view's end or its first NUL.
void kav_txtprt_v(const kav_view &text, int maxlen, int ellipsis);
void kavdump(const unsigned char *data, int len, const char *fmtname);
inline void kav_dumpv(const kav_view &v, const char *fmtname = nullptr) { kavdump(v.base, v.len, fmtname); }
const char *setdbgfmt(char *elemfmt, const char *fmtname, const char **desc);
void kav_dump_reset();  // forget the dump settings read from the environment

// Diagnostics for the framework log. The application points kav_trchook at
// its logger; without a hook the messages go to the library trace.
typedef void (*kav_trcfn)(int level, const char *msg);
extern kav_trcfn kav_trchook;
void kavtrc(int level, int unused, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Internet checksum (RFC 1071). Returns the complement of the folded sum; a
// low 16 bits of 0 means the checksum field (included in the data) matches.
// An odd length is summed as if padded with one 0 octet; nothing is written.
int kav_chksum16_1(const unsigned char *data, int len);
// Unfolded one's-complement partial sum, for seeding with a pseudo-header.
uint32_t kav_chksum_part(const unsigned char *data, int len, uint32_t seed);
uint16_t kav_chksum_fold(uint32_t sum);
// The same over a view: true when the octets (plus the seed) sum to all ones.
inline bool kav_chksum_ok(const kav_view &v, uint32_t seed = 0) {
  return kav_chksum_fold(kav_chksum_part(v.base, v.len, seed)) == 0xFFFF;
}

// ---- per-packet context -----------------------------------------------------
// Filled with 0xFA octets before the first layer: a text whose first octet is
// still 0xFA, or a 32-bit field still 0xFAFAFAFA, was not set.
struct kav_pktctx {
  char l2src[65];          // link source address text
  char l2dst[65];          // link destination address text
  uint32_t ethtype;        // ether type or SNAP protocol id
  uint32_t llckind;        // LLC encapsulation kind
  uint32_t llcssap;
  uint32_t llcdsap;
  uint32_t llcctl;
  uint32_t snapoui;
  uint32_t arpop;          // ARP operation
  char arptpa[129];        // ARP target protocol address (IP only)
  char ipsrc[129];
  char ipdst[129];
  char ipproto[65];
  uint32_t ipid;
  uint32_t iplen;
  uint32_t icmptype;
  uint32_t icmpcode;
  uint64_t tcpseq;
  uint64_t tcpack;
  char tcpflags[33];
  char srcport[65];
  char dstport[65];
  const unsigned char *apptext;  // application text and its length
  int32_t applen;

  // Chain-internal: the network layer leaves the transport checksum's
  // pseudo-header sum here (instead of writing it into the packet).
  int32_t ph_valid;        // 1: ph_sum holds the pseudo-header sum
  uint32_t ph_sum;
  int32_t ph_len;          // octets in that pseudo-header (12 or 40)
  int32_t ip_short;        // octets the network header says are missing
};
#define KAV_CTX_UNSET32 0xFAFAFAFAu
inline bool kav_ctx_txtset(const char *f) { return (unsigned char)f[0] != 0xFA; }
void kav_ctx_settxt(char *field, int size, const char *text);
#define KAV_CTX_SET(field, text) kav_ctx_settxt((field), (int)sizeof(field), (text))

// ---- the layer chain ----------------------------------------------------------
// Decoders of layers 2..4. On entry *layer/*proto are this layer's values and
// pdu is its PDU, header first. A decoder prints its lines, records what it
// finds in ctx, sets *layer/*proto to the next layer (or *layer = -1 when it
// cannot decode the PDU), may set *trailer to the count of octets at the end
// of the PDU that are not payload, sets *more when its payload is a further
// layer, and returns the count of payload octets after its header.
unsigned kav_panl2(int *layer, int *proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx);
unsigned kav_panl3(int *layer, int *proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx);
unsigned kav_panl4(int *layer, int *proto, kav_view pdu, int *trailer, int *more, unsigned missing,
                   kav_pktctx *ctx);
void kav_panospf(kav_view pdu);  // OSPF, carried straight over IP (panospf.cpp)
unsigned kav_panl5(int *layer, int *proto, int l4proto, kav_view pdu, int *trailer, int *more,
                   kav_pktctx *ctx);

// Transport-layer decoders kept in files of their own, called by kav_panl4
// with its arguments: GRE (IP protocol 47) and ICMPv6 (58).
unsigned kav_gre(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx);
unsigned kav_icmp6(int *layer, int *proto, const kav_view &pdu, int *more, unsigned missing, kav_pktctx *ctx);

// Octets missing for a checksum verdict: what the capture lost, or what the
// enclosing IP header says is absent (a datagram quoted by an ICMP error).
inline unsigned kav_eff_missing(unsigned missing, const kav_pktctx *ctx) {
  int s = ctx->ip_short;
  if (s > 0 && s <= 0xFFFF && unsigned(s) > missing) return unsigned(s);
  return missing;
}

// Walks one packet through the layers from (layer, proto). missing is the
// count of octets the capture lost (wire length - captured length). ctx is
// left filled for the trigger step and describes the frame as received: a
// datagram quoted inside an ICMP error is decoded into a copy of it.
void print_pkt(int layer, int proto, const unsigned char *data, int len, unsigned missing, kav_pktctx *ctx);

// ---- names --------------------------------------------------------------------
// ICMP and ICMPv6 (type, code) names: short in the summary, long at verbosity 4.
struct kav_codenam {
  unsigned type, code;
  const char *shrt, *lng;
};
// The name of (type, code) in tab, or "<Code=type.code>" when it has none.
template <size_t N>
const char *kav_code2nam(const kav_codenam (&tab)[N], unsigned type, unsigned code) {
  static char buf[32];
  for (const kav_codenam &c : tab)
    if (c.type == type && c.code == code) return kav_vblvl == 4 ? c.lng : c.shrt;
  snprintf(buf, sizeof buf, "<Code=%u.%u>", type, code);
  return buf;
}

const char *kav_l2proto2nam(int code);
const char *kav_l3proto2nam(int code);
const char *kav_l4proto2nam(unsigned number);
const char *kav_l5proto2nam(int port, int l4proto);
const char *ethtyp2nam(unsigned type);

// ---- name caches ----------------------------------------------------------------
extern wtree *kav_map_ethers;
extern wtree *kav_map_hosts;
extern wtree *kav_map_l4prots;
extern wtree *kav_map_l5tcp;
extern wtree *kav_map_l5udp;
extern wtree *kav_map_rpcprogs;
extern wtree *kav_map_oids;

int kav_cache_ethers();
int kav_cache_hosts();
int kav_cache_l4prots();
int kav_cache_l5prots();
int kav_cache_rpcprogs();
int kav_cache_oids();       // the OID-names map of the configuration directory
void kav_free_oids_cache();
void kav_cache_free();  // destroy every cache; safe to call twice
const char *rpcprog2nam(unsigned prog);
// Symbolic name of exactly this dotted OID, or null.
const char *kav_oid2nam(const char *dotted, int len);
extern const char *kav_oids_file;  // file name of the OID map in the configuration directory
const char *kav_ethaddr2nam(const unsigned char addr[6]);
const char *kav_ipaddr2nam(const unsigned char addr[4]);

// Path of the ethers file (tests point it elsewhere).
extern const char *kav_ethers_path;

#endif
