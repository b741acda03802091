// kav_import against captures written by tcpdump, tshark and editcap: the
// imported frames, lengths and time stamps must be the ones tshark reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sstream>

#include "logtest_util.h"
#include "testsupport.h"

using namespace logtest;

namespace {

struct Imported {
  RunResult rr;
  Log log;
  std::string err;
};

Imported import_file(const std::string &type, const std::string &path) {
  TempDir td;
  Imported r;
  r.rr = run({bin("kav_import"), "-x", type}, path, td.file("out"), td.file("err"));
  r.log = parse_log(read_file(td.file("out")));
  r.err = read_text(td.file("err"));
  return r;
}

// A capture with varied sizes and time stamps (microsecond edges included).
std::vector<PcapRec> sample_frames() {
  std::vector<PcapRec> v;
  uint32_t usecs[] = {0, 1, 999999, 500000, 123456, 654321};
  for (unsigned i = 0; i < 40; i++) {
    unsigned ip_len = 20 + (i * 97) % 1480;
    v.push_back({1700000000u + i / 3, usecs[i % 6], eth_ipv4(ip_len, i)});
  }
  return v;
}

// The imported log must hold the frames tshark sees, with `expect` as
// their data (cut to the captured length) and `hdr` bytes of link header
// dropped by the importer.
void expect_same_as_tshark(const Imported &r, const std::string &path, const std::vector<Bytes> &expect, int hdr) {
  bool ok = false;
  std::vector<Seen> seen = tshark_frames(path, &ok);
  ASSERT_TRUE(ok) << "tshark failed on " << path;
  ASSERT_EQ(r.rr.status, 0) << r.err;
  ASSERT_TRUE(r.log.ok) << r.log.why;
  ASSERT_EQ(r.log.events.size(), seen.size() + 1);
  ASSERT_EQ(expect.size(), seen.size());
  for (size_t i = 0; i < seen.size(); i++) {
    SCOPED_TRACE(i);
    const Event &e = r.log.events[i];
    EXPECT_EQ(e.type, 1);
    EXPECT_EQ(e.sec, seen[i].sec);
    EXPECT_EQ(e.usec, seen[i].usec);
    EXPECT_EQ(e.wirelen, seen[i].len - hdr);
    EXPECT_EQ(e.caplen, seen[i].caplen - hdr);
    EXPECT_EQ(e.data, Bytes(expect[i].begin(), expect[i].begin() + e.caplen));
  }
  EXPECT_EQ(r.log.events.back().type, 4);
  EXPECT_EQ(r.log.events.back().trl[1], (int64_t)seen.size());
}

std::vector<Bytes> datas(const std::vector<PcapRec> &recs) {
  std::vector<Bytes> v;
  for (const auto &r : recs) v.push_back(r.data);
  return v;
}

// tshark's fields for each frame of a capture, one row per frame.
std::vector<std::vector<std::string>> tshark_rows(const std::string &path, const std::vector<std::string> &fields) {
  TempDir td;
  std::string cmd = "tshark -n -r '" + path + "' -T fields -E separator=, -E occurrence=f";
  for (const auto &f : fields) cmd += " -e " + f;
  cmd += " > '" + td.file("rows") + "' 2>/dev/null";
  sh(cmd);
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(read_text(td.file("rows")));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> row;
    std::istringstream ls(line);
    std::string cell;
    while (std::getline(ls, cell, ',')) row.push_back(cell);
    row.resize(fields.size());
    rows.push_back(row);
  }
  return rows;
}

// Each frame of a multi-interface capture must be in the session of its
// interface, in the file's order.
void expect_sessions_as_tshark(const Imported &r, const std::string &path) {
  auto rows = tshark_rows(path, {"frame.interface_id"});
  ASSERT_EQ(r.log.events.size(), rows.size() + (size_t)r.log.nses);
  for (size_t i = 0; i < rows.size(); i++) EXPECT_EQ(r.log.events[i].ses, atoi(rows[i][0].c_str())) << "frame " << i;
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTS_REQUIRE(have_tool("tshark") && have_tool("editcap"), "tshark/editcap not installed");
    recs_ = sample_frames();
    src_ = td_.file("src.pcap");
    write_file(src_, pcap_file(recs_, 1));
  }
  TempDir td_;
  std::vector<PcapRec> recs_;
  std::string src_;
};

}  // namespace

TEST_F(ToolsTest, PcapRewrittenByTcpdump) {
  VTS_REQUIRE(have_tool("tcpdump"), "tcpdump not installed");
  std::string f = td_.file("td.pcap");
  ASSERT_EQ(sh("tcpdump -r '" + src_ + "' -w '" + f + "' 2>/dev/null"), 0);
  Imported r = import_file("Tcpdump", f);
  expect_same_as_tshark(r, f, datas(recs_), 0);
}

TEST_F(ToolsTest, PcapWrittenByEditcapAndTshark) {
  std::string e = td_.file("ed.pcap"), t = td_.file("ts.pcap");
  ASSERT_EQ(sh("editcap -F pcap '" + src_ + "' '" + e + "' 2>/dev/null"), 0);
  ASSERT_EQ(sh("tshark -r '" + src_ + "' -F pcap -w '" + t + "' 2>/dev/null"), 0);
  expect_same_as_tshark(import_file("Tcpdump", e), e, datas(recs_), 0);
  expect_same_as_tshark(import_file("Tcpdump", t), t, datas(recs_), 0);
}

TEST_F(ToolsTest, SnaplenCutByEditcap) {
  std::string f = td_.file("cut.pcap");
  ASSERT_EQ(sh("editcap -F pcap -s 100 '" + src_ + "' '" + f + "' 2>/dev/null"), 0);
  Imported r = import_file("Tcpdump", f);
  expect_same_as_tshark(r, f, datas(recs_), 0);
  ASSERT_FALSE(r.log.seshdrs.empty());
  EXPECT_EQ(r.log.ses_field(0, SH_SNAPLEN), 100);
}

TEST_F(ToolsTest, SnoopWrittenByEditcap) {
  std::string f = td_.file("ed.snoop");
  ASSERT_EQ(sh("editcap -F snoop '" + src_ + "' '" + f + "' 2>/dev/null"), 0);
  Imported r = import_file("Snoop", f);
  expect_same_as_tshark(r, f, datas(recs_), 0);
  ASSERT_FALSE(r.log.seshdrs.empty());
  EXPECT_EQ(r.log.ses_text(0, SH_IFNAME), "Snoop");
  EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), 4);
}

TEST_F(ToolsTest, NanosecondPcapAndPcapngWrittenByEditcap) {
  for (const char *fmt : {"nsecpcap", "pcapng"}) {
    SCOPED_TRACE(fmt);
    std::string f = td_.file(std::string("x.") + fmt);
    ASSERT_EQ(sh(std::string("editcap -F ") + fmt + " '" + src_ + "' '" + f + "' 2>/dev/null"), 0);
    Imported r = import_file("Tcpdump", f);
    expect_same_as_tshark(r, f, datas(recs_), 0);
    EXPECT_EQ(r.log.nses, 1);
    EXPECT_EQ(r.log.ses_text(0, SH_IFNAME), "Tcpdump");
    EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), 4);
  }
  std::string ng = td_.file("x.pcapng");
  expect_same_as_tshark(import_file("pcapng", ng), ng, datas(recs_), 0);
}

TEST_F(ToolsTest, OtherPcapFlavoursAreRefusedCleanly) {
  std::string f = td_.file("x.modpcap");
  ASSERT_EQ(sh("editcap -F modpcap '" + src_ + "' '" + f + "' 2>/dev/null"), 0);
  Imported r = import_file("Tcpdump", f);
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_EQ(r.err, "Failed to parse file header [Invalid Tcpdump magic value - 0xa1b2cd34]\n");
  EXPECT_EQ(r.log.why, "short log header");
  Imported ng = import_file("pcapng", src_);
  EXPECT_EQ(ng.rr.status, 1);
  EXPECT_EQ(ng.err, "Failed to parse file header [Invalid pcapng magic value - 0xa1b2c3d4]\n");
}

TEST_F(ToolsTest, PcapngWrittenByTshark) {
  std::string f = td_.file("ts.pcapng");
  ASSERT_EQ(sh("tshark -r '" + src_ + "' -w '" + f + "' 2>/dev/null"), 0);
  ASSERT_EQ(read_file(f).at(0), 0x0A);  // tshark's default output is pcapng
  expect_same_as_tshark(import_file("Tcpdump", f), f, datas(recs_), 0);
  // Cut by a snapshot length on the way.
  std::string cut = td_.file("cut.pcapng");
  ASSERT_EQ(sh("editcap -F pcapng -s 90 '" + src_ + "' '" + cut + "' 2>/dev/null"), 0);
  Imported r = import_file("pcapng", cut);
  expect_same_as_tshark(r, cut, datas(recs_), 0);
  EXPECT_EQ(r.log.events.at(1).caplen, 90);
}

// mergecap puts captures of two link types into one pcapng file with two
// interfaces: two sessions, the frames interleaved in time order.
TEST_F(ToolsTest, MergecapMakesOneSessionPerInterface) {
  VTS_REQUIRE(have_tool("mergecap"), "mergecap not installed");
  std::vector<PcapRec> cooked;
  std::vector<Bytes> ips;
  for (unsigned i = 0; i < 15; i++) {
    Bytes f = sll(4, 1, 6, 0x0800);
    Bytes ip = ipv4(20 + i * 41, 100 + i);
    append(f, ip);
    ips.push_back(ip);
    cooked.push_back({1700000000u + i, 250000u + i, f});
  }
  std::string sll = td_.file("sll.pcap"), merged = td_.file("merged.pcapng");
  write_file(sll, pcap_file(cooked, 113));
  ASSERT_EQ(sh("mergecap -F pcapng -w '" + merged + "' '" + src_ + "' '" + sll + "' 2>/dev/null"), 0);
  Imported r = import_file("Tcpdump", merged);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  ASSERT_EQ(r.log.nses, 2);
  EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), 4);
  EXPECT_EQ(r.log.ses_field(1, SH_LINKTYPE), 129);
  expect_sessions_as_tshark(r, merged);
  // Frames, lengths and time stamps as tshark sees them, the cooked header
  // dropped from the second interface's frames.
  bool ok = false;
  std::vector<Seen> seen = tshark_frames(merged, &ok);
  ASSERT_TRUE(ok);
  size_t eth = 0, ip = 0;
  for (size_t i = 0; i < seen.size(); i++) {
    SCOPED_TRACE(i);
    const Event &e = r.log.events[i];
    int hdr = e.ses == 1 ? 16 : 0;
    EXPECT_EQ(e.sec, seen[i].sec);
    EXPECT_EQ(e.usec, seen[i].usec);
    EXPECT_EQ(e.wirelen, seen[i].len - hdr);
    EXPECT_EQ(e.caplen, seen[i].caplen - hdr);
    EXPECT_EQ(e.data, e.ses == 1 ? ips.at(ip++) : recs_.at(eth++).data);
  }
  EXPECT_EQ(eth, recs_.size());
  EXPECT_EQ(ip, ips.size());
  // Read from a pipe, the same log but for the sessions' start times.
  TempDir td;
  ASSERT_EQ(sh("cat '" + merged + "' | TOVATRC_FILENAME=/dev/null '" + bin("kav_import") + "' -x pcapng > '" +
               td.file("piped") + "' 2>/dev/null"),
            0);
  Log piped = parse_log(read_file(td.file("piped")));
  ASSERT_TRUE(piped.ok) << piped.why;
  ASSERT_EQ(piped.events.size(), r.log.events.size());
  for (size_t i = 0; i < piped.events.size(); i++) EXPECT_EQ(piped.events[i].data, r.log.events[i].data);
}

TEST_F(ToolsTest, CookedCaptureRewrittenByEditcap) {
  std::vector<PcapRec> cooked;
  std::vector<Bytes> ips;
  for (unsigned i = 0; i < 12; i++) {
    Bytes f = sll(i % 5, 0xFFFE, 0, 0x0800);
    Bytes ip = ipv4(20 + i * 31, i);
    append(f, ip);
    ips.push_back(ip);
    cooked.push_back({1600000000u + i, i * 83333u, f});
  }
  std::string raw = td_.file("sll_raw.pcap"), f = td_.file("sll.pcap");
  write_file(raw, pcap_file(cooked, 113));
  ASSERT_EQ(sh("editcap -F pcap '" + raw + "' '" + f + "' 2>/dev/null"), 0);
  Imported r = import_file("Tcpdump", f);
  expect_same_as_tshark(r, f, ips, 16);
  EXPECT_EQ(r.err, "PCAP linktype=113 mapped to DLPI=0x81\nDone - 12 packets imported\n");
  EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), 129);
}

// A live capture by a peer tool of UDP datagrams the test sends to itself
// over loopback: the tool runs in the background, stops by its own frame
// count, and is waited for.
class LoopbackCapture {
 public:
  LoopbackCapture() {
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    addr_.sin_family = AF_INET;
    addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof addr_;
    if (sock_ < 0 || bind(sock_, (sockaddr *)&addr_, sizeof addr_) != 0 ||
        getsockname(sock_, (sockaddr *)&addr_, &al) != 0)
      addr_.sin_port = 0;
  }
  ~LoopbackCapture() {
    if (sock_ >= 0) close(sock_);
  }
  int port() const { return ntohs(addr_.sin_port); }

  // Starts `cmd` (its standard error to a file of the temp dir) and waits
  // until that shows `ready`. Returns "" when it does, else what it said.
  std::string start(const std::string &cmd, const std::string &ready) {
    std::string log = td_.file("tool.err");
    if (sh("timeout 30 " + cmd + " 2>'" + log + "' & echo $! > '" + td_.file("pid") + "'") != 0) return "not started";
    for (int i = 0; i < 300; i++) {
      if (read_text(log).find(ready) != std::string::npos) {
        pid_ = read_text(td_.file("pid"));
        while (!pid_.empty() && (pid_.back() == '\n' || pid_.back() == ' ')) pid_.pop_back();
        usleep(500000);  // a tool may say it is ready before all its interfaces are
        return "";
      }
      usleep(20000);
    }
    std::string said = read_text(log);
    return said.empty() ? "no answer" : said;
  }

  // Sends datagrams of varied sizes until the tool has taken its count and
  // ended, then waits for it to be gone.
  void send_until_done(int sizes, size_t step) {
    for (int i = 0; i < 200 && running(); i++) {
      Bytes p = pattern(10 + (size_t)(i % sizes) * step, (unsigned)i);
      sendto(sock_, p.data(), p.size(), 0, (sockaddr *)&addr_, sizeof addr_);
      usleep(25000);
    }
    for (int i = 0; i < 500 && running(); i++) usleep(10000);
  }

 private:
  bool running() const { return !pid_.empty() && sh("kill -0 " + pid_ + " 2>/dev/null") == 0; }
  TempDir td_;
  int sock_ = -1;
  sockaddr_in addr_{};
  std::string pid_;
};

// A live capture by tcpdump of UDP datagrams the test sends over loopback,
// both on "lo" (Ethernet framing) and on "any" as a Linux cooked capture.
TEST(ToolsLive, TcpdumpLoopbackCaptures) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to capture";
  VTS_REQUIRE(have_tool("tcpdump") && have_tool("tshark"), "tcpdump/tshark not installed");
  TempDir td;
  struct Variant {
    const char *iface, *dlt;
    int hdr;
  } variants[] = {{"lo", "EN10MB", 0}, {"any", "LINUX_SLL", 16}};
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.iface);
    LoopbackCapture lc;
    ASSERT_NE(lc.port(), 0);
    std::string cap = td.file(std::string(v.iface) + ".pcap");
    std::string said = lc.start(std::string("tcpdump -U -n -i ") + v.iface + " -y " + v.dlt + " -c 6 -w '" + cap +
                                     "' udp dst port " + std::to_string(lc.port()),
                                 "listening on");
    if (!said.empty()) GTEST_SKIP() << "tcpdump could not capture: " << said;
    lc.send_until_done(6, 100);
    Imported r = import_file("Tcpdump", cap);
    bool ok = false;
    std::vector<Seen> seen = tshark_frames(cap, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(seen.size(), 6u);
    ASSERT_EQ(r.rr.status, 0) << r.err;
    ASSERT_TRUE(r.log.ok) << r.log.why;
    ASSERT_EQ(r.log.events.size(), 7u);
    Bytes raw = read_file(cap);
    size_t off = 24;
    for (size_t i = 0; i < 6; i++) {
      const Event &e = r.log.events[i];
      EXPECT_EQ(e.sec, seen[i].sec);
      EXPECT_EQ(e.usec, seen[i].usec);
      EXPECT_EQ(e.wirelen, seen[i].len - v.hdr);
      EXPECT_EQ(e.caplen, seen[i].caplen - v.hdr);
      // The frame bytes are the file's, less the cooked header.
      size_t cl = (size_t)get_le(raw, off + 8, 4);
      EXPECT_EQ(e.data, Bytes(raw.begin() + (long)(off + 16 + v.hdr), raw.begin() + (long)(off + 16 + cl)));
      off += 16 + cl;
    }
    EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), v.hdr ? 129 : 4);
  }
}

// dumpcap on two interfaces at once: loopback (Ethernet framing) and "any"
// as a version-2 cooked capture, nanosecond time stamps, interface names;
// three seconds, since the "any" capture hands its frames over in blocks.
TEST(ToolsLive, DumpcapOnTwoInterfaces) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to capture";
  VTS_REQUIRE(have_tool("dumpcap") && have_tool("tshark"), "dumpcap/tshark not installed");
  TempDir td;
  LoopbackCapture lc;
  ASSERT_NE(lc.port(), 0);
  std::string filt = "'udp dst port " + std::to_string(lc.port()) + "'";
  std::string cap = td.file("live.pcapng");
  std::string said =
      lc.start("dumpcap -q -i lo -f " + filt + " -i any -y LINUX_SLL2 -f " + filt + " -a duration:3 -w '" + cap + "'",
               "Capturing on");
  if (!said.empty()) GTEST_SKIP() << "dumpcap could not capture: " << said;
  lc.send_until_done(5, 200);
  Imported r = import_file("Tcpdump", cap);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  ASSERT_TRUE(r.log.ok) << r.log.why;
  ASSERT_EQ(r.log.nses, 2);
  EXPECT_EQ(r.log.ses_text(0, SH_IFNAME), "lo");
  EXPECT_EQ(r.log.ses_text(1, SH_IFNAME), "any");
  EXPECT_EQ(r.log.ses_field(0, SH_LINKTYPE), 4);
  EXPECT_EQ(r.log.ses_field(1, SH_LINKTYPE), 129);
  EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\nPCAP linktype=276 mapped to DLPI=0x81\n" +
                       std::string("Done - ") + std::to_string(r.log.events.size() - 2) + " packets imported\n");
  expect_sessions_as_tshark(r, cap);
  bool ok = false;
  std::vector<Seen> seen = tshark_frames(cap, &ok);
  ASSERT_TRUE(ok);
  ASSERT_GE(seen.size(), 2u);
  int per_ses[2] = {0, 0};
  for (size_t i = 0; i < seen.size(); i++) {
    SCOPED_TRACE(i);
    const Event &e = r.log.events[i];
    int hdr = e.ses == 1 ? 20 : 0;
    per_ses[e.ses]++;
    EXPECT_EQ(e.sec, seen[i].sec);
    EXPECT_EQ(e.usec, seen[i].usec);
    EXPECT_EQ(e.wirelen, seen[i].len - hdr);
    EXPECT_EQ(e.caplen, seen[i].caplen - hdr);
    // Both carry the same IPv4 datagram: after 14 octets of Ethernet header, or right away.
    ASSERT_GE(e.data.size(), 20u);
    EXPECT_EQ(e.data[e.ses == 1 ? 0 : 14], 0x45);
  }
  EXPECT_GT(per_ses[0], 0);
  EXPECT_GT(per_ses[1], 0);
}
