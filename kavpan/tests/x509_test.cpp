// X.509 certificates and revocation lists, made with openssl at test time,
// through the BER walker's X.509 schema and the OID names of the shipped map.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ber_helpers.h"
#include "panapp.h"
#include "testsupport.h"

namespace {

class X509 : public DecoderTest<4> {
 protected:
  // A self-signed CA certificate (DER in cert.der, PEM in cert.pem, key in key.pem).
  bool make_cert() {
    // PrintableString names where they fit (the default nowadays is UTF8String).
    return sh("cd '" + dir_ +
              "' && printf '[req]\\ndistinguished_name=dn\\nstring_mask=default\\n[dn]\\n' > req.cnf && "
              "openssl req -config req.cnf -x509 -newkey rsa:1024 -nodes -keyout key.pem -out cert.pem -days 2 -sha256 "
              "-subj '/CN=velmora test/O=Velmora' -addext 'basicConstraints=critical,CA:TRUE' >/dev/null 2>&1 "
              "&& openssl x509 -in cert.pem -outform DER -out cert.der") == 0;
  }
  // A CRL by that CA revoking one other certificate.
  bool make_crl() {
    const char *cnf =
        "[ca]\ndefault_ca = d\n[d]\ndatabase = index.txt\ncrlnumber = crlnumber\ndefault_md = sha256\n"
        "default_crl_days = 7\ncertificate = cert.pem\nprivate_key = key.pem\n";
    return make_cert() &&
           sh("cd '" + dir_ + "' && touch index.txt && echo 01 > crlnumber && printf '" + cnf +
              "' > ca.cnf && openssl req -config req.cnf -x509 -newkey rsa:1024 -nodes -keyout k2.pem -out other.pem -days 2 "
              "-subj '/CN=revoked' >/dev/null 2>&1 && openssl ca -config ca.cnf -revoke other.pem "
              ">/dev/null 2>&1 && openssl ca -config ca.cnf -gencrl -out crl.pem >/dev/null 2>&1 && "
              "openssl crl -in crl.pem -outform DER -out crl.der") == 0;
  }
  vts::TempDir tmp_;
  std::string dir_ = tmp_.path();
};

TEST_F(X509, SelfSignedCertificate) {
  VTS_REQUIRE(vts::have_tool("openssl"), "openssl not installed");
  ASSERT_TRUE(make_cert());
  oid_dir map(shipped_oids_map());
  bytes der = read_file(dir_ + "/cert.der");
  ASSERT_GT(der.size(), 100u);
  int used = 0;
  std::string out = walk(4, der, 5, -4, "X509", &used);
  EXPECT_EQ(used, int(der.size()));
  EXPECT_TRUE((in_order(out, {"X509: {Universal (C), Tag=16 (Sequence)", "  -- signed object\n",
                 "{Context-Specific (C), Tag=0", "  -- version\n", "  -- number\n", "2 (0x2)  -- v3 (1997)\n",
                 "  -- serialNumber\n", "  -- signature\n", "  -- algorithm\n", "sha256WithRSAEncryption\n",
                 "  -- issuer\n", "  -- RelativeDistinguishedName\n", "  -- name-attribute\n", "  -- type\n",
                 "commonName\n", "  -- value\n", "velmora test\n", "organizationName\n", "  -- validity\n",
                 "  -- notBefore\n", "  -- notAfter\n", "  -- subject\n", "  -- subjectPublicKeyInfo\n",
                 "rsaEncryption\n", "  -- publicKey\n", "  -- extensions\n", "  -- extensions-list\n",
                 "  -- extension\n", "  -- extensionID\n", "basicConstraints\n", "  -- critical\n",
                 "True (0xff)\n", "  -- value\n", "  -- algorithmID\n", "  -- encryptedHash\n"})));
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("ETRAP"), std::string::npos) << out;
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  // The pseudo code for revocation lists reads the same octets as a CRL, and
  // outside layer 5 (certificates inside TLS) there is no schema at all.
  EXPECT_EQ(walk(4, der, 0, -4, "X509CERT").find("  -- "), std::string::npos);
  EXPECT_EQ(walk(2, der, 5, -4, "X509"), "");
}

TEST_F(X509, CertificateInsideTlsHasNoSchema) {
  VTS_REQUIRE(vts::have_tool("openssl"), "openssl not installed");
  ASSERT_TRUE(make_cert());
  bytes der = read_file(dir_ + "/cert.der");
  auto u24 = [](size_t n) { return bytes{(unsigned char)(n >> 16), (unsigned char)(n >> 8), (unsigned char)n}; };
  bytes list = cat({u24(der.size()), der});
  bytes hs = cat({bytes{11}, u24(list.size() + 3), u24(list.size()), list});
  bytes rec = cat({hexbytes("16 03 03"), bytes{(unsigned char)(hs.size() >> 8), (unsigned char)hs.size()}, hs});
  setenv("KAV_SSL_PARSE", "y", 1);
  kav_ssl_reset();
  std::string out = decode(4, KAV_LAYER_TRANS, 6, tcp_seg(false, "10.0.0.1", "10.0.0.2", 443, 40000, 1, 1, 0x18, 512, {}, rec));
  unsetenv("KAV_SSL_PARSE");
  kav_ssl_reset();
  EXPECT_NE(out.find("X509CERT: {Universal (C), Tag=16 (Sequence)"), std::string::npos) << out;
  EXPECT_NE(out.find("X509CERT:             velmora test\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("  -- "), std::string::npos) << out;
}

TEST_F(X509, CertificateWithoutVersionStartsAtSerialNumber) {
  bytes alg = seq({ber_oid("1.2.840.113549.1.1.11"), hexbytes("05 00")});
  bytes name = seq({tlv(0x31, seq({ber_oid("2.5.4.3"), ber_str("v1", 0x13)}))});
  bytes tbs = seq({ber_int(12345), alg, name, seq({ber_str("250101000000Z", 0x17), ber_str("260101000000Z", 0x17)}),
                   name, seq({seq({ber_oid("1.2.840.113549.1.1.1"), hexbytes("05 00")}), hexbytes("03 02 00 ff")})});
  bytes cert = seq({tbs, alg, hexbytes("03 02 00 aa")});
  std::string out = walk(4, cert, 5, -4, "X509");
  EXPECT_TRUE((in_order(out, {"  -- signed object\n", "{Universal (P), Tag=2 (Integer), Len=1:1:2, Seq=2.0  -- serialNumber\n",
                 "  -- signature\n", "  -- issuer\n", "  -- validity\n", "  -- notBefore\n", "250101000000Z\n",
                 "  -- notAfter\n", "  -- subject\n", "  -- subjectPublicKeyInfo\n", "  -- algorithmID\n",
                 "  -- encryptedHash\n"})));
  EXPECT_EQ(out.find("  -- version"), std::string::npos) << out;
}

TEST_F(X509, RevocationList) {
  VTS_REQUIRE(vts::have_tool("openssl"), "openssl not installed");
  ASSERT_TRUE(make_crl());
  oid_dir map(shipped_oids_map());
  bytes der = read_file(dir_ + "/crl.der");
  ASSERT_GT(der.size(), 50u);
  std::string out = walk(4, der, 5, -5, "X509");
  EXPECT_TRUE((in_order(out, {"  -- signed object\n", "  -- version\n", "1 (0x1)\n", "  -- signature\n", "  -- issuer\n",
                 "commonName\n", "  -- thisUpdate\n", "  -- nextUpdate\n", "  -- revokedCertificates\n",
                 "  -- revoked-cert\n", "  -- userCertificate\n", "  -- revocationDate\n", "  -- extensions\n",
                 "  -- extension\n", "cRLNumber\n", "  -- algorithmID\n", "  -- encryptedHash\n"})));
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("ETRAP"), std::string::npos) << out;
}

TEST_F(X509, RevocationListWithoutNextUpdate) {
  bytes alg = seq({ber_oid("1.2.840.113549.1.1.11"), hexbytes("05 00")});
  bytes name = seq({tlv(0x31, seq({ber_oid("2.5.4.3"), ber_str("ca", 0x13)}))});
  bytes revoked = seq({seq({ber_int(7), ber_str("250301000000Z", 0x17)})});
  bytes tbs = seq({alg, name, ber_str("250101000000Z", 0x17), revoked});  // no version, no nextUpdate
  std::string out = walk(4, seq({tbs, alg, hexbytes("03 02 00 aa")}), 5, -5, "X509");
  EXPECT_TRUE((in_order(out, {"  -- signed object\n", "  -- signature\n", "  -- issuer\n", "  -- thisUpdate\n",
                 "  -- revokedCertificates\n", "  -- revoked-cert\n", "  -- userCertificate\n", "7 (0x7)\n",
                 "  -- revocationDate\n", "  -- algorithmID\n"})));
  EXPECT_EQ(out.find("nextUpdate"), std::string::npos) << out;
  EXPECT_EQ(out.find("  -- version"), std::string::npos) << out;
}

TEST_F(X509, TruncatedAndCorruptedCertificate) {
  VTS_REQUIRE(vts::have_tool("openssl"), "openssl not installed");
  ASSERT_TRUE(make_cert());
  bytes der = read_file(dir_ + "/cert.der");
  for (size_t n = 0; n < der.size(); n += 7) {
    bytes cut(der.begin(), der.begin() + long(n));
    std::string out = walk(4, cut, 5, -4, "X509");
    if (n >= 4) {
      EXPECT_NE(out.find("truncated"), std::string::npos) << n;
    }
  }
  for (size_t i = 0; i < der.size(); i += 3) {
    bytes bad = der;
    bad[i] ^= 0x5A;
    walk(4, bad, 5, -4, "X509");
    walk(4, bad, 5, -5, "X509");
  }
}

}  // namespace
