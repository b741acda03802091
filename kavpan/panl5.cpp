// Application layer. No application decoder is built into this analyser yet:
// every payload is reported as undecoded, so the chain shows it as data (its
// octet count in the summary, a dump at verbosity 4).
#include "pansupp.h"

unsigned kav_panl5(int *layer, int *proto, int l4proto, kav_view pdu, int *trailer, int *more, kav_pktctx *ctx) {
  (void)proto;
  (void)l4proto;
  (void)trailer;
  (void)ctx;
  *more = 0;
  *layer = KAV_L_STOP;
  return unsigned(pdu.size());
}
