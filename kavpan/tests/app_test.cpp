// Runs the built analyser on logs written here and checks what it prints:
// banners, event lines, selection, statistics and its handling of bad input.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capgen.h"
#include "testsupport.h"

using namespace capgen;

namespace {

constexpr int64_t T0 = 1765180800;  // Mon Dec  8 08:00:00 2025 UTC
const std::string kSep = "-------------------------------------------------------------";

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Standard output of a shell command.
std::string slurp_cmd(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

using vts::TempDir;

// Runs kavpan with the given switches on the given bytes as standard input.
Result kavpan(const std::string &args, const Bytes &input, const std::string &env = "") {
  TempDir dir;
  Result r;
  std::string in = dir.path() + "/in", out = dir.path() + "/out", err = dir.path() + "/err";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char *>(input.data()), std::streamsize(input.size()));
  }
  std::string cmd = "cd '" + dir.path() + "' && env TZ=UTC TOVATRC_FILENAME=/dev/null KAV_HOSTS_CACHE=0 " + env +
                    " " VELMORA_BIN_DIR "/kavpan " + args + " < in > out 2> err";
  int st = system(cmd.c_str());
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

std::vector<std::string> lines_with(const std::string &text, const std::string &needle) {
  std::vector<std::string> v;
  std::istringstream is(text);
  std::string line;
  while (std::getline(is, line))
    if (line.find(needle) != std::string::npos) v.push_back(line);
  return v;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) n++;
  return n;
}

// Text before the first occurrence of the marker (the marker included).
std::string upto(const std::string &text, const std::string &marker) {
  size_t p = text.find(marker);
  return p == std::string::npos ? text : text.substr(0, p + marker.size());
}

Session captured() {
  Session s;
  s.start = T0;
  s.snaplen = 1514;
  return s;
}

Bytes arp_frame() {
  return who_has(mac(1), ip4(192, 168, 7, 1), ip4(192, 168, 7, 20));
}

Bytes tcp_frame() {
  Tcp t = tcp_fields(51001, 80, 1000, 0, 0x02);
  uint32_t a = ip4(192, 168, 7, 1), b = ip4(192, 168, 7, 20);
  return ether(mac(2), mac(1), 0x0800, ipv4(a, b, 6, tcp4(a, b, t), 0x1c47));
}

// Frames at 08:00:00.125, :01.125, :02.125 ... then a stream error and the end.
LogWriter six_events(int nframes = 4) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  for (int i = 0; i < nframes; i++) w.frame(0, T0 + i, 125000, i % 2 ? tcp_frame() : arp_frame());
  const char *msg = "device went away";
  w.event(0, 2, T0 + nframes, 500000, Bytes(msg, msg + strlen(msg) + 1));
  Trailer t;
  t.duration = nframes + 2;
  t.frames = nframes;
  t.bytes = 60 * nframes;
  w.close(0, 4, T0 + nframes + 1, 750000, t);
  return w;
}

std::vector<std::string> evt_ids(const std::string &out) {
  std::vector<std::string> ids;
  for (const auto &l : lines_with(out, "- Evt=")) {
    size_t a = l.find("- Evt=") + 6;
    size_t b = l.find_first_of(" :", a);
    ids.push_back(l.substr(a, b - a));
  }
  return ids;
}

}  // namespace

// ---- session banners ---------------------------------------------------------

TEST(KavpanBanner, CapturedSessionExhaustive) {
  LogWriter w;
  w.loghdr(1);
  Session s = captured();
  s.filter = "tcp";
  w.session(s);
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string want =
      "Velmora: Packet Analyser 1.4.8\n"
      "Verbosity level is 4\n"
      "Input contains 1 packet-capture session\n"
      "\n" + kSep + "\n"
      "Session 1:\n"
      "Packet capture started Mon Dec  8 08:00:00 2025 (2)\n\n"
      "Hostname: velmora-lab\n"
      "Interface: eth0 (192.168.7.1)\n"
      "Subnet Mask: 0xFFFFFF00\t\tInterface MTU: 1500\n"
      "Link Type: Ethernet\n"
      "\nThe following packet-capture modes were in effect:\n"
      "- Promiscuous mode: On\n"
      "- Raw Data-Link capture mode: On\n"
      "- Snapshot length: 1514\n"
      "- Packet filter: tcp\n"
      "\n" + kSep + "\n\n"
      "Base time is Mon Dec  8 08:00:00 2025\n\n"
      "Analysis of interface events follows ...\n";
  EXPECT_EQ(upto(r.out, "follows ...\n"), want);
  EXPECT_NE(r.out.find("\nGot End-Of-File, after 235 bytes\n"), std::string::npos) << r.out;
}

TEST(KavpanBanner, CapturedSessionSummary) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  Result r = kavpan("-N", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Velmora: Packet Analyser 1.4.8\n"
            "Verbosity level is 2\n"
            "Input contains 1 packet-capture session\n"
            "- Session 1: Host=velmora-lab, Interface=eth0\n"
            "Base time is Mon Dec  8 08:00:00 2025\n\n"
            "\n");
}

TEST(KavpanBanner, AllInterfacesNonRawAndTwoSessions) {
  LogWriter w;
  w.loghdr(2);
  Session a = captured();
  a.ifname = "";
  a.host = "";
  a.capflags = 2 << 3;  // packet sockets, not raw, not promiscuous
  a.snaplen = 0;
  w.session(a);
  Session b = captured();
  b.start = T0 + 60;
  b.dlt = 5;
  b.ifname = "ppp0";
  w.session(b);
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Input contains 2 packet-capture sessions\n"), std::string::npos);
  EXPECT_NE(r.out.find("Session 1:\nPacket capture started Mon Dec  8 08:00:00 2025 (2)\n\n"
                       "Hostname: UNKNOWN\nInterface: ALL INTERFACES\n"
                       "\nThe following packet-capture modes were in effect:\n"
                       "- Promiscuous mode: Off\n- Raw Data-Link capture mode: Off\n"
                       "\nWARNING: In non-raw mode, we have to guess which protocol is layered above the MAC "
                       "layer.\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Link Type: HDLC\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nNB: Assuming the MAC protocol is actually PPP.\n"), std::string::npos);
  // The earliest session sets the base time.
  EXPECT_NE(r.out.find("Base time is Mon Dec  8 08:00:00 2025\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nCumulative Totals: Events=0  Packets=0  Bytes=0\n"), std::string::npos);

  Result s = kavpan("-N -v 1", w.out);
  EXPECT_NE(s.out.find("- Session 1: Host=UNKNOWN, Interface=ALL INTERFACES\n"
                       "- Session 2: Host=velmora-lab, Interface=ppp0\n"),
            std::string::npos)
      << s.out;
}

TEST(KavpanBanner, ImportedSessions) {
  LogWriter w;
  w.loghdr(2);
  Session a;
  a.host = "";
  a.ifname = "Tcpdump";
  a.start = T0;
  a.capflags = 1;
  a.ipaddr = 0;
  a.snaplen = 65535;
  w.session(a);
  Session b = a;
  b.ifname = "IP";
  b.dlt = 129;
  b.start = T0 + 5;
  w.session(b);
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string want1 = "\n" + kSep +
                      "\nSession 1:\n"
                      "Tcpdump logfile, imported Mon Dec  8 08:00:00 2025\n\n"
                      "Hostname: UNKNOWN\n"
                      "Interface: UNKNOWN\n"
                      "\nLink-layer protocol: Ethernet\n"
                      "\nThe following packet-capture modes were in effect:\n"
                      "- Promiscuous mode: Unknown\n"
                      "- Raw Data-Link capture mode: On\n"
                      "- Snapshot length: 65535\n";
  std::string want2 = "\n" + kSep +
                      "\nSession 2:\n"
                      "IP-sequence logfile, imported Mon Dec  8 08:00:05 2025\n\n"
                      "Hostname: UNKNOWN\n"
                      "Interface: UNKNOWN\n"
                      "\nLink-layer protocol: Raw IP\n";
  EXPECT_NE(r.out.find(want1), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(want2), std::string::npos) << r.out;
  Result s = kavpan("-N -v 1", w.out);
  EXPECT_EQ(count_of(s.out, "- Session 1: Host=UNKNOWN, Interface=UNKNOWN\n"), 1u) << s.out;
}

// An imported capture's session starts when it was imported, after its
// frames: the first frame's time becomes the base, so elapsed times are not
// negative.
TEST(KavpanBanner, ImportedCaptureBaseTimeIsFirstEvent) {
  LogWriter w;
  w.loghdr(1);
  Session s;
  s.host = "";
  s.ifname = "Tcpdump";
  s.start = T0;
  s.capflags = 1;
  w.session(s);
  w.frame(0, T0 - 7200, 250000, arp_frame());
  w.frame(0, T0 - 7199, 0, arp_frame());
  Result r = kavpan("-N", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Base time is Mon Dec  8 06:00:00 2025\n\n"), std::string::npos) << r.out;
  auto l = lines_with(r.out, "- Evt=");
  ASSERT_EQ(l.size(), 2u) << r.out;
  EXPECT_EQ(l[0].rfind("- Evt=1 (0.250000): ", 0), 0u) << l[0];
  EXPECT_EQ(l[1].rfind("- Evt=2 (1.000000): ", 0), 0u) << l[1];

  // A base time given with -b is kept as it is.
  Result b = kavpan("-N -b 251208-050000", w.out);
  EXPECT_NE(b.out.find("Base time is Mon Dec  8 05:00:00 2025\n\n"), std::string::npos) << b.out;
  EXPECT_NE(b.out.find("- Evt=1 (3600.250000): "), std::string::npos) << b.out;
}

// ---- event lines -------------------------------------------------------------

TEST(KavpanEvents, OnePrefixPerLineAtEachShortVerbosity) {
  LogWriter w = six_events();
  for (const char *v : {"1", "2", "3"}) {
    Result r = kavpan(std::string("-N -v ") + v, w.out);
    EXPECT_EQ(r.status, 0) << r.err;
    auto l = lines_with(r.out, "- Evt=");
    ASSERT_EQ(l.size(), 6u) << "verbosity " << v << "\n" << r.out;
    for (const auto &line : l) {
      EXPECT_EQ(line.rfind("- Evt=", 0), 0u) << line;
      EXPECT_EQ(count_of(line, "- Evt="), 1u) << line;
    }
    if (v[0] == '1') {
      EXPECT_EQ(l[0].rfind("- Evt=1: ", 0), 0u) << l[0];
      EXPECT_EQ(l[4], "- Evt=5: ERROR on Stream");
      EXPECT_EQ(l[5], "- Evt=6: END - packet-capture session terminated normally");
    } else {
      EXPECT_EQ(l[0].rfind("- Evt=1 (0.125000): ", 0), 0u) << l[0];
      EXPECT_EQ(l[3].rfind("- Evt=4 (3.125000): ", 0), 0u) << l[3];
      EXPECT_EQ(l[4], "- Evt=5 (4.500000): ERROR on Stream");
      EXPECT_EQ(l[5], "- Evt=6 (5.750000): END - packet-capture session terminated normally");
    }
  }
}

// Appends what fd delivers to got until got holds a whole line starting with
// prefix, or the output ends, or seconds pass; returns that line (empty if none).
std::string read_line_of(int fd, std::string &got, const std::string &prefix, int seconds) {
  for (int waited = 0;;) {
    size_t a = got.find(prefix);
    size_t e = a == std::string::npos ? a : got.find('\n', a);
    if (e != std::string::npos) return got.substr(a, e + 1 - a);
    if (waited >= seconds * 10) return "";
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      waited++;
      continue;
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return "";
    got.append(buf, size_t(n));
  }
}

// Live use, a capture piped through the analyser into another program: the
// text for a pipe is buffered, yet each event shows as soon as it is decoded,
// while the log is still open.
TEST(KavpanEvents, PipeOutputShowsEachEventWhileTheLogIsOpen) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    setenv("TZ", "UTC", 1);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    unsetenv("TOV_STDOUT_NOBUF");
    execl(VELMORA_BIN_DIR "/kavpan", "kavpan", "-N", "-v", "2", (char *)nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  signal(SIGPIPE, SIG_IGN);
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.frame(0, T0, 125000, tcp_frame());
  ASSERT_EQ(write(in[1], w.out.data(), w.out.size()), ssize_t(w.out.size()));
  std::string got;
  std::string first = read_line_of(out[0], got, "- Evt=1 ", 20);
  EXPECT_NE(got.find("Base time is Mon Dec  8 08:00:00 2025\n"), std::string::npos) << got;
  EXPECT_EQ(first.rfind("- Evt=1 (0.125000): ETH; IP: 192.168.7.1 -> 192.168.7.20", 0), 0u) << got;

  w.out.clear();
  w.frame(0, T0 + 1, 0, arp_frame());
  ASSERT_EQ(write(in[1], w.out.data(), w.out.size()), ssize_t(w.out.size()));
  std::string second = read_line_of(out[0], got, "- Evt=2 ", 20);
  EXPECT_EQ(second.rfind("- Evt=2 (1.000000): ETH", 0), 0u) << got;

  close(in[1]);
  size_t seen = got.size();
  read_line_of(out[0], got, "\x01", 20);  // to the end of the output
  std::string rest = got.substr(seen);
  close(out[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  EXPECT_EQ(rest.find("- Evt="), std::string::npos) << rest;
}

TEST(KavpanEvents, DeltaAndTimeOfDayForms) {
  LogWriter w = six_events();
  Result d = kavpan("-N -t", w.out);
  auto l = lines_with(d.out, "- Evt=");
  ASSERT_EQ(l.size(), 6u) << d.out;
  EXPECT_EQ(l[0].rfind("- Evt=1 (+0): ", 0), 0u) << l[0];
  EXPECT_EQ(l[1].rfind("- Evt=2 (+1,000,000): ", 0), 0u) << l[1];
  EXPECT_EQ(l[4], "- Evt=5 (+1,375,000): ERROR on Stream");
  Result t = kavpan("-N -T", w.out);
  l = lines_with(t.out, "- Evt=");
  ASSERT_EQ(l.size(), 6u) << t.out;
  EXPECT_EQ(l[2].rfind("- Evt=3 (08:00:02.125000): ", 0), 0u) << l[2];
  EXPECT_EQ(l[5], "- Evt=6 (08:00:05.750000): END - packet-capture session terminated normally");
}

TEST(KavpanEvents, ExhaustiveEventHeader) {
  LogWriter w = six_events();
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "- Evt="), 0u);
  // The first frame's data starts after the log, session and event headers.
  EXPECT_NE(r.out.find("\n=================== Event 1 (1) ==================== (pkt_off=271)\n"
                       "Session: 1\t\tTime: 08:00:00.125000 (Dec08 2025)\n"
                       "\t0.125000 seconds elapsed, Delta = +0 microseconds\n"
                       "Packet 1 (1) arrived\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n=================== Event 5 (5) ==================== (pkt_off=671)\n"
                       "Session: 1\t\tTime: 08:00:04.500000 (Dec08 2025)\n"
                       "\t4.500000 seconds elapsed, Delta = +1,375,000 microseconds\n"
                       "\nERROR on Stream\n"),
            std::string::npos)
      << r.out;
}

TEST(KavpanEvents, UnknownTimeAndSnapshotCut) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.event(0, 2, 0, 0, text("x"));
  Bytes f = tcp_frame();
  w.frame(0, T0 + 1, 0, f, 1514);
  Result r = kavpan("-N", w.out);
  auto l = lines_with(r.out, "- Evt=");
  ASSERT_EQ(l.size(), 2u) << r.out;
  EXPECT_EQ(l[0], "- Evt=1 (0): ERROR on Stream");
  Result v = kavpan("-N -v 4", w.out);
  EXPECT_NE(v.out.find("Session: 1\t\tTime: Unknown\n"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("Session: 1\t\tTime: 08:00:01. (Dec08 2025)\n"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("Packet 1 (1) arrived ... truncated by 1454 bytes, from 1514\n"), std::string::npos)
      << v.out;
}

// ---- selection ---------------------------------------------------------------

TEST(KavpanSelect, EventNumbers) {
  LogWriter w = six_events();
  EXPECT_EQ(evt_ids(kavpan("-N", w.out).out), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(evt_ids(kavpan("-N -e 2,4-5", w.out).out), (std::vector<std::string>{"2", "4", "5"}));
  EXPECT_EQ(evt_ids(kavpan("-N -e ' 3 - 0 '", w.out).out), (std::vector<std::string>{"3", "4", "5", "6"}));
  EXPECT_EQ(evt_ids(kavpan("-N -e 6", w.out).out), (std::vector<std::string>{"6"}));
  EXPECT_EQ(evt_ids(kavpan("-N -e 0-2", w.out).out), (std::vector<std::string>{"1", "2"}));
}

// Event 0 is the log header: -e 0 prints banners and statistics, no events.
TEST(KavpanSelect, EventZeroIsTheHeaderAlone) {
  LogWriter w = six_events();
  Result r = kavpan("-N -v 4 -e 0", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "=== Event"), 0u) << r.out;
  EXPECT_NE(r.out.find("Base time is Mon Dec  8 08:00:00 2025\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n\nStatistics for each session:\n"), std::string::npos) << r.out;
  Result s = kavpan("-N -e 0", w.out);
  EXPECT_EQ(count_of(s.out, "- Evt="), 0u) << s.out;
}

TEST(KavpanSelect, BadEventLists) {
  LogWriter w = six_events();
  struct {
    const char *args, *msg;
  } cases[] = {
      {"-e 3-1", "Invalid command-line [Invalid '-e' switch: min=3 > max=1]"},
      {"-e 5,3", "Invalid command-line [Invalid '-e' switch: overlapping ranges: 5-5, 3-3]"},
      {"-e 2-0,7", "Invalid command-line [Invalid '-e' switch: overlapping ranges: 2-0, 7-7]"},
      {"-e 1,x-4", "Invalid command-line [Invalid '-e' switch - non-numeric event ID: x-4]"},
      {"-e 1 -E 0", "Invalid command-line [Can't combine the '-e' and 'E' switches]"},
      {"-E 2512080800", "Invalid command-line [Missing ':' in YYMMDD:hhmmss timestamp (2512080800)]"},
  };
  for (const auto &c : cases) {
    Result r = kavpan(std::string("-N ") + c.args, w.out);
    EXPECT_EQ(r.status, 99) << c.args;
    EXPECT_NE(r.err.find(c.msg), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(count_of(r.out, "Verbosity level"), 0u) << c.args;
  }
}

TEST(KavpanSelect, ByTime) {
  LogWriter w = six_events();
  EXPECT_EQ(evt_ids(kavpan("-N -E 251208:080001-251208:080002", w.out).out),
            (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(evt_ids(kavpan("-N -E '251208:080000, 251208:080004-0'", w.out).out),
            (std::vector<std::string>{"1", "5", "6"}));
}

TEST(KavpanSelect, BaseTime) {
  LogWriter w = six_events();
  Result r = kavpan("-N -b 251208-070000", w.out);
  EXPECT_NE(r.out.find("Base time is Mon Dec  8 07:00:00 2025\n\n"), std::string::npos) << r.out;
  EXPECT_EQ(lines_with(r.out, "- Evt=1 ")[0].rfind("- Evt=1 (3600.125000): ", 0), 0u);

  Result late = kavpan("-N -b 251208-090000", w.out);
  EXPECT_NE(late.out.find("Selected base time (Mon Dec  8 09:00:00 2025) more recent than earliest session "
                          "(Mon Dec  8 08:00:00 2025)\n"),
            std::string::npos)
      << late.out;
  EXPECT_EQ(count_of(late.out, "- Evt="), 0u);
  EXPECT_EQ(count_of(late.out, "Base time is"), 0u);

  Result bad = kavpan("-N -b 251208:070000", w.out);
  EXPECT_NE(bad.err.find("Invalid switch: '-b 251208:070000' (bad format)"), std::string::npos) << bad.err;
  bad = kavpan("-N -b 25120x-070000", w.out);
  EXPECT_NE(bad.err.find("Invalid switch: '-b 25120x-070000' - non-numeric"), std::string::npos) << bad.err;
  bad = kavpan("-N -b 251308-070000", w.out);
  EXPECT_NE(bad.err.find("Invalid switch: '-b 251308-070000' - invalid date/time"), std::string::npos) << bad.err;
  // Two-digit years: 99 is 1999, 01 is 2001 (both before the session).
  EXPECT_NE(kavpan("-N -b 991231-235959", w.out).out.find("Base time is Fri Dec 31 23:59:59 1999"),
            std::string::npos);
  EXPECT_NE(kavpan("-N -b 010101-000000", w.out).out.find("Base time is Mon Jan  1 00:00:00 2001"),
            std::string::npos);
}

TEST(KavpanSelect, FilterSkipsOtherEventsAndCounts) {
  LogWriter w = six_events();
  Result r = kavpan("-N -f '  (TCP)\t\n'", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(evt_ids(r.out), (std::vector<std::string>{"2", "4"}));
  EXPECT_NE(r.out.find("\n\n2/4 packets matched the kavpan filter\n"), std::string::npos) << r.out;
}

// ---- statistics ----------------------------------------------------------------

TEST(KavpanStats, ThousandsSeparators) {
  LogWriter w;
  w.loghdr(2);
  w.session(captured());
  Session b = captured();
  b.ifname = "eth1";
  w.session(b);
  w.frame(0, T0, 1, tcp_frame());
  Trailer t;
  t.duration = 3661;
  t.frames = 1234567;
  t.bytes = 9876543210;
  t.rejected = 1000;
  t.rejbytes = 64000;
  w.close(0, 4, T0 + 3661, 0, t);
  Trailer u;
  u.frames = 12;
  u.bytes = 999;
  u.rejected = -1;
  w.close(1, 3, T0 + 5, 0, u, "interface gone");
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n\nStatistics for each session:\n"
                       "\nSession 1: Events=2  Packets=1,234,567  Bytes=9,876,543,210  Duration=01:01:01\n"
                       "\tRejected Traffic: Packets=1,000  Bytes=64,000\n"
                       "\nSession 2: Events=1  Packets=12  Bytes=999  Duration=00:00:00\n"
                       "\tRejected Traffic: Packets=unknown  Bytes=unknown\n"
                       "\nCumulative Totals: Events=3  Packets=1,234,579  Bytes=9,876,544,209\n"),
            std::string::npos)
      << r.out;
  Result s = kavpan("-N", w.out);
  auto l = lines_with(s.out, "- Evt=");
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[2], "- Evt=3 (5.000000): FATAL Error - packet-capture session abandoned");
}

// ---- start-up failures and log errors ----------------------------------------------

TEST(KavpanErrors, BadFilterEndsBeforeReading) {
  LogWriter w = six_events();
  Result r = kavpan("-N -f 'TCP SD=80 & IP'", w.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Bad filter expression - ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "Velmora: Packet Analyser 1.4.8\n");
  // The shorthand form may not follow a filter switch.
  Result s = kavpan("-N -f '(TCP)' 10.0.0.1", w.out);
  EXPECT_EQ(s.status, 99);
  EXPECT_NE(s.err.find("Shortcut filter, '10.0.0.1', can't be combined with standard filter switch"),
            std::string::npos)
      << s.err;
}

TEST(KavpanErrors, SwitchConflictsAndValues) {
  LogWriter w = six_events();
  struct {
    const char *args, *msg;
  } cases[] = {
      {"-n -N", "Can't combine the '-n' and 'N' switches"},
      {"-N -n", "Can't combine the '-n' and 'N' switches"},
      {"-N -T -t", "Can't combine the '-t' and 'T' switches"},
      {"-N -v 5", "Invalid switch: '-v 5' - must be 1-4"},
      {"-N -l x", "Invalid switch: '-l x' - must be numeric"},
      {"-N -u bogus", "Unrecognised '-u' value [bogus]"},
      {"-N -k 2", "Invalid switch: '-k' - invalid workaround id (2)"},
      {"-N -x Bogus", "Invalid '-x' value: 'Bogus'"},
  };
  for (const auto &c : cases) {
    Result r = kavpan(c.args, w.out);
    EXPECT_EQ(r.status, 99) << c.args;
    EXPECT_NE(r.err.find(std::string("Invalid command-line [") + c.msg + "]"), std::string::npos)
        << c.args << "\n" << r.err;
  }
  EXPECT_EQ(kavpan("-N -u ssl -l 40 -k 1 -d", w.out).status, 0);
}

TEST(KavpanErrors, UsageText) {
  Result r = kavpan("-h", {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("\nVelmora: Packet Analyser 1.4.8\nUSAGE:\n"
                        "kavpan [-n | -N] [-v level] [{-e | -E} event-list] [-b YYMMDD-hhmmss] [-d] \\\n"
                        "\t[-t | T] [{-u | -U} proto] [-l len] [-f expr | -F filename] \\\n",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("      Numeric <proto> means use that TCP/UDP port, else use one of these:\n"
                       "        RPC, ASN1, X509CERT, X509CRL, SSL, TEXT\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("  -k: Various workarounds, to handle OS bugs, etc. Valid IDs are:\n"
                       "      1: byte-swap Ethernet Type/Length field (eg. dp has this the wrong way\n"
                       "         round, on Solaris x86).\n  -h: Display this usage synopsis.\n\n"),
            std::string::npos);
  EXPECT_EQ(count_of(r.out, "Verbosity level"), 0u);
}

TEST(KavpanErrors, LogHeaderFailures) {
  Result empty = kavpan("-N", {});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("Logfile: 15-byte Read failed", 0), 0u) << empty.err;

  LogWriter w;
  w.loghdr(1, 2, 1);
  w.session(captured());
  Result major = kavpan("-N", w.out);
  EXPECT_EQ(major.status, 1);
  EXPECT_NE(major.err.find("Logfile: Different logfile major version (3.1 vs file=2.1) - can't continue"),
            std::string::npos)
      << major.err;

  LogWriter s;
  s.loghdr(2);
  s.session(captured());
  Bytes cut = s.out;
  cut.resize(cut.size() + 100, 0);  // second session header cut short
  Result ses = kavpan("-N", cut);
  EXPECT_EQ(ses.status, 1);
  EXPECT_EQ(ses.err.rfind("Logfile session 2: 216-byte Read failed", 0), 0u) << ses.err;
}

TEST(KavpanErrors, LogEndsInsideEventData) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.frame(0, T0, 0, arp_frame());
  w.frame(0, T0 + 1, 0, tcp_frame());
  w.frame(0, T0 + 2, 0, tcp_frame());
  Bytes cut(w.out.begin(), w.out.end() - 20);
  Result r = kavpan("-N -v 4", cut);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nLogfile Error: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Read failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nAborted log-file analysis, due to fatal error\n"), std::string::npos);
  // Statistics are still printed.
  EXPECT_NE(r.out.find("\nSession 1: Events=2  Packets=2  Bytes=120"), std::string::npos) << r.out;
}

TEST(KavpanErrors, CorruptSessionIndex) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.frame(0, T0, 0, arp_frame());
  w.frame(3, T0, 0, arp_frame());
  Result r = kavpan("-N", w.out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(evt_ids(r.out), (std::vector<std::string>{"1"}));
  EXPECT_NE(r.out.find("\nLogfile Error: Log file is corrupt, got ses_id=3 on evt 1\n"), std::string::npos)
      << r.out;

  // Also when the very first event is the bad one (read ahead for the base time).
  LogWriter f;
  f.loghdr(1);
  f.session(captured());
  f.frame(5, T0, 0, arp_frame());
  Result first = kavpan("-N -v 4", f.out);
  EXPECT_EQ(first.status, 1);
  EXPECT_NE(first.out.find("\nLogfile Error: Log file is corrupt, got ses_id=5 on evt 0\n"), std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("\nSession 1: Events=0"), std::string::npos) << first.out;
}

TEST(KavpanErrors, TruncatedEventIsDecodedAndReadingGoesOn) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  Bytes big = tcp_frame();
  big.resize(20000, 0x55);
  w.frame(0, T0, 0, big);
  w.frame(0, T0 + 1, 0, arp_frame());
  Result r = kavpan("-N -v 4", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nWARNING: Event #1:0 truncated by 3000 bytes\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Packet 1 (1) arrived ... truncated by 3000 bytes, from 20000\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("=================== Event 2 (2) ===================="), std::string::npos);
  Result s = kavpan("-N", w.out);
  EXPECT_EQ(evt_ids(s.out), (std::vector<std::string>{"1", "2"}));
}

// ---- the bundled sample ----------------------------------------------------------

TEST(KavpanSample, DecodesEveryFrameAtEachVerbosity) {
  std::ifstream f(VELMORA_SOURCE_DIR "/samples/sample.kav", std::ios::binary);
  ASSERT_TRUE(f.good());
  Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  for (const char *v : {"1", "2", "3"}) {
    Result r = kavpan(std::string("-N -v ") + v, in);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_with(r.out, "- Evt=").size(), 18u) << r.out;
  }
  Result r = kavpan("-N -v 4", in);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "=== Event "), 18u);
  EXPECT_NE(r.out.find("\nSession 1: Events=18  Packets=17  Bytes="), std::string::npos) << r.out;
}

// The application-layer switches on the sample: -l, -u, -U and -d.
TEST(KavpanSample, ApplicationSwitches) {
  std::ifstream f(VELMORA_SOURCE_DIR "/samples/sample.kav", std::ios::binary);
  ASSERT_TRUE(f.good());
  Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  Result r = kavpan("-N -v 2", in);
  EXPECT_EQ(lines_with(r.out, "data=48 [GET /index.html...]; ").size(), 1u) << r.out;
  EXPECT_EQ(lines_with(r.out, "[QRY - 1,0,0,0]").size(), 1u);
  EXPECT_EQ(lines_with(r.out, "UDP: 5353->5353; data=33 []; ").size(), 1u);
  r = kavpan("-N -v 2 -l 4", in);
  EXPECT_EQ(lines_with(r.out, "data=48 [GET ...]; ").size(), 1u) << r.out;
  EXPECT_EQ(lines_with(r.out, "data=77 [HTTP...]; ").size(), 2u);
  r = kavpan("-N -v 2 -u 53", in);  // the multicast DNS port has no decoder of its own
  EXPECT_EQ(lines_with(r.out, "[QRY - 1,0,0,0]").size(), 2u) << r.out;
  r = kavpan("-N -v 2 -U text", in);  // every payload as text, DNS included
  EXPECT_EQ(lines_with(r.out, "[QRY - ").size(), 0u) << r.out;
  EXPECT_EQ(lines_with(r.out, "UDP: 51000->53; data=33 [<\\276><\\357><^A>]; ").size(), 1u) << r.out;
  r = kavpan("-N -v 4", in, "KAV_DUMPFMT=HEX");
  EXPECT_NE(r.out.find("\nText format\nGET /index.html HTTP/1.0\r\n"), std::string::npos);
  r = kavpan("-N -v 4 -d", in, "KAV_DUMPFMT=HEX");
  EXPECT_EQ(r.out.find("\nText format\nGET /index.html"), std::string::npos);
  EXPECT_NE(r.out.find("Hexadecimal format, 25 octets per row\n0001: 47 45 54 20 2F"), std::string::npos) << r.out;
}

// ---- environment, workarounds, filter files, hostile logs -----------------------

TEST(KavpanInput, ForcedLinkTypeAndMinorVersion) {
  LogWriter w;
  w.loghdr(1, 3, 2);
  w.session(captured());
  w.frame(0, T0, 0, arp_frame());
  Result r = kavpan("-N -v 4", w.out, "KAV_ALL_IFS_LINKTYPE=9");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("WARNING: Different logfile minor version (1 vs file=2) ... will try to continue"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Link Type: Other\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nWARNING: Unsupported MAC protocol=9\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nCompletely unrecognised packet type\n"), std::string::npos) << r.out;
}

// Workaround 1 puts back an Ethernet type that was logged byte-swapped.
TEST(KavpanInput, SwappedEthernetTypeWorkaround) {
  Bytes f = tcp_frame();
  std::swap(f[12], f[13]);
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.frame(0, T0, 0, f);
  std::string plain = lines_with(kavpan("-N", w.out).out, "- Evt=1 ")[0];
  std::string fixed = lines_with(kavpan("-N -k 1", w.out).out, "- Evt=1 ")[0];
  EXPECT_EQ(plain.find("192.168.7.1 -> 192.168.7.20"), std::string::npos) << plain;
  EXPECT_NE(fixed.find("192.168.7.1 -> 192.168.7.20"), std::string::npos) << fixed;
}

TEST(KavpanInput, FilterFromFile) {
  TempDir dir;
  std::string path = dir.path() + "/filter";
  {
    std::ofstream f(path);
    f << "(ARP)\n  |\n(TCP)\n";
  }
  LogWriter w = six_events();
  Result r = kavpan("-N -F " + path, w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(evt_ids(r.out), (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_NE(r.out.find("\n4/4 packets matched the kavpan filter\n"), std::string::npos);
  Result missing = kavpan("-N -F " + dir.path() + "/nothing", w.out);
  EXPECT_EQ(missing.status, 99);
  EXPECT_NE(missing.err.find("Invalid command-line [open(" + dir.path() + "/nothing) failed, errno=2"),
            std::string::npos)
      << missing.err;
  Result both = kavpan("-N -f '(TCP)' -F " + path, w.out);
  EXPECT_NE(both.err.find("Can't combine the '-f' and 'F' switches"), std::string::npos) << both.err;
}

// Damaged logs end in a message, never in a crash, a hang or a sanitizer report.
TEST(KavpanInput, MutatedLogsNeverCrash) {
  std::ifstream f(VELMORA_SOURCE_DIR "/samples/sample.kav", std::ios::binary);
  ASSERT_TRUE(f.good());
  Bytes base((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  uint32_t seed = 12345;
  auto rnd = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int i = 0; i < 60; i++) {
    Bytes m = base;
    int flips = 1 + int(rnd() % 8);
    for (int k = 0; k < flips; k++) {
      size_t at = rnd() % m.size();
      m[at] = uint8_t(i % 3 == 0 ? 0xff : rnd());
    }
    if (i % 5 == 0) m.resize(rnd() % m.size());
    for (const char *v : {"-N -v 2", "-N -v 4"}) {
      Result r = kavpan(v, m);
      EXPECT_TRUE(r.status == 0 || r.status == 1) << "case " << i << " " << v << " status " << r.status << "\n"
                                                  << r.err;
      EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << "case " << i << "\n" << r.err;
      EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << "case " << i << "\n" << r.err;
    }
  }
}

TEST(KavpanInput, UnknownEventTypeIsDumped) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  w.event(0, 9, T0, 0, Bytes{0x41, 0x42, 0x00, 0x43});
  Result r = kavpan("-N", w.out);
  EXPECT_EQ(r.status, 0) << r.err;
  auto l = lines_with(r.out, "- Evt=");
  ASSERT_EQ(l.size(), 1u) << r.out;
  EXPECT_EQ(l[0].rfind("- Evt=1 (0.000000): ??? - unrecognised event, 9 (4 octets)", 0), 0u) << l[0];
  Result v = kavpan("-N -v 4", w.out);
  EXPECT_NE(v.out.find("\n??? - unrecognised event, 9 (4 octets)\n"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("Decimal format, 16 octets per row\n0001: 065 066 000 067\n"), std::string::npos) << v.out;
}

// ---- with the suite's importer --------------------------------------------------

namespace {

bool have_importer() { return access(VELMORA_BIN_DIR "/kav_import", X_OK) == 0; }

// Imports a pcap file; empty when the importer refuses it.
Bytes import_pcap(const std::string &pcap) {
  TempDir dir;
  std::string out = dir.path() + "/log";
  std::string cmd = "env TOVATRC_FILENAME=/dev/null " VELMORA_BIN_DIR "/kav_import -x Tcpdump < '" + pcap +
                    "' > '" + out + "' 2>/dev/null";
  if (system(cmd.c_str()) != 0) return {};
  std::string s = slurp(out);
  return Bytes(s.begin(), s.end());
}

}  // namespace

// An imported capture starts "now", long after its frames: the banner says so
// and the times are counted from the first frame.
TEST(KavpanImported, RealImportKeepsElapsedTimesPositive) {
  VTS_REQUIRE(have_importer(), "kav_import is not built");
  TempDir dir;
  std::string pcap = dir.path() + "/in.pcap";
  {
    FILE *f = fopen(pcap.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    PcapWriter pw(f);
    for (int i = 0; i < 30; i++) pw.frame(T0 + i / 10, (i % 10) * 100000 + 7, mixed_frame(uint64_t(i)));
    fclose(f);
  }
  Bytes log = import_pcap(pcap);
  ASSERT_FALSE(log.empty());
  Result r = kavpan("-N -v 4 -e 0", log);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nSession 1:\nTcpdump logfile, imported "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nBase time is Mon Dec  8 08:00:00 2025\n\n"), std::string::npos) << r.out;
  Result s = kavpan("-N", log);
  auto l = lines_with(s.out, "- Evt=");
  ASSERT_EQ(l.size(), 31u) << s.out;  // 30 frames and the end of the session
  EXPECT_EQ(l[0].rfind("- Evt=1 (0.000007): ", 0), 0u) << l[0];
  EXPECT_EQ(l[29].rfind("- Evt=30 (2.900007): ", 0), 0u) << l[29];
  for (const auto &line : l) EXPECT_EQ(line.find("(-"), std::string::npos) << line;
}

// A sample of the real captures, damaged ones included, goes through the
// importer and the analyser at verbosity 2 and 4 without a crash.
TEST(KavpanImported, CorpusSampleDecodes) {
  VTS_REQUIRE(have_importer(), "kav_import is not built");
  std::string corpus = vts::corpus_dir();
  VTS_REQUIRE(access(corpus.c_str(), R_OK) == 0, "no corpus at " << corpus);
  std::string list = slurp_cmd("ls '" + corpus + "' | grep -E '\\.pcap$' | awk 'NR % 9 == 1'");
  std::istringstream is(list);
  std::string name;
  int decoded = 0;
  while (std::getline(is, name)) {
    Bytes log = import_pcap(corpus + "/" + name);
    if (log.empty()) continue;
    for (const char *v : {"-N -v 2", "-N -v 4"}) {
      Result r = kavpan(v, log);
      EXPECT_TRUE(r.status == 0 || r.status == 1) << name << " " << v << " status " << r.status << "\n" << r.err;
      EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << name << "\n" << r.err;
      EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << name << "\n" << r.err;
      EXPECT_NE(r.out.find("Base time is "), std::string::npos) << name;
    }
    decoded++;
  }
  EXPECT_GT(decoded, 20);
}

// ---- raw-IP sessions and encapsulations through the run loop -------------------

TEST(KavpanEncap, RawIpSessionByVersionNibbleAndTaggedFilter) {
  LogWriter w;
  w.loghdr(2);
  Session raw = captured();
  raw.dlt = 129;  // raw IP: IPv4, IPv6 and anything else in one session
  raw.capflags = 0;
  w.session(raw);
  w.session(captured());
  uint32_t a = ip4(192, 168, 7, 1), b = ip4(192, 168, 7, 20);
  Ip6 s6 = ip6(1), d6 = ip6(2);  // fd00::1 -> fd00::2
  w.frame(0, T0, 0, ipv4(a, b, 17, udp4(a, b, 5000, 7, text("v4"))));
  w.frame(0, T0 + 1, 0, ipv6(s6, d6, 17, udp6(s6, d6, 5000, 7, text("v6"))));
  w.frame(0, T0 + 2, 0, Bytes{0x11, 0x22, 0x33});
  // A VLAN-tagged TCP segment to port 80 on the Ethernet session.
  Bytes tcp = tcp_frame();
  Bytes tagged(tcp.begin(), tcp.begin() + 12);
  Bytes tag = {0x81, 0x00, 0x00, 0x64};
  tagged.insert(tagged.end(), tag.begin(), tag.end());
  tagged.insert(tagged.end(), tcp.begin() + 12, tcp.end());
  w.frame(1, T0 + 3, 0, tagged);
  Trailer t;
  t.frames = 3;
  w.close(0, 4, T0 + 4, 0, t);
  t.frames = 1;
  w.close(1, 4, T0 + 4, 0, t);
  Result r = kavpan("-v 2", w.out);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> ip = lines_with(r.out, "IP: 192.168.7.1 -> 192.168.7.20");
  EXPECT_EQ(ip.size(), 2u) << r.out;
  EXPECT_EQ(lines_with(r.out, "- Evt=2 (1.000000): IPv6; UDP: 5000->ECHO; data=2 []; ").size(), 1u) << r.out;
  EXPECT_EQ(lines_with(r.out, "- Evt=3 (2.000000): data=3; ").size(), 1u) << r.out;
  EXPECT_EQ(lines_with(r.out, "802.1Q vlan=100; IP: 192.168.7.1 -> 192.168.7.20").size(), 1u) << r.out;
  // The filter sees through the tag: only the tagged segment is selected.
  Result f = kavpan("-v 2 -f 'TCP SD=80'", w.out);
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(evt_ids(f.out).size(), 1u) << f.out;
  EXPECT_EQ(lines_with(f.out, "802.1Q vlan=100").size(), 1u) << f.out;
  Result g = kavpan("-v 2 -f 'IPv6 SRC=fd00::/8'", w.out);
  ASSERT_EQ(g.status, 0) << g.err;
  EXPECT_EQ(evt_ids(g.out).size(), 1u) << g.out;
}

// ---- application decoders that need the start-up caches --------------------------

namespace {

// One UDP datagram from a client port to the given service port.
LogWriter one_udp(uint16_t dport, const Bytes &payload) {
  LogWriter w;
  w.loghdr(1);
  w.session(captured());
  uint32_t a = ip4(192, 168, 7, 1), b = ip4(192, 168, 7, 20);
  w.frame(0, T0, 0, ether(mac(2), mac(1), 0x0800, ipv4(a, b, 17, udp4(a, b, 40000, dport, payload))));
  Trailer t;
  t.frames = 1;
  w.close(0, 4, T0 + 1, 0, t);
  return w;
}

// SNMPv1 get-request for sysName.0 from community "public".
const Bytes kSnmpGet = {0x30, 0x26, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',  'u',  'b',  'l',  'i',  'c',  0xa0,
                        0x19, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0e, 0x30, 0x0c,
                        0x06, 0x08, 0x2b, 0x06, 0x01, 0x02, 0x01, 0x01, 0x05, 0x00, 0x05, 0x00};

}  // namespace

TEST(KavpanRpcBer, OidMapFromTheConfigurationDirectory) {
  TempDir conf;
  // The map's last line has no newline: it is loaded all the same.
  std::ofstream(conf.path() + "/oids.map") << "# names\n1.3.6.1.2.1.1.5 = sysName";
  Bytes log = one_udp(161, kSnmpGet).out;
  Result r = kavpan("-n -v 4", log, "TOVADIR=" + conf.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("SNMP:           1.3.6.1.2.1.1.5.0\nSNMP:           sysName.0\n"), std::string::npos) << r.out;
  r = kavpan("-n", log, "TOVADIR=" + conf.path());
  EXPECT_NE(r.out.find("data=40 [Get-Request]"), std::string::npos) << r.out;
  // Without a map OIDs stay dotted and start-up goes on.
  r = kavpan("-n -v 4", log, "TOVADIR=" + conf.path() + "/none");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("sysName"), std::string::npos) << r.out;
  // A map the cache cannot take ends start-up.
  std::ofstream(conf.path() + "/oids.map") << "1.3.x = bad\n";
  r = kavpan("-n -v 4", log, "TOVADIR=" + conf.path());
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err, "Failed to cache OIDs - see logfile\n");
}

TEST(KavpanRpcBer, ProtocolMapPseudoProtocols) {
  Bytes log = one_udp(161, kSnmpGet).out;
  Result r = kavpan("-n -v 4 -U ASN1", log);
  EXPECT_NE(r.out.find("ASN.1: {Universal (C), Tag=16 (Sequence), Len=1:1:38, Seq=0.0\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("SNMP:"), std::string::npos) << r.out;
  r = kavpan("-n -v 4 -U X509CERT", log);
  EXPECT_NE(r.out.find("X509: {Universal (C), Tag=16 (Sequence), Len=1:1:38, Seq=0.0\n"), std::string::npos) << r.out;
  // An RPC call on a port of no decoder of its own, through -u RPC.
  Bytes call = {0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0x86, 0xa0, 0, 0, 0, 2, 0, 0, 0, 3,
                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x86, 0xa3, 0, 0, 0, 3,
                0, 0, 0, 17, 0, 0, 0, 0};
  log = one_udp(5555, call).out;
  r = kavpan("-n -u RPC", log);
  EXPECT_NE(r.out.find("RPC C=9, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(".2.GetPort]"), std::string::npos) << r.out;
  r = kavpan("-n", log);
  EXPECT_EQ(r.out.find("RPC C=9"), std::string::npos) << r.out;
}

// DER on standard input through -r and a pseudo-protocol: the X.509 schema
// for X509CERT, the generic walk for ASN1.
TEST(KavpanRpcBer, RawDerFromStandardInput) {
  // A version 1 certificate: serial 7, sha256WithRSAEncryption, CN=a as issuer and subject.
  const Bytes cert = {
      0x30, 0x78, 0x30, 0x63, 0x02, 0x01, 0x07, 0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01,
      0x01, 0x0b, 0x05, 0x00, 0x30, 0x0c, 0x31, 0x0a, 0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x13, 0x01, 0x61,
      0x30, 0x1e, 0x17, 0x0d, 0x32, 0x35, 0x30, 0x31, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x5a, 0x17,
      0x0d, 0x32, 0x36, 0x30, 0x31, 0x30, 0x31, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x5a, 0x30, 0x0c, 0x31, 0x0a,
      0x30, 0x08, 0x06, 0x03, 0x55, 0x04, 0x03, 0x13, 0x01, 0x61, 0x30, 0x13, 0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86,
      0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x02, 0x00, 0xff, 0x30, 0x0d, 0x06, 0x09, 0x2a,
      0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b, 0x05, 0x00, 0x03, 0x02, 0x00, 0xaa};
  TempDir conf;
  std::ofstream(conf.path() + "/oids.map") << "2.5.4.3 = commonName\n";
  Result r = kavpan("-r X509CERT -v 4", cert, "TOVADIR=" + conf.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n122-octet PDU follows:\n\n"
                       "X509: {Universal (C), Tag=16 (Sequence), Len=1:1:120, Seq=0.0\n"
                       "X509:   {Universal (C), Tag=16 (Sequence), Len=1:1:99, Seq=1.0  -- signed object\n"
                       "X509:     {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=2.0  -- serialNumber\n"
                       "X509:       7 (0x7)\n"),
            std::string::npos)
      << r.out;
  for (const char *field : {"  -- signature\n", "  -- issuer\n", "X509:             commonName\n", "  -- validity\n",
                            "  -- subject\n", "  -- subjectPublicKeyInfo\n", "  -- algorithmID\n", "  -- encryptedHash\n"})
    EXPECT_NE(r.out.find(field), std::string::npos) << field << "\n" << r.out;
  r = kavpan("-r ASN1 -v 4", Bytes{0x30, 0x03, 0x02, 0x01, 0x05});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("ASN.1: {Universal (C), Tag=16 (Sequence), Len=1:1:3, Seq=0.0\n"
                       "ASN.1:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0\n"
                       "ASN.1:     5 (0x5)\nASN.1:   }\nASN.1: }\n"),
            std::string::npos)
      << r.out;
  // Cut short: the walk says so and the program ends normally.
  r = kavpan("-r X509CERT -v 4", Bytes(cert.begin(), cert.begin() + 40));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("*** WARNING: Following PDU truncated in Data field (120 -> 40) ***"), std::string::npos) << r.out;
}
