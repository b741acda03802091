// Encapsulations: 802.1Q/802.1ad tags at any depth, MPLS label stacks,
// PPPoE discovery and session stages (the session through PPP) and GRE with
// its options, at each verbosity, cut short at every length, and the
// analyser's start for raw-IP sessions.
#include <gtest/gtest.h>

#include "pkt_helpers.h"

namespace {

class PanEncap : public DecoderTest<2> {};

const char *kDst = "00:11:22:33:44:55", *kSrc = "00:66:77:88:99:aa";

bytes tag(unsigned pcp, unsigned dei, unsigned vid, unsigned type) {
  return pkt::vlan_tag((pcp << 13) | (dei << 12) | vid, type);
}

bytes udp4(const char *s = "10.0.0.1", const char *d = "10.0.0.2") {
  bytes u = udp_dgram(false, s, d, 1025, 7, bytes{1, 2, 3, 4});
  return cat({ipv4_hdr(s, d, 17, unsigned(u.size())), u});
}

bytes udp6() {
  bytes u = udp_dgram(true, "2001:db8::1", "2001:db8::2", 1025, 7, bytes{1, 2, 3, 4});
  return cat({ipv6_hdr("2001:db8::1", "2001:db8::2", 17, unsigned(u.size())), u});
}

bytes pppoe_hdr(unsigned code, unsigned sid, unsigned len) {
  bytes b = {0x11, (unsigned char)code, 0, 0, 0, 0};
  put16(b, 2, sid);
  put16(b, 4, len);
  return b;
}

TEST_F(PanEncap, SingleTagEachVerbosity) {
  bytes f = cat({eth_hdr(kDst, kSrc, 0x8100), tag(5, 1, 100, 0x0800), udp4()});
  EXPECT_EQ(decode(1, 2, 1, f), "IP: 10.0.0.1 -> 10.0.0.2; UDP: 1025->7; data=4 []; \n");
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; 802.1Q vlan=100; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  EXPECT_EQ(decode(3, 2, 1, f),
            "ETH: 00:66:77:88:99:AA -> 00:11:22:33:44:55; 802.1Q vlan=100 pri=5 DEI; IP: 10.0.0.1 -> 10.0.0.2 "
            "<DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("+ETHER: Type = 0x8100 (802.1Q VLAN)\n\n"
                     "36-octet PDU follows: Layer = 2, Protocol = VLAN\n\n"
                     "+802.1Q: Priority = 5\n"
                     "+802.1Q: DEI = 1\n"
                     "+802.1Q: VLAN ID = 100\n"
                     "+802.1Q: Type = 0x0800 (IP)\n\n"
                     "32-octet PDU follows: Layer = 3, Protocol = IP\n"),
            std::string::npos)
      << out;
  kav_pktctx ctx;
  decode(2, 2, 1, f, 0, &ctx);
  EXPECT_EQ(ctx.ethtype, 0x0800u);  // the type of what the tag carries
}

TEST_F(PanEncap, StackedTagsNameTheirProtocol) {
  // 802.1ad service tag, then a customer 802.1Q tag, then ARP.
  bytes arp = hexbytes("0001 0800 06 04 0001 001122334455 0a000001 000000000000 0a000002");
  bytes f = cat({eth_hdr(kDst, kSrc, 0x88A8), tag(0, 0, 200, 0x8100), tag(3, 0, 2001, 0x0806), arp});
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; 802.1ad vlan=200; 802.1Q vlan=2001; ARP Request: ip=10.0.0.1 wants ip=10.0.0.2; \n");
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("+802.1ad: VLAN ID = 200\n+802.1ad: Type = 0x8100 (802.1Q VLAN)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+802.1Q: Priority = 3\n+802.1Q: DEI = 0\n+802.1Q: VLAN ID = 2001\n"), std::string::npos);
  // Any depth: five tags in a row.
  bytes deep = eth_hdr(kDst, kSrc, 0x8100);
  for (int i = 1; i <= 5; i++) deep = cat({deep, tag(0, 0, unsigned(i), i < 5 ? 0x8100 : 0x0800)});
  deep = cat({deep, udp4()});
  EXPECT_EQ(decode(2, 2, 1, deep),
            "ETH; 802.1Q vlan=1; 802.1Q vlan=2; 802.1Q vlan=3; 802.1Q vlan=4; 802.1Q vlan=5; IP: 10.0.0.1 -> "
            "10.0.0.2 <DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
}

TEST_F(PanEncap, TagTruncatedUnknownAndLength) {
  bytes f = cat({eth_hdr(kDst, kSrc, 0x8100), bytes{0x20}});
  EXPECT_EQ(decode(2, 2, 1, f), "ETH; *802.1Q; \n");
  EXPECT_NE(decode(4, 2, 1, f).find("WARNING: 802.1Q header is truncated (by 3 bytes)\n"), std::string::npos);
  bytes u = cat({eth_hdr(kDst, kSrc, 0x8100), tag(0, 0, 7, 0x1234), bytes{9, 9}});
  EXPECT_EQ(decode(2, 2, 1, u), "ETH; 802.1Q vlan=7 (<0x1234>); data=2; \n");
  // A length in the tag: LLC follows and what lies beyond it is padding.
  bytes l = cat({eth_hdr(kDst, kSrc, 0x8100), tag(0, 0, 7, 3), hexbytes("42 42 03"), bytes(5, 0)});
  std::string out = decode(4, 2, 1, l);
  EXPECT_NE(out.find("+802.1Q: Length = 3\n\tNB: PDU length adjusted down by 5, to 7\n"), std::string::npos) << out;
  EXPECT_NE(out.find("3-octet PDU follows: Layer = 2, Protocol = LLC\n"), std::string::npos);
  decode_every_cut(cat({eth_hdr(kDst, kSrc, 0x88A8), tag(0, 0, 200, 0x8100), tag(3, 0, 2001, 0x0800), udp4()}), 2, 1);
}

TEST_F(PanEncap, MplsStackToIpv4AndIpv6) {
  bytes f = cat({eth_hdr(kDst, kSrc, 0x8847), mpls_entry(100, 0, false, 64), mpls_entry(200, 5, true, 63), udp4()});
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; MPLS label=100,200; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  EXPECT_NE(decode(3, 2, 1, f).find("MPLS label=100<tc=0,ttl=64>,200<tc=5,ttl=63>; IP"), std::string::npos);
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("+MPLS: Label 1 = 100\n"
                     "+MPLS:   Class = 0, Bottom of Stack = No, TTL = 64\n"
                     "+MPLS: Label 2 = 200\n"
                     "+MPLS:   Class = 5, Bottom of Stack = Yes, TTL = 63\n"
                     "+MPLS: Payload = IPv4\n\n"
                     "32-octet PDU follows: Layer = 3, Protocol = IP\n"),
            std::string::npos)
      << out;
  bytes f6 = cat({eth_hdr(kDst, kSrc, 0x8847), mpls_entry(16, 0, true, 1), udp6()});
  EXPECT_EQ(decode(2, 2, 1, f6), "ETH; MPLS label=16; IPv6; UDP: 1025->7; data=4 []; \n");
  // Neither IPv4 nor IPv6 after the stack: data.
  bytes fx = cat({eth_hdr(kDst, kSrc, 0x8847), mpls_entry(16, 0, true, 1), bytes{0x00, 1, 2}});
  EXPECT_EQ(decode(2, 2, 1, fx), "ETH; MPLS label=16; data=3; \n");
  EXPECT_NE(decode(4, 2, 1, fx).find("+MPLS: Payload = unknown\n"), std::string::npos);
  // The capture ends inside the stack.
  bytes ft = cat({eth_hdr(kDst, kSrc, 0x8847), mpls_entry(100, 0, false, 64), bytes{0, 0}});
  EXPECT_EQ(decode(2, 2, 1, ft), "ETH; *MPLS label=100; \n");
  EXPECT_NE(decode(4, 2, 1, ft).find("WARNING: MPLS header is truncated (by 2 bytes)\n"), std::string::npos);
  decode_every_cut(f, 2, 1);
  decode_every_cut(f6, 2, 1);
}

TEST_F(PanEncap, PppoeDiscoveryWithTags) {
  bytes tags = cat({hexbytes("0101 0004"), bytes{'i', 's', 'p', '1'}, hexbytes("0103 0002 abcd"), hexbytes("0000 0000")});
  bytes f = cat({eth_hdr("ff:ff:ff:ff:ff:ff", kSrc, 0x8863), pppoe_hdr(0x09, 0, unsigned(tags.size())), tags});
  EXPECT_EQ(decode(1, 2, 1, f), "PPPoE PADI; \n");
  EXPECT_EQ(decode(2, 2, 1, f), "ETH broadcast; PPPoE PADI; \n");
  EXPECT_EQ(decode(3, 2, 1, f), "ETH: 00:66:77:88:99:AA -> broadcast; PPPoE PADI sid=0x0000; \n");
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("+PPPoE: Version = 1\n"
                     "+PPPoE: Type = 1\n"
                     "+PPPoE: Code = PADI (0x09)\n"
                     "+PPPoE: Session ID = 0x0000\n"
                     "+PPPoE: Payload Length = 18\n"
                     "+PPPoE: Tag = Service-Name (0x0101), 4 octets\n"
                     "+PPPoE:   Value = \"isp1\"\n"
                     "+PPPoE: Tag = Host-Uniq (0x0103), 2 octets\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+PPPoE: Tag = End-Of-List (0x0000), 0 octets\n"), std::string::npos);
  // A tag whose length runs past the packet.
  bytes bad = cat({eth_hdr(kDst, kSrc, 0x8863), pppoe_hdr(0x07, 0, 8), hexbytes("0102 0010 41 42 43 44")});
  EXPECT_NE(decode(4, 2, 1, bad).find("WARNING: PPPoE tag is truncated (by 12 bytes)\n"), std::string::npos);
  EXPECT_EQ(decode(2, 2, 1, bad), "ETH; PPPoE PADO; \n");
  decode_every_cut(f, 2, 1);
}

TEST_F(PanEncap, PppoeSessionThroughPpp) {
  bytes ip = udp4();
  bytes f = cat({eth_hdr(kDst, kSrc, 0x8864), pppoe_hdr(0, 0x17, unsigned(ip.size() + 2)), hexbytes("0021"), ip,
                 bytes(6, 0)});  // Ethernet padding after the session payload
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; PPPoE; PPP; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  EXPECT_NE(decode(3, 2, 1, f).find("PPPoE sid=0x0017; PPP; IP"), std::string::npos);
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("NB: PDU length adjusted down by 6, to 40\n"
                     "+PPPoE: Version = 1\n"
                     "+PPPoE: Type = 1\n"
                     "+PPPoE: Code = Session Data (0x00)\n"
                     "+PPPoE: Session ID = 0x0017\n"
                     "+PPPoE: Payload Length = 34\n\n"
                     "34-octet PDU follows: Layer = 2, Protocol = PPP\n\n"
                     "+PPP: Type = 0x0021 (IP)\n\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("DARPA"), std::string::npos);  // no address and control octets here
  bytes ip6 = udp6();
  bytes f6 = cat({eth_hdr(kDst, kSrc, 0x8864), pppoe_hdr(0, 1, unsigned(ip6.size() + 2)), hexbytes("0057"), ip6});
  EXPECT_EQ(decode(2, 2, 1, f6), "ETH; PPPoE; PPP; IPv6; UDP: 1025->7; data=4 []; \n");
  // PPP with its address and control octets still decodes as before.
  EXPECT_NE(decode(4, 2, 9, cat({hexbytes("ff 03 00 57"), ip6})).find("+PPP: Type = 0x0057 (IPv6)\n"),
            std::string::npos);
  decode_every_cut(f, 2, 1);
}

// GRE header with the given flags and options in front of a payload.
bytes gre(unsigned flags, unsigned ptype, const bytes &payload, uint32_t key = 0, uint32_t seq = 0) {
  bytes h(4);
  put16(h, 0, flags);
  put16(h, 2, ptype);
  if (flags & 0x8000) h.insert(h.end(), 4, 0);
  if (flags & 0x2000) {
    h.insert(h.end(), 4, 0);
    put32(h, h.size() - 4, key);
  }
  if (flags & 0x1000) {
    h.insert(h.end(), 4, 0);
    put32(h, h.size() - 4, seq);
  }
  bytes g = cat({h, payload});
  if (flags & 0x8000) put16(g, 4, uint16_t(~inet_sum(g.data(), g.size())));
  return g;
}

bytes in_ip(const bytes &g) {
  return cat({eth_hdr(kDst, kSrc, 0x0800), ipv4_hdr("192.0.2.1", "192.0.2.2", 47, unsigned(g.size())), g});
}

TEST_F(PanEncap, GreWithOptionsToItsPayload) {
  bytes f = in_ip(gre(0xB000, 0x0800, udp4(), 77, 5));
  EXPECT_EQ(decode(1, 2, 1, f), "IP: 192.0.2.1 -> 192.0.2.2; GRE; IP: 10.0.0.1 -> 10.0.0.2; UDP: 1025->7; data=4 []; \n");
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; GRE key=77 seq=5; IP: 10.0.0.1 -> 10.0.0.2 "
            "<DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("48-octet PDU follows: Layer = 4, Protocol = 47\n\n"
                     "+GRE: Flags = <Checksum,Key,Sequence> (0xB000)\n"
                     "+GRE: Version = 0\n"
                     "+GRE: Protocol Type = 0x0800 (IP)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("(over 48 bytes)\n+GRE: Offset = 0\n+GRE: Key = 77 (0x0000004D)\n+GRE: Sequence Number = 5\n\n"
                     "32-octet PDU follows: Layer = 3, Protocol = IP\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("CORRUPT"), std::string::npos);
  // A wrong checksum, and a capture that lost octets.
  bytes bad = f;
  bad[bad.size() - 1] ^= 0xFF;
  EXPECT_NE(decode(2, 2, 1, bad).find("; !GRE key=77"), std::string::npos);
  EXPECT_NE(decode(4, 2, 1, bad).find(" ... CORRUPT (over 48 bytes)\n"), std::string::npos);
  EXPECT_NE(decode(2, 2, 1, f, 10).find("; %GRE key=77"), std::string::npos);
  decode_every_cut(f, 2, 1);
}

TEST_F(PanEncap, GreBridgedEthernetPppAndUnknown) {
  bytes inner = cat({eth_hdr(kDst, kSrc, 0x0800), udp4()});
  bytes f = in_ip(gre(0x0000, 0x6558, inner));
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; GRE; ETH; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; "
            "UDP: 1025->7; data=4 []; \n");
  // Enhanced GRE (version 1) of PPTP: key holds payload length and call id.
  bytes ppp = cat({hexbytes("ff 03 00 21"), udp4()});
  bytes h = hexbytes("3001 880b 0000 0007 0000 0009");
  put16(h, 4, unsigned(ppp.size()));
  bytes v1 = in_ip(cat({h, ppp}));
  EXPECT_EQ(decode(2, 2, 1, v1),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; GRE call=7 seq=9; PPP; IP: 10.0.0.1 -> 10.0.0.2 "
            "<DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  std::string out = decode(4, 2, 1, v1);
  EXPECT_NE(out.find("+GRE: Flags = <Key,Sequence> (0x3001)\n+GRE: Version = 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+GRE: Payload Length = 36\n+GRE: Call ID = 7\n+GRE: Sequence Number = 9\n"), std::string::npos);
  bytes unk = in_ip(gre(0, 0x1234, bytes{1, 2, 3}));
  EXPECT_NE(decode(2, 2, 1, unk).find("; GRE (<0x1234>); data=3; \n"), std::string::npos);
  bytes cut = in_ip(hexbytes("2000 0800 00 00"));
  EXPECT_NE(decode(2, 2, 1, cut).find("; *GRE; \n"), std::string::npos);
  EXPECT_NE(decode(4, 2, 1, cut).find("WARNING: GRE header is truncated (by 2 bytes)\n"), std::string::npos);
  decode_every_cut(v1, 2, 1);
}

TEST_F(PanEncap, ErspanMirrorsAnEthernetFrame) {
  bytes inner = cat({eth_hdr(kDst, kSrc, 0x0800), udp4()});
  // Type I: no sequence number and no ERSPAN header.
  bytes t1 = in_ip(gre(0x0000, 0x88BE, inner));
  EXPECT_EQ(decode(2, 2, 1, t1),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; GRE; ETH; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; "
            "UDP: 1025->7; data=4 []; \n");
  // Type II: sequence number, then version 1, VLAN 5, class 3, session 42, index 9.
  bytes h2 = hexbytes("1005 602a 0000 0009");
  bytes t2 = in_ip(gre(0x1000, 0x88BE, cat({h2, inner}), 0, 3));
  EXPECT_EQ(decode(2, 2, 1, t2),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; GRE seq=3 erspan=42; ETH; IP: 10.0.0.1 -> 10.0.0.2 "
            "<DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  std::string out = decode(4, 2, 1, t2);
  EXPECT_NE(out.find("+GRE: Protocol Type = 0x88BE (ERSPAN)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+GRE: Sequence Number = 3\n+GRE: ERSPAN Version = 1\n+GRE: ERSPAN VLAN = 5, Class = 3\n"
                     "+GRE: ERSPAN Session ID = 42\n+GRE: ERSPAN Index = 9\n\n"
                     "46-octet PDU follows: Layer = 2, Protocol = Ethernet\n"),
            std::string::npos)
      << out;
  // Type III, frame type 0 (Ethernet), with a timestamp; then a cut header.
  bytes h3 = hexbytes("2000 0007 00000064 0000 0000");
  bytes t3 = in_ip(gre(0x1000, 0x22EB, cat({h3, inner}), 0, 1));
  EXPECT_NE(decode(2, 2, 1, t3).find("GRE seq=1 erspan=7; ETH; IP: 10.0.0.1"), std::string::npos);
  EXPECT_NE(decode(4, 2, 1, t3).find("+GRE: ERSPAN Timestamp = 100\n+GRE: ERSPAN Frame Type = 0\n"), std::string::npos);
  bytes cut = in_ip(gre(0x1000, 0x22EB, hexbytes("2000 0007 0000"), 0, 1));
  EXPECT_NE(decode(4, 2, 1, cut).find("WARNING: ERSPAN header is truncated (by 6 bytes)\n"), std::string::npos);
  decode_every_cut(t2, 2, 1);
  decode_every_cut(t3, 2, 1);
}

TEST_F(PanEncap, IpInIpOfEitherVersion) {
  bytes six = udp6();
  bytes f = cat({eth_hdr(kDst, kSrc, 0x0800), ipv4_hdr("192.0.2.1", "192.0.2.2", 41, unsigned(six.size())), six});
  EXPECT_EQ(decode(2, 2, 1, f),
            "ETH; IP: 192.0.2.1 -> 192.0.2.2 <DF,LAST>, id=1.0; IPv6; UDP: 1025->7; data=4 []; \n");
  bytes four = udp4();
  bytes g = cat({eth_hdr(kDst, kSrc, 0x86DD), ipv6_hdr("2001:db8::1", "2001:db8::2", 4, unsigned(four.size())), four});
  EXPECT_EQ(decode(2, 2, 1, g), "ETH; IPv6; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; UDP: 1025->7; data=4 []; \n");
  bytes h = cat({eth_hdr(kDst, kSrc, 0x86DD), ipv6_hdr("2001:db8::1", "2001:db8::2", 41, unsigned(six.size())), six});
  EXPECT_EQ(decode(2, 2, 1, h), "ETH; IPv6; IPv6; UDP: 1025->7; data=4 []; \n");
}

TEST_F(PanEncap, RawIpSessionsByVersionNibble) {
  int layer = 0, off = -1;
  bytes v4 = udp4(), v6 = udp6(), other = hexbytes("11 22 33");
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, v4.data(), int(v4.size()), &layer, &off, 0), KAV_L3_IP);
  EXPECT_EQ(layer, KAV_LAYER_NET);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, v6.data(), int(v6.size()), &layer, &off, 0), KAV_L3_IPV6);
  EXPECT_EQ(layer, KAV_LAYER_NET);
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, other.data(), int(other.size()), &layer, &off, 0), 0);
  EXPECT_EQ(layer, KAV_LAYER_STOP);
  EXPECT_EQ(kav_proto_id_n(KAV_DL_IPRAW, v6.data(), 0, &layer, &off, 0), 0);
  // What the analyser then prints for each.
  int pr = kav_proto_id_n(KAV_DL_IPRAW, v6.data(), int(v6.size()), &layer, &off, 0);
  EXPECT_EQ(decode(2, layer, pr, v6), "IPv6; UDP: 1025->7; data=4 []; \n");
  pr = kav_proto_id_n(KAV_DL_IPRAW, other.data(), int(other.size()), &layer, &off, 0);
  EXPECT_EQ(decode(2, layer, pr, other), "data=3; \n");
}

}  // namespace
