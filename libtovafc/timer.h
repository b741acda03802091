// One-shot and periodic timers run by the event manager.
#ifndef TOVAFC_TIMER_H
#define TOVAFC_TIMER_H

#include <memory>
#include <sys/time.h>

namespace tovafc {

class ImplTimer;

class TovTimer {
 public:
  static constexpr int IDLE = 1, ACTIVE = 2, STOPPING = 3, RESTART = 4;

  explicit TovTimer(const char *tag = nullptr);
  TovTimer(const TovTimer &other);
  TovTimer &operator=(const TovTimer &other);
  virtual ~TovTimer();

  virtual void timerExpired() = 0;
  // A stop that had to be posted has completed; the timer is idle.
  virtual void timerStopped() = 0;

  const char *tmrtag() const;
  int state() const;
  // Expiry minus the other's (or minus t), in microseconds.
  int compare(const TovTimer &other) const;
  int compare(const timeval &t) const;
  void lock();
  void unlock();

  bool getExpiryAbs(timeval &out, bool nolock = false) const;
  bool getExpiry(timeval &remaining, const timeval *now = nullptr, bool nolock = false) const;
  void startTimerAbs(int sec, int usec, int isec = 0, int iusec = 0, bool nolock = false);
  void startTimer(int sec, int usec = 0, int isec = 0, int iusec = 0, bool nolock = false);
  // True when idle at once; false when timerStopped() will follow.
  bool stopTimer(bool nolock = false);

  // Called by the event manager.
  void triggerTimer(const timeval &now);
  void timerCancelled();

 private:
  std::unique_ptr<ImplTimer> pimpl;
};

}  // namespace tovafc

#endif
