// Runs a system command in a child process, on two pipes or on a
// pseudo-terminal, and waits for it to end.
#include "tova.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// Traces the message at level ERR and hands back the error number.
static int err_trace(int err, const char *fmt, ...)
{
  char msg[1025];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  dbgtrc(TRC_ERR, 0, "%s", msg);
  return err;
}

static int issue_cmd(const char *cmd, char *const argv[])
{
  if (argv != nullptr) {
    execvp(argv[0], argv);
    return err_trace(errno, "issue_cmd: execvp(%s) failed (errno=%d)", argv[0], errno);
  }
  dbgtrc(TRC_DBG, 0, "issue_cmd: calling system(%s)", cmd);
  int rc = system(cmd);
  if (rc == -1)
    return err_trace(errno, "issue_cmd: system(%s) failed (retval=%d, errno=%d)", cmd, rc, errno);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : rc;
}

static int run_pty_child(int master, const char *cmd, char *const argv[], const void *term, const void *winsize)
{
  if (setsid() == -1)
    return err_trace(errno, "run_pty_child: setsid() failed (errno=%d)", errno);
  if (grantpt(master) == -1)
    return err_trace(errno, "run_pty_child: grantpt() failed (errno=%d)", errno);
  if (unlockpt(master) == -1)
    return err_trace(errno, "run_pty_child: unlockpt() failed (errno=%d)", errno);
  const char *slave_name = ptsname(master);
  if (slave_name == nullptr)
    return err_trace(errno, "run_pty_child: Failed to get slave tty (errno=%d)", errno);
  int slave = open(slave_name, O_RDWR);
  if (slave == -1)
    return err_trace(errno, "run_pty_child: open(%s) failed (errno=%d)", slave_name, errno);
  close(master);
  if (term != nullptr && tcsetattr(slave, TCSANOW, static_cast<const struct termios *>(term)) == -1)
    return err_trace(errno, "tcsetattr(align) failed [errno=%d]", errno);
  if (winsize != nullptr && ioctl(slave, TIOCSWINSZ, winsize) == -1)
    return err_trace(errno, "ioctl(TIOCSWINSZ) failed [errno=%d]", errno);
  for (int fd = 0; fd <= 2; fd++)
    if (dup2(slave, fd) == -1)
      return err_trace(errno, "run_pty_child: dup2(%d,%d) failed (errno=%d)", slave, fd, errno);
  if (slave > 2)
    close(slave);
  return issue_cmd(cmd, argv);
}

static int run_pipe_child(int rpipe[2], int wpipe[2], const char *cmd, char *const argv[], int flags)
{
  // rpipe: child writes its output here; wpipe: child reads its input here.
  close(rpipe[0]);
  close(wpipe[1]);
  int out = rpipe[1];
  if (dup2(wpipe[0], 0) == -1)
    return err_trace(errno, "run_pipe_child: dup2(stdin) failed (errno=%d)", errno);
  if (dup2(out, 1) == -1)
    return err_trace(errno, "run_pipe_child: dup2(stdout) failed (errno=%d)", errno);
  if ((flags & SYSCMD_STDERR) && dup2(out, 2) == -1)
    return err_trace(errno, "run_pipe_child: dup2(stderr) failed (errno=%d)", errno);
  if (wpipe[0] > 2)
    close(wpipe[0]);
  if (out > 2)
    close(out);
  return issue_cmd(cmd, argv);
}

int run_syscmd(const char *cmd, char *const argv[], int *rfd, int *wfd, int *pid, const void *term,
               const void *winsize, int flags)
{
  *rfd = *wfd = -1;
  *pid = -1;
  if (flags & SYSCMD_PTY) {
    int master = open("/dev/ptmx", O_RDWR | O_NOCTTY);
    if (master == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "run_pty_app: open(%s) failed (errno=%d)", "/dev/ptmx", errno);
      return -1;
    }
    pid_t child = fork();
    if (child == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "run_pty_app: fork() failed (errno=%d)", errno);
      close(master);
      return -1;
    }
    if (child == 0) {
      int rc = run_pty_child(master, cmd, argv, term, winsize);
      dbgtrc(TRC_DBG, 0, "run_pty_app: run_pty_child() returned %d", rc);
      _exit(rc);
    }
    *rfd = master;
    *wfd = dup(master);
    *pid = child;
  } else {
    int rpipe[2], wpipe[2];
    if (pipe(rpipe) == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "run_pipe_cmd: pipe(R) failed (errno=%d)", errno);
      return -1;
    }
    if (pipe(wpipe) == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "run_pipe_cmd: pipe(W) failed (errno=%d)", errno);
      close(rpipe[0]);
      close(rpipe[1]);
      return -1;
    }
    pid_t child = fork();
    if (child == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "run_pipe_cmd: fork() failed (errno=%d)", errno);
      for (int fd : {rpipe[0], rpipe[1], wpipe[0], wpipe[1]})
        close(fd);
      return -1;
    }
    if (child == 0) {
      setpgid(0, 0);
      int rc = run_pipe_child(rpipe, wpipe, cmd, argv, flags);
      dbgtrc(TRC_DBG, 0, "run_pipe_app: run_pipe_child() returned %d", rc);
      _exit(rc);
    }
    setpgid(child, child);
    close(rpipe[1]);
    close(wpipe[0]);
    *rfd = rpipe[0];
    *wfd = wpipe[1];
    *pid = child;
  }

  if (flags & SYSCMD_NONBLOCK) {
    int fl = fcntl(*rfd, F_GETFL);
    const char *what = nullptr;
    if (fl == -1)
      what = "run_syscmd: fcntl(GETFL) failed (errno=%d)";
    else if (fcntl(*rfd, F_SETFL, fl | O_NONBLOCK) == -1)
      what = "run_syscmd: fcntl(SETFL) failed (errno=%d)";
    if (what != nullptr) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, what, errno);
      kill(-*pid, SIGKILL);
      close(*rfd);
      close(*wfd);
      *rfd = *wfd = -1;
      return -1;
    }
  }
  return 0;
}

static volatile sig_atomic_t alarm_rang;
static void on_alarm(int)
{
  alarm_rang = 1;
}

int close_syscmd(int rfd, int wfd, int pid)
{
  if (rfd != -1)
    close(rfd);
  if (wfd != -1 && wfd != rfd)
    close(wfd);

  struct sigaction sa{}, old{};
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  unsigned int old_alarm = alarm(0);

  int status = 0, result = -1;
  for (;;) {
    alarm_rang = 0;
    alarm(1);
    pid_t w = waitpid(pid, &status, 0);
    int err = errno;
    alarm(0);
    if (w == -1 && err == EINTR && alarm_rang) {
      // The child is still there after a second: check it has not been
      // reaped elsewhere and keep waiting.
      continue;
    }
    if (w == -1 && err == EINTR)
      continue;
    if (w == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "close_syscmd: wait() failed (errno=%d)", err);
      if (pid > 0 && kill(-pid, SIGKILL) == -1 && errno != ESRCH)
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "close_syscmd: kill(-%u) failed (errno=%d)",
                 static_cast<unsigned>(pid), errno);
      result = -1;
      break;
    }
    result = pid == -1 ? status : (WIFEXITED(status) ? WEXITSTATUS(status) : status);
    break;
  }
  sigaction(SIGALRM, &old, nullptr);
  alarm(old_alarm);
  return result;
}
