#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "evtmgr.h"
#include "evtmgr_native.h"
#include "exception.h"
#include "testutil.h"
#include "timer.h"

using namespace tovafc;

namespace {
class TimerTest : public fctest::FreshEvtMgr {};

long long nowUs() {
  timeval t;
  gettimeofday(&t, nullptr);
  return (long long)t.tv_sec * 1000000 + t.tv_usec;
}

std::vector<std::string> order;

// Carry out whatever was posted to the event manager, then end.
void runPosted() {
  TovEvtMgr::instance()->stopDispatcher();
  TovEvtMgr::instance()->startDispatcher();
}

struct Named : TovTimer {
  long long firedAt = 0;
  int fired = 0, stopped = 0;
  bool stopLoop = false;
  explicit Named(const char *n, bool stop = false) : TovTimer(n), stopLoop(stop) {}
  void timerExpired() override {
    fired++;
    firedAt = nowUs();
    order.push_back(tmrtag());
    if (stopLoop) TovEvtMgr::instance()->stopDispatcher();
  }
  void timerStopped() override { stopped++; }
};
}  // namespace

TEST_F(TimerTest, FireInExpiryOrderAndEqualExpiriesInStartOrder) {
  order.clear();
  Named late("late", true), early("early"), mid("mid"), twinA("twinA"), twinB("twinB");
  timeval now;
  gettimeofday(&now, nullptr);
  late.startTimer(0, 60000);
  early.startTimer(0, 10000);
  mid.startTimer(0, 30000);
  twinB.startTimerAbs((int)now.tv_sec, (int)now.tv_usec + 40000);
  twinA.startTimerAbs((int)now.tv_sec, (int)now.tv_usec + 40000);
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_EQ((std::vector<std::string>{"early", "mid", "twinB", "twinA", "late"}), order);
}

TEST_F(TimerTest, FarAheadTimerWaitsItsTurn) {
  order.clear();
  Named far("far"), near("near", true);
  far.startTimer(3000, 0);  // beyond the 32-bit microsecond range
  near.startTimer(0, 10000);
  EXPECT_LT(near.compare(far), 0);
  EXPECT_EQ(2147483647, far.compare(near));
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_EQ((std::vector<std::string>{"near"}), order);
  EXPECT_EQ(TovTimer::ACTIVE, far.state());
  far.stopTimer();
  runPosted();
  EXPECT_EQ(TovTimer::IDLE, far.state());
}

TEST_F(TimerTest, ZeroTimerFiresOnFirstTurn) {
  order.clear();
  Named z("zero", true);
  long long t0 = nowUs();
  z.startTimer(0, 0);
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_EQ(1, z.fired);
  EXPECT_LT(z.firedAt - t0, 500000);
}

TEST_F(TimerTest, FiresNoEarlierThanPrecisionAllows) {
  Named t("t", true);
  long long t0 = nowUs();
  t.startTimer(0, 30000);
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_GE(t.firedAt - t0, 29000);
}

TEST_F(TimerTest, CoarsePrecisionFiresEarly) {
  setenv("TOVA_EM_TIMERPREC", "2000000", 1);  // 2 s
  Named t("t", true);
  TovEvtMgr::instance();
  long long t0 = nowUs();
  t.startTimer(1, 500000);  // less than one precision unit away: fires on the first turn
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_LT(t.firedAt - t0, 1000000);
}

TEST_F(TimerTest, PeriodicTimerRepeatsAndStopsFromItsCallback) {
  struct P : TovTimer {
    int fired = 0, stopped = 0;
    bool stopResult = true;
    P() : TovTimer("periodic") {}
    void timerExpired() override {
      if (++fired == 3) {
        stopResult = stopTimer();
        if (stopResult) TovEvtMgr::instance()->stopDispatcher();
      }
    }
    void timerStopped() override {
      stopped++;
      TovEvtMgr::instance()->stopDispatcher();
    }
  };
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    P p;
    p.startTimer(0, 5000, 0, 5000);
    TovEvtMgr::instance()->startDispatcher();
    EXPECT_EQ(3, p.fired);
    bool posted = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance())->armode();
    // A posted stop returns false and completes with timerStopped().
    EXPECT_EQ(!posted, p.stopResult) << armode;
    EXPECT_EQ(posted ? 1 : 0, p.stopped) << armode;
    EXPECT_EQ(TovTimer::IDLE, p.state());
  }
}

TEST_F(TimerTest, RestartWhileStoppingSkipsTimerStopped) {
  setenv("TOVA_EM_ARMODE", "y", 1);
  struct R : TovTimer {
    int fired = 0, stopped = 0;
    R() : TovTimer("restart") {}
    void timerExpired() override {
      if (++fired == 1) {
        EXPECT_FALSE(stopTimer());
        EXPECT_EQ(STOPPING, state());
        startTimer(0, 1000);
        EXPECT_EQ(RESTART, state());
      } else {
        TovEvtMgr::instance()->stopDispatcher();
      }
    }
    void timerStopped() override { stopped++; }
  } r;
  r.startTimer(0, 1000, 0, 1000);
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_EQ(2, r.fired);
  EXPECT_EQ(0, r.stopped);
}

TEST_F(TimerTest, ExpiryQueriesAndStates) {
  Named t("q");
  timeval out;
  EXPECT_FALSE(t.getExpiryAbs(out));
  EXPECT_EQ(TovTimer::IDLE, t.state());
  t.startTimerAbs(2000000000, 250000);
  EXPECT_EQ(TovTimer::ACTIVE, t.state());
  ASSERT_TRUE(t.getExpiryAbs(out));
  EXPECT_EQ(2000000000, out.tv_sec);
  EXPECT_EQ(250000, out.tv_usec);
  timeval ref{1999999998, 750000}, rem;
  ASSERT_TRUE(t.getExpiry(rem, &ref));
  EXPECT_EQ(1, rem.tv_sec);
  EXPECT_EQ(500000, rem.tv_usec);
  timeval after{2000000001, 0};
  ASSERT_TRUE(t.getExpiry(rem, &after));
  EXPECT_EQ(0, rem.tv_sec);
  EXPECT_EQ(-750000, rem.tv_usec);
  EXPECT_EQ(-500000, t.compare(timeval{2000000000, 750000}));
  bool idle = t.stopTimer();
  bool posted = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance())->armode();
  EXPECT_EQ(!posted, idle);
  runPosted();
  EXPECT_EQ(posted ? 1 : 0, t.stopped);
  EXPECT_EQ(TovTimer::IDLE, t.state());
}

TEST_F(TimerTest, CopyTakesTagAndSchedule) {
  Named orig("poll");
  Named copyIdle(orig);
  EXPECT_STREQ("poll-copy", copyIdle.tmrtag());
  EXPECT_EQ(TovTimer::IDLE, copyIdle.state());
  struct Copyable : TovTimer {
    Copyable(const char *n) : TovTimer(n) {}
    void timerExpired() override {}
    void timerStopped() override {}
  } a("a"), b("b");
  a.startTimerAbs(2000000000, 5);
  b = a;
  EXPECT_STREQ("b", b.tmrtag());
  timeval out;
  ASSERT_TRUE(b.getExpiryAbs(out));
  EXPECT_EQ(2000000000, out.tv_sec);
  EXPECT_EQ(0, a.compare(b));
  a.stopTimer();
  b.stopTimer();
  runPosted();
  EXPECT_EQ(TovTimer::IDLE, a.state());
  EXPECT_EQ(TovTimer::IDLE, b.state());
}

TEST_F(TimerTest, DestroyingActiveTimerAbortsTheProgram) {
  auto r = fctest::inChild([] {
    setenv("TOVA_EM_ARMODE", "y", 1);
    Named *t = new Named("doomed");
    t->startTimer(10, 0);
    delete t;  // the stop is posted: not idle at once
    return 0;
  });
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("TovTimer destroyed while active - ABORT APP !")) << r.err;
}
