#include "forked.h"
#include "tova.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

namespace {

void clear_trace_env()
{
  for (const char *v : {"TOVATRC_LEVEL", "TOVATRC_TIMEPREC", "TOVATRC_TIMEFMT", "TOVATRC_FILENAME", "TOVATRC_REOPEN"})
    unsetenv(v);
}

TEST(TraceLevels, SymbolsAndNumbers)
{
  EXPECT_STREQ(trc_lvl2sym(0), "LOG");
  EXPECT_STREQ(trc_lvl2sym(6), "DBG3");
  EXPECT_STREQ(trc_lvl2sym(7), "<7>");
  EXPECT_STREQ(trc_lvl2sym(-1), "<-1>");
  EXPECT_EQ(trc_sym2lvl("dbg2"), 5);
  EXPECT_EQ(trc_sym2lvl("Warn"), 2);
  EXPECT_EQ(trc_sym2lvl(""), -1);
  EXPECT_EQ(trc_sym2lvl("DEBUG"), -1);
}

TEST(TraceLine, DefaultFormatWithMilliseconds)
{
  TempDir dir;
  const std::string path = dir.file("t.log");
  int rc = run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_FILENAME", path.c_str(), 1);
    tvl_msglog("hello %d", 42);
    dbgtrc(TRC_DBG, 0, "not written at the default threshold");
    dbgtrc(TRC_ERR, 0, "an error");
    return dbglvl();
  });
  EXPECT_EQ(rc, 3);
  const std::string text = slurp(path);
  std::regex line(R"(\d{8}-\d{2}:\d{2}:\d{2}\.\d{3} \(INFO-(\d+)\): hello 42\n)"
                  R"(\d{8}-\d{2}:\d{2}:\d{2}\.\d{3} \(ERR-\d+\): an error\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(TraceLine, PrecisionAndFormatSettings)
{
  TempDir dir;
  const std::string none = dir.file("none.log"), micro = dir.file("micro.log"), fmt = dir.file("fmt.log");
  run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_FILENAME", none.c_str(), 1);
    setenv("TOVATRC_TIMEPREC", "none", 1);
    tvl_msglog("x");
    return 0;
  });
  run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_FILENAME", micro.c_str(), 1);
    setenv("TOVATRC_TIMEPREC", "micro", 1);
    tvl_msglog("x");
    return 0;
  });
  run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_FILENAME", fmt.c_str(), 1);
    setenv("TOVATRC_TIMEFMT", "[%Y]", 1);
    setenv("TOVATRC_TIMEPREC", "NONE", 1);
    tvl_msglog("x");
    return 0;
  });
  EXPECT_TRUE(std::regex_match(slurp(none), std::regex(R"(\d{8}-\d{2}:\d{2}:\d{2} \(INFO-\d+\): x\n)")));
  EXPECT_TRUE(std::regex_match(slurp(micro), std::regex(R"(\d{8}-\d{2}:\d{2}:\d{2}\.\d{6} \(INFO-\d+\): x\n)")));
  EXPECT_TRUE(std::regex_match(slurp(fmt), std::regex(R"(\[\d{4}\] \(INFO-\d+\): x\n)")));
}

TEST(TraceSettings, LevelByNumberAndName)
{
  TempDir dir;
  for (const char *value : {"6", "dbg3", "6x"}) {
    int rc = run_forked([&] {
      clear_trace_env();
      setenv("TOVATRC_FILENAME", dir.file("l.log").c_str(), 1);
      setenv("TOVATRC_LEVEL", value, 1);
      dbgtrc(TRC_DBG3, 0, "deep");
      return dbglvl();
    });
    EXPECT_EQ(rc, 6) << value;
  }
  const std::string text = slurp(dir.file("l.log"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("(DBG3-"), std::string::npos);
}

TEST(TraceSettings, InvalidLevelAndPrecisionAreReportedOnStderr)
{
  TempDir dir;
  const std::string err = dir.file("err"), log = dir.file("l.log");
  int rc = run_forked([&] {
    clear_trace_env();
    freopen(err.c_str(), "w", stderr);
    setenv("TOVATRC_FILENAME", log.c_str(), 1);
    setenv("TOVATRC_LEVEL", "LOG", 1);
    dbgtrc(TRC_LOG, 0, "level zero still written");
    tvl_msglog("info dropped");
    return dbglvl();
  });
  EXPECT_EQ(rc, 0);
  EXPECT_NE(slurp(err).find("(ERR-"), std::string::npos);
  EXPECT_NE(slurp(err).find("): msglog: Invalid trace level ($TOVATRC_LEVEL=LOG)\n"), std::string::npos) << slurp(err);

  const std::string err2 = dir.file("err2");
  run_forked([&] {
    clear_trace_env();
    freopen(err2.c_str(), "w", stderr);
    setenv("TOVATRC_TIMEPREC", "nano", 1);
    return dbginit(log.c_str(), nullptr, -1, 0) == -1 ? 0 : 1;
  });
  EXPECT_NE(slurp(err2).find("msglog: Invalid timestamp precision ($TOVATRC_TIMEPREC=nano)"), std::string::npos);

  const std::string err3 = dir.file("err3");
  int lvl = run_forked([&] {
    clear_trace_env();
    freopen(err3.c_str(), "w", stderr);
    setenv("TOVATRC_LEVEL", "0", 1);
    return dbginit(log.c_str(), nullptr, -1, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(lvl, 0);
  EXPECT_NE(slurp(err3).find("($TOVATRC_LEVEL=0)"), std::string::npos);
}

TEST(TraceDestination, StderrAndHome)
{
  TempDir dir;
  const std::string err = dir.file("err");
  run_forked([&] {
    clear_trace_env();
    freopen(err.c_str(), "w", stderr);
    setenv("TOVATRC_FILENAME", "stderr", 1);
    tvl_msglog("to stderr");
    return 0;
  });
  EXPECT_NE(slurp(err).find("): to stderr\n"), std::string::npos);

  run_forked([&] {
    clear_trace_env();
    setenv("HOME", dir.path().c_str(), 1);
    tvl_msglog("to home");
    return 0;
  });
  EXPECT_NE(slurp(dir.file("TOVA.LOG")).find("): to home\n"), std::string::npos);

  const std::string cwd = dir.file("cwd");
  mkdir(cwd.c_str(), 0700);
  run_forked([&] {
    clear_trace_env();
    unsetenv("HOME");
    if (chdir(cwd.c_str()) != 0)
      return 1;
    tvl_msglog("to cwd");
    return 0;
  });
  EXPECT_NE(slurp(cwd + "/TOVA.LOG").find("): to cwd\n"), std::string::npos);
}

TEST(TraceDestination, ModeTwoOpenFailureKeepsTracingToStderr)
{
  TempDir dir;
  const std::string err = dir.file("err");
  int rc = run_forked([&] {
    clear_trace_env();
    freopen(err.c_str(), "w", stderr);
    int r = dbginit("/nonexistent-dir/x.log", nullptr, -1, 0);
    tvl_msglog("still here");
    return r == -1 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_NE(slurp(err).find("dbginit: fopen(/nonexistent-dir/x.log) failed [errno=2]"), std::string::npos);
  EXPECT_NE(slurp(err).find("): still here\n"), std::string::npos);
}

TEST(TraceDestination, ReopenModeFallsBackToTmp)
{
  TempDir dir;
  const std::string reopen = dir.file("r.log");
  int rc = run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_REOPEN", "Y", 1);
    if (dbginit(reopen.c_str(), nullptr, -1, 0) != 0)
      return 1;
    tvl_msglog("first");
    // The file is reopened per line: moving it away starts a new one.
    rename(reopen.c_str(), (reopen + ".old").c_str());
    tvl_msglog("second");
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_NE(slurp(reopen + ".old").find("): first\n"), std::string::npos);
  EXPECT_NE(slurp(reopen).find("): second\n"), std::string::npos);

  const std::string tmplog = "/tmp/TOVA.LOG";
  const std::string before = slurp(tmplog);
  std::string marker = "fallback-" + std::to_string(getpid());
  rc = run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_REOPEN", "y", 1);
    if (dbginit("/nonexistent-dir/r.log", nullptr, -1, 0) != 0)
      return 1;
    tvl_msglog("%s one", marker.c_str());
    tvl_msglog("%s two", marker.c_str());
    return 0;
  });
  EXPECT_EQ(rc, 0);
  std::string after = slurp(tmplog);
  std::string added = after.substr(std::min(before.size(), after.size()));
  EXPECT_NE(added.find("Failed to open '/nonexistent-dir/r.log', errno=2 ***\n"), std::string::npos) << added;
  EXPECT_NE(added.find(marker + " one"), std::string::npos);
  EXPECT_NE(added.find(marker + " two"), std::string::npos);
  if (before.empty())
    unlink(tmplog.c_str());
}

TEST(TraceDestination, LongPathRefusedOnlyInReopenMode)
{
  std::string longpath = "/tmp/" + std::string(1020, 'p');
  int rc = run_forked([&] {
    clear_trace_env();
    setenv("TOVATRC_REOPEN", "y", 1);
    return dbginit(longpath.c_str(), nullptr, -1, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  rc = run_forked([&] {
    clear_trace_env();
    // Mode 2 simply tries to open it (and fails here on the name length).
    return dbginit(longpath.c_str(), nullptr, -1, 0) == -1 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

TEST(Init, SignalsIgnoredUnlessAskedToKeepThem)
{
  int rc = run_forked([] {
    signal(SIGPIPE, SIG_DFL);
    tvl_init(nullptr);
    struct sigaction sa;
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD}) {
      sigaction(sig, nullptr, &sa);
      if (sa.sa_handler != SIG_IGN)
        return 1;
    }
    return 0;
  });
  EXPECT_EQ(rc, 0);
  rc = run_forked([] {
    signal(SIGUSR1, SIG_DFL);
    tvl_init_ctrl ctrl{};
    ctrl.flags = TVL_INIT_KEEPSIGS;
    tvl_init(&ctrl);
    struct sigaction sa;
    sigaction(SIGUSR1, nullptr, &sa);
    return sa.sa_handler == SIG_DFL ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
}

TEST(Init, DirectoryAndVersion)
{
  EXPECT_STREQ(tvl_verstr(), "1.2.4");
  int rc = run_forked([] {
    unsetenv("TOVADIR");
    if (std::string(tvl_tovadir()) != "/opt/tovaworks/etc")
      return 1;
    setenv("TOVADIR", "/srv/x", 1);
    return std::string(tvl_tovadir()) == "/srv/x" ? 0 : 2;
  });
  EXPECT_EQ(rc, 0);
}

}  // namespace
