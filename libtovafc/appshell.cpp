#include "appshell.h"

#include <cstdio>
#include <cstring>

#include "appshell_impl.h"
#include "evtmgr.h"
#include "exception.h"
#include "utils.h"

namespace tovafc {

TovAppShell *TovAppShell::singleton = nullptr;
TovEvtMgr *TovAppShell::evtmgr = nullptr;
const char *const TovAppShell::DFLT_WORKDIR = "/tmp";
const char *const TovAppShell::ENV_WORKDIR = "TOVA_WORKDIR";

TovConfigMgr::TovConfigMgr(TovConfig *config, const std::string &group)
    : TovNotifier(("Config=" + config->filename()).c_str()), config_(config), group_(group) {}

TovConfigMgr::~TovConfigMgr() = default;

TovAppShell::TovAppShell(TovLogSpec *spec, const char *appdesc, const char *version, const char *project,
                         bool deferEvtMgr)
     {
  if (singleton) {
    char a[32], b[32];
    tovlog(1, "Duplicate TovAppShell - old=%s, new=%s", objtag("", singleton, a), objtag("", this, b));
    throw TovException(6, "Duplicate TovAppShell");
  }
  TovAssertBasic(project || appdesc, "AppShell: project-name and app-description both null");
  pimpl = std::make_unique<ImplAppShell>(this, spec, deferEvtMgr);
  std::string t;
  if (project && *project) t = project;
  if (appdesc && *appdesc) t += t.empty() ? std::string(appdesc) : std::string(": ") + appdesc;
  if (version && *version) t += std::string(" ") + version;
  pimpl->title = t;
  singleton = this;
  char a[32], b[32];
  tovlog(4, "AppShell.ctor - this=%s, pimpl=%s, prognam=%s [%s]", objtag("", this, a), objtag("", pimpl.get(), b),
         tvl_prognam ? tvl_prognam : "<NULL>", t.c_str());
}

TovAppShell::~TovAppShell() {
  if (pimpl) pimpl->teardown();
  pimpl.reset();
  if (singleton == this) singleton = nullptr;
}

int TovAppShell::appSetup(tvl_init_ctrl *) { return 0; }
int TovAppShell::appParseArg(int, int, const char *) { return 3; }
int TovAppShell::appInit() { return 0; }

int TovAppShell::appRun() {
  TovEvtMgr::instance(0)->startDispatcher();
  return 0;
}

void TovAppShell::appTerminated() {}

void TovAppShell::appUsage() const {
  const char *p = tvl_prognam ? tvl_prognam : "";
  fprintf(stderr, "\n");
  if (!pimpl->title.empty()) fprintf(stderr, "%s\n", pimpl->title.c_str());
  fprintf(stderr, "USAGE:\n");
  fprintf(stderr, "%s [-%c workdir] [-%c filename[:group]] [-%c group[:apptag]]\n", p, 'D', 'C', 'L');
  fprintf(stderr, "%s -%c\n", p, 'h');
  fprintf(stderr, "\n");
  fprintf(stderr, "  -%c: Daemon process. Use hypen (-) to specify default working directory\n", 'D');
  fprintf(stderr, "  -%c: Config file, and top-level group\n", 'C');
  fprintf(stderr, "  -%c: Logger's config group, and its application tag\n", 'L');
  fprintf(stderr, "  -%c: Display this usage synopsis\n", 'h');
  fprintf(stderr, "\n");
}

int TovAppShell::start(int argc, char **argv) { return pimpl->start(argc, argv); }
void TovAppShell::appTerminate() { pimpl->terminate(); }
void TovAppShell::appDaemonise(const char *workdir) { pimpl->daemonise(workdir); }

void TovAppShell::appSetOpts(const char *opts, const char *mandatory) {
  pimpl->opts = opts ? opts : "";
  pimpl->mandatory = mandatory ? mandatory : "";
}

void TovAppShell::appSetParams(int min, int max) {
  pimpl->minParams = min;
  pimpl->maxParams = max;
}

const char *TovAppShell::appTitle() const { return pimpl->title.c_str(); }
TovConfigMgr *TovAppShell::appConfig() const { return pimpl->cfgmgr.get(); }
TovLog *TovAppShell::appLogger() const { return pimpl ? pimpl->logger.get() : nullptr; }
bool TovAppShell::appStopping() const { return pimpl->stopflag; }

void TovAppShell::appSetLogger(TovLogSpec *spec) {
  if (spec && spec->logger && spec->logger == pimpl->logger.get()) return;
  pimpl->setLogger(nullptr);
  pimpl->setLogger(spec ? spec->synthesise() : TovLog::defaultCreate());
}

}  // namespace tovafc

using namespace tovafc;

int main(int argc, char **argv) {
  if (argc > 0 && argv[0]) {
    const char *slash = strrchr(argv[0], '/');
    tvl_prognam = slash ? slash + 1 : argv[0];
  }
  const char *prog = tvl_prognam ? tvl_prognam : "";
  tovlog(4, "main: '%s' Starting", prog);
  if (!TovAppShell::singleton) {
    tovlog(1, "No Application object found !");
    return 1;
  }
  int rc = TovAppShell::singleton->start(argc, argv);
  tovlog(4, "main: '%s' Exiting", prog);
  return rc;
}
