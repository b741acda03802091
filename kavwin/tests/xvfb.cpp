#include "xvfb.h"

#include <Xm/MessageB.h>
#include <Xm/Text.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "kavwin.h"

namespace wintest {

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

namespace {

Widget field_widget(const char *which) {
  std::string w = which;
  if (w == "interface") return kwctl.interface_txt;
  if (w == "filter") return kwctl.filter_txt;
  if (w == "maxbw") return kwctl.maxbw_txt;
  if (w == "packets") return kwctl.packets_txt;
  return kwctl.bytes_txt;
}

}  // namespace

Xvfb::Xvfb() {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t owner = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    // Dies with the test program even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != owner) _exit(126);
    std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset",
           static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    return;
  }
  std::string num;
  struct pollfd p = {fds[0], POLLIN, 0};
  long end = now_ms() + 15000;
  while (now_ms() < end && poll(&p, 1, 200) >= 0) {
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    num += c;
  }
  close(fds[0]);
  if (num.empty()) return;
  display_ = ":" + num;
  setenv("DISPLAY", display_.c_str(), 1);
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

Xvfb &xvfb() {
  static Xvfb *server = new Xvfb();
  static pid_t owner = getpid();
  // Stopped when the test program ends, never by a window child.
  static int once = std::atexit([] {
    if (getpid() == owner) delete server;
  });
  (void)once;
  return *server;
}

std::string Report::get(const std::string &k) const {
  auto it = kv.find(k);
  return it == kv.end() ? std::string("<missing>") : it->second;
}

std::vector<long> Report::nums(const std::string &k) const {
  std::vector<long> v;
  std::istringstream in(get(k));
  long x;
  while (in >> x) v.push_back(x);
  return v;
}

Report run_window(const std::vector<std::string> &args, const std::function<void(const Say &)> &body,
                  int timeout_ms) {
  Report r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // The window's trace stays out of the home directory unless asked for.
    setenv("TOVATRC_FILENAME", "/dev/null", 0);
    FILE *out = fdopen(fds[1], "w");
    std::setvbuf(out, nullptr, _IOLBF, 0);
    Say say = [out](const std::string &k, const std::string &v) { std::fprintf(out, "%s %s\n", k.c_str(), v.c_str()); };
    std::vector<std::string> words = {"kavwin"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    kw_build(&argc, argv.data());
    kw_realize();
    pump_until(
        [] {
          XWindowAttributes a;
          return XGetWindowAttributes(kwctl.dpy, XtWindow(kwctl.graph), &a) && a.map_state == IsViewable;
        },
        5000);
    pump_for(100);
    body(say);
    say("end", "ok");
    std::fflush(out);
    _exit(0);
  }
  close(fds[1]);
  long end = now_ms() + timeout_ms;
  struct pollfd p = {fds[0], POLLIN, 0};
  char buf[4096];
  while (now_ms() < end) {
    int rc = poll(&p, 1, 100);
    if (rc <= 0) continue;
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    r.raw.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  pid_t w = 0;
  while (now_ms() < end && (w = waitpid(pid, &status, WNOHANG)) == 0) sleep_ms(10);
  if (w != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream lines(r.raw);
  std::string line;
  while (std::getline(lines, line)) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos)
      r.kv[line] = "";
    else
      r.kv[line.substr(0, sp)] = line.substr(sp + 1);
  }
  return r;
}

bool pump_until(const std::function<bool()> &done, int ms) {
  long end = now_ms() + ms;
  for (;;) {
    XFlush(kwctl.dpy);
    while (XtAppPending(kwctl.app)) XtAppProcessEvent(kwctl.app, XtIMAll);
    if (done()) return true;
    if (now_ms() >= end) return false;
    sleep_ms(2);
  }
}

void pump_for(int ms) { pump_until([] { return false; }, ms); }

void set_field(const char *which, const std::string &text) {
  XmTextSetString(field_widget(which), const_cast<char *>(text.c_str()));
}

std::string field(const char *which) {
  char *t = XmTextGetString(field_widget(which));
  std::string s = t;
  XtFree(t);
  return s;
}

void press(const char *which) {
  std::string w = which;
  if (w == "start" || w == "start-nowait") XtCallCallbacks(kwctl.start_btn, XmNactivateCallback, nullptr);
  if (w == "start") pump_until([] { return !kwctl.connecting; }, 5000);
  if (w == "stop") XtCallCallbacks(kwctl.stop_btn, XmNactivateCallback, nullptr);
  if (w == "ok") XtCallCallbacks(kwctl.error_dlg, XmNokCallback, nullptr);
  if (w == "quit") XtCallCallbacks(XtNameToWidget(kwctl.toplevel, "*Quit"), XmNactivateCallback, nullptr);
  pump_for(20);
}

bool dialog_up() { return XtIsManaged(kwctl.error_dlg); }

std::string dialog_text() {
  XmString xs = nullptr;
  XtVaGetValues(kwctl.error_dlg, XmNmessageString, &xs, nullptr);
  if (!xs) return "";
  char *t = static_cast<char *>(XmStringUnparse(xs, nullptr, XmCHARSET_TEXT, XmCHARSET_TEXT, nullptr, 0, XmOUTPUT_ALL));
  std::string s = t ? t : "";
  XtFree(t);
  XmStringFree(xs);
  return s;
}

std::string points() {
  std::string s;
  for (int k = 0; k < kwctl.ndrawn; k++) {
    if (k) s += ' ';
    s += std::to_string(kwctl.ring[(kwctl.drawn_from + k) % kwctl.nring]);
  }
  return s;
}

std::string column_rows(int x) {
  XSync(kwctl.dpy, False);
  Window win = XtWindow(kwctl.graph);
  XWindowAttributes a;
  XGetWindowAttributes(kwctl.dpy, win, &a);
  XImage *img = XGetImage(kwctl.dpy, win, x, 0, 1, static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
  if (!img) return "<no image>";
  unsigned long ink = BlackPixel(kwctl.dpy, DefaultScreen(kwctl.dpy));
  std::string s;
  for (int y = 0; y < a.height; y++)
    if (XGetPixel(img, 0, y) == ink) s += (s.empty() ? "" : " ") + std::to_string(y);
  XDestroyImage(img);
  return s;
}

int listen_loopback(int port, int *bound_port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0 || listen(s, 4) != 0) {
    close(s);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<struct sockaddr *>(&a), &len);
  if (bound_port) *bound_port = ntohs(a.sin_port);
  return s;
}

int accept_within(int ls, int ms) {
  struct pollfd p = {ls, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return -1;
  return accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string read_within(int fd, size_t want, int ms) {
  std::string s;
  long end = now_ms() + ms;
  struct pollfd p = {fd, POLLIN, 0};
  while (s.size() < want) {
    long left = end - now_ms();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    size_t n = want - s.size() < sizeof buf ? want - s.size() : sizeof buf;
    ssize_t got = recv(fd, buf, n, 0);
    if (got <= 0) break;
    s.append(buf, static_cast<size_t>(got));
  }
  return s;
}

bool send_all(int fd, const std::string &bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string record(uint32_t octets, uint32_t frames) {
  std::string r(8, '\0');
  for (int i = 0; i < 4; i++) {
    r[static_cast<size_t>(i)] = static_cast<char>(octets >> (24 - 8 * i));
    r[static_cast<size_t>(4 + i)] = static_cast<char>(frames >> (24 - 8 * i));
  }
  return r;
}

std::string xdr_string(const std::string &s) {
  std::string r(4, '\0');
  uint32_t n = static_cast<uint32_t>(s.size());
  for (int i = 0; i < 4; i++) r[static_cast<size_t>(i)] = static_cast<char>(n >> (24 - 8 * i));
  r += s;
  while (r.size() % 4) r += '\0';
  return r;
}

}  // namespace wintest
