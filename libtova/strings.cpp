// Text tests, case conversion, stripping and case-insensitive comparison.
#include "tova.h"

#include <cctype>
#include <cstring>

int isdecstr(const char *s)
{
  for (; *s; s++)
    if (!isdigit(static_cast<unsigned char>(*s)))
      return 0;
  return 1;
}

int ishexstr(const char *s)
{
  for (; *s; s++)
    if (!isxdigit(static_cast<unsigned char>(*s)))
      return 0;
  return 1;
}

int isoctstr(const char *s)
{
  for (; *s; s++)
    if (*s < '0' || *s > '7')
      return 0;
  return 1;
}

void str2ucs(char *s)
{
  for (; *s; s++)
    *s = static_cast<char>(toupper(static_cast<unsigned char>(*s)));
}

void str2lcs(char *s)
{
  for (; *s; s++)
    *s = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
}

static bool strippable(unsigned char c, unsigned int flags)
{
  if (c >= 33 && c <= 126)
    return false;
  if (c == ' ' && (flags & STRIP_KEEP_BLANK))
    return false;
  if (c == 127 && (flags & STRIP_KEEP_DEL))
    return false;
  return true;
}

char *stript(char *s, unsigned int flags)
{
  size_t len = strlen(s);
  while (len > 0 && strippable(static_cast<unsigned char>(s[len - 1]), flags))
    s[--len] = '\0';
  return s + len - 1;
}

void stripl(char *s, unsigned int flags)
{
  size_t skip = 0;
  while (s[skip] != '\0' && strippable(static_cast<unsigned char>(s[skip]), flags))
    skip++;
  if (skip > 0)
    memmove(s, s + skip, strlen(s + skip) + 1);
}

int port_strcasecmp(const char *a, const char *b)
{
  for (;; a++, b++) {
    int ca = toupper(static_cast<unsigned char>(*a)), cb = toupper(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0)
      return ca - cb;
  }
}

int port_strncasecmp(const char *a, const char *b, int n)
{
  for (; n > 0; a++, b++, n--) {
    int ca = toupper(static_cast<unsigned char>(*a)), cb = toupper(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0)
      return ca - cb;
  }
  return 0;
}
