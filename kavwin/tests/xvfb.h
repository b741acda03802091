// Test fixtures for the window: a private X server and a child process that
// owns one window, drives it as a user would and reports what it shows.
#ifndef KAVWIN_TESTS_XVFB_H
#define KAVWIN_TESTS_XVFB_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "testsupport.h"

// Every window test needs the X server: a skip without Xvfb, a failure
// under make test, which installs it.
#define WIN_REQUIRE_X()                                                    \
  do {                                                                     \
    VTS_REQUIRE(vts::have_tool("Xvfb"), "Xvfb is not installed");          \
    ASSERT_TRUE(wintest::xvfb().ok()) << "Xvfb did not start";             \
  } while (0)

namespace wintest {

// An X virtual frame buffer on the first free display number, started for
// the test process and stopped at its end.
class Xvfb {
 public:
  Xvfb();
  ~Xvfb();
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;
  bool ok() const { return !display_.empty(); }
  const std::string &display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

long now_ms();  // monotonic clock
void sleep_ms(int ms);

// Starts the X server once per test program (it sets DISPLAY).
Xvfb &xvfb();

// What the child reported: one "key value" line per entry.
struct Report {
  int status = -1;  // exit status of the child, -1 when killed
  std::map<std::string, std::string> kv;
  std::string raw;
  bool has(const std::string &k) const { return kv.count(k) != 0; }
  std::string get(const std::string &k) const;
  std::vector<long> nums(const std::string &k) const;  // blank-separated numbers
};

// Runs `body` in a child process after building and realising the window
// from `args` (kavwin's own command line, without the program name). The
// child exits 0 when the body returns; `say(key, value)` adds to the report.
using Say = std::function<void(const std::string &, const std::string &)>;
Report run_window(const std::vector<std::string> &args, const std::function<void(const Say &)> &body,
                  int timeout_ms = 30000);

// Helpers for the body (they run in the child).
bool pump_until(const std::function<bool()> &done, int ms);  // processes X and socket events
void pump_for(int ms);
void set_field(const char *which, const std::string &text);  // "interface", "filter", "maxbw"
std::string field(const char *which);                         // also "packets", "bytes"
// "start" (and wait for the connection attempt to end), "start-nowait",
// "stop", "ok", "quit".
void press(const char *which);
bool dialog_up();
std::string dialog_text();
std::string points();  // the plotted ring, oldest first, blank-separated
// Rows of the line's pixels in a column of the graph, read back from the
// X server, blank-separated.
std::string column_rows(int x);

// A listening TCP socket on 127.0.0.1 and the side of the server the
// scripted tests play.
int listen_loopback(int port, int *bound_port);
int accept_within(int ls, int ms);
std::string read_within(int fd, size_t want, int ms);  // up to `want` bytes
bool send_all(int fd, const std::string &bytes);
std::string record(uint32_t octets, uint32_t frames);  // one 8-byte interval record
std::string xdr_string(const std::string &s);          // the expected bytes on the wire

}  // namespace wintest

#endif
