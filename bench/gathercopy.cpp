// gathercopy LOG...: the least a merger that reads mapped inputs and writes
// through the page cache can cost, as a reference for the merge benchmark.
// Writes the inputs' events to standard output the way kavmerge does (each
// header copied, with its session renumbered; the data referred to in the
// mapping; writev in blocks), one event of each input in turn: no time
// order, no checks, no trailer bookkeeping. Logs of this machine's byte
// order only; the output is not a valid merge and is only thrown away.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "kav.h"

namespace {

struct input {
  const unsigned char *base = nullptr;
  size_t size = 0, pos = 0;
  unsigned char ses = 0;
};

struct gather {
  iovec iov[IOV_MAX];
  int n = 0;
  size_t bytes = 0;
  std::vector<unsigned char> arena = std::vector<unsigned char>(256 * 1024);
  size_t used = 0;
  bool flush() {
    for (int i = 0; i < n;) {
      ssize_t w = writev(1, iov + i, n - i);
      if (w <= 0) return false;
      for (size_t done = (size_t)w; i < n && done >= iov[i].iov_len; i++) done -= iov[i].iov_len;
      if (i < n) return false;  // a short write: not on a regular file
    }
    n = 0;
    bytes = used = 0;
    return true;
  }
  bool put(const void *p, size_t len, bool copy) {
    if (n == IOV_MAX || (copy && used + len > arena.size())) {
      if (!flush()) return false;
    }
    if (copy) p = memcpy(arena.data() + used, p, len), used += len;
    iov[n++] = {const_cast<void *>(p), len};
    bytes += len;
    return bytes < (4u << 20) || flush();
  }
};

}  // namespace

int main(int argc, char **argv) {
  std::vector<input> in;
  for (int i = 1; i < argc; i++) {
    int fd = open(argv[i], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < (off_t)sizeof(kav_loghdr)) {
      perror(argv[i]);
      return 2;
    }
    input x;
    x.size = (size_t)st.st_size;
    void *m = mmap(nullptr, x.size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (m == MAP_FAILED) {
      perror(argv[i]);
      return 2;
    }
    x.base = static_cast<const unsigned char *>(m);
    kav_loghdr lh;
    memcpy(&lh, x.base, sizeof lh);
    x.pos = sizeof lh;
    for (int s = 0; s < lh.nsessions && x.pos + sizeof(kav_seshdr) <= x.size; s++) {
      kav_seshdr sh;
      memcpy(&sh, x.base + x.pos, sizeof sh);
      x.pos += sizeof sh + (size_t)sh.filtlen;
    }
    x.ses = (unsigned char)(i - 1);
    in.push_back(x);
  }
  gather g;
  for (bool any = true; any;) {
    any = false;
    for (input &x : in) {
      if (x.pos + sizeof(kav_evthdr) > x.size) continue;
      any = true;
      kav_evthdr h;
      memcpy(&h, x.base + x.pos, sizeof h);
      x.pos += sizeof h;
      size_t len = (size_t)h.caplen;
      if (h.type == KAV_EVT_FATAL || h.type == KAV_EVT_END) len += sizeof(kav_sestrl);
      if (len > x.size - x.pos) len = x.size - x.pos;
      h.ses = x.ses;
      if (!g.put(&h, sizeof h, true) || (len && !g.put(x.base + x.pos, len, false))) {
        perror("writev");
        return 1;
      }
      x.pos += len;
    }
  }
  if (!g.flush()) {
    perror("writev");
    return 1;
  }
  return 0;
}
