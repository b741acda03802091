// Big-endian byte-buffer routines.
#include "tova.h"

#include <cstdint>
#include <cstring>

long buf_ntoh(const unsigned char *data, int n)
{
  unsigned long v = 0;
  for (int i = 0; i < n; i++)
    v = (v << 8) | data[i];
  return static_cast<long>(v);
}

void buf_hton(unsigned long value, unsigned char *out, int n)
{
  for (int i = n - 1; i >= 0; i--) {
    out[i] = static_cast<unsigned char>(value & 0xff);
    value >>= 8;
  }
}

const void *buf_align(int alignment, const void *src, void *dst, int len)
{
  if ((reinterpret_cast<uintptr_t>(src) & static_cast<uintptr_t>(alignment - 1)) == 0)
    return src;
  memcpy(dst, src, len);
  return dst;
}

void buf_lshift(char *buf, int len, int by)
{
  memmove(buf - by, buf, len);
}

void buf_rshift(char *buf, int len, int by)
{
  memmove(buf + by, buf, len);
}
