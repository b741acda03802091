#include <gtest/gtest.h>

#include <cstdio>

#include "config.h"
#include "exception.h"
#include "testutil.h"

using namespace tovafc;
using fctest::TempDir;

namespace {
struct CfgFile {
  TempDir dir;
  std::string path;
  explicit CfgFile(const std::string &text) : path(dir.file("test.cfg")) { fctest::writeFile(path, text); }
};

std::string parseError(const std::string &text) {
  CfgFile f(text);
  try {
    TovConfig cfg(f.path);
  } catch (const TovException &e) {
    EXPECT_EQ(9, e.err());
    std::string msg = e.what();
    // Replace the temporary path with a fixed name.
    size_t at = msg.find(f.path);
    if (at != std::string::npos) msg.replace(at, f.path.size(), "F");
    return msg;
  }
  return "no error";
}
}  // namespace

TEST(TovConfigTest, GroupsItemsAndValues) {
  CfgFile f("# comment\n\n[  Main  ]\nName = value one\nList = a ; b\\;c ; \"  x  \"\n"
            "Empty =\nSemis = ;; ;\n  Hash = a # not a comment\n[Second]\nZ=1\nA=2\nGap = a;;b\nTrail = a;b;\n");
  TovConfig cfg(f.path);
  EXPECT_EQ(f.path, cfg.filename());
  EXPECT_EQ((TovConfig::strings{"Main", "Second"}), cfg.groups());
  EXPECT_TRUE(cfg.exists("MAIN"));
  EXPECT_TRUE(cfg.exists("main", "name"));
  EXPECT_FALSE(cfg.exists("Main", "Empty"));
  EXPECT_FALSE(cfg.exists("Main", "Semis"));
  EXPECT_EQ((TovConfig::strings{"Name", "List", "Hash"}), cfg.items("Main"));
  EXPECT_EQ((TovConfig::strings{"Z", "A", "Gap", "Trail"}), cfg.items("second"));
  EXPECT_EQ("value one", cfg.value("Main", "Name"));
  EXPECT_EQ((TovConfig::strings{"a", "b;c", "  x  "}), cfg.values("Main", "List"));
  EXPECT_EQ("a # not a comment", cfg.value("Main", "Hash"));
  EXPECT_EQ((TovConfig::strings{"a", "", "b"}), cfg.values("Second", "Gap"));
  EXPECT_EQ((TovConfig::strings{"a", "b"}), cfg.values("Second", "Trail"));
}

TEST(TovConfigTest, EmptyItemMayBeDefinedLater) {
  CfgFile f("[G]\nX =  \nX = later\n");
  TovConfig cfg(f.path);
  EXPECT_EQ((TovConfig::strings{"X"}), cfg.items("G"));
  EXPECT_EQ("later", cfg.value("G", "X"));
}

TEST(TovConfigTest, EscapesAndQuotes) {
  CfgFile f("[G]\nBack = a\\\\b\nQuoted = \" spaced \" ; \"\"\n");
  TovConfig cfg(f.path);
  EXPECT_EQ("a\\b", cfg.value("G", "Back"));
  EXPECT_EQ((TovConfig::strings{" spaced "}), cfg.values("G", "Quoted"));
}

TEST(TovConfigTest, ParseErrorsNameFileAndLine) {
  EXPECT_EQ("TovConfig F:2 - Not in group !", parseError("# c\nX = 1\n"));
  EXPECT_EQ("TovConfig F:2 - Invalid group-name brackets [[Main]", parseError("\n[Main\n"));
  EXPECT_EQ("TovConfig F:3 - Duplicate MAIN group", parseError("[ Main ]\n\n[MAIN]\n"));
  EXPECT_EQ("TovConfig F:2 - Missing name/value delimiter [novalue]", parseError("[G]\nnovalue\n"));
  EXPECT_EQ("TovConfig F:3 - Duplicate x item in group G", parseError("[G]\nX=1\nx=2\n"));
  EXPECT_EQ("TovConfig F:2 - Hanging escape [\\]", parseError("[G]\nX = a\\\n"));
  EXPECT_EQ("TovConfig F:2 - Mismatched quotes in value 0 [\"abc]", parseError("[G]\nX = \"abc\n"));
  EXPECT_EQ("TovConfig F:2 - Mismatched quotes in value 1 [abc\"]", parseError("[G]\nX = a; abc\"\n"));
  EXPECT_EQ("TovConfig F:2 - Line too long, max=1601", parseError("[G]\nX = 1"));
  EXPECT_EQ("TovConfig F:2 - Line too long, max=1601", parseError("[G]\nX = " + std::string(1600, 'v') + "\n"));
}

TEST(TovConfigTest, LongestLineAccepted) {
  // 1599 characters and the newline fill the buffer.
  std::string v(1595, 'v');
  CfgFile f("[G]\nX = " + v + "\n");
  TovConfig cfg(f.path);
  EXPECT_EQ(v, cfg.value("G", "X"));
}

TEST(TovConfigTest, OpenFailureAndBlankName) {
  try {
    TovConfig cfg("/nonexistent/file.cfg");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_STREQ("TovConfig: Failed to open file [/nonexistent/file.cfg]", e.what());
  }
  try {
    TovConfig cfg("");
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("TovConfig: Blank filename supplied !", e.what());
  }
}

TEST(TovConfigTest, LookupsMandatoryAndDefaults) {
  CfgFile f("[G]\nTwo = a; b\nB1 = TRUE\nB2 = n\nBad = on\nNum = 42\nNotNum = 12x\n");
  TovConfig cfg(f.path);
  EXPECT_EQ("", cfg.value("G", "Two", false, 5));
  EXPECT_EQ("b", cfg.value("G", "Two", true, 1));
  EXPECT_TRUE(cfg.values("G", "Nope").empty());
  EXPECT_TRUE(cfg.items("Nope").empty());
  auto expectMsg = [](const std::function<void()> &fn, const char *msg) {
    try {
      fn();
      ADD_FAILURE() << msg;
    } catch (const TovException &e) {
      EXPECT_EQ(9, e.err());
      EXPECT_STREQ(msg, e.what());
    }
  };
  expectMsg([&] { cfg.value("G", "Two", true, 5); }, "TovConfig: No such item <G, Two, 5>");
  expectMsg([&] { cfg.values("G", "Nope", true); }, "TovConfig: No such item <G, Nope>");
  expectMsg([&] { cfg.values("H", "Two", true); }, "TovConfig: No such group <H>");
  expectMsg([&] { cfg.items("H", true); }, "TovConfig: No such group <H>");
  EXPECT_TRUE(cfg.boolval("G", "B1"));
  EXPECT_FALSE(cfg.boolval("G", "B2", true));
  EXPECT_TRUE(cfg.boolval("G", "Missing", true));
  expectMsg([&] { cfg.boolval("G", "Bad"); }, "TovConfig: Invalid Boolean value=on <G, Bad, 0>");
  EXPECT_EQ(42, cfg.intval("G", "Num"));
  EXPECT_EQ(-7, cfg.intval("G", "Missing", -7));
  expectMsg([&] { cfg.intval("G", "NotNum"); }, "TovConfig: Invalid Integer value=12x <G, NotNum, 0>");
}

TEST(TovConfigTest, CopiesAreIndependent) {
  CfgFile f("[G]\nX = 1\n");
  TovConfig a(f.path);
  TovConfig b(a);
  TovConfig c;
  c = a;
  fctest::writeFile(f.path, "[H]\nY = 2\n");
  a.update();
  EXPECT_TRUE(a.exists("H"));
  EXPECT_FALSE(a.exists("G"));
  EXPECT_EQ("1", b.value("G", "X"));
  EXPECT_EQ("1", c.value("G", "X"));
  EXPECT_EQ(f.path, c.filename());
}

TEST(TovConfigTest, UpdateKeepsWhatWasReadBeforeAFailure) {
  CfgFile f("[G]\nX = 1\n");
  TovConfig cfg(f.path);
  fctest::writeFile(f.path, "[A]\nP = 1\n[B]\nbroken\n");
  EXPECT_THROW(cfg.update(), TovException);
  EXPECT_EQ((TovConfig::strings{"A", "B"}), cfg.groups());
  EXPECT_FALSE(cfg.exists("G"));
}

TEST(TovConfigTest, DumpQuotesValuesEdgedWithQuotes) {
  CfgFile f("[G]\nq = \"\"x\"\" ; \"\"\"\n");
  TovConfig cfg(f.path);
  ASSERT_EQ((TovConfig::strings{"\"x\"", "\""}), cfg.values("G", "q"));
  std::string dumped = f.dir.file("dump.cfg");
  FILE *out = fopen(dumped.c_str(), "w");
  cfg.dump(out);
  fclose(out);
  TovConfig back(dumped);
  EXPECT_EQ(cfg.values("G", "q"), back.values("G", "q"));
}

TEST(TovConfigTest, DumpReadsBackAsSameContent) {
  CfgFile f("[Zed]\nb = 2\na = x;; \" y \";semi\\;colon;back\\\\slash\n[alpha]\nk = v\n");
  TovConfig cfg(f.path);
  std::string dumped = f.dir.file("dump.cfg");
  FILE *out = fopen(dumped.c_str(), "w");
  cfg.dump(out);
  fclose(out);
  std::string text = fctest::readFile(dumped);
  EXPECT_EQ("# Filename = " + f.path + "\n# 2 Groups\n\n[alpha]\n# 1 Items\nk=v\n\n[Zed]\n# 2 Items\n"
            "a=x; ; \" y \"; semi\\;colon; back\\\\slash\nb=2\n",
            text);
  TovConfig back(dumped);
  EXPECT_EQ(cfg.values("Zed", "a"), back.values("Zed", "a"));
  EXPECT_EQ(cfg.value("alpha", "k"), back.value("alpha", "k"));
}
