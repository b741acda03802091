// kav_import against output that fails: the reader of the pipe goes (while
// frames flow, or while the input is quiet), a full device, a file that may
// not grow, a terminal. One message, status 1, and never "Done".
#include <gtest/gtest.h>

#include "logtest_util.h"
#include "outpipe.h"

using namespace logtest;

namespace {

const std::string kPcapNote = "PCAP linktype=1 mapped to DLPI=0x4\n";

Bytes many_frames(int n) {
  std::vector<PcapRec> recs;
  for (int i = 0; i < n; i++)
    recs.push_back({uint32_t(1700000000 + i / 1000), uint32_t(i % 1000 * 1000), eth_ipv4(400, unsigned(i))});
  return pcap_file(recs, 1);
}

std::vector<std::string> importer() { return {bin("kav_import"), "-x", "Tcpdump"}; }

TEST(ImportOutput, ReaderGoneWhileFramesFlow) {
  Bytes in = many_frames(20000);  // about 8.6 MB
  outpipe::Outcome o = outpipe::reader_goes(importer(), in, 1000, false);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.err.rfind(kPcapNote + "Outfile: Write failed for ", 0), 0u) << o.err;
  EXPECT_NE(o.err.find("errno=32 [Broken pipe]\n"), std::string::npos) << o.err;
  EXPECT_EQ(outpipe::lines(o.err), 2u) << o.err;
  EXPECT_EQ(o.err.find("Done"), std::string::npos);
  // It stopped at once instead of converting the rest for nobody.
  EXPECT_TRUE(o.input_cut);
  EXPECT_LT(o.fed, in.size() / 4);
}

TEST(ImportOutput, ReaderGoneWhileInputIsQuiet) {
  // A pcap header and two frames, then the input stays open with nothing
  // more, as from a live capture on a quiet link.
  Bytes in = pcap_file({{1700000000, 1, eth_ipv4(46, 1)}, {1700000001, 2, eth_ipv4(46, 2)}}, 1);
  // The reader takes both frames (log and session headers, two events),
  // then goes while the importer waits for more.
  outpipe::Outcome o = outpipe::reader_goes(importer(), in, 15 + 216 + 2 * (40 + 60), true);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.err, kPcapNote + "Outfile: Output closed by its reader - errno=32 [Broken pipe]\n");
}

TEST(ImportOutput, FullDeviceAndFileSizeLimit) {
  TempDir td;
  write_file(td.file("in"), many_frames(50));
  outpipe::Outcome full = outpipe::to_path(importer(), td.file("in"), "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, kPcapNote + "Outfile: Write failed for 414-byte event-1 - errno=28 [No space left on device]\n");

  // Into a regular file the log is block-buffered: the loss shows when a
  // buffer goes out, or at the last flush.
  outpipe::Outcome big = outpipe::to_path(importer(), td.file("in"), td.file("out"), 10000);
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err.rfind(kPcapNote + "Outfile: ", 0), 0u) << big.err;
  EXPECT_NE(big.err.find("errno=27 [File too large]\n"), std::string::npos) << big.err;
  EXPECT_EQ(outpipe::lines(big.err), 2u) << big.err;

  // A log that fits into the buffer fails only at the final flush.
  write_file(td.file("small"), many_frames(3));
  outpipe::Outcome tail = outpipe::to_path(importer(), td.file("small"), td.file("out"), 500);
  EXPECT_EQ(tail.status, 1);
  EXPECT_EQ(tail.err, kPcapNote + "Outfile: Flush failed on output - errno=27 [File too large]\n");
}

TEST(ImportOutput, TerminalIsRefused) {
  TempDir td;
  write_file(td.file("in"), many_frames(2));
  outpipe::Outcome o = outpipe::to_terminal(importer(), td.file("in"));
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "This program produces binary output.\nRedirect to a file, or pipe into kavpan.\n");
  EXPECT_EQ(o.shown, "");
  // Usage still goes to a terminal.
  outpipe::Outcome h = outpipe::to_terminal({bin("kav_import"), "-h"}, td.file("in"));
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.shown.find("USAGE:"), std::string::npos);
}

}  // namespace
