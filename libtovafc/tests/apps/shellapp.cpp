// Test application driven through the shell; its behaviour is chosen by
// environment variables so that one program covers the start-up paths.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tovafc.h"

using namespace tovafc;

static const char *env(const char *n) {
  const char *v = getenv(n);
  return v ? v : "";
}

static void say(const char *fmt, const char *arg = "") {
  printf(fmt, arg);
  printf("\n");
  fflush(stdout);
}

class EndTimer : public TovTimer {
 public:
  EndTimer() : TovTimer("end") {}
  void timerExpired() override {
    say("TIMER");
    TovAppShell::singleton->appTerminate();
  }
  void timerStopped() override {}
};

class Watcher : public TovObserver {
 public:
  void observerNotify(TovNotifier *n) override { tovlog(3, "NOTIFIED %s", n->notifierName().c_str()); }
  void observerDetached(TovNotifier *) override {}
  const char *observerName() const override { return "watcher"; }
};

class ShellApp : public TovAppShell {
 public:
  ShellApp() : TovAppShell(nullptr, "Shell Test", VELMORA_VERSION, "Velmora") {}

  int appSetup(tvl_init_ctrl *) override {
    say("SETUP");
    if (*env("APP_OPTS")) appSetOpts(env("APP_OPTS"), env("APP_MANDATORY"));
    if (*env("APP_PARAMS")) {
      int mn = 0, mx = 0;
      sscanf(env("APP_PARAMS"), "%d,%d", &mn, &mx);
      appSetParams(mn, mx);
    }
    return atoi(env("APP_SETUP_FAIL"));
  }

  int appParseArg(int is_switch, int c, const char *arg) override {
    if (*env("APP_NOPARSE")) return TovAppShell::appParseArg(is_switch, c, arg);
    char buf[256];
    snprintf(buf, sizeof buf, "PARSE %s %d %s", is_switch ? "switch" : "param", c, arg ? arg : "-");
    say("%s", buf);
    if (arg && !strcmp(arg, "bad")) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s'", c, arg);
      return 1;
    }
    return 0;
  }

  int appInit() override {
    say("INIT");
    if (*env("APP_PIDFILE")) {
      char cwd[1024] = "";
      if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
      std::string tmp = std::string(env("APP_PIDFILE")) + ".tmp";
      FILE *f = fopen(tmp.c_str(), "w");
      if (f) {
        fprintf(f, "%d %s\n", (int)getpid(), cwd);
        fclose(f);
        rename(tmp.c_str(), env("APP_PIDFILE"));
      }
      appConfig()->attach(&watcher);
    }
    return atoi(env("APP_INIT_FAIL"));
  }

  int appRun() override {
    say("RUN");
    if (!strcmp(env("APP_RUN"), "timer")) tmr.startTimer(0, 20000);
    if (!strcmp(env("APP_RUN"), "throw")) throw TovException(7, "run failed");
    return TovAppShell::appRun();
  }

  void appTerminated() override {
    if (*env("APP_PIDFILE")) appConfig()->detach(&watcher);
    say("TERMINATED");
  }

  EndTimer tmr;
  Watcher watcher;
};

static ShellApp app;
