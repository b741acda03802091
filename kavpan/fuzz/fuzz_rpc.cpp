// libFuzzer target: ONC RPC payloads over UDP and over TCP record marks, at
// every verbosity; pairs of messages share the request cache, so replies
// find the calls before them.
#include "fuzz_common.h"
#include "panrpcber.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A small request cache, so that probing and reuse are exercised.
  if (fuzz_quiet_output(true)) setenv("KAV_RPCREQ_CACHE", "7", 1);
  if (size < 1) return 0;
  unsigned sel = data[0];
  data++;
  size--;
  kav_vblvl = int(sel & 3) + 1;
  int l4 = (sel & 4) ? 6 : 17;
  fuzz_copy copy(data, size);
  kav_panrpc(copy.view(), l4);
  return 0;
}
