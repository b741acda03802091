// Link layer: Ethernet II, 802.3, LLC, SNAP, FDDI and PPP at each verbosity.
#include <gtest/gtest.h>

#include "pkt_helpers.h"

namespace {

class PanLink : public DecoderTest<2> {};

// An Ethernet frame whose type has no decoder: the payload goes to layer 3 as unknown.
bytes eth_unknown() { return cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 0x9000), bytes{1, 2}}); }

TEST_F(PanLink, EthernetEachVerbosity) {
  bytes f = eth_unknown();
  EXPECT_EQ(decode(1, 2, 1, f), "data=2; \n");
  EXPECT_EQ(decode(2, 2, 1, f), "ETH (Loopback); data=2; \n");
  EXPECT_EQ(decode(3, 2, 1, f), "ETH: 08:00:20:0A:0B:0C -> 00:11:22:33:44:55 (Loopback); data=2; \n");
  EXPECT_EQ(decode(4, 2, 1, f),
            "\n16-octet PDU follows: Layer = 2, Protocol = Ethernet\n\n"
            "+ETHER: Source Addr = 08:00:20:0A:0B:0C\n"
            "+ETHER: Dest Addr = 00:11:22:33:44:55\n"
            "+ETHER: Type = 0x9000 (Loopback)\n"
            "\n2-octet PDU follows: Layer = 3, Protocol = <0>\n\n"
            "2 Data octets follow:\nDecimal format, 16 octets per row\n0001: 001 002\n");
}

TEST_F(PanLink, EthernetContextAndLengthTypeError) {
  kav_pktctx ctx;
  bytes f = cat({eth_hdr("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:01", 0x0806), bytes(28, 0)});
  decode(2, 2, 1, f, 0, &ctx);
  EXPECT_STREQ(ctx.l2dst, "broadcast");
  EXPECT_STREQ(ctx.l2src, "02:00:00:00:00:01");
  EXPECT_EQ(ctx.ethtype, 0x0806u);
  bytes g = cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 46), bytes(2, 0)});
  EXPECT_NE(decode(4, 2, 1, g).find("+ETHER: Type = 0x002E (<0x2e>) *ERROR*\n"), std::string::npos);
}

TEST_F(PanLink, BroadcastAndMulticastShownAtLevel2) {
  bytes b = cat({eth_hdr("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:01", 0x9000)});
  EXPECT_EQ(decode(2, 2, 1, b), "ETH broadcast (Loopback); \n");
  bytes m = cat({eth_hdr("01:00:5e:01:02:03", "02:00:00:00:00:01", 0x9000)});
  EXPECT_EQ(decode(2, 2, 1, m), "ETH multicast (Loopback); \n");
}

TEST_F(PanLink, EthernetTypeHandsOnIp) {
  bytes ip = ipv4_hdr("10.0.0.1", "10.0.0.2", 200, 0);
  bytes f = cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 0x0800), ip});
  // 802.3/ARP-like names stay out of the summary for a known type: just "ETH".
  EXPECT_EQ(decode(2, 2, 1, f), "ETH; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; \n");
  std::string v4 = decode(4, 2, 1, f);
  EXPECT_NE(v4.find("\n20-octet PDU follows: Layer = 3, Protocol = IP\n"), std::string::npos) << v4;
}

TEST_F(PanLink, EthernetSnmpGoesToLayer5) {
  bytes f = cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 0x814C), bytes{0x30, 0}});
  std::string out = decode(4, 2, 1, f);
  EXPECT_NE(out.find("+ETHER: Type = 0x814C (SNMP)\n\n2-octet PDU follows: Layer = 5, Protocol = 161\n"),
            std::string::npos)
      << out;
}

TEST_F(PanLink, TruncatedEthernetHeader) {
  bytes f(10, 0x11);
  EXPECT_EQ(decode(2, 2, 1, f), "*ETH; \n");
  std::string out = decode(4, 2, 1, f);
  EXPECT_EQ(out,
            "\n10-octet PDU follows: Layer = 2, Protocol = Ethernet\n\n"
            "WARNING: Ethernet header is truncated (by 4 bytes)\n"
            "+ETHER: Dest Addr = 11:11:11:11:11:11\n");
}

bytes frame8023(unsigned lenfield, size_t total) {
  bytes f = eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", lenfield);
  bytes llc = hexbytes("42 42 03");
  f.insert(f.end(), llc.begin(), llc.end());
  while (f.size() < total) f.push_back(0xEE);
  return f;
}

TEST_F(PanLink, Ieee8023LengthAndPadding) {
  std::string no_trailer = decode(4, 2, 2, frame8023(46, 60));
  EXPECT_EQ(no_trailer.find("adjusted"), std::string::npos);
  EXPECT_NE(no_trailer.find("\n46-octet PDU follows: Layer = 2, Protocol = LLC\n"), std::string::npos);
  std::string trailer = decode(4, 2, 2, frame8023(40, 60));
  EXPECT_NE(trailer.find("+802.3: Length = 40\n\tNB: PDU length adjusted down by 6, to 54\n"), std::string::npos)
      << trailer;
  EXPECT_NE(trailer.find("\n40-octet PDU follows: Layer = 2, Protocol = LLC\n"), std::string::npos);
  EXPECT_NE(decode(4, 2, 2, frame8023(1501, 60)).find("+802.3: Length = 1501 *ERROR*\n"), std::string::npos);
  EXPECT_EQ(decode(2, 2, 2, frame8023(40, 60)), "802.3; LLC.U; data=37; \n");
  EXPECT_EQ(decode(3, 2, 2, frame8023(40, 60)),
            "802.3: 08:00:20:0A:0B:0C -> 00:11:22:33:44:55; LLC.U: 42 -> 42; data=37; \n");
}

TEST_F(PanLink, Raw8023CarriesIpx) {
  bytes f = cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 30), bytes{0xFF, 0xFF}, bytes(28, 1)});
  EXPECT_EQ(decode(2, 2, 2, f), "802.3; IPX (30); \n");
  std::string out = decode(4, 2, 2, f);
  EXPECT_NE(out.find("Layer = 3, Protocol = IPX\n\n+IPX: packet dump follows:\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("LLC"), std::string::npos);
}

TEST_F(PanLink, LlcSnapToIp) {
  bytes ip = ipv4_hdr("10.0.0.1", "10.0.0.2", 200, 0);
  bytes f = cat({hexbytes("aa aa 03 00 00 00 08 00"), ip});
  kav_pktctx ctx;
  EXPECT_EQ(decode(2, 2, 7, f, 0, &ctx), "LLC.U; SNAP; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; \n");
  EXPECT_EQ(ctx.llckind, 8u);
  EXPECT_EQ(ctx.llcdsap, 0xAAu);
  EXPECT_EQ(ctx.llcctl, 3u);
  EXPECT_EQ(ctx.snapoui, 0u);
  EXPECT_EQ(ctx.ethtype, 0x0800u);
  std::string out = decode(4, 2, 7, f);
  EXPECT_NE(out.find("+LLC: Source SAP = 0xAA (SNAP)\n+LLC: Dest SAP = 0xAA (SNAP)\n+LLC: Control = 0x03\n\t"
                     "Unnumbered frame - UI: Poll/Final=Off\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("+SNAP: OUI = 0 (0x000000) ... Ethertype\n+SNAP: Protocol ID = 2048 (0x0800) ... IP\n"),
            std::string::npos)
      << out;
}

TEST_F(PanLink, LlcNlpidIp) {
  bytes ip = ipv4_hdr("10.0.0.1", "10.0.0.2", 200, 0);
  bytes f = cat({hexbytes("fe fe 03 cc"), ip});
  EXPECT_EQ(decode(1, 2, 7, f), "IP: 10.0.0.1 -> 10.0.0.2; \n");
  kav_pktctx ctx;
  decode(2, 2, 7, f, 0, &ctx);
  EXPECT_EQ(ctx.llckind, 1u);
}

TEST_F(PanLink, LlcFrameFormats) {
  // Information frame: N(S)=5, N(R)=9, poll set.
  std::string i = decode(4, 2, 7, hexbytes("04 05 0a 13 77"));
  EXPECT_NE(i.find("+LLC: Control = 0x0A13\n\tInformation frame: N(S)=5, N(R)=9, Poll=On\n"), std::string::npos) << i;
  EXPECT_NE(i.find("+LLC: Source SAP = 0x05 (<0x5>)\n+LLC: Dest SAP = 0x04 (SNA Path Control)\n"), std::string::npos);
  // Supervisory REJ, N(R)=3.
  std::string s = decode(4, 2, 7, hexbytes("f0 f0 09 06"));
  EXPECT_NE(s.find("+LLC: Control = 0x0906\n\tSupervisory frame - REJ: N(R)=3, Poll/Final=Off\n"), std::string::npos)
      << s;
  // Unnumbered XID response (C/R bit in the SSAP) with P/F set, and TEST command.
  EXPECT_NE(decode(4, 2, 7, hexbytes("00 01 bf")).find("Unnumbered frame - XID response: Poll/Final=On\n"),
            std::string::npos);
  EXPECT_NE(decode(4, 2, 7, hexbytes("00 00 e3")).find("Unnumbered frame - TEST command: Poll/Final=Off\n"),
            std::string::npos);
  EXPECT_NE(decode(4, 2, 7, hexbytes("00 00 7f")).find("Unnumbered frame - SABME: Poll/Final=On\n"),
            std::string::npos);
  EXPECT_EQ(decode(2, 2, 7, hexbytes("f0 f0 09 06")), "LLC.S; \n");
  EXPECT_EQ(decode(2, 2, 7, hexbytes("f0 f0")), "*LLC.I; \n");
  EXPECT_NE(decode(4, 2, 7, hexbytes("f0 f0 00")).find("WARNING: LLC header is truncated (by 1 bytes)\n"),
            std::string::npos);
}

TEST_F(PanLink, SnapBridgedAndUnknownOui) {
  std::string b = decode(4, 2, 8, hexbytes("00 80 c2 00 07 01 02"));
  EXPECT_NE(b.find("+SNAP: OUI = 32962 (0x0080C2) ... 802.1\n+SNAP: Protocol ID = 7 (0x0007) ... 802.3\n"),
            std::string::npos)
      << b;
  EXPECT_NE(b.find("Layer = 2, Protocol = 802.3\n"), std::string::npos);
  std::string u = decode(4, 2, 8, hexbytes("12 34 56 00 01 09"));
  EXPECT_NE(u.find("+SNAP: OUI = 1193046 (0x123456)\n+SNAP: Protocol ID = 1 (0x0001)\n"), std::string::npos) << u;
  EXPECT_EQ(decode(2, 2, 8, hexbytes("00 00")), "*SNAP; \n");
}

TEST_F(PanLink, Fddi) {
  bytes f = cat({hexbytes("50 00 11 22 33 44 55 08 00 20 0a 0b 0c 00"), hexbytes("42 42 03 99")});
  EXPECT_EQ(decode(2, 2, 6, f), "FDDI: <50> ; LLC.U; data=1; \n");
  EXPECT_EQ(decode(3, 2, 6, f), "FDDI: <50> 08:00:20:0A:0B:0C -> 00:11:22:33:44:55; LLC.U: 42 -> 42; data=1; \n");
  std::string out = decode(4, 2, 6, f);
  EXPECT_NE(out.find("+FDDI: FC = Async LLC <0x50>\n+FDDI: Source Addr = 08:00:20:0A:0B:0C\n"
                     "+FDDI: Dest Addr = 00:11:22:33:44:55\n"),
            std::string::npos)
      << out;
  bytes smt = cat({hexbytes("41 00 11 22 33 44 55 08 00 20 0a 0b 0c 00"), bytes{7}});
  EXPECT_NE(decode(4, 2, 6, smt).find("+FDDI: FC = SMT Info <0x41>\n"), std::string::npos);
  EXPECT_EQ(decode(2, 2, 6, smt), "FDDI: <41> ; data=1; \n");  // not LLC: nothing decodable follows
  EXPECT_NE(decode(4, 2, 6, bytes{0x50}).find("WARNING: FDDI header is truncated (by 13 bytes)\n"), std::string::npos);
}

TEST_F(PanLink, Ppp) {
  bytes ip = ipv4_hdr("10.0.0.1", "10.0.0.2", 200, 0);
  bytes f = cat({hexbytes("ff 03 00 21"), ip});
  EXPECT_EQ(decode(2, 2, 9, f), "PPP; IP: 10.0.0.1 -> 10.0.0.2 <DF,LAST>, id=1.0; \n");
  std::string out = decode(4, 2, 9, f);
  EXPECT_NE(out.find("+PPP: Addr = 0xFF\n+PPP: Control = 0x03\n+PPP: Type = 0x0021 (IP)\n"
                     "\tDARPA protocols require Addr=0xFF, Control=03\n"),
            std::string::npos)
      << out;
  EXPECT_NE(decode(4, 2, 9, hexbytes("ff 03 c0 21 01")).find("+PPP: Type = 0xC021 (PPP-LCP)\n"), std::string::npos);
  EXPECT_NE(decode(4, 2, 9, hexbytes("ff 03 80 57 01")).find("+PPP: Type = 0x8057 (<0x8057>)\n"), std::string::npos);
  EXPECT_EQ(decode(2, 2, 9, hexbytes("ff 03")), "*PPP; \n");
}

TEST_F(PanLink, NamesOfCodesAndTypes) {
  EXPECT_STREQ(kav_l2proto2nam(6), "FDDI");
  EXPECT_STREQ(kav_l2proto2nam(12), "PPPoE Discovery");
  EXPECT_STREQ(kav_l2proto2nam(14), "<14>");
  EXPECT_STREQ(ethtyp2nam(0x1005), "Berkeley Trailer-Encapsulated IP");
  EXPECT_STREQ(ethtyp2nam(0x888E), "802.1x EAP");
  EXPECT_STREQ(ethtyp2nam(0x1234), "<0x1234>");
}

}  // namespace
