#include "forked.h"

#include <cstdlib>
#include <unistd.h>

namespace {
struct TraceFile {
  std::string path;
  pid_t owner;
  TraceFile() : path("/tmp/tova_tests_" + std::to_string(getpid()) + ".log"), owner(getpid())
  {
    setenv("TOVATRC_FILENAME", path.c_str(), 1);
  }
  ~TraceFile()
  {
    if (getpid() == owner)
      unlink(path.c_str());
  }
};
TraceFile trace_file;
}  // namespace

const std::string &test_trace_file()
{
  return trace_file.path;
}
