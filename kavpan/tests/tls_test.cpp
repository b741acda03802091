// SSL/TLS records: opt-in decoding, record headers, alerts, change cipher
// spec, hellos, certificates, and truncated records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "panapp.h"
#include "pkt_helpers.h"

namespace {

class PanTls : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoders(4);
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("KAV_SSL_PARSE", "Y", 1);
  }
  void TearDown() override {
    unsetenv("KAV_SSL_PARSE");
    reset_decoders(2);
  }
};

std::string tls(int vb, const bytes &m) { return app_out(vb, parse_ssl_msg, m); }

// A record of content type ct around body.
bytes record(unsigned ct, unsigned minor, const bytes &body) {
  bytes h{(unsigned char)ct, 3, (unsigned char)minor, 0, 0};
  put16(h, 3, unsigned(body.size()));
  return cat({h, body});
}
bytes handshake(unsigned type, const bytes &body) {
  bytes h{(unsigned char)type, 0, 0, 0};
  h[1] = (unsigned char)(body.size() >> 16);
  put16(h, 2, unsigned(body.size() & 0xFFFF));
  return cat({h, body});
}
bytes random28() {
  bytes r(28);
  for (int i = 0; i < 28; i++) r[size_t(i)] = (unsigned char)i;
  return r;
}

bytes client_hello() {
  return record(22, 1,
                handshake(1, cat({hexbytes("03 03 5f 5e 10 00"), random28(),
                                  hexbytes("00"                    // no session id
                                           "00 06 00 2f 00 05 ff 01"  // three suites
                                           "01 00"                 // null compression
                                           "00 05 00 00 00 01 00")})));  // extensions
}

bytes server_hello() {
  bytes sid(4, 0xab);
  return record(22, 3, handshake(2, cat({hexbytes("03 03 00 00 00 3c"), random28(), hexbytes("04"), sid,
                                         hexbytes("00 05 00")})));
}

bytes certificate() {
  return record(22, 3, handshake(11, hexbytes("00 00 0d"            // list of 13 octets
                                              "00 00 05 30 03 02 01 05"  // a 5-octet certificate
                                              "00 00 02 30 00")));       // and a 2-octet one
}

const char *kRec =
    "*** WARNING *** The following fields are parsed on the assumption that they are neither compressed nor "
    "encrypted. This is only true at the start of an SSL session, so thereafter, any annotation will be spurious. "
    "SSL v3 is also assumed.\n";
const char *kRandom =
    "Decimal format, 16 octets per row\n0001: 000 001 002 003 004 005 006 007 008 009 010 011 012 013 014 015"
    "\n0002: 016 017 018 019 020 021 022 023 024 025 026 027\n";

TEST_F(PanTls, ClientHello) {
  EXPECT_EQ(tls(4, client_hello()),
            std::string("+SSLv3-REC: Content-Type = 22 (handshake)\n+SSLv3-REC: Protocol-Version = 3.1\n"
                        "+SSLv3-REC: Length = 56\n") +
                kRec +
                "+SSL-SHAKE: Message-Type = 1 (Client-Hello)\n+SSL-SHAKE: Length = 52\n"
                "+SSL-C-HELLO: Protocol-Version = 3.3\n"
                "+SSL-C-HELLO: Unix time = 1600000000 (2020/09/13 - 12:26:40)\n"
                "+SSL-C-HELLO: No Session-ID\n"
                "+SSL-C-HELLO: 3 Cipher Suites follow:\n"
                "+SSL-C-HELLO:\t0x00,0x2f (-)\n+SSL-C-HELLO:\t0x00,0x05 (SSL_RSA_WITH_RC4_128_SHA)\n"
                "+SSL-C-HELLO:\t0xff,0x01 (private)\n"
                "+SSL-C-HELLO: 1 Compression Method follows:\n+SSL-C-HELLO:\t0 (Null)\n"
                "+SSL-C-HELLO: The 28 random bytes follow:\n" +
                kRandom + "SSL: 7 bytes follow:\nDecimal format, 16 octets per row\n0001: 000 005 000 000 000 001 000\n");
  EXPECT_EQ(tls(2, client_hello()), "");
  EXPECT_NE(l4_out(2, true, 1025, 443, client_hello()).find("data=61 []; \n"), std::string::npos);
}

TEST_F(PanTls, ServerHelloAndCertificate) {
  std::string o = tls(4, server_hello());
  EXPECT_NE(o.find("+SSL-SHAKE: Message-Type = 2 (Server-Hello)\n+SSL-SHAKE: Length = 42\n"
                   "+SSL-S-HELLO: Protocol-Version = 3.3\n+SSL-S-HELLO: Unix time = 60 (1970/01/01 - 00:01:00)\n"
                   "+SSL-S-HELLO: 4-byte Session-ID = ab:ab:ab:ab\n"
                   "+SSL-S-HELLO: 1 Cipher Suite follows:\n+SSL-S-HELLO:\t0x00,0x05 (SSL_RSA_WITH_RC4_128_SHA)\n"
                   "+SSL-S-HELLO: 1 Compression Method follows:\n+SSL-S-HELLO:\t0 (Null)\n"
                   "+SSL-S-HELLO: The 28 random bytes follow:\n"),
            std::string::npos)
      << o;
  EXPECT_EQ(o.find("SSL: "), std::string::npos);  // nothing left over
  o = tls(4, certificate());
  EXPECT_NE(o.find("+SSL-SHAKE: Message-Type = 11 (Certificate)\n+SSL-SHAKE: Length = 16\n"
                   "+SSL-CERT: 2 Certificates follow:\n"
                   "+SSL-CERT: - Certificate 1 (5 octets):\n"
                   "X509CERT: {Universal (C), Tag=16 (Sequence), Len=1:1:3, Seq=0.0\n"
                   "X509CERT:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0\n"
                   "X509CERT:     5 (0x5)\nX509CERT:   }\nX509CERT: }\n"
                   "+SSL-CERT: - Certificate 2 (2 octets):\n"
                   "X509CERT: {Universal (C), Tag=16 (Sequence), Len=1:1:0, Seq=0.0}\n"),
            std::string::npos)
      << o;
  EXPECT_EQ(o.find("SSL: "), std::string::npos);
}

TEST_F(PanTls, AlertChangeCipherSpecAndOthers) {
  std::string o = tls(4, record(21, 3, hexbytes("02 28")));
  EXPECT_NE(o.find(std::string(kRec) + "SSL-ALERT: Level = 2 (fatal)\nSSL-ALERT: Description = 40 (handshake-failure)\n"),
            std::string::npos);
  bytes ccs = record(20, 3, hexbytes("01"));
  ASSERT_EQ(ccs.size(), 6u);
  o = tls(4, ccs);
  EXPECT_EQ(o.substr(o.size() - 31), ".\nSSL-CHANGE-CIPHER: Value = 1\n");
  o = tls(4, record(23, 3, hexbytes("aa bb")));
  EXPECT_NE(o.find("(application-data)"), std::string::npos);
  EXPECT_NE(o.find(std::string(kRec) + "SSL: 2 bytes follow:\n"), std::string::npos);
  o = tls(4, record(22, 3, handshake(14, {})));
  EXPECT_NE(o.find("+SSL-SHAKE: Message-Type = 14 (Server-Hello-Done)\n+SSL-SHAKE: Length = 0\n"
                   "+SSL-S-HELLODONE: Null Message:\n"),
            std::string::npos);
  o = tls(4, record(22, 3, handshake(16, hexbytes("00 02 01 02"))));
  EXPECT_NE(o.find("+SSL-SHAKE: Message-Type = 16 (Client-Key-Exchange)\n+SSL-SHAKE: Length = 4\nSSL: 4 bytes follow:\n"),
            std::string::npos)
      << o;
  o = tls(4, record(22, 3, handshake(13, hexbytes("02 01 14 00 04 00 02 30 00"))));
  EXPECT_NE(o.find("+SSL-CERTREQ: 2 Certificate Types follow:\n+SSL-CERTREQ:\t1 (rsa_sign)\n"
                   "+SSL-CERTREQ:\t20 (fortezza_kea)\n+SSL-CERTREQ: 1 Distinguished Name follows:\n"
                   "+SSL-CERTREQ: - Distinguished Name 1 (2 octets):\n"),
            std::string::npos)
      << o;
}

TEST_F(PanTls, Version2Record) {
  std::string o = tls(4, hexbytes("80 2e 01 00 02"));
  EXPECT_EQ(o, "+SSLv2-REC: Length = 46 (2 bytes)\n+SSLv2-REC: Handshake message would be Client-Hello\n"
               "+SSLv2-REC: Dumping entire SSL record\nDecimal format, 16 octets per row\n0001: 128 046 001 000 002\n");
  o = tls(4, hexbytes("00 10 00 04"));
  EXPECT_NE(o.find("+SSLv2-REC: Length = 16 (3 bytes)\n+SSLv2-REC: Handshake message would be Server-Hello\n"),
            std::string::npos);
  EXPECT_NE(tls(4, hexbytes("80")).find("would be -\n"), std::string::npos);
}

TEST_F(PanTls, TruncatedCopiesStopWithTheNote) {
  for (const bytes &full : {client_hello(), server_hello(), certificate()}) {
    for (size_t n = 1; n < full.size(); n++) {
      bytes cut(full.begin(), full.begin() + long(n));
      std::string o = tls(4, cut);
      if (n < 5)
        EXPECT_NE(o.find("+SSLv3-REC: Record header truncated\n"), std::string::npos) << n;
      else
        EXPECT_NE(o.find("+SSLv3-REC: Record truncated ("), std::string::npos) << n;
    }
  }
  bytes ch = client_hello();
  std::string o = tls(4, bytes(ch.begin(), ch.begin() + 20));
  EXPECT_EQ(o.substr(o.size() - 29), "+SSL-SHAKE:\tPACKET TRUNCATED\n");
  // A suite list longer than the message.
  o = tls(4, record(22, 3, handshake(1, cat({hexbytes("03 03 00 00 00 00"), random28(), hexbytes("00 ff fe 00 05")}))));
  EXPECT_NE(o.find("+SSL-C-HELLO: 32767 Cipher Suites follow:\n+SSL-C-HELLO:\t0x00,0x05 (SSL_RSA_WITH_RC4_128_SHA)\n"
                   "+SSL-SHAKE:\tPACKET TRUNCATED\n"),
            std::string::npos)
      << o;
}

TEST_F(PanTls, DumpOnlyUnlessEnabled) {
  unsetenv("KAV_SSL_PARSE");
  kav_ssl_reset();
  bytes hundred = cat({client_hello(), bytes(39, 0)});
  ASSERT_EQ(hundred.size(), 100u);
  std::string o = tls(4, hundred);
  EXPECT_EQ(o.substr(0, 56), "SSL: 100 bytes follow:\nDecimal format, 16 octets per row");
  EXPECT_EQ(tls(4, bytes{7}), "SSL: 1 byte follows:\nDecimal format, 16 octets per row\n0001: 007\n");
  // Settled once: enabling it later changes nothing.
  setenv("KAV_SSL_PARSE", "y", 1);
  EXPECT_EQ(tls(4, bytes{7}).substr(0, 21), "SSL: 1 byte follows:\n");
  EXPECT_EQ(tls(4, bytes{}), "");
}

}  // namespace
