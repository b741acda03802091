// Shared helpers for the libkav tests.
#ifndef KAV_TESTUTIL_H
#define KAV_TESTUTIL_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "runner.h"

// Trace lines of the library must not leave files behind.
struct QuietTrace {
  QuietTrace() { setenv("TOVATRC_FILENAME", "/dev/null", 1); }
};
static QuietTrace quiet_trace;

// A temporary file the library writes or reads.
using TempPath = vts::TempFile;

#endif
