#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "testutil.h"

using fctest::RunResult;
using fctest::TempDir;

namespace {
const char *USAGE =
    "\n"
    "Velmora: Shell Test 1.4.8\n"
    "USAGE:\n"
    "fc_shellapp_" FC_APP_SUFFIX " [-D workdir] [-C filename[:group]] [-L group[:apptag]]\n"
    "fc_shellapp_" FC_APP_SUFFIX " -h\n"
    "\n"
    "  -D: Daemon process. Use hypen (-) to specify default working directory\n"
    "  -C: Config file, and top-level group\n"
    "  -L: Logger's config group, and its application tag\n"
    "  -h: Display this usage synopsis\n"
    "\n";

struct Shell {
  TempDir dir;
  std::string log = dir.file("trace.log");
  std::map<std::string, std::string> env{{"TOVATRC_FILENAME", log}, {"TOVATRC_LEVEL", "DBG"},
                                         {"APP_RUN", "timer"}};
  RunResult run(const std::vector<std::string> &args, bool capture = true) {
    return fctest::run(fctest::appPath("shellapp"), args, env, 30, capture);
  }
  std::string logText() { return fctest::readFile(log); }
};
}  // namespace

TEST(ShellTest, NoApplicationObject) {
  TempDir d;
  RunResult r = fctest::run(fctest::appPath("noapp"), {}, {{"TOVATRC_FILENAME", d.file("x")}});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("\\*\\*\\* PID=[0-9]+: No Application object found !\n"))) << r.err;
}

TEST(ShellTest, NormalStartUpSequence) {
  Shell s;
  RunResult r = s.run({});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("SETUP\nINIT\nRUN\nTIMER\nTERMINATED\n", r.out);
  EXPECT_EQ("", r.err);
  std::string log = s.logText();
  for (const char *line : {"AppShell.start: this=0x",
                           "[Velmora: Shell Test 1.4.8]", "AppShell.start - Velmora: Shell Test 1.4.8 entering appRun()",
                           "AppShell.shutdown - Velmora: Shell Test 1.4.8", "main: 'fc_shellapp_" FC_APP_SUFFIX "' Exiting",
                           "AppShell.dtor - Velmora: Shell Test 1.4.8", "EvtMgr.dtor - this=0x"})
    EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
}

TEST(ShellTest, HelpPrintsUsageAndSkipsInitAndRun) {
  Shell s;
  RunResult r = s.run({"-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
  EXPECT_EQ(USAGE, r.err);
}

TEST(ShellTest, HelpWinsOverMissingMandatorySwitch) {
  Shell s;
  s.env["APP_OPTS"] = "x:";
  s.env["APP_MANDATORY"] = "x";
  RunResult r = s.run({"-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(USAGE, r.err);
}

TEST(ShellTest, CommandLineErrorExits99) {
  Shell s;
  RunResult r = s.run({"-q"});
  EXPECT_EQ(99, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
  EXPECT_EQ(std::string("Invalid command-line [Illegal switch (on or after '-q')]\n") + USAGE, r.err);

  s.env["APP_OPTS"] = "x:";
  s.env["APP_MANDATORY"] = "x";
  r = s.run({});
  EXPECT_EQ(99, r.status);
  EXPECT_EQ(0u, r.err.find("Invalid command-line [Mandatory '-x' switch not supplied]\n"));
}

TEST(ShellTest, ApplicationSwitchesAndParameters) {
  Shell s;
  s.env["APP_OPTS"] = "vx:";
  s.env["APP_PARAMS"] = "1,2";
  RunResult r = s.run({"-v", "-x", "val", "p1", "p2"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("SETUP\nPARSE switch 118 -\nPARSE switch 120 val\nPARSE param 1 p1\nPARSE param 2 p2\nINIT\nRUN\nTIMER\n"
            "TERMINATED\n",
            r.out);
  r = s.run({"-x", "bad", "p1"});
  EXPECT_EQ(99, r.status);
  EXPECT_EQ(0u, r.err.find("Invalid command-line [Invalid switch: '-x bad']\n"));
}

TEST(ShellTest, UnexpectedParameterEndsStartUpWithFailure) {
  Shell s;
  s.env["APP_PARAMS"] = "0,1";
  s.env["APP_NOPARSE"] = "1";
  RunResult r = s.run({"extra"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
  EXPECT_TRUE(std::regex_search(s.logText(),
                                std::regex(" ERR \\S+ AppShell\\.args: TovException: Error=3 \\(errno=[0-9]+\\) - "
                                           "Unexpected command-line parameter=1 \\(extra\\)\n")))
      << s.logText();
}

TEST(ShellTest, ConfigSyntaxErrorEndsStartUpWithFailure) {
  Shell s;
  std::string cfg = s.dir.file("bad.cfg");
  fctest::writeFile(cfg, "# header\nX = 1\n");
  RunResult r = s.run({"-C", cfg + ":Main"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
  EXPECT_TRUE(std::regex_search(s.logText(), std::regex(" ERR \\S+ AppShell\\.args: TovException: Error=9 \\(errno=[0-9]+\\) - "
                                                       "TovConfig " + cfg + ":2 - Not in group !\n")))
      << s.logText();
  r = s.run({"-C", s.dir.file("missing.cfg")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
}

TEST(ShellTest, HookFailuresEndWithStatus1) {
  Shell s;
  s.env["APP_SETUP_FAIL"] = "1";
  RunResult r = s.run({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nTERMINATED\n", r.out);
  s.env.erase("APP_SETUP_FAIL");
  s.env["APP_INIT_FAIL"] = "1";
  r = s.run({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nINIT\nTERMINATED\n", r.out);  // appRun is not entered
}

TEST(ShellTest, ExceptionFromRunReported) {
  Shell s;
  s.env["APP_RUN"] = "throw";
  RunResult r = s.run({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("SETUP\nINIT\nRUN\nTERMINATED\n", r.out);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("\nTovException: Error=7 \\(errno=[0-9]+\\) - run failed\n\n"))) << r.err;
  EXPECT_NE(std::string::npos, s.logText().find("AppShell.start: TovException: Error=7"));
}

TEST(ShellTest, BadLoggerEnvironmentFailsStartUp) {
  Shell s;
  s.env["TOVATRC_LEVEL"] = "LOG";
  RunResult r = s.run({});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("TERMINATED\n", r.out);
  // Without a logger the failure is also logged to standard error.
  EXPECT_TRUE(std::regex_match(r.err, std::regex("\nTovException: Error=9 \\(errno=[0-9]+\\) - Invalid TovLog trace level "
                                                 "\\(LOG\\)\n\n\\*\\*\\* PID=[0-9]+: AppShell\\.start: TovException: "
                                                 "Error=9 \\(errno=[0-9]+\\) - Invalid TovLog trace level \\(LOG\\)\n")))
      << r.err;
}

TEST(ShellTest, LoggerFromConfigGroup) {
  Shell s;
  std::string cfg = s.dir.file("app.cfg");
  std::string applog = s.dir.file("app.log");
  fctest::writeFile(cfg, "[Log]\nFILENAME = " + applog + "\nLEVEL = INFO\nTIMEPREC = MICRO\n");
  RunResult r = s.run({"-C", cfg, "-L", "Log:mytag"});
  EXPECT_EQ(0, r.status) << r.err;
  std::string text = fctest::readFile(applog);
  // Level INFO: the debug lines of the run stay out; the shutdown goes to the first logger only.
  EXPECT_EQ(std::string::npos, text.find("entering appRun"));
  EXPECT_NE(std::string::npos, s.logText().find("AppShell.start: this="));
  // A missing group is not an error when a tag is given: defaults apply.
  std::string home = s.dir.path();
  s.env["HOME"] = home;
  r = s.run({"-L", "NoSuchGroup:tag2"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(fctest::exists(home + "/TOVA.LOG"));
}

namespace {
int waitForFile(const std::string &path, int ms) {
  for (int i = 0; i < ms / 20; i++) {
    if (fctest::exists(path)) return 1;
    usleep(20000);
  }
  return 0;
}

bool waitForText(const std::string &path, const std::string &text, int ms) {
  for (int i = 0; i < ms / 20; i++) {
    if (fctest::readFile(path).find(text) != std::string::npos) return true;
    usleep(20000);
  }
  return false;
}

// Reaps the daemon's processes, which are re-parented to this test process.
int reapAll(int ms) {
  int reaped = 0;
  for (int i = 0; i < ms / 20; i++) {
    int st;
    pid_t p = waitpid(-1, &st, WNOHANG);
    if (p > 0) {
      reaped++;
      continue;
    }
    if (p < 0) break;
    usleep(20000);
  }
  return reaped;
}
}  // namespace

TEST(ShellTest, DaemonReconfiguresOnUsr1AndEndsOnTerm) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  Shell s;
  std::string work = s.dir.file("work");
  mkdir(work.c_str(), 0755);
  std::string cfg = s.dir.file("daemon.cfg");
  std::string dlog = s.dir.file("daemon.log");
  fctest::writeFile(cfg, "[Log]\nFILENAME = " + dlog + "\nLEVEL = INFO\n");
  s.env["APP_PIDFILE"] = s.dir.file("pid");
  s.env.erase("APP_RUN");  // the daemon waits for signals
  RunResult r = s.run({"-D", work, "-C", cfg + ":Main", "-L", "Log:dmn"}, false);
  EXPECT_EQ(0, r.status);  // the original process leaves at once
  ASSERT_TRUE(waitForFile(s.env["APP_PIDFILE"], 5000));
  std::string info = fctest::readFile(s.env["APP_PIDFILE"]);
  int pid = atoi(info.c_str());
  ASSERT_GT(pid, 1);
  EXPECT_NE(std::string::npos, info.find(" " + work + "\n")) << info;
  EXPECT_NE(getsid(0), getsid(pid));  // a session of its own

  fctest::writeFile(cfg, "[Log]\nFILENAME = " + dlog + "\nLEVEL = DBG\n");
  kill(pid, SIGUSR1);
  EXPECT_TRUE(waitForText(dlog, "AppShell: Trace level increased from INFO to DBG", 5000)) << fctest::readFile(dlog);
  EXPECT_TRUE(std::regex_search(fctest::readFile(dlog), std::regex(" LOG dmn-[0-9]+[-0-9]* AppShell: Trace level ")));
  EXPECT_TRUE(waitForText(dlog, "AppShell: Issuing Reconfigure for " + cfg, 100));
  EXPECT_TRUE(waitForText(dlog, "NOTIFIED Config=" + cfg + "\n", 100));  // observers of the configuration

  kill(pid, SIGTERM);
  EXPECT_TRUE(waitForText(dlog, "AppShell.terminate: stopflag=No", 5000)) << fctest::readFile(dlog);
  EXPECT_GE(reapAll(5000), 1);
  EXPECT_NE(0, kill(pid, 0));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(ShellTest, DaemonDefaultWorkdirFromEnvironment) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  Shell s;
  std::string work = s.dir.file("wd");
  mkdir(work.c_str(), 0755);
  s.env["TOVA_WORKDIR"] = work;
  s.env["APP_PIDFILE"] = s.dir.file("pid");
  s.env.erase("APP_RUN");
  RunResult r = s.run({"-D", "-"}, false);
  EXPECT_EQ(0, r.status);
  ASSERT_TRUE(waitForFile(s.env["APP_PIDFILE"], 5000));
  std::string info = fctest::readFile(s.env["APP_PIDFILE"]);
  int pid = atoi(info.c_str());
  EXPECT_NE(std::string::npos, info.find(" " + work + "\n")) << info;
  ASSERT_GT(pid, 1);
  kill(pid, SIGTERM);
  EXPECT_GE(reapAll(5000), 1);
  EXPECT_TRUE(std::regex_search(s.logText(), std::regex("AppShell: Daemonised from PID=[0-9]+ to [0-9]+ \\[Velmora")));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// ---- the shell object itself, without main ---------------------------------
#include "appshell.h"
#include "evtmgr.h"
#include "exception.h"

namespace {
struct Bare : tovafc::TovAppShell {
  Bare(const char *desc, const char *ver, const char *proj) : TovAppShell(nullptr, desc, ver, proj) {}
};
}  // namespace

TEST(AppShellObjectTest, TitleComposition) {
  {
    Bare a("Packet Analyser", "1.4.8", "Velmora");
    EXPECT_STREQ("Velmora: Packet Analyser 1.4.8", a.appTitle());
    EXPECT_EQ(&a, tovafc::TovAppShell::singleton);
  }
  EXPECT_EQ(nullptr, tovafc::TovAppShell::singleton);
  {
    Bare b("Only Desc", nullptr, nullptr);
    EXPECT_STREQ("Only Desc", b.appTitle());
  }
  {
    Bare c(nullptr, "2.0", "Proj");
    EXPECT_STREQ("Proj 2.0", c.appTitle());
  }
  try {
    Bare d(nullptr, "1", nullptr);
    FAIL();
  } catch (const tovafc::TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("AppShell: project-name and app-description both null", e.what());
  }
  EXPECT_STREQ("/tmp", tovafc::TovAppShell::DFLT_WORKDIR);
  EXPECT_STREQ("TOVA_WORKDIR", tovafc::TovAppShell::ENV_WORKDIR);
}

TEST(AppShellObjectTest, DuplicateApplicationRefused) {
  Bare a("A", nullptr, nullptr);
  try {
    Bare b("B", nullptr, nullptr);
    FAIL();
  } catch (const tovafc::TovException &e) {
    EXPECT_EQ(6, e.err());
    EXPECT_STREQ("Duplicate TovAppShell", e.what());
  }
  EXPECT_EQ(&a, tovafc::TovAppShell::singleton);
}

TEST(AppShellObjectTest, LoggerReplacementRoutesTovlog) {
  TempDir d;
  std::string first = d.file("first.log"), second = d.file("second.log");
  Bare a("A", nullptr, nullptr);
  EXPECT_EQ(nullptr, a.appLogger());
  tovafc::TovLogSpec spec;
  spec.filename = first;
  spec.apptag = "one";
  a.appSetLogger(&spec);
  ASSERT_NE(nullptr, a.appLogger());
  tovafc::tovlog(3, "to the first");
  tovafc::TovLogSpec spec2;
  spec2.filename = second;
  spec2.apptag = "two";
  a.appSetLogger(&spec2);
  tovafc::tovlog(3, "to the second");
  tovafc::tovlog(4, "below the level");
  EXPECT_NE(std::string::npos, fctest::readFile(first).find(" INFO one-"));
  EXPECT_NE(std::string::npos, fctest::readFile(first).find(" to the first\n"));
  EXPECT_EQ(std::string::npos, fctest::readFile(first).find("second"));
  EXPECT_NE(std::string::npos, fctest::readFile(second).find(" to the second\n"));
  EXPECT_EQ(std::string::npos, fctest::readFile(second).find("below"));
}

#include "evtmgr.h"
#include "file.h"
#include "timer.h"

TEST(AppShellObjectTest, DispatcherReportsWhatRemains) {
  TempDir d;
  Bare a("A", nullptr, nullptr);
  tovafc::TovLogSpec spec;
  spec.filename = d.file("em.log");
  spec.level = 4;
  a.appSetLogger(&spec);
  tovafc::TovEvtMgr::destroy();
  unsetenv("TOVA_EM_ARMODE");
  struct H : tovafc::TovSignalHandler {
    void signalReceived(int) override {}
    void signalStopped(int) override {}
    const char *sigtag() const override { return "quiet"; }
  } h;
  struct T : tovafc::TovTimer {
    bool stops;
    T(const char *n, bool s) : TovTimer(n), stops(s) {}
    void timerExpired() override {
      if (stops) tovafc::TovEvtMgr::instance()->stopDispatcher();
    }
    void timerStopped() override {}
  } left("left", false), stopper("stopper", true);
  struct R : tovafc::TovAIO {
    R() : TovAIO(true, "rd") {}
    void aioReady(tovafc::TovFile *) override {}
    void aioCancelled(tovafc::TovFile *, bool, bool) override {}
  } r;
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  tovafc::TovFile f(fds[0], "quiet-pipe");
  tovafc::TovEvtMgr *em = tovafc::TovEvtMgr::instance();
  em->startSignal(&h, SIGUSR2);
  em->startAIO(&f, &r);
  left.startTimer(100, 0);
  stopper.startTimer(0, 1000);
  em->startDispatcher();
  std::string log = fctest::readFile(spec.filename);
  EXPECT_NE(std::string::npos, log.find("EvtMgr: After dispatcher shutdown, tmrq=1, pollfds=1\n")) << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("- EvtMgr: timer=left remains - 99[0-9]{3} millisecs\n"))) << log;
  EXPECT_NE(std::string::npos, log.find("- EvtMgr: Receiver=rd remains - fd " + std::to_string(fds[0]) + "=quiet-pipe\n"));
  EXPECT_NE(std::string::npos, log.find("EvtMgr: 1 Signal Handlers - 12\n"));
  left.stopTimer();
  em->stopAIO(&f, &r);
  em->stopSignal(&h, SIGUSR2);
  tovafc::TovEvtMgr::destroy();
  close(fds[1]);
  signal(SIGUSR2, SIG_DFL);
}
