// kavxref on captures taken by kavtap at two points of one routed path,
// inside network namespaces of the test's own:
//   a --(MTU 1500)-- [up] r [down] --(MTU 576)-- b
// Datagrams from a to b without don't-fragment are cut into fragments by r;
// the listing at "up" must cross-reference each one to its first fragment at
// "down", and the fragments at "down" to the whole datagram at "up".
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "listing_util.h"
#include "testsupport.h"

using logtest::TempDir;
using namespace listing;

namespace {

const int DATAGRAMS = 12;
const size_t PAYLOAD = 1400;

int sh(const std::string &cmd) { return logtest::sh(cmd); }

// Three namespaces joined by two veth pairs, r forwarding between them.
class RoutedPath {
 public:
  RoutedPath() {
    std::string p = std::to_string(getpid());
    ns_a = "kxa" + p;
    ns_r = "kxr" + p;
    ns_b = "kxb" + p;
    up = "kxu" + p;    // r's end towards a
    down = "kxd" + p;  // r's end towards b
    remove();
    const std::string v6off =
        " sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; "
        "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6' 2>/dev/null";
    std::string a = "ip -n " + ns_a + " ", r = "ip -n " + ns_r + " ", b = "ip -n " + ns_b + " ";
    std::string cmd = "set -e; ip netns add " + ns_a + "; ip netns add " + ns_r + "; ip netns add " + ns_b +
                      "; ip netns exec " + ns_a + v6off + "; ip netns exec " + ns_r + v6off + "; ip netns exec " +
                      ns_b + v6off + "; " + r + "link add " + up + " type veth peer name eth0 netns " + ns_a + "; " +
                      r + "link add " + down + " type veth peer name eth0 netns " + ns_b + "; " + r + "link set " +
                      down + " mtu 576; " + b + "link set eth0 mtu 576; " + a + "addr add 10.81.1.1/24 dev eth0; " +
                      r + "addr add 10.81.1.2/24 dev " + up + "; " + r + "addr add 10.81.2.1/24 dev " + down + "; " +
                      b + "addr add 10.81.2.2/24 dev eth0; " + a + "link set eth0 up; " + b + "link set eth0 up; " +
                      r + "link set " + up + " up; " + r + "link set " + down + " up; " + a + "link set lo up; " + b +
                      "link set lo up; " + a + "route add default via 10.81.1.2; " + b +
                      "route add default via 10.81.2.1; ip netns exec " + ns_r +
                      " sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'";
    ok = sh(cmd) == 0;
    for (int i = 0; ok && i < 100; i++) {
      if (sh(r + "link show " + up + " | grep -q LOWER_UP") == 0 &&
          sh(r + "link show " + down + " | grep -q LOWER_UP") == 0)
        break;
      usleep(20000);
    }
  }
  ~RoutedPath() { remove(); }
  void remove() {
    sh("ip netns del " + ns_a + " 2>/dev/null; ip netns del " + ns_r + " 2>/dev/null; ip netns del " + ns_b +
       " 2>/dev/null");
  }
  bool ok = false;
  std::string ns_a, ns_r, ns_b, up, down;
};

// kavtap capturing on one interface of a namespace into a log file.
class Capture {
 public:
  Capture(const std::string &ns, const std::string &ifname, const std::string &log, const std::string &err)
      : err_(err) {
    pid_ = fork();
    if (pid_ == 0) {
      int fo = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fo < 0 || fe < 0) _exit(126);
      dup2(fo, 1);
      dup2(fe, 2);
      setenv("TOVATRC_FILENAME", "/dev/null", 1);
      std::string tap = logtest::bin("kavtap");
      execlp("ip", "ip", "netns", "exec", ns.c_str(), tap.c_str(), "-v", "-i", ifname.c_str(), (char *)nullptr);
      _exit(127);
    }
  }
  ~Capture() { stop(); }
  bool ready() {
    for (int i = 0; i < 1500; i++) {
      if (logtest::read_text(err_).find("Ready and waiting") != std::string::npos) return true;
      usleep(10000);
    }
    return false;
  }
  // Ends the capture as a user would; the tap still writes its trailer.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGINT);
    int st = 0;
    for (int i = 0; i < 1000 && waitpid(pid_, &st, WNOHANG) == 0; i++) usleep(10000);
    if (waitpid(pid_, &st, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string err_;
};

// Sends UDP datagrams from inside a namespace, don't-fragment clear so the
// router may cut them.
bool send_udp(const std::string &ns, const char *dst, int count, size_t len) {
  pid_t pid = fork();
  if (pid == 0) {
    int nsfd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY);
    if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) _exit(2);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int pmtu = IP_PMTUDISC_DONT;
    if (s < 0 || setsockopt(s, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu) != 0) _exit(3);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9999);
    inet_pton(AF_INET, dst, &to.sin_addr);
    std::vector<char> data(len, 'k');
    for (int i = 0; i < count; i++) {
      if (sendto(s, data.data(), data.size(), 0, (sockaddr *)&to, sizeof to) != (ssize_t)data.size()) _exit(4);
      usleep(20000);
    }
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

TEST(XrefTwoPoints, FragmentsOnTheSmallerLinkCrossReferenced) {
  // Root is not something set-up provides: a normal user's make test skips.
  if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  RoutedPath path;
  ASSERT_TRUE(path.ok) << "cannot build the namespaces";
  TempDir td;
  std::string up_log = td.file("up.kav"), down_log = td.file("down.kav");
  {
    Capture up(path.ns_r, path.up, up_log, td.file("up.err"));
    Capture down(path.ns_r, path.down, down_log, td.file("down.err"));
    ASSERT_TRUE(up.ready()) << logtest::read_text(td.file("up.err"));
    ASSERT_TRUE(down.ready()) << logtest::read_text(td.file("down.err"));
    ASSERT_TRUE(send_udp(path.ns_a, "10.81.2.2", DATAGRAMS, PAYLOAD));
    usleep(200000);
    EXPECT_EQ(up.stop(), 0);
    EXPECT_EQ(down.stop(), 0);
  }
  std::string up_txt = td.file("up.txt"), down_txt = td.file("down.txt"), err = td.file("err");
  ASSERT_EQ(logtest::run({logtest::bin("kavpan"), "-N", "-v", "2"}, up_log, up_txt, err).status, 0);
  ASSERT_EQ(logtest::run({logtest::bin("kavpan"), "-N", "-v", "2"}, down_log, down_txt, err).status, 0);
  std::string up_text = logtest::read_text(up_txt), down_text = logtest::read_text(down_txt);
  // What the two points saw: whole datagrams before the router, three
  // fragments each after it (1408 octets of UDP in 552 + 552 + 304).
  ASSERT_EQ(count_of(up_text, "IP: 10.81.1.1 -> 10.81.2.2 <MF,LAST>, id="), size_t(DATAGRAMS)) << up_text;
  ASSERT_EQ(count_of(down_text, "IP: 10.81.1.1 -> 10.81.2.2 <MF,MORE>, id="), size_t(2 * DATAGRAMS)) << down_text;
  ASSERT_EQ(count_of(down_text, "IP: 10.81.1.1 -> 10.81.2.2 <MF,LAST>, id="), size_t(DATAGRAMS));

  logtest::write_file(td.file("empty"), {});
  Report fwd = run_report(td, {logtest::bin("kavxref"), "-s", "10.81.1.1", up_txt, down_txt}, td.file("empty"));
  EXPECT_EQ(fwd.rr.status, 0) << fwd.err;
  EXPECT_EQ(count_of(fwd.out, ": Ref="), size_t(DATAGRAMS)) << fwd.out;
  EXPECT_EQ(count_of(fwd.out, " - FRAG: off=0 (0), data=1400 (544)\n"), size_t(DATAGRAMS)) << fwd.out;
  EXPECT_NE(fwd.out.find("Rewrote 12/12 matching input events\n"), std::string::npos) << fwd.out;

  Report back = run_report(td, {logtest::bin("kavxref"), "-s", "10.81.1.1", down_txt, up_txt}, td.file("empty"));
  EXPECT_EQ(count_of(back.out, " - FRAG: off=0 (0), data=544 (1400)\n"), size_t(DATAGRAMS)) << back.out;
  EXPECT_EQ(count_of(back.out, " - FRAG: off=552 (0), data=552 (1400)\n"), size_t(DATAGRAMS));
  EXPECT_EQ(count_of(back.out, " - FRAG: off=1104 (0), data=304 (1400)\n"), size_t(DATAGRAMS));
  EXPECT_NE(back.out.find("Rewrote 36/36 matching input events\n"), std::string::npos) << back.out;

  // Every rewritten upstream event names the first fragment of its own
  // datagram downstream.
  for (const std::string &l : lines_of(fwd.out)) {
    size_t at = l.find(": Ref=");
    if (at == std::string::npos) continue;
    std::string in_line = event_line(up_text, atoi(l.c_str() + 6));
    std::string ref_line = event_line(down_text, atoi(l.c_str() + at + 6));
    size_t iid = in_line.find(", id="), rid = ref_line.find(", id=");
    ASSERT_NE(iid, std::string::npos);
    ASSERT_NE(rid, std::string::npos);
    EXPECT_EQ(in_line.substr(iid, in_line.find(';', iid) - iid), ref_line.substr(rid, ref_line.find(';', rid) - rid));
  }
}

}  // namespace
