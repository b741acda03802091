// Ring sizing, rate rows, filter-text clean-up and the subnet table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "runner.h"
#include "tapsupp.h"
#include "terminal_text.h"

namespace {

TEST(RingGeometry, DefaultSnapshotPacksFourFramesAPage) {
  tap_ring_geom g;
  tap_ring_geometry(600, 0, 4194304, 4096, 4096 * 1024, &g);
  EXPECT_EQ(g.frame_size, 1024);
  EXPECT_EQ(g.granule, 4096);
  EXPECT_EQ(g.block_size, 4194304);
  EXPECT_EQ(g.block_nr, 1);
  EXPECT_EQ(g.frame_nr, 4096);
}

TEST(RingGeometry, CountOnlyAndWholeFrames) {
  tap_ring_geom g;
  tap_ring_geometry(1, 0, 4194304, 4096, 4096 * 1024, &g);
  EXPECT_EQ(g.frame_size, 64);
  EXPECT_EQ(g.frame_nr, 65536);
  tap_ring_geometry(0, 0, 4194304, 4096, 4096 * 1024, &g);
  EXPECT_EQ(g.frame_size, 2048);
  EXPECT_EQ(g.frame_nr, 2048);
  // A known MTU sizes whole-frame slots from it.
  tap_ring_geometry(0, 9000, 4194304, 4096, 4096 * 1024, &g);
  EXPECT_EQ(g.frame_size, 12288);
  EXPECT_EQ(g.granule, 12288);
}

TEST(RingGeometry, SmallerTrialBlocksAndOddKsdu) {
  tap_ring_geom g;
  // Halved trial block: two blocks of 2 MiB.
  tap_ring_geometry(600, 0, 4194304, 4096, 2097152, &g);
  EXPECT_EQ(g.block_size, 2097152);
  EXPECT_EQ(g.block_nr, 2);
  EXPECT_EQ(g.frame_nr, 4096);
  // A ksdu that is no multiple of the block: blocks shrink, page-granular.
  tap_ring_geometry(600, 0, 3 * 1024 * 1024 + 100, 4096, 2097152, &g);
  EXPECT_EQ(g.block_nr, 2);
  EXPECT_EQ(g.block_size % 4096, 0);
  EXPECT_GE(static_cast<long>(g.block_size) * g.block_nr, 3L * 1024 * 1024 + 100);
  EXPECT_EQ(g.frame_nr, g.block_nr * (g.block_size / g.frame_size));
  // Frames larger than a page: granule is the frame.
  tap_ring_geometry(65535, 0, 4194304, 4096, 4096 * 1024, &g);
  EXPECT_EQ(g.frame_size % 4096, 0);
  EXPECT_GE(g.frame_size, 65535 + 66);
  EXPECT_EQ(g.block_size % g.frame_size, 0);
}

TEST(FilterText, NormalisedToSingleBlanks) {
  char t[] = "  \t(TCP SD=80)\r\n  |\t\t(UDP   SD=53)  \n";
  tap_normalise_filter(t);
  EXPECT_STREQ(t, "(TCP SD=80) | (UDP SD=53)");
  char e[] = " \n\t ";
  tap_normalise_filter(e);
  EXPECT_STREQ(e, "");
}

class TempFile : public ::testing::Test {
 protected:
  vts::TempFile file;
  const std::string path = file.path;
  void write(const std::string &s) {
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs(s.c_str(), f);
    std::fclose(f);
  }
  std::string read() { return vts::readFile(path); }
};

using Netmasks = TempFile;

TEST_F(Netmasks, LongestMatchingMaskWins) {
  write("# comment\n\n  10.0.0.0\t255.255.255.0  \n10.1.0.0 255.255.0.0\n10.1.2.0 255.255.255.0\n");
  tap_subnet *tab = nullptr;
  int n = 0;
  ASSERT_EQ(tap_load_netmasks(path.c_str(), &tab, &n), 0);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(tab[0].net, 0x0A000000u);
  EXPECT_EQ(tab[0].mask, 0xFFFFFF00u);
  uint32_t m = 0;
  ASSERT_EQ(tap_netmask(0x0A010203u, 0xFFFFFFF0u, tab, n, &m), 0);  // 10.1.2.3
  EXPECT_EQ(m, 0xFFFFFF00u);
  ASSERT_EQ(tap_netmask(0x0A010903u, 0xFFFFFFF0u, tab, n, &m), 0);  // 10.1.9.3
  EXPECT_EQ(m, 0xFFFF0000u);
  // 10.2.2.3 matches no entry: the interface's own mask, not a class mask.
  ASSERT_EQ(tap_netmask(0x0A020203u, 0xFFFFFFF0u, tab, n, &m), 0);
  EXPECT_EQ(m, 0xFFFFFFF0u);
  std::free(tab);
}

// Without an entry the configured mask is recorded: 10.77.0.1/24 and
// 172.20.5.9/28 keep their own masks, not 0xFF000000 and 0xFFFF0000.
TEST_F(Netmasks, ConfiguredMaskWithoutEntryAndInvalidHost) {
  uint32_t m = 0;
  ASSERT_EQ(tap_netmask(0x0A4D0001u, 0xFFFFFF00u, nullptr, 0, &m), 0);
  EXPECT_EQ(m, 0xFFFFFF00u);
  ASSERT_EQ(tap_netmask(0xAC140509u, 0xFFFFFFF0u, nullptr, 0, &m), 0);
  EXPECT_EQ(m, 0xFFFFFFF0u);
  ASSERT_EQ(tap_netmask(0xC6120001u, 0xFFFE0000u, nullptr, 0, &m), 0);
  EXPECT_EQ(m, 0xFFFE0000u);
  EXPECT_NE(tap_netmask(0xE0000001u, 0xFFFFFF00u, nullptr, 0, &m), 0);
  EXPECT_STREQ(tvl_usrmsg, "224.0.0.1 is not a valid host address");
}

TEST_F(Netmasks, CorruptLinesNamed) {
  tap_subnet *tab = nullptr;
  int n = 0;
  write("10.0.0.0 255.0.0.0\nnowhitespace\n");
  EXPECT_EQ(tap_load_netmasks(path.c_str(), &tab, &n), 1);
  EXPECT_EQ(std::string(tvl_usrmsg), path + " is corrupt, no white space on line 2 [nowhitespace]");
  write("10.0.x.0 255.0.0.0\n");
  EXPECT_EQ(tap_load_netmasks(path.c_str(), &tab, &n), 1);
  EXPECT_EQ(std::string(tvl_usrmsg), path + " is corrupt, can't parse network number on line 1 [10.0.x.0]");
  write("#\n10.0.0.0 255.0.0\n");
  EXPECT_EQ(tap_load_netmasks(path.c_str(), &tab, &n), 1);
  EXPECT_EQ(std::string(tvl_usrmsg), path + " is corrupt, can't parse subnet mask on line 2 [10.0.0.0 255.0.0]");
  EXPECT_EQ(tap_load_netmasks("/nonexistent/netmasks", &tab, &n), 0);
  EXPECT_EQ(n, 0);
}

TEST_F(Netmasks, TableGrowsPastTenEntries) {
  std::string s;
  for (int i = 0; i < 25; i++) s += "10." + std::to_string(i) + ".0.0 255.255.0.0\n";
  write(s);
  tap_subnet *tab = nullptr;
  int n = 0;
  ASSERT_EQ(tap_load_netmasks(path.c_str(), &tab, &n), 0);
  EXPECT_EQ(n, 25);
  EXPECT_EQ(tab[24].net, 0x0A180000u);
  std::free(tab);
}

// Rate rows: the interval, counts and "idle" lines.
class Rates : public TempFile {
 protected:
  void SetUp() override {
    TempFile::SetUp();
    setenv("TZ", "UTC", 1);
    tzset();
    std::memset(&ctlblk.log, 0, sizeof ctlblk.log);
    ctlblk.server = 0;
  }
};

TEST_F(Rates, FiveSecondIntervalsWithIdle) {
  ctlblk.interval = 5;
  FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  tap_rates st{};
  st.next = 105;  // start at second 100
  st.prev = 100;
  tap_rate_account(f, &st, 101, 60);
  ctlblk.log.packets = 1;
  tap_rate_account(f, &st, 107, 60);  // row for 105
  EXPECT_EQ(st.next, 110);
  ctlblk.log.packets = 2;
  tap_rate_account(f, &st, 121, 60);  // row for 110, next interval ends 125
  EXPECT_EQ(st.next, 125);
  ctlblk.log.packets = 3;
  update_freqfile(f, &st, 130);  // row for 125, after a gap
  std::fclose(f);
  EXPECT_EQ(read(),
            "Jan01 00:01:45           0.20                 12                     1\n"
            "Jan01 00:01:50           0.20                 12                     2\n"
            "idle\n"
            "Jan01 00:02:05           0.20                 12                     3\n");
}

TEST_F(Rates, HundredthsAndThousands) {
  ctlblk.interval = 2;
  FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  tap_rates st{};
  st.next = 1000002;
  st.prev = 1000000;
  for (int i = 0; i < 3; i++) tap_rate_account(f, &st, 1000001, 100);
  ctlblk.log.packets = 1234567;
  tap_rate_account(f, &st, 1000002, 100);
  std::fclose(f);
  EXPECT_EQ(read(), "Jan12 13:46:42           1.50                150             1,234,567\n");
  EXPECT_EQ(st.count, 1u);
  EXPECT_EQ(st.bytes, 100u);
}

TEST_F(Rates, ServerRecordsAreBigEndianPairs) {
  ctlblk.server = 1;
  ctlblk.interval = 1;
  FILE *f = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(f);
  tap_rates st{};
  tap_rate_account(f, &st, 50, 0x10203);  // first frame: nothing sent yet
  EXPECT_EQ(st.count, 1u);
  tap_rate_account(f, &st, 50, 1);  // the second frame sends the first
  EXPECT_EQ(st.next, 51);
  tap_rate_account(f, &st, 50, 2);
  tap_rate_account(f, &st, 52, 7);  // closes second 50
  EXPECT_EQ(st.next, 53);
  std::fclose(f);
  ctlblk.server = 0;
  std::string r = read();
  ASSERT_EQ(r.size(), 16u);
  const unsigned char want[16] = {0, 1, 2, 3, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 2};
  EXPECT_EQ(std::memcmp(r.data(), want, 16), 0);
}

TEST(Asctimdat, MonthDayAndTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(asctimdat(0), "Jan01 00:00:00");
  EXPECT_STREQ(asctimdat(1700000000), "Nov14 22:13:20");
}

}  // namespace

TEST(Progress, CounterStaysOnOneLineAtAnySize) {
  int width = 5;
  char buf[64];
  std::string screen = "";
  const uint64_t counts[] = {3, 99999, 100000, 123456789, 9999999999ull, 18446744073709551615ull};
  std::string expect_first = "\b\b\b\b\b    3";
  int n = tap_progress_text(buf, sizeof buf, &width, counts[0]);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), expect_first);
  screen += std::string(buf, static_cast<size_t>(n));
  for (size_t i = 1; i < sizeof counts / sizeof counts[0]; i++) {
    n = tap_progress_text(buf, sizeof buf, &width, counts[i]);
    screen += std::string(buf, static_cast<size_t>(n));
    EXPECT_EQ(taptest::rendered(screen), std::to_string(counts[i])) << i;
  }
  EXPECT_EQ(width, 20);
  // Each rewrite steps back over exactly what the one before printed.
  n = tap_progress_text(buf, sizeof buf, &width, 7);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), std::string(20, '\b') + "    7");
  EXPECT_EQ(width, 5);
}
