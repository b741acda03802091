// Private implementation of the application shell.
#ifndef TOVAFC_APPSHELL_IMPL_H
#define TOVAFC_APPSHELL_IMPL_H

#include <atomic>
#include <string>

#include "appshell.h"
#include "evtmgr.h"

namespace tovafc {

class ImplAppShell : public TovSignalHandler {
 public:
  ImplAppShell(TovAppShell *owner, TovLogSpec *spec, bool deferEvtMgr);
  ~ImplAppShell() override;
  void signalReceived(int sig) override;
  void signalStopped(int sig) override;
  const char *sigtag() const override { return "AppShell"; }

  int start(int argc, char **argv);
  void unsafe_start(int argc, char **argv);
  static int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int letter_or_position, const char *arg);
  int parse_arg(int is_switch, int letter_or_position, const char *arg);
  void configure();
  void daemonise(const char *dir);
  void reconfigure();
  void terminate();
  void shutdown();
  void setLogger(TovLog *lg);
  void teardown();

  TovAppShell *owner;
  std::unique_ptr<TovLog> logger;
  std::unique_ptr<TovLogSpec> logspec;
  std::unique_ptr<TovConfigMgr> cfgmgr;
  std::atomic<bool> stopflag{false};
  bool deferEvtMgr;
  std::string title;
  int minParams = 0, maxParams = 0;
  std::string opts;
  std::string mandatory;
  bool daemonised = false, daemonRequested = false;
  std::string workdir;
  std::string loggroup;
  std::string apptag;
  bool loggerOption = false;
  // Outcome of start-up, for the exit status.
  int failure = 0;
};

}  // namespace tovafc

#endif
