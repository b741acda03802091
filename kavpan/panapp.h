// Application layer: the dispatch table of layer 5 and the application
// decoders it calls, one source file per protocol family.
#ifndef KAVPAN_PANAPP_H
#define KAVPAN_PANAPP_H

#include "pansupp.h"

// ---- dispatch table ------------------------------------------------------------
// One row per key (a port, or a pseudo-protocol code). A row's decoder gets
// the transport payload and the transport protocol (6 TCP, 17 UDP, 0 when
// the payload did not come through a transport layer); it prints, and
// returns the count of octets at the end it did not account for. A decoder
// that cannot decode the payload sets *layer to -1 and returns its length.
struct kav_l5row;
typedef unsigned (*kav_l5fn)(const kav_l5row &row, kav_view data, int l4proto, int *layer, kav_pktctx *ctx);

enum {
  KAV_L5_ANY = 0,    // the key has its decoder over every transport
  KAV_L5_NOTUDP = 1  // ... except over UDP, where the key has no decoder
};

struct kav_l5row {
  int key;
  int transport;      // KAV_L5_ANY or KAV_L5_NOTUDP
  const char *label;  // protocol family; for BER rows the label handed to the decoder
  kav_l5fn decode;
};

extern const kav_l5row kav_l5table[];
extern const int kav_l5rows;

// The row for key over transport l4proto, or null.
const kav_l5row *kav_l5find(int key, int l4proto);
// Whether a payload on a port without a decoder looks like an ONC RPC
// message (used for -u RPC only).
bool kav_rpc_recognised(kav_view data, int l4proto);

// ---- families decoded in panrpc.cpp and panasn1.cpp -----------------------------------
void kav_panrpc(kav_view data, int l4proto);
int kav_panasn1(kav_view data, int layer, int code, const char *label);
// The layer-5 entry points to those two families (panl5.cpp). Until their
// decoders are linked in they report every payload as undecoded: false, and
// -1 for the octets consumed.
bool kav_l5_rpc(kav_view data, int l4proto);
int kav_l5_asn1(kav_view data, int layer, int code, const char *label);

// ---- DNS (pandns.cpp) -------------------------------------------------------------
void parse_dns_msg(kav_view msg);
int parse_dns_rr(kav_view msg, int off, int count, int *err, const char *section);
// Expands the name at off into out (at least 301 characters); returns the
// octets the name occupies at off. err may be null.
int parse_dns_name(kav_view msg, int off, char *out, int *err, int *compressed);
const char *dnsrrtyp2txt(unsigned type);
char *secs2txt(int secs);

// ---- DHCP/BOOTP and RIP (pandhcp.cpp) --------------------------------------------------
void parse_dhcp_msg(kav_view msg);
int parse_dhcp_opts(kav_view opts, const char *label, const char *msgtype, int *overload_offset);
const char *bopt2txt(unsigned code, int *expected_len);
void parse_rip_msg(kav_view msg);

// ---- RADIUS (panradius.cpp) -------------------------------------------------------------
void parse_radius_msg(kav_view pkt);
const char *radius_code2nam(unsigned code);

// ---- SSL/TLS (pantls.cpp) ---------------------------------------------------------------
void parse_ssl_msg(kav_view data);
void kav_ssl_reset();  // forget KAV_SSL_PARSE, read again at the next payload

// Hex text of the octets ("00:0A:FF"), cut to fit buf.
const char *kav_hextxt(const kav_view &v, char *buf, int size);

#endif
