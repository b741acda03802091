// Time arithmetic and a microsecond sleep.
#include "tova.h"

#include <sys/select.h>

void utime_add(struct timeval *t, int usec)
{
  long long total = static_cast<long long>(t->tv_usec) + usec;
  long long secs = total / 1000000;
  long long rem = total % 1000000;
  if (rem < 0) {
    rem += 1000000;
    secs -= 1;
  }
  t->tv_sec += secs;
  t->tv_usec = rem;
}

int utime_diff(const struct timeval *a, const struct timeval *b)
{
  long long d = (static_cast<long long>(b->tv_sec) - a->tv_sec) * 1000000LL + (b->tv_usec - a->tv_usec);
  return static_cast<int>(d);
}

int port_usleep(unsigned int usec)
{
  struct timeval tv;
  tv.tv_sec = usec / 1000000;
  tv.tv_usec = usec % 1000000;
  return select(0, nullptr, nullptr, nullptr, &tv);
}
