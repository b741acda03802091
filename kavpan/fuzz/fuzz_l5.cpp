// libFuzzer target: arbitrary payloads through layer 5. The first octets
// choose a row of the dispatch table and how it is reached (its port, the
// -u map on an unknown port, or the -U map), the transport and the
// verbosity, so every decoder in the table is fuzzed, later ones included.
#include "fuzz_common.h"
#include "panapp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  if (fuzz_quiet_output(true)) setenv("KAV_SSL_PARSE", "y", 1);
  const kav_l5row &row = kav_l5table[data[0] % unsigned(kav_l5rows)];
  unsigned how = data[1] % 3, vb = (data[1] >> 2) % 4 + 1;
  int l4proto = (data[2] & 3) == 0 ? KAV_IPPROTO_TCP : (data[2] & 3) == 1 ? KAV_IPPROTO_UDP : 0;
  kav_txtdmp = data[2] >> 2;
  kav_envdmpfmt = data[2] & 0x80 ? 1 : 0;
  data += 3;
  size -= 3;
  int port = row.key > 0 ? row.key : 40000;
  kav_proto_map = 0;
  kav_force_map = 0;
  if (how == 1) {
    port = 40001;
    kav_proto_map = row.key;
  } else if (how == 2) {
    kav_proto_map = row.key;
    kav_force_map = 1;
  }
  fuzz_copy copy(data, size);
  kav_vblvl = int(vb);
  int layer = KAV_LAYER_APP, proto = port, trailer = 0, more = 0;
  kav_pktctx ctx;
  memset(&ctx, 0xFA, sizeof ctx);
  unsigned left = kav_panl5(&layer, &proto, l4proto, copy.view(), &trailer, &more, &ctx);
  if (left > size || more) abort();
  return 0;
}
