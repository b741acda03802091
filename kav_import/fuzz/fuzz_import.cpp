// libFuzzer target for the importer's format readers. The first input byte
// picks the source type and the -o/-p offsets; the rest is the capture.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "impfmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static imp_reader rd;
  unsigned sel = data[0];
  rd = imp_reader{};
  rd.type = IMP_SNOOP + (int)(sel & 3);
  if (rd.type == IMP_IP || rd.type == IMP_ETHER) {
    rd.first_off = (sel >> 2) & 7;
    rd.gap = (sel >> 5) & 7;
  }
  // fmemopen needs a non-empty buffer: an empty capture is one byte, consumed.
  static uint8_t one[1];
  FILE *in = size > 1 ? fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "rb") : fmemopen(one, 1, "rb");
  if (!in) return 0;
  if (size == 1) fgetc(in);
  rd.in = in;
  rd.msgs = nullptr;
  if (imp_open(&rd) == 0) {
    while (imp_next(&rd) == 0) {
      if (rd.caplen < 0 || rd.caplen > IMP_FRAMEBUF) __builtin_trap();
    }
  }
  fclose(in);
  return 0;
}
