#include "forked.h"
#include "tova.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

namespace {

TEST(TextTests, DigitsAndCase)
{
  EXPECT_EQ(isdecstr(""), 1);
  EXPECT_EQ(isdecstr("0123"), 1);
  EXPECT_EQ(isdecstr("12a"), 0);
  EXPECT_EQ(ishexstr("09afAF"), 1);
  EXPECT_EQ(ishexstr("0x1"), 0);
  EXPECT_EQ(isoctstr("0717"), 1);
  EXPECT_EQ(isoctstr("8"), 0);
  char s[] = "MiXed 1";
  str2ucs(s);
  EXPECT_STREQ(s, "MIXED 1");
  str2lcs(s);
  EXPECT_STREQ(s, "mixed 1");
  EXPECT_LT(port_strcasecmp("abc", "ABD"), 0);
  EXPECT_EQ(port_strcasecmp("tcp", "TCP"), 0);
  EXPECT_EQ(port_strncasecmp("tcpX", "TCPy", 3), 0);
  EXPECT_EQ(port_strncasecmp("a", "B", 1), 'A' - 'B');
}

TEST(Strip, TrailingAndLeading)
{
  char s[] = "abc \t\n";
  char *last = stript(s, 0);
  EXPECT_STREQ(s, "abc");
  EXPECT_EQ(*last, 'c');

  char t[] = "abc \t\n";
  stript(t, STRIP_KEEP_BLANK);
  EXPECT_STREQ(t, "abc ");

  char d[] = "x\x7f\x80";
  stript(d, STRIP_KEEP_DEL);
  EXPECT_STREQ(d, "x\x7f");

  char all[] = " \t";
  char *p = stript(all, 0);
  EXPECT_EQ(p + 1, all);
  EXPECT_STREQ(all, "");

  char l[] = "\t\n  host 1";
  stripl(l, 0);
  EXPECT_STREQ(l, "host 1");
  char lb[] = "\t  x";
  stripl(lb, STRIP_KEEP_BLANK);
  EXPECT_STREQ(lb, "  x");
}

TEST(Substitute, ReplacesLeftToRight)
{
  char s[32] = "a    b";
  EXPECT_EQ(strsub(s, sizeof s, "  ", " ", 0), 2);
  EXPECT_STREQ(s, "a  b");
  EXPECT_EQ(s[5], '\0') << "freed tail bytes are zeroed";
  EXPECT_EQ(strsub(s, sizeof s, "  ", " ", 0), 1);
  EXPECT_EQ(strsub(s, sizeof s, "  ", " ", 0), 0);
  EXPECT_STREQ(s, "a b");

  char w[32] = "ip tip";
  EXPECT_EQ(strsub(w, sizeof w, "ip", "IPV4", STRSUB_WORDS), 1);
  EXPECT_STREQ(w, "IPV4 tip");

  char n[32] = "aaa";
  EXPECT_EQ(strsub(n, 0, "a", "aa", 0), 3) << "the inserted text is never rescanned";
  EXPECT_STREQ(n, "aaaaaa");

  char c[16] = "x.y.z";
  EXPECT_EQ(strsub(c, sizeof c, ".", "--", STRSUB_COUNT), 2);
  EXPECT_STREQ(c, "x.y.z");
}

TEST(Substitute, StopsWhenTheNextReplacementWouldNotFit)
{
  char s[8] = "a.b.c";  // 5 chars + terminator; room for one expansion by 2
  EXPECT_EQ(strsub(s, sizeof s, ".", "<>>", 0), 1);
  EXPECT_STREQ(s, "a<>>b.c");

  char e[8] = "old";
  EXPECT_EQ(strsub(e, sizeof e, "", "new", 0), 1);
  EXPECT_STREQ(e, "new");
  EXPECT_EQ(strsub(e, 4, "", "longer", 0), 0);
  EXPECT_STREQ(e, "new");
}

TEST(Counting, SubstringsAndCharacters)
{
  EXPECT_EQ(strcount("aaaa", "aa"), 2);
  EXPECT_EQ(strcount("abc", "x"), 0);
  EXPECT_EQ(chcount("a.b.c", '.'), 2);
}

TEST(Formatting, CommaNumber)
{
  EXPECT_STREQ(comma_number(1234567, nullptr, 0), "1,234,567");
  EXPECT_STREQ(comma_number(999, nullptr, 0), "999");
  EXPECT_STREQ(comma_number(1000, nullptr, 0), "1,000");
  EXPECT_STREQ(comma_number(0, nullptr, 0), "0");
  EXPECT_STREQ(comma_number(-1, nullptr, 0), "4,294,967,295");
  char buf[20];
  EXPECT_EQ(comma_number(-1234, buf, 1), buf);
  EXPECT_STREQ(buf, "-1,234");
  EXPECT_STREQ(comma_number(INT_MIN, buf, 1), "-2,147,483,648");
}

TEST(Formatting, BufToHex)
{
  const unsigned char b[] = {0x00, 0x0a, 0xff};
  EXPECT_STREQ(buf2hex(b, 3, nullptr, 0), "00:0A:FF");
  char out[8];
  EXPECT_STREQ(buf2hex(b, 3, out, sizeof out), "00:0A") << "stops before reaching the size";
  EXPECT_STREQ(buf2hex(b, 3, out, 3), "");
  EXPECT_STREQ(buf2hex(b, 0, out, sizeof out), "");
  unsigned char big[200];
  memset(big, 0xab, sizeof big);
  EXPECT_EQ(strlen(buf2hex(big, sizeof big, nullptr, 0)), 254u) << "85 bytes fit the static buffer";
}

TEST(WholeFile, ReadIntoAllocatedOrGivenBuffer)
{
  TempDir dir;
  const std::string empty = dir.file("empty"), data = dir.file("data");
  fclose(fopen(empty.c_str(), "w"));
  FILE *f = fopen(data.c_str(), "w");
  fputs("host 10.0.0.1", f);
  fclose(f);

  int size = -1;
  char *b = file2buf(-1, empty.c_str(), nullptr, -1, &size, 0, 1);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(b[0], '\0');
  free(b);

  b = file2buf(-1, data.c_str(), nullptr, -1, &size, 2, 1);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(size, 13);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0);
  EXPECT_STREQ(b + 2, "host 10.0.0.1");
  free(b);

  char small[8];
  EXPECT_EQ(file2buf(-1, data.c_str(), small, sizeof small, nullptr, 0, 1), nullptr);
  EXPECT_EQ(std::string(tvl_usrmsg), "Buffer not big enough for file=" + data + " (8 vs 0+13+1)");

  char room[32];
  int fd = open(data.c_str(), O_RDONLY);
  EXPECT_EQ(file2buf(fd, data.c_str(), room, sizeof room, &size, 1, 0), room);
  EXPECT_EQ(memcmp(room + 1, "host", 4), 0);
  EXPECT_NE(fcntl(fd, F_GETFD), -1) << "a given descriptor stays open";
  close(fd);

  EXPECT_EQ(file2buf(-1, dir.file("missing").c_str(), nullptr, -1, nullptr, 0, 0), nullptr);
  EXPECT_EQ(std::string(tvl_usrmsg), "open(" + dir.file("missing") + ") failed, errno=2 [No such file or directory]");
}

TEST(ByteBuffers, BigEndianAndShifts)
{
  const unsigned char b[] = {0x12, 0x34, 0x56, 0x78, 0x9a};
  EXPECT_EQ(buf_ntoh(b, 2), 0x1234);
  EXPECT_EQ(buf_ntoh(b, 5), 0x123456789aL);
  unsigned char out[8] = {};
  buf_hton(0x0102030405060708UL, out, 8);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[7], 8);
  buf_hton(0xabcd, out, 1);
  EXPECT_EQ(out[0], 0xcd);

  alignas(8) char src[16] = "abcdefgh";
  alignas(8) char dst[16] = {};
  EXPECT_EQ(buf_align(8, src, dst, 4), src);
  EXPECT_EQ(buf_align(8, src + 1, dst, 4), dst);
  EXPECT_EQ(memcmp(dst, "bcde", 4), 0);

  char s[] = "..abcd";
  buf_lshift(s + 2, 4, 2);
  EXPECT_EQ(memcmp(s, "abcdcd", 6), 0);
  char r[] = "abcd..";
  buf_rshift(r, 4, 2);
  EXPECT_EQ(memcmp(r, "ababcd", 6), 0);
}

TEST(Integers, PowLogXor)
{
  EXPECT_EQ(mth_intpow(2, 10), 1024);
  EXPECT_EQ(mth_intpow(7, 0), 1);
  EXPECT_EQ(mth_intpow(7, -3), 1);
  EXPECT_EQ(mth_intlog(10, 999), 2);
  EXPECT_EQ(mth_intlog(10, 1000), 3);
  EXPECT_EQ(mth_intlog(2, 1), 0);
  EXPECT_EQ(mth_intlog(0, 5), -1);
  EXPECT_EQ(mth_intlog(1, 5), -1) << "no largest power of 1";
  EXPECT_NE(slurp(test_trace_file()).find("mth_intlog: illegal args, base=0, value=5"), std::string::npos);
  const unsigned char b[] = {0x0f, 0xf0, 0x01};
  EXPECT_EQ(chksum_xor(b, 3), 0xfeu);
  EXPECT_EQ(chksum_xor(b, 0), 0u);
}

TEST(PackedBcd, ReadWriteAndFormat)
{
  unsigned char d[4] = {};
  EXPECT_EQ(bcdrep(d, 0, 4, 42), 4);
  EXPECT_EQ(d[0], 0x00);
  EXPECT_EQ(d[1], 0x42);
  EXPECT_EQ(bcd_to_bin(d, 0, 4), 42);

  unsigned char e[4] = {};
  int n = 0;
  bin_to_bcd(12345, e, 1, &n);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(e[0], 0x01);
  EXPECT_EQ(e[1], 0x23);
  EXPECT_EQ(e[2], 0x45);
  EXPECT_EQ(bcd_to_bin(e, 1, 5), 12345);
  EXPECT_EQ(bcd_to_bin(e, 2, 3), 234);

  char text[16];
  const unsigned char hexy[] = {0x1a, 0xf9};
  EXPECT_STREQ(bcd_to_decstr(hexy, 0, 4, text), "1af9");
  EXPECT_STREQ(bcd_to_decstr(hexy, 1, 2, text), "af");

  unsigned char f[3] = {0x12, 0x34, 0x56};
  bcdset(f, 1, 3, 9);
  EXPECT_EQ(f[0], 0x19);
  EXPECT_EQ(f[1], 0x99);
  EXPECT_EQ(f[2], 0x56);

  const unsigned char many[5] = {0x12, 0x34, 0x56, 0x78, 0x90};
  EXPECT_EQ(bcd_to_bin(many, 0, 9), -1);
  EXPECT_NE(slurp(test_trace_file()).find("(ERR-"), std::string::npos);
  EXPECT_NE(slurp(test_trace_file()).find("bcd_to_bin: 9 digits is too many"), std::string::npos);
}

}  // namespace
