#include "asyncw.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "aiohold.h"
#include "exception.h"
#include "file.h"
#include "log.h"

namespace tovafc {

namespace {
struct msg_t {
  std::vector<char> data;
  int len = 0;
  int offset = 0;
};
enum { W_IDLE, W_WATCHING, W_STOPPING };

}  // namespace

class ImplAsyW {
 public:
  TovAsyncWriter *owner;
  TovFile *file;
  bool ownfile;
  std::deque<msg_t> queue;
  int queued = 0;
  int error = 0;
  bool destroyPending = false;
  int watch = W_IDLE;       // our watch with the event manager
  bool rewatch = false;     // data queued while a stop was in flight

  void discard() {
    queue.clear();
    queued = 0;
  }
  void fail(int e) {
    tovlog(4, "AsyncWriter: failed on %s=%d - errno=%d", file->name(), file->fd(), e);
    error = e ? e : EAGAIN;
  }
  void startWatch() {
    if (watch == W_WATCHING) return;
    if (watch == W_STOPPING) {
      rewatch = true;
      return;
    }
    if (TovEvtMgr::instance(0)->startAIO(file, owner)) watch = W_WATCHING;
  }
  // True when no watch remains at once.
  bool stopWatch() {
    if (watch == W_IDLE) return true;
    if (watch == W_STOPPING) return false;
    TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
    if (!em || em->stopAIO(file, owner)) {
      watch = W_IDLE;
      return true;
    }
    watch = W_STOPPING;
    return false;
  }
};

TovAsyncWriter::TovAsyncWriter(TovFile *file, bool ownfile) : TovAIO(false, file->name()), pimpl(new ImplAsyW) {
  pimpl->owner = this;
  pimpl->file = file;
  pimpl->ownfile = ownfile;
  file->setBlockingMode(false);
}

TovAsyncWriter::~TovAsyncWriter() {
  bool idle;
  {
    AioHold h(this, false);
    pimpl->rewatch = false;
    idle = pimpl->stopWatch();
  }
  if (!idle) {
    tovlog(1, "TovAsyncWrtr destroyed while active - ABORT APP !");
    exit(1);
  }
  pimpl->discard();
  if (pimpl->ownfile) delete pimpl->file;
  pimpl.reset();
}

TovFile *TovAsyncWriter::aioFile() const { return pimpl->file; }

int TovAsyncWriter::awrite(const void *buf, int len) {
  AioHold h(this, false);
  ImplAsyW &w = *pimpl;
  if (w.error) return w.error;
  if (len <= 0 || !buf) return 0;
  const char *p = (const char *)buf;
  int done = 0;
  if (w.queue.empty()) {
    while (done < len) {
      errno = 0;
      ssize_t n = write(w.file->fd(), p + done, (size_t)(len - done));
      if (n > 0) {
        done += (int)n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      w.fail(errno);
      return w.error;
    }
    if (done == len) return 0;
    w.startWatch();
  }
  msg_t m;
  m.data.assign(p + done, p + len);
  m.len = len - done;
  w.queue.push_back(std::move(m));
  w.queued += len - done;
  return 0;
}

void TovAsyncWriter::aioReady(TovFile *) {
  AioHold h(this, false);
  ImplAsyW &w = *pimpl;
  while (!w.queue.empty()) {
    msg_t &m = w.queue.front();
    errno = 0;
    ssize_t n = write(w.file->fd(), m.data.data() + m.offset, (size_t)(m.len - m.offset));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
      w.fail(errno);
      w.discard();
      break;
    }
    m.offset += (int)n;
    w.queued -= (int)n;
    if (m.offset >= m.len) w.queue.pop_front();
  }
  if (w.queued == 0) {
    w.rewatch = false;
    w.stopWatch();
  }
}

void TovAsyncWriter::aioCancelled(TovFile *, bool hangup, bool err) {
  AioHold h(this, false);
  ImplAsyW &w = *pimpl;
  w.watch = W_IDLE;
  if (w.destroyPending) {
    h.release();
    delete this;
    return;
  }
  if (hangup || err) {
    if (w.error == 0) w.error = hangup ? -1 : -2;  // the first error is the one kept
    w.rewatch = false;
    w.discard();
    return;
  }
  // Our own stop completed; data queued meanwhile still needs the watch.
  if (w.rewatch || !w.queue.empty()) {
    w.rewatch = false;
    w.startWatch();
  }
}

void TovAsyncWriter::destroy() {
  AioHold h(this, false);
  pimpl->discard();
  pimpl->rewatch = false;
  if (pimpl->stopWatch()) {
    h.release();
    delete this;
    return;
  }
  pimpl->destroyPending = true;
}

int TovAsyncWriter::queuedBytes(bool nolock) const {
  AioHold h(this, nolock);
  return pimpl->queued;
}

int TovAsyncWriter::queuedMsgs(bool nolock) const {
  AioHold h(this, nolock);
  return (int)pimpl->queue.size();
}

int TovAsyncWriter::error(bool nolock) const {
  AioHold h(this, nolock);
  return pimpl->error;
}

}  // namespace tovafc
