// kav_import: converts a snoop, pcap, raw IP or raw Ethernet capture read
// from standard input into a one-session log on standard output.
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
  printf("      %s, %s, %s, %s\n", kav_logdesc[IMP_SNOOP], kav_logdesc[IMP_TCPDUMP], kav_logdesc[IMP_IP],
         kav_logdesc[IMP_ETHER]);
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
  static char inbuf[BUFSZ];
  setvbuf(stdin, inbuf, _IOFBF, sizeof inbuf);

  imp_ctl ctl{};
  _tvl_cmdlin_ctrl cl{};
  char opts[16];
  snprintf(opts, sizeof opts, "%c%c:%c:%c:", OPT_HELP, OPT_TYPE, OPT_FIRST, OPT_GAP);
  char mand[2] = {OPT_TYPE, 0};
  cl.opts = opts;
  cl.mandatory = mand;
  cl.callback = do_cmdline_opt;
  cl.user = &ctl;
  cl.min_params = 0;
  cl.max_params = 0;
  if (tvl_cmdlin(argc, argv, &cl)) {
    fprintf(stderr, "Invalid command-line:\n[%s]\n", tvl_usrmsg);
    fprintf(stderr, "Enter '%s -%c' for a usage synopsis.\n", tvl_prognam, OPT_HELP);
    return 99;
  }
  if ((ctl.type == IMP_SNOOP || ctl.type == IMP_TCPDUMP) && (ctl.first_given || ctl.gap_given)) {
    fprintf(stderr, "The '-%c' and '-%c' options are incompatible with this logfile type.\n", OPT_FIRST, OPT_GAP);
    fprintf(stderr, "Its format is fixed.\n");
    return 99;
  }
  tvl_init_ctrl ic{};
  if (tvl_init(&ic)) {
    fprintf(stderr, "initialisation failed [%s]\n", tvl_usrmsg);
    return 1;
  }

  static imp_reader rd;
  rd.in = stdin;
  rd.msgs = stderr;
  rd.type = ctl.type;
  rd.first_off = ctl.first_off;
  rd.gap = ctl.gap;
  if (imp_open(&rd)) {
    // Nothing has been written: a trailer without a log header would only
    // make a corrupt file.
    fprintf(stderr, "Failed to parse file header [%s]\n", tvl_usrmsg);
    return 1;
  }

  kav_session ses[1];
  memset(ses, 0, sizeof ses);
  kav_logfile out;
  memset(&out, 0, sizeof out);
  out.hdr.nsessions = 1;
  out.sessions = ses;
  out.stream = stdout;
  kav_seshdr &sh = ses[0].hdr;
  snprintf(sh.ifname, sizeof sh.ifname, "%s", kav_logdesc[ctl.type]);
  sh.linktype = rd.dlpi;
  sh.capflags = rd.rawdl ? KAV_CAP_RAW : 0;
  sh.snaplen = rd.snaplen;
  sh.start = time(nullptr);
  if (kav_write_loghdr(&out, nullptr, BUFSZ) || kav_write_seshdr(&out, 0)) {
    fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    kav_close_logfile(&out);
    return 1;
  }

  int64_t first_sec = 0, last_sec = 0, last_usec = 0;
  uint64_t written = 0;
  for (;;) {
    int rc = imp_next(&rd);
    if (rc < 0) break;
    if (rc > 0) {
      fprintf(stderr, "Failed to parse packet no. %lu [%s]\n", (unsigned long)written, tvl_usrmsg);
      fprintf(stderr, "%s - %lu packet%s imported\n", "Error", (unsigned long)written, plural(written));
      kav_close_logfile(&out);
      return 255;
    }
    kav_evthdr &eh = ses[0].evthdr;
    memset(&eh, 0, sizeof eh);
    eh.ses = 0;
    eh.type = KAV_EVT_FRAME;
    eh.sec = rd.sec;
    eh.usec = rd.usec;
    eh.caplen = rd.caplen;
    eh.wirelen = rd.wirelen;
    if (kav_write_evt(&out, 0, rd.frame, 0)) fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    if (written == 0) first_sec = rd.sec;
    last_sec = rd.sec;
    last_usec = rd.usec;
    written++;
  }

  fprintf(stderr, "%s - %lu packet%s imported\n", "Done", (unsigned long)written, plural(written));
  kav_evthdr &eh = ses[0].evthdr;
  memset(&eh, 0, sizeof eh);
  eh.ses = 0;
  eh.type = KAV_EVT_END;
  eh.sec = last_sec;
  eh.usec = last_usec;
  ses[0].trl.duration = last_sec - first_sec;
  ses[0].trl.rejected = (int64_t)rd.rej_frames;
  ses[0].trl.rej_octets = (int64_t)rd.rej_octets;
  int failed = kav_write_evt(&out, 0, nullptr, 0);
  // A write error hidden in the stdio buffer must not pass for success.
  if (!failed && fflush(out.stream) != 0) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Flush failed on output - errno=%d [%s]", err, imp_errtxt(err));
    failed = 1;
  }
  if (failed) {
    fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    fprintf(stderr, "Failed to generate Velmora trailer [%s]\n", tvl_usrmsg);
    kav_close_logfile(&out);
    return 1;
  }
  kav_close_logfile(&out);
  return 0;
}
