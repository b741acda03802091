// Log reader on arbitrary bytes: header, sessions, events with small and
// large buffers, header-only reads and byte-swapped fields.
#include "kav.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the reader's buffer size and mode.
  const int sizes[] = {0, 1, 13, 60, 1514, 9001, 20000, 70000};
  int bufsize = sizes[data[0] & 7];
  bool split = data[0] & 0x08;
  bool by_session = data[0] & 0x10;
  FILE *f = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
  if (!f) return 0;
  kav_logfile log{};
  log.stream = f;
  if (kav_read_loghdr(&log, nullptr, (data[0] & 0x20) ? 4096 : 0) == 0) {
    bool ok = true;
    for (int s = 0; ok && s < log.hdr.nsessions; s++) ok = kav_read_seshdr(&log, s) == 0;
    std::vector<uint8_t> buf((size_t)bufsize + 1);
    for (int n = 0; ok && n < 10000; n++) {
      int trunc = 0;
      int ses = by_session && log.hdr.nsessions > 0 ? n % log.hdr.nsessions : -1;
      int rc;
      if (split) {
        rc = kav_read_evt(&log, ses, buf.data(), bufsize, KAV_RD_HDR, &trunc);
        if (rc == 0) rc = kav_read_evt(&log, ses, buf.data(), bufsize, KAV_RD_DATA, &trunc);
      } else {
        rc = kav_read_evt(&log, ses, buf.data(), bufsize, 0, &trunc);
      }
      const kav_evthdr &h = ses < 0 ? log.evthdr : log.sessions[ses].evthdr;
      if (rc == 0 && h.caplen > bufsize) abort();  // delivered more than the buffer holds
      if (rc != 0 && !trunc) break;
    }
  }
  kav_close_logfile(&log);
  fclose(f);
  return 0;
}
