// Output support: print levels, text printer, dump formats, checksum, and the
// layer chain's handling of trailers, left-over octets and undecodable layers.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <vector>

#include "pkt_helpers.h"

namespace {

class PanSupport : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KAV_DUMPFMT");
    unsetenv("KAV_DUMP_LONGS");
    unsetenv("KAV_DUMP_LENDIAN");
    reset_decoders(2);
  }
  void TearDown() override { SetUp(); }
};

std::string prt_all_levels(int vb) {
  kav_vblvl = vb;
  return capture_out([] {
    kavprt(-1, "A");
    kavprt(1, "1");
    kavprt(2, "2");
    kavprt(3, "3");
    kavprt(4, "4");
  });
}

TEST_F(PanSupport, PrintLevelsFollowVerbosity) {
  EXPECT_EQ(prt_all_levels(1), "A1");
  EXPECT_EQ(prt_all_levels(2), "A12");
  EXPECT_EQ(prt_all_levels(3), "A123");
  EXPECT_EQ(prt_all_levels(4), "A4");
  EXPECT_EQ(prt_all_levels(0), "A");  // export mode: only the always-level
}

TEST_F(PanSupport, DidPrintFlagOnlyWhenSomethingPrinted) {
  kav_vblvl = 2;
  kav_did_prt = 0;
  capture_out([] { kavprt(3, "x"); });
  EXPECT_EQ(kav_did_prt, 0);
  capture_out([] { kavprt(2, "x"); });
  EXPECT_EQ(kav_did_prt, 1);
}

// kav_fmt must give the C library's text for every format it accepts.
std::string viafmt(int *rc, const char *fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  *rc = kav_fmt(buf, int(sizeof buf), fmt, ap);
  va_end(ap);
  return *rc >= 0 ? std::string(buf, size_t(*rc)) : std::string();
}

#define SAME_AS_LIBC(fmt, ...)                               \
  do {                                                       \
    char ref[256];                                           \
    snprintf(ref, sizeof ref, fmt, __VA_ARGS__);             \
    int rc;                                                  \
    std::string got = viafmt(&rc, fmt, __VA_ARGS__);         \
    EXPECT_GE(rc, 0) << fmt;                                 \
    EXPECT_EQ(got, std::string(ref)) << fmt;                 \
  } while (0)

TEST_F(PanSupport, FastFormatterMatchesLibrary) {
  for (int v : {0, 1, -1, 42, -42, 999, 1000, 65535, 2147483647, int(-2147483647 - 1)}) {
    SAME_AS_LIBC("%d|%5d|%-5d|%05d|%02X|%04X|%x|%o|%03o|%03d", v, v, v, v, unsigned(v), unsigned(v), unsigned(v),
                 unsigned(v), unsigned(v), v);
    SAME_AS_LIBC("%u, %lu, %ld, 0x%06X, 0x%04lX", unsigned(v), (unsigned long)v, long(v), unsigned(v) & 0xFFFFFF,
                 (unsigned long)v);
  }
  SAME_AS_LIBC("%s|%5s|%-5s|%.3s|%.*s|%1s|%c|%%", "abc", "ab", "ab", "abcdef", 2, "xyz", "", 'Q');
  SAME_AS_LIBC("%*d|%-*d|%lld", 6, 12, 4, 3, -123456789012LL);
  SAME_AS_LIBC("\n%u-octet PDU follows:%s\n\n", 1514u, " Layer = 2, Protocol = Ethernet");
  int rc;
  viafmt(&rc, "%+d", 1);
  EXPECT_EQ(rc, -1);
  viafmt(&rc, "%.3d", 1);
  EXPECT_EQ(rc, -1);
  viafmt(&rc, "%f", 1.0);
  EXPECT_EQ(rc, -1);
  viafmt(&rc, "%hd", 1);
  EXPECT_EQ(rc, -1);
  // Too long for the buffer: refused, and kavprt then prints through the library.
  std::string big(400, 'x');
  viafmt(&rc, "%s", big.c_str());
  EXPECT_EQ(rc, -1);
  std::string huge(3000, 'y');
  EXPECT_EQ(capture_out([&] { kavprt(-1, "<%s>", huge.c_str()); }), "<" + huge + ">");
  EXPECT_EQ(capture_out([] { kavprt(-1, "%5.1f", 2.25); }), "  2.2");
}

// Pieces are formatted in place in a fully buffered stream's buffer when they
// fit; at every fill level of the buffer the text must come out whole and in order.
TEST_F(PanSupport, PiecesAcrossStreamBufferBoundaries) {
  kav_vblvl = 2;
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  static char sbuf[700];
  ASSERT_EQ(setvbuf(f, sbuf, _IOFBF, sizeof sbuf), 0);
  std::string want;
  FILE *old = kav_outfp;
  kav_outfp = f;
  std::string name(180, 'n');
  for (int i = 0; i < 3000; i++) {
    char ref[512];
    int w = i % 7 * 3;
    unsigned long long big = 18446744073709551615ULL - unsigned(i);
    switch (i % 4) {
      case 0:
        kavprt(2, "- Evt=%u (%lu.%06lu): ", unsigned(i), (unsigned long)i * 37, (unsigned long)(i * 7919 % 1000000));
        snprintf(ref, sizeof ref, "- Evt=%u (%lu.%06lu): ", unsigned(i), (unsigned long)i * 37,
                 (unsigned long)(i * 7919 % 1000000));
        break;
      case 1:
        kavprt(2, "%-*s|%.*s|%llu|%lld", w, "ab", i % 180, name.c_str(), big, -(long long)big / 3);
        snprintf(ref, sizeof ref, "%-*s|%.*s|%llu|%lld", w, "ab", i % 180, name.c_str(), big, -(long long)big / 3);
        break;
      case 2:
        kavprt(1, "0x%04X %o %d\n", unsigned(i), unsigned(i), -i);
        snprintf(ref, sizeof ref, "0x%04X %o %d\n", unsigned(i), unsigned(i), -i);
        break;
      default:
        kavprt(3, "not shown %d", i);  // above the verbosity: nothing
        ref[0] = 0;
        break;
    }
    want += ref;
  }
  kav_outfp = old;
  ASSERT_EQ(fflush(f), 0);
  rewind(f);
  std::string got;
  char rb[4096];
  size_t n;
  while ((n = fread(rb, 1, sizeof rb, f)) > 0) got.append(rb, n);
  fclose(f);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}

TEST_F(PanSupport, TextPrinterEscapesAndCuts) {
  EXPECT_EQ(capture_out([] { kav_txtprt("0123456789", 4, 1); }), "0123...");
  EXPECT_EQ(capture_out([] { kav_txtprt("0123456789", 4, 0); }), "0123");
  EXPECT_EQ(capture_out([] { kav_txtprt("ab", 4, 1); }), "ab");
  EXPECT_EQ(capture_out([] { kav_txtprt("a\nb\x7f\xff", 10, 1); }), "a<^J>b<\\177><\\377>");
  EXPECT_EQ(capture_out([] { kav_txtprt("abc", 0, 1); }), "...");
  EXPECT_EQ(capture_out([] { kav_txtprt("", 0, 1); }), "");
  EXPECT_EQ(capture_out([] { kav_txtprt("abc", 0, 0); }), "");
}

std::string dump(const bytes &b, const char *fmt) {
  kav_vblvl = 4;
  return capture_out([&] { kavdump(b.data(), int(b.size()), fmt); });
}

TEST_F(PanSupport, DumpOnlyAtVerbosity4) {
  kav_vblvl = 3;
  bytes b = {1, 2, 3};
  EXPECT_EQ(capture_out([&] { kavdump(b.data(), 3, "HEX"); }), "");
}

TEST_F(PanSupport, DumpHexDecOct) {
  bytes b;
  for (int i = 0; i < 27; i++) b.push_back((unsigned char)(i * 10));
  std::string hex = dump(b, "HEX");
  EXPECT_EQ(hex,
            "Hexadecimal format, 25 octets per row\n0001: 00 0A 14 1E 28 32 3C 46 50 5A 64 6E 78 82 8C 96 A0 AA "
            "B4 BE C8 D2 DC E6 F0\n0002: FA 04\n");
  bytes s = {0, 9, 255};
  EXPECT_EQ(dump(s, "dec"), "Decimal format, 16 octets per row\n0001: 000 009 255\n");
  EXPECT_EQ(dump(s, "OCT"), "Octal format, 16 octets per row\n0001: 000 011 377\n");
  EXPECT_EQ(dump(s, nullptr), "Decimal format, 16 octets per row\n0001: 000 009 255\n");  // default DEC
  EXPECT_EQ(dump(bytes(), "HEX"), "Hexadecimal format, 25 octets per row\n");
}

TEST_F(PanSupport, DumpDefaultFromEnvironment) {
  setenv("KAV_DUMPFMT", "hex", 1);
  kav_dump_reset();
  EXPECT_EQ(dump(bytes{0xAB}, nullptr), "Hexadecimal format, 25 octets per row\n0001: AB\n");
  // A per-call format wins over the default.
  EXPECT_EQ(dump(bytes{0xAB}, "DEC"), "Decimal format, 16 octets per row\n0001: 171\n");
  setenv("KAV_DUMPFMT", "bogus", 1);
  kav_dump_reset();
  EXPECT_EQ(dump(bytes{1}, nullptr), "Decimal format, 16 octets per row\n0001: 001\n");
}

TEST_F(PanSupport, DumpLongsBigAndLittleEndian) {
  setenv("KAV_DUMP_LONGS", "y", 1);
  kav_dump_reset();
  bytes b = {0x00, 0x01, 0x00, 0x02};
  EXPECT_EQ(dump(b, "HEX"), "Hexadecimal format, 4 octets per row\n0001: 00 01 00 02\t\t(1, 2) or 65538\n");
  bytes six = {0x00, 0x01, 0x00, 0x02, 0x01, 0x00};
  // The last, short row shows the four octets ending at its last octet.
  EXPECT_EQ(dump(six, "DEC"),
            "Decimal format, 4 octets per row\n0001: 000 001 000 002\t\t(1, 2) or 65538\n0002: 001 000\t\t(2, 256) or "
            "131328\n");
  // Fewer than four octets in all: nothing is read before the buffer.
  EXPECT_EQ(dump(bytes{7, 8}, "HEX"), "Hexadecimal format, 4 octets per row\n0001: 07 08\n");
  setenv("KAV_DUMP_LENDIAN", "Y", 1);
  kav_dump_reset();
  EXPECT_EQ(dump(b, "HEX"), "Hexadecimal format, 4 octets per row\n0001: 00 01 00 02\t\t(256, 512) or 33554688\n");
  setenv("KAV_DUMP_LONGS", "maybe", 1);  // invalid: ignored, default "n"
  kav_dump_reset();
  EXPECT_EQ(dump(b, "HEX"), "Hexadecimal format, 25 octets per row\n0001: 00 01 00 02\n");
}

TEST_F(PanSupport, DumpAscii) {
  bytes b = {'A', 0x8A, 0, ' ', 0x7F, 0xC1};
  EXPECT_EQ(dump(b, "ASC"), "ASCII format, 15 chars per row\n0001:    A  \\LF  NUL  SPC  DEL   \\A\n");
  bytes row(16, 'x');
  std::string out = dump(row, "asc");
  EXPECT_NE(out.find("\n0002:    x\n"), std::string::npos) << out;
}

TEST_F(PanSupport, DumpText) {
  bytes b = {'h', 'i', 0, 0, 'x', 0};
  EXPECT_EQ(dump(b, "TXT"), "Text format - WARNING: buffer contains NULs\nhi\n*** 2 NULs ***\nx\n*** 1 NUL ***\n\n");
  EXPECT_EQ(dump(bytes{'o', 'k'}, "TXT"), "Text format\nok\n");
}

TEST_F(PanSupport, ChecksumMatchesAndMismatches) {
  bytes b = hexbytes("45 00 00 1c 00 01 40 00 40 11 00 00 0a 00 00 01 0a 00 00 02");
  put16(b, 10, uint16_t(~inet_sum(b.data(), b.size())));
  EXPECT_EQ(kav_chksum16_1(b.data(), int(b.size())) & 0xFFFF, 0);
  b[15] ^= 1;
  EXPECT_NE(kav_chksum16_1(b.data(), int(b.size())) & 0xFFFF, 0);
  EXPECT_EQ(kav_chksum16_1(nullptr, 0), 0xFFFF);  // empty: never a match
  // Odd length: summed as if padded with a zero octet, nothing written past the data.
  unsigned char *odd = (unsigned char *)malloc(3);
  odd[0] = 0x12;
  odd[1] = 0x34;
  odd[2] = 0x56;
  EXPECT_EQ(kav_chksum16_1(odd, 3), int(uint16_t(~(0x1234 + 0x5600))));
  free(odd);
}

// The word-wise sum must fold to what the plain sum of 16-bit big-endian
// words gives, for any length, alignment and pseudo-header seed.
TEST_F(PanSupport, ChecksumPartialSumsMatchPlainSum) {
  std::vector<unsigned char> mem(1600 + 8);
  uint32_t r = 12345;
  for (auto &c : mem) {
    r = r * 1103515245u + 12345u;
    c = (unsigned char)(r >> 16);
  }
  for (int off = 0; off < 8; off++)
    for (int len : {0, 1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 33, 40, 63, 64, 65, 1499, 1500, 1600}) {
      for (uint32_t seed : {0u, 1u, 0xFFFFu, 0x2FFFDu, 0xFFFFFFF0u}) {
        const unsigned char *d = mem.data() + off;
        uint64_t plain = seed;
        for (int i = 0; i + 1 < len; i += 2) plain += uint32_t(d[i]) << 8 | d[i + 1];
        if (len & 1) plain += uint32_t(d[len - 1]) << 8;
        while (plain >> 16) plain = (plain & 0xFFFF) + (plain >> 16);
        EXPECT_EQ(kav_chksum_fold(kav_chksum_part(d, len, seed)), plain) << "off " << off << " len " << len
                                                                           << " seed " << seed;
      }
    }
  // All-zero data sums to zero, all-ones to 0xFFFF: the two zeros stay apart.
  std::vector<unsigned char> z(20, 0), o(20, 0xFF);
  EXPECT_EQ(kav_chksum_fold(kav_chksum_part(z.data(), 20, 0)), 0);
  EXPECT_EQ(kav_chksum_fold(kav_chksum_part(o.data(), 20, 0)), 0xFFFF);
}

TEST_F(PanSupport, ChainDumpsUndecodableLayer) {
  bytes b = {1, 2, 3};
  EXPECT_EQ(decode(2, KAV_LAYER_STOP, 0, b, 5), "data=8; \n");
  EXPECT_EQ(decode(4, KAV_LAYER_STOP, 0, b),
            "\n3-octet PDU follows:\n\n3 Data octets follow:\nDecimal format, 16 octets per row\n0001: 001 002 003\n");
  EXPECT_EQ(decode(4, KAV_LAYER_DUMP, 0, b),
            "\n3-octet PDU follows:\n\nDecimal format, 16 octets per row\n0001: 001 002 003\n");
  EXPECT_EQ(decode(4, KAV_LAYER_TEXT, 0, bytes{'h', 'i'}), "\n2-octet PDU follows:\n\n\nhi\n");
  // An unknown protocol at a known layer goes the same way, with its label.
  EXPECT_EQ(decode(4, KAV_LAYER_LINK, 3, b).substr(0, 60),
            "\n3-octet PDU follows: Layer = 2, Protocol = Token Ring\n\n3 Da");
  EXPECT_EQ(decode(4, 9, 7, b).substr(0, 40), "\n3-octet PDU follows: Layer = 9, Protoco");
}

TEST_F(PanSupport, ChainRawModeLabel) {
  kav_rawmode = 1;
  EXPECT_EQ(decode(4, KAV_LAYER_LINK, 3, bytes{1}).substr(0, 45), "\n1-octet PDU follows: Protocol = Token Ring\n\n");
  EXPECT_EQ(decode(4, KAV_LAYER_LINK, 0, bytes{1}).substr(0, 25), "\n1-octet PDU follows:\n\n1 ");
}

TEST_F(PanSupport, ChainCutsTrailerBeforeNextLayer) {
  // 802.3 length 3 carrying LLC UI (3 octets) and 6 octets of padding.
  bytes f = cat({eth_hdr("ff:ff:ff:ff:ff:ff", "02:00:00:00:00:01", 3), hexbytes("42 42 03"), bytes(6, 0xEE)});
  std::string out = decode(4, KAV_LAYER_LINK, KAV_L2_8023, f);
  EXPECT_NE(out.find("\tNB: PDU length adjusted down by 6, to 17\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n3-octet PDU follows: Layer = 2, Protocol = LLC\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("238"), std::string::npos) << out;  // the padding octets (0xEE) are never shown
}

TEST_F(PanSupport, ChainEndsWithoutDataWhenDecoderReturnsZero) {
  bytes f = bytes(10, 0);  // a truncated Ethernet header: payload 0
  std::string out = decode(4, KAV_LAYER_LINK, KAV_L2_ETH, f);
  EXPECT_EQ(out.find("Data octets follow"), std::string::npos);
  EXPECT_EQ(decode(2, KAV_LAYER_LINK, KAV_L2_ETH, f), "*ETH; \n");
}

TEST_F(PanSupport, ChainClearsContext) {
  kav_pktctx ctx;
  memset(&ctx, 0, sizeof ctx);
  decode(2, KAV_LAYER_STOP, 0, bytes{1}, 0, &ctx);
  EXPECT_FALSE(kav_ctx_txtset(ctx.ipsrc));
  EXPECT_EQ(ctx.ipid, KAV_CTX_UNSET32);
}

// The names -u, -U and -r accept, and the list the usage synopsis shows.
TEST(PseudoProtocols, NamesCodesAndListing) {
  struct {
    const char *name;
    int code;
  } want[] = {{"RPC", KAV_MAP_RPC},          {"sunrpc", KAV_MAP_RPC},          {"asn1", KAV_MAP_ASN1},
              {"ASN.1", KAV_MAP_ASN1},       {"Ssl", KAV_MAP_SSL},             {"X509CERT", KAV_MAP_X509CERT},
              {"x.509cert", KAV_MAP_X509CERT}, {"X509CRL", KAV_MAP_X509CRL}, {"X.509CRL", KAV_MAP_X509CRL},
              {"text", KAV_MAP_TEXT}};
  for (const auto &w : want) EXPECT_EQ(kav_pseudo_code(w.name), w.code) << w.name;
  for (const char *no : {"", "X509", "ASN", "53", "RPC "}) EXPECT_EQ(kav_pseudo_code(no), 0) << no;
  EXPECT_STREQ(kav_pseudo_list(), "RPC, ASN1, X509CERT, X509CRL, SSL, TEXT");
  EXPECT_EQ(KAV_MAP_RPC, -1);
  EXPECT_EQ(KAV_MAP_TEXT, -6);
}

}  // namespace
