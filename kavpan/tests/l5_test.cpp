// Layer 5: the dispatch table, the protocol map switches (-u, -U), the RPC
// recognition test, text protocols (-l, -d, the %w context fields) and TFTP.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "panapp.h"
#include "pkt_helpers.h"

namespace {

class PanApp : public ::testing::Test {
 protected:
  void SetUp() override { reset_decoders(2); }
  void TearDown() override {
    unsetenv("KAV_DUMPFMT");
    reset_decoders(2);
  }
};

bytes txt(const char *s) { return pkt::text(s); }

// A DNS query header with no questions: recognisable as DNS at a glance.
bytes dnsq() { return hexbytes("00 01 01 00 00 00 00 00 00 00 00 00"); }

TEST_F(PanApp, TableKeysAreUniqueAndRulesHold) {
  std::set<int> keys;
  for (int i = 0; i < kav_l5rows; i++) {
    EXPECT_TRUE(keys.insert(kav_l5table[i].key).second) << kav_l5table[i].key;
    EXPECT_NE(kav_l5table[i].decode, nullptr);
  }
  for (int k : {21, 23, 25, 80, 110, 119, 143, 5060, -6, 513, 514, 53, 67, 68, 69, 111, 2049, 4045, -1, 161, 162, 389,
                -2, -4, -5, 443, 465, 563, 614, 636, 989, 990, 992, 993, 994, 995, 5061, -3, 520, 1812, 1813})
    EXPECT_NE(kav_l5find(k, 6), nullptr) << k;
  EXPECT_EQ(kav_l5rows, 41);
  EXPECT_EQ(kav_l5find(514, 17), nullptr);
  EXPECT_EQ(kav_l5find(513, 17), nullptr);
  EXPECT_NE(kav_l5find(514, 0), nullptr);
  EXPECT_EQ(kav_l5find(8080, 6), nullptr);
  EXPECT_STREQ(kav_l5find(161, 17)->label, "SNMP");
  EXPECT_STREQ(kav_l5find(389, 6)->label, "LDAP");
  EXPECT_STREQ(kav_l5find(-4, 6)->label, "X509");
  EXPECT_EQ(kav_l5find(-2, 6)->label, nullptr);
}

TEST_F(PanApp, UnknownPortStaysData) {
  EXPECT_EQ(l4_out(2, false, 5000, 6000, txt("abc")), "UDP: 5000->6000; data=3 []; \n");
  std::string o = l4_out(4, false, 5000, 6000, txt("abc"));
  EXPECT_NE(o.find("Layer = 5, Protocol = 6000\n\n3 Data octets follow:\n"), std::string::npos) << o;
}

TEST_F(PanApp, TextSummaryHonoursLengthLimit) {
  bytes get = txt("GET /index.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(l4_out(2, true, 1025, 80, get), "TCP: 1025->80 <PSH,ACK>, seq=1-28, ack=1, win=512; data=28 [GET /index.html...]; \n");
  kav_txtdmp = 4;  // -l 4
  EXPECT_NE(l4_out(2, true, 1025, 80, get).find("data=28 [GET ...]"), std::string::npos);
  kav_txtdmp = 100;
  EXPECT_NE(l4_out(1, true, 1025, 80, get).find("data=28 [GET /index.html HTTP/1.0<^M><^J><^M><^J>]"), std::string::npos);
  kav_txtdmp = 0;  // -l 0: nothing
  EXPECT_NE(l4_out(2, true, 1025, 80, get).find("data=28 []"), std::string::npos);
  kav_txtdmp = 15;
  // The text ends at the payload's end or its first NUL, never beyond.
  EXPECT_NE(l4_out(2, true, 1025, 25, txt("HELO")).find("[HELO]"), std::string::npos);
  EXPECT_NE(l4_out(2, true, 1025, 25, bytes{'o', 'k', 0, 'x'}).find("[ok]"), std::string::npos);
  EXPECT_NE(l4_out(2, true, 1025, 25, bytes{0xE9, 0x7F}).find("[<\\351><\\177>]"), std::string::npos);
}

TEST_F(PanApp, TextDumpAtVerbosity4AndTheDashDSwitch) {
  bytes hi = txt("USER bob\r\n");
  std::string o = l4_out(4, true, 1025, 110, hi);
  EXPECT_NE(o.find("Layer = 5, Protocol = 110\n\nText format\nUSER bob\r\n\n"), std::string::npos) << o;
  setenv("KAV_DUMPFMT", "HEX", 1);
  kav_dump_reset();
  EXPECT_NE(l4_out(4, true, 1025, 110, hi).find("Text format\nUSER bob"), std::string::npos);  // TXT unless -d
  kav_envdmpfmt = 1;  // -d
  o = l4_out(4, true, 1025, 110, hi);
  EXPECT_NE(o.find("Hexadecimal format, 25 octets per row\n0001: 55 53 45 52 20 62 6F 62 0D 0A\n"), std::string::npos)
      << o;
}

TEST_F(PanApp, TextIsRecordedForTheTrigger) {
  // The text stays in the packet, which the trigger reads before the next one.
  kav_pktctx ctx;
  bytes seg = tcp_seg(false, "10.0.0.1", "10.0.0.2", 1025, 143, 1, 1, 0x18, 512, {}, txt("NICK x\r\n"));
  capture_out([&] { print_pkt(KAV_LAYER_TRANS, 6, seg.data(), int(seg.size()), 0, &ctx); });
  ASSERT_EQ(ctx.applen, 8);
  EXPECT_EQ(ctx.apptext, seg.data() + 20);
  EXPECT_EQ(std::string((const char *)ctx.apptext, size_t(ctx.applen)), "NICK x\r\n");
  l4_out(2, false, 1025, 53, dnsq(), &ctx);
  EXPECT_EQ(uint32_t(ctx.applen), KAV_CTX_UNSET32);
}

TEST_F(PanApp, RemoteShellPortsAreTextOnlyOverTcp) {
  EXPECT_NE(l4_out(2, true, 1023, 514, txt("root")).find("data=4 [root]"), std::string::npos);
  EXPECT_NE(l4_out(2, false, 1023, 514, txt("root")).find("data=4 []"), std::string::npos);
  kav_proto_map = KAV_MAP_TEXT;  // -u TEXT
  EXPECT_NE(l4_out(2, false, 1023, 514, txt("root")).find("data=4 [root]"), std::string::npos);
  kav_proto_map = 514;  // -u 514 keeps the rule
  EXPECT_NE(l4_out(2, false, 1023, 1023, txt("root")).find("data=4 []"), std::string::npos);
  EXPECT_NE(l4_out(2, true, 3000, 3000, txt("root")).find("data=4 [root]"), std::string::npos);
}

TEST_F(PanApp, MapForUnknownPortsAndForcedMap) {
  kav_proto_map = 53;  // -u 53
  EXPECT_NE(l4_out(2, false, 3000, 3001, dnsq()).find("data=12 [QRY - 0,0,0,0]"), std::string::npos);
  EXPECT_NE(l4_out(2, true, 1025, 80, txt("GET")).find("[GET]"), std::string::npos);  // the port wins
  kav_force_map = 1;  // -U 53
  EXPECT_NE(l4_out(2, false, 1025, 80, txt("GET")).find("[QRY - header truncated]"), std::string::npos);
  EXPECT_NE(l4_out(2, true, 1025, 80, txt("GET")).find("[DNS header truncated]"), std::string::npos);  // after 2 octets
  kav_proto_map = KAV_MAP_TEXT;  // -U TEXT: every payload, DNS included
  EXPECT_NE(l4_out(2, false, 1025, 53, txt("abc")).find("[abc]"), std::string::npos);
  kav_proto_map = 7777;  // -U to a port without a decoder: nothing is decoded
  EXPECT_NE(l4_out(2, false, 1025, 53, dnsq()).find("data=12 []"), std::string::npos);
  kav_force_map = 0;
  kav_proto_map = 7777;  // -u to such a port: the real port still decodes
  EXPECT_NE(l4_out(2, false, 1025, 53, dnsq()).find("[QRY - 0,0,0,0]"), std::string::npos);
}

bytes rpc_udp(uint32_t type, uint32_t next, size_t len) {
  bytes b(len, 0);
  put32(b, 0, 0x11223344);
  put32(b, 4, type);
  put32(b, 8, next);
  return b;
}

TEST_F(PanApp, RpcRecognition) {
  auto rec = [](const bytes &b, int l4) { return kav_rpc_recognised(kav_view(b.data(), int(b.size())), l4); };
  EXPECT_TRUE(rec(rpc_udp(0, 2, 40), 17));
  EXPECT_FALSE(rec(rpc_udp(0, 2, 39), 17));  // a call needs more than 39 octets
  EXPECT_FALSE(rec(rpc_udp(0, 3, 40), 17));
  EXPECT_TRUE(rec(rpc_udp(1, 0, 24), 17));
  EXPECT_TRUE(rec(rpc_udp(1, 1, 39), 17));
  EXPECT_FALSE(rec(rpc_udp(1, 2, 39), 17));
  EXPECT_FALSE(rec(rpc_udp(1, 0, 23), 17));
  EXPECT_FALSE(rec(rpc_udp(2, 0, 60), 17));
  // Over TCP the words follow a record mark; the length counts one less.
  bytes t(41, 0);
  put32(t, 0, 0x80000025);
  put32(t, 8, 0);
  put32(t, 12, 2);
  EXPECT_TRUE(rec(t, 6));
  t.pop_back();
  EXPECT_FALSE(rec(t, 6));
  EXPECT_FALSE(rec(rpc_udp(0, 2, 40), 6));
  // A payload with a decoder of its own port is not tested: the port wins.
  kav_proto_map = KAV_MAP_RPC;
  EXPECT_NE(l4_out(2, false, 1025, 53, rpc_udp(0, 2, 40)).find("[QRY - 0,0,0,2]"), std::string::npos);
}

TEST_F(PanApp, PayloadFromTheLinkLayerHasNoTransport) {
  // SNMP over Ethernet reaches layer 5 from the link layer: it is named
  // without a transport protocol and decoded by the SNMP schema.
  bytes f = cat({eth_hdr("00:11:22:33:44:55", "08:00:20:0a:0b:0c", 0x814C), bytes{0x30, 0x03, 0x02, 0x01, 0x00}});
  std::string o = decode(4, 2, 1, f);
  EXPECT_NE(o.find("5-octet PDU follows: Layer = 5, Protocol = 161\n\nSNMP: {Universal (C), Tag=16 (Sequence)"),
            std::string::npos)
      << o;
  // 514 has its text decoder except over UDP: without a transport it applies.
  kav_force_map = 1;
  kav_proto_map = 514;
  EXPECT_NE(decode(2, 2, 1, f).find("data=5 [0<^C><^B><^A>]"), std::string::npos) << decode(2, 2, 1, f);
}

bytes tftp(unsigned op, const bytes &rest) {
  return cat({bytes{(unsigned char)(op >> 8), (unsigned char)op}, rest});
}

TEST_F(PanApp, Tftp) {
  bytes rrq = tftp(1, bytes{'b', 'o', 'o', 't', 0, 'o', 'c', 't', 'e', 't', 0});
  EXPECT_EQ(l4_out(2, false, 1025, 69, rrq), "UDP: 1025->69; data=13 [Read boot]; \n");
  std::string o = l4_out(4, false, 1025, 69, rrq);
  EXPECT_NE(o.find("\n\n+TFTP: Opcode = Read-Request\n+TFTP: Filename = boot\n+TFTP: Mode = octet\n"), std::string::npos);
  EXPECT_EQ(o.find("padding"), std::string::npos);
  // Octets after the mode are left over.
  bytes wrq = tftp(2, bytes{'f', 0, 'm', 0, 'x', 'y'});
  o = l4_out(4, false, 1025, 69, wrq);
  EXPECT_NE(o.find("+TFTP: Opcode = Write-Request\n+TFTP: Filename = f\n+TFTP: Mode = m\n\n2 padding/unexpected octets follow:\n"),
            std::string::npos)
      << o;
  EXPECT_NE(l4_out(2, false, 1025, 69, tftp(3, bytes{0, 7, 1, 2})).find("[Data #7]"), std::string::npos);
  o = l4_out(4, false, 1025, 69, tftp(4, bytes{1, 0, 9}));
  EXPECT_NE(o.find("+TFTP: Opcode = Ack\n+TFTP: Block = 256\n\n1 padding/unexpected octets follow:\n"), std::string::npos) << o;
  EXPECT_NE(l4_out(2, false, 1025, 69, tftp(5, bytes{0, 1, 'n', 'o', 0})).find("[Err #1]"), std::string::npos);
  EXPECT_NE(l4_out(4, false, 1025, 69, tftp(5, bytes{0, 1, 'n', 'o', 0}))
                .find("+TFTP: Opcode = Error\n+TFTP: Code = 1\n+TFTP: Message = no\n"),
            std::string::npos);
  EXPECT_NE(l4_out(2, false, 1025, 69, tftp(9, bytes{})).find("[Op=9]"), std::string::npos);
  o = l4_out(4, false, 1025, 69, tftp(9, bytes{1}));
  EXPECT_NE(o.find("+TFTP: Opcode = <9>\n\n1 padding/unexpected octets follow:\n"), std::string::npos);
}

TEST_F(PanApp, TftpTruncated) {
  EXPECT_NE(l4_out(2, false, 1025, 69, bytes{0}).find("[TFTP truncated]"), std::string::npos);
  EXPECT_NE(l4_out(2, false, 1025, 69, bytes{0, 3, 1}).find("[TFTP truncated]"), std::string::npos);
  std::string o = l4_out(4, false, 1025, 69, bytes{0, 4, 1});
  EXPECT_NE(o.find("NB: TFTP message truncated (3 octets)\n\n3 padding/unexpected octets follow:\n"), std::string::npos) << o;
  o = l4_out(4, false, 1025, 69, tftp(1, bytes{'a', 'b'}));
  EXPECT_NE(o.find("+TFTP: Filename = ab\nNB: TFTP file name truncated\n"), std::string::npos) << o;
  o = l4_out(4, false, 1025, 69, tftp(1, bytes{'a', 0, 'b'}));
  EXPECT_NE(o.find("+TFTP: Mode = b\nNB: TFTP mode truncated\n"), std::string::npos) << o;
  o = l4_out(4, false, 1025, 69, tftp(5, bytes{0, 2, 'x'}));
  EXPECT_NE(o.find("+TFTP: Message = x\nNB: TFTP message truncated\n"), std::string::npos) << o;
}

}  // namespace
