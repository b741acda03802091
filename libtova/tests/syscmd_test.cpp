#include "forked.h"
#include "tova.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

std::string read_all(int fd, int timeout_ms = 5000)
{
  std::string out;
  char buf[256];
  for (;;) {
    struct pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
      break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EAGAIN)
      continue;
    if (n <= 0)
      break;
    out.append(buf, n);
  }
  return out;
}

TEST(SystemCommand, ArgvOnPipes)
{
  int rfd, wfd, pid;
  char *const argv[] = {const_cast<char *>("tr"), const_cast<char *>("a-z"), const_cast<char *>("A-Z"), nullptr};
  ASSERT_EQ(run_syscmd(nullptr, argv, &rfd, &wfd, &pid, nullptr, nullptr, 0), 0) << tvl_usrmsg;
  EXPECT_GT(pid, 0);
  ASSERT_EQ(write(wfd, "velmora\n", 8), 8);
  close(wfd);
  EXPECT_EQ(read_all(rfd), "VELMORA\n");
  EXPECT_EQ(close_syscmd(rfd, -1, pid), 0);
}

TEST(SystemCommand, ShellCommandStatusAndStderr)
{
  int rfd, wfd, pid;
  ASSERT_EQ(run_syscmd("echo out; echo err >&2; exit 3", nullptr, &rfd, &wfd, &pid, nullptr, nullptr,
                       SYSCMD_STDERR | SYSCMD_NONBLOCK),
            0);
  std::string got = read_all(rfd);
  EXPECT_NE(got.find("out\n"), std::string::npos);
  EXPECT_NE(got.find("err\n"), std::string::npos);
  EXPECT_EQ(close_syscmd(rfd, wfd, pid), 3);
}

TEST(SystemCommand, MissingProgramExitsWithErrno)
{
  int rfd, wfd, pid;
  char *const argv[] = {const_cast<char *>("/nonexistent/prog"), nullptr};
  ASSERT_EQ(run_syscmd(nullptr, argv, &rfd, &wfd, &pid, nullptr, nullptr, 0), 0);
  read_all(rfd);
  EXPECT_EQ(close_syscmd(rfd, wfd, pid), ENOENT);
}

TEST(SystemCommand, PseudoTerminal)
{
  int rfd, wfd, pid;
  struct winsize ws{};
  ws.ws_row = 33;
  ws.ws_col = 77;
  ASSERT_EQ(run_syscmd("tty -s && stty size", nullptr, &rfd, &wfd, &pid, nullptr, &ws, SYSCMD_PTY), 0) << tvl_usrmsg;
  std::string got = read_all(rfd, 3000);
  EXPECT_NE(got.find("33 77"), std::string::npos) << got;
  EXPECT_EQ(close_syscmd(rfd, wfd, pid), 0);
}

}  // namespace
