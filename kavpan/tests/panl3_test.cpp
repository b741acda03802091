// Network layer: IPv4 (checksum, options, fragments, padding, malformed
// lengths), ARP/RARP, IPv6 and IPX.
#include <gtest/gtest.h>

#include "pkt_helpers.h"

namespace {

class PanNet : public DecoderTest<2> {};

// IPv4 datagram of an undecoded protocol (200) with n payload octets.
bytes ip200(size_t n, unsigned id = 7, unsigned frag = 0x4000, const bytes &opts = {}) {
  return cat({ipv4_hdr("192.168.1.1", "192.168.1.2", 200, unsigned(n), id, 64, frag, opts), bytes(n, 0x55)});
}

TEST_F(PanNet, Ipv4EachVerbosity) {
  bytes d = ip200(2);
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2; data=2; \n");
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=7.0; data=2; \n");
  EXPECT_EQ(decode(3, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=7.0; data=2; \n");
  EXPECT_EQ(decode(4, 3, 1, d),
            "\n22-octet PDU follows: Layer = 3, Protocol = IP\n\n"
            "+IP: Header Len = 5 (20 octets)\n"
            "+IP: Version = 4\n"
            "+IP: Service-Precedence = 0\n"
            "+IP: Service-TOS = <Normal> (0x0)\n"
            "+IP: Service-Reserved = 0\n"
            "+IP: Fragment Size = 22\n"
            "+IP: Datagram ID = 7 (0x07)\n"
            "+IP: Flags = <n/a, Don't Fragment, Last Fragment> (0x2)\n"
            "+IP: Fragment Offset = 0 (0x00) -> 0 octets\n"
            "+IP: TTL = 64\n"
            "+IP: Protocol = 200\n"
            "+IP: CheckSum = 0xB6C5 (over 20 bytes)\n"
            "+IP: Source = 192.168.1.1\n"
            "+IP: Dest = 192.168.1.2\n"
            "\n2-octet PDU follows: Layer = 4, Protocol = 200\n\n"
            "2 Data octets follow:\nDecimal format, 16 octets per row\n0001: 085 085\n");
}

TEST_F(PanNet, Ipv4ContextFields) {
  kav_pktctx ctx;
  decode(2, 3, 1, ip200(2, 0x1234), 0, &ctx);
  EXPECT_STREQ(ctx.ipsrc, "192.168.1.1");
  EXPECT_STREQ(ctx.ipdst, "192.168.1.2");
  EXPECT_STREQ(ctx.ipproto, "200");
  EXPECT_EQ(ctx.ipid, 0x1234u);
  EXPECT_EQ(ctx.iplen, 22u);
}

TEST_F(PanNet, Ipv4BadChecksumMarkedAndDecodingGoesOn) {
  bytes d = ip200(2);
  d[10] ^= 0xFF;
  EXPECT_EQ(decode(2, 3, 1, d), "!IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=7.0; data=2; \n");
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+IP: CheckSum = 0x49C5 ... CORRUPT (over 20 bytes)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("2 Data octets follow"), std::string::npos);
}

TEST_F(PanNet, Ipv4TosAndFlags) {
  bytes d = ip200(0, 1, 0xA000 | 3);  // reserved flag, more fragments, offset 3
  d[1] = 0x18;                          // throughput + delay
  put16(d, 10, 0);
  put16(d, 10, uint16_t(~inet_sum(d.data(), 20)));
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+IP: Service-TOS = <Throughput,Delay *Error*> (0xC)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+IP: Flags = < *ERROR*, May Fragment, More Fragments> (0x5)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("+IP: Fragment Offset = 3 (0x03) -> 24 octets\n"), std::string::npos) << out;
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <MF,MORE>, id=1.24; \n");
}

TEST_F(PanNet, Ipv4PaddingIsATrailer) {
  // Total length 40 in a 60-octet Ethernet payload: a 20-octet transport PDU.
  bytes d = cat({ip200(20), bytes(20, 0xEE)});
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("NB: PDU length adjusted down by 20, to 40\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n20-octet PDU follows: Layer = 4, Protocol = 200\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("238"), std::string::npos);
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=7.0; data=20; \n");
}

TEST_F(PanNet, Ipv4NonFirstFragmentHasNoTransport) {
  bytes d = cat({ipv4_hdr("10.0.0.1", "10.0.0.2", 6, 8, 9, 64, 0x0002), bytes(8, 1)});
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("Layer = 4, Protocol = 4294967295\n\n8 Data octets follow:"), std::string::npos) << out;
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 10.0.0.1 -> 10.0.0.2 <MF,LAST>, id=9.16; data=8; \n");
}

TEST_F(PanNet, IpInIpDecodedAgain) {
  bytes inner = ip200(1);
  bytes d = cat({ipv4_hdr("10.0.0.1", "10.0.0.2", 4, unsigned(inner.size())), inner});
  EXPECT_EQ(decode(1, 3, 1, d), "IP: 10.0.0.1 -> 10.0.0.2; IP: 192.168.1.1 -> 192.168.1.2; data=1; \n");
}

TEST_F(PanNet, RecordRouteOption) {
  bytes opt = hexbytes("07 0b 04 0a 00 00 01 0a 00 00 02 00");  // RR, length 11, two addresses, EOOL
  bytes d = ip200(0, 1, 0x4000, opt);
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+IP: Options follow (12 bytes):\n"
                     "+IP: - Record Routes (Code=7)\n"
                     "+IP:   Copy=No, Class=Control, Length=11\n"
                     "+IP:   Pointer = 4\n"
                     "+IP:   Address 1 = 10.0.0.1\n"
                     "+IP:   Address 2 = 10.0.0.2\n"
                     "+IP: - End-Of-Options (Code=0)\n"
                     "+IP:   Copy=No, Class=Control, Length=1\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(decode(2, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=1.0, opts=RR,EOOL; \n");
}

TEST_F(PanNet, OptionDetails) {
  // NOP, router alert, timestamp with addresses (one entry), security.
  bytes opt = hexbytes("01 94 04 00 00 44 0c 0d 01 0a 00 00 09 00 00 00 2a 82 0b d7 88 00 01 00 02 00 00 03 00");
  bytes d = ip200(0, 1, 0x4000, opt);
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("+IP: - Router Alert (Code=20)\n+IP:   Copy=Yes, Class=Control, Length=4\n+IP:   Value=0\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+IP:   Pointer = 13, Overflow = 0\n+IP:   Flags: 0x1 <IP-addr=Y, Prespecified=N>\n"
                     "IP:   0: Address = 10.0.0.9, Timestamp = 42\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+IP:   Security = Secret\n+IP:   Compartments = 0x0001, Handling Restrictions = 0x0002, "
                     "TCC = 0x000003\n"),
            std::string::npos)
      << out;
  EXPECT_NE(decode(2, 3, 1, d).find("id=1.0, opts=NOP,RTRALT,TS,SEC; "), std::string::npos);
}

TEST_F(PanNet, OptionTruncatedByHeader) {
  bytes opt = hexbytes("07 0b 04 0a");  // RR says 11 octets, the header holds 4
  std::string out = decode(4, 3, 1, ip200(0, 1, 0x4000, opt));
  EXPECT_NE(out.find("\n\tNB: Option truncated by 7 bytes\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\t2 padding/trailing octets follow\n"), std::string::npos) << out;
}

TEST_F(PanNet, OptionLengthZeroEndsWalk) {
  // Lengths 0 and 1 would never advance: the walk stops instead of hanging.
  for (unsigned l : {0u, 1u}) {
    bytes opt = hexbytes("44 00 00 00 44 00 00 00");
    opt[1] = (unsigned char)l;
    bytes d = ip200(0, 1, 0x4000, opt);
    EXPECT_EQ(decode(2, 3, 1, d), "IP: 192.168.1.1 -> 192.168.1.2 <DF,LAST>, id=1.0, opts=TS; \n");
    std::string out = decode(4, 3, 1, d);
    EXPECT_NE(out.find("\t6 padding/trailing octets follow\n"), std::string::npos) << out;
  }
}

TEST_F(PanNet, IllegalAndTruncatedHeaderLengths) {
  bytes d = ip200(4);
  d[0] = 0x43;  // IHL 3
  std::string out = decode(4, 3, 1, d);
  EXPECT_NE(out.find("WARNING: IP header length claims to be 12 (illegal) - adjust to min=20\n"), std::string::npos)
      << out;
  bytes t = ip200(0);
  t.resize(14);
  EXPECT_EQ(decode(2, 3, 1, t), "*IP:  ->  <DF,LAST>, id=7.0; \n");
  std::string tout = decode(4, 3, 1, t);
  EXPECT_NE(tout.find("WARNING: IP header is truncated (by 6 bytes)\n"), std::string::npos);
  EXPECT_NE(tout.find("+IP: TTL = 64\n"), std::string::npos);
  EXPECT_EQ(tout.find("+IP: Source"), std::string::npos);  // row 12 lies beyond the captured header
}

TEST_F(PanNet, TotalLengthBelowHeaderTakesCapturedLength) {
  // Segmentation-offload captures carry total length 0.
  bytes d = ip200(30);
  put16(d, 2, 0);
  put16(d, 10, 0);
  put16(d, 10, uint16_t(~inet_sum(d.data(), 20)));
  std::string out = decode(4, 3, 1, d);
  EXPECT_EQ(out.find("adjusted"), std::string::npos);
  EXPECT_NE(out.find("\n30-octet PDU follows: Layer = 4"), std::string::npos) << out;
}

bytes arp_msg(unsigned op, unsigned htype = 1, unsigned ptype = 0x0800) {
  bytes a = hexbytes("00 01 08 00 06 04 00 01 08 00 20 0a 0b 0c 0a 00 00 01 00 00 00 00 00 00 0a 00 00 02");
  put16(a, 0, htype);
  put16(a, 2, ptype);
  put16(a, 6, op);
  return a;
}

TEST_F(PanNet, ArpSummaries) {
  EXPECT_EQ(decode(1, 3, 2, arp_msg(1)), "ARP Request: ip=10.0.0.1 wants ip=10.0.0.2; \n");
  EXPECT_EQ(decode(1, 3, 2, arp_msg(2)), "ARP Response: ip=10.0.0.1 maps to eth=08:00:20:0A:0B:0C; \n");
  EXPECT_EQ(decode(1, 3, 3, arp_msg(3)), "RARP Request: eth=00:00:00:00:00:00 wants eth=08:00:20:0A:0B:0C; \n");
  EXPECT_EQ(decode(1, 3, 3, arp_msg(4)), "RARP Response: eth=08:00:20:0A:0B:0C maps to ip=10.0.0.2; \n");
  EXPECT_EQ(decode(1, 3, 2, arp_msg(9)), "ARP 9 *ERROR*: ; \n");
  EXPECT_EQ(decode(1, 3, 2, arp_msg(1, 6, 0x0900)), "ARP Request: sw-2304=0A:00:00:01 wants sw-2304=0A:00:00:02; \n");
  EXPECT_EQ(decode(1, 3, 2, arp_msg(2, 6, 0x0800)), "ARP Response: ip=10.0.0.1 maps to hw-6=08:00:20:0A:0B:0C; \n");
  kav_pktctx ctx;
  decode(2, 3, 2, arp_msg(1), 0, &ctx);
  EXPECT_EQ(ctx.arpop, 1u);
  EXPECT_STREQ(ctx.arptpa, "10.0.0.2");
}

TEST_F(PanNet, ArpVerbosity4AndPadding) {
  bytes a = cat({arp_msg(1), bytes(18, 0)});
  std::string out = decode(4, 3, 2, a);
  EXPECT_NE(out.find("+ARP: Hardware Type = 0x0001 (Ethernet)\n"
                     "+ARP: Protocol Type = 0x0800 (IP)\n"
                     "+ARP: Op = Request\n"
                     "+ARP: Sender Hardware Address = <08:00:20:0A:0B:0C> (6 octets)\n"
                     "\t08:00:20:0A:0B:0C\n"
                     "+ARP: Sender Protocol Address = 0A:00:00:01 (4 octets)\n"
                     "\t10.0.0.1\n"
                     "+ARP: Target Hardware Address = 00:00:00:00:00:00 (6 octets)\n"
                     "\t00:00:00:00:00:00\n"
                     "+ARP: Target Protocol Address = 0A:00:00:02 (4 octets)\n"
                     "\t10.0.0.2\n"
                     "\n18 padding/unexpected octets follow:\n"),
            std::string::npos)
      << out;
}

TEST_F(PanNet, ArpAddressesPastTheEnd) {
  bytes a = arp_msg(1);
  a[4] = 200;  // hardware length runs far past the message
  std::string out = decode(4, 3, 2, a);
  EXPECT_NE(out.find("+ARP: Op = Request\n"), std::string::npos);
  EXPECT_EQ(out.find("Sender Hardware"), std::string::npos);
  EXPECT_EQ(decode(1, 3, 2, bytes{0, 1, 8}), "*ARP; \n");
}

TEST_F(PanNet, Ipv6HeaderAndPadding) {
  bytes d = cat({ipv6_hdr("2001:db8::1", "2001:db8::2", 59, 2), bytes{9, 9}, bytes(6, 0xEE)});
  EXPECT_EQ(decode(1, 3, 7, d), "IPv6; data=2; \n");
  EXPECT_EQ(decode(3, 3, 7, d), "IPv6: 2001:db8::1 -> 2001:db8::2; data=2; \n");
  std::string out = decode(4, 3, 7, d);
  EXPECT_NE(out.find("\n48-octet PDU follows: Layer = 3, Protocol = IPv6\n\n"
                     "NB: PDU length adjusted down by 6, to 42\n"
                     "+IPv6: Version = 6\n"
                     "+IPv6: Traffic-DS = 0x0, Traffic-ECN=0x0\n"
                     "+IPv6: Flow-Label = 0x0, Hop-Limit = 64\n"
                     "+IPv6: Next header = 59 (payload=2)\n"
                     "+IPv6: Source Addr = 2001:db8::1\n"
                     "+IPv6: Dest Addr = 2001:db8::2\n"
                     "\n2-octet PDU follows: Layer = 4, Protocol = 59\n"),
            std::string::npos)
      << out;
  bytes t = ipv6_hdr("2001:db8::1", "2001:db8::2", 59, 0);
  t.resize(30);
  EXPECT_EQ(decode(1, 3, 7, t), "IPv6*; \n");
  EXPECT_NE(decode(4, 3, 7, t).find("WARNING: IPv6 header is truncated (by 10 bytes)\n"), std::string::npos);
}

TEST_F(PanNet, UndecodedNetworkCodes) {
  EXPECT_EQ(decode(2, 3, 4, bytes{1, 2}), "data=2; \n");
  EXPECT_EQ(decode(2, 3, 0, bytes{1}), "data=1; \n");
  EXPECT_STREQ(kav_l3proto2nam(5), "PPP-NCP");
  EXPECT_STREQ(kav_l3proto2nam(0), "<0>");
}

}  // namespace
