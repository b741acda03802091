// Routines shared by the tap's program and its capture modules.
#include "tapsupp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

tap_ctlblk ctlblk;
sigset_t tap_waitmask;

// ---- log images ------------------------------------------------------------
// The session header, event header and trailer are fixed byte layouts; they
// are filled by offset so that what goes to the file is exactly the layout.

static kav_session &ses0() { return ctlblk.log.sessions[0]; }
static unsigned char *hdr_img() { return reinterpret_cast<unsigned char *>(&ses0().hdr); }
static unsigned char *evt_img() { return reinterpret_cast<unsigned char *>(&ses0().evthdr); }
static unsigned char *trl_img() { return reinterpret_cast<unsigned char *>(&ses0().trl); }

static void put64(unsigned char *p, int64_t v) { std::memcpy(p, &v, 8); }
static int64_t get64(const unsigned char *p) {
  int64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

kav_evthdr *tap_evthdr() { return &ses0().evthdr; }

void tap_fill_seshdr(const tap_dev *dev, long start, const char *filter, int snaplen, unsigned int capflags,
                     const char *host) {
  unsigned char *h = hdr_img();
  std::memset(h, 0, 216);
  std::memcpy(h, host, strnlen(host, 64));
  put64(h + 72, start);
  std::memcpy(h + 80, dev->ifname, strnlen(dev->ifname, 32));
  std::memcpy(h + 116, &dev->ipaddr, 4);
  put64(h + 120, static_cast<int64_t>(static_cast<int32_t>(dev->netmask)));
  put64(h + 128, dev->mtu);
  put64(h + 136, snaplen);
  put64(h + 144, filter ? static_cast<int64_t>(std::strlen(filter) + 1) : 0);
  put64(h + 152, capflags);
  put64(h + 160, dev->linktype);
  put64(h + 168, dev->parm1);
  put64(h + 176, dev->parm2);
  long hwlen = dev->hwlen < 0 ? 0 : (dev->hwlen > 24 ? 24 : dev->hwlen);
  put64(h + 184, hwlen);
  std::memcpy(h + 192, dev->hwaddr, hwlen);
  ses0().filter = const_cast<char *>(filter);
}

long tap_session_start() { return static_cast<long>(get64(hdr_img() + 72)); }

static void fill_evt(unsigned char *e, int type, long sec, long usec, long caplen, long wirelen) {
  std::memset(e, 0, 40);
  e[0] = 0;
  e[1] = static_cast<unsigned char>(type);
  put64(e + 8, sec);
  put64(e + 16, usec);
  put64(e + 24, caplen);
  put64(e + 32, wirelen);
}

static void set_evt(int type, long sec, long usec, long caplen, long wirelen) {
  fill_evt(evt_img(), type, sec, usec, caplen, wirelen);
}

void tap_reject(uint64_t wirelen) {
  unsigned char *t = trl_img();
  put64(t + 24, get64(t + 24) + 1);
  put64(t + 32, get64(t + 32) + static_cast<int64_t>(wirelen));
}

// Frames bound for a log in a regular file are gathered here and written in
// large pieces: the bytes are those the log writer would write, without its
// stdio calls for every event. Events are counted as the writer counts them,
// when they are taken. A pipe keeps the writer's flush after every event, and
// count-only mode writes no frames, so both go through the writer.
namespace {

constexpr size_t STAGE_SIZE = 128 * 1024;

struct frame_stage {
  int state;  // 0 not chosen yet, 1 in use, 2 not used
  int fd;
  unsigned char *buf;
  size_t used;
  bool stdio_flushed;
};
frame_stage stage;

const char *stage_errtxt(int e) { return e ? tap_errtxt(e) : "UNKNOWN"; }

bool stage_on() {
  if (stage.state == 0) {
    stage.state = 2;
    if (!ctlblk.count_only && !ctlblk.log.nobuf && ctlblk.log.stream) {
      stage.buf = static_cast<unsigned char *>(std::malloc(STAGE_SIZE));
      if (stage.buf) {
        stage.fd = fileno(ctlblk.log.stream);
        stage.state = 1;
      }
    }
  }
  return stage.state == 1;
}

// Writes the pieces completely. Returns the bytes written; *err is -1, or the
// error number of a failed write.
size_t write_all(struct iovec *v, int n, int *err) {
  size_t done = 0;
  *err = -1;
  if (!stage.stdio_flushed) {
    // What the log writer still holds (log and session headers) goes first.
    errno = 0;
    if (std::fflush(ctlblk.log.stream) != 0) {
      *err = errno;
      return 0;
    }
    stage.stdio_flushed = true;
  }
  while (n > 0) {
    ssize_t w = writev(stage.fd, v, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      *err = w < 0 ? errno : 0;
      return done;
    }
    done += static_cast<size_t>(w);
    while (n > 0 && static_cast<size_t>(w) >= v->iov_len) {
      w -= static_cast<ssize_t>(v->iov_len);
      v++;
      n--;
    }
    if (n > 0) {
      v->iov_base = static_cast<unsigned char *>(v->iov_base) + w;
      v->iov_len -= static_cast<size_t>(w);
    }
  }
  return done;
}

int stage_failed() {
  std::fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
  ctlblk.failed = 2;
  return 1;
}

// Empties the stage. A failure is told as the failure to write the event
// header that was about to go in.
int stage_drain() {
  if (stage.used == 0) return 0;
  struct iovec v = {stage.buf, stage.used};
  int e;
  write_all(&v, 1, &e);
  stage.used = 0;
  if (e < 0) return 0;
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte event-header=%d - errno=%d [%s]",
                static_cast<unsigned long>(sizeof(kav_evthdr)), 1, e, stage_errtxt(e));
  return 1;
}

void count_frame(long wirelen) {
  unsigned char *t = trl_img();
  ctlblk.log.events++;
  ses0().events++;
  ctlblk.log.packets++;
  ctlblk.log.octets += static_cast<uint64_t>(wirelen);
  put64(t + 8, static_cast<int64_t>(static_cast<uint64_t>(get64(t + 8)) + 1));
  put64(t + 16, static_cast<int64_t>(static_cast<uint64_t>(get64(t + 16)) + static_cast<uint64_t>(wirelen)));
}

int stage_frame(long sec, long usec, long caplen, long wirelen, const void *data) {
  const size_t need = sizeof(kav_evthdr) + static_cast<size_t>(caplen);
  if (STAGE_SIZE - stage.used < need && stage_drain()) return stage_failed();
  if (need <= STAGE_SIZE) {
    unsigned char *e = stage.buf + stage.used;
    fill_evt(e, 1, sec, usec, caplen, wirelen);
    if (caplen > 0) std::memcpy(e + sizeof(kav_evthdr), data, static_cast<size_t>(caplen));
    stage.used += need;
  } else {
    // Larger than the stage: straight out, header and data together.
    unsigned char h[sizeof(kav_evthdr)];
    fill_evt(h, 1, sec, usec, caplen, wirelen);
    struct iovec v[2] = {{h, sizeof h}, {const_cast<void *>(data), static_cast<size_t>(caplen)}};
    int e;
    size_t done = write_all(v, 2, &e);
    if (e >= 0) {
      if (done < sizeof h)
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte event-header=%d - errno=%d [%s]",
                      static_cast<unsigned long>(sizeof h), 1, e, stage_errtxt(e));
      else
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %ld-byte event-%d - errno=%d [%s]", caplen,
                      1, e, stage_errtxt(e));
      return stage_failed();
    }
  }
  count_frame(wirelen);
  return 0;
}

}  // namespace

int tap_flush_frames() {
  if (stage.state != 1 || stage.used == 0) return 0;
  return stage_drain() ? stage_failed() : 0;
}

int tap_write_frame(long sec, long usec, long caplen, long wirelen, const void *data) {
  if (stage_on()) return stage_frame(sec, usec, caplen, wirelen, data);
  set_evt(1, sec, usec, caplen, wirelen);
  if (kav_write_evt(&ctlblk.log, 0, data, ctlblk.count_only) != 0) {
    std::fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    ctlblk.failed = 2;
    return 1;
  }
  return 0;
}

void tap_output_lost() {
  if (ctlblk.failed == 2) return;
  std::fprintf(stderr, "Outfile: Output closed by its reader - errno=%d [%s]\n", EPIPE, tap_errtxt(EPIPE));
  ctlblk.failed = 2;
}

int tap_progress_text(char *buf, size_t size, int *width, uint64_t count) {
  size_t n = 0;
  for (int i = 0; i < *width && n + 1 < size; i++) buf[n++] = '\b';
  int w = std::snprintf(buf + n, size - n, "%5lu", static_cast<unsigned long>(count));
  if (w < 0) w = 0;
  *width = w;
  n += static_cast<size_t>(w);
  return static_cast<int>(n < size ? n : size - 1);
}

int write_ctlevt(int type, const char *msg) {
  if (ctlblk.server) return 0;
  // Frames still held go before the control event.
  if (tap_flush_frames()) return 1;
  struct timeval now;
  gettimeofday(&now, nullptr);
  long len = msg ? static_cast<long>(std::strlen(msg) + 1) : 0;
  set_evt(type, now.tv_sec, now.tv_usec, len, len);
  if (type == 3 || type == 4) put64(trl_img(), now.tv_sec - tap_session_start());
  // Control events are always written, also in count-only mode: the
  // trailer that follows them must not stand without its event header.
  if (kav_write_evt(&ctlblk.log, 0, msg, 0) != 0) {
    std::fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    return 1;
  }
  return 0;
}

// ---- rates -----------------------------------------------------------------

const char *asctimdat(long secs) {
  static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static char buf[21];
  time_t t = secs;
  struct tm tmv;
  localtime_r(&t, &tmv);
  std::snprintf(buf, sizeof buf, "%s%02d %02d:%02d:%02d", months[tmv.tm_mon % 12], tmv.tm_mday % 100,
                tmv.tm_hour % 100, tmv.tm_min % 100, tmv.tm_sec % 100);
  return buf;
}

static long next_boundary(long t, int interval) { return ((t + 1 + interval - 1) / interval) * interval; }

void update_freqfile(FILE *out, tap_rates *st, long t) {
  if (ctlblk.server) {
    unsigned char rec[8];
    uint32_t octets = htonl(static_cast<uint32_t>(st->bytes));
    uint32_t frames = htonl(static_cast<uint32_t>(st->count));
    std::memcpy(rec, &octets, 4);
    std::memcpy(rec + 4, &frames, 4);
    if (std::fwrite(rec, 1, 8, out) != 8 || std::fflush(out) != 0) ctlblk.stop = 1;
  } else {
    int iv = ctlblk.interval > 0 ? ctlblk.interval : 1;
    char b1[32], b2[32], b3[32];
    if (st->next - st->prev > iv) std::fprintf(out, "idle\n");
    long hundredths = static_cast<long>((st->count * 100 / iv) % 100);
    std::fprintf(out, "%s%12s.%02ld%19s%22s\n", asctimdat(st->next),
                 comma_number(static_cast<int>(st->count / iv), b1, 0), hundredths,
                 comma_number(static_cast<int>(st->bytes / iv), b2, 0),
                 comma_number(static_cast<int>(ctlblk.log.packets), b3, 0));
  }
  st->count = 0;
  st->bytes = 0;
  st->prev = st->next;
  st->next = next_boundary(t, ctlblk.interval > 0 ? ctlblk.interval : 1);
}

void tap_rate_account(FILE *out, tap_rates *st, long t, uint64_t wirelen) {
  if (!st) return;
  if (t >= st->next && st->count != 0) update_freqfile(out, st, t);
  st->count++;
  st->bytes += wirelen;
}

// ---- filter text -----------------------------------------------------------

void tap_normalise_filter(char *text) {
  char *w = text;
  for (char *r = text; *r; r++) {
    if (*r == '\n' || *r == '\r') continue;
    *w++ = (*r == '\t') ? ' ' : *r;
  }
  *w = '\0';
  // Strip, collapse runs of blanks, strip again.
  char *s = text;
  while (*s == ' ') s++;
  w = text;
  for (char *r = s; *r; r++) {
    if (*r == ' ' && w > text && w[-1] == ' ') continue;
    *w++ = *r;
  }
  while (w > text && w[-1] == ' ') w--;
  *w = '\0';
}

// ---- subnet table ----------------------------------------------------------

static void strip_blanks(char *s) {
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) s[--n] = '\0';
  size_t i = 0;
  while (s[i] == ' ' || s[i] == '\t') i++;
  if (i) std::memmove(s, s + i, n - i + 1);
}

int tap_load_netmasks(const char *path, tap_subnet **table, int *count) {
  *table = nullptr;
  *count = 0;
  FILE *f = std::fopen(path, "r");
  if (!f) {
    if (errno == ENOENT) return 0;
    int e = errno;
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "fopen(%s) failed, errno=%d [%s]", path, e, tap_errtxt(e));
    return 1;
  }
  char line[256];
  int lineno = 0, cap = 0;
  tap_subnet *tab = nullptr;
  int rc = 0;
  while (std::fgets(line, sizeof line, f)) {
    lineno++;
    if (!std::strchr(line, '\n') && !std::feof(f)) {
      // Overlong line: keep its first part, drop the rest.
      int c;
      while ((c = std::fgetc(f)) != EOF && c != '\n') {
      }
    }
    line[200] = '\0';
    strip_blanks(line);
    if (line[0] == '\0' || line[0] == '#') continue;
    char *sep = line + std::strcspn(line, " \t");
    if (*sep == '\0') {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s is corrupt, no white space on line %d [%s]", path, lineno,
                    line);
      rc = 1;
      break;
    }
    *sep = '\0';
    char *maskp = sep + 1;
    strip_blanks(maskp);
    struct in_addr net, mask;
    if (!tinet_dotted_ip(line) || inet_aton(line, &net) == 0) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s is corrupt, can't parse network number on line %d [%s]",
                    path, lineno, line);
      rc = 1;
      break;
    }
    if (!tinet_dotted_ip(maskp) || inet_aton(maskp, &mask) == 0) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s is corrupt, can't parse subnet mask on line %d [%s %s]",
                    path, lineno, line, maskp);
      rc = 1;
      break;
    }
    if (*count == cap) {
      tap_subnet *n = static_cast<tap_subnet *>(std::realloc(tab, sizeof(tap_subnet) * (cap + 10)));
      if (!n) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Out of memory on subnet list (%d)", cap + 10);
        rc = 1;
        break;
      }
      tab = n;
      cap += 10;
    }
    uint32_t m = ntohl(mask.s_addr);
    tab[*count].mask = m;
    tab[*count].net = ntohl(net.s_addr) & m;
    (*count)++;
  }
  std::fclose(f);
  if (rc) {
    std::free(tab);
    *count = 0;
    return 1;
  }
  *table = tab;
  return 0;
}

int tap_netmask(uint32_t addr, uint32_t ifmask, const tap_subnet *table, int count, uint32_t *mask) {
  uint32_t m = ifmask;
  if ((addr >> 24) > 223) {
    struct in_addr a;
    a.s_addr = htonl(addr);
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s is not a valid host address", inet_ntoa(a));
    return 1;
  }
  int best = -1;
  for (int i = 0; i < count; i++) {
    if ((addr & table[i].mask) != table[i].net) continue;
    if (best < 0 || __builtin_popcount(table[i].mask) > __builtin_popcount(table[best].mask)) best = i;
  }
  if (best >= 0) m = table[best].mask;
  *mask = m;
  return 0;
}

const char *tap_errtxt(int err) {
  const char *t = strerror(err);
  return t ? t : "UNKNOWN";
}
