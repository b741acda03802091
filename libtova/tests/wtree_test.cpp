#include "forked.h"
#include "tova.h"

#include <gtest/gtest.h>

namespace {

std::string dump(wtree *t)
{
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  wtree_dump(t, f);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

std::array<int, 4> stats(wtree *t)
{
  int c[4] = {0, 0, 0, 0};
  wtree_stats(t, c);
  return {c[0], c[1], c[2], c[3]};
}

TEST(WordTree, FoldingLookups)
{
  wtree *t = wtree_create("abc", 3, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(wtree_add_word(t, "abc", 3, 7), 0);
  EXPECT_EQ(wtree_find_word(t, "ABC", 3), 7);
  EXPECT_EQ(wtree_find_word(t, "abc", 3), 7);
  EXPECT_EQ(wtree_find_word(t, "abd", 3), 0);
  EXPECT_EQ(wtree_find_word(t, "ab", 2), 0);
  EXPECT_EQ(wtree_find_word(t, "abcx", 3), 7) << "length bounds the word";
  EXPECT_EQ(wtree_find_word(t, "", 0), 0);
  wtree_destroy(t);
}

TEST(WordTree, AddReturnsWhetherAnArrayWasCreated)
{
  wtree *t = wtree_create("ABC", 3, 0);
  EXPECT_EQ(wtree_add_word(t, "AB", 2, 1), 0);
  EXPECT_EQ(wtree_add_word(t, "A", 1, 2), 1);
  EXPECT_EQ(wtree_add_word(t, "", 0, 9), 1);
  EXPECT_EQ(wtree_find_word(t, "", 0), 9);
  EXPECT_EQ(wtree_add_word(t, "ab", 2, 1), -1) << "no folding: lower case is outside the alphabet";
  wtree_destroy(t);
}

TEST(WordTree, StatisticsAndPruning)
{
  wtree *t = wtree_create("ABC", 3, 0);
  // handle alphabet 4 bytes, root node 40
  EXPECT_EQ(stats(t), (std::array<int, 4>{0, 1, 44, 0}));
  wtree_add_word(t, "AB", 2, 1);
  wtree_add_word(t, "ABC", 3, 2);
  // 4 nodes, 3 child arrays of 24 bytes
  EXPECT_EQ(stats(t), (std::array<int, 4>{2, 4, 4 + 4 * 40 + 3 * 24, 3}));
  EXPECT_EQ(wtree_del_word(t, "ABC", 3), 0);
  EXPECT_EQ(wtree_find_word(t, "AB", 2), 1);
  EXPECT_EQ(stats(t), (std::array<int, 4>{1, 3, 4 + 3 * 40 + 2 * 24, 2}));
  EXPECT_EQ(wtree_del_word(t, "ABC", 3), -1);
  EXPECT_EQ(wtree_del_word(t, "A", 1), -1) << "A is only a path";
  EXPECT_EQ(wtree_del_word(t, "AB", 2), 0);
  EXPECT_EQ(stats(t), (std::array<int, 4>{0, 1, 44, 0}));
  wtree_destroy(t);
}

TEST(WordTree, ReAddReplacesTokenAndBadInputIsRefused)
{
  wtree *t = wtree_create("AB", 2, 0);
  wtree_add_word(t, "AB", 2, 1);
  wtree_add_word(t, "AB", 2, 5);
  EXPECT_EQ(wtree_find_word(t, "AB", 2), 5);
  EXPECT_EQ(stats(t)[0], 1);
  EXPECT_EQ(wtree_add_word(t, "A", 1, 0), -1);
  EXPECT_STREQ(tvl_usrmsg, "APPLICATION ERROR");
  EXPECT_EQ(wtree_add_word(t, "AX", 2, 3), -1);
  EXPECT_EQ(stats(t)[1], 3) << "nothing built for a refused word";
  wtree_destroy(t);

  EXPECT_EQ(wtree_create("ABA", 3, 0), nullptr);
  EXPECT_EQ(wtree_create("aA", 2, 1), nullptr);
  EXPECT_STREQ(tvl_usrmsg, "APPLICATION ERROR");
  wtree *ok = wtree_create("aA", 2, 0);
  EXPECT_NE(ok, nullptr);
  wtree_destroy(ok);
  const std::string log = slurp(test_trace_file());
  EXPECT_NE(log.find("wtree_add_word: illegal token (NOTOK)"), std::string::npos);
  EXPECT_NE(log.find("wtree_add_word: illegal char 1=(88) (AX)"), std::string::npos);
  EXPECT_NE(log.find("wtree_create: char 2 of alphabet (0x41) is invalid"), std::string::npos);
}

TEST(WordTree, DumpFormat)
{
  wtree *t = wtree_create("ABC", 3, 0);
  wtree_add_word(t, "B", 1, 4);
  wtree_add_word(t, "BC", 2, 6);
  wtree_add_word(t, "C", 1, 2);
  EXPECT_EQ(dump(t), "Alphabet is 3 bytes\n"
                     "3 words, 4 nodes 212 bytes, 2 full nodes\n\n"
                     "Root: EMPTY, next=Y\n"
                     "1-2 (B) = 4, next=Y\n"
                     "2-2.3 (BC) = 6, next=N\n"
                     "1-3 (C) = 2, next=N\n");
  wtree_destroy(t);
}

}  // namespace
