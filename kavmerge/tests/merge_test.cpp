// kavmerge: time order with ties to the file named first, session
// renumbering, byte orders, version warnings, long events, session limit.
#include <gtest/gtest.h>

#include "merge_util.h"

using namespace logtest;
using mergetest::ses;

namespace {

struct Merged {
  RunResult rr;
  Bytes out;
  std::string err;
};

// Writes each image as <dir>/<name> and merges them in the order given.
Merged merge(const TempDir &td, const std::vector<std::pair<std::string, Bytes>> &inputs,
             std::vector<std::string> extra = {}) {
  std::vector<std::string> argv = {bin("kavmerge")};
  for (const auto &in : inputs) {
    write_file(td.file(in.first), in.second);
    argv.push_back(td.file(in.first));
  }
  argv.insert(argv.end(), extra.begin(), extra.end());
  write_file(td.file("empty"), {});
  Merged m;
  m.rr = run(argv, td.file("empty"), td.file("merged"), td.file("err"));
  m.out = read_file(td.file("merged"));
  m.err = read_text(td.file("err"));
  return m;
}

}  // namespace

TEST(Merge, SingleInputIsCopiedUnchanged) {
  TempDir td;
  Bytes in = log_hdr(2);
  append(in, ses_hdr(ses("eth0", 1000, "tcp")));
  append(in, ses_hdr(ses("eth1", 1001)));
  append(in, evt(0, 1, 1000, 5, pattern(60, 1)));
  append(in, evt(1, 1, 1000, 6, pattern(70, 2), 1514));
  append(in, evt(1, 2, 1000, 7, Bytes{'o', 'o', 'p', 's', 0}));
  append(in, evt(0, 4, 1002, 0, {}));
  append(in, trailer(2, 1, 60, 7, 700));
  append(in, evt(1, 3, 1003, 0, Bytes{'d', 'e', 'a', 'd', 0}));
  append(in, trailer(2, 1, 1514, -1, 0));
  Merged m = merge(td, {{"a.log", in}});
  EXPECT_EQ(m.rr.status, 0) << m.err;
  EXPECT_EQ(m.err, "");
  EXPECT_EQ(m.out, in);
}

TEST(Merge, TimeOrderWithTiesToTheFileNamedFirst) {
  TempDir td;
  Bytes a = log_hdr(1), b = log_hdr(1);
  append(a, ses_hdr(ses("a0", 10)));
  append(b, ses_hdr(ses("b0", 11)));
  Bytes a1 = evt(0, 1, 100, 0, pattern(10, 1)), a2 = evt(0, 1, 100, 500, pattern(11, 2)),
        a3 = evt(0, 1, 102, 0, pattern(12, 3));
  Bytes b1 = evt(0, 1, 99, 999999, pattern(13, 4)), b2 = evt(0, 1, 100, 500, pattern(14, 5)),
        b3 = evt(0, 1, 101, 999999, pattern(15, 6));
  for (const Bytes *e : {&a1, &a2, &a3}) append(a, *e);
  for (const Bytes *e : {&b1, &b2, &b3}) append(b, *e);

  Merged m = merge(td, {{"a.log", a}, {"b.log", b}});
  ASSERT_EQ(m.rr.status, 0) << m.err;
  Bytes want = log_hdr(2);
  append(want, ses_hdr(ses("a0", 10)));
  append(want, ses_hdr(ses("b0", 11)));
  auto moved = [](Bytes e, int ses) {
    e[0] = (unsigned char)ses;
    return e;
  };
  for (const Bytes &e : {moved(b1, 1), a1, a2, moved(b2, 1), moved(b3, 1), a3}) append(want, e);
  EXPECT_EQ(m.out, want);

  // Named the other way round, the tie goes to b.
  Merged r = merge(td, {{"b.log", b}, {"a.log", a}});
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 6u);
  EXPECT_EQ(l.events[2].ses, 0);  // b's 100.000500 first
  EXPECT_EQ(l.events[2].data, pattern(14, 5));
  EXPECT_EQ(l.events[3].ses, 1);
  EXPECT_EQ(l.events[3].data, pattern(11, 2));
}

TEST(Merge, SessionsRenumberedAndTrailersRepeated) {
  TempDir td;
  Bytes a = log_hdr(2), b = log_hdr(3);
  append(a, ses_hdr(ses("a0", 1, "udp")));
  append(a, ses_hdr(ses("a1", 2)));
  append(b, ses_hdr(ses("b0", 3)));
  append(b, ses_hdr(ses("b1", 4, "ip & tcp")));
  append(b, ses_hdr(ses("b2", 5)));
  append(a, evt(1, 1, 50, 0, pattern(20, 1)));
  append(a, evt(0, 1, 52, 0, pattern(21, 2)));
  append(a, evt(1, 4, 60, 0, {}));
  append(a, trailer(58, 9, 900, 3, 33));  // the input's counters, not the merger's
  append(b, evt(2, 1, 51, 0, pattern(22, 3)));
  append(b, evt(0, 1, 53, 0, pattern(23, 4)));
  append(b, evt(1, 3, 54, 0, Bytes{'x', 0}));
  append(b, trailer(50, 0, 0, -1, 0));

  Merged m = merge(td, {{"a.log", a}, {"b.log", b}});
  ASSERT_EQ(m.rr.status, 0) << m.err;
  Bytes want = log_hdr(5);
  for (const SesHdr &s : {ses("a0", 1, "udp"), ses("a1", 2), ses("b0", 3), ses("b1", 4, "ip & tcp"), ses("b2", 5)})
    append(want, ses_hdr(s));
  append(want, evt(1, 1, 50, 0, pattern(20, 1)));
  append(want, evt(4, 1, 51, 0, pattern(22, 3)));
  append(want, evt(0, 1, 52, 0, pattern(21, 2)));
  append(want, evt(2, 1, 53, 0, pattern(23, 4)));
  append(want, evt(3, 3, 54, 0, Bytes{'x', 0}));
  append(want, trailer(50, 0, 0, -1, 0));
  append(want, evt(1, 4, 60, 0, {}));
  append(want, trailer(58, 9, 900, 3, 33));
  EXPECT_EQ(m.out, want);
}

TEST(Merge, OtherByteOrderIsWrittenInOurs) {
  TempDir td;
  bool big = true;
  Bytes be = log_hdr(1, big);
  append(be, ses_hdr(ses("sparc0", 77, "arp"), big));
  append(be, evt(0, 1, 200, 10, pattern(40, 1), 1500, big));
  append(be, evt(0, 4, 201, 0, {}, -1, big));
  append(be, trailer(124, 1, 1500, 0, 0, big));
  Bytes le = log_hdr(1);
  append(le, ses_hdr(ses("eth0", 78)));
  append(le, evt(0, 1, 200, 5, pattern(41, 2)));

  Merged m = merge(td, {{"le.log", le}, {"be.log", be}});
  ASSERT_EQ(m.rr.status, 0) << m.err;
  Bytes want = log_hdr(2);
  append(want, ses_hdr(ses("eth0", 78)));
  // The other order's 8-byte fields carry 32-bit values, zero-extended:
  // the netmask and the snapshot length -1 lose their sign.
  Bytes sh = ses_hdr(ses("sparc0", 77, "arp"));
  for (size_t i = 124; i < 128; i++) sh[i] = 0;
  for (size_t i = 140; i < 144; i++) sh[i] = 0;
  append(want, sh);
  append(want, evt(0, 1, 200, 5, pattern(41, 2)));
  append(want, evt(1, 1, 200, 10, pattern(40, 1), 1500));
  append(want, evt(1, 4, 201, 0, {}));
  append(want, trailer(124, 1, 1500, 0, 0));
  EXPECT_EQ(m.out, want);
}

TEST(Merge, VersionWarningsAndRefusals) {
  TempDir td;
  Bytes minor = log_hdr(1, false, 3, 2);
  append(minor, ses_hdr(ses("eth0", 1)));
  append(minor, evt(0, 1, 5, 0, pattern(30, 1)));
  Merged m = merge(td, {{"minor.log", minor}});
  EXPECT_EQ(m.rr.status, 0);
  EXPECT_EQ(m.err, td.file("minor.log") +
                       " loghdr: WARNING: Different logfile minor version (1 vs file=2) ... will try to continue\n");
  Log l = parse_log(m.out);
  ASSERT_TRUE(l.ok) << l.why;  // written as 3.1
  ASSERT_EQ(l.events.size(), 1u);

  Bytes major = log_hdr(1, false, 2, 1);
  append(major, ses_hdr(ses("eth0", 1)));
  Merged r = merge(td, {{"minor.log", minor}, {"major.log", major}});
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_NE(r.err.find(td.file("major.log") +
                       " loghdr: Different logfile major version (3.1 vs file=2.1) - can't continue\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(r.out.empty());
}

TEST(Merge, InputWithoutEventsGivesItsSessionsOnly) {
  TempDir td;
  Bytes a = log_hdr(1), b = log_hdr(2);
  append(a, ses_hdr(ses("a0", 1)));
  append(a, evt(0, 1, 5, 0, pattern(30, 1)));
  append(b, ses_hdr(ses("b0", 2)));
  append(b, ses_hdr(ses("b1", 3)));
  Merged m = merge(td, {{"b.log", b}, {"a.log", a}});
  ASSERT_EQ(m.rr.status, 0) << m.err;
  Bytes want = log_hdr(3);
  append(want, ses_hdr(ses("b0", 2)));
  append(want, ses_hdr(ses("b1", 3)));
  append(want, ses_hdr(ses("a0", 1)));
  append(want, evt(2, 1, 5, 0, pattern(30, 1)));
  EXPECT_EQ(m.out, want);
}

TEST(Merge, LongEventIsCutWithWarning) {
  TempDir td;
  Bytes a = log_hdr(1);
  append(a, ses_hdr(ses("a0", 1)));
  Bytes big = pattern(20000, 9);
  append(a, evt(0, 1, 5, 0, pattern(30, 1)));
  append(a, evt(0, 1, 6, 0, big, 20000));
  append(a, evt(0, 1, 7, 0, pattern(17000, 2)));
  append(a, evt(0, 1, 8, 0, pattern(31, 3)));
  Merged m = merge(td, {{"a.log", a}});
  ASSERT_EQ(m.rr.status, 0) << m.err;
  EXPECT_EQ(m.err, "Warning: " + td.file("a.log") + " event #2 truncated by 3000 bytes\n");
  Bytes want = log_hdr(1);
  append(want, ses_hdr(ses("a0", 1)));
  append(want, evt(0, 1, 5, 0, pattern(30, 1)));
  append(want, evt(0, 1, 6, 0, Bytes(big.begin(), big.begin() + 17000), 20000));
  append(want, evt(0, 1, 7, 0, pattern(17000, 2)));
  append(want, evt(0, 1, 8, 0, pattern(31, 3)));
  EXPECT_EQ(m.out, want);
}

TEST(Merge, LongClosingEventWithoutItsTrailerStops) {
  TempDir td;
  Bytes a = log_hdr(1);
  append(a, ses_hdr(ses("a0", 1)));
  append(a, evt(0, 1, 5, 0, pattern(30, 1)));
  append(a, evt(0, 3, 6, 0, pattern(17100, 2)));
  append(a, trailer(5, 1, 30, 0, 0));
  Merged whole = merge(td, {{"a.log", a}});
  EXPECT_EQ(whole.rr.status, 0) << whole.err;
  EXPECT_EQ(whole.err, "Warning: " + td.file("a.log") + " event #2 truncated by 100 bytes\n");
  Log l = parse_log(whole.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 2u);
  EXPECT_EQ(l.events[1].caplen, 17000);
  EXPECT_EQ(l.events[1].trl[0], 5);

  a.resize(a.size() - 20);  // half the trailer
  Merged cut = merge(td, {{"a.log", a}});
  EXPECT_EQ(cut.rr.status, 1);
  EXPECT_EQ(cut.err.rfind(td.file("a.log") + " event: ", 0), 0u) << cut.err;
}

TEST(Merge, SessionLimitIs127) {
  TempDir td;
  auto many = [](int n, int64_t t) {
    Bytes b = log_hdr(n);
    for (int i = 0; i < n; i++) append(b, ses_hdr(ses("s" + std::to_string(i), i)));
    append(b, evt(n - 1, 1, t, 0, pattern(20, (unsigned)n)));
    return b;
  };
  Merged ok = merge(td, {{"a.log", many(100, 5)}, {"b.log", many(27, 4)}});
  ASSERT_EQ(ok.rr.status, 0) << ok.err;
  Log l = parse_log(ok.out);
  ASSERT_TRUE(l.ok) << l.why;
  EXPECT_EQ(l.nses, 127);
  ASSERT_EQ(l.events.size(), 2u);
  EXPECT_EQ(l.events[0].ses, 126);
  EXPECT_EQ(l.events[1].ses, 99);

  Merged over = merge(td, {{"a.log", many(100, 5)}, {"b.log", many(27, 4)}, {"c.log", many(1, 3)}});
  EXPECT_EQ(over.rr.status, 1);
  EXPECT_EQ(over.err, "Too many input sessions: 128 vs max=127 (3 file)\n");
  EXPECT_TRUE(over.out.empty());
}

TEST(Merge, BrokenInputsStopTheMerge) {
  TempDir td;
  Bytes a = log_hdr(1);
  append(a, ses_hdr(ses("a0", 1)));
  append(a, evt(0, 1, 5, 0, pattern(30, 1)));

  Merged missing = merge(td, {{"a.log", a}}, {td.file("nope.log")});
  EXPECT_EQ(missing.rr.status, 1);
  EXPECT_EQ(missing.err, td.file("nope.log") + " loghdr: Open failed on logfile=" + td.file("nope.log") +
                             ", errno=2 [No such file or directory]\n");

  Merged empty = merge(td, {{"a.log", a}, {"zero.log", {}}});
  EXPECT_EQ(empty.rr.status, 1);
  EXPECT_EQ(empty.err.rfind(td.file("zero.log") + " loghdr: 15-byte Read failed - errno=", 0), 0u) << empty.err;
  EXPECT_TRUE(empty.out.empty());

  Bytes shortses = log_hdr(2);
  append(shortses, ses_hdr(ses("x0", 1)));
  Merged s = merge(td, {{"a.log", a}, {"s.log", shortses}});
  EXPECT_EQ(s.rr.status, 1);
  EXPECT_EQ(s.err.rfind(td.file("s.log") + " seshdr 1/2: ", 0), 0u) << s.err;

  Bytes corrupt = log_hdr(1);
  append(corrupt, ses_hdr(ses("c0", 1)));
  append(corrupt, evt(0, 1, 6, 0, pattern(10, 1)));
  append(corrupt, evt(3, 1, 7, 0, pattern(10, 2)));
  Merged c = merge(td, {{"a.log", a}, {"c.log", corrupt}});
  EXPECT_EQ(c.rr.status, 1);
  EXPECT_NE(c.err.find(td.file("c.log") + " evthdr: Log file is corrupt, got ses_id=3 on evt 1\n"),
            std::string::npos)
      << c.err;
  Log l = parse_log(c.out);
  ASSERT_TRUE(l.ok) << l.why;
  EXPECT_EQ(l.events.size(), 2u);  // what came before the fault stays

  Bytes cut = a;
  cut.resize(cut.size() - 5);
  Merged t = merge(td, {{"cut.log", cut}});
  EXPECT_EQ(t.rr.status, 1);
  EXPECT_EQ(t.err.rfind(td.file("cut.log") + " event: ", 0), 0u) << t.err;
}

TEST(Merge, CommandLine) {
  TempDir td;
  Merged h = merge(td, {}, {"-h"});
  EXPECT_EQ(h.rr.status, 0);
  EXPECT_EQ(std::string(h.out.begin(), h.out.end()),
            "Velmora: Logfile Merger, 1.4.8\n\nUSAGE:\nkavmerge logfile1 [logfile2 ...]\nkavmerge -h\n\n"
            "  -h: Display this usage synopsis.\n\n");
  Merged none = merge(td, {});
  EXPECT_EQ(none.rr.status, 99);
  EXPECT_EQ(none.err,
            "Invalid command-line:\n[Illegal number of parameters (0)]\nEnter 'kavmerge -h' for a usage synopsis\n");
  Merged bad = merge(td, {}, {"-q", "x"});
  EXPECT_EQ(bad.rr.status, 99);
  EXPECT_EQ(bad.err,
            "Invalid command-line:\n[Illegal switch (on or after '-q')]\nEnter 'kavmerge -h' for a usage synopsis\n");
}

// Imported logs merge like any other: two pcap imports interleave by time.
TEST(Merge, ImportedLogsInterleave) {
  TempDir td;
  write_file(td.file("a.pcap"), pcap_file({{10, 0, eth_ipv4(40, 1)}, {12, 0, eth_ipv4(40, 2)}}, 1));
  write_file(td.file("b.pcap"), pcap_file({{11, 0, eth_ipv4(40, 3)}, {12, 0, eth_ipv4(40, 4)}}, 1, true));
  for (const char *n : {"a", "b"}) {
    RunResult r = run({bin("kav_import"), "-x", "Tcpdump"}, td.file(std::string(n) + ".pcap"),
                      td.file(std::string(n) + ".log"), td.file("err"));
    ASSERT_EQ(r.status, 0) << read_text(td.file("err"));
  }
  write_file(td.file("empty"), {});
  RunResult r = run({bin("kavmerge"), td.file("a.log"), td.file("b.log")}, td.file("empty"), td.file("m.log"),
                    td.file("err"));
  ASSERT_EQ(r.status, 0) << read_text(td.file("err"));
  Log l = parse_log(read_file(td.file("m.log")));
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 6u);
  int want_ses[] = {0, 1, 0, 0, 1, 1};
  int64_t want_sec[] = {10, 11, 12, 12, 12, 12};
  int want_type[] = {1, 1, 1, 4, 1, 4};
  for (size_t i = 0; i < 6; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(l.events[i].ses, want_ses[i]);
    EXPECT_EQ(l.events[i].sec, want_sec[i]);
    EXPECT_EQ(l.events[i].type, want_type[i]);
  }
  EXPECT_EQ(l.events[2].data, eth_ipv4(40, 2));
  EXPECT_EQ(l.events[4].data, eth_ipv4(40, 4));
}

// Forty inputs whose events come in no order of their own, with time stamps
// from a few values so that most of them tie: at every step the event out
// is the earliest of the events the inputs hold next, on a tie the one of
// the file named first.
TEST(Merge, ManyInputsEachStepTakesTheEarliestNextEvent) {
  constexpr int FILES = 40, EVENTS = 30;
  TempDir td;
  std::vector<std::pair<std::string, Bytes>> inputs;
  std::vector<std::vector<std::pair<int64_t, int64_t>>> times(FILES);
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int f = 0; f < FILES; f++) {
    Bytes in = log_hdr(1);
    append(in, ses_hdr(ses("if" + std::to_string(f), 50)));
    for (int k = 0; k < EVENTS; k++) {
      times[f].push_back({100 + next() % 3, next() % 2});
      append(in, evt(0, 1, times[f][k].first, times[f][k].second, pattern(8, f * 100 + k)));
    }
    inputs.push_back({"in" + std::to_string(f) + ".log", in});
  }
  Merged m = merge(td, inputs);
  ASSERT_EQ(m.rr.status, 0) << m.err;
  Log l = parse_log(m.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), size_t(FILES * EVENTS));

  std::vector<int> at(FILES, 0);
  for (size_t i = 0; i < l.events.size(); i++) {
    int pick = -1;
    for (int f = 0; f < FILES; f++)
      if (at[f] < EVENTS && (pick < 0 || times[f][at[f]] < times[pick][at[pick]])) pick = f;
    ASSERT_EQ(l.events[i].ses, pick) << i;
    ASSERT_EQ(l.events[i].data, pattern(8, pick * 100 + at[pick])) << i;
    at[pick]++;
  }
}
