// DLPI capture mechanism: not available on this platform.
#include "tapsupp.h"

int init_dlpi(tap_module *) {
  std::fprintf(stderr, "DLPI packet-capture mechanism not supported\n");
  return 1;
}
