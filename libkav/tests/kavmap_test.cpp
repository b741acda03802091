// Logs read from mapped windows and written by gathered writes: the same
// events, bytes, counters and messages as through stdio, whatever the window
// size; data referred to outlives one window move; a file that grows is read
// on, one that shrinks is a failure.
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <tuple>
#include <sys/mman.h>
#include <sys/stat.h>

namespace {

std::vector<uint8_t> pattern(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(i * 13 + seed);
  return v;
}

void fill_session(kav_session *s, const char *ifname, const char *filter) {
  strcpy(s->hdr.hostname, "probe2");
  strcpy(s->hdr.ifname, ifname);
  s->hdr.start = 1700000000;
  s->hdr.snaplen = -1;
  s->hdr.linktype = KAV_DL_ETHER;
  if (filter) {
    s->filter = const_cast<char *>(filter);
    s->hdr.filtlen = (int64_t)strlen(filter) + 1;
  }
}

int put_event(kav_logfile *log, int ses, int type, int64_t sec, const std::vector<uint8_t> &data, bool ref = false) {
  kav_evthdr *h = &log->sessions[ses].evthdr;
  memset(h, 0, sizeof *h);
  h->ses = (unsigned char)ses;
  h->type = (unsigned char)type;
  h->sec = sec;
  h->usec = sec % 1000;
  h->caplen = (int64_t)data.size();
  h->wirelen = (int64_t)data.size() + 4;
  return ref ? kav_write_evt_ref(log, ses, data.data()) : kav_write_evt(log, ses, data.data(), 0);
}

// Two sessions, events of every size from empty to longer than the reader's
// buffer, both sessions closed by their trailers. gathered: written by
// reference, kav_gather_output giving gather_result.
void write_log(FILE *out, bool gathered, int nevents = 120, int gather_result = 1) {
  kav_logfile log{};
  log.stream = out;
  log.hdr.nsessions = 2;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0) << tvl_usrmsg;
  fill_session(&log.sessions[0], "eth0", "tcp or udp");
  fill_session(&log.sessions[1], "eth1", nullptr);
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0) << tvl_usrmsg;
  ASSERT_EQ(kav_write_seshdr(&log, 1), 0) << tvl_usrmsg;
  if (gathered) {
    ASSERT_EQ(kav_gather_output(&log), gather_result);
  }
  std::vector<std::vector<uint8_t>> keep;  // referred-to data lives until the log is closed
  for (int i = 0; i < nevents; i++) {
    size_t len = i % 17 == 5 ? 20000 + (size_t)i : (size_t)(i * 997 % 5000);
    keep.push_back(pattern(len, i));
    ASSERT_EQ(put_event(&log, i % 2, i % 11 == 3 ? KAV_EVT_ERROR : KAV_EVT_FRAME, 100 + i, keep.back(), i % 3 != 0),
              0)
        << tvl_usrmsg;
  }
  log.sessions[0].trl.duration = 7;
  ASSERT_EQ(put_event(&log, 0, KAV_EVT_END, 900, {}), 0);
  ASSERT_EQ(put_event(&log, 1, KAV_EVT_FATAL, 901, pattern(33, 1)), 0);
  ASSERT_EQ(kav_flush_logfile(&log), 0) << tvl_usrmsg;
  kav_close_logfile(&log);
}

std::vector<uint8_t> log_bytes(bool gathered, int nevents = 120) {
  TempPath t;
  FILE *f = fopen(t.path.c_str(), "w");
  write_log(f, gathered, nevents);
  fclose(f);
  return t.bytes();
}

// Everything a reader sees of one read call.
struct Seen {
  int result, eof, trunc;
  std::string msg;
  kav_evthdr hdr;
  std::vector<uint8_t> data;
  uint64_t events, packets, octets, bytes_read;
  kav_sestrl trl[2];
  const void *at;  // where the data was delivered (not compared)
  bool operator==(const Seen &o) const {
    return result == o.result && eof == o.eof && trunc == o.trunc && msg == o.msg &&
           !memcmp(&hdr, &o.hdr, sizeof hdr) && data == o.data && events == o.events && packets == o.packets &&
           octets == o.octets && bytes_read == o.bytes_read && !memcmp(trl, o.trl, sizeof trl);
  }
};

// Opens a log of write_log's with its headers read; window: then mapped,
// with the result of kav_map_input.
int open_log(kav_logfile *log, const std::string &path, size_t window) {
  *log = kav_logfile{};
  log->path = path.c_str();
  if (kav_read_loghdr(log, nullptr, 16384) || kav_read_seshdr(log, 0) || kav_read_seshdr(log, 1)) {
    ADD_FAILURE() << tvl_usrmsg;
    return -1;
  }
  return window ? kav_map_input(log, window) : 0;
}

// One read call as the merger makes them, header (even step) or data (odd
// step). mapped: data taken by reference comes from the mapping.
Seen read_step(kav_logfile *log, std::vector<uint8_t> &buf, int step, bool mapped, bool ref) {
  Seen s{};
  strcpy(tvl_usrmsg, "-");
  bool data = step % 2 == 1;
  const void *at = buf.data();
  s.result = ref ? kav_read_evt_ref(log, -1, buf.data(), 17000, data ? KAV_RD_DATA : KAV_RD_HDR, &s.trunc, &at)
                 : kav_read_evt(log, -1, buf.data(), 17000, data ? KAV_RD_DATA : KAV_RD_HDR, &s.trunc);
  s.eof = log->eof;
  if (s.result) s.msg = tvl_usrmsg;
  s.hdr = log->evthdr;
  s.at = at;
  if (data && (s.result == 0 || s.trunc)) {
    const uint8_t *d = static_cast<const uint8_t *>(at);
    s.data.assign(d, d + log->evthdr.caplen);
    if (ref && log->evthdr.caplen > 0) {
      EXPECT_EQ(at != buf.data(), mapped);
    }
  }
  s.events = log->events;
  s.packets = log->packets;
  s.octets = log->octets;
  s.bytes_read = log->bytes_read;
  s.trl[0] = log->sessions[0].trl;
  s.trl[1] = log->sessions[1].trl;
  return s;
}

bool last_step(const Seen &s) { return s.result && !s.trunc; }

// Reads the log at path to its end, header and data in separate calls as the
// merger does. window 0: through stdio; else mapped, the data taken by
// reference when ref is set.
std::vector<Seen> read_log(const std::string &path, size_t window, bool ref, uint64_t *moves = nullptr) {
  std::vector<Seen> seen;
  kav_logfile log;
  tvl_usrmsg[0] = 0;
  EXPECT_EQ(open_log(&log, path, window), window ? 1 : 0);
  std::vector<uint8_t> buf(17000);
  for (int step = 0; step < 1000; step++) {
    seen.push_back(read_step(&log, buf, step, window != 0, ref));
    if (last_step(seen.back())) break;
  }
  if (moves) *moves = kav_map_moves(&log);
  kav_close_logfile(&log);
  return seen;
}

TEST(KavMap, ReadsLikeStdioWhateverTheWindow) {
  TempPath t;
  std::vector<uint8_t> full = log_bytes(false);
  ASSERT_GT(full.size(), 300000u);
  // The whole log, and logs cut inside a trailer, inside event data, inside
  // the last header (whose bytes up to the cut arrive, as from stdio), and
  // anywhere else.
  for (size_t cut : {full.size(), full.size() - 1, full.size() - 20, full.size() - 60, full.size() - 70,
                     full.size() - 100, full.size() / 2, (size_t)5000, (size_t)700}) {
    SCOPED_TRACE(cut);
    t.write(std::vector<uint8_t>(full.begin(), full.begin() + (long)cut));
    std::vector<Seen> want = read_log(t.path, 0, false);
    ASSERT_GT(want.size(), 1u);
    EXPECT_EQ(want.back().result, 1);
    for (size_t window : {(size_t)1, (size_t)4096, (size_t)3 * 4096 + 5, (size_t)64 << 20}) {
      SCOPED_TRACE(window);
      uint64_t moves = 0;
      EXPECT_TRUE(read_log(t.path, window, false) == want);
      EXPECT_TRUE(read_log(t.path, window, true, &moves) == want);
      if (window < 8192 && cut == full.size()) {
        EXPECT_GT(moves, 30u);
      }
    }
  }
  // The whole log ends where it should, with both trailers read.
  t.write(full);
  std::vector<Seen> all = read_log(t.path, 4096, true);
  EXPECT_EQ(all.back().eof, 1);
  EXPECT_EQ(all.back().msg, "-");
  EXPECT_EQ(all.back().bytes_read, full.size());
  EXPECT_EQ(all.back().trl[0].duration, 7);
  EXPECT_EQ((uint64_t)(all.back().trl[0].frames + all.back().trl[1].frames), all.back().packets);
  EXPECT_GT(all.back().packets, 100u);
}

TEST(KavMap, DataReferredToOutlivesOneWindowMove) {
  TempPath t;
  t.write(log_bytes(false));
  kav_logfile log;
  ASSERT_EQ(open_log(&log, t.path, 4096), 1);
  std::vector<uint8_t> buf(17000);
  const void *before = nullptr;
  std::vector<uint8_t> before_want;
  uint64_t moved_over = 0;
  for (int i = 0;; i++) {
    uint64_t moves = kav_map_moves(&log);
    const void *at = nullptr;
    int trunc = 0;
    int r = kav_read_evt_ref(&log, -1, buf.data(), 17000, 0, &trunc, &at);
    if (r && !trunc) break;
    // The event before this one is intact however far the window went for this one.
    if (before && kav_map_moves(&log) == moves + 1) {
      moved_over++;
      EXPECT_TRUE(kav_map_holds(&log, before));
      EXPECT_EQ(0, memcmp(before, before_want.data(), before_want.size())) << i;
    }
    before = log.evthdr.caplen ? at : nullptr;
    before_want.assign(static_cast<const uint8_t *>(at), static_cast<const uint8_t *>(at) + log.evthdr.caplen);
  }
  EXPECT_GT(moved_over, 20u);
  int x = 0;
  EXPECT_FALSE(kav_map_holds(&log, &x));
  kav_close_logfile(&log);
}

TEST(KavMap, AFileThatGrowsIsReadOnOneThatShrinksFails) {
  std::vector<uint8_t> full = log_bytes(false);
  size_t head = 50000;
  TempPath t;
  t.write(std::vector<uint8_t>(full.begin(), full.begin() + (long)head));
  std::vector<Seen> want;
  {
    TempPath w;
    w.write(full);
    want = read_log(w.path, 0, false);
  }

  kav_logfile log;
  ASSERT_EQ(open_log(&log, t.path, 1 << 20), 1);
  std::vector<uint8_t> buf(17000);
  int trunc = 0;
  ASSERT_EQ(kav_read_evt(&log, -1, buf.data(), 17000, 0, &trunc), 0);
  FILE *f = fopen(t.path.c_str(), "a");
  ASSERT_TRUE(f);
  fwrite(full.data() + head, 1, full.size() - head, f);
  fclose(f);
  uint64_t events = 1;
  while (kav_read_evt(&log, -1, buf.data(), 17000, 0, &trunc) == 0 || trunc) events++;
  EXPECT_EQ(log.eof, 1);
  EXPECT_EQ(log.bytes_read, full.size());
  EXPECT_EQ(log.events, want.back().events);
  EXPECT_EQ(events, want.back().events);
  EXPECT_EQ(kav_map_check(&log), 0);
  kav_close_logfile(&log);

  // Cut beyond the window in use: the next window finds it out.
  t.write(full);
  kav_logfile cut;
  ASSERT_EQ(open_log(&cut, t.path, 4096), 1);
  ASSERT_EQ(kav_read_evt(&cut, -1, buf.data(), 17000, 0, &trunc), 0);
  off_t keep = (off_t)((cut.bytes_read + 4095) / 4096 * 4096 + 2 * 20480);
  ASSERT_EQ(truncate(t.path.c_str(), keep), 0);
  int r = 0;
  for (int i = 0; i < 100 && (r = kav_read_evt(&cut, -1, buf.data(), 17000, 0, &trunc)) == 0; i++) {
  }
  EXPECT_EQ(r, 1);
  EXPECT_EQ(cut.eof, 0);
  std::string msg = "Log file shrank from " + std::to_string(full.size()) + " to " + std::to_string(keep) +
                    " bytes while being read";
  EXPECT_EQ(tvl_usrmsg, msg);
  EXPECT_EQ(kav_map_check(&cut), 1);
  EXPECT_EQ(tvl_usrmsg, msg);
  kav_close_logfile(&cut);
}

TEST(KavMap, OnlyRegularFilesWithBytesLeft) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::vector<uint8_t> small = log_bytes(false, 2);
  ASSERT_EQ(write(p[1], small.data(), small.size()), (ssize_t)small.size());
  close(p[1]);
  kav_logfile log{};
  log.stream = fdopen(p[0], "r");
  ASSERT_EQ(kav_read_loghdr(&log, nullptr, 16384), 0);
  strcpy(tvl_usrmsg, "kept");
  EXPECT_EQ(kav_map_input(&log, 4096), 0);
  EXPECT_STREQ(tvl_usrmsg, "kept");
  EXPECT_EQ(kav_map_moves(&log), 0u);
  EXPECT_EQ(kav_map_check(&log), 0);
  kav_close_logfile(&log);
  fclose(log.stream);

  // Nothing after the headers: stdio finds the end as ever.
  TempPath t;
  std::vector<uint8_t> hdrs(small.begin(), small.begin() + 15 + 2 * 216 + 11);
  t.write(hdrs);
  kav_logfile h;
  EXPECT_EQ(open_log(&h, t.path, 4096), 0);
  int trunc = 0;
  EXPECT_EQ(kav_read_evt(&h, -1, nullptr, 0, KAV_RD_HDR, &trunc), 1);
  EXPECT_EQ(h.eof, 1);
  kav_close_logfile(&h);
}

TEST(KavGather, WritesTheBytesStdioWrites) {
  // More events than one writev takes, data longer than the arena holds.
  EXPECT_EQ(log_bytes(true, 3000), log_bytes(false, 3000));
  EXPECT_EQ(log_bytes(true), log_bytes(false));

  TempPath t;
  kav_logfile log{};
  log.path = t.path.c_str();
  log.hdr.nsessions = 1;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0);
  fill_session(&log.sessions[0], "eth0", nullptr);
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
  ASSERT_EQ(kav_gather_output(&log), 1);
  std::vector<uint8_t> a = pattern(100, 1);
  ASSERT_EQ(put_event(&log, 0, KAV_EVT_FRAME, 1, a, true), 0);
  kav_write_sync(&log);  // a may go now
  EXPECT_EQ(t.bytes().size(), 15u + 216 + 40 + 100);
  a.assign(a.size(), 0);
  ASSERT_EQ(kav_flush_logfile(&log), 0);
  EXPECT_EQ(log.events, 1u);
  EXPECT_EQ(log.octets, 104u);
  EXPECT_EQ(log.sessions[0].trl.frames, 1);
  kav_close_logfile(&log);
  std::vector<uint8_t> b = t.bytes();
  EXPECT_EQ(std::vector<uint8_t>(b.end() - 100, b.end()), pattern(100, 1));
}

TEST(KavGather, AFailedWriteIsReportedByTheNextWriteAndTheFlush) {
  TempPath t;
  kav_logfile log{};
  log.stream = fopen(t.path.c_str(), "w");
  ASSERT_TRUE(log.stream);
  int ro = open(t.path.c_str(), O_RDONLY);  // under the stream: every write fails
  ASSERT_EQ(dup2(ro, fileno(log.stream)), fileno(log.stream));
  close(ro);
  log.hdr.nsessions = 1;
  ASSERT_EQ(kav_write_loghdr(&log, nullptr, 65536), 0);  // held in the buffer
  fill_session(&log.sessions[0], "eth0", nullptr);
  ASSERT_EQ(kav_write_seshdr(&log, 0), 0);
  ASSERT_EQ(kav_gather_output(&log), 1);
  EXPECT_EQ(put_event(&log, 0, KAV_EVT_FRAME, 1, pattern(10, 1)), 1);
  EXPECT_STREQ(tvl_usrmsg, "Write failed for 40-byte event-header=1 - errno=9 [Bad file descriptor]");
  EXPECT_EQ(kav_flush_logfile(&log), 1);
  EXPECT_STREQ(tvl_usrmsg, "Flush failed on output - errno=9 [Bad file descriptor]");
  kav_close_logfile(&log);
  fclose(log.stream);

  // Flushed after every event: stays on stdio.
  TempPath u;
  kav_logfile nb{};
  nb.path = u.path.c_str();
  nb.nobuf = 1;
  nb.hdr.nsessions = 1;
  unsetenv("TOV_STDOUT_NOBUF");
  ASSERT_EQ(kav_write_loghdr(&nb, nullptr, 65536), 0);
  EXPECT_EQ(kav_gather_output(&nb), 0);
  kav_close_logfile(&nb);
}

// The kernel will not copy data from a mapping cut short (EFAULT): the writer
// reads it itself, and the SIGBUS is its owner's to handle.
TEST(KavGatherDeathTest, DataOfAFileCutShortFaults) {
  TempPath src, out;
  src.write(pattern(3 * 4096, 5));
  EXPECT_EXIT(
      {
        struct sigaction sa {};
        sa.sa_handler = [](int) { _exit(42); };
        sigaction(SIGBUS, &sa, nullptr);
        int fd = open(src.path.c_str(), O_RDONLY);
        void *m = mmap(nullptr, 3 * 4096, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        kav_logfile log{};
        log.path = out.path.c_str();
        log.hdr.nsessions = 1;
        if (m == MAP_FAILED || kav_write_loghdr(&log, nullptr, 65536)) _exit(1);
        fill_session(&log.sessions[0], "eth0", nullptr);
        kav_write_seshdr(&log, 0);
        kav_gather_output(&log);
        kav_evthdr *h = &log.sessions[0].evthdr;
        h->type = KAV_EVT_FRAME;
        h->caplen = h->wirelen = 4096;
        kav_write_evt_ref(&log, 0, static_cast<char *>(m) + 2 * 4096);
        if (truncate(src.path.c_str(), 4096)) _exit(2);
        kav_write_sync(&log);
        _exit(0);
      },
      testing::ExitedWithCode(42), "");
}

}  // namespace

namespace {

// kav_logfile as programs built against libkav.so.1 allocate it: state the
// library adds for a handle must not live in it.
struct logfile_so1 {
  kav_loghdr hdr;
  kav_session *sessions;
  const char *path;
  FILE *stream;
  int nobuf;
  int eof;
  int swap;
  kav_evthdr evthdr;
  uint64_t bytes_read;
  uint64_t events;
  uint64_t packets;
  uint64_t octets;
  void *stdiobuf;
  int opened;
  int own_sessions;
};

TEST(KavLogfile, KeepsTheLayoutOfTheFirstRelease) {
  EXPECT_EQ(sizeof(kav_logfile), sizeof(logfile_so1));
  EXPECT_EQ(offsetof(kav_logfile, own_sessions) + sizeof(int), sizeof(kav_logfile));
#define SAME_OFFSET(f) EXPECT_EQ(offsetof(kav_logfile, f), offsetof(logfile_so1, f)) << #f
  SAME_OFFSET(hdr);
  SAME_OFFSET(sessions);
  SAME_OFFSET(path);
  SAME_OFFSET(stream);
  SAME_OFFSET(nobuf);
  SAME_OFFSET(eof);
  SAME_OFFSET(swap);
  SAME_OFFSET(evthdr);
  SAME_OFFSET(bytes_read);
  SAME_OFFSET(events);
  SAME_OFFSET(packets);
  SAME_OFFSET(octets);
  SAME_OFFSET(stdiobuf);
  SAME_OFFSET(opened);
  SAME_OFFSET(own_sessions);
#undef SAME_OFFSET
}

// Several logs read at once, each from its own mapping: every one reads as
// through stdio, and the data each hands out lies in its own windows.
TEST(KavMapTable, LogsMappedAtOnceReadEachTheirOwn) {
  TempPath a, b;
  a.write(log_bytes(false, 120));
  b.write(log_bytes(false, 77));
  std::vector<Seen> want_a = read_log(a.path, 0, false), want_b = read_log(b.path, 0, false);
  kav_logfile la, lb;
  ASSERT_EQ(open_log(&la, a.path, 4096), 1);
  ASSERT_EQ(open_log(&lb, b.path, 8192), 1);
  std::vector<uint8_t> buf(17000);
  std::vector<Seen> got_a, got_b;
  int referred = 0;
  for (int step = 0; step < 1000; step++) {
    bool a_on = got_a.empty() || !last_step(got_a.back()), b_on = got_b.empty() || !last_step(got_b.back());
    if (!a_on && !b_on) break;
    if (a_on) got_a.push_back(read_step(&la, buf, step, true, true));
    if (b_on) got_b.push_back(read_step(&lb, buf, step, true, true));
    // Data referred to lies in its own log's windows only.
    for (auto [mine, other, got] : {std::tuple(&la, &lb, &got_a), std::tuple(&lb, &la, &got_b)}) {
      if (step % 2 == 0 || got->back().data.empty()) continue;
      referred++;
      EXPECT_TRUE(kav_map_holds(mine, got->back().at)) << step;
      EXPECT_FALSE(kav_map_holds(other, got->back().at)) << step;
    }
  }
  EXPECT_GT(referred, 150);
  EXPECT_TRUE(got_a == want_a);
  EXPECT_TRUE(got_b == want_b);
  EXPECT_GT(kav_map_moves(&la), 30u);
  EXPECT_GT(kav_map_moves(&lb), 10u);
  kav_close_logfile(&la);
  kav_close_logfile(&lb);
}

// More logs than there are lookup hints, read in turn and some closed and
// mapped again on the way: each call finds its own log's mapping, never that
// of a log whose hint it shares.
TEST(KavMapTable, ManyLogsReadInTurnFindTheirOwn) {
  constexpr int N = 150;
  TempPath a, b;
  a.write(log_bytes(false, 30));
  b.write(log_bytes(false, 45));
  const std::vector<Seen> want[2] = {read_log(a.path, 0, false), read_log(b.path, 0, false)};
  std::vector<kav_logfile> logs(N);
  auto path_of = [&](int i) { return i % 2 ? b.path : a.path; };
  for (int i = 0; i < N; i++) ASSERT_EQ(open_log(&logs[i], path_of(i), 4096 * (1 + i % 3)), 1) << i;
  std::vector<uint8_t> buf(17000);
  std::vector<std::vector<Seen>> got(N);
  int referred = 0;
  for (int step = 0; step < 1000; step++) {
    bool any = false;
    for (int i = 0; i < N; i++) {
      if (!got[i].empty() && last_step(got[i].back())) continue;
      any = true;
      got[i].push_back(read_step(&logs[i], buf, step, true, true));
      const Seen &s = got[i].back();
      if (step % 2 == 1 && !s.data.empty()) {
        referred++;
        EXPECT_TRUE(kav_map_holds(&logs[i], s.at)) << i << " " << step;
        EXPECT_FALSE(kav_map_holds(&logs[(i + 2) % N], s.at)) << i << " " << step;
      }
    }
    if (!any) break;
    // A few logs start again partway, in slots other logs gave back.
    if (step == 21)
      for (int i = 0; i < N; i += 37) {
        kav_close_logfile(&logs[i]);
        ASSERT_EQ(open_log(&logs[i], path_of(i), 8192), 1) << i;
        got[i].clear();
      }
  }
  EXPECT_GT(referred, N * 20);
  // Those started again read the whole log too, from its first event on.
  for (int i = 0; i < N; i++) EXPECT_TRUE(got[i] == want[i % 2]) << i;
  for (kav_logfile &log : logs) kav_close_logfile(&log);
}

// Threads map, read and close logs of their own at the same time.
TEST(KavMapTable, ThreadsMapTheirOwnLogsAtOnce) {
  constexpr int THREADS = 4, ROUNDS = 8;
  // Events whole in a 30000-byte buffer: no message is written to share.
  struct Want {
    TempPath file;
    std::vector<kav_evthdr> hdrs;
    std::vector<std::vector<uint8_t>> data;
  } want[THREADS];
  auto read_all = [](kav_logfile *log, std::vector<kav_evthdr> *hdrs, std::vector<std::vector<uint8_t>> *data) {
    std::vector<uint8_t> buf(30000);
    int trunc = 0;
    const void *at = nullptr;
    while (kav_read_evt_ref(log, -1, buf.data(), (int)buf.size(), 0, &trunc, &at) == 0) {
      hdrs->push_back(log->evthdr);
      const uint8_t *d = static_cast<const uint8_t *>(at);
      data->emplace_back(d, d + log->evthdr.caplen);
    }
    return trunc == 0 && log->eof == 1;
  };
  for (int t = 0; t < THREADS; t++) {
    want[t].file.write(log_bytes(false, 60 + 13 * t));
    kav_logfile log;
    ASSERT_EQ(open_log(&log, want[t].file.path, 0), 0);
    ASSERT_TRUE(read_all(&log, &want[t].hdrs, &want[t].data));
    kav_close_logfile(&log);
  }
  int fine[THREADS] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++)
    threads.emplace_back([&, t] {
      for (int r = 0; r < ROUNDS; r++) {
        kav_logfile log{};
        log.path = want[t].file.path.c_str();
        if (kav_read_loghdr(&log, nullptr, 16384) || kav_read_seshdr(&log, 0) || kav_read_seshdr(&log, 1)) return;
        std::vector<kav_evthdr> hdrs;
        std::vector<std::vector<uint8_t>> data;
        bool ok = kav_map_input(&log, 4096 * (1 + r % 3)) == 1 && read_all(&log, &hdrs, &data) &&
                  kav_map_moves(&log) > 10;
        kav_close_logfile(&log);
        if (!ok || data != want[t].data || hdrs.size() != want[t].hdrs.size() ||
            memcmp(hdrs.data(), want[t].hdrs.data(), hdrs.size() * sizeof hdrs[0]))
          return;
        fine[t]++;
      }
    });
  for (std::thread &th : threads) th.join();
  for (int t = 0; t < THREADS; t++) EXPECT_EQ(fine[t], ROUNDS) << t;
}

// Beyond KAV_MAX_EXT_LOGS handles mapped or gathered a log stays on stdio,
// with the same bytes; a slot given back is taken again.
TEST(KavMapTable, AFullTableLeavesLogsOnStdio) {
  std::vector<uint8_t> small = log_bytes(false, 9);
  TempPath t;
  t.write(small);
  std::vector<Seen> want = read_log(t.path, 0, false);
  std::vector<kav_logfile> held(KAV_MAX_EXT_LOGS + 1);
  int mapped = 0;
  for (kav_logfile &log : held) {
    int r = open_log(&log, t.path, 4096);
    ASSERT_GE(r, 0);
    mapped += r;
  }
  EXPECT_EQ(mapped, KAV_MAX_EXT_LOGS);
  EXPECT_EQ(kav_map_input(&held.back(), 4096), 0);
  EXPECT_EQ(kav_map_moves(&held.back()), 0u);
  // Every one of them reads the log, mapped or not.
  std::vector<uint8_t> buf(17000);
  for (size_t i = 0; i < held.size(); i++) {
    std::vector<Seen> got;
    for (int step = 0; step < 1000 && (got.empty() || !last_step(got.back())); step++)
      got.push_back(read_step(&held[i], buf, step, i < held.size() - 1, true));
    EXPECT_TRUE(got == want) << i;
  }

  // Nor is an output gathered.
  std::vector<uint8_t> plain = log_bytes(false);
  TempPath out;
  FILE *f = fopen(out.path.c_str(), "w");
  ASSERT_TRUE(f);
  write_log(f, true, 120, 0);
  fclose(f);
  EXPECT_EQ(out.bytes(), plain);

  kav_close_logfile(&held[3]);
  EXPECT_EQ(open_log(&held[3], t.path, 4096), 1);
  for (kav_logfile &log : held) kav_close_logfile(&log);
  EXPECT_EQ(log_bytes(true), plain);
}

// A handle closed and used again, or zeroed and used again without being
// closed, finds nothing of its earlier log.
TEST(KavMapTable, AHandleUsedAgainStartsAfresh) {
  TempPath a, b;
  a.write(log_bytes(false, 120));
  b.write(log_bytes(false, 50));
  std::vector<Seen> want_b = read_log(b.path, 0, false);
  std::vector<uint8_t> buf(17000);
  auto read_rest = [&](kav_logfile *log, bool mapped) {
    std::vector<Seen> got;
    for (int step = 0; step < 1000 && (got.empty() || !last_step(got.back())); step++)
      got.push_back(read_step(log, buf, step, mapped, true));
    return got;
  };
  auto read_some = [&](kav_logfile *log) {
    for (int step = 0; step < 41; step++) read_step(log, buf, step, true, true);
    return read_step(log, buf, 41, true, true).at;
  };

  kav_logfile log;
  ASSERT_EQ(open_log(&log, a.path, 4096), 1);
  const void *at = read_some(&log);
  ASSERT_TRUE(kav_map_holds(&log, at));
  kav_close_logfile(&log);
  for (bool map_again : {false, true}) {
    memset(&log, 0, sizeof log);
    ASSERT_EQ(open_log(&log, b.path, map_again ? 4096 : 0), map_again ? 1 : 0);
    EXPECT_FALSE(kav_map_holds(&log, at));
    EXPECT_TRUE(read_rest(&log, map_again) == want_b);
    EXPECT_EQ(kav_map_moves(&log) > 0, map_again);
    kav_close_logfile(&log);
  }

  // Dropped unclosed: the old state is not the new log's, and goes with the
  // new log's close or mapping.
  for (bool map_again : {false, true}) {
    ASSERT_EQ(open_log(&log, a.path, 4096), 1);
    at = read_some(&log);
    kav_logfile dropped = log;
    memset(&log, 0, sizeof log);
    EXPECT_FALSE(kav_map_holds(&log, at));
    EXPECT_EQ(kav_map_moves(&log), 0u);
    ASSERT_EQ(open_log(&log, b.path, map_again ? 4096 : 0), map_again ? 1 : 0);
    EXPECT_FALSE(kav_map_holds(&log, at));
    EXPECT_TRUE(read_rest(&log, map_again) == want_b);
    kav_close_logfile(&log);
    kav_close_logfile(&dropped);  // its stream and buffers; its mapping went before
  }
}

}  // namespace
