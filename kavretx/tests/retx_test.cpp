// kavretx: verdicts and counters on a listing made by running the suite
// (retransmissions, out-of-order segments, keep-alives, the sequence wrap at
// one million), the summary in every order, the analyser's line forms,
// table and key-buffer limits, long lines, and the command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "listing_util.h"

using namespace listing;
using logtest::TempDir;

namespace {

const uint32_t HOST_A = capgen::ip4(10, 1, 0, 1), HOST_B = capgen::ip4(10, 2, 0, 2);
const uint8_t SYN = 0x02, ACK = 0x10, PSH_ACK = 0x18, SYN_ACK = 0x12;

std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

// Three connections' worth of segments, each with the verdict text the
// report must append to its event line ("" for lines it copies unchanged).
struct Scenario {
  std::vector<Frame> frames;
  std::vector<std::string> verdicts;
  int64_t usec = 0;
  void add(const Bytes &ip, bool a_to_b, const std::string &verdict) {
    usec += 10000;
    frames.push_back(eth_frame(1700000000 + usec / 1000000, usec % 1000000, ip, a_to_b));
    verdicts.push_back(verdict);
  }
};

Scenario connections() {
  Scenario s;
  // Printed sequence numbers are taken modulo one million: the client starts
  // just below a wrap, the server's first data segment crosses one.
  TcpSide c1{HOST_A, HOST_B, 40000, 80, 7998999};
  TcpSide s1{HOST_B, HOST_A, 80, 40000, 3999000};
  TcpSide c2{HOST_A, HOST_B, 40001, 80, 20000};

  s.add(c1.next(SYN, 0), true, " -- OK=1 (1/1)");                    // 998999-998999
  s.add(s1.next(SYN_ACK, 0), false, " -- OK=1 (1/1)");               // 999000-999000
  s.add(c1.next(ACK, 0), true, " -- OK");                            // 999000
  s.add(capgen::ipv4(HOST_A, HOST_B, 17, capgen::udp4(HOST_A, HOST_B, 5000, 53, Bytes(20, 1)), 7), true, "");
  s.add(c1.next(PSH_ACK, 500), true, " -- OK=2 (2/2)");              // 999000-999499
  Bytes held = c1.next(PSH_ACK, 500);                                // 999500-999999, arrives late
  s.add(c1.next(PSH_ACK, 500), true, " -- OK=3 (3/3)  LOST=500");    // 0-499: ahead across the wrap
  s.add(s1.next(PSH_ACK, 1000), false, " -- OK=2 (2/2)");            // 999001-0: crosses the wrap
  s.add(held, true, " -- OK=4 (4/4)");                                // fills the gap
  s.add(c2.next(SYN, 0), true, " -- OK=1 (1/1)");                    // 20000-20000
  s.add(c1.segment(8000000, PSH_ACK, 500), true, " -- RETX=1 (1/5)  next=500");  // 0-499 again
  s.add(s1.next(PSH_ACK, 1000), false, " -- OK=3 (3/3)");            // 1-1000
  s.add(c2.next(PSH_ACK, 100), true, " -- OK=2 (2/2)");              // 20001-20100
  s.add(c1.next(PSH_ACK, 500), true, " -- OK=1 (5/6)");              // 500-999
  s.add(capgen::ipv4(HOST_A, HOST_B, 1, capgen::icmp_echo(8, 1, 1, Bytes(8, 0)), 8), true, "");
  s.add(c1.segment(8000500, PSH_ACK, 500), true, " -- RETX=1 (2/7)  next=1000");
  s.add(s1.segment(4000001, PSH_ACK, 1000), false, " -- RETX=1 (1/4)  next=1001");
  s.add(c1.segment(8000500, PSH_ACK, 500), true, " -- RETX=2 (3/8)  next=1000");
  s.add(c2.segment(20001, PSH_ACK, 100), true, " -- RETX=1 (1/3)  next=20101");
  s.add(c1.segment(8000999, ACK, 0), true, " -- OK");                       // keep-alive
  s.add(c1.segment(8000998, ACK, 0), true, " -- RETX  next=1000");          // two behind, no data
  s.add(s1.segment(4000001, PSH_ACK, 1000), false, " -- RETX=2 (2/5)  next=1001");
  s.add(c1.next(PSH_ACK, 500), true, " -- OK=1 (6/9)");                     // 1000-1499
  s.add(c2.next(PSH_ACK, 100), true, " -- OK=1 (3/4)");                     // 20101-20200
  s.add(c1.segment(8601500, PSH_ACK, 500), true, " -- RETX=1 (4/10)  next=1500");  // too far ahead
  s.add(s1.segment(4000001, PSH_ACK, 1000), false, " -- RETX=3 (3/6)  next=1001");
  {
    capgen::Ip6 a = capgen::ip6(1), b = capgen::ip6(2);
    capgen::Tcp t;
    t.seq = 5;
    s.frames.push_back(Frame{1700000001, 0, capgen::ether(MAC_B, MAC_A, 0x86dd, capgen::ipv6(a, b, 6, capgen::tcp6(a, b, t)))});
    s.verdicts.push_back("");
  }
  return s;
}

const char *const SUMMARY_HEAD =
    "\n============================================================\n"
    "\nThis file contains 3 transmitter/receiver packet flows.\n";
const char *const FLOW_C1 =
    "- %d: 10.1.0.1:40000 -> 10.2.0.2:80\n\tTotal packets: 10/13,  Ok=6, Retx=4, Unordered=1\n";
const char *const FLOW_S1 =
    "- %d: 10.2.0.2:80 -> 10.1.0.1:40000\n\tTotal packets: 6/6,  Ok=3, Retx=3, Unordered=0\n";
const char *const FLOW_C2 =
    "- %d: 10.1.0.1:40001 -> 10.2.0.2:80\n\tTotal packets: 4/4,  Ok=3, Retx=1, Unordered=0\n";
const char *const AGGREGATE = "\nAggregate Totals:\nTotal packets: 20/23,  Ok=12, Retx=8, Unordered=1\n";

std::string flow(const char *fmt, int n) {
  char buf[256];
  snprintf(buf, sizeof buf, fmt, n);
  return buf;
}

std::string summary(const char *caption, const char *first, const char *second, const char *third) {
  return std::string(SUMMARY_HEAD) + "Sort by: " + caption + "\n\n" + flow(first, 1) + flow(second, 2) +
         flow(third, 3) + AGGREGATE;
}

std::string kavretx() { return logtest::bin("kavretx"); }

std::string write_text(const TempDir &td, const std::string &name, const std::string &text) {
  std::string path = td.file(name);
  logtest::write_file(path, Bytes(text.begin(), text.end()));
  return path;
}

class RetxListing : public ::testing::Test {
 protected:
  void SetUp() override {
    scenario = connections();
    path = make_listing(td, "conn", scenario.frames);
    ASSERT_FALSE(path.empty()) << "building the listing failed";
    listing = logtest::read_text(path);
  }
  TempDir td;
  Scenario scenario;
  std::string path, listing;
};

// ---- verdicts on a listing made by the suite -------------------------------

TEST_F(RetxListing, EveryLineCopiedAndEveryTcpSegmentJudged) {
  Report r = run_report(td, {kavretx()}, path);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  const std::string title = "Velmora: Retransmissions Report, 1.4.8\n\n";
  ASSERT_EQ(r.out.compare(0, title.size(), title), 0) << r.out;
  // Build the whole expected report from the listing and the verdicts.
  std::string expected = title;
  for (const std::string &l : lines_of(listing)) {
    std::string v;
    if (l.compare(0, 6, "- Evt=") == 0) {
      int n = atoi(l.c_str() + 6);
      if (n >= 1 && n <= (int)scenario.verdicts.size()) v = scenario.verdicts[size_t(n - 1)];
    }
    expected += (v.empty() ? l : rtrim(l) + v) + "\n";
  }
  expected += summary("Data-packet retransmissions ratio", FLOW_S1, FLOW_C1, FLOW_C2);
  EXPECT_EQ(r.out, expected);
}

TEST_F(RetxListing, ListingHoldsTheWrappedSequenceNumbersJudged) {
  // The frames must really have printed the wrapped forms the verdicts
  // depend on; otherwise the test above proves less than it claims.
  EXPECT_NE(event_line(listing, 6).find("seq=0-499,"), std::string::npos) << event_line(listing, 6);
  EXPECT_NE(event_line(listing, 7).find("seq=999001-0,"), std::string::npos) << event_line(listing, 7);
  EXPECT_NE(event_line(listing, 19).find("seq=999, "), std::string::npos) << event_line(listing, 19);
  EXPECT_NE(event_line(listing, 4).find("UDP: 5000->53"), std::string::npos);
  EXPECT_NE(event_line(listing, 26).find("IPv6"), std::string::npos);
}

// ---- summary order ---------------------------------------------------------

// The report on the listing with the switches given must end with the
// summary in the order given.
void expect_summary(const TempDir &td, const std::string &path, const std::vector<std::string> &args,
                    const std::string &want) {
  std::vector<std::string> argv = {kavretx()};
  argv.insert(argv.end(), args.begin(), args.end());
  Report r = run_report(td, argv, path);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  ASSERT_GE(r.out.size(), want.size());
  EXPECT_EQ(r.out.substr(r.out.size() - want.size()), want);
}

TEST_F(RetxListing, DefaultOrderIsRetransmissionRatio) {
  expect_summary(td, path, {}, summary("Data-packet retransmissions ratio", FLOW_S1, FLOW_C1, FLOW_C2));
}

TEST_F(RetxListing, DataSwitchOrdersByDataSegments) {
  expect_summary(td, path, {"-d"}, summary("No. of data packets", FLOW_C1, FLOW_S1, FLOW_C2));
}

TEST_F(RetxListing, LostSwitchOrdersByOutOfSequenceThenKey) {
  // Two flows have no out-of-sequence segment: the lower key comes first.
  expect_summary(td, path, {"-l"}, summary("No. of out-of-sequence data packets", FLOW_C1, FLOW_C2, FLOW_S1));
}

TEST_F(RetxListing, BothSwitchesOrderByDataSegments) {
  std::string want = summary("No. of data packets", FLOW_C1, FLOW_S1, FLOW_C2);
  expect_summary(td, path, {"-l", "-d"}, want);
  expect_summary(td, path, {"-dl"}, want);
}

TEST_F(RetxListing, NamedPortsListingKeepsTheSameFlows) {
  // Without -N the analyser names port 80: the flows are the same three.
  std::string log = td.file("conn.kav"), named = td.file("named.txt");
  ASSERT_EQ(logtest::run({logtest::bin("kavpan"), "-v", "2"}, log, named, td.file("e")).status, 0);
  Report r = run_report(td, {kavretx()}, named);
  EXPECT_NE(r.out.find("This file contains 3 transmitter/receiver packet flows."), std::string::npos);
  EXPECT_NE(r.out.find(AGGREGATE), std::string::npos) << r.out;
}

// ---- the analyser's line forms ---------------------------------------------

const char *const HEAD = "Velmora: Retransmissions Report, 1.4.8\n\n";

TEST(RetxLines, PortEndsAtFlagsWithOrWithoutBlank) {
  TempDir td;
  std::string in = write_text(td, "in",
                              "- Evt=1 (0.1): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=1.0; TCP: 7->9 <ACK>, "
                              "seq=100-199, ack=1, win=5; data=100 []; \n"
                              "- Evt=2 (0.2): ETH; IP: 1.1.1.1 -> 2.2.2.2<DF,LAST>, id=2.0; TCP: 7->9<ACK>, "
                              "seq=200-299, ack=1, win=5; data=100 []; \n"
                              "- Evt=3 (0.3): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=3.0; TCP: 7->9, "
                              "seq=200-299\n");
  Report r = run_report(td, {kavretx()}, in);
  ASSERT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find("data=100 []; -- OK=1 (1/1)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("data=100 []; -- OK=2 (2/2)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("seq=200-299 -- RETX=1 (1/3)  next=300\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("contains 1 transmitter/receiver packet flows.\n"), std::string::npos);
  EXPECT_NE(r.out.find("- 1: 1.1.1.1:7 -> 2.2.2.2:9\n"), std::string::npos) << r.out;
}

std::string empty_summary(const char *caption) {
  return std::string("\n============================================================\n"
                     "\nThis file contains 0 transmitter/receiver packet flows.\n"
                     "Sort by: ") +
         caption + "\n\n\nAggregate Totals:\nTotal packets: 0/0,  Ok=0, Retx=0, Unordered=0\n";
}

TEST(RetxLines, NonTcpLinesCopiedAndMakeNoFlow) {
  TempDir td;
  std::string text =
      "header line\n"
      "- Evt=1 (0.1): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=1.0; UDP: 7->9; data=4 []; \n"
      "- Evt=2 (0.1): ETH; IP: 1.1.1.1 -> 2.2.2.2 <DF,LAST>, id=1.0; ICMP: EchoReq;   \n"
      "- Evt=3 (0.1): ETH; IPv6; TCP: 7->9 <ACK>, seq=1, ack=1, win=5; \n"
      "no newline at the end";
  Report r = run_report(td, {kavretx()}, write_text(td, "in", text));
  EXPECT_EQ(r.out, std::string(HEAD) + text + empty_summary("Data-packet retransmissions ratio"));
}

TEST(RetxLines, EmptyInputPrintsEmptySummary) {
  TempDir td;
  Report r = run_report(td, {kavretx(), "-l"}, write_text(td, "in", ""));
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_EQ(r.out, std::string(HEAD) + empty_summary("No. of out-of-sequence data packets"));
}

TEST(RetxLines, ParseErrorsAreReportedOnTheLineAndProcessingGoesOn) {
  TempDir td;
  std::string in = write_text(td, "in",
                              "- Evt=1: IP: 1.1.1.1 2.2.2.2; TCP: 7->9 <ACK>, seq=1 \n"
                              "- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7 9 <ACK>, seq=1\n"
                              "- Evt=3: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, ack=1\n"
                              "- Evt=4: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=x\n"
                              "- Evt=5: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=1\n");
  Report r = run_report(td, {kavretx()}, in);
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find("- Evt=1: IP: 1.1.1.1 2.2.2.2; TCP: 7->9 <ACK>, seq=1 -- Kavpan error: Missing '->' "
                       "after src\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7 9 <ACK>, seq=1 -- Kavpan error: Missing '->' "
                       "before dst\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("- Evt=3: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, ack=1 -- Kavpan error: Missing "
                       "'seq=' in TCP section\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("seq=x -- Kavpan error: Missing 'seq=' in TCP section\n"), std::string::npos);
  EXPECT_NE(r.out.find("- Evt=5: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=1 -- OK\n"), std::string::npos);
  EXPECT_NE(r.out.find("contains 1 transmitter/receiver packet flows."), std::string::npos);
}

TEST(RetxLines, OnlyADashRightAfterTheNumberMakesARange) {
  // A hyphen further on (a name, application text) is not a last number.
  TempDir td;
  std::string in = write_text(td, "in",
                              "- Evt=1: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=50, ack=1; DNS: my-host\n"
                              "- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=50, ack=1; DNS: a-2\n");
  Report r = run_report(td, {kavretx()}, in);
  EXPECT_NE(r.out.find("DNS: my-host -- OK\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DNS: a-2 -- OK\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Total packets: 0/2,  Ok=0"), std::string::npos);
}

TEST(RetxLines, FilledGapLetsTheFlowGoOnInSequence) {
  // Once the gap is filled, the segment seen ahead of it counts as received:
  // the next new segment is in sequence and a repeat of either is a
  // retransmission. (Expecting the end of the filler instead would leave
  // the flow "ahead" for good and hide every later retransmission.)
  TempDir td;
  auto seg = [](int n, int from, int to) {
    return "- Evt=" + std::to_string(n) + ": IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=" +
           std::to_string(from) + "-" + std::to_string(to) + "\n";
  };
  std::string in = write_text(td, "in",
                              seg(1, 0, 99) + seg(2, 200, 299) + seg(3, 100, 199) + seg(4, 300, 399) +
                                  seg(5, 200, 299) + seg(6, 100, 199) + seg(7, 400, 499));
  Report r = run_report(td, {kavretx()}, in);
  std::vector<std::string> ls = lines_of(r.out);
  ASSERT_GE(ls.size(), 9u);
  const std::string head = ": IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=";
  EXPECT_EQ(ls[2], "- Evt=1" + head + "0-99 -- OK=1 (1/1)");
  EXPECT_EQ(ls[3], "- Evt=2" + head + "200-299 -- OK=2 (2/2)  LOST=100");
  EXPECT_EQ(ls[4], "- Evt=3" + head + "100-199 -- OK=3 (3/3)");
  EXPECT_EQ(ls[5], "- Evt=4" + head + "300-399 -- OK=4 (4/4)");
  EXPECT_EQ(ls[6], "- Evt=5" + head + "200-299 -- RETX=1 (1/5)  next=400");
  EXPECT_EQ(ls[7], "- Evt=6" + head + "100-199 -- RETX=2 (2/6)  next=400");
  EXPECT_EQ(ls[8], "- Evt=7" + head + "400-499 -- OK=1 (5/7)");
}

TEST(RetxLines, HugeSequenceNumbersAreTakenModuloAMillion) {
  TempDir td;
  std::string in = write_text(td, "in",
                              "- Evt=1: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=99999999999999999999999-5\n"
                              "- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=6-99999999999999999999999\n");
  Report r = run_report(td, {kavretx()}, in);
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find("seq=99999999999999999999999-5 -- OK=1 (1/1)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("seq=6-99999999999999999999999 -- OK=2 (2/2)\n"), std::string::npos) << r.out;
}

TEST(RetxLines, LineLongerThanTheReadBufferStaysOneSegment) {
  TempDir td;
  std::string tail(10000, 'x');
  std::string longcopy(9000, 'y');
  std::string in = write_text(td, "in",
                              "- Evt=1: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=1-10; data=10 [" + tail +
                                  "]\n" + longcopy + " plain text\n" +
                                  "- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=11-20; data=10 [" +
                                  tail + "]\n");
  Report r = run_report(td, {kavretx()}, in);
  ASSERT_EQ(r.rr.status, 0);
  std::vector<std::string> ls = lines_of(r.out);
  ASSERT_GE(ls.size(), 5u);
  EXPECT_EQ(ls[2], "- Evt=1: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=1-10; data=10 [" + tail +
                       "] -- OK=1 (1/1)");
  EXPECT_EQ(ls[3], longcopy + " plain text");
  EXPECT_EQ(ls[4], "- Evt=2: IP: 1.1.1.1 -> 2.2.2.2; TCP: 7->9 <ACK>, seq=11-20; data=10 [" + tail +
                       "] -- OK=2 (2/2)");
  EXPECT_NE(r.out.find("Total packets: 2/2,  Ok=2, Retx=0, Unordered=0\n"), std::string::npos);
}

TEST(RetxLines, GarbledLinesNeitherCrashNorStop) {
  TempDir td;
  for (unsigned seed = 1; seed <= 4; seed++) {
    std::string text = garbled_lines(seed, 3000);
    Report r = run_report(td, {kavretx()}, write_text(td, "in", text));
    ASSERT_EQ(r.rr.status, 0) << "seed " << seed << ": " << r.err;
    EXPECT_EQ(r.err, "");
    // Every line comes out once, with or without a verdict, then the summary.
    EXPECT_EQ(lines_of(r.out).size(), 2 + lines_of(text).size() + lines_of(r.out.substr(r.out.find("\n====="))).size());
  }
}

// ---- flow table and key buffer ---------------------------------------------

// Sets a variable for the programs the test runs, restoring it afterwards.
struct EnvVar {
  std::string name, old;
  bool had;
  EnvVar(const char *n, const std::string &v) : name(n), had(getenv(n) != nullptr) {
    if (had) old = getenv(n);
    setenv(n, v.c_str(), 1);
  }
  ~EnvVar() {
    if (had)
      setenv(name.c_str(), old.c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

std::string seg_line(const std::string &src, int sport, int seq) {
  return "- Evt=1: IP: " + src + " -> 2.2.2.2; TCP: " + std::to_string(sport) + "->9 <ACK>, seq=" +
         std::to_string(seq) + "-" + std::to_string(seq + 9) + "\n";
}

TEST(RetxTable, LongKeysAndHighBytesHashInsideTheTable) {
  // Keys long enough to overflow a 32-bit sum, and bytes above 127, in a
  // small table: every flow keeps its own entry and its own counters.
  TempDir td;
  EnvVar dim("KAV_HASHTAB_DIM", "11");
  EnvVar buf("KAV_HASHBUF_SIZE", "200000");
  std::string big(12000, 'z'), high(12000, '\xe9');
  std::string text;
  for (int round = 0; round < 2; round++)
    for (int p = 1; p <= 5; p++) {
      text += seg_line(big, p, 10 * round);
      text += seg_line(high, p, 10 * round);
    }
  text += seg_line(high, 1, 0);  // a retransmission on one of them
  Report r = run_report(td, {kavretx()}, write_text(td, "in", text));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.out.find("CANNOT CONTINUE"), std::string::npos);
  EXPECT_NE(r.out.find("This file contains 10 transmitter/receiver packet flows."), std::string::npos);
  EXPECT_NE(r.out.find("Total packets: 21/21,  Ok=20, Retx=1, Unordered=0\n"), std::string::npos) << r.out.size();
  // The flow with the retransmission leads the default order.
  EXPECT_NE(r.out.find("- 1: " + high + ":1 -> 2.2.2.2:9\n\tTotal packets: 3/3,  Ok=2, Retx=1, Unordered=0\n"),
            std::string::npos);
}

// Runs the text with one limit set; the input phase must stop with the
// text given and no line after it copied, and the summary must follow.
std::string stopped_report(const char *env, const char *value, const std::string &text, const std::string &stop) {
  TempDir td;
  EnvVar limit(env, value);
  Report r = run_report(td, {kavretx()}, write_text(td, "in", text + "after the stop\n"));
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find(stop), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("after the stop"), std::string::npos);
  return r.out;
}

TEST(RetxTable, FullTableEndsInputAndStillSummarises) {
  std::string out = stopped_report(
      "KAV_HASHTAB_DIM", "2",
      seg_line("1.1.1.1", 1, 0) + seg_line("1.1.1.1", 2, 0) + seg_line("1.1.1.1", 1, 10) + seg_line("1.1.1.1", 3, 0),
      "seq=10-19 -- OK=2 (2/2)\n"
      "\n\n--- CANNOT CONTINUE ---\n"
      "Hash table overflow - use 'KAV_HASHTAB_DIM' env var, to increase it beyond current no. of entries (2)\n"
      "\n"
      "\n============================================================\n"
      "\nThis file contains 2 transmitter/receiver packet flows.\n");
  EXPECT_NE(out.find("Total packets: 3/3,  Ok=3, Retx=0, Unordered=0\n"), std::string::npos);
}

TEST(RetxTable, FullKeyBufferEndsInputAndStillSummarises) {
  // Room for one 19-character key only.
  stopped_report("KAV_HASHBUF_SIZE", "30", seg_line("1.1.1.1", 1, 0) + seg_line("1.1.1.1", 2, 0),
                 "seq=0-9 -- OK=1 (1/1)\n"
                 "\n\n--- CANNOT CONTINUE ---\n"
                 "Hashkey buffer overflow - use 'KAV_HASHBUF_SIZE' env var, toincrease (eg. double) it beyond "
                 "current size (30)\n"
                 "\n============================================================\n"
                 "\nThis file contains 1 transmitter/receiver packet flows.\n");
}

TEST(RetxTable, UnallocatableTableEndsWithStatus3) {
  TempDir td;
  EnvVar dim("KAV_HASHTAB_DIM", "2000000000");
  EnvVar buf("KAV_HASHBUF_SIZE", "100");
  std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  EnvVar asan_opts("ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "allocator_may_return_null=1");
  Report r = run_report(td, {kavretx()}, write_text(td, "in", ""));
  EXPECT_EQ(r.rr.status, 3);
  std::regex want(R"(Failed to malloc (\d+) bytes for 2000000000-entry hash table\n$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, want)) << r.out;
  EXPECT_EQ(std::stoll(m[1]) % 2000000000LL, 0);
  EXPECT_GE(std::stoll(m[1]), 2000000000LL * 40);
}

TEST(RetxTable, TraceOnStandardOutputNamesTheAllocations) {
  TempDir td;
  EnvVar lvl("TOVATRC_LEVEL", "4");
  Report r = run_report(td, {kavretx()}, write_text(td, "in", seg_line("1.1.1.1", 1, 0)));
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\(DBG-\d+\): Malloc'd  \d+ bytes for 8192-entry hash table\n)")))
      << r.out;
  EXPECT_NE(r.out.find("): Malloc'd  655360 bytes for hash-keys buffer\n"), std::string::npos);
  EXPECT_NE(r.out.find("): 20 bytes used, in hash-keys buffer\n"), std::string::npos);
  EXPECT_LT(r.out.find("bytes used"), r.out.find("====="));
}

TEST(RetxTable, UnusableSizesAreNotedAndTheDefaultsKept) {
  TempDir td;
  EnvVar dim("KAV_HASHTAB_DIM", "12x");
  EnvVar buf("KAV_HASHBUF_SIZE", "0");
  EnvVar lvl("TOVATRC_LEVEL", "4");
  Report r = run_report(td, {kavretx()}, write_text(td, "in", ""));
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_NE(r.out.find("): Ignoring $KAV_HASHTAB_DIM=12x - not a positive decimal number\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("): Ignoring $KAV_HASHBUF_SIZE=0 - not a positive decimal number\n"), std::string::npos);
  EXPECT_NE(r.out.find("bytes for 8192-entry hash table\n"), std::string::npos);
  EXPECT_NE(r.out.find("): Malloc'd  655360 bytes for hash-keys buffer\n"), std::string::npos);
}

// ---- output buffering -------------------------------------------------------

// Feeds one TCP line to kavretx through a FIFO and reports whether its
// verdict reached the output file while kavretx still waited for more.
bool verdict_seen_before_end(const char *nobuf) {
  TempDir td;
  std::string fifo = td.file("in.fifo"), out = td.file("out");
  if (mkfifo(fifo.c_str(), 0600) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    int fi = open(fifo.c_str(), O_RDONLY);
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fi, 0);
    dup2(fo, 1);
    if (nobuf)
      setenv("TOV_STDOUT_NOBUF", nobuf, 1);
    else
      unsetenv("TOV_STDOUT_NOBUF");
    execl(kavretx().c_str(), "kavretx", (char *)nullptr);
    _exit(127);
  }
  int fd = open(fifo.c_str(), O_WRONLY);
  std::string line = seg_line("1.1.1.1", 1, 0);
  bool seen = false;
  if (fd >= 0 && write(fd, line.data(), line.size()) == (ssize_t)line.size())
    for (int i = 0; i < 100 && !seen; i++) {
      usleep(10000);
      seen = logtest::read_text(out).find(" -- OK=1 (1/1)\n") != std::string::npos;
    }
  if (fd >= 0) close(fd);
  int st = 0;
  waitpid(pid, &st, 0);
  // Whatever the buffering, everything is there at the end.
  EXPECT_NE(logtest::read_text(out).find(" -- OK=1 (1/1)\n"), std::string::npos);
  return seen;
}

TEST(RetxOutput, LineBufferedWhenAskedFor) {
  EXPECT_TRUE(verdict_seen_before_end("y"));
  EXPECT_TRUE(verdict_seen_before_end("Y"));
}

TEST(RetxOutput, FullyBufferedIntoARegularFile) {
  EXPECT_FALSE(verdict_seen_before_end(nullptr));
  EXPECT_FALSE(verdict_seen_before_end("n"));
}

// ---- command line ----------------------------------------------------------

TEST(RetxCommandLine, UsageText) {
  TempDir td;
  Report r = run_report(td, {kavretx(), "-h"}, write_text(td, "in", ""));
  EXPECT_EQ(r.rr.status, 0);
  EXPECT_EQ(r.out, std::string(HEAD) +
                       "USAGE:\n"
                       "kavretx [-d | -l]\n"
                       "kavretx -h\n"
                       "\n"
                       "  -d: Sort by no. of data packets (default is sort by retransmission ratio)\n"
                       "  -l: Sort by no. of out-of-sequence data packets (default is to sort by\n"
                       "      the retransmission ratio)\n"
                       "  -h: Display this usage synopsis.\n"
                       "\n");
}

TEST(RetxCommandLine, ErrorsEndWithStatus99) {
  // The title comes before the command line is looked at.
  expect_cmdline_errors(kavretx(),
                        {
                            {{"-x"}, "Illegal switch (on or after '-x')"},
                            {{"-d", "-d"}, "Duplicate '-d' switch"},
                            {{"listing.txt"}, "Illegal number of parameters (1)"},
                        },
                        HEAD);
}

}  // namespace

// ---- lost output ------------------------------------------------------------

// A report that cannot be written is not a success: one message, status 1.
TEST_F(RetxListing, FullDiskEndsWithOneMessageAndStatus1) {
  logtest::RunResult rr = logtest::run({kavretx()}, path, "/dev/full", td.file("err"));
  EXPECT_EQ(rr.status, 1);
  EXPECT_EQ(logtest::read_text(td.file("err")),
            "Write failed on standard output - errno=28 [No space left on device]\n");
}

// Its reader gone, the report stops at once, even while its input is quiet.
TEST(RetxPipes, ReaderGoneEndsTheReportWhileItsInputIsQuiet) {
  TempDir td;
  std::string script = td.file("pipe.sh");
  // The report's own end is timed: the writer of its input goes on sleeping.
  std::string text = "start=$(date +%s%N)\n(sleep 6; echo) | { '" + kavretx() + "' 2>'" + td.file("err") +
                     "'; echo $? $((($(date +%s%N) - start) / 1000000)) >'" + td.file("end") +
                     "'; } | head -1 >/dev/null\ncat '" + td.file("end") + "'\n";
  logtest::write_file(script, Bytes(text.begin(), text.end()));
  FILE *p = popen(("bash '" + script + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  int status = -1;
  long ms = -1;
  ASSERT_EQ(fscanf(p, "%d %ld", &status, &ms), 2);
  pclose(p);
  EXPECT_EQ(status, 1);
  EXPECT_LT(ms, 3000);  // the writer of its input sleeps six seconds
  EXPECT_EQ(logtest::read_text(td.file("err")), "Write failed on standard output - errno=32 [Broken pipe]\n");
}
