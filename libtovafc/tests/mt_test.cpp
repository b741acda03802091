// Multi-threaded library only: mutexes, and registrations made from several
// threads while the dispatcher runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "async_rdr.h"
#include "evtmgr.h"
#include "exception.h"
#include "file.h"
#include "mutex.h"
#include "timer.h"

using namespace tovafc;

TEST(TovMutexTest, DepthTrylockAndUnlockAll) {
  TovMutex m("depth", true);
  EXPECT_EQ(1, m.lock());
  EXPECT_EQ(2, m.lock());
  EXPECT_EQ(3, m.trylock());
  int other = 0;
  std::thread([&] { other = m.trylock(); }).join();
  EXPECT_EQ(-1, other);  // busy: no waiting
  EXPECT_EQ(3, m.unlockAll());
  EXPECT_EQ(0, m.count());
  std::thread([&] {
    other = m.trylock();
    if (other > 0) m.unlock();
  }).join();
  EXPECT_EQ(1, other);
}

TEST(TovMutexTest, NonRecursiveRefusesUnlockAll) {
  TovMutex m("plain", false);
  EXPECT_EQ(1, m.lock());
  try {
    m.unlockAll();
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("mutex.unlockAll: plain is non-recursive", e.what());
  }
  EXPECT_EQ(0, m.unlock());
}

TEST(TovMutexTest, GuardReleasesOnException) {
  TovMutex m("guarded", true);
  try {
    m.lock();
    m.lock();
    TovMutexGuard g(&m, true);
    throw TovException(1, "leave");
  } catch (const TovException &) {
  }
  EXPECT_EQ(0, m.count());
  int other = 0;
  std::thread([&] {
    other = m.trylock();
    if (other > 0) m.unlock();
  }).join();
  EXPECT_EQ(1, other);
}

namespace {
class MtTest : public ::testing::Test {
 protected:
  void SetUp() override { TovEvtMgr::destroy(); }
  void TearDown() override { TovEvtMgr::destroy(); }
};

std::atomic<int> fired{0}, stoppedCount{0};

struct CountTimer : TovTimer {
  CountTimer() : TovTimer("count") {}
  void timerExpired() override { fired++; }
  void timerStopped() override { stoppedCount++; }
};

struct PipeReader : TovAsyncReader {
  std::atomic<int> blocks{0}, ended{0};
  PipeReader() : TovAsyncReader("pipes") {}
  void aioReceived(TovFile *, int n, char *buf) override {
    if (n == 4 && memcmp(buf, "ping", 4) == 0) blocks++;
  }
  void aioReadable(TovFile *) override {}
  void aioStopped(TovFile *, bool hangup, bool) override {
    if (hangup) ended++;
  }
};
}  // namespace

TEST_F(MtTest, RegistrationsAndTimersFromSeveralThreads) {
  fired = 0;
  stoppedCount = 0;
  constexpr int THREADS = 4, PER = 25;
  std::vector<std::unique_ptr<CountTimer>> timers;
  std::vector<std::unique_ptr<CountTimer>> cancelled;
  for (int i = 0; i < THREADS * PER; i++) {
    timers.push_back(std::make_unique<CountTimer>());
    cancelled.push_back(std::make_unique<CountTimer>());
  }
  PipeReader reader;
  std::vector<std::unique_ptr<TovFile>> files(THREADS);
  std::vector<char[4]> bufs(THREADS);
  int wfds[THREADS];
  TovEvtMgr *em = TovEvtMgr::instance();

  std::vector<std::thread> workers;
  for (int t = 0; t < THREADS; t++) {
    workers.emplace_back([&, t] {
      int fds[2];
      ASSERT_EQ(0, pipe(fds));
      wfds[t] = fds[1];
      files[t] = std::make_unique<TovFile>(fds[0], "mt-pipe");
      reader.aioRequest(files[t].get(), 4, bufs[t]);
      for (int i = 0; i < PER; i++) {
        timers[(size_t)(t * PER + i)]->startTimer(0, (i % 5) * 2000);
        cancelled[(size_t)(t * PER + i)]->startTimer(30, 0);
        EXPECT_FALSE(cancelled[(size_t)(t * PER + i)]->stopTimer());  // posted: timerStopped follows
      }
      for (int i = 0; i < 3; i++) {
        ASSERT_EQ(4, write(fds[1], "ping", 4));
        usleep(2000);
      }
      close(fds[1]);
    });
  }
  std::thread stopper([&] {
    for (int i = 0; i < 1000; i++) {
      if (fired == THREADS * PER && stoppedCount == THREADS * PER && reader.ended == THREADS) break;
      usleep(10000);
    }
    em->stopDispatcher();
  });
  em->startDispatcher();
  for (auto &w : workers) w.join();
  stopper.join();
  EXPECT_EQ(THREADS * PER, fired.load());
  EXPECT_EQ(THREADS * PER, stoppedCount.load());
  EXPECT_EQ(THREADS * 3, reader.blocks.load());
  EXPECT_EQ(THREADS, reader.ended.load());
  EXPECT_EQ(0, reader.aioFiles());
  for (auto &t : timers) EXPECT_EQ(TovTimer::IDLE, t->state());
  for (auto &t : cancelled) EXPECT_EQ(TovTimer::IDLE, t->state());
}

TEST_F(MtTest, SecondDispatcherIsRefused) {
  TovEvtMgr *em = TovEvtMgr::instance();
  std::atomic<bool> refused{false};
  struct Probe : TovTimer {
    std::atomic<bool> *refused;
    explicit Probe(std::atomic<bool> *r) : TovTimer("probe"), refused(r) {}
    void timerExpired() override {
      std::thread([this] {
        try {
          TovEvtMgr::instance()->startDispatcher();
        } catch (const TovException &e) {
          *refused = e.err() == 3 && strncmp(e.what(), "Dispatcher already running in thread ", 37) == 0;
        }
      }).join();
      TovEvtMgr::instance()->stopDispatcher();
    }
    void timerStopped() override {}
  } probe(&refused);
  probe.startTimer(0, 0);
  em->startDispatcher();
  EXPECT_TRUE(refused);
}

TEST_F(MtTest, StopFromAnotherThreadWakesThePoll) {
  TovEvtMgr *em = TovEvtMgr::instance();
  std::atomic<long long> stopped_at{0};
  std::thread t([em, &stopped_at] {
    usleep(50000);
    stopped_at = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now().time_since_epoch()).count();
    em->stopDispatcher();
  });
  em->startDispatcher();  // only the request pipe is watched: nothing else can wake it
  long long returned_at = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch()).count();
  t.join();
  // It returned because of the other thread's request, and soon after it
  // rather than at some later time-out.
  ASSERT_NE(stopped_at.load(), 0);
  EXPECT_GE(returned_at, stopped_at.load());
  EXPECT_LT(returned_at - stopped_at.load(), 2000000);
}
