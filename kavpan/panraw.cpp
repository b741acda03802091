// Raw input: one packet read from standard input (not a log), copied through
// a private temporary file and decoded once through the layer chain.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "pansvc.h"
#include "tova.h"

namespace {

constexpr size_t kBlock = 65536;

const char *errtxt(int err) {
  const char *t = err ? strerror(err) : nullptr;
  return t ? t : "UNKNOWN";
}

// Reads up to n octets from fd, through interruptions; the count or -1.
ssize_t read_full(int fd, unsigned char *p, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return ssize_t(got);
}

}  // namespace

int raw_format(const char *text, int *layer, int *proto) {
  if (!(text[0] >= '0' && text[0] <= '9')) return 1;
  const char *dot = strchr(text, '.');
  if (!dot) return 1;
  std::string l(text, size_t(dot - text)), p(dot + 1);
  if (l.empty() || p.empty() || !isdecstr(l.c_str()) || !isdecstr(p.c_str()) || l.size() > 9 || p.size() > 9)
    return 1;
  *layer = atoi(l.c_str());
  *proto = atoi(p.c_str());
  return 0;
}

long long do_relay(int fd, uint64_t offset, uint64_t max) {
  static unsigned char block[kBlock];
  long long written = 0;
  for (;;) {
    ssize_t n = read(0, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "read() failed - errno = %d", errno);
      return -1;
    }
    if (n == 0) break;
    size_t from = 0;
    if (offset > 0) {
      if (offset >= uint64_t(n)) {  // a block wholly inside the offset
        offset -= uint64_t(n);
        continue;
      }
      from = size_t(offset);
      offset = 0;
    }
    size_t k = size_t(n) - from;
    if (max && uint64_t(written) + k > max) k = size_t(max - uint64_t(written));
    ssize_t w = write(fd, block + from, k);
    if (w != ssize_t(k)) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "write() failed - retval=%d/%d, errno=%d", int(w), int(k),
               w < 0 ? errno : 0);
      return -1;
    }
    written += (long long)k;
    if (max && uint64_t(written) >= max) break;
  }
  if (offset > 0) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Offset is greater than file size");
    return -1;
  }
  return written;
}

unsigned char *read_rawpdu(long long *size, uint64_t offset, uint64_t max) {
  char path[64];
  snprintf(path, sizeof path, "/tmp/%s.%u", "kavpan", unsigned(getpid()));
  // Exclusive and owner-only: a name prepared by someone else (a file or a
  // symbolic link) is refused, never written through.
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to open tempfile '%s' for writing, errno=%d [%s]", path, err,
             errtxt(err));
    return nullptr;
  }
  auto fail = [&](int rfd) -> unsigned char * {
    if (rfd >= 0) close(rfd);
    close(fd);
    unlink(path);
    return nullptr;
  };
  if (fchmod(fd, 0400) != 0) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to set tempfile '%s' permissions, errno=%d [%s]", path, err,
             errtxt(err));
    return fail(-1);
  }
  long long n = do_relay(fd, offset, max);
  if (n < 0) return fail(-1);
  if (n == 0) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "zero-sized object");
    return fail(-1);
  }
  // The file read back must be the one written.
  int rfd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat ws {}, rs {};
  if (rfd < 0 || fstat(fd, &ws) != 0 || fstat(rfd, &rs) != 0 || ws.st_dev != rs.st_dev || ws.st_ino != rs.st_ino) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to open tempfile '%s' for reading [%d]", path,
             rfd < 0 ? errno : 0);
    return fail(rfd);
  }
  close(fd);
  fd = -1;
  unlink(path);
  // The chain hands the length on as an int; 8 spare octets follow the data.
  unsigned char *buf = n > INT_MAX - 8 ? nullptr : static_cast<unsigned char *>(calloc(1, size_t(n) + 8));
  if (!buf) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY, on malloc(%lld) for raw packet", n);
    close(rfd);
    return nullptr;
  }
  ssize_t got = read_full(rfd, buf, size_t(n));
  close(rfd);
  if (got != ssize_t(n)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to read tempfile '%s' [%d]", path, got < 0 ? errno : 0);
    free(buf);
    return nullptr;
  }
  *size = n;
  return buf;
}

int raw_decode(int layer, int proto, const char *pseudo, uint64_t offset, uint64_t max) {
  long long size = 0;
  unsigned char *buf = read_rawpdu(&size, offset, max);
  if (!buf) {
    fprintf(stderr, "Failed to read input object [%s]\n", tvl_usrmsg);
    return 1;
  }
  kav_rawmode = 1;
  kav_l5_undecoded = 0;
  kav_pktctx ctx;
  print_pkt(layer, proto, buf, int(size), 0, &ctx);
  if (pseudo && kav_l5_undecoded)
    kavprt(-1, "\nNo %s decoder in this build: the packet is shown as undecoded data\n", pseudo);
  if (trigger_defined()) run_trigger(&ctx, nullptr);
  free(buf);
  return 0;
}
