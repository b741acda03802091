// The output side of a pipeline: the watched input that gives up once the
// output's reader has gone, the flush that reports lost writes, the refusal
// of a terminal.
#include "kav.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void close_end(int i) {
    close(fd[i]);
    fd[i] = -1;
  }
};

TEST(KavWatchedInput, ReadsLikeTheDescriptorWhileTheOutputIsRead) {
  Pipe in, out;
  FILE *f = kav_watched_input(in.fd[0], out.fd[1]);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write(in.fd[1], "kavtap-bytes", 12), 12);
  in.close_end(1);
  char buf[32] = {0};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 12u);
  EXPECT_STREQ(buf, "kavtap-bytes");
  EXPECT_TRUE(feof(f));
  EXPECT_FALSE(ferror(f));
  EXPECT_EQ(kav_output_gone(out.fd[1]), 0);
  fclose(f);
}

TEST(KavWatchedInput, GivesUpWithEpipeOnceTheOutputHasNoReader) {
  Pipe in, out;
  FILE *f = kav_watched_input(in.fd[0], out.fd[1]);
  ASSERT_NE(f, nullptr);
  // Input stays open and quiet; the reader of the output goes. Should the
  // read not give up, the input is closed after a while, so that the test
  // fails instead of hanging.
  std::atomic<bool> done{false};
  std::thread goes([&] {
    usleep(50000);
    out.close_end(0);
    for (int i = 0; i < 300 && !done; i++) usleep(10000);
    if (!done) in.close_end(1);
  });
  char buf[16];
  errno = 0;
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 0u);
  int err = errno;
  done = true;
  goes.join();
  errno = err;
  EXPECT_EQ(errno, EPIPE);
  EXPECT_TRUE(ferror(f));
  EXPECT_EQ(kav_output_gone(out.fd[1]), 1);
  fclose(f);
}

TEST(KavWatchedInput, AClosedOutputIsNotWatched) {
  Pipe in;
  FILE *f = kav_watched_input(in.fd[0], 1000);  // no such descriptor
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(write(in.fd[1], "x", 1), 1);
  in.close_end(1);
  char c = 0;
  EXPECT_EQ(fread(&c, 1, 1, f), 1u);
  EXPECT_EQ(c, 'x');
  EXPECT_EQ(kav_output_gone(1000), 0);
  fclose(f);
}

TEST(KavFlush, ReportsWhatTheStreamLost) {
  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  kav_logfile log;
  memset(&log, 0, sizeof log);
  log.stream = full;
  fputs("lost", full);
  EXPECT_EQ(kav_flush_logfile(&log), 1);
  EXPECT_STREQ(tvl_usrmsg, "Flush failed on output - errno=28 [No space left on device]");
  // The error flag stays: a later flush of nothing still tells.
  EXPECT_EQ(kav_flush_logfile(&log), 1);
  fclose(full);

  FILE *null = fopen("/dev/null", "w");
  log.stream = null;
  fputs("kept", null);
  EXPECT_EQ(kav_flush_logfile(&log), 0);
  fclose(null);
}

TEST(KavRefuseTerminal, OnlyTerminals) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int saved = dup(2);
  int err = open("/dev/null", O_WRONLY);
  dup2(err, 2);  // its two lines are not this test's output
  EXPECT_EQ(kav_refuse_terminal(slave), 1);
  dup2(saved, 2);
  close(saved);
  close(err);
  Pipe p;
  EXPECT_EQ(kav_refuse_terminal(p.fd[1]), 0);
  close(slave);
  close(master);
}

}  // namespace
