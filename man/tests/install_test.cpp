// make install, as a user would run it: the tree is installed into a
// temporary DESTDIR, and what landed there must work from there: every
// program answers -h through the installed libraries, every manual page
// renders without a warning and names every switch of its program, the
// libraries carry their sonames and links, and the headers compile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runner.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> programs() {
  std::vector<std::string> v;
  std::stringstream in(VELMORA_PROGRAM_LIST);
  std::string p;
  while (std::getline(in, p, ','))
    if (!p.empty()) v.push_back(p);
  return v;
}

// Runs a shell command; its standard output and error are returned apart.
int shell(const std::string &cmd, std::string *out = nullptr, std::string *err = nullptr) {
  vts::RunResult r = vts::run("/bin/sh", {"-c", cmd}, {}, 300);
  if (out) *out = r.out;
  if (err) *err = r.err;
  return r.status;
}

// The suite installed once for all the checks below, and removed after.
class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<vts::TempDir>();
    destdir_ = dir_->path();
    root_ = destdir_ + "/usr/local";
    std::string out, err;
    status_ = shell("DESTDIR='" + destdir_ + "' cmake --install '" VELMORA_BUILD_DIR "' --prefix /usr/local", &out,
                    &err);
    log_ = out + err;
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override { ASSERT_EQ(status_, 0) << log_; }

  static std::unique_ptr<vts::TempDir> dir_;
  static std::string destdir_, root_, log_;
  static int status_;
};
std::unique_ptr<vts::TempDir> Installed::dir_;
std::string Installed::destdir_, Installed::root_, Installed::log_;
int Installed::status_ = -1;

// A page rendered as man shows it, with groff's warnings.
int render(const std::string &page, std::string *text, std::string *warnings) {
  return shell("LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man --warnings -l '" + page + "' | col -b", text, warnings);
}

// The switch letters a usage text describes ("  -x: ...").
std::set<char> usage_switches(const std::string &usage) {
  std::set<char> s;
  std::regex re("\n  -([A-Za-z]):");
  for (auto it = std::sregex_iterator(usage.begin(), usage.end(), re); it != std::sregex_iterator(); ++it)
    s.insert((*it)[1].str()[0]);
  return s;
}

// The command that prints a program's usage: the window's toolkit starts
// before its switches are read, so it needs an X server even for -h.
std::string usage_command(const std::string &prog, const std::string &bin) {
  std::string cmd = "'" + bin + "' -h";
  return prog == "kavwin" ? "xvfb-run -a " + cmd : cmd;
}

}  // namespace

TEST_F(Installed, EveryProgramAnswersUsageFromTheInstalledTree) {
  ASSERT_FALSE(programs().empty());
  for (const std::string &p : programs()) {
    SCOPED_TRACE(p);
    std::string bin = root_ + "/bin/" + p;
    ASSERT_EQ(access(bin.c_str(), X_OK), 0) << bin;
    // The suite's libraries come from the installed tree, not the build.
    std::string ldd;
    ASSERT_EQ(shell("ldd '" + bin + "'", &ldd), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(ldd, m, std::regex("libtova\\.so\\.1 => (\\S+) "))) << ldd;
    EXPECT_EQ(fs::canonical(m[1].str()), fs::canonical(root_ + "/" VELMORA_LIBDIR "/libtova.so.1")) << ldd;
    EXPECT_EQ(ldd.find(VELMORA_BUILD_DIR), std::string::npos) << ldd;
    std::string out, err;
    EXPECT_EQ(shell("TOVATRC_FILENAME=/dev/null " + usage_command(p, bin), &out, &err), 0) << err;
    EXPECT_NE(out.find("USAGE:\n"), std::string::npos) << out;
    // A title with the version, where the usage text has one (the
    // cross-reference report prints its title only when it runs).
    if (out.rfind("USAGE:", 0) != 0) {
      EXPECT_NE(out.find(" " VELMORA_VERSION "\n"), std::string::npos) << out;
    }
  }
}

TEST_F(Installed, EveryProgramHasAPageNamingEverySwitch) {
  for (const std::string &p : programs()) {
    SCOPED_TRACE(p);
    std::string page = root_ + "/" VELMORA_MANDIR "/man1/" + p + ".1";
    ASSERT_TRUE(fs::exists(page)) << page;
    std::string text, warnings;
    ASSERT_EQ(render(page, &text, &warnings), 0) << warnings;
    EXPECT_EQ(warnings, "");
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"})
      EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << section;
    // NAME holds "program - summary" (justified, so blanks may be doubled).
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m, std::regex("\nNAME\n +" + p + " +- +[a-z]"))) << text.substr(0, 300);
    EXPECT_LT((size_t)m.position(0), text.find("\nSYNOPSIS\n"));
    std::string usage;
    shell("TOVATRC_FILENAME=/dev/null " + usage_command(p, root_ + "/bin/" + p), &usage);
    std::set<char> sw = usage_switches(usage);
    EXPECT_FALSE(sw.empty()) << usage;
    for (char c : sw) {
      std::string opt = std::string("\n       -") + c;
      EXPECT_NE(text.find(opt), std::string::npos) << "-" << c << " not described";
    }
  }
}

TEST_F(Installed, LibrariesCarryTheirSonamesAndLinks) {
  for (const char *name : {"tova", "kav", "tovafc", "tovafc_mt"}) {
    SCOPED_TRACE(name);
    std::string dir = root_ + "/" VELMORA_LIBDIR "/lib" + name + ".so";
    ASSERT_TRUE(fs::is_symlink(dir)) << dir;
    EXPECT_EQ(fs::read_symlink(dir).string(), std::string("lib") + name + ".so.1");
    ASSERT_TRUE(fs::is_symlink(dir + ".1"));
    std::string real = fs::canonical(dir + ".1").string();
    EXPECT_TRUE(fs::is_regular_file(real));
    EXPECT_EQ(real.rfind(dir + ".1.", 0), 0u) << real;  // libX.so.1.<minor>.<patch>
    std::string dyn;
    ASSERT_EQ(shell("readelf -d '" + real + "'", &dyn), 0);
    EXPECT_NE(dyn.find(std::string("Library soname: [lib") + name + ".so.1]"), std::string::npos) << dyn;
  }
}

TEST_F(Installed, PublicHeadersCompileOnTheirOwn) {
  std::string inc = root_ + "/" VELMORA_INCDIR;
  for (const char *h : {"tova.h", "kav.h", "tovafc.h"}) EXPECT_TRUE(fs::exists(inc + "/" + h)) << h;
  std::string src = destdir_ + "/use.cpp";
  std::ofstream(src) << "#include \"tova.h\"\n#include \"kav.h\"\n#include \"tovafc.h\"\n"
                        "int main() { return tvl_usrmsg[0] + (int)sizeof(kav_seshdr) - 216; }\n";
  std::string err;
  EXPECT_EQ(shell("c++ -std=c++20 -fsyntax-only -Wall -Wextra -I '" + inc + "' '" + src + "'", nullptr, &err), 0)
      << err;
}

TEST_F(Installed, NothingLandsOutsideThePrefixButTheConfigurationDirectory) {
  std::set<std::string> tops;
  for (auto &e : fs::recursive_directory_iterator(destdir_)) {
    if (e.is_directory()) continue;
    std::string rel = e.path().string().substr(destdir_.size());
    if (rel == "/use.cpp") continue;
    bool under_prefix = rel.rfind("/usr/local/", 0) == 0;
    bool confdata = rel.rfind(VELMORA_CONFDIR "/", 0) == 0;
    EXPECT_TRUE(under_prefix || confdata) << rel;
    if (under_prefix) tops.insert(rel.substr(11, rel.find('/', 11) - 11));
  }
  for (const char *t : {"bin", "include", "share"}) EXPECT_EQ(tops.count(t), 1u) << t;
  // oids.map goes to the configuration directory when the analyser has one.
  bool have_oids = fs::exists(VELMORA_SOURCE_DIR "/kavpan/oids.map");
  EXPECT_EQ(fs::exists(destdir_ + VELMORA_CONFDIR "/oids.map"), have_oids);
}

// Pages of programs that are not built yet are checked in the source tree.
TEST(ManPages, EveryPageRendersWithoutWarnings) {
  int pages = 0;
  for (auto &e : fs::directory_iterator(VELMORA_SOURCE_DIR "/man")) {
    if (e.path().extension() != ".1") continue;
    SCOPED_TRACE(e.path().string());
    std::string text, warnings;
    ASSERT_EQ(render(e.path().string(), &text, &warnings), 0) << warnings;
    EXPECT_EQ(warnings, "");
    EXPECT_NE(text.find("\nEXIT STATUS\n"), std::string::npos);
    EXPECT_NE(text.find("1.4.8"), std::string::npos);
    pages++;
  }
  EXPECT_EQ(pages, 7);
}
