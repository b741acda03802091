// kavxref: two listings of one exchange made by running the suite, the
// second taken "downstream" (later clock, one hop on, a smaller MTU that
// fragments the large datagrams, one datagram lost, foreign traffic mixed
// in); rewritten lines, fragmentation notes, the filters, the sync event,
// every error text, interruption and the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <set>

#include "listing_util.h"

using namespace listing;
using logtest::TempDir;

namespace {

const uint32_t HOST_A = capgen::ip4(10, 1, 0, 1), HOST_B = capgen::ip4(10, 2, 0, 2), HOST_C = capgen::ip4(10, 3, 0, 3);
const uint8_t SYN = 0x02, ACK = 0x10, PSH_ACK = 0x18, SYN_ACK = 0x12;
const int64_t IN_START = 1700000000, REF_SHIFT_SEC = 3600, REF_SHIFT_USEC = 250300;
const size_t DOWNSTREAM_MTU = 576;

struct Datagram {
  Bytes ip;
  bool a_to_b;
  int64_t usec;     // since the Input capture started
  bool lost;        // never reaches the second point
};

Bytes udp(uint32_t src, uint32_t dst, uint16_t sp, uint16_t dp, size_t len, uint16_t id) {
  return ipv4_raw(src, dst, 17, capgen::udp4(src, dst, sp, dp, Bytes(len, 0x55)), id, 64, 0);
}

// The exchange seen at the first point, in order.
std::vector<Datagram> exchange() {
  TcpSide c{HOST_A, HOST_B, 40000, 80, 1000};
  TcpSide s{HOST_B, HOST_A, 80, 40000, 5000};
  c.id = 100;
  s.id = 500;
  std::vector<Datagram> d;
  int64_t t = 100000;
  auto add = [&](const Bytes &ip, bool a_to_b, bool lost = false) {
    d.push_back(Datagram{ip, a_to_b, t, lost});
    t += 100000;
  };
  add(c.next(SYN, 0), true);                               // id 100
  add(s.next(SYN_ACK, 0), false);                          // id 500
  add(c.next(ACK, 0), true);                               // id 101
  add(c.next(PSH_ACK, 500), true);                         // id 102
  add(udp(HOST_A, HOST_B, 5001, 9999, 1400, 103), true);   // fragmented downstream
  add(udp(HOST_A, HOST_B, 5000, 53, 30, 104), true);
  add(capgen::ipv4(HOST_A, HOST_B, 1, capgen::icmp_echo(8, 1, 1, Bytes(16, 0)), 105), true);
  add(s.next(PSH_ACK, 300), false);                        // id 501
  add(udp(HOST_B, HOST_A, 9999, 5001, 1200, 502), false);  // fragmented downstream
  c.id = 106;
  add(c.next(PSH_ACK, 200), true, true);                   // id 106, lost on the way
  // Enough traffic after the loss that the second listing runs on well
  // beyond the search's look-back.
  for (int i = 0; i < 25; i++) add(c.next(PSH_ACK, 20), true);  // ids 107-131
  // Five seconds on, the client's identification has come round to 100
  // again: only the time tells the two datagrams with id 100 apart.
  t += 5000000;
  c.id = 100;
  add(c.next(PSH_ACK, 10), true);                          // id 100
  return d;
}

std::vector<Frame> upstream(const std::vector<Datagram> &dg) {
  std::vector<Frame> f;
  for (const Datagram &d : dg) f.push_back(eth_frame(IN_START + d.usec / 1000000, d.usec % 1000000, d.ip, d.a_to_b));
  return f;
}

// The same traffic one hop on: a later clock, TTL one less, fragments for the
// smaller MTU, the lost datagram missing, other traffic in between. With
// stale, the listing starts with an older datagram of the client's that has
// the identification of its first one.
std::vector<Frame> downstream(const std::vector<Datagram> &dg, bool stale = false) {
  std::vector<Frame> f;
  auto push = [&](int64_t usec, const Bytes &ip, bool a_to_b) {
    int64_t u = usec + REF_SHIFT_SEC * 1000000 + REF_SHIFT_USEC;
    f.push_back(eth_frame(IN_START + u / 1000000, u % 1000000, ip, a_to_b));
  };
  if (stale) push(-3000000, udp(HOST_A, HOST_B, 6000, 6000, 20, 100), true);
  push(50000, udp(HOST_C, HOST_B, 7, 7, 20, 102), true);  // someone else's id 102
  for (size_t i = 0; i < dg.size(); i++) {
    const Datagram &d = dg[i];
    if (d.lost) continue;
    Bytes hop = d.ip;
    hop[8]--;
    hop[10] = hop[11] = 0;
    capgen::put_be(hop, 10, capgen::fold(capgen::sum16(hop.data(), 20)), 2);
    int64_t u = d.usec + 300;
    for (const Bytes &frag : fragment(hop, DOWNSTREAM_MTU, hop[8])) push(u++, frag, d.a_to_b);
    // The client's id 100 from another connection, seconds before the
    // reused one.
    if (i + 2 == dg.size()) push(d.usec + 50000, udp(HOST_A, HOST_B, 6000, 6000, 20, 100), true);
  }
  return f;
}

std::string kavxref() { return logtest::bin("kavxref"); }

// Where each Input event of the exchange lands in the downstream listing:
// two extra frames per fragmented datagram, one foreign datagram before,
// the lost one missing, a second foreign one before the last.
int ref_event(int in_evt) {
  if (in_evt <= 4) return in_evt + 1;
  if (in_evt == 5) return 6;
  if (in_evt <= 9) return in_evt + 3;
  if (in_evt == 10) return 0;  // lost
  if (in_evt <= 35) return in_evt + 4;
  return in_evt == 36 ? 41 : 0;
}

const char *const FRAG_NOTE_103 = " - FRAG: off=0 (0), data=1400 (544)";
const char *const FRAG_NOTE_502 = " - FRAG: off=0 (0), data=1200 (544)";

std::string report_head(const std::string &in, const std::string &ref) {
  return "Velmora: Cross-Reference Report, 1.4.8\n\nInput file: " + in + "\nReference file: " + ref + "\n";
}

// The report expected for an Input listing: its lines after the base time,
// with the events given rewritten ("Ref=..." and any note), then the count.
std::string expected_report(const std::string &in, const std::string &ref, const std::string &in_text,
                            const std::map<int, std::string> &rewrites, const std::string &count) {
  std::string out = report_head(in, ref);
  bool body = false;
  for (const std::string &l : lines_of(in_text)) {
    if (!body) {
      body = l.compare(0, 13, "Base time is ") == 0;
      continue;
    }
    auto it = l.compare(0, 6, "- Evt=") == 0 ? rewrites.find(atoi(l.c_str() + 6)) : rewrites.end();
    out += (it == rewrites.end() ? l : l.substr(0, l.find(':')) + ": " + it->second) + "\n";
  }
  return out + count + "\n";
}

// Every Input event of the exchange accepted by keep, with its rewrite.
std::map<int, std::string> rewrites(const std::function<bool(int)> &keep, int ref_add = 0) {
  std::map<int, std::string> m;
  for (int e = 1; e <= 36; e++) {
    if (!keep(e) || !ref_event(e)) continue;
    m[e] = "Ref=" + std::to_string(ref_event(e) + ref_add) + (e == 5 ? FRAG_NOTE_103 : e == 9 ? FRAG_NOTE_502 : "");
  }
  return m;
}

bool any(int) { return true; }

class XrefListings : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<Datagram> dg = exchange();
    in = make_listing(td, "up", upstream(dg));
    ref = make_listing(td, "down", downstream(dg));
    ASSERT_FALSE(in.empty());
    ASSERT_FALSE(ref.empty());
    in_text = logtest::read_text(in);
    ref_text = logtest::read_text(ref);
  }
  Report xref(std::vector<std::string> args) {
    std::vector<std::string> argv = {kavxref()};
    argv.insert(argv.end(), args.begin(), args.end());
    logtest::write_file(td.file("empty"), {});
    return run_report(td, argv, td.file("empty"));
  }
  TempDir td;
  std::string in, ref, in_text, ref_text;
};

// ---- cross-references ------------------------------------------------------

TEST_F(XrefListings, ListingsHoldWhatTheExpectationsAssume) {
  // The mapping below is by hand: check the downstream listing really has
  // each counterpart where it says, and the fragments the notes describe.
  for (int e = 1; e <= 36; e++) {
    if (!ref_event(e)) continue;
    std::string il = event_line(in_text, e), rl = event_line(ref_text, ref_event(e));
    size_t ii = il.find("IP: "), ri = rl.find("IP: ");
    ASSERT_NE(ii, std::string::npos) << e;
    ASSERT_NE(ri, std::string::npos) << e;
    std::string id = il.substr(il.find(", id="), il.find('.', il.find(", id=")) - il.find(", id="));
    EXPECT_EQ(il.substr(ii, il.find(" <") - ii), rl.substr(ri, rl.find(" <") - ri)) << e;
    EXPECT_NE(rl.find(id + ".0;"), std::string::npos) << e << ": " << rl;
  }
  EXPECT_NE(event_line(ref_text, 7).find("id=103.552; data=552"), std::string::npos);
  EXPECT_NE(event_line(ref_text, 8).find("<MF,LAST>, id=103.1104; data=304"), std::string::npos);
  EXPECT_NE(event_line(ref_text, 40).find("10.1.0.1 -> 10.2.0.2 <MF,LAST>, id=100.0; UDP"), std::string::npos);
  EXPECT_NE(event_line(in_text, 10).find("id=106.0"), std::string::npos);
  EXPECT_EQ(ref_text.find("id=106."), std::string::npos);
  EXPECT_NE(in_text.find("Base time is "), std::string::npos);
}

TEST_F(XrefListings, EveryDatagramRewrittenAsItsReferenceEvent) {
  // Also: the lost datagram is copied unchanged and the search goes on from
  // where it was; the reused id 100 is told apart by the time.
  Report r = xref({in, ref});
  EXPECT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites(any), "Rewrote 35/36 matching input events"));
  EXPECT_TRUE(std::regex_match(r.err, std::regex("Duration: 00:00:0\\d\n"))) << r.err;
}

TEST_F(XrefListings, FragmentsOfTheInputReferToTheWholeDatagram) {
  // Turned round: the downstream fragments all name the one upstream event.
  Report r = xref({ref, in});
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find("- Evt=6 (0.750600): Ref=5 - FRAG: off=0 (0), data=544 (1400)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("- Evt=7 (0.750601): Ref=5 - FRAG: off=552 (0), data=552 (1400)\n"), std::string::npos);
  EXPECT_NE(r.out.find("- Evt=8 (0.750602): Ref=5 - FRAG: off=1104 (0), data=304 (1400)\n"), std::string::npos);
  EXPECT_NE(r.out.find("- Evt=14 (1.150602): Ref=9 - FRAG: off=1104 (0), data=104 (1200)\n"), std::string::npos);
  EXPECT_NE(r.out.find("- Evt=41 (8.850600): Ref=36\n"), std::string::npos);
  // The foreign datagram and the other connection's id 100 have no upstream
  // counterpart.
  EXPECT_NE(r.out.find(event_line(ref_text, 1) + "\n"), std::string::npos);
  EXPECT_NE(r.out.find(event_line(ref_text, 40) + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nRewrote 39/41 matching input events\n"), std::string::npos);
}

TEST_F(XrefListings, NotFragmentedAssertionRefusesOtherLengths) {
  Report r = xref({"-f", in, ref});
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites([](int e) { return e != 5 && e != 9; }),
                                   "Rewrote 33/36 matching input events"));
}

TEST_F(XrefListings, VerbosityThreeListingIsReadToo) {
  std::string in3 = make_listing(td, "up3", upstream(exchange()), 3);
  ASSERT_FALSE(in3.empty());
  std::string text3 = logtest::read_text(in3);
  ASSERT_NE(text3.find("Verbosity level is 3"), std::string::npos);
  ASSERT_NE(text3.find("ETH: 02:00:5E:10:20:01 -> 02:00:5E:10:20:02; IP: "), std::string::npos);
  Report r = xref({in3, ref});
  EXPECT_EQ(r.out, expected_report(in3, ref, text3, rewrites(any), "Rewrote 35/36 matching input events"));
}

// ---- address filters -------------------------------------------------------

const std::set<int> FROM_B = {2, 8, 9};
const std::set<int> UDP_OR_ICMP = {5, 6, 7, 9};

TEST_F(XrefListings, SourceFilter) {
  Report r = xref({"-s", "10.2.0.2", in, ref});
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites([](int e) { return FROM_B.count(e) > 0; }),
                                   "Rewrote 3/3 matching input events"));
}

TEST_F(XrefListings, DestinationFilter) {
  Report r = xref({"-d", "10.2.0.2", in, ref});
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites([](int e) { return !FROM_B.count(e); }),
                                   "Rewrote 32/33 matching input events"));
}

TEST_F(XrefListings, EitherSideFilter) {
  Report r = xref({"-a", "10.2.0.2", in, ref});
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites(any), "Rewrote 35/36 matching input events"));
  Report none = xref({"-a", "10.9.9.9", in, ref});
  EXPECT_EQ(none.out, expected_report(in, ref, in_text, {}, "Rewrote 0/0 matching input events"));
}

TEST_F(XrefListings, PortFiltersOnTcp) {
  auto tcp_from_a = [](int e) { return !FROM_B.count(e) && !UDP_OR_ICMP.count(e); };
  Report s = xref({"-s", "10.1.0.1:40000", in, ref});
  EXPECT_EQ(s.out, expected_report(in, ref, in_text, rewrites(tcp_from_a), "Rewrote 29/30 matching input events"));
  Report d = xref({"-d", "10.1.0.1:40000", in, ref});
  EXPECT_EQ(d.out, expected_report(in, ref, in_text, rewrites([](int e) { return e == 2 || e == 8; }),
                                   "Rewrote 2/2 matching input events"));
  Report a = xref({"-a", "10.1.0.1:40000", in, ref});
  EXPECT_EQ(a.out, expected_report(in, ref, in_text, rewrites([](int e) { return !UDP_OR_ICMP.count(e); }),
                                   "Rewrote 31/32 matching input events"));
  Report wrong = xref({"-s", "10.1.0.1:80", in, ref});
  EXPECT_EQ(wrong.out, expected_report(in, ref, in_text, {}, "Rewrote 0/0 matching input events"));
}

TEST_F(XrefListings, PortFiltersOnUdp) {
  Report s = xref({"-u", "-s", "10.1.0.1:5000", in, ref});
  EXPECT_EQ(s.out, expected_report(in, ref, in_text, rewrites([](int e) { return e == 6; }),
                                   "Rewrote 1/1 matching input events"));
  Report d = xref({"-d", "10.2.0.2:9999", "-u", in, ref});
  EXPECT_EQ(d.out, expected_report(in, ref, in_text, rewrites([](int e) { return e == 5; }),
                                   "Rewrote 1/1 matching input events"));
  // Without -u the port spec is looked for in a TCP section.
  Report tcp = xref({"-d", "10.2.0.2:9999", in, ref});
  EXPECT_EQ(tcp.out, expected_report(in, ref, in_text, {}, "Rewrote 0/0 matching input events"));
}

TEST_F(XrefListings, LastOfTheFilterSwitchesWins) {
  Report r = xref({"-a", "10.9.9.9", "-s", "10.2.0.2", in, ref});
  EXPECT_EQ(r.out, expected_report(in, ref, in_text, rewrites([](int e) { return FROM_B.count(e) > 0; }),
                                   "Rewrote 3/3 matching input events"));
}

// ---- sync event ------------------------------------------------------------

TEST_F(XrefListings, SyncEventSkipsAStaleDatagramWithTheSameId) {
  std::string stale = make_listing(td, "stale", downstream(exchange(), true));
  ASSERT_FALSE(stale.empty());
  std::string stale_text = logtest::read_text(stale);
  ASSERT_NE(event_line(stale_text, 1).find("UDP: 6000->6000"), std::string::npos);
  ASSERT_NE(event_line(stale_text, 3).find("id=100.0; TCP: 40000->80 <SYN>"), std::string::npos);

  // Unsynchronised, the first datagram is taken for the stale one, and
  // with the clocks then three seconds apart the next ones find nothing.
  Report lost = xref({in, stale});
  EXPECT_NE(lost.out.find("- Evt=1 (0.100000): Ref=1 - FRAG: off=0 (0), data=0 (20)\n"), std::string::npos)
      << lost.out;
  EXPECT_NE(lost.out.find(event_line(in_text, 2) + "\n"), std::string::npos);

  Report r = xref({"-e", "3", in, stale});
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_EQ(r.out, expected_report(in, stale, in_text, rewrites(any, 1), "Rewrote 35/36 matching input events"));
}

TEST_F(XrefListings, MissingSyncEvent) {
  Report r = xref({"-e", "99", in, ref});
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_EQ(r.out, report_head(in, ref) + "Sync event=99 not found in " + ref + "\n");
}

// ---- listings that cannot be used ------------------------------------------

TEST_F(XrefListings, MissingFiles) {
  std::string none = td.file("none.txt");
  Report a = xref({none, ref});
  EXPECT_EQ(a.rr.status, 1);
  EXPECT_EQ(a.out, report_head(none, ref) + "fopen(" + none + ") failed, errno=2\n");
  Report b = xref({in, none});
  EXPECT_EQ(b.rr.status, 1);
  EXPECT_EQ(b.out, report_head(in, none) + "fopen(" + none + ") failed, errno=2\n");
}

TEST_F(XrefListings, WrongVerbosity) {
  for (int vb : {1, 4}) {
    std::string bad = make_listing(td, "vb" + std::to_string(vb), upstream(exchange()), vb);
    ASSERT_FALSE(bad.empty());
    std::string msg = "ERROR: " + bad + " has invalid Verbosity level, " + std::to_string(vb) + ".\nMust be 2-3.\n";
    Report r = xref({in, bad});
    EXPECT_EQ(r.rr.status, 1);
    EXPECT_EQ(r.out, report_head(in, bad) + msg);
    Report r2 = xref({bad, ref});
    EXPECT_EQ(r2.rr.status, 1);
    EXPECT_EQ(r2.out, report_head(bad, ref) + msg);
  }
}

std::string write_text(const TempDir &td, const std::string &name, const std::string &text) {
  std::string path = td.file(name);
  logtest::write_file(path, Bytes(text.begin(), text.end()));
  return path;
}

TEST_F(XrefListings, CorruptHeader) {
  // Cut off before the base time, and without any header at all.
  std::string cut = write_text(td, "cut.txt", in_text.substr(0, in_text.find("Base time")));
  Report r = xref({in, cut});
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_EQ(r.out, report_head(in, cut) + cut + " is corrupt - missing header info\n");
  std::string empty = write_text(td, "empty.txt", "");
  Report e = xref({empty, ref});
  EXPECT_EQ(e.rr.status, 1);
  EXPECT_EQ(e.out, report_head(empty, ref) + empty + " is corrupt - missing header info\n");
}

TEST_F(XrefListings, InvalidBaseTime) {
  std::string bad = write_text(td, "bad.txt", "Verbosity level is 2\nBase time is Unknown\n\n- Evt=1 (0): END\n");
  Report r = xref({bad, ref});
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_EQ(r.out, report_head(bad, ref) + "ERROR: " + bad + " has invalid base time, Base time is Unknown\n");
}

// ---- hand-written lines ----------------------------------------------------

const std::string HEADER = "Verbosity level is 2\nBase time is Tue Nov 14 22:13:20 2023\n";

TEST(XrefLines, MalformedEventLinesAreReportedAndCopied) {
  TempDir td;
  std::string body =
      "- Evt=1: ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=5.0; TCP: 1->2 <ACK>, seq=1; \n"
      "- Evt=2 (1.000000): ETH; IP: 1.1.1.1 2.2.2.2 <DF,LAST>, id=5.0; \n"
      "- Evt=3 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2, id=5.0; \n"
      "- Evt=4 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>; \n"
      "- Evt=5 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=77; \n";
  std::string path = write_text(td, "in.txt", HEADER + body);
  logtest::write_file(td.file("stdin"), {});
  Report r = run_report(td, {kavxref(), path, path}, td.file("stdin"));
  EXPECT_EQ(r.rr.status, 0);
  // Event 1 has no time but is an IP event: it finds itself.
  EXPECT_EQ(r.out, report_head(path, path) + "- Evt=1: Ref=1\n" + body.substr(body.find("- Evt=2")) +
                       "Rewrote 1/1 matching input events\n");
  std::string warnings =
      "Missing timestamp in evt 1 of Input file\n"
      "Missing '->' token in event 2 of Input file\n"
      "Missing ' <' token in event 3 of Input file\n"
      "Missing ', id=' token in event 4 of Input file\n"
      "Missing '.' token in event 5 of Input file\n";
  EXPECT_EQ(r.err.substr(0, r.err.find("Duration")),
            "Missing timestamp in evt 1 of Input file\nMissing timestamp in evt 1 of Reference file\n" +
                warnings.substr(warnings.find('\n') + 1));
}

TEST(XrefLines, LongLinesAreNotSplitIntoEvents) {
  // Readers with a 1024- or 4096-character line buffer would see the text
  // at those offsets as event lines of their own.
  TempDir td;
  std::string fake = "- Evt=9 (1.000000): ETH; IP: 3.3.3.3 -> 4.4.4.4 <DF,LAST>, id=9.0; ";
  std::string first = "- Evt=1 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=5.0; data=9000 [";
  first.resize(1024, 'x');
  first += fake;
  first.resize(4096, 'y');
  first += fake + std::string(5000, 'z') + "]";
  std::string path = write_text(td, "in.txt", HEADER + first + "\n");
  logtest::write_file(td.file("stdin"), {});
  Report r = run_report(td, {kavxref(), path, path}, td.file("stdin"));
  EXPECT_EQ(r.out, report_head(path, path) + "- Evt=1 (1.000000): Ref=1\nRewrote 1/1 matching input events\n");
  EXPECT_EQ(r.err.find("Missing"), std::string::npos) << r.err;
}

TEST(XrefLines, PortEndsAtFlagsWithOrWithoutBlank) {
  TempDir td;
  std::string body =
      "- Evt=1 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=5.0; TCP: 7->9 <ACK>, seq=1; \n"
      "- Evt=2 (1.100000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=6.0; TCP: 7->9<ACK>, seq=1; \n"
      "- Evt=3 (1.200000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=7.0; TCP: 7->9, seq=1; \n"
      "- Evt=4 (1.300000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=8.0; TCP: 7->99 <ACK>, seq=1; \n"
      "- Evt=5 (1.400000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <MF,LAST>, id=9.0; UDP: 7->9; data=3 []; \n";
  std::string path = write_text(td, "in.txt", HEADER + body);
  logtest::write_file(td.file("stdin"), {});
  Report r = run_report(td, {kavxref(), "-d", "2.2.2.2:9", path, path}, td.file("stdin"));
  EXPECT_EQ(r.out, report_head(path, path) +
                       "- Evt=1 (1.000000): Ref=1\n- Evt=2 (1.100000): Ref=2\n- Evt=3 (1.200000): Ref=3\n" +
                       body.substr(body.find("- Evt=4")) + "Rewrote 3/3 matching input events\n");
  Report u = run_report(td, {kavxref(), "-u", "-d", "2.2.2.2:9", path, path}, td.file("stdin"));
  EXPECT_NE(u.out.find("- Evt=5 (1.400000): Ref=5\nRewrote 1/1 matching input events\n"), std::string::npos)
      << u.out;
}

TEST(XrefLines, HugeNumbersAreTakenAsTheirLimits) {
  TempDir td;
  std::string line =
      "- Evt=99999999999999999999 (99999999999999999999.99999999999): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, "
      "id=7.99999999999999999999; UDP: 1->2; data=99999999999999999999 []\n";
  std::string path = write_text(td, "in.txt", HEADER + line + line);
  logtest::write_file(td.file("stdin"), {});
  Report r = run_report(td, {kavxref(), path, path}, td.file("stdin"));
  EXPECT_EQ(r.rr.status, 0);
  std::string rewritten = "- Evt=99999999999999999999 (99999999999999999999.99999999999): Ref=2147483647\n";
  EXPECT_EQ(r.out, report_head(path, path) + rewritten + rewritten + "Rewrote 2/2 matching input events\n");
}

TEST(XrefLines, GarbledLinesNeitherCrashNorStop) {
  TempDir td;
  logtest::write_file(td.file("stdin"), {});
  for (unsigned seed = 1; seed <= 4; seed++) {
    std::string in = write_text(td, "in.txt", HEADER + garbled_lines(seed, 3000));
    std::string ref = write_text(td, "ref.txt", HEADER + garbled_lines(seed + 100, 3000));
    Report r = run_report(td, {kavxref(), "-a", "10.1.0.1:7", in, ref}, td.file("stdin"));
    ASSERT_EQ(r.rr.status, 0) << "seed " << seed << ": " << r.err.substr(0, 2000);
    EXPECT_NE(r.out.find(" matching input events\n"), std::string::npos);
    Report all = run_report(td, {kavxref(), in, ref}, td.file("stdin"));
    ASSERT_EQ(all.rr.status, 0) << "seed " << seed << ": " << all.err.substr(0, 2000);
  }
}

// ---- interruption ----------------------------------------------------------

// Runs kavxref on a FIFO as Input, feeds it one event, then signals it while
// it waits for more.
void interrupt_with(int sig) {
  TempDir td;
  std::string fifo = td.file("in.fifo"), out = td.file("out"), err = td.file("err");
  std::string line = "- Evt=1 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=5.0; \n";
  std::string ref = write_text(td, "ref.txt", HEADER + line);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fo, 1);
    dup2(fe, 2);
    setenv("TOV_STDOUT_NOBUF", "y", 1);
    execl(kavxref().c_str(), "kavxref", fifo.c_str(), ref.c_str(), (char *)nullptr);
    _exit(127);
  }
  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string feed = HEADER + line;
  ASSERT_EQ(write(fd, feed.data(), feed.size()), (ssize_t)feed.size());
  bool seen = false;
  for (int i = 0; i < 500 && !seen; i++) {
    usleep(10000);
    seen = logtest::read_text(out).find("Ref=1\n") != std::string::npos;
  }
  EXPECT_TRUE(seen);
  kill(pid, sig);
  int st = 0;
  for (int i = 0; i < 500 && waitpid(pid, &st, WNOHANG) == 0; i++) usleep(10000);
  close(fd);
  if (waitpid(pid, &st, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    FAIL() << "kavxref did not end on signal " << sig;
  }
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_EQ(logtest::read_text(out), report_head(fifo, ref) + "- Evt=1 (1.000000): Ref=1\n" +
                                         "Rewrote 1/1 matching input events, before being interrupted\n");
  EXPECT_TRUE(std::regex_match(logtest::read_text(err), std::regex("Duration: 00:00:0\\d\n")));
}

TEST(XrefSignals, InterruptPrintsTheCounts) { interrupt_with(SIGINT); }
TEST(XrefSignals, TerminatePrintsTheCounts) { interrupt_with(SIGTERM); }

// ---- output buffering -------------------------------------------------------

TEST(XrefOutput, UnexaminableStdoutIsNotedAndRunGoesOn) {
  TempDir td;
  std::string line = "- Evt=1 (1.000000): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=5.0; \n";
  std::string path = write_text(td, "in.txt", HEADER + line), err = td.file("err");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fe, 2);
    close(fe);
    close(1);
    execl(kavxref().c_str(), "kavxref", path.c_str(), path.c_str(), (char *)nullptr);
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  // The run goes on to the end; with nowhere to write, it then says so.
  EXPECT_EQ(WEXITSTATUS(st), 1);
  std::string text = logtest::read_text(err);
  EXPECT_EQ(text.find("Failed to stat stdout (errno=9) - assume full buffering\n"), 0u) << text;
  EXPECT_NE(text.find("Write failed on standard output - errno="), std::string::npos) << text;
}

// ---- command line ----------------------------------------------------------

TEST(XrefCommandLine, UsageText) {
  TempDir td;
  logtest::write_file(td.file("stdin"), {});
  Report r = run_report(td, {kavxref(), "-h"}, td.file("stdin"));
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_EQ(r.out,
            "USAGE:\n"
            "kavxref [-a|-s|-d host[:port]] [-u] [-f] [-e event-id] input-file ref-file\n"
            "kavxref -h\n"
            "\n"
            "  -a: Only IP events with matching source/dest sepc will be rewritten\n"
            "  -s: Only IP events that match source-address spec will be rewritten\n"
            "  -d: Only IP events that match dest-address spec will be rewritten\n"
            "  -u: Port spec refers to UDP (default is TCP)\n"
            "  -f: Asserts that the Input datagrams are not fragmented\n"
            "  -e: Specifies first matching event in Reference file\n"
            "  -h: Display this usage synopsis.\n"
            "\n");
}

TEST(XrefCommandLine, ErrorsEndWithStatus99) {
  expect_cmdline_errors(kavxref(),
                        {
                            {{"a"}, "Illegal number of parameters (1)"},
                            {{"a", "b", "c"}, "Illegal number of parameters (3)"},
                            {{"-x", "a", "b"}, "Illegal switch (on or after '-x')"},
                            {{"-s"}, "Illegal switch (on or after '-s')"},
                            {{"-f", "-f", "a", "b"}, "Duplicate '-f' switch"},
                            {{"-e", "abc", "a", "b"}, "Invalid switch: '-e abc' - non-numeric argument"},
                            {{"-e", "-3", "a", "b"}, "Invalid switch: '-e -3' - non-numeric argument"},
                        },
                        "");
}

}  // namespace

// A report that cannot be written is not a success: one message, status 1.
TEST_F(XrefListings, FullDiskEndsWithOneMessageAndStatus1) {
  logtest::write_file(td.file("empty"), {});
  logtest::RunResult rr = logtest::run({kavxref(), in, ref}, td.file("empty"), "/dev/full", td.file("err"));
  EXPECT_EQ(rr.status, 1);
  std::string err = logtest::read_text(td.file("err"));
  EXPECT_NE(err.find("Write failed on standard output - errno=28 [No space left on device]\n"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("Write failed", err.find("Write failed") + 1), std::string::npos) << err;  // only once
}
