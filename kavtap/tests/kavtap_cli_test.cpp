// Command line, environment and start-up checks: the exact texts and exit
// statuses a user or a script relies on. None of these gets to capture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

#include "netns.h"

using namespace taptest;

namespace {

struct TapRun {
  int status;
  std::string out, err;
};

TapRun run(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {}, int out_fd = -1) {
  TapProc p("", args, env, -1, out_fd);
  TapRun r;
  r.status = p.wait_exit(20000);
  r.out = p.out();
  r.err = p.err();
  return r;
}

const std::string kEnter = "Enter 'kavtap -h' for a usage synopsis\n";

std::string cmdline_error(const std::string &reason) { return "Invalid command-line:\n\t" + reason + "\n" + kEnter; }

TEST(TapCli, UsageSynopsis) {
  TapRun r = run({"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nVelmora: Network Interface Tap, 1.4.8\n"
            "USAGE:\n"
            "kavtap [-i interface] [-b proto] [-v] [-p] [-c | -t len] [-r filename[:freq]] \\\n"
            "\t[-f|-F filter] [shorthand filter-spec]\n"
            "kavtap -h\n"
            "\n"
            "  -i: Interface name. Default is all interfaces.\n"
            "  -b: Protocol to bind to within selected address family (17)\n"
            "  -v: Verbose mode, issues progress messages on standard error.\n"
            "  -p: Disable promiscuous mode (ie. only capture data to/from this host).\n"
            "  -c: Count only, ie. measure traffic volumes, but don't log any packets.\n"
            "  -t: Snapshot, ie. captured packets are truncated to this length. -t0 means\n"
            "      no truncation. Default snapshot is 600 bytes.\n"
            "  -r: Record traffic rates in the specified file. The frequency is the sampling\n"
            "      interval, in seconds. Default is every second.\n"
            "  -f: Specify a filter expression.\n"
            "  -F: Specify a file containing a filter expression.\n"
            "  -h: Display this usage synopsis.\n"
            "\n");
  EXPECT_EQ(r.err, "");
}

TEST(TapCli, UsageWithTraceInfoAddsServerAndEnvironment) {
  TapRun r = run({"-h"}, {{"KAV_TRCINFO", "Y"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\nkavtap -R [-p] [-k] [-i interface] [-b proto]\nkavtap -h\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  -R: Server version of '-r'\n  -f:"), std::string::npos);
  EXPECT_NE(r.out.find("  -h: Display this usage synopsis.\n\n"
                       "$KAV_RAWLINK = y | n\n"
                       "$KAV_CAPDEV = dlpi | socket | tli\n"
                       "$KAV_CAPSOCK = family[.protocol]\n"
                       "- family: PACKET, OLDPACKET, INET or AF_ values in sys/socket.h\n"
                       "- protocol: same values as -b option\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("Using Sockets as the capture mechanism\n"), std::string::npos);
}

TEST(TapCli, SwitchErrorsExit99) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  } cases[] = {
      {{"-t", "12x"}, "Invalid switch: '-t 12x' - non-numeric argument"},
      {{"-r", "rates.txt:0"}, "Invalid switch: '-r rates.txt:0' - frequency must be number >0"},
      {{"-r", "rates.txt:x"}, "Invalid switch: '-r rates.txt:x' - frequency must be number >0"},
      {{"-k", "1"}, "Invalid switch: '-k' - invalid workaround id (1)"},
      {{"-i", std::string(32, 'e')}, "Invalid switch: '-i " + std::string(32, 'e') + "' - max name is 32 chars"},
      {{"-f", "TCP", "-F", "/etc/hostname"}, "Can't combine the '-f' and '-F' switches"},
      {{"-f", "TCP", "10.1.1.1"}, "Shortcut filter, '10.1.1.1', can't be combined with standard filter switch"},
      {{"-v", "-v"}, "Duplicate '-v' switch"},
      {{"-x"}, "Illegal switch (on or after '-x')"},
      {{"a", "b"}, "Illegal number of parameters (2)"},
      {{"-b", "nonsense"}, "Invalid socket protocol (nonsense)"},
  };
  for (auto &c : cases) {
    TapRun r = run(c.args);
    EXPECT_EQ(r.status, 99) << c.reason;
    EXPECT_EQ(r.err, cmdline_error(c.reason));
    EXPECT_EQ(r.out, "");
  }
}

TEST(TapCli, ConflictingModesExit99) {
  struct Case {
    std::vector<std::string> args;
    std::string msg;
  } cases[] = {
      {{"-c", "-t", "100"}, "The '-t' and '-c' options are exclusive\n"},
      {{"-t", "5000000"}, "Snapshot length (-t) may not exceed KSDU - 5000000 vs 4194304\n"},
      {{"-R", "-i", "lo"}, "The '-R' and interface-name options are exclusive\n"},
      {{"-R", "-f", "TCP"}, "The '-R' and filter options are exclusive\n"},
      {{"-R", "-r", "x"}, "The '-R' and '-r' options are exclusive\n"},
      {{"-R", "-t", "5"}, "The '-R' and '-t' options are exclusive\n"},
      {{"-R", "-c"}, "The '-R' and '-c' options are exclusive\n"},
      {{"-R", "-v"}, "The '-R' and '-v' options are exclusive\n"},
  };
  for (auto &c : cases) {
    TapRun r = run(c.args, {{"KAV_KSDU", "\x01unset"}});
    EXPECT_EQ(r.status, 99) << c.msg;
    EXPECT_EQ(r.err, c.msg);
  }
}

TEST(TapCli, EnvironmentErrorsExit99) {
  struct Case {
    std::string var, value, msg;
  } cases[] = {
      {"KAV_TRCINFO", "yes", "Illegal env var (KAV_TRCINFO=yes)\n"},
      {"KAV_KSDU", "12x", "Illegal env var (KAV_KSDU=12x)\n"},
      {"KAV_RAWLINK", "maybe", "Illegal env var (KAV_RAWLINK=maybe)\n"},
      {"KAV_CAPDEV", "bpf", "Illegal env var (KAV_CAPDEV=bpf)\n"},
      {"KAV_CAPDEV", "DLPI", "DLPI packet-capture mechanism not supported\n"},
      {"KAV_CAPDEV", "tli", "TLI packet-capture mechanism not supported\n"},
      {"KAV_KBUF", "maybe", "Illegal env var: KAV_KBUF=maybe (need Y/N)\n"},
      {"KAV_CAPSOCK", "bogus", "Invalid socket family (bogus) [$KAV_CAPSOCK]\n"},
      {"KAV_CAPSOCK", "packet.x", "Invalid socket protocol (x) [$KAV_CAPSOCK]\n"},
  };
  for (auto &c : cases) {
    TapRun r = run({"-i", "lo"}, {{c.var, c.value}});
    EXPECT_EQ(r.status, 99) << c.var << "=" << c.value;
    EXPECT_EQ(r.err, c.msg);
  }
}

TEST(TapCli, SmallKsduLimitsSnapshot) {
  TapRun r = run({"-t", "2000"}, {{"KAV_KSDU", "1000"}});
  EXPECT_EQ(r.status, 99);
  EXPECT_EQ(r.err, "Snapshot length (-t) may not exceed KSDU - 2000 vs 1000\n");
}

// Runs the tap at `binary` as a user other than root and returns its exit
// status, its standard error in *err. Run by root, a copy of the tap and of
// the suite's libraries goes into a folder of its own that the other user
// can reach: the build may sit in a private folder (a clone under /root or
// under a 0700 temporary folder). Run by anyone else, the caller is already
// not root.
int run_not_root(const std::string &binary, std::string *err) {
  vts::TempDir tmp;
  const std::string &dir = tmp.path();
  std::string cmd;
  if (geteuid() == 0) {
    const std::string libs = std::string(VELMORA_BIN_DIR) + "/../lib";
    if (sh("cp '" + binary + "' '" + dir + "/kavtap' && mkdir '" + dir + "/lib' && cp -P '" + libs + "'/*.so* '" +
           dir + "/lib/' && chmod -R a+rX '" + dir + "'") != 0)
      return -1;
    cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups env LD_LIBRARY_PATH='" + dir + "/lib' '" + dir +
          "/kavtap'";
  } else {
    cmd = "'" + binary + "'";
  }
  int st = sh("TOVATRC_FILENAME=/dev/null " + cmd + " -i lo >/dev/null 2>'" + dir + "/err'");
  *err = slurp(dir + "/err");
  return st;
}

TEST(TapCli, NotRootExits1) {
  std::string err;
  EXPECT_EQ(run_not_root(tap_binary(), &err), 1) << err;
  EXPECT_EQ(err, "Sorry, you must be root to run this program.\n");
}

// The same check with the tap in a private (0700) folder, as in a clone
// under /root: the user the check runs as cannot reach it there.
TEST(TapCli, NotRootCheckFromPrivateFolder) {
  vts::TempDir tmp;
  const std::string &dir = tmp.path();
  ASSERT_EQ(sh("chmod 700 '" + dir + "' && cp '" + tap_binary() + "' '" + dir + "/kavtap'"), 0);
  std::string err;
  EXPECT_EQ(run_not_root(dir + "/kavtap", &err), 1) << err;
  EXPECT_EQ(err, "Sorry, you must be root to run this program.\n");
}

TEST(TapCli, TerminalOutputRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  TapRun r = run({"-i", "lo"}, {}, slave);
  close(slave);
  close(master);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "This program produces binary output.\nRedirect to a file, or pipe into kavpan.\n");
}

TEST(TapCli, UnknownInterfaceAndBadFilterExit1) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TapRun r = run({"-i", "nosuch0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No such interface [nosuch0]\nUse 'ifconfig -a' to list all interfaces\n");
  EXPECT_EQ(r.out, "");
  r = run({"-i", "lo", "-f", "TCP SD="});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Bad filter expression - ", 0), 0u) << r.err;
  r = run({"-i", "lo", "-F", "/nonexistent/filter"});
  EXPECT_EQ(r.status, 99);
  EXPECT_EQ(r.err.rfind("Invalid command-line:\n\topen(/nonexistent/filter) failed, errno=2", 0), 0u) << r.err;
}

}  // namespace
