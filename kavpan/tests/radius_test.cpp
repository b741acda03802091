// RADIUS: code names, header, authenticator and attributes of each kind,
// and packets whose attributes lie about their length.
#include <gtest/gtest.h>

#include "panapp.h"
#include "pkt_helpers.h"

namespace {

class PanRadius : public DecoderTest<4> {};

std::string radius(int vb, const bytes &m) { return app_out(vb, parse_radius_msg, m); }

// Access-Request, identifier 7: User-Name "bob", NAS-IP-Address 10.0.0.1,
// NAS-Port 3, User-Password (16 octets), and a State of length 2.
bytes request() {
  bytes h = hexbytes("01 07 00 00 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
  bytes a = hexbytes("01 05 62 6f 62"
                     "04 06 0a 00 00 01"
                     "05 06 00 00 00 03"
                     "02 12 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 00"
                     "18 02");
  bytes m = cat({h, a});
  put16(m, 2, unsigned(m.size()));
  return m;
}

bytes head() {
  bytes r = request();
  return bytes(r.begin(), r.begin() + 20);
}

const char *kAuth = "Decimal format, 16 octets per row\n0001: 000 001 002 003 004 005 006 007 008 009 010 011 012 013 014 015\n";

TEST_F(PanRadius, AccessRequest) {
  EXPECT_EQ(l4_out(2, false, 1025, 1812, request()), "UDP: 1025->1812; data=57 [Radius=Access-Request]; \n");
  EXPECT_EQ(radius(4, request()),
            std::string("+RADIUS: Code = Access-Request\n+RADIUS: Identifier = 7\n+RADIUS: Length = 57\n"
                        "+RADIUS: Authenticator follows ... ") +
                kAuth +
                "+RADIUS: Attribute 1=User-Name, Length=5\n\tValue = [bob]\n"
                "+RADIUS: Attribute 4=NAS-IP-Address, Length=6\n\tValue = 10.0.0.1 (0x100000a)\n"
                "+RADIUS: Attribute 5=NAS-Port, Length=6\n\tValue = 3 (0x3)\n"
                "+RADIUS: Attribute 2=User-Password, Length=18\n"
                "\tDecimal format, 16 octets per row\n"
                "0001: 017 034 051 068 085 102 119 136 153 170 187 204 221 238 255 000\n"
                "+RADIUS: Attribute 24=State, Length=2\n");
}

TEST_F(PanRadius, HeaderOnlyAndShortPackets) {
  bytes h = head();
  EXPECT_EQ(radius(4, h), std::string("+RADIUS: Code = Access-Request\n+RADIUS: Identifier = 7\n+RADIUS: Length = 57\n"
                                      "+RADIUS: Authenticator follows ... ") +
                              kAuth);
  EXPECT_EQ(radius(4, bytes{1, 2, 3}), "\tTruncated packet - dumping 3 bytes\nDecimal format, 16 octets per row\n0001: 001 002 003\n");
  EXPECT_EQ(radius(4, bytes{1}), "\tTruncated packet - dumping 1 byte\nDecimal format, 16 octets per row\n0001: 001\n");
  // A header cut inside the authenticator dumps what there is of it.
  EXPECT_EQ(radius(4, bytes{2, 1, 0, 20, 9, 9}),
            "+RADIUS: Code = Access-Accept\n+RADIUS: Identifier = 1\n+RADIUS: Length = 20\n"
            "+RADIUS: Authenticator follows ... Decimal format, 16 octets per row\n0001: 009 009\n");
  EXPECT_EQ(radius(2, bytes{}), "");
}

TEST_F(PanRadius, AttributeRunningPastTheEnd) {
  bytes m = cat({head(), hexbytes("01 09 62 6f 62")});
  std::string o = radius(4, m);
  EXPECT_NE(o.find("+RADIUS: Attribute 1=User-Name, Length=9\nTruncated attribute - dumping 3 bytes\n"
                   "Decimal format, 16 octets per row\n0001: 098 111 098\n"),
            std::string::npos)
      << o;
  // One octet after the last whole attribute.
  bytes one = cat({head(), hexbytes("18 02 50")});
  o = radius(4, one);
  EXPECT_NE(o.find("+RADIUS: Attribute 24=State, Length=2\nTruncated attribute - dumping 1 byte\n"), std::string::npos) << o;
  // A short address value, and an unnamed type.
  bytes odd = cat({head(), hexbytes("04 04 0a 00 11 03 01")});
  o = radius(4, odd);
  EXPECT_NE(o.find("+RADIUS: Attribute 4=NAS-IP-Address, Length=4\n\tAddress shorter than 4 octets - dumping 2 bytes\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("+RADIUS: Attribute 17=<17>, Length=3\n\tDecimal format, 16 octets per row\n0001: 001\n"), std::string::npos);
  // Every truncated copy decodes.
  bytes full = request();
  for (size_t n = 0; n < full.size(); n++) {
    bytes cut(full.begin(), full.begin() + long(n));
    EXPECT_FALSE(radius(4, cut).empty() && n > 0) << n;
    radius(2, cut);
  }
}

TEST_F(PanRadius, CodeNames) {
  EXPECT_STREQ(radius_code2nam(1), "Access-Request");
  EXPECT_STREQ(radius_code2nam(0x10B), "Access-Challenge");  // low 8 bits only
  EXPECT_STREQ(radius_code2nam(45), "CoA-NAK");
  EXPECT_STREQ(radius_code2nam(28), "<28>");
  EXPECT_EQ(radius(2, bytes{51}), "Radius=IP-Address-Release");
}

}  // namespace
