// Log reader on arbitrary bytes: header, sessions, events with small and
// large buffers, header-only reads and byte-swapped fields. With bit 7 of the
// first byte set, the bytes are read a second time from a mapping of one
// page, data by reference, and both reads must see the same. Inputs whose
// first byte has bit 6 set are instead a script of events that is written as
// a log and read back: what comes back must be exactly what went in.
#include "kav.h"
#include "tova.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct written {
  int ses, type;
  int64_t sec, usec, wirelen;
  std::vector<uint8_t> data;
};

void round_trip(const uint8_t *data, size_t size) {
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  int nses = 1 + next() % 3;
  char *mem = nullptr;
  size_t memlen = 0;
  FILE *out = open_memstream(&mem, &memlen);
  if (!out) return;
  kav_logfile w{};
  w.stream = out;
  w.hdr.nsessions = (signed char)nses;
  if (kav_write_loghdr(&w, nullptr, 0) != 0) abort();
  for (int s = 0; s < nses; s++) {
    kav_seshdr &h = w.sessions[s].hdr;
    snprintf(h.hostname, sizeof h.hostname, "host%d", s);
    snprintf(h.ifname, sizeof h.ifname, "if%d", s);
    h.linktype = next();
    h.snaplen = -1;
    if (kav_write_seshdr(&w, s) != 0) abort();
  }
  std::vector<written> evs;
  while (pos < size && evs.size() < 200) {
    written e;
    e.ses = next() % nses;
    if (w.sessions[e.ses].closed) continue;
    uint8_t t = next();
    e.type = (t & 0x80) ? KAV_EVT_ERROR : KAV_EVT_FRAME;
    e.sec = int64_t(next()) << 24 | next();
    e.usec = next() * 3907;
    size_t n = next() * 9u % 2000;
    for (size_t i = 0; i < n; i++) e.data.push_back(uint8_t(pos + i));
    e.wirelen = int64_t(n) + (t & 0x7F);
    kav_evthdr &h = w.sessions[e.ses].evthdr;
    h = kav_evthdr{};
    h.ses = uint8_t(e.ses);
    h.type = uint8_t(e.type);
    h.sec = e.sec;
    h.usec = e.usec;
    h.caplen = int64_t(n);
    h.wirelen = e.type == KAV_EVT_FRAME ? e.wirelen : int64_t(n);
    if (e.type != KAV_EVT_FRAME) e.wirelen = int64_t(n);
    if (kav_write_evt(&w, e.ses, e.data.data(), 0) != 0) abort();
    evs.push_back(std::move(e));
  }
  kav_close_logfile(&w);
  fclose(out);

  FILE *in = fmemopen(mem, memlen ? memlen : 1, "r");
  if (!in) abort();
  kav_logfile r{};
  r.stream = in;
  if (memlen == 0 || kav_read_loghdr(&r, nullptr, 0) != 0 || r.hdr.nsessions != nses) abort();
  for (int s = 0; s < nses; s++) {
    if (kav_read_seshdr(&r, s) != 0) abort();
    char name[36];
    snprintf(name, sizeof name, "if%d", s);
    if (strcmp(r.sessions[s].hdr.ifname, name) != 0) abort();
  }
  std::vector<uint8_t> buf(2001);
  for (const written &e : evs) {
    int trunc = 0;
    if (kav_read_evt(&r, -1, buf.data(), int(buf.size()), 0, &trunc) != 0 || trunc) abort();
    const kav_evthdr &h = r.evthdr;
    if (h.ses != e.ses || h.type != e.type || h.sec != e.sec || h.usec != e.usec || h.wirelen != e.wirelen ||
        h.caplen != int64_t(e.data.size()) ||
        (!e.data.empty() && memcmp(buf.data(), e.data.data(), e.data.size()) != 0))
      abort();
  }
  int trunc = 0;
  if (kav_read_evt(&r, -1, buf.data(), int(buf.size()), 0, &trunc) == 0 || !r.eof) abort();  // nothing more
  kav_close_logfile(&r);
  fclose(in);
  free(mem);
}

// What one read call gave.
struct step {
  int rc, trunc, eof;
  std::string msg;
  kav_evthdr hdr;
  std::vector<uint8_t> data;
  uint64_t events, bytes_read;
  bool operator==(const step &o) const {
    return rc == o.rc && trunc == o.trunc && eof == o.eof && msg == o.msg && !memcmp(&hdr, &o.hdr, sizeof hdr) &&
           data == o.data && events == o.events && bytes_read == o.bytes_read;
  }
};

// Reads the log on f to its end or first failure; window: from a mapping of
// that size once the session headers are read.
std::vector<step> read_log(FILE *f, uint8_t mode, size_t window) {
  // The mode byte picks the reader's buffer size and way of reading.
  const int sizes[] = {0, 1, 13, 60, 1514, 9001, 20000, 70000};
  int bufsize = sizes[mode & 7];
  bool split = mode & 0x08;
  bool by_session = mode & 0x10;
  std::vector<step> steps;
  kav_logfile log{};
  log.stream = f;
  if (kav_read_loghdr(&log, nullptr, (mode & 0x20) ? 4096 : 0) == 0) {
    bool ok = true;
    for (int s = 0; ok && s < log.hdr.nsessions; s++) ok = kav_read_seshdr(&log, s) == 0;
    if (ok && window) kav_map_input(&log, window);
    std::vector<uint8_t> buf((size_t)bufsize + 1);
    for (int n = 0; ok && n < 10000; n++) {
      int trunc = 0;
      int ses = by_session && log.hdr.nsessions > 0 ? n % log.hdr.nsessions : -1;
      const void *at = buf.data();
      tvl_usrmsg[0] = 0;
      int rc;
      if (split) {
        rc = kav_read_evt(&log, ses, buf.data(), bufsize, KAV_RD_HDR, &trunc);
        if (rc == 0) rc = kav_read_evt_ref(&log, ses, buf.data(), bufsize, KAV_RD_DATA, &trunc, &at);
      } else {
        rc = kav_read_evt_ref(&log, ses, buf.data(), bufsize, 0, &trunc, &at);
      }
      const kav_evthdr &h = ses < 0 ? log.evthdr : log.sessions[ses].evthdr;
      if (rc == 0 && h.caplen > bufsize) abort();  // delivered more than the buffer holds
      step st{rc, trunc, log.eof, rc ? tvl_usrmsg : "", h, {}, log.events, log.bytes_read};
      if ((rc == 0 || trunc) && h.caplen > 0)
        st.data.assign(static_cast<const uint8_t *>(at), static_cast<const uint8_t *>(at) + h.caplen);
      steps.push_back(std::move(st));
      if (rc != 0 && !trunc) break;
    }
  }
  kav_close_logfile(&log);
  return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 0x40) {
    round_trip(data + 1, size - 1);
    return 0;
  }
  FILE *f = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
  if (!f) return 0;
  std::vector<step> streamed = read_log(f, data[0], 0);
  fclose(f);
  if (!(data[0] & 0x80)) return 0;
  int fd = memfd_create("fuzz_kavlog", 0);
  if (fd < 0) return 0;
  if (write(fd, data + 1, size - 1) != (ssize_t)(size - 1) || lseek(fd, 0, SEEK_SET) != 0) abort();
  FILE *m = fdopen(fd, "r");
  if (!m) abort();
  if (read_log(m, data[0], 4096) != streamed) abort();
  fclose(m);
  return 0;
}
