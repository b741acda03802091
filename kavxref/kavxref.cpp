// kavxref: cross-references two analyser listings of the same traffic taken
// at two points. Every selected IP event of the Input listing is rewritten as
// a reference to the Reference event with the same source address and IP
// identification near the same time, noting fragmentation differences.
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kav.h"
#include "rpttext.h"
#include "tova.h"

namespace {

const char OPT_ALL = 'a', OPT_SRC = 's', OPT_DST = 'd', OPT_UDP = 'u', OPT_NOFRAG = 'f', OPT_SYNC = 'e',
           OPT_HELP = 'h';
const char *const TITLE = "Velmora: Cross-Reference Report";
const char *const VERSION = VELMORA_VERSION;
const char *const IN_LABEL = "Input";
const char *const REF_LABEL = "Reference";
const int IN_BUF = 64 * 1024, REF_BUF = 128 * 1024;
// How far back in the Reference a search starts, and how far apart in time
// two events of one datagram may be.
const long LOOKBACK = 2000;
const int64_t WINDOW_US = 2000000;
// Time stamps beyond this many seconds are taken as this many, so that time
// arithmetic in microseconds cannot overflow.
const long MAX_SECONDS = 100000000000L;
const char *const EVT_PREFIX = "- Evt=";
const char *const VB_PREFIX = "Verbosity level is ";
const char *const BASE_PREFIX = "Base time is ";

volatile sig_atomic_t interrupted = 0;

void on_signal(int) { interrupted = 1; }

struct text_ref {
  const char *p;
  size_t len;
};

struct xref_ctl {
  const char *in_path, *ref_path;
  char mode;  // 0, OPT_SRC, OPT_DST or OPT_ALL
  text_ref host, port;
  bool has_port;
  const char *proto;  // "TCP" or "UDP"
  char pattern[8];    // "TCP: "
  bool nofrag;
  long sync_evt;
  FILE *in, *ref;
  long sync_pos;  // Reference offset a search never starts before
  long ref_pos;   // Reference offset after the last matched line
  long ref_seen;  // Reference lines before this offset have been reported on
  bool move_sync;
  int64_t offset_us;  // added to Input times to give Reference times
  int matching, rewritten;
};

struct evt_line {
  long num;
  int64_t time_us;
  bool has_time;
  bool ip;
  text_ref src, dst, id;
  const char *after_id;
  int frag;
  long data;
};

void usage() {
  printf("USAGE:\n");
  printf("%s [-%c|-%c|-%c host[:port]] [-%c] [-%c] [-%c event-id] input-file ref-file\n", tvl_prognam, OPT_ALL,
         OPT_SRC, OPT_DST, OPT_UDP, OPT_NOFRAG, OPT_SYNC);
  printf("%s -%c\n", tvl_prognam, OPT_HELP);
  printf("\n");
  printf("  -%c: Only IP events with matching source/dest sepc will be rewritten\n", OPT_ALL);
  printf("  -%c: Only IP events that match source-address spec will be rewritten\n", OPT_SRC);
  printf("  -%c: Only IP events that match dest-address spec will be rewritten\n", OPT_DST);
  printf("  -%c: Port spec refers to UDP (default is TCP)\n", OPT_UDP);
  printf("  -%c: Asserts that the Input datagrams are not fragmented\n", OPT_NOFRAG);
  printf("  -%c: Specifies first matching event in Reference file\n", OPT_SYNC);
  printf("  -%c: Display this usage synopsis.\n", OPT_HELP);
  printf("\n");
  fflush(stdout);
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int pos, const char *text) {
  xref_ctl *ctl = (xref_ctl *)ctrl->user;
  if (is_switch) {
    switch (pos) {
      case OPT_HELP:
        usage();
        exit(0);
      case OPT_ALL:
      case OPT_SRC:
      case OPT_DST: {
        ctl->mode = (char)pos;
        const char *colon = strchr(text, ':');
        ctl->host = {text, colon ? (size_t)(colon - text) : strlen(text)};
        ctl->has_port = colon != nullptr;
        ctl->port = colon ? text_ref{colon + 1, strlen(colon + 1)} : text_ref{nullptr, 0};
        return 0;
      }
      case OPT_UDP:
        ctl->proto = "UDP";
        return 0;
      case OPT_NOFRAG:
        ctl->nofrag = true;
        return 0;
      case OPT_SYNC:
        if (!*text || !isdecstr(text) || strlen(text) > 9) {
          snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - non-numeric argument", pos, text);
          return 1;
        }
        ctl->sync_evt = atol(text);
        return 0;
    }
  } else if (pos == 1) {
    ctl->in_path = text;
    return 0;
  } else if (pos == 2) {
    ctl->ref_path = text;
    return 0;
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", pos, pos);
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

bool starts_with(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

// The text between the analyser's blanks, for comparison with a spec typed
// without them.
text_ref trimmed(text_ref t) {
  while (t.len && rpt_blank(*t.p)) t.p++, t.len--;
  while (t.len && rpt_blank(t.p[t.len - 1])) t.len--;
  return t;
}

bool same(text_ref a, text_ref b) { return a.len == b.len && memcmp(a.p, b.p, a.len) == 0; }

// Numbers in a listing are untrusted text: too many digits give the limit
// rather than an overflow.
bool read_digits(const char **p, long *value, long limit) {
  if (**p < '0' || **p > '9') return false;
  char *end = nullptr;
  long v = strtol(*p, &end, 10);
  *value = v > limit ? limit : v;
  *p = end;
  return true;
}

long number_at(const char *p, long limit) {
  long v = 0;
  return read_digits(&p, &v, limit) ? v : 0;
}

void missing_token(const char *token, const evt_line *e, const char *label, bool report) {
  if (report) fprintf(stderr, "Missing '%s' token in event %d of %s file\n", token, (int)e->num, label);
}

// Parses an event line: number, time and, for an IP event, the texts that
// identify its datagram. Problems are reported when report is set.
void parse_evt(const char *line, const char *label, bool report, evt_line *e) {
  memset(e, 0, sizeof *e);
  const char *p = line + strlen(EVT_PREFIX);
  long v = 0;
  if (read_digits(&p, &v, INT_MAX)) e->num = v;
  long sec = 0, usec = 0;
  const char *t = strchr(p, '(');
  if (t) {
    t++;
    if (read_digits(&t, &sec, MAX_SECONDS) && *t == '.' && (t++, read_digits(&t, &usec, 999999)))
      e->has_time = true;
  }
  if (e->has_time)
    e->time_us = (int64_t)sec * 1000000 + usec;
  else if (report)
    fprintf(stderr, "Missing timestamp in evt %d of %s file\n", (int)e->num, label);

  const char *ip = strstr(p, "IP: ");
  if (!ip) return;
  const char *src = ip + 4;
  const char *arrow = strstr(src, "->");
  if (!arrow) return missing_token("->", e, label, report);
  const char *dst = arrow + 2;
  const char *flags = strstr(dst, " <");
  if (!flags) return missing_token(" <", e, label, report);
  const char *id = strstr(flags, ", id=");
  if (!id) return missing_token(", id=", e, label, report);
  id += 5;
  const char *dot = strchr(id, '.');
  if (!dot) return missing_token(".", e, label, report);
  e->src = {src, (size_t)(arrow - src)};
  e->dst = {dst, (size_t)(flags - dst)};
  e->id = {id, (size_t)(dot - id)};
  e->frag = (int)number_at(dot + 1, INT_MAX);
  e->after_id = dot + 1;
  const char *data = strstr(e->after_id, "; data=");
  e->data = data ? number_at(data + 7, INT_MAX) : 0;
  e->ip = true;
}

// Finds the ports of the transport section after the identification.
bool parse_ports(const xref_ctl *ctl, const evt_line *e, text_ref *sport, text_ref *dport) {
  const char *t = strstr(e->after_id, ctl->pattern);
  if (!t) return false;
  t += strlen(ctl->pattern);
  const char *arrow = strstr(t, "->");
  if (!arrow) {
    missing_token("->", e, IN_LABEL, true);
    return false;
  }
  *sport = trimmed({t, (size_t)(arrow - t)});
  const char *d = rpt_skip_blanks(arrow + 2);
  *dport = {d, (size_t)(rpt_word_end(d) - d)};
  return true;
}

bool selected(const xref_ctl *ctl, const evt_line *e) {
  if (!ctl->mode) return true;
  bool want_src = ctl->mode != OPT_DST, want_dst = ctl->mode != OPT_SRC;
  bool src_ok = want_src && same(trimmed(e->src), ctl->host);
  bool dst_ok = want_dst && same(trimmed(e->dst), ctl->host);
  if (ctl->has_port && (src_ok || dst_ok)) {
    text_ref sport, dport;
    if (!parse_ports(ctl, e, &sport, &dport)) return false;
    src_ok = src_ok && same(sport, ctl->port);
    dst_ok = dst_ok && same(dport, ctl->port);
  }
  return src_ok || dst_ok;
}

int seek_ref(xref_ctl *ctl, long pos) {
  if (fseek(ctl->ref, pos, SEEK_SET) != 0) {
    fprintf(stderr, "fseek(%d) failed (errno=%d)\n", (int)pos, errno);
    return 1;
  }
  return 0;
}

void rewrite(xref_ctl *ctl, const char *line, const evt_line *in, const evt_line *ref) {
  const char *colon = strchr(line, ':');
  printf("%.*s: Ref=%d", (int)(colon - line), line, (int)ref->num);
  if (in->frag != ref->frag || in->data != ref->data)
    printf(" - FRAG: off=%d (%d), data=%d (%d)", in->frag, ref->frag, (int)in->data, (int)ref->data);
  printf("\n");
  ctl->rewritten++;
}

// Searches the Reference near the Input event; true when it was rewritten.
bool cross_reference(xref_ctl *ctl, const char *line, const evt_line *in, char **rbuf, size_t *rcap) {
  int64_t t_in = in->time_us + ctl->offset_us;
  long start = ctl->ref_pos - LOOKBACK > ctl->sync_pos ? ctl->ref_pos - LOOKBACK : ctl->sync_pos;
  long off = start;
  if (start > ctl->sync_pos) {
    // Land on a line start: finish the line that holds the byte before.
    if (seek_ref(ctl, start - 1)) return false;
    ssize_t n = getline(rbuf, rcap, ctl->ref);
    if (n <= 0) return false;
    off = start - 1 + n;
  } else if (seek_ref(ctl, start)) {
    return false;
  }
  ssize_t n;
  evt_line ref;
  while (!interrupted && (n = getline(rbuf, rcap, ctl->ref)) > 0) {
    long line_pos = off;
    off += n;
    if (!starts_with(*rbuf, EVT_PREFIX)) continue;
    bool report = line_pos >= ctl->ref_seen;
    if (report) ctl->ref_seen = off;
    parse_evt(*rbuf, REF_LABEL, report, &ref);
    if (ctl->rewritten > 0 && ref.has_time && ref.time_us - t_in > WINDOW_US) {
      // The listing is in time order: nothing further on can be this datagram.
      ctl->move_sync = true;
      return false;
    }
    if (!ref.ip || !same(ref.src, in->src) || !same(ref.id, in->id)) continue;
    if (ctl->rewritten > 0) {
      if (ref.time_us - t_in < -WINDOW_US) continue;
      if (ctl->move_sync) {
        ctl->sync_pos = line_pos;
        ctl->move_sync = false;
      }
    }
    if (ctl->nofrag && ref.data != in->data) return false;
    if (ctl->rewritten == 0) ctl->offset_us += ref.time_us - t_in;
    ctl->ref_pos = off;
    rewrite(ctl, line, in, &ref);
    return true;
  }
  return false;
}

// Opens a listing and reads its header; the Reference is then positioned at
// its sync event, if one is asked for.
int prepare(const char *path, int bufsize, long sync_evt, FILE **fp, time_t *base, long *pos) {
  FILE *f = fopen(path, "r");
  if (!f) {
    printf("fopen(%s) failed, errno=%d\n", path, errno);
    return 1;
  }
  *fp = f;
  setvbuf(f, nullptr, _IOFBF, (size_t)bufsize);
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  long off = 0;
  bool have_vb = false, have_base = false;
  int rc = 1;
  while (!(have_vb && have_base) && (n = getline(&line, &cap, f)) > 0) {
    off += n;
    if (!have_vb && starts_with(line, VB_PREFIX)) {
      int vb = (int)number_at(line + strlen(VB_PREFIX), INT_MAX);
      if (vb < 2 || vb > 3) {
        printf("ERROR: %s has invalid Verbosity level, %d.\n", path, vb);
        printf("Must be 2-3.\n");
        goto done;
      }
      have_vb = true;
    } else if (have_vb && starts_with(line, BASE_PREFIX)) {
      struct tm tm;
      memset(&tm, 0, sizeof tm);
      const char *end = strptime(line + strlen(BASE_PREFIX), "%a %b %d %T %Y", &tm);
      long t = end ? port_mktime(&tm) : -1;
      if (t == -1) {
        printf("ERROR: %s has invalid base time, %s", path, line);
        if (line[n - 1] != '\n') printf("\n");
        goto done;
      }
      *base = (time_t)t;
      have_base = true;
    }
  }
  if (!(have_vb && have_base)) {
    printf("%s is corrupt - missing header info\n", path);
    goto done;
  }
  *pos = off;
  if (sync_evt > 0) {
    bool found = false;
    while (!found && (n = getline(&line, &cap, f)) > 0) {
      if (starts_with(line, EVT_PREFIX) && number_at(line + strlen(EVT_PREFIX), INT_MAX) == sync_evt)
        found = true;
      else
        off += n;
    }
    if (!found) {
      printf("Sync event=%d not found in %s\n", (int)sync_evt, path);
      goto done;
    }
    *pos = off;
  }
  rc = 0;
done:
  free(line);
  return rc;
}

void run(xref_ctl *ctl) {
  char *line = nullptr, *rbuf = nullptr;
  size_t cap = 0, rcap = 0;
  ssize_t n;
  evt_line e;
  while (!interrupted && (n = getline(&line, &cap, ctl->in)) > 0) {
    bool done = false;
    if (starts_with(line, EVT_PREFIX)) {
      parse_evt(line, IN_LABEL, true, &e);
      if (e.ip && selected(ctl, &e)) {
        ctl->matching++;
        done = cross_reference(ctl, line, &e, &rbuf, &rcap);
      }
    }
    if (!done) fwrite(line, 1, (size_t)n, stdout);
    if (rpt_output_lost()) break;  // nobody reads the report any more
  }
  free(line);
  free(rbuf);
}

}  // namespace

int main(int argc, char **argv) {
  struct timeval t0;
  gettimeofday(&t0, nullptr);
  rpt_stdout_buffer("Failed to stat stdout (errno=%d) - assume full buffering\n", stderr);

  xref_ctl ctl{};
  ctl.proto = "TCP";
  char opts[16];
  snprintf(opts, sizeof opts, "%c:%c:%c:%c%c%c:%c", OPT_ALL, OPT_SRC, OPT_DST, OPT_UDP, OPT_NOFRAG, OPT_SYNC,
           OPT_HELP);
  _tvl_cmdlin_ctrl cl{.opts = opts, .callback = do_cmdline_opt, .user = &ctl, .min_params = 2, .max_params = 2};
  if (tvl_cmdlin(argc, argv, &cl)) {
    tvl_cmdlin_refused(OPT_HELP, "");
    return 99;
  }
  snprintf(ctl.pattern, sizeof ctl.pattern, "%s: ", ctl.proto);
  tvl_init_ctrl ic{};
  if (tvl_init(&ic)) {
    printf("initialisation failed - %s\n", tvl_usrmsg);
    return 1;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;  // no SA_RESTART: a blocked read returns at once
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  printf("%s, %s\n", TITLE, VERSION);
  printf("\n%s file: %s\n%s file: %s\n", IN_LABEL, ctl.in_path, REF_LABEL, ctl.ref_path);
  time_t in_base = 0, ref_base = 0;
  long in_pos = 0;
  int rc = prepare(ctl.in_path, IN_BUF, 0, &ctl.in, &in_base, &in_pos);
  if (rc == 0) rc = prepare(ctl.ref_path, REF_BUF, ctl.sync_evt, &ctl.ref, &ref_base, &ctl.sync_pos);
  if (rc == 0) {
    ctl.ref_pos = ctl.ref_seen = ctl.sync_pos;
    ctl.offset_us = ((int64_t)in_base - (int64_t)ref_base) * 1000000;
    run(&ctl);
    printf("Rewrote %d/%d matching input events%s\n", ctl.rewritten, ctl.matching,
           interrupted ? ", before being interrupted" : "");
    fflush(stdout);
    struct timeval t1;
    gettimeofday(&t1, nullptr);
    long secs = (long)(t1.tv_sec - t0.tv_sec);
    fprintf(stderr, "Duration: %02ld:%02ld:%02ld\n", secs / 3600, (secs / 60) % 60, secs % 60);
  }
  if (ctl.in) fclose(ctl.in);
  if (ctl.ref) fclose(ctl.ref);
  return rpt_finish_output(rc);
}
