#include "async_rcvr.h"

#include <cstdlib>
#include <set>

#include "aiofiles.h"
#include "aiohold.h"
#include "exception.h"
#include "fcsync.h"
#include "file.h"
#include "log.h"

namespace tovafc {

class ImplAsyRcv {
 public:
  explicit ImplAsyRcv(TovAsyncReceiver *o) : owner(o) {}
  TovAsyncReceiver *owner;
  std::set<TovFile *> files;
};

TovAsyncReceiver::TovAsyncReceiver(const char *tag) : TovAIO(true, tag), pimpl(new ImplAsyRcv(this)) {}

TovAsyncReceiver::TovAsyncReceiver(const TovAsyncReceiver &other) : TovAIO(other), pimpl(new ImplAsyRcv(this)) {}

TovAsyncReceiver &TovAsyncReceiver::operator=(const TovAsyncReceiver &other) {
  if (this != &other) {
    AioHold h(this, false);
    TovAIO::operator=(other);
    pimpl->files.clear();
  }
  return *this;
}

TovAsyncReceiver::~TovAsyncReceiver() {
  if (aioTerminate(false) > 0) {
    tovlog(1, "TovAsyncRcvr destroyed while active - ABORT APP !");
    exit(1);
  }
  pimpl.reset();
}

void TovAsyncReceiver::aioStart(TovFile *file, bool nolock) {
  AioHold h(this, nolock);
  if (TovEvtMgr::instance(0)->startAIO(file, this)) pimpl->files.insert(file);
}

bool TovAsyncReceiver::aioStop(TovFile *file, bool nolock) {
  AioHold h(this, nolock);
  return aio_unwatch(this, pimpl->files, file);
}

int TovAsyncReceiver::aioTerminate(bool nolock) {
  AioHold h(this, nolock);
  return aio_unwatch_all(this, pimpl->files);
}

bool TovAsyncReceiver::aioFile(TovFile *file, bool nolock) const {
  AioHold h(this, nolock);
  return pimpl->files.count(file) != 0;
}

int TovAsyncReceiver::aioFiles(bool nolock) const {
  AioHold h(this, nolock);
  return (int)pimpl->files.size();
}

void TovAsyncReceiver::aioCancelled(TovFile *file, bool hangup, bool err) {
  {
    AioHold h(this, false);
    pimpl->files.erase(file);
  }
  aioStopped(file, hangup, err);
}

}  // namespace tovafc
