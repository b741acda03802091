// BER walker without a schema: item lines, values, the OID-names map and
// hostile encodings (lengths past the data, unterminated indefinite lengths,
// deep nesting, huge tags).
#include <gtest/gtest.h>

#include "ber_helpers.h"
#include "panrpcber.h"

namespace {

class Asn1 : public DecoderTest<4> {};

TEST_F(Asn1, SequenceOfOneInteger) {
  int used = 0;
  EXPECT_EQ(walk(4, hexbytes("30 03 02 01 05"), 0, -2, nullptr, &used),
            "ASN.1: {Universal (C), Tag=16 (Sequence), Len=1:1:3, Seq=0.0\n"
            "ASN.1:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0\n"
            "ASN.1:     5 (0x5)\n"
            "ASN.1:   }\n"
            "ASN.1: }\n");
  EXPECT_EQ(used, 5);
}

TEST_F(Asn1, EmptyContentClosesOnItsLine) {
  EXPECT_EQ(walk(4, hexbytes("05 00 04 00"), 0, -2, "X509CERT"),
            "X509CERT: {Universal (P), Tag=5 (Null), Len=1:1:0, Seq=0.0}\n"
            "X509CERT: {Universal (P), Tag=4 (Octet String), Len=1:1:0, Seq=0.1}\n");
}

TEST_F(Asn1, SummaryLevelsTakeOneTopLevelItemSilently) {
  int used = 0;
  EXPECT_EQ(walk(2, hexbytes("02 01 05 02 01 06"), 0, -2, nullptr, &used), "");
  EXPECT_EQ(used, 3);
  walk(4, hexbytes("02 01 05 02 01 06"), 0, -2, nullptr, &used);
  EXPECT_EQ(used, 6);
}

TEST_F(Asn1, IntegersBooleansAndBits) {
  std::string out = walk(4, cat({hexbytes("02 02 ff 7f"), hexbytes("02 09 ff 00 00 00 00 00 00 00 01"),
                                 hexbytes("01 02 ff 00"), hexbytes("03 03 05 a5 f0"), hexbytes("0a 01 02")}));
  EXPECT_NE(out.find("ASN.1:   -129 (0xffffffffffffff7f)\n"), std::string::npos) << out;
  // Longer than 8 octets: the octets last to first, complemented when negative.
  EXPECT_NE(out.find("ASN.1:   -254.255.255.255.255.255.255.255.0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   True (0xff) - 1 trailing octet\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   10100101 111 - 5 spare bits\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Tag=10 (Enumerated)"), std::string::npos) << out;
}

TEST_F(Asn1, StringsAndUnrecognisedClasses) {
  std::string out = walk(4, cat({ber_str("hello", 0x13), ber_str("ab\x01", 0x04), hexbytes("c1 01 07"),
                                 hexbytes("81 02 41 42"), hexbytes("41 01 09")}));
  EXPECT_NE(out.find("Tag=19 (Printable String)"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   hello\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   61 62 01 \n"), std::string::npos) << out;  // not printable: no text
  EXPECT_NE(out.find("{Private (P), Tag=1, Len=1:1:1, Seq=0.2\nASN.1:   Unrecognised Private tag\n"
                     "Decimal format, 16 octets per row\n0001: 007\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("ASN.1:   Unrecognised Context-Specific tag\nASN.1:   41 42    [AB]\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("ASN.1:   Unrecognised Application tag\n"), std::string::npos) << out;
}

TEST_F(Asn1, MultiOctetTagNumbers) {
  // Context-specific tag 201 in the high-tag-number form (0x81 0x49).
  std::string out = walk(4, hexbytes("9f 81 49 01 00"));
  EXPECT_NE(out.find("{Context-Specific (P), Tag=201, Len=3:1:1, Seq=0.0\n"), std::string::npos) << out;
  // A tag of absurd size saturates instead of wrapping, and the walk goes on.
  bytes huge{0x1F};
  for (int i = 0; i < 40; i++) huge.push_back(0xFF);
  huge.push_back(0x7F);
  huge.push_back(0x00);
  out = walk(4, cat({huge, hexbytes("02 01 01")}));
  EXPECT_NE(out.find("Tag=2147483647, Len=42:1:0, Seq=0.0}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   1 (0x1)\n"), std::string::npos) << out;
  // The tag's octets run out before its end.
  EXPECT_EQ(walk(4, hexbytes("1f 81 82")), "\tPDU truncated in ASN.1 Tag/Length fields\n");
}

TEST_F(Asn1, LengthFaults) {
  EXPECT_EQ(walk(4, hexbytes("30")), "\tPDU truncated in ASN.1 Tag/Length fields\n");
  EXPECT_EQ(walk(4, hexbytes("04 85 01 02 03 04 05 00")), "\tASN.1 Length field too large to handle (1:6)\n");
  EXPECT_EQ(walk(4, hexbytes("04 83 01 02")), "\tPDU truncated in ASN.1 Length field (1:?)\n");
  // A length beyond the data: warned, and the octets present are decoded.
  EXPECT_EQ(walk(4, hexbytes("04 84 ff ff ff ff 41 42")),
            "\t*** WARNING: Following PDU truncated in Data field (4294967295 -> 8) ***\n"
            "\tWill attempt to continue ...\n"
            "ASN.1: {Universal (P), Tag=4 (Octet String), Len=1:5:2, Seq=0.0\n"
            "ASN.1:   41 42    [AB]\n"
            "ASN.1: }\n");
  // Inside a container: the child's overrun is bounded by its parent.
  std::string out = walk(4, hexbytes("30 04 04 10 41 42 02 01 07"));
  EXPECT_NE(out.find("(16 -> 4)"), std::string::npos) << out;
  EXPECT_NE(out.find("Seq=0.1\nASN.1:   7 (0x7)\n"), std::string::npos) << out;
}

TEST_F(Asn1, IndefiniteLengths) {
  EXPECT_EQ(walk(4, hexbytes("30 80 02 01 05 00 00")),
            "ASN.1: {Universal (C), Tag=16 (Sequence), Len=1:1:3 (indefinite), Seq=0.0\n"
            "ASN.1:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0\n"
            "ASN.1:     5 (0x5)\n"
            "ASN.1:   }\n"
            "ASN.1: }\n");
  // Zero octets inside a child do not end the container early.
  std::string out = walk(4, hexbytes("30 80 04 02 00 00 30 80 02 01 00 00 00 00 00 02 01 09"));
  EXPECT_NE(out.find("Len=1:1:11 (indefinite), Seq=0.0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Len=1:1:3 (indefinite), Seq=1.1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Seq=0.1\nASN.1:   9 (0x9)\n"), std::string::npos) << out;
  // No end-of-contents at all.
  out = walk(4, hexbytes("30 80 02 01 05"));
  EXPECT_NE(out.find("Len=1:1:3 (indefinite), Seq=0.0\n\n\tPDU truncated in Indefinite Data field\n"),
            std::string::npos)
      << out;
}

TEST_F(Asn1, EndOfContentsAtTopLevel) {
  EXPECT_EQ(walk(4, hexbytes("00 00 02 01 01")),
            "ASN.1: {Universal (P), Tag=0, Len=1:1:0, Seq=0.0\n"
            "ASN.1: {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=0.1\n"
            "ASN.1:   1 (0x1)\n"
            "ASN.1: }\n");
}

TEST_F(Asn1, NestingIsBounded) {
  // 100000 nested indefinite and definite containers: a bounded walk, no stack overflow.
  bytes deep;
  for (int i = 0; i < 100000; i++) {
    deep.push_back(0x30);
    deep.push_back(0x80);
  }
  std::string out = walk(4, deep);
  EXPECT_NE(out.find("PDU truncated in Indefinite Data field"), std::string::npos);
  bytes def = hexbytes("02 01 01");
  for (int i = 0; i < 200; i++) def = tlv(0x30, def);
  out = walk(4, def);
  EXPECT_NE(out.find("Nesting deeper than 48 levels - dumping the rest\n"), std::string::npos);
  EXPECT_EQ(walk(2, def), "");
}

TEST_F(Asn1, OidNamesFromTheMap) {
  oid_dir d("# test map\n1.3.6 = dod\n1.3.6.1.2.1.1.5 = sysName\nbad line without delimiter\n"
            "  2.5.4.3 = commonName   # trailing comment\n2.5.4.10 = organizationName");
  ASSERT_EQ(d.rc, 0);
  std::string out = walk(4, hexbytes("06 03 2b 06 01"));
  EXPECT_EQ(out,
            "ASN.1: {Universal (P), Tag=6 (OID), Len=1:1:3, Seq=0.0\n"
            "ASN.1:   1.3.6.1\n"
            "ASN.1:   dod.1\n"
            "ASN.1: }\n");
  EXPECT_NE(walk(4, ber_oid("1.3.6.1.2.1.1.5")).find("ASN.1:   sysName\n"), std::string::npos);
  EXPECT_NE(walk(4, ber_oid("2.5.4.3")).find("ASN.1:   commonName\n"), std::string::npos);
  // The last line has no newline: it is loaded all the same.
  EXPECT_NE(walk(4, ber_oid("2.5.4.10")).find("ASN.1:   organizationName\n"), std::string::npos);
  EXPECT_STREQ(kav_oid2nam("2.5.4.10", 8), "organizationName");
  EXPECT_EQ(kav_oid2nam("2.5.4", 5), nullptr);
  // No named prefix at all: the dotted form alone.
  EXPECT_EQ(walk(4, ber_oid("2.5.29.19")),
            "ASN.1: {Universal (P), Tag=6 (OID), Len=1:1:3, Seq=0.0\nASN.1:   2.5.29.19\nASN.1: }\n");
}

TEST_F(Asn1, OidMapFaults) {
  {
    oid_dir none("", false);
    unlink((none.dir + "/oids.map").c_str());
    EXPECT_EQ(kav_cache_oids(), 0);  // no map: start-up goes on, OIDs stay dotted
    EXPECT_EQ(kav_map_oids, nullptr);
    EXPECT_EQ(walk(4, hexbytes("06 03 2b 06 01")),
              "ASN.1: {Universal (P), Tag=6 (OID), Len=1:1:3, Seq=0.0\nASN.1:   1.3.6.1\nASN.1: }\n");
  }
  {
    oid_dir bad("1.3.6 = dod\n1.3.x.6 = broken\n");
    EXPECT_EQ(bad.rc, 1);  // a character outside the OID alphabet fails the load
    EXPECT_EQ(kav_map_oids, nullptr);
  }
  {
    oid_dir empty("");
    EXPECT_EQ(empty.rc, 0);
  }
  {
    // Lines longer than 512 characters are cut, not run into the next line.
    std::string longname(700, 'n');
    oid_dir lng("1.3.6 = " + longname + "\n1.3.7 = seven\n");
    EXPECT_EQ(lng.rc, 0);
    EXPECT_STREQ(kav_oid2nam("1.3.7", 5), "seven");
    ASSERT_NE(kav_oid2nam("1.3.6", 5), nullptr);
    EXPECT_EQ(strlen(kav_oid2nam("1.3.6", 5)), 504u);
  }
}

TEST_F(Asn1, ShippedMapNamesCommonIdentifiers) {
  oid_dir d(shipped_oids_map());
  ASSERT_EQ(d.rc, 0);
  const struct {
    const char *oid, *name;
  } k[] = {{"2.5.4.3", "commonName"},
           {"1.2.840.113549.1.1.11", "sha256WithRSAEncryption"},
           {"1.2.840.113549.1.1.1", "rsaEncryption"},
           {"2.5.29.19", "basicConstraints"},
           {"1.3.6.1.5.5.7.3.1", "serverAuth"},
           {"1.3.6.1.2.1.1.1", "sysDescr"},
           {"1.3.6.1.2.1.2.2.1.8", "ifOperStatus"},
           {"1.3.6.1.4.1.1466.20037", "startTLS"}};
  for (const auto &e : k) {
    const char *n = kav_oid2nam(e.oid, int(strlen(e.oid)));
    ASSERT_NE(n, nullptr) << e.oid;
    EXPECT_STREQ(n, e.name);
  }
}

TEST_F(Asn1, OidFaults) {
  // A sub-identifier whose last octet is missing.
  EXPECT_NE(walk(4, hexbytes("06 03 2b 06 81")).find("ASN.1:   1.3.6...Truncated!\n"), std::string::npos);
  // An OID too long to print: cut with the abort line, no lookup.
  bytes c{0x2B};
  for (int i = 0; i < 400; i++) {
    c.push_back(0x81);
    c.push_back(0x00);
  }
  std::string out = walk(4, tlv(0x06, c));
  EXPECT_NE(out.find(".128\n\tAborting OID after "), std::string::npos) << out.substr(0, 200);
  EXPECT_NE(out.find(" bytes - too long\n"), std::string::npos);
}

TEST_F(Asn1, RealsAndExternals) {
  std::string out = walk(4, cat({hexbytes("09 00"), hexbytes("09 01 40"), hexbytes("09 02 41 00"),
                                 hexbytes("09 02 01 31")}));
  EXPECT_NE(out.find("Tag=9 (Real), Len=1:1:0, Seq=0.0}\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   Plus-Infinity\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ASN.1:   Minus-Infinity\nASN.1:   Unexpected trailing octets (1)\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("ASN.1:   ISO 6093 NR1 form\n"), std::string::npos) << out;
  out = walk(4, tlv(0x28, cat({ber_oid("1.3.6"), hexbytes("81 01 41")})));
  EXPECT_NE(out.find("ASN.1:   Direct-Reference:\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Encoding: (Octet-Aligned - Octet String)\n"), std::string::npos) << out;
}

// Every prefix and every single-octet corruption of a nested message walks
// without a fault (the sanitizer build catches any over-read).
TEST_F(Asn1, TruncatedAndCorruptedCopies) {
  bytes m = seq({ber_int(70000), seq({ber_oid("1.3.6.1.2.1.1.5.0"), ber_str("router")}),
                 tlv(0xA3, seq({ber_int(-1), hexbytes("01 01 ff")})), hexbytes("30 80 04 01 41 00 00")});
  for (size_t n = 0; n <= m.size(); n++) {
    bytes cut(m.begin(), m.begin() + long(n));
    walk(4, cut);
    walk(1, cut);
  }
  for (size_t i = 0; i < m.size(); i++)
    for (unsigned v : {0x00u, 0x80u, 0xFFu, 0x1Fu, 0x84u}) {
      bytes bad = m;
      bad[i] = (unsigned char)v;
      walk(4, bad);
      walk(4, bad, 5, 161, "SNMP");
      walk(4, bad, 5, 389, "LDAP");
      walk(4, bad, 5, -4, "X509");
    }
}

}  // namespace
