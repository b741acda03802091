#include "forked.h"
#include "tova.h"

#include <gtest/gtest.h>

namespace {

TEST(MicroTime, AddAndDiff)
{
  struct timeval t{5, 0};
  utime_add(&t, -1);
  EXPECT_EQ(t.tv_sec, 4);
  EXPECT_EQ(t.tv_usec, 999999);
  utime_add(&t, 2);
  EXPECT_EQ(t.tv_sec, 5);
  EXPECT_EQ(t.tv_usec, 1);
  utime_add(&t, -3000001);
  EXPECT_EQ(t.tv_sec, 2);
  EXPECT_EQ(t.tv_usec, 0);
  struct timeval a{10, 900000}, b{12, 100000};
  EXPECT_EQ(utime_diff(&a, &b), 1200000);
  EXPECT_EQ(utime_diff(&b, &a), -1200000);
}

struct tm make_tm(int y, int mon, int d, int h, int mi, int s)
{
  struct tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = 0;
  return t;
}

TEST(PortMktime, AgreesWithUtcAndZoneOffsets)
{
  int rc = run_forked([] {
    setenv("TZ", "UTC0", 1);
    tzset();
    struct tm t = make_tm(2024, 2, 29, 12, 30, 15);
    if (port_mktime(&t) != 1709209815L)
      return 1;
    t = make_tm(1970, 1, 1, 0, 0, 0);
    if (port_mktime(&t) != 0)
      return 2;
    t = make_tm(1969, 12, 31, 23, 59, 59);
    if (port_mktime(&t) != -1L)
      return 3;
    t = make_tm(2100, 3, 1, 0, 0, 0);  // 2100 is not a leap year
    if (port_mktime(&t) != 4107542400L)
      return 4;
    return 0;
  });
  EXPECT_EQ(rc, 0);

  rc = run_forked([] {
    setenv("TZ", "EST5", 1);
    tzset();
    struct tm t = make_tm(2026, 12, 8, 0, 0, 0);
    long v = port_mktime(&t);
    if (v != 1796688000L + 5 * 3600)
      return 1;
    t.tm_isdst = 1;  // a positive daylight flag applies no offset
    return port_mktime(&t) == 1796688000L ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

TEST(PortMktime, Failures)
{
  struct tm t = make_tm(2026, 1, 0, 0, 0, 0);
  EXPECT_EQ(port_mktime(&t), -1);
  EXPECT_STREQ(tvl_usrmsg, "invalid time/date spec (negative numbers)");
  t = make_tm(2026, 1, 1, -1, 0, 0);
  EXPECT_EQ(port_mktime(&t), -1);
  t = make_tm(2026, 2, 30, 0, 0, 0);  // a day that does not exist never agrees
  EXPECT_EQ(port_mktime(&t), -1);
  EXPECT_STREQ(tvl_usrmsg, "temporal instability");
}

TEST(TwoDigitYears, SlidingWindowAgainstTheClock)
{
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  const long year = tmv.tm_year + 1900L;
  const long start = year - 60;
  for (int yy : {0, 10, 25, 50, 65, 99}) {
    long got = yy_to_ccyy(yy);
    EXPECT_EQ(got % 100, yy);
    EXPECT_GE(got, start);
    EXPECT_LT(got, start + 100);
  }
  EXPECT_EQ(yy_to_ccyy(static_cast<int>((year - 60) % 100)), year - 60);
  EXPECT_EQ(yy_to_ccyy(static_cast<int>((year - 61) % 100)), year + 39);
  if (year == 2026) {
    EXPECT_EQ(yy_to_ccyy(99), 1999);
    EXPECT_EQ(yy_to_ccyy(10), 2010);
  }
}

TEST(Sleep, WaitsAtLeastTheTime)
{
  struct timeval a, b;
  gettimeofday(&a, nullptr);
  EXPECT_EQ(port_usleep(20000), 0);
  gettimeofday(&b, nullptr);
  EXPECT_GE(utime_diff(&a, &b), 20000);
}

}  // namespace
