#include "async_rdr.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <vector>

#include "aiofiles.h"
#include "aiohold.h"
#include "exception.h"
#include "file.h"
#include "log.h"

namespace tovafc {

namespace {
struct file_t {
  int requested = 0;
  int pending = 0;
  char *buf = nullptr;
  // Why the reader stopped the watch itself, reported when a posted stop completes.
  bool eof = false;
  bool failed = false;
};

}  // namespace

class ImplAsyRdr {
 public:
  explicit ImplAsyRdr(TovAsyncReader *o) : owner(o) {}
  TovAsyncReader *owner;
  std::map<TovFile *, file_t> files;
};

TovAsyncReader::TovAsyncReader(const char *tag) : TovAIO(true, tag), pimpl(new ImplAsyRdr(this)) {}

TovAsyncReader::TovAsyncReader(const TovAsyncReader &other) : TovAIO(other), pimpl(new ImplAsyRdr(this)) {}

TovAsyncReader &TovAsyncReader::operator=(const TovAsyncReader &other) {
  if (this != &other) {
    AioHold h(this, false);
    TovAIO::operator=(other);
    pimpl->files.clear();
  }
  return *this;
}

TovAsyncReader::~TovAsyncReader() {
  if (aioTerminate(false) > 0) {
    tovlog(1, "TovAsyncRdr destroyed while active - ABORT APP !");
    exit(1);
  }
  pimpl.reset();
}

void TovAsyncReader::aioRequest(TovFile *file, int nbytes, char *buf, bool nolock) {
  AioHold h(this, nolock);
  auto it = pimpl->files.find(file);
  if (it == pimpl->files.end()) {
    if (!TovEvtMgr::instance(0)->startAIO(file, this)) return;
    it = pimpl->files.emplace(file, file_t{}).first;
  }
  it->second.requested = nbytes < 0 ? 0 : nbytes;
  it->second.buf = buf;
  it->second.pending = 0;
}

void TovAsyncReader::aioListen(TovFile *file, bool nolock) { aioRequest(file, 0, nullptr, nolock); }

bool TovAsyncReader::aioStop(TovFile *file, bool nolock) {
  AioHold h(this, nolock);
  return aio_unwatch(this, pimpl->files, file);
}

int TovAsyncReader::aioTerminate(bool nolock) {
  AioHold h(this, nolock);
  return aio_unwatch_all(this, pimpl->files);
}

bool TovAsyncReader::aioFile(TovFile *file, bool nolock) const {
  AioHold h(this, nolock);
  return pimpl->files.count(file) != 0;
}

int TovAsyncReader::aioFiles(bool nolock) const {
  AioHold h(this, nolock);
  return (int)pimpl->files.size();
}

int TovAsyncReader::requestedBytes(TovFile *file, bool nolock) const {
  AioHold h(this, nolock);
  auto it = pimpl->files.find(file);
  return it == pimpl->files.end() ? -1 : it->second.requested;
}

int TovAsyncReader::pendingBytes(TovFile *file, bool nolock) const {
  AioHold h(this, nolock);
  auto it = pimpl->files.find(file);
  return it == pimpl->files.end() ? -1 : it->second.pending;
}

void TovAsyncReader::aioReady(TovFile *file) {
  AioHold h(this, false);
  auto it = pimpl->files.find(file);
  if (it == pimpl->files.end()) return;
  file_t &f = it->second;
  if (f.requested == 0) {
    aioReadable(file);
    return;
  }
  ssize_t n = read(file->fd(), f.buf + f.pending, (size_t)(f.requested - f.pending));
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n > 0) {
    f.pending += (int)n;
    if (f.pending < f.requested) return;
    f.pending = 0;
    int req = f.requested;
    char *buf = f.buf;
    h.release();
    aioReceived(file, req, buf);
    return;
  }
  bool eof = n == 0;
  f.eof = eof;
  f.failed = !eof;
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  if (!em || em->stopAIO(file, this)) {
    pimpl->files.erase(it);
    h.release();
    aioStopped(file, eof, !eof);
  }
}

void TovAsyncReader::aioCancelled(TovFile *file, bool hangup, bool err) {
  {
    AioHold h(this, false);
    auto it = pimpl->files.find(file);
    if (it != pimpl->files.end()) {
      hangup = hangup || it->second.eof;
      err = err || it->second.failed;
      pimpl->files.erase(it);
    }
  }
  aioStopped(file, hangup, err);
}

}  // namespace tovafc
