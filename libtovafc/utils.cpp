#include "utils.h"

#include <cctype>
#include <cstdio>
#include <cstdint>
#include <cstring>

namespace tovafc {

static char shared_numbuf[31];

char *num2buf(const char *fmt, long value, char *buf) {
  if (!buf) buf = shared_numbuf;
  // The formats used are %d and 0x%x: print the value as the int they expect.
  snprintf(buf, 31, fmt, (int)value);
  return buf;
}

char *num2buf(long value, char *buf) { return num2buf("%d", value, buf); }

const char *objtag(const char *name, const void *obj, char *buf) {
  if (name && *name) return name;
  return num2buf("0x%x", (long)(uint32_t)(uintptr_t)obj, buf);
}

const char *objtag(const std::string &name, const void *obj, char *buf) {
  return objtag(name.c_str(), obj, buf);
}

char *strip(char *s, bool shift) {
  if (!s) return s;
  char *b = s;
  while (*b && isspace((unsigned char)*b)) b++;
  char *e = b + strlen(b);
  while (e > b && isspace((unsigned char)e[-1])) e--;
  *e = '\0';
  if (!shift) return b;
  if (b != s) memmove(s, b, (size_t)(e - b) + 1);
  return s;
}

const char *strip(std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace((unsigned char)s[b])) b++;
  while (e > b && isspace((unsigned char)s[e - 1])) e--;
  s = s.substr(b, e - b);
  return s.c_str();
}

}  // namespace tovafc
