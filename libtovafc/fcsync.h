// Internal locking helpers: real mutexes in the multi-threaded library,
// nothing at all in the single-threaded one.
#ifndef TOVAFC_FCSYNC_H
#define TOVAFC_FCSYNC_H

#ifdef TOVAFC_MT
#include <pthread.h>

#include "mutex.h"
#endif

namespace tovafc {

#ifdef TOVAFC_MT
class FcLock {
 public:
  explicit FcLock(const char *name, bool recursive = true) : m_(name, recursive) {}
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  TovMutex m_;
};
using FcThreadId = pthread_t;
inline FcThreadId fc_self() { return pthread_self(); }
inline bool fc_same_thread(FcThreadId a, FcThreadId b) { return pthread_equal(a, b) != 0; }
#else
class FcLock {
 public:
  explicit FcLock(const char *, bool = true) {}
  void lock() {}
  void unlock() {}
};
using FcThreadId = int;
inline FcThreadId fc_self() { return 0; }
inline bool fc_same_thread(FcThreadId, FcThreadId) { return true; }
#endif

// Scoped hold of an FcLock; nolock means the caller already holds it.
class FcGuard {
 public:
  explicit FcGuard(FcLock &lk, bool nolock = false) : l_(nolock ? nullptr : &lk) {
    if (l_) l_->lock();
  }
  ~FcGuard() { release(); }
  FcGuard(const FcGuard &) = delete;
  FcGuard &operator=(const FcGuard &) = delete;
  void release() {
    if (l_) {
      FcLock *l = l_;
      l_ = nullptr;
      l->unlock();
    }
  }

 private:
  FcLock *l_;
};

}  // namespace tovafc

#endif
