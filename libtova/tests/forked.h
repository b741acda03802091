// Runs a body in a forked child so that process-wide state (the trace reads
// its environment once) starts fresh for each case.
#ifndef TOVA_TESTS_FORKED_H
#define TOVA_TESTS_FORKED_H

#include <string>

#include "runner.h"

using vts::run_forked;
using vts::TempDir;

inline std::string slurp(const std::string &path) { return vts::readFile(path); }

// Every test binary traces into one temporary file (removed at exit), so the
// suite never leaves a TOVA.LOG behind and tests can read what was traced.
const std::string &test_trace_file();

#endif
