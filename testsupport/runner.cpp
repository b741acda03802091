#include "runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace vts {

TempDir::TempDir() {
  char tmpl[] = "/tmp/velmora-test-XXXXXX";
  char *p = mkdtemp(tmpl);
  path_ = p ? p : "/tmp";
}

static void removeTree(const std::string &path) {
  DIR *d = opendir(path.c_str());
  if (!d) {
    unlink(path.c_str());
    return;
  }
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string p = path + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      removeTree(p);
    else
      unlink(p.c_str());
  }
  closedir(d);
  rmdir(path.c_str());
}

TempDir::~TempDir() {
  if (path_ != "/tmp") removeTree(path_);
}

TempFile::TempFile() {
  char tmpl[] = "/tmp/velmora-test-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd >= 0) close(fd);
  path = tmpl;
}

TempFile::~TempFile() { unlink(path.c_str()); }

std::vector<uint8_t> TempFile::bytes() const {
  std::string s = readFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

void TempFile::write(const std::vector<uint8_t> &b) const {
  writeFile(path, std::string(b.begin(), b.end()));
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  return names;
}

static void drain(int outfd, int errfd, RunResult &r, int timeout_s, pid_t pid) {
  time_t end = time(nullptr) + timeout_s;
  bool o = true, e = true;
  while (o || e) {
    pollfd p[2] = {{outfd, POLLIN, 0}, {errfd, POLLIN, 0}};
    int n = poll(p, 2, 200);
    if (n < 0) break;
    char buf[4096];
    if (o && p[0].revents) {
      ssize_t k = read(outfd, buf, sizeof buf);
      if (k > 0) r.out.append(buf, (size_t)k); else o = false;
    }
    if (e && p[1].revents) {
      ssize_t k = read(errfd, buf, sizeof buf);
      if (k > 0) r.err.append(buf, (size_t)k); else e = false;
    }
    if (time(nullptr) > end) {
      kill(pid, SIGKILL);
      break;
    }
  }
}

static int waitStatus(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) < 0) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

// Forks a child whose standard output and error come back in the result;
// what body returns is the child's exit status.
static RunResult captured(const std::function<int()> &body, int timeout_s) {
  RunResult r;
  int po[2], pe[2];
  if (pipe(po) || pipe(pe)) return r;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(po[1], 1);
    dup2(pe[1], 2);
    close(po[0]);
    close(pe[0]);
    close(po[1]);
    close(pe[1]);
    int rc = body();
    fflush(nullptr);
    _exit(rc);
  }
  close(po[1]);
  close(pe[1]);
  drain(po[0], pe[0], r, timeout_s, pid);
  close(po[0]);
  close(pe[0]);
  r.status = waitStatus(pid);
  return r;
}

RunResult run(const std::string &prog, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env, int timeout_s, bool capture) {
  return captured(
      [&] {
        int nul = open("/dev/null", O_RDWR);
        if (nul >= 0) dup2(nul, 0);
        if (!capture && nul >= 0) {
          dup2(nul, 1);
          dup2(nul, 2);
        }
        for (auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> av;
        av.push_back(const_cast<char *>(prog.c_str()));
        for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(prog.c_str(), av.data());
        return 127;
      },
      timeout_s);
}

RunResult inChild(const std::function<int()> &fn) { return captured(fn, 30); }

int sh(const std::string &cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int run_forked(const std::function<int()> &body) {
  fflush(nullptr);
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

}  // namespace vts
