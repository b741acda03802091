// libFuzzer target: arbitrary frames through the layer chain, from every start
// layer and link type, at every verbosity, with and without octets missing.
#include "fuzz_common.h"
#include "kav.h"

namespace {

struct start {
  int layer, proto;
};
const start kStarts[] = {{2, 1},  {2, 2},  {2, 3},   {2, 6},  {2, 7},  {2, 8},  {2, 9},  {2, 10}, {2, 11},
                         {2, 12}, {2, 13}, {3, 1},   {3, 2},  {3, 3},  {3, 6},  {3, 7},  {3, 0},  {4, 1},
                         {4, 2},  {4, 6},  {4, 17},  {4, 47}, {4, 58}, {4, 89}, {4, 112}, {4, -1}, {5, 80},
                         {0, 0},  {1, 0},  {-1, 0},  {7, 3}};
// Data-link types of the log format, for the start the analyser would take.
const int kLinkTypes[] = {0, 1, 2, 3, 4, 5, 8, 129, 77};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  fuzz_quiet_output(true);
  unsigned sel = data[0], vb = data[1] % 4 + 1, missing = data[2] % 4 == 0 ? data[2] : 0;
  data += 3;
  size -= 3;
  int layer, proto;
  const unsigned char *frame = data;
  int len = int(size);
  if (sel & 0x80) {
    int lt = kLinkTypes[(sel & 0x7F) % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    int off = 0;
    proto = kav_proto_id_n(lt, data, int(size), &layer, &off, (sel & 0x40) ? 1u : 0u);
    if (off < 0 || off > len) return 0;
    frame += off;
    len -= off;
  } else {
    const start &s = kStarts[sel % (sizeof kStarts / sizeof kStarts[0])];
    layer = s.layer;
    proto = s.proto;
  }
  fuzz_copy copy(frame, len > 0 ? size_t(len) : 0);
  kav_pktctx ctx;
  kav_vblvl = int(vb);
  print_pkt(layer, proto, copy.data(), len, missing, &ctx);
  return 0;
}
