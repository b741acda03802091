// kav_import over a corpus of real (and deliberately malformed) captures:
// every file must import or be refused cleanly, never crash or hang, and a
// successful import must be a well-formed log that counts what it wrote.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "logtest_util.h"
#include "testsupport.h"

using namespace logtest;

namespace {

// Beside the checkout (../shared), or beside the folder of worktrees.
std::string corpus_dir() {
  for (const char *up : {"/../shared", "/../../shared"}) {
    std::string d = std::string(VELMORA_SOURCE_DIR) + up + "/corpus/tcpdump-tests";
    struct stat st;
    if (stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return d;
  }
  return std::string(VELMORA_SOURCE_DIR) + "/../shared/corpus/tcpdump-tests";
}

std::vector<std::string> corpus_files() {
  std::vector<std::string> v;
  DIR *d = opendir(corpus_dir().c_str());
  if (!d) return v;
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") v.push_back(corpus_dir() + "/" + n);
  }
  closedir(d);
  std::sort(v.begin(), v.end());
  return v;
}

void import_all(const char *type, unsigned part, unsigned parts) {
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "no corpus at " << corpus_dir());
  TempDir td;
  unsigned imported = 0, refused = 0;
  for (size_t i = part; i < files.size(); i += parts) {
    const std::string &f = files[i];
    struct stat st;
    if (stat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    RunResult r = run({bin("kav_import"), "-x", type}, f, td.file("out"), td.file("err"), 60);
    std::string err = read_text(td.file("err"));
    ASSERT_FALSE(r.timed_out) << f;
    ASSERT_EQ(r.signal, 0) << f << "\n" << err;
    ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 255) << f << " status " << r.status << "\n" << err;
    ASSERT_EQ(err.find("Sanitizer"), std::string::npos) << f << "\n" << err;
    ASSERT_EQ(err.find("runtime error"), std::string::npos) << f << "\n" << err;
    Bytes out = read_file(td.file("out"));
    if (r.status == 1) {
      // Refused at its header: nothing written.
      EXPECT_NE(err.find("Failed to parse file header ["), std::string::npos) << f;
      EXPECT_TRUE(out.empty()) << f;
      refused++;
      continue;
    }
    Log l = parse_log(out);
    ASSERT_TRUE(l.ok) << f << ": " << l.why;
    ASSERT_EQ(l.nses, 1) << f;
    size_t frames = 0;
    for (const Event &e : l.events) {
      ASSERT_EQ(e.ses, 0) << f;
      ASSERT_LE(e.caplen, 17008) << f;
      if (e.type == 1) frames++;
    }
    char line[64];
    snprintf(line, sizeof line, "%s - %zu packet%s imported\n", r.status == 0 ? "Done" : "Error", frames,
             frames == 1 ? "" : "s");
    EXPECT_NE(err.find(line), std::string::npos) << f << "\n" << err;
    if (r.status == 0) {
      ASSERT_FALSE(l.events.empty()) << f;
      EXPECT_EQ(l.events.back().type, 4) << f;
      EXPECT_EQ(l.events.back().trl[1], (int64_t)frames) << f;
      imported++;
    } else {
      EXPECT_NE(err.find("Failed to parse packet no. "), std::string::npos) << f;
      if (!l.events.empty()) {
        EXPECT_EQ(l.events.back().type, 1) << f;
      }
    }
  }
  ::testing::Test::RecordProperty("imported", (int)imported);
  ::testing::Test::RecordProperty("refused", (int)refused);
  if (std::string(type) == "Tcpdump") {
    EXPECT_GT(imported, 0u);
  }
}

}  // namespace

// The captures as what they are, split so the parts can run side by side.
TEST(ImportCorpus, AsTcpdumpPart1) { import_all("Tcpdump", 0, 3); }
TEST(ImportCorpus, AsTcpdumpPart2) { import_all("Tcpdump", 1, 3); }
TEST(ImportCorpus, AsTcpdumpPart3) { import_all("Tcpdump", 2, 3); }
// A third each read as the other formats: hostile input for every reader.
TEST(ImportCorpus, AsSnoop) { import_all("Snoop", 0, 3); }
TEST(ImportCorpus, AsRawIp) { import_all("IP", 1, 3); }
TEST(ImportCorpus, AsRawEthernet) { import_all("Ethernet", 2, 3); }

// A sample of the corpus checked frame by frame against tshark: time
// stamps, wire and captured lengths (less the link header the importer
// drops for loopback and cooked captures).
TEST(ImportCorpus, SampleMatchesTshark) {
  VTS_REQUIRE(have_tool("tshark"), "tshark not installed");
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "no corpus at " << corpus_dir());
  TempDir td;
  unsigned checked = 0;
  for (size_t i = 0; i < files.size(); i += 37) {
    const std::string &f = files[i];
    SCOPED_TRACE(f);
    Bytes head = read_file(f);
    if (head.size() < 24) continue;
    bool swap = get_le(head, 0, 4) != 0xA1B2C3D4u;
    uint64_t lt = get_le(head, 20, 4);
    if (swap) lt = __builtin_bswap32((uint32_t)lt);
    int drop = lt == 0 ? 4 : lt == 113 ? 16 : 0;
    RunResult r = run({bin("kav_import"), "-x", "Tcpdump"}, f, td.file("out"), td.file("err"));
    if (r.status != 0) continue;
    Log l = parse_log(read_file(td.file("out")));
    ASSERT_TRUE(l.ok) << l.why;
    bool ok = false;
    std::vector<Seen> seen = tshark_frames(f, &ok);
    if (!ok) continue;  // a link type tshark does not read
    ASSERT_EQ(l.events.size(), seen.size() + 1);
    for (size_t k = 0; k < seen.size(); k++) {
      const Event &e = l.events[k];
      ASSERT_EQ(e.sec, seen[k].sec) << "frame " << k;
      ASSERT_EQ(e.usec, seen[k].usec) << "frame " << k;
      ASSERT_EQ(e.wirelen + drop, seen[k].len) << "frame " << k;
      if (seen[k].caplen - drop <= 17008) {
        ASSERT_EQ(e.caplen + drop, seen[k].caplen) << "frame " << k;
      }
    }
    checked++;
  }
  EXPECT_GT(checked, 10u);
}

namespace {

struct Rec {
  int64_t sec, frac, cap, wire;
  Bytes data;
};

// The records of a pcap file, in whatever byte order and resolution; stops
// at the first record that does not fit.
std::vector<Rec> pcap_records(const Bytes &f, uint32_t *word, bool *nsec) {
  std::vector<Rec> v;
  if (f.size() < 24) return v;
  uint32_t magic = (uint32_t)get_le(f, 0, 4);
  bool big = magic == 0xD4C3B2A1u || magic == 0x4D3CB2A1u;
  auto u32 = [&](size_t off) {
    uint32_t x = (uint32_t)get_le(f, off, 4);
    return big ? __builtin_bswap32(x) : x;
  };
  *nsec = magic == 0xA1B23C4Du || magic == 0x4D3CB2A1u;
  *word = u32(20);
  for (size_t p = 24; p + 16 <= f.size();) {
    Rec r{u32(p), u32(p + 4), u32(p + 8), u32(p + 12), {}};
    if (p + 16 + (size_t)r.cap > f.size()) break;
    r.data.assign(f.begin() + (long)p + 16, f.begin() + (long)p + 16 + r.cap);
    p += 16 + (size_t)r.cap;
    v.push_back(r);
  }
  return v;
}

// A record's bytes from `from` on, as many as the importer's buffer holds.
Bytes slice(const Bytes &d, size_t from) {
  size_t end = std::min(d.size(), from + 17008);
  return Bytes(d.begin() + (long)std::min(from, end), d.begin() + (long)end);
}

}  // namespace

// Cooked, raw-IP and checksum-word captures of the corpus, frame by frame:
// time stamps and lengths as tshark reads them, the frame bytes as the file
// holds them less the header the importer drops, and one note per cooked
// protocol that cannot be decoded.
TEST(ImportCorpus, CookedRawIpAndChecksumWordFiles) {
  VTS_REQUIRE(have_tool("tshark"), "tshark not installed");
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "no corpus at " << corpus_dir());
  TempDir td;
  unsigned cooked = 0, rawip = 0, words = 0, ipv6 = 0, word_files = 0;
  for (const std::string &f : files) {
    Bytes file = read_file(f);
    uint32_t word = 0;
    bool nsec = false;
    std::vector<Rec> recs = pcap_records(file, &word, &nsec);
    uint32_t lt = word & 0x3FFFFFF;
    bool is_cooked = lt == 113 || lt == 276, is_raw = lt == 101 || lt == 228 || lt == 229;
    // Beside cooked and raw IP: Ethernet captures whose link-type word has upper bits set.
    if (!is_cooked && !is_raw && (word <= 0xFFFF || lt != 1)) continue;
    if (!is_cooked && !is_raw && word_files++ % 3 != 0) continue;  // a third of these alike files is enough
    SCOPED_TRACE(f);
    RunResult r = run({bin("kav_import"), "-x", "Tcpdump"}, f, td.file("out"), td.file("err"));
    std::string err = read_text(td.file("err"));
    ASSERT_TRUE(r.status == 0 || r.status == 255) << err;
    Log l = parse_log(read_file(td.file("out")));
    ASSERT_TRUE(l.ok) << l.why;
    bool ok = false;
    std::vector<Seen> seen = tshark_frames(f, &ok);
    size_t frames = l.events.size() - (r.status == 0 ? 1 : 0);
    if (!ok || seen.size() < frames || recs.size() < frames) continue;  // a file tshark reads otherwise
    char mapped[64];
    snprintf(mapped, sizeof mapped, "PCAP linktype=%u mapped to DLPI=0x%x\n", lt, is_cooked || is_raw ? 0x81 : 4);
    EXPECT_NE(err.find(mapped), std::string::npos) << err;
    std::set<unsigned> protos;
    for (size_t k = 0; k < frames; k++) {
      SCOPED_TRACE(k);
      const Event &e = l.events[k];
      const Rec &rec = recs[k];
      size_t hdr = 0;
      if (is_cooked) {
        size_t h = lt == 113 ? 16 : 20;
        ASSERT_GE(rec.data.size(), h);
        unsigned proto = lt == 113 ? rec.data[14] << 8 | rec.data[15] : rec.data[0] << 8 | rec.data[1];
        if (proto == 0x0800 || proto == 0x86DD) {
          hdr = h;
          ipv6 += proto == 0x86DD;
          EXPECT_EQ(e.data, slice(rec.data, h));
        } else {
          protos.insert(proto);
          if (lt == 113) {
            EXPECT_EQ(e.data, slice(rec.data, 0));
          }
          hdr = lt == 113 ? 0 : 4;
        }
      } else {
        EXPECT_EQ(e.data, slice(rec.data, 0));
      }
      // tshark shows a fraction of a second past one second in its own way.
      if (rec.frac < (nsec ? 1000000000 : 1000000)) {
        EXPECT_EQ(e.sec, seen[k].sec);
        EXPECT_EQ(e.usec, seen[k].usec);
      }
      EXPECT_EQ(e.usec, nsec ? rec.frac / 1000 : rec.frac);
      EXPECT_EQ(e.wirelen, seen[k].len - (int64_t)hdr);
      if (seen[k].caplen - (int64_t)hdr <= 17008) {
        EXPECT_EQ(e.caplen, seen[k].caplen - (int64_t)hdr);
      }
    }
    size_t notes = 0;
    for (size_t p = 0; (p = err.find("Unexpected LINUXSLL header", p)) != std::string::npos; p++) notes++;
    EXPECT_EQ(notes, protos.size()) << err;
    (is_cooked ? cooked : is_raw ? rawip : words)++;
  }
  EXPECT_GT(cooked, 10u);
  EXPECT_GT(rawip, 10u);
  EXPECT_GT(words, 10u);
  EXPECT_GT(ipv6, 0u);
}

// The corpus's nanosecond captures: microseconds as tshark has them (cut,
// not rounded), as pcap and rewritten as pcapng; invalid nanosecond counts
// are divided as they are.
TEST(ImportCorpus, NanosecondCaptures) {
  VTS_REQUIRE(have_tool("tshark") && have_tool("editcap"), "tshark/editcap not installed");
  std::string dir = corpus_dir();
  std::string good = dir + "/tcp-handshake-nano.pcap", bad = dir + "/timestamp_invalid_nano.pcap";
  struct stat st;
  VTS_REQUIRE(!(stat(good.c_str(), &st) != 0 || stat(bad.c_str(), &st) != 0), "nanosecond captures missing");
  TempDir td;
  std::string ng = td.file("nano.pcapng");
  ASSERT_EQ(sh("editcap -F pcapng '" + good + "' '" + ng + "' 2>/dev/null"), 0);
  for (const std::string &f : {good, ng}) {
    SCOPED_TRACE(f);
    RunResult r = run({bin("kav_import"), "-x", "Tcpdump"}, f, td.file("out"), td.file("err"));
    ASSERT_EQ(r.status, 0) << read_text(td.file("err"));
    Log l = parse_log(read_file(td.file("out")));
    bool ok = false;
    std::vector<Seen> seen = tshark_frames(f, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(seen.size(), 3u);
    ASSERT_EQ(l.events.size(), 4u);
    for (size_t k = 0; k < 3; k++) {
      EXPECT_EQ(l.events[k].sec, seen[k].sec);
      EXPECT_EQ(l.events[k].usec, seen[k].usec);
      EXPECT_EQ(l.events[k].wirelen, seen[k].len - 16);
    }
    EXPECT_EQ(l.events[0].usec, 924505);
  }
  RunResult r = run({bin("kav_import"), "-x", "Tcpdump"}, bad, td.file("out"), td.file("err"));
  ASSERT_EQ(r.status, 0) << read_text(td.file("err"));
  Log l = parse_log(read_file(td.file("out")));
  uint32_t word;
  bool nsec = false;
  std::vector<Rec> recs = pcap_records(read_file(bad), &word, &nsec);
  ASSERT_TRUE(nsec);
  ASSERT_EQ(recs.size(), 3u);
  ASSERT_EQ(l.events.size(), 4u);
  for (size_t k = 0; k < 3; k++) {
    EXPECT_EQ(l.events[k].sec, recs[k].sec);
    EXPECT_EQ(l.events[k].usec, recs[k].frac / 1000);
  }
}
