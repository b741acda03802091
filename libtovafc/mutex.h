// Counted POSIX mutex and its scoped guard (multi-threaded library only).
#ifndef TOVAFC_MUTEX_H
#define TOVAFC_MUTEX_H

#ifdef TOVAFC_MT
#include <pthread.h>
#include <string>

namespace tovafc {

class TovMutex {
 public:
  explicit TovMutex(const char *name = nullptr, bool recursive = true);
  ~TovMutex();
  TovMutex(const TovMutex &) = delete;
  TovMutex &operator=(const TovMutex &) = delete;

  int lock();     // new depth
  int trylock();  // new depth, or -1 when busy
  int unlock();   // new depth, or -1 on failure
  int unlockAll();  // depth held before the call, or -1

  const std::string &name() const { return name_; }
  bool recursive() const { return recursive_; }
  int count() const { return count_; }

 private:
  std::string name_;
  bool recursive_;
  int count_ = 0;
  pthread_mutex_t mtx_;
};

// Wraps a lock already taken; releases it on destruction.
class TovMutexGuard {
 public:
  explicit TovMutexGuard(TovMutex *mutex, bool all = false) : mutex_(mutex), all_(all) {}
  ~TovMutexGuard() { clear(all_); }
  TovMutexGuard(const TovMutexGuard &) = delete;
  TovMutexGuard &operator=(const TovMutexGuard &) = delete;
  void clear(bool all = false);

 private:
  TovMutex *mutex_;
  bool all_;
};

}  // namespace tovafc
#endif

#endif
