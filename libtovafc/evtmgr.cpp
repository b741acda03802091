#include "evtmgr.h"

#include "evtmgr_native.h"
#include "exception.h"
#include "fcsync.h"
#include "utils.h"

namespace tovafc {

TovEvtMgr *TovEvtMgr::singleton = nullptr;

static FcLock &evtmgr_mtx() {
  // Never destroyed: the application object, destroyed at exit, still needs it.
  static FcLock *mtx = new FcLock("EvtMgr");
  return *mtx;
}

TovEvtMgr::TovEvtMgr() {
  FcGuard g(evtmgr_mtx());
  if (singleton) throw TovException(6, "Duplicate EvtMgr");
  singleton = this;
}

TovEvtMgr::~TovEvtMgr() {
  FcGuard g(evtmgr_mtx());
  if (singleton == this) singleton = nullptr;
}

TovEvtMgr *TovEvtMgr::instance(int flags) {
  FcGuard g(evtmgr_mtx());
  if (singleton) {
    if (flags & MUSTNOTEXIST) throw TovException(6, "EvtMgr.instance: already exists");
    return (flags & RETURNNONE) ? nullptr : singleton;
  }
  if (flags & MUSTEXIST) throw TovException(6, "EvtMgr.instance: doesn't exist");
  if (flags & NOCREATE) return nullptr;
  // The constructor registers itself under the (recursive) lock.
  return new TovEvtMgrNative();
}

void TovEvtMgr::destroy() {
  FcGuard g(evtmgr_mtx());
  delete singleton;
}

TovAIO::TovAIO(bool isReader, const char *name) : isReader_(isReader) {
  char buf[32];
  tag_ = objtag(name, this, buf);
#ifdef TOVAFC_MT
  mutex_ = std::make_unique<TovMutex>(tag_.c_str(), true);
#endif
}

TovAIO::TovAIO(const TovAIO &other) : isReader_(other.isReader_), tag_(other.tag_) {
#ifdef TOVAFC_MT
  mutex_ = std::make_unique<TovMutex>(tag_.c_str(), true);
#endif
}

TovAIO &TovAIO::operator=(const TovAIO &other) {
  if (this != &other) {
    isReader_ = other.isReader_;
    tag_ = other.tag_;
  }
  return *this;
}

TovAIO::~TovAIO() = default;

void TovAIO::aioLock() const {
#ifdef TOVAFC_MT
  mutex_->lock();
#endif
}

void TovAIO::aioUnlock() const {
#ifdef TOVAFC_MT
  mutex_->unlock();
#endif
}

}  // namespace tovafc
