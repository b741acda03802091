// IPv6 extension headers: hop-by-hop, routing, fragment and destination
// options walked to the upper layer, the pseudo-header of the upper layer's
// checksum (its length, protocol and final destination), and cut copies.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "pkt_helpers.h"

namespace {

class PanIpv6Ext : public DecoderTest<2> {};

const char *kS = "2001:db8::1", *kD = "2001:db8::2";

// An extension header: next header, length in 8-octet units beyond the first,
// then the body (padded to a multiple of 8 with the length octet included).
bytes ext(unsigned nh, const bytes &body) {
  bytes b(2 + body.size(), 0);
  b[0] = (unsigned char)nh;
  std::copy(body.begin(), body.end(), b.begin() + 2);
  while (b.size() % 8) b.push_back(0);
  b[1] = (unsigned char)(b.size() / 8 - 1);
  return b;
}

bytes frag(unsigned nh, unsigned off, bool more, uint32_t id) {
  bytes b = {(unsigned char)nh, 0, 0, 0, 0, 0, 0, 0};
  put16(b, 2, off | (more ? 1 : 0));
  put32(b, 4, id);
  return b;
}

bytes v6(unsigned nh, const bytes &payload) { return cat({ipv6_hdr(kS, kD, nh, unsigned(payload.size())), payload}); }

TEST_F(PanIpv6Ext, HopByHopOptionsToUdp) {
  bytes u = udp_dgram(true, kS, kD, 1025, 53, bytes{1, 2, 3, 4});
  // Router alert (value 0) and a PadN filling the header to 8 octets.
  bytes hbh = cat({bytes{17, 0}, hexbytes("05 02 0000 01 00")});
  bytes f = v6(0, cat({hbh, u}));
  EXPECT_EQ(decode(2, 3, 7, f), "IPv6, ext=HOP; UDP: 1025->53; data=4 [QRY - header truncated]; \n");
  EXPECT_EQ(decode(3, 3, 7, f), "IPv6: 2001:db8::1 -> 2001:db8::2, ext=HOP; UDP: 1025->53; data=4 [QRY - header truncated]; \n");
  std::string out = decode(4, 3, 7, f);
  EXPECT_NE(out.find("+IPv6: Next header = 0 (payload=20)\n"
                     "+IPv6: Source Addr = 2001:db8::1\n"
                     "+IPv6: Dest Addr = 2001:db8::2\n"
                     "+IPv6: - Hop-by-Hop Options header (Code=0): 8 octets\n"
                     "+IPv6:   Next header = 17\n"
                     "+IPv6:   Option = Router Alert (Type=5), 2 data octets\n"
                     "+IPv6:     Value = 0\n"
                     "+IPv6:   Option = PadN (Type=1), 0 data octets\n\n"
                     "12-octet PDU follows: Layer = 4, Protocol = 17\n"),
            std::string::npos)
      << out;
  // The pseudo-header counts the UDP datagram only, with protocol 17.
  EXPECT_NE(out.find("(over 52 bytes)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("CORRUPT"), std::string::npos);
  decode_every_cut(f, 3, 7);
}

TEST_F(PanIpv6Ext, RoutingHeaderFinalDestinationInChecksum) {
  const char *finaldst = "2001:db8::99";
  bytes u = udp_dgram(true, kS, finaldst, 1025, 53, bytes{9, 9});
  bytes rh = {17, 4, 0, 1, 0, 0, 0, 0};  // type 0, one segment left, two addresses
  bytes a(32);
  inet_pton(AF_INET6, "2001:db8::50", &a[0]);
  inet_pton(AF_INET6, finaldst, &a[16]);
  bytes f = v6(43, cat({rh, a, u}));
  EXPECT_EQ(decode(2, 3, 7, f), "IPv6, ext=ROUTE; UDP: 1025->53; data=2 [DNS header truncated]; \n");  // no "!": summed to 2001:db8::99
  std::string out = decode(4, 3, 7, f);
  EXPECT_NE(out.find("+IPv6: - Routing header (Code=43): 40 octets\n"
                     "+IPv6:   Next header = 17\n"
                     "+IPv6:   Routing Type = 0, Segments Left = 1\n"
                     "+IPv6:   Address 1 = 2001:db8::50\n"
                     "+IPv6:   Address 2 = 2001:db8::99\n"),
            std::string::npos)
      << out;
  // With no segment left the header's destination is the final one: the same
  // datagram now fails its checksum.
  bytes done = f;
  done[40 + 3] = 0;
  EXPECT_EQ(decode(2, 3, 7, done), "IPv6, ext=ROUTE; !UDP: 1025->53; data=2 [DNS header truncated]; \n");
  decode_every_cut(f, 3, 7);
}

TEST_F(PanIpv6Ext, FragmentsFirstAndLater) {
  bytes u = udp_dgram(true, kS, kD, 1025, 53, bytes(24, 7));
  bytes first = v6(44, cat({frag(17, 0, true, 0x12345678), bytes(u.begin(), u.begin() + 16)}));
    // The checksum covers octets of later fragments: no verdict, no mark.
  EXPECT_EQ(decode(2, 3, 7, first), "IPv6, ext=FRAG <MORE>, id=305419896.0; UDP: 1025->53; data=8 [QRY - header truncated]; \n");
  std::string out = decode(4, 3, 7, first);
  EXPECT_NE(out.find("+IPv6: - Fragment header (Code=44): 8 octets\n"
                     "+IPv6:   Next header = 17\n"
                     "+IPv6:   Fragment Offset = 0 (0x0000) -> 0 octets\n"
                     "+IPv6:   Flags = <More Fragments> (0x1)\n"
                     "+IPv6:   Identification = 305419896 (0x12345678)\n\n"
                     "16-octet PDU follows: Layer = 4, Protocol = 17\n"),
            std::string::npos)
      << out;
  // A later fragment carries no transport header: its payload is data.
  bytes later = v6(44, cat({frag(17, 16, false, 0x12345678), bytes(u.begin() + 16, u.end())}));
  EXPECT_EQ(decode(2, 3, 7, later), "IPv6, ext=FRAG <LAST>, id=305419896.16; data=16; \n");
  out = decode(4, 3, 7, later);
  EXPECT_NE(out.find("+IPv6:   Fragment Offset = 2 (0x0002) -> 16 octets\n"
                     "+IPv6:   Flags = <Last Fragment> (0x0)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("16-octet PDU follows: Layer = 4, Protocol = 4294967295\n\n16 Data octets follow:\n"),
            std::string::npos)
      << out;
  decode_every_cut(first, 3, 7);
  decode_every_cut(later, 3, 7);
}

TEST_F(PanIpv6Ext, ChainOfFourToTcp) {
  bytes t = tcp_seg(true, kS, kD, 1025, 80, 1000, 0, 0x02, 8192, {}, {});
  // HOP -> ROUTE (segment routing, nothing left) -> DEST -> FRAG -> TCP.
  bytes hop = ext(43, hexbytes("01 04 00000000"));
  bytes route = ext(60, bytes{4, 0, 0, 0, 0, 0});
  bytes dest = ext(44, hexbytes("01 04 00000000"));
  bytes f = v6(0, cat({hop, route, dest, frag(6, 0, false, 1), t}));
  EXPECT_EQ(decode(2, 3, 7, f),
            "IPv6, ext=HOP,ROUTE,DEST,FRAG <LAST>, id=1.0; TCP: 1025->80 <SYN>, seq=1000-1000, ack=0, win=8192; \n");
  EXPECT_EQ(decode(4, 3, 7, f).find("CORRUPT"), std::string::npos);
  decode_every_cut(f, 3, 7);
}

TEST_F(PanIpv6Ext, CutExtensionHeaderStopsTheWalk) {
  // The hop-by-hop header claims 16 octets; the datagram holds 10.
  bytes f = v6(0, hexbytes("11 01 01 00 00 00 00 00 00 00"));
  // What it holds of its fixed fields is still shown.
  EXPECT_EQ(decode(2, 3, 7, f), "IPv6*, ext=HOP; \n");
  EXPECT_NE(decode(4, 3, 7, f).find("WARNING: IPv6 Hop-by-Hop Options header is truncated (by 6 bytes)\n"
                                    "+IPv6: - Hop-by-Hop Options header (Code=0): 16 octets\n"
                                    "+IPv6:   Next header = 17\n"),
            std::string::npos);
  bytes r = v6(43, hexbytes("11 02 00 01 00 00"));
  EXPECT_NE(decode(4, 3, 7, r).find("+IPv6:   Next header = 17\n+IPv6:   Routing Type = 0, Segments Left = 1\n"),
            std::string::npos);
  // An option running past its header.
  bytes g = v6(60, cat({ext(59, hexbytes("05 09 00 00")), bytes{}}));
  EXPECT_NE(decode(4, 3, 7, g).find("\tOption data truncated\n"), std::string::npos);
}

}  // namespace
