// Shared by the two report programs, kavxref and kavretx: the buffering of
// standard output and the word boundaries of the analyser's summary lines.
#ifndef KAV_RPTTEXT_H
#define KAV_RPTTEXT_H

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kav.h"
#include "tova.h"

// A 64 KiB buffer on standard output, line-buffered when TOV_STDOUT_NOBUF is
// "y" or the output is not a regular file (someone may be watching it).
// stat_failed is the note (with errno) written to note_to when standard
// output cannot be examined; full buffering is used then.
inline void rpt_stdout_buffer(const char *stat_failed, FILE *note_to) {
  static char buf[64 * 1024];
  const char *env = getenv("TOV_STDOUT_NOBUF");
  int mode = _IOFBF;
  if (env && port_strcasecmp(env, "y") == 0) {
    mode = _IOLBF;
  } else {
    struct stat st;
    if (fstat(fileno(stdout), &st) != 0)
      fprintf(note_to, stat_failed, errno);
    else if (!S_ISREG(st.st_mode))
      mode = _IOLBF;
  }
  setvbuf(stdout, buf, mode, sizeof buf);
}

// The error of the first failed write on standard output, 0 while none.
inline int &rpt_lost_errno() {
  static int err = 0;
  return err;
}

// True once a write on standard output has failed (its reader has gone, the
// disk is full); keeps the errno of that write for the final message.
inline bool rpt_output_lost() {
  if (!ferror(stdout)) return false;
  if (!rpt_lost_errno()) rpt_lost_errno() = kav_output_gone(1) ? EPIPE : errno ? errno : EIO;
  return true;
}

// Flushes standard output at the end of a run. Lost output is never passed
// off as success: one message on standard error, and status 1.
inline int rpt_finish_output(int status) {
  errno = 0;
  bool lost = fflush(stdout) != 0 || rpt_output_lost();
  if (!lost) return status;
  int e = rpt_lost_errno() ? rpt_lost_errno() : kav_output_gone(1) ? EPIPE : (errno ? errno : EIO);
  fprintf(stderr, "Write failed on standard output - errno=%d [%s]\n", e, strerror(e));
  return 1;
}

inline bool rpt_blank(char c) { return c == ' ' || c == '\t'; }

inline const char *rpt_skip_blanks(const char *p) {
  while (rpt_blank(*p)) p++;
  return p;
}

// The end of an address or port word: a blank, or what the analyser may put
// right after it: its flags ('<', with or without a blank before it) or the
// separators that follow a port without flags.
inline const char *rpt_word_end(const char *p) {
  while (*p && !rpt_blank(*p) && *p != '<' && *p != ',' && *p != ';') p++;
  return p;
}

#endif
