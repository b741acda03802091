// kavretx: copies the analyser's listing from standard input to standard
// output, marks every TCP segment as in sequence or retransmitted on its
// transmitter/receiver flow, and ends with a per-flow summary.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kav.h"
#include "rpttext.h"
#include "tova.h"

namespace {

const char OPT_DATA = 'd', OPT_LOST = 'l', OPT_HELP = 'h';
const char *const TITLE = "Velmora: Retransmissions Report";
const char *const VERSION = VELMORA_VERSION;
const char *const ENV_DIM = "KAV_HASHTAB_DIM";
const char *const ENV_BUF = "KAV_HASHBUF_SIZE";
const int STDIN_BUF = 64 * 1024;
const int DEFAULT_DIM = 8192;
const int KEY_BYTES_PER_ENTRY = 80;
// The analyser prints sequence numbers modulo one million.
const int64_t SEQ_MOD = 1000000;
const int64_t SEQ_HALF = 500000;

struct flow {
  bool inuse;
  const char *key;
  int64_t next;
  int64_t high;  // end of the furthest segment seen
  uint64_t total, data, ok, retx, unordered, okrun, retxrun;
};

struct retx_ctl {
  bool by_data, by_lost;
  int dim;
  long bufsize;
  flow *tab;
  char *keys;
  long keys_used;
  int nflows;
};

void usage() {
  printf("USAGE:\n");
  printf("%s [-%c | -%c]\n", tvl_prognam, OPT_DATA, OPT_LOST);
  printf("%s -%c\n", tvl_prognam, OPT_HELP);
  printf("\n");
  printf("  -%c: Sort by no. of data packets (default is sort by retransmission ratio)\n", OPT_DATA);
  printf("  -%c: Sort by no. of out-of-sequence data packets (default is to sort by\n", OPT_LOST);
  printf("      the retransmission ratio)\n");
  printf("  -%c: Display this usage synopsis.\n", OPT_HELP);
  printf("\n");
  fflush(stdout);
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int pos, const char *) {
  retx_ctl *ctl = (retx_ctl *)ctrl->user;
  if (is_switch) {
    switch (pos) {
      case OPT_HELP:
        usage();
        exit(0);
      case OPT_DATA:
        ctl->by_data = true;
        return 0;
      case OPT_LOST:
        ctl->by_lost = true;
        return 0;
    }
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", pos, pos);
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

// A positive decimal environment value that fits an int, else the default.
long env_number(const char *name, long dflt) {
  const char *v = getenv(name);
  if (!v) return dflt;
  errno = 0;
  char *end = nullptr;
  long n = strtol(v, &end, 10);
  if (!*v || *end || errno || n <= 0 || n > INT_MAX || !isdecstr(v)) {
    tvl_msglog("Ignoring $%s=%s - not a positive decimal number", name, v);
    return dflt;
  }
  return n;
}

// The parts of one TCP line that make its flow key and verdict.
struct segment {
  std::vector<char> key;
  int64_t seq, len;
};

void key_add(segment *s, const char *from, const char *to, bool sep) {
  s->key.insert(s->key.end(), from, to);
  if (sep) s->key.push_back(':');
}

// Parses a stripped line holding an IP section at ip and a TCP section at tcp.
int parse_segment(const char *ip, const char *tcp, segment *s) {
  s->key.clear();
  const char *src = rpt_skip_blanks(ip + 3);
  const char *arrow = strstr(src, "->");
  if (!arrow || arrow > tcp) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Missing '%s' after src", "->");
    return 1;
  }
  const char *src_end = arrow;
  while (src_end > src && rpt_blank(src_end[-1])) src_end--;
  const char *dst = rpt_skip_blanks(arrow + 2);
  const char *dst_end = rpt_word_end(dst);

  const char *sport = rpt_skip_blanks(tcp + 4);
  const char *tarrow = strstr(sport, "->");
  if (!tarrow) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Missing '%s' before dst", "->");
    return 1;
  }
  const char *dport = rpt_skip_blanks(tarrow + 2);
  const char *dport_end = rpt_word_end(dport);

  const char *seq = strstr(tcp, "seq=");
  if (!seq || seq[4] < '0' || seq[4] > '9') {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Missing '%s' in TCP section", "seq=");
    return 1;
  }
  char *end = nullptr;
  s->seq = strtol(seq + 4, &end, 10) % SEQ_MOD;
  s->len = 0;
  // Only a '-' right after the number starts the last sequence number: one
  // further on belongs to later fields (names, application text).
  if (*end == '-' && end[1] >= '0' && end[1] <= '9') {
    int64_t last = strtol(end + 1, nullptr, 10) % SEQ_MOD;
    // A segment that crosses the printed wrap ends below its start.
    s->len = ((last - s->seq + 1) % SEQ_MOD + SEQ_MOD) % SEQ_MOD;
  }

  key_add(s, src, src_end, true);
  key_add(s, sport, tarrow, true);
  key_add(s, dst, dst_end, true);
  key_add(s, dport, dport_end, false);
  s->key.push_back('\0');
  return 0;
}

// Unsigned, so long keys and bytes above 127 can neither overflow nor give
// an index outside the table.
unsigned hash_key(const char *key, int dim) {
  uint32_t h = 0;
  for (uint32_t i = 0; key[i]; i++) h += i * (uint32_t)(unsigned char)key[i];
  return h % (uint32_t)dim;
}

// Finds the flow of a key or takes a free entry for it; null when the table
// or the key buffer is full (the reason in tvl_usrmsg).
flow *find_flow(retx_ctl *ctl, const char *key, size_t keylen) {
  unsigned h = hash_key(key, ctl->dim);
  for (int probes = 0; probes < ctl->dim; probes++) {
    flow *f = &ctl->tab[h];
    if (!f->key) {
      if ((long)keylen + 1 > ctl->bufsize - ctl->keys_used) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
                 "Hashkey buffer overflow - use '%s' env var, toincrease (eg. double) it beyond current size (%d)",
                 ENV_BUF, (int)ctl->bufsize);
        return nullptr;
      }
      char *k = ctl->keys + ctl->keys_used;
      memcpy(k, key, keylen + 1);
      ctl->keys_used += (long)keylen + 1;
      f->key = k;
      ctl->nflows++;
      return f;
    }
    if (strcmp(f->key, key) == 0) return f;
    h = (h + 1) % (unsigned)ctl->dim;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
           "Hash table overflow - use '%s' env var, to increase it beyond current no. of entries (%d)\n", ENV_DIM,
           ctl->dim);
  return nullptr;
}

// Whether printed sequence number a lies ahead of b, allowing for the wrap.
bool ahead_of(int64_t a, int64_t b) {
  int64_t d = ((a - b) % SEQ_MOD + SEQ_MOD) % SEQ_MOD;
  return d > 0 && d <= SEQ_HALF;
}

void judge(flow *f, const segment *s, const char *line) {
  bool has_data = s->len != 0;
  int64_t d = s->seq - f->next;
  int64_t end = (s->seq + s->len) % SEQ_MOD;
  enum { OK, AHEAD, RETX } verdict;
  if (!f->inuse || d == 0) {
    // A segment that fills a gap: what lay beyond the gap has been seen
    // already, so the flow goes on after the furthest segment. Left at the
    // end of the filler, every later segment would look ahead of sequence
    // and no retransmission would be found on the flow again.
    f->next = f->inuse && ahead_of(f->high, end) ? f->high : end;
    f->high = f->next;
    f->inuse = true;
    verdict = OK;
  } else {
    if (d < -SEQ_HALF) d += SEQ_MOD;
    if (d > 0 && d <= SEQ_HALF) {
      verdict = AHEAD;
      if (ahead_of(end, f->high)) f->high = end;
    } else if (d == -1 && !has_data) {
      verdict = OK;  // keep-alive: one byte behind, no data
    } else {
      verdict = RETX;
    }
  }
  f->total++;
  if (has_data) f->data++;
  fputs(line, stdout);
  if (verdict == RETX) {
    fputs(" -- RETX", stdout);
    f->okrun = 0;
    if (has_data) {
      f->retx++;
      f->retxrun++;
      printf("=%lu (%lu/%lu)", (unsigned long)f->retxrun, (unsigned long)f->retx, (unsigned long)f->data);
    }
    printf("  next=%ld\n", (long)f->next);
    return;
  }
  fputs(" -- OK", stdout);
  f->retxrun = 0;
  if (has_data) {
    f->ok++;
    f->okrun++;
    if (verdict == AHEAD) f->unordered++;
    printf("=%lu (%lu/%lu)", (unsigned long)f->okrun, (unsigned long)f->ok, (unsigned long)f->data);
  }
  if (verdict == AHEAD) printf("  %s=%d", "LOST", (int)d);
  fputc('\n', stdout);
}

// Copies and judges standard input until its end, a full table or a failed
// write to standard output.
void read_input(retx_ctl *ctl, FILE *in) {
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  segment seg;
  while ((n = getline(&line, &cap, in)) > 0) {
    const char *ip = strstr(line, "IP:");
    const char *tcp = ip ? strstr(ip + 3, "TCP:") : nullptr;
    if (!tcp) {
      fwrite(line, 1, (size_t)n, stdout);
    } else {
      stript(line, 0);
      if (parse_segment(ip, tcp, &seg)) {
        printf("%s -- Kavpan error: %s\n", line, tvl_usrmsg);
      } else {
        flow *f = find_flow(ctl, seg.key.data(), seg.key.size() - 1);
        if (!f) {
          printf("\n\n--- CANNOT CONTINUE ---\n%s\n", tvl_usrmsg);
          break;
        }
        judge(f, &seg, line);
      }
    }
    if (rpt_output_lost()) break;  // nobody reads the report any more
  }
  free(line);
}

uint64_t ratio(const flow *f) { return f->data ? f->retx * 1000000 / f->data : 0; }

void summary(retx_ctl *ctl, const char *caption) {
  dbgtrc(TRC_DBG, 0, "%d bytes used, in hash-keys buffer", (int)ctl->keys_used);
  printf("\n============================================================\n");
  printf("\nThis file contains %d transmitter/receiver packet flows.\n", ctl->nflows);
  printf("Sort by: %s\n\n", caption);

  std::vector<const flow *> flows;
  for (int i = 0; i < ctl->dim; i++)
    if (ctl->tab[i].inuse) flows.push_back(&ctl->tab[i]);
  bool by_data = ctl->by_data, by_lost = ctl->by_lost && !ctl->by_data;
  std::sort(flows.begin(), flows.end(), [&](const flow *a, const flow *b) {
    uint64_t ka = by_data ? a->data : by_lost ? a->unordered : ratio(a);
    uint64_t kb = by_data ? b->data : by_lost ? b->unordered : ratio(b);
    if (ka != kb) return ka > kb;
    return strcmp(a->key, b->key) < 0;
  });

  uint64_t data = 0, total = 0, ok = 0, retx = 0, unordered = 0;
  int num = 0;
  for (const flow *f : flows) {
    printf("- %d: ", ++num);
    const char *c1 = strchr(f->key, ':');
    const char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
    if (!c2)
      printf("Corrupt hashtable entry [%s]\n", f->key);
    else
      printf("%.*s -> %s\n", (int)(c2 - f->key), f->key, c2 + 1);
    printf("\tTotal packets: %ld/%ld,  Ok=%ld, Retx=%ld, Unordered=%ld\n", (long)f->data, (long)f->total,
           (long)f->ok, (long)f->retx, (long)f->unordered);
    data += f->data;
    total += f->total;
    ok += f->ok;
    retx += f->retx;
    unordered += f->unordered;
  }
  printf("\nAggregate Totals:\n");
  printf("Total packets: %ld/%ld,  Ok=%ld, Retx=%ld, Unordered=%ld\n", (long)data, (long)total, (long)ok,
         (long)retx, (long)unordered);
}

}  // namespace

int main(int argc, char **argv) {
  // The trace shares standard output with the report; direct it there first,
  // since that gives the stream the trace's own small line buffer.
  dbginit(nullptr, stdout, -1, 0);
  rpt_stdout_buffer("Failed to stat stdout (errno=%d) - using full buffering\n", stdout);

  printf("%s, %s\n\n", TITLE, VERSION);
  retx_ctl ctl{};
  char opts[8];
  snprintf(opts, sizeof opts, "%c%c%c", OPT_DATA, OPT_LOST, OPT_HELP);
  _tvl_cmdlin_ctrl cl{.opts = opts, .callback = do_cmdline_opt, .user = &ctl};
  if (tvl_cmdlin(argc, argv, &cl)) {
    tvl_cmdlin_refused(OPT_HELP, "");
    return 99;
  }
  ctl.dim = (int)env_number(ENV_DIM, DEFAULT_DIM);
  ctl.bufsize = env_number(ENV_BUF, std::min<long>((long)ctl.dim * KEY_BYTES_PER_ENTRY, INT_MAX));

  tvl_init_ctrl ic{};
  if (tvl_init(&ic)) {
    printf("Initialisation failed - %s\n", tvl_usrmsg);
    return 1;
  }

  size_t tabsize = (size_t)ctl.dim * sizeof(flow);
  ctl.tab = (flow *)calloc((size_t)ctl.dim, sizeof(flow));
  if (!ctl.tab) {
    printf("Failed to malloc %ld bytes for %d-entry hash table\n", (long)tabsize, ctl.dim);
    return 3;
  }
  ctl.keys = (char *)malloc((size_t)ctl.bufsize);
  if (!ctl.keys) {
    printf("Failed to malloc %d bytes for hash-keys buffer\n", (int)ctl.bufsize);
    free(ctl.tab);
    return 3;
  }
  dbgtrc(TRC_DBG, 0, "Malloc'd  %d bytes for %d-entry hash table", (int)tabsize, ctl.dim);
  dbgtrc(TRC_DBG, 0, "Malloc'd  %d bytes for hash-keys buffer", (int)ctl.bufsize);

  // Input that stops waiting once nobody reads the report: a quiet pipe
  // must not keep the program alive after its reader has gone.
  static char inbuf[STDIN_BUF];
  FILE *in = kav_watched_input(0, 1);
  if (!in) in = stdin;
  setvbuf(in, inbuf, _IOFBF, sizeof inbuf);
  read_input(&ctl, in);
  if (in != stdin) fclose(in);
  summary(&ctl, ctl.by_data   ? "No. of data packets"
                : ctl.by_lost ? "No. of out-of-sequence data packets"
                              : "Data-packet retransmissions ratio");
  free(ctl.keys);
  free(ctl.tab);
  return rpt_finish_output(0);
}
