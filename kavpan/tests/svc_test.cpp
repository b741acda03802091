// The services around the analyser's run loop: export of a log into snoop,
// pcap, IP and Ethernet files (checked byte for byte and through tcpdump and
// tshark), trigger scripts (observed through the files they write) and the
// decoding of one raw packet.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capgen.h"
#include "pansvc.h"
#include "testsupport.h"
#include "runner.h"

using namespace capgen;
using vts::TempDir;
using vts::readFile;
using vts::writeFile;

namespace {

constexpr int64_t T0 = 1765180800;  // Mon Dec  8 08:00:00 2025 UTC

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// Also true for a symbolic link, whatever it points at.
bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Standard output of a shell command line.
std::string sh_out(const std::string &cmd) { return vts::run("/bin/sh", {"-c", cmd}).out; }

struct Outcome {
  int status = -1;
  std::string out, err;
  std::string pid;  // the analyser's process id
  std::shared_ptr<TempDir> dir;
  std::string file(const std::string &name) const { return dir->path() + "/" + name; }
};

// Runs the analyser in a fresh directory D (also its TMPDIR) on the given
// standard input. The switches and the environment may name the directory
// as @D; pre is shell text run first in the same process ($$ is the
// analyser's process id).
Outcome kavpan(const std::string &args, const std::string &input, const std::string &env = "",
           const std::string &pre = "") {
  Outcome r;
  r.dir = std::make_shared<TempDir>();
  const std::string &d = r.dir->path();
  auto subst = [&](std::string s) {
    for (size_t p; (p = s.find("@D")) != std::string::npos;) s.replace(p, 2, d);
    return s;
  };
  writeFile(d + "/in", input);
  writeFile(d + "/run.sh", "echo $$ > '" + d + "/pid'\n" + subst(pre) + "\nexec env TZ=UTC TOVATRC_FILENAME=/dev/null " +
                          "KAV_HOSTS_CACHE=0 TMPDIR='" + d + "' env " + subst(env) + " " VELMORA_BIN_DIR "/kavpan " +
                          subst(args) + " < '" + d + "/in' > '" + d + "/out' 2> '" + d + "/err'\n");
  int st = system(("sh '" + d + "/run.sh'").c_str());
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = readFile(d + "/out");
  r.err = readFile(d + "/err");
  r.pid = readFile(d + "/pid");
  while (!r.pid.empty() && r.pid.back() == '\n') r.pid.pop_back();
  return r;
}

// ---- frames and logs ----------------------------------------------------------------

const uint32_t HA = ip4(192, 168, 7, 1), HB = ip4(192, 168, 7, 20);

// 61 octets: Ethernet + IPv4 + UDP + 19 octets of payload, no padding.
Bytes udp61() {
  return ether(mac(2), mac(1), 0x0800, ipv4(HA, HB, 17, udp4(HA, HB, 40000, 9999, Bytes(19, 'u')), 0x101), 0);
}
Bytes arp60() { return ether(bcast(), mac(1), 0x0806, arp(1, mac(1), HA, Mac{{0, 0, 0, 0, 0, 0}}, HB)); }
Bytes tcp_ip() {
  Tcp t;
  t.sport = 51001;
  t.dport = 80;
  t.seq = 1000;
  return ipv4(HA, HB, 6, tcp4(HA, HB, t), 0x1c47);
}
Bytes tcp60() { return ether(mac(2), mac(1), 0x0800, tcp_ip()); }  // 54 octets and 6 of padding
Bytes icmp_unreach_frame() {
  Bytes quoted = ipv4(HA, HB, 17, udp4(HA, HB, 40000, 53, Bytes(12, 'q')), 0x77);
  return ether(mac(1), mac(2), 0x0800, ipv4(HB, HA, 1, icmp_unreach(quoted), 0x99));
}

struct Frame {
  int64_t sec, usec;
  Bytes data;
  int64_t wire;
};

std::vector<Frame> sample_frames() {
  return {{T0, 125000, arp60(), 60},
          {T0 + 1, 250001, udp61(), 61},
          {T0 + 2, 999999, tcp60(), 60},
          {T0 + 3, 7, udp61(), 1000}};  // cut by the capture's snapshot length
}

Session session(int64_t snaplen = 1514, bool raw = true, int64_t dlt = 4) {
  Session s;
  s.start = T0;
  s.snaplen = snaplen;
  s.dlt = dlt;
  if (!raw) s.capflags &= ~int64_t(1);
  return s;
}

std::string make_log(const std::vector<Frame> &frames, const std::vector<Session> &sessions = {session()}) {
  LogWriter w;
  w.loghdr(int(sessions.size()));
  for (const Session &s : sessions) w.session(s);
  for (const Frame &f : frames) w.frame(0, f.sec, f.usec, f.data, f.wire);
  const char *msg = "device went away";  // not a frame: never exported
  w.event(0, 2, T0 + 9, 0, Bytes(msg, msg + strlen(msg) + 1));
  for (size_t i = 0; i < sessions.size(); i++) w.close(int(i), 4, T0 + 10, 0, Trailer());
  return str(w.out);
}

// ---- expected files, written independently of the code under test --------------------

void le32(std::string &s, uint32_t v) {
  for (int i = 0; i < 4; i++) s += char(v >> (8 * i));
}
void be32(std::string &s, uint32_t v) {
  for (int i = 3; i >= 0; i--) s += char(v >> (8 * i));
}

std::string want_pcap(const std::vector<Frame> &frames, uint32_t snap, uint32_t dlt, size_t strip = 0) {
  std::string s;
  le32(s, 0xA1B2C3D4u);
  le32(s, 0x00040002u);
  le32(s, 0);
  le32(s, 0);
  le32(s, snap);
  le32(s, dlt);
  for (const Frame &f : frames) {
    uint32_t extra = dlt == 0 ? 4 : 0;
    le32(s, uint32_t(f.sec));
    le32(s, uint32_t(f.usec));
    le32(s, uint32_t(f.data.size() - strip) + extra);
    le32(s, uint32_t(f.wire - int64_t(strip)) + extra);
    if (dlt == 0) s += std::string("\0\0\0\2", 4);
    s += str(f.data).substr(strip);
  }
  return s;
}

std::string want_snoop(const std::vector<Frame> &frames, uint32_t dlt) {
  std::string s("snoop\0\0\0", 8);
  be32(s, 2);
  be32(s, dlt);
  for (const Frame &f : frames) {
    uint32_t incl = uint32_t(f.data.size()), rec = (incl + 24 + 3) / 4 * 4;
    be32(s, uint32_t(f.wire));
    be32(s, incl);
    be32(s, rec);
    be32(s, 0);
    be32(s, uint32_t(f.sec));
    be32(s, uint32_t(f.usec));
    s += str(f.data);
    s += std::string(rec - 24 - incl, '\0');
  }
  return s;
}

// "sec.usec wire incl" per frame, as the oracles are asked to print it.
std::string stamps(const std::vector<Frame> &frames, bool nanos) {
  std::string s;
  char buf[96];
  for (const Frame &f : frames) {
    snprintf(buf, sizeof buf, nanos ? "%lld.%06lld000 %lld %zu\n" : "%lld.%06lld %lld %zu\n", (long long)f.sec,
             (long long)f.usec, (long long)f.wire, f.data.size());
    s += buf;
  }
  return s;
}

// Frame octets from a hex listing ("0000  ff ff ..." from tshark -x, or
// "\t0x0000:  ffff ..." from tcpdump -xx); frames separated by blank lines
// or by tcpdump's packet lines.
std::vector<std::string> hex_frames(const std::string &listing, bool tcpdump) {
  std::vector<std::string> frames;
  std::istringstream is(listing);
  std::string line;
  bool open = false;
  while (std::getline(is, line)) {
    bool hexline = tcpdump ? line.rfind("\t0x", 0) == 0
                           : line.size() > 6 && isxdigit((unsigned char)line[0]) && line.compare(4, 2, "  ") == 0;
    if (!hexline) {
      open = false;
      continue;
    }
    if (!open) frames.emplace_back();
    open = true;
    std::string hex = tcpdump ? line.substr(line.find(':') + 1) : line.substr(6, 48);
    std::string digits;
    for (char c : hex)
      if (isxdigit((unsigned char)c)) digits += c;
      else if (c != ' ') break;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) frames.back() += char(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return frames;
}

std::vector<std::string> datas(const std::vector<Frame> &frames) {
  std::vector<std::string> v;
  for (const Frame &f : frames) v.push_back(str(f.data));
  return v;
}

}  // namespace

// ---- export: files byte for byte ---------------------------------------------------------

TEST(KavpanExport, TcpdumpOfRawEthernet) {
  auto frames = sample_frames();
  Outcome r = kavpan("-x Tcpdump", make_log(frames));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, want_pcap(frames, 1514, 1));
}

TEST(KavpanExport, TcpdumpNameIsCaseInsensitiveAndOthersAreRefused) {
  EXPECT_EQ(kavpan("-x tCPDUMP", make_log(sample_frames())).out, want_pcap(sample_frames(), 1514, 1));
  Outcome r = kavpan("-x pcap", make_log(sample_frames()));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("Invalid '-x' value: 'pcap'"), std::string::npos) << r.err;
}

TEST(KavpanExport, TcpdumpLinkTypesOfRawSessions) {
  // FDDI, 802.6 and HDLC sessions get pcap's names for them; 802.3 is Ethernet.
  for (auto [dlt, pcap] : {std::pair{8, 10u}, {3, 11u}, {5, 9u}, {0, 1u}}) {
    auto frames = sample_frames();
    Outcome r = kavpan("-x Tcpdump", make_log(frames, {session(1514, true, dlt)}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want_pcap(frames, 1514, pcap)) << "DLPI type " << dlt;
  }
}

TEST(KavpanExport, TcpdumpRefusesProvidersWithoutAPcapName) {
  Outcome r = kavpan("-x Tcpdump", make_log(sample_frames(), {session(1514, true, 2)}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Tcpdump doesn't support this Data-Link provider (2)\n");
}

TEST(KavpanExport, TcpdumpOfNonRawSessionIsRawIpOrNullWithFamily) {
  std::vector<Frame> frames = {{T0, 5, tcp_ip(), 40}, {T0 + 1, 6, tcp_ip(), 40}};
  std::string log = make_log(frames, {session(1514, false)});
  Outcome r = kavpan("-x Tcpdump", log);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_pcap(frames, 1514, 12));
  r = kavpan("-x Tcpdump", log, "KAV_TCPD_RAW2NULL=y");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_pcap(frames, 1514, 0));
  r = kavpan("-x Tcpdump", log, "KAV_TCPD_RAW2NULL=N");
  EXPECT_EQ(r.out, want_pcap(frames, 1514, 12));
  r = kavpan("-x Tcpdump", log, "KAV_TCPD_RAW2NULL=yes");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Invalid env var [KAV_TCPD_RAW2NULL=yes]\n");
}

TEST(KavpanExport, TcpdumpSnapshotLength) {
  auto frames = sample_frames();
  EXPECT_EQ(kavpan("-x Tcpdump", make_log(frames, {session(-1)})).out, want_pcap(frames, 0xFFFFFFFFu, 1));
  // The smallest over the sessions; a session that does not know its own
  // (0) limits nothing.
  EXPECT_EQ(kavpan("-x Tcpdump", make_log(frames, {session(4000), session(1514), session(0)})).out,
            want_pcap(frames, 1514, 1));
  EXPECT_EQ(kavpan("-x Tcpdump", make_log(frames, {session(0)})).out, want_pcap(frames, 0x7FFFFFFF, 1));
}

TEST(KavpanExport, SnoopRecordsArePaddedWithZeros) {
  auto frames = sample_frames();
  Outcome r = kavpan("-x snoop", make_log(frames));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_snoop(frames, 4));
  // The 61-octet frame: record length 88, 64 data octets (3 of them zeros).
  const std::string &o = r.out;
  size_t rec2 = 16 + 24 + 60;
  ASSERT_GE(o.size(), rec2 + 88);
  EXPECT_EQ(o.substr(rec2, 12), std::string("\0\0\0\x3d\0\0\0\x3d\0\0\0\x58", 12));
  EXPECT_EQ(o.substr(rec2 + 24, 61), str(udp61()));
  EXPECT_EQ(o.substr(rec2 + 24 + 61, 3), std::string(3, '\0'));
}

TEST(KavpanExport, SnoopAndEthernetNeedRawSessions) {
  std::string log = make_log({{T0, 5, tcp_ip(), 40}}, {session(1514, true), session(1514, false)});
  for (const char *fmt : {"Snoop", "Ethernet"}) {
    Outcome r = kavpan(std::string("-x ") + fmt, log);
    EXPECT_EQ(r.status, 1) << fmt;
    EXPECT_EQ(r.out, "") << fmt;
    EXPECT_EQ(r.err, "Export-logfile format doesn't support non-raw data-link packets (session 1)\n") << fmt;
  }
}

TEST(KavpanExport, MixedDataLinkProvidersAreRefused) {
  Outcome r = kavpan("-x Tcpdump", make_log(sample_frames(), {session(1514, true, 4), session(1514, true, 8)}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Logfile contains mixed Data-Link providers - cannot export\n");
  // Raw frames and bare datagrams cannot share one pcap link type either.
  r = kavpan("-x Tcpdump", make_log(sample_frames(), {session(1514, true), session(1514, false)}));
  EXPECT_EQ(r.err, "Logfile contains mixed Data-Link providers - cannot export\n");
}

TEST(KavpanExport, IpSequenceHoldsWholeDatagramsOnly) {
  auto frames = sample_frames();
  Outcome r = kavpan("-x IP", make_log(frames));
  EXPECT_EQ(r.status, 0) << r.err;
  // The UDP datagrams; the TCP one without the frame's padding. The ARP
  // frame cannot be delimited.
  std::string udp = str(udp61()).substr(14);
  EXPECT_EQ(r.out, udp + str(tcp_ip()) + udp);
  EXPECT_EQ(r.err, "1 frame not exported: the IP sequence cannot delimit it\n");
  // Nor can a datagram the capture cut short.
  Bytes cut = tcp60();
  cut.resize(50);
  r = kavpan("-x IP", make_log({{T0, 1, cut, 60}, {T0, 2, arp60(), 60}, {T0, 3, tcp60(), 60}}));
  EXPECT_EQ(r.out, str(tcp_ip()));
  EXPECT_EQ(r.err, "2 frames not exported: the IP sequence cannot delimit them\n");
  // A non-raw session holds datagrams already.
  r = kavpan("-x ip", make_log({{T0, 5, tcp_ip(), 40}}, {session(1514, false)}));
  EXPECT_EQ(r.out, str(tcp_ip()));
  EXPECT_EQ(r.err, "");
}

TEST(KavpanExport, IpSequenceReadsBackThroughTheImporter) {
  auto frames = sample_frames();
  Outcome r = kavpan("-x IP", make_log(frames));
  ASSERT_EQ(r.status, 0) << r.err;
  writeFile(r.file("seq"), r.out);
  std::string back = sh_out("cd '" + r.dir->path() + "' && " VELMORA_BIN_DIR "/kav_import -x IP < seq 2>/dev/null | TOVATRC_FILENAME=/dev/null " VELMORA_BIN_DIR "/kavpan -x IP");
  EXPECT_EQ(back, r.out);
}

TEST(KavpanExport, EthernetSequence) {
  auto frames = sample_frames();
  Outcome r = kavpan("-x Ethernet", make_log(frames));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, str(udp61()) + str(tcp60()).substr(0, 54) + str(udp61()));
  EXPECT_EQ(r.err, "1 frame not exported: the Ethernet sequence cannot delimit it\n");
  writeFile(r.file("seq"), r.out);
  std::string back = sh_out("cd '" + r.dir->path() + "' && " VELMORA_BIN_DIR "/kav_import -x Ethernet < seq 2>/dev/null | TOVATRC_FILENAME=/dev/null " VELMORA_BIN_DIR "/kavpan -x Ethernet");
  EXPECT_EQ(back, r.out);
}

// ---- export: selection ---------------------------------------------------------------

TEST(KavpanExport, SelectionByNumberTimeAndFilter) {
  auto frames = sample_frames();
  std::string log = make_log(frames);
  EXPECT_EQ(kavpan("-x Tcpdump -e 2,4", log).out, want_pcap({frames[1], frames[3]}, 1514, 1));
  EXPECT_EQ(kavpan("-x Tcpdump -E 251208:080001-251208:080002", log).out,
            want_pcap({frames[1], frames[2]}, 1514, 1));
  Outcome r = kavpan("-x Tcpdump -f tcp", log);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_pcap({frames[2]}, 1514, 1));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(kavpan("-x Tcpdump -f udp", log).out, want_pcap({frames[1], frames[3]}, 1514, 1));
}

TEST(KavpanExport, BaseTimeAfterTheLogExportsNoFrames) {
  Outcome r = kavpan("-x Snoop -b 251208-090000", make_log(sample_frames()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_snoop({}, 4));
  EXPECT_EQ(r.err,
            "Selected base time (Mon Dec  8 09:00:00 2025) more recent than earliest session"
            " (Mon Dec  8 08:00:00 2025)\n");
  r = kavpan("-x Snoop -b 251208-070000", make_log(sample_frames()));
  EXPECT_EQ(r.out, want_snoop(sample_frames(), 4));
}

TEST(KavpanExport, LogErrorsGoToStandardError) {
  std::string log = make_log(sample_frames());
  log.resize(15 + 216 + (40 + 60) + (40 + 61) + 50);  // ends inside the third frame
  Outcome r = kavpan("-x Tcpdump -v 4", log);
  EXPECT_EQ(r.status, 1);
  auto frames = sample_frames();
  EXPECT_EQ(r.out, want_pcap({frames[0], frames[1]}, 1514, 1));
  EXPECT_NE(r.err.find("\nLogfile Error: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nAborted log-file analysis, due to fatal error\n"), std::string::npos) << r.err;
}

// ---- export: peers read it back ---------------------------------------------------------

TEST(KavpanExport, TcpdumpReadsOurPcap) {
  VTS_REQUIRE(vts::have_tool("tcpdump"), "tcpdump not installed");
  auto frames = sample_frames();
  Outcome r = kavpan("-x Tcpdump", make_log(frames));
  ASSERT_EQ(r.status, 0);
  writeFile(r.file("x.pcap"), r.out);
  std::string listing = sh_out("tcpdump -r '" + r.file("x.pcap") + "' -n -tt -xx 2>/dev/null");
  EXPECT_EQ(hex_frames(listing, true), datas(frames)) << listing;
  std::string times = sh_out("tcpdump -r '" + r.file("x.pcap") + "' -n -tt 2>/dev/null | cut -d' ' -f1");
  EXPECT_EQ(times, "1765180800.125000\n1765180801.250001\n1765180802.999999\n1765180803.000007\n");
}

TEST(KavpanExport, TsharkReadsOurPcapAndSnoop) {
  VTS_REQUIRE(vts::have_tool("tshark"), "tshark not installed");
  auto frames = sample_frames();
  for (const char *fmt : {"Tcpdump", "Snoop"}) {
    Outcome r = kavpan(std::string("-x ") + fmt, make_log(frames));
    ASSERT_EQ(r.status, 0);
    writeFile(r.file("x.cap"), r.out);
    std::string cmd = "tshark -r '" + r.file("x.cap") + "'";
    EXPECT_EQ(sh_out(cmd + " -T fields -e frame.time_epoch -e frame.len -e frame.cap_len -E separator=' ' 2>/dev/null"),
              stamps(frames, true))
        << fmt;
    EXPECT_EQ(hex_frames(sh_out(cmd + " -x 2>/dev/null"), false), datas(frames)) << fmt;
  }
}

TEST(KavpanExport, TsharkReadsBareDatagramsAsRawIpAndNull) {
  VTS_REQUIRE(vts::have_tool("tshark"), "tshark not installed");
  std::vector<Frame> frames = {{T0, 5, tcp_ip(), 40}, {T0 + 1, 6, tcp_ip(), 40}};
  std::string log = make_log(frames, {session(1514, false)});
  for (const char *env : {"", "KAV_TCPD_RAW2NULL=y"}) {
    Outcome r = kavpan("-x Tcpdump", log, env);
    ASSERT_EQ(r.status, 0) << r.err;
    writeFile(r.file("x.pcap"), r.out);
    std::string cmd = "tshark -r '" + r.file("x.pcap") + "'";
    bool null = *env != '\0';
    std::vector<Frame> want = frames;
    if (null)
      for (Frame &f : want) {
        f.data.insert(f.data.begin(), {0, 0, 0, 2});
        f.wire += 4;
      }
    EXPECT_EQ(sh_out(cmd + " -T fields -e frame.time_epoch -e frame.len -e frame.cap_len -E separator=' ' 2>/dev/null"),
              stamps(want, true))
        << env;
    EXPECT_EQ(hex_frames(sh_out(cmd + " -x 2>/dev/null"), false), datas(want)) << env;
    // The datagrams are found as IPv4 behind either link header.
    EXPECT_EQ(sh_out(cmd + " -T fields -e ip.src -e tcp.srcport 2>/dev/null"),
              "192.168.7.1\t51001\n192.168.7.1\t51001\n")
        << env;
  }
}

TEST(KavpanExport, PcapThroughImporterAndBackIsUnchanged) {
  TempDir d;
  std::string orig = d.path() + "/orig.pcap";
  {
    FILE *f = fopen(orig.c_str(), "wb");
    ASSERT_TRUE(f);
    PcapWriter w(f);
    for (int i = 0; i < 300; i++) w.frame(T0 + i / 7, (i * 137017) % 1000000, mixed_frame(uint64_t(i)));
    fclose(f);
  }
  std::string cmd = "cd '" + d.path() + "' && TOVATRC_FILENAME=/dev/null " VELMORA_BIN_DIR
                    "/kav_import -x Tcpdump < orig.pcap 2>/dev/null | TOVATRC_FILENAME=/dev/null " VELMORA_BIN_DIR
                    "/kavpan -x Tcpdump";
  std::string back = sh_out(cmd);
  std::string want = readFile(orig);
  EXPECT_EQ(back.size(), want.size());
  EXPECT_TRUE(back == want) << "the round trip changed the file";
}

// ---- triggers ---------------------------------------------------------------------------

namespace {

// An ARP request, a TCP SYN and an ICMP port unreachable, then the stream's
// own messages (which are no packets for a trigger).
std::string trig_log() {
  std::vector<Frame> f = {{T0, 125000, arp60(), 0}, {T0 + 1, 250001, tcp60(), 0}, {T0 + 2, 999999, icmp_unreach_frame(), 0}};
  for (Frame &x : f) x.wire = int64_t(x.data.size());
  return make_log(f);
}

}  // namespace

TEST(KavpanTrigger, ScriptsHoldTheEventsFields) {
  // Each script copies itself: the copies show exactly what was written.
  Outcome r = kavpan("-N -e 1-2 -a 'cp \"$0\" @D/s%C\n# %i|%s|%t|%p|%q|%r|%u|%v|%a|%c|%l|%m|%w|%A %B|%y|100%%%'",
                 trig_log());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string head = "cp \"$0\" " + r.dir->path() + "/s";
  EXPECT_EQ(readFile(r.file("s1")), head + "1\n# n/a|n/a|n/a|n/a|n/a|n/a|1|192.168.7.20|02:00:5E:10:20:01|806|n/a|n/a|n/a|"
                                        "08/12/2025 08:00:00.125|***INVALID SPEC=y***|100%");
  EXPECT_EQ(readFile(r.file("s2")), head + "2\n# 192.168.7.1|51001|80|1000|0|SYN|n/a|n/a|02:00:5E:10:20:01|800|1C47|40|"
                                        "n/a|08/12/2025 08:00:01.250|***INVALID SPEC=y***|100%");
  // Every event was printed as well, and the scripts are gone.
  EXPECT_NE(r.out.find("- Evt=2 "), std::string::npos) << r.out;
  EXPECT_FALSE(exists(r.file(".kavtrig-" + r.pid)));
}

TEST(KavpanTrigger, ActionFromAFile) {
  TempDir d;
  writeFile(d.path() + "/action", "echo %k >> " + d.path() + "/got\n");
  Outcome r = kavpan("-N -A " + d.path() + "/action", trig_log());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(d.path() + "/got"), "n/a\n6\n1\n");
  r = kavpan("-a x -A " + d.path() + "/action", trig_log());
  EXPECT_NE(r.err.find("Can't combine the '-a' and 'A' switches"), std::string::npos) << r.err;
}

TEST(KavpanTrigger, ScriptIsPrivateAndRemovedUnderTmpdirElseHome) {
  Outcome r = kavpan("-e 1 -a 'echo \"$0\" > @D/path; stat -c %%a \"$0\" > @D/mode'", trig_log());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(r.file("path")), r.file(".kavtrig-" + r.pid) + "\n");
  EXPECT_EQ(readFile(r.file("mode")), "600\n");
  EXPECT_FALSE(exists(r.file(".kavtrig-" + r.pid)));
  // Without TMPDIR the home directory; with neither, /tmp.
  r = kavpan("-e 1 -a 'echo \"$0\" > @D/path'", trig_log(), "-u TMPDIR HOME=@D/");
  EXPECT_EQ(readFile(r.file("path")), r.file("/.kavtrig-" + r.pid) + "\n");
  r = kavpan("-e 1 -a 'echo \"$0\" > @D/path'", trig_log(), "-u TMPDIR -u HOME");
  EXPECT_EQ(readFile(r.file("path")), "/tmp/.kavtrig-" + r.pid + "\n");
  EXPECT_FALSE(exists("/tmp/.kavtrig-" + r.pid));
}

TEST(KavpanTrigger, RunsWithShellVariable) {
  TempDir d;
  writeFile(d.path() + "/myshell", "#!/bin/sh\necho via-myshell >> " + d.path() + "/got\nexec sh \"$@\"\n");
  chmod((d.path() + "/myshell").c_str(), 0755);
  Outcome r = kavpan("-e 1 -a 'echo ran >> " + d.path() + "/got'", trig_log(), "SHELL=" + d.path() + "/myshell");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(d.path() + "/got"), "via-myshell\nran\n");
}

TEST(KavpanTrigger, FailedScriptIsReportedAndAnalysisGoesOn) {
  Outcome r = kavpan("-N -a 'echo %C >> @D/ran; exit 3'", trig_log());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(r.file("ran")), "1\n2\n3\n");
  EXPECT_EQ(r.err,
            "Failed to run trigger action for packet 1/1 - errno=0 [Trigger script failed]\n"
            "Failed to run trigger action for packet 1/2 - errno=0 [Trigger script failed]\n"
            "Failed to run trigger action for packet 1/3 - errno=0 [Trigger script failed]\n");
  EXPECT_NE(r.out.find("- Evt=3 "), std::string::npos) << r.out;
  EXPECT_FALSE(exists(r.file(".kavtrig-" + r.pid)));
}

TEST(KavpanTrigger, TakenScriptNameIsNeverWrittenThrough) {
  // Someone put a symbolic link where the script goes.
  Outcome r = kavpan("-N -a 'echo ran >> @D/ran'", trig_log(), "", "ln -s @D/victim @D/.kavtrig-$$");
  EXPECT_EQ(r.status, 0) << r.err;
  std::string line = "Failed to run trigger action for packet 1/%d - errno=17 [Failed to open temp pathname (" +
                     r.file(".kavtrig-" + r.pid) + ")]\n";
  std::string want;
  for (int i = 1; i <= 3; i++) {
    char n[8];
    snprintf(n, sizeof n, "%d", i);
    want += line.substr(0, line.find("%d")) + n + line.substr(line.find("%d") + 2);
  }
  EXPECT_EQ(r.err, want);
  EXPECT_FALSE(exists(r.file("victim")));
  EXPECT_FALSE(exists(r.file("ran")));
  struct stat st;
  EXPECT_EQ(lstat(r.file(".kavtrig-" + r.pid).c_str(), &st), 0);  // left alone
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(r.out.find("- Evt=3 "), std::string::npos) << r.out;
}

TEST(KavpanTrigger, SameFieldsAtEveryVerbosityForAnIcmpError) {
  // At -v 4 the chain also decodes the datagram quoted in the ICMP error;
  // the trigger must still see the frame's own headers.
  const char *action = "-N -e 3 -a 'cp \"$0\" @D/s\n# %i %j %k %l %m %n %o %s %t %p %r'";
  Outcome v2 = kavpan(std::string("-v 2 ") + action, trig_log());
  Outcome v4 = kavpan(std::string("-v 4 ") + action, trig_log());
  ASSERT_EQ(v2.status, 0) << v2.err;
  ASSERT_EQ(v4.status, 0) << v4.err;
  std::string s2 = readFile(v2.file("s")), s4 = readFile(v4.file("s"));
  EXPECT_EQ(s2.substr(s2.find('#')), "# 192.168.7.20 192.168.7.1 1 99 56 3 3 n/a n/a n/a n/a");
  EXPECT_EQ(s4.substr(s4.find('#')), s2.substr(s2.find('#')));
  // The quote was decoded at -v 4 all the same.
  EXPECT_NE(v4.out.find("40000"), std::string::npos) << v4.out;
}

// In-process: the script text for packet text a decoder recorded.
class TriggerText : public ::testing::Test {
 protected:
  void SetUp() override {
    trigger_free();
    memset(&ctx, 0xFA, sizeof ctx);
  }
  void TearDown() override { trigger_free(); }
  kav_pktctx ctx;
};

TEST_F(TriggerText, ApplicationTextAndUnsetFields) {
  ASSERT_EQ(parse_trigger("<%w> <%i> <%n> <%p> <%%> end%"), 0);
  EXPECT_EQ(trigger_script(&ctx, nullptr), "<n/a> <n/a> <n/a> <n/a> <%> end");
  static const unsigned char text[] = "USER anonymous\r\nPASS x";
  ctx.apptext = text;
  ctx.applen = 14;  // the decoder's length, not the NUL
  ctx.icmptype = 0;
  ctx.tcpseq = 3000000000u;
  EXPECT_EQ(trigger_script(&ctx, nullptr), "<USER anonymous> <n/a> <0> <3000000000> <%> end");
  ctx.applen = 0;
  EXPECT_EQ(trigger_script(&ctx, nullptr), "<> <n/a> <0> <3000000000> <%> end");
}

TEST_F(TriggerText, EventFieldsWithoutAnEventAreNotAvailable) {
  ASSERT_EQ(parse_trigger("%A %B %C"), 0);
  EXPECT_EQ(trigger_script(&ctx, nullptr), "n/a n/a n/a");
  kav_trigevt e{T0 + 3600 * 5 + 61, 123999, 42, 1, 7};
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(trigger_script(&ctx, &e), "08/12/2025 13:01:01.123 42");
}

TEST_F(TriggerText, PacketTextNeverRunsAsShellCode) {
  TempDir d;
  const std::string p = d.path();
  std::string evil = "a$(touch " + p + "/p1)`touch " + p + "/p2`;touch " + p + "/p3\ntouch " + p + "/p4|&<>*?'\"\\#!~{}[]()";
  ctx.apptext = reinterpret_cast<const unsigned char *>(evil.data());
  ctx.applen = int32_t(evil.size());
  kav_strlcpy(ctx.srcport, sizeof ctx.srcport, ("$(touch " + p + "/p5)").c_str());
  kav_strlcpy(ctx.ipsrc, sizeof ctx.ipsrc, "host;touch p6");
  kav_strlcpy(ctx.tcpflags, sizeof ctx.tcpflags, "SYN`id`");
  // Unquoted, double-quoted and single-quoted uses alike.
  ASSERT_EQ(parse_trigger(("cd " + p + "; echo %w %s > out1; echo \"%w\" \"%i\" > out2; echo '%w' '%r' > out3").c_str()),
            0);
  setenv("TMPDIR", p.c_str(), 1);
  EXPECT_EQ(run_trigger(&ctx, nullptr), 0);
  unsetenv("TMPDIR");
  for (const char *f : {"p1", "p2", "p3", "p4", "p5", "p6"}) EXPECT_FALSE(exists(p + "/" + f)) << f;
  std::string dots = "a..touch " + p + "/p1..touch " + p + "/p2..touch " + p + "/p3.touch " + p + "/p4" + std::string(18, '.');
  EXPECT_EQ(readFile(p + "/out1"), dots + " ..touch " + p + "/p5.\n");
  EXPECT_EQ(readFile(p + "/out2"), dots + " host.touch p6\n");
  EXPECT_EQ(readFile(p + "/out3"), dots + " SYN.id.\n");
  EXPECT_EQ(trigger_safe(reinterpret_cast<const unsigned char *>("fd00::1 a-b_c.d,e/f+g=h@i%j^k"), 29),
            "fd00::1 a-b_c.d,e/f+g=h@i%j^k");
}

// ---- raw input ------------------------------------------------------------------------

TEST(KavpanRaw, IpDatagramEthernetFrameAndTcpSegment) {
  Outcome ip = kavpan("-N -r 3.1", str(tcp_ip()));
  EXPECT_EQ(ip.status, 0) << ip.err;
  Outcome eth = kavpan("-N -r 2.1", str(tcp60()));
  EXPECT_EQ(eth.status, 0) << eth.err;
  Outcome seg = kavpan("-N -r 4.6", str(tcp_ip()).substr(20));
  EXPECT_EQ(seg.status, 0) << seg.err;
  const std::string title = "Velmora: Packet Analyser 1.4.8\n";
  std::string tcp = "TCP: 51001->80 <SYN>, seq=1000-1000, ack=0, win=65535";
  EXPECT_EQ(ip.out.rfind(title, 0), 0u) << ip.out;
  EXPECT_NE(ip.out.find("IP: 192.168.7.1 -> 192.168.7.20 <DF,LAST>, id=7239.0; " + tcp), std::string::npos) << ip.out;
  EXPECT_NE(eth.out.find("ETH; IP: 192.168.7.1 -> 192.168.7.20 <DF,LAST>, id=7239.0; " + tcp), std::string::npos)
      << eth.out;
  // Without the IP header there is no pseudo-header: nothing says CORRUPT.
  EXPECT_NE(seg.out.find(tcp), std::string::npos) << seg.out;
  EXPECT_EQ(seg.out.find("IP:"), std::string::npos) << seg.out;
  EXPECT_EQ(seg.out.find("CORRUPT"), std::string::npos) << seg.out;
  Outcome v4 = kavpan("-N -v 4 -r 4.6", str(tcp_ip()).substr(20));
  EXPECT_NE(v4.out.find("\n20-octet PDU follows: Protocol = "), std::string::npos) << v4.out;
  EXPECT_FALSE(exists("/tmp/kavpan." + seg.pid));
}

TEST(KavpanRaw, OffsetAndMaximum) {
  std::string dgram = str(tcp_ip());  // 40 octets
  std::string junk(100, '\x55');
  std::string in = junk + dgram + std::string(10, '\x01') + std::string(200, '\x77');
  Outcome cut = kavpan("-N -v 4 -r 3.1 -o 100:50", in);
  Outcome alone = kavpan("-N -v 4 -r 3.1", dgram + std::string(10, '\x01'));
  EXPECT_EQ(cut.status, 0) << cut.err;
  EXPECT_NE(cut.out.find("\n50-octet PDU follows:"), std::string::npos) << cut.out;
  EXPECT_EQ(cut.out, alone.out);
  // Offsets across the 64 KiB blocks of the relay.
  std::string big(70000, 'z');
  big.replace(66000, dgram.size(), dgram);
  Outcome far = kavpan("-N -r 3.1 -o 66000:40", big);
  EXPECT_EQ(far.out, kavpan("-N -r 3.1", dgram).out);
}

TEST(KavpanRaw, OffsetPastTheEndAndNothingLeft) {
  Outcome past = kavpan("-r 3.1 -o 41", str(tcp_ip()));
  EXPECT_EQ(past.status, 1);
  EXPECT_EQ(past.err, "Failed to read input object [Offset is greater than file size]\n");
  EXPECT_FALSE(exists("/tmp/kavpan." + past.pid));
  Outcome none = kavpan("-r 3.1 -o 40", str(tcp_ip()));
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Failed to read input object [zero-sized object]\n");
  EXPECT_FALSE(exists("/tmp/kavpan." + none.pid));
  Outcome empty = kavpan("-r 3.1", "");
  EXPECT_EQ(empty.err, "Failed to read input object [zero-sized object]\n");
}

TEST(KavpanRaw, TakenTempNameIsNeverWrittenThrough) {
  Outcome r = kavpan("-r 3.1", str(tcp_ip()), "", "ln -s @D/victim /tmp/kavpan.$$");
  std::string link = "/tmp/kavpan." + r.pid;
  struct stat st;
  bool was_link = lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  unlink(link.c_str());
  EXPECT_TRUE(was_link) << "the name someone prepared was removed or replaced";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Failed to read input object [Failed to open tempfile '" + link +
                       "' for writing, errno=17 [File exists]]\n");
  EXPECT_FALSE(exists(r.file("victim")));
}

TEST(KavpanRaw, FormatSwitch) {
  for (const char *bad : {"abc", "80", "3.", ".1", "3.x", "TEXTS"}) {
    Outcome r = kavpan(std::string("-r ") + bad, "x");
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_NE(r.err.find(std::string("Unrecognised -r arg (") + bad + ")"), std::string::npos) << bad << ": " << r.err;
  }
  Outcome r = kavpan("-r 3.1 -x IP", "x");
  EXPECT_NE(r.err.find("Can't combine the '-x' and 'r' switches"), std::string::npos) << r.err;
}

TEST(KavpanRaw, PseudoProtocolDecodesAsFarAsTheChainCan) {
  for (const char *name : {"ASN1", "asn.1", "SunRPC", "SSL", "X509CERT", "X.509CRL", "TEXT"}) {
    Outcome r = kavpan(std::string("-v 4 -r ") + name, "0123456789abcdef");
    EXPECT_EQ(r.status, 0) << name << r.err;
    EXPECT_NE(r.out.find("\n16-octet PDU follows:\n"), std::string::npos) << name << r.out;
    // Either the application decoder took it, or the output says there is none.
    bool undecoded = r.out.find("16 Data octets follow:") != std::string::npos;
    EXPECT_EQ(undecoded, r.out.find(std::string("\nNo ") + name + " decoder in this build") != std::string::npos)
        << name << r.out;
  }
}

TEST(KavpanRaw, TriggerRunsWithoutEventFields) {
  Outcome r = kavpan("-N -r 3.1 -a 'echo %A %C %i %s > @D/got'", str(tcp_ip()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(r.file("got")), "n/a n/a 192.168.7.1 51001\n");
}
