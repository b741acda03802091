// Local broken-down time to seconds since 1970, without the platform's mktime.
#include "tova.h"

#include <climits>
#include <cstring>

static const int days_before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Days from 1970-01-01 to the first of the given month (Gregorian rule).
static long long days_to(long long year, int mon)
{
  long long y = year - 1;
  long long leaps = y / 4 - y / 100 + y / 400;
  long long days = (year - 1970) * 365 + leaps - 477;  // 477 leap days before 1970
  days += days_before_month[mon];
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (leap && mon > 1)
    days++;
  return days;
}

long port_mktime(struct tm *t)
{
  if (t->tm_sec < 0 || t->tm_min < 0 || t->tm_hour < 0 || t->tm_mon < 0 || t->tm_mday <= 0) {
    strcpy(tvl_usrmsg, "invalid time/date spec (negative numbers)");
    return -1;
  }
  // The broken-down year must stay within what gmtime can give back.
  static const time_t limit_hi = 67768036191676799LL;  // last second of year INT_MAX + 1900
  if (static_cast<long long>(t->tm_year) + 1900 > static_cast<long long>(INT_MAX) + 1900 - 1) {
    char text[64];
    ctime_r(&limit_hi, text);
    text[strcspn(text, "\n")] = '\0';
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Can't go beyond %s", text);
    return -1;
  }

  const long long want_year = static_cast<long long>(t->tm_year) + 1900;
  long long guess = (want_year - 1970) * 365LL * 86400LL;
  for (int round = 0; round < 12; round++) {
    struct tm g;
    time_t gt = static_cast<time_t>(guess);
    if (gmtime_r(&gt, &g) == nullptr) {
      char text[64];
      ctime_r(&limit_hi, text);
      text[strcspn(text, "\n")] = '\0';
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Can't go beyond %s", text);
      return -1;
    }
    if (g.tm_year == t->tm_year && g.tm_mon == t->tm_mon && g.tm_mday == t->tm_mday && g.tm_hour == t->tm_hour &&
        g.tm_min == t->tm_min && g.tm_sec == t->tm_sec) {
      long result = static_cast<long>(guess);
      if (t->tm_isdst <= 0) {
        tzset();
        result += timezone;
      }
      return result;
    }
    long long want_days = days_to(want_year, t->tm_mon % 12) + t->tm_mday - 1;
    long long have_days = days_to(static_cast<long long>(g.tm_year) + 1900, g.tm_mon) + g.tm_mday - 1;
    guess += (want_days - have_days) * 86400LL + (t->tm_hour - g.tm_hour) * 3600LL +
             (t->tm_min - g.tm_min) * 60LL + (t->tm_sec - g.tm_sec);
  }
  strcpy(tvl_usrmsg, "temporal instability");
  return -1;
}
