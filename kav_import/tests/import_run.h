// Running kav_import on an input image and taking its log and messages.
#ifndef IMPORT_RUN_H
#define IMPORT_RUN_H

#include <gtest/gtest.h>

#include <ctime>

#include "logtest_util.h"

namespace logtest {

struct Imported {
  RunResult rr;
  Bytes out;
  std::string err;
};

// Standard input is a regular file, or with `piped` a pipe.
inline Imported import(const std::vector<std::string> &args, const Bytes &input, bool piped = false) {
  TempDir td;
  write_file(td.file("in"), input);
  std::vector<std::string> argv = {bin("kav_import")};
  argv.insert(argv.end(), args.begin(), args.end());
  Imported r;
  if (piped) {
    std::string cmd = "cat '" + td.file("in") + "' | TOVATRC_FILENAME=/dev/null '" + argv[0] + "'";
    for (size_t i = 1; i < argv.size(); i++) cmd += " '" + argv[i] + "'";
    cmd += " > '" + td.file("out") + "' 2> '" + td.file("err") + "'";
    r.rr.status = sh(cmd);
  } else {
    r.rr = run(argv, td.file("in"), td.file("out"), td.file("err"));
  }
  r.out = read_file(td.file("out"));
  r.err = read_text(td.file("err"));
  return r;
}

// The session start time of a log image, or -1.
inline int64_t start_of(const Bytes &out) {
  return out.size() >= 15 + 80 ? (int64_t)get_le(out, 15 + SH_START, 8) : -1;
}

inline void expect_recent(int64_t t) {
  int64_t now = (int64_t)time(nullptr);
  EXPECT_LE(t, now);
  EXPECT_GE(t, now - 120);
}

}  // namespace logtest

#endif
