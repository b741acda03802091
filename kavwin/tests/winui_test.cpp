// The window against a scripted traffic server on loopback: what goes on
// the wire, what the totals and the graph show, and how failures are told.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "kavwin.h"
#include "xvfb.h"

using namespace wintest;

namespace {

std::string hex(const std::string &s) {
  static const char *d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

// Child side: a server on loopback, the fields filled in and Start pressed;
// returns the accepted connection with the filter already read off it.
struct Served {
  int ls = -1, conn = -1, port = 0;
  std::string wire;
};

Served start_served(const std::string &filter, const std::string &maxbw, size_t wire_len) {
  Served s;
  s.ls = listen_loopback(0, &s.port);
  set_field("interface", "127.0.0.1:" + std::to_string(s.port));
  set_field("filter", filter);
  set_field("maxbw", maxbw);
  press("start");
  s.conn = accept_within(s.ls, 2000);
  if (s.conn >= 0) s.wire = read_within(s.conn, wire_len, 2000);
  return s;
}

// Expected y of a rate, from the plotting rule: clipped at the top.
long expected_y(uint64_t bytes, long height, uint64_t maxbw_bps) {
  uint64_t y = bytes * static_cast<uint64_t>(height) * 8 / maxbw_bps;
  return y > static_cast<uint64_t>(height) ? 0 : height - static_cast<long>(y);
}

bool contains(const std::vector<long> &v, long x) { return std::find(v.begin(), v.end(), x) != v.end(); }

class Window : public ::testing::Test {
 protected:
  void SetUp() override { WIN_REQUIRE_X(); }
};

// ---- the request on the wire --------------------------------------------

TEST_F(Window, FilterTravelsOnceAsPaddedXdrStringAndSocketStaysOpen) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("IP SRC=10.0.0.1", "10000", 20);
    say("wire", hex(s.wire));
    say("more", hex(read_within(s.conn, 1, 300)));
    // The stream on the duplicate is closed; the socket itself still reads.
    send_all(s.conn, record(100, 1));
    pump_until([] { return kwctl.packets == 1; }, 2000);
    say("packets", field("packets"));
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  EXPECT_EQ(r.get("wire"), hex(std::string("\0\0\0\x0fIP SRC=10.0.0.1\0", 20)));
  EXPECT_EQ(r.get("more"), "");
  EXPECT_EQ(r.get("packets"), "1");
}

TEST_F(Window, EmptyFilterSendsEmptyString) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "10000", 4);
    say("wire", hex(s.wire));
  });
  EXPECT_EQ(r.get("wire"), "00000000") << r.raw;
}

TEST_F(Window, BlanksAroundTheEntriesAreIgnored) {
  Report r = run_window({}, [](const Say &say) {
    int port = 0;
    int ls = listen_loopback(0, &port);
    set_field("interface", "  127.0.0.1:" + std::to_string(port) + " \t");
    set_field("maxbw", " 8 ");
    press("start");
    int c = accept_within(ls, 2000);
    say("dialog", dialog_up() ? dialog_text() : "none");
    say("wire", hex(c >= 0 ? read_within(c, 4, 2000) : ""));
    say("maxbw", std::to_string(kwctl.maxbw));
  });
  EXPECT_EQ(r.get("dialog"), "none") << r.raw;
  EXPECT_EQ(r.get("wire"), "00000000");
  EXPECT_EQ(r.get("maxbw"), "8000");
}

TEST_F(Window, HostWithoutPortConnectsTo19681) {
  Report r = run_window({}, [](const Say &say) {
    // A private network namespace keeps the well-known port to ourselves.
    if (unshare(CLONE_NEWNET) != 0) {
      say("skip", "no namespace");
      return;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strcpy(ifr.ifr_name, "lo");
    ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    ioctl(s, SIOCSIFFLAGS, &ifr);
    close(s);
    int port = 0;
    int ls = listen_loopback(19681, &port);
    set_field("interface", "127.0.0.1");
    set_field("filter", "TCP");
    press("start");
    int c = accept_within(ls, 2000);
    say("wire", hex(c >= 0 ? read_within(c, 8, 2000) : ""));
    say("dialog", dialog_up() ? dialog_text() : "none");
  });
  if (r.has("skip")) GTEST_SKIP() << r.get("skip");
  EXPECT_EQ(r.get("wire"), hex(std::string("\0\0\0\x03TCP\0", 8))) << r.raw;
  EXPECT_EQ(r.get("dialog"), "none");
}

// ---- totals and graph ---------------------------------------------------

TEST_F(Window, TotalsAreSixtyFourBit) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "10000", 4);
    send_all(s.conn, record(0xFFFFFFFFu, 0xFFFFFFFEu));
    pump_until([] { return kwctl.bytes != 0; }, 2000);
    say("p1", field("packets"));
    say("b1", field("bytes"));
    send_all(s.conn, record(0xFFFFFFFFu, 0xFFFFFFFEu) + record(0xFFFFFFFFu, 0xFFFFFFFEu) + record(7, 3));
    pump_until([] { return kwctl.packets == 3ull * 0xFFFFFFFEu + 3; }, 2000);
    say("p2", field("packets"));
    say("b2", field("bytes"));
  });
  EXPECT_EQ(r.get("p1"), "4294967294") << r.raw;
  EXPECT_EQ(r.get("b1"), "4294967295");
  EXPECT_EQ(r.get("p2"), "12884901885");
  EXPECT_EQ(r.get("b2"), "12884901892");
}

// Each rate three times over: the middle point of a flat run is one pixel
// in its column, exactly where the rate puts it.
TEST_F(Window, PointsLandWhereRatesPutThem) {
  const std::vector<uint32_t> rates = {250, 250, 250, 500, 500, 500, 0, 0, 0, 125, 125, 125, 999, 999, 999};
  Report r = run_window({}, [&](const Say &say) {
    Served s = start_served("", "8", 4);
    std::string all;
    for (uint32_t b : rates) all += record(b, 1);
    send_all(s.conn, all);
    pump_until([&] { return kwctl.packets == rates.size(); }, 3000);
    say("height", std::to_string(kwctl.height));
    say("points", points());
    for (size_t k = 0; k < rates.size(); k++)
      say("col" + std::to_string(k * KW_STEP), column_rows(static_cast<int>(k * KW_STEP)));
    say("col2", column_rows(2));
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  long h = std::stol(r.get("height"));
  ASSERT_GT(h, 100);
  std::vector<long> want;
  for (uint32_t b : rates) want.push_back(expected_y(b, h, 8000));
  EXPECT_EQ(r.nums("points"), want);
  EXPECT_EQ(want[3], h - h / 2);  // half the maximum is half way up
  for (size_t k = 0; k < rates.size(); k++) {
    auto rows = r.nums("col" + std::to_string(k * KW_STEP));
    EXPECT_TRUE(contains(rows, want[k])) << "column " << k * KW_STEP << ": " << r.get("col" + std::to_string(k * KW_STEP));
    if (k % 3 == 1) {
      EXPECT_EQ(rows, std::vector<long>{want[k]}) << "column " << k * KW_STEP;
    }
  }
  // Between the first two points the line is flat.
  EXPECT_EQ(r.nums("col2"), std::vector<long>{want[0]});
  // The idle rate sits on the bottom row, still on screen.
  EXPECT_EQ(r.nums("col" + std::to_string(7 * KW_STEP)), std::vector<long>{h});
}

TEST_F(Window, GraphIsRedrawnWhenUncovered) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    send_all(s.conn, record(250, 1) + record(250, 1) + record(250, 1));
    pump_until([] { return kwctl.packets == 3; }, 2000);
    say("before", column_rows(5));
    // Wipe the window as an overlapping window would, with an exposure.
    XClearArea(kwctl.dpy, XtWindow(kwctl.graph), 0, 0, 0, 0, False);
    say("wiped", column_rows(5));
    XClearArea(kwctl.dpy, XtWindow(kwctl.graph), 0, 0, 0, 0, True);
    pump_for(200);
    say("after", column_rows(5));
  });
  EXPECT_NE(r.get("before"), "") << r.raw;
  EXPECT_EQ(r.get("wiped"), "");
  EXPECT_EQ(r.get("after"), r.get("before"));
}

TEST_F(Window, RatesAtOrAboveTheMaximumClipAtTheTop) {
  const std::vector<uint32_t> rates = {1000, 1000, 1000, 5000, 5000, 5000, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  Report r = run_window({}, [&](const Say &say) {
    Served s = start_served("", "8", 4);
    std::string all;
    for (uint32_t b : rates) all += record(b, 1);
    send_all(s.conn, all);
    pump_until([&] { return kwctl.packets == rates.size(); }, 3000);
    say("points", points());
    for (size_t k = 1; k < rates.size(); k += 3)
      say("col" + std::to_string(k * KW_STEP), column_rows(static_cast<int>(k * KW_STEP)));
  });
  EXPECT_EQ(r.nums("points"), std::vector<long>(rates.size(), 0)) << r.raw;
  for (size_t k = 1; k < rates.size(); k += 3)
    EXPECT_EQ(r.nums("col" + std::to_string(k * KW_STEP)), std::vector<long>{0}) << "column " << k * KW_STEP;
}

TEST_F(Window, GraphScrollsLeftOnceFull) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    const int extra = 7;
    std::string all;
    for (int k = 0; k < kwctl.nring + extra; k++) all += record(static_cast<uint32_t>((k * 37) % 100) * 10, 1);
    send_all(s.conn, all);
    pump_until([] { return kwctl.packets == static_cast<uint64_t>(kwctl.nring + extra); }, 5000);
    say("height", std::to_string(kwctl.height));
    say("nring", std::to_string(kwctl.nring));
    say("width", std::to_string(kwctl.width));
    say("points", points());
    say("col0", column_rows(0));
    say("collast", column_rows((kwctl.nring - 1) * KW_STEP));
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  long h = std::stol(r.get("height")), n = std::stol(r.get("nring"));
  EXPECT_EQ(n * KW_STEP, std::stol(r.get("width")));
  std::vector<long> want;
  for (long k = 7; k < n + 7; k++) want.push_back(expected_y(static_cast<uint64_t>((k * 37) % 100) * 10, h, 8000));
  EXPECT_EQ(r.nums("points"), want);
  EXPECT_TRUE(contains(r.nums("col0"), want.front())) << r.get("col0");
  EXPECT_TRUE(contains(r.nums("collast"), want.back())) << r.get("collast");
}

TEST_F(Window, SplitRecordIsPutTogetherBeforePlotting) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    std::string rec = record(500, 4);
    send_all(s.conn, rec.substr(0, 3));
    pump_for(150);
    send_all(s.conn, rec.substr(3, 2));
    pump_for(150);
    say("partial", points() + "|" + field("packets"));
    send_all(s.conn, rec.substr(5));
    pump_until([] { return kwctl.packets != 0; }, 2000);
    say("height", std::to_string(kwctl.height));
    say("points", points());
    say("bytes", field("bytes"));
  });
  EXPECT_EQ(r.get("partial"), "|0") << r.raw;
  long h = std::stol(r.get("height"));
  EXPECT_EQ(r.nums("points"), std::vector<long>{expected_y(500, h, 8000)});
  EXPECT_EQ(r.get("bytes"), "500");
}

// ---- idle link ------------------------------------------------------------

TEST_F(Window, IdleLinkDrawsZeroPointsAfterTheFirstWait) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    long t0 = now_ms();
    std::string times;
    int seen = 0;
    pump_until(
        [&] {
          if (kwctl.ndrawn != seen) {
            seen = kwctl.ndrawn;
            times += std::to_string(now_ms() - t0) + " ";
          }
          return seen >= 3;
        },
        6000);
    say("times", times);
    say("height", std::to_string(kwctl.height));
    say("points", points());
    say("col0", column_rows(0));
    say("col10", column_rows(10));
    // Data again: its point, then the wait starts over.
    send_all(s.conn, record(500, 1));
    long t1 = now_ms();
    pump_until([] { return kwctl.packets == 1; }, 2000);
    pump_until([] { return kwctl.ndrawn == 5; }, 3000);
    say("after", std::to_string(now_ms() - t1));
    say("points2", points());
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  auto t = r.nums("times");
  ASSERT_EQ(t.size(), 3u) << r.raw;
  EXPECT_GE(t[0], 1250);
  EXPECT_LT(t[0], 2000);
  EXPECT_GE(t[1] - t[0], 900);
  EXPECT_LT(t[1] - t[0], 1500);
  EXPECT_GE(t[2] - t[1], 900);
  long h = std::stol(r.get("height"));
  EXPECT_EQ(r.nums("points"), (std::vector<long>{h, h, h}));
  EXPECT_EQ(r.nums("col10"), std::vector<long>{h});
  EXPECT_TRUE(contains(r.nums("col0"), h));
  EXPECT_EQ(r.nums("points2"), (std::vector<long>{h, h, h, h - h / 2, h}));
  EXPECT_GE(std::stol(r.get("after")), 1250);
}

// ---- failures -------------------------------------------------------------

TEST_F(Window, ConnectionLostInMidRecordShowsDialogAndStopsPlotting) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    send_all(s.conn, record(250, 2) + record(1, 1).substr(0, 5));
    pump_until([] { return dialog_up(); }, 200);
    close(s.conn);
    pump_until([] { return dialog_up(); }, 3000);
    say("dialog", dialog_text());
    say("packets", field("packets"));
    pump_for(2500);
    say("points", std::to_string(kwctl.ndrawn));
    press("ok");
    say("after_ok", std::string(dialog_up() ? "up" : "down") + " sock=" + std::to_string(kwctl.sock));
  });
  EXPECT_EQ(r.get("dialog"), "Lost connection with traffic server (errno=0)") << r.raw;
  EXPECT_EQ(r.get("packets"), "2");
  EXPECT_EQ(r.get("points"), "1");
  EXPECT_EQ(r.get("after_ok"), "down sock=-1");
  EXPECT_EQ(r.get("end"), "ok");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Window, ResetConnectionReportsItsErrno) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    struct linger lg = {1, 0};
    setsockopt(s.conn, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(s.conn);
    pump_until([] { return dialog_up(); }, 3000);
    say("dialog", dialog_text());
  });
  EXPECT_EQ(r.get("dialog"), "Lost connection with traffic server (errno=104)") << r.raw;
}

TEST_F(Window, RefusedConnectionShowsDialogAndOkGoesBackToTheWindow) {
  Report r = run_window({}, [](const Say &say) {
    int port = 0;
    int ls = listen_loopback(0, &port);
    close(ls);  // nothing listens there any more
    say("port", std::to_string(port));
    set_field("interface", "127.0.0.1:" + std::to_string(port));
    press("start");
    say("dialog", dialog_up() ? dialog_text() : "none");
    press("ok");
    say("after_ok", std::string(dialog_up() ? "up" : "down") + " sock=" + std::to_string(kwctl.sock));
    pump_for(1600);
    say("points", std::to_string(kwctl.ndrawn));
  });
  EXPECT_EQ(r.get("dialog"), "Failed to connect to 127.0.0.1:" + r.get("port") + " (errno=111)") << r.raw;
  EXPECT_EQ(r.get("after_ok"), "down sock=-1");
  EXPECT_EQ(r.get("points"), "0");
  EXPECT_EQ(r.get("end"), "ok");
}

TEST_F(Window, BadServerEntriesAreRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"999.1.1.1", "Not a valid IP address or hostname [999.1.1.1]"},
      {"999.1.1.1:80", "Not a valid IP address or hostname [999.1.1.1]"},
      {"127.0.0.1:abc", "Not a valid port number [abc]"},
      {"127.0.0.1:", "Not a valid port number []"},
      {"127.0.0.1:0", "Not a valid port number [0]"},
      {"127.0.0.1:65536", "Not a valid port number [65536]"},
      {"127.0.0.1:80:1", "Not a valid port number [80:1]"},
  };
  Report r = run_window({}, [&](const Say &say) {
    for (size_t i = 0; i < cases.size(); i++) {
      set_field("interface", cases[i].first);
      press("start");
      say("dialog" + std::to_string(i), dialog_up() ? dialog_text() : "none");
      press("ok");
      say("after" + std::to_string(i), std::string(dialog_up() ? "up" : "down") + " sock=" + std::to_string(kwctl.sock));
    }
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  for (size_t i = 0; i < cases.size(); i++) {
    EXPECT_EQ(r.get("dialog" + std::to_string(i)), cases[i].second) << cases[i].first;
    EXPECT_EQ(r.get("after" + std::to_string(i)), "down sock=-1") << cases[i].first;
  }
}

TEST_F(Window, MaxBandwidthOfZeroOrNotANumberIsRefusedAtStart) {
  const std::vector<std::string> bad = {"0", "abc", "", "-5", "12x", "00", "10000000000", "1000000001"};
  Report r = run_window({}, [&](const Say &say) {
    int port = 0;
    int ls = listen_loopback(0, &port);
    set_field("interface", "127.0.0.1:" + std::to_string(port));
    for (size_t i = 0; i < bad.size(); i++) {
      set_field("maxbw", bad[i]);
      press("start");
      say("dialog" + std::to_string(i), dialog_up() ? dialog_text() : "none");
      press("ok");
      say("after" + std::to_string(i), dialog_up() ? "up" : "down");
    }
    int c = accept_within(ls, 300);
    say("connections", c >= 0 ? "some" : "none");
    // The largest accepted value still works.
    set_field("maxbw", "1000000000");
    press("start");
    c = accept_within(ls, 2000);
    say("max_ok", c >= 0 && !dialog_up() ? "yes" : "no");
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  for (size_t i = 0; i < bad.size(); i++) {
    EXPECT_EQ(r.get("dialog" + std::to_string(i)),
              "Max Bandwidth must be a whole number of Kbps from 1 to 1000000000, not [" + bad[i] + "]")
        << bad[i];
    EXPECT_EQ(r.get("after" + std::to_string(i)), "down");
  }
  EXPECT_EQ(r.get("connections"), "none");
  EXPECT_EQ(r.get("max_ok"), "yes");
}

TEST_F(Window, OkWithNoConnectionLeftEndsTheProgram) {
  Report r = run_window({}, [](const Say &say) {
    // No descriptor left for the socket.
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    const struct rlimit saved = rl;
    int top = 0;
    for (int fd = 0; fd < 1024; fd++)
      if (fcntl(fd, F_GETFD) != -1) top = fd;
    rl.rlim_cur = static_cast<rlim_t>(top + 1);
    setrlimit(RLIMIT_NOFILE, &rl);
    std::vector<int> taken;
    for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
    set_field("interface", "127.0.0.1:1");
    press("start");
    say("dialog", dialog_up() ? dialog_text() : "none");
    // Descriptors and the limit back for the way out: the sanitizers' checks
    // at exit open a pipe, and the holes below the lowered limit may be too few.
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    press("ok");
    say("still", "running");
  });
  EXPECT_EQ(r.get("dialog"), "Failed to create socket (errno=24)") << r.raw;
  EXPECT_FALSE(r.has("still"));
  EXPECT_EQ(r.status, 0);
}

// ---- buttons and menu -----------------------------------------------------

TEST_F(Window, StopClosesTheConnectionAndTheIdleClock) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("", "8", 4);
    send_all(s.conn, record(100, 1));
    pump_until([] { return kwctl.packets == 1; }, 2000);
    press("stop");
    say("eof", read_within(s.conn, 1, 1000).empty() ? "yes" : "no");
    pump_for(2000);
    say("points", std::to_string(kwctl.ndrawn));
    say("sock", std::to_string(kwctl.sock));
    say("dialog", dialog_up() ? dialog_text() : "none");
  });
  EXPECT_EQ(r.get("eof"), "yes") << r.raw;
  EXPECT_EQ(r.get("points"), "1");
  EXPECT_EQ(r.get("sock"), "-1");
  EXPECT_EQ(r.get("dialog"), "none");
}

TEST_F(Window, SecondStartReplacesTheConnectionAndResetsTotals) {
  Report r = run_window({}, [](const Say &say) {
    Served s = start_served("UDP", "8", 8);
    send_all(s.conn, record(100, 5));
    pump_until([] { return kwctl.packets == 5; }, 2000);
    press("start");
    int c2 = accept_within(s.ls, 2000);
    say("first_eof", read_within(s.conn, 1, 1000).empty() ? "yes" : "no");
    say("second", hex(c2 >= 0 ? read_within(c2, 8, 2000) : ""));
    say("packets", field("packets"));
    say("points", std::to_string(kwctl.ndrawn));
  });
  EXPECT_EQ(r.get("first_eof"), "yes") << r.raw;
  EXPECT_EQ(r.get("second"), hex(std::string("\0\0\0\x03UDP\0", 8)));
  EXPECT_EQ(r.get("packets"), "0");
  EXPECT_EQ(r.get("points"), "0");
}

TEST_F(Window, QuitEndsWithStatusZero) {
  Report r = run_window({}, [](const Say &say) {
    press("quit");
    say("still", "running");
  });
  EXPECT_FALSE(r.has("still")) << r.raw;
  EXPECT_EQ(r.status, 0);
}

// ---- layout -----------------------------------------------------------------

TEST_F(Window, LayoutFollowsGeometryFontAndHeightSwitch) {
  Report r = run_window({"-y", "-6", "-geom", "640x420-0-0"}, [](const Say &say) {
    Position x, y;
    Dimension w, h, fh;
    XtVaGetValues(kwctl.toplevel, XmNx, &x, XmNy, &y, XmNwidth, &w, XmNheight, &h, nullptr);
    say("shell", std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " + std::to_string(h));
    say("screen", std::to_string(WidthOfScreen(kwctl.screen)) + " " + std::to_string(HeightOfScreen(kwctl.screen)));
    XtVaGetValues(XtParent(kwctl.maxbw_txt), XmNheight, &fh, nullptr);
    say("field_h", std::to_string(fh));
    say("font_h", std::to_string(kwres.font->ascent + kwres.font->descent));
    Position gx;
    Dimension gw, gh;
    XtVaGetValues(kwctl.graph, XmNx, &gx, XmNwidth, &gw, XmNheight, &gh, nullptr);
    say("graph", std::to_string(gx) + " " + std::to_string(gw) + " " + std::to_string(gh));
    say("plot", std::to_string(kwctl.width) + " " + std::to_string(kwctl.height) + " " + std::to_string(kwctl.nring));
    XmString xs = nullptr;
    XtVaGetValues(kwctl.note, XmNlabelString, &xs, nullptr);
    char *t = static_cast<char *>(XmStringUnparse(xs, nullptr, XmCHARSET_TEXT, XmCHARSET_TEXT, nullptr, 0, XmOUTPUT_ALL));
    say("note", t);
    XtFree(t);
    XmStringFree(xs);
    say("maxbw", field("maxbw"));
    say("totals", field("packets") + " " + field("bytes"));
  });
  ASSERT_EQ(r.get("end"), "ok") << r.raw;
  auto shell = r.nums("shell"), screen = r.nums("screen"), graph = r.nums("graph"), plot = r.nums("plot");
  ASSERT_EQ(shell.size(), 4u);
  EXPECT_EQ(shell[2], 640);
  EXPECT_EQ(shell[3], 420);
  EXPECT_EQ(shell[0], screen[0] - 640);  // "-0": flush with the right edge
  EXPECT_EQ(shell[1], screen[1] - 420);
  long font_h = std::stol(r.get("font_h"));
  EXPECT_EQ(std::stol(r.get("field_h")), 3 * font_h - 6);
  ASSERT_EQ(plot.size(), 3u);
  EXPECT_EQ(plot[0] % KW_STEP, 0);
  EXPECT_EQ(plot[2], plot[0] / KW_STEP);
  EXPECT_EQ(plot[1], 420 - (3 * font_h - 6) - 15 - 3);
  EXPECT_EQ(graph[1], plot[0]);
  EXPECT_EQ(graph[2], plot[1] + 1);
  EXPECT_LE(graph[0] + graph[1] + 6, 640);   // inside the window, border included
  EXPECT_GT(graph[0] + graph[1] + 6, 640 - 5 - KW_STEP);  // and fills it
  EXPECT_EQ(r.get("note"), "Time axis spans " + std::to_string(plot[2]) + " secs");
  EXPECT_EQ(r.get("maxbw"), "10000");
  EXPECT_EQ(r.get("totals"), "0 0");
}

}  // namespace
