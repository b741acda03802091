#include "evtmgr_native.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <strings.h>

#include "exception.h"
#include "fcsync.h"
#include "file.h"
#include "log.h"
#include "tova.h"

namespace tovafc {

// ---- process-wide signal state: the only data touched in signal context ----
static constexpr int MAX_SIGNALS = 64;
static volatile sig_atomic_t sig_pending[MAX_SIGNALS];
static volatile sig_atomic_t sig_ready;
static int sig_wakefd = -1;  // write end of the waker pipe

extern "C" void tovafc_signal_catcher(int sig) {
  int saved = errno;
  if (sig >= 0 && sig < MAX_SIGNALS) sig_pending[sig] = 1;
  sig_ready = 1;
  if (sig_wakefd >= 0) {
    char c = 0;
    ssize_t r = write(sig_wakefd, &c, 1);
    (void)r;
  }
  errno = saved;
}

static void set_disposition(int sig, void (*fn)(int));

// ---- request channel -----------------------------------------------------
struct EmRequest {
  int32_t type;
  int32_t reserved;
  uint64_t arg[3];
};
static_assert(sizeof(EmRequest) == 32, "request records are 32 bytes");

enum { RQ_STARTAIO = 1, RQ_STOPAIO, RQ_STARTTIMER, RQ_STOPTIMER, RQ_STOPDISP, RQ_STARTSIG, RQ_STOPSIG };

class AsyncRegistrar : public TovAIO {
 public:
  explicit AsyncRegistrar(TovEvtMgrNative *em);
  ~AsyncRegistrar() override;
  void aioReady(TovFile *file) override;
  void aioCancelled(TovFile *file, bool hangup, bool err) override;

  bool submit(int type, uint64_t a1 = 0, uint64_t a2 = 0, uint64_t a3 = 0);
  void cancel(bool err);
  void dispatcherStopped();
  void processRequest(const EmRequest &rq);
  TovFile *pipefile() { return &pipefile_; }
  bool watched() const { return watched_; }
  void setWatched(bool w) { watched_ = w; }
  bool wfdOpen() {
    FcGuard g(wlock_);
    return wfd_ >= 0;
  }
  int queued() const { return (int)unreg_.size(); }

 private:
  TovEvtMgrNative *evtmgr_;
  TovFile pipefile_;
  int wfd_ = -1;
  bool stopped_ = false;
  bool watched_ = false;
  std::deque<EmRequest> unreg_;
  EmRequest partial_{};
  size_t partlen_ = 0;
  FcLock wlock_{"ARhelper"};
};

AsyncRegistrar::AsyncRegistrar(TovEvtMgrNative *em) : TovAIO(true, "ARhelper"), evtmgr_(em) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw TovException(2, "EvtMgr: Failed to create %s pipe", "ARhelper");
  // Room for many outstanding requests; a full pipe refuses rather than blocks.
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  pipefile_.assign(fds[0], "ARhelper", true);
  wfd_ = fds[1];
}

AsyncRegistrar::~AsyncRegistrar() {
  tovlog(4, "AsyncRegistrar.dtor: Enter with unreg_reqs=%d, stopped=%s", (int)unreg_.size(),
         stopped_ ? "Yes" : "No");
  unreg_.clear();
  FcGuard g(wlock_);
  if (wfd_ >= 0) close(wfd_);
  wfd_ = -1;
}

bool AsyncRegistrar::submit(int type, uint64_t a1, uint64_t a2, uint64_t a3) {
  EmRequest rq{};
  rq.type = type;
  rq.arg[0] = a1;
  rq.arg[1] = a2;
  rq.arg[2] = a3;
  // The lock orders the submitter's writes before the dispatcher's handling.
  aioLock();
  bool ok = false;
  {
    FcGuard g(wlock_);
    if (wfd_ >= 0) {
      ssize_t n;
      do {
        n = write(wfd_, &rq, sizeof rq);
      } while (n < 0 && errno == EINTR);
      ok = (n == (ssize_t)sizeof rq);
    }
  }
  if (!ok && (type == RQ_STOPAIO || type == RQ_STOPTIMER || type == RQ_STOPSIG) && !stopped_) {
    unreg_.push_back(rq);
    ok = true;
  }
  aioUnlock();
  return ok;
}

void AsyncRegistrar::processRequest(const EmRequest &rq) {
  TovEvtMgrNative *em = evtmgr_;
  switch (rq.type) {
    case RQ_STARTAIO:
      em->syncstartAIO((TovFile *)(uintptr_t)rq.arg[0], (TovAIO *)(uintptr_t)rq.arg[1]);
      break;
    case RQ_STOPAIO:
      em->syncstopAIO((TovFile *)(uintptr_t)rq.arg[0], (TovAIO *)(uintptr_t)rq.arg[1], true, false, false);
      break;
    case RQ_STARTTIMER:
      em->syncstartTimer((TovTimer *)(uintptr_t)rq.arg[0]);
      break;
    case RQ_STOPTIMER:
      em->syncstopTimer((TovTimer *)(uintptr_t)rq.arg[0], true);
      break;
    case RQ_STOPDISP: {
      FcGuard g(wlock_);
      if (wfd_ >= 0) close(wfd_);
      wfd_ = -1;
      break;
    }
    case RQ_STARTSIG:
      em->sigRequest(true, false, (TovSignalHandler *)(uintptr_t)rq.arg[0], (int)rq.arg[1], false);
      break;
    case RQ_STOPSIG: {
      auto *h = (TovSignalHandler *)(uintptr_t)rq.arg[0];
      em->sigRequest(false, h != nullptr, h, (int)(int64_t)rq.arg[1], rq.arg[2] != 0);
      break;
    }
  }
}

void AsyncRegistrar::aioReady(TovFile *file) {
  for (;;) {
    ssize_t n = read(file->fd(), (char *)&partial_ + partlen_, sizeof partial_ - partlen_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      cancel(true);
      return;
    }
    if (n == 0) {
      cancel(false);
      return;
    }
    partlen_ += (size_t)n;
    if (partlen_ < sizeof partial_) continue;
    partlen_ = 0;
    EmRequest rq = partial_;
    if (rq.type < RQ_STARTAIO || rq.type > RQ_STOPSIG) {
      tovlog(1, "AsyncRegistrar: Invalid request-type (%d)", rq.type);
      cancel(true);
      return;
    }
    // Let a submitter still holding the lock finish first.
    aioLock();
    aioUnlock();
    try {
      processRequest(rq);
    } catch (...) {
      std::string why = TovException::handler();
      tovlog(1, "AsyncRegistrar: submitted request threw [%s]", why.c_str());
    }
    if (!watched_) return;
  }
}

void AsyncRegistrar::cancel(bool err) {
  if (watched_) evtmgr_->syncstopAIO(&pipefile_, this, true, !err, err);
}

void AsyncRegistrar::aioCancelled(TovFile *, bool hangup, bool err) {
  watched_ = false;
  bool wclosed = !wfdOpen();
  tovlog((err || wclosed) ? 4 : 1, "AsyncRegistrar: Cancelled - hangup=%s, err=%s", hangup ? "Yes" : "No",
         err ? "Yes" : "No");
  {
    FcGuard g(wlock_);
    if (wfd_ >= 0) close(wfd_);
    wfd_ = -1;
  }
  evtmgr_->markDead();
}

void AsyncRegistrar::dispatcherStopped() {
  tovlog(4, "AsyncRegistrar.dispatcherStopped: Enter with unreg_reqs=%d", (int)unreg_.size());
  std::deque<EmRequest> todo;
  aioLock();
  stopped_ = true;
  todo.swap(unreg_);
  aioUnlock();
  for (const EmRequest &rq : todo) {
    try {
      processRequest(rq);
    } catch (...) {
      std::string why = TovException::handler();
      tovlog(1, "AsyncRegistrar: queued request threw [%s]", why.c_str());
    }
  }
}

// ---- the event manager ---------------------------------------------------
class ImplEvtMgrNative {
 public:
  FcThreadId owner = fc_self();
  bool running = false;
  FcLock mutex{"EvtMgrNative"};
  int wakerd = -1;
};

static bool env_yes(const char *name) {
  const char *v = getenv(name);
  return v && !strcasecmp(v, "y");
}

TovEvtMgrNative::TovEvtMgrNative() : pimpl(new ImplEvtMgrNative) {
  try {
    pollfds_.reserve(129);
    iofiles_.resize(128);
#ifdef TOVAFC_MT
    armode_ = true;
#else
    armode_ = false;
#endif
    if (env_yes("TOVA_EM_ARMODE")) armode_ = true;
    throwtasks_ = env_yes("TOVA_EM_THROWTASKS");
    tovlog(4, "EvtMgr.ctor - this=%s, armode=%s, throwtasks=%s", objtag("", this), armode_ ? "Yes" : "No",
           throwtasks_ ? "Yes" : "No");
    const char *prec = getenv("TOVA_EM_TIMERPREC");
    timerprec_ = 1000;
    if (prec && *prec && isdecstr(prec)) {
      long p = strtol(prec, nullptr, 10);
      if (p > 1000 && p < INT_MAX) timerprec_ = (int)p;
    }
    int wp[2];
    if (pipe2(wp, O_CLOEXEC | O_NONBLOCK) != 0) throw TovException(2, "EvtMgr: Failed to create %s pipe", "signal");
    pimpl->wakerd = wp[0];
    sig_wakefd = wp[1];
    pollfd w{};
    w.fd = wp[0];
    w.events = POLLIN;
    pollfds_.push_back(w);
    if (armode_) registrar_ = std::make_unique<AsyncRegistrar>(this);
  } catch (...) {
    if (pimpl->wakerd >= 0) close(pimpl->wakerd);
    if (sig_wakefd >= 0) close(sig_wakefd);
    sig_wakefd = -1;
    pimpl.reset();
    throw;
  }
}

TovEvtMgrNative::~TovEvtMgrNative() {
  tovlog(4, "EvtMgr.dtor - this=%s", objtag("", this));
  registrar_.reset();
  int w = sig_wakefd;
  sig_wakefd = -1;
  if (w >= 0) close(w);
  if (pimpl->wakerd >= 0) close(pimpl->wakerd);
  pimpl.reset();
}

int TovEvtMgrNative::filesWatched() const { return (int)pollfds_.size() - 1; }

// Calls are posted through the request pipe in request mode. The multi-threaded
// library always runs in request mode, so registrations from any thread reach
// the tables only on the dispatcher's thread.
bool TovEvtMgrNative::posting() const { return armode_ && registrar_ != nullptr; }

bool TovEvtMgrNative::runningNow() {
  FcGuard g(pimpl->mutex);
  return pimpl->running;
}

void TovEvtMgrNative::stopDispatcher() {
  tovlog(4, "EvtMgr.stop");
  if (posting()) {
    if (registrar_->submit(RQ_STOPDISP)) return;
    if (runningNow()) return;
  }
  deadflag_ = true;
}

bool TovEvtMgrNative::startAIO(TovFile *file, TovAIO *aio) {
  if (posting()) return registrar_->submit(RQ_STARTAIO, (uintptr_t)file, (uintptr_t)aio);
  return syncstartAIO(file, aio);
}

bool TovEvtMgrNative::stopAIO(TovFile *file, TovAIO *aio) {
  if (posting()) {
    if (registrar_->submit(RQ_STOPAIO, (uintptr_t)file, (uintptr_t)aio)) return false;
    // Refused after the loop has ended: nothing else uses the tables now.
    if (runningNow()) return true;
  }
  syncstopAIO(file, aio, false, false, false);
  return true;
}

bool TovEvtMgrNative::startTimer(TovTimer *timer) {
  if (posting()) return registrar_->submit(RQ_STARTTIMER, (uintptr_t)timer);
  return syncstartTimer(timer);
}

bool TovEvtMgrNative::stopTimer(TovTimer *timer) {
  if (posting()) {
    if (registrar_->submit(RQ_STOPTIMER, (uintptr_t)timer)) return false;
    if (runningNow()) return true;
  }
  syncstopTimer(timer, false);
  return true;
}

void TovEvtMgrNative::startSignal(TovSignalHandler *handler, int sig) {
  TovAssertFull(sig != -1 && handler != nullptr, "Bad startSignal() args");
  if (posting()) {
    TovAssertFull(sig >= 0 && sig < MAX_SIGNALS, "EvtMgr: Signal=%d vs max=%d", sig, MAX_SIGNALS);
    // The disposition is process-wide: take the signal at once, so that one
    // arriving before the request is carried out is kept for the handler.
    set_disposition(sig, tovafc_signal_catcher);
    registrar_->submit(RQ_STARTSIG, (uintptr_t)handler, (uint64_t)(int64_t)sig);
    return;
  }
  sigRequest(true, false, handler, sig, false);
}

bool TovEvtMgrNative::stopSignal(TovSignalHandler *handler, int sig, bool ignore) {
  TovAssertFull(handler != nullptr || sig != -1, "Bad stopSignal() args");
  if (posting()) {
    if (sig >= 0 && sig < MAX_SIGNALS) set_disposition(sig, ignore ? SIG_IGN : SIG_DFL);
    if (registrar_->submit(RQ_STOPSIG, (uintptr_t)handler, (uint64_t)(int64_t)sig, ignore ? 1 : 0))
      return false;
    if (runningNow()) return true;
  }
  sigRequest(false, false, handler, sig, ignore);
  return true;
}

bool TovEvtMgrNative::syncstartAIO(TovFile *file, TovAIO *aio) {
  if (deadflag_) return false;
  int fd = file->fd();
  TovAssertFull(fd >= 0, "EvtMgr: AIO %s on unassigned file %s", aio->aiotag(), file->name());
  if ((size_t)fd >= iofiles_.size()) iofiles_.resize((size_t)fd * 2);
  int slot = aio->isReader() ? 0 : 1;
  iofile_t &io = iofiles_[(size_t)fd];
  if (io.pidx >= 0) {
    bool ok = io.mons[slot] == nullptr && io.file == file;
    if (!ok) {
      TovAIO *mon = io.mons[slot] ? io.mons[slot] : io.mons[1 - slot];
      TovAssertFull(false,
                    "EvtMgr conflict: AIO on fd %s=%d (0x%x) with rank=%d mon=%s (0x%x), iofile fd is %s=%d (0x%x) "
                    "with mon=%s (0x%x), pidx=%d, pollfd=%d",
                    file->name(), fd, (unsigned)(uintptr_t)file, slot, aio->aiotag(), (unsigned)(uintptr_t)aio,
                    io.file ? io.file->name() : "_UNASSIGNED_", io.file ? io.file->fd() : -1,
                    (unsigned)(uintptr_t)io.file, mon ? mon->aiotag() : "<NULL>", (unsigned)(uintptr_t)mon, io.pidx,
                    pollfds_[(size_t)io.pidx].fd);
    }
  } else {
    file->setBlockingMode(false);
    pollfd p{};
    p.fd = fd;
    p.events = 0;
    pollfds_.push_back(p);
    io.pidx = (int)pollfds_.size() - 1;
    io.file = file;
  }
  pollfds_[(size_t)io.pidx].events |= slot == 0 ? (POLLIN | POLLPRI) : POLLOUT;
  io.mons[slot] = aio;
  if (aio == registrar_.get()) registrar_->setWatched(true);
  return true;
}

void TovEvtMgrNative::syncstopAIO(TovFile *file, TovAIO *aio, bool notify, bool hangup, bool err) {
  int fd = file->fd();
  if (fd < 0 || (size_t)fd >= iofiles_.size()) return;
  iofile_t &io = iofiles_[(size_t)fd];
  int slot = aio->isReader() ? 0 : 1;
  if (io.pidx < 0 || io.mons[slot] == nullptr) return;
  TovAssertFull(io.mons[slot] == aio, "EvtMgr: iomon=%s doesn't own fd-%d %s=%d - owner=%s", aio->aiotag(), fd,
                file->name(), fd, io.mons[slot]->aiotag());
  short bits = slot == 0 ? (POLLIN | POLLPRI) : POLLOUT;
  pollfd &p = pollfds_[(size_t)io.pidx];
  p.events &= (short)~bits;
  io.mons[slot] = nullptr;
  if (p.events) {
    p.revents &= (short)~bits;
  } else {
    size_t hole = (size_t)io.pidx;
    size_t last = pollfds_.size() - 1;
    if (hole != last) {
      pollfds_[hole] = pollfds_[last];
      iofiles_[(size_t)pollfds_[hole].fd].pidx = (int)hole;
    }
    pollfds_.pop_back();
    io.pidx = -1;
    io.file = nullptr;
  }
  if (aio == registrar_.get() && !notify) registrar_->setWatched(false);
  if (notify) {
    try {
      aio->aioCancelled(file, hangup, err);
    } catch (...) {
      std::string why = TovException::handler();
      tovlog(1, "EvtMgr: aioCancelled threw [%s]", why.c_str());
    }
  }
}

bool TovEvtMgrNative::syncstartTimer(TovTimer *timer) {
  if (deadflag_) return false;
  timers_.insert(timer);
  tmrq_++;
  return true;
}

void TovEvtMgrNative::syncstopTimer(TovTimer *timer, bool notify) {
  auto range = timers_.equal_range(timer);
  bool found = false;
  for (auto it = range.first; it != range.second; ++it) {
    if (*it == timer) {
      timers_.erase(it);
      found = true;
      break;
    }
  }
  if (!found) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (*it == timer) {
        timers_.erase(it);
        found = true;
        break;
      }
    }
  }
  if (found) tmrq_--;
  if (notify) {
    try {
      timer->timerCancelled();
    } catch (...) {
      std::string why = TovException::handler();
      tovlog(1, "EvtMgr: timerCancelled threw [%s]", why.c_str());
    }
  }
}

static void set_disposition(int sig, void (*fn)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  if (sigaction(sig, &sa, nullptr) != 0) throw TovException(2, "EvtMgr: Failed to set signal=%d handler", sig);
}

TovSignalHandler *TovEvtMgrNative::sigRequest(bool start, bool notify, TovSignalHandler *handler, int sig,
                                              bool ignore) {
  if (sig == -1) {
    if (start) return nullptr;
    std::vector<int> mine;
    for (auto &e : sighandlers_)
      if (e.second == handler) mine.push_back(e.first);
    for (int s : mine) sigRequest(false, false, handler, s, ignore);
    if (notify && handler) {
      try {
        handler->signalStopped(-1);
      } catch (...) {
        std::string why = TovException::handler();
        tovlog(1, "EvtMgr: Handler for Signal=%d threw on %s [%s]", -1, "cancel", why.c_str());
      }
    }
    return handler;
  }
  TovAssertFull(sig >= 0 && sig < MAX_SIGNALS, "EvtMgr: Signal=%d vs max=%d", sig, MAX_SIGNALS);
  TovSignalHandler *prev = nullptr;
  auto it = sighandlers_.find(sig);
  if (it != sighandlers_.end()) prev = it->second;
  if (start) {
    if (!prev) sighandlers_[sig] = handler;
    set_disposition(sig, tovafc_signal_catcher);
    if (sig_pending[sig]) sig_ready = 1;  // arrived before the handler was recorded
  } else {
    if (it != sighandlers_.end()) sighandlers_.erase(it);
    set_disposition(sig, ignore ? SIG_IGN : SIG_DFL);
    sig_pending[sig] = 0;
    if (notify && handler) {
      try {
        handler->signalStopped(sig);
      } catch (...) {
        std::string why = TovException::handler();
        tovlog(1, "EvtMgr: Handler for Signal=%d threw on %s [%s]", sig, "cancel", why.c_str());
      }
    }
  }
  return prev;
}

void TovEvtMgrNative::startDispatcher() {
#ifdef TOVAFC_MT
  {
    FcGuard g(pimpl->mutex);
    TovAssertFull(!pimpl->running, "Dispatcher already running in thread %u", (unsigned)pimpl->owner);
    pimpl->running = true;
  }
#else
  pimpl->running = true;
#endif
  try {
    dispatcher();
  } catch (...) {
    std::string why = TovException::handler();
    tovlog(1, "EvtMgr: Error in dispatcher [%s]", why.c_str());
  }
  dispatcherStopped();
}

void TovEvtMgrNative::drainWaker() {
  char buf[64];
  while (read(pimpl->wakerd, buf, sizeof buf) > 0) {
  }
}

void TovEvtMgrNative::dispatcher() {
  tovlog(4, "EvtMgr.dispatcher - tmrq=%d, pollfds=%d, deadflag=%d", tmrq_, filesWatched(), deadflag_ ? 1 : 0);
  if (armode_ && registrar_ && !registrar_->watched()) syncstartAIO(registrar_->pipefile(), registrar_.get());
  if (deadflag_) return;
  std::vector<std::pair<int, short>> ready;
  std::unordered_set<TovTimer *> fired;
  for (;;) {
    // 1. signals, delivered here rather than in signal context
    if (sig_ready) {
      sig_ready = 0;
      for (int s = 0; s < MAX_SIGNALS; s++) {
        if (!sig_pending[s]) continue;
        auto it = sighandlers_.find(s);
        // Without a handler yet (its registration is still queued) the signal stays pending.
        if (it == sighandlers_.end()) continue;
        sig_pending[s] = 0;
        TovSignalHandler *h = it->second;
        tovlog(4, "EvtMgr: Received signal=%d - delivering to %s", s, h->sigtag());
        try {
          h->signalReceived(s);
        } catch (...) {
          std::string why = TovException::handler();
          tovlog(1, "EvtMgr: Handler for Signal=%d threw on %s [%s]", s, "signal", why.c_str());
        }
      }
    }
    // 2. timers
    int timeout = -1;
    struct timeval now;
    gettimeofday(&now, nullptr);
    fired.clear();
    while (!timers_.empty()) {
      TovTimer *t = *timers_.begin();
      int units = t->compare(now) / timerprec_;
      if (units > 0) {
        timeout = units;
        break;
      }
      // A timer re-armed within this step waits for the next turn.
      if (fired.count(t)) {
        timeout = 0;
        break;
      }
      timers_.erase(timers_.begin());
      tmrq_--;
      fired.insert(t);
      try {
        t->triggerTimer(now);
      } catch (...) {
        if (throwtasks_) throw;
        std::string why = TovException::handler();
        tovlog(1, "EvtMgr: Timer threw [%s]", why.c_str());
      }
    }
    // 3.
    if (deadflag_) return;
    // 4.
    bool watchSignals = !sighandlers_.empty();
    if (filesWatched() == 0 && timeout == -1 && !watchSignals) {
      tovlog(4, "EvtMgr has run out of events - aborting");
      return;
    }
    // 5.
    if (sig_ready) continue;
    // 6.
    pollfd *base = watchSignals ? pollfds_.data() : pollfds_.data() + 1;
    nfds_t count = (nfds_t)(watchSignals ? pollfds_.size() : pollfds_.size() - 1);
    errno = 0;
    int n = poll(base, count, timeout);
    if (n < 0) {
      if (errno == EINTR) {
        errno = 0;
        continue;
      }
      throw TovException(2, "poll() on %d files failed", (int)count);
    }
    // 7. take a snapshot: direct registrations from callbacks may reshuffle the array
    ready.clear();
    for (size_t i = 0; i < count && (int)ready.size() < n; i++) {
      if (base[i].revents) ready.emplace_back(base[i].fd, base[i].revents);
    }
    for (auto &r : ready) {
      if (r.first == pimpl->wakerd) {
        drainWaker();
        continue;
      }
      curaio_ = nullptr;
      try {
        handleIO(r.first, r.second);
      } catch (...) {
        if (throwtasks_ || !curaio_) throw;
        std::string why = TovException::handler();
        tovlog(1, "EvtMgr: IO task threw [%s]", why.c_str());
        // The descriptor belongs to its TovFile, which closes it; only the watch goes.
        iofile_t &io = iofiles_[(size_t)r.first];
        if (io.file) syncstopAIO(io.file, curaio_, false, false, false);
      }
      curaio_ = nullptr;
      if (deadflag_) return;
    }
    // 8.
    if (deadflag_) return;
  }
}

void TovEvtMgrNative::handleIO(int fd, short revents) {
  // Callbacks may register directly and grow the table: index afresh each time.
  auto io = [this, fd]() -> iofile_t * {
    if (fd < 0 || (size_t)fd >= iofiles_.size() || iofiles_[(size_t)fd].pidx < 0) return nullptr;
    return &iofiles_[(size_t)fd];
  };
  if (!io()) return;  // unwatched by an earlier callback of this turn
  if ((revents & POLLOUT) && io()->mons[1]) {
    curaio_ = io()->mons[1];
    curaio_->aioReady(io()->file);
  }
  if (revents & (POLLIN | POLLPRI)) {
    if (io() && io()->mons[0]) {
      curaio_ = io()->mons[0];
      curaio_->aioReady(io()->file);
    }
    return;
  }
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
    bool err = (revents & (POLLERR | POLLNVAL)) != 0;
    if (io() && io()->mons[0]) {
      curaio_ = io()->mons[0];
      syncstopAIO(io()->file, curaio_, true, true, err);
    }
    if (io() && io()->mons[1]) {
      curaio_ = io()->mons[1];
      syncstopAIO(io()->file, curaio_, true, true, err);
    }
  }
}

void TovEvtMgrNative::dispatcherStopped() {
  tovlog(4,
         "EvtMgr.dispatcherStopped: Enter with with dead=%s - tmrq=%d, pollfds=%d (cap=%d), iofiles=%d (cap=%d)",
         deadflag_ ? "Yes" : "No", tmrq_, filesWatched(), (int)pollfds_.capacity(), (int)iofiles_.size(),
         (int)iofiles_.capacity());
  {
    FcGuard g(pimpl->mutex);
    pimpl->running = false;
  }
  if (armode_ && registrar_) {
    registrar_->cancel(true);
    registrar_->dispatcherStopped();
  }
  tovlog(4, "EvtMgr: After dispatcher shutdown, tmrq=%d, pollfds=%d", tmrq_, filesWatched());
  struct timeval now;
  gettimeofday(&now, nullptr);
  for (TovTimer *t : timers_) {
    tovlog(4, "- EvtMgr: timer=%s remains - %d millisecs%s", t->tmrtag(), t->compare(now) / 1000,
           t->state() == TovTimer::ACTIVE ? "" : " (inactive)");
  }
  for (size_t i = 1; i < pollfds_.size(); i++) {
    const iofile_t &io = iofiles_[(size_t)pollfds_[i].fd];
    if (io.mons[0])
      tovlog(4, "- EvtMgr: Receiver=%s remains - fd %d=%s", io.mons[0]->aiotag(), pollfds_[i].fd, io.file->name());
    if (io.mons[1])
      tovlog(4, "- EvtMgr: Writer=%s remains - fd %d=%s", io.mons[1]->aiotag(), pollfds_[i].fd, io.file->name());
  }
  if (!sighandlers_.empty()) {
    std::string list;
    for (auto &e : sighandlers_) {
      if (!list.empty()) list += ", ";
      list += std::to_string(e.first);
    }
    tovlog(4, "EvtMgr: %d Signal Handlers - %s", (int)sighandlers_.size(), list.c_str());
  }
}

}  // namespace tovafc
