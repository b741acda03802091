// kavpan: the packet analyser. Reads a capture log on standard input, selects
// events by number, time or filter, prints the session banners, one line (or
// an exhaustive dump) per event through the layer chain, and the statistics
// of every session.
//
// The framework owns main(): the one static App object below is found by it
// and driven through appSetup, appParseArg, appInit, appRun, appTerminated.

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pansupp.h"
#include "pansvc.h"
#include "appshell.h"
#include "kav.h"
#include "log.h"
#include "stdiobuf.h"
#include "tova.h"

using namespace tovafc;

namespace {

constexpr const char *kTitle = "Packet Analyser";
constexpr const char *kVersion = VELMORA_VERSION;
constexpr const char *kProduct = "Velmora";
constexpr const char *kOpts = "hNndu:U:tTv:e:E:b:k:f:F:l:x:r:o:a:A:";
constexpr const char *kNobufEnv = "TOV_STDOUT_NOBUF";
constexpr int kStdioBuf = 131072;
constexpr int kEvtBufSize = 17000;
constexpr int kMaxListLen = 1024;
constexpr const char *kSeparator = "-------------------------------------------------------------";

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One -e/-E item. An explicit single 0 ("0") selects the log header alone,
// so "no upper limit" is its own flag rather than max == 0.
struct Range {
  int64_t min;
  int64_t max;
  bool open;  // no upper limit ("n-0")
};

struct CtlBlk {
  time_t basetime = 0;
  int basetime_given = 0;
  int delta_mode = 0;
  int tod_mode = 0;
  std::vector<Range> ranges;
  int by_time = 0;
  int by_number = 0;
  char *filter_text = nullptr;
  int workaround_swap = 0;
  kav_logfile log{};
  void *filter = nullptr;
  size_t cur_range = 0;
  unsigned char *evtbuf = nullptr;
  int workarounds_allowed = 0;
  int init_failed = 0;
  int export_type = 0;  // KAV_LOGSRC_* of -x; 0 = none
  int raw2null = 0;     // KAV_TCPD_RAW2NULL=y
  int raw_input = 0;    // -r
  int raw_layer = 0, raw_proto = 0;
  const char *raw_pseudo = nullptr;  // -r named a pseudo-protocol
  uint64_t raw_offset = 0, raw_max = 0;
  int trigger_given = 0;
};

CtlBlk ctlblk;

// Decimal with thousands separators, on 64-bit values (session byte counts
// outgrow 32 bits on any busy link).
std::string commas(int64_t v) {
  bool neg = v < 0;
  uint64_t u = neg ? uint64_t(0) - uint64_t(v) : uint64_t(v);
  char digits[32];
  int n = snprintf(digits, sizeof digits, "%" PRIu64, u);
  std::string out;
  if (neg) out += '-';
  for (int i = 0; i < n; i++) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// ctime() without its trailing newline and blanks.
std::string timetext(time_t t) {
  char buf[64];
  if (!ctime_r(&t, buf)) return "at Unknown time";
  size_t n = strlen(buf);
  while (n > 0 && isspace((unsigned char)buf[n - 1])) buf[--n] = '\0';
  return buf;
}

// "- Evt=%u (%s%lu.%06lu): ", the line every event starts with in the short
// modes, written without the printf machinery: it is the analyser's most
// frequent output.
void put_evt_prefix(unsigned evtno, bool neg, unsigned long secs, unsigned long usecs) {
  char buf[80];
  char *p = buf + sizeof buf;
  *--p = ' ';
  *--p = ':';
  *--p = ')';
  for (int i = 0; i < 6; i++, usecs /= 10) *--p = char('0' + usecs % 10);
  *--p = '.';
  do {
    *--p = char('0' + secs % 10);
    secs /= 10;
  } while (secs);
  if (neg) *--p = '-';
  *--p = '(';
  *--p = ' ';
  do {
    *--p = char('0' + evtno % 10);
    evtno /= 10;
  } while (evtno);
  memcpy(p -= 6, "- Evt=", 6);
  kav_did_prt = 1;
  fwrite_unlocked(p, 1, size_t(buf + sizeof buf - p), kav_out());
}

void trace_to_log(int level, const char *msg) { tovlog(level, "%s", msg); }

// A capture of another format given as a log: pcap in either byte order with
// micro- or nanosecond time stamps, or pcapng (section header block with its
// byte-order magic).
bool foreign_capture(const unsigned char *b) {
  static const unsigned char pcap[4][4] = {
      {0xd4, 0xc3, 0xb2, 0xa1}, {0xa1, 0xb2, 0xc3, 0xd4}, {0x4d, 0x3c, 0xb2, 0xa1}, {0xa1, 0xb2, 0x3c, 0x4d}};
  for (const auto &m : pcap)
    if (memcmp(b, m, 4) == 0) return true;
  static const unsigned char shb[4] = {0x0a, 0x0d, 0x0d, 0x0a};
  static const unsigned char bom[2][4] = {{0x1a, 0x2b, 0x3c, 0x4d}, {0x4d, 0x3c, 0x2b, 0x1a}};
  return memcmp(b, shb, 4) == 0 && (memcmp(b + 8, bom[0], 4) == 0 || memcmp(b + 8, bom[1], 4) == 0);
}

bool is_dec(const std::string &s) { return !s.empty() && isdecstr(s.c_str()); }

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// Six decimal digits each of YYMMDD and hhmmss to local seconds; -1 when the
// date or time does not exist. Two-digit years below 50 are in the 2000s.
time_t stamp2secs(const std::string &date, const std::string &tod) {
  long d = strtol(date.c_str(), nullptr, 10), t = strtol(tod.c_str(), nullptr, 10);
  struct tm tm {};
  int yy = int(d / 10000);
  tm.tm_year = yy + (yy < 50 ? 100 : 0);
  tm.tm_mon = int(d / 100 % 100) - 1;
  tm.tm_mday = int(d % 100);
  tm.tm_hour = int(t / 10000);
  tm.tm_min = int(t / 100 % 100);
  tm.tm_sec = int(t % 100);
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60)
    return -1;
  int mday = tm.tm_mday, mon = tm.tm_mon;
  time_t r = mktime(&tm);
  if (r == time_t(-1) || tm.tm_mday != mday || tm.tm_mon != mon) return -1;  // 31 Feb etc.
  return r;
}

// "YYMMDD:hhmmss" (local time) to seconds since the epoch; -1 with the reason
// in tvl_usrmsg.
long timstr2secs(const std::string &text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Missing ':' in YYMMDD:hhmmss timestamp (%s)", text.c_str());
    return -1;
  }
  std::string d = text.substr(0, colon), t = text.substr(colon + 1);
  if (!is_dec(d) || !is_dec(t) || d.size() != 6 || t.size() != 6) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Non-numeric timestring (%s:%s)", d.c_str(), t.c_str());
    return -1;
  }
  time_t r = stamp2secs(d, t);
  if (r == time_t(-1)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid date/time in timestamp (%s)", text.c_str());
    return -1;
  }
  return long(r);
}

int conflict(int a, int b) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Can't combine the '-%c' and '%-c' switches", a, b);
  return 8;
}

// -e / -E lists: comma-separated items "n" or "min-max", ascending.
int parse_events(int sw, const char *arg) {
  if (strlen(arg) > size_t(kMaxListLen)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' switch - list longer than %d characters", sw,
             kMaxListLen);
    return 8;
  }
  std::string all(arg);
  size_t pos = 0;
  for (;;) {
    size_t comma = all.find(',', pos);
    std::string item = trim(all.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    size_t dash = item.find('-');
    std::string lo = trim(item.substr(0, dash));
    std::string hi = dash == std::string::npos ? "" : trim(item.substr(dash + 1));
    bool has_max = dash != std::string::npos;
    Range r{};
    if (sw == 'e') {
      if (!is_dec(lo) || (has_max && !is_dec(hi))) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' switch - non-numeric event ID: %s%s%s", sw,
                 lo.c_str(), has_max ? "-" : "", has_max ? hi.c_str() : "");
        return 8;
      }
      r.min = strtoll(lo.c_str(), nullptr, 10);
      r.max = has_max ? strtoll(hi.c_str(), nullptr, 10) : r.min;
    } else {
      long v = lo == "0" ? 0 : timstr2secs(lo);
      if (v < 0) return 8;
      r.min = v;
      if (has_max) {
        long m = hi == "0" ? 0 : timstr2secs(hi);
        if (m < 0) return 8;
        r.max = m;
      } else {
        r.max = r.min;
      }
    }
    r.open = has_max && r.max == 0;
    if (!r.open && r.min > r.max) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' switch: min=%ld > max=%ld", sw, long(r.min),
               long(r.max));
      return 8;
    }
    if (!ctlblk.ranges.empty()) {
      const Range &p = ctlblk.ranges.back();
      if (p.open || p.max >= r.min) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' switch: overlapping ranges: %ld-%ld, %ld-%ld", sw,
                 long(p.min), long(p.max), long(r.min), long(r.max));
        return 8;
      }
    }
    ctlblk.ranges.push_back(r);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return 0;
}

int parse_basetime(const char *arg) {
  const char *dash = strchr(arg, '-');
  if (!dash || strlen(arg) != 13 || dash - arg != 6) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' (bad format)", 'b', arg);
    return 8;
  }
  std::string d(arg, 6), t(dash + 1);
  if (!is_dec(d) || !is_dec(t)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s-%s' - non-numeric", 'b', d.c_str(),
             t.c_str());
    return 8;
  }
  time_t r = stamp2secs(d, t);
  if (r == time_t(-1)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s-%s' - invalid date/time", 'b', d.c_str(),
             t.c_str());
    return 8;
  }
  ctlblk.basetime = r;
  ctlblk.basetime_given = 1;
  return 0;
}

int parse_protomap(int sw, const char *arg) {
  if (is_dec(arg)) {
    long port = strtol(arg, nullptr, 10);
    if (port > 0 && port <= 65535) {
      kav_proto_map = int(port);
      return 0;
    }
  } else if (int code = kav_pseudo_code(arg)) {
    kav_proto_map = code;
    return 0;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unrecognised '-%c' value [%s]", sw, arg);
  return 8;
}

int parse_workarounds(const char *arg) {
  std::string all(arg);
  size_t pos = 0;
  for (;;) {
    size_t comma = all.find(',', pos);
    std::string id = trim(all.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (!is_dec(id) || strtol(id.c_str(), nullptr, 10) != 1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c' - invalid workaround id (%s)", 'k',
               id.c_str());
      return 8;
    }
    ctlblk.workaround_swap = 1;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return 0;
}

int set_filter(const char *text, size_t len) {
  char *copy = static_cast<char *>(malloc(len + 1));
  if (!copy) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY");
    return 7;
  }
  memcpy(copy, text, len);
  copy[len] = '\0';
  ctlblk.filter_text = copy;
  return 0;
}

// Newlines go, tabs become blanks, runs of blanks shrink to one, ends trimmed.
void normalise_filter(char *s) {
  char *w = s;
  bool blank = true;  // drops leading blanks
  for (char *r = s; *r; r++) {
    char c = *r;
    if (c == '\n' || c == '\r') continue;
    if (c == '\t') c = ' ';
    if (c == ' ') {
      if (blank) continue;
      blank = true;
    } else {
      blank = false;
    }
    *w++ = c;
  }
  if (w > s && w[-1] == ' ') w--;
  *w = '\0';
}

void log_tree(const char *what, wtree *tree, int totals[4], int *entries) {
  *entries = 0;
  if (!tree) return;
  int c[4] = {0, 0, 0, 0};
  wtree_stats(tree, c);
  *entries = c[0];
  for (int i = 0; i < 4; i++) totals[i] += c[i];
  tovlog(5, "Cache %s: %d entries", what, c[0]);
}

}  // namespace

class App : public TovAppShell {
 public:
  App() : TovAppShell(nullptr, kTitle, kVersion, kProduct, false) {}
  ~App() override;

  int appSetup(tvl_init_ctrl *ctrl) override;
  int appParseArg(int is_switch, int letter_or_position, const char *arg) override;
  int appInit() override;
  int appRun() override;
  void appTerminated() override;
  void appUsage() const override;

 private:
  void free_resources();
  [[noreturn]] void fail_exit();
  int read_sessions(int64_t *earliest);
  void print_banners();
  bool settle_basetime(int64_t earliest);
  void run_events(bool ahead);
  void batch_pipe_output();
  void flush_if_idle(int64_t need);
  int read_event(int flags, int *truncated);
  void print_statistics(long matched, long rejected);
  void print_event_header(unsigned evtno, const kav_evthdr &eh, int layer, int offset);
  void check_output();
  [[noreturn]] void output_failed(int err);

  FILE *log_in_ = nullptr;  // standard input, read while the output is watched
  TovBufferedStdio *stdin_buf_ = nullptr;
  TovBufferedStdio *stdout_buf_ = nullptr;
  tvl_init_ctrl *ctrl_ = nullptr;

  // Event-header state carried from one printed event to the next.
  bool have_prev_ = false;
  int64_t prev_sec_ = 0, prev_usec_ = 0;
  bool failed_ = false;  // the log could not be read to its end
  bool idle_flush_ = false;  // output to a pipe: flushed when the input runs dry
  kav_export export_;
};

App::~App() {
  free_resources();
  for (TovBufferedStdio **b : {&stdout_buf_, &stdin_buf_}) {
    if (*b) {
      fflush((*b)->stream());
      (*b)->set(0);  // hands the buffer back before the object goes
      delete *b;
      *b = nullptr;
    }
  }
}

int App::appSetup(tvl_init_ctrl *ctrl) {
  ctrl_ = ctrl;
  stdin_buf_ = new TovBufferedStdio(stdin, kStdioBuf, false, kNobufEnv);
  stdout_buf_ = new TovBufferedStdio(stdout, kStdioBuf, true, kNobufEnv);
  ctlblk.workarounds_allowed = 1;
  kav_vblvl = 2;
  kav_txtdmp = 15;
  kav_trchook = trace_to_log;
  appSetOpts(kOpts, "");
  appSetParams(0, 1);
  return 0;
}

int App::appParseArg(int is_switch, int c, const char *arg) {
  if (!is_switch) {
    if (c != 1) {
      tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", c, c);
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
      return 3;
    }
    if (ctlblk.filter_text) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
               "Shortcut filter, '%s', can't be combined with standard filter switch", arg);
      return 8;
    }
    const char *expr = kav_filt_short(arg);
    if (!expr) return 8;
    return set_filter(expr, strlen(expr));
  }
  switch (c) {
    case 'n':
      if (kav_numval_all) return conflict('n', 'N');
      kav_numval_ip = 1;
      return 0;
    case 'N':
      if (kav_numval_ip) return conflict('n', 'N');
      kav_numval_all = 1;
      kav_numval_ip = 1;
      return 0;
    case 'v':
      if (!is_dec(arg) || strlen(arg) > 1 || arg[0] < '1' || arg[0] > '4') {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - must be 1-4", c, arg);
        return 8;
      }
      kav_vblvl = arg[0] - '0';
      return 0;
    case 'e':
    case 'E':
      // One list is either event numbers or times, never a mixture.
      if ((c == 'e' && ctlblk.by_time) || (c == 'E' && ctlblk.by_number)) return conflict('e', 'E');
      (c == 'e' ? ctlblk.by_number : ctlblk.by_time) = 1;
      return parse_events(c, arg);
    case 'b':
      return parse_basetime(arg);
    case 'd':
      kav_envdmpfmt = 1;
      return 0;
    case 't':
      if (ctlblk.tod_mode) return conflict('t', 'T');
      ctlblk.delta_mode = 1;
      return 0;
    case 'T':
      if (ctlblk.delta_mode) return conflict('t', 'T');
      ctlblk.tod_mode = 1;
      return 0;
    case 'u':
    case 'U':
      if (parse_protomap(c, arg)) return 8;
      if (c == 'U') kav_force_map = 1;
      return 0;
    case 'l':
      if (!is_dec(arg)) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - must be numeric", c, arg);
        return 8;
      }
      {
        errno = 0;
        long v = strtol(arg, nullptr, 10);
        kav_txtdmp = v > INT_MAX || errno == ERANGE ? INT_MAX : int(v);
      }
      return 0;
    case 'f':
      if (ctlblk.filter_text) return conflict('f', 'F');
      return set_filter(arg, strlen(arg));
    case 'F': {
      if (ctlblk.filter_text) return conflict('f', 'F');
      int size = 0;
      char *text = file2buf(-1, arg, nullptr, -1, &size, 0, 1);
      if (!text) return 8;
      ctlblk.filter_text = text;  // NUL-terminated by the one-byte tail
      return 0;
    }
    case 'k':
      return parse_workarounds(arg);
    case 'a':
    case 'A': {
      if (ctlblk.trigger_given) return conflict('a', 'A');
      ctlblk.trigger_given = 1;
      if (c == 'a') return parse_trigger(arg);
      int size = 0;
      char *text = file2buf(-1, arg, nullptr, -1, &size, 0, 1);
      if (!text) return 8;
      int rc = parse_trigger(text);
      free(text);
      return rc;
    }
    case 'x':
      if (ctlblk.raw_input) return conflict('x', 'r');
      for (int t = KAV_LOGSRC_SNOOP; t <= KAV_LOGSRC_ETHER; t++)
        if (strcasecmp(arg, kav_logdesc[t]) == 0) {
          ctlblk.export_type = t;
          return 0;
        }
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' value: '%s'", c, arg);
      return 8;
    case 'r':
      if (ctlblk.export_type) return conflict('x', 'r');
      if (raw_format(arg, &ctlblk.raw_layer, &ctlblk.raw_proto) == 0) {
        ctlblk.raw_input = 1;
        return 0;
      }
      // A pseudo-protocol name, decoded by the layer-5 map.
      if (!is_dec(arg) && parse_protomap(c, arg) == 0) {
        ctlblk.raw_input = 1;
        ctlblk.raw_layer = KAV_LAYER_APP;
        ctlblk.raw_proto = 0;
        ctlblk.raw_pseudo = arg;
        kav_force_map = 1;
        return 0;
      }
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unrecognised -%c arg (%s)", c, arg);
      return 8;
    case 'o': {
      const char *colon = strchr(arg, ':');
      ctlblk.raw_offset = strtoull(arg, nullptr, 10);
      ctlblk.raw_max = colon ? strtoull(colon + 1, nullptr, 10) : 0;
      return 0;
    }
    default:
      tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", c, c);
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
      return 3;
  }
}

int App::appInit() {
  if (ctlblk.export_type) {
    const char *r2n = getenv("KAV_TCPD_RAW2NULL");
    if (r2n && !strcasecmp(r2n, "y")) {
      ctlblk.raw2null = 1;
    } else if (r2n && strcasecmp(r2n, "n")) {
      fprintf(stderr, "Invalid env var [%s=%s]\n", "KAV_TCPD_RAW2NULL", r2n);
      ctlblk.init_failed = 1;
      return 1;
    }
    // Standard output carries the export alone: whatever text the run still
    // has to say goes to standard error.
    kav_vblvl = 0;
    kav_outfp = stderr;
  } else {
    kavprt(-1, "%s\n", appTitle());
  }
  if (ctlblk.ranges.empty()) ctlblk.ranges.push_back(Range{0, 0, true});
  ctlblk.cur_range = 0;

  if (ctlblk.filter_text) {
    normalise_filter(ctlblk.filter_text);
    ctlblk.filter = kav_filt_parse(ctlblk.filter_text, nullptr);
    if (!ctlblk.filter) {
      fprintf(stderr, "Bad filter expression - %s\n", tvl_usrmsg);
      ctlblk.init_failed = 1;
      return 1;
    }
  }
  // Names are for printing: an export has no use for the caches.
  if (kav_numval_all || ctlblk.export_type) return 0;

  int totals[4] = {0, 0, 0, 0};
  int e = 0, p = 0, s = 0, s2 = 0, h = 0;
  if (kav_cache_ethers()) {
    fprintf(stderr, "Failed to cache ethers(4) entries - %s\n", tvl_usrmsg);
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("ethers", kav_map_ethers, totals, &e);
  if (kav_cache_l4prots()) {
    fprintf(stderr, "Failed to cache protocols(4) entries - %s\n", tvl_usrmsg);
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("protocols", kav_map_l4prots, totals, &p);
  if (kav_cache_l5prots()) {
    fprintf(stderr, "Failed to cache services(4) entries - %s\n", tvl_usrmsg);
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("tcp services", kav_map_l5tcp, totals, &s);
  log_tree("udp services", kav_map_l5udp, totals, &s2);
  if (kav_cache_hosts()) {
    fprintf(stderr, "Failed to cache hosts(4) entries - %s\n", tvl_usrmsg);
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("hosts", kav_map_hosts, totals, &h);
  int r = 0, o = 0;
  if (kav_cache_rpcprogs()) {
    fprintf(stderr, "Failed to cache rpc(4) entries - %s\n", tvl_usrmsg);
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("rpc programs", kav_map_rpcprogs, totals, &r);
  if (kav_cache_oids()) {
    fprintf(stderr, "Failed to cache OIDs - see logfile\n");
    ctlblk.init_failed = 1;
    return 1;
  }
  log_tree("OIDs", kav_map_oids, totals, &o);
  tovlog(4, "Cache stats: E=%d, P=%d, S=%d, H=%d, R=%d, O=%d", e, p, s + s2, h, r, o);
  tovlog(4, "Cache W-Tree totals: %d entries, in %d nodes (%d) - %d bytes", totals[0], totals[1], totals[3],
         totals[2]);
  return 0;
}

void App::free_resources() {
  if (kav_map_hosts) {
    int c[4] = {0, 0, 0, 0};
    wtree_stats(kav_map_hosts, c);
    tovlog(4, "Hosts cache rose to %d entries, in %d nodes (%d), %d bytes\n", c[0], c[1], c[3], c[2]);
  }
  kav_cache_free();
  free(ctlblk.evtbuf);
  ctlblk.evtbuf = nullptr;
  if (ctlblk.filter) kav_filt_free(ctlblk.filter);
  ctlblk.filter = nullptr;
  free(ctlblk.filter_text);
  ctlblk.filter_text = nullptr;
  ctlblk.ranges.clear();
  ctlblk.ranges.shrink_to_fit();
  trigger_free();
  if (ctlblk.log.stream) {
    kav_close_logfile(&ctlblk.log);
    memset(&ctlblk.log, 0, sizeof ctlblk.log);
  }
  if (log_in_) {
    fclose(log_in_);
    log_in_ = nullptr;
  }
}

void App::appTerminated() { free_resources(); }

// The run could not do its job (bad start-up, unreadable log): say so in the
// exit status, which the shell would otherwise leave at 0.
void App::fail_exit() {
  fflush(stdout);
  free_resources();
  exit(1);
}

// Nothing is worth printing once the output is lost: one message, status 1.
void App::output_failed(int err) {
  fprintf(stderr, "Write failed on standard output - errno=%d [%s]\n", err, err ? strerror(err) : "UNKNOWN");
  fail_exit();
}

// A failed write leaves the stream's error flag; the write that failed set
// errno, unless what was buffered since fails again on a flush.
void App::check_output() {
  FILE *o = kav_out();
  if (!ferror(o)) return;
  int e = errno;
  errno = 0;
  if (fflush(o) != 0 && errno != 0) e = errno;
  output_failed(e);
}

int App::read_sessions(int64_t *earliest) {
  kav_logfile &log = ctlblk.log;
  const char *forced = getenv("KAV_ALL_IFS_LINKTYPE");
  bool have_forced = forced && is_dec(forced);
  *earliest = 0x7fffffff;
  for (int i = 0; i < log.hdr.nsessions; i++) {
    if (kav_read_seshdr(&log, i)) {
      fprintf(stderr, "Logfile session %d: %s\n", i + 1, tvl_usrmsg);
      return 1;
    }
    kav_seshdr &sh = log.sessions[i].hdr;
    if (((sh.capflags & KAV_CAP_MECH_MASK) >> KAV_CAP_MECH_SHIFT) == 0)
      sh.capflags |= int64_t(KAV_CAPMECH_DLPI) << KAV_CAP_MECH_SHIFT;
    if (have_forced)
      sh.linktype = strtol(forced, nullptr, 10);
    else if (sh.ifname[0] == '\0')
      sh.linktype = KAV_DL_ETHER;
    if (sh.start < *earliest) *earliest = sh.start;
  }
  return 0;
}

void App::print_banners() {
  kav_logfile &log = ctlblk.log;
  int n = log.hdr.nsessions;
  kavprt(-1, "Verbosity level is %d\n", kav_vblvl);
  kavprt(-1, "Input contains %u packet-capture session%s\n", unsigned(n), n == 1 ? "" : "s");
  for (int i = 0; i < n; i++) {
    kav_seshdr &sh = log.sessions[i].hdr;
    std::string when = sh.start == 0 ? "at Unknown time" : timetext(time_t(sh.start));
    char ifname[37];
    memcpy(ifname, sh.ifname, sizeof sh.ifname);
    ifname[36] = '\0';
    char host[66];
    memcpy(host, sh.hostname, sizeof sh.hostname);
    host[65] = '\0';
    bool raw = sh.capflags & KAV_CAP_RAW;
    int mech = int((sh.capflags & KAV_CAP_MECH_MASK) >> KAV_CAP_MECH_SHIFT);
    bool fileform = !strcasecmp(ifname, "Snoop") || !strcasecmp(ifname, "Tcpdump");
    bool seqform = !strcasecmp(ifname, "IP") || !strcasecmp(ifname, "Ethernet");

    kavprt(4, "\n%s\n", kSeparator);
    kavprt(4, "Session %u:\n", unsigned(i + 1));
    if (fileform || seqform) {
      kavprt(4, fileform ? "%s logfile, imported %s\n\n" : "%s-sequence logfile, imported %s\n\n", ifname,
             when.c_str());
      kavprt(4, "Hostname: %s\n", "UNKNOWN");
      kavprt(4, "Interface: %s\n", "UNKNOWN");
      kavprt(4, "\nLink-layer protocol: %s\n", dlp_proto2nam(int(sh.linktype)));
      kavprt(1, "- Session %d: Host=%s, Interface=%s\n", i + 1, "UNKNOWN", "UNKNOWN");
      kavprt(4, "\nThe following packet-capture modes were in effect:\n");
      kavprt(4, "- Promiscuous mode: Unknown\n");
    } else {
      kavprt(4, "Packet capture started %s (%d)\n\n", when.c_str(), mech);
      const char *hostname = host[0] ? host : "UNKNOWN";
      kavprt(4, "Hostname: %s\n", hostname);
      static const unsigned char no_addr[4] = {0, 0, 0, 0};
      if (ifname[0] && memcmp(sh.ipaddr, no_addr, 4) == 0) {
        // Captured on a link without an IPv4 address: nothing to name.
        kavprt(4, "Interface: %s\n", ifname);
        kavprt(4, "Interface MTU: %lu\n", (unsigned long)sh.mtu);
        kavprt(4, "Link Type: %s\n", dlp_proto2nam(int(sh.linktype)));
      } else if (ifname[0]) {
        kavprt(4, "Interface: %s (%s)\n", ifname, kav_ipaddr2nam(sh.ipaddr));
        // The mask is a 32-bit value stored sign-extended.
        kavprt(4, "Subnet Mask: 0x%08lX\t\tInterface MTU: %lu\n", (unsigned long)(sh.netmask & 0xffffffff),
               (unsigned long)sh.mtu);
        kavprt(4, "Link Type: %s\n", dlp_proto2nam(int(sh.linktype)));
      } else {
        kavprt(4, "Interface: %s\n", "ALL INTERFACES");
      }
      if (mech == KAV_CAPMECH_DLPI) {
        int hl = sh.hwaddrlen < 0 ? 0 : sh.hwaddrlen > 24 ? 24 : int(sh.hwaddrlen);
        char hex[80];
        buf2hex(sh.hwaddr, hl, hex, sizeof hex);
        kavprt(4, "\n");
        kavprt(4, "DLPI driver is version %lu\n", (unsigned long)sh.devparm1);
        kavprt(4, "Data-Link Address: <%s> - %d byte%s\n", hex, hl, hl == 1 ? "" : "s");
        kavprt(4, "Data-Link SAP: %d\n", int(sh.devparm2));
      }
      kavprt(1, "- Session %d: Host=%s, Interface=%s\n", i + 1, hostname, ifname[0] ? ifname : "ALL INTERFACES");
      kavprt(4, "\nThe following packet-capture modes were in effect:\n");
      kavprt(4, "- Promiscuous mode: %s\n", (sh.capflags & KAV_CAP_PROMISC) ? "On" : "Off");
    }
    kavprt(4, "- Raw Data-Link capture mode: %s\n", raw ? "On" : "Off");
    if (sh.snaplen != 0) kavprt(4, "- Snapshot length: %lu\n", (unsigned long)sh.snaplen);
    if (sh.capflags & 0x4) kavprt(4, "- Ethernet 'Type' field swapped, before logging packets\n");
    const kav_session &ses = log.sessions[i];
    if (ses.filter && sh.filtlen > 0) {
      int flen = int(strnlen(ses.filter, size_t(sh.filtlen)));
      kavprt(4, "- Packet filter: %.*s\n", flen, ses.filter);
    }
    switch (sh.linktype) {
      case KAV_DL_HDLC:
        kavprt(4, "\nNB: Assuming the MAC protocol is actually PPP.\n");
        break;
      case KAV_DL_CSMACD:
      case KAV_DL_IPRAW:
        break;
      case KAV_DL_ETHER:
        if (!raw)
          kavprt(4, "\nWARNING: In non-raw mode, we have to guess which protocol is layered above the MAC layer.\n");
        break;
      default:
        if (raw) kavprt(4, "\nWARNING: Unsupported MAC protocol=%u\n", unsigned(sh.linktype));
        break;
    }
  }
}

// Prints the base time; false when -b names a time after the earliest session.
bool App::settle_basetime(int64_t earliest) {
  kav_logfile &log = ctlblk.log;
  bool given = ctlblk.basetime_given;
  if (!given) {
    ctlblk.basetime = earliest == 0x7fffffff ? 0 : time_t(earliest);
    // Imported captures start at the import time, after every frame they
    // hold; the first event's own time then serves as the base.
    if (!log.eof && log.evthdr.sec > 0 && (ctlblk.basetime == 0 || log.evthdr.sec < ctlblk.basetime))
      ctlblk.basetime = time_t(log.evthdr.sec);
  }
  kavprt(4, "\n%s\n\n", kSeparator);
  if (given && earliest != 0x7fffffff && ctlblk.basetime > earliest) {
    kavprt(-1, "Selected base time (%s) more recent than earliest session", timetext(ctlblk.basetime).c_str());
    kavprt(-1, " (%s)\n", timetext(time_t(earliest)).c_str());
    return false;
  }
  kavprt(-1, "Base time is %s\n\n", ctlblk.basetime ? timetext(ctlblk.basetime).c_str() : "Unknown");
  return true;
}

void App::print_event_header(unsigned evtno, const kav_evthdr &eh, int layer, int offset) {
  kav_logfile &log = ctlblk.log;
  const kav_session &ses = log.sessions[eh.ses];
  // Delta in 32-bit microseconds, as the format has always carried it;
  // computed unsigned so that hostile time stamps cannot overflow.
  int32_t delta = 0;
  if (have_prev_)
    delta = int32_t(uint32_t((uint64_t(eh.sec) - uint64_t(prev_sec_)) * 1000000u +
                             (uint64_t(eh.usec) - uint64_t(prev_usec_))));
  have_prev_ = true;
  prev_sec_ = eh.sec;
  prev_usec_ = eh.usec;

  if (eh.sec != 0) {
    // Elapsed time since the base, signed so that a frame before it shows
    // as such rather than as a huge count.
    __int128 el_us = (__int128(eh.sec) - ctlblk.basetime) * 1000000 + eh.usec;
    const char *sign = el_us < 0 ? "-" : "";
    unsigned __int128 mag = el_us < 0 ? (unsigned __int128)(-el_us) : (unsigned __int128)el_us;
    unsigned long el_s = (unsigned long)(mag / 1000000), el_u = (unsigned long)(mag % 1000000);
    // Local time only where it is printed: the conversion is not cheap.
    struct tm lt {};
    if (kav_vblvl == 4 || ctlblk.tod_mode) {
      time_t t = time_t(eh.sec);
      if (!localtime_r(&t, &lt)) lt = tm{};
    }
    if (kav_vblvl == 1) {
      kavprt(1, "- Evt=%u: ", evtno);
    } else if (kav_vblvl == 2 || kav_vblvl == 3) {
      if (ctlblk.delta_mode)
        kavprt(2, "- Evt=%u (%s%s): ", evtno, delta < 0 ? "" : "+", commas(delta).c_str());
      else if (ctlblk.tod_mode)
        kavprt(2, "- Evt=%u (%02d:%02d:%02d.%06lu): ", evtno, lt.tm_hour, lt.tm_min, lt.tm_sec,
               (unsigned long)eh.usec);
      else
        put_evt_prefix(evtno, *sign == '-', el_s, el_u);
    }
    kavprt(4, "\n=================== Event %u (%u) ==================== (pkt_off=%u)\n", evtno,
           unsigned(ses.events), unsigned(log.bytes_read - uint64_t(eh.caplen)));
    char usecs[16] = "";
    if (eh.usec != 0 && kav_vblvl == 4) snprintf(usecs, sizeof usecs, "%06u", unsigned(eh.usec));
    kavprt(4, "Session: %u\t\tTime: %02d:%02d:%02d.%s (%s%02d %04d)\n", unsigned(eh.ses) + 1, lt.tm_hour,
           lt.tm_min, lt.tm_sec, usecs, kMonths[lt.tm_mon % 12], lt.tm_mday, lt.tm_year + 1900);
    kavprt(4, "\t%s%lu.%06lu seconds elapsed, Delta = %s%s microseconds\n", sign, el_s, el_u,
           delta < 0 ? "" : "+", commas(delta).c_str());
  } else {
    if (kav_vblvl == 1)
      kavprt(1, "- Evt=%u: ", evtno);
    else if (kav_vblvl == 2 || kav_vblvl == 3)
      kavprt(2, "- Evt=%u (0): ", evtno);
    kavprt(4, "\n=================== Event %u (%u) ==================== (pkt_off=%u)\n", evtno,
           unsigned(ses.events), unsigned(log.bytes_read - uint64_t(eh.caplen)));
    kavprt(4, "Session: %u\t\tTime: Unknown\n", unsigned(eh.ses) + 1);
  }

  switch (eh.type) {
    case KAV_EVT_FRAME:
      kavprt(4, "Packet %u (%u) arrived", unsigned(log.packets), unsigned(ses.trl.frames));
      if (eh.wirelen > eh.caplen)
        kavprt(4, " ... truncated by %u bytes, from %lu", unsigned(eh.wirelen - eh.caplen),
               (unsigned long)eh.wirelen);
      if (offset != 0) kavprt(4, " ... offset=%d", offset);
      kavprt(4, "\n");
      if (layer == KAV_LAYER_STOP) kavprt(4, "\nCompletely unrecognised packet type\n");
      break;
    case KAV_EVT_ERROR:
    case KAV_EVT_FATAL:
    case KAV_EVT_END:
      kavprt(4, "\n");
      kavprt(-1, "%s",
             eh.type == KAV_EVT_ERROR   ? "ERROR on Stream"
             : eh.type == KAV_EVT_FATAL ? "FATAL Error - packet-capture session abandoned"
                                        : "END - packet-capture session terminated normally");
      kavprt(4, "\n");
      break;
    default:
      kavprt(4, "\n");
      kavprt(-1, "??? - unrecognised event, %u (%lu octets)", unsigned(eh.type), (unsigned long)eh.caplen);
      kavprt(4, "\n");
      break;
  }
}

// Text for a pipe is written in large blocks rather than line by line: the
// stream is fully buffered and flushed whenever the next read of the log
// would wait (flush_if_idle), so a live capture still shows every event as
// soon as it has been decoded. Terminals and TOV_STDOUT_NOBUF=y keep lines.
void App::batch_pipe_output() {
  static char buf[kStdioBuf];
  if (!stdout_buf_ || stdout_buf_->mode() != _IOLBF || kav_out() != stdout) return;
  const char *v = getenv(kNobufEnv);
  if ((v && !strcasecmp(v, "y")) || isatty(fileno(stdout))) return;
  fflush(stdout);
  if (setvbuf(stdout, buf, _IOFBF, sizeof buf) == 0) idle_flush_ = true;
}

// Flushes the output unless need octets of the log can be read at once.
void App::flush_if_idle(int64_t need) {
  if (!idle_flush_) return;
  FILE *in = ctlblk.log.stream;
#ifdef __GLIBC__
  if (need >= 0 && in->_IO_read_end - in->_IO_read_ptr >= need) return;
#endif
  // The log is standard input (the watched stream has no descriptor of its own).
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  if (poll(&pfd, 1, 0) == 1) return;
  fflush(stdout);
}

// The next event into the event buffer (flags as kav_read_evt's, 0 or
// KAV_RD_DATA). With idle flushing the header and the data are read apart,
// each after a look at whether the input holds them already.
int App::read_event(int flags, int *truncated) {
  kav_logfile &log = ctlblk.log;
  if (idle_flush_) {
    if (!(flags & KAV_RD_DATA)) {
      flush_if_idle(int64_t(sizeof(kav_evthdr)));
      if (int rc = kav_read_evt(&log, -1, nullptr, 0, KAV_RD_HDR, truncated)) return rc;
    }
    const kav_evthdr &eh = log.evthdr;
    bool closing = eh.type == KAV_EVT_FATAL || eh.type == KAV_EVT_END;
    flush_if_idle(eh.caplen < 0 ? -1 : eh.caplen + (closing ? int64_t(sizeof(kav_sestrl)) : 0));
    flags = KAV_RD_DATA;
  }
  return kav_read_evt(&log, -1, ctlblk.evtbuf, kEvtBufSize, unsigned(flags), truncated);
}

// ahead: the first event's header has been read already (for the base
// time) and only its data is still to come.
void App::run_events(bool ahead) {
  kav_logfile &log = ctlblk.log;
  long matched = 0, rejected = 0;
  unsigned evtno = 0;

  for (;;) {
    int truncated = 0;
    int rc;
    if (ahead) {
      rc = read_event(KAV_RD_DATA, &truncated);
      ahead = false;
    } else if (log.eof) {
      rc = 1;
    } else {
      rc = read_event(0, &truncated);
    }
    if (rc && !log.eof && !truncated && kav_output_gone(1)) output_failed(EPIPE);
    if (rc) {
      if (log.eof) {
        kavprt(4, "\n%s\n", kSeparator);
        kavprt(4, "\nGot End-Of-File, after %u bytes\n", unsigned(log.bytes_read));
        break;
      }
      if (!truncated) {
        kavprt(-1, "\nLogfile Error: %s\n", tvl_usrmsg);
        kavprt(4, "\n%s\n", kSeparator);
        kavprt(-1, "\nAborted log-file analysis, due to fatal error\n");
        failed_ = true;
        break;
      }
      kavprt(4, "\nWARNING: %s\n", tvl_usrmsg);
    }
    evtno++;
    const kav_evthdr &eh = log.evthdr;

    // Selection: one range step per event at most.
    int64_t key = ctlblk.by_time ? eh.sec : int64_t(evtno);
    const Range *cur = &ctlblk.ranges[ctlblk.cur_range];
    if (key < cur->min) continue;
    if (!cur->open && cur->max < key) {
      if (++ctlblk.cur_range >= ctlblk.ranges.size()) break;
      cur = &ctlblk.ranges[ctlblk.cur_range];
      if (cur->min > key) continue;
    }

    kav_session &ses = log.sessions[eh.ses];
    int caplen = int(eh.caplen);
    int layer = 2, proto = 0, offset = 0;
    if (eh.type == KAV_EVT_FRAME) {
      unsigned capflags = unsigned(ses.hdr.capflags);
      int linktype = int(ses.hdr.linktype);
      if (ctlblk.workaround_swap && linktype == KAV_DL_ETHER && (capflags & 0x5) == 0x1 && caplen >= 14) {
        unsigned char t = ctlblk.evtbuf[12];
        ctlblk.evtbuf[12] = ctlblk.evtbuf[13];
        ctlblk.evtbuf[13] = t;
      }
      if (ctlblk.filter) {
        if (!kav_filt_match(ctlblk.filter, ctlblk.evtbuf, caplen, linktype, &layer, &proto, &offset, capflags)) {
          rejected++;
          continue;
        }
        matched++;
      } else if (!ctlblk.export_type) {
        proto = kav_proto_id_n(linktype, ctlblk.evtbuf, caplen, &layer, &offset, capflags);
      }
      if (ctlblk.export_type) {
        if (export_packet(&export_, &eh, ctlblk.evtbuf, capflags & KAV_CAP_RAW)) {
          fprintf(stderr, "%s\n", tvl_usrmsg);
          failed_ = true;
          break;
        }
        continue;
      }
      if (offset < 0 || offset > caplen) offset = caplen;
    } else {
      if (ctlblk.filter || ctlblk.export_type) continue;
      // Messages are text; anything unknown is shown as a dump.
      layer = eh.type >= KAV_EVT_ERROR && eh.type <= KAV_EVT_END ? 0 : 1;
    }

    print_event_header(evtno, eh, layer, offset);
    unsigned missing = eh.wirelen > eh.caplen ? unsigned(eh.wirelen - eh.caplen) : 0;
    kav_pktctx ctx;
    print_pkt(layer, proto, ctlblk.evtbuf + offset, caplen - offset, missing, &ctx);
    // Triggers act on frames; the stream's own messages are not packets.
    if (trigger_defined() && eh.type == KAV_EVT_FRAME) {
      kav_trigevt te{eh.sec, eh.usec, log.packets, unsigned(eh.ses) + 1, uint64_t(ses.trl.frames)};
      run_trigger(&ctx, &te);
    }
    check_output();
  }
  if (!ctlblk.export_type)
    print_statistics(matched, rejected);
  else if (!failed_ && export_end(&export_)) {
    fprintf(stderr, "%s\n", tvl_usrmsg);
    failed_ = true;
  }
}

void App::print_statistics(long matched, long rejected) {
  kav_logfile &log = ctlblk.log;
  kavprt(-1, "\n");
  if (ctlblk.filter) kavprt(-1, "\n%ld/%ld packets matched the kavpan filter\n", matched, matched + rejected);
  kavprt(4, "\n\nStatistics for each session:\n");
  int64_t tev = 0, tpk = 0, tby = 0;
  for (int i = 0; i < log.hdr.nsessions; i++) {
    const kav_session &s = log.sessions[i];
    int64_t d = s.trl.duration < 0 ? 0 : s.trl.duration;
    kavprt(4, "\nSession %u: Events=%s  Packets=%s  Bytes=%s  Duration=%02d:%02d:%02d\n", unsigned(i + 1),
           commas(int64_t(s.events)).c_str(), commas(s.trl.frames).c_str(), commas(s.trl.octets).c_str(),
           int(d / 3600), int(d / 60 % 60), int(d % 60));
    if (s.trl.rejected == -1)
      kavprt(4, "\tRejected Traffic: Packets=%s  Bytes=%s\n", "unknown", "unknown");
    else
      kavprt(4, "\tRejected Traffic: Packets=%s  Bytes=%s\n", commas(s.trl.rejected).c_str(),
             commas(s.trl.rej_octets).c_str());
    tev += int64_t(s.events);
    tpk += s.trl.frames;
    tby += s.trl.octets;
  }
  if (log.hdr.nsessions >= 2)
    kavprt(4, "\nCumulative Totals: Events=%s  Packets=%s  Bytes=%s\n", commas(tev).c_str(), commas(tpk).c_str(),
           commas(tby).c_str());
}

int App::appRun() {
  if (ctlblk.init_failed) fail_exit();
  if (ctlblk.raw_input) {
    int rc = raw_decode(ctlblk.raw_layer, ctlblk.raw_proto, ctlblk.raw_pseudo, ctlblk.raw_offset, ctlblk.raw_max);
    if (rc) fail_exit();
    fflush(stdout);
    check_output();
    return 0;
  }
  ctlblk.evtbuf = static_cast<unsigned char *>(calloc(1, kEvtBufSize + 8));
  if (!ctlblk.evtbuf) {
    fprintf(stderr, "malloc(%d) failed for event buffer\n", kEvtBufSize);
    fail_exit();
  }
  kav_logfile &log = ctlblk.log;
  memset(&log, 0, sizeof log);
  // Standard input, read so that a pipeline whose output reader has gone
  // ends at once instead of waiting for the next event.
  log_in_ = kav_watched_input(0, 1);
  if (!log_in_) {
    fprintf(stderr, "Logfile: %s\n", tvl_usrmsg);
    fail_exit();
  }
  static char inbuf[kStdioBuf];
  setvbuf(log_in_, inbuf, _IOFBF, sizeof inbuf);
  log.stream = log_in_;
  tvl_usrmsg[0] = '\0';
  if (kav_read_loghdr(&log, nullptr, 0)) {
    if (kav_output_gone(1)) output_failed(EPIPE);
    if (foreign_capture(reinterpret_cast<const unsigned char *>(&log.hdr)))
      fprintf(stderr, "Logfile: %s\n",
              "this is a pcap/pcapng capture; import it with: kav_import -x Tcpdump < FILE | kavpan");
    else
      fprintf(stderr, "Logfile: %s\n", tvl_usrmsg);
    fail_exit();
  }
  if (tvl_usrmsg[0]) fprintf(stderr, "%s\n", tvl_usrmsg);  // minor-version warning
  if (log.hdr.nsessions < 1) {
    fprintf(stderr, "Logfile: Invalid number of sessions (%d)\n", int(log.hdr.nsessions));
    fail_exit();
  }
  int64_t earliest = 0;
  if (read_sessions(&earliest)) fail_exit();

  if (!ctlblk.export_type)
    print_banners();
  else if (export_begin(&export_, stdout, ctlblk.export_type, log.sessions, log.hdr.nsessions, ctlblk.raw2null))
    fail_exit();
  check_output();
  if (!ctlblk.export_type) batch_pipe_output();
  // Read the first event's header now: its time may be the base time.
  flush_if_idle(int64_t(sizeof(kav_evthdr)));
  int dummy = 0;
  bool hdr_failed = kav_read_evt(&log, -1, nullptr, 0, KAV_RD_HDR, &dummy) != 0 && !log.eof;
  if (hdr_failed && kav_output_gone(1)) output_failed(EPIPE);
  // An export says nothing about the base time unless -b asks for a check.
  if ((!ctlblk.export_type || ctlblk.basetime_given) && !settle_basetime(earliest)) {
    check_output();
    free_resources();
    return 0;
  }
  kavprt(4, "Analysis of interface events follows ...\n");
  if (hdr_failed) {
    kavprt(-1, "\nLogfile Error: %s\n", tvl_usrmsg);
    kavprt(4, "\n%s\n", kSeparator);
    kavprt(-1, "\nAborted log-file analysis, due to fatal error\n");
    failed_ = true;
    if (!ctlblk.export_type) print_statistics(0, 0);
  } else {
    run_events(!log.eof);
  }
  fflush(stdout);
  // A failed export has told why already.
  if (!(ctlblk.export_type && failed_)) check_output();
  if (failed_) fail_exit();
  return 0;
}

void App::appUsage() const {
  const char *p = tvl_prognam ? tvl_prognam : "kavpan";
  FILE *o = stdout;
  fprintf(o, "\n%s\n", appTitle());
  fprintf(o, "USAGE:\n");
  fprintf(o,
          "%s [-%c | -%c] [-%c level] [{-%c | -%c} event-list] [-%c YYMMDD-hhmmss] [-%c] \\\n\t[-%c | %c] "
          "[{-%c | -%c} proto] [-%c len] [-%c expr | -%c filename] \\\n\t[-%c action | -%c filename] [-%c id[, "
          "...]] [shorthand filter-spec]\n",
          p, 'n', 'N', 'v', 'e', 'E', 'b', 'd', 't', 'T', 'u', 'U', 'l', 'f', 'F', 'a', 'A', 'k');
  fprintf(o,
          "%s -%c logtype [{-%c | -%c} event-list] [-%c expr | -%c filename] \\\n\t[-%c id[, ...]] [shorthand "
          "filter-spec]\n",
          p, 'x', 'e', 'E', 'f', 'F', 'k');
  fprintf(o, "%s -%c format [-%c start[:max]] [-%c | -%c] [-%c level] [{-%c | -%c} proto] \\\n\t[-%c len]\n", p,
          'r', 'o', 'n', 'N', 'v', 'u', 'U', 'l');
  fprintf(o, "%s -%c\n", p, 'h');
  fprintf(o, "\n");
  fprintf(o, "  -%c: Print IP addresses in numeric form.\n", 'n');
  fprintf(o, "  -%c: Print all addresses and protocols in numeric form.\n", 'N');
  fprintf(o, "  -%c: Verbosity, 1 to 4. Default is 2, 4 is an exhaustive dump.\n", 'v');
  fprintf(o, "  -%c: Print selected events only. Comma-separated numeric list, where each item\n", 'e');
  fprintf(o, "      is 'number' or 'min-max'.\n");
  fprintf(o, "      Event 0 is the log header, and \"n-0\", where n > 0, means no upper limit.\n");
  fprintf(o, "  -%c: Same as '-%c', except numbers are replaced by YYMMDD:hhmmss local time-\n", 'E', 'e');
  fprintf(o, "      stamps. '0' is used in same way as in '-%c'.\n", 'e');
  fprintf(o, "  -%c: Base time to use, when printing time intervals in short summary mode.\n", 'b');
  fprintf(o, "      Defaults to start time of earliest session in log file.\n");
  fprintf(o, "  -%c: Dump TEXT protocols in format specified by $KAV_DUMPFMT.\n", 'd');
  fprintf(o, "  -%c: Print short-summary timestamps in delta format, ie. as no. of microseconds\n", 't');
  fprintf(o, "      elapsed since previous packet (default is time since start of session).\n");
  fprintf(o, "  -%c: Print short-summary timestamps in time-of-day format (default is time\n", 'T');
  fprintf(o, "      since start of session).\n");
  fprintf(o, "  -%c: Interpret unrecognised TCP/UDP ports as protocols of this type.\n", 'u');
  fprintf(o, "      Numeric <proto> means use that TCP/UDP port, else use one of these:\n");
  fprintf(o, "%8s%s\n", "", kav_pseudo_list());
  fprintf(o, "  -%c: Like '-%c', but force all TCP/UDP ports to be decoded this way.\n", 'U', 'u');
  fprintf(o, "  -%c: Length of ASCII layer-5 protocols to dump. This only applies to the\n", 'l');
  fprintf(o, "      short-summary modes, and the default is %d.\n", 15);
  fprintf(o, "  -%c: Specify a filter expression.\n", 'f');
  fprintf(o, "  -%c: Specify a file containing a filter expression.\n", 'F');
  fprintf(o, "  -%c: Specify a trigger action.\n", 'a');
  fprintf(o, "  -%c: Specify a file containing a trigger action.\n", 'A');
  fprintf(o, "  -%c: Export Velmora log file to a different format. Valid types are:\n", 'x');
  fprintf(o, "      %s, %s, %s, %s\n", "Snoop", "Tcpdump", "IP", "Ethernet");
  fprintf(o, "  -%c: Input file is a raw packet, not a kavtap log file.\n", 'r');
  fprintf(o, "      <format> is <layer.protocol>, or one of the '-%c' types (eg. \"ASN1\").\n", 'u');
  fprintf(o, "  -%c: Offset in input file at which raw packet begins (and its max size).\n", 'o');
  fprintf(o, "  -%c: Various workarounds, to handle OS bugs, etc. Valid IDs are:\n", 'k');
  fprintf(o, "      %d: byte-swap Ethernet Type/Length field (eg. dp has this the wrong way\n", 1);
  fprintf(o, "         round, on Solaris x86).\n");
  fprintf(o, "  -%c: Display this usage synopsis.\n", 'h');
  fprintf(o, "\n");
  fflush(o);
}

// The one application object; the framework's main() finds it.
App app;
