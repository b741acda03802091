// Linked into every libFuzzer target: a run lasts hours, and the code's trace
// would fill a TOVA.LOG in the home folder. Set TOVATRC_FILENAME to keep one.
#include <cstdlib>

namespace {
struct QuietTrace {
  QuietTrace() { setenv("TOVATRC_FILENAME", "/dev/null", 0); }
} quiet_trace;
}  // namespace
