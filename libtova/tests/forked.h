// Runs a body in a forked child so that process-wide state (the trace reads
// its environment once) starts fresh for each case.
#ifndef TOVA_TESTS_FORKED_H
#define TOVA_TESTS_FORKED_H

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

inline int run_forked(const std::function<int()> &body)
{
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int rc = body();
    fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string slurp(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct TempDir {
  std::string path;
  TempDir()
  {
    char tmpl[] = "/tmp/tova_test_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// Every test binary traces into one temporary file (removed at exit), so the
// suite never leaves a TOVA.LOG behind and tests can read what was traced.
const std::string &test_trace_file();

#endif
