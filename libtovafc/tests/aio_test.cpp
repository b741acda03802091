#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "async_rdr.h"
#include "asyncw.h"
#include "evtmgr.h"
#include "evtmgr_native.h"
#include "exception.h"
#include "file.h"
#include "stdiobuf.h"
#include "testutil.h"

using namespace tovafc;

namespace {
class AioTest : public fctest::FreshEvtMgr {
 protected:
  void SetUp() override {
    FreshEvtMgr::SetUp();
    signal(SIGPIPE, SIG_IGN);
  }
};

long long msNow() {
  timeval t;
  gettimeofday(&t, nullptr);
  return (long long)t.tv_sec * 1000 + t.tv_usec / 1000;
}

// Writes `chunks` pieces of `piece` bytes to fd, one every `gap_ms`, in a child.
pid_t slowWriter(int fd, int chunks, int piece, int gap_ms) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string data((size_t)piece, 'z');
    for (int i = 0; i < chunks; i++) {
      usleep((useconds_t)gap_ms * 1000);
      if (write(fd, data.data(), data.size()) < 0) _exit(1);
    }
    _exit(0);
  }
  return pid;
}

void reap(pid_t pid) {
  int st;
  waitpid(pid, &st, 0);
}
}  // namespace

TEST_F(AioTest, FileAssignOnceAndBlockingMode) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  TovFile f;
  EXPECT_STREQ("_UNASSIGNED_", f.name());
  f.assign(fds[0], "a");
  EXPECT_STREQ("a", f.name());
  try {
    f.assign(fds[1], "b");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_EQ("TovFile: Assigning b=" + std::to_string(fds[1]) + " to a=" + std::to_string(fds[0]), e.what());
  }
  TovFile unnamed(fds[1], "");
  EXPECT_STREQ("?fd?", unnamed.name());
  EXPECT_TRUE(f.blockingMode());
  f.setBlockingMode(false);
  EXPECT_FALSE(f.blockingMode());
  EXPECT_TRUE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
  f.setBlockingMode(true);
  EXPECT_FALSE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
}

TEST_F(AioTest, OwnedDescriptorClosedWithFile) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  { TovFile owned(fds[0], "owned", true); }
  EXPECT_EQ(-1, fcntl(fds[0], F_GETFD));
  { TovFile borrowed(fds[1], "borrowed", false); }
  EXPECT_NE(-1, fcntl(fds[1], F_GETFD));
  close(fds[1]);
}

TEST_F(AioTest, BreadNowaitAndWaitingForTheRest) {
  int fds[2];
  ASSERT_EQ(0, pipe2(fds, O_NONBLOCK));
  char buf[8];
  EXPECT_EQ(0, TovFile::bread(fds[0], buf, 8, true));  // nothing there: back at once
  ASSERT_EQ(3, write(fds[1], "abc", 3));
  pid_t w = slowWriter(fds[1], 1, 5, 50);
  EXPECT_EQ(8, TovFile::bread(fds[0], buf, 8, true));  // some read: waits for the rest
  EXPECT_EQ(0, memcmp(buf, "abczzzzz", 8));
  reap(w);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(AioTest, BreadEndOfInput) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(4, write(fds[1], "data", 4));
  close(fds[1]);
  char buf[16];
  bool eof = false;
  EXPECT_EQ(4, TovFile::bread(fds[0], buf, 16, false, 0, &eof));
  EXPECT_TRUE(eof);
  close(fds[0]);
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(2, write(fds[1], "da", 2));
  close(fds[1]);
  EXPECT_EQ(-1, TovFile::bread(fds[0], buf, 16));
  close(fds[0]);
}

TEST_F(AioTest, BreadTimeouts) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  char buf[64];
  // A limit on the whole transfer returns the partial count.
  pid_t w = slowWriter(fds[1], 2, 4, 100);
  long long t0 = msNow();
  EXPECT_EQ(8, TovFile::bread(fds[0], buf, 64, false, 1));
  long long took = msNow() - t0;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 3000);
  reap(w);
  // A limit on inactivity lets a steady transfer finish though it lasts longer.
  w = slowWriter(fds[1], 6, 4, 300);
  t0 = msNow();
  EXPECT_EQ(24, TovFile::bread(fds[0], buf, 24, false, -1));
  EXPECT_GE(msNow() - t0, 1500);
  reap(w);
  EXPECT_EQ(0u, alarm(0));  // no alarm left behind
  close(fds[0]);
  close(fds[1]);
}

TEST_F(AioTest, BwriteWholeBuffer) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_EQ(5, TovFile::bwrite(fds[1], "hello", 5));
  EXPECT_EQ(0, TovFile::bwrite(fds[1], "", 0));
  char buf[5];
  ASSERT_EQ(5, read(fds[0], buf, 5));
  EXPECT_EQ(0, memcmp(buf, "hello", 5));
  close(fds[0]);
  EXPECT_EQ(-1, TovFile::bwrite(fds[1], "x", 1));
  EXPECT_EQ(EPIPE, errno);
  close(fds[1]);
}

TEST_F(AioTest, BufferedStdioModes) {
  fctest::TempDir d;
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  FILE *p = fdopen(fds[1], "w");
  unsetenv("FCTEST_NOBUF");
  TovBufferedStdio onPipe(p, 131072, true, "FCTEST_NOBUF");
  EXPECT_EQ(_IOLBF, onPipe.mode());
  EXPECT_EQ(4096, onPipe.bufsize());
  onPipe.set(0);  // hands its buffer back; the object itself has no destructor
  TovBufferedStdio plain(p, 131072, true, nullptr);
  EXPECT_EQ(_IOFBF, plain.mode());
  EXPECT_EQ(131072, plain.bufsize());
  plain.set(0);
  EXPECT_EQ(_IONBF, plain.mode());
  fclose(p);
  close(fds[0]);

  std::string path = d.file("out.txt");
  TovBufferedStdio file(path.c_str(), "w", 131072, true, "FCTEST_NOBUF");
  EXPECT_EQ(_IOFBF, file.mode());
  EXPECT_EQ(131072, file.bufsize());
  setenv("FCTEST_NOBUF", "Y", 1);
  file.set(65536);
  EXPECT_EQ(_IOLBF, file.mode());
  EXPECT_EQ(4096, file.bufsize());
  fputs("line\n", file.stream());
  EXPECT_EQ("line\n", fctest::readFile(path));  // line buffering wrote it already
  file.set(0);
  fclose(file.stream());
  unsetenv("FCTEST_NOBUF");
  try {
    TovBufferedStdio bad("/nonexistent/x", "r", 10, false);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(2, e.err());
    EXPECT_STREQ("Failed to open file=/nonexistent/x for r (errno=2)", e.what());
  }
}

namespace {
struct BlockReader : TovAsyncReader {
  std::vector<std::string> blocks;
  int stopped = 0;
  bool hangup = false, err = false;
  BlockReader() : TovAsyncReader("blocks") {}
  void aioReceived(TovFile *, int n, char *buf) override { blocks.emplace_back(buf, (size_t)n); }
  void aioReadable(TovFile *) override {}
  void aioStopped(TovFile *, bool h, bool e) override {
    stopped++;
    hangup = h;
    err = e;
    TovEvtMgr::instance()->stopDispatcher();
  }
};
}  // namespace

TEST_F(AioTest, ReaderCollectsRequestedBlocks) {
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    TovFile f(fds[0], "rd");
    BlockReader r;
    char buf[6];
    r.aioRequest(&f, 6, buf);
    EXPECT_EQ(6, r.requestedBytes(&f));
    EXPECT_EQ(0, r.pendingBytes(&f));
    EXPECT_EQ(-1, r.pendingBytes(nullptr));
    pid_t w = fork();
    if (w == 0) {
      for (const char *piece : {"ab", "cdef", "ghijkl", "mn"}) {
        if (write(fds[1], piece, strlen(piece)) < 0) _exit(1);
        usleep(20000);
      }
      _exit(0);
    }
    close(fds[1]);
    TovEvtMgr::instance()->startDispatcher();
    reap(w);
    EXPECT_EQ((std::vector<std::string>{"abcdef", "ghijkl"}), r.blocks) << armode;
    EXPECT_EQ(1, r.stopped);
    EXPECT_TRUE(r.hangup);
    EXPECT_FALSE(r.err);
    EXPECT_EQ(0, r.aioFiles());
  }
}

TEST_F(AioTest, ListeningReaderIsToldInputWaits) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  TovFile f(fds[0], "listen");
  struct L : BlockReader {
    int readable = 0;
    void aioReadable(TovFile *file) override {
      readable++;
      char c;
      EXPECT_EQ(1, read(file->fd(), &c, 1));
      aioStop(file, true);  // the lock is held during aioReadable
      TovEvtMgr::instance()->stopDispatcher();
    }
  } l;
  l.aioListen(&f);
  EXPECT_EQ(0, l.requestedBytes(&f));
  ASSERT_EQ(1, write(fds[1], "x", 1));
  TovEvtMgr::instance()->startDispatcher();
  EXPECT_EQ(1, l.readable);
  if (l.aioFiles()) TovEvtMgr::instance()->startDispatcher();
  close(fds[1]);
}

namespace {
// Drains the peer end of a socket pair through the event manager.
struct Sink : TovAsyncReader {
  std::string got;
  size_t want;
  char buf[4096];
  explicit Sink(size_t w) : TovAsyncReader("sink"), want(w) {}
  void aioReceived(TovFile *, int, char *) override {}
  void aioReadable(TovFile *f) override {
    ssize_t n;
    while ((n = read(f->fd(), buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
    if (got.size() >= want) {
      aioStop(f, true);
      TovEvtMgr::instance()->stopDispatcher();
    }
  }
  void aioStopped(TovFile *, bool, bool) override {}
};
}  // namespace

TEST_F(AioTest, WriterQueuesWhatTheDescriptorCannotTake) {
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    TovFile wf(sv[0], "wr"), rf(sv[1], "rd");
    auto *w = new TovAsyncWriter(&wf);
    std::string data;
    for (int i = 0; i < 400000; i++) data += (char)('a' + i % 26);
    ASSERT_EQ(0, w->awrite(data.data(), (int)data.size()));
    int queued = w->queuedBytes();
    EXPECT_GT(queued, 0);
    EXPECT_LT(queued, (int)data.size());
    EXPECT_EQ(1, w->queuedMsgs());
    ASSERT_EQ(0, w->awrite("+tail", 5));  // behind the queue, never written directly
    EXPECT_EQ(2, w->queuedMsgs());
    EXPECT_EQ(queued + 5, w->queuedBytes());
    Sink s(data.size() + 5);
    s.aioListen(&rf);
    TovEvtMgr::instance()->startDispatcher();
    EXPECT_EQ(data + "+tail", s.got) << armode;
    EXPECT_EQ(0, w->queuedBytes());
    EXPECT_EQ(0, w->error());
    w->destroy();
    if (s.aioFiles()) TovEvtMgr::instance()->startDispatcher();
  }
}

TEST_F(AioTest, WriterAfterHangupRefuses) {
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    TovFile wf(sv[0], "wr");
    TovAsyncWriter w(&wf);
    std::string big(1 << 20, 'q');
    ASSERT_EQ(0, w.awrite(big.data(), (int)big.size()));
    ASSERT_GT(w.queuedBytes(), 0);
    close(sv[1]);  // the peer goes away
    struct End : TovTimer {
      void timerExpired() override { TovEvtMgr::instance()->stopDispatcher(); }
      void timerStopped() override {}
    } end;
    end.startTimer(0, 300000);
    TovEvtMgr::instance()->startDispatcher();
    // The failed write (EPIPE) is kept as the writer's first error.
    EXPECT_EQ(EPIPE, w.error()) << armode;
    EXPECT_EQ(0, w.queuedBytes());
    EXPECT_EQ(EPIPE, w.awrite("more", 4));
    EXPECT_EQ(0, w.queuedMsgs());
    if (end.state() != TovTimer::IDLE) {
      end.stopTimer();
      TovEvtMgr::instance()->startDispatcher();
    }
  }
}

TEST_F(AioTest, WriterHangupAndErrorReportsFromEventManager) {
  for (bool hangup : {true, false}) {
    TovEvtMgr::destroy();
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    TovFile wf(sv[0], "wr");
    TovAsyncWriter w(&wf);
    std::string big(1 << 20, 'q');
    ASSERT_EQ(0, w.awrite(big.data(), (int)big.size()));
    ASSERT_GT(w.queuedBytes(), 0);
    // What the dispatcher does when poll reports POLLHUP, or POLLERR, without POLLOUT.
    auto *em = dynamic_cast<TovEvtMgrNative *>(TovEvtMgr::instance());
    if (em->armode()) em->syncstartAIO(&wf, &w);  // the posted start, as the dispatcher would carry it out
    em->syncstopAIO(&wf, &w, true, hangup, !hangup);
    EXPECT_EQ(hangup ? -1 : -2, w.error());
    EXPECT_EQ(0, w.queuedBytes());
    EXPECT_EQ(hangup ? -1 : -2, w.awrite("more", 4));
    EXPECT_EQ(0, w.queuedMsgs());
    close(sv[1]);
  }
}

TEST_F(AioTest, WriterWriteErrorStored) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  close(fds[0]);
  TovFile wf(fds[1], "broken");
  TovAsyncWriter w(&wf);
  EXPECT_EQ(EPIPE, w.awrite("x", 1));
  EXPECT_EQ(EPIPE, w.error());
  EXPECT_EQ(EPIPE, w.awrite("y", 1));
  EXPECT_EQ(0, w.queuedMsgs());
}

TEST_F(AioTest, DestroyingActiveReaderAbortsTheProgram) {
  auto r2 = fctest::inChild([] {
    setenv("TOVA_EM_ARMODE", "y", 1);
    int fds[2];
    if (pipe(fds)) return 9;
    TovFile f(fds[0], "p");
    auto *rd = new BlockReader;
    char buf[4];
    rd->aioRequest(&f, 4, buf);
    delete rd;
    return 0;
  });
  EXPECT_EQ(1, r2.status);
  EXPECT_NE(std::string::npos, r2.err.find("TovAsyncRdr destroyed while active - ABORT APP !")) << r2.err;
}
