#include "mutex.h"

#include <cerrno>

#include "exception.h"
#include "log.h"

namespace tovafc {

TovMutex::TovMutex(const char *name, bool recursive) : name_(name ? name : ""), recursive_(recursive) {
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc) throw TovException(2, "mutex: pthread_mutexattr_init() failed (%d)", rc);
  rc = pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_DEFAULT);
  if (rc) {
    pthread_mutexattr_destroy(&attr);
    throw TovException(2, "mutex: pthread_mutexattr_settype() failed (%d)", rc);
  }
  rc = pthread_mutex_init(&mtx_, &attr);
  if (rc) {
    pthread_mutexattr_destroy(&attr);
    throw TovException(2, "mutex: pthread_mutex_init() failed (%d)", rc);
  }
  rc = pthread_mutexattr_destroy(&attr);
  if (rc) {
    pthread_mutex_destroy(&mtx_);
    throw TovException(2, "mutex: pthread_mutexattr_destroy() failed (%d)", rc);
  }
}

TovMutex::~TovMutex() {
  while (count_ > 0) {
    if (unlock() < 0) break;
  }
  int rc = pthread_mutex_destroy(&mtx_);
  if (rc) tovlog(1, "mutex: pthread_mutex_destroy() failed (%d)", rc);
}

int TovMutex::lock() {
  int rc = pthread_mutex_lock(&mtx_);
  if (rc) throw TovException(2, "mutex.lock: lock failed on %s (%d)", name_.c_str(), rc);
  return ++count_;
}

int TovMutex::trylock() {
  int rc = pthread_mutex_trylock(&mtx_);
  if (rc == EBUSY) return -1;
  if (rc) throw TovException(2, "mutex.trylock: lock failed on %s (%d)", name_.c_str(), rc);
  return ++count_;
}

int TovMutex::unlock() {
  int depth = --count_;
  int rc = pthread_mutex_unlock(&mtx_);
  if (rc) {
    count_++;
    tovlog(1, "mutex.unlock: mutex-unlock failed on %s (%d)", name_.c_str(), rc);
    return -1;
  }
  return depth;
}

int TovMutex::unlockAll() {
  if (!recursive_) throw TovException(3, "mutex.unlockAll: %s is non-recursive", name_.c_str());
  int held = lock() - 1;
  while (count_ > 0) {
    if (unlock() < 0) return -1;
  }
  return held;
}

void TovMutexGuard::clear(bool all) {
  if (!mutex_) return;
  TovMutex *m = mutex_;
  mutex_ = nullptr;
  if (all && m->recursive())
    m->unlockAll();
  else
    m->unlock();
}

}  // namespace tovafc
