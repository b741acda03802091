// The window against a real tap in traffic-server mode, started per
// connection by a super-server as users run it (socat, or systemd's socket
// activation with the same settings as the shipped socket unit), inside a
// network namespace of the test's own, fed with known loopback traffic.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kavwin.h"
#include "netns.h"
#include "xvfb.h"

using namespace wintest;

namespace {

// The super-server in the namespace, in a process group of its own so that
// the taps it started go with it.
void kill_children(pid_t parent);

class SuperServer {
 public:
  SuperServer(const std::string &ns, const std::vector<std::string> &argv) {
    err_path_ = "/tmp/kavwin_super_" + std::to_string(getpid()) + ".err";
    int nsfd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) _exit(126);
      int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int n = open("/dev/null", O_RDWR);
      dup2(n, 0);
      dup2(n, 1);
      dup2(e, 2);
      for (int fd = 3; fd < 1024; fd++) close(fd);
      setenv("TOVATRC_FILENAME", "/dev/null", 1);
      std::vector<char *> av;
      for (auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
      av.push_back(nullptr);
      execvp(av[0], av.data());
      _exit(127);
    }
    if (nsfd >= 0) close(nsfd);
    if (pid_ > 0) setpgid(pid_, pid_);
  }
  ~SuperServer() {
    if (pid_ > 0) {
      // Taps first, so that their parent is still there to collect them.
      kill_children(pid_);
      sleep_ms(300);
      kill(-pid_, SIGTERM);
      sleep_ms(200);
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(err_path_.c_str());
  }
  std::string err() const { return taptest::slurp(err_path_); }

 private:
  pid_t pid_ = -1;
  std::string err_path_;
};

void kill_children(pid_t parent) {
  DIR *d = opendir("/proc");
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::string stat = taptest::slurp("/proc/" + std::string(e->d_name) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
      kill(pid, SIGTERM);
  }
  closedir(d);
}

bool wait_listening(const std::string &ns, int port, int ms) {
  for (int i = 0; i < ms; i += 50) {
    if (taptest::sh("ip netns exec " + ns + " ss -Hltn 'sport = :" + std::to_string(port) + "' | grep -q " +
                    std::to_string(port)) == 0)
      return true;
    sleep_ms(50);
  }
  return false;
}

void send_udp(int s, int port, size_t payload, int count) {
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string data(payload, 'k');
  for (int i = 0; i < count; i++)
    sendto(s, data.data(), data.size(), 0, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
}

// Runs the window's events until 100 ms past the next whole second.
void pump_to_next_second() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  pump_for(static_cast<int>(1000 - ts.tv_nsec / 1000000L) + 100);
}

struct Launcher {
  const char *name;
  const char *program;
};
void PrintTo(const Launcher &l, std::ostream *os) { *os << l.name; }

class RealTap : public ::testing::TestWithParam<Launcher> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for namespaces and capture";
    VTS_REQUIRE(vts::have_tool(GetParam().program), GetParam().program << " is not installed");
    WIN_REQUIRE_X();
  }
};

// The value of `key` in a shipped unit file, "" when absent.
std::string unit_value(const std::string &unit, const std::string &key) {
  std::string text = taptest::slurp(std::string(VELMORA_SOURCE_DIR) + "/dist/" + unit);
  size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

TEST(ShippedUnits, SocketActivationAsTheTapExpectsIt) {
  EXPECT_EQ(unit_value("kavtap-server.socket", "ListenStream"), "0.0.0.0:19681");
  EXPECT_EQ(unit_value("kavtap-server.socket", "Accept"), "yes");
  EXPECT_EQ(unit_value("kavtap-server@.service", "StandardInput"), "socket");
  EXPECT_EQ(unit_value("kavtap-server@.service", "StandardOutput"), "socket");
  EXPECT_EQ(unit_value("kavtap-server@.service", "ExecStart"), "/usr/local/bin/kavtap -R");
  std::string inetd = taptest::slurp(std::string(VELMORA_SOURCE_DIR) + "/dist/inetd.conf");
  EXPECT_NE(inetd.find("\nkavtap\tstream\ttcp\tnowait\troot\t/usr/local/bin/kavtap\tkavtap -R\n"), std::string::npos);
  EXPECT_NE(inetd.find("kavtap          19681/tcp"), std::string::npos);
}

TEST_P(RealTap, PlotsTheFilteredTrafficTheTapCounts) {
  taptest::NetPair net;
  ASSERT_TRUE(net.ok());
  const std::string tap = taptest::tap_binary() + " -R";
  std::vector<std::string> argv;
  if (std::string(GetParam().name) == "socat") {
    argv = {"socat", "TCP-LISTEN:19681,bind=127.0.0.1,reuseaddr,fork", "EXEC:" + tap + ",nofork"};
  } else {
    // As the shipped socket unit: one tap per accepted connection.
    std::string port = unit_value("kavtap-server.socket", "ListenStream");
    ASSERT_EQ(unit_value("kavtap-server.socket", "Accept"), "yes");
    argv = {"systemd-socket-activate", "-l", port, "-a", "--inetd", taptest::tap_binary(), "-R"};
  }
  SuperServer server(net.ns_a, argv);
  ASSERT_TRUE(wait_listening(net.ns_a, 19681, 5000)) << server.err();

  const uint64_t maxbw = 100 * 1000;
  Report r = run_window({}, [&](const Say &say) {
    taptest::NsEnter in(net.ns_a);
    set_field("interface", "127.0.0.1");
    set_field("filter", "UDP DST=40555");
    set_field("maxbw", "100");
    press("start");
    if (dialog_up()) {
      say("dialog", dialog_text());
      return;
    }
    // The tap is capturing once it has put loopback into promiscuous mode.
    bool ready = pump_until([&] { return net.promiscuity(net.ns_a, "lo") > 0; }, 10000);
    say("ready", ready ? "yes" : "no");
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    // One burst a second: the tap reports a second when the next one's
    // first frame arrives. Frames to another port are not asked for.
    const int counts[] = {10, 20, 5, 1};
    for (int c : counts) {
      pump_to_next_second();
      send_udp(u, 40555, 100, c);
      send_udp(u, 40556, 50, 7);
    }
    pump_until([] { return kwctl.packets >= 35; }, 4000);
    pump_for(100);
    say("packets", field("packets"));
    say("bytes", field("bytes"));
    say("height", std::to_string(kwctl.height));
    say("points", points());
    std::string cols;
    for (int k = 0; k < kwctl.ndrawn; k++) {
      int y = kwctl.ring[(kwctl.drawn_from + k) % kwctl.nring];
      if (y == kwctl.height) continue;
      std::string rows = " " + column_rows(k * KW_STEP) + " ";
      cols += rows.find(" " + std::to_string(y) + " ") != std::string::npos ? "y" : "n";
    }
    say("drawn", cols);
    say("dialog", dialog_up() ? dialog_text() : "none");
    press("stop");
    // The tap notices the monitor has gone at its next record.
    pump_to_next_second();
    send_udp(u, 40555, 100, 1);
    pump_to_next_second();
    send_udp(u, 40555, 100, 1);
    close(u);
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw << server.err();
  EXPECT_EQ(r.get("dialog"), "none");
  EXPECT_EQ(r.get("ready"), "yes");
  // 35 frames of 14 + 20 + 8 + 100 octets on the loopback link.
  EXPECT_EQ(r.get("packets"), "35") << r.raw << server.err();
  EXPECT_EQ(r.get("bytes"), std::to_string(35 * 142));
  long h = std::stol(r.get("height"));
  std::vector<long> busy;
  for (long y : r.nums("points"))
    if (y != h) busy.push_back(y);
  std::vector<long> want;
  // The tap's first record goes out with the second frame and covers the
  // first one alone; the rest of that second comes with the next burst.
  for (uint64_t b : {142u, 9 * 142u, 20 * 142u, 5 * 142u}) want.push_back(h - static_cast<long>(b * h * 8 / maxbw));
  EXPECT_EQ(busy, want) << r.get("points");
  EXPECT_EQ(r.get("drawn"), "yyyy");
}

// A peer that never answers: the window keeps working while the attempt
// lasts, and Stop abandons it.
TEST(Unanswered, ConnectingNeitherFreezesTheWindowNorOutlivesStop) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for namespaces";
  WIN_REQUIRE_X();
  taptest::NetPair net;
  ASSERT_TRUE(net.ok());
  Report r = run_window({}, [&](const Say &say) {
    taptest::NsEnter in(net.ns_a);
    // No host has this address on the link: the address lookup fails after
    // a few seconds.
    set_field("interface", "198.18.0.3:19681");
    long t0 = now_ms();
    press("start-nowait");
    say("press_ms", std::to_string(now_ms() - t0));
    say("connecting", std::to_string(kwctl.connecting));
    bool ended = pump_until([] { return dialog_up(); }, 10000);
    say("waited_ms", std::to_string(now_ms() - t0));
    say("dialog", ended ? dialog_text() : "none");
    press("ok");
    // Again, then Stop while the attempt is on.
    press("start-nowait");
    pump_for(300);
    press("stop");
    say("after_stop", std::to_string(kwctl.connecting) + " " + std::to_string(kwctl.sock));
    pump_for(4000);
    say("late_dialog", dialog_up() ? dialog_text() : "none");
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  EXPECT_LT(std::stol(r.get("press_ms")), 500);
  EXPECT_EQ(r.get("connecting"), "1");
  EXPECT_GE(std::stol(r.get("waited_ms")), 1000);
  EXPECT_EQ(r.get("dialog"), "Failed to connect to 198.18.0.3:19681 (errno=113)");
  EXPECT_EQ(r.get("after_stop"), "0 -1");
  EXPECT_EQ(r.get("late_dialog"), "none");
}

INSTANTIATE_TEST_SUITE_P(Launchers, RealTap,
                         ::testing::Values(Launcher{"socat", "socat"},
                                           Launcher{"socket_activation", "systemd-socket-activate"}),
                         [](const ::testing::TestParamInfo<Launcher> &i) { return std::string(i.param.name); });

}  // namespace
