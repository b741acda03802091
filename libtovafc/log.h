// File and stream logger, and the framework-wide logging entry point.
#ifndef TOVAFC_LOG_H
#define TOVAFC_LOG_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace tovafc {

class TovConfig;

class TovLog {
 public:
  // Cycle frequencies.
  static constexpr int NEVER = 1, HOURLY = 2, DAILY = 3, MONTHLY = 4;
  // Time-stamp precisions.
  static constexpr int NONE = 1, MILLI = 2, MICRO = 3;

  // Configuration keys describing a logger; the environment name is "TOVATRC_" + key.
  static const char *const CFG_APPTAG;
  static const char *const CFG_FILENAME;
  static const char *const CFG_LEVEL;
  static const char *const CFG_TIMEFMT;
  static const char *const CFG_TIMEPREC;
  static const char *const CFG_CYCLEFREQ;
  static const char *const CFG_PRELIMS;

  // File logger; owns its stream.
  TovLog(const char *apptag, const char *path, int frequency = NEVER, int level = 3,
         const char *timefmt = nullptr, int precision = MILLI);
  // Logger on an already open stream; never closes it.
  TovLog(FILE *stream, int level = 3, const char *timefmt = nullptr, int precision = MILLI);
  ~TovLog();
  TovLog(const TovLog &) = delete;
  TovLog &operator=(const TovLog &) = delete;

  // Set the level; returns the previous one.
  int level(const char *spec);
  int level(int n);
  int level() const { return level_; }

  void log(int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
  void log(va_list args, int level, const char *fmt);

  // Switch files when the period changes; true when a new file was opened.
  bool cycle(const struct tm &now);

  int frequency() const { return frequency_; }
  int precision() const { return precision_; }
  const std::string &path() const { return path_; }
  const std::string &prefix() const { return prefix_; }
  FILE *stream() const { return stream_; }
  bool owner() const { return owner_; }

  static TovLog *create(const char *apptag, const char *path, const char *level,
                        const char *timefmt, const char *precision, const char *frequency);
  static TovLog *configCreate(const TovConfig &cfg, const char *group, const char *apptag);
  static std::string envname(const char *key);
  static TovLog *defaultCreate();

 private:
  FILE *stream_ = nullptr;
  int level_ = 3;
  int frequency_ = NEVER;
  std::string timefmt_;
  int precision_ = MILLI;
  std::string path_;
  std::string prefix_;
  bool owner_ = false;
  uint64_t stamp_ = 0;
};

// What an application hands to the shell to describe its first logger.
struct TovLogSpec {
  TovLog *logger = nullptr;
  std::string apptag;
  std::string filename;
  FILE *stream = nullptr;
  int level = 3;
  int frequency = TovLog::NEVER;
  std::string timefmt;
  int precision = TovLog::MILLI;

  TovLog *synthesise();
};

// Log through the application's logger, or to standard error before there is one.
void tovlog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void tovlog(va_list args, int level, const char *fmt);

}  // namespace tovafc

#endif
