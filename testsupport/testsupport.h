// Test support shared by every component's tests.
#ifndef VELMORA_TESTSUPPORT_H
#define VELMORA_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "runner.h"  // temporary folders, files, child processes

namespace vts {

// The shared folder beside the checkout, and the public capture corpus in it.
std::string shared_dir();
std::string corpus_dir();

// True under `make test`: there, whatever set-up installs (tools, the corpus)
// must be present, and its absence is a failure rather than a skip.
bool strict();

// True when the program is found on PATH.
bool have_tool(const char *name);

}  // namespace vts

// Skips the current test when cond is false, saying why; under `make test`
// fails it instead, since set-up was supposed to provide what is missing.
#define VTS_REQUIRE(cond, why)                                               \
  do {                                                                       \
    if (!(cond)) {                                                           \
      if (vts::strict()) GTEST_FAIL() << why << " (required under make test)"; \
      GTEST_SKIP() << why;                                                   \
    }                                                                        \
  } while (0)

#endif
