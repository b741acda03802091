// kavmerge: merges log files into one log on standard output, events in
// time order, every input session renumbered into the output.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "kav.h"
#include "tova.h"

namespace {

const char OPT_HELP = 'h';
const char *const VERSION = VELMORA_VERSION;
const int OUTBUF = 64 * 1024, INBUF = 16 * 1024, DATABUF = 17000;
// The log header keeps the session count in a signed byte.
const int MAX_SESSIONS = 127;
// Inputs that are regular files are read from mapped windows, and their data
// goes to a regular-file output without being copied. Each input keeps up to
// two windows mapped and filled, so the windows shrink as inputs are added:
// all of them together stay within the budget.
const size_t MAP_WINDOW_MAX = 64 << 20, MAP_WINDOW_MIN = 1 << 20, MAP_BUDGET = 512 << 20;

size_t window_per_input(int ninputs) {
  size_t w = MAP_BUDGET / 2 / (size_t)(ninputs > 0 ? ninputs : 1);
  return w > MAP_WINDOW_MAX ? MAP_WINDOW_MAX : w < MAP_WINDOW_MIN ? MAP_WINDOW_MIN : w;
}

struct merge_input {
  kav_logfile log;
  unsigned char map[256];  // input session index -> output session index
  int nses;
  bool done;               // no event pending
  uint64_t nevents;        // events taken from this file
  bool mapped;             // read from its mapping
  uint64_t moves;          // window moves the output has caught up with
};

struct merge_ctl {
  merge_input *inputs;
  int ninputs;
};

merge_ctl *mapped_ctl;  // for the SIGBUS handler

void say(const char *text) {
  ssize_t r = write(2, text, strlen(text));
  (void)r;
}

// The pages of a mapped input that was cut short fault. Whatever the merge
// was doing, it cannot finish: name the input and stop.
void on_sigbus(int sig, siginfo_t *si, void *) {
  for (int i = 0; mapped_ctl && i < mapped_ctl->ninputs; i++) {
    const merge_input *in = &mapped_ctl->inputs[i];
    if (!in->mapped || !kav_map_holds(&in->log, si->si_addr)) continue;
    say(in->log.path);
    say(" event: Log file cut short or unreadable while being read\n");
    _exit(1);
  }
  signal(sig, SIG_DFL);  // not ours: fault again, as without the handler
}

// Data referred to in a mapped window must be written before the window it
// is in goes away, which is at the window's second move.
void catch_up(merge_input *in, kav_logfile *out) {
  if (!in->mapped || kav_map_moves(&in->log) == in->moves) return;
  kav_write_sync(out);
  in->moves = kav_map_moves(&in->log);
}

void usage() {
  printf("%s, %s\n\n", "Velmora: Logfile Merger", VERSION);
  printf("USAGE:\n");
  printf("%s logfile1 [logfile2 ...]\n", tvl_prognam);
  printf("%s -%c\n", tvl_prognam, OPT_HELP);
  printf("\n");
  printf("  -%c: Display this usage synopsis.\n", OPT_HELP);
  printf("\n");
  fflush(stdout);
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int pos, const char *text) {
  merge_ctl *ctl = (merge_ctl *)ctrl->user;
  if (is_switch && pos == OPT_HELP) {
    usage();
    exit(0);
  }
  if (!is_switch && pos >= 1 && pos <= ctrl->nparams) {
    if (pos == 1) {
      ctl->inputs = (merge_input *)calloc((size_t)ctrl->nparams, sizeof(merge_input));
      if (!ctl->inputs) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY on %d input logfiles", ctrl->nparams);
        return 1;
      }
      ctl->ninputs = ctrl->nparams;
    }
    if (ctl->inputs) {
      ctl->inputs[pos - 1].log.path = text;
      return 0;
    }
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", pos, pos);
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

// Whether a's pending event goes out before b's: time order and, on a tie,
// the file named first (the inputs lie in command-line order).
bool goes_first(const merge_input *a, const merge_input *b) {
  const kav_evthdr &x = a->log.evthdr, &y = b->log.evthdr;
  if (x.sec != y.sec) return x.sec < y.sec;
  if (x.usec != y.usec) return x.usec < y.usec;
  return a < b;
}
// The order of the heap below: the input whose event goes first on top.
bool goes_later(const merge_input *a, const merge_input *b) { return goes_first(b, a); }

// Reads the next event header of an input; end of file marks it done.
int next_header(merge_input *in) {
  int trunc = 0;
  if (kav_read_evt(&in->log, -1, nullptr, 0, KAV_RD_HDR, &trunc) == 0) return 0;
  if (in->log.eof) {
    in->done = true;
    return 0;
  }
  fprintf(stderr, "%s evthdr: %s\n", in->log.path, tvl_usrmsg);
  return 1;
}

// Writes out the pending events of the inputs in heap, in time order. Kept
// out of main, which the compiler builds for size as code run once.
__attribute__((noinline, hot)) int merge_events(merge_ctl *ctl, kav_logfile *out, unsigned char *data,
                                               merge_input **heap, int pending) {
  while (pending > 0) {
    // Taken off while its next header is read, put back in its new place.
    std::pop_heap(heap, heap + pending, goes_later);
    merge_input *pick = heap[pending - 1];

    int64_t caplen = pick->log.evthdr.caplen;
    int trunc = 0;
    pick->nevents++;
    const void *evdata = data;
    if (kav_read_evt_ref(&pick->log, -1, data, DATABUF, KAV_RD_DATA, &trunc, &evdata)) {
      const kav_evthdr &h = pick->log.evthdr;
      // A cut event of a closing type whose trailer could not be read is a
      // read failure, not a truncation.
      bool lost_trailer =
          (h.type == KAV_EVT_FATAL || h.type == KAV_EVT_END) && !pick->log.sessions[h.ses].closed;
      if (!trunc || lost_trailer) {
        fprintf(stderr, "%s event: %s\n", pick->log.path, tvl_usrmsg);
        return 1;
      }
      fprintf(stderr, "Warning: %s event #%lu truncated by %lu bytes\n", pick->log.path,
              (unsigned long)pick->nevents, (unsigned long)(caplen - DATABUF));
    }
    const kav_evthdr &eh = pick->log.evthdr;
    int oses = pick->map[eh.ses];
    kav_session *os = &out->sessions[oses];
    if (eh.type == KAV_EVT_FATAL || eh.type == KAV_EVT_END) os->trl = pick->log.sessions[eh.ses].trl;
    os->evthdr = eh;
    os->evthdr.ses = (unsigned char)oses;
    if (evdata == data ? kav_write_evt(out, oses, data, 0) : kav_write_evt_ref(out, oses, evdata)) {
      fprintf(stderr, "Outfile event: %s\n", tvl_usrmsg);
      return 1;
    }
    catch_up(pick, out);
    if (next_header(pick)) return 1;
    catch_up(pick, out);
    if (pick->done)
      pending--;
    else
      std::push_heap(heap, heap + pending, goes_later);
  }
  if (kav_flush_logfile(out)) {
    fprintf(stderr, "Outfile event: %s\n", tvl_usrmsg);
    return 1;
  }
  for (int i = 0; i < ctl->ninputs; i++) {
    merge_input *in = &ctl->inputs[i];
    if (in->mapped && kav_map_check(&in->log)) {
      fprintf(stderr, "%s event: %s\n", in->log.path, tvl_usrmsg);
      return 1;
    }
  }
  return 0;
}

int merge(merge_ctl *ctl, kav_logfile *out, unsigned char *data) {
  int total = 0;
  for (int i = 0; i < ctl->ninputs; i++) {
    merge_input *in = &ctl->inputs[i];
    tvl_usrmsg[0] = 0;
    if (kav_read_loghdr(&in->log, nullptr, INBUF)) {
      fprintf(stderr, "%s loghdr: %s\n", in->log.path, tvl_usrmsg);
      return 1;
    }
    if (tvl_usrmsg[0]) fprintf(stderr, "%s loghdr: %s\n", in->log.path, tvl_usrmsg);
    in->nses = in->log.hdr.nsessions > 0 ? in->log.hdr.nsessions : 0;
    for (int j = 0; j < in->nses; j++) {
      if (kav_read_seshdr(&in->log, j)) {
        fprintf(stderr, "%s seshdr %d/%d: %s\n", in->log.path, j, in->nses, tvl_usrmsg);
        return 1;
      }
      in->map[j] = (unsigned char)(total < 256 ? total : 255);
      total++;
    }
    in->mapped = kav_map_input(&in->log, window_per_input(ctl->ninputs)) == 1;
  }
  if (total > MAX_SESSIONS) {
    fprintf(stderr, "Too many input sessions: %d vs max=%d (%d file)\n", total, MAX_SESSIONS, ctl->ninputs);
    return 1;
  }

  out->hdr.nsessions = (signed char)total;
  out->stream = stdout;
  if (total > 0) {
    out->sessions = (kav_session *)calloc((size_t)total, sizeof(kav_session));
    if (!out->sessions) {
      fprintf(stderr, "Outfile loghdr: OUT OF MEMORY on %lu-byte sessions array\n",
              (unsigned long)(total * sizeof(kav_session)));
      return 1;
    }
  }
  if (kav_write_loghdr(out, nullptr, OUTBUF)) {
    fprintf(stderr, "Outfile loghdr: %s\n", tvl_usrmsg);
    return 1;
  }
  for (int i = 0; i < ctl->ninputs; i++) {
    merge_input *in = &ctl->inputs[i];
    for (int j = 0; j < in->nses; j++) {
      kav_session *os = &out->sessions[in->map[j]];
      os->hdr = in->log.sessions[j].hdr;
      os->filter = in->log.sessions[j].filter;
      if (kav_write_seshdr(out, in->map[j])) {
        fprintf(stderr, "Outfile seshdr %d: %s\n", in->map[j], tvl_usrmsg);
        return 1;
      }
    }
    if (next_header(in)) return 1;
  }
  kav_gather_output(out);

  // The inputs with an event pending, in a heap with the next to go out on
  // top: a merge of many files costs a few comparisons an event, not one per
  // file.
  merge_input **heap = (merge_input **)calloc((size_t)ctl->ninputs, sizeof *heap);
  if (!heap) {
    fprintf(stderr, "OUT OF MEMORY on %d input logfiles\n", ctl->ninputs);
    return 1;
  }
  int pending = 0;
  for (int i = 0; i < ctl->ninputs; i++)
    if (!ctl->inputs[i].done) heap[pending++] = &ctl->inputs[i];
  std::make_heap(heap, heap + pending, goes_later);
  int rc = merge_events(ctl, out, data, heap, pending);
  free(heap);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  merge_ctl ctl{};
  _tvl_cmdlin_ctrl cl{};
  char opts[4];
  snprintf(opts, sizeof opts, "%c", OPT_HELP);
  cl.opts = opts;
  cl.mandatory = "";
  cl.callback = do_cmdline_opt;
  cl.user = &ctl;
  cl.min_params = 1;
  cl.max_params = -1;
  if (tvl_cmdlin(argc, argv, &cl)) {
    fprintf(stderr, "Invalid command-line:\n[%s]\n", tvl_usrmsg);
    fprintf(stderr, "Enter '%s -%c' for a usage synopsis\n", tvl_prognam, OPT_HELP);
    free(ctl.inputs);
    return 99;
  }
  if (kav_refuse_terminal(1)) {
    free(ctl.inputs);
    return 1;
  }
  tvl_init_ctrl ic{};
  if (tvl_init(&ic)) {
    fprintf(stderr, "Initialisation failed - %s\n", tvl_usrmsg);
    free(ctl.inputs);
    return 1;
  }

  mapped_ctl = &ctl;
  struct sigaction bus{};
  bus.sa_sigaction = on_sigbus;
  bus.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &bus, nullptr);

  kav_logfile out;
  memset(&out, 0, sizeof out);
  static unsigned char data[DATABUF];
  int rc = merge(&ctl, &out, data);

  kav_session *osessions = out.sessions;
  out.sessions = nullptr;  // ours: the output's filter texts belong to the inputs
  out.hdr.nsessions = 0;
  kav_close_logfile(&out);
  free(osessions);
  for (int i = 0; i < ctl.ninputs; i++) kav_close_logfile(&ctl.inputs[i].log);
  free(ctl.inputs);
  return rc;
}
