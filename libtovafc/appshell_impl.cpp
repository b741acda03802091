#include "appshell_impl.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "evtmgr.h"
#include "exception.h"
#include "utils.h"

namespace tovafc {

ImplAppShell::ImplAppShell(TovAppShell *o, TovLogSpec *spec, bool defer)
    : owner(o), logspec(spec), deferEvtMgr(defer) {}

ImplAppShell::~ImplAppShell() = default;

// Logs on the way down, through the shell that still names this
// implementation: called before the shell lets go of it.
void ImplAppShell::teardown() {
  tovlog(4, "AppShell.dtor - %s", title.c_str());
  TovEvtMgr::destroy();
  TovAppShell::evtmgr = nullptr;
  cfgmgr.reset();
  logspec.reset();
  setLogger(nullptr);
}

void ImplAppShell::setLogger(TovLog *lg) {
  std::unique_ptr<TovLog> old = std::move(logger);  // lines logged meanwhile go to standard error
  old.reset();
  logger.reset(lg);
}

int ImplAppShell::start(int argc, char **argv) {
  char a[32], b[32];
  try {
    TovLog *first = logspec ? logspec->synthesise() : TovLog::defaultCreate();
    logspec.reset();
    setLogger(first);
    tovlog(4, "AppShell.start: this=%s, pimpl=%s, prognam=%s, argc=%d [%s]", objtag("", owner, a),
           objtag("", this, b), tvl_prognam ? tvl_prognam : "<NULL>", argc, title.c_str());
    unsafe_start(argc, argv);
    tovlog(4, "AppShell.start: terminating [%s]", title.c_str());
  } catch (...) {
    std::string why = TovException::handler();
    fprintf(stderr, "\n%s\n\n", why.c_str());
    try {
      tovlog(1, "AppShell.start: %s", why.c_str());
    } catch (...) {
    }
    shutdown();
    return 1;
  }
  shutdown();
  return failure;
}

void ImplAppShell::unsafe_start(int argc, char **argv) {
  tvl_init_ctrl ctrl;
  memset(&ctrl, 0, sizeof ctrl);
  if (owner->appSetup(&ctrl) != 0) {
    failure = 1;
    return;
  }

  std::string optstr(256, '\0');
  int n = snprintf(&optstr[0], optstr.size(), "%c%c:%c:%c:", 'h', 'D', 'C', 'L');
  optstr.resize((size_t)n);
  optstr = opts + optstr;
  _tvl_cmdlin_ctrl cl{};
  cl.opts = optstr.c_str();
  cl.mandatory = mandatory.empty() ? nullptr : mandatory.c_str();
  cl.min_params = minParams;
  cl.max_params = maxParams;
  cl.user = this;
  cl.callback = do_cmdline_opt;
  if (tvl_cmdlin(argc, argv, &cl) != 0) {
    fprintf(stderr, "Invalid command-line [%s]\n", tvl_usrmsg);
    owner->appUsage();
    terminate();
    failure = 99;
    return;
  }
  if (stopflag) return;

  configure();

  if (!deferEvtMgr) TovAppShell::evtmgr = TovEvtMgr::instance(0);

  if (daemonRequested) {
    daemonise(workdir.c_str());
    ctrl.flags |= TVL_INIT_KEEPSIGS;
  }

  if (tvl_init(&ctrl) != 0) throw TovException(10, "Initialisation failed [%s]", tvl_usrmsg);

  errno = 0;
  if (owner->appInit() != 0) {
    // A failed initialisation ends the program with a failure status; appRun is not entered.
    terminate();
    failure = 1;
    return;
  }

  TovAppShell::evtmgr = TovEvtMgr::instance(0);
  if (stopflag && !TovAppShell::evtmgr) return;
  TovAssertBasic(TovAppShell::evtmgr != nullptr, "AppShell: No Event Manager !");

  if (daemonRequested) daemonise(workdir.c_str());

  tovlog(4, "AppShell.start - %s entering appRun()", title.c_str());
  owner->appRun();
}

int ImplAppShell::do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int letter_or_position, const char *arg) {
  auto *self = static_cast<ImplAppShell *>(ctrl->user);
  try {
    int rc = self->parse_arg(is_switch, letter_or_position, arg);
    if (self->stopflag && self->failure == 0) ctrl->stop = 1;  // -h: nothing more to check
    return rc;
  } catch (...) {
    std::string why = TovException::handler();
    tovlog(1, "AppShell.args: %s", why.c_str());
    self->failure = 1;
    try {
      self->terminate();
    } catch (...) {
      std::string w2 = TovException::handler();
      tovlog(1, "AppShell: terminate() threw [%s]", w2.c_str());
      return 3;
    }
    return 0;
  }
}

int ImplAppShell::parse_arg(int is_switch, int c, const char *arg) {
  if (is_switch) {
    switch (c) {
      case 'C': {
        std::string spec = arg ? arg : "";
        size_t colon = spec.find(':');
        std::string fname = spec.substr(0, colon);
        std::string group = colon == std::string::npos ? "" : spec.substr(colon + 1);
        TovConfig *cfg = new TovConfig(fname);
        cfgmgr = std::make_unique<TovConfigMgr>(cfg, group);
        return 0;
      }
      case 'D':
        daemonRequested = true;
        workdir = (arg && strcmp(arg, "-") != 0) ? arg : "";
        return 0;
      case 'L': {
        std::string spec = arg ? arg : "";
        size_t colon = spec.find(':');
        loggroup = spec.substr(0, colon);
        apptag = colon == std::string::npos ? "" : spec.substr(colon + 1);
        loggerOption = true;
        return 0;
      }
      case 'h':
        owner->appUsage();
        terminate();
        return 0;
      default:
        break;
    }
  }
  int rc = owner->appParseArg(is_switch, c, arg);
  if (rc == 3)
    throw TovException(3, "Unexpected command-line %s=%d (%s)", is_switch ? "switch" : "parameter", c,
                       arg ? arg : "<NULL>");
  return rc;
}

void ImplAppShell::configure() {
  if (!cfgmgr) cfgmgr = std::make_unique<TovConfigMgr>(new TovConfig(), "");
  if (!loggroup.empty() || !apptag.empty()) {
    TovLog *lg = TovLog::configCreate(*cfgmgr->config(), loggroup.c_str(), apptag.c_str());
    setLogger(lg);
  }
}

void ImplAppShell::daemonise(const char *dir) {
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  if (daemonised || !em) return;
  daemonised = true;
  daemonRequested = false;
  std::string wd = dir ? dir : "";
  if (wd.empty()) {
    const char *env = getenv(TovAppShell::ENV_WORKDIR);
    wd = env ? env : TovAppShell::DFLT_WORKDIR;
  }
  workdir = wd;
  unsigned long oldpid = (unsigned long)getpid();
  fflush(nullptr);
  if (getpgrp() == getpid()) {
    pid_t pid = fork();
    if (pid < 0) throw TovException(2, "Daemon failed to fork");
    if (pid > 0) _exit(0);
  }
  if (setsid() < 0) throw TovException(2, "Daemon failed to create process session");
  pid_t pid = fork();
  if (pid < 0) throw TovException(2, "Daemon failed to fork");
  if (pid > 0) _exit(0);
  if (chdir(workdir.c_str()) != 0) throw TovException(2, "Daemon failed to set workding dir to %s", workdir.c_str());
  umask(0);
  em->stopSignal(nullptr, SIGINT, true);
  em->stopSignal(nullptr, SIGHUP, true);
  em->stopSignal(nullptr, SIGPIPE, true);
  em->stopSignal(nullptr, SIGUSR2, true);
  em->startSignal(this, SIGUSR1);
  em->startSignal(this, SIGTERM);
  tovlog(4, "AppShell: Daemonised from PID=%lu to %lu [%s]", oldpid, (unsigned long)getpid(), title.c_str());
}

void ImplAppShell::signalReceived(int sig) {
  if (sig == SIGUSR1)
    reconfigure();
  else if (sig == SIGTERM)
    terminate();
}

void ImplAppShell::signalStopped(int sig) { tovlog(4, "AppShell.signalStopped: sig=%d", sig); }

void ImplAppShell::reconfigure() {
  TovConfig *cfg = cfgmgr ? cfgmgr->config() : nullptr;
  tovlog(3, "AppShell: Issuing Reconfigure for %s", cfg ? cfg->filename().c_str() : "");
  if (!cfg) return;
  cfg->update();
  cfgmgr->notifyObservers();
  if (loggerOption && logger) {
    const std::string &lv = cfg->value(loggroup, TovLog::CFG_LEVEL);
    int oldl = logger->level(lv.c_str());
    int newl = logger->level();
    if (oldl != newl) {
      std::string o = trc_lvl2sym(oldl);
      std::string nw = trc_lvl2sym(newl);
      tovlog(0, "AppShell: Trace level %s from %s to %s", newl > oldl ? "increased" : "decreased", o.c_str(),
             nw.c_str());
    }
  }
}

void ImplAppShell::terminate() {
  tovlog(4, "AppShell.terminate: stopflag=%s [%s]", stopflag ? "Yes" : "No", title.c_str());
  stopflag = true;
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  if (em) em->stopDispatcher();
}

void ImplAppShell::shutdown() {
  tovlog(4, "AppShell.shutdown - %s", title.c_str());
  try {
    owner->appTerminated();
  } catch (...) {
    std::string why = TovException::handler();
    tovlog(1, "AppShell.shutdown: %s", why.c_str());
  }
}

}  // namespace tovafc
