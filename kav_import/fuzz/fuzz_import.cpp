// libFuzzer target for the importer's format readers. The first input byte
// picks the source type (pcapng included, and reached through Tcpdump by
// its magic), whether the input is read as a pipe, and the -o/-p offsets;
// the rest is the capture. What imports is written as a log and read back:
// each session's trailer must count exactly the frames logged in it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "impfmt.h"
#include "kav.h"

namespace {

// The frames of one import, written as a log the way the importer does.
struct Logged {
  char *mem = nullptr;
  size_t len = 0;
  FILE *f = nullptr;
  kav_logfile log{};
  std::vector<kav_session> ses;
  std::vector<uint64_t> frames, octets;
};

void check_read_back(Logged &w, int nses) {
  FILE *in = fmemopen(w.mem, w.len, "r");
  if (!in) return;
  kav_logfile r{};
  r.stream = in;
  if (kav_read_loghdr(&r, nullptr, 0) != 0 || r.hdr.nsessions != nses) __builtin_trap();
  for (int i = 0; i < nses; i++)
    if (kav_read_seshdr(&r, i) != 0) __builtin_trap();
  std::vector<uint64_t> frames(size_t(nses), 0), octets(size_t(nses), 0);
  std::vector<unsigned char> buf(IMP_FRAMEBUF + 1);
  int ended = 0;
  for (;;) {
    int trunc = 0;
    if (kav_read_evt(&r, -1, buf.data(), int(buf.size()), 0, &trunc) != 0) {
      if (!r.eof || trunc) __builtin_trap();
      break;
    }
    const kav_evthdr &h = r.evthdr;
    if (h.ses >= nses) __builtin_trap();
    if (h.type == KAV_EVT_FRAME) {
      frames[h.ses]++;
      octets[h.ses] += uint64_t(h.wirelen);
    } else if (h.type == KAV_EVT_END) {
      const kav_sestrl &t = r.sessions[h.ses].trl;
      if (uint64_t(t.frames) != frames[h.ses] || uint64_t(t.octets) != octets[h.ses]) __builtin_trap();
      ended++;
    }
  }
  if (ended != nses) __builtin_trap();
  for (int i = 0; i < nses; i++)
    if (frames[size_t(i)] != w.frames[size_t(i)]) __builtin_trap();
  kav_close_logfile(&r);
  fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static const int types[8] = {IMP_SNOOP, IMP_TCPDUMP, IMP_IP, IMP_ETHER, IMP_PCAPNG, IMP_TCPDUMP, IMP_PCAPNG,
                               IMP_TCPDUMP};
  static imp_reader rd;
  unsigned sel = data[0];
  rd = imp_reader{};
  rd.type = types[sel & 7];
  rd.unseekable = (sel >> 3) & 1;
  if (rd.type == IMP_IP || rd.type == IMP_ETHER) {
    rd.first_off = (sel >> 4) & 3;
    rd.gap = (sel >> 6) & 3;
  }
  // fmemopen needs a non-empty buffer: an empty capture is one byte, consumed.
  static uint8_t one[1];
  FILE *in = size > 1 ? fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "rb") : fmemopen(one, 1, "rb");
  if (!in) return 0;
  if (size == 1) fgetc(in);
  rd.in = in;
  rd.msgs = nullptr;
  if (imp_open(&rd) == 0) {
    if (rd.nifs < 1 || rd.nifs > IMP_MAXIFS) __builtin_trap();
    Logged w;
    int nses = rd.nifs;
    w.f = open_memstream(&w.mem, &w.len);
    w.ses.assign(size_t(nses), kav_session{});
    w.frames.assign(size_t(nses), 0);
    w.log.hdr.nsessions = (signed char)nses;
    w.log.sessions = w.ses.data();
    w.log.stream = w.f;
    bool ok = w.f && kav_write_loghdr(&w.log, nullptr, 0) == 0;
    for (int i = 0; ok && i < nses; i++) {
      w.ses[size_t(i)].hdr.linktype = rd.ifs[i].link.dlpi;
      ok = kav_write_seshdr(&w.log, i) == 0;
    }
    int rc;
    while ((rc = imp_next(&rd)) == 0) {
      if (rd.caplen < 0 || rd.caplen > IMP_FRAMEBUF || rd.ifx < 0 || rd.ifx >= rd.nifs) __builtin_trap();
      if (!ok) continue;
      kav_evthdr &eh = w.ses[size_t(rd.ifx)].evthdr;
      eh = kav_evthdr{};
      eh.ses = (unsigned char)rd.ifx;
      eh.type = KAV_EVT_FRAME;
      eh.sec = rd.sec;
      eh.usec = rd.usec;
      eh.caplen = rd.caplen;
      eh.wirelen = rd.wirelen;
      ok = kav_write_evt(&w.log, rd.ifx, rd.frame, 0) == 0;
      w.frames[size_t(rd.ifx)]++;
    }
    for (int i = 0; ok && i < nses; i++) {
      kav_evthdr &eh = w.ses[size_t(i)].evthdr;
      eh = kav_evthdr{};
      eh.ses = (unsigned char)i;
      eh.type = KAV_EVT_END;
      ok = kav_write_evt(&w.log, i, nullptr, 0) == 0;
    }
    // A failed parse leaves the log without trailers, as the importer does;
    // only a clean end is read back.
    if (w.f) {
      kav_close_logfile(&w.log);
      fclose(w.f);
      if (ok && rc < 0) check_read_back(w, nses);
      free(w.mem);
    }
  }
  imp_close(&rd);
  fclose(in);
  return 0;
}
