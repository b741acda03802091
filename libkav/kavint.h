// Internals shared by the libkav modules; not part of the library's interface.
#ifndef KAVINT_H
#define KAVINT_H

#include "kav.h"

#define KAV_HIDDEN __attribute__((visibility("hidden")))

// SD:2 marker, kept with SRC|DST so that a negated SD:2 means "not both ends".
#define KAV_FP_SD2 0x2000

// Address values of SRC/DST parameters; 0 on success, 1 with tvl_usrmsg set.
KAV_HIDDEN int kav_getaddr_ip(char *value, kav_filtaddr *fa);
KAV_HIDDEN int kav_getaddr_ip6(char *value, kav_filtaddr *fa);
KAV_HIDDEN int kav_getaddr_eth(const char *value, kav_filtaddr *fa);
// Port of a service name (looked up lower-cased) for "tcp" or "udp", in
// network order; 0 when known.
KAV_HIDDEN int kav_getservport(const char *name, const char *proto, unsigned short *port);

#endif
