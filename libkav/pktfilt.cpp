// pktfilt: the filter language compiler and the frame matcher.
#include "kavint.h"
#include "tova.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <strings.h>

namespace {

// ---- keywords --------------------------------------------------------------

enum {
  T_LEN = 1, T_HLEN, T_DLEN, T_SRC, T_DST, T_SD, T_SD1, T_SD2, T_ETYPE, T_TYPE, T_CODE, T_C, T_ORG, T_F,
  T_ETH, T_8023, T_LLC, T_SNAP, T_ARP, T_RARP, T_IP, T_ICMP, T_TCP, T_UDP, T_IPX, T_IGMP, T_OSPF, T_IPV6,
  T_COUNT
};

const char *const keywords[T_COUNT] = {
    nullptr, "LEN",  "HLEN", "DLEN", "SRC",  "DST",  "SD",  "SD:1", "SD:2", "ETYPE", "TYPE", "CODE", "C",    "ORG",
    "F",     "ETH",  "802.3", "LLC", "SNAP", "ARP",  "RARP", "IP",  "ICMP", "TCP",   "UDP",  "IPX",  "IGMP", "OSPF",
    "IPv6"};

const char KW_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:";

constexpr int MAX_DEPTH = 64;  // nesting of parenthesised groups
constexpr int ALL_TCP_FLAGS = 0x3F;

inline int pbit(int tok) { return 1 << tok; }  // a parameter token in an "accepted" set

struct ProtoDef {
  int layer;
  int proto;
  int accepted;
};

ProtoDef protodef(int tok) {
  const int addr = pbit(T_SRC) | pbit(T_DST) | pbit(T_SD) | pbit(T_SD1) | pbit(T_SD2);
  switch (tok) {
    case T_ETH: return {KAV_LAYER_LINK, KAV_L2_ETH, pbit(T_LEN) | pbit(T_HLEN) | pbit(T_DLEN) | addr | pbit(T_ETYPE)};
    case T_8023: return {KAV_LAYER_LINK, KAV_L2_8023, pbit(T_LEN) | pbit(T_HLEN) | pbit(T_DLEN) | addr};
    case T_LLC: return {KAV_LAYER_LINK, KAV_L2_LLC, pbit(T_LEN) | pbit(T_DLEN) | addr | pbit(T_C)};
    case T_SNAP: return {KAV_LAYER_LINK, KAV_L2_SNAP, pbit(T_DLEN) | pbit(T_ORG) | pbit(T_ETYPE)};
    case T_ARP: return {KAV_LAYER_NET, KAV_L3_ARP, pbit(T_HLEN)};
    case T_RARP: return {KAV_LAYER_NET, KAV_L3_RARP, pbit(T_HLEN)};
    case T_IP: return {KAV_LAYER_NET, KAV_L3_IP, pbit(T_LEN) | pbit(T_HLEN) | pbit(T_DLEN) | addr | pbit(T_F)};
    case T_IPV6: return {KAV_LAYER_NET, KAV_L3_IPV6, addr};
    case T_IPX: return {KAV_LAYER_NET, KAV_L3_IPX, 0};
    case T_ICMP: return {KAV_LAYER_TRANS, KAV_IPPROTO_ICMP, pbit(T_HLEN) | pbit(T_DLEN) | pbit(T_TYPE) | pbit(T_CODE)};
    case T_IGMP: return {KAV_LAYER_TRANS, KAV_IPPROTO_IGMP, 0};
    case T_OSPF: return {KAV_LAYER_TRANS, KAV_IPPROTO_OSPF, 0};
    case T_TCP: return {KAV_LAYER_TRANS, KAV_IPPROTO_TCP, pbit(T_HLEN) | pbit(T_DLEN) | addr | pbit(T_F)};
    case T_UDP: return {KAV_LAYER_TRANS, KAV_IPPROTO_UDP, pbit(T_HLEN) | pbit(T_DLEN) | addr};
    default: return {0, 0, 0};
  }
}

// With the matcher, below: how each rule and group is decided on Ethernet II.
void prepare_eth_rule(kav_filtnode *n);
void prepare_eth_group(kav_filtnode *n);

bool is_proto(int tok) { return tok >= T_ETH && tok < T_COUNT; }
bool is_param(int tok) { return tok >= T_LEN && tok <= T_F; }

// Bits a parameter sets in a rule's parameter mask.
int param_bits(int tok) {
  switch (tok) {
    case T_LEN: return KAV_FP_LEN;
    case T_HLEN: return KAV_FP_HLEN;
    case T_DLEN: return KAV_FP_DLEN;
    case T_SRC: return KAV_FP_SRC;
    case T_DST: return KAV_FP_DST;
    case T_SD: return KAV_FP_SD;
    case T_SD1: return KAV_FP_SD1;
    case T_SD2: return KAV_FP_SRC | KAV_FP_DST | KAV_FP_SD2;
    case T_ETYPE: return KAV_FP_ETYPE;
    case T_TYPE: return KAV_FP_TYPE;
    case T_CODE: return KAV_FP_CODE;
    case T_C: return KAV_FP_C;
    case T_ORG: return KAV_FP_ORG;
    case T_F: return KAV_FP_F;
    default: return 0;
  }
}

int param_excludes(int tok) {
  switch (tok) {
    case T_SRC:
    case T_DST: return KAV_FP_SD | KAV_FP_SD1;
    case T_SD: return KAV_FP_SRC | KAV_FP_DST | KAV_FP_SD1;
    case T_SD1: return KAV_FP_SRC | KAV_FP_DST | KAV_FP_SD;
    case T_SD2: return KAV_FP_SD | KAV_FP_SD1;
    default: return 0;
  }
}

const char *tok2txt(int tok) {
  static char buf[21];
  if (tok > 0 && tok < T_COUNT) return keywords[tok];
  snprintf(buf, sizeof buf, "<%d>", tok);
  return buf;
}

// Name of the parameter already in mask that conflicts with excl.
const char *conflict_name(int mask, int excl) {
  int c = mask & excl;
  if ((c & (KAV_FP_SRC | KAV_FP_DST)) && (mask & KAV_FP_SD2)) return "SD:2";
  if (c & KAV_FP_SRC) return "SRC";
  if (c & KAV_FP_DST) return "DST";
  if (c & KAV_FP_SD) return "SD";
  return "SD:1";
}

// ---- parse tree ------------------------------------------------------------

struct trule {
  kav_filtnode n;
  list children;  // of trule
};

struct Parser {
  wtree *kw = nullptr;
};

Parser *cur;  // the parse in progress (the keyword tree lives only during it)

inline trule *child_of(node *nd) { return static_cast<trule *>(nd->data); }

void free_trules(trule *r) {
  for (node *nd = r->children.first; nd; nd = nd->next) free_trules(child_of(nd));
  llist_clear(&r->children);
}

bool iskwchar(char c) { return isalnum((unsigned char)c) || c == '.' || c == ':'; }
bool isblank_(char c) { return c == ' ' || c == '\t'; }
char *skipblanks(char *p) {
  while (isblank_(*p)) p++;
  return p;
}
int kwlen(const char *p) {
  int n = 0;
  while (iskwchar(p[n])) n++;
  return n;
}
int lookup(const char *p, int len) { return wtree_find_word(cur->kw, p, len); }

#define FAIL(...)                                            \
  do {                                                       \
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, __VA_ARGS__);    \
    return 1;                                                \
  } while (0)

// Decimal number in [lo, hi]; false for anything else.
bool decnum(const char *s, long lo, long hi, long *out) {
  if (!*s) return false;
  long v = 0;
  for (; *s; s++) {
    if (!isdigit((unsigned char)*s)) return false;
    v = v * 10 + (*s - '0');
    if (v > hi) return false;
  }
  if (v < lo) return false;
  *out = v;
  return true;
}

struct Name {
  const char *name;
  int value;
};
const Name icmp_types[] = {{"echo", 8},      {"echoreq", 8}, {"echorsp", 0}, {"echorep", 0},
                           {"unreach", 3},   {"srcquench", 4}, {"quench", 4}, {"redir", 5},
                           {"rtradv", 9},    {"rtrwant", 10}, {"rtrsol", 10}, {nullptr, 0}};
const Name unreach_codes[] = {{"net", 0},    {"network", 0},     {"host", 1},    {"prot", 2},
                              {"proto", 2},  {"protocol", 2},    {"port", 3},    {"frag", 4},
                              {"needfrag", 4}, {"netbad", 6},    {"unknown-net", 6}, {"hostbad", 7},
                              {"unknown-host", 7}, {nullptr, 0}};
const Name redir_codes[] = {{"net", 0}, {"network", 0}, {"host", 1}, {nullptr, 0}};

bool findname(const Name *t, const char *s, int *out) {
  for (; t && t->name; t++)
    if (strcasecmp(t->name, s) == 0) {
      *out = t->value;
      return true;
    }
  return false;
}

int tcp_flagbit(char c) {
  switch (toupper((unsigned char)c)) {
    case 'A': return 0x10;
    case 'F': return 0x01;
    case 'P': return 0x08;
    case 'R': return 0x04;
    case 'S': return 0x02;
    case 'U': return 0x20;
    default: return 0;
  }
}

int parse_tcpflags(kav_filtnode *n, char *v) {
  int set = 0, clr = 0;
  if (!*v) FAIL("unrecognised TCP flag, at {%.20s...}", v);
  for (char *q = v; *q;) {
    char *at = q;
    int neg = 0;
    if (*q == '^') {
      neg = 1;
      q++;
      if (*q == '^') FAIL("duplicate negation, at {%.20s...}", q);
      if (!*q) FAIL("dangling negation in '%s' param, at {%.20s...}", "F", at);
    }
    if (*q == '*') {
      if (q[1]) FAIL("'*' must be last TCP flag {%.20s...}", at);
      if (!neg) {
        if (set) FAIL("Meaningless to combine positive individual TCP flags with '*', {%.20s...}", at);
        set = ALL_TCP_FLAGS & ~clr;
      } else {
        if (clr) FAIL("Meaningless to combine negative individual TCP flags with '%c*', {%.20s...}", '^', at);
        clr = ALL_TCP_FLAGS & ~set;
      }
      q++;
      continue;
    }
    int bit = tcp_flagbit(*q);
    if (!bit) FAIL("unrecognised TCP flag, at {%.20s...}", q);
    if ((neg ? clr : set) & bit) FAIL("Duplicate TCP flag, '%c', at {%.20s...}", *q, at);
    if ((neg ? set : clr) & bit) FAIL("TCP flag, '%c', specified twice {%.20s...}", *q, at);
    (neg ? clr : set) |= bit;
    q++;
  }
  n->tcp_set = (unsigned char)set;
  n->tcp_clr = (unsigned char)clr;
  return 0;
}

// Address or port value of SRC/DST/SD/SD:1/SD:2 for the rule's protocol.
int parse_addr(kav_filtnode *n, int ptok, char *v, kav_filtaddr *fa) {
  long num;
  switch (n->token) {
    case T_IP: return kav_getaddr_ip(v, fa);
    case T_IPV6: return kav_getaddr_ip6(v, fa);
    case T_ETH:
    case T_8023: return kav_getaddr_eth(v, fa);
    case T_LLC:
      if (!decnum(v, 0, 255, &num)) FAIL("LLC Address must be numeric, in range 0-255");
      fa->addr[0] = (unsigned char)num;
      fa->nbytes = 1;
      fa->cmask[0] = 0xFF;
      return 0;
    case T_TCP:
    case T_UDP: {
      const char *pn = n->token == T_TCP ? "tcp" : "udp";
      unsigned short port;
      if (decnum(v, 0, 65535, &num)) {
        port = htons((unsigned short)num);
      } else if (kav_getservport(v, pn, &port) != 0) {
        FAIL("Invalid %s protocol (%.20s...)", pn, v);
      }
      memcpy(fa->addr, &port, 2);
      fa->nbytes = 2;
      return 0;
    }
    default: FAIL("APPLICATION ERROR: proto=%s, parsing op for param=%s", tok2txt(n->token), tok2txt(ptok));
  }
}

int parse_value(kav_filtnode *n, int ptok, char op, char *v) {
  long num;
  switch (ptok) {
    case T_LEN:
    case T_HLEN:
    case T_DLEN: {
      if (!decnum(v, 0, INT_MAX, &num)) FAIL("expected numeric parameter, at {%.20s...}", v);
      int *val = ptok == T_LEN ? &n->len : ptok == T_HLEN ? &n->hlen : &n->dlen;
      char *rel = ptok == T_LEN ? &n->len_op : ptok == T_HLEN ? &n->hlen_op : &n->dlen_op;
      *val = (int)num;
      *rel = op;
      return 0;
    }
    case T_SRC:
    case T_DST:
    case T_SD:
    case T_SD1:
    case T_SD2: {
      kav_filtaddr fa;
      memset(&fa, 0, sizeof fa);
      if (parse_addr(n, ptok, v, &fa)) return 1;
      fa.relop = op;
      if (ptok == T_DST)
        n->dst = fa;
      else
        n->src = fa;
      if (ptok == T_SD2) n->dst = fa;
      return 0;
    }
    case T_ETYPE:
      if (!decnum(v, 0, 65535, &num)) FAIL("Eth-Type must be numeric, in range 0-%d", 65535);
      n->etype = htons((unsigned short)num);
      return 0;
    case T_TYPE: {
      int t;
      if (decnum(v, 0, 255, &num))
        t = (int)num;
      else if (!findname(icmp_types, v, &t))
        FAIL("Unrecognised ICMP type, %s, try using numeric code", v);
      n->icmp_type = (unsigned char)t;
      return 0;
    }
    case T_CODE: {
      if (!(n->params & KAV_FP_TYPE)) FAIL("ICMP code must be qualified by type {%.20s...}", v);
      int c;
      const Name *names = n->icmp_type == 3 ? unreach_codes : n->icmp_type == 5 ? redir_codes : nullptr;
      if (decnum(v, 0, 255, &num))
        c = (int)num;
      else if (!findname(names, v, &c))
        FAIL("Unrecognised ICMP code, %s, try using numeric code", v);
      n->icmp_code = (unsigned char)c;
      return 0;
    }
    case T_C:
      if (!decnum(v, 0, 255, &num)) FAIL("LLC Control must be numeric, in range 0-255");
      n->llc_ctl = (unsigned char)num;
      return 0;
    case T_ORG:
      if (!decnum(v, 0, 16777215, &num)) FAIL("SNAP Org must be numeric, in range 0-%d", 16777215);
      n->snap_org[0] = (unsigned char)(num >> 16);
      n->snap_org[1] = (unsigned char)(num >> 8);
      n->snap_org[2] = (unsigned char)num;
      return 0;
    case T_F:
      if (n->token == T_IP) {
        if ((v[0] == 'F' || v[0] == 'f') && v[1] == '\0')
          n->ipfrag = 1;
        else if (v[0] == '^' && (v[1] == 'F' || v[1] == 'f') && v[2] == '\0')
          n->ipfrag = 0;
        else
          FAIL("unrecognised IP flag, at {%.20s...}", v);
        return 0;
      }
      if (n->token == T_TCP) return parse_tcpflags(n, v);
      FAIL("APPLICATION ERROR: missing case for param=%s (proto=%s)", tok2txt(ptok), tok2txt(n->token));
    default: FAIL("Unrecognised param=%s", tok2txt(ptok));
  }
}

// Parameters of a rule: they run to the end of the expression.
int parse_params(trule *rule, char *p, int accepted) {
  kav_filtnode *n = &rule->n;
  for (;;) {
    p = skipblanks(p);
    if (!*p) return 0;
    int neg = 0;
    if (*p == '^') {
      neg = 1;
      p = skipblanks(p + 1);
    }
    int len = kwlen(p);
    int tok = len ? lookup(p, len) : 0;
    if (!tok) FAIL("unrecognised keyword, at {%.20s...}", p);
    p = skipblanks(p + len);
    if (*p != '<' && *p != '=' && *p != '>') FAIL("expected relop, got {%.20s...}", p);
    char op = *p++;
    const char *pname = tok2txt(tok);
    char where[80];
    snprintf(where, sizeof where, " [at {%s%c%.20s...}]", pname, op, p);
    if (!is_param(tok) || !(accepted & pbit(tok)))
      FAIL("invalid param for protocol=%s%s", tok2txt(n->token), where);
    int bits = param_bits(tok);
    if (n->params & bits) FAIL("Duplicate '%s' parameter%s", pname, where);
    if (n->params & param_excludes(tok))
      FAIL("'%s' and '%s' in same rule%s", conflict_name(n->params, param_excludes(tok)), pname, where);
    bool addr = tok == T_SRC || tok == T_DST || tok == T_SD || tok == T_SD1 || tok == T_SD2;
    bool numeric = tok == T_LEN || tok == T_HLEN || tok == T_DLEN;
    if (addr && n->token != T_TCP && n->token != T_UDP && op != '=')
      FAIL("'%c' is only valid relop for %s '%s' parameter%s", '=', tok2txt(n->token), pname, where);
    if (!addr && !numeric && op != '=') FAIL("'%c' is only valid relop for '%s' parameters%s", '=', pname, where);
    p = skipblanks(p);
    char *v = p;
    while (*p && !isblank_(*p)) p++;
    char save = *p;
    *p = '\0';
    int rc = parse_value(n, tok, op, v);
    *p = save;
    if (rc) return 1;
    n->params |= bits;
    if (neg) n->negparams |= bits;
  }
}

int set_protocol(trule *rule, int tok, char **pp, int *accepted) {
  ProtoDef d = protodef(tok);
  rule->n.token = tok;
  rule->n.layer = d.layer;
  rule->n.proto = d.proto;
  *accepted = d.accepted;
  char *p = *pp;
  if (tok == T_IP && *p == '#') {
    char *id = ++p;
    while (*p && !isblank_(*p)) p++;
    if (p == id) FAIL("invalid protocol-id, after '%s:' {%.20s...}", "IP", id);
    char save = *p;
    *p = '\0';
    long num;
    int proto = -1;
    if (decnum(id, 0, 255, &num)) {
      proto = (int)num;
    } else if (!isdigit((unsigned char)*id)) {
      struct protoent *pe = getprotobyname(id);
      if (!pe) {
        char lower[64];
        if (strlen(id) < sizeof lower) {
          for (size_t i = 0; i <= strlen(id); i++) lower[i] = (char)tolower((unsigned char)id[i]);
          pe = getprotobyname(lower);
        }
      }
      if (pe && pe->p_proto >= 0 && pe->p_proto <= 255) proto = pe->p_proto;
    }
    if (proto < 0) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid IP protocol (%.20s...)", id);
      *p = save;
      return 1;
    }
    *p = save;
    rule->n.layer = KAV_LAYER_TRANS;
    rule->n.proto = proto;
    *accepted = 0;
  }
  *pp = p;
  return 0;
}

int parse_rule(char *text, trule *rule, int negated, int depth) {
  enum { S_START, S_NEG, S_AFTER } st = S_START;
  if (negated) rule->n.flags |= KAV_FN_NEG;
  char *p = text;
  for (;;) {
    p = skipblanks(p);
    char c = *p;
    if (!c) {
      if (st == S_AFTER) return 0;
      FAIL("rule terminated prematurely, at {%.20s...}", p);
    }
    if (iskwchar(c)) {
      if (st == S_AFTER) FAIL("misplaced start-of-rule, at {%.20s...}", p);
      if (rule->children.count > 0) FAIL("subrule not in parentheses, at {%.20s...}", p);
      int len = kwlen(p);
      int tok = lookup(p, len);
      if (!tok) FAIL("unrecognised keyword, at {%.20s...}", p);
      if (!is_proto(tok)) FAIL("invalid protocol=%s, at {%.20s...}", tok2txt(tok), p);
      p += len;
      int accepted;
      if (set_protocol(rule, tok, &p, &accepted)) return 1;
      if (st == S_NEG) {
        p = skipblanks(p);
        if (*p) FAIL("parameters supplied for a negated rule, at {%.20s...}", p);
        rule->n.flags ^= KAV_FN_NEG;
      } else {
        if (parse_params(rule, p, accepted)) return 1;
        p += strlen(p);
      }
      st = S_AFTER;
      continue;
    }
    switch (c) {
      case '(': {
        if (st == S_AFTER) FAIL("misplaced start-of-rule, at {%.20s...}", p);
        if (depth >= MAX_DEPTH) FAIL("filter nested too deeply, at {%.20s...}", p);
        int nest = 0;
        char *close = nullptr;
        for (char *q = p + 1; *q; q++) {
          if (*q == '(') {
            nest++;
          } else if (*q == ')') {
            if (nest == 0) {
              close = q;
              break;
            }
            nest--;
          }
        }
        if (!close) FAIL("Unterminated bracket, at {%.20s...}", p);
        node *nd = llist_insert_b(&rule->children, nullptr, nullptr, sizeof(trule));
        if (!nd) FAIL("OUT OF MEMORY");
        *close = '\0';
        int rc = parse_rule(p + 1, child_of(nd), st == S_NEG, depth + 1);
        *close = ')';
        if (rc) return 1;
        p = close + 1;
        st = S_AFTER;
        break;
      }
      case '&':
      case '|':
        if (st != S_AFTER) FAIL("misplaced Boolean, '%c', at {%.20s...}", c, p);
        if (rule->children.count >= 2) {
          char inforce = (rule->n.flags & KAV_FN_OR) ? '|' : '&';
          if (c != inforce) FAIL("conflicting Boolean, '%c', at {%.20s...}", c, p);
        }
        if (c == '|') rule->n.flags |= KAV_FN_OR;
        p++;
        st = S_START;
        break;
      case '^':
        if (st != S_START) FAIL("misplaced Negation, at {%.20s...}", p);
        p++;
        st = S_NEG;
        break;
      default: FAIL("invalid operator, '%c', at {%.20s...}", c, p);
    }
  }
}

// A rule with exactly one child is that child, negated once more if it was.
void optimise_trule(trule *r) {
  for (node *nd = r->children.first; nd; nd = nd->next) optimise_trule(child_of(nd));
  while (r->children.count == 1) {
    node *only = r->children.first;
    trule *c = child_of(only);
    int neg = (r->n.flags ^ c->n.flags) & KAV_FN_NEG;
    r->n = c->n;
    r->n.flags = (c->n.flags & ~KAV_FN_NEG) | neg;
    list grand = c->children;
    memset(&c->children, 0, sizeof c->children);
    llist_delete(&r->children, only);
    r->children = grand;
  }
}

int count_trule_nodes(const trule *r) {
  int n = 1;
  for (node *nd = r->children.first; nd; nd = nd->next) n += count_trule_nodes(child_of(nd));
  return n;
}

void transform_trule(const trule *r, kav_filtnode *nodes, int at, int *next) {
  int nchild = r->children.count;
  if (nchild == 0) return;
  int block = *next;
  *next += nchild;
  nodes[at].child = block - at;
  nodes[at].nchild = nchild;
  int i = 0;
  for (node *nd = r->children.first; nd; nd = nd->next, i++) {
    nodes[block + i] = child_of(nd)->n;
    nodes[block + i].child = 0;
    nodes[block + i].nchild = 0;
  }
  i = 0;
  for (node *nd = r->children.first; nd; nd = nd->next, i++) transform_trule(child_of(nd), nodes, block + i, next);
}

wtree *build_keywords() {
  wtree *t = wtree_create(KW_ALPHABET, (int)strlen(KW_ALPHABET), 1);
  if (!t) return nullptr;
  for (int tok = 1; tok < T_COUNT; tok++) {
    if (wtree_add_word(t, keywords[tok], (int)strlen(keywords[tok]), tok) < 0) {
      wtree_destroy(t);
      return nullptr;
    }
  }
  return t;
}

}  // namespace

void *kav_filt_parse(const char *text, int *size) {
  if (!text) text = "";
  Parser parser;
  parser.kw = build_keywords();
  if (!parser.kw) return nullptr;
  cur = &parser;
  kav_filtnode *nodes = nullptr;
  trule *root = static_cast<trule *>(calloc(1, sizeof(trule)));
  char *copy = strdup(text);
  int count = 0;
  int ok = 0;
  if (!root || !copy) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY");
  } else if (parse_rule(copy, root, 0, 0) == 0) {
    ok = 1;
  }
  wtree_destroy(parser.kw);
  cur = nullptr;
  if (ok) {
    optimise_trule(root);
    count = count_trule_nodes(root);
    size_t bytes = (size_t)count * sizeof(kav_filtnode);
    nodes = static_cast<kav_filtnode *>(calloc((size_t)count, sizeof(kav_filtnode)));
    if (!nodes) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Out of memory - malloc(%d) on %d-node filter", (int)bytes, count);
    } else {
      nodes[0] = root->n;
      nodes[0].child = 0;
      nodes[0].nchild = 0;
      int next = 1;
      transform_trule(root, nodes, 0, &next);
      for (int i = 0; i < next; i++) {
        if (nodes[i].nchild != 0) continue;
        if (nodes[i].layer > nodes[0].maxlayer) nodes[0].maxlayer = nodes[i].layer;
        prepare_eth_rule(&nodes[i]);
      }
      for (int i = 0; i < next; i++)
        if (nodes[i].nchild) prepare_eth_group(&nodes[i]);
      if (next != count) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Internal error transforming filter rules (%d vs %d)", next, count);
        free(nodes);
        nodes = nullptr;
      }
    }
  }
  if (root) {
    free_trules(root);
    free(root);
  }
  free(copy);
  if (nodes && size) *size = count * (int)sizeof(kav_filtnode);
  return nodes;
}

void kav_filt_free(void *filter) { free(filter); }

// ---- evaluation --------------------------------------------------------------

namespace {

// One layer found in the frame: where its header starts, its length (header,
// payload and inner layers, without trailing padding) and its header length.
struct Layer {
  const unsigned char *p;
  int len;
  int hlen;
};

// The layers found so far, and where the walk goes on. The walk is taken only
// as far as the rules being evaluated need it. Above the link layer there is
// one layer per number; link-layer protocols (802.3, LLC, SNAP) can stack.
struct Walk {
  const unsigned char *frame;
  int layer;  // next layer to record; outside 2-4 when the walk is over
  int proto;
  int pos;
  int end;
  unsigned l2mask;  // link-layer protocol numbers found
  int l3proto;      // -1: none
  int l4proto;
  Layer l2[16];
  Layer l3;
  Layer l4;
};

inline unsigned be16(const unsigned char *p) { return (unsigned)p[0] << 8 | p[1]; }

// Next layer for an Ethernet, SNAP or VLAN type field; a type without a
// decoder ends the walk with the payload.
void by_ethertype(unsigned type, int *layer, int *proto) {
  if (!kav_ethtype_layer(type, layer, proto)) *layer = KAV_LAYER_APP, *proto = 0;
}

// The IPv6 header with its extension headers (hop-by-hop, routing,
// destination options, fragment): returns the upper-layer protocol, -1 for a
// fragment other than the first (no upper-layer header in it) and -2 when an
// extension header is cut by the capture. *hlen: the octets of all of them.
inline int v6_upper(const unsigned char *p, int len, int *hlen) {
  int nh = p[6], off = 40;
  for (;;) {
    if (nh == KAV_IPPROTO_FRAGMENT) {
      if (len - off < 8) return -2;
      bool later = ((p[off + 2] << 8 | p[off + 3]) & 0xFFF8) != 0;
      nh = p[off];
      off += 8;
      if (later) {
        *hlen = off;
        return -1;
      }
    } else if (kav_ipv6_exthdr(nh)) {
      if (len - off < 8) return -2;
      int l = (p[off + 1] + 1) * 8;
      if (l > len - off) return -2;
      nh = p[off];
      off += l;
    } else {
      *hlen = off;
      return nh;
    }
  }
}

// Walks on until the next layer lies above the given one, or cannot hold the
// wanted protocol (above the link layer there is one layer per number). A
// header cut by the capture ends the walk.
__attribute__((noinline)) void walk_to(Walk &w, int target, int tproto) {
  int layer = w.layer, proto = w.proto, pos = w.pos, end = w.end;
  while (layer >= KAV_LAYER_LINK && layer <= target &&
         !(layer == target && target > KAV_LAYER_LINK && proto != tproto)) {
    if (pos > end || (layer == KAV_LAYER_LINK && proto >= 16)) goto stop;
    {
    const unsigned char *p = w.frame + pos;
    int len = end - pos;
    int hlen;
    int nlayer = KAV_LAYER_STOP, nproto = 0;
    switch (layer << 8 | proto) {
      case KAV_LAYER_LINK << 8 | KAV_L2_ETH:
        if (len < 14) goto stop;
        hlen = 14;
        by_ethertype(be16(p + 12), &nlayer, &nproto);
        break;
      case KAV_LAYER_LINK << 8 | KAV_L2_8023: {
        if (len < 14) goto stop;
        hlen = 14;
        int l = (int)be16(p + 12) + 14;
        if (len > l) {
          len = l;
          end = pos + len;
        }
        if (len >= 16 && be16(p + 14) == KAV_IPX_RAW)
          nlayer = KAV_LAYER_NET, nproto = KAV_L3_IPX;
        else
          nlayer = KAV_LAYER_LINK, nproto = KAV_L2_LLC;
        break;
      }
      case KAV_LAYER_LINK << 8 | KAV_L2_LLC:
        if (len < 3) goto stop;
        if (!kav_llc_layer(p[0], p[1], p[2], len >= 4 ? p[3] : -1, &nlayer, &nproto, &hlen))
          hlen = 3, nlayer = KAV_LAYER_APP;
        break;
      case KAV_LAYER_LINK << 8 | KAV_L2_SNAP:
        if (len < 5) goto stop;
        hlen = 5;
        by_ethertype(be16(p + 3), &nlayer, &nproto);
        break;
      case KAV_LAYER_NET << 8 | KAV_L3_IP: {
        if (len < 20) goto stop;
        hlen = (p[0] & 0x0F) * 4;
        if (hlen < 20) goto stop;
        int total = (int)be16(p + 2);
        if (len > total && total >= hlen) {
          len = total;
          end = pos + len;
        }
        if (((p[6] & 0x1F) << 8 | p[7]) != 0)
          nlayer = KAV_LAYER_APP;
        else
          nlayer = KAV_LAYER_TRANS, nproto = p[9];
        break;
      }
      case KAV_LAYER_NET << 8 | KAV_L3_IPV6: {
        if (len < 40) goto stop;
        int up = v6_upper(p, len, &hlen);
        if (up == -2)
          hlen = 40;  // recorded, but nothing above it can be reached
        else if (up == -1)
          nlayer = KAV_LAYER_APP;
        else
          nlayer = KAV_LAYER_TRANS, nproto = up;
        break;
      }
      case KAV_LAYER_LINK << 8 | KAV_L2_VLAN:
        if (len < 4) goto stop;
        hlen = 4;
        by_ethertype(be16(p + 2), &nlayer, &nproto);
        break;
      case KAV_LAYER_LINK << 8 | KAV_L2_MPLS: {
        // The label stack down to its bottom entry; the first nibble after it
        // tells IPv4 from IPv6.
        hlen = 0;
        do {
          if (len - hlen < 4) goto stop;
          hlen += 4;
        } while (!(p[hlen - 2] & 0x01));
        nlayer = KAV_LAYER_APP;
        if (len > hlen && (nproto = kav_ipversion_l3(p[hlen] >> 4)) != 0) nlayer = KAV_LAYER_NET;
        break;
      }
      case KAV_LAYER_LINK << 8 | KAV_L2_PPPOED:
        if (len < 6) goto stop;
        hlen = 6;
        nlayer = KAV_LAYER_APP;
        break;
      case KAV_LAYER_LINK << 8 | KAV_L2_PPPOES: {
        // The session header, then the PPP protocol field.
        if (len < 8) goto stop;
        hlen = 8;
        unsigned pp = be16(p + 6);
        if (pp == KAV_PPP_IP)
          nlayer = KAV_LAYER_NET, nproto = KAV_L3_IP;
        else if (pp == KAV_PPP_IPV6)
          nlayer = KAV_LAYER_NET, nproto = KAV_L3_IPV6;
        else
          nlayer = KAV_LAYER_APP;
        break;
      }
      case KAV_LAYER_NET << 8 | KAV_L3_ARP:
      case KAV_LAYER_NET << 8 | KAV_L3_RARP:
        if (len < 8) goto stop;
        hlen = 8 + 2 * (p[4] + p[5]);
        break;
      case KAV_LAYER_TRANS << 8 | KAV_IPPROTO_TCP:
        if (len < 20) goto stop;
        hlen = (p[12] >> 4) * 4;
        nlayer = KAV_LAYER_APP;
        break;
      case KAV_LAYER_TRANS << 8 | KAV_IPPROTO_UDP:
        if (len < 8) goto stop;
        hlen = 8;
        nlayer = KAV_LAYER_APP;
        break;
      case KAV_LAYER_TRANS << 8 | KAV_IPPROTO_ICMP:
        if (len < 2) goto stop;
        hlen = len < 8 ? len : 8;
        break;
      default:
        // Present, but nothing of it is read.
        hlen = 0;
        break;
    }
    Layer *rec;
    if (layer == KAV_LAYER_LINK) {
      w.l2mask |= 1u << proto;
      rec = &w.l2[proto];
    } else if (layer == KAV_LAYER_NET) {
      w.l3proto = proto;
      rec = &w.l3;
    } else {
      w.l4proto = proto;
      rec = &w.l4;
    }
    rec->p = p;
    rec->len = len;
    rec->hlen = hlen;
    if (hlen > len) goto stop;
    layer = nlayer;
    proto = nproto;
    pos += hlen;
    }
  }
  w.layer = layer;
  w.proto = proto;
  w.pos = pos;
  w.end = end;
  return;
stop:
  w.layer = KAV_LAYER_STOP;
}

// The layer with the given numbers, walking on as far as needed.
inline const Layer *find_layer(Walk &w, int layer, int proto) {
  for (int pass = 0;; pass++) {
    if (layer == KAV_LAYER_LINK) {
      if ((unsigned)proto < 16 && (w.l2mask >> proto & 1)) return &w.l2[proto];
    } else if (layer == KAV_LAYER_NET) {
      if (w.l3proto == proto) return &w.l3;
    } else if (w.l4proto == proto) {
      return &w.l4;
    }
    if (pass || w.layer < KAV_LAYER_LINK || w.layer > layer) return nullptr;
    walk_to(w, layer, proto);
  }
}

inline bool relop(long have, char op, long want) {
  return op == '<' ? have < want : op == '>' ? have > want : have == want;
}

// How the two ends of a layer are compared.
enum { END_IP, END_IP6, END_ETH, END_LLC, END_PORT };

inline bool end_eq(int kind, const unsigned char *f, const kav_filtaddr &a) {
  uint32_t v, m, x;
  switch (kind) {
    case END_IP:
      memcpy(&v, f, 4);
      memcpy(&m, a.cmask, 4);
      memcpy(&x, a.addr, 4);
      return (v & m) == x;
    case END_ETH: {
      if (a.mcast) return (f[0] & 0x01) != 0;
      uint16_t v2, x2;
      memcpy(&v, f, 4);
      memcpy(&x, a.addr, 4);
      memcpy(&v2, f + 4, 2);
      memcpy(&x2, a.addr + 4, 2);
      return v == x && v2 == x2;
    }
    case END_IP6:
      for (int i = 0; i < 16; i++)
        if ((f[i] & a.cmask[i]) != a.addr[i]) return false;
      return true;
    case END_LLC: return f[0] == a.addr[0];
    default: return relop(be16(f), a.relop, be16(a.addr));
  }
}

// The address or port parameters (SRC, DST, SD, SD:1, SD:2) of a rule
// against the two ends of its layer; each negated one inverted.
template <int kind>
__attribute__((always_inline)) inline bool ends_match(const kav_filtnode *n, const unsigned char *sp, const unsigned char *dp) {
  int params = n->params;
  auto result = [n](int bit, bool r) { return (n->negparams & bit) ? !r : r; };
  if (params & KAV_FP_SD2) {
    if (!result(KAV_FP_SD2, end_eq(kind, sp, n->src) && end_eq(kind, dp, n->dst))) return false;
  } else {
    if ((params & KAV_FP_SRC) && !result(KAV_FP_SRC, end_eq(kind, sp, n->src))) return false;
    if ((params & KAV_FP_DST) && !result(KAV_FP_DST, end_eq(kind, dp, n->dst))) return false;
  }
  if (params & KAV_FP_SD) {
    if (!result(KAV_FP_SD, end_eq(kind, sp, n->src) || end_eq(kind, dp, n->src))) return false;
  } else if (params & KAV_FP_SD1) {
    if (!result(KAV_FP_SD1, end_eq(kind, sp, n->src) != end_eq(kind, dp, n->src))) return false;
  }
  return true;
}

bool missing(const char *param) {
  tvl_msglog("apply_atom: missing case, param=%s", param);
  return false;
}

// Parameters of a rule against its layer; each negated one inverted.
__attribute__((noinline)) bool apply_params(const kav_filtnode *n, const Layer &l) {
  int params = n->params;
  auto result = [n](int bit, bool r) { return (n->negparams & bit) ? !r : r; };
  if (params & (KAV_FP_LEN | KAV_FP_HLEN | KAV_FP_DLEN)) {
    if ((params & KAV_FP_LEN) && !result(KAV_FP_LEN, relop(l.len, n->len_op, n->len))) return false;
    if ((params & KAV_FP_HLEN) && !result(KAV_FP_HLEN, relop(l.hlen, n->hlen_op, n->hlen))) return false;
    if ((params & KAV_FP_DLEN) && !result(KAV_FP_DLEN, relop(l.len - l.hlen, n->dlen_op, n->dlen))) return false;
  }
  if (params & (KAV_FP_SRC | KAV_FP_DST | KAV_FP_SD | KAV_FP_SD1)) {
    const unsigned char *sp, *dp;
    int kind;
    switch (n->layer << 8 | n->proto) {
      case KAV_LAYER_NET << 8 | KAV_L3_IP: sp = l.p + 12, dp = l.p + 16, kind = END_IP; break;
      case KAV_LAYER_NET << 8 | KAV_L3_IPV6: sp = l.p + 8, dp = l.p + 24, kind = END_IP6; break;
      case KAV_LAYER_TRANS << 8 | KAV_IPPROTO_TCP:
      case KAV_LAYER_TRANS << 8 | KAV_IPPROTO_UDP: sp = l.p, dp = l.p + 2, kind = END_PORT; break;
      case KAV_LAYER_LINK << 8 | KAV_L2_ETH:
      case KAV_LAYER_LINK << 8 | KAV_L2_8023: sp = l.p + 6, dp = l.p, kind = END_ETH; break;
      case KAV_LAYER_LINK << 8 | KAV_L2_LLC: sp = l.p + 1, dp = l.p, kind = END_LLC; break;
      default:
        return missing((params & KAV_FP_SD2) ? "SD:2" : (params & KAV_FP_SRC) ? "SRC" : (params & KAV_FP_DST) ? "DST" : (params & KAV_FP_SD) ? "SD" : "SD:1");
    }
    bool ok;
    switch (kind) {
      case END_IP: ok = ends_match<END_IP>(n, sp, dp); break;
      case END_IP6: ok = ends_match<END_IP6>(n, sp, dp); break;
      case END_ETH: ok = ends_match<END_ETH>(n, sp, dp); break;
      case END_LLC: ok = ends_match<END_LLC>(n, sp, dp); break;
      default: ok = ends_match<END_PORT>(n, sp, dp); break;
    }
    if (!ok) return false;
  }
  if (!(params & (KAV_FP_ETYPE | KAV_FP_TYPE | KAV_FP_CODE | KAV_FP_C | KAV_FP_ORG | KAV_FP_F))) return true;
  if (params & KAV_FP_ETYPE) {
    const unsigned char *f;
    if (n->layer == KAV_LAYER_LINK && n->proto == KAV_L2_ETH)
      f = l.p + 12;
    else if (n->layer == KAV_LAYER_LINK && n->proto == KAV_L2_SNAP)
      f = l.p + 3;
    else
      return missing("ETYPE");
    if (!result(KAV_FP_ETYPE, memcmp(f, &n->etype, 2) == 0)) return false;
  }
  if (params & (KAV_FP_TYPE | KAV_FP_CODE)) {
    if (n->layer != KAV_LAYER_TRANS || n->proto != KAV_IPPROTO_ICMP) return missing("TYPE");
    if ((params & KAV_FP_TYPE) && !result(KAV_FP_TYPE, l.p[0] == n->icmp_type)) return false;
    if ((params & KAV_FP_CODE) && !result(KAV_FP_CODE, l.p[1] == n->icmp_code)) return false;
  }
  if (params & KAV_FP_C) {
    if (n->layer != KAV_LAYER_LINK || n->proto != KAV_L2_LLC) return missing("C");
    if (!result(KAV_FP_C, l.p[2] == n->llc_ctl)) return false;
  }
  if (params & KAV_FP_ORG) {
    if (n->layer != KAV_LAYER_LINK || n->proto != KAV_L2_SNAP) return missing("ORG");
    if (!result(KAV_FP_ORG, memcmp(l.p, n->snap_org, 3) == 0)) return false;
  }
  if (params & KAV_FP_F) {
    bool r;
    if (n->layer == KAV_LAYER_NET && n->proto == KAV_L3_IP) {
      bool frag = ((l.p[6] & 0x3F) << 8 | l.p[7]) != 0;
      r = frag == (n->ipfrag != 0);
    } else if (n->layer == KAV_LAYER_TRANS && n->proto == KAV_IPPROTO_TCP) {
      int f = l.p[13] & ALL_TCP_FLAGS;
      r = (f & n->tcp_set) == n->tcp_set && (f & n->tcp_clr) == 0;
    } else {
      return missing("F");
    }
    if (!result(KAV_FP_F, r)) return false;
  }
  return true;
}

inline bool apply_leaf(const kav_filtnode *n, Walk &w) {
  const Layer *l = find_layer(w, n->layer, n->proto);
  bool r = l && (n->params == 0 || apply_params(n, *l));
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

bool apply_rule(const kav_filtnode *n, Walk &w) {
  if (n->nchild == 0) return apply_leaf(n, w);
  bool any = (n->flags & KAV_FN_OR) != 0;
  bool r = !any;  // neutral result of an empty list
  const kav_filtnode *c = n + n->child;
  for (int i = 0; i < n->nchild; i++) {
    bool v = c[i].nchild ? apply_rule(c + i, w) : apply_leaf(c + i, w);
    if (v == any) {
      r = any;
      break;
    }
  }
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

// ---- Ethernet II from a raw capture, the usual frame ----
// Each rule finds its own layer straight from the headers, with the same
// bounds and stops as the walk, so only what the filter reads is looked at.
// Above Ethernet II there are no further link layers: 802.3, LLC and SNAP are
// never present.

// The network layer, if it is the given protocol.
inline bool eth_net(const unsigned char *f, int caplen, int proto, Layer *l) {
  unsigned type = be16(f + 12);
  const unsigned char *p = f + 14;
  int len = caplen - 14;
  switch (proto) {
    case KAV_L3_IP: {
      if (type != KAV_ETHTYPE_IP || len < 20) return false;
      int hlen = (p[0] & 0x0F) * 4;
      if (hlen < 20) return false;
      int total = (int)be16(p + 2);
      if (len > total && total >= hlen) len = total;
      *l = Layer{p, len, hlen};
      return true;
    }
    case KAV_L3_IPV6: {
      if (type != KAV_ETHTYPE_IPV6 || len < 40) return false;
      int hlen;
      if (v6_upper(p, len, &hlen) == -2) hlen = 40;
      *l = Layer{p, len, hlen};
      return true;
    }
    case KAV_L3_ARP:
    case KAV_L3_RARP:
      if (type != (proto == KAV_L3_ARP ? KAV_ETHTYPE_ARP : KAV_ETHTYPE_RARP) || len < 8) return false;
      *l = Layer{p, len, 8 + 2 * (p[4] + p[5])};
      return true;
    case KAV_L3_IPX:
      if (type != KAV_ETHTYPE_IPX) return false;
      *l = Layer{p, len, 0};
      return true;
    default: return false;
  }
}

// An Ethernet II frame, and what is known of its transport layer.
struct EthFrame {
  const unsigned char *f;
  int caplen;
  int tproto;  // transport protocol number; -1: none; -2: not looked for yet
  const unsigned char *t;
  int tlen;
};

// What the network layer carries: the transport protocol number and where
// that layer lies, or -1 when there is no transport layer (not IPv4 or IPv6,
// a later fragment, a header cut by the capture).
inline int eth_find_trans(EthFrame &e) {
  const unsigned char *p = e.f + 14;
  int len = e.caplen - 14;
  int hlen, proto = -1;
  unsigned type = be16(e.f + 12);
  if (type == KAV_ETHTYPE_IP) {
    if (len >= 20) {
      hlen = (p[0] & 0x0F) * 4;
      if (hlen >= 20 && ((p[6] & 0x1F) << 8 | p[7]) == 0) {
        int total = (int)be16(p + 2);
        if (len > total && total >= hlen) len = total;
        if (hlen <= len) proto = p[9];
      }
    }
  } else if (type == KAV_ETHTYPE_IPV6 && len >= 40) {
    proto = v6_upper(p, len, &hlen);
    if (proto < 0) proto = -1;
  }
  if (proto >= 0) {
    e.t = p + hlen;
    e.tlen = len - hlen;
  }
  return e.tproto = proto;
}

inline int eth_trans_proto(EthFrame &e) { return e.tproto != -2 ? e.tproto : eth_find_trans(e); }

// The transport layer, if it is the given protocol.
inline bool eth_trans(EthFrame &e, int proto, Layer *l) {
  if (eth_trans_proto(e) != proto) return false;
  const unsigned char *t = e.t;
  int tlen = e.tlen;
  switch (proto) {
    case KAV_IPPROTO_TCP:
      if (tlen < 20) return false;
      *l = Layer{t, tlen, (t[12] >> 4) * 4};
      return true;
    case KAV_IPPROTO_UDP:
      if (tlen < 8) return false;
      *l = Layer{t, tlen, 8};
      return true;
    case KAV_IPPROTO_ICMP:
      if (tlen < 2) return false;
      *l = Layer{t, tlen, tlen < 8 ? tlen : 8};
      return true;
    default:
      *l = Layer{t, tlen, 0};
      return true;
  }
}

// A rule found by the layer it reads, with any parameters.
__attribute__((noinline)) bool eth_layer_rule(const kav_filtnode *n, EthFrame &e) {
  Layer l;
  bool r;
  switch (n->layer) {
    case KAV_LAYER_LINK:
      l = Layer{e.f, e.caplen, 14};
      r = n->proto == KAV_L2_ETH;
      break;
    case KAV_LAYER_NET: r = eth_net(e.f, e.caplen, n->proto, &l); break;
    case KAV_LAYER_TRANS: r = eth_trans(e, n->proto, &l); break;
    default: r = false; break;
  }
  return r && (n->params == 0 || apply_params(n, l));
}

// How a rule is decided on an Ethernet II frame (kav_filtnode::eth_how).
enum {
  EH_LAYER,     // find its layer, then its parameters
  EH_NEVER,     // a link layer that Ethernet II never carries
  EH_ALWAYS,    // Ethernet itself, without parameters
  EH_TYPE,      // a network layer without parameters: its Ethernet type and length
  EH_IP_ENDS,   // IPv4, with at most address parameters
  EH_TRANS,     // TCP or UDP with at most port and flag parameters, or ICMP with
                // at most type and code: the least header length
  EH_TYPES,     // a group of EH_TYPE rules only
  EH_LEAVES     // a group of rules only
};

const int END_PARAMS = KAV_FP_SRC | KAV_FP_DST | KAV_FP_SD | KAV_FP_SD1 | KAV_FP_SD2;

// Port, flag, ICMP type and code parameters, which lie within the least
// header of their protocol; each negated one inverted.
__attribute__((always_inline)) inline bool trans_params(const kav_filtnode *n, const unsigned char *t) {
  int params = n->params;
  if ((params & END_PARAMS) && !ends_match<END_PORT>(n, t, t + 2)) return false;
  auto result = [n](int bit, bool r) { return (n->negparams & bit) ? !r : r; };
  if ((params & KAV_FP_TYPE) && !result(KAV_FP_TYPE, t[0] == n->icmp_type)) return false;
  if ((params & KAV_FP_CODE) && !result(KAV_FP_CODE, t[1] == n->icmp_code)) return false;
  if (params & KAV_FP_F) {
    int f = t[13] & ALL_TCP_FLAGS;
    if (!result(KAV_FP_F, (f & n->tcp_set) == n->tcp_set && (f & n->tcp_clr) == 0)) return false;
  }
  return true;
}

void prepare_eth_rule(kav_filtnode *n) {
  n->eth_how = EH_LAYER;
  if (n->layer == KAV_LAYER_LINK) {
    if (n->proto != KAV_L2_ETH)
      n->eth_how = EH_NEVER;
    else if (n->params == 0)
      n->eth_how = EH_ALWAYS;
  } else if (n->layer == KAV_LAYER_NET) {
    if (n->proto == KAV_L3_IP) {
      if ((n->params & ~END_PARAMS) == 0) n->eth_how = EH_IP_ENDS;
    } else if (n->params == 0) {
      // The least the walk needs of each header to record the layer.
      switch (n->proto) {
        case KAV_L3_ARP: n->eth_how = EH_TYPE, n->eth_type = KAV_ETHTYPE_ARP, n->eth_min = 14 + 8; break;
        case KAV_L3_RARP: n->eth_how = EH_TYPE, n->eth_type = KAV_ETHTYPE_RARP, n->eth_min = 14 + 8; break;
        case KAV_L3_IPX: n->eth_how = EH_TYPE, n->eth_type = KAV_ETHTYPE_IPX, n->eth_min = 14; break;
        case KAV_L3_IPV6: n->eth_how = EH_TYPE, n->eth_type = KAV_ETHTYPE_IPV6, n->eth_min = 14 + 40; break;
        default: break;
      }
    }
  } else if (n->layer == KAV_LAYER_TRANS) {
    if (n->proto == KAV_IPPROTO_TCP && (n->params & ~(END_PARAMS | KAV_FP_F)) == 0)
      n->eth_how = EH_TRANS, n->eth_min = 20;
    else if (n->proto == KAV_IPPROTO_UDP && (n->params & ~END_PARAMS) == 0)
      n->eth_how = EH_TRANS, n->eth_min = 8;
    else if (n->proto == KAV_IPPROTO_ICMP && (n->params & ~(KAV_FP_TYPE | KAV_FP_CODE)) == 0)
      n->eth_how = EH_TRANS, n->eth_min = 2;
  }
}

__attribute__((always_inline)) inline bool eth_rule_leaf(const kav_filtnode *n, EthFrame &e) {
  bool r;
  switch (n->eth_how) {
    case EH_NEVER: r = false; break;
    case EH_ALWAYS: r = true; break;
    case EH_TYPE: r = be16(e.f + 12) == n->eth_type && e.caplen >= n->eth_min; break;
    case EH_IP_ENDS: {
      // The addresses lie within the 20 bytes every IPv4 header has.
      const unsigned char *p = e.f + 14;
      r = be16(e.f + 12) == KAV_ETHTYPE_IP && e.caplen >= 14 + 20 && (p[0] & 0x0F) >= 5 &&
          ends_match<END_IP>(n, p + 12, p + 16);
      break;
    }
    case EH_TRANS:
      r = eth_trans_proto(e) == n->proto && e.tlen >= n->eth_min && (n->params == 0 || trans_params(n, e.t));
      break;
    default: r = eth_layer_rule(n, e); break;
  }
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

void prepare_eth_group(kav_filtnode *n) {
  const kav_filtnode *c = n + n->child;
  bool types = true;
  for (int i = 0; i < n->nchild; i++) {
    if (c[i].nchild) return;
    if (c[i].eth_how != EH_TYPE) types = false;
  }
  n->eth_how = types ? EH_TYPES : EH_LEAVES;
}

// A group decided by the Ethernet type alone: a frame has one type, so such
// groups are small and taken whole, without branching on each rule.
inline bool eth_types(const kav_filtnode *n, const EthFrame &e) {
  unsigned type = be16(e.f + 12);
  bool any = (n->flags & KAV_FN_OR) != 0;
  bool r = !any;
  const kav_filtnode *c = n + n->child;
  for (int i = 0; i < n->nchild; i++) {
    bool v = ((type == c[i].eth_type) & (e.caplen >= c[i].eth_min)) ^ (c[i].flags & KAV_FN_NEG);
    if (any)
      r |= v;
    else
      r &= v;
  }
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

// A group of rules only.
__attribute__((always_inline)) inline bool eth_leaves(const kav_filtnode *n, EthFrame &e) {
  bool any = (n->flags & KAV_FN_OR) != 0;
  bool r = !any;
  const kav_filtnode *c = n + n->child;
  for (int i = 0; i < n->nchild; i++) {
    if (eth_rule_leaf(c + i, e) == any) {
      r = any;
      break;
    }
  }
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

bool eth_rule(const kav_filtnode *n, EthFrame &e);

// Any group: those of rules only are taken in line.
__attribute__((always_inline)) inline bool eth_group(const kav_filtnode *n, EthFrame &e) {
  switch (n->eth_how) {
    case EH_TYPES: return eth_types(n, e);
    case EH_LEAVES: return eth_leaves(n, e);
    default: return eth_rule(n, e);
  }
}

// A group with groups among its members.
bool eth_rule(const kav_filtnode *n, EthFrame &e) {
  bool any = (n->flags & KAV_FN_OR) != 0;
  bool r = !any;
  const kav_filtnode *c = n + n->child;
  for (int i = 0; i < n->nchild; i++) {
    bool v = c[i].nchild ? eth_group(c + i, e) : eth_rule_leaf(c + i, e);
    if (v == any) {
      r = any;
      break;
    }
  }
  return (n->flags & KAV_FN_NEG) ? !r : r;
}

// Ethernet II whose type leads straight to the network layer or to nothing:
// the shortcuts know no further link layers, so a tagged or MPLS frame is
// left to the general walk.
inline bool is_eth2(int linktype, const unsigned char *frame, int caplen, unsigned int capflags) {
  if (!(linktype == KAV_DL_ETHER && (capflags & KAV_CAP_RAW) && caplen >= 14 && frame[12] > 5)) return false;
  int layer, proto;
  return !kav_ethtype_layer(be16(frame + 12), &layer, &proto) || layer != KAV_LAYER_LINK;
}

inline int proto_id(int linktype, const unsigned char *f, int caplen, int *layer, int *offset, unsigned int capflags) {
  *layer = KAV_LAYER_LINK;
  *offset = 0;
  if (linktype == KAV_DL_ETHER && (capflags & KAV_CAP_RAW) && caplen >= 14 && f[12] > 5) return KAV_L2_ETH;
  if (!f || caplen < 0) caplen = 0;
  bool raw = capflags & KAV_CAP_RAW;
  if (linktype == KAV_DL_IPRAW) {
    // A raw-IP session carries IPv4 and IPv6 alike; anything else is data.
    int l3 = kav_ipversion_l3(caplen >= 1 ? f[0] >> 4 : 0);
    *layer = l3 ? KAV_LAYER_NET : KAV_LAYER_STOP;
    return l3;
  }
  if (raw) {
    switch (linktype) {
      case KAV_DL_CSMACD: return KAV_L2_8023;
      case KAV_DL_TPB: return KAV_L2_TPB;
      case KAV_DL_TPR: return KAV_L2_TPR;
      case KAV_DL_METRO: return KAV_L2_METRO;
      case KAV_DL_ETHER:
        if (caplen >= 14 && be16(f + 12) <= KAV_ETHTYPE_MAXLEN) return KAV_L2_8023;
        return KAV_L2_ETH;
      case KAV_DL_HDLC: return KAV_L2_PPP;
      case KAV_DL_FDDI: return KAV_L2_FDDI;
      default: *layer = KAV_LAYER_STOP; return 0;
    }
  }
  switch (linktype) {
    case KAV_DL_CSMACD:
      if (caplen >= 16 && be16(f + 14) == KAV_IPX_RAW) {
        *layer = KAV_LAYER_NET;
        return KAV_L3_IPX;
      }
      return KAV_L2_LLC;
    case KAV_DL_ETHER:
      if (caplen >= 1 && f[0] > 68) {
        *layer = KAV_LAYER_NET;
        return KAV_L3_IP;
      }
      // A bare ARP or RARP message over Ethernet or 802 hardware.
      if (caplen >= 8 && (be16(f) == KAV_ARPHRD_ETHER || be16(f) == KAV_ARPHRD_IEEE802) &&
          be16(f + 2) == KAV_ETHTYPE_IP && f[6] == 0) {
        if (f[7] == KAV_ARPOP_REQUEST || f[7] == KAV_ARPOP_REPLY) {
          *layer = KAV_LAYER_NET;
          return KAV_L3_ARP;
        }
        if (f[7] == KAV_ARPOP_RREQUEST || f[7] == KAV_ARPOP_RREPLY) {
          *layer = KAV_LAYER_NET;
          return KAV_L3_RARP;
        }
      }
      *layer = KAV_LAYER_STOP;
      return 0;
    case KAV_DL_HDLC:
      // A bare PPP protocol field: IP, LCP or IPCP.
      if (caplen >= 2 && (be16(f) == KAV_PPP_IP || be16(f) == KAV_PPP_LCP || be16(f) == KAV_PPP_IPCP)) {
        *layer = KAV_LAYER_NET;
        *offset = 2;
        return int(be16(f));
      }
      *layer = KAV_LAYER_STOP;
      return 0;
    default: return KAV_L2_LLC;
  }
}

}  // namespace

int kav_ethtype_layer(unsigned type, int *layer, int *proto) {
  static const struct {
    unsigned short type;
    signed char layer, proto;
  } map[] = {
      {KAV_ETHTYPE_IP, KAV_LAYER_NET, KAV_L3_IP},
      {KAV_ETHTYPE_ARP, KAV_LAYER_NET, KAV_L3_ARP},
      {KAV_ETHTYPE_RARP, KAV_LAYER_NET, KAV_L3_RARP},
      {KAV_ETHTYPE_IPX, KAV_LAYER_NET, KAV_L3_IPX},
      {KAV_ETHTYPE_IPV6, KAV_LAYER_NET, KAV_L3_IPV6},
      {KAV_ETHTYPE_VLAN, KAV_LAYER_LINK, KAV_L2_VLAN},
      {KAV_ETHTYPE_QINQ, KAV_LAYER_LINK, KAV_L2_VLAN},
      {KAV_ETHTYPE_QINQ_OLD, KAV_LAYER_LINK, KAV_L2_VLAN},
      {KAV_ETHTYPE_MPLS, KAV_LAYER_LINK, KAV_L2_MPLS},
      {KAV_ETHTYPE_MPLS_MC, KAV_LAYER_LINK, KAV_L2_MPLS},
      {KAV_ETHTYPE_PPPOED, KAV_LAYER_LINK, KAV_L2_PPPOED},
      {KAV_ETHTYPE_PPPOES, KAV_LAYER_LINK, KAV_L2_PPPOES},
      {KAV_ETHTYPE_TEB, KAV_LAYER_LINK, KAV_L2_ETH},
      {KAV_ETHTYPE_PPP, KAV_LAYER_LINK, KAV_L2_PPP},
  };
  for (const auto &m : map)
    if (m.type == type) {
      *layer = m.layer;
      *proto = m.proto;
      return 1;
    }
  return 0;
}

int kav_llc_layer(unsigned dsap, unsigned ssap, unsigned ctl, int nlpid, int *layer, int *proto, int *hlen) {
  if (ctl != KAV_LLC_UI || dsap != ssap) return 0;
  int l, p, h = 3;
  if (dsap == KAV_SAP_SNAP)
    l = KAV_LAYER_LINK, p = KAV_L2_SNAP;
  else if (dsap == KAV_SAP_IPX)
    l = KAV_LAYER_NET, p = KAV_L3_IPX;
  else if (dsap == KAV_SAP_ISO && nlpid == KAV_NLPID_IP)
    l = KAV_LAYER_NET, p = KAV_L3_IP, h = 4;
  else if (dsap == KAV_SAP_ISO && nlpid == KAV_NLPID_SNAP)
    l = KAV_LAYER_LINK, p = KAV_L2_SNAP, h = 4;
  else
    return 0;
  *layer = l, *proto = p, *hlen = h;
  return 1;
}

int kav_proto_id_n(int linktype, const unsigned char *f, int caplen, int *layer, int *offset, unsigned int capflags) {
  return proto_id(linktype, f, caplen, layer, offset, capflags);
}

int kav_proto_id(int linktype, const unsigned char *frame, int *layer, int *offset, unsigned int capflags) {
  // Without a length, the first 16 bytes (the most the decision reads) are taken as present.
  return kav_proto_id_n(linktype, frame, 16, layer, offset, capflags);
}

namespace {

// The general walk from the frame's starting point.
int match_walked(const kav_filtnode *root, const unsigned char *frame, int caplen, int linktype, int *layer,
                 int *proto, int *offset, unsigned int capflags) {
  int l, off;
  int pr = proto_id(linktype, frame, caplen, &l, &off, capflags);
  if (layer) {
    *layer = l;
    if (proto) *proto = pr;
    if (offset) *offset = off;
  }
  if (!root) return 1;
  Walk w;
  w.frame = frame;
  w.end = caplen;
  w.l2mask = 0;
  w.l3proto = w.l4proto = -1;
  w.layer = off <= caplen ? l : KAV_LAYER_STOP;
  w.proto = pr;
  w.pos = off;
  return root->nchild ? apply_rule(root, w) : apply_leaf(root, w);
}

}  // namespace

int kav_filt_match(const void *filter, const unsigned char *frame, int caplen, int linktype, int *layer, int *proto,
                   int *offset, unsigned int capflags) {
  if (!frame || caplen < 0) caplen = 0;
  const kav_filtnode *root = static_cast<const kav_filtnode *>(filter);
  if (is_eth2(linktype, frame, caplen, capflags)) {
    if (layer) {
      *layer = KAV_LAYER_LINK;
      if (proto) *proto = KAV_L2_ETH;
      if (offset) *offset = 0;
    }
    if (!root) return 1;
    EthFrame e;
    e.f = frame;
    e.caplen = caplen;
    e.tproto = -2;
    return root->nchild ? eth_group(root, e) : eth_rule_leaf(root, e);
  }
  return match_walked(root, frame, caplen, linktype, layer, proto, offset, capflags);
}

int kav_filt_match_walked(const void *filter, const unsigned char *frame, int caplen, int linktype, int *layer,
                          int *proto, int *offset, unsigned int capflags) {
  if (!frame || caplen < 0) caplen = 0;
  return match_walked(static_cast<const kav_filtnode *>(filter), frame, caplen, linktype, layer, proto, offset,
                      capflags);
}
