// Transport layer: TCP and UDP over IPv4 and IPv6 (checksums through the
// pseudo-header), port choice, options, ICMP with its quoted datagram, IGMP, VRRP.
#include <gtest/gtest.h>

#include "pkt_helpers.h"

namespace {

class PanTrans : public DecoderTest<2> {};

const char *A = "10.1.1.1", *B = "10.1.1.2";
const char *A6 = "2001:db8::a", *B6 = "2001:db8::b";

bytes v4(unsigned proto, const bytes &l4) { return cat({ipv4_hdr(A, B, proto, unsigned(l4.size())), l4}); }
bytes v6(unsigned nh, const bytes &l4) { return cat({ipv6_hdr(A6, B6, nh, unsigned(l4.size())), l4}); }

bytes seg(unsigned sp, unsigned dp, unsigned flags, const bytes &payload = {}, const bytes &opts = {}, bool six = false) {
  return tcp_seg(six, six ? A6 : A, six ? B6 : B, sp, dp, 1000123, 2000456, flags, 512, opts, payload);
}

TEST_F(PanTrans, TcpEachVerbosity) {
  bytes d = v4(6, seg(1025, 8080, 0x18, bytes{'h', 'i', '!'}));
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 10.1.1.1 -> 10.1.1.2; TCP: 1025->8080; data=3 []; \n");
  EXPECT_EQ(decode(2, 3, 1, d),
            "IP: 10.1.1.1 -> 10.1.1.2 <DF,LAST>, id=1.0; TCP: 1025->8080 <PSH,ACK>, seq=123-125, ack=456, win=512; "
            "data=3 []; \n");
  std::string out = decode(4, 4, 6, seg(1025, 8080, 0x18, bytes{'h', 'i', '!'}));
  EXPECT_EQ(out,
            "\n23-octet PDU follows: Layer = 4, Protocol = 6\n\n"
            "+TCP: Source Port = 1025\n"
            "+TCP: Dest Port = 8080\n"
            "+TCP: Sequence Number = 1000123\n"
            "+TCP: Ack Number = 2000456\n"
            "+TCP: Header Len = 5 (20 octets)\n"
            "+TCP: Reserved = 0:0\n"
            "+TCP: Flags = <PSH,ACK>  (0x18)\n"
            "+TCP: Window = 512\n"
            "+TCP: Checksum = 0x" +
                [] {
                  char b[8];
                  bytes s = seg(1025, 8080, 0x18, bytes{'h', 'i', '!'});
                  snprintf(b, sizeof b, "%04X", (s[16] << 8) | s[17]);
                  return std::string(b);
                }() +
                " (over -1 bytes)\n"  // no network layer, no pseudo-header: not tested
                "+TCP: Urgent Pointer = 0 (0x00)\n"
                "\n3-octet PDU follows: Layer = 5, Protocol = 8080\n\n"
                "3 Data octets follow:\nDecimal format, 16 octets per row\n0001: 104 105 033\n");
}

TEST_F(PanTrans, TcpChecksumOverIpv4) {
  bytes d = v4(6, seg(1025, 8080, 0x10, bytes{1, 2, 3}));
  std::string good = decode(4, 3, 1, d);
  EXPECT_NE(good.find(" (over 35 bytes)\n+TCP: Urgent"), std::string::npos) << good;
  EXPECT_EQ(good.find("CORRUPT"), std::string::npos);
  d.back() ^= 1;
  EXPECT_NE(decode(4, 3, 1, d).find(" ... CORRUPT (over 35 bytes)\n"), std::string::npos);
  EXPECT_NE(decode(1, 3, 1, d).find("; !TCP: 1025->8080; "), std::string::npos);
}

TEST_F(PanTrans, TcpAndUdpChecksumOverIpv6UsesIpv6PseudoHeader) {
  bytes t = v6(6, seg(1025, 8080, 0x10, bytes{1, 2, 3}, {}, true));
  EXPECT_EQ(decode(1, 3, 7, t), "IPv6; TCP: 1025->8080; data=3 []; \n");
  EXPECT_NE(decode(4, 3, 7, t).find("+TCP: Checksum = 0x"), std::string::npos);
  EXPECT_NE(decode(4, 3, 7, t).find(" (over 63 bytes)\n"), std::string::npos);
  t[t.size() - 2] ^= 0x40;
  EXPECT_EQ(decode(1, 3, 7, t), "IPv6; !TCP: 1025->8080; data=3 []; \n");

  bytes u = v6(17, udp_dgram(true, A6, B6, 5000, 5353, bytes{7, 7}));
  EXPECT_EQ(decode(1, 3, 7, u), "IPv6; UDP: 5000->5353; data=2 []; \n");
  // Link padding after the IPv6 payload is not summed.
  bytes padded = cat({u, bytes(10, 0x99)});
  EXPECT_EQ(decode(1, 3, 7, padded), "IPv6; UDP: 5000->5353; data=2 []; \n");
  u[40 + 8] ^= 1;
  EXPECT_EQ(decode(1, 3, 7, u), "IPv6; !UDP: 5000->5353; data=2 []; \n");
}

TEST_F(PanTrans, PortChoice) {
  auto app = [](unsigned sp, unsigned dp) {
    int layer = 4, proto = 6, trailer = 0, more = 0;
    kav_pktctx ctx;
    memset(&ctx, 0xFA, sizeof ctx);
    bytes s = seg(sp, dp, 0x10);
    capture_out([&] { kav_panl4(&layer, &proto, kav_view(s.data(), int(s.size())), &trailer, &more, 0, &ctx); });
    EXPECT_EQ(layer, 5);
    EXPECT_EQ(more, 1);
    return proto;
  };
  EXPECT_EQ(app(1025, 80), 80);
  EXPECT_EQ(app(80, 1025), 80);
  EXPECT_EQ(app(2049, 700), 2049);
  EXPECT_EQ(app(111, 700), 111);
  EXPECT_EQ(app(700, 6001), 6001);
  EXPECT_EQ(app(6063, 22), 6063);
  EXPECT_EQ(app(5000, 6000), 6000);
}

TEST_F(PanTrans, SynWithoutDataShowsItsOneSequenceNumber) {
  bytes d = v4(6, seg(1025, 80, 0x02));
  EXPECT_NE(decode(2, 3, 1, d).find("TCP: 1025->80 <SYN>, seq=123-123, ack=456, win=512; \n"), std::string::npos);
  bytes a = v4(6, seg(1025, 8080, 0x10));
  EXPECT_NE(decode(2, 3, 1, a).find("TCP: 1025->8080 <ACK>, seq=123, ack=456, win=512; \n"), std::string::npos);
  bytes n = v4(6, seg(1025, 80, 0x00));
  EXPECT_NE(decode(2, 3, 1, n).find("<None>"), std::string::npos);
}

TEST_F(PanTrans, TcpContext) {
  kav_pktctx ctx;
  decode(2, 3, 1, v4(6, seg(1025, 80, 0x12)), 0, &ctx);
  EXPECT_STREQ(ctx.tcpflags, "SYN,ACK");
  EXPECT_EQ(ctx.tcpseq, 1000123u);
  EXPECT_EQ(ctx.tcpack, 2000456u);
  EXPECT_STREQ(ctx.srcport, "1025");
  EXPECT_STREQ(ctx.dstport, "80");
}

TEST_F(PanTrans, TcpMissingOctetsSkipChecksum) {
  bytes d = v4(6, seg(1025, 8080, 0x18, bytes(10, 'x')));
  put16(d, 2, unsigned(d.size() + 90));  // the IP header claims what the capture lost
  put16(d, 10, 0);
  put16(d, 10, uint16_t(~inet_sum(d.data(), 20)));
  EXPECT_NE(decode(2, 3, 1, d, 90).find("; %TCP: 1025->8080 <PSH,ACK>, seq=123-222, "), std::string::npos);
  EXPECT_NE(decode(4, 3, 1, d, 90).find("WARNING: TCP packet is truncated (by 90 bytes)\n"), std::string::npos);
  EXPECT_NE(decode(4, 3, 1, d, 90).find(" (over -1 bytes)"), std::string::npos);
}

TEST_F(PanTrans, TcpOptionsAndBadOptionLength) {
  bytes opts = hexbytes("02 04 05 b4 01 03 03 07 05 0a 00 00 00 05 00 00 00 09 0b 06 00 00 00 2a");
  bytes d = v4(6, seg(1025, 8080, 0x10, {}, opts));
  EXPECT_NE(decode(2, 3, 1, d).find(", opts MSS,NOP,WS,SACKS,CC=42; "), std::string::npos) << decode(2, 3, 1, d);
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+TCP: Options follow (24 bytes):\n"
                     "+TCP: - MSS (Code=2): 2 data octets\n"
                     "+TCP:   MSS = 1460\n"
                     "+TCP: - Null Option (Code=1)\n"
                     "+TCP: - Window Scale (Code=3): 1 data octet\n"
                     "+TCP:   Shift = 7\n"
                     "+TCP: - Selective ACKs (Code=5): 8 data octets\n"
                     "+TCP:   1 SACK\n"
                     "+TCP:   - Block 1: Left Edge = 5, Right Edge = 9\n"
                     "+TCP: - T/TCP CC (Code=11): 4 data octets\n"
                     "+TCP:   Value = 42\n"),
            std::string::npos)
      << out;
  bytes bad = v4(6, seg(1025, 8080, 0x10, {}, hexbytes("01 02 01 00")));
  std::string b = decode(4, 3, 1, bad);
  EXPECT_NE(b.find("+TCP: - MSS (Code=2)\tIllegal option length field (1)- dumping rest of TCP header (2 bytes):\n"
                   "Decimal format, 16 octets per row\n0001: 001 000\n"),
            std::string::npos)
      << b;
  bytes cut = v4(6, seg(1025, 8080, 0x10, {}, hexbytes("01 01 08 0a")));
  EXPECT_NE(decode(4, 3, 1, cut).find("+TCP: - Timestamp (Code=8)\tOption data truncated- dumping rest"),
            std::string::npos);
  bytes nolen = v4(6, seg(1025, 8080, 0x10, {}, hexbytes("01 01 01 08")));
  EXPECT_NE(decode(4, 3, 1, nolen).find("\tOption header truncated- dumping rest of TCP header (0 bytes):\n"),
            std::string::npos);
}

TEST_F(PanTrans, TcpTruncatedHeader) {
  bytes s = seg(1025, 8080, 0x10);
  s.resize(12);
  bytes d = v4(6, s);
  EXPECT_NE(decode(1, 3, 1, d).find("; *TCP: 1025->8080; \n"), std::string::npos) << decode(1, 3, 1, d);
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("WARNING: TCP header is truncated (by 8 bytes)\n"), std::string::npos);
  EXPECT_NE(out.find("+TCP: Ack Number = 2000456\n"), std::string::npos);
  EXPECT_EQ(out.find("+TCP: Header Len"), std::string::npos);
  bytes bad = seg(1025, 8080, 0x10);
  bad[12] = 0x20;  // data offset 2
  EXPECT_NE(decode(4, 4, 6, bad).find("WARNING: TCP header length claims to be 8 (illegal) - adjust to min=20\n"),
            std::string::npos);
}

TEST_F(PanTrans, Udp) {
  bytes d = v4(17, udp_dgram(false, A, B, 1234, 5353, bytes{1, 2, 3, 4}));
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 10.1.1.1 -> 10.1.1.2; UDP: 1234->5353; data=4 []; \n");
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+UDP: Source Port = 1234\n+UDP: Dest Port = 5353\n+UDP: PDU Size = 12\n+UDP: Checksum = 0x"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" (over 24 bytes)\n"), std::string::npos);
  d[d.size() - 1] ^= 0x10;
  EXPECT_NE(decode(1, 3, 1, d).find("; !UDP: 1234->5353; "), std::string::npos);
  put16(d, 26, 0);  // no checksum sent
  EXPECT_NE(decode(1, 3, 1, d).find("; -UDP: 1234->5353; "), std::string::npos);
  put16(d, 24, 99);
  EXPECT_NE(decode(4, 3, 1, d).find("+UDP: PDU Size = 99 !ERROR\n"), std::string::npos);
  bytes t = v4(17, bytes{0x04, 0xd2, 0x00});
  EXPECT_NE(decode(1, 3, 1, t).find("; *UDP: 1234->; "), std::string::npos) << decode(1, 3, 1, t);
}

bytes icmp_msg(unsigned type, unsigned code, const bytes &body) {
  return pkt::icmp_msg(uint8_t(type), uint8_t(code), body);
}

std::string hex4(unsigned v) {
  char b[8];
  snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}

TEST_F(PanTrans, UdpEachVerbosityExact) {
  bytes u = udp_dgram(false, A, B, 1234, 5353, bytes{1, 2, 3, 4});
  bytes d = v4(17, u);
  std::string line = "IP: 10.1.1.1 -> 10.1.1.2 <DF,LAST>, id=1.0; UDP: 1234->5353; data=4 []; \n";
  EXPECT_EQ(decode(2, 3, 1, d), line);
  EXPECT_EQ(decode(3, 3, 1, d), line);
  EXPECT_EQ(decode(4, 4, 17, u),
            "\n12-octet PDU follows: Layer = 4, Protocol = 17\n\n"
            "+UDP: Source Port = 1234\n"
            "+UDP: Dest Port = 5353\n"
            "+UDP: PDU Size = 12\n"
            "+UDP: Checksum = 0x" + hex4((u[6] << 8) | u[7]) + " (over -1 bytes)\n"
            "\n4-octet PDU follows: Layer = 5, Protocol = 5353\n\n"
            "4 Data octets follow:\nDecimal format, 16 octets per row\n0001: 001 002 003 004\n");
}

TEST_F(PanTrans, IcmpEachVerbosityExact) {
  bytes m = icmp_msg(0, 0, hexbytes("12 34 00 07"));
  EXPECT_EQ(decode(1, 4, 1, m), "ICMP: EchoRsp; \n");
  EXPECT_EQ(decode(2, 4, 1, m), "ICMP: EchoRsp; \n");
  EXPECT_EQ(decode(3, 4, 1, m), "ICMP: EchoRsp; \n");
  EXPECT_EQ(decode(4, 4, 1, m),
            "\n8-octet PDU follows: Layer = 4, Protocol = 1\n\n"
            "+ICMP: Type = Echo Reply (0)\n"
            "+ICMP: Code = zero (0)\n"
            "+ICMP: Checksum = 0x" + hex4((m[2] << 8) | m[3]) + " (over 8 bytes)\n"
            "+ICMP: ID = 4660\n"
            "+ICMP: Sequence = 7\n");
  bytes r = icmp_msg(5, 1, hexbytes("c0 a8 00 fe"));
  std::string out = decode(4, 4, 1, r);
  EXPECT_NE(out.find("+ICMP: Code = redirect for host (1)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+ICMP: Required Router = 192.168.0.254\n"), std::string::npos) << out;
  EXPECT_EQ(decode(2, 4, 1, r), "ICMP: Redir-Host; \n");
  bytes adv = icmp_msg(9, 0, hexbytes("01 02 07 08 c0 a8 00 01 00 00 00 05"));
  std::string a = decode(4, 4, 1, adv);
  EXPECT_NE(a.find("+ICMP: No. Of Addresses = 1\n+ICMP: Entry Size = 2\n+ICMP: Lifetime = 1800\n"
                   "+ICMP: Router 0 = 192.168.0.1\n+ICMP:\tPreference = 5 (0x0005)\n"),
            std::string::npos)
      << a;
  bytes pp = icmp_msg(12, 1, hexbytes("09 00 00 01"));
  EXPECT_NE(decode(4, 4, 1, pp).find("+ICMP: Pointer = 9 (not used)\n+ICMP: Reserved = 1 *ERROR*\n"), std::string::npos);
  // Truncated capture: the checksum is not tested.
  bytes cut(m.begin(), m.begin() + 6);
  EXPECT_EQ(decode(1, 4, 1, cut, 2), "%ICMP: EchoRsp; \n");
  EXPECT_NE(decode(4, 4, 1, cut, 2).find("WARNING: ICMP packet is truncated (by 2 bytes)\n"), std::string::npos);
}

TEST_F(PanTrans, IcmpEcho) {
  bytes d = v4(1, icmp_msg(8, 0, hexbytes("00 05 00 01 61 62")));
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 10.1.1.1 -> 10.1.1.2; ICMP: EchoReq; \n");
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+ICMP: Type = Echo Request (8)\n+ICMP: Code = zero (0)\n+ICMP: Checksum = 0x"), std::string::npos);
  EXPECT_NE(out.find(" (over 10 bytes)\n+ICMP: ID = 5\n+ICMP: Sequence = 1\n+ICMP: 2 octets of optional data follow:\n"),
            std::string::npos)
      << out;
  d.back() ^= 1;
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 10.1.1.1 -> 10.1.1.2; !ICMP: EchoReq; \n");
  kav_pktctx ctx;
  decode(1, 3, 1, d, 0, &ctx);
  EXPECT_EQ(ctx.icmptype, 8u);
  EXPECT_EQ(ctx.icmpcode, 0u);
}

TEST_F(PanTrans, IcmpUnreachableQuotesDatagram) {
  // The quoted datagram: its IP header says 100 octets, 28 are quoted.
  bytes q = cat({ipv4_hdr(B, A, 17, 80), hexbytes("0f a0 82 9a 00 50 12 34")});
  bytes d = v4(1, icmp_msg(3, 3, cat({bytes(4, 0), q})));
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 10.1.1.1 -> 10.1.1.2 <DF,LAST>, id=1.0; ICMP: Unreach-Port; \n");
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+ICMP: Type = Destination Unreachable (3)\n+ICMP: Code = port unreachable (3)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+ICMP: Reserved = 0\n\n28-octet PDU follows: Layer = 3, Protocol = IP\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("+IP: Source = 10.1.1.2\n"), std::string::npos);
  EXPECT_NE(out.find("\n8-octet PDU follows: Layer = 4, Protocol = 17\n\nWARNING: UDP packet is truncated (by 72 bytes)\n"
                     "+UDP: Source Port = 4000\n+UDP: Dest Port = 33434\n+UDP: PDU Size = 80\n"
                     "+UDP: Checksum = 0x1234 (over -1 bytes)\n"),
            std::string::npos)
      << out;
  // The quoted datagram is incomplete: its checksum is not judged.
  EXPECT_EQ(out.find("CORRUPT"), std::string::npos) << out;
}

TEST_F(PanTrans, IcmpTimestampReplyHasNoPadding) {
  bytes d = icmp_msg(14, 0, bytes(16, 0));
  std::string out = decode(4, 4, 1, d);
  EXPECT_NE(out.find("+ICMP: Transmit Timestamp = 0\n"), std::string::npos);
  EXPECT_EQ(out.find("padding"), std::string::npos) << out;
  bytes e = icmp_msg(17, 0, bytes(10, 0));  // mask request with 2 extra octets
  EXPECT_NE(decode(4, 4, 1, e).find("+ICMP: Subnet Mask = 0x0000\n\n2 padding/unexpected octets follow:\n"),
            std::string::npos);
  EXPECT_NE(decode(4, 4, 1, icmp_msg(42, 7, bytes{1})).find("+ICMP: Type = <Type=42> (42)\n+ICMP: Code = <Code=42.7> (7)\n"),
            std::string::npos);
}

TEST_F(PanTrans, Igmp) {
  bytes r = hexbytes("16 00 00 00 e0 00 00 fb");
  put16(r, 2, uint16_t(~inet_sum(r.data(), 8)));
  EXPECT_EQ(decode(1, 4, 2, r), "IGMP: Report=224.0.0.251; \n");
  std::string out = decode(4, 4, 2, r);
  EXPECT_NE(out.find("+IGMP: Version = 2\n+IGMP: Type = Membership Report <0x16>\n+IGMP: Max Response Time = 0\n"
                     "+IGMP: Checksum = 0x"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" (over 8 bytes)\n+IGMP: Group Address = 224.0.0.251\n"), std::string::npos);
  bytes q = hexbytes("11 00 ee ff 00 00 00 00");
  put16(q, 2, 0);
  put16(q, 2, uint16_t(~inet_sum(q.data(), 8)));
  EXPECT_EQ(decode(1, 4, 2, q), "IGMP: Query; \n");
  bytes bad = hexbytes("12 05 00 00 e0 00 00 01");
  EXPECT_EQ(decode(1, 4, 2, bad), "!IGMP: Report=224.0.0.1; \n");
  EXPECT_NE(decode(4, 4, 2, bad).find("+IGMP: Unused = 5 ***INVALID***\n"), std::string::npos);
}

TEST_F(PanTrans, Vrrp) {
  bytes m = hexbytes("21 05 64 01 01 01 00 00 c0 a8 00 01 70 61 73 73 77 6f 72 64");
  put16(m, 6, uint16_t(~inet_sum(m.data(), m.size())));
  EXPECT_EQ(decode(1, 4, 112, m), "VRRP=Advertisement (ver=2, ID=5, Pri=100, AdvIPs=1); \n");
  std::string out = decode(4, 4, 112, m);
  EXPECT_NE(out.find("+VRRP: Version = 2\n+VRRP: Packet Type = Advertisement (1)\n+VRRP: Virtual Router ID = 5\n"
                     "+VRRP: Priority = 100\n+VRRP: IP Address Count = 1\n+VRRP: Auth Type = Simple Password (1)\n"
                     "+VRRP: Advertisement Interval = 1 second\n+VRRP: Checksum = 0x"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+VRRP: IP Address 1 = 192.168.0.1\n+VRRP: Auth Data = 70:61:73:73:77:6f:72:64 (password)\n"),
            std::string::npos)
      << out;
  bytes cut(m.begin(), m.begin() + 14);
  EXPECT_NE(decode(4, 4, 112, cut).find("WARNING: VRRP packet is truncated (by 6 bytes)\n"), std::string::npos);
}

bytes ospf_hdr(unsigned type, unsigned len, unsigned autype = 0, const char *auth = "00 00 00 00 00 00 00 00") {
  bytes h = cat({hexbytes("02 00 00 00 c0 a8 00 01 00 00 00 00 00 00 00 00"), hexbytes(auth)});
  h[1] = (unsigned char)type;
  put16(h, 2, len);
  put16(h, 14, autype);
  return h;
}

TEST_F(PanTrans, OspfHello) {
  bytes body = hexbytes("ff ff ff 00 00 0a 02 01 00 00 00 28 c0 a8 00 01 00 00 00 00 c0 a8 00 02 c0 a8 00 03");
  bytes p = cat({ospf_hdr(1, 52), body});
  EXPECT_EQ(decode(2, 4, 89, p), "OSPF=Hello; \n");
  std::string out = decode(4, 4, 89, p);
  EXPECT_EQ(out,
            "\n52-octet PDU follows: Layer = 4, Protocol = 89\n\n"
            "+OSPF: Version = 2\n"
            "+OSPF: Packet Type = Hello (1)\n"
            "+OSPF: Packet Length = 52\n"
            "+OSPF: Router ID = 0xc0a80001 (192.168.0.1)\n"
            "+OSPF: Area ID = 0x0 (0.0.0.0)\n"
            "+OSPF: Checksum = 0x0000\n"
            "+OSPF: AuthType = Null Authentication (0)\n"
            "+OSPF: Unused Auth Data is 0:0:0:0:0:0:0:0\n"
            "+OSPF:        type-specific packet body follows\n"
            "+OSPF: Network Mask = 255.255.255.0\n"
            "+OSPF: HelloInterval = 10\n"
            "+OSPF: Options = <E> (0x2)\n"
            "+OSPF: Priority = 1\n"
            "+OSPF: RouterDeadInterval = 40\n"
            "+OSPF: Designated Router = 192.168.0.1\n"
            "+OSPF: Backup Designated Router = 0.0.0.0\n"
            "+OSPF: 2 Neighbour IP addresses follow:\n"
            "+OSPF: - Neighbour 1 = 192.168.0.2\n"
            "+OSPF: - Neighbour 2 = 192.168.0.3\n");
}

TEST_F(PanTrans, OspfSimplePasswordShownAsText) {
  bytes p = cat({ospf_hdr(5, 24, 1, "73 65 63 72 65 74 00 00"), bytes(4, 0)});
  std::string out = decode(4, 4, 89, p);
  EXPECT_NE(out.find("+OSPF: AuthType = Simple Password (1)\n+OSPF: Auth Data = 73:65:63:72:65:74:0:0 (secret)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+OSPF: 4 trailing octets follow\n"), std::string::npos) << out;
}

TEST_F(PanTrans, OspfUpdateWithCutLsa) {
  // Two router LSAs; the capture ends inside the second.
  bytes lsa1 = hexbytes("00 01 02 01 c0 a8 00 01 c0 a8 00 01 80 00 00 01 12 34 00 24"
                        "02 00 00 01 c0 a8 01 00 ff ff ff 00 03 00 00 0a");
  bytes lsa2 = hexbytes("00 01 02 01 c0 a8 00 02 c0 a8 00 02 80 00 00 01 56 78 00 24 00 00");
  bytes p = cat({ospf_hdr(4, unsigned(24 + 4 + lsa1.size() + 36)), hexbytes("00 00 00 02"), lsa1, lsa2});
  std::string out = decode(4, 4, 89, p);
  EXPECT_NE(out.find("+OSPF: 2 LSAs included in this update\n+OSPF: - LSA 1 follows:\n+OSPF:   LSA Age = 1 secs\n"
                     "+OSPF: Options = <E> (0x2)\n+OSPF:   LSA Type = Router-LSA (1)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+OSPF:     V=N, E=Y (AS boundary router), B=N (0x2:0x0)\n+OSPF:     No. of Router Links = 1\n"
                     "+OSPF:     - Router Link 1 follows:\n"
                     "+OSPF:     Link ID = 192.168.1.0 (IP network/subnet number)\n"
                     "+OSPF:     Link Data = 4294967040 (255.255.255.0)\n"
                     "+OSPF:     Link Type = connection to a stub network (3)\n"
                     "+OSPF:     Link Metric = 10\n"
                     "+OSPF:     No. of TOS metrics for this link: 0\n"
                     "+OSPF: - LSA 2 follows:\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("WARNING: OSPF packet is truncated (by 14 bytes)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("WARNING: LSA is truncated (by 14 bytes)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("trailing"), std::string::npos) << out;
}

TEST_F(PanTrans, OspfLsaLengthZeroStillAdvances) {
  bytes lsa = hexbytes("00 01 02 01 c0 a8 00 01 c0 a8 00 01 80 00 00 01 12 34 00 00");
  bytes p = cat({ospf_hdr(4, 24 + 4 + 40), hexbytes("00 00 00 02"), lsa, lsa});
  std::string out = decode(4, 4, 89, p);
  EXPECT_NE(out.find("+OSPF: - LSA 2 follows:\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("+OSPF: - LSA 3 follows:\n"), std::string::npos);
  EXPECT_NE(decode(4, 4, 89, ospf_hdr(1, 24)).find("WARNING: OSPF header is truncated (by 0 bytes)\n"),
            std::string::npos);
}

TEST_F(PanTrans, UnlistedProtocolDumpedWhole) {
  std::string out = decode(4, 4, 50, bytes{1, 2, 3});
  EXPECT_NE(out.find("3 Data octets follow:\n"), std::string::npos);
  EXPECT_EQ(decode(2, 4, 50, bytes{1, 2, 3}), "data=3; \n");
  EXPECT_EQ(decode(1, 4, 89, hexbytes("02 01 00 2c")), "OSPF=Hello; \n");
}

}  // namespace
