// What the analyser's fuzz targets share.
#ifndef KAVPAN_FUZZ_COMMON_H
#define KAVPAN_FUZZ_COMMON_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pansupp.h"

// Sends the decoders' output to /dev/null; true on the first call only, so a
// target can do its own set-up once. With `numeric`, addresses and ports
// print as numbers: no name look-ups on the machine.
inline bool fuzz_quiet_output(bool numeric) {
  static FILE *sink = nullptr;
  if (sink) return false;
  sink = fopen("/dev/null", "w");
  kav_outfp = sink;
  if (numeric) kav_numval_all = kav_numval_ip = 1;
  return true;
}

// An exact-size heap copy of the input, so that any read past its end is
// caught by the sanitizer.
class fuzz_copy {
 public:
  fuzz_copy(const uint8_t *data, size_t size) : p_(static_cast<unsigned char *>(malloc(size ? size : 1))), n_(size) {
    if (size) memcpy(p_, data, size);
  }
  ~fuzz_copy() { free(p_); }
  fuzz_copy(const fuzz_copy &) = delete;
  fuzz_copy &operator=(const fuzz_copy &) = delete;
  unsigned char *data() const { return p_; }
  int size() const { return int(n_); }
  kav_view view() const { return kav_view(p_, int(n_)); }

 private:
  unsigned char *p_;
  size_t n_;
};

#endif
