// Doubly linked lists whose nodes may own a zero-filled payload.
#include "tova.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

static node *node_alloc(int size)
{
  auto *n = static_cast<node *>(malloc(sizeof(node)));
  if (n == nullptr) {
    tvl_msglog("llist.node_alloc.1: malloc(%d) failed", static_cast<int>(sizeof(node)));
    return nullptr;
  }
  n->next = n->prev = nullptr;
  n->data = nullptr;
  n->size = size;
  if (size > 0) {
    n->data = calloc(1, size);
    if (n->data == nullptr) {
      tvl_msglog("llist.node_alloc.2: malloc(%d) failed", size);
      free(n);
      return nullptr;
    }
  }
  return n;
}

node *llist_insert_a(list *l, node *at, node *n, int size)
{
  if (n == nullptr && (n = node_alloc(size)) == nullptr)
    return nullptr;
  n->prev = at;
  n->next = at != nullptr ? at->next : l->first;
  if (n->next != nullptr)
    n->next->prev = n;
  else
    l->last = n;
  if (at != nullptr)
    at->next = n;
  else
    l->first = n;
  l->count++;
  return n;
}

node *llist_insert_b(list *l, node *at, node *n, int size)
{
  if (n == nullptr && (n = node_alloc(size)) == nullptr)
    return nullptr;
  n->next = at;
  n->prev = at != nullptr ? at->prev : l->last;
  if (n->prev != nullptr)
    n->prev->next = n;
  else
    l->first = n;
  if (at != nullptr)
    at->prev = n;
  else
    l->last = n;
  l->count++;
  return n;
}

void llist_extract(list *l, node *n)
{
  if (n->prev != nullptr)
    n->prev->next = n->next;
  else
    l->first = n->next;
  if (n->next != nullptr)
    n->next->prev = n->prev;
  else
    l->last = n->prev;
  n->next = n->prev = nullptr;
  l->count--;
}

void llist_delete(list *l, node *n)
{
  llist_extract(l, n);
  if (n->size != 0)
    free(n->data);
  free(n);
}

void llist_clear(list *l)
{
  while (l->count > 0 && l->first != nullptr)
    llist_delete(l, l->first);
  l->first = l->last = nullptr;
  l->count = 0;
}

node *llist_fward(node *n, int steps)
{
  while (n != nullptr && steps-- > 0)
    n = n->next;
  return n;
}

node *llist_bward(node *n, int steps)
{
  while (n != nullptr && steps-- > 0)
    n = n->prev;
  return n;
}

int llist_rank(list *l, node *n)
{
  int rank = 0;
  for (node *p = l->first; p != nullptr; p = p->next, rank++)
    if (p == n)
      return rank;
  return -1;
}

void llist_reverse(list *l)
{
  node *p = l->first;
  while (p != nullptr) {
    node *next = p->next;
    p->next = p->prev;
    p->prev = next;
    p = next;
  }
  node *first = l->first;
  l->first = l->last;
  l->last = first;
}

int llist_concat(list *a, list *b)
{
  if (b->first == nullptr)
    return a->count;
  if (a->last != nullptr) {
    a->last->next = b->first;
    b->first->prev = a->last;
  } else {
    a->first = b->first;
  }
  a->last = b->last;
  a->count += b->count;
  return a->count;
}

int llist_clone(node *first, list *dst, int share)
{
  for (node *p = first; p != nullptr; p = p->next) {
    node *c = node_alloc(share ? 0 : p->size);
    if (c == nullptr)
      return 1;
    if (share)
      c->data = p->data;
    else if (p->size > 0)
      memcpy(c->data, p->data, p->size);
    llist_insert_b(dst, nullptr, c, 0);
  }
  return 0;
}

static int text_cmp(const char *a, const char *b, bool nocase)
{
  for (;; a++, b++) {
    int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (nocase) {
      ca = toupper(ca);
      cb = toupper(cb);
    }
    if (ca != cb || ca == 0)
      return ca - cb;
  }
}

void llist_strsort(list *l, int offset, unsigned int flags)
{
  const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
  static thread_local list buckets[256];
  memset(buckets, 0, sizeof buckets);
  while (l->first != nullptr) {
    node *n = l->first;
    llist_extract(l, n);
    const char *text = static_cast<const char *>(n->data) + offset;
    int b = static_cast<unsigned char>(text[0]);
    if (nocase)
      b = toupper(b);
    node *at = buckets[b].first;
    while (at != nullptr && text_cmp(static_cast<const char *>(at->data) + offset, text, nocase) < 0)
      at = at->next;
    llist_insert_b(&buckets[b], at, n, 0);
  }
  *l = list{};
  for (auto &b : buckets)
    llist_concat(l, &b);
  if (flags & LLIST_SORT_DESCEND)
    llist_reverse(l);
}
