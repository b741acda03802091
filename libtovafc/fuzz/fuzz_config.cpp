// libFuzzer target: configuration files of arbitrary bytes, parsed, dumped and read back.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "config.h"
#include "exception.h"

using namespace tovafc;

static TovConfig::strings sorted(TovConfig::strings v) {
  std::sort(v.begin(), v.end());
  return v;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int in = memfd_create("fuzz-cfg", 0);
  static int out = memfd_create("fuzz-dump", 0);
  if (in < 0 || out < 0) return 0;
  if (ftruncate(in, 0) != 0 || pwrite(in, data, size, 0) != (ssize_t)size) return 0;
  char inpath[64], outpath[64];
  snprintf(inpath, sizeof inpath, "/proc/self/fd/%d", in);
  snprintf(outpath, sizeof outpath, "/proc/self/fd/%d", out);
  try {
    TovConfig cfg(inpath);
    for (const auto &g : cfg.groups())
      for (const auto &i : cfg.items(g)) (void)cfg.value(g, i, true, (unsigned)cfg.values(g, i).size() - 1);
    if (ftruncate(out, 0) != 0) return 0;
    FILE *f = fopen(outpath, "w");
    if (!f) return 0;
    cfg.dump(f);
    fclose(f);
    // The dump must read back as the same settings, value for value (the
    // dump lists groups and items sorted, so their order may change).
    TovConfig back(outpath);
    if (sorted(back.groups()) != sorted(cfg.groups())) __builtin_trap();
    for (const auto &g : cfg.groups()) {
      if (sorted(back.items(g)) != sorted(cfg.items(g))) __builtin_trap();
      for (const auto &i : cfg.items(g))
        if (back.values(g, i) != cfg.values(g, i)) __builtin_trap();
    }
  } catch (const TovException &) {
  }
  return 0;
}
