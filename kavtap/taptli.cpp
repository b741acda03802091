// TLI capture mechanism: not available on this platform.
#include "tapsupp.h"

int init_tli(tap_module *) {
  std::fprintf(stderr, "TLI packet-capture mechanism not supported\n");
  return 1;
}
