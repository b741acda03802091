// libFuzzer target: ONC RPC payloads over UDP and over TCP record marks, at
// every verbosity; pairs of messages share the request cache, so replies
// find the calls before them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "panrpcber.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static FILE *sink = nullptr;
  if (!sink) {
    sink = fopen("/dev/null", "w");
    kav_outfp = sink;
    kav_numval_all = 1;
    kav_numval_ip = 1;
    setenv("KAV_RPCREQ_CACHE", "7", 1);  // small, so that probing and reuse are exercised
  }
  if (size < 1) return 0;
  unsigned sel = data[0];
  data++;
  size--;
  kav_vblvl = int(sel & 3) + 1;
  int l4 = (sel & 4) ? 6 : 17;
  // An exact-size copy, so that any read past the payload is caught.
  unsigned char *copy = (unsigned char *)malloc(size ? size : 1);
  if (size) memcpy(copy, data, size);
  kav_panrpc(kav_view(copy, int(size)), l4);
  free(copy);
  return 0;
}
