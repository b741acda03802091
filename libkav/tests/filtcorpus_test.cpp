// The matcher against tcpdump on the Ethernet frames of the shared capture
// corpus, for expressions whose meaning is the same in both languages.
#include "capfile.h"
#include "filtset.h"
#include "kav.h"
#include "testsupport.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMaxSnap = 262144;

using Frame = std::vector<uint8_t>;

// Frames of a classic pcap file with the given link type; stops at the first
// record cut short.
std::vector<Frame> read_pcap(const std::string &path, uint32_t want_link) {
  std::vector<Frame> out;
  pkt::PcapFile pf;
  if (!pkt::read_pcap(path, pf, SIZE_MAX) || (pf.linktype & 0xFFFF) != want_link) return out;
  for (pkt::PcapFrame &fr : pf.frames) out.push_back(std::move(fr.data));
  return out;
}

// The seconds of every record's timestamp (write_pcap numbers them from 1).
std::vector<uint32_t> pcap_seconds(const std::string &path) {
  std::vector<uint32_t> out;
  pkt::PcapFile pf;
  if (!pkt::read_pcap(path, pf, SIZE_MAX)) return out;
  for (const pkt::PcapFrame &fr : pf.frames) out.push_back(fr.sec);
  return out;
}

void write_pcap(const std::string &path, const std::vector<Frame> &frames) {
  std::vector<pkt::PcapFrame> recs(frames.size());
  for (size_t i = 0; i < frames.size(); i++) {
    recs[i].sec = uint32_t(i + 1);
    recs[i].data = frames[i];
  }
  ASSERT_TRUE(pkt::write_pcap(path, recs, 1, kMaxSnap));
}

std::vector<Frame> corpus_ethernet_frames() {
  std::vector<Frame> all;
  std::string dir = vts::corpus_dir();
  DIR *d = opendir(dir.c_str());
  if (!d) return all;
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".pcap") == 0) names.push_back(n);
  }
  closedir(d);
  for (const std::string &n : names) {
    std::vector<Frame> fs = read_pcap(dir + "/" + n, 1);
    all.insert(all.end(), fs.begin(), fs.end());
  }
  return all;
}

struct Pair {
  const char *kav;
  const char *tcpdump;
  bool see_through = true;  // false: the rule reads the outer Ethernet header
};

TEST(KavFiltCorpus, AgreesWithTcpdump) {
  VTS_REQUIRE(vts::have_tool("tcpdump"), "no tcpdump");
  std::vector<Frame> frames = corpus_ethernet_frames();
  VTS_REQUIRE(frames.size() >= 1000, "capture corpus not found at " << vts::corpus_dir());
  TempPath in, out;
  write_pcap(in.path, frames);
  const Pair pairs[] = {
      {"TCP SD=80", "tcp port 80"},
      {"IP SD=10.0.0.0/8", "ip net 10.0.0.0/8"},
      {"TCP F=S^A", "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn"},
      {"UDP DST<1024", "udp dst portrange 0-1023"},
      {"IP F=F", "ip[6:2] & 0x3fff != 0"},
      {"ETH ETYPE=2054", "ether proto 0x0806", false},
      {"ICMP TYPE=echo", "icmp[0] = 8"},
      {"IP HLEN>20", "ip and ip[0] & 0xf > 5"},
      {"(TCP SD=80) | (UDP SD=53)", "tcp port 80 or udp port 53"},
  };
  for (const Pair &p : pairs) {
    // Our rules see through 802.1Q/802.1ad tags, MPLS label stacks and PPPoE
    // sessions. tcpdump says each encapsulation in its expression, and its
    // offsets do not mix well across "or", so each depth is a run of its own
    // and the frames taken (known by their timestamps, the frame's index) are
    // united.
    static const char *const kWraps[] = {"",           "vlan and ",        "vlan and vlan and ", "mpls and ",
                                         "mpls and mpls and ", "mpls and mpls and mpls and ", "pppoes and "};
    std::vector<bool> take(frames.size());
    for (const char *w : kWraps) {
      if (!p.see_through && *w) continue;
      std::string cmd = "tcpdump -Z root -r " + in.path + " -w " + out.path + " '" + w + "(" + p.tcpdump + ")' 2>/dev/null";
      ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
      for (uint32_t sec : pcap_seconds(out.path))
        if (sec >= 1 && sec <= frames.size()) take[sec - 1] = true;
    }
    std::vector<Frame> want;
    for (size_t k = 0; k < frames.size(); k++)
      if (take[k]) want.push_back(frames[k]);
    void *f = kav_filt_parse(p.kav, nullptr);
    ASSERT_NE(f, nullptr) << p.kav;
    std::vector<Frame> got;
    for (const Frame &fr : frames)
      if (kav_filt_match(f, fr.data(), (int)fr.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW))
        got.push_back(fr);
    kav_filt_free(f);
    EXPECT_GT(want.size(), 0u) << p.tcpdump;
    EXPECT_EQ(got.size(), want.size()) << p.kav;
    EXPECT_TRUE(got == want) << p.kav;
  }
}

// Real frames, many malformed, whole and cut short: the shortcuts taken for
// Ethernet II frames decide as the general walk does.
TEST(KavFiltCorpus, ShortcutsAgreeWithWalk) {
  std::vector<Frame> frames = corpus_ethernet_frames();
  VTS_REQUIRE(frames.size() >= 1000, "capture corpus not found at " << vts::corpus_dir());
  const size_t cuts[] = {13, 14, 21, 22, 33, 34, 35, 41, 42, 53, 54, 57, 61, 62, 73, 74};
  for (const char *text : filtset::kFilters) {
    void *f = kav_filt_parse(text, nullptr);
    ASSERT_NE(f, nullptr) << text;
    long yes = 0, differ = 0;
    for (const Frame &fr : frames) {
      for (size_t cut : cuts) {
        if (cut > fr.size()) break;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[cut]);
        memcpy(copy.get(), fr.data(), cut);
        bool a = kav_filt_match(f, copy.get(), (int)cut, KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW);
        bool b = kav_filt_match_walked(f, copy.get(), (int)cut, KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW);
        if (a != b && ++differ <= 5) ADD_FAILURE() << text << ": cut to " << cut << " of " << fr.size() << " bytes";
      }
      bool a = kav_filt_match(f, fr.data(), (int)fr.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW);
      bool b = kav_filt_match_walked(f, fr.data(), (int)fr.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW);
      yes += a;
      if (a != b && ++differ <= 5) ADD_FAILURE() << text << ": whole frame of " << fr.size() << " bytes";
    }
    kav_filt_free(f);
    EXPECT_EQ(differ, 0) << text << " (" << yes << " of " << frames.size() << " frames match)";
  }
}

}  // namespace
