// Small integer routines.
#include "tova.h"

int mth_intpow(int base, int exp)
{
  int r = 1;
  for (int i = 0; i < exp; i++)
    r *= base;
  return r;
}

unsigned int chksum_xor(const unsigned char *data, int len)
{
  unsigned int x = 0;
  for (int i = 0; i < len; i++)
    x ^= data[i];
  return x;
}

int mth_intlog(int base, int value)
{
  // Base 1 has no largest power below any value; refuse it rather than loop.
  if (base <= 1 || value <= 0) {
    tvl_msglog("mth_intlog: illegal args, base=%d, value=%d", base, value);
    return -1;
  }
  int k = 0;
  long long p = base;
  while (p <= value) {
    p *= base;
    k++;
  }
  return k;
}
