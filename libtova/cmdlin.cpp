// The one command-line parser of every program: getopt conventions plus the
// checks all programs share (unknown, duplicate and mandatory switches,
// parameter count); the program's callback does the rest.
#include "tova.h"

#include <cstring>
#include <unistd.h>

int tvl_cmdlin(int argc, char **argv, _tvl_cmdlin_ctrl *ctrl)
{
  static const char empty[] = "";
  const char *slash = argc > 0 && argv[0] != nullptr ? strrchr(argv[0], '/') : nullptr;
  tvl_prognam = slash != nullptr ? slash + 1 : (argc > 0 && argv[0] != nullptr ? argv[0] : empty);

  if (ctrl->opts == nullptr)
    ctrl->opts = empty;
  if (ctrl->mandatory == nullptr)
    ctrl->mandatory = empty;
  opterr = ctrl->opterr != 0 ? 1 : 0;
  unsigned char seen[128] = {};

  for (;;) {
    if (ctrl->stop)
      return 0;
    int c = getopt(argc, argv, ctrl->opts);
    if (c == -1)
      break;
    if (c == '?' || c == ':') {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Illegal switch (on or after '%s')", argv[optind - 1]);
      return 1;
    }
    if (seen[c & 0x7f]++ != 0) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Duplicate '-%c' switch", c);
      return 1;
    }
    if (ctrl->callback(ctrl, 1, c, optarg) != 0)
      return 1;
  }

  for (int i = static_cast<int>(strlen(ctrl->mandatory)) - 1; i >= 0; i--) {
    unsigned char letter = static_cast<unsigned char>(ctrl->mandatory[i]);
    if (seen[letter & 0x7f] == 0) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Mandatory '-%c' switch not supplied", letter);
      return 1;
    }
  }

  ctrl->nparams = argc - optind;
  ctrl->params = &argv[optind];
  if (ctrl->nparams < ctrl->min_params || (ctrl->max_params != -1 && ctrl->nparams > ctrl->max_params)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Illegal number of parameters (%d)", ctrl->nparams);
    return 1;
  }

  for (int i = 0; i < ctrl->nparams; i++) {
    if (ctrl->callback(ctrl, 0, i + 1, ctrl->params[i]) != 0)
      return 1;
    if (ctrl->stop)
      return 0;
  }
  return 0;
}

void tvl_cmdlin_refused(char help_switch, const char *end)
{
  // Whatever the program has printed so far comes first.
  fflush(stdout);
  fprintf(stderr, "Invalid command-line:\n[%s]\n", tvl_usrmsg);
  fprintf(stderr, "Enter '%s -%c' for a usage synopsis%s\n", tvl_prognam, help_switch, end);
}
