// Running a program of the suite against output that fails: a pipe whose
// reader goes away, /dev/full, a file that may not grow, a terminal. Each
// run's standard error is kept whole, so that a test can count its messages.
#ifndef VELMORA_TESTSUPPORT_OUTPIPE_H
#define VELMORA_TESTSUPPORT_OUTPIPE_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace outpipe {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  int status = -1;      // exit status; 128 + signal; -1 when it had to be killed
  std::string err;      // its standard error
  uint64_t fed = 0;     // input bytes it took before it stopped reading
  bool input_cut = false;  // it stopped reading before the input was all written
  std::string shown;    // what reached the terminal
};

inline std::string slurp_fd(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
  return s;
}

inline int temp_fd() {
  char tmpl[] = "/tmp/outpipe_err.XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd >= 0) unlink(tmpl);
  return fd;
}

inline int exit_status(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

// `fsize_limit` bytes, when not 0, is the most the program may write into a
// file (beyond it writes fail with EFBIG).
inline pid_t spawn(const std::vector<std::string> &argv, int in, int out, int err, long fsize_limit = 0) {
  pid_t pid = fork();
  if (pid == 0) {
    if (fsize_limit > 0) {
      struct rlimit lim = {rlim_t(fsize_limit), rlim_t(fsize_limit)};
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    // What the program does about SIGPIPE is its own business: start it with
    // the default action, as a shell would.
    signal(SIGPIPE, SIG_DFL);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    std::vector<char *> av;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  return pid;
}

inline int wait_for(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 5) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) return exit_status(st);
    struct timespec ts = {0, 5000000};
    nanosleep(&ts, nullptr);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Feeds `input` through a pipe (held open afterwards when `hold_input`, as a
// live capture upstream would), reads `take` bytes of the output, then
// closes the output pipe and waits for the program to end.
inline Outcome reader_goes(const std::vector<std::string> &argv, const Bytes &input, size_t take, bool hold_input,
                           int timeout_ms = 20000) {
  Outcome o;
  int in[2], out[2];
  int err = temp_fd();
  if (err < 0 || pipe(in) != 0 || pipe(out) != 0) return o;
  struct sigaction ign = {}, old = {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);
  pid_t pid = spawn(argv, in[0], out[1], err);
  close(in[0]);
  close(out[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t got = 0;
  bool writing = true;
  int status = -2;
  for (int waited = 0; status == -2 && waited <= timeout_ms;) {
    struct pollfd p[2] = {{writing ? in[1] : -1, POLLOUT, 0}, {out[0], POLLIN, 0}};
    int r = poll(p, 2, 5);
    if (r == 0) waited += 5;
    if (writing && (p[0].revents & (POLLOUT | POLLERR))) {
      ssize_t w = write(in[1], input.data() + o.fed, input.size() - o.fed);
      if (w > 0) o.fed += uint64_t(w);
      if (w < 0 && errno == EPIPE) {
        writing = false;
        o.input_cut = true;
      }
      if (o.fed == input.size()) writing = false;
      if (!writing && !hold_input) {
        close(in[1]);
        in[1] = -1;
      }
    }
    if (out[0] >= 0 && (p[1].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      size_t want = take - got < sizeof buf ? take - got : sizeof buf;
      ssize_t n = read(out[0], buf, want);
      if (n > 0) got += size_t(n);
      if (n <= 0 || got >= take) {
        close(out[0]);  // the reader goes
        out[0] = -1;
      }
    }
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) status = exit_status(st);
  }
  if (status == -2) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    status = -1;
  }
  o.status = status;
  if (in[1] >= 0) close(in[1]);
  if (out[0] >= 0) close(out[0]);
  sigaction(SIGPIPE, &old, nullptr);
  o.err = slurp_fd(err);
  close(err);
  return o;
}

// Runs the program with its input from a file and its output on `out_path`
// (such as /dev/full), opened for writing, within `fsize_limit` (see spawn).
inline Outcome to_path(const std::vector<std::string> &argv, const std::string &in_path, const std::string &out_path,
                       long fsize_limit = 0) {
  Outcome o;
  int in = open(in_path.c_str(), O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = temp_fd();
  if (in < 0 || out < 0 || err < 0) return o;
  pid_t pid = spawn(argv, in, out, err, fsize_limit);
  close(in);
  close(out);
  o.status = wait_for(pid, 60000);
  o.err = slurp_fd(err);
  close(err);
  return o;
}

// Runs the program with a pseudo-terminal as its standard output.
inline Outcome to_terminal(const std::vector<std::string> &argv, const std::string &in_path) {
  Outcome o;
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return o;
  int in = open(in_path.c_str(), O_RDONLY);
  int err = temp_fd();
  pid_t pid = spawn(argv, in, slave, err);
  close(slave);
  close(in);
  o.status = wait_for(pid, 20000);
  // Whatever reached the terminal.
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) o.shown.append(buf, size_t(n));
  close(master);
  o.err = slurp_fd(err);
  close(err);
  return o;
}

inline size_t lines(const std::string &s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

}  // namespace outpipe

#endif
