#include "timer.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "evtmgr.h"
#include "exception.h"
#include "fcsync.h"
#include "log.h"
#include "tova.h"
#include "utils.h"

namespace tovafc {

class ImplTimer {
 public:
  ImplTimer(TovTimer *o, const char *t) : owner(o), mutex(t && *t ? t : "timer") {
    char buf[32];
    tag = objtag(t, o, buf);
  }
  TovTimer *owner;
  int state = TovTimer::IDLE;
  timeval expiry{};
  int64_t isec = 0, iusec = 0;
  timeval pendExpiry{};
  int64_t pisec = 0, piusec = 0;
  std::string tag;
  mutable FcLock mutex;

  void start(const timeval &exp, int64_t s, int64_t us);
  bool stop();
};

void ImplTimer::start(const timeval &exp, int64_t s, int64_t us) {
  if (state == TovTimer::ACTIVE) stop();
  if (state == TovTimer::IDLE) {
    expiry = exp;
    isec = s;
    iusec = us;
    state = TovTimer::ACTIVE;
    TovEvtMgr::instance(0)->startTimer(owner);
    return;
  }
  // STOPPING or RESTART: carried out when the stop completes.
  pendExpiry = exp;
  pisec = s;
  piusec = us;
  state = TovTimer::RESTART;
}

bool ImplTimer::stop() {
  switch (state) {
    case TovTimer::ACTIVE: {
      TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
      if (!em || em->stopTimer(owner)) {
        state = TovTimer::IDLE;
        return true;
      }
      state = TovTimer::STOPPING;
      return false;
    }
    case TovTimer::RESTART:
      state = TovTimer::STOPPING;
      return false;
    case TovTimer::STOPPING:
      return false;
    default:
      return true;
  }
}

TovTimer::TovTimer(const char *tag) : pimpl(new ImplTimer(this, tag)) {}

TovTimer::TovTimer(const TovTimer &other)
    : pimpl(new ImplTimer(this, (other.pimpl->tag + "-copy").c_str())) {
  *this = other;
}

TovTimer &TovTimer::operator=(const TovTimer &other) {
  if (this == &other) return *this;
  FcGuard gs(other.pimpl->mutex);
  timeval exp{};
  int64_t s = 0, us = 0;
  int st = other.pimpl->state;
  if (st == ACTIVE) {
    exp = other.pimpl->expiry;
    s = other.pimpl->isec;
    us = other.pimpl->iusec;
  } else if (st == RESTART) {
    exp = other.pimpl->pendExpiry;
    s = other.pimpl->pisec;
    us = other.pimpl->piusec;
  }
  FcGuard gt(pimpl->mutex);
  if (st == ACTIVE || st == RESTART)
    pimpl->start(exp, s, us);
  else
    pimpl->stop();
  return *this;
}

TovTimer::~TovTimer() {
  bool idle;
  {
    FcGuard g(pimpl->mutex);
    idle = pimpl->stop();
  }
  if (!idle) {
    tovlog(1, "TovTimer destroyed while active - ABORT APP !");
    exit(1);
  }
  pimpl.reset();
}

const char *TovTimer::tmrtag() const { return pimpl->tag.c_str(); }

int TovTimer::state() const {
  FcGuard g(pimpl->mutex);
  return pimpl->state;
}

// Differences beyond the 32-bit range saturate instead of wrapping, so that a
// timer set far ahead neither fires at once nor breaks the queue's ordering.
static int usec_diff(const timeval &from, const timeval &to) {
  int64_t d = ((int64_t)to.tv_sec - from.tv_sec) * 1000000 + ((int64_t)to.tv_usec - from.tv_usec);
  if (d > INT32_MAX) return INT32_MAX;
  if (d < INT32_MIN) return INT32_MIN;
  return (int)d;
}

int TovTimer::compare(const TovTimer &other) const { return usec_diff(other.pimpl->expiry, pimpl->expiry); }

int TovTimer::compare(const timeval &t) const { return usec_diff(t, pimpl->expiry); }

void TovTimer::lock() { pimpl->mutex.lock(); }
void TovTimer::unlock() { pimpl->mutex.unlock(); }

bool TovTimer::getExpiryAbs(timeval &out, bool nolock) const {
  FcGuard g(pimpl->mutex, nolock);
  if (pimpl->state == ACTIVE) {
    out = pimpl->expiry;
    return true;
  }
  if (pimpl->state == RESTART) {
    out = pimpl->pendExpiry;
    return true;
  }
  return false;
}

bool TovTimer::getExpiry(timeval &remaining, const timeval *now, bool nolock) const {
  timeval abs;
  if (!getExpiryAbs(abs, nolock)) return false;
  timeval cur;
  if (now)
    cur = *now;
  else
    gettimeofday(&cur, nullptr);
  int64_t us = ((int64_t)abs.tv_sec - cur.tv_sec) * 1000000 + ((int64_t)abs.tv_usec - cur.tv_usec);
  remaining.tv_sec = (time_t)(us / 1000000);
  remaining.tv_usec = (suseconds_t)(us % 1000000);
  return true;
}

void TovTimer::startTimerAbs(int sec, int usec, int isec, int iusec, bool nolock) {
  FcGuard g(pimpl->mutex, nolock);
  timeval exp;
  exp.tv_sec = sec;
  exp.tv_usec = usec;
  pimpl->start(exp, isec, iusec);
}

void TovTimer::startTimer(int sec, int usec, int isec, int iusec, bool nolock) {
  FcGuard g(pimpl->mutex, nolock);
  timeval exp;
  gettimeofday(&exp, nullptr);
  exp.tv_sec += sec;
  exp.tv_usec += usec;
  pimpl->start(exp, isec, iusec);
}

bool TovTimer::stopTimer(bool nolock) {
  FcGuard g(pimpl->mutex, nolock);
  return pimpl->stop();
}

void TovTimer::triggerTimer(const timeval &now) {
  {
    FcGuard g(pimpl->mutex);
    if (pimpl->state != ACTIVE) return;
    pimpl->state = IDLE;
    if (pimpl->isec != 0 || pimpl->iusec != 0) {
      timeval exp = now;
      exp.tv_sec += (time_t)pimpl->isec;
      exp.tv_usec += (suseconds_t)pimpl->iusec;
      pimpl->start(exp, pimpl->isec, pimpl->iusec);
    }
  }
  timerExpired();
}

void TovTimer::timerCancelled() {
  FcGuard g(pimpl->mutex);
  switch (pimpl->state) {
    case STOPPING:
      pimpl->state = IDLE;
      g.release();
      timerStopped();
      return;
    case RESTART:
      pimpl->state = IDLE;
      pimpl->start(pimpl->pendExpiry, pimpl->pisec, pimpl->piusec);
      return;
    default:
      throw TovException(3, "TovTimer: Invalid state=%d in Unregistered callback", pimpl->state);
  }
}

}  // namespace tovafc
