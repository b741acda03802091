// ONC RPC with its XDR printer, and the BER walker with the LDAP, SNMP and
// X.509 schemas: the helpers of the two structured decoder families beyond
// their entry points kav_panrpc and kav_panasn1 (panapp.h).
// kav_panasn1 follows a schema at layer 5 only: code 389 LDAP, 161/162 SNMP,
// -4 certificate, -5 revocation list; anything else walks without a schema.
#ifndef KAVPAN_PANRPCBER_H
#define KAVPAN_PANRPCBER_H

#include "panapp.h"

// ---- ONC RPC ---------------------------------------------------------------------
// One XDR item of the given type code; returns the octets it accounted for.
int print_xdr(const char *prefix, int type, kav_view data, const char *label);
// Request-cache slot for a call (find 0) or the live entry of a reply (find 1); -1 when none.
int hash_req_cache(uint32_t xid, int find);
void parse_auth(int flavour, kav_view body);
const char *authtyp2txt(unsigned flavour);
const char *proc2nam(int prog, int vers, int proc);
// Forgets the request cache, so that the next call settles its size again.
void kav_rpc_reset();

// ---- BER -------------------------------------------------------------------------
// Symbolic name of a dotted OID (or of its longest named prefix), as a line.
void print_sym_oid(const char *label, int depth, const char *dotted);

#endif
