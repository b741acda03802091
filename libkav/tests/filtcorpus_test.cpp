// The matcher against tcpdump on the Ethernet frames of the shared capture
// corpus, for expressions whose meaning is the same in both languages.
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

uint32_t rd32(const uint8_t *p, bool swap) {
  uint32_t v;
  memcpy(&v, p, 4);
  return swap ? __builtin_bswap32(v) : v;
}

// Frames of a classic pcap file with the given link type; stops at the first
// record cut short.
std::vector<Frame> read_pcap(const std::string &path, uint32_t want_link) {
  std::vector<Frame> out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t gh[24];
  if (fread(gh, 1, 24, f) == 24) {
    uint32_t magic;
    memcpy(&magic, gh, 4);
    bool swap = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    bool ok = swap || magic == 0xa1b2c3d4 || magic == 0xa1b23c4d;
    if (ok && (rd32(gh + 20, swap) & 0xFFFF) == want_link) {
      uint8_t rh[16];
      while (fread(rh, 1, 16, f) == 16) {
        uint32_t incl = rd32(rh + 8, swap);
        if (incl > kMaxSnap) break;
        Frame fr(incl);
        if (incl && fread(fr.data(), 1, incl, f) != incl) break;
        out.push_back(std::move(fr));
      }
    }
  }
  fclose(f);
  return out;
}

// The seconds of every record's timestamp (write_pcap numbers them from 1).
std::vector<uint32_t> pcap_seconds(const std::string &path) {
  std::vector<uint32_t> out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t gh[24], rh[16];
  if (fread(gh, 1, 24, f) == 24) {
    uint32_t magic;
    memcpy(&magic, gh, 4);
    bool swap = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    while (fread(rh, 1, 16, f) == 16) {
      uint32_t incl = rd32(rh + 8, swap);
      if (incl > kMaxSnap || fseek(f, long(incl), SEEK_CUR) != 0) break;
      out.push_back(rd32(rh, swap));
    }
  }
  fclose(f);
  return out;
}

void write_pcap(const std::string &path, const std::vector<Frame> &frames) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  uint32_t gh[6] = {0xa1b2c3d4, 0x00040002, 0, 0, kMaxSnap, 1};
  fwrite(gh, 4, 6, f);
  uint32_t sec = 1;
  for (const Frame &fr : frames) {
    uint32_t rh[4] = {sec++, 0, (uint32_t)fr.size(), (uint32_t)fr.size()};
    fwrite(rh, 4, 4, f);
    if (!fr.empty()) fwrite(fr.data(), 1, fr.size(), f);
  }
  fclose(f);
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
