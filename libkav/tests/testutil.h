// Shared helpers for the libkav tests.
#ifndef KAV_TESTUTIL_H
#define KAV_TESTUTIL_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// Trace lines of the library must not leave files behind.
struct QuietTrace {
  QuietTrace() { setenv("TOVATRC_FILENAME", "/dev/null", 1); }
};
static QuietTrace quiet_trace;

struct TempPath {
  std::string path;
  TempPath() {
    char t[] = "/tmp/kavtestXXXXXX";
    int fd = mkstemp(t);
    if (fd >= 0) close(fd);
    path = t;
  }
  ~TempPath() { unlink(path.c_str()); }
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out;
    if (FILE *f = fopen(path.c_str(), "rb")) {
      int c;
      while ((c = fgetc(f)) != EOF) out.push_back((uint8_t)c);
      fclose(f);
    }
    return out;
  }
  void write(const std::vector<uint8_t> &b) const {
    if (FILE *f = fopen(path.c_str(), "wb")) {
      fwrite(b.data(), 1, b.size(), f);
      fclose(f);
    }
  }
};

#endif
