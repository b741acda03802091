#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "config.h"
#include "exception.h"
#include "log.h"
#include "testutil.h"
#include "utils.h"

using namespace tovafc;
using fctest::TempDir;

#ifdef TOVAFC_MT
static const std::string TID = "-[0-9]+";
#else
static const std::string TID = "";
#endif

// ---- exceptions ---------------------------------------------------------

static std::string describeThrown(const std::function<void()> &thrower) {
  try {
    thrower();
  } catch (...) {
    return TovException::handler();
  }
  return "nothing thrown";
}

TEST(TovExceptionTest, CarriesCodeErrnoAndMessage) {
  errno = ENOENT;
  TovException e(9, "bad %s at %d", "thing", 7);
  EXPECT_EQ(9, e.err());
  EXPECT_EQ(ENOENT, e.syserr());
  EXPECT_STREQ("bad thing at 7", e.what());
}

TEST(TovExceptionTest, MessageBoundedTo1023Characters) {
  std::string big(3000, 'x');
  TovException e(2, "%s", big.c_str());
  EXPECT_EQ(1023u, strlen(e.what()));
}

TEST(TovExceptionTest, HandlerClassifiesEveryKind) {
  EXPECT_EQ("TovException: Error=9 (errno=13) - denied", describeThrown([] {
              errno = EACCES;
              throw TovException(9, "denied");
            }));
  EXPECT_EQ("TovException: Error=6 (errno=0) - by pointer", describeThrown([] {
              errno = 0;
              throw new TovException(6, "by pointer");
            }));
  EXPECT_EQ("St13runtime_error=boom", describeThrown([] { throw std::runtime_error("boom"); }));
  EXPECT_EQ("string=text", describeThrown([] { throw std::string("text"); }));
  EXPECT_EQ("plain", describeThrown([] { throw "plain"; }));
  EXPECT_EQ("<NULL>", describeThrown([] { throw(const char *) nullptr; }));
  EXPECT_EQ("Unidentified exception", describeThrown([] { throw 42; }));
}

TEST(TovExceptionTest, AssertionsThrowCode3) {
  EXPECT_NO_THROW(TovAssertBasic(true, "fine"));
  EXPECT_NO_THROW(TovAssertFull(true, "fine %d", 1));
  try {
    TovAssertBasic(false, "basic failed");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("basic failed", e.what());
  }
  try {
    TovAssertFull(false, "full failed %d/%s", 5, "x");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("full failed 5/x", e.what());
  }
}

// ---- utilities ----------------------------------------------------------

TEST(UtilsTest, Num2bufAndObjtag) {
  char buf[31];
  EXPECT_STREQ("-42", num2buf(-42L, buf));
  EXPECT_STREQ("0x1f", num2buf("0x%x", 31, buf));
  EXPECT_STREQ("77", num2buf(77L));  // shared buffer
  EXPECT_STREQ("name", objtag("name", (void *)0x1234, buf));
  EXPECT_STREQ("0x1234", objtag("", (void *)0x1234, buf));
  EXPECT_STREQ("0x89abcdef", objtag(std::string(), (void *)0x123489abcdefULL, buf));
}

TEST(UtilsTest, StripInPlaceAndShifted) {
  char a[] = "  \t hello world \n ";
  char *r = strip(a, false);
  EXPECT_STREQ("hello world", r);
  EXPECT_EQ(a + 4, r);
  char b[] = "   shifted  ";
  EXPECT_EQ(b, strip(b, true));
  EXPECT_STREQ("shifted", b);
  std::string s = "  both  ";
  EXPECT_STREQ("both", strip(s));
  EXPECT_EQ("both", s);
  std::string blank = " \t ";
  EXPECT_STREQ("", strip(blank));
}

// ---- logger -------------------------------------------------------------

static std::string logTo(const std::function<void(TovLog &)> &fn, int level = 3, const char *timefmt = nullptr,
                         int precision = TovLog::MILLI) {
  FILE *f = tmpfile();
  {
    TovLog lg(f, level, timefmt, precision);
    fn(lg);
  }
  rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

TEST(TovLogTest, LineFormatOfStreamLogger) {
  std::string out = logTo([](TovLog &lg) { lg.log(3, "hello %s", "world"); });
  std::regex line("^[0-9]{8}-[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} INFO " + std::to_string(getpid()) + TID +
                  " hello world\n$");
  EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST(TovLogTest, PrecisionAndTimeFormat) {
  std::string micro = logTo([](TovLog &lg) { lg.log(1, "m"); }, 3, nullptr, TovLog::MICRO);
  EXPECT_TRUE(std::regex_match(micro, std::regex("^[0-9]{8}-[0-9:]{8}\\.[0-9]{6} ERR [0-9]+" + TID + " m\n$")))
      << micro;
  std::string none = logTo([](TovLog &lg) { lg.log(2, "n"); }, 3, nullptr, TovLog::NONE);
  EXPECT_TRUE(std::regex_match(none, std::regex("^[0-9]{8}-[0-9:]{8} WARN [0-9]+" + TID + " n\n$"))) << none;
  std::string fmt = logTo([](TovLog &lg) { lg.log(3, "f"); }, 3, "[%Y]", TovLog::NONE);
  EXPECT_TRUE(std::regex_match(fmt, std::regex("^\\[20[0-9]{2}\\] INFO [0-9]+" + TID + " f\n$"))) << fmt;
}

TEST(TovLogTest, LevelsFilterAndNameOutOfRange) {
  std::string out = logTo(
      [](TovLog &lg) {
        lg.log(4, "dropped");
        lg.log(3, "kept");
        lg.level(9);
        lg.log(8, "eight");
      },
      3, nullptr, TovLog::NONE);
  EXPECT_EQ(std::string::npos, out.find("dropped"));
  EXPECT_NE(std::string::npos, out.find(" INFO "));
  EXPECT_NE(std::string::npos, out.find(" <8> ")) << out;
}

TEST(TovLogTest, LevelSettingRules) {
  FILE *f = tmpfile();
  TovLog lg(f, 2);
  EXPECT_EQ(2, lg.level((const char *)nullptr));
  EXPECT_EQ(3, lg.level());
  EXPECT_EQ(3, lg.level("dbg2"));
  EXPECT_EQ(5, lg.level("6"));
  EXPECT_EQ(6, lg.level(1));
  for (const char *bad : {"0", "LOG", "nonsense"}) {
    try {
      lg.level(bad);
      ADD_FAILURE() << bad;
    } catch (const TovException &e) {
      EXPECT_EQ(9, e.err());
      EXPECT_EQ(std::string("Invalid TovLog trace level (") + bad + ")", e.what());
    }
  }
  EXPECT_THROW(lg.level(0), TovException);
  EXPECT_EQ(1, lg.level());
  fclose(f);
}

TEST(TovLogTest, LongMessageTruncatedNewlineKept) {
  std::string big(5000, 'y');
  std::string out = logTo([&](TovLog &lg) { lg.log(1, "%s", big.c_str()); });
  ASSERT_FALSE(out.empty());
  EXPECT_EQ('\n', out.back());
  EXPECT_EQ(2048u, out.size());  // 2047 characters of line and the newline
}

TEST(TovLogTest, ShutdownLineAtDebugLevel) {
  std::string out = logTo([](TovLog &) {}, 4);
  EXPECT_TRUE(std::regex_search(out, std::regex("DBG [0-9]+" + TID + " Logger Shutdown - flog=0x[0-9a-f]+, owner=No\n")))
      << out;
}

TEST(TovLogTest, FileLoggerPrefixesTagAndAppends) {
  TempDir d;
  std::string path = d.file("app.log");
  {
    TovLog lg("mytag", path.c_str(), TovLog::NEVER, 3, nullptr, TovLog::NONE);
    EXPECT_TRUE(fctest::exists(path));
    lg.log(3, "first");
  }
  {
    TovLog lg("mytag", path.c_str());
    lg.log(3, "second");
  }
  std::string text = fctest::readFile(path);
  EXPECT_TRUE(std::regex_search(text, std::regex(" INFO mytag-" + std::to_string(getpid()) + TID + " first\n")))
      << text;
  EXPECT_NE(std::string::npos, text.find(" second\n"));
}

TEST(TovLogTest, DirectoryPathWritesFileNamedByTagWithoutPrefix) {
  TempDir d;
  {
    TovLog lg("dirtag", d.path().c_str(), TovLog::NEVER, 3, nullptr, TovLog::NONE);
    EXPECT_EQ(d.file("dirtag"), lg.path());
    EXPECT_EQ("", lg.prefix());
    lg.log(3, "in dir");
  }
  std::string text = fctest::readFile(d.file("dirtag"));
  EXPECT_TRUE(std::regex_search(text, std::regex(" INFO " + std::to_string(getpid()) + TID + " in dir\n"))) << text;
}

TEST(TovLogTest, UnopenableFileThrows) {
  try {
    TovLog lg("t", "/nonexistent-dir/x/y.log");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(2, e.err());
    EXPECT_STREQ("Failed to open logfile=/nonexistent-dir/x/y.log", e.what());
  }
}

static struct tm day(int y, int mon, int d, int h) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  return t;
}

TEST(TovLogTest, DailyCyclingOpensOneFilePerDay) {
  TempDir d;
  std::string base = d.file("cyc");
  TovLog lg("c", base.c_str(), TovLog::DAILY, 3);
  EXPECT_TRUE(fctest::listDir(d.path()).empty());  // nothing before the first line
  EXPECT_TRUE(lg.cycle(day(2026, 12, 7, 10)));
  EXPECT_TRUE(fctest::exists(base + "-261207"));
  EXPECT_FALSE(lg.cycle(day(2026, 12, 7, 23)));
  EXPECT_TRUE(lg.cycle(day(2026, 12, 8, 0)));
  EXPECT_TRUE(fctest::exists(base + "-261208"));
  EXPECT_EQ(2u, fctest::listDir(d.path()).size());
}

TEST(TovLogTest, HourlyAndMonthlySuffixes) {
  TempDir d;
  std::string h = d.file("h"), m = d.file("m");
  TovLog hl("t", h.c_str(), TovLog::HOURLY, 3);
  TovLog ml("t", m.c_str(), TovLog::MONTHLY, 3);
  EXPECT_TRUE(hl.cycle(day(2027, 1, 2, 3)));
  EXPECT_TRUE(fctest::exists(h + "-27010203"));
  EXPECT_TRUE(hl.cycle(day(2027, 1, 2, 4)));
  EXPECT_TRUE(ml.cycle(day(2027, 1, 2, 3)));
  EXPECT_FALSE(ml.cycle(day(2027, 1, 30, 3)));
  EXPECT_TRUE(fctest::exists(m + "-2701"));
}

TEST(TovLogTest, FirstLineOpensTodaysFile) {
  TempDir d;
  std::string base = d.file("daily");
  {
    TovLog lg("t", base.c_str(), TovLog::DAILY, 3);
    lg.log(3, "today");
  }
  auto names = fctest::listDir(d.path());
  ASSERT_EQ(1u, names.size());
  EXPECT_TRUE(std::regex_match(names[0], std::regex("daily-[0-9]{6}")));
  EXPECT_NE(std::string::npos, fctest::readFile(d.file(names[0])).find(" today\n"));
}

TEST(TovLogTest, InvalidFrequencyThrowsOnCycle) {
  TempDir d;
  std::string base = d.file("bad");
  TovLog lg("t", base.c_str(), 7, 3);
  try {
    lg.cycle(day(2026, 1, 1, 1));
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(6, e.err());
    EXPECT_STREQ("Invalid Logger frequency=7", e.what());
  }
}

TEST(TovLogTest, CreateFromTexts) {
  TovLog *so = TovLog::create("x", "stdout", "warn", "", "micro", "daily");
  EXPECT_EQ(stdout, so->stream());
  EXPECT_FALSE(so->owner());
  EXPECT_EQ(2, so->level());
  EXPECT_EQ(TovLog::MICRO, so->precision());
  EXPECT_EQ(TovLog::NEVER, so->frequency());
  delete so;
  EXPECT_NE(EOF, fputs("", stdout));  // standard output still open

  TovLog *se = TovLog::create(nullptr, "STDERR", "", nullptr, "", "");
  EXPECT_EQ(stderr, se->stream());
  EXPECT_EQ(3, se->level());
  EXPECT_EQ(TovLog::MILLI, se->precision());
  delete se;

  struct Case {
    const char *level, *prec, *freq, *msg;
  } bad[] = {{"0", "", "", "Invalid TovLog trace level (0)"},
             {"LOG", "", "", "Invalid TovLog trace level (LOG)"},
             {"", "nano", "", "Invalid TovLog precision (nano)"},
             {"", "", "weekly", "Invalid TovLog cycle-frequency (weekly)"}};
  for (auto &c : bad) {
    try {
      delete TovLog::create("x", "stdout", c.level, "", c.prec, c.freq);
      ADD_FAILURE() << c.msg;
    } catch (const TovException &e) {
      EXPECT_EQ(9, e.err());
      EXPECT_STREQ(c.msg, e.what());
    }
  }
}

TEST(TovLogTest, EnvironmentNames) {
  EXPECT_EQ("TOVATRC_LEVEL", TovLog::envname(TovLog::CFG_LEVEL));
  EXPECT_EQ("TOVATRC_CYCLEFREQ", TovLog::envname(TovLog::CFG_CYCLEFREQ));
  EXPECT_STREQ("PRELIMS", TovLog::CFG_PRELIMS);
}

TEST(TovLogTest, DefaultCreateReadsEnvironment) {
  TempDir d;
  std::string path = d.file("env.log");
  auto r = fctest::inChild([&] {
    setenv("TOVATRC_APPTAG", "envtag", 1);
    setenv("TOVATRC_FILENAME", path.c_str(), 1);
    setenv("TOVATRC_LEVEL", "WARN", 1);
    setenv("TOVATRC_TIMEPREC", "NONE", 1);
    unsetenv("TOVATRC_TIMEFMT");
    unsetenv("TOVATRC_CYCLEFREQ");
    TovLog *lg = TovLog::defaultCreate();
    lg->log(2, "warned");
    lg->log(3, "not shown");
    int lvl = lg->level();
    delete lg;
    return lvl;
  });
  EXPECT_EQ(2, r.status);
  std::string text = fctest::readFile(path);
  EXPECT_TRUE(std::regex_search(text, std::regex("^[0-9]{8}-[0-9:]{8} WARN envtag-[0-9]+" + TID + " warned\n")))
      << text;
  EXPECT_EQ(std::string::npos, text.find("not shown"));
}

TEST(TovLogTest, ConfigCreate) {
  TempDir d;
  std::string cfgpath = d.file("log.cfg");
  std::string logpath = d.file("from-config.log");
  fctest::writeFile(cfgpath, "[Log]\nFILENAME = " + logpath + "\nLEVEL = DBG\nTIMEPREC = none\n");
  TovConfig cfg(cfgpath);
  TovLog *lg = TovLog::configCreate(cfg, "Log", "cfgtag");
  EXPECT_EQ(4, lg->level());
  lg->log(4, "from config");
  delete lg;
  EXPECT_TRUE(std::regex_search(fctest::readFile(logpath), std::regex(" DBG cfgtag-[0-9]+" + TID + " from config")));
  try {
    delete TovLog::configCreate(cfg, "Missing", nullptr);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(9, e.err());
    EXPECT_STREQ("Config: Logger group=Missing is missing", e.what());
  }
}

TEST(TovLogTest, LogSpecSynthesise) {
  FILE *f = tmpfile();
  TovLogSpec spec;
  spec.stream = f;
  spec.level = 5;
  TovLog *lg = spec.synthesise();
  EXPECT_EQ(f, lg->stream());
  EXPECT_EQ(5, lg->level());
  TovLogSpec given;
  given.logger = lg;
  EXPECT_EQ(lg, given.synthesise());
  delete lg;
  fclose(f);
}

TEST(TovlogTest, EarlyMessagesGoToStandardError) {
  auto quiet = fctest::inChild([] {
    unsetenv("TOVATRC_APPTAG");
    tovlog(2, "warn %d", 1);
    tovlog(3, "info hidden");
    tovlog(0, "always");
    return 0;
  });
  EXPECT_TRUE(std::regex_match(quiet.err, std::regex("\\*\\*\\* PID=[0-9]+: warn 1\n\\*\\*\\* PID=[0-9]+: always\n")))
      << quiet.err;
  // The switch is decided once per process: a fresh program shows it.
  auto loud = fctest::run(fctest::appPath("noapp"), {}, {{"TOVATRC_APPTAG", "Y"}});
  EXPECT_EQ(1, loud.status);
  EXPECT_TRUE(std::regex_match(loud.err, std::regex("\\*\\*\\* PID=[0-9]+: main: 'fc_noapp_[a-z_]+' Starting\n"
                                                    "\\*\\*\\* PID=[0-9]+: No Application object found !\n")))
      << loud.err;
}
