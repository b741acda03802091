// libtova: the common library of the suite.
// Plain functions returning 0 on success and nonzero on failure, with the
// one-line reason for the last failure in tvl_usrmsg.
#ifndef TOVA_H
#define TOVA_H

#include <cstdio>
#include <sys/time.h>
#include <ctime>
#include <net/if.h>

// ---- init / msglog ---------------------------------------------------------
extern char tvl_usrmsg[1025];
extern const char *tvl_prognam;

struct tvl_init_ctrl {
  unsigned int flags;  // bit 0: leave signal dispositions alone
  unsigned int spare[7];
};
#define TVL_INIT_KEEPSIGS 0x1u

enum { TRC_LOG = 0, TRC_ERR = 1, TRC_WARN = 2, TRC_INFO = 3, TRC_DBG = 4, TRC_DBG2 = 5, TRC_DBG3 = 6 };

int tvl_init(tvl_init_ctrl *ctrl);
const char *tvl_tovadir();
const char *tvl_verstr();

int dbglvl();
const char *trc_lvl2sym(int level);
int trc_sym2lvl(const char *sym);
void dbgtrc(int level, int ignored, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void tvl_msglog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int dbginit(const char *path, FILE *stream, int fd, int ignored);

// ---- cmdlin ----------------------------------------------------------------
struct _tvl_cmdlin_ctrl;
typedef int (*tvl_cmdlin_cb)(_tvl_cmdlin_ctrl *ctrl, int is_switch, int letter_or_position, const char *text);

// Set by name what differs from the defaults, e.g.
// _tvl_cmdlin_ctrl cl{.opts = "hv", .callback = cb, .user = &ctl, .max_params = 1};
struct _tvl_cmdlin_ctrl {
  const char *opts = nullptr;
  const char *mandatory = nullptr;
  int opterr = 0;
  tvl_cmdlin_cb callback = nullptr;
  void *user = nullptr;
  int min_params = 0;
  int max_params = 0;  // -1: no limit
  int nparams = 0;
  char **params = nullptr;
  int stop = 0;
};

int tvl_cmdlin(int argc, char **argv, _tvl_cmdlin_ctrl *ctrl);
// What the programs print on standard error when tvl_cmdlin refuses their
// command line: the reason, then the switch that shows the usage synopsis;
// `end` closes that line ("" or ".").
void tvl_cmdlin_refused(char help_switch, const char *end);

// ---- wtree -----------------------------------------------------------------
#define NOTOK 0
struct wtree_node;
struct wtree {
  char *alphabet;
  int alen;
  unsigned short cmap[256];
  int next_size;
  wtree_node *root;
  int stats[4];  // words, nodes, bytes, full nodes
  int fold;
};

wtree *wtree_create(const char *alphabet, int len, int fold);
int wtree_add_word(wtree *tree, const char *word, int len, int token);
int wtree_find_word(wtree *tree, const char *word, int len);
int wtree_del_word(wtree *tree, const char *word, int len);
void wtree_stats(wtree *tree, int counters[4]);
void wtree_dump(wtree *tree, FILE *out);
void wtree_destroy(wtree *tree);

// ---- llist -----------------------------------------------------------------
struct node {
  node *next;
  node *prev;
  void *data;
  int size;
};
struct list {
  node *first;
  node *last;
  int count;
};

node *llist_insert_a(list *l, node *at, node *n, int size);
node *llist_insert_b(list *l, node *at, node *n, int size);
void llist_extract(list *l, node *n);
void llist_delete(list *l, node *n);
void llist_clear(list *l);
node *llist_fward(node *n, int steps);
node *llist_bward(node *n, int steps);
int llist_rank(list *l, node *n);
void llist_reverse(list *l);
int llist_concat(list *a, list *b);
int llist_clone(node *first, list *dst, int share);
void llist_strsort(list *l, int offset, unsigned int flags);
#define LLIST_SORT_NOCASE 0x1u
#define LLIST_SORT_DESCEND 0x2u

// ---- strings / appstring ---------------------------------------------------
int isdecstr(const char *s);
int ishexstr(const char *s);
int isoctstr(const char *s);
void str2ucs(char *s);
void str2lcs(char *s);
#define STRIP_KEEP_BLANK 0x1u
#define STRIP_KEEP_DEL 0x2u
char *stript(char *s, unsigned int flags);
void stripl(char *s, unsigned int flags);
#define STRSUB_WORDS 0x1u
#define STRSUB_COUNT 0x2u
int strsub(char *s, int size, const char *from, const char *to, unsigned int flags);
int strcount(const char *s, const char *sub);
int chcount(const char *s, int ch);
char *comma_number(int value, char *buf, int is_signed);
char *buf2hex(const unsigned char *data, int len, char *buf, int size);
char *file2buf(int fd, const char *path, char *buf, int bufsize, int *size_out, int head, int tail);

// ---- bufutils / maths / bcdnum ---------------------------------------------
long buf_ntoh(const unsigned char *data, int n);
void buf_hton(unsigned long value, unsigned char *out, int n);
const void *buf_align(int alignment, const void *src, void *dst, int len);
void buf_lshift(char *buf, int len, int by);
void buf_rshift(char *buf, int len, int by);

int mth_intpow(int base, int exp);
unsigned int chksum_xor(const unsigned char *data, int len);
int mth_intlog(int base, int value);

long bcd_to_bin(const unsigned char *data, int first, int ndigits);
char *bcd_to_decstr(const unsigned char *data, int first, int ndigits, char *buf);
void bcdset(unsigned char *data, int first, int ndigits, int digit);
void bin_to_bcd(long value, unsigned char *data, int first, int *ndigits);
int bcdrep(unsigned char *data, int first, int width, long value);

// ---- tinet / dlp -----------------------------------------------------------
int tinet_getsrvsock(int *sock, int port);
int tinet_dotted_ip(const char *s);
int tinet_str2ipaddr(const char *name, unsigned int *addr);
int sock_get_ipifs(struct ifconf *list, int *sock);
int tinet_ipaddr_to_ifnam(const unsigned int *addr, char *name);
const char *dlp_proto2nam(int type);

// ---- times / timedate / y2k / port -----------------------------------------
void utime_add(struct timeval *t, int usec);
int utime_diff(const struct timeval *a, const struct timeval *b);
long port_mktime(struct tm *t);
#ifndef Y2K_PAST_WINDOW
#define Y2K_PAST_WINDOW 60
#endif
long yy_to_ccyy(int yy);
int port_strcasecmp(const char *a, const char *b);
int port_strncasecmp(const char *a, const char *b, int n);
int port_usleep(unsigned int usec);

// ---- runsyscmd -------------------------------------------------------------
#define SYSCMD_STDERR 0x1
#define SYSCMD_PTY 0x2
#define SYSCMD_NONBLOCK 0x4
int run_syscmd(const char *cmd, char *const argv[], int *rfd, int *wfd, int *pid, const void *term,
               const void *winsize, int flags);
int close_syscmd(int rfd, int wfd, int pid);

#endif
