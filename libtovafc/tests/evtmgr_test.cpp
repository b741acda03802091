#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "async_rcvr.h"
#include "evtmgr.h"
#include "evtmgr_native.h"
#include "exception.h"
#include "file.h"
#include "testutil.h"
#include "timer.h"

using namespace tovafc;

namespace {
class EvtMgrTest : public fctest::FreshEvtMgr {};

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Pipe() {
    if (w >= 0) close(w);
  }
  void closeWrite() {
    close(w);
    w = -1;
  }
};

// Reads what arrives; stops itself at end of input.
struct LineReceiver : TovAsyncReceiver {
  std::string got;
  int stopped = 0;
  bool hangup = false, err = false;
  bool stopLoopAtEnd = true;
  LineReceiver() : TovAsyncReceiver("lines") {}
  void aioReady(TovFile *f) override {
    char buf[256];
    ssize_t n = read(f->fd(), buf, sizeof buf);
    if (n > 0) {
      got.append(buf, (size_t)n);
      return;
    }
    if (aioStop(f)) {
      stopped++;
      if (stopLoopAtEnd) TovEvtMgr::instance()->stopDispatcher();
    }
  }
  void aioStopped(TovFile *, bool h, bool e) override {
    stopped++;
    hangup = h;
    err = e;
    if (stopLoopAtEnd) TovEvtMgr::instance()->stopDispatcher();
  }
};

struct Stopper : TovTimer {
  Stopper() : TovTimer("stopper") {}
  void timerExpired() override { TovEvtMgr::instance()->stopDispatcher(); }
  void timerStopped() override {}
};
}  // namespace

TEST_F(EvtMgrTest, InstanceFlags) {
  EXPECT_EQ(nullptr, TovEvtMgr::instance(TovEvtMgr::NOCREATE));
  EXPECT_EQ(nullptr, TovEvtMgr::instance(TovEvtMgr::NOCREATE));
  try {
    TovEvtMgr::instance(TovEvtMgr::MUSTEXIST);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(6, e.err());
    EXPECT_STREQ("EvtMgr.instance: doesn't exist", e.what());
  }
  TovEvtMgr *em = TovEvtMgr::instance(0);
  ASSERT_NE(nullptr, em);
  EXPECT_EQ(em, TovEvtMgr::instance(TovEvtMgr::MUSTEXIST));
  EXPECT_EQ(nullptr, TovEvtMgr::instance(TovEvtMgr::RETURNNONE));
  try {
    TovEvtMgr::instance(TovEvtMgr::MUSTNOTEXIST);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_STREQ("EvtMgr.instance: already exists", e.what());
  }
  try {
    TovEvtMgrNative second;
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(6, e.err());
    EXPECT_STREQ("Duplicate EvtMgr", e.what());
  }
  EXPECT_EQ(em, TovEvtMgr::instance(TovEvtMgr::NOCREATE));
}

TEST_F(EvtMgrTest, EnvironmentSettings) {
  setenv("TOVA_EM_TIMERPREC", "500", 1);
  setenv("TOVA_EM_THROWTASKS", "Y", 1);
  auto *em = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance());
  ASSERT_NE(nullptr, em);
  EXPECT_EQ(1000, em->timerprec());
  EXPECT_TRUE(em->throwtasks());
#ifdef TOVAFC_MT
  EXPECT_TRUE(em->armode());
#else
  EXPECT_FALSE(em->armode());
#endif
  TovEvtMgr::destroy();
  setenv("TOVA_EM_TIMERPREC", "2500", 1);
  setenv("TOVA_EM_ARMODE", "y", 1);
  em = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance());
  EXPECT_EQ(2500, em->timerprec());
  EXPECT_TRUE(em->armode());
}

#ifndef TOVAFC_MT
TEST_F(EvtMgrTest, NothingToWatchReturnsAtOnce) {
  TovEvtMgr::instance()->startDispatcher();
  auto *em = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance());
  EXPECT_FALSE(em->dead());
}
#endif

TEST_F(EvtMgrTest, StopBeforeStartEndsFirstTurn) {
  setenv("TOVA_EM_ARMODE", "y", 1);
  TovEvtMgr *em = TovEvtMgr::instance();
  em->stopDispatcher();
  em->startDispatcher();  // would wait for ever on the request pipe otherwise
  EXPECT_TRUE(dynamic_cast<TovEvtMgrNative *>(em)->dead());
  // A dead event manager refuses new registrations.
  Stopper t;
  EXPECT_FALSE(em->startTimer(&t));
}

TEST_F(EvtMgrTest, ReceiverSeesDataThenEndOfInput) {
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    Pipe p;
    TovFile f(p.r, "pipe-r");
    LineReceiver rcv;
    rcv.aioStart(&f);
    ASSERT_EQ(3, write(p.w, "abc", 3));
    p.closeWrite();  // POLLIN and POLLHUP together: still read through aioReady
    TovEvtMgr::instance()->startDispatcher();
    EXPECT_EQ("abc", rcv.got) << armode;
    EXPECT_EQ(1, rcv.stopped) << armode;
    EXPECT_EQ(0, rcv.aioFiles());
    EXPECT_FALSE(f.blockingMode());  // watched descriptors are made non-blocking
  }
}

TEST_F(EvtMgrTest, ReaderAndWriterShareOneDescriptor) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  TovFile a(sv[0], "a"), b(sv[1], "b");
  struct W : TovAIO {
    int ready = 0;
    W() : TovAIO(false, "w") {}
    void aioReady(TovFile *f) override {
      if (++ready == 1) {
        ASSERT_EQ(2, write(f->fd(), "hi", 2));
        TovEvtMgr::instance()->stopAIO(f, this);
      }
    }
    void aioCancelled(TovFile *, bool, bool) override {}
  } w;
  struct R : TovAIO {
    std::string got;
    R() : TovAIO(true, "r") {}
    void aioReady(TovFile *f) override {
      char buf[16];
      ssize_t n = read(f->fd(), buf, sizeof buf);
      if (n > 0) got.append(buf, (size_t)n);
      TovEvtMgr::instance()->stopAIO(f, this);
      TovEvtMgr::instance()->stopDispatcher();
    }
    void aioCancelled(TovFile *, bool, bool) override {}
  } r2;
  TovEvtMgr *em = TovEvtMgr::instance();
  // writer and reader on b share one pollfd; the reader on b sees what a echoes
  ASSERT_TRUE(em->startAIO(&b, &w));
  struct Echo : TovAIO {
    Echo() : TovAIO(true, "echo") {}
    void aioReady(TovFile *f) override {
      char buf[16];
      ssize_t n = read(f->fd(), buf, sizeof buf);
      if (n > 0) {
        ASSERT_EQ(n, write(f->fd(), buf, (size_t)n));
      }
      TovEvtMgr::instance()->stopAIO(f, this);
    }
    void aioCancelled(TovFile *, bool, bool) override {}
  } echo;
  ASSERT_TRUE(em->startAIO(&a, &echo));
  ASSERT_TRUE(em->startAIO(&b, &r2));
  em->startDispatcher();
  EXPECT_GE(w.ready, 1);
  EXPECT_EQ("hi", r2.got);
}

TEST_F(EvtMgrTest, SecondReaderOnDescriptorIsAConflict) {
  Pipe p;
  TovFile f(p.r, "conflicted");
  struct R : TovAIO {
    R(const char *n) : TovAIO(true, n) {}
    void aioReady(TovFile *) override {}
    void aioCancelled(TovFile *, bool, bool) override {}
  } one("one"), two("two");
  auto *em = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance());
  ASSERT_TRUE(em->syncstartAIO(&f, &one));
  try {
    em->syncstartAIO(&f, &two);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_EQ(0, strncmp(e.what(), "EvtMgr conflict: AIO on fd conflicted=", 38)) << e.what();
  }
  em->syncstopAIO(&f, &one, false, false, false);
  EXPECT_EQ(0, em->filesWatched());
}

TEST_F(EvtMgrTest, SignalDeliveredAsCallbackOnDispatcherThread) {
  struct H : TovSignalHandler {
    int got = -1;
    pthread_t thread{};
    int stopped = 0;
    void signalReceived(int sig) override {
      got = sig;
      thread = pthread_self();
      TovEvtMgr::instance()->stopSignal(this, SIGUSR1);
      TovEvtMgr::instance()->stopDispatcher();
    }
    void signalStopped(int) override { stopped++; }
    const char *sigtag() const override { return "test-handler"; }
  } h;
  TovEvtMgr *em = TovEvtMgr::instance();
  em->startSignal(&h, SIGUSR1);
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    usleep(150000);
    kill(parent, SIGUSR1);
    _exit(0);
  }
  em->startDispatcher();
  int st;
  waitpid(child, &st, 0);
  EXPECT_EQ(SIGUSR1, h.got);
  EXPECT_TRUE(pthread_equal(h.thread, pthread_self()));
  signal(SIGUSR1, SIG_DFL);
}

TEST_F(EvtMgrTest, StopSignalArgumentsChecked) {
  TovEvtMgr *em = TovEvtMgr::instance();
  try {
    em->stopSignal(nullptr, -1);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_STREQ("Bad stopSignal() args", e.what());
  }
  try {
    em->startSignal(nullptr, SIGUSR2);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_STREQ("Bad startSignal() args", e.what());
  }
}

TEST_F(EvtMgrTest, ThrowingIoTaskIsLoggedAndUnwatched) {
  auto r = fctest::inChild([] {
    Pipe p;
    TovFile f(p.r, "thrower");
    struct T : TovAIO {
      int calls = 0;
      T() : TovAIO(true, "bad-reader") {}
      void aioReady(TovFile *) override {
        calls++;
        throw TovException(4, "reader broke");
      }
      void aioCancelled(TovFile *, bool, bool) override {}
    } t;
    Stopper s;
    TovEvtMgr *em = TovEvtMgr::instance();
    em->startAIO(&f, &t);
    s.startTimer(0, 200000);
    if (write(p.w, "x", 1) != 1) return 9;
    em->startDispatcher();
    return t.calls;
  });
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("EvtMgr: IO task threw [TovException: Error=4 (errno="))
      << r.err;
}

TEST_F(EvtMgrTest, ThrowTasksEndsTheLoop) {
  auto r = fctest::inChild([] {
    setenv("TOVA_EM_THROWTASKS", "y", 1);
    struct T : TovTimer {
      void timerExpired() override { throw TovException(4, "timer broke"); }
      void timerStopped() override {}
    } t;
    Stopper later;
    t.startTimer(0, 0);
    later.startTimer(5, 0);
    TovEvtMgr::instance()->startDispatcher();
    later.stopTimer();
    return 3;
  });
  EXPECT_EQ(3, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("EvtMgr: Error in dispatcher [TovException: Error=4 (errno="))
      << r.err;
}

TEST_F(EvtMgrTest, SignalBeforeQueuedRegistrationIsKept) {
  setenv("TOVA_EM_ARMODE", "y", 1);
  struct H : TovSignalHandler {
    int got = 0;
    void signalReceived(int sig) override {
      got = sig;
      TovEvtMgr::instance()->stopDispatcher();
    }
    void signalStopped(int) override {}
    const char *sigtag() const override { return "early"; }
  } h;
  TovEvtMgr *em = TovEvtMgr::instance();
  em->startSignal(&h, SIGUSR1);  // queued until the dispatcher runs
  raise(SIGUSR1);                // would end the process with the default disposition
  em->startDispatcher();
  EXPECT_EQ(SIGUSR1, h.got);
  em->stopSignal(&h, SIGUSR1);
  signal(SIGUSR1, SIG_DFL);
}
