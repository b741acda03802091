// Word tree: a trie over a small declared alphabet mapping words to tokens.
#include "tova.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

struct wtree_node {
  short token;
  wtree_node *parent;
  unsigned char index;
  wtree_node **next;
  int scratch;
};
static_assert(sizeof(wtree_node) == 40, "node size is part of the statistics");

enum { ST_WORDS, ST_NODES, ST_BYTES, ST_FULL };
static const unsigned short NOT_IN_ALPHABET = 256;

static wtree_node *node_alloc(wtree *t, wtree_node *parent, int index)
{
  auto *n = static_cast<wtree_node *>(calloc(1, sizeof(wtree_node)));
  if (n == nullptr) {
    tvl_msglog("wtree.node_alloc: failed to malloc node %d (byte_cnt=%d)", t->stats[ST_NODES] + 1,
               t->stats[ST_BYTES]);
    strcpy(tvl_usrmsg, "OUT OF MEMORY");
    return nullptr;
  }
  n->parent = parent;
  n->index = static_cast<unsigned char>(index);
  t->stats[ST_NODES]++;
  t->stats[ST_BYTES] += sizeof(wtree_node);
  return n;
}

static void free_next(wtree *t, wtree_node *n)
{
  free(n->next);
  n->next = nullptr;
  t->stats[ST_FULL]--;
  t->stats[ST_BYTES] -= t->next_size;
}

static void node_free(wtree *t, wtree_node *n)
{
  if (n->next != nullptr) {
    for (int i = 0; i < t->alen; i++)
      if (n->next[i] != nullptr)
        node_free(t, n->next[i]);
    free_next(t, n);
  }
  t->stats[ST_NODES]--;
  t->stats[ST_BYTES] -= sizeof(wtree_node);
  free(n);
}

static inline int map_char(const wtree *t, unsigned char c)
{
  if (t->fold)
    c = static_cast<unsigned char>(toupper(c));
  return t->cmap[c];
}

// Removes, from n upwards, every node that neither ends a word nor leads to one.
static void prune(wtree *t, wtree_node *n)
{
  while (n != t->root && n->token == NOTOK && n->next == nullptr) {
    wtree_node *parent = n->parent;
    parent->next[n->index] = nullptr;
    node_free(t, n);
    bool empty = true;
    for (int i = 0; i < t->alen && empty; i++)
      empty = parent->next[i] == nullptr;
    if (empty)
      free_next(t, parent);
    n = parent;
  }
}

wtree *wtree_create(const char *alphabet, int len, int fold)
{
  auto *t = static_cast<wtree *>(calloc(1, sizeof(wtree)));
  if (t == nullptr) {
    strcpy(tvl_usrmsg, "OUT OF MEMORY");
    return nullptr;
  }
  t->alphabet = static_cast<char *>(malloc(len + 1));
  if (t->alphabet == nullptr) {
    free(t);
    strcpy(tvl_usrmsg, "OUT OF MEMORY");
    return nullptr;
  }
  memcpy(t->alphabet, alphabet, len);
  t->alphabet[len] = '\0';
  t->alen = len;
  t->fold = fold;
  t->next_size = len * static_cast<int>(sizeof(wtree_node *));
  for (auto &m : t->cmap)
    m = NOT_IN_ALPHABET;
  for (int i = 0; i < len; i++) {
    unsigned char c = static_cast<unsigned char>(t->alphabet[i]);
    if (fold) {
      c = static_cast<unsigned char>(toupper(c));
      t->alphabet[i] = static_cast<char>(c);
    }
    if (t->cmap[c] != NOT_IN_ALPHABET) {
      tvl_msglog("wtree_create: char %d of alphabet (0x%02X) is invalid", i, c);
      strcpy(tvl_usrmsg, "APPLICATION ERROR");
      free(t->alphabet);
      free(t);
      return nullptr;
    }
    t->cmap[c] = static_cast<unsigned short>(i);
  }
  t->stats[ST_BYTES] = len + 1;
  t->root = node_alloc(t, nullptr, 0);
  if (t->root == nullptr) {
    free(t->alphabet);
    free(t);
    return nullptr;
  }
  return t;
}

int wtree_add_word(wtree *t, const char *word, int len, int token)
{
  if (token == NOTOK) {
    tvl_msglog("wtree_add_word: illegal token (NOTOK)");
    strcpy(tvl_usrmsg, "APPLICATION ERROR");
    return -1;
  }
  for (int i = 0; i < len; i++) {
    if (map_char(t, static_cast<unsigned char>(word[i])) == NOT_IN_ALPHABET) {
      std::string w(word, len);
      tvl_msglog("wtree_add_word: illegal char %d=(%d) (%s)", i, static_cast<unsigned char>(word[i]), w.c_str());
      strcpy(tvl_usrmsg, "APPLICATION ERROR");
      return -1;
    }
  }
  int result = 1;
  wtree_node *n = t->root;
  for (int i = 0; i < len; i++) {
    int idx = map_char(t, static_cast<unsigned char>(word[i]));
    if (n->next == nullptr) {
      n->next = static_cast<wtree_node **>(calloc(t->alen, sizeof(wtree_node *)));
      if (n->next == nullptr) {
        tvl_msglog("wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)", t->stats[ST_BYTES],
                   t->next_size);
        strcpy(tvl_usrmsg, "OUT OF MEMORY");
        prune(t, n);
        return -1;
      }
      t->stats[ST_FULL]++;
      t->stats[ST_BYTES] += t->next_size;
      result = 0;
    }
    if (n->next[idx] == nullptr) {
      wtree_node *c = node_alloc(t, n, idx);
      if (c == nullptr) {
        bool empty = true;
        for (int k = 0; k < t->alen && empty; k++)
          empty = n->next[k] == nullptr;
        if (empty)
          free_next(t, n);
        prune(t, n);
        return -1;
      }
      n->next[idx] = c;
    }
    n = n->next[idx];
  }
  if (n->token == NOTOK)
    t->stats[ST_WORDS]++;
  n->token = static_cast<short>(token);
  return result;
}

static wtree_node *walk(wtree *t, const char *word, int len)
{
  wtree_node *n = t->root;
  for (int i = 0; i < len; i++) {
    int idx = map_char(t, static_cast<unsigned char>(word[i]));
    if (idx == NOT_IN_ALPHABET || n->next == nullptr || n->next[idx] == nullptr)
      return nullptr;
    n = n->next[idx];
  }
  return n;
}

int wtree_find_word(wtree *t, const char *word, int len)
{
  wtree_node *n = walk(t, word, len);
  return n != nullptr ? n->token : 0;
}

int wtree_del_word(wtree *t, const char *word, int len)
{
  wtree_node *n = walk(t, word, len);
  if (n == nullptr || n->token == NOTOK)
    return -1;
  n->token = NOTOK;
  t->stats[ST_WORDS]--;
  prune(t, n);
  return 0;
}

void wtree_stats(wtree *t, int counters[4])
{
  for (int i = 0; i < 4; i++)
    counters[i] += t->stats[i];
}

static void dump_node(wtree *t, wtree_node *n, int depth, std::string &path, std::string &word, FILE *out)
{
  for (int i = 0; i < t->alen; i++) {
    wtree_node *c = n->next[i];
    if (c == nullptr)
      continue;
    size_t plen = path.size(), wlen = word.size();
    if (!path.empty())
      path += '.';
    path += std::to_string(i + 1);
    unsigned char ch = static_cast<unsigned char>(t->alphabet[i]);
    if (ch == 0)
      word += "<0>";
    else
      word += static_cast<char>(ch);
    c->scratch = i;
    const std::string shown = path.size() > 397 ? std::string(397, 'x') : path;
    fprintf(out, "%d-%s ", depth, shown.c_str());
    if (c->token != NOTOK)
      fprintf(out, "(%s) = %d", word.c_str(), c->token);
    else
      fputs("EMPTY", out);
    fprintf(out, ", next=%s\n", c->next != nullptr ? "Y" : "N");
    if (c->next != nullptr)
      dump_node(t, c, depth + 1, path, word, out);
    path.resize(plen);
    word.resize(wlen);
  }
}

void wtree_dump(wtree *t, FILE *out)
{
  fprintf(out, "Alphabet is %d bytes\n", t->alen);
  fprintf(out, "%d words, %d nodes %d bytes, %d full nodes\n\n", t->stats[ST_WORDS], t->stats[ST_NODES],
          t->stats[ST_BYTES], t->stats[ST_FULL]);
  if (t->root->token != NOTOK)
    fprintf(out, "Root: token=%d", t->root->token);
  else
    fputs("Root: EMPTY", out);
  fprintf(out, ", next=%s\n", t->root->next != nullptr ? "Y" : "N");
  if (t->root->next != nullptr) {
    std::string path, word;
    dump_node(t, t->root, 1, path, word, out);
  }
}

void wtree_destroy(wtree *t)
{
  if (t == nullptr)
    return;
  node_free(t, t->root);
  free(t->alphabet);
  free(t);
}
