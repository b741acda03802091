#include "file.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "exception.h"
#include "log.h"

namespace tovafc {

TovFile::~TovFile() {
  if (assigned_ && owner_ && fd_ >= 0) close(fd_);
}

void TovFile::assign(int fd, const char *name, bool owner) {
  TovAssertFull(!assigned_ && fd >= 0, "TovFile: Assigning %s=%d to %s=%d", name ? name : "", fd, this->name(), fd_);
  fd_ = fd;
  assigned_ = true;
  name_ = name && *name ? name : "?fd?";
  owner_ = owner;
  flags_ = -1;
}

const char *TovFile::name() const { return assigned_ ? name_.c_str() : "_UNASSIGNED_"; }

void TovFile::setBlockingMode(bool blocking) {
  if (flags_ == -1) {
    flags_ = fcntl(fd_, F_GETFL);
    if (flags_ == -1) throw TovException(2, "TovFile: Failed to get flags for fd=%d (%d)", fd_, errno);
  }
  int nf = blocking ? (flags_ & ~O_NONBLOCK) : (flags_ | O_NONBLOCK);
  if (nf == flags_) return;
  if (fcntl(fd_, F_SETFL, nf) == -1)
    throw TovException(2, "TovFile: Failed to set flags to 0x%x for fd=%d (%d)", (unsigned)nf, fd_, errno);
  flags_ = nf;
}

bool TovFile::blockingMode() const {
  if (flags_ == -1 && fd_ >= 0) flags_ = fcntl(fd_, F_GETFL);
  return flags_ != -1 && !(flags_ & O_NONBLOCK);
}

// One process-wide jump buffer: transfers with a timeout are not re-entrant.
static sigjmp_buf io_jmpbuf;
static volatile sig_atomic_t io_jmp_armed;

extern "C" void tovafc_io_alarm(int) {
  if (io_jmp_armed) siglongjmp(io_jmpbuf, 1);
}

static int doIO(bool isRead, int fd, void *buf, int len, bool nowait, int timeout, bool *eof) {
  struct sigaction oldact {};
  unsigned int oldalarm = 0;
  unsigned int secs = (unsigned)(timeout < 0 ? -timeout : timeout);
  volatile int done = 0;
  volatile int result = -1;
  if (timeout != 0) {
    oldalarm = alarm(0);
    struct sigaction sa {};
    sa.sa_handler = tovafc_io_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &oldact);
    if (sigsetjmp(io_jmpbuf, 1) != 0) {
      io_jmp_armed = 0;
      result = done;
      goto restore;
    }
    io_jmp_armed = 1;
    alarm(secs);
  }
  if (len == 0) {
    result = 0;
    goto restore;
  }
  {
    char *p = (char *)buf;
    ssize_t r = 0;
    for (;;) {
      if (done >= len) {
        result = done;
        break;
      }
      if (timeout < 0) alarm(secs);
      errno = 0;
      r = isRead ? read(fd, p + done, (size_t)(len - done)) : write(fd, p + done, (size_t)(len - done));
      if (r > 0) {
        done = done + (int)r;
        continue;
      }
      if (r == 0 && isRead) {
        if (eof) {
          *eof = true;
          result = done;
          break;
        }
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (nowait && done == 0) {
          result = 0;
          break;
        }
        usleep(10000);
        continue;
      }
      int saved = errno;
      tovlog(4, "%s failed on fd=%d, retval=%d after %d/%d (errno=%d)", isRead ? "Read" : "Write", fd, (int)r,
             (int)done, len, saved);
      errno = saved;
      result = -1;
      break;
    }
  }
restore:
  if (timeout != 0) {
    int saved = errno;
    io_jmp_armed = 0;
    alarm(0);
    sigaction(SIGALRM, &oldact, nullptr);
    if (oldalarm) alarm(oldalarm);
    errno = saved;
  }
  return result;
}

int TovFile::bread(int fd, void *buf, int len, bool nowait, int timeout, bool *eof) {
  return doIO(true, fd, buf, len, nowait, timeout, eof);
}

int TovFile::bwrite(int fd, const void *buf, int len, int timeout) {
  return doIO(false, fd, const_cast<void *>(buf), len, false, timeout, nullptr);
}

}  // namespace tovafc
