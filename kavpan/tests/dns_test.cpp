// DNS: header, questions, resource records of each kind, names with
// compression pointers, and hostile names, counts and lengths.
#include <gtest/gtest.h>

#include "panapp.h"
#include "pkt_helpers.h"

namespace {

class PanDns : public DecoderTest<4> {};

// Message builder: appends big-endian fields, labels and pointers.
struct msg {
  bytes b;
  msg &u8(unsigned v) { b.push_back((unsigned char)v); return *this; }
  msg &u16(unsigned v) { return u8(v >> 8).u8(v); }
  msg &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  msg &label(const char *s) {
    u8(unsigned(strlen(s)));
    for (const char *p = s; *p; p++) u8((unsigned char)*p);
    return *this;
  }
  msg &ptr(unsigned off) { return u16(0xC000 | off); }
  size_t size() const { return b.size(); }
};

std::string dns(int vb, const bytes &m) { return app_out(vb, parse_dns_msg, m); }

// A response to www.example.com/A: CNAME web.example.com (compressed), the
// A record of the target, a TXT record with two strings, an SOA in the
// authority section and an MX in the additional section.
bytes response(size_t *cname_at = nullptr) {
  msg m;
  m.u16(0x1234).u16(0x8580).u16(1).u16(3).u16(1).u16(1);
  m.label("www").label("example").label("com").u8(0).u16(1).u16(1);  // example.com at 16
  m.ptr(12).u16(5).u16(1).u32(3661).u16(6);
  size_t web = m.size();
  if (cname_at) *cname_at = web;
  m.label("web").ptr(16);
  m.ptr(unsigned(web)).u16(1).u16(1).u32(86400).u16(4).u8(93).u8(184).u8(216).u8(34);
  m.ptr(12).u16(16).u16(1).u32(0).u16(9).label("hi").label("there");
  m.ptr(16).u16(6).u16(1).u32(60).u16(6 + 13 + 20);
  m.label("ns1").ptr(16).label("hostmaster").ptr(16);
  m.u32(2026120801).u32(7200).u32(900).u32(1209600).u32(300);
  m.ptr(16).u16(15).u16(1).u32(120).u16(9).u16(10).label("mail").ptr(16);
  return m.b;
}

const char *kResponseText =
    "+DNS: Query ID = 4660 (0x1234)\n"
    "+DNS: Operation (QR): Response\n"
    "+DNS: Query Type (Opcode): Standard\n"
    "+DNS: Authoritative Answer (AA): Yes\n"
    "+DNS: Message Truncated (TC): No\n"
    "+DNS: Recursion Requested (RD): Yes\n"
    "+DNS: Recursion Available (RA): Yes\n"
    "+DNS: Response Type (RCODE): NoError (ok)\n"
    "+DNS: Number of Questions: 1\n"
    "+DNS: Number of Answer RRs: 3\n"
    "+DNS: Number of Authority RRs: 1\n"
    "+DNS: Number of Additional RRs: 1\n"
    "+DNS: QUESTIONS\n"
    "+DNS: - 1\n+DNS:\tDomain: <www.example.com.>\n"
    "+DNS:\tType=A (host address), Class=IN (Internet)\n"
    "+DNS: ANSWER RRs\n"
    "+DNS: - 1\n+DNS:\tDomain: <www.example.com.> CMPR\n"
    "+DNS:\tType=CNAME (canonical name for alias), Class=IN (Internet)\n"
    "+DNS:\tTTL=3661 (1 hour, 1 minute, 1 second)\n"
    "+DNS:\tRDATA follows (6 bytes):\n+DNS:\t<web.example.com.> CMPR\n"
    "+DNS: - 2\n+DNS:\tDomain: <web.example.com.> CMPR\n"
    "+DNS:\tType=A (host address), Class=IN (Internet)\n"
    "+DNS:\tTTL=86400 (1 day)\n"
    "+DNS:\tRDATA follows (4 bytes):\n+DNS:\t93.184.216.34\n"
    "+DNS: - 3\n+DNS:\tDomain: <www.example.com.> CMPR\n"
    "+DNS:\tType=TXT (text strings), Class=IN (Internet)\n"
    "+DNS:\tTTL=0 ()\n"
    "+DNS:\tRDATA follows (9 bytes):\n+DNS:\tText 1 (2 octets): hi\n\t\tText 2 (5 octets): there\n"
    "+DNS: AUTHORITY RRs\n"
    "+DNS: - 1\n+DNS:\tDomain: <example.com.> CMPR\n"
    "+DNS:\tType=SOA (start of authority), Class=IN (Internet)\n"
    "+DNS:\tTTL=60 (1 minute)\n"
    "+DNS:\tRDATA follows (39 bytes):\n"
    "+DNS:\tMNAME: <ns1.example.com.> CMPR\n\t\tRNAME: <hostmaster.example.com.> CMPR\n"
    "\t\tSerial: 2026120801\n\t\tRefresh: 7200\n\t\tRetry: 900\n\t\tExpire: 1209600\n\t\tMin TTL: 300\n"
    "+DNS: ADDITIONAL RRs\n"
    "+DNS: - 1\n+DNS:\tDomain: <example.com.> CMPR\n"
    "+DNS:\tType=MX (mail exchange), Class=IN (Internet)\n"
    "+DNS:\tTTL=120 (2 minutes)\n"
    "+DNS:\tRDATA follows (9 bytes):\n+DNS:\tPreference=10, Exchange=<mail.example.com.> CMPR\n";

TEST_F(PanDns, ResponseWithCompressionAndSeveralTypes) {
  EXPECT_EQ(dns(4, response()), kResponseText);
  EXPECT_EQ(dns(2, response()), "ANS - 1,3,1,1");
  EXPECT_EQ(dns(1, response()), "ANS - 1,3,1,1");
  EXPECT_EQ(dns(3, response()), "ANS - 1,3,1,1");
}

TEST_F(PanDns, ThroughTheChainOnPort53) {
  EXPECT_EQ(l4_out(2, false, 53, 1025, response()),
            "UDP: 53->1025; data=" + std::to_string(response().size()) + " [ANS - 1,3,1,1]; \n");
  // The port wins over -u; -U TEXT turns DNS into text.
  kav_proto_map = KAV_MAP_TEXT;
  EXPECT_NE(l4_out(2, false, 53, 1025, response()).find("[ANS - 1,3,1,1]"), std::string::npos);
  kav_force_map = 1;
  EXPECT_NE(l4_out(2, false, 53, 1025, response()).find(" [<^R>4<\\205><\\200>]"), std::string::npos)
      << l4_out(2, false, 53, 1025, response());
}

TEST_F(PanDns, OverTcpTheMessageFollowsItsLength) {
  bytes m = response();
  bytes framed = cat({bytes{(unsigned char)(m.size() >> 8), (unsigned char)m.size()}, m});
  EXPECT_NE(l4_out(2, true, 53, 1025, framed).find(" [ANS - 1,3,1,1]; \n"), std::string::npos);
  EXPECT_NE(l4_out(4, true, 53, 1025, framed).find(kResponseText), std::string::npos);
}

TEST_F(PanDns, EveryTruncatedCopyEndsWithANote) {
  bytes full = response();
  for (size_t n = 0; n < full.size(); n++) {
    bytes cut(full.begin(), full.begin() + long(n));
    std::string out = dns(4, cut);
    if (n < 12)
      EXPECT_NE(out.find("NB: Rest of header missing (datagram truncated)\n"), std::string::npos) << n;
    else
      EXPECT_TRUE(out.find("NB: Question truncated ") != std::string::npos ||
                  out.find("NB: RR truncated ") != std::string::npos)
          << n << "\n" << out;
    EXPECT_FALSE(dns(2, cut).empty());
  }
}

TEST_F(PanDns, PointerToItselfStopsAfterNineJumps) {
  msg m;
  m.u16(1).u16(0x0100).u16(2).u16(0).u16(0).u16(0).ptr(12);
  char out[304];
  int err = 0, cmp = 0;
  EXPECT_EQ(parse_dns_name(kav_view(m.b.data(), int(m.size())), 12, out, &err, &cmp), 2);
  EXPECT_EQ(err, 1);
  EXPECT_EQ(cmp, 1);
  EXPECT_STREQ(out, "");
  std::string o = dns(4, m.b);
  EXPECT_NE(o.find("+DNS: QUESTIONS\n+DNS: - 1\n+DNS:\tDomain: <> CMPR\nNB: Question truncated in domain-name.\n"),
            std::string::npos)
      << o;
  EXPECT_EQ(o.find("- 2"), std::string::npos);  // the message ends there
}

TEST_F(PanDns, LabelAndPointerLoopIsCutToo) {
  msg m;
  m.u16(1).u16(0).u16(1).u16(0).u16(0).u16(0).label("a").ptr(12);
  char out[304];
  int err = 0, cmp = 0;
  int n = parse_dns_name(kav_view(m.b.data(), int(m.size())), 12, out, &err, &cmp);
  EXPECT_EQ(err, 1);
  EXPECT_EQ(n, 4);  // the label, then 2 octets after the first pointer
  EXPECT_STREQ(out, "a.a.a.a.a.a.a.a.a.a.");  // the start plus nine jumps
}

TEST_F(PanDns, NameLimitAndTruncatedPointerAndLabel) {
  msg m;
  for (int i = 0; i < 5; i++) m.label("abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabc");  // 63 each
  m.u8(0);
  char out[304];
  int err = 0, cmp = 0;
  kav_view v(m.b.data(), int(m.size()));
  int n = parse_dns_name(v, 0, out, &err, &cmp);
  EXPECT_EQ(err, 1);
  EXPECT_EQ(strlen(out), 256u);  // four labels: a fifth would pass 299 characters
  EXPECT_EQ(n, 4 * 64 + 1);      // the failing label's length octet + 1
  msg p;
  p.u8(0xC0);
  err = 0;
  EXPECT_EQ(parse_dns_name(kav_view(p.b.data(), 1), 0, out, &err, &cmp), 0);
  EXPECT_EQ(err, 1);
  EXPECT_EQ(cmp, 0);
  msg l;
  l.u8(5).u8('a');
  err = 0;
  EXPECT_EQ(parse_dns_name(kav_view(l.b.data(), 2), 0, out, &err, &cmp), 1);
  EXPECT_EQ(err, 1);
  // err may be null.
  EXPECT_EQ(parse_dns_name(kav_view(l.b.data(), 2), 0, out, nullptr, &cmp), 1);
}

TEST_F(PanDns, RootNameHeaderOnlyAndShortSummary) {
  msg m;
  m.u16(7).u16(0).u16(0).u16(0).u16(0).u16(0);
  std::string o = dns(4, m.b);
  EXPECT_EQ(o.substr(o.size() - 34), "+DNS: Number of Additional RRs: 0\n");
  EXPECT_EQ(dns(2, m.b), "QRY - 0,0,0,0");
  EXPECT_EQ(dns(2, bytes{0, 1, 0x80}), "ANS - header truncated");
  EXPECT_EQ(dns(4, bytes{}), "NB: Rest of header missing (datagram truncated)\n");
  EXPECT_EQ(dns(4, bytes{0, 1}),
            "+DNS: Query ID = 1 (0x01)\n+DNS: Operation (QR): Query\n+DNS: Query Type (Opcode): Standard\n"
            "+DNS: Authoritative Answer (AA): No\n+DNS: Message Truncated (TC): No\n"
            "+DNS: Recursion Requested (RD): No\n+DNS: Recursion Available (RA): No\n"
            "+DNS: Response Type (RCODE): NoError (ok)\nNB: Rest of header missing (datagram truncated)\n");
  msg r;
  r.u16(7).u16(0x8003).u16(1).u16(0).u16(0).u16(0).u8(0).u16(2).u16(3);
  o = dns(4, r.b);
  EXPECT_NE(o.find("+DNS: Response Type (RCODE): NXDOMAIN (non-existent domain)\n"), std::string::npos);
  EXPECT_NE(o.find("+DNS:\tDomain: <>\n+DNS:\tType=NS (nameserver), Class=CH (CHAOS)\n"), std::string::npos) << o;
}

TEST_F(PanDns, AaaaAfterTxtShowsOnlyItsOwnOctets) {
  msg m;
  m.u16(1).u16(0x8000).u16(0).u16(2).u16(0).u16(0);
  m.u8(0).u16(16).u16(1).u32(5).u16(4).label("abc");
  m.u8(0).u16(28).u16(1).u32(5).u16(16);
  for (int i = 0; i < 16; i++) m.u8(i == 0 ? 0x20 : i == 15 ? 1 : 0);
  std::string o = dns(4, m.b);
  EXPECT_NE(o.find("+DNS:\tType=AAAA (IPv6 address), Class=IN (Internet)\n+DNS:\tTTL=5 (5 seconds)\n"
                   "+DNS:\tRDATA follows (16 bytes):\n+DNS:\t 20 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01\n"),
            std::string::npos)
      << o;
}

TEST_F(PanDns, LyingLengthsAndStrings) {
  // RDLENGTH beyond the message.
  msg a;
  a.u16(1).u16(0x8000).u16(0).u16(1).u16(0).u16(0).u8(0).u16(1).u16(1).u32(1).u16(200).u32(0x01020304);
  EXPECT_NE(dns(4, a.b).find("NB: RR truncated after domain-name.\n"), std::string::npos);
  // A count of 65535 answers in a short message ends at the first truncation.
  msg b;
  b.u16(1).u16(0x8000).u16(0).u16(0xFFFF).u16(0xFFFF).u16(0xFFFF).u8(0).u16(1).u16(1).u32(1).u16(4).u32(0x0A000001);
  std::string o = dns(4, b.b);
  EXPECT_NE(o.find("+DNS:\t10.0.0.1\n+DNS: - 2\n+DNS:\tDomain: <>\nNB: RR truncated in domain-name.\n"), std::string::npos)
      << o;
  EXPECT_EQ(o.find("AUTHORITY"), std::string::npos);
  // HINFO whose second string runs past the message, A with 2 octets, a
  // compressed name in RDATA that loops.
  msg c;
  c.u16(1).u16(0x8000).u16(0).u16(3).u16(0).u16(0);
  c.u8(0).u16(1).u16(1).u32(1).u16(2).u16(0x0A00);
  size_t loop = c.size() + 11;  // the pointer itself
  c.u8(0).u16(5).u16(1).u32(1).u16(2).ptr(unsigned(loop));
  c.u8(0).u16(13).u16(1).u32(1).u16(5).label("x86").u8(40);
  o = dns(4, c.b);
  // A reads its 4 octets from the message, past a short RDLENGTH.
  EXPECT_NE(o.find("+DNS:\tRDATA follows (2 bytes):\n+DNS:\t10.0.0.0\n\t*ERROR* actual Datalen=4\n"),
            std::string::npos)
      << o;
  EXPECT_NE(o.find("+DNS:\t<> CMPR\n\t*TRUNCATED* RDATA runs past the end of the message\n"), std::string::npos) << o;
  EXPECT_NE(o.find("+DNS:\tCPU: x86 (3 octets)\n\t\tOS:  (40 octets)\n\t*TRUNCATED*"), std::string::npos) << o;
}

TEST_F(PanDns, OtherRecordKinds) {
  msg m;
  m.u16(1).u16(0x8000).u16(0).u16(5).u16(0).u16(0);
  m.u8(0).u16(11).u16(1).u32(1).u16(8).u8(10).u8(0).u8(0).u8(1).u8(6).u8(0x00).u8(0x40).u8(0x80);  // ports 9, 16
  m.u8(0).u16(20).u16(1).u32(1).u16(8).label("1234").label("56");
  m.u8(0).u16(27).u16(1).u32(1).u16(6).label("1").label("2").label("3");
  m.u8(0).u16(30).u16(1).u32(1).u16(3).u8(0).u8(0x40).u8(0x01);
  m.u8(0).u16(99).u16(1).u32(1).u16(2).u16(0xABCD);
  std::string o = dns(4, m.b);
  EXPECT_NE(o.find("+DNS:\tIP address: 10.0.0.1\n\t\tIP protocol: 6\n\t\tServices: 9, 16\n"), std::string::npos) << o;
  EXPECT_NE(o.find("+DNS:\t<1234>, sa=<56>\n"), std::string::npos);
  EXPECT_NE(o.find("+DNS:\tLongitude: 1\n\t\tLatitude: 2\n\t\tAltitude: 3\n\t\t\n"), std::string::npos);
  EXPECT_NE(o.find("+DNS:\t<>\n\t\tBit map (2 octets): 40 01\n"), std::string::npos);
  EXPECT_NE(o.find("Type=<QTYPE=99>, Class=IN (Internet)\n+DNS:\tTTL=1 (1 second)\n+DNS:\tRDATA follows (2 bytes):\n"
                   "+DNS:\t ab cd\n"),
            std::string::npos);
}

TEST_F(PanDns, Names) {
  EXPECT_STREQ(secs2txt(0), "");
  EXPECT_STREQ(secs2txt(-5), "");
  EXPECT_STREQ(secs2txt(3661), "1 hour, 1 minute, 1 second");
  EXPECT_STREQ(secs2txt(86400), "1 day");
  EXPECT_STREQ(secs2txt(2 * 86400 + 120), "2 days, 2 minutes");
  EXPECT_STREQ(dnsrrtyp2txt(28), "AAAA (IPv6 address)");
  EXPECT_STREQ(dnsrrtyp2txt(39), "DNAME");
  EXPECT_STREQ(dnsrrtyp2txt(252), "AXFR (transfer entire zone)");
  EXPECT_STREQ(dnsrrtyp2txt(40), "<QTYPE=40>");
  EXPECT_STREQ(dnsrrtyp2txt(0), "<QTYPE=0>");
}

}  // namespace
