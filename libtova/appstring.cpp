// Substitution, counting, number and hex formatting, whole-file reading.
#include "tova.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool word_char(char c)
{
  return isalnum(static_cast<unsigned char>(c)) != 0;
}

int strsub(char *s, int size, const char *from, const char *to, unsigned int flags)
{
  const size_t flen = strlen(from), tlen = strlen(to);
  size_t slen = strlen(s);

  if (flen == 0) {
    if (size > 0 && tlen + 1 > static_cast<size_t>(size))
      return 0;
    if (!(flags & STRSUB_COUNT))
      memmove(s, to, tlen + 1);
    return 1;
  }

  int count = 0;
  char *p = s;
  while ((p = strstr(p, from)) != nullptr) {
    if (flags & STRSUB_WORDS) {
      bool before = p != s && word_char(p[-1]);
      bool after = word_char(p[flen]);
      if (before || after) {
        p += 1;
        continue;
      }
    }
    if (flags & STRSUB_COUNT) {
      count++;
      p += flen;
      continue;
    }
    if (tlen > flen && size > 0 && slen + (tlen - flen) + 1 > static_cast<size_t>(size))
      break;
    char *tail = p + flen;
    size_t tail_len = slen - (tail - s);
    memmove(p + tlen, tail, tail_len + 1);
    memcpy(p, to, tlen);
    if (tlen < flen)
      memset(s + slen - (flen - tlen) + 1, 0, flen - tlen);
    slen = slen + tlen - flen;
    p += tlen;
    count++;
  }
  return count;
}

int strcount(const char *s, const char *sub)
{
  size_t len = strlen(sub);
  if (len == 0)
    return 0;
  int n = 0;
  for (const char *p = s; (p = strstr(p, sub)) != nullptr; p += len)
    n++;
  return n;
}

int chcount(const char *s, int ch)
{
  int n = 0;
  for (; *s; s++)
    if (*s == static_cast<char>(ch))
      n++;
  return n;
}

char *comma_number(int value, char *buf, int is_signed)
{
  static char sbuf[15];
  char digits[16];
  char *out = buf != nullptr ? buf : sbuf;
  if (is_signed)
    snprintf(digits, sizeof digits, "%d", value);
  else
    snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(value));
  // Group the digits only; a leading sign stays in front of the first group.
  const char *d = digits;
  char *o = out;
  if (*d == '-')
    *o++ = *d++;
  size_t n = strlen(d);
  for (size_t i = 0; i < n; i++) {
    if (i > 0 && (n - i) % 3 == 0)
      *o++ = ',';
    *o++ = d[i];
  }
  *o = '\0';
  return out;
}

char *buf2hex(const unsigned char *data, int len, char *buf, int size)
{
  static char sbuf[257];
  char *out = buf;
  if (out == nullptr) {
    out = sbuf;
    size = sizeof sbuf;
  }
  out[0] = '\0';
  if (len <= 0 || size < 4)
    return out;
  int pos = 0;
  for (int i = 0; i < len; i++) {
    int need = (i > 0 ? 1 : 0) + 2;
    if (pos + need >= size)
      break;
    pos += snprintf(out + pos, size - pos, "%s%02X", i > 0 ? ":" : "", data[i]);
  }
  return out;
}

char *file2buf(int fd, const char *path, char *buf, int bufsize, int *size_out, int head, int tail)
{
  bool opened = false;
  if (fd == -1) {
    fd = open(path, O_RDONLY);
    if (fd == -1) {
      int err = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "open(%s) failed, errno=%d [%s]", path != nullptr ? path : "<NULL>",
               err, strerror(err));
      return nullptr;
    }
    opened = true;
  }
  auto fail = [&]() -> char * {
    if (opened)
      close(fd);
    return nullptr;
  };
  const char *name = path != nullptr ? path : "<NULL>";
  struct stat st;
  if (fstat(fd, &st) == -1) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to stat '%s', errno=%d [%s]", name, err, strerror(err));
    return fail();
  }
  const long size = st.st_size;
  char *data = buf;
  if (bufsize == -1) {
    data = static_cast<char *>(malloc(head + size + tail));
    if (data == nullptr) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc %d bytes for file=%s",
               static_cast<int>(head + size + tail), name);
      return fail();
    }
    memset(data, 0, head);
    memset(data + head + size, 0, tail);
  } else if (head + size + tail > bufsize) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Buffer not big enough for file=%s (%d vs %d+%lu+%d)", name, bufsize,
             head, static_cast<unsigned long>(size), tail);
    return fail();
  }
  long got = 0;
  while (got < size) {
    ssize_t r = read(fd, data + head + got, size - got);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0) {
      int err = r < 0 ? errno : 0;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "read() failed for %ld-byte file=%s, retval=%d, errno=%d [%s]\n", size,
               name, static_cast<int>(r), err, err != 0 ? strerror(err) : "UNKNOWN");
      if (bufsize == -1)
        free(data);
      return fail();
    }
    got += r;
  }
  if (opened)
    close(fd);
  if (size_out != nullptr)
    *size_out = static_cast<int>(size);
  return data;
}
