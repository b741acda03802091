// LDAP through the BER walker's schema: operations, field names, value names,
// filters, and the one-word summary; reached through the layer-5 dispatch.
#include <gtest/gtest.h>

#include "ber_helpers.h"

namespace {

class Ldap : public DecoderTest<4> {};

bytes bind_request() {
  return seq({ber_int(1), tlv(0x60, cat({ber_int(3), ber_str("cn=admin"), ber_str("secret", 0x80)}))});
}

bytes search_entry() {
  return seq({ber_int(2),
              tlv(0x64, cat({ber_str("cn=x,dc=example"),
                             seq({seq({ber_str("cn"), tlv(0x31, ber_str("x"))}),
                                  seq({ber_str("objectClass"), tlv(0x31, cat({ber_str("top"), ber_str("person")}))})})}))});
}

TEST_F(Ldap, BindRequest) {
  EXPECT_EQ(walk(4, bind_request(), 5, 389, "LDAP"),
            "LDAP: {Universal (C), Tag=16 (Sequence), Len=1:1:26, Seq=0.0\n"
            "LDAP:   {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=1.0  -- messageID\n"
            "LDAP:     1 (0x1)\n"
            "LDAP:   }\n"
            "LDAP:   {Application (C), Tag=0, Len=1:1:21, Seq=1.1  -- PDU=Bind-Request\n"
            "LDAP:     {Universal (P), Tag=2 (Integer), Len=1:1:1, Seq=2.0  -- version\n"
            "LDAP:       3 (0x3)\n"
            "LDAP:     }\n"
            "LDAP:     {Universal (P), Tag=4 (Octet String), Len=1:1:8, Seq=2.1  -- name\n"
            "LDAP:       63 6e 3d 61 64 6d 69 6e    [cn=admin]\n"
            "LDAP:     }\n"
            "LDAP:     {Context-Specific (P), Tag=0, Len=1:1:6, Seq=2.2  -- authentication=simple\n"
            "LDAP:       73 65 63 72 65 74    [secret]\n"
            "LDAP:     }\n"
            "LDAP:   }\n"
            "LDAP: }\n");
  for (int vb = 1; vb <= 3; vb++) EXPECT_EQ(walk(vb, bind_request(), 5, 389, "LDAP"), "Bind-Request");
  // Outside layer 5 (a certificate inside TLS, say) there is no schema.
  EXPECT_EQ(walk(4, bind_request(), 0, 389, "LDAP").find("--"), std::string::npos);
}

TEST_F(Ldap, SearchResultEntry) {
  std::string out = walk(4, search_entry(), 5, 389, "LDAP");
  EXPECT_TRUE((in_order(out, {"  -- messageID\n",     "  -- PDU=Search-Response-Entry\n", "  -- objectName\n",
                        "[cn=x,dc=example]\n",  "  -- attributes\n",                "  -- attribute\n",
                        "  -- attributeType\n", "  -- attributeValues\n",           "  -- attributeValue\n",
                        "[objectClass]\n",      "[person]\n"})));
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("ETRAP"), std::string::npos) << out;
  EXPECT_EQ(walk(2, search_entry(), 5, 389, "LDAP"), "Search-Response-Entry");
}

TEST_F(Ldap, SearchRequestWithFilter) {
  // (&(objectClass=person)(cn=a*)(mail=*)) with scope and alias values named.
  bytes filter = tlv(0xA0, cat({tlv(0xA3, cat({ber_str("objectClass"), ber_str("person")})),
                                tlv(0xA4, cat({ber_str("cn"), seq({ber_str("a", 0x80)})})), ber_str("mail", 0x87)}));
  bytes req = seq({ber_int(7), tlv(0x63, cat({ber_str("dc=example"), hexbytes("0a 01 02"), hexbytes("0a 01 00"),
                                              ber_int(0), ber_int(0), hexbytes("01 01 00"), filter,
                                              seq({ber_str("cn")})}))});
  std::string out = walk(4, req, 5, 389, "LDAP");
  EXPECT_TRUE((in_order(out, {"  -- PDU=Search-Request\n", "  -- baseObject\n", "2 (0x2)  -- wholeSubtree\n",
                        "0 (0x0)  -- neverDerefAliases\n", "  -- sizeLimit\n", "  -- timeLimit\n",
                        "  -- attrsOnly\n", "  -- filter=AND\n", "  -- filter=equality\n", "  -- attributeType\n",
                        "  -- attributeValue\n", "  -- filter=substrings\n", "  -- substrings\n",
                        "  -- location=initial\n", "  -- filter=present\n", "[mail]\n", "  -- attributes\n",
                        "  -- attributeName\n"})));
  // The "present" filter's attribute needs no type line.
  EXPECT_EQ(out.find("Missing Context-Specific tag"), std::string::npos) << out;
}

TEST_F(Ldap, ExtensibleFilterFields) {
  bytes filter = tlv(0xA9, cat({ber_str("caseExactMatch", 0x81), ber_str("cn", 0x82), ber_str("Fred", 0x83),
                                hexbytes("84 01 ff")}));
  bytes req = seq({ber_int(8), tlv(0x63, cat({ber_str(""), hexbytes("0a 01 00"), hexbytes("0a 01 03"),
                                              ber_int(0), ber_int(0), hexbytes("01 01 00"), filter, seq({})}))});
  std::string out = walk(4, req, 5, 389, "LDAP");
  EXPECT_TRUE((in_order(out, {"  -- filter=extensible\n", "  -- matchingRule\n", "[caseExactMatch]\n", "  -- type\n",
                        "  -- matchValue\n",        "[Fred]\n",             "  -- dnAttributes\n", "True (0xff)\n"})));
  EXPECT_NE(out.find("0 (0x0)  -- baseObject\n"), std::string::npos);
  EXPECT_NE(out.find("3 (0x3)  -- derefAlways\n"), std::string::npos);
}

TEST_F(Ldap, ResultCodesAndUnknownOperations) {
  auto result = [](int code) {
    bytes e = ber_int(code);
    e[0] = 0x0A;  // Enumerated
    return seq({ber_int(3), tlv(0x61, cat({e, ber_str(""), ber_str("")}))});
  };
  std::string out = walk(4, result(80), 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- PDU=Bind-Response\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- resultCode\nLDAP:       80 (0x50)  -- other\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- matchedDN\n"), std::string::npos);
  EXPECT_NE(out.find("  -- errorMessage\n"), std::string::npos);
  out = walk(4, result(9), 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- resultCode\nLDAP:       9 (0x9)\n"), std::string::npos) << out;
  out = walk(4, result(49), 5, 389, "LDAP");
  EXPECT_NE(out.find("49 (0x31)  -- invalidCredentials\n"), std::string::npos) << out;

  bytes odd = seq({ber_int(4), tlv(0x71, ber_int(1))});
  out = walk(4, odd, 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- PDU=WARNING: unrecognised PDU type value\n"), std::string::npos) << out;
  EXPECT_EQ(walk(2, odd, 5, 389, "LDAP"), "WARNING: unrecognised PDU type value");
  // Unbind carries nothing; a delete request names its entry.
  out = walk(4, seq({ber_int(5), hexbytes("42 01 00")}), 5, 389, "LDAP");
  EXPECT_NE(out.find("ERROR: Non-null Unbind Request\n"), std::string::npos) << out;
  out = walk(4, seq({ber_int(6), ber_str("cn=gone", 0x4A)}), 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- PDU=Delete-Request\nLDAP:     63 6e 3d 67 6f 6e 65    [cn=gone]\n"), std::string::npos)
      << out;
}

TEST_F(Ldap, ExtendedRequestNameIsAnOid) {
  oid_dir d("1.3.6.1.4.1.1466.20037 = startTLS\n");
  bytes req = seq({ber_int(1), tlv(0x77, ber_str("1.3.6.1.4.1.1466.20037", 0x80))});
  std::string out = walk(4, req, 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- PDU=Extended-Request\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  -- name\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[1.3.6.1.4.1.1466.20037]\nLDAP:       startTLS\n"), std::string::npos) << out;
}

TEST_F(Ldap, NotAnLdapMessage) {
  EXPECT_EQ(walk(2, hexbytes("04 02 41 42"), 5, 389, "LDAP"), "");
  std::string out = walk(4, hexbytes("04 02 41 42"), 5, 389, "LDAP");
  EXPECT_NE(out.find("[AB]"), std::string::npos);
  EXPECT_EQ(out.find("--"), std::string::npos) << out;
  // A second PDU where none is expected.
  out = walk(4, seq({ber_int(1), tlv(0x42, {}), hexbytes("a0 00"), ber_int(9)}), 5, 389, "LDAP");
  EXPECT_NE(out.find("  -- ERROR: Unexpected fields at end of PDU\n"), std::string::npos) << out;
}

TEST_F(Ldap, ThroughTheDispatchTable) {
  bytes seg = tcp_seg(false, "10.0.0.1", "10.0.0.2", 40000, 389, 1, 1, 0x18, 512, {}, bind_request());
  std::string out = decode(2, KAV_LAYER_TRANS, 6, seg);
  EXPECT_NE(out.find("data=28 [Bind-Request]"), std::string::npos) << out;
  out = decode(4, KAV_LAYER_TRANS, 6, seg);
  EXPECT_NE(out.find("LDAP:   {Application (C), Tag=0, Len=1:1:21, Seq=1.1  -- PDU=Bind-Request\n"),
            std::string::npos)
      << out;
}

TEST_F(Ldap, TruncatedCopies) {
  bytes m = search_entry();
  for (size_t n = 0; n < m.size(); n++) {
    bytes cut(m.begin(), m.begin() + long(n));
    std::string out = walk(4, cut, 5, 389, "LDAP");
    if (n >= 2) {
      EXPECT_NE(out.find("truncated"), std::string::npos) << n << "\n" << out;
    }
    walk(2, cut, 5, 389, "LDAP");
  }
}

}  // namespace
