// Packed BCD: two decimal digits per byte, high nibble first; digit
// positions count from 0 at the high nibble of the first byte.
#include "tova.h"

#include <cstdio>

static int get_digit(const unsigned char *data, int pos)
{
  unsigned char b = data[pos / 2];
  return (pos % 2 == 0) ? (b >> 4) : (b & 0x0f);
}

static void set_digit(unsigned char *data, int pos, int digit)
{
  unsigned char &b = data[pos / 2];
  if (pos % 2 == 0)
    b = static_cast<unsigned char>((b & 0x0f) | ((digit & 0x0f) << 4));
  else
    b = static_cast<unsigned char>((b & 0xf0) | (digit & 0x0f));
}

long bcd_to_bin(const unsigned char *data, int first, int ndigits)
{
  if (ndigits > 8) {
    dbgtrc(TRC_ERR, 0, "bcd_to_bin: %d digits is too many", ndigits);
    return -1;
  }
  long v = 0;
  for (int i = 0; i < ndigits; i++)
    v = v * 10 + get_digit(data, first + i);
  return v;
}

char *bcd_to_decstr(const unsigned char *data, int first, int ndigits, char *buf)
{
  int i = 0;
  for (; i < ndigits; i++)
    snprintf(buf + i, 2, "%x", get_digit(data, first + i));
  buf[i] = '\0';
  return buf;
}

void bcdset(unsigned char *data, int first, int ndigits, int digit)
{
  for (int i = 0; i < ndigits; i++)
    set_digit(data, first + i, digit);
}

void bin_to_bcd(long value, unsigned char *data, int first, int *ndigits)
{
  char digits[24];
  int n = snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(value));
  for (int i = 0; i < n; i++)
    set_digit(data, first + i, digits[i] - '0');
  if (ndigits != nullptr)
    *ndigits = n;
}

int bcdrep(unsigned char *data, int first, int width, long value)
{
  char digits[24];
  int n = snprintf(digits, sizeof digits, "%0*lu", width, static_cast<unsigned long>(value));
  for (int i = 0; i < n; i++)
    set_digit(data, first + i, digits[i] - '0');
  return n;
}
