// Temporary folders, files, and programs or functions run in a child process.
#ifndef VELMORA_TESTSUPPORT_RUNNER_H
#define VELMORA_TESTSUPPORT_RUNNER_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vts {

// A private directory removed with its content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// An empty temporary file, removed when the object goes.
struct TempFile {
  TempFile();
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  std::vector<uint8_t> bytes() const;
  void write(const std::vector<uint8_t> &b) const;
  std::string path;
};

std::string readFile(const std::string &path);  // empty when unreadable
void writeFile(const std::string &path, const std::string &text);
bool exists(const std::string &path);
std::vector<std::string> listDir(const std::string &path);

// Runs a shell command line; its exit status, or -1 when it did not exit.
int sh(const std::string &cmd);

struct RunResult {
  int status = -1;  // exit status, or 128+signal
  std::string out;
  std::string err;
};

// Run a program with extra environment settings; stdin is /dev/null. Without
// capture its output goes to /dev/null (for daemons, which keep it open).
RunResult run(const std::string &prog, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env = {}, int timeout_s = 30, bool capture = true);

// Run fn in a child process, capturing what it writes to stdout and stderr.
RunResult inChild(const std::function<int()> &fn);

// Run body in a forked child whose output stays where it is, so that
// process-wide state starts fresh for each case; its exit status, or 128+signal.
int run_forked(const std::function<int()> &body);

}  // namespace vts

#endif
