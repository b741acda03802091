// libFuzzer target for the importer's format readers. The first input byte
// picks the source type (pcapng included, and reached through Tcpdump by
// its magic), whether the input is read as a pipe, and the -o/-p offsets;
// the rest is the capture.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "impfmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static const int types[8] = {IMP_SNOOP, IMP_TCPDUMP, IMP_IP, IMP_ETHER, IMP_PCAPNG, IMP_TCPDUMP, IMP_PCAPNG,
                               IMP_TCPDUMP};
  static imp_reader rd;
  unsigned sel = data[0];
  rd = imp_reader{};
  rd.type = types[sel & 7];
  rd.unseekable = (sel >> 3) & 1;
  if (rd.type == IMP_IP || rd.type == IMP_ETHER) {
    rd.first_off = (sel >> 4) & 3;
    rd.gap = (sel >> 6) & 3;
  }
  // fmemopen needs a non-empty buffer: an empty capture is one byte, consumed.
  static uint8_t one[1];
  FILE *in = size > 1 ? fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "rb") : fmemopen(one, 1, "rb");
  if (!in) return 0;
  if (size == 1) fgetc(in);
  rd.in = in;
  rd.msgs = nullptr;
  if (imp_open(&rd) == 0) {
    if (rd.nifs < 1 || rd.nifs > IMP_MAXIFS) __builtin_trap();
    while (imp_next(&rd) == 0) {
      if (rd.caplen < 0 || rd.caplen > IMP_FRAMEBUF || rd.ifx < 0 || rd.ifx >= rd.nifs) __builtin_trap();
    }
  }
  imp_close(&rd);
  fclose(in);
  return 0;
}
