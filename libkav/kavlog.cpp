// kavlog: writing and reading capture logs. Reading never seeks, so a log can
// come through a pipe; data that does not fit the caller's buffer is skipped by
// reading it. A regular file may instead be read from a mapping, and an
// output written by writev() of data referred to where it lies, so that a
// log copied through a program is not copied within it.
#include "kav.h"
#include "tova.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

const char *const kav_logdesc[6] = {"", "Velmora", "Snoop", "Tcpdump", "IP", "Ethernet"};

namespace {

constexpr int SKIP_CHUNK = 9000;
// Longest filter text a reader accepts from a log; anything longer is corrupt.
constexpr int64_t MAX_FILTLEN = 1 << 20;

const char *errtxt(int e) {
  if (e == 0) return "UNKNOWN";
  const char *t = strerror(e);
  return t ? t : "UNKNOWN";
}

// An 8-byte field written in the other byte order: its first four bytes,
// reversed, are the value (the layout of the older big-endian writers).
void swap8(int64_t *field) {
  const unsigned char *b = reinterpret_cast<const unsigned char *>(field);
  uint32_t v = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | (uint32_t)b[3];
  *field = (int64_t)v;
}

void swap_seshdr(kav_seshdr *h) {
  swap8(&h->start);
  swap8(&h->netmask);
  swap8(&h->mtu);
  swap8(&h->snaplen);
  swap8(&h->filtlen);
  swap8(&h->capflags);
  swap8(&h->linktype);
  swap8(&h->devparm1);
  swap8(&h->devparm2);
  swap8(&h->hwaddrlen);
}

void swap_evthdr(kav_evthdr *h) {
  swap8(&h->sec);
  swap8(&h->usec);
  swap8(&h->caplen);
  swap8(&h->wirelen);
}

void swap_sestrl(kav_sestrl *t) {
  swap8(&t->duration);
  swap8(&t->frames);
  swap8(&t->octets);
  swap8(&t->rejected);
  swap8(&t->rej_octets);
}

int alloc_sessions(kav_logfile *log) {
  int n = log->hdr.nsessions;
  if (n == 0 || log->sessions) return 0;
  unsigned long bytes = (unsigned long)(long)n * sizeof(kav_session);
  kav_session *s = n > 0 ? static_cast<kav_session *>(calloc((size_t)n, sizeof(kav_session))) : nullptr;
  if (!s) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY on %lu-byte sessions array", bytes);
    return 1;
  }
  log->sessions = s;
  log->own_sessions = 1;
  return 0;
}

int do_open(kav_logfile *log, void *buf, int size, const char *mode) {
  if (log->path && !log->stream) {
    log->stream = fopen(log->path, mode);
    if (!log->stream) {
      int e = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Open failed on logfile=%s, errno=%d [%s]", log->path, e,
               errtxt(e));
      return 1;
    }
    log->opened = 1;
  }
  if (!log->stream) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "No logfile path or stream given");
    return 1;
  }
  if (size > 0) {
    if (!buf) {
      buf = malloc((size_t)size);
      if (!buf) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY on %d-byte stdio buffer", size);
        return 1;
      }
      log->stdiobuf = buf;
    }
    // Flushing an input stream could drop what it has already buffered.
    if (mode[0] == 'w') fflush(log->stream);
    setvbuf(log->stream, static_cast<char *>(buf), _IOFBF, (size_t)size);
  }
  return alloc_sessions(log);
}

// A log read from its mapping: the current window and the one before, kept
// until the next move so that data handed out by reference outlives one move.
struct map_state {
  int fd;
  uint64_t size;  // file size as last seen
  size_t window;
  const unsigned char *cur = nullptr, *prev = nullptr;
  uint64_t cur_off = 0;
  size_t cur_len = 0, prev_len = 0;
  uint64_t moves = 0;
};

struct gather_state;

// The state of mapped and gathered logs lives here, keyed by the handle:
// the handle keeps the layout programs were built with. A slot is claimed by
// swapping its key from null to CLAIMED, filled, then published by storing
// the handle, so lookups take no lock (kav_map_holds runs in a SIGBUS
// handler). While nothing is registered a lookup is one relaxed load.
struct ext_slot {
  std::atomic<const kav_logfile *> log{nullptr};
  // The handle's stream when registered: a handle zeroed or reused without
  // kav_close_logfile does not find its old state.
  std::atomic<const FILE *> stream{nullptr};
  std::atomic<map_state *> map{nullptr};
  std::atomic<gather_state *> gather{nullptr};
};

ext_slot ext_slots[KAV_MAX_EXT_LOGS];
std::atomic<int> ext_count{0};  // slots registered
std::atomic<int> ext_top{0};    // slots past this one were never claimed
const kav_logfile ext_claimed{};
const kav_logfile *const CLAIMED = &ext_claimed;

// Where each handle was found last, by a hash of its address: a merge looks
// up its inputs and its output several times an event. Only a hint, checked
// against the slot, so a stale or shared entry costs just the scan.
constexpr int EXT_HINTS = 64;
std::atomic<unsigned char> ext_hints[EXT_HINTS];
static_assert(KAV_MAX_EXT_LOGS <= 256, "a hint holds a slot index in a byte");

inline int ext_hash(const kav_logfile *log) {
  return (int)(((uintptr_t)log * UINT64_C(0x9E3779B97F4A7C15)) >> 58);
}

// The slot of log whatever its stream, or null.
ext_slot *ext_find_any(const kav_logfile *log) {
  int h = ext_hash(log);
  int hint = ext_hints[h].load(std::memory_order_relaxed);
  if (ext_slots[hint].log.load(std::memory_order_acquire) == log) return &ext_slots[hint];
  int top = ext_top.load(std::memory_order_relaxed);
  for (int i = 0; i < top; i++)
    if (ext_slots[i].log.load(std::memory_order_acquire) == log) {
      ext_hints[h].store((unsigned char)i, std::memory_order_relaxed);
      return &ext_slots[i];
    }
  return nullptr;
}

inline ext_slot *ext_find(const kav_logfile *log) {
  if (ext_count.load(std::memory_order_relaxed) == 0) return nullptr;
  ext_slot *e = ext_find_any(log);
  return e && e->stream.load(std::memory_order_relaxed) == log->stream ? e : nullptr;
}

inline map_state *map_of(const kav_logfile *log) {
  ext_slot *e = ext_find(log);
  return e ? e->map.load(std::memory_order_relaxed) : nullptr;
}

inline gather_state *gather_of(const kav_logfile *log) {
  ext_slot *e = ext_find(log);
  return e ? e->gather.load(std::memory_order_relaxed) : nullptr;
}

// Takes the slot away from lookups; what it held is the caller's to free.
void ext_release(ext_slot *e, map_state **ms, gather_state **g) {
  e->log.store(CLAIMED, std::memory_order_relaxed);
  *ms = e->map.exchange(nullptr, std::memory_order_relaxed);
  *g = e->gather.exchange(nullptr, std::memory_order_relaxed);
  e->stream.store(nullptr, std::memory_order_relaxed);
  e->log.store(nullptr, std::memory_order_release);
  ext_count.fetch_sub(1, std::memory_order_relaxed);
}

void map_free(map_state *ms);
void gather_free(gather_state *g);

// Registers ms or g (the other null) for log: 0 when no slot is free.
int ext_attach(kav_logfile *log, map_state *ms, gather_state *g) {
  ext_slot *e = ext_find_any(log);
  if (e && e->stream.load(std::memory_order_relaxed) != log->stream) {
    // Left by a handle that was dropped without closing; its state is lost.
    map_state *old_ms;
    gather_state *old_g;
    ext_release(e, &old_ms, &old_g);
    map_free(old_ms);
    gather_free(old_g);
    e = nullptr;
  }
  if (e) {
    if (ms) e->map.store(ms, std::memory_order_relaxed);
    if (g) e->gather.store(g, std::memory_order_relaxed);
    return 1;
  }
  for (int i = 0; i < KAV_MAX_EXT_LOGS; i++) {
    e = &ext_slots[i];
    const kav_logfile *none = nullptr;
    if (!e->log.compare_exchange_strong(none, CLAIMED, std::memory_order_acquire, std::memory_order_relaxed))
      continue;
    int top = ext_top.load(std::memory_order_relaxed);
    while (top <= i && !ext_top.compare_exchange_weak(top, i + 1, std::memory_order_relaxed)) {
    }
    e->stream.store(log->stream, std::memory_order_relaxed);
    e->map.store(ms, std::memory_order_relaxed);
    e->gather.store(g, std::memory_order_relaxed);
    ext_count.fetch_add(1, std::memory_order_relaxed);
    e->log.store(log, std::memory_order_release);
    return 1;
  }
  return 0;
}

int map_failed(const char *what, int e) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s - errno=%d [%s]", what, e, errtxt(e));
  return 2;
}

// The file's size now; a file cut below what was seen of it has lost bytes
// that the reader may already have used.
int map_restat(map_state *ms) {
  struct stat st;
  if (fstat(ms->fd, &st) != 0) return map_failed("Failed to stat mapped logfile", errno);
  if ((uint64_t)st.st_size < ms->size) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file shrank from %llu to %llu bytes while being read",
             (unsigned long long)ms->size, (unsigned long long)st.st_size);
    return 2;
  }
  ms->size = (uint64_t)st.st_size;
  return 0;
}

int map_window(map_state *ms, uint64_t pos, uint64_t end) {
  uint64_t off = pos & ~(uint64_t)(sysconf(_SC_PAGESIZE) - 1);
  uint64_t len = end - off < ms->window ? ms->window : end - off;
  if (len > ms->size - off) len = ms->size - off;
  void *m = mmap(nullptr, (size_t)len, PROT_READ, MAP_SHARED | MAP_POPULATE, ms->fd, (off_t)off);
  if (m == MAP_FAILED) {
    int e = errno;
    char what[96];
    snprintf(what, sizeof what, "Mapping %llu bytes of logfile at %llu failed", (unsigned long long)len,
             (unsigned long long)off);
    return map_failed(what, e);
  }
  madvise(m, (size_t)len, MADV_SEQUENTIAL);
  if (ms->prev) munmap(const_cast<unsigned char *>(ms->prev), ms->prev_len);
  ms->prev = ms->cur;
  ms->prev_len = ms->cur_len;
  ms->cur = static_cast<const unsigned char *>(m);
  ms->cur_off = off;
  ms->cur_len = (size_t)len;
  ms->moves++;
  return 0;
}

// Bytes [pos, pos + len) of a mapped log: 0 with *p set (or, p null, just
// known to exist), 1 when the file ends first, 2 on failure (message set).
int map_span(map_state *ms, uint64_t pos, uint64_t len, const unsigned char **p) {
  uint64_t end = pos + len;
  if (p && pos >= ms->cur_off && end <= ms->cur_off + ms->cur_len) {
    *p = ms->cur + (pos - ms->cur_off);
    return 0;
  }
  // The size is looked at again before every new window and at the end of
  // what is known, where a file that grew goes on as it does through stdio.
  if (end > ms->size || p) {
    if (int r = map_restat(ms)) return r;
    if (end > ms->size) return 1;
  }
  if (!p) return 0;
  if (int r = map_window(ms, pos, end)) return r;
  *p = ms->cur + (pos - ms->cur_off);
  return 0;
}

// The next event header, at pos, is read once the merge or decode of this
// event is done; asked for now, it is in the cache by then.
// Inlined: a call whose only effect is a prefetch counts as dead code.
__attribute__((always_inline)) inline void map_prefetch(const map_state *ms, uint64_t pos) {
  if (pos < ms->cur_off || pos - ms->cur_off + sizeof(kav_evthdr) > ms->cur_len) return;
  const unsigned char *p = ms->cur + (pos - ms->cur_off);
  __builtin_prefetch(p);
  __builtin_prefetch(p + sizeof(kav_evthdr) - 1);
  // A page on, so that its translation is at hand when reads (and the
  // kernel's copy of the data) get there.
  if (pos - ms->cur_off + 4096 < ms->cur_len) __builtin_prefetch(p + 4096);
}

void map_free(map_state *ms) {
  if (!ms) return;
  if (ms->cur) munmap(const_cast<unsigned char *>(ms->cur), ms->cur_len);
  if (ms->prev) munmap(const_cast<unsigned char *>(ms->prev), ms->prev_len);
  delete ms;
}

// Where bytes [pos, pos + len) of a mapped log lie when the current window
// holds them, else null: the one test most reads need.
inline const unsigned char *map_here(const map_state *ms, uint64_t pos, uint64_t len) {
  if (!ms || pos < ms->cur_off || len > ms->cur_len || pos - ms->cur_off > ms->cur_len - len) return nullptr;
  return ms->cur + (pos - ms->cur_off);
}

// Reads exactly len bytes into dest; ms: the log's mapping, if it has one.
// From a mapped log, ref (if not null) receives the bytes' address instead,
// and with neither dest nor ref they are only skipped.
int read_bytes(kav_logfile *log, map_state *ms, void *dest, long len, int eof_ok, const void **ref) {
  if (len <= 0) return 0;
  if (ms) {
    const unsigned char *p = nullptr;
    int r = map_span(ms, log->bytes_read, (uint64_t)len, dest || ref ? &p : nullptr);
    if (r == 0) {
      if (ref)
        *ref = p;
      else if (dest)
        memcpy(dest, p, (size_t)len);
      log->bytes_read += (uint64_t)len;
      return 0;
    }
    if (r == 2) return 1;
    // As fread does, what there is arrives before the end is met.
    if (dest && ms->size > log->bytes_read &&
        map_span(ms, log->bytes_read, ms->size - log->bytes_read, &p) == 0)
      memcpy(dest, p, (size_t)(ms->size - log->bytes_read));
    if (eof_ok) {
      log->eof = 1;
      return 1;
    }
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%d-byte Read failed - errno=%d [%s]", (int)len, 0, errtxt(0));
    return 1;
  }
  if (ref) *ref = dest;
  errno = 0;
  // A handle belongs to one thread: the stream's lock is not needed.
  size_t got = fread_unlocked(dest, 1, (size_t)len, log->stream);
  if ((long)got == len) {
    log->bytes_read += (uint64_t)len;
    return 0;
  }
  int e = ferror(log->stream) ? errno : 0;
  if (eof_ok && feof(log->stream)) {
    log->eof = 1;
    return 1;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%d-byte Read failed - errno=%d [%s]", (int)len, e, errtxt(e));
  return 1;
}

int do_read(kav_logfile *log, void *dest, long len, int eof_ok) {
  return read_bytes(log, map_of(log), dest, len, eof_ok, nullptr);
}

// Skips len bytes by reading them, so pipes work.
int do_fwdseek(kav_logfile *log, map_state *ms, long len) {
  char scratch[SKIP_CHUNK];
  while (len > 0) {
    long n = len < SKIP_CHUNK ? len : SKIP_CHUNK;
    if (read_bytes(log, ms, ms ? nullptr : scratch, n, 0, nullptr)) return 1;
    len -= n;
  }
  return 0;
}

// Writes gathered by reference: headers, trailers and data that may not be
// kept are copied into an arena, the rest is pointed at.
constexpr int GATHER_IOV = IOV_MAX;
constexpr size_t GATHER_ARENA = 256 * 1024;
constexpr size_t GATHER_BLOCK = 4 * 1024 * 1024;

struct gather_state {
  struct iovec iov[GATHER_IOV];
  int niov = 0;
  size_t bytes = 0;  // gathered, not yet written
  size_t used = 0;   // of the arena
  int err = 0;       // errno of a failed write, for the next write or flush to report
  unsigned char arena[GATHER_ARENA];
};

// The kernel reports memory it cannot read as EFAULT; a mapped input cut
// short is such memory. Reading it here raises the SIGBUS its owner handles.
void touch(const struct iovec &v) {
  const volatile unsigned char *b = static_cast<const volatile unsigned char *>(v.iov_base);
  for (size_t i = 0; i < v.iov_len; i += 4096) (void)b[i];
  if (v.iov_len) (void)b[v.iov_len - 1];
}

int gather_sync(kav_logfile *log, gather_state *g) {
  int fd = fileno(log->stream);
  struct iovec *v = g->iov;
  int n = g->niov;
  while (n > 0 && !g->err) {
    ssize_t w = writev(fd, v, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EFAULT) touch(v[0]);
    if (w <= 0) {
      g->err = w < 0 && errno ? errno : EIO;
      break;
    }
    size_t done = (size_t)w;
    for (; n > 0 && done >= v->iov_len; v++, n--) done -= v->iov_len;
    if (n > 0) {
      v->iov_base = static_cast<char *>(v->iov_base) + done;
      v->iov_len -= done;
    }
  }
  g->niov = 0;
  g->bytes = 0;
  g->used = 0;
  errno = g->err;
  return g->err ? 1 : 0;
}

// Counters wrap rather than overflow on hostile lengths.
inline void add64(int64_t *counter, int64_t v) { *counter = (int64_t)((uint64_t)*counter + (uint64_t)v); }

bool valid_session(const kav_logfile *log, int ses) {
  return log->sessions && ses >= 0 && ses < log->hdr.nsessions;
}

// One piece of an event; copy: it must be taken now, else it is only
// referred to. A failure sets errno. Inlined so that a header's copy has a
// size known where it is made.
__attribute__((always_inline)) inline int put_bytes(kav_logfile *log, gather_state *g, const void *data, size_t len,
                                                     bool copy) {
  if (!g) {
    errno = 0;
    return fwrite_unlocked(data, 1, len, log->stream) == len ? 0 : 1;
  }
  if (g->err) {
    errno = g->err;
    return 1;
  }
  bool at_once = copy && len > GATHER_ARENA / 4;
  if (at_once) {
    // Too large to copy: written out before the call returns.
    if (gather_sync(log, g)) return 1;
    copy = false;
  }
  if (g->niov == GATHER_IOV || (copy && len > GATHER_ARENA - g->used)) {
    if (gather_sync(log, g)) return 1;
  }
  const unsigned char *p = static_cast<const unsigned char *>(data);
  if (copy) {
    p = static_cast<const unsigned char *>(memcpy(g->arena + g->used, data, len));
    g->used += len;
  }
  struct iovec *last = g->niov ? &g->iov[g->niov - 1] : nullptr;
  if (last && static_cast<const unsigned char *>(last->iov_base) + last->iov_len == p)
    last->iov_len += len;
  else
    g->iov[g->niov++] = {const_cast<unsigned char *>(p), len};
  g->bytes += len;
  if (at_once || g->bytes >= GATHER_BLOCK) return gather_sync(log, g);
  return 0;
}

int write_bytes(kav_logfile *log, const void *data, size_t len) {
  return put_bytes(log, gather_of(log), data, len, true);
}

void gather_free(gather_state *g) { delete g; }

}  // namespace

int kav_write_loghdr(kav_logfile *log, void *buf, int bufsize) {
  const char *env = getenv("TOV_STDOUT_NOBUF");
  if (env) log->nobuf = strcasecmp(env, "y") == 0;
  if (!log->nobuf && log->stream) {
    struct stat st;
    if (fstat(fileno(log->stream), &st) != 0)
      dbgtrc(TRC_ERR, 0, "Failed to stat kavlog (errno=%d) - assume full buffering", errno);
    else if (!S_ISREG(st.st_mode))
      log->nobuf = 1;
  }
  if (do_open(log, buf, log->nobuf ? 0 : bufsize, "w")) return 1;
  memcpy(log->hdr.magic, "kavtap", 6);
  memset(log->hdr.zero, 0, sizeof log->hdr.zero);
  log->hdr.major = KAV_LOG_MAJOR;
  log->hdr.minor = KAV_LOG_MINOR;
  log->hdr.byteorder = KAV_LOG_BOM;
  if (write_bytes(log, &log->hdr, sizeof log->hdr)) {
    int e = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte logfile-header - errno=%d [%s]",
             (unsigned long)sizeof log->hdr, e, errtxt(e));
    return 1;
  }
  return 0;
}

int kav_write_seshdr(kav_logfile *log, int ses) {
  if (!valid_session(log, ses)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid session index %d (%d sessions)", ses, log->hdr.nsessions);
    return 1;
  }
  kav_session *s = &log->sessions[ses];
  if (s->hdr.filtlen < 0 || (s->hdr.filtlen > 0 && !s->filter)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid %ld-byte filter for session %d", (long)s->hdr.filtlen, ses);
    return 1;
  }
  if (write_bytes(log, &s->hdr, sizeof s->hdr)) {
    int e = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte session-header - errno=%d [%s]",
             (unsigned long)sizeof s->hdr, e, errtxt(e));
    return 1;
  }
  if (s->hdr.filtlen > 0 && write_bytes(log, s->filter, (size_t)s->hdr.filtlen)) {
    int e = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %ld-byte filter - errno=%d [%s]", (long)s->hdr.filtlen,
             e, errtxt(e));
    return 1;
  }
  return 0;
}

namespace {

int write_evt(kav_logfile *log, int ses, const void *data, int count_only, bool ref) {
  if (!valid_session(log, ses)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid session index %d (%d sessions)", ses, log->hdr.nsessions);
    return 1;
  }
  kav_session *s = &log->sessions[ses];
  kav_evthdr *h = &s->evthdr;
  if (h->caplen < 0 || (h->caplen > 0 && !data)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid %ld-byte event-%d data", (long)h->caplen, h->type);
    return 1;
  }
  gather_state *g = gather_of(log);
  if (!count_only) {
    if (put_bytes(log, g, h, sizeof *h, true)) {
      int e = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte event-header=%d - errno=%d [%s]",
               (unsigned long)sizeof *h, h->type, e, errtxt(e));
      return 1;
    }
    if (h->caplen > 0 && put_bytes(log, g, data, (size_t)h->caplen, !ref)) {
      int e = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %ld-byte event-%d - errno=%d [%s]", (long)h->caplen,
               h->type, e, errtxt(e));
      return 1;
    }
  }
  log->events++;
  s->events++;
  if (h->type == KAV_EVT_FRAME) {
    log->packets++;
    log->octets += (uint64_t)h->wirelen;
    add64(&s->trl.frames, 1);
    add64(&s->trl.octets, h->wirelen);
  }
  if (h->type == KAV_EVT_FATAL || h->type == KAV_EVT_END) {
    if (put_bytes(log, g, &s->trl, sizeof s->trl, true)) {
      int e = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %lu-byte logfile-trailer - errno=%d [%s]",
               (unsigned long)sizeof s->trl, e, errtxt(e));
      return 1;
    }
    s->closed = 1;
  }
  if (log->nobuf && fflush(log->stream) != 0) {
    int e = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Write failed for %ld-byte event-%d - errno=%d [%s]", (long)h->caplen,
             h->type, e, errtxt(e));
    return 1;
  }
  return 0;
}

}  // namespace

int kav_write_evt(kav_logfile *log, int ses, const void *data, int count_only) {
  return write_evt(log, ses, data, count_only, false);
}

int kav_write_evt_ref(kav_logfile *log, int ses, const void *data) { return write_evt(log, ses, data, 0, true); }

int kav_gather_output(kav_logfile *log) {
  if (gather_of(log)) return 1;
  if (log->nobuf || !log->stream || fileno(log->stream) < 0) return 0;
  gather_state *g = new (std::nothrow) gather_state;
  if (!g) return 0;
  if (!ext_attach(log, nullptr, g)) {
    delete g;
    return 0;
  }
  // What the stream holds goes first; its failure is reported as the
  // stream would have reported it, by the next write.
  errno = 0;
  if (fflush(log->stream) != 0 || ferror(log->stream)) g->err = errno ? errno : EIO;
  return 1;
}

void kav_write_sync(kav_logfile *log) {
  if (gather_state *g = gather_of(log)) gather_sync(log, g);
}

void kav_close_logfile(kav_logfile *log) {
  if (ext_slot *e = ext_count.load(std::memory_order_relaxed) ? ext_find_any(log) : nullptr) {
    // A slot left with another stream is of a handle dropped unclosed: its
    // output is gone.
    map_state *ms;
    gather_state *g = e->gather.load(std::memory_order_relaxed);
    if (g && e->stream.load(std::memory_order_relaxed) == log->stream) gather_sync(log, g);
    ext_release(e, &ms, &g);
    map_free(ms);
    gather_free(g);
  }
  if (log->stream) fflush(log->stream);
  if (log->opened && log->stream) {
    fclose(log->stream);
    log->stream = nullptr;
    log->opened = 0;
  }
  if (log->stdiobuf) {
    if (log->stream) setvbuf(log->stream, nullptr, _IONBF, 0);
    free(log->stdiobuf);
    log->stdiobuf = nullptr;
  }
  if (log->sessions && log->hdr.nsessions > 0) {
    for (int i = 0; i < log->hdr.nsessions; i++) {
      kav_session *s = &log->sessions[i];
      if (s->filter_alloc) {
        free(s->filter);
        s->filter = nullptr;
        s->filter_alloc = 0;
      }
    }
  }
  if (log->own_sessions) {
    free(log->sessions);
    log->sessions = nullptr;
    log->own_sessions = 0;
  }
}

int kav_flush_logfile(kav_logfile *log) {
  if (!log->stream) return 0;
  errno = 0;
  // A failed write leaves the stream's error flag behind even when what
  // follows flushes cleanly.
  gather_state *g = gather_of(log);
  if (!(g && gather_sync(log, g)) && fflush(log->stream) == 0 && !ferror(log->stream)) return 0;
  int e = errno;
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Flush failed on output - errno=%d [%s]", e, errtxt(e));
  return 1;
}

int kav_refuse_terminal(int fd) {
  if (!isatty(fd)) return 0;
  fprintf(stderr, "This program produces binary output.\n");
  fprintf(stderr, "Redirect to a file, or pipe into kavpan.\n");
  return 1;
}

int kav_output_gone(int out_fd) {
  struct pollfd p = {out_fd, 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

namespace {

struct watch_fds {
  int in, out;
};

ssize_t watched_read(void *cookie, char *buf, size_t n) {
  watch_fds *w = static_cast<watch_fds *>(cookie);
  struct pollfd p[2] = {{w->in, POLLIN, 0}, {w->out, 0, 0}};
  for (;;) {
    p[0].revents = p[1].revents = 0;
    if (poll(p, w->out >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (p[1].revents & POLLNVAL) {
      w->out = -1;  // nothing to watch
    } else if (p[1].revents & (POLLERR | POLLHUP)) {
      errno = EPIPE;
      return -1;
    }
    if (p[0].revents) break;
  }
  for (;;) {
    ssize_t r = read(w->in, buf, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

int watched_close(void *cookie) {
  delete static_cast<watch_fds *>(cookie);
  return 0;
}

}  // namespace

FILE *kav_watched_input(int in_fd, int out_fd) {
  watch_fds *w = new (std::nothrow) watch_fds{in_fd, out_fd};
  cookie_io_functions_t io = {watched_read, nullptr, nullptr, watched_close};
  FILE *f = w ? fopencookie(w, "r", io) : nullptr;
  if (!f) {
    int e = errno;
    delete w;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to open watched input, errno=%d [%s]", e, errtxt(e));
  }
  return f;
}

int kav_read_loghdr(kav_logfile *log, void *buf, int bufsize) {
  // A caller-supplied array has room for the count preset with it, no more.
  int room = log->sessions ? log->hdr.nsessions : -1;
  if (do_open(log, buf, bufsize, "r")) return 1;
  if (do_read(log, &log->hdr, sizeof log->hdr, 0)) return 1;
  if (log->hdr.major != KAV_LOG_MAJOR) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Different logfile major version (%d.%d vs file=%d.%d) - can't continue",
             KAV_LOG_MAJOR, KAV_LOG_MINOR, log->hdr.major, log->hdr.minor);
    return 1;
  }
  if (log->hdr.minor != KAV_LOG_MINOR)
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
             "WARNING: Different logfile minor version (%d vs file=%d) ... will try to continue", KAV_LOG_MINOR,
             log->hdr.minor);
  log->swap = reinterpret_cast<const unsigned char *>(&log->hdr.byteorder)[0] != 0x34;
  if (room >= 0 && log->hdr.nsessions > room) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file has %d sessions, room for %d", log->hdr.nsessions, room);
    return 1;
  }
  return alloc_sessions(log);
}

int kav_read_seshdr(kav_logfile *log, int ses) {
  if (!valid_session(log, ses)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid session index %d (%d sessions)", ses, log->hdr.nsessions);
    return 1;
  }
  kav_session *s = &log->sessions[ses];
  if (do_read(log, &s->hdr, sizeof s->hdr, 0)) return 1;
  if (log->swap) swap_seshdr(&s->hdr);
  if (s->filter_alloc) {
    free(s->filter);
    s->filter_alloc = 0;
  }
  s->filter = nullptr;
  int64_t len = s->hdr.filtlen;
  if (len == 0) return 0;
  if (len < 0 || len > MAX_FILTLEN) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file is corrupt, got %ld-byte filter in Session-%d", (long)len,
             ses + 1);
    return 1;
  }
  // One byte more than stored, so the text is terminated even if the file's is not.
  s->filter = static_cast<char *>(malloc((size_t)len + 1));
  if (!s->filter) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY on %ld-byte filter", (long)len);
    return 1;
  }
  s->filter_alloc = 1;
  s->filter[len] = '\0';
  return do_read(log, s->filter, (long)len, 0);
}

namespace {

int read_evt(kav_logfile *log, int ses, void *buf, int bufsize, unsigned int flags, int *truncated,
             const void **data) {
  if (ses != -1 && !valid_session(log, ses)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid session index %d (%d sessions)", ses, log->hdr.nsessions);
    return 1;
  }
  kav_evthdr *h = ses == -1 ? &log->evthdr : &log->sessions[ses].evthdr;
  map_state *ms = map_of(log);
  if (!(flags & KAV_RD_DATA)) {
    // A fixed-size copy the compiler makes in place, not a library call.
    if (const unsigned char *p = map_here(ms, log->bytes_read, sizeof *h)) {
      memcpy(h, p, sizeof *h);
      log->bytes_read += sizeof *h;
    } else if (read_bytes(log, ms, h, sizeof *h, 1, nullptr)) {
      return 1;
    }
    if (log->swap) swap_evthdr(h);
    if (h->ses >= log->hdr.nsessions || !log->sessions) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file is corrupt, got ses_id=%u on evt %lu", h->ses,
               (unsigned long)log->events);
      return 1;
    }
    if (log->sessions[h->ses].closed) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file is corrupt, got event-type %u after Session-%d trailer",
               h->type, h->ses + 1);
      return 1;
    }
    if (h->caplen < 0) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file is corrupt, got caplen=%ld on evt %lu", (long)h->caplen,
               (unsigned long)log->events);
      return 1;
    }
    if (ms) {
      int closing = h->type == KAV_EVT_FATAL || h->type == KAV_EVT_END;
      map_prefetch(ms, log->bytes_read + (uint64_t)h->caplen + (closing ? sizeof(kav_sestrl) : 0));
    }
    if (flags & KAV_RD_HDR) return 0;
  } else if (h->ses >= log->hdr.nsessions || !log->sessions || h->caplen < 0) {
    // The header of an earlier call was changed or never read.
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Log file is corrupt, got ses_id=%u on evt %lu", h->ses,
             (unsigned long)log->events);
    return 1;
  }
  kav_session *s = &log->sessions[h->ses];
  int result = 0;
  if (truncated) *truncated = 0;
  int64_t n = h->caplen;
  if (bufsize < 0) bufsize = 0;
  if (data) *data = buf;
  if (n > 0) {
    if (n > bufsize) {
      h->caplen = bufsize;
      if (read_bytes(log, ms, buf, bufsize, 0, data)) return 1;
      if (do_fwdseek(log, ms, (long)(n - bufsize))) return 1;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Event #%u:%lu truncated by %d bytes", h->ses + 1u,
               (unsigned long)s->events, (int)(n - bufsize));
      if (truncated) *truncated = 1;
      result = 1;
    } else if (const unsigned char *p = data ? map_here(ms, log->bytes_read, (uint64_t)n) : nullptr) {
      *data = p;
      log->bytes_read += (uint64_t)n;
    } else if (read_bytes(log, ms, buf, (long)n, 0, data)) {
      return 1;
    }
  }
  log->events++;
  s->events++;
  if (h->type == KAV_EVT_FRAME) {
    log->packets++;
    log->octets += (uint64_t)h->wirelen;
    add64(&s->trl.frames, 1);
    add64(&s->trl.octets, h->wirelen);
  }
  if (h->type == KAV_EVT_FATAL || h->type == KAV_EVT_END) {
    if (read_bytes(log, ms, &s->trl, sizeof s->trl, 0, nullptr)) return 1;
    s->closed = 1;
    if (log->swap) swap_sestrl(&s->trl);
  }
  return result;
}

}  // namespace

int kav_read_evt(kav_logfile *log, int ses, void *buf, int bufsize, unsigned int flags, int *truncated) {
  return read_evt(log, ses, buf, bufsize, flags, truncated, nullptr);
}

int kav_read_evt_ref(kav_logfile *log, int ses, void *buf, int bufsize, unsigned int flags, int *truncated,
                     const void **data) {
  return read_evt(log, ses, buf, bufsize, flags, truncated, data);
}

int kav_map_input(kav_logfile *log, size_t window) {
  if (map_of(log)) return 1;
  struct stat st;
  if (!log->stream || fileno(log->stream) < 0 || fstat(fileno(log->stream), &st) != 0 || !S_ISREG(st.st_mode))
    return 0;
  // Nothing left, or a file that does not tell its size: stdio as ever.
  if ((uint64_t)st.st_size <= log->bytes_read) return 0;
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  map_state *ms = new (std::nothrow) map_state;
  if (!ms) return 0;
  ms->fd = fileno(log->stream);
  ms->size = (uint64_t)st.st_size;
  ms->window = window < page ? page : (window + page - 1) / page * page;
  char keep[sizeof tvl_usrmsg];
  memcpy(keep, tvl_usrmsg, sizeof keep);
  if (map_window(ms, log->bytes_read, log->bytes_read)) {
    memcpy(tvl_usrmsg, keep, sizeof keep);  // not a failure: the caller reads on through stdio
    delete ms;
    return 0;
  }
  ms->moves = 0;
  if (!ext_attach(log, ms, nullptr)) {
    map_free(ms);
    return 0;
  }
  return 1;
}

uint64_t kav_map_moves(const kav_logfile *log) {
  const map_state *ms = map_of(log);
  return ms ? ms->moves : 0;
}

int kav_map_check(kav_logfile *log) {
  map_state *ms = map_of(log);
  return ms && map_restat(ms) ? 1 : 0;
}

int kav_map_holds(const kav_logfile *log, const void *addr) {
  const map_state *ms = map_of(log);
  if (!ms) return 0;
  const unsigned char *a = static_cast<const unsigned char *>(addr);
  return (ms->cur && a >= ms->cur && a < ms->cur + ms->cur_len) ||
         (ms->prev && a >= ms->prev && a < ms->prev + ms->prev_len);
}
