#include "log.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "appshell.h"
#include "config.h"
#include "exception.h"
#include "tova.h"
#ifdef TOVAFC_MT
#include <pthread.h>
#endif

namespace tovafc {

const char *const TovLog::CFG_APPTAG = "APPTAG";
const char *const TovLog::CFG_FILENAME = "FILENAME";
const char *const TovLog::CFG_LEVEL = "LEVEL";
const char *const TovLog::CFG_TIMEFMT = "TIMEFMT";
const char *const TovLog::CFG_TIMEPREC = "TIMEPREC";
const char *const TovLog::CFG_CYCLEFREQ = "CYCLEFREQ";
const char *const TovLog::CFG_PRELIMS = "PRELIMS";

#ifdef TOVAFC_MT
// Serialises file switching and writing among threads sharing a logger.
static pthread_mutex_t log_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
struct LogHold {
  LogHold() { pthread_mutex_lock(&log_mutex); }
  ~LogHold() { pthread_mutex_unlock(&log_mutex); }
};
#else
struct LogHold {};
#endif

static int level_from_text(const char *spec) {
  if (!spec || !*spec) return 3;
  if (isdigit((unsigned char)*spec)) return (int)strtol(spec, nullptr, 10);
  return trc_sym2lvl(spec);
}

TovLog::TovLog(const char *apptag, const char *path, int frequency, int level, const char *timefmt,
               int precision)
    : frequency_(frequency), timefmt_(timefmt ? timefmt : ""), precision_(precision), owner_(true) {
  this->level(level);
  std::string tag = apptag && *apptag ? apptag : (tvl_prognam && *tvl_prognam ? tvl_prognam : "Unknown");
  std::string p;
  if (path && *path) {
    p = path;
  } else {
    const char *home = getenv("HOME");
    p = std::string(home ? home : "/tmp") + "/TOVA.LOG";
  }
  struct stat st;
  errno = 0;
  if (stat(p.c_str(), &st) != 0) {
    if (errno != ENOENT) throw TovException(2, "Failed to stat logfile=%s", p.c_str());
    path_ = p;
    prefix_ = tag + "-";
  } else if (S_ISDIR(st.st_mode)) {
    path_ = p + "/" + tag;
  } else {
    path_ = p;
    prefix_ = tag + "-";
  }
  if (frequency_ == NEVER) {
    stream_ = fopen(path_.c_str(), "a");
    if (!stream_) throw TovException(2, "Failed to open logfile=%s", path_.c_str());
  }
}

TovLog::TovLog(FILE *stream, int level, const char *timefmt, int precision)
    : stream_(stream), frequency_(NEVER), timefmt_(timefmt ? timefmt : ""), precision_(precision),
      owner_(false) {
  this->level(level);
}

TovLog::~TovLog() {
  char addr[32];
  snprintf(addr, sizeof addr, "0x%x", (unsigned)(uintptr_t)stream_);
  try {
    log(4, "Logger Shutdown - flog=%s, owner=%s", addr, owner_ ? "Yes" : "No");
  } catch (...) {
  }
  if (owner_ && stream_) fclose(stream_);
  stream_ = nullptr;
}

int TovLog::level(const char *spec) {
  int n = level_from_text(spec);
  if (n <= 0) throw TovException(9, "Invalid TovLog trace level (%s)", spec ? spec : "");
  int old = level_;
  level_ = n;
  return old;
}

int TovLog::level(int n) {
  char buf[32];
  snprintf(buf, sizeof buf, "%d", n);
  return level(buf);
}

bool TovLog::cycle(const struct tm &now) {
  if (frequency_ == NEVER) return false;
  uint64_t div;
  int width;
  switch (frequency_) {
    case HOURLY: div = 1; width = 8; break;
    case DAILY: div = 100; width = 6; break;
    case MONTHLY: div = 10000; width = 4; break;
    default: throw TovException(6, "Invalid Logger frequency=%d", frequency_);
  }
  uint64_t stamp = (uint64_t)(now.tm_year + 1900 - 2000) * 1000000u + (uint64_t)(now.tm_mon + 1) * 10000u +
                   (uint64_t)now.tm_mday * 100u + (uint64_t)now.tm_hour;
  if (stamp_ != 0 && stamp / div == stamp_ / div) return false;
  stamp_ = stamp;
  if (stream_) fclose(stream_);
  stream_ = nullptr;
  char name[4200];
  snprintf(name, sizeof name, "%s-%0*llu", path_.c_str(), width, (unsigned long long)(stamp / div));
  stream_ = fopen(name, "a");
  if (!stream_) throw TovException(2, "Failed to open logfile=%s", name);
  return true;
}

void TovLog::log(int level, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  try {
    log(ap, level, fmt);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

void TovLog::log(va_list args, int level, const char *fmt) {
  if (level > level_) return;
  [[maybe_unused]] LogHold hold;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm lt;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &lt);
  cycle(lt);
  if (!stream_) return;  // the period's file failed to open: drop until the next period

  char buf[2048];
  size_t n = 0;
  if (!timefmt_.empty()) {
    n = strftime(buf, sizeof buf, timefmt_.c_str(), &lt);
  } else {
    n = (size_t)snprintf(buf, sizeof buf, "%04d%02d%02d-%02d:%02d:%02d", lt.tm_year + 1900, lt.tm_mon + 1,
                         lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
  }
  auto append = [&](int r) {
    if (r > 0) n += (size_t)r;
    if (n >= sizeof buf) n = sizeof buf - 1;
  };
  if (precision_ == MILLI)
    append(snprintf(buf + n, sizeof buf - n, ".%03ld", (long)tv.tv_usec / 1000));
  else if (precision_ == MICRO)
    append(snprintf(buf + n, sizeof buf - n, ".%06ld", (long)tv.tv_usec));
  append(snprintf(buf + n, sizeof buf - n, " %s %s%d", trc_lvl2sym(level), prefix_.c_str(), (int)getpid()));
#ifdef TOVAFC_MT
  append(snprintf(buf + n, sizeof buf - n, "-%lu", (unsigned long)pthread_self()));
#endif
  append(snprintf(buf + n, sizeof buf - n, " "));
  append(vsnprintf(buf + n, sizeof buf - n, fmt ? fmt : "", args));
  fprintf(stream_, "%.*s\n", (int)n, buf);
  fflush(stream_);
}

static int precision_from_text(const char *s) {
  if (!s || !*s) return TovLog::MILLI;
  if (!strcasecmp(s, "NONE")) return TovLog::NONE;
  if (!strcasecmp(s, "MICRO")) return TovLog::MICRO;
  if (!strcasecmp(s, "MILLI")) return TovLog::MILLI;
  throw TovException(9, "Invalid TovLog precision (%s)", s);
}

static int frequency_from_text(const char *s) {
  if (!s || !*s) return TovLog::NEVER;
  if (!strcasecmp(s, "HOURLY")) return TovLog::HOURLY;
  if (!strcasecmp(s, "DAILY")) return TovLog::DAILY;
  if (!strcasecmp(s, "MONTHLY")) return TovLog::MONTHLY;
  if (!strcasecmp(s, "NEVER")) return TovLog::NEVER;
  throw TovException(9, "Invalid TovLog cycle-frequency (%s)", s);
}

TovLog *TovLog::create(const char *apptag, const char *path, const char *level, const char *timefmt,
                       const char *precision, const char *frequency) {
  int lvl = level_from_text(level);
  if (lvl < 1) throw TovException(9, "Invalid TovLog trace level (%s)", level ? level : "");
  int prec = precision_from_text(precision);
  int freq = frequency_from_text(frequency);
  if (path && !strcasecmp(path, "STDOUT")) return new TovLog(stdout, lvl, timefmt, prec);
  if (path && !strcasecmp(path, "STDERR")) return new TovLog(stderr, lvl, timefmt, prec);
  return new TovLog(apptag, path, freq, lvl, timefmt, prec);
}

TovLog *TovLog::configCreate(const TovConfig &cfg, const char *group, const char *apptag) {
  std::string grp = group ? group : "";
  if (!apptag && !cfg.exists(grp)) throw TovException(9, "Config: Logger group=%s is missing", grp.c_str());
  std::string fn = cfg.value(grp, CFG_FILENAME);
  std::string lv = cfg.value(grp, CFG_LEVEL);
  std::string tf = cfg.value(grp, CFG_TIMEFMT);
  std::string tp = cfg.value(grp, CFG_TIMEPREC);
  std::string cf = cfg.value(grp, CFG_CYCLEFREQ);
  return create(apptag, fn.c_str(), lv.c_str(), tf.c_str(), tp.c_str(), cf.c_str());
}

std::string TovLog::envname(const char *key) { return std::string("TOVATRC_") + (key ? key : ""); }

TovLog *TovLog::defaultCreate() {
  auto env = [](const char *key) {
    const char *v = getenv(envname(key).c_str());
    return v ? v : "";
  };
  return create(env(CFG_APPTAG), env(CFG_FILENAME), env(CFG_LEVEL), env(CFG_TIMEFMT), env(CFG_TIMEPREC),
                env(CFG_CYCLEFREQ));
}

TovLog *TovLogSpec::synthesise() {
  if (logger) return logger;
  if (stream) return new TovLog(stream, level, timefmt.c_str(), precision);
  return new TovLog(apptag.c_str(), filename.c_str(), frequency, level, timefmt.c_str(), precision);
}

// Early messages (before any logger) above WARN are shown only on request.
static bool early_enabled() {
  static const bool decided = [] {
    const char *v = getenv("TOVATRC_APPTAG");
    return v && !strcasecmp(v, "y");
  }();
  return decided;
}

void tovlog(va_list args, int level, const char *fmt) {
  TovAppShell *app = TovAppShell::singleton;
  TovLog *lg = app ? app->appLogger() : nullptr;
  if (lg) {
    lg->log(args, level, fmt);
    return;
  }
  if (level >= 3 && !early_enabled()) return;
  char buf[2048];
  vsnprintf(buf, sizeof buf, fmt ? fmt : "", args);
  fprintf(stderr, "*** PID=%u: %s\n", (unsigned)getpid(), buf);
}

void tovlog(int level, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  try {
    tovlog(ap, level, fmt);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

}  // namespace tovafc
