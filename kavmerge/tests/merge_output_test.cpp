// kavmerge against output that fails: the pipe's reader goes, a full device,
// a terminal. One message and status 1.
#include <gtest/gtest.h>

#include "logtest_util.h"
#include "outpipe.h"

using namespace logtest;

namespace {

// A one-session log of n frames of 400 bytes, one every millisecond.
Bytes log_of(int n, const std::string &ifname) {
  SesHdr s;
  s.host = "host";
  s.ifname = ifname;
  s.start = 1000;
  s.linktype = 4;
  Bytes b = log_hdr(1);
  append(b, ses_hdr(s));
  for (int i = 0; i < n; i++) append(b, evt(0, 1, 1000 + i / 1000, i % 1000 * 1000, pattern(400, unsigned(i))));
  append(b, evt(0, 4, 1100, 0, {}));
  append(b, trailer(100, n, 400 * n, 0, 0));
  return b;
}

TEST(MergeOutput, ReaderGoneStopsTheMerge) {
  TempDir td;
  write_file(td.file("a"), log_of(10000, "a0"));
  write_file(td.file("b"), log_of(10000, "b0"));
  outpipe::Outcome o =
      outpipe::reader_goes({bin("kavmerge"), td.file("a"), td.file("b")}, {}, 1000, false);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.err.rfind("Outfile event: Write failed for ", 0), 0u) << o.err;
  EXPECT_NE(o.err.find("errno=32 [Broken pipe]\n"), std::string::npos) << o.err;
  EXPECT_EQ(outpipe::lines(o.err), 1u) << o.err;
}

TEST(MergeOutput, FullDeviceAndTerminal) {
  TempDir td;
  write_file(td.file("a"), log_of(3, "a0"));
  write_file(td.file("empty"), {});
  outpipe::Outcome full = outpipe::to_path({bin("kavmerge"), td.file("a")}, td.file("empty"), "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "Outfile event: Write failed for 400-byte event-1 - errno=28 [No space left on device]\n");

  // Held in the buffer of a regular file until the end: the last flush.
  outpipe::Outcome tail = outpipe::to_path({bin("kavmerge"), td.file("a")}, td.file("empty"), td.file("out"), 500);
  EXPECT_EQ(tail.status, 1);
  EXPECT_EQ(tail.err, "Outfile event: Flush failed on output - errno=27 [File too large]\n");

  outpipe::Outcome tty = outpipe::to_terminal({bin("kavmerge"), td.file("a")}, td.file("empty"));
  EXPECT_EQ(tty.status, 1);
  EXPECT_EQ(tty.err, "This program produces binary output.\nRedirect to a file, or pipe into kavpan.\n");
  EXPECT_EQ(tty.shown, "");
}

}  // namespace
