// kav_import: converts a snoop, pcap, pcapng, raw IP or raw Ethernet capture
// read from standard input into a log on standard output: one session, or
// one per interface of a pcapng capture.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "impfmt.h"
#include "kav.h"
#include "tova.h"

namespace {

const char OPT_HELP = 'h', OPT_TYPE = 'x', OPT_FIRST = 'o', OPT_GAP = 'p';
const char *const VERSION = VELMORA_VERSION;
const int BUFSZ = 64 * 1024;
const char *const PCAPNG = "pcapng";

struct imp_ctl {
  int type;
  bool first_given, gap_given;
  uint64_t first_off, gap;
};

void usage() {
  printf("Velmora Import Utility, %s\n\n", VERSION);
  printf("USAGE:\n");
  printf("%s -%c logtype [-%c offset] [-%c offset]\n", tvl_prognam, OPT_TYPE, OPT_FIRST, OPT_GAP);
  printf("%s -%c\n", tvl_prognam, OPT_HELP);
  printf("\n");
  printf("  -%c: Type of log file to import. Valid types are:\n", OPT_TYPE);
  printf("      %s, %s, %s, %s, %s\n", kav_logdesc[IMP_SNOOP], kav_logdesc[IMP_TCPDUMP], kav_logdesc[IMP_IP],
         kav_logdesc[IMP_ETHER], PCAPNG);
  printf("  -%c: Offset of 1st packet from start of file.\n", OPT_FIRST);
  printf("  -%c: Offset of subsequent packets from previous one.\n", OPT_GAP);
  printf("  -%c: Display this usage synopsis.\n", OPT_HELP);
  printf("\n");
  fflush(stdout);
}

int parse_offset(int letter, const char *text, uint64_t *out) {
  errno = 0;
  unsigned long long v = 0;
  if (text && *text && isdecstr(text)) v = strtoull(text, nullptr, 10);
  if (!text || !*text || !isdecstr(text) || errno == ERANGE) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - non-numeric argument", letter,
             text ? text : "");
    return 1;
  }
  *out = v;
  return 0;
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int letter, const char *text) {
  imp_ctl *ctl = (imp_ctl *)ctrl->user;
  if (is_switch) {
    switch (letter) {
      case OPT_HELP:
        usage();
        exit(0);
      case OPT_TYPE:
        for (int t = IMP_SNOOP; t <= IMP_ETHER; t++)
          if (port_strcasecmp(text, kav_logdesc[t]) == 0) {
            ctl->type = t;
            return 0;
          }
        if (port_strcasecmp(text, PCAPNG) == 0) {
          ctl->type = IMP_PCAPNG;
          return 0;
        }
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid '-%c' value: '%s'", letter, text);
        return 1;
      case OPT_FIRST:
        ctl->first_given = true;
        return parse_offset(letter, text, &ctl->first_off);
      case OPT_GAP:
        ctl->gap_given = true;
        return parse_offset(letter, text, &ctl->gap);
    }
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", letter, letter);
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

const char *plural(uint64_t n) { return n == 1 ? "" : "s"; }

}  // namespace

int main(int argc, char **argv) {

  imp_ctl ctl{};
  char opts[16];
  snprintf(opts, sizeof opts, "%c%c:%c:%c:", OPT_HELP, OPT_TYPE, OPT_FIRST, OPT_GAP);
  char mand[2] = {OPT_TYPE, 0};
  _tvl_cmdlin_ctrl cl{.opts = opts, .mandatory = mand, .callback = do_cmdline_opt, .user = &ctl};
  if (tvl_cmdlin(argc, argv, &cl)) {
    tvl_cmdlin_refused(OPT_HELP, ".");
    return 99;
  }
  bool fixed = ctl.type == IMP_SNOOP || ctl.type == IMP_TCPDUMP || ctl.type == IMP_PCAPNG;
  if (fixed && (ctl.first_given || ctl.gap_given)) {
    fprintf(stderr, "The '-%c' and '-%c' options are incompatible with this logfile type.\n", OPT_FIRST, OPT_GAP);
    fprintf(stderr, "Its format is fixed.\n");
    return 99;
  }
  if (kav_refuse_terminal(1)) return 1;
  tvl_init_ctrl ic{};
  if (tvl_init(&ic)) {
    fprintf(stderr, "initialisation failed [%s]\n", tvl_usrmsg);
    return 1;
  }

  // Input that stops waiting once nobody reads the output.
  static char inbuf[BUFSZ];
  FILE *in = kav_watched_input(0, 1);
  if (!in) {
    fprintf(stderr, "initialisation failed [%s]\n", tvl_usrmsg);
    return 1;
  }
  setvbuf(in, inbuf, _IOFBF, sizeof inbuf);
  static imp_reader rd;
  rd.in = in;
  rd.msgs = stderr;
  rd.type = ctl.type;
  rd.first_off = ctl.first_off;
  rd.gap = ctl.gap;
  if (imp_open(&rd)) {
    // Nothing has been written: a trailer without a log header would only
    // make a corrupt file.
    if (kav_output_gone(1))
      fprintf(stderr, "Outfile: Output closed by its reader - errno=%d [%s]\n", EPIPE, imp_errtxt(EPIPE));
    else
      fprintf(stderr, "Failed to parse file header [%s]\n", tvl_usrmsg);
    imp_close(&rd);
    fclose(in);
    return 1;
  }

  // One session per interface; those of a pcapng capture are named after
  // their interface where the name fits, the others after the source.
  int nses = rd.nifs;
  static kav_session ses[IMP_MAXIFS];
  static int64_t first_sec[IMP_MAXIFS], last_sec[IMP_MAXIFS];
  static uint64_t frames[IMP_MAXIFS];
  kav_logfile out;
  memset(&out, 0, sizeof out);
  out.hdr.nsessions = (signed char)nses;
  out.sessions = ses;
  out.stream = stdout;
  // Output lost: one message, no trailer, status 1.
  auto lost = [&]() {
    fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    kav_close_logfile(&out);
    imp_close(&rd);
    fclose(in);
    return 1;
  };
  const char *source = kav_logdesc[ctl.type == IMP_PCAPNG ? IMP_TCPDUMP : ctl.type];
  time_t now = time(nullptr);
  if (kav_write_loghdr(&out, nullptr, BUFSZ)) return lost();
  for (int i = 0; i < nses; i++) {
    const imp_iface &f = rd.ifs[i];
    kav_seshdr &sh = ses[i].hdr;
    snprintf(sh.ifname, sizeof sh.ifname, "%s", f.name[0] ? f.name : source);
    sh.linktype = f.link.dlpi;
    sh.capflags = f.link.rawdl ? KAV_CAP_RAW : 0;
    sh.snaplen = f.link.snaplen;
    sh.start = now;
    if (kav_write_seshdr(&out, i)) return lost();
  }

  int64_t end_sec = 0, end_usec = 0;
  uint64_t written = 0;
  for (;;) {
    int rc = imp_next(&rd);
    if (rc < 0) break;
    if (rc > 0 && kav_output_gone(1)) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Output closed by its reader - errno=%d [%s]", EPIPE,
               imp_errtxt(EPIPE));
      return lost();
    }
    if (rc > 0) {
      fprintf(stderr, "Failed to parse packet no. %lu [%s]\n", (unsigned long)written, tvl_usrmsg);
      fprintf(stderr, "%s - %lu packet%s imported\n", "Error", (unsigned long)written, plural(written));
      kav_close_logfile(&out);
      imp_close(&rd);
      fclose(in);
      return 255;
    }
    int s = rd.ifx;
    kav_evthdr &eh = ses[s].evthdr;
    memset(&eh, 0, sizeof eh);
    eh.ses = (unsigned char)s;
    eh.type = KAV_EVT_FRAME;
    eh.sec = rd.sec;
    eh.usec = rd.usec;
    eh.caplen = rd.caplen;
    eh.wirelen = rd.wirelen;
    if (kav_write_evt(&out, s, rd.frame, 0)) return lost();
    if (frames[s]++ == 0) first_sec[s] = rd.sec;
    last_sec[s] = rd.sec;
    end_sec = rd.sec;
    end_usec = rd.usec;
    written++;
  }
  imp_close(&rd);
  fclose(in);

  // Every session ends at the last frame's time stamp, so the closing
  // events keep the log in time order.
  for (int i = 0; i < nses; i++) {
    kav_evthdr &eh = ses[i].evthdr;
    memset(&eh, 0, sizeof eh);
    eh.ses = (unsigned char)i;
    eh.type = KAV_EVT_END;
    eh.sec = end_sec;
    eh.usec = end_usec;
    ses[i].trl.duration = last_sec[i] - first_sec[i];
    ses[i].trl.rejected = (int64_t)rd.ifs[i].rej_frames;
    ses[i].trl.rej_octets = (int64_t)rd.ifs[i].rej_octets;
    if (kav_write_evt(&out, i, nullptr, 0)) {
      fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
      kav_close_logfile(&out);
      return 1;
    }
  }
  // A write error hidden in the stdio buffer must not pass for success, and
  // the count is told only once the log is out.
  if (kav_flush_logfile(&out)) {
    fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    kav_close_logfile(&out);
    return 1;
  }
  fprintf(stderr, "%s - %lu packet%s imported\n", "Done", (unsigned long)written, plural(written));
  kav_close_logfile(&out);
  return 0;
}
