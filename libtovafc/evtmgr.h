// The event manager: one per process, watches descriptors, runs timers and
// turns signals into callbacks on the dispatcher's thread.
#ifndef TOVAFC_EVTMGR_H
#define TOVAFC_EVTMGR_H

#include <memory>
#include <string>

namespace tovafc {

class TovFile;
class TovTimer;
#ifdef TOVAFC_MT
class TovMutex;
#endif

class TovSignalHandler {
 public:
  virtual ~TovSignalHandler() = default;
  virtual void signalReceived(int sig) = 0;
  // The handler was unregistered; -1 means all its signals.
  virtual void signalStopped(int sig) = 0;
  virtual const char *sigtag() const = 0;
};

// Base of every descriptor client.
class TovAIO {
 public:
  TovAIO(bool isReader, const char *name);
  TovAIO(const TovAIO &other);
  TovAIO &operator=(const TovAIO &other);
  virtual ~TovAIO();
  virtual void aioReady(TovFile *file) = 0;
  virtual void aioCancelled(TovFile *file, bool hangup, bool err) = 0;

  bool isReader() const { return isReader_; }
  const char *aiotag() const { return tag_.c_str(); }
  // The client's lock (no effect in the single-threaded library).
  void aioLock() const;
  void aioUnlock() const;

 private:
#ifdef TOVAFC_MT
  std::unique_ptr<TovMutex> mutex_;
#endif
  bool isReader_;
  std::string tag_;
};

class TovEvtMgr {
 public:
  // instance() flags
  static constexpr int NOCREATE = 1, MUSTNOTEXIST = 2, RETURNNONE = 4, MUSTEXIST = 8;

  virtual void startDispatcher() = 0;
  virtual void stopDispatcher() = 0;
  virtual bool startAIO(TovFile *file, TovAIO *aio) = 0;
  virtual bool stopAIO(TovFile *file, TovAIO *aio) = 0;
  virtual bool startTimer(TovTimer *timer) = 0;
  virtual bool stopTimer(TovTimer *timer) = 0;
  virtual void startSignal(TovSignalHandler *handler, int sig) = 0;
  virtual bool stopSignal(TovSignalHandler *handler, int sig, bool ignore = false) = 0;
  virtual ~TovEvtMgr();

  static TovEvtMgr *instance(int flags = 0);
  static void destroy();

 protected:
  TovEvtMgr();

 private:
  static TovEvtMgr *singleton;
};

}  // namespace tovafc

#endif
