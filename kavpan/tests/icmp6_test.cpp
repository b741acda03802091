// ICMPv6: echo, the error messages with the datagram they quote, router and
// neighbour discovery with their options, and the checksum verdict over the
// IPv6 pseudo-header, at each verbosity and cut short.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "pkt_helpers.h"

namespace {

class PanIcmp6 : public DecoderTest<2> {};

const char *kS = "fe80::1", *kD = "fe80::2";

bytes icmp6(unsigned type, unsigned code, const bytes &body) { return icmp6_datagram(type, code, body, kS, kD); }

bytes addr(const char *a) {
  pkt::Ip6 x = pkt::ip6_text(a);
  return bytes(x.a, x.a + 16);
}

TEST_F(PanIcmp6, EchoAndChecksumVerdicts) {
  bytes f = icmp6(128, 0, hexbytes("0001 0002 6162636465666768"));
  EXPECT_EQ(decode(1, 3, 7, f), "IPv6; ICMPv6: EchoReq; \n");
  std::string out = decode(4, 3, 7, f);
  EXPECT_NE(out.find("16-octet PDU follows: Layer = 4, Protocol = 58\n\n"
                     "+ICMPv6: Type = Echo Request (128)\n"
                     "+ICMPv6: Code = zero (0)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" (over 56 bytes)\n+ICMPv6: ID = 1\n+ICMPv6: Sequence = 2\n"
                     "+ICMPv6: 8 octets of optional data follow:\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("CORRUPT"), std::string::npos);
  kav_pktctx ctx;
  decode(2, 3, 7, f, 0, &ctx);
  EXPECT_EQ(ctx.icmptype, 128u);
  EXPECT_EQ(ctx.icmpcode, 0u);
  bytes bad = f;
  bad.back() ^= 1;
  EXPECT_EQ(decode(2, 3, 7, bad), "IPv6; !ICMPv6: EchoReq; \n");
  EXPECT_NE(decode(4, 3, 7, bad).find(" ... CORRUPT (over 56 bytes)\n"), std::string::npos);
  // The reply, and octets lost to the capture: no verdict.
  EXPECT_EQ(decode(2, 3, 7, icmp6(129, 0, hexbytes("0001 0002"))), "IPv6; ICMPv6: EchoRsp; \n");
  bytes part(f.begin(), f.end() - 4);
  EXPECT_EQ(decode(2, 3, 7, part, 4), "IPv6; %ICMPv6: EchoReq; \n");
  EXPECT_NE(decode(4, 3, 7, part, 4).find("WARNING: ICMPv6 packet is truncated (by 4 bytes)\n"), std::string::npos);
  // Without a network layer in front there is no pseudo-header to sum with.
  bytes msg(f.begin() + 40, f.end());
  EXPECT_NE(decode(4, 4, 58, msg).find(" (over -1 bytes)\n"), std::string::npos);
  decode_every_cut(f, 3, 7);
}

TEST_F(PanIcmp6, ErrorsQuoteTheDatagram) {
  bytes u = udp_dgram(true, kD, kS, 5000, 33434, bytes(12, 0));
  bytes quoted = cat({ipv6_hdr(kD, kS, 17, unsigned(u.size())), u});
  bytes f = icmp6(1, 4, cat({bytes(4, 0), quoted}));
  EXPECT_EQ(decode(2, 3, 7, f), "IPv6; ICMPv6: Unreach-Port; \n");
  std::string out = decode(4, 3, 7, f);
  EXPECT_NE(out.find("+ICMPv6: Type = Destination Unreachable (1)\n"
                     "+ICMPv6: Code = port unreachable (4)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+ICMPv6: Reserved = 0\n\n"
                     "60-octet PDU follows: Layer = 3, Protocol = IPv6\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+UDP: Source Port = 5000\n+UDP: Dest Port = 33434\n"), std::string::npos) << out;
  // Packet too big, time exceeded, parameter problem.
  bytes tb = icmp6(2, 0, cat({hexbytes("00000500"), quoted}));
  EXPECT_EQ(decode(2, 3, 7, tb), "IPv6; ICMPv6: TooBig mtu=1280; \n");
  EXPECT_NE(decode(4, 3, 7, tb).find("+ICMPv6: Type = Packet Too Big (2)\n+ICMPv6: Code = zero (0)\n"),
            std::string::npos);
  EXPECT_NE(decode(4, 3, 7, tb).find("+ICMPv6: MTU = 1280\n\n60-octet PDU follows: Layer = 3, Protocol = IPv6\n"),
            std::string::npos);
  bytes te = icmp6(3, 0, cat({bytes(4, 0), quoted}));
  EXPECT_EQ(decode(2, 3, 7, te), "IPv6; ICMPv6: Exceed-HopLimit; \n");
  EXPECT_NE(decode(4, 3, 7, te).find("+ICMPv6: Code = hop limit exceeded in transit (0)\n"), std::string::npos);
  bytes pp = icmp6(4, 1, cat({hexbytes("00000006"), quoted}));
  EXPECT_EQ(decode(2, 3, 7, pp), "IPv6; ICMPv6: Params-NextHdr; \n");
  EXPECT_NE(decode(4, 3, 7, pp).find("+ICMPv6: Pointer = 6\n\n60-octet PDU follows"), std::string::npos);
  // A quoted datagram cut short: its UDP checksum is not judged.
  bytes cutq = icmp6(1, 4, cat({bytes(4, 0), bytes(quoted.begin(), quoted.begin() + 50)}));
  EXPECT_NE(decode(4, 3, 7, cutq).find("WARNING: UDP packet is truncated (by 10 bytes)\n"), std::string::npos);
  EXPECT_EQ(decode(2, 3, 7, icmp6(1, 9, bytes(4, 0))), "IPv6; ICMPv6: <Code=1.9>; \n");
  decode_every_cut(f, 3, 7);
}

TEST_F(PanIcmp6, NeighbourDiscoveryWithOptions) {
  bytes ns = icmp6(135, 0, cat({bytes(4, 0), addr("fe80::2"), hexbytes("01 01 001122334455")}));
  EXPECT_EQ(decode(2, 3, 7, ns), "IPv6; ICMPv6: NbrSol tgt=fe80::2; \n");
  std::string out = decode(4, 3, 7, ns);
  EXPECT_NE(out.find("+ICMPv6: Type = Neighbour Solicitation (135)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+ICMPv6: Reserved = 0\n"
                     "+ICMPv6: Target Address = fe80::2\n"
                     "+ICMPv6: Option = Source Link-Layer Address (Type=1), 8 octets\n"
                     "+ICMPv6:   Link-Layer Address = 00:11:22:33:44:55\n"),
            std::string::npos)
      << out;
  bytes na = icmp6(136, 0, cat({hexbytes("60000000"), addr("fe80::2"), hexbytes("02 01 66778899aabb")}));
  EXPECT_EQ(decode(2, 3, 7, na), "IPv6; ICMPv6: NbrAdv tgt=fe80::2; \n");
  out = decode(4, 3, 7, na);
  EXPECT_NE(out.find("+ICMPv6: Flags = <Not Router, Solicited, Override> (0x3)\n"
                     "+ICMPv6: Target Address = fe80::2\n"
                     "+ICMPv6: Option = Target Link-Layer Address (Type=2), 8 octets\n"
                     "+ICMPv6:   Link-Layer Address = 66:77:88:99:AA:BB\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(decode(2, 3, 7, icmp6(133, 0, cat({bytes(4, 0), hexbytes("01 01 001122334455")}))),
            "IPv6; ICMPv6: RtrSol; \n");
  decode_every_cut(ns, 3, 7);
  decode_every_cut(na, 3, 7);
}

TEST_F(PanIcmp6, RouterAdvertisementOptions) {
  bytes pi = cat({hexbytes("03 04 40 c0 00278d00 00093a80 00000000"), addr("2001:db8:1::")});
  bytes mtu = hexbytes("05 01 0000 000005dc");
  bytes ra = icmp6(134, 0, cat({hexbytes("40 80 0708 00000000 00000000"), pi, mtu}));
  EXPECT_EQ(decode(2, 3, 7, ra), "IPv6; ICMPv6: RtrAdv; \n");
  std::string out = decode(4, 3, 7, ra);
  EXPECT_NE(out.find("+ICMPv6: Cur Hop Limit = 64\n"
                     "+ICMPv6: Flags = <Managed, No Other> (0x80)\n"
                     "+ICMPv6: Router Lifetime = 1800\n"
                     "+ICMPv6: Reachable Time = 0\n"
                     "+ICMPv6: Retrans Timer = 0\n"
                     "+ICMPv6: Option = Prefix Information (Type=3), 32 octets\n"
                     "+ICMPv6:   Prefix = 2001:db8:1::/64\n"
                     "+ICMPv6:   Flags = <On-Link, Autonomous> (0xC0)\n"
                     "+ICMPv6:   Valid Lifetime = 2592000\n"
                     "+ICMPv6:   Preferred Lifetime = 604800\n"
                     "+ICMPv6: Option = MTU (Type=5), 8 octets\n"
                     "+ICMPv6:   MTU = 1500\n"),
            std::string::npos)
      << out;
  // An option of length 0 would never advance: reported, the rest dumped.
  bytes zero = icmp6(133, 0, cat({bytes(4, 0), hexbytes("01 00 0011 2233 4455")}));
  EXPECT_NE(decode(4, 3, 7, zero).find("\tIllegal option length field (0)- dumping rest of ICMPv6 message (8 bytes):\n"),
            std::string::npos);
  bytes over = icmp6(133, 0, cat({bytes(4, 0), hexbytes("01 02 0011 2233 4455")}));
  EXPECT_NE(decode(4, 3, 7, over).find("\tOption data truncated- dumping rest of ICMPv6 message (8 bytes):\n"),
            std::string::npos);
  decode_every_cut(ra, 3, 7);
}

}  // namespace
