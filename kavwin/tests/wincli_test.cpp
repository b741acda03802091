// The program as users start it: its switches, messages and exit statuses,
// and a whole run against a scripted server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <regex>

#include "netns.h"
#include "xvfb.h"

using namespace wintest;

namespace {

struct ProgRun {
  int status = -1;  // -1: still running when stopped
  std::string out, err;
};

// Runs kavwin until it exits, `until` returns true, or `ms` pass; then
// stops it.
ProgRun run_kavwin(const std::vector<std::string> &args, int ms,
               const std::function<bool()> &until = [] { return false; },
               const std::map<std::string, std::string> &env = {}) {
  static int seq = 0;
  std::string base = "/tmp/kavwin_cli_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
  ProgRun r;
  pid_t pid = fork();
  if (pid == 0) {
    int o = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    for (auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::string bin = std::string(VELMORA_BIN_DIR) + "/kavwin";
    std::vector<char *> av = {const_cast<char *>(bin.c_str())};
    for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(bin.c_str(), av.data());
    _exit(127);
  }
  long end = now_ms() + ms;
  int st = 0;
  pid_t w = 0;
  while ((w = waitpid(pid, &st, WNOHANG)) == 0 && now_ms() < end && !until()) usleep(10000);
  if (w == pid) {
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
  } else {
    kill(pid, SIGTERM);
    waitpid(pid, &st, 0);
  }
  r.out = taptest::slurp(base + ".out");
  r.err = taptest::slurp(base + ".err");
  unlink((base + ".out").c_str());
  unlink((base + ".err").c_str());
  return r;
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(xvfb().ok()); }
};

TEST_F(Program, HelpPrintsTheUsageAndExitsZero) {
  ProgRun r = run_kavwin({"-h"}, 10000);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nVelmora: Visual Bandwidth Monitor, 1.4.8\n"
            "USAGE:\n"
            "kavwin [generic X11 args] [-y pixels]\n"
            "kavwin -h\n"
            "\n"
            "  -h: Display this usage synopsis.\n"
            "  -y: Fine tune height of text boxes (+ or -)\n"
            "\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Program, CommandLineErrorsExit99) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-y", "abc"}, "Invalid switch: '-y abc' - non-numeric argument"},
      {{"-y", "+"}, "Invalid switch: '-y +' - non-numeric argument"},
      {{"-y", "1234567"}, "Invalid switch: '-y 1234567' - non-numeric argument"},
      {{"-q"}, "Illegal switch (on or after '-q')"},
      {{"-y"}, "Illegal switch (on or after '-y')"},
      {{"-y", "1", "-y", "2"}, "Duplicate '-y' switch"},
      {{"extra"}, "Illegal number of parameters (1)"},
  };
  for (auto &c : cases) {
    ProgRun r = run_kavwin(c.first, 10000);
    EXPECT_EQ(r.status, 99) << c.second;
    EXPECT_EQ(r.err, "Invalid command-line:\n[" + c.second + "]\nEnter 'kavwin -h' for a usage synopsis\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Program, HeightSwitchIsAnnouncedOnlyWhenNonZero) {
  ProgRun r = run_kavwin({"-y", "4"}, 1500);
  EXPECT_EQ(r.status, -1) << r.err;  // the window was up and running
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, std::regex("\\*\\*\\* Varying text-box heights from (\\d+) to (\\d+)\n")))
      << r.out;
  EXPECT_EQ(std::stoi(m[2]), std::stoi(m[1]) + 4);
  r = run_kavwin({"-y", "-0"}, 1500);
  EXPECT_EQ(r.status, -1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// Fields preset from the resource database, Start pressed by itself: the
// filter reaches the server, and the lost connection is told (the dialog's
// text also goes to the trace).
TEST_F(Program, RunsAgainstAServerGivenInResources) {
  int port = 0;
  int ls = listen_loopback(0, &port);
  ASSERT_GE(ls, 0);
  std::string trace = "/tmp/kavwin_trace_" + std::to_string(getpid());
  unlink(trace.c_str());
  int conn = -1;
  std::string wire;
  ProgRun r = run_kavwin({"-xrm", "*Interface-Text.value: 127.0.0.1:" + std::to_string(port), "-xrm",
                      "*Filter-Text.value: TCP SD=80", "-xrm", "kavwin.autoStart: true"},
                     10000,
                     [&] {
                       if (conn < 0) {
                         conn = accept_within(ls, 0);
                         if (conn < 0) return false;
                         wire = read_within(conn, 16, 2000);
                         send_all(conn, record(1000, 10));
                         close(conn);
                       }
                       return taptest::slurp(trace).find("Lost connection") != std::string::npos;
                     },
                     {{"TOVATRC_FILENAME", trace}});
  close(ls);
  std::string t = taptest::slurp(trace);
  unlink(trace.c_str());
  EXPECT_EQ(r.status, -1) << r.err;  // still up, showing the dialog
  EXPECT_EQ(wire, std::string("\0\0\0\x09TCP SD=80\0\0\0", 16));
  EXPECT_NE(t.find("): Lost connection with traffic server (errno=0)\n"), std::string::npos) << t;
}

}  // namespace
