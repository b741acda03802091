// The process-wide trace: one line per call, configured by TOVATRC_* variables.
#include "tova.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace {

int trc_lvl = TRC_INFO;
int trc_mode = 2;  // 2: keep trc_fptr open; 1: reopen trc_pthnam per line
FILE *trc_fptr = nullptr;
char trc_pthnam[1025];
int timestamp_prec = 2;  // 1 NONE, 2 MILLI, 3 MICRO
const char *timestamp_fmt = nullptr;
bool trace_is_init = false;
char stdiobuf[4096];

const char *const lvl_syms[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};

void write_line(FILE *fp, int level, const char *fmt, va_list ap)
{
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);

  char stamp[96];
  if (timestamp_fmt != nullptr) {
    char tbuf[64];
    size_t n = strftime(tbuf, sizeof tbuf, timestamp_fmt, &tmv);
    tbuf[n] = '\0';
    snprintf(stamp, sizeof stamp, "%s", tbuf);
  } else {
    snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  }
  size_t len = strlen(stamp);
  if (timestamp_prec == 2)
    snprintf(stamp + len, sizeof stamp - len, ".%03d", static_cast<int>(tv.tv_usec / 1000));
  else if (timestamp_prec == 3)
    snprintf(stamp + len, sizeof stamp - len, ".%06d", static_cast<int>(tv.tv_usec));

  fprintf(fp, "%s (%s-%u): ", stamp, trc_lvl2sym(level), static_cast<unsigned>(getpid()));
  vfprintf(fp, fmt, ap);
  fputc('\n', fp);
}

// A complaint about the settings themselves goes to standard error whatever
// the threshold, so that a mistyped variable is never silent.
void complain(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  write_line(stderr, TRC_ERR, fmt, ap);
  va_end(ap);
  fflush(stderr);
}

int init_trace(int called_from_dbginit)
{
  trace_is_init = true;

  const char *v = getenv("TOVATRC_LEVEL");
  if (v != nullptr) {
    if (*v >= '0' && *v <= '9')
      trc_lvl = static_cast<int>(strtol(v, nullptr, 10));
    else
      trc_lvl = trc_sym2lvl(v);
    if (trc_lvl <= 0) {
      complain("msglog: Invalid trace level ($%s=%s)", "TOVATRC_LEVEL", v);
      return -1;
    }
  }

  v = getenv("TOVATRC_TIMEPREC");
  if (v != nullptr) {
    if (strcasecmp(v, "NONE") == 0)
      timestamp_prec = 1;
    else if (strcasecmp(v, "MILLI") == 0)
      timestamp_prec = 2;
    else if (strcasecmp(v, "MICRO") == 0)
      timestamp_prec = 3;
    else {
      complain("msglog: Invalid timestamp precision ($%s=%s)", "TOVATRC_TIMEPREC", v);
      return -1;
    }
  }

  timestamp_fmt = getenv("TOVATRC_TIMEFMT");

  if (called_from_dbginit)
    return 0;

  char path[1024];
  v = getenv("TOVATRC_FILENAME");
  if (v == nullptr) {
    const char *home = getenv("HOME");
    snprintf(path, sizeof path, "%s/%s", home != nullptr ? home : ".", "TOVA.LOG");
  } else if (strcasecmp(v, "STDOUT") == 0) {
    dbginit(nullptr, stdout, -1, 0);
    return 0;
  } else if (strcasecmp(v, "STDERR") == 0) {
    dbginit(nullptr, stderr, -1, 0);
    return 0;
  } else {
    snprintf(path, sizeof path, "%s", v);
  }
  dbginit(path, nullptr, -1, 0);
  return 0;
}

}  // namespace

int dbglvl()
{
  return trc_lvl;
}

const char *trc_lvl2sym(int level)
{
  static char other[21];
  if (level >= 0 && level <= 6)
    return lvl_syms[level];
  snprintf(other, sizeof other, "<%d>", level);
  return other;
}

int trc_sym2lvl(const char *sym)
{
  if (sym == nullptr)
    return -1;
  for (int i = 0; i <= 6; i++)
    if (strcasecmp(sym, lvl_syms[i]) == 0)
      return i;
  return -1;
}

int dbginit(const char *path, FILE *stream, int fd, int)
{
  if (!trace_is_init && init_trace(1) == -1)
    return -1;

  if (trc_fptr != nullptr && trc_fptr != stdout && trc_fptr != stderr)
    fclose(trc_fptr);
  trc_fptr = nullptr;

  if (path != nullptr) {
    const char *reopen = getenv("TOVATRC_REOPEN");
    if (reopen != nullptr && strcasecmp(reopen, "y") == 0)
      trc_mode = 1;
    if (trc_mode == 2) {
      FILE *fp = fopen(path, "a");
      if (fp == nullptr) {
        int err = errno;
        complain("dbginit: fopen(%s) failed [errno=%d]", path, err);
        return -1;
      }
      setvbuf(fp, stdiobuf, _IOLBF, sizeof stdiobuf);
      trc_fptr = fp;
      return 0;
    }
    if (strlen(path) > 1024) {
      complain("dbginit: pthnam too long [%s]", path);
      return -1;
    }
    strcpy(trc_pthnam, path);
    return 0;
  }

  if (stream != nullptr) {
    fflush(stream);
    setvbuf(stream, stdiobuf, _IOLBF, sizeof stdiobuf);
    trc_fptr = stream;
    return 0;
  }

  FILE *fp = fdopen(fd, "a");
  if (fp == nullptr) {
    int err = errno;
    complain("dbginit: fdopen() failed on fd=%d [errno=%d]", fd, err);
    return -1;
  }
  setvbuf(fp, stdiobuf, _IOLBF, sizeof stdiobuf);
  trc_fptr = fp;
  return 0;
}

static void vtrace(int level, const char *fmt, va_list ap)
{
  if (!trace_is_init)
    init_trace(0);
  if (level > trc_lvl)
    return;

  if (trc_mode == 1) {
    FILE *fp = fopen(trc_pthnam, "a");
    if (fp == nullptr) {
      int err = errno;
      char old[1025];
      strcpy(old, trc_pthnam);
      strcpy(trc_pthnam, "/tmp/TOVA.LOG");
      fp = fopen(trc_pthnam, "a");
      if (fp == nullptr)
        return;
      fprintf(fp, "*** PID=%u: Failed to open '%s', errno=%d ***\n", static_cast<unsigned>(getpid()), old, err);
    }
    write_line(fp, level, fmt, ap);
    fclose(fp);
    return;
  }

  // With no stream (the trace file could not be opened) lines still reach
  // the user on standard error rather than vanishing.
  write_line(trc_fptr != nullptr ? trc_fptr : stderr, level, fmt, ap);
}

void dbgtrc(int level, int, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  vtrace(level, fmt, ap);
  va_end(ap);
}

void tvl_msglog(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  vtrace(TRC_INFO, fmt, ap);
  va_end(ap);
}
