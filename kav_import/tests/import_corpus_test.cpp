// kav_import over a corpus of real (and deliberately malformed) captures:
// every file must import or be refused cleanly, never crash or hang, and a
// successful import must be a well-formed log that counts what it wrote.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "logtest_util.h"

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
  if (files.empty()) GTEST_SKIP() << "no corpus at " << corpus_dir();
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
  if (!have_tool("tshark")) GTEST_SKIP() << "tshark not installed";
  std::vector<std::string> files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << corpus_dir();
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
