// kavwin: plots the live bandwidth served by a traffic-server tap.
#include <cstdio>
#include <cstdlib>

#include "kavwin.h"

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  kw_build(&argc, argv);
  kw_realize();
  XtAppMainLoop(kwctl.app);
  std::fprintf(stderr, "Error: X event loop unexpectedly aborted\n");
  return 1;
}
