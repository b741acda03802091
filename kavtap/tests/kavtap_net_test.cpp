// Live captures against the kernel: each test makes its own namespaces and
// veth pair, runs kavtap on one end, sends known frames from the other and
// reads back the log byte by byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <regex>
#include <sstream>

#include "netns.h"
#include "pktbuild.h"

using namespace taptest;

namespace {

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Sleeps until `ms` milliseconds past the next whole second.
void sleep_to_next_second(int ms) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  long wait = (1000000 - now.tv_usec) / 1000 + ms;
  sleep_ms(static_cast<int>(wait));
}

std::string hostname() {
  char h[256] = {0};
  gethostname(h, sizeof h - 1);
  return std::string(h).substr(0, 64);
}

std::vector<uint8_t> tail(const std::vector<uint8_t> &v, size_t from) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from), v.end());
}

class TapNet : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    net = std::make_unique<NetPair>();
    ASSERT_TRUE(net->ok()) << "could not build the test namespaces";
  }
  void TearDown() override { net.reset(); }

  // The fixed parts every log of this tap carries.
  void expect_log_header(const Log &L) {
    const uint8_t want[15] = {'k', 'a', 'v', 't', 'a', 'p', 0, 0, 0, 0, 3, 1, 0x34, 0x12, 1};
    ASSERT_EQ(L.loghdr.size(), 15u);
    EXPECT_EQ(std::memcmp(L.loghdr.data(), want, 15), 0);
    EXPECT_EQ(L.hostname, hostname());
    for (int i = static_cast<int>(L.hostname.size()); i < 72; i++) EXPECT_EQ(L.seshdr[i], 0) << "byte " << i;
    EXPECT_EQ(L.parm1, 0);
    EXPECT_EQ(L.parm2, 0);
    EXPECT_EQ(L.hwlen, 0);
    for (int i = 192; i < 216; i++) EXPECT_EQ(L.seshdr[i], 0);
  }
  void expect_named_va(const Log &L) {
    EXPECT_EQ(L.ifname, net->if_a);
    EXPECT_EQ(L.ipaddr_net, inet_addr("198.18.0.1"));
    EXPECT_EQ(L.netmask, static_cast<int64_t>(static_cast<int32_t>(0xFFFFFF00u)));
    EXPECT_EQ(L.mtu, 1500);
    EXPECT_EQ(L.linktype, 4);
  }
  // The last event ends the session normally with these counters.
  void expect_end(const Log &L, int64_t frames, int64_t octets, int64_t rejected, int64_t rej_octets) {
    ASSERT_FALSE(L.events.empty());
    const Event &e = L.events.back();
    EXPECT_EQ(e.type, 4);
    EXPECT_EQ(e.ses, 0);
    EXPECT_EQ(e.caplen, 0);
    EXPECT_EQ(e.wirelen, 0);
    ASSERT_TRUE(e.has_trailer);
    EXPECT_EQ(e.trl[0], e.sec - L.start);
    EXPECT_GE(e.trl[0], 0);
    EXPECT_EQ(e.trl[1], frames);
    EXPECT_EQ(e.trl[2], octets);
    EXPECT_EQ(e.trl[3], rejected);
    EXPECT_EQ(e.trl[4], rej_octets);
  }
  std::vector<Event> frames_of(const Log &L) {
    std::vector<Event> v;
    for (auto &e : L.events)
      if (e.type == 1) v.push_back(e);
    return v;
  }

  std::unique_ptr<NetPair> net;
};

TEST_F(TapNet, NamedInterfaceLogsEachFrameByteForByte) {
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 1);
  time_t t0 = time(nullptr);
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 60, 1), eth_frame(0x88B5, 333, 2),
                                            eth_frame(0x88B5, 1514, 3)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  time_t t1 = time(nullptr);
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0) << "promiscuous membership left behind";

  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  expect_log_header(L);
  expect_named_va(L);
  EXPECT_EQ(L.snaplen, 600);
  EXPECT_EQ(L.filtlen, 0);
  EXPECT_EQ(L.capflags, 0x13);  // raw link, promiscuous, packet sockets
  EXPECT_LE(L.start, t0);
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 3u);
  ASSERT_EQ(L.events.size(), 4u);
  for (size_t i = 0; i < 3; i++) {
    const auto &e = fr[i];
    size_t want = std::min<size_t>(600, sent[i].size());
    EXPECT_EQ(e.caplen, static_cast<int64_t>(want));
    EXPECT_EQ(e.wirelen, static_cast<int64_t>(sent[i].size()));
    EXPECT_EQ(e.data, std::vector<uint8_t>(sent[i].begin(), sent[i].begin() + static_cast<long>(want)));
    EXPECT_GE(e.sec, t0);
    EXPECT_LE(e.sec, t1);
    EXPECT_LT(e.usec, 1000000);
  }
  expect_end(L, 3, 60 + 333 + 1514, 0, 0);
  std::string err = tap.err();
  EXPECT_NE(err.find("Velmora: Network Interface Tap, 1.4.8\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Using interface " + net->if_a + " (IP address = 198.18.0.1)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Interface put into promiscuous mode\n"), std::string::npos);
  EXPECT_NE(err.find("Data-Link Provider is Ethernet\n"), std::string::npos);
  EXPECT_NE(err.find("Interface MTU is 1500 bytes (kernel buffer is 4096K)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("\b\b\b\b\b    3"), std::string::npos);
  EXPECT_NE(err.find("\nTerminating.\n"), std::string::npos);
}

TEST_F(TapNet, QuietInterfaceStillClosesSessionOnSigterm) {
  for (const char *kbuf : {"y", "n"}) {
    SCOPED_TRACE(std::string("KAV_KBUF=") + kbuf);
    TapProc tap(net->ns_a, {"-v", "-p", "-i", net->if_a}, {{"KAV_KBUF", kbuf}});
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0);
    sleep_ms(300);
    ASSERT_EQ(tap.stop(SIGTERM), 0) << tap.err();
    Log L = parse_log(tap.out());
    ASSERT_EQ(L.error, "");
    EXPECT_EQ(L.capflags, 0x11);  // no promiscuous bit
    ASSERT_EQ(L.events.size(), 1u);
    expect_end(L, 0, 0, 0, 0);
    EXPECT_NE(tap.err().find("Not in promiscuous mode\n"), std::string::npos);
  }
}

TEST_F(TapNet, FilterRejectsAreCountedInTrailer) {
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a, "-f", " \tUDP \n"});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 60, 1), udp_frame(30, 2), eth_frame(0x88B5, 70, 3),
                                            udp_frame(100, 4), eth_frame(0x88B5, 80, 5)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.filtlen, 4);
  EXPECT_EQ(L.filter, "UDP");
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 2u);
  EXPECT_EQ(fr[0].data, sent[1]);
  EXPECT_EQ(fr[1].data, sent[3]);
  expect_end(L, 2, static_cast<int64_t>(sent[1].size() + sent[3].size()), 3, 60 + 70 + 80);
}

TEST_F(TapNet, ShorthandParameterAndFilterFile) {
  std::string fpath = "/tmp/kavtap_filter_" + std::to_string(getpid());
  struct Cleanup {
    std::string p;
    ~Cleanup() { unlink(p.c_str()); }
  } cleanup{fpath};
  FILE *f = std::fopen(fpath.c_str(), "w");
  ASSERT_TRUE(f);
  std::fputs("\t(UDP)\r\n  |\n(IP   SD=198.18.0.77)\n", f);
  std::fclose(f);
  struct Case {
    std::vector<std::string> args;
    std::string text;
  } cases[] = {
      {{"198.18.0.2:12345"}, "((TCP SD=12345) | (UDP SD=12345)) & (IP SD=198.18.0.2)"},
      {{"-F", fpath}, "(UDP) |(IP SD=198.18.0.77)"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> args = {"-v", "-i", net->if_a};
    args.insert(args.end(), c.args.begin(), c.args.end());
    TapProc tap(net->ns_a, args);
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    std::vector<std::vector<uint8_t>> sent = {udp_frame(44, 1), eth_frame(0x88B5, 99, 2)};
    ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
    sleep_ms(300);
    ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
    Log L = parse_log(tap.out());
    ASSERT_EQ(L.error, "");
    EXPECT_EQ(L.filter, c.text);
    EXPECT_EQ(L.filtlen, static_cast<int64_t>(c.text.size() + 1));
    auto fr = frames_of(L);
    ASSERT_EQ(fr.size(), 1u);
    EXPECT_EQ(fr[0].data, sent[0]);
    expect_end(L, 1, 86, 1, 99);
  }
}

TEST_F(TapNet, SnapshotLengthCutsFrames) {
  for (const char *t : {"100", "0"}) {
    SCOPED_TRACE(std::string("-t ") + t);
    TapProc tap(net->ns_a, {"-v", "-t", t, "-i", net->if_a});
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 300, 9), eth_frame(0x88B5, 1514, 8)};
    ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
    sleep_ms(300);
    ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
    Log L = parse_log(tap.out());
    ASSERT_EQ(L.error, "");
    EXPECT_EQ(L.snaplen, std::atoi(t));
    auto fr = frames_of(L);
    ASSERT_EQ(fr.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
      size_t want = std::string(t) == "0" ? sent[i].size() : 100;
      EXPECT_EQ(fr[i].caplen, static_cast<int64_t>(want));
      EXPECT_EQ(fr[i].wirelen, static_cast<int64_t>(sent[i].size()));
      EXPECT_EQ(fr[i].data, std::vector<uint8_t>(sent[i].begin(), sent[i].begin() + static_cast<long>(want)));
    }
    expect_end(L, 2, 300 + 1514, 0, 0);
  }
}

TEST_F(TapNet, CountOnlyKeepsTotalsWithoutFrames) {
  TapProc tap(net->ns_a, {"-v", "-c", "-i", net->if_a});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b,
                          {eth_frame(0x88B5, 64, 1), eth_frame(0x88B5, 128, 2), eth_frame(0x88B5, 256, 3)}));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.snaplen, 1);
  ASSERT_EQ(L.events.size(), 1u);
  expect_end(L, 3, 64 + 128 + 256, 0, 0);
}

TEST_F(TapNet, CountOnlyWithFilterUsesSnapshot64) {
  TapProc tap(net->ns_a, {"-v", "-c", "-i", net->if_a, "-f", "UDP"});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, {udp_frame(500, 1), eth_frame(0x88B5, 128, 2)}));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.snaplen, 64);
  ASSERT_EQ(L.events.size(), 1u);
  expect_end(L, 1, 542, 1, 128);
}

TEST_F(TapNet, RatesFileRowsIdleAndClosingLines) {
  std::string path = "/tmp/kavtap_rates_" + std::to_string(getpid()) + ".txt";
  struct Cleanup {
    std::string p;
    ~Cleanup() { unlink(p.c_str()); }
  } cleanup{path};
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a, "-r", " " + path + " : 1 "});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, {eth_frame(0x88B5, 100, 1)}));
  sleep_ms(2600);
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, {eth_frame(0x88B5, 250, 2)}));
  sleep_ms(200);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();

  std::string r = slurp(path);
  std::istringstream in(r);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 18u) << r;
  EXPECT_EQ(lines[0], "Velmora Frequency File, 1.4.8");
  EXPECT_EQ(lines[1], "----------------------------");
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("File opened at [A-Z][a-z]{2}\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} "
                                                    "by PID=\\d+ \\(interval=1\\)")))
      << lines[2];
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "Hostname: " + hostname());
  EXPECT_EQ(lines[5], "Listening on interface " + net->if_a + " [198.18.0.1]");
  EXPECT_EQ(lines[6], "Promiscuous mode is on");
  EXPECT_EQ(lines[7], "Raw Data-Link capture mode is on");
  EXPECT_EQ(lines[8], "No packet filter in effect");
  EXPECT_EQ(lines[9], "");
  EXPECT_EQ(lines[10], "Interval-End            Packets/Sec       Bytes/Sec       Total Packets");
  EXPECT_EQ(lines[11], std::string(76, '-'));
  const std::regex row("[A-Z][a-z]{2}\\d\\d \\d\\d:\\d\\d:\\d\\d {11}1\\.00 {16}(100|250) {21}[12]");
  EXPECT_TRUE(std::regex_match(lines[12], row)) << lines[12];
  EXPECT_NE(lines[12].find(" 100 "), std::string::npos);
  EXPECT_EQ(lines[12].back(), '1');
  EXPECT_EQ(lines[13], "idle");
  EXPECT_TRUE(std::regex_match(lines[14], row)) << lines[14];
  EXPECT_NE(lines[14].find(" 250 "), std::string::npos);
  EXPECT_EQ(lines[14].back(), '2');
  EXPECT_EQ(lines[15], "");
  EXPECT_TRUE(std::regex_match(lines[16], std::regex("Terminating at [A-Z][a-z]{2}\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6}")))
      << lines[16];
  EXPECT_EQ(lines[17], "\tTotal Bytes: 350");

  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  expect_end(L, 2, 350, 0, 0);
}

TEST_F(TapNet, UnopenableRatesFileStopsBeforeCapture) {
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a, "-r", "/nonexistent/dir/rates.txt"});
  ASSERT_EQ(tap.wait_exit(10000), 1) << tap.err();
  EXPECT_NE(tap.err().find("Failed to open frequency file, '/nonexistent/dir/rates.txt', errno=2 [No such file or "
                           "directory]\n"),
            std::string::npos)
      << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_TRUE(L.events.empty());
}

// Nobody reads the log from the start: the session header, flushed at once
// into the pipe, fails, and the tap ends before capturing.
TEST_F(TapNet, OutputFailureEndsCaptureWithStatus1) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);  // nobody reads the log
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a}, {}, -1, p[1]);
  close(p[1]);
  EXPECT_EQ(tap.wait_exit(10000), 1) << tap.err();
  std::string err = tap.err();
  EXPECT_NE(err.find("Logfile: Flush failed on output - errno=32 [Broken pipe]\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Ready and waiting"), std::string::npos) << err;
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0);
}

// A log in a regular file that cannot grow: the frames held for writing
// cannot go out, which must end the run with status 1 rather than pass as a
// normal end with the frames lost.
TEST_F(TapNet, FileTooLargeForFramesEndsWithStatus1) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ign = {}, old_xfsz = {};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ign, &old_xfsz), 0);
  struct Restore {
    struct rlimit lim;
    struct sigaction act;
    ~Restore() {
      setrlimit(RLIMIT_FSIZE, &lim);
      sigaction(SIGXFSZ, &act, nullptr);
    }
  } restore{saved, old_xfsz};
  // Room for the log and session headers and about two frames.
  struct rlimit small = saved;
  small.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a});
  setrlimit(RLIMIT_FSIZE, &saved);  // the tap keeps the limit it was started with
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 10; i++) sent.push_back(eth_frame(0x88B5, 900, i));
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  EXPECT_EQ(tap.stop(SIGINT), 1) << tap.err();
  EXPECT_NE(tap.err().find("Outfile: Write failed for 40-byte event-header=1 - errno=27 [File too large]\n"),
            std::string::npos)
      << tap.err();
  // What did fit is the log as written so far: headers, then whole events.
  std::string out = tap.out();
  EXPECT_EQ(out.size(), 2048u);
  EXPECT_EQ(out.compare(0, 6, "kavtap"), 0);
}

TEST_F(TapNet, AllInterfacesLeavesHeaderEmptyAndPromiscOff) {
  TapProc tap(net->ns_a, {"-v"});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0);
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 90, 1), eth_frame(0x88B5, 91, 2)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  expect_log_header(L);
  EXPECT_EQ(L.ifname, "");
  EXPECT_EQ(L.ipaddr_net, 0u);
  EXPECT_EQ(L.netmask, 0);
  EXPECT_EQ(L.mtu, 0);
  EXPECT_EQ(L.linktype, 4);
  EXPECT_EQ(L.capflags, 0x11);
  for (auto &s : sent) {
    int seen = 0;
    for (auto &e : frames_of(L))
      if (e.data == s) seen++;
    EXPECT_EQ(seen, 1);
  }
  EXPECT_NE(tap.err().find("Listening on all interfaces (subject to compatibility with "), std::string::npos)
      << tap.err();
  EXPECT_NE(tap.err().find("Not in promiscuous mode\n"), std::string::npos);
}

// UDP datagrams over loopback inside the namespace: each crosses "lo" once
// outgoing and once incoming, and must be logged once.
void send_udp_lo(const std::string &ns, int port, const std::vector<std::string> &payloads, int *rx_fd) {
  NsEnter in(ns);
  ASSERT_TRUE(in.ok());
  int rx = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (rx_fd && *rx_fd >= 0) {
    close(rx);
    rx = *rx_fd;
  } else {
    ASSERT_EQ(bind(rx, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
  }
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  for (auto &p : payloads) {
    ASSERT_EQ(sendto(tx, p.data(), p.size(), 0, reinterpret_cast<struct sockaddr *>(&a), sizeof a),
              static_cast<ssize_t>(p.size()));
  }
  close(tx);
  if (rx_fd)
    *rx_fd = rx;
  else
    close(rx);
}

bool contains(const std::vector<uint8_t> &hay, const std::string &needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(TapNet, LoopbackSkipsOutgoingCopies) {
  TapProc tap(net->ns_a, {"-v", "-i", "lo"});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::string> payloads = {"first-datagram-payload", "second-datagram-payload-xx",
                                       "third-datagram-payload-xxxx"};
  send_udp_lo(net->ns_a, 40111, payloads, nullptr);
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  EXPECT_EQ(L.ifname, "lo");
  EXPECT_EQ(L.ipaddr_net, inet_addr("127.0.0.1"));
  EXPECT_EQ(L.netmask, static_cast<int64_t>(static_cast<int32_t>(0xFF000000u)));
  EXPECT_EQ(L.mtu, 65536);
  EXPECT_EQ(L.linktype, 4);
  for (auto &p : payloads) {
    int seen = 0;
    for (auto &e : frames_of(L)) {
      if (!contains(e.data, p)) continue;
      seen++;
      EXPECT_EQ(e.wirelen, static_cast<int64_t>(14 + 20 + 8 + p.size()));
      EXPECT_EQ(e.data.size(), 14 + 20 + 8 + p.size());
      EXPECT_EQ(e.data[12], 0x08);
      EXPECT_EQ(e.data[13], 0x00);
      EXPECT_EQ(e.data[14 + 9], 17);
    }
    EXPECT_EQ(seen, 1) << p;
  }
}

TEST_F(TapNet, CapsockProtocolAndTraceInfo) {
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a}, {{"KAV_CAPSOCK", "PACKET.2048"}, {"KAV_TRCINFO", "y"}});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 60, 1), udp_frame(40, 2)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 1u);  // only IPv4 reaches a socket bound to 0x0800
  EXPECT_EQ(fr[0].data, sent[1]);
  std::string err = tap.err();
  EXPECT_NE(err.find("Using Sockets as the capture mechanism\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Opened capture device - Sockets: family=PACKET, proto=2048 (17.3.2048)\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("Mapped 4096-packet kernel buffer (1 x 4194304 blocks, 4096 KB)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Bound to interface '" + net->if_a + "'\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(err, std::regex("Interface flags: 0x[0-9a-f]+ -> 0x[0-9a-f]+ \\(index=\\d+\\)\n")))
      << err;
  EXPECT_TRUE(std::regex_search(err, std::regex("Received \\d+ packets, dropped 0\n"))) << err;
}

TEST_F(TapNet, ProtocolSwitchReplacesFamily) {
  TapProc tap(net->ns_a, {"-v", "-b", "2048", "-i", net->if_a}, {{"KAV_CAPSOCK", "inet"}, {"KAV_TRCINFO", "y"}});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 60, 1), udp_frame(40, 2)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  EXPECT_NE(tap.err().find("Opened capture device - Sockets: family=packet, proto=2048 (17.3.2048)\n"),
            std::string::npos)
      << tap.err();
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 1u);
  EXPECT_EQ(fr[0].data, sent[1]);
}

// An IPv4 datagram of protocol 3 addressed to the tap's end, with a valid
// header checksum so that the receiving stack takes it up.
std::vector<uint8_t> ip_proto3_frame(const uint8_t dst_mac[6], size_t payload_len) {
  std::vector<uint8_t> f = udp_frame(payload_len - 8, 7);
  std::memcpy(f.data(), dst_mac, 6);
  f[14 + 9] = 3;
  pkt::put16(f, 14 + 10, pkt::fold(pkt::sum16(f.data() + 14, 20)));
  return f;
}

TEST_F(TapNet, InetFamilyReadsDatagramsAndRestoresFlags) {
  uint8_t mac[6];
  {
    NsEnter in(net->ns_a);
    ASSERT_TRUE(in.ok());
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", net->if_a.c_str());
    ASSERT_EQ(ioctl(fd, SIOCGIFHWADDR, &ifr), 0);
    close(fd);
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
  }
  TapProc tap(net->ns_a, {"-v", "-i", net->if_a}, {{"KAV_CAPSOCK", "inet.3"}, {"KAV_TRCINFO", "y"}});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 1);
  std::vector<std::vector<uint8_t>> sent = {ip_proto3_frame(mac, 48), udp_frame(20, 3)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  EXPECT_EQ(net->promiscuity(net->ns_a, net->if_a), 0) << "interface flags not restored";
  std::string err = tap.err();
  EXPECT_NE(err.find("Opened capture device - Sockets: family=inet, proto=3 (2.3.3)\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Interface put into promiscuous mode\n"), std::string::npos);
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 1u);  // a raw IP socket of protocol 3 sees that datagram only, from its IP header on
  EXPECT_EQ(fr[0].data.size(), 20u + 48u);
  EXPECT_EQ(fr[0].data[0], 0x45);
  EXPECT_EQ(fr[0].data[9], 3);
  EXPECT_EQ(std::vector<uint8_t>(fr[0].data.begin() + 20, fr[0].data.end()), tail(sent[0], 34));
}

TEST_F(TapNet, CookedCaptureWithoutRawLink) {
  for (const char *kbuf : {"y", "n"}) {
    SCOPED_TRACE(std::string("KAV_KBUF=") + kbuf);
    TapProc tap(net->ns_a, {"-v", "-i", net->if_a}, {{"KAV_RAWLINK", "N"}, {"KAV_KBUF", kbuf}});
    ASSERT_TRUE(tap.wait_ready()) << tap.err();
    std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 120, 1), udp_frame(70, 2)};
    ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
    sleep_ms(300);
    ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
    Log L = parse_log(tap.out());
    ASSERT_EQ(L.error, "");
    EXPECT_EQ(L.capflags, 0x12);
    EXPECT_NE(tap.err().find("Raw Data-Link capture disabled\n"), std::string::npos);
    auto fr = frames_of(L);
    ASSERT_EQ(fr.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(fr[i].data, tail(sent[i], 14));
      EXPECT_EQ(fr[i].wirelen, static_cast<int64_t>(sent[i].size() - 14));
    }
    expect_end(L, 2, 106 + 98, 0, 0);
  }
}

TEST_F(TapNet, ReadLoopWithoutKernelRing) {
  TapProc tap(net->ns_a, {"-v", "-t", "64", "-i", net->if_a}, {{"KAV_KBUF", "N"}, {"KAV_TRCINFO", "y"}});
  ASSERT_TRUE(tap.wait_ready()) << tap.err();
  std::vector<std::vector<uint8_t>> sent = {eth_frame(0x88B5, 60, 1), eth_frame(0x88B5, 200, 2)};
  ASSERT_TRUE(send_frames(net->ns_b, net->if_b, sent));
  sleep_ms(300);
  ASSERT_EQ(tap.stop(SIGINT), 0) << tap.err();
  EXPECT_EQ(tap.err().find("Mapped "), std::string::npos);
  Log L = parse_log(tap.out());
  ASSERT_EQ(L.error, "");
  auto fr = frames_of(L);
  ASSERT_EQ(fr.size(), 2u);
  EXPECT_EQ(fr[0].data, sent[0]);
  EXPECT_EQ(fr[1].data, std::vector<uint8_t>(sent[1].begin(), sent[1].begin() + 64));
  EXPECT_EQ(fr[1].wirelen, 200);
  expect_end(L, 2, 260, 0, 0);
}

// ---- traffic server ----------------------------------------------------------

struct ServerConn {
  int client = -1, accepted = -1;
  ~ServerConn() {
    if (client >= 0) close(client);
    if (accepted >= 0) close(accepted);
  }
};

// A TCP connection on loopback inside the namespace: the accepted end becomes
// the tap's standard input and output, as a network super-server would do.
void connect_pair(const std::string &ns, ServerConn *c, bool dual_stack = false) {
  NsEnter in(ns);
  ASSERT_TRUE(in.ok());
  if (dual_stack) {
    // An IPv6 listener that also takes IPv4: the accepted socket is IPv6
    // with the client's v4-mapped address.
    int ls = socket(AF_INET6, SOCK_STREAM, 0);
    int off = 0;
    setsockopt(ls, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    struct sockaddr_in6 a6;
    std::memset(&a6, 0, sizeof a6);
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_any;
    ASSERT_EQ(bind(ls, reinterpret_cast<struct sockaddr *>(&a6), sizeof a6), 0);
    ASSERT_EQ(listen(ls, 1), 0);
    socklen_t len6 = sizeof a6;
    getsockname(ls, reinterpret_cast<struct sockaddr *>(&a6), &len6);
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = a6.sin6_port;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c->client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c->client, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    c->accepted = accept(ls, nullptr, nullptr);
    close(ls);
    ASSERT_GE(c->accepted, 0);
    return;
  }
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(ls, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(ls, 1), 0);
  socklen_t len = sizeof a;
  getsockname(ls, reinterpret_cast<struct sockaddr *>(&a), &len);
  c->client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(c->client, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
  c->accepted = accept(ls, nullptr, nullptr);
  close(ls);
  ASSERT_GE(c->accepted, 0);
}

size_t recv_exact(int fd, uint8_t *buf, size_t want, int ms) {
  size_t got = 0;
  struct pollfd p = {fd, POLLIN, 0};
  while (got < want && poll(&p, 1, ms) > 0) {
    ssize_t n = recv(fd, buf + got, want - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

uint32_t be32(const uint8_t *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool wait_promisc(NetPair &net, const std::string &ifname, int want, int ms) {
  for (int i = 0; i < ms; i += 20) {
    if (net.promiscuity(net.ns_a, ifname) == want) return true;
    sleep_ms(20);
  }
  return false;
}

TEST_F(TapNet, TrafficServerSendsRecordsForFilteredTraffic) {
  ServerConn c;
  connect_pair(net->ns_a, &c);
  TapProc tap(net->ns_a, {"-R"}, {}, c.accepted, c.accepted);
  close(c.accepted);
  c.accepted = -1;
  const uint8_t xdr[8] = {0, 0, 0, 3, 'U', 'D', 'P', 0};
  ASSERT_EQ(send(c.client, xdr, 8, 0), 8);
  ASSERT_TRUE(wait_promisc(*net, "lo", 1, 10000)) << tap.err();

  int rx = -1;
  sleep_to_next_second(50);
  send_udp_lo(net->ns_a, 40222, {std::string(100, 'a'), std::string(100, 'b'), std::string(100, 'c')}, &rx);
  sleep_to_next_second(50);
  send_udp_lo(net->ns_a, 40222, {std::string(10, 'd')}, &rx);

  // The first record goes out with the second frame and covers the first;
  // the next one covers the rest of that second.
  uint8_t rec[16];
  ASSERT_EQ(recv_exact(c.client, rec, 16, 5000), 16u) << tap.err();
  EXPECT_EQ(be32(rec), 142u);
  EXPECT_EQ(be32(rec + 4), 1u);
  EXPECT_EQ(be32(rec + 8), 2u * (14 + 20 + 8 + 100));
  EXPECT_EQ(be32(rec + 12), 2u);

  // The monitor goes away: the next record fails and the tap ends by itself.
  close(c.client);
  c.client = -1;
  int status = -1;
  for (int i = 0; i < 8 && status < 0; i++) {
    sleep_to_next_second(50);
    send_udp_lo(net->ns_a, 40222, {std::string(20, 'e')}, &rx);
    status = tap.wait_exit(0);
  }
  if (status < 0) status = tap.wait_exit(1500);
  close(rx);
  EXPECT_EQ(status, 0) << tap.err();
  EXPECT_EQ(tap.err(), "");
  EXPECT_EQ(net->promiscuity(net->ns_a, "lo"), 0);
}

TEST_F(TapNet, TrafficServerEmptyFilterCountsEverythingAndStopsOnSigterm) {
  ServerConn c;
  connect_pair(net->ns_a, &c);
  TapProc tap(net->ns_a, {"-R"}, {}, c.accepted, c.accepted);
  close(c.accepted);
  c.accepted = -1;
  const uint8_t xdr[4] = {0, 0, 0, 0};
  ASSERT_EQ(send(c.client, xdr, 4, 0), 4);
  ASSERT_TRUE(wait_promisc(*net, "lo", 1, 10000)) << tap.err();
  int rx = -1;
  sleep_to_next_second(50);
  send_udp_lo(net->ns_a, 40333, {std::string(50, 'x'), std::string(50, 'y')}, &rx);
  sleep_to_next_second(50);
  send_udp_lo(net->ns_a, 40333, {std::string(5, 'z')}, &rx);
  close(rx);
  // Unfiltered: the datagrams, and the records themselves on lo, are counted.
  uint8_t rec[16];
  ASSERT_EQ(recv_exact(c.client, rec, 16, 5000), 16u) << tap.err();
  EXPECT_GE(be32(rec + 4) + be32(rec + 12), 2u);
  EXPECT_GE(be32(rec) + be32(rec + 8), 2u * (14 + 20 + 8 + 50));
  EXPECT_EQ(tap.stop(SIGTERM), 0) << tap.err();
}

TEST_F(TapNet, TrafficServerTakesAnIPv4ClientOfADualStackListener) {
  ServerConn c;
  connect_pair(net->ns_a, &c, true);
  TapProc tap(net->ns_a, {"-R"}, {}, c.accepted, c.accepted);
  close(c.accepted);
  c.accepted = -1;
  const uint8_t xdr[8] = {0, 0, 0, 3, 'U', 'D', 'P', 0};
  ASSERT_EQ(send(c.client, xdr, 8, 0), 8);
  // It finds loopback from the mapped address and captures there.
  ASSERT_TRUE(wait_promisc(*net, "lo", 1, 10000)) << tap.err();
  EXPECT_EQ(tap.stop(SIGTERM), 0) << tap.err();
  EXPECT_EQ(tap.err(), "");
}

TEST_F(TapNet, TrafficServerRefusesMalformedXdr) {
  ServerConn c;
  connect_pair(net->ns_a, &c);
  TapProc tap(net->ns_a, {"-R"}, {}, c.accepted, c.accepted);
  close(c.accepted);
  c.accepted = -1;
  const uint8_t bad[7] = {0, 0, 0, 100, 'a', 'b', 'c'};  // claims 100 bytes, sends 3
  ASSERT_EQ(send(c.client, bad, sizeof bad, 0), static_cast<ssize_t>(sizeof bad));
  shutdown(c.client, SHUT_WR);
  EXPECT_EQ(tap.wait_exit(10000), 99);
  EXPECT_EQ(tap.err(), "Invalid Traffic-Server params [XDR-decode failed on filter-expression]\n");
  char b;
  EXPECT_EQ(recv(c.client, &b, 1, 0), 0);  // nothing was sent back
}

}  // namespace
