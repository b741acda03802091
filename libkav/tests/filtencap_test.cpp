// Rules through encapsulations (802.1Q/802.1ad tags, MPLS, PPPoE sessions,
// IPv6 extension headers), the IPv6 rule's addresses and prefixes with their
// messages, the one Ethernet-type table and raw-IP sessions of either version.
#include "frames.h"
#include "matchutil.h"
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace frames;

namespace {

std::string parse_error(const char *text) {
  void *f = kav_filt_parse(text, nullptr);
  if (f) {
    kav_filt_free(f);
    return "(compiled)";
  }
  return tvl_usrmsg;
}

Bytes tcp80() { return ipv4(Ip4{}, tcp(40000, 80, SYN)); }
Bytes tci(unsigned vid, unsigned type) { return pkt::vlan_tag(vid, type); }

TEST(KavFiltEncap, RulesSeeThroughTags) {
  Bytes one = cat({eth(mac(1), mac(2), 0x8100), tci(100, 0x0800), tcp80()});
  Bytes qinq = cat({eth(mac(1), mac(2), 0x88A8), tci(200, 0x8100), tci(2001, 0x0800), tcp80()});
  Bytes tag9100 = cat({eth(mac(1), mac(2), 0x9100), tci(5, 0x0800), tcp80()});
  for (const Bytes *f : {&one, &qinq, &tag9100}) {
    EXPECT_TRUE(match("TCP SD=80", *f));
    EXPECT_TRUE(match("IP SD=10.1.1.1", *f));
    EXPECT_FALSE(match("TCP SD=81", *f));
    EXPECT_FALSE(match("UDP", *f));
    EXPECT_TRUE(match("(ETH SD=M) | (TCP F=S^A)", *f));
  }
  // The Ethernet type rule reads the outer header, as written.
  EXPECT_TRUE(match("ETH ETYPE=33024", one));
  EXPECT_FALSE(match("ETH ETYPE=2048", one));
  // A tag cut by the capture ends the walk.
  Bytes cut(one.begin(), one.begin() + 16);
  EXPECT_FALSE(match("TCP", cut));
  EXPECT_FALSE(match("IP", cut));
  // The tagged frame's IPv6 payload.
  Bytes v6 = cat({eth(mac(1), mac(2), 0x8100), tci(7, 0x86DD), ipv6(6, tcp(443, 80, ACK))});
  EXPECT_TRUE(match("(IPv6) & (TCP SD=80)", v6));
}

TEST(KavFiltEncap, MplsAndPppoeSessions) {
  Bytes m = cat({eth(mac(1), mac(2), 0x8847), Bytes{0, 6, 0x40, 0x40}, Bytes{0, 0x0C, 0x81, 0x3F}, tcp80()});
  EXPECT_TRUE(match("TCP SD=80", m));
  Bytes m6 = cat({eth(mac(1), mac(2), 0x8847), Bytes{0, 6, 0x41, 0x40}, ipv6(17, udp(53, 1024))});
  EXPECT_TRUE(match("UDP SRC=53", m6));
  EXPECT_TRUE(match("IPv6", m6));
  // A stack whose bottom is never reached, and one followed by neither version.
  Bytes open = cat({eth(mac(1), mac(2), 0x8847), Bytes{0, 6, 0x40, 0x40}});
  EXPECT_FALSE(match("IP", open));
  Bytes other = cat({eth(mac(1), mac(2), 0x8847), Bytes{0, 6, 0x41, 0x40}, Bytes(30, 0x10)});
  EXPECT_FALSE(match("IP", other));
  Bytes ses = cat({Bytes{0x11, 0, 0, 0x17, 0, 0, 0x00, 0x21}, tcp80()});
  Bytes p = cat({eth(mac(1), mac(2), 0x8864), ses});
  EXPECT_TRUE(match("TCP SD=80", p));
  p[14 + 7] = 0x57;  // PPP's protocol now says IPv6: the IPv4 datagram is not seen as one
  EXPECT_FALSE(match("IP", p));
  Bytes disc = cat({eth(Bytes(6, 0xFF), mac(2), 0x8863), Bytes{0x11, 0x09, 0, 0, 0, 0}});
  EXPECT_TRUE(match("ETH", disc));
  EXPECT_FALSE(match("IP", disc));
}

TEST(KavFiltEncap, Ipv6ExtensionHeadersWalkedToTransport) {
  Bytes hbh = {6, 0, 1, 4, 0, 0, 0, 0};
  Bytes f = cat({eth(mac(1), mac(2), 0x86DD), ipv6(0, cat({hbh, tcp(80, 1025, SYN)}))});
  EXPECT_TRUE(match("TCP SD=80", f));
  EXPECT_TRUE(match("TCP F=S", f));
  Bytes first = {17, 0, 0, 1, 0, 0, 0, 9}, later = {17, 0, 0, 0x40, 0, 0, 0, 9};
  EXPECT_TRUE(match("UDP SRC=53", cat({eth(mac(1), mac(2), 0x86DD), ipv6(44, cat({first, udp(53, 80)}))})));
  EXPECT_FALSE(match("UDP", cat({eth(mac(1), mac(2), 0x86DD), ipv6(44, cat({later, Bytes(16, 1)}))})));
  // An extension header longer than the capture: IPv6 is there, nothing above it.
  Bytes cut = cat({eth(mac(1), mac(2), 0x86DD), ipv6(0, Bytes{6, 3, 1, 0})});
  EXPECT_TRUE(match("IPv6", cut));
  EXPECT_FALSE(match("TCP", cut));
}

TEST(KavFiltEncap, Ipv6AddressesAndPrefixes) {
  // frames::ipv6 sends from 2001::1 to 2001::2.
  Bytes f = cat({eth(mac(1), mac(2), 0x86DD), ipv6(6, tcp(443, 80, ACK))});
  EXPECT_TRUE(match("IPv6 SRC=2001::1", f));
  EXPECT_TRUE(match("IPv6 DST=2001::2", f));
  EXPECT_FALSE(match("IPv6 SRC=2001::2", f));
  EXPECT_TRUE(match("IPv6 SD=2001::2", f));
  EXPECT_TRUE(match("IPv6 SD:1=2001::1", f));
  EXPECT_FALSE(match("IPv6 SD:1=2001::/16", f));  // both ends are in it
  EXPECT_TRUE(match("IPv6 SD:2=2001::/16", f));
  EXPECT_TRUE(match("IPv6 SRC=2001::/127", f));
  EXPECT_FALSE(match("IPv6 SRC=2001::2/128", f));
  EXPECT_TRUE(match("IPv6 SRC=2001::3/127", f) == false);
  EXPECT_TRUE(match("IPv6 SRC=2000::/7", f));
  EXPECT_FALSE(match("IPv6 SRC=2002::/16", f));
  EXPECT_TRUE(match("IPv6 ^SRC=fe80::/10", f));
  EXPECT_TRUE(match("(IPv6 DST=2001::2) & (TCP DST=80)", f));
  // An IPv4 frame has no IPv6 layer.
  EXPECT_FALSE(match("IPv6 SD=2001::1", pad(cat({eth(mac(1), mac(2), 0x0800), tcp80()}), 60)));
  // And the same rules on a raw-IP session carrying IPv6.
  Bytes raw(f.begin() + 14, f.end());
  EXPECT_TRUE(match("IPv6 SRC=2001::1", raw, KAV_DL_IPRAW, 0));
  EXPECT_TRUE(match("TCP SD=80", raw, KAV_DL_IPRAW, 0));
  EXPECT_FALSE(match("IP", raw, KAV_DL_IPRAW, 0));
}

TEST(KavFiltEncap, Ipv6RuleMessages) {
  EXPECT_EQ(parse_error("IPv6 SRC=2001:db8::/32 DST=fe80::1"), "(compiled)");
  EXPECT_EQ(parse_error("ipv6 sd=::1"), "(compiled)");
  EXPECT_EQ(parse_error("IPv6 SRC>2001::1"), "'=' is only valid relop for IPv6 'SRC' parameter [at {SRC>2001::1...}]");
  EXPECT_EQ(parse_error("IPv6 SRC=2001::/129"), "IPv6 Address mask must be numeric, in range 1-128 {129...}");
  EXPECT_EQ(parse_error("IPv6 SRC=2001::/0"), "IPv6 Address mask must be numeric, in range 1-128 {0...}");
  EXPECT_EQ(parse_error("IPv6 SRC=2001::/x"), "IPv6 Address mask must be numeric, in range 1-128 {x...}");
  EXPECT_EQ(parse_error("IPv6 DST=no-such-host.invalid"), "Invalid/unknown host/network spec [no-such-host.invalid...]");
  EXPECT_EQ(parse_error("IPv6 SRC=::1 SD=::2"), "'SRC' and 'SD' in same rule [at {SD=::2...}]");
  EXPECT_EQ(parse_error("IPv6 LEN>1"), "invalid param for protocol=IPv6 [at {LEN>1...}]");
  // Prefix bits past the length are ignored: 2001:db8::1/32 is 2001:db8::/32.
  void *a = kav_filt_parse("IPv6 SRC=2001:db8::1/33", nullptr);
  ASSERT_NE(a, nullptr);
  const kav_filtnode *n = static_cast<const kav_filtnode *>(a);
  EXPECT_EQ(n->src.nbytes, 4);
  EXPECT_EQ(n->src.mask, 0x80);
  EXPECT_EQ(n->src.addr[15], 0);
  kav_filt_free(a);
}

TEST(KavFiltEncap, OneEthernetTypeTable) {
  struct Want {
    unsigned type;
    int layer, proto;
  } const want[] = {{0x0800, 3, KAV_L3_IP},       {0x0806, 3, KAV_L3_ARP},      {0x8035, 3, KAV_L3_RARP},
                    {0x8137, 3, KAV_L3_IPX},      {0x86DD, 3, KAV_L3_IPV6},     {0x8100, 2, KAV_L2_VLAN},
                    {0x88A8, 2, KAV_L2_VLAN},     {0x9100, 2, KAV_L2_VLAN},     {0x8847, 2, KAV_L2_MPLS},
                    {0x8848, 2, KAV_L2_MPLS},     {0x8863, 2, KAV_L2_PPPOED},   {0x8864, 2, KAV_L2_PPPOES},
                    {0x6558, 2, KAV_L2_ETH},      {0x880B, 2, KAV_L2_PPP}};
  for (const Want &w : want) {
    int l = 0, p = 0;
    EXPECT_EQ(kav_ethtype_layer(w.type, &l, &p), 1) << std::hex << w.type;
    EXPECT_EQ(l, w.layer) << std::hex << w.type;
    EXPECT_EQ(p, w.proto) << std::hex << w.type;
  }
  int l = 77, p = 77;
  EXPECT_EQ(kav_ethtype_layer(0x88CC, &l, &p), 0);
  EXPECT_EQ(l, 77);  // untouched
  EXPECT_EQ(p, 77);
}

// The LLC encapsulations the filter's walk and the analyser's link decoder
// both go through, from one routine.
TEST(KavFiltEncap, OneLlcTable) {
  struct Want {
    unsigned dsap, ssap, ctl;
    int nlpid;
    int layer, proto, hlen;
  } const want[] = {{0xAA, 0xAA, 0x03, -1, 2, KAV_L2_SNAP, 3},  {0xAA, 0xAA, 0x03, 0x42, 2, KAV_L2_SNAP, 3},
                    {0xE0, 0xE0, 0x03, -1, 3, KAV_L3_IPX, 3},   {0xFE, 0xFE, 0x03, 0xCC, 3, KAV_L3_IP, 4},
                    {0xFE, 0xFE, 0x03, 0x80, 2, KAV_L2_SNAP, 4}};
  for (const Want &w : want) {
    int l = 0, p = 0, h = 0;
    EXPECT_EQ(kav_llc_layer(w.dsap, w.ssap, w.ctl, w.nlpid, &l, &p, &h), 1) << std::hex << w.dsap << " " << w.nlpid;
    EXPECT_EQ(l, w.layer) << std::hex << w.dsap << " " << w.nlpid;
    EXPECT_EQ(p, w.proto) << std::hex << w.dsap << " " << w.nlpid;
    EXPECT_EQ(h, w.hlen) << std::hex << w.dsap << " " << w.nlpid;
  }
  // Not walked through: other NLPIDs or none captured, SAPs that differ,
  // frames other than UI, other SAPs.
  const Want none[] = {{0xFE, 0xFE, 0x03, 0x81, 0, 0, 0}, {0xFE, 0xFE, 0x03, -1, 0, 0, 0},
                       {0xAA, 0xAB, 0x03, -1, 0, 0, 0},   {0xAA, 0xAA, 0x13, -1, 0, 0, 0},
                       {0xAA, 0xAA, 0x00, -1, 0, 0, 0},   {0x42, 0x42, 0x03, -1, 0, 0, 0}};
  for (const Want &w : none) {
    int l = 77, p = 77, h = 77;
    EXPECT_EQ(kav_llc_layer(w.dsap, w.ssap, w.ctl, w.nlpid, &l, &p, &h), 0) << std::hex << w.dsap << " " << w.ctl;
    EXPECT_EQ(l, 77);  // untouched
    EXPECT_EQ(p, 77);
    EXPECT_EQ(h, 77);
  }
}

TEST(KavFiltEncap, RawIpSessionStartsByVersion) {
  Bytes v4 = tcp80(), v6 = ipv6(17, udp(53, 80)), other = {0x11, 0x22};
  int layer = 0, offset = 0;
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, v4.data(), (int)v4.size(), &layer, &offset, 0), KAV_L3_IP);
  EXPECT_EQ(layer, KAV_LAYER_NET);
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, v6.data(), (int)v6.size(), &layer, &offset, 0), KAV_L3_IPV6);
  EXPECT_EQ(layer, KAV_LAYER_NET);
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, other.data(), (int)other.size(), &layer, &offset, 0), 0);
  EXPECT_EQ(layer, KAV_LAYER_STOP);
  EXPECT_TRUE(match("UDP SRC=53", v6, KAV_DL_IPRAW, 0));
  EXPECT_FALSE(match("IP", other, KAV_DL_IPRAW, 0));
  EXPECT_FALSE(match("IP", Bytes{}, KAV_DL_IPRAW, 0));
}

}  // namespace
