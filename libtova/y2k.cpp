// Two-digit years made four-digit with a window sliding with the clock.
#include "tova.h"

#include <ctime>

long yy_to_ccyy(int yy)
{
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  long start = tmv.tm_year + 1900L - Y2K_PAST_WINDOW;
  long year = start - start % 100 + yy % 100;
  if (year < start)
    year += 100;
  return year;
}
