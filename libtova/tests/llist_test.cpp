#include "tova.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

node *add(list *l, const char *text)
{
  node *n = llist_insert_b(l, nullptr, nullptr, 16);
  strcpy(static_cast<char *>(n->data), text);
  return n;
}

std::string order(list *l)
{
  std::string s;
  for (node *n = l->first; n != nullptr; n = n->next)
    s += std::string(static_cast<char *>(n->data)) + " ";
  // walk back too: the links must agree both ways
  std::string back;
  for (node *n = l->last; n != nullptr; n = n->prev)
    back = std::string(static_cast<char *>(n->data)) + " " + back;
  EXPECT_EQ(s, back);
  return s;
}

TEST(List, InsertAfterAndBefore)
{
  list l{};
  node *a = llist_insert_a(&l, nullptr, nullptr, 16);
  EXPECT_EQ(l.first, a);
  EXPECT_EQ(l.last, a);
  EXPECT_EQ(l.count, 1);
  strcpy(static_cast<char *>(a->data), "a");
  node *c = add(&l, "c");
  node *b = llist_insert_a(&l, a, nullptr, 16);
  strcpy(static_cast<char *>(b->data), "b");
  node *z = llist_insert_b(&l, a, nullptr, 16);
  strcpy(static_cast<char *>(z->data), "z");
  EXPECT_EQ(order(&l), "z a b c ");
  EXPECT_EQ(llist_rank(&l, c), 3);
  EXPECT_EQ(llist_fward(z, 0), z);
  EXPECT_EQ(llist_fward(z, 2), b);
  EXPECT_EQ(llist_fward(z, 4), nullptr);
  EXPECT_EQ(llist_bward(c, 3), z);
  EXPECT_EQ(llist_bward(c, 4), nullptr);
  llist_extract(&l, a);
  EXPECT_EQ(llist_rank(&l, a), -1);
  EXPECT_EQ(order(&l), "z b c ");
  llist_insert_a(&l, c, a, 0);
  EXPECT_EQ(order(&l), "z b c a ");
  llist_delete(&l, z);
  llist_reverse(&l);
  EXPECT_EQ(order(&l), "a c b ");
  EXPECT_EQ(l.count, 3);
  llist_clear(&l);
  EXPECT_EQ(l.count, 0);
  EXPECT_EQ(l.first, nullptr);
}

TEST(List, ConcatAndClone)
{
  list a{}, b{};
  add(&a, "1");
  add(&b, "2");
  add(&b, "3");
  EXPECT_EQ(llist_concat(&a, &b), 3);
  EXPECT_EQ(order(&a), "1 2 3 ");
  b = list{};

  list shared{};
  EXPECT_EQ(llist_clone(a.first, &shared, 1), 0);
  EXPECT_EQ(shared.first->data, a.first->data);
  EXPECT_EQ(shared.first->size, 0);
  llist_clear(&shared);
  EXPECT_EQ(order(&a), "1 2 3 ") << "shared payloads survive clearing the copy";

  list copy{};
  EXPECT_EQ(llist_clone(a.first->next, &copy, 0), 0);
  EXPECT_NE(copy.first->data, a.first->next->data);
  EXPECT_EQ(order(&copy), "2 3 ");
  llist_clear(&copy);
  llist_clear(&a);
}

TEST(List, StringSort)
{
  auto make = [](list *l) {
    add(l, "cherry");
    add(l, "apple");
    add(l, "Banana");
  };
  list l{};
  make(&l);
  llist_strsort(&l, 0, LLIST_SORT_NOCASE);
  EXPECT_EQ(order(&l), "apple Banana cherry ");
  llist_strsort(&l, 0, 0);
  EXPECT_EQ(order(&l), "Banana apple cherry ");
  llist_strsort(&l, 0, LLIST_SORT_NOCASE | LLIST_SORT_DESCEND);
  EXPECT_EQ(order(&l), "cherry Banana apple ");
  EXPECT_EQ(l.count, 3);
  llist_clear(&l);

  // sorting by an offset into the payload
  add(&l, "x-b");
  add(&l, "y-a");
  llist_strsort(&l, 2, 0);
  EXPECT_EQ(order(&l), "y-a x-b ");
  llist_clear(&l);
}

TEST(List, EqualTextsEndInReverseInputOrder)
{
  list l{};
  node *first = add(&l, "same");
  node *second = add(&l, "SAME");
  llist_strsort(&l, 0, LLIST_SORT_NOCASE);
  EXPECT_EQ(l.first, second);
  EXPECT_EQ(l.last, first);
  llist_clear(&l);
}

}  // namespace
