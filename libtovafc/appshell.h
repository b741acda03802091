// Application shell: the framework owns main() and drives the program's one
// static application object, derived from TovAppShell, through start-up.
#ifndef TOVAFC_APPSHELL_H
#define TOVAFC_APPSHELL_H

#include <memory>
#include <string>

#include "config.h"
#include "log.h"
#include "notifier.h"
#include "tova.h"

namespace tovafc {

class TovEvtMgr;
class ImplAppShell;

// Holds the configuration; observers are notified after every re-read.
class TovConfigMgr : public TovNotifier {
 public:
  TovConfigMgr(TovConfig *config, const std::string &group);
  ~TovConfigMgr() override;
  TovConfigMgr(const TovConfigMgr &) = delete;
  TovConfigMgr &operator=(const TovConfigMgr &) = delete;

  TovConfig *config() const { return config_.get(); }
  // The top-level group named with -C (empty without one).
  const std::string &group() const { return group_; }

 private:
  std::unique_ptr<TovConfig> config_;
  std::string group_;
};

class TovAppShell {
 public:
  static TovAppShell *singleton;
  static TovEvtMgr *evtmgr;
  static const char *const DFLT_WORKDIR;
  static const char *const ENV_WORKDIR;

  // spec (may be null) is owned by the shell from now on.
  TovAppShell(TovLogSpec *spec, const char *appdesc, const char *version = nullptr,
              const char *project = nullptr, bool deferEvtMgr = false);
  virtual ~TovAppShell();
  TovAppShell(const TovAppShell &) = delete;
  TovAppShell &operator=(const TovAppShell &) = delete;

  // Hooks.
  virtual int appSetup(tvl_init_ctrl *ctrl);
  // Return 0 to accept, 3 when not recognised, other nonzero to fail the command line.
  virtual int appParseArg(int is_switch, int letter_or_position, const char *arg);
  virtual int appInit();
  virtual int appRun();
  virtual void appTerminated();
  virtual void appUsage() const;

  // Exit status for main: 0 after a normal run, 99 after a command-line
  // error, 1 when start-up failed or an exception ended the run.
  int start(int argc, char **argv);

  void appTerminate();
  void appDaemonise(const char *workdir);
  void appSetOpts(const char *opts, const char *mandatory = nullptr);
  void appSetParams(int min, int max);
  const char *appTitle() const;
  TovConfigMgr *appConfig() const;
  TovLog *appLogger() const;
  // Replace the logger; the caller keeps spec. Null gives TovLog::defaultCreate().
  void appSetLogger(TovLogSpec *spec);
  bool appStopping() const;

 private:
  std::unique_ptr<ImplAppShell> pimpl;
  friend class ImplAppShell;
};

}  // namespace tovafc

#endif
