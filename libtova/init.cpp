// Process initialisation, configuration directory and library version.
#include "tova.h"

#include <csignal>
#include <cstdlib>
#include <initializer_list>

char tvl_usrmsg[1025];
const char *tvl_prognam = "";

int tvl_init(tvl_init_ctrl *ctrl)
{
  if (ctrl == nullptr || (ctrl->flags & TVL_INIT_KEEPSIGS) == 0) {
    // A capture pipeline must survive its reader going away, and children we
    // never wait for must not linger as zombies.
    struct sigaction ign{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD})
      sigaction(sig, &ign, nullptr);
  }
  return 0;
}

const char *tvl_tovadir()
{
  const char *dir = getenv("TOVADIR");
  return dir != nullptr ? dir : "/opt/tovaworks/etc";
}

const char *tvl_verstr()
{
  return TOVA_LIB_VERSION;
}
