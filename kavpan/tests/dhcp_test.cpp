// DHCP/BOOTP with options, and RIP versions 1 and 2.
#include <gtest/gtest.h>

#include "panapp.h"
#include "pkt_helpers.h"

namespace {

class PanDhcp : public DecoderTest<4> {};

std::string dhcp(int vb, const bytes &m) { return app_out(vb, parse_dhcp_msg, m); }
std::string rip(int vb, const bytes &m) { return app_out(vb, parse_rip_msg, m); }

// The 240-octet fixed part with the standard cookie, then the options.
bytes bootp(unsigned op, const bytes &opts, bool cookie = true) {
  bytes b(240, 0);
  b[0] = (unsigned char)op;
  b[1] = 1;
  b[2] = 6;
  put32(b, 4, 0x3903F326);
  put16(b, 10, 0x8000);
  if (op == 2) {
    put32(b, 16, 0xC0A80064);  // 192.168.0.100
    put32(b, 20, 0xC0A80001);
  }
  const unsigned char mac[6] = {0x00, 0x0b, 0x82, 0x01, 0xfc, 0x42};
  memcpy(&b[28], mac, 6);
  if (cookie) put32(b, 236, 0x63825363);
  return cat({b, opts});
}

bytes discover() {
  return bootp(1, hexbytes("35 01 01"                     // DHCP Message Type: DISCOVER
                           "3d 07 01 00 0b 82 01 fc 42"   // Client ID
                           "32 04 00 00 00 00"            // Requested IP Address
                           "37 04 01 03 06 2a"            // Parameter Request List
                           "0c 03 62 6f 62"               // Client Hostname "bob"
                           "00"                           // pad
                           "ff 00 00"));                  // end, then padding
}

bytes offer() {
  return bootp(2, hexbytes("35 01 02"                    // OFFER
                           "01 04 ff ff ff 00"           // Subnet Mask
                           "3a 04 00 00 07 08"           // Renewal Time 1800
                           "33 04 00 00 0e 10"           // Lease Time 3600
                           "36 04 c0 a8 00 01"           // Server Identifier
                           "03 04 c0 a8 00 01"           // Routers
                           "06 08 c0 a8 00 01 08 08 08 08"  // DNS Servers
                           "ff"));
}

const char *kFixed =
    "+DHCP: Hardware Type = 1 (Ethernet)\n"
    "+DHCP: Hardware Address Length = 6\n"
    "+DHCP: Hops = 0\n"
    "+DHCP: XID = 956560166 (0x3903f326)\n"
    "+DHCP: Boot Secs = 0\n"
    "+DHCP: Unused/Flags = 32768 (0x8000)\n";

TEST_F(PanDhcp, Discover) {
  EXPECT_EQ(dhcp(2, discover()), "DHCPDISCOVER");
  EXPECT_EQ(dhcp(4, discover()),
            std::string("+DHCP: Op = DHCPDISCOVER Request\n") + kFixed +
                "+DHCP: \"My\" IP Address (ciaddr) = 0.0.0.0\n"
                "+DHCP: Client IP Address (yiaddr) = 0.0.0.0\n"
                "+DHCP: Next-step Server IP Address (siaddr) = 0.0.0.0\n"
                "+DHCP: Relay IP Address (giaddr) = 0.0.0.0\n"
                "+DHCP: Client Hardware Address = <00:0B:82:01:FC:42>\n"
                "+DHCP: Server Hostname = \n"
                "+DHCP: Boot Filename = \n"
                "+DHCP: Standard magic cookie: 63:82:53:63\n"
                "\t33 bytes of options follow:\n"
                "+DHCP: DHCP Message Type <53>: DHCPDISCOVER\n"
                "+DHCP: Client ID <61>: Type = 1, Value = 00:0B:82:01:FC:42\n"
                "+DHCP: Requested IP Address <50>: 0.0.0.0\n"
                "+DHCP: Parameter Request List <55>: 4 listed\n"
                "\t1: Subnet Mask <1>\n\t2: Routers <3>\n\t3: DNS Servers <6>\n\t4: NTP Servers <42>\n"
                "+DHCP: Client Hostname <12>: [bob]\n"
                "+DHCP: PAD <0>: \n"
                "+DHCP: END <255>: \n");
}

TEST_F(PanDhcp, OfferThroughTheChain) {
  std::string o = l4_out(2, false, 67, 68, offer());
  EXPECT_EQ(o, "UDP: 67->68; data=284 [DHCPOFFER]; \n");
  o = dhcp(4, offer());
  EXPECT_NE(o.find("+DHCP: Op = DHCPOFFER Response\n"), std::string::npos);
  EXPECT_NE(o.find("+DHCP: Client IP Address (ciaddr) = 0.0.0.0\n+DHCP: \"Your\" IP Address (yiaddr) = 192.168.0.100\n"
                   "+DHCP: Next-step Server IP Address (siaddr) = 192.168.0.1\n"),
            std::string::npos);
  EXPECT_NE(o.find("\t44 bytes of options follow:\n"
                   "+DHCP: DHCP Message Type <53>: DHCPOFFER\n"
                   "+DHCP: Subnet Mask <1>: 0xFFFFFF00\n"
                   "+DHCP: IP Renewal Time <58>: 1800\n"
                   "+DHCP: IP Address Lease Time <51>: 3600\n"
                   "+DHCP: Server Identifier <54>: 192.168.0.1\n"
                   "+DHCP: Routers <3>: 1 listed\n\t1: 192.168.0.1\n"
                   "+DHCP: DNS Servers <6>: 2 listed\n\t1: 192.168.0.1\n\t2: 8.8.8.8\n"
                   "+DHCP: END <255>: \n"),
            std::string::npos)
      << o;
}

TEST_F(PanDhcp, BootpReplyWithoutMessageType) {
  bytes b = bootp(2, bytes(60, 0));
  ASSERT_EQ(b.size(), 300u);
  EXPECT_EQ(dhcp(2, b), "BOOTP Response");
  EXPECT_EQ(dhcp(4, b).substr(0, 27), "+BOOTP: Op = Response\n+BOOT");
  b[0] = 7;
  EXPECT_EQ(dhcp(1, b), "BOOTP ILLEGAL <7>");
  bytes nc = bootp(1, hexbytes("ff"), false);
  EXPECT_NE(dhcp(4, nc).find("+BOOTP: Non-standard magic cookie: 00:00:00:00\n"), std::string::npos);
}

TEST_F(PanDhcp, LengthErrorsAndOddOptions) {
  std::string o = dhcp(4, bootp(1, hexbytes("01 05 ff ff ff 00 01"
                                            "02 04 ff ff ff c4"          // UTC offset -60
                                            "19 06 02 40 05 dc 0f d2"    // plateau table
                                            "21 08 0a 00 00 00 0a 00 00 fe"  // static route
                                            "15 08 0a 00 00 00 ff 00 00 00"  // policy filter
                                            "2e 01 08"                   // H-node
                                            "2b 07 01 02 aa bb 00 ff 09"  // vendor sub-options
                                            "13 01 01"                   // IP forwarding
                                            "0d 02 00 10"                // boot file size
                                            "3c 03 61 62 63"             // class id
                                            "c8 02 41 42"                // unrecognised
                                            "ff")));
  EXPECT_NE(o.find("+BOOTP: Subnet Mask <1>: ERROR: length=5\n0xFFFFFF0001\n"), std::string::npos) << o;
  EXPECT_NE(o.find("+BOOTP: UTC offset <2>: -60 ()\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: Path-MTU Plateau Table <25>: 3 listed: 576, 1500, 4050\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: Static IP Routes<33>: 1 listed\n\t1: Dest = 10.0.0.0, Router = 10.0.0.254\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: Policy Filters <21>: 1 listed\n\t1: Dest = 10.0.0.0, Mask = 0xFF000000\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: NetBIOS/TCPIP Node Type <46>: H-node <8>\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: Vendor-Specific Info <43>: Vendor options follow:\n"
                   "+BOOTP:\t\tCode=1, Len=2, Dump=AA:BB\n+BOOTP:\t\tCode = PAD\n+BOOTP:\t\tCode = END\n"
                   "+BOOTP: IP Forwarding Enabled <19>: Yes\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("+BOOTP: Boot File Size <13>: 16 512-octet blocks\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: Class ID <60>: 61:62:63\n"), std::string::npos);
  EXPECT_NE(o.find("+BOOTP: <200>: Unrecognised 2-octet option:\n\tDisplaying as a number: 16706\n"
                   "\tDisplaying as a string: [AB]\n\tOctet dump: [41:42]\n"),
            std::string::npos);
}

TEST_F(PanDhcp, OverloadedFieldsArePrinted) {
  bytes b = bootp(1, hexbytes("35 01 03 34 01 03 ff"));
  bytes sname = hexbytes("0c 02 68 69 ff");  // Client Hostname "hi" in the server host name field
  std::copy(sname.begin(), sname.end(), b.begin() + 44);
  std::string o = dhcp(4, b);
  EXPECT_NE(o.find("+DHCP: Option Overload <52>: 'Boot Filename' and 'Server Hostname' fields\n"
                   "+DHCP: END <255>: \n\tPrinting Overload Options\n+DHCP: Client Hostname <12>: [hi]\n"
                   "+DHCP: END <255>: \n"),
            std::string::npos)
      << o;
}

TEST_F(PanDhcp, HostileLengths) {
  // An option running past the message, a hardware length of 255.
  bytes b = bootp(1, hexbytes("35 01 01 0c 40 41 42"));
  b[2] = 255;
  std::string o = dhcp(4, b);
  EXPECT_NE(o.find("+DHCP: Client Hardware Address = <00:0B:82:01:FC:42:00:00:00:00:00:00:00:00:00:00>\n"),
            std::string::npos);
  EXPECT_NE(o.find("+DHCP: Client Hostname <12>: ERROR: length=64 runs past the end of the options (2 octets left)\n"),
            std::string::npos)
      << o;
  // Every truncated copy of a discover decodes; short ones say so.
  bytes full = discover();
  for (size_t n = 0; n < full.size(); n++) {
    bytes cut(full.begin(), full.begin() + long(n));
    std::string t = dhcp(4, cut);
    if (n > 0 && n < 240) {
      EXPECT_NE(t.find("message truncated (" + std::to_string(n) + " of 240 fixed octets)"), std::string::npos) << n;
    }
    EXPECT_FALSE(dhcp(2, cut).empty());
  }
}

bytes rip2() {
  bytes b = hexbytes("02 02 00 00");
  bytes auth = hexbytes("ff ff 00 02");
  const char pw[16] = {'s', 'e', 'c', 'r', 'e', 't'};
  auth.insert(auth.end(), pw, pw + 16);
  bytes r1 = hexbytes("00 02 00 07 0a 01 00 00 ff ff 00 00 0a 00 00 01 00 00 00 01");
  bytes r2 = hexbytes("00 02 00 00 0a 02 00 00 ff ff ff 00 00 00 00 00 00 00 00 10");
  return cat({b, auth, r1, r2});
}

TEST_F(PanDhcp, RipVersion2WithAuthentication) {
  EXPECT_EQ(l4_out(2, false, 520, 520, rip2()), "UDP: 520->520; data=64 [V2 Reply, 3 routes]; \n");
  EXPECT_EQ(rip(4, rip2()),
            "+RIP: Command = Reply <2>\n"
            "+RIP: Version = 2\n"
            "+RIP: Routing Domain = 0 (0x0000)\n"
            "+RIP: ... 3 routes follow ...\n"
            "+RIP:     -----\n"
            "+RIP: Address family = 65535\n"
            "+RIP: Route Tag (ASN) = 2 (0x0002)\n"
            "+RIP: Password = (secret)\n"
            "+RIP:     -----\n"
            "+RIP: Address family = 2 (IP)\n"
            "+RIP: Route Tag (ASN) = 7 (0x0007)\n"
            "+RIP: Advertised IP Address = 10.1.0.0\n"
            "+RIP: Subnet Mask = 4294901760 (0xFFFF0000)\n"
            "+RIP: Next Hop IP Address = 10.0.0.1\n"
            "+RIP: Metric = 1\n"
            "+RIP:     -----\n"
            "+RIP: Address family = 2 (IP)\n"
            "+RIP: Route Tag (ASN) = 0 (0x0000)\n"
            "+RIP: Advertised IP Address = 10.2.0.0\n"
            "+RIP: Subnet Mask = 4294967040 (0xFFFFFF00)\n"
            "+RIP: Next Hop IP Address = 0.0.0.0\n"
            "+RIP: Metric = 16\n");
}

TEST_F(PanDhcp, RipVersion1AndShortMessages) {
  bytes v1 = hexbytes("01 01 00 00 00 02 00 00 c0 a8 01 00 00 00 00 00 00 00 00 00 00 00 00 02");
  EXPECT_EQ(rip(2, v1), "V1 Request, 1 route");
  EXPECT_EQ(rip(4, v1),
            "+RIP: Command = Request <1>\n+RIP: Version = 1\n+RIP: Reserved-1 = 0 (0x0000)\n"
            "+RIP: ... 1 route follows ...\n+RIP:     -----\n+RIP: Address family = 2 (IP)\n"
            "+RIP: Reserved-2 = 0 (0x0000)\n+RIP: Advertised IP Address = 192.168.1.0\n"
            "+RIP: Reserved-3 = 0 (0x0000)\n+RIP: Reserved-4 = 0 (0x0000)\n+RIP: Metric = 2\n");
  v1.pop_back();  // 23 octets: no route
  EXPECT_EQ(rip(2, v1), "V1 Request, 0 routes");
  EXPECT_EQ(rip(4, hexbytes("09 03 00 01")),
            "+RIP: Command = <9> <9>\n+RIP: Version = 3 *ERROR*\n+RIP: Reserved-1 = 1 (0x0001)\n"
            "+RIP: ... 0 routes follow ...\n");
  EXPECT_EQ(rip(2, hexbytes("02 02")), "RIP truncated");
  EXPECT_EQ(rip(4, hexbytes("02")), "NB: RIP header truncated (1 octet)\n");
}

TEST_F(PanDhcp, OptionNames) {
  int e;
  EXPECT_STREQ(bopt2txt(6, &e), "DNS Servers <6>");
  EXPECT_EQ(e, -1);
  EXPECT_STREQ(bopt2txt(1, &e), "Subnet Mask <1>");
  EXPECT_EQ(e, 4);
  EXPECT_STREQ(bopt2txt(33, &e), "Static IP Routes<33>");
  EXPECT_STREQ(bopt2txt(62, &e), "<62>");
  EXPECT_STREQ(bopt2txt(255, &e), "END <255>");
}

}  // namespace
