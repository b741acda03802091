// SNMP v1/v2c through the BER walker's schema: version, community, PDU type,
// variable bindings with their application types and named values.
#include <gtest/gtest.h>

#include "ber_helpers.h"
#include "testsupport.h"

namespace {

class Snmp : public DecoderTest<4> {};

bytes get_response() {
  bytes vb = seq({seq({ber_oid("1.3.6.1.2.1.1.5.0"), ber_str("router1")}),
                  seq({ber_oid("1.3.6.1.2.1.2.2.1.8"), ber_int(2)}),
                  seq({ber_oid("1.3.6.1.2.1.1.3.0"), tlv(0x43, hexbytes("01 02 03"))}),
                  seq({ber_oid("1.3.6.1.2.1.4.20.1.1.10.0.0.1"), tlv(0x40, hexbytes("0a 00 00 01"))}),
                  seq({ber_oid("1.3.6.1.2.1.31.1.1.1.6.1"), tlv(0x46, hexbytes("00 ff ff ff ff ff ff ff ff"))}),
                  seq({ber_oid("1.3.6.1.2.1.1.9.0"), hexbytes("81 00")})});
  return seq({ber_int(1), ber_str("public"), tlv(0xA2, cat({ber_int(4660), ber_int(0), ber_int(0), vb}))});
}

TEST_F(Snmp, V2cGetResponseWithSeveralBindings) {
  std::string out = walk(4, get_response(), 5, 161, "SNMP");
  const std::string head =
      "SNMP: {Universal (C), Tag=16 (Sequence), Len=1:2:143, Seq=0.0\n"
      "SNMP:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0  -- version\n"
      "SNMP:     1 (0x1)  -- SNMPv2c\n"
      "SNMP:   }\n"
      "SNMP:   {Universal (P), Tag=4 (Octet String), Len=1:1:6, Seq=1.1  -- community\n"
      "SNMP:     70 75 62 6c 69 63    [public]\n"
      "SNMP:   }\n"
      "SNMP:   {Context-Specific (C), Tag=2, Len=1:2:129, Seq=1.2  -- PDU=Get-Response\n"
      "SNMP:     {Universal (P), Tag=2 (Integer), Len=1:1:2, Seq=2.0  -- request-id\n"
      "SNMP:       4660 (0x1234)\n"
      "SNMP:     }\n"
      "SNMP:     {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=2.1  -- error-status\n"
      "SNMP:       0 (0x0)  -- noError\n";
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_TRUE((in_order(out, {
      "  -- variable-bindings\n", "  -- attribute\n", "  -- Name\nSNMP:           1.3.6.1.2.1.1.5.0\n",
      "  -- Value\nSNMP:           72 6f 75 74 65 72 31    [router1]\n",
      // Named by the exact variable name.
      "1.3.6.1.2.1.2.2.1.8\n", "SNMP:           2 (0x2)  -- Down\n",
      "{Application (P), Tag=3 (TimeTicks), Len=1:1:3, Seq=4.1  -- Value\nSNMP:           66051\n",
      "{Application (P), Tag=0 (IpAddress), Len=1:1:4, Seq=4.1  -- Value\nSNMP:           10.0.0.1\n",
      "{Application (P), Tag=6 (Counter64), Len=1:1:9, Seq=4.1  -- Value\nSNMP:           0, 18446744073709551615\n",
      "{Context-Specific (P), Tag=1, Len=1:1:0, Seq=4.1}  -- Value=noSuchInstance\n"})));
  for (int vb = 1; vb <= 3; vb++) EXPECT_EQ(walk(vb, get_response(), 5, 161, "SNMP"), "Get-Response");
}

TEST_F(Snmp, V1GetRequestAndTrap) {
  bytes get = seq({ber_int(0), ber_str("private"),
                   tlv(0xA0, cat({ber_int(1), ber_int(0), ber_int(0), seq({seq({ber_oid("1.3.6.1.2.1.1.1.0"), hexbytes("05 00")})})}))});
  EXPECT_EQ(walk(2, get, 5, 161, "SNMP"), "Get-Request");
  std::string out = walk(4, get, 5, 161, "SNMP");
  EXPECT_NE(out.find("0 (0x0)  -- SNMPv1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- PDU=Get-Request\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Tag=5 (Null), Len=1:1:0, Seq=4.1}  -- Value\n"), std::string::npos) << out;

  bytes trap = seq({ber_int(0), ber_str("public"),
                    tlv(0xA4, cat({ber_oid("1.3.6.1.4.1.8072"), tlv(0x40, hexbytes("c0 a8 01 01")), ber_int(3),
                                   ber_int(0), tlv(0x43, hexbytes("64")), seq({})}))});
  out = walk(4, trap, 5, 162, "SNMP");
  EXPECT_TRUE((in_order(out, {"  -- PDU=Trap (SNMPv1)\n", "  -- enterprise\n", "  -- agent-address\n",
                        "192.168.1.1\n", "  -- generic-trap\n", "3 (0x3)  -- linkUp\n", "  -- specific-trap\n",
                        "  -- timestamp\n", "100\n", "  -- variable-bindings\n"})));
}

TEST_F(Snmp, ValuesNamedByVariable) {
  auto resp = [](const char *oid, const bytes &value) {
    return seq({ber_int(1), ber_str("public"),
                tlv(0xA2, cat({ber_int(9), ber_int(0), ber_int(0), seq({seq({ber_oid(oid), value})})}))});
  };
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.2.2.1.3", ber_int(6)), 5, 161, "SNMP").find("6 (0x6)  -- Ethernet CSMACD\n"),
            std::string::npos);
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.6.13.1.1", ber_int(5)), 5, 161, "SNMP").find("5 (0x5)  -- ESTABLISHED\n"),
            std::string::npos);
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.2.2.1.7", ber_int(0)), 5, 161, "SNMP")
                .find("0 (0x0)  -- WARNING: unrecognised ifAdminStatus value\n"),
            std::string::npos);
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.11.30", ber_int(2)), 5, 161, "SNMP").find("2 (0x2)  -- Disabled\n"),
            std::string::npos);
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.6.30", ber_int(2)), 5, 161, "SNMP").find("2 (0x2)\n"), std::string::npos);
  // The most negative value has no name and no wrap-around.
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.2.2.1.7", hexbytes("02 08 80 00 00 00 00 00 00 00")), 5, 161, "SNMP")
                .find("-9223372036854775808 (0x8000000000000000)  -- WARNING: unrecognised ifAdminStatus value\n"),
            std::string::npos);
  // An instance of the variable is not the variable.
  EXPECT_NE(walk(4, resp("1.3.6.1.2.1.2.2.1.7.1", ber_int(1)), 5, 161, "SNMP").find("1 (0x1)\n"), std::string::npos);
}

TEST_F(Snmp, Version3HeaderAndPrivacy) {
  auto v3 = [](unsigned flags, const bytes &data) {
    return seq({ber_int(3), seq({ber_int(1), ber_int(65507), tlv(0x04, bytes{(unsigned char)flags}), ber_int(3)}),
                ber_str("usm-params"), data});
  };
  std::string out = walk(4, v3(0x04, seq({ber_str("engine"), ber_str(""), tlv(0xA0, {})})), 5, 161, "SNMP");
  EXPECT_TRUE((in_order(out, {"3 (0x3)  -- SNMPv3\n", "  -- msgGlobalData\n", "  -- msgID\n", "  -- msgMaxSize\n",
                              "  -- msgFlags\n", "SNMP:       04 \nnoAuth, noPrivacy, Report-PDU\n",
                              "  -- msgSecurityModel\n", "  -- msgSecurityParams\n", "  -- PDU="})));
  // Encrypted: what follows the security parameters is not decoded by the schema.
  out = walk(4, v3(0x03, ber_str("ciphertext")), 5, 161, "SNMP");
  EXPECT_NE(out.find("SNMP:       03 \nAuth, Privacy, noReport-PDU\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- Encrypted-PDU\n"), std::string::npos) << out;
  // A party-based (v2p) message is Context-Specific at the top.
  out = walk(4, tlv(0xA1, cat({ber_oid("1.3.6.1.6.3.3.1.3.1"), ber_str("x", 0x80)})), 5, 161, "SNMP");
  EXPECT_NE(out.find("Seq=0.0  -- SNMPv2p\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- privDst\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- privData\n"), std::string::npos) << out;
}

TEST_F(Snmp, GetBulkAndErrorStatus) {
  bytes bulk = seq({ber_int(1), ber_str("public"),
                    tlv(0xA5, cat({ber_int(9), ber_int(0), ber_int(10), seq({seq({ber_oid("1.3.6.1.2.1.2"), hexbytes("05 00")})})}))});
  std::string out = walk(4, bulk, 5, 161, "SNMP");
  EXPECT_NE(out.find("  -- non-repeaters\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- max-repititions\n"), std::string::npos) << out;
  bytes err = seq({ber_int(1), ber_str("public"),
                   tlv(0xA2, cat({ber_int(9), ber_int(2), ber_int(1), seq({})}))});
  EXPECT_NE(walk(4, err, 5, 161, "SNMP").find("2 (0x2)  -- noSuchName\n"), std::string::npos);
  err = seq({ber_int(1), ber_str("public"), tlv(0xA2, cat({ber_int(9), ber_int(77), ber_int(1), seq({})}))});
  EXPECT_NE(walk(4, err, 5, 161, "SNMP").find("77 (0x4d)  -- WARNING: unrecognised error-status value\n"),
            std::string::npos);
}

TEST_F(Snmp, UnknownVersionLeavesTheRestWithoutSchema) {
  bytes m = seq({ber_int(5), ber_str("public"), tlv(0xA0, cat({ber_int(1), ber_int(0), ber_int(0), seq({})}))});
  std::string out = walk(4, m, 5, 161, "SNMP");
  EXPECT_NE(out.find("5 (0x5)  -- WARNING: unrecognised protocol version\n"), std::string::npos) << out;
  EXPECT_NE(out.find("ETRAP! unexpected state (S_VER) or pduver (5)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("community"), std::string::npos) << out;
  // The brief modes show the trap line and no operation.
  EXPECT_EQ(walk(2, m, 5, 161, "SNMP"), "ETRAP! unexpected state (S_VER) or pduver (5)\n");
}

TEST_F(Snmp, ThroughTheDispatchTable) {
  bytes d = udp_dgram(false, "10.0.0.1", "10.0.0.2", 161, 40000, get_response());
  std::string out = decode(2, KAV_LAYER_TRANS, 17, d);
  EXPECT_NE(out.find("data=146 [Get-Response]"), std::string::npos) << out;
  out = decode(4, KAV_LAYER_TRANS, 17, d);
  EXPECT_NE(out.find("SNMP:     1 (0x1)  -- SNMPv2c\n"), std::string::npos) << out;
}

// The corpus's SNMP captures are all crafted: lengths past the datagram and
// identifiers that overflow. They print as far as they go.
TEST_F(Snmp, CorpusCaptures) {
  std::string out;
  VTS_REQUIRE(decode_corpus("ip6-snmp-oid-unsigned.pcap", 4, &out), "capture corpus not found at " << vts::corpus_dir());
  EXPECT_NE(out.find("SNMP: {Universal (P), Tag=6 (OID), Len=1:1:96, Seq=0.0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\t*** WARNING: Following PDU truncated in Data field (112 -> 7) ***\n"), std::string::npos);
  ASSERT_TRUE(decode_corpus("ip-snmp-leftshift-unsigned.pcap", 4, &out));
  EXPECT_NE(out.find("\tASN.1 Length field too large to handle (18:128)\n"), std::string::npos) << out;
  for (const char *n : {"snmp-heapoverflow-1.pcap", "snmp-heapoverflow-2.pcap"}) {
    ASSERT_TRUE(decode_corpus(n, 4, &out));
    EXPECT_NE(out.find("SNMP: "), std::string::npos) << n;
    ASSERT_TRUE(decode_corpus(n, 2, &out));
  }
}

TEST_F(Snmp, TruncatedAndCorruptedCopies) {
  bytes m = get_response();
  for (size_t n = 0; n < m.size(); n++) {
    bytes cut(m.begin(), m.begin() + long(n));
    walk(4, cut, 5, 161, "SNMP");
    walk(2, cut, 5, 161, "SNMP");
  }
  for (size_t i = 0; i < m.size(); i++) {
    bytes bad = m;
    bad[i] ^= 0xFF;
    walk(4, bad, 5, 161, "SNMP");
    walk(1, bad, 5, 161, "SNMP");
  }
}

}  // namespace
