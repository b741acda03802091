// Ethernet II frames of a raw capture are decided straight from the headers
// each rule reads; the general layer walk must give the same answer on every
// frame, whole or cut short at any length.
#include "filtset.h"
#include "frames.h"
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

using namespace frames;

namespace {

// IPv4 datagrams (and what stands in for them) of every shape the shortcuts
// look at: transports, options, fragments, padding, bogus header and total
// lengths.
std::vector<Bytes> crafted_frames() {
  std::vector<Bytes> out;
  auto with_ip = [&](const Ip4 &ip, const Bytes &l4) {
    out.push_back(pad(cat({eth(mac(1), mac(2), 0x0800), ipv4(ip, l4)}), 60));
  };
  const uint32_t addrs[] = {0x0A010101, 0x0A010102, 0x0A010103, 0xC0A80105, 0x0A7F0001, 0xAC100001};
  for (uint32_t s : addrs)
    for (uint32_t d : {0x0A010101u, 0x0A010102u, 0xC0A80001u}) {
      Ip4 ip;
      ip.src = s, ip.dst = d;
      with_ip(ip, tcp(80, 1024 + s % 7, SYN));
      with_ip(ip, tcp(40000, 80, SYN | ACK, Bytes(12, 1), 8));
      ip.proto = 17;
      with_ip(ip, udp(53, 5353, Bytes(3, 0)));
      with_ip(ip, udp(1023, 1024));
    }
  Ip4 ip;
  ip.proto = 1;
  with_ip(ip, icmp(8, 0));
  with_ip(ip, icmp(3, 3));
  ip.proto = 2;
  with_ip(ip, Bytes(8, 0x11));
  ip.proto = 89;
  with_ip(ip, Bytes(24, 2));
  ip.proto = 47;
  with_ip(ip, Bytes(4, 0));
  ip.proto = 0;
  with_ip(ip, Bytes(4, 0));
  Ip4 opt;
  opt.options = Bytes(12, 1);
  with_ip(opt, tcp(80, 81, FIN | ACK, Bytes(30, 'x')));
  Ip4 mf;
  mf.more_frags = true;
  with_ip(mf, tcp(1, 80, SYN, Bytes(16, 0)));
  Ip4 later;
  later.frag_offset = 9;
  with_ip(later, Bytes(40, 'y'));
  // Long capture, short datagram: the rest is padding.
  out.push_back(cat({eth(mac(1), mac(2), 0x0800), ipv4(Ip4{}, tcp(80, 2, ACK)), Bytes(40, 0xEE)}));
  // Header length field below 20, above the datagram, total length below it.
  Bytes b = cat({eth(mac(1), mac(2), 0x0800), ipv4(Ip4{}, tcp(80, 2, ACK))});
  Bytes small = b, big = b, shorttotal = b, zerototal = b;
  small[14] = 0x44;
  big[14] = 0x4F;
  put16(shorttotal, 16, 24);
  put16(zerototal, 16, 0);
  out.insert(out.end(), {small, big, shorttotal, zerototal});
  // Other network layers, and 802.3 with LLC and SNAP.
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(6, tcp(443, 80, ACK))}));
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(17, udp(53, 80))}));
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(58, Bytes(8, 0))}));
  out.push_back(pad(cat({eth(Bytes(6, 0xFF), mac(2), 0x0806), arp(1)}), 60));
  out.push_back(pad(cat({eth(Bytes(6, 0xFF), mac(2), 0x8035), arp(3)}), 60));
  out.push_back(pad(cat({eth(mac(1, 0x01), mac(2), 0x8137), Bytes(30, 0xFF)}), 60));
  out.push_back(pad(cat({eth(mac(1), mac(2), 0x88CC), Bytes(30, 1)}), 60));
  Bytes inner = cat({llc(0xAA, 0xAA, 0x03), snap(0, 0x0800), ipv4(Ip4{}, tcp(1, 80, SYN))});
  out.push_back(cat({ieee8023(mac(1), mac(2), (unsigned)inner.size()), inner}));
  Bytes sap = cat({llc(0x42, 0x42, 0x03), Bytes(40, 0)});
  out.push_back(cat({ieee8023(mac(1), mac(2), (unsigned)sap.size()), sap}));
  // The same frames with the bytes the shortcuts decide on scrambled.
  std::mt19937 rng(7);
  const size_t spots[] = {12, 13, 14, 16, 17, 20, 21, 23, 34, 35, 36, 37, 46, 47};
  size_t n = out.size();
  for (int round = 0; round < 4; round++)
    for (size_t i = 0; i < n; i++) {
      Bytes f = out[i];
      for (int k = 0; k < 2; k++) {
        size_t at = spots[rng() % (sizeof spots / sizeof spots[0])];
        if (at < f.size()) f[at] = (uint8_t)rng();
      }
      out.push_back(f);
    }
  // Tags, MPLS and PPPoE sessions, which the shortcuts leave to the walk, and
  // IPv6 extension headers, which both walk.
  Bytes t80 = ipv4(Ip4{}, tcp(40000, 80, SYN));
  out.push_back(cat({eth(mac(1), mac(2), 0x8100), Bytes{0x20, 0x64, 0x08, 0x00}, t80}));
  out.push_back(cat({eth(mac(1), mac(2), 0x88A8), Bytes{0x00, 0xC8, 0x81, 0x00}, Bytes{0x07, 0xD1, 0x08, 0x00}, t80}));
  out.push_back(cat({eth(mac(1), mac(2), 0x8100), Bytes{0x00, 0x05, 0x86, 0xDD}, ipv6(6, tcp(443, 80, ACK))}));
  out.push_back(cat({eth(mac(1), mac(2), 0x8847), Bytes{0x00, 0x06, 0x40, 0x40}, Bytes{0x00, 0x0C, 0x81, 0x3F}, t80}));
  Bytes ses = cat({Bytes{0x11, 0x00, 0x00, 0x17, 0x00, 0x00}, Bytes{0x00, 0x21}, t80});
  put16(ses, 4, unsigned(ses.size() - 6));
  out.push_back(cat({eth(mac(1), mac(2), 0x8864), ses}));
  Bytes hbh = {6, 0, 1, 4, 0, 0, 0, 0};
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(0, cat({hbh, tcp(80, 1025, SYN)}))}));
  Bytes frag0 = {17, 0, 0, 1, 0, 0, 0, 9}, frag1 = {17, 0, 0, 0x40, 0, 0, 0, 9};
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(44, cat({frag0, udp(53, 80, Bytes(8, 1))}))}));
  out.push_back(cat({eth(mac(1), mac(2), 0x86DD), ipv6(44, cat({frag1, Bytes(16, 1)}))}));
  return out;
}

struct Counts {
  long yes = 0, no = 0, differ = 0;
};

// Both decisions on the first n bytes of a frame, in an exact-size buffer so
// that any read past the captured length is caught.
Counts compare(const void *f, const Bytes &frame, size_t n, const char *text) {
  Counts c;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
  memcpy(copy.get(), frame.data(), n);
  int l1 = 9, p1 = 9, o1 = 9, l2 = 8, p2 = 8, o2 = 8;
  bool a = kav_filt_match(f, copy.get(), (int)n, KAV_DL_ETHER, &l1, &p1, &o1, KAV_CAP_RAW) != 0;
  bool b = kav_filt_match_walked(f, copy.get(), (int)n, KAV_DL_ETHER, &l2, &p2, &o2, KAV_CAP_RAW) != 0;
  (a ? c.yes : c.no)++;
  if (a != b || l1 != l2 || p1 != p2 || o1 != o2) {
    c.differ++;
    ADD_FAILURE() << text << ": " << a << " vs walked " << b << " on " << n << " of " << frame.size() << " bytes";
  }
  return c;
}

TEST(KavFiltFast, AgreesWithWalkOnCraftedFrames) {
  std::vector<Bytes> frames = crafted_frames();
  for (const char *text : filtset::kFilters) {
    void *f = kav_filt_parse(text, nullptr);
    ASSERT_NE(f, nullptr) << text << ": " << tvl_usrmsg;
    Counts all;
    for (const Bytes &frame : frames)
      for (size_t n = 0; n <= frame.size() && all.differ < 5; n++) {
        Counts c = compare(f, frame, n, text);
        all.yes += c.yes, all.no += c.no, all.differ += c.differ;
      }
    kav_filt_free(f);
    // Every filter is put to both outcomes, or the comparison proves little.
    EXPECT_GT(all.yes, 0) << text;
    EXPECT_GT(all.no, 0) << text;
  }
}

// The other link types and cooked captures take the general walk alone.
TEST(KavFiltFast, OtherCapturesTakeTheWalk) {
  Bytes t = pad(cat({eth(mac(1), mac(2), 0x0800), ipv4(Ip4{}, tcp(80, 2, ACK))}), 60);
  Bytes ip(t.begin() + 14, t.end());
  void *f = kav_filt_parse("TCP SD=80", nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(kav_filt_match(f, ip.data(), (int)ip.size(), KAV_DL_IPRAW, nullptr, nullptr, nullptr, 0));
  EXPECT_TRUE(kav_filt_match_walked(f, ip.data(), (int)ip.size(), KAV_DL_IPRAW, nullptr, nullptr, nullptr, 0));
  // Not raw: an Ethernet interface whose frames start at the IP header.
  EXPECT_TRUE(kav_filt_match(f, ip.data(), (int)ip.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(kav_filt_match(f, t.data(), (int)t.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, 0));
  kav_filt_free(f);
  EXPECT_TRUE(kav_filt_match_walked(nullptr, t.data(), (int)t.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, 0));
}

}  // namespace
