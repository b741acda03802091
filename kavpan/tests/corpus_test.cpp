// Robustness: every frame of every capture in the shared corpus (many of them
// malformed on purpose) decodes at verbosity 2 and 4 without a crash, a hang
// or a sanitizer report, from its natural start layer and from every other
// start layer the chain knows, tags, MPLS, PPPoE, GRE and ICMPv6 included.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "panapp.h"
#include "pkt_helpers.h"
#include "testsupport.h"

namespace {

struct start {
  int layer, proto;
};
const start kStarts[] = {{2, 1},  {2, 2},  {2, 6},  {2, 7},  {2, 8},  {2, 9},  {2, 10}, {2, 11},
                         {2, 12}, {2, 13}, {3, 1},  {3, 2},  {3, 3},  {3, 6},  {3, 7},  {4, 1},
                         {4, 2},  {4, 6},  {4, 17}, {4, 47}, {4, 58}, {4, 89}, {4, 112}, {5, 80}};

class PanCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoders(2);
    sink_ = fopen("/dev/null", "w");
    ASSERT_NE(sink_, nullptr);
    kav_outfp = sink_;
  }
  void TearDown() override {
    kav_outfp = nullptr;
    if (sink_) fclose(sink_);
    reset_decoders(2);
  }
  // Decodes from a heap copy of exactly the captured octets.
  static void run(int vb, int layer, int proto, const bytes &fr, int off, unsigned missing) {
    int n = int(fr.size()) - off;
    if (n < 0) n = 0;
    unsigned char *copy = (unsigned char *)malloc(n ? size_t(n) : 1);
    if (n) memcpy(copy, fr.data() + off, size_t(n));
    kav_pktctx ctx;
    kav_vblvl = vb;
    print_pkt(layer, proto, copy, n, missing, &ctx);
    free(copy);
  }
  FILE *sink_ = nullptr;
};

TEST_F(PanCorpus, EveryFrameDecodesAtVerbosity2And4) {
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "capture corpus not found at " << vts::corpus_dir());
  size_t frames = 0, natural = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (const auto &path : files) {
    pcap_file pf;
    if (!read_pcap(path, pf)) continue;
    for (const auto &fr : pf.frames) {
      frames++;
      unsigned missing = fr.wirelen > fr.caplen ? fr.wirelen - fr.caplen : 0;
      int layer, proto, off;
      if (pcap_start(pf.linktype, fr.data, &layer, &proto, &off)) {
        natural++;
        for (int vb : {2, 4}) run(vb, layer, proto, fr.data, off, missing);
      }
      for (const auto &s : kStarts)
        for (int vb : {2, 4}) run(vb, s.layer, s.proto, fr.data, 0, missing);
    }
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("corpus: %zu files, %zu frames (%zu with a known link type) in %.1f s\n", files.size(), frames, natural, secs);
  EXPECT_GT(frames, 1000u);
  EXPECT_GT(natural, 500u);
}

TEST_F(PanCorpus, SummaryLinesAreWholeLines) {
  // At verbosity 2 each frame of a known link type gives exactly one line.
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "capture corpus not found at " << vts::corpus_dir());
  kav_outfp = nullptr;
  size_t checked = 0;
  for (const auto &path : files) {
    pcap_file pf;
    if (!read_pcap(path, pf, 50)) continue;
    for (const auto &fr : pf.frames) {
      int layer, proto, off;
      if (!pcap_start(pf.linktype, fr.data, &layer, &proto, &off) || int(fr.data.size()) <= off) continue;
      bytes body(fr.data.begin() + off, fr.data.end());
      std::string line = decode(2, layer, proto, body);
      ASSERT_FALSE(line.empty()) << path;
      EXPECT_EQ(line.find('\n'), line.size() - 1) << path << ": " << line;
      checked++;
    }
  }
  EXPECT_GT(checked, 500u);
}

TEST_F(PanCorpus, EveryDispatchRowTakesEveryFrame) {
  // Every application decoder of the dispatch table, present and future, is
  // fed every frame as a payload (whole, and from where a UDP payload would
  // start), over both transports, at verbosity 2 and 4, with the SSL records
  // decoded.
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "capture corpus not found at " << vts::corpus_dir());
  setenv("KAV_SSL_PARSE", "y", 1);
  kav_ssl_reset();
  kav_force_map = 1;
  size_t calls = 0;
  for (const auto &path : files) {
    pcap_file pf;
    if (!read_pcap(path, pf)) continue;
    for (size_t n = 0; n < pf.frames.size(); n++) {
      const bytes &fr = pf.frames[n].data;
      for (int off : {0, 42}) {
        int len = int(fr.size()) - off;
        if (len <= 0) continue;
        unsigned char *copy = (unsigned char *)malloc(size_t(len));
        memcpy(copy, fr.data() + off, size_t(len));
        for (int r = 0; r < kav_l5rows; r++) {
          kav_proto_map = kav_l5table[r].key;
          for (int vb : {2, 4}) {
            kav_vblvl = vb;
            int layer = KAV_LAYER_APP, proto = 0, trailer = 0, more = 0;
            kav_pktctx ctx;
            unsigned left = kav_panl5(&layer, &proto, n % 2 ? 6 : 17, kav_view(copy, len), &trailer, &more, &ctx);
            EXPECT_LE(left, unsigned(len));
            EXPECT_EQ(more, 0);
            calls++;
          }
        }
        free(copy);
      }
    }
  }
  unsetenv("KAV_SSL_PARSE");
  kav_ssl_reset();
  printf("dispatch rows: %d, decoder calls: %zu\n", kav_l5rows, calls);
  EXPECT_GT(calls, 100000u);
}

}  // namespace
