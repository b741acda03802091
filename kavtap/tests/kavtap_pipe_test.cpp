// The tap in pipelines whose reader goes away (quiet or busy link, a live
// kavtap | kavpan | head chain), and the choice of interface: "any", a named
// link without an IPv4 address, a link that is down, the configured mask.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "netns.h"
#include "terminal_text.h"

using namespace taptest;

namespace {

void nap(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Reads exactly n bytes from fd within a few seconds.
std::string read_n(int fd, size_t n) {
  std::string s;
  for (int waited = 0; s.size() < n && waited < 5000;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) {
      waited += 50;
      continue;
    }
    char buf[4096];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - s.size()));
    if (r <= 0) break;
    s.append(buf, static_cast<size_t>(r));
  }
  return s;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) n++;
  return n;
}

std::string bin(const char *prog) { return std::string(VELMORA_BIN_DIR) + "/" + prog; }

class TapPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    net = std::make_unique<NetPair>();
    ASSERT_TRUE(net->ok()) << "could not build the test namespaces";
    dir = "/tmp/kavtap_pipe_" + std::to_string(getpid());
    ASSERT_EQ(sh("rm -rf " + dir + " && mkdir -p " + dir), 0);
  }
  void TearDown() override {
    net.reset();
    if (!dir.empty()) sh("rm -rf " + dir);
  }
  std::unique_ptr<NetPair> net;
  std::string dir;
};

// The reader takes the log and session headers and goes while the link is
// quiet: the tap ends at once, with one message, status 1, no trailer
// attempted, and its rates file closed as after any end.
TEST_F(TapPipe, ReaderGoneWhileQuietEndsAtOnce) {
  for (const char *kbuf : {"y", "n"}) {
    SCOPED_TRACE(std::string("KAV_KBUF=") + kbuf);
    std::string rates = dir + "/rates." + kbuf;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    TapProc tap(net->ns_a, {"-v", "-i", net->if_a, "-r", rates}, {{"KAV_KBUF", kbuf}}, -1, p[1]);
    close(p[1]);
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    std::string head = read_n(p[0], 15 + 216);
    ASSERT_EQ(head.size(), 231u);
    EXPECT_EQ(head.compare(0, 6, "kavtap"), 0);
    close(p[0]);
    EXPECT_EQ(tap.wait_exit(1000), 1) << tap.err();
    std::string err = tap.err();
    EXPECT_EQ(count_of(err, "Outfile: "), 1u) << err;
    EXPECT_NE(err.find("Outfile: Output closed by its reader - errno=32 [Broken pipe]\n"), std::string::npos) << err;
    std::string r = slurp(rates);
    EXPECT_NE(r.find("\nTerminating at "), std::string::npos) << r;
    EXPECT_NE(r.find("\tTotal Bytes: 0\n"), std::string::npos) << r;
    EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0);
  }
}

// The reader goes while frames flow: whichever notices first, the failed
// write (EPIPE) or the watch, there is one message and status 1.
TEST_F(TapPipe, ReaderGoneWhileFramesFlow) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  TapProc tap(net->ns_a, {"-i", net->if_a, "-p"}, {}, -1, p[1]);
  close(p[1]);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    while (sending) send_frames(net->ns_b, net->if_b, {eth_frame(0x88B5, 200, 1), eth_frame(0x88B5, 300, 2)});
  });
  std::string got = read_n(p[0], 15 + 216 + 3 * (40 + 200));
  close(p[0]);
  int st = tap.wait_exit(3000);
  sending = false;
  sender.join();
  EXPECT_GE(got.size(), 231u);
  EXPECT_EQ(st, 1) << tap.err();
  std::string err = tap.err();
  EXPECT_EQ(count_of(err, "Outfile: "), 1u) << err;
  EXPECT_NE(err.find("errno=32 [Broken pipe]\n"), std::string::npos) << err;
}

// kavtap | kavpan | head: once head has its lines the whole chain ends
// within a second, the link quiet or not, each program with status 1.
TEST_F(TapPipe, LiveChainEndsWhenHeadExits) {
  std::string cmd = "ip netns exec " + net->ns_a + " bash -c 'timeout 30 " + bin("kavtap") + " -i " + net->if_a +
                    " 2>" + dir + "/tap.err | timeout 30 " + bin("kavpan") + " -N -v 2 2>" + dir +
                    "/pan.err | { head -8 >" + dir + "/head.out; date +%s%N >" + dir +
                    "/t_head; }; echo ${PIPESTATUS[@]} >" + dir + "/status; date +%s%N >" + dir + "/t_end'";
  std::thread chain([&] { sh(cmd); });
  // Frames until head has taken its eight lines, then a quiet link.
  for (int i = 0; i < 200 && access((dir + "/t_head").c_str(), F_OK) != 0; i++) {
    send_frames(net->ns_b, net->if_b, {eth_frame(0x88B5, 100, i)});
    nap(50);
  }
  chain.join();
  EXPECT_EQ(slurp(dir + "/status"), "1 1 0\n") << slurp(dir + "/tap.err") << slurp(dir + "/pan.err");
  long long t_head = std::atoll(slurp(dir + "/t_head").c_str()), t_end = std::atoll(slurp(dir + "/t_end").c_str());
  ASSERT_GT(t_head, 0);
  EXPECT_LT(t_end - t_head, 1000000000LL) << "the chain outlived head by " << (t_end - t_head) / 1000000 << " ms";
  std::string head = slurp(dir + "/head.out");
  EXPECT_EQ(count_of(head, "\n"), 8u);
  EXPECT_NE(head.find("- Evt=2 ("), std::string::npos) << head;
  EXPECT_EQ(slurp(dir + "/pan.err"), "Write failed on standard output - errno=32 [Broken pipe]\n");
  std::string terr = slurp(dir + "/tap.err");
  EXPECT_EQ(count_of(terr, "Outfile: "), 1u) << terr;
  EXPECT_NE(terr.find("errno=32 [Broken pipe]\n"), std::string::npos) << terr;
}

// "-i any" is every interface, as no -i is.
TEST_F(TapPipe, AnyMeansAllInterfaces) {
  TapProc tap(net->ns_a, {"-v", "-i", "any"});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, {eth_frame(0x88B5, 90, 1)}));
  nap(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.ifname, "");
  EXPECT_EQ(L.ipaddr_net, 0u);
  EXPECT_EQ(L.capflags, 0x11);  // promiscuous mode off, as for all interfaces
  int seen = 0;
  for (auto &e : L.events) seen += e.type == 1 && e.data == eth_frame(0x88B5, 90, 1);
  EXPECT_EQ(seen, 1);
  EXPECT_NE(tap.err().find("Listening on all interfaces (subject to compatibility with "), std::string::npos)
      << tap.err();
}

// A veth end without an IPv4 address: captured on by name; the session
// records address and mask 0, and the analyser and the merger read the log
// as any other.
TEST_F(TapPipe, NamedInterfaceWithoutAddress) {
  ASSERT_EQ(sh("ip -n " + net->ns_a + " addr flush dev " + net->if_a), 0);
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 64, 1), eth_frame(0x88B5, 128, 2)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  nap(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  EXPECT_NE(tap.err().find("Using interface " + net->if_a + " (no IP address)\n"), std::string::npos) << tap.err();
  std::string out = tap.out();
  Log L = parse_log(out);
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.ifname, net->if_a);
  EXPECT_EQ(L.ipaddr_net, 0u);
  EXPECT_EQ(L.netmask, 0);
  EXPECT_EQ(L.mtu, 1500);
  EXPECT_EQ(L.capflags, 0x13);
  std::vector<std::vector<uint8_t>> got;
  for (auto &e : L.events)
    if (e.type == 1) got.push_back(e.data);
  EXPECT_EQ(got, sent);

  std::string log = dir + "/noaddr.kav";
  FILE *f = std::fopen(log.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  ASSERT_EQ(sh(bin("kavpan") + " -N -v 4 <" + log + " >" + dir + "/pan.out 2>&1"), 0);
  std::string pan = slurp(dir + "/pan.out");
  EXPECT_NE(pan.find("Interface: " + net->if_a + "\nInterface MTU: 1500\nLink Type: Ethernet\n"), std::string::npos)
      << pan;
  EXPECT_NE(pan.find("\nSession 1: Events=3  Packets=2  Bytes=192"), std::string::npos) << pan;
  ASSERT_EQ(sh(bin("kavmerge") + " " + log + " >" + dir + "/merged.kav 2>" + dir + "/merge.err"), 0);
  EXPECT_EQ(slurp(dir + "/merged.kav"), out);
}

// A named interface must be up; without -i, today's scan rules stand.
TEST_F(TapPipe, NamedInterfaceThatIsDown) {
  ASSERT_EQ(sh("ip -n " + net->ns_a + " link set " + net->if_a + " down"), 0);
  TapProc tap(net->ns_a, {"-i", net->if_a});
  EXPECT_EQ(tap.wait_exit(10000), 1);
  EXPECT_EQ(tap.err(), "Can't use interface " + net->if_a + " [interface is not up]\n");
}

// Without an /etc/netmasks entry the session records the configured mask,
// not the class of the address.
TEST_F(TapPipe, ConfiguredMaskIsRecorded) {
  if (access("/etc/netmasks", F_OK) == 0) GTEST_SKIP() << "/etc/netmasks present";
  struct Case {
    const char *cidr;
    uint32_t mask;
  } cases[] = {{"10.77.0.1/24", 0xFFFFFF00u}, {"172.20.5.9/28", 0xFFFFFFF0u}, {"198.18.0.1/17", 0xFFFF8000u}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cidr);
    ASSERT_EQ(sh("ip -n " + net->ns_a + " addr flush dev " + net->if_a + " && ip -n " + net->ns_a + " addr add " +
                 c.cidr + " dev " + net->if_a),
              0);
    TapProc tap(net->ns_a, {"-v", "-c", "-i", net->if_a});
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
    Log L = parse_log(tap.out());
    ASSERT_EQ(L.error, "");
    EXPECT_EQ(L.netmask, static_cast<int64_t>(static_cast<int32_t>(c.mask)));
    std::string addr(c.cidr, std::strchr(c.cidr, '/'));
    EXPECT_EQ(L.ipaddr_net, inet_addr(addr.c_str()));
  }
}

// Past 99,999 frames the -v counter still reads as one number on its line.
TEST_F(TapPipe, VerboseCounterPastFiveDigits) {
  TapProc tap(net->ns_a, {"-v", "-c", "-p", "-i", net->if_a});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  {
    NsEnter in(net->ns_b);
    ASSERT_TRUE(in.ok());
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = static_cast<int>(if_nametoindex(net->if_b.c_str()));
    sll.sll_halen = 6;
    std::vector<uint8_t> f = eth_frame(0x88B5, 60, 1);
    std::memcpy(sll.sll_addr, f.data(), 6);
    // Bursts the ring takes whole, with pauses for the tap to empty it.
    for (int i = 0; i < 110000; i++) {
      sendto(fd, f.data(), f.size(), 0, reinterpret_cast<struct sockaddr *>(&sll), sizeof sll);
      if (i % 500 == 499) nap(2);
    }
    close(fd);
  }
  nap(500);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err().substr(0, 400);
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  ASSERT_FALSE(L.events.empty());
  int64_t frames = L.events.back().trl[1];
  ASSERT_GT(frames, 99999) << "too many frames lost to test the counter";
  std::string err = tap.err();
  size_t from = err.find("Ready and waiting ...\n");
  ASSERT_NE(from, std::string::npos);
  from += 22;
  // The counter's line is the last before the end of the loop (a "Seeking"
  // note, should the tap fall behind, starts a fresh one).
  size_t to = err.find("\n\nTerminating.", from);
  ASSERT_NE(to, std::string::npos) << err.substr(0, 400);
  EXPECT_EQ(rendered(err.substr(from, to - from)), std::to_string(frames));
}

}  // namespace
