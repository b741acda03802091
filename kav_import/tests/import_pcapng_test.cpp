// kav_import on pcapng: logs byte for byte (one session per interface,
// sections in both byte orders, time-stamp resolutions, simple and obsolete
// packet blocks), and every lying length refused cleanly after the frames
// read before it.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "import_run.h"
#include "pcapng_build.h"

using namespace logtest;

namespace {

struct Ses {
  std::string name;
  int64_t dlpi = 4, snaplen = 65535, raw = 1;
};
using Trl = std::array<int64_t, 5>;

// The whole expected log: sessions, frame events, and every session closed
// at the last frame's time stamp with its own trailer.
Bytes ng_log(const std::vector<Ses> &sessions, int64_t start, const Bytes &events, int64_t end_sec, int64_t end_usec,
             const std::vector<Trl> &trls) {
  Bytes b = log_hdr((int)sessions.size());
  for (const Ses &s : sessions) {
    SesHdr h;
    h.ifname = s.name;
    h.linktype = s.dlpi;
    h.capflags = s.raw;
    h.snaplen = s.snaplen;
    h.start = start;
    h.ifinfo = false;
    append(b, ses_hdr(h));
  }
  append(b, events);
  for (size_t i = 0; i < sessions.size(); i++) {
    append(b, evt((int)i, 4, end_sec, end_usec, {}));
    const Trl &t = trls.at(i);
    append(b, trailer(t[0], t[1], t[2], t[3], t[4]));
  }
  return b;
}

Bytes cooked_ipv4(unsigned len, unsigned seed) {
  Bytes f = sll(0, 1, 6, 0x0800);
  append(f, ipv4(len, seed));
  return f;
}

const char *const ETH_MAPPED = "PCAP linktype=1 mapped to DLPI=0x4\n";

}  // namespace

TEST(ImportPcapng, OneInterfaceIsByteExactInEveryWay) {
  Bytes e1 = eth_ipv4(46, 1), e2 = eth_ipv4(100, 2), e3 = eth_ipv4(20, 3);
  for (bool big : {false, true}) {
    NgFile f{big};
    f.shb();
    f.idb(1, 262144, f.opt(2, "eth0"));
    f.epb(0, usecs(1700000000, 5), e1);
    f.epb(0, usecs(1700000001, 999999), e2, 1514);
    f.epb(0, usecs(1700000007, 250000), e3);
    for (const char *type : {"Tcpdump", "pcapng", "PCAPNG"}) {
      for (bool piped : {false, true}) {
        SCOPED_TRACE(std::string(type) + (big ? " big" : " little") + (piped ? " piped" : " file"));
        Imported r = import({"-x", type}, f.out, piped);
        ASSERT_EQ(r.rr.status, 0) << r.err;
        EXPECT_EQ(r.err, std::string(ETH_MAPPED) + "Done - 3 packets imported\n");
        int64_t start = start_of(r.out);
        expect_recent(start);
        Bytes events = evt(0, 1, 1700000000, 5, e1);
        append(events, evt(0, 1, 1700000001, 999999, e2, 1514));
        append(events, evt(0, 1, 1700000007, 250000, e3));
        int64_t octets = (int64_t)(e1.size() + 1514 + e3.size());
        EXPECT_EQ(r.out, ng_log({{"eth0", 4, 262144}}, start, events, 1700000007, 250000, {{7, 3, octets, 0, 0}}));
      }
    }
  }
}

// Interfaces become sessions in the order they are described; frames keep
// the file's order and go to their interface's session. Names that do not
// fit a session header give way to the source's name.
TEST(ImportPcapng, InterfacesBecomeSessions) {
  NgFile f;
  f.shb();
  f.idb(1, 65535, f.opt(2, "eth0"));
  f.idb(113, 262144, f.opt(2, std::string(33, 'x')));
  f.idb(101, 0);
  f.idb(1, 128, f.opt(2, std::string(32, 'y')));
  Bytes e1 = eth_ipv4(46, 1), c2 = cooked_ipv4(40, 2), r3 = ipv6(48, 3), e4 = eth_ipv4(90, 4), r5 = ipv4(28, 5);
  f.epb(0, usecs(100, 1), e1);
  f.epb(1, usecs(100, 500000), c2);
  f.epb(2, usecs(101, 0), r3);
  f.epb(0, usecs(102, 250000), e4);
  f.epb(2, usecs(99, 7), r5);  // earlier, yet kept in the file's order
  for (bool piped : {false, true}) {
    SCOPED_TRACE(piped);
    Imported r = import({"-x", "Tcpdump"}, f.out, piped);
    ASSERT_EQ(r.rr.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "PCAP linktype=1 mapped to DLPI=0x4\nPCAP linktype=113 mapped to DLPI=0x81\n"
              "PCAP linktype=101 mapped to DLPI=0x81\nPCAP linktype=1 mapped to DLPI=0x4\n"
              "Done - 5 packets imported\n");
    Bytes events = evt(0, 1, 100, 1, e1);
    append(events, evt(1, 1, 100, 500000, ipv4(40, 2)));
    append(events, evt(2, 1, 101, 0, r3));
    append(events, evt(0, 1, 102, 250000, e4));
    append(events, evt(2, 1, 99, 7, r5));
    std::vector<Ses> ses = {{"eth0", 4, 65535}, {"Tcpdump", 129, 262144}, {"Tcpdump", 129, 0},
                            {std::string(32, 'y'), 4, 128}};
    std::vector<Trl> trls = {{2, 2, (int64_t)(e1.size() + e4.size()), 0, 0},
                             {0, 1, 40, 0, 0},
                             {-2, 2, (int64_t)(r3.size() + r5.size()), 0, 0},
                             {0, 0, 0, 0, 0}};
    EXPECT_EQ(r.out, ng_log(ses, start_of(r.out), events, 99, 7, trls));
    // The analyser reads the log and names each session.
    TempDir td;
    write_file(td.file("log"), r.out);
    RunResult p = run({bin("kavpan"), "-v", "1"}, td.file("log"), td.file("txt"), td.file("perr"));
    ASSERT_EQ(p.status, 0) << read_text(td.file("perr"));
    std::string txt = read_text(td.file("txt"));
    EXPECT_NE(txt.find("Input contains 4 packet-capture sessions"), std::string::npos) << txt;
    EXPECT_NE(txt.find("Interface=eth0"), std::string::npos) << txt;
  }
}

// Each section has interfaces of its own and its own byte order; blocks of
// types the importer does not use are skipped by their length.
TEST(ImportPcapng, SectionsInBothByteOrdersAndOtherBlocks) {
  Bytes e1 = eth_ipv4(46, 1), i2 = ipv4(36, 2), e3 = eth_ipv4(60, 3), i4 = ipv6(44, 4);
  NgFile a{false}, b{true}, c{false};
  a.shb(1, 0, a.opt(1, "first section"));
  a.idb(1, 65535, a.opt(2, "a0"));
  a.block(NG_NRB, pattern(22, 9));
  a.epb(0, usecs(10, 1), e1, 0, a.opt(1, "a comment"));
  a.block(NG_ISB, pattern(28, 8));
  a.block(0x80000001u, pattern(13, 7));
  b.shb(1, 2);
  b.idb(1, 65535, b.opt(2, "b0"));
  b.idb(228, 65535, b.opt(2, "b1"));
  b.epb(1, usecs(11, 2), i2);
  b.block(0x00000BADu, {});
  b.epb(0, usecs(12, 3), e3);
  c.shb();
  c.idb(229, 0, c.opt(2, "c0"));
  c.epb(0, usecs(13, 4), i4);
  Bytes in = a.out;
  append(in, b.out);
  append(in, c.out);
  for (bool piped : {false, true}) {
    SCOPED_TRACE(piped);
    Imported r = import({"-x", "pcapng"}, in, piped);
    ASSERT_EQ(r.rr.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "PCAP linktype=1 mapped to DLPI=0x4\n"
              "Warning: Logfile version is 1:2  vs expected=1:0 - will try to continue\n"
              "PCAP linktype=1 mapped to DLPI=0x4\nPCAP linktype=228 mapped to DLPI=0x81\n"
              "PCAP linktype=229 mapped to DLPI=0x81\nDone - 4 packets imported\n");
    Bytes events = evt(0, 1, 10, 1, e1);
    append(events, evt(2, 1, 11, 2, i2));
    append(events, evt(1, 1, 12, 3, e3));
    append(events, evt(3, 1, 13, 4, i4));
    std::vector<Ses> ses = {{"a0", 4, 65535}, {"b0", 4, 65535}, {"b1", 129, 65535}, {"c0", 129, 0}};
    std::vector<Trl> trls = {{0, 1, (int64_t)e1.size(), 0, 0},
                             {0, 1, (int64_t)e3.size(), 0, 0},
                             {0, 1, (int64_t)i2.size(), 0, 0},
                             {0, 1, (int64_t)i4.size(), 0, 0}};
    EXPECT_EQ(r.out, ng_log(ses, start_of(r.out), events, 13, 4, trls));
  }
}

// if_tsresol in powers of ten and of two, and if_tsoffset.
TEST(ImportPcapng, TimeStampResolutionsAndOffsets) {
  NgFile f;
  f.shb();
  struct Case {
    Bytes opts;
    uint64_t ts;
    int64_t sec, usec;
  } cases[] = {
      {f.opt(9, Bytes{9}), 1700000000123456789ull, 1700000000, 123456},
      {f.opt(9, Bytes{3}), 1700000000999ull, 1700000000, 999000},
      {f.opt(9, Bytes{0x80 | 20}), (1700000000ull << 20) + (1u << 19) + 1, 1700000000, 500000},
      {f.opt(9, Bytes{0}), 1700000005ull, 1700000005, 0},
      {f.opt(9, Bytes{0x80}), 1700000000ull, 1700000000, 0},
      {f.opt(9, Bytes{19}), ~0ull, 1, 844674},
      {f.opt(9, Bytes{0x80 | 63}), (1ull << 63) + (1ull << 62), 1, 500000},
      {[&] {
         Bytes o = f.opt(9, Bytes{0x80 | 10});
         Bytes off;
         put_le(off, 1000, 8);
         append(o, f.opt(14, off));
         return o;
       }(),
       (1700000000ull << 10) + 256, 1700001000, 250000},
      {[&] {
         Bytes off;
         put_le(off, (uint64_t)-3600, 8);
         return f.opt(14, off);
       }(),
       usecs(1700003600, 42), 1700000000, 42},
      {f.opt(9, Bytes{6, 0}), usecs(5, 6), 5, 6},  // a two-octet resolution is not one: the default stands
  };
  for (const Case &c : cases) f.idb(1, 65535, c.opts);
  Bytes data = eth_ipv4(20, 1);
  for (size_t i = 0; i < std::size(cases); i++) f.epb((uint32_t)i, cases[i].ts, data);
  Imported r = import({"-x", "Tcpdump"}, f.out);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.nses, (int)std::size(cases));
  ASSERT_EQ(l.events.size(), 2 * std::size(cases));
  for (size_t i = 0; i < std::size(cases); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(l.events[i].ses, (int)i);
    EXPECT_EQ(l.events[i].sec, cases[i].sec);
    EXPECT_EQ(l.events[i].usec, cases[i].usec);
    EXPECT_EQ(l.events[i].data, data);
  }
}

// Simple packet blocks take the section's first interface, the snapshot
// length and no time stamp; the obsolete packet block reads like an
// enhanced one.
TEST(ImportPcapng, SimpleAndObsoletePacketBlocks) {
  Bytes e1 = eth_ipv4(46, 1), e2 = eth_ipv4(100, 2), e3 = eth_ipv4(33, 3);
  for (bool big : {false, true}) {
    SCOPED_TRACE(big);
    NgFile f{big};
    f.shb();
    f.idb(1, 64, f.opt(2, "snap64"));
    f.idb(1, 0, f.opt(2, "whole"));
    f.spb(e1);
    f.spb(Bytes(e2.begin(), e2.begin() + 64), (uint32_t)e2.size());
    f.opb(1, usecs(50, 60), e3);
    Imported r = import({"-x", "Tcpdump"}, f.out);
    ASSERT_EQ(r.rr.status, 0) << r.err;
    Bytes events = evt(0, 1, 0, 0, e1);
    append(events, evt(0, 1, 0, 0, Bytes(e2.begin(), e2.begin() + 64), (int64_t)e2.size()));
    append(events, evt(1, 1, 50, 60, e3));
    std::vector<Trl> trls = {{0, 2, (int64_t)(e1.size() + e2.size()), 0, 0}, {0, 1, (int64_t)e3.size(), 0, 0}};
    EXPECT_EQ(r.out, ng_log({{"snap64", 4, 64}, {"whole", 4, 0}}, start_of(r.out), events, 50, 60, trls));
  }
}

TEST(ImportPcapng, NoInterfaceStillMakesAValidLog) {
  NgFile f;
  f.shb();
  f.block(NG_NRB, pattern(8, 1));
  Imported r = import({"-x", "Tcpdump"}, f.out);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "Done - 0 packets imported\n");
  EXPECT_EQ(r.out, ng_log({{"Tcpdump", 9, 0}}, start_of(r.out), {}, 0, 0, {{0, 0, 0, 0, 0}}));
}

TEST(ImportPcapng, OverlongFramesAreCutAndCountedInTheirSession) {
  NgFile f;
  f.shb();
  f.idb(1, 0, f.opt(2, "small"));
  f.idb(1, 0, f.opt(2, "jumbo"));
  Bytes big = pattern(20001, 1), small = eth_ipv4(46, 2);
  f.epb(1, usecs(1, 0), big);
  f.epb(0, usecs(2, 0), small);
  f.epb(1, usecs(3, 0), big, 30000);
  Imported r = import({"-x", "Tcpdump"}, f.out);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Bytes cut(big.begin(), big.begin() + 17008);
  Bytes events = evt(1, 1, 1, 0, cut, 20001);
  append(events, evt(0, 1, 2, 0, small));
  append(events, evt(1, 1, 3, 0, cut, 30000));
  std::vector<Trl> trls = {{0, 1, (int64_t)small.size(), 0, 0}, {2, 2, 50001, 2, 2 * 2993}};
  EXPECT_EQ(r.out, ng_log({{"small", 4, 0}, {"jumbo", 4, 0}}, start_of(r.out), events, 3, 0, trls));
}

// A lying block, option or packet length after a good frame: a clear
// message, status 255, and the good frame logged (without a trailer).
TEST(ImportPcapng, LyingLengthsStopAfterTheFramesBefore) {
  Bytes good = eth_ipv4(46, 1), next = eth_ipv4(60, 2);
  auto lying = [&](bool big, uint32_t total_lie) {
    NgFile f{big};
    Bytes body = f.epb_body(0, usecs(2, 0), next);
    f.block(NG_EPB, body, total_lie);
    return f.out;
  };
  struct Case {
    const char *what;
    std::function<Bytes(bool)> tail;
    std::string msg, msg_big = {};  // the second when it differs in the other byte order
    bool at_end = false;            // the lie is where the input ends
  } cases[] = {
      {"length not a multiple of 4",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_NRB, pattern(8, 1), 22);
         return f.out;
       },
       "Invalid pcapng block length 22 (type 0x4)"},
      {"length below the least block", [&](bool big) { return lying(big, 8); },
       "Invalid pcapng block length 8 (type 0x6)"},
      {"length below the packet block's fields",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_EPB, pattern(16, 1));
         return f.out;
       },
       "Invalid pcapng block length 28 (type 0x6)"},
      {"trailing length differs",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_EPB, f.epb_body(0, usecs(2, 0), next), 0, 112);
         return f.out;
       },
       "Invalid pcapng block length 108 vs trailer 112 (type 0x6)"},
      {"captured length beyond the block",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_EPB, f.epb_body(0, usecs(2, 0), pattern(60, 3), 0, 1000));
         return f.out;
       },
       "Invalid captured length 1000 (more than 60)"},
      {"captured length whose padding passes the block",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_EPB, f.epb_body(0, usecs(2, 0), pattern(60, 3), 0, 61));
         return f.out;
       },
       "Invalid captured length 61 (more than 60)"},
      {"option length beyond the block",
       [&](bool big) {
         NgFile f{big};
         Bytes o;
         put(o, 1, 2, big);
         put(o, 100, 2, big);
         append(o, pattern(4, 1));
         f.epb(0, usecs(2, 0), next, 0, o);
         return f.out;
       },
       "Invalid pcapng option length 100 (code 1, 4 octets left)"},
      {"interface option length beyond the block",
       [&](bool big) {
         NgFile f{big};
         Bytes o;
         put(o, 2, 2, big);
         put(o, 200, 2, big);
         append(o, pattern(4, 1));
         f.block(NG_IDB, [&] {
           Bytes b;
           put(b, 1, 2, big);
           put(b, 0, 2, big);
           put(b, 0, 4, big);
           append(b, o);
           return b;
         }());
         f.epb(1, usecs(2, 0), next);
         return f.out;
       },
       "Invalid pcapng option length 200 (code 2, 4 octets left)"},
      {"undefined interface",
       [&](bool big) {
         NgFile f{big};
         f.epb(3, usecs(2, 0), next);
         return f.out;
       },
       "Invalid interface 3 (section has 1)"},
      {"simple packet in a section without interfaces",
       [&](bool big) {
         NgFile f{big};
         f.shb();
         f.spb(next);
         return f.out;
       },
       "Invalid interface 0 (section has 0)"},
      {"simple packet longer than its block",
       [&](bool big) {
         NgFile f{big};
         f.spb(next, 1000);
         return f.out;
       },
       "Invalid captured length 1000 (more than 76)"},
      {"input ends inside a block",
       [&](bool big) {
         Bytes b = lying(big, 0);
         b.resize(40);
         return b;
       },
       "Read failed on packet data - errno=0", "", true},
      {"input ends inside a block header",
       [&](bool big) {
         Bytes b = lying(big, 0);
         b.resize(5);
         return b;
       },
       "Read failed on packet header - errno=0 [UNKNOWN]", "", true},
      {"block longer than the input",
       [&](bool big) {
         NgFile f{big};
         f.block(0x0BADu, pattern(40, 1), 0xFFFFFFF0u);
         return f.out;
       },
       "Read failed on packet data - errno=0"},
      {"section with a bad byte-order magic",
       [&](bool big) {
         NgFile f{big};
         f.shb();
         f.out[8] ^= 0xFF;
         return f.out;
       },
       "Invalid pcapng byte-order magic - 0x1a2b3cb2", "Invalid pcapng byte-order magic - 0x4d3c2be5"},
      {"section of another major version",
       [&](bool big) {
         NgFile f{big};
         f.shb(2, 0);
         return f.out;
       },
       "Unsupported pcapng version 2.0"},
      {"section header too short",
       [&](bool big) {
         NgFile f{big};
         f.block(NG_SHB, [&] {
           Bytes b;
           put(b, 0x1A2B3C4D, 4, big);
           put(b, 1, 2, big);
           put(b, 0, 2, big);
           return b;
         }());
         return f.out;
       },
       "Invalid pcapng block length 20 (type 0xa0d0d0a)"},
      {"time-stamp resolution past 10^19",
       [&](bool big) {
         NgFile f{big};
         f.idb(1, 0, f.opt(9, Bytes{20}));
         return f.out;
       },
       "Invalid if_tsresol 0x14"},
      {"time-stamp resolution past 2^63",
       [&](bool big) {
         NgFile f{big};
         f.idb(1, 0, f.opt(9, Bytes{0x80 | 64}));
         return f.out;
       },
       "Invalid if_tsresol 0xc0"},
  };
  for (const Case &c : cases) {
    for (bool big : {false, true}) {
      for (bool piped : {false, true}) {
        SCOPED_TRACE(std::string(c.what) + (big ? " big" : " little") + (piped ? " piped" : " file"));
        NgFile f{big};
        f.shb();
        f.idb(1, 65535);
        f.epb(0, usecs(1, 0), good);
        Bytes in = f.out;
        append(in, c.tail(big));
        NgFile after{big};
        after.epb(0, usecs(3, 0), next);
        if (!c.at_end) append(in, after.out);
        Imported r = import({"-x", "Tcpdump"}, in, piped);
        EXPECT_EQ(r.rr.status, 255);
        const std::string &msg = big && !c.msg_big.empty() ? c.msg_big : c.msg;
        EXPECT_EQ(r.err, std::string(ETH_MAPPED) + "Failed to parse packet no. 1 [" + msg +
                             "]\nError - 1 packet imported\n");
        Log l = parse_log(r.out);
        ASSERT_TRUE(l.ok) << l.why;
        EXPECT_EQ(l.nses, 1);
        ASSERT_EQ(l.events.size(), 1u);
        EXPECT_EQ(l.events[0].data, good);
        EXPECT_FALSE(l.events[0].has_trl);
      }
    }
  }
}

TEST(ImportPcapng, MoreInterfacesThanALogHolds) {
  NgFile f;
  f.shb();
  for (int i = 0; i < 127; i++) f.idb(1, 0);
  Bytes good = eth_ipv4(46, 1);
  f.epb(126, usecs(1, 0), good);
  f.idb(1, 0);
  f.epb(127, usecs(2, 0), good);
  Imported r = import({"-x", "Tcpdump"}, f.out);
  EXPECT_EQ(r.rr.status, 255);
  std::string mapped;
  for (int i = 0; i < 127; i++) mapped += ETH_MAPPED;
  EXPECT_EQ(r.err, mapped + "Failed to parse packet no. 1 [Too many interfaces (more than 127)]\n"
                            "Error - 1 packet imported\n");
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  EXPECT_EQ(l.nses, 127);
  ASSERT_EQ(l.events.size(), 1u);
  EXPECT_EQ(l.events[0].ses, 126);
}

// A broken first section header is a broken file header: nothing written.
TEST(ImportPcapng, BrokenFileHeadersWriteNothing) {
  NgFile ok;
  ok.shb();
  struct Case {
    const char *type;
    Bytes in;
    std::string msg;
  } cases[] = {
      {"pcapng", {}, "Read failed on pcapng header - errno=0"},
      {"pcapng", pcap_file({}, 1), "Invalid pcapng magic value - 0xa1b2c3d4"},
      {"Tcpdump", Bytes(ok.out.begin(), ok.out.begin() + 6), "Read failed on packet header - errno=0 [UNKNOWN]"},
      {"pcapng", Bytes(ok.out.begin(), ok.out.begin() + 20), "Read failed on packet data - errno=0"},
      {"Tcpdump", [&] {
         Bytes b = ok.out;
         b[11] = 0x99;
         return b;
       }(),
       "Invalid pcapng byte-order magic - 0x992b3c4d"},
      {"pcapng", [&] {
         NgFile f;
         f.shb(3, 1);
         return f.out;
       }(),
       "Unsupported pcapng version 3.1"},
  };
  for (const Case &c : cases) {
    for (bool piped : {false, true}) {
      SCOPED_TRACE(c.msg + (piped ? " piped" : " file"));
      Imported r = import({"-x", c.type}, c.in, piped);
      EXPECT_EQ(r.rr.status, 1);
      EXPECT_EQ(r.err, "Failed to parse file header [" + c.msg + "]\n");
      EXPECT_TRUE(r.out.empty());
    }
  }
}
