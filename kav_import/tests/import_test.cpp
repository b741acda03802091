// kav_import: output logs byte for byte for every source format, the
// link-type table, over-long frames, empty and broken inputs, command line.
#include <gtest/gtest.h>

#include "import_run.h"

using namespace logtest;

namespace {

// The whole expected log of an import; the session start time is taken
// from the output (checked separately against the clock).
Bytes expected_log(const std::string &src, int64_t linktype, int64_t capflags, int64_t snaplen, int64_t start,
                   const Bytes &events, int64_t last_sec, int64_t last_usec, const int64_t trl[5]) {
  SesHdr s;
  s.ifname = src;
  s.linktype = linktype;
  s.capflags = capflags;
  s.snaplen = snaplen;
  s.start = start;
  s.ifinfo = false;
  Bytes b = log_hdr(1);
  append(b, ses_hdr(s));
  append(b, events);
  append(b, evt(0, 4, last_sec, last_usec, {}));
  append(b, trailer(trl[0], trl[1], trl[2], trl[3], trl[4]));
  return b;
}

std::vector<PcapRec> three_frames() {
  return {{1700000000, 5, eth_ipv4(46, 1)},
          {1700000001, 999999, eth_ipv4(100, 2), 1514},
          {1700000007, 250000, eth_ipv4(20, 3)}};
}

Bytes frame_events(const std::vector<PcapRec> &recs) {
  Bytes b;
  for (const auto &r : recs) append(b, evt(0, 1, r.sec, r.usec, r.data, r.wire ? r.wire : (int64_t)r.data.size()));
  return b;
}

int64_t wire_sum(const std::vector<PcapRec> &recs) {
  int64_t n = 0;
  for (const auto &r : recs) n += r.wire ? r.wire : (int64_t)r.data.size();
  return n;
}

}  // namespace

TEST(ImportPcap, NativeOrderIsByteExact) {
  auto recs = three_frames();
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 1, false, 2, 4, 262144));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\nDone - 3 packets imported\n");
  int64_t start = start_of(r.out);
  expect_recent(start);
  int64_t trl[5] = {7, 3, wire_sum(recs), 0, 0};
  EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 1, 262144, start, frame_events(recs), 1700000007, 250000, trl));
}

TEST(ImportPcap, ReversedByteOrderGivesTheSameLog) {
  auto recs = three_frames();
  Imported a = import({"-x", "tcpdump"}, pcap_file(recs, 1, false));
  Imported b = import({"-x", "TCPDUMP"}, pcap_file(recs, 1, true));
  ASSERT_EQ(b.rr.status, 0) << b.err;
  EXPECT_EQ(b.err, a.err);
  ASSERT_EQ(a.out.size(), b.out.size());
  int64_t start = start_of(b.out);
  int64_t trl[5] = {7, 3, wire_sum(recs), 0, 0};
  EXPECT_EQ(b.out, expected_log("Tcpdump", 4, 1, 65535, start, frame_events(recs), 1700000007, 250000, trl));
}

TEST(ImportPcap, OtherVersionWarnsAndImports) {
  auto recs = three_frames();
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 1, false, 2, 3));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "Warning: Logfile version is 2:3  vs expected=2:4 - will try to continue\n"
            "PCAP linktype=1 mapped to DLPI=0x4\nDone - 3 packets imported\n");
  Imported big = import({"-x", "Tcpdump"}, pcap_file(recs, 1, true, 3, 0));
  ASSERT_EQ(big.rr.status, 0) << big.err;
  EXPECT_NE(big.err.find("Warning: Logfile version is 3:0  vs expected=2:4 - will try to continue\n"),
            std::string::npos);
  EXPECT_EQ(parse_log(big.out).events.size(), 4u);
}

// Every row of the link-type table: data-link code, raw flag and warning.
TEST(ImportPcap, LinkTypeTable) {
  struct Row {
    uint32_t lt;
    int64_t dlpi, raw;
    const char *cast;
  } rows[] = {{1, 4, 1, nullptr},       {6, 4, 1, nullptr},      {2, 4, 1, "DL_ETHER"}, {9, 5, 1, "DL_HDLC"},
              {14, 5, 1, "DL_HDLC"},    {10, 8, 1, nullptr},     {11, 3, 1, "DL_METRO"}, {12, 4, 0, nullptr},
              {101, 129, 1, nullptr},   {228, 129, 1, nullptr},  {229, 129, 1, nullptr},
              {276, 129, 1, nullptr},   {0x3FFFFFF, 9, 1, nullptr}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.lt);
    // Framed so that the cooked header of link type 276 passes.
    Bytes data = pattern(60, row.lt);
    data[0] = 0x08;
    data[1] = 0x00;
    std::vector<PcapRec> recs = {{10, 20, data}};
    Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, row.lt));
    ASSERT_EQ(r.rr.status, 0) << r.err;
    char want[256];
    std::string msg;
    if (row.cast) {
      snprintf(want, sizeof want, "Casting linktype=%d to DLPI type %s - may be wrong\n", (int)row.lt, row.cast);
      msg += want;
    }
    snprintf(want, sizeof want, "PCAP linktype=%d mapped to DLPI=0x%x\n", (int)row.lt, (unsigned)row.dlpi);
    msg += want;
    EXPECT_EQ(r.err, msg + "Done - 1 packet imported\n");
    int cut = row.lt == 276 ? 20 : 0;
    std::vector<PcapRec> logged = {{10, 20, Bytes(data.begin() + cut, data.end())}};
    int64_t trl[5] = {0, 1, 60 - cut, 0, 0};
    EXPECT_EQ(r.out, expected_log("Tcpdump", row.dlpi, row.raw, 65535, start_of(r.out), frame_events(logged), 10, 20,
                                  trl));
  }
}

TEST(ImportPcap, LoopbackFamilyWordIsDropped) {
  Bytes d1 = {2, 0, 0, 0}, d2 = {2, 0, 0, 0};
  Bytes ip1 = ipv4(40, 1), ip2 = ipv4(28, 2);
  append(d1, ip1);
  append(d2, ip2);
  std::vector<PcapRec> recs = {{100, 1, d1}, {101, 2, d2, 1000}};
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 0));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "PCAP linktype=0 mapped to DLPI=0x4\nDone - 2 packets imported\n");
  Bytes events = evt(0, 1, 100, 1, ip1);
  append(events, evt(0, 1, 101, 2, ip2, 996));
  int64_t trl[5] = {1, 2, 40 + 996, 0, 0};
  EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 0, 65535, start_of(r.out), events, 101, 2, trl));
}

TEST(ImportPcap, CookedIpFramesLoseTheirHeaderWhateverTheAddressType) {
  Bytes f1 = sll(0, 0xFFFE, 0, 0x0800), f2 = sll(4, 1, 6, 0x0800), f3 = sll(0, 0xFFFE, 0, 0x86DD);
  Bytes ip1 = ipv4(60, 1), ip2 = ipv4(84, 2), ip3 = pattern(40, 3);
  ip3[0] = 0x60;
  append(f1, ip1);
  append(f2, ip2);
  append(f3, ip3);
  std::vector<PcapRec> recs = {{5, 1, f1}, {5, 2, f2}, {6, 3, f3, 200}};
  for (bool big : {false, true}) {
    Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 113, big));
    ASSERT_EQ(r.rr.status, 0) << r.err;
    EXPECT_EQ(r.err, "PCAP linktype=113 mapped to DLPI=0x81\nDone - 3 packets imported\n");
    Bytes events = evt(0, 1, 5, 1, ip1);
    append(events, evt(0, 1, 5, 2, ip2));
    append(events, evt(0, 1, 6, 3, ip3, 184));
    int64_t trl[5] = {1, 3, 60 + 84 + 184, 0, 0};
    EXPECT_EQ(r.out, expected_log("Tcpdump", 129, 1, 65535, start_of(r.out), events, 6, 3, trl));
  }
}

namespace {
// A version-2 cooked header: protocol, interface index, address type,
// packet type and an address of alen octets.
Bytes sll2(unsigned proto, unsigned arphrd, unsigned dir, unsigned alen) {
  Bytes h;
  put_be(h, proto, 2);
  put_be(h, 0, 2);
  put_be(h, 7, 4);
  put_be(h, arphrd, 2);
  h.push_back((unsigned char)dir);
  h.push_back((unsigned char)alen);
  put_be(h, 0x0203040506070809ull, 8);
  return h;
}

Bytes with(Bytes head, const Bytes &tail) {
  append(head, tail);
  return head;
}
}  // namespace

// Cooked captures of both versions: IPv4 and IPv6 frames lose the header;
// any other protocol keeps a version-1 image of it (so the analyser shows
// it as data) and is reported once.
TEST(ImportPcap, CookedOtherProtocolsAreKeptAndReportedOnce) {
  Bytes ip4 = ipv4(48, 1), ip6 = ipv6(60, 2), arp = pattern(28, 3), stp = pattern(39, 4);
  arp[0] = 0;
  stp[0] = stp[1] = 0x42;  // an LLC frame starting like IPv4
  struct Variant {
    uint32_t lt;
    int hdr;
  } variants[] = {{113, 16}, {276, 20}};
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.lt);
    auto cooked = [&](unsigned proto, unsigned dir, const Bytes &payload) {
      return with(v.lt == 113 ? sll(dir, 1, 6, proto) : sll2(proto, 1, dir, 6), payload);
    };
    std::vector<PcapRec> recs = {{7, 1, cooked(0x0806, 1, arp)}, {7, 2, cooked(0x0800, 0, ip4)},
                                 {7, 3, cooked(0x86DD, 4, ip6)}, {7, 4, cooked(0x0806, 0, arp)},
                                 {8, 5, cooked(0x0004, 2, stp)}, {8, 6, cooked(0x0004, 2, stp), 500}};
    Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, v.lt));
    ASSERT_EQ(r.rr.status, 0) << r.err;
    char head[64];
    snprintf(head, sizeof head, "PCAP linktype=%u mapped to DLPI=0x81\n", v.lt);
    EXPECT_EQ(r.err, std::string(head) +
                         "Unexpected LINUXSLL header on pkt=0 with arphrd=0x1, proto=0x806, linkaddr=6 - direction=1\n"
                         "Unexpected LINUXSLL header on pkt=4 with arphrd=0x1, proto=0x4, linkaddr=6 - direction=2\n"
                         "Done - 6 packets imported\n");
    Bytes events = evt(0, 1, 7, 1, with(sll(1, 1, 6, 0x0806), arp));
    append(events, evt(0, 1, 7, 2, ip4));
    append(events, evt(0, 1, 7, 3, ip6));
    append(events, evt(0, 1, 7, 4, with(sll(0, 1, 6, 0x0806), arp)));
    append(events, evt(0, 1, 8, 5, with(sll(2, 1, 6, 0x0004), stp)));
    int64_t wire6 = 500 - v.hdr + 16;
    append(events, evt(0, 1, 8, 6, with(sll(2, 1, 6, 0x0004), stp), wire6));
    int64_t octets = 16 + 28 + 48 + 60 + 16 + 28 + 16 + 39 + wire6;
    int64_t trl[5] = {1, 6, octets, 0, 0};
    EXPECT_EQ(r.out, expected_log("Tcpdump", 129, 1, 65535, start_of(r.out), events, 8, 6, trl));
  }
}

TEST(ImportPcap, CookedVersion2HeaderIsChecked) {
  std::vector<PcapRec> recs = {{5, 1, with(sll2(0x0800, 1, 0, 6), ipv4(20, 1))}, {5, 2, pattern(19, 1)}};
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 276));
  EXPECT_EQ(r.rr.status, 255);
  EXPECT_EQ(r.err,
            "PCAP linktype=276 mapped to DLPI=0x81\n"
            "Failed to parse packet no. 1 [Invalid captured length 19 (less than 20)]\nError - 1 packet imported\n");
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 1u);
  EXPECT_EQ(l.events[0].data, ipv4(20, 1));

  // A file cut inside the header of its second frame.
  Bytes cut = pcap_file({recs[0], {5, 2, with(sll2(0x86DD, 1, 0, 6), ipv6(40, 2))}}, 276);
  cut.resize(24 + 16 + 40 + 16 + 12);
  Imported c = import({"-x", "Tcpdump"}, cut);
  EXPECT_EQ(c.rr.status, 255);
  EXPECT_NE(c.err.find("Failed to parse packet no. 1 [Read failed on cooked packet header - errno=0 [UNKNOWN]]\n"),
            std::string::npos)
      << c.err;
}

// Raw IP link types: the datagrams as they are, IPv4 and IPv6 alike, in a
// raw-IP session.
TEST(ImportPcap, RawIpLinkTypesKeepDatagramsAsTheyAre) {
  for (uint32_t lt : {101u, 228u, 229u}) {
    SCOPED_TRACE(lt);
    std::vector<PcapRec> recs = {{9, 1, ipv4(40, 1)}, {9, 2, ipv6(72, 2)}, {10, 3, ipv4(1500, 3), 1500}};
    Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, lt, lt == 229));
    ASSERT_EQ(r.rr.status, 0) << r.err;
    char want[96];
    snprintf(want, sizeof want, "PCAP linktype=%u mapped to DLPI=0x81\nDone - 3 packets imported\n", lt);
    EXPECT_EQ(r.err, want);
    int64_t trl[5] = {1, 3, 40 + 72 + 1500, 0, 0};
    EXPECT_EQ(r.out, expected_log("Tcpdump", 129, 1, 65535, start_of(r.out), frame_events(recs), 10, 3, trl));
  }
}

// The link-type word's upper bits: with bit 26 set, bits 28-31 count the
// 16-bit words of checksum that end each frame, which the log does not keep.
TEST(ImportPcap, ChecksumBitsOfTheLinkTypeWord) {
  Bytes f1 = eth_ipv4(46, 1), f2 = eth_ipv4(100, 2), f3 = eth_ipv4(30, 3);
  Bytes fcs = {0xDE, 0xAD, 0xBE, 0xEF};
  std::vector<PcapRec> recs = {
      {1, 0, with(f1, fcs)},                                      // whole frame and checksum
      {2, 0, Bytes(f2.begin(), f2.begin() + 64), (uint32_t)f2.size() + 4},  // cut before the checksum
      {3, 0, with(f3, {0xDE, 0xAD}), (uint32_t)f3.size() + 4},   // cut inside it
  };
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 0x24000001));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\nDone - 3 packets imported\n");
  Bytes events = evt(0, 1, 1, 0, f1);
  append(events, evt(0, 1, 2, 0, Bytes(f2.begin(), f2.begin() + 64), (int64_t)f2.size()));
  append(events, evt(0, 1, 3, 0, f3));
  int64_t trl[5] = {2, 3, (int64_t)(f1.size() + f2.size() + f3.size()), 0, 0};
  EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 1, 65535, start_of(r.out), events, 3, 0, trl));

  // Without bit 26 the upper bits say nothing: the frames stay whole.
  for (uint32_t word : {0x30000001u, 0x40000001u, 0x04000001u}) {
    SCOPED_TRACE(word);
    Imported w = import({"-x", "Tcpdump"}, pcap_file({recs[0]}, word));
    ASSERT_EQ(w.rr.status, 0) << w.err;
    EXPECT_EQ(w.err, "PCAP linktype=1 mapped to DLPI=0x4\nDone - 1 packet imported\n");
    int64_t t1[5] = {0, 1, (int64_t)recs[0].data.size(), 0, 0};
    EXPECT_EQ(w.out, expected_log("Tcpdump", 4, 1, 65535, start_of(w.out), frame_events({recs[0]}), 1, 0, t1));
  }

  // A wire length shorter than the checksum is a lie.
  Imported bad = import({"-x", "Tcpdump"}, pcap_file({recs[0], {4, 0, {1, 2}, 2}}, 0x24000001));
  EXPECT_EQ(bad.rr.status, 255);
  EXPECT_EQ(bad.err,
            "PCAP linktype=1 mapped to DLPI=0x4\n"
            "Failed to parse packet no. 1 [Invalid wire length 2 (less than 4)]\nError - 1 packet imported\n");
}

TEST(ImportPcap, NanosecondTimeStampsBecomeMicroseconds) {
  std::vector<PcapRec> recs = {{1700000000, 999999999, eth_ipv4(46, 1)},
                               {1700000001, 1999, eth_ipv4(60, 2)},
                               {1700000002, 0, eth_ipv4(20, 3)}};
  for (bool big : {false, true}) {
    SCOPED_TRACE(big);
    Bytes in = pcap_file(recs, 1, big);
    if (big) {
      in[2] = 0x3C;
      in[3] = 0x4D;
    } else {
      in[0] = 0x4D;
      in[1] = 0x3C;
    }
    Imported r = import({"-x", "Tcpdump"}, in);
    ASSERT_EQ(r.rr.status, 0) << r.err;
    EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\nDone - 3 packets imported\n");
    std::vector<PcapRec> want = recs;
    for (auto &w : want) w.usec /= 1000;
    int64_t trl[5] = {2, 3, wire_sum(recs), 0, 0};
    EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 1, 65535, start_of(r.out), frame_events(want), 1700000002, 0, trl));
  }
}

TEST(ImportPcap, FrameShorterThanCookedHeaderIsRefused) {
  std::vector<PcapRec> recs = {{5, 1, sll(0, 0xFFFE, 0, 0x0800)}, {5, 2, pattern(10, 1)}};
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 113));
  EXPECT_EQ(r.rr.status, 255);
  EXPECT_NE(r.err.find("Failed to parse packet no. 1 [Invalid captured length 10 (less than 16)]\n"
                       "Error - 1 packet imported\n"),
            std::string::npos)
      << r.err;
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 1u);  // the first frame, and no trailer
  EXPECT_EQ(l.events[0].type, 1);
  EXPECT_EQ(l.events[0].caplen, 0);
}

TEST(ImportPcap, OverlongFramesAreCutAndCounted) {
  std::vector<PcapRec> recs = {{1, 0, pattern(100, 1)}, {2, 0, pattern(20000, 2)}, {3, 0, pattern(17008, 3)},
                               {4, 0, pattern(17009, 4), 30000}, {5, 0, pattern(64, 5)}};
  Imported r = import({"-x", "Tcpdump"}, pcap_file(recs, 1, false, 2, 4, 262144));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Bytes events;
  append(events, evt(0, 1, 1, 0, recs[0].data));
  append(events, evt(0, 1, 2, 0, Bytes(recs[1].data.begin(), recs[1].data.begin() + 17008), 20000));
  append(events, evt(0, 1, 3, 0, recs[2].data));
  append(events, evt(0, 1, 4, 0, Bytes(recs[3].data.begin(), recs[3].data.begin() + 17008), 30000));
  append(events, evt(0, 1, 5, 0, recs[4].data));
  int64_t trl[5] = {4, 5, 100 + 20000 + 17008 + 30000 + 64, 2, 2992 + 1};
  EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 1, 262144, start_of(r.out), events, 5, 0, trl));
}

TEST(ImportPcap, HeaderOnlyFileEndsWithTrailer) {
  Imported r = import({"-x", "Tcpdump"}, pcap_file({}, 1));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\nDone - 0 packets imported\n");
  int64_t trl[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(r.out, expected_log("Tcpdump", 4, 1, 65535, start_of(r.out), {}, 0, 0, trl));
}

TEST(ImportPcap, BrokenHeadersStopWithNothingWritten) {
  const Bytes hdr = pcap_file({}, 1);
  struct Case {
    Bytes in;
    std::string msg;
  } cases[] = {
      {{}, "Failed to parse file header [Read failed on Tcpdump header=24 - errno=0]\n"},
      {Bytes(hdr.begin(), hdr.begin() + 23),
       "Failed to parse file header [Read failed on Tcpdump header=24 - errno=0]\n"},
      {Bytes(24, 0x41), "Failed to parse file header [Invalid Tcpdump magic value - 0x41414141]\n"},
  };
  for (const auto &c : cases) {
    Imported r = import({"-x", "Tcpdump"}, c.in);
    EXPECT_EQ(r.rr.status, 1);
    EXPECT_EQ(r.err, c.msg);
    EXPECT_TRUE(r.out.empty());
  }
  Bytes odd = pcap_file({}, 1);
  odd[3] = 0xA2;  // neither micro- nor nanosecond pcap in either order
  Imported r = import({"-x", "Tcpdump"}, odd);
  EXPECT_EQ(r.rr.status, 1);
  EXPECT_EQ(r.err, "Failed to parse file header [Invalid Tcpdump magic value - 0xa2b2c3d4]\n");
  EXPECT_TRUE(r.out.empty());
}

TEST(ImportPcap, TruncatedRecordsFailWithStatus255) {
  Bytes full = pcap_file(three_frames(), 1);
  // Cut inside the second record's header, then inside its data.
  size_t rec2 = 24 + 16 + three_frames()[0].data.size();
  struct Case {
    size_t len;
    std::string msg;
  } cases[] = {{rec2 + 7, "Failed to parse packet no. 1 [Read failed on packet header - errno=0 [UNKNOWN]]\n"},
               {rec2 + 16 + 30, "Failed to parse packet no. 1 [Read failed on packet data - errno=0]\n"}};
  for (const auto &c : cases) {
    Imported r = import({"-x", "Tcpdump"}, Bytes(full.begin(), full.begin() + (long)c.len));
    EXPECT_EQ(r.rr.status, 255);
    EXPECT_EQ(r.err, "PCAP linktype=1 mapped to DLPI=0x4\n" + c.msg + "Error - 1 packet imported\n");
    Log l = parse_log(r.out);
    ASSERT_TRUE(l.ok) << l.why;
    ASSERT_EQ(l.events.size(), 1u);
    EXPECT_EQ(l.events[0].data, three_frames()[0].data);
  }
}

TEST(ImportSnoop, Version2IsByteExact) {
  auto recs = three_frames();
  recs.push_back({1700000009, 1, pattern(61, 9), 61});  // padded to 64
  Imported r = import({"-x", "snoop"}, snoop_file(recs));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "Done - 4 packets imported\n");
  int64_t trl[5] = {9, 4, wire_sum(recs), 0, 0};
  EXPECT_EQ(r.out, expected_log("Snoop", 4, 1, 0, start_of(r.out), frame_events(recs), 1700000009, 1, trl));
}

TEST(ImportSnoop, DataLinkCodeIsTakenAsIs) {
  std::vector<PcapRec> recs = {{1, 2, pattern(30, 1)}};
  Imported r = import({"-x", "Snoop"}, snoop_file(recs, 8));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  int64_t trl[5] = {0, 1, 30, 0, 0};
  EXPECT_EQ(r.out, expected_log("Snoop", 8, 1, 0, start_of(r.out), frame_events(recs), 1, 2, trl));
}

TEST(ImportSnoop, HeaderOnlyFileEndsWithTrailer) {
  Imported r = import({"-x", "Snoop"}, snoop_file({}, 4));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "Done - 0 packets imported\n");
  int64_t trl[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(r.out, expected_log("Snoop", 4, 1, 0, start_of(r.out), {}, 0, 0, trl));
}

TEST(ImportSnoop, OtherVersionsAndMagicsAreRefused) {
  Imported v3 = import({"-x", "Snoop"}, snoop_file(three_frames(), 4, 3));
  EXPECT_EQ(v3.rr.status, 1);
  EXPECT_EQ(v3.err, "Failed to parse file header [Unrecognised Snoop version - 3]\n");
  EXPECT_TRUE(v3.out.empty());
  Bytes bad = snoop_file({});
  bad[5] = 'x';
  Imported m = import({"-x", "Snoop"}, bad);
  EXPECT_EQ(m.rr.status, 1);
  EXPECT_EQ(m.err, "Failed to parse file header [Invalid Snoop magic value]\n");
  EXPECT_TRUE(m.out.empty());
  Imported e = import({"-x", "Snoop"}, Bytes(10, 0));
  EXPECT_EQ(e.rr.status, 1);
  EXPECT_EQ(e.err, "Failed to parse file header [Read failed on Snoop header - errno=0]\n");
  EXPECT_TRUE(e.out.empty());
}

TEST(ImportSnoop, RecordLengthTooShortForItsDataIsRefused) {
  Bytes f = snoop_file({{1, 0, pattern(40, 1)}, {2, 0, pattern(40, 2)}});
  // Second record: record length 24 + 39 < 24 + 40.
  size_t rec2 = 16 + 24 + 40;
  f[rec2 + 11] = 24 + 39;
  Imported r = import({"-x", "Snoop"}, f);
  EXPECT_EQ(r.rr.status, 255);
  EXPECT_EQ(r.err,
            "Failed to parse packet no. 1 [Invalid Snoop record length 63 (less than 64)]\n"
            "Error - 1 packet imported\n");
}

TEST(ImportSnoop, OverlongFrameIsCutAndPaddingSkipped) {
  std::vector<PcapRec> recs = {{1, 0, pattern(17010, 1)}, {2, 0, pattern(33, 2)}};
  Imported r = import({"-x", "Snoop"}, snoop_file(recs));
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Bytes events = evt(0, 1, 1, 0, Bytes(recs[0].data.begin(), recs[0].data.begin() + 17008), 17010);
  append(events, evt(0, 1, 2, 0, recs[1].data));
  int64_t trl[5] = {1, 2, 17010 + 33, 1, 2};
  EXPECT_EQ(r.out, expected_log("Snoop", 4, 1, 0, start_of(r.out), events, 2, 0, trl));
}

TEST(ImportRaw, IpDatagramsBackToBack) {
  Bytes in;
  Bytes a = ipv4(20, 1), b = ipv4(1500, 2), c = ipv4(4, 3);
  append(in, a);
  append(in, b);
  append(in, c);
  Imported r = import({"-x", "ip"}, in);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "Done - 3 packets imported\n");
  Bytes events = evt(0, 1, 0, 0, a);
  append(events, evt(0, 1, 0, 0, b));
  append(events, evt(0, 1, 0, 0, c));
  int64_t trl[5] = {0, 3, 1524, 0, 0};
  EXPECT_EQ(r.out, expected_log("IP", 4, 0, 0, start_of(r.out), events, 0, 0, trl));
}

TEST(ImportRaw, IpWithFirstOffsetAndGap) {
  Bytes a = ipv4(28, 1), b = ipv4(40, 2);
  Bytes in(10, 0xCC);  // -o 10
  // -p 4: four bytes before every datagram, the first included.
  in.insert(in.end(), 4, 0xDD);
  append(in, a);
  in.insert(in.end(), 4, 0xDD);
  append(in, b);
  in.insert(in.end(), 2, 0xDD);  // trailing partial gap
  Imported r = import({"-x", "IP", "-o", "10", "-p", "4"}, in);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Bytes events = evt(0, 1, 0, 0, a);
  append(events, evt(0, 1, 0, 0, b));
  int64_t trl[5] = {0, 2, 68, 0, 0};
  EXPECT_EQ(r.out, expected_log("IP", 4, 0, 0, start_of(r.out), events, 0, 0, trl));
}

TEST(ImportRaw, IpOverlongAndInvalidLengths) {
  Bytes big = ipv4(20000, 1), next = ipv4(20, 2);
  Bytes in = big;
  append(in, next);
  Imported r = import({"-x", "IP"}, in);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  Bytes events = evt(0, 1, 0, 0, Bytes(big.begin(), big.begin() + 17008), 20000);
  append(events, evt(0, 1, 0, 0, next));
  int64_t trl[5] = {0, 2, 20020, 1, 2992};
  EXPECT_EQ(r.out, expected_log("IP", 4, 0, 0, start_of(r.out), events, 0, 0, trl));

  Bytes bad = ipv4(20, 1);
  append(bad, Bytes{0x45, 0, 0, 3});
  Imported b = import({"-x", "IP"}, bad);
  EXPECT_EQ(b.rr.status, 255);
  EXPECT_EQ(b.err,
            "Failed to parse packet no. 1 [Invalid IP total length 3 (less than 4)]\nError - 1 packet imported\n");
}

TEST(ImportRaw, EthernetFramesSizedByTheirHeaders) {
  Bytes e2 = eth_ipv4(46, 1);                              // Ethernet II, IPv4
  Bytes e3 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 30};  // 802.3, length 30
  append(e3, pattern(30, 7));
  Bytes e4 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x05, 0xDC};  // 802.3, length 1500
  append(e4, pattern(1500, 8));
  Bytes in(6, 0);  // -o 6
  for (const Bytes *f : {&e2, &e3, &e4}) {
    in.insert(in.end(), 2, 0xFF);  // -p 2
    append(in, *f);
  }
  Imported r = import({"-x", "ethernet", "-p", "2", "-o", "6"}, in);
  ASSERT_EQ(r.rr.status, 0) << r.err;
  EXPECT_EQ(r.err, "Done - 3 packets imported\n");
  Bytes events = evt(0, 1, 0, 0, e2);
  append(events, evt(0, 1, 0, 0, e3));
  append(events, evt(0, 1, 0, 0, e4));
  int64_t trl[5] = {0, 3, (int64_t)(e2.size() + e3.size() + e4.size()), 0, 0};
  EXPECT_EQ(r.out, expected_log("Ethernet", 4, 1, 0, start_of(r.out), events, 0, 0, trl));
}

TEST(ImportRaw, EthernetOtherThanIpIsAParseFailure) {
  Bytes in = eth_ipv4(28, 1);
  Bytes arp = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x08, 0x06};
  append(arp, pattern(28, 2));
  append(in, arp);
  Imported r = import({"-x", "Ethernet"}, in);
  EXPECT_EQ(r.rr.status, 255);
  EXPECT_EQ(r.err,
            "Failed to parse packet no. 1 [Failed to determine size of frame (EtherType=0x0806)]\n"
            "Error - 1 packet imported\n");
  Log l = parse_log(r.out);
  ASSERT_TRUE(l.ok) << l.why;
  ASSERT_EQ(l.events.size(), 1u);
  EXPECT_FALSE(l.events[0].has_trl);
}

TEST(ImportRaw, EmptyInputStillEndsWithTrailer) {
  for (const char *type : {"IP", "Ethernet"}) {
    Imported r = import({"-x", type}, {});
    ASSERT_EQ(r.rr.status, 0) << r.err;
    EXPECT_EQ(r.err, "Done - 0 packets imported\n");
    int64_t trl[5] = {0, 0, 0, 0, 0};
    EXPECT_EQ(r.out, expected_log(type, 4, std::string(type) == "IP" ? 0 : 1, 0, start_of(r.out), {}, 0, 0, trl));
  }
}

TEST(ImportCommandLine, UsageAndRefusals) {
  Imported h = import({"-h"}, {});
  EXPECT_EQ(h.rr.status, 0);
  std::string out(h.out.begin(), h.out.end());
  EXPECT_EQ(out,
            "Velmora Import Utility, 1.4.8\n\nUSAGE:\nkav_import -x logtype [-o offset] [-p offset]\nkav_import -h\n\n"
            "  -x: Type of log file to import. Valid types are:\n      Snoop, Tcpdump, IP, Ethernet, pcapng\n"
            "  -o: Offset of 1st packet from start of file.\n"
            "  -p: Offset of subsequent packets from previous one.\n  -h: Display this usage synopsis.\n\n");

  Imported bad = import({"-x", "pcap"}, {});
  EXPECT_EQ(bad.rr.status, 99);
  EXPECT_EQ(bad.err,
            "Invalid command-line:\n[Invalid '-x' value: 'pcap']\nEnter 'kav_import -h' for a usage synopsis.\n");
  EXPECT_TRUE(bad.out.empty());

  Imported none = import({}, {});
  EXPECT_EQ(none.rr.status, 99);
  EXPECT_EQ(none.err,
            "Invalid command-line:\n[Mandatory '-x' switch not supplied]\n"
            "Enter 'kav_import -h' for a usage synopsis.\n");

  Imported num = import({"-x", "IP", "-o", "1k"}, {});
  EXPECT_EQ(num.rr.status, 99);
  EXPECT_NE(num.err.find("[Invalid switch: '-o 1k' - non-numeric argument]"), std::string::npos);

  for (const char *type : {"Snoop", "Tcpdump", "pcapng"}) {
    for (const char *sw : {"-o", "-p"}) {
      Imported r = import({"-x", type, sw, "0"}, pcap_file({}, 1));
      EXPECT_EQ(r.rr.status, 99);
      EXPECT_EQ(r.err,
                "The '-o' and '-p' options are incompatible with this logfile type.\nIts format is fixed.\n");
      EXPECT_TRUE(r.out.empty());
    }
  }
}
