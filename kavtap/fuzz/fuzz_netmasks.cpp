// libFuzzer target: the subnet-table reader and the filter-text clean-up on
// arbitrary bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tapsupp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int fd = memfd_create("netmasks", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  tap_subnet *tab = nullptr;
  int n = 0;
  if (tap_load_netmasks(path.c_str(), &tab, &n) == 0) {
    uint32_t mask;
    for (int i = 0; i < n; i++) tap_netmask(tab[i].net | 1u, 0xFFFFFF00u, tab, n, &mask);
    std::free(tab);
  }
  std::string text(reinterpret_cast<const char *>(data), size);
  text.push_back('\0');
  tap_normalise_filter(text.data());
  return 0;
}
