// The program as users start it: its switches, messages and exit statuses,
// and a whole run against a scripted server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <regex>

#include "netns.h"
#include "xvfb.h"

using namespace wintest;

namespace {

struct ProgRun {
  int status = -1;  // -1: still running when stopped
  std::string out, err;
};

// Runs kavwin until it exits, `until` returns true, or `ms` pass; then
// stops it.
ProgRun run_kavwin(const std::vector<std::string> &args, int ms,
               const std::function<bool()> &until = [] { return false; },
               const std::map<std::string, std::string> &env = {}) {
  static int seq = 0;
  std::string base = "/tmp/kavwin_cli_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
  ProgRun r;
  pid_t pid = fork();
  if (pid == 0) {
    int o = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    for (auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::string bin = std::string(VELMORA_BIN_DIR) + "/kavwin";
    std::vector<char *> av = {const_cast<char *>(bin.c_str())};
    for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(bin.c_str(), av.data());
    _exit(127);
  }
  long end = now_ms() + ms;
  int st = 0;
  pid_t w = 0;
  while ((w = waitpid(pid, &st, WNOHANG)) == 0 && now_ms() < end && !until()) usleep(10000);
  if (w == pid) {
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -2;
  } else {
    kill(pid, SIGTERM);
    waitpid(pid, &st, 0);
  }
  r.out = taptest::slurp(base + ".out");
  r.err = taptest::slurp(base + ".err");
  unlink((base + ".out").c_str());
  unlink((base + ".err").c_str());
  return r;
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override { WIN_REQUIRE_X(); }
};

TEST_F(Program, HelpPrintsTheUsageAndExitsZero) {
  ProgRun r = run_kavwin({"-h"}, 10000);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "\nVelmora: Visual Bandwidth Monitor, 1.4.8\n"
            "USAGE:\n"
            "kavwin [generic X11 args] [-y pixels]\n"
            "kavwin -h\n"
            "\n"
            "  -h: Display this usage synopsis.\n"
            "  -y: Fine tune height of text boxes (+ or -)\n"
            "\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Program, CommandLineErrorsExit99) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-y", "abc"}, "Invalid switch: '-y abc' - non-numeric argument"},
      {{"-y", "+"}, "Invalid switch: '-y +' - non-numeric argument"},
      {{"-y", "1234567"}, "Invalid switch: '-y 1234567' - non-numeric argument"},
      {{"-q"}, "Illegal switch (on or after '-q')"},
      {{"-y"}, "Illegal switch (on or after '-y')"},
      {{"-y", "1", "-y", "2"}, "Duplicate '-y' switch"},
      {{"extra"}, "Illegal number of parameters (1)"},
  };
  for (auto &c : cases) {
    ProgRun r = run_kavwin(c.first, 10000);
    EXPECT_EQ(r.status, 99) << c.second;
    EXPECT_EQ(r.err, "Invalid command-line:\n[" + c.second + "]\nEnter 'kavwin -h' for a usage synopsis\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Program, HeightSwitchIsAnnouncedOnlyWhenNonZero) {
  ProgRun r = run_kavwin({"-y", "4"}, 1500);
  EXPECT_EQ(r.status, -1) << r.err;  // the window was up and running
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, std::regex("\\*\\*\\* Varying text-box heights from (\\d+) to (\\d+)\n")))
      << r.out;
  EXPECT_EQ(std::stoi(m[2]), std::stoi(m[1]) + 4);
  r = run_kavwin({"-y", "-0"}, 1500);
  EXPECT_EQ(r.status, -1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// Fields preset from the resource database, Start pressed by itself: the
// filter reaches the server, and the lost connection is told (the dialog's
// text also goes to the trace).
TEST_F(Program, RunsAgainstAServerGivenInResources) {
  int port = 0;
  int ls = listen_loopback(0, &port);
  ASSERT_GE(ls, 0);
  std::string trace = "/tmp/kavwin_trace_" + std::to_string(getpid());
  unlink(trace.c_str());
  int conn = -1;
  std::string wire;
  ProgRun r = run_kavwin({"-xrm", "*Interface-Text.value: 127.0.0.1:" + std::to_string(port), "-xrm",
                      "*Filter-Text.value: TCP SD=80", "-xrm", "kavwin.autoStart: true"},
                     10000,
                     [&] {
                       if (conn < 0) {
                         conn = accept_within(ls, 0);
                         if (conn < 0) return false;
                         wire = read_within(conn, 16, 2000);
                         send_all(conn, record(1000, 10));
                         close(conn);
                       }
                       return taptest::slurp(trace).find("Lost connection") != std::string::npos;
                     },
                     {{"TOVATRC_FILENAME", trace}});
  close(ls);
  std::string t = taptest::slurp(trace);
  unlink(trace.c_str());
  EXPECT_EQ(r.status, -1) << r.err;  // still up, showing the dialog
  EXPECT_EQ(wire, std::string("\0\0\0\x09TCP SD=80\0\0\0", 16));
  EXPECT_NE(t.find("): Lost connection with traffic server (errno=0)\n"), std::string::npos) << t;
}

// ---- driven with the pointer and keyboard ---------------------------------

struct Box {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  bool found() const { return x1 >= 0; }
};

// A top-level window of the monitor ("kavwin", or the dialog's
// "Error_popup") once it is on the screen.
Window find_window(Display *d, const std::string &name, int ms) {
  for (long end = now_ms() + ms; now_ms() < end; sleep_ms(50)) {
    Window root, parent, *kids = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n)) continue;
    Window found = 0;
    for (unsigned int i = 0; i < n && !found; i++) {
      XWindowAttributes a;
      XClassHint hint;
      if (!XGetWindowAttributes(d, kids[i], &a) || a.map_state != IsViewable) continue;
      if (XGetClassHint(d, kids[i], &hint)) {
        if (std::string(hint.res_class) == "Kavwin" && hint.res_name == name) found = kids[i];
        XFree(hint.res_name);
        XFree(hint.res_class);
      }
    }
    if (kids) XFree(kids);
    if (found) return found;
  }
  return 0;
}

Box find_colour(XImage *img, unsigned long pixel) {
  Box b;
  for (int y = 0; y < img->height; y++)
    for (int x = 0; x < img->width; x++)
      if (XGetPixel(img, x, y) == pixel) {
        b.x0 = std::min(b.x0, x);
        b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x);
        b.y1 = std::max(b.y1, y);
      }
  return b;
}

void click(Display *d, Window w, int x, int y) {
  int rx, ry;
  Window child;
  XTranslateCoordinates(d, w, DefaultRootWindow(d), x, y, &rx, &ry, &child);
  XTestFakeMotionEvent(d, DefaultScreen(d), rx, ry, 0);
  XTestFakeButtonEvent(d, 1, True, 0);
  XTestFakeButtonEvent(d, 1, False, 0);
  XSync(d, False);
  sleep_ms(150);
}

void type(Display *d, const std::string &text) {
  for (char c : text) {
    KeyCode k = XKeysymToKeycode(d, c == '\n' ? XK_Return : static_cast<KeySym>(c));
    XTestFakeKeyEvent(d, k, True, 0);
    XTestFakeKeyEvent(d, k, False, 0);
  }
  XSync(d, False);
  sleep_ms(150);
}

// A connection of the test's own to the X server, to look at the window and
// to move the pointer and press keys.
class Pointer : public Program {
 protected:
  void SetUp() override {
    Program::SetUp();
    if (IsSkipped() || HasFailure()) return;
    d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    int ev, er, maj, min;
    VTS_REQUIRE(XTestQueryExtension(d, &ev, &er, &maj, &min), "the X server has no XTEST extension");
  }
  void TearDown() override {
    if (d) XCloseDisplay(d);
  }
  Display *d = nullptr;
};

TEST_F(Pointer, StartStopAndTypingWithThePointerAndKeyboard) {
  int port = 0;
  int ls = listen_loopback(0, &port);
  ASSERT_GE(ls, 0);
  int conn1 = -1, conn2 = -1;
  std::string wire1, wire2, after_stop;
  long graph_h = -1, line_row = -1, flat_row = -1;
  ProgRun r = run_kavwin({"-geom", "800x500+0+0", "-xrm", "*Interface-Text.value: 127.0.0.1:" + std::to_string(port)},
                         20000, [&] {
                           Window w = find_window(d, "kavwin", 5000);
                           if (!w) return true;
                           sleep_ms(300);
                           XImage *img = XGetImage(d, w, 0, 0, 800, 500, AllPlanes, ZPixmap);
                           Box start = find_colour(img, 0x00FF00);
                           Box graph = find_colour(img, 0xFFA500);
                           XDestroyImage(img);
                           if (!start.found() || !graph.found()) return true;
                           const int cy = (start.y0 + start.y1) / 2;
                           click(d, w, (start.x0 + start.x1) / 2, cy);
                           conn1 = accept_within(ls, 3000);
                           if (conn1 < 0) return true;
                           wire1 = read_within(conn1, 4, 2000);
                           // Half the default 10000 Kbps, twice: a flat line half way up.
                           send_all(conn1, record(625000, 1) + record(625000, 1));
                           sleep_ms(400);
                           graph_h = graph.y1 - graph.y0;
                           img = XGetImage(d, w, graph.x0 + 2, graph.y0, 1, static_cast<unsigned>(graph_h + 1), AllPlanes,
                                           ZPixmap);
                           for (int y = 0; y <= graph_h; y++)
                             if (XGetPixel(img, 0, y) == BlackPixel(d, DefaultScreen(d))) flat_row = y;
                           XDestroyImage(img);
                           line_row = graph_h - static_cast<long>(625000ull * graph_h * 8 / 10000000ull);
                           // Stop is the red button beside Start.
                           click(d, w, start.x1 + 30, cy);
                           after_stop = read_within(conn1, 1, 2000);
                           // Type a filter into the field at the bottom right and start again.
                           click(d, w, 800 - 40, (graph.y1 + 500) / 2 + 2);
                           type(d, "udp");
                           click(d, w, (start.x0 + start.x1) / 2, cy);
                           conn2 = accept_within(ls, 3000);
                           if (conn2 >= 0) wire2 = read_within(conn2, 8, 2000);
                           return true;
                         });
  if (conn1 >= 0) close(conn1);
  if (conn2 >= 0) close(conn2);
  close(ls);
  EXPECT_EQ(r.status, -1) << r.err;
  EXPECT_EQ(wire1, std::string("\0\0\0\0", 4));
  EXPECT_GT(graph_h, 100);
  EXPECT_EQ(flat_row, line_row);
  EXPECT_EQ(after_stop, "");  // end of file: Stop closed the connection
  EXPECT_GE(conn2, 0);
  EXPECT_EQ(wire2, std::string("\0\0\0\x03udp\0", 8));
}

// The error dialog holds the window until OK: Start does nothing meanwhile.
TEST_F(Pointer, ErrorDialogIsModalUntilOk) {
  int port = 0;
  int ls = listen_loopback(0, &port);
  ASSERT_GE(ls, 0);
  close(ls);  // refused at first
  int during = -2, after = -2;
  bool dialog_seen = false, dialog_gone = false;
  ProgRun r = run_kavwin({"-geom", "800x500+0+0", "-xrm", "*Interface-Text.value: 127.0.0.1:" + std::to_string(port),
                          "-xrm", "kavwin.autoStart: true"},
                         20000, [&] {
                           Window dlg = find_window(d, "Error_popup", 5000);
                           Window w = find_window(d, "kavwin", 1000);
                           dialog_seen = dlg != 0;
                           if (!dlg || !w) return true;
                           ls = listen_loopback(port, nullptr);
                           if (ls < 0) return true;
                           XImage *img = XGetImage(d, w, 0, 0, 800, 500, AllPlanes, ZPixmap);
                           Box start = find_colour(img, 0x00FF00);
                           XDestroyImage(img);
                           const int sx = (start.x0 + start.x1) / 2, sy = (start.y0 + start.y1) / 2;
                           click(d, w, sx, sy);
                           during = accept_within(ls, 700);
                           XWindowAttributes a;
                           XGetWindowAttributes(d, dlg, &a);
                           click(d, dlg, a.width / 2, 5);  // into the dialog, then OK by its default key
                           type(d, "\n");
                           sleep_ms(200);
                           dialog_gone = find_window(d, "Error_popup", 0) == 0;
                           click(d, w, sx, sy);
                           after = accept_within(ls, 3000);
                           return true;
                         });
  if (during >= 0) close(during);
  if (after >= 0) close(after);
  if (ls >= 0) close(ls);
  EXPECT_EQ(r.status, -1) << r.err;  // OK after a refused connection leaves the program running
  EXPECT_TRUE(dialog_seen);
  EXPECT_EQ(during, -1);
  EXPECT_TRUE(dialog_gone);
  EXPECT_GE(after, 0);
}

}  // namespace
