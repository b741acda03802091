// Internal: holds a descriptor client's lock for a scope, unless the caller
// says it already holds it (the "nolock" argument of the client calls).
#ifndef TOVAFC_AIOHOLD_H
#define TOVAFC_AIOHOLD_H

#include "evtmgr.h"

namespace tovafc {

struct AioHold {
  const TovAIO *a;
  AioHold(const TovAIO *aio, bool nolock) : a(nolock ? nullptr : aio) {
    if (a) a->aioLock();
  }
  ~AioHold() { release(); }
  AioHold(const AioHold &) = delete;
  AioHold &operator=(const AioHold &) = delete;
  void release() {
    if (a) {
      const TovAIO *x = a;
      a = nullptr;
      x->aioUnlock();
    }
  }
};

}  // namespace tovafc

#endif
