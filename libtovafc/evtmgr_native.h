// The poll()-based event manager.
#ifndef TOVAFC_EVTMGR_NATIVE_H
#define TOVAFC_EVTMGR_NATIVE_H

#include <poll.h>

#include <atomic>

#include <map>
#include <set>
#include <vector>
#include <memory>

#include "evtmgr.h"
#include "timer.h"
#include "utils.h"

namespace tovafc {

class AsyncRegistrar;
class ImplEvtMgrNative;

class TovEvtMgrNative : public TovEvtMgr {
 public:
  TovEvtMgrNative();
  ~TovEvtMgrNative() override;

  void startDispatcher() override;
  void stopDispatcher() override;
  bool startAIO(TovFile *file, TovAIO *aio) override;
  bool stopAIO(TovFile *file, TovAIO *aio) override;
  bool startTimer(TovTimer *timer) override;
  bool stopTimer(TovTimer *timer) override;
  void startSignal(TovSignalHandler *handler, int sig) override;
  bool stopSignal(TovSignalHandler *handler, int sig, bool ignore = false) override;

  // Carried out on the dispatcher's side.
  bool syncstartAIO(TovFile *file, TovAIO *aio);
  void syncstopAIO(TovFile *file, TovAIO *aio, bool notify, bool hangup, bool err);
  bool syncstartTimer(TovTimer *timer);
  void syncstopTimer(TovTimer *timer, bool notify);
  TovSignalHandler *sigRequest(bool start, bool notify, TovSignalHandler *handler, int sig, bool ignore);
  void markDead() { deadflag_ = true; }

  bool armode() const { return armode_; }
  bool throwtasks() const { return throwtasks_; }
  int timerprec() const { return timerprec_; }
  bool dead() const { return deadflag_; }
  int timersQueued() const { return tmrq_; }
  int filesWatched() const;

 private:
  struct iofile_t {
    TovAIO *mons[2] = {nullptr, nullptr};
    TovFile *file = nullptr;
    int pidx = -1;
  };

  bool posting() const;
  bool runningNow();
  void dispatcher();
  void dispatcherStopped();
  void handleIO(int fd, short revents);
  void drainWaker();

  // pollfds[0] is the signal waker; it is polled only while signal handlers exist.
  std::vector<pollfd> pollfds_;
  std::vector<iofile_t> iofiles_;
  std::multiset<TovTimer *, TovPtrLess<TovTimer>> timers_;
  int tmrq_ = 0;
  std::map<int, TovSignalHandler *> sighandlers_;
  std::atomic<bool> deadflag_{false};
  TovAIO *curaio_ = nullptr;
  bool throwtasks_ = false;
  int timerprec_ = 1000;
  std::unique_ptr<AsyncRegistrar> registrar_;
  bool armode_ = false;
  std::unique_ptr<ImplEvtMgrNative> pimpl;
  friend class AsyncRegistrar;
};

}  // namespace tovafc

#endif
