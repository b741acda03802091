// Trigger actions: a shell script built from each decoded packet's fields,
// written to an owner-only file, run and removed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pansvc.h"
#include "tova.h"

namespace {

// One piece of a trigger command: a %-field (its letter), or with field 0
// the literal text between two fields.
struct TrigItem {
  int field;
  std::string text;
};

std::vector<TrigItem> items;

const char *const kNA = "n/a";

bool shell_safe(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 && strchr(" .,:/-_+=@%^", c) != nullptr);
}

void put_text(std::string &out, const char *field, size_t size) {
  if (!kav_ctx_txtset(field)) {
    out += kNA;
    return;
  }
  out += trigger_safe(reinterpret_cast<const unsigned char *>(field), strnlen(field, size));
}

void put_num(std::string &out, uint32_t v, bool hex) {
  if (v == KAV_CTX_UNSET32) {
    out += kNA;
    return;
  }
  char buf[24];
  if (hex)
    snprintf(buf, sizeof buf, "%lX", (unsigned long)v);
  else
    snprintf(buf, sizeof buf, "%d", int(v));
  out += buf;
}

// Sequence numbers are 32-bit unsigned on the wire: printed unsigned, so the
// upper half of the space does not come out negative.
void put_seq(std::string &out, uint64_t v) {
  if (v == 0xFAFAFAFAFAFAFAFAull) {
    out += kNA;
    return;
  }
  char buf[24];
  snprintf(buf, sizeof buf, "%" PRIu64, v);
  out += buf;
}

void put_apptext(std::string &out, const kav_pktctx *ctx) {
  const void *fill;
  memset(&fill, 0xFA, sizeof fill);
  if (uint32_t(ctx->applen) == KAV_CTX_UNSET32 || ctx->applen < 0 || !ctx->apptext || ctx->apptext == fill) {
    out += kNA;
    return;
  }
  out += trigger_safe(ctx->apptext, size_t(ctx->applen));
}

void expand(std::string &out, int field, const kav_pktctx *ctx, const kav_trigevt *evt) {
  char buf[64];
  switch (field) {
    case '%': out += '%'; return;
    case 'A':
    case 'B': {
      if (!evt) {
        out += kNA;
        return;
      }
      time_t t = time_t(evt->sec);
      struct tm lt {};
      if (!localtime_r(&t, &lt)) lt = tm{};
      if (field == 'A')
        snprintf(buf, sizeof buf, "%02d/%02d/%04d", lt.tm_mday, lt.tm_mon + 1, lt.tm_year + 1900);
      else
        snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03lu", lt.tm_hour, lt.tm_min, lt.tm_sec,
                 (unsigned long)((evt->usec < 0 ? 0 : evt->usec) / 1000));
      out += buf;
      return;
    }
    case 'C':
      if (!evt) {
        out += kNA;
        return;
      }
      snprintf(buf, sizeof buf, "%" PRIu64, evt->packets);
      out += buf;
      return;
    case 'a': put_text(out, ctx->l2src, sizeof ctx->l2src); return;
    case 'b': put_text(out, ctx->l2dst, sizeof ctx->l2dst); return;
    case 'c': put_num(out, ctx->ethtype, true); return;
    case 'd': put_num(out, ctx->llckind, true); return;
    case 'e': put_num(out, ctx->llcssap, true); return;
    case 'f': put_num(out, ctx->llcdsap, true); return;
    case 'g': put_num(out, ctx->llcctl, true); return;
    case 'h': put_num(out, ctx->snapoui, true); return;
    case 'i': put_text(out, ctx->ipsrc, sizeof ctx->ipsrc); return;
    case 'j': put_text(out, ctx->ipdst, sizeof ctx->ipdst); return;
    case 'k': put_text(out, ctx->ipproto, sizeof ctx->ipproto); return;
    case 'l': put_num(out, ctx->ipid, true); return;
    case 'm': put_num(out, ctx->iplen, false); return;
    case 'n': put_num(out, ctx->icmptype, false); return;
    case 'o': put_num(out, ctx->icmpcode, false); return;
    case 'p': put_seq(out, ctx->tcpseq); return;
    case 'q': put_seq(out, ctx->tcpack); return;
    case 'r': put_text(out, ctx->tcpflags, sizeof ctx->tcpflags); return;
    case 's': put_text(out, ctx->srcport, sizeof ctx->srcport); return;
    case 't': put_text(out, ctx->dstport, sizeof ctx->dstport); return;
    case 'u': put_num(out, ctx->arpop, true); return;
    case 'v': put_text(out, ctx->arptpa, sizeof ctx->arptpa); return;
    case 'w': put_apptext(out, ctx); return;
    default:
      snprintf(buf, sizeof buf, "***INVALID SPEC=%c***", field);
      out += buf;
      return;
  }
}

// Creates the script exclusively (never through a name someone else put
// there, nor through a symbolic link) and writes it. 0, or 1 with the reason
// in tvl_usrmsg and errno kept.
int write_script(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to open temp pathname (%s)", path.c_str());
    return 1;
  }
  auto failed = [&](bool open) {
    int err = errno;
    if (open) close(fd);
    unlink(path.c_str());
    errno = err;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to write temp pathname (%s)", path.c_str());
    return 1;
  };
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failed(true);
    done += size_t(n);
  }
  if (close(fd) != 0) return failed(false);
  return 0;
}

// Runs "$SHELL path" without a second shell in between (so the directory
// name is never parsed) and with standard input from /dev/null (the log
// stream belongs to the analyser). The exit status, or -1.
int run_script(const char *shell, const std::string &path) {
  // The process ignores SIGCHLD (set up at start), which would have the
  // kernel reap the script before its status could be collected.
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGCHLD, &dfl, &old);
  struct Restore {
    struct sigaction *old;
    ~Restore() { sigaction(SIGCHLD, old, nullptr); }
  } restore{&old};
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // Ignored signals survive exec: the script gets the usual defaults.
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2}) signal(sig, SIG_DFL);
    int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0 && nul != 0) {
      dup2(nul, 0);
      close(nul);
    }
    execlp(shell, shell, path.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

const char *env_or(const char *name, const char *dflt) {
  const char *v = getenv(name);
  return v && *v ? v : dflt;
}

}  // namespace

std::string trigger_safe(const unsigned char *text, size_t n) {
  std::string s(n, '.');
  for (size_t i = 0; i < n; i++)
    if (shell_safe(text[i])) s[i] = char(text[i]);
  return s;
}

int parse_trigger(const char *text) {
  std::string lit;
  try {
    for (const char *p = text; *p; p++) {
      if (*p != '%') {
        lit += *p;
        continue;
      }
      if (!lit.empty()) {
        items.push_back(TrigItem{0, lit});
        lit.clear();
      }
      if (p[1] == '\0') break;  // a lone '%' at the end is dropped
      items.push_back(TrigItem{(unsigned char)p[1], std::string()});
      p++;
    }
    if (!lit.empty()) items.push_back(TrigItem{0, lit});
  } catch (const std::bad_alloc &) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY, on malloc(%ld) for trigger script", long(lit.size()));
    return 7;
  }
  return 0;
}

bool trigger_defined() { return !items.empty(); }

void trigger_free() {
  items.clear();
  items.shrink_to_fit();
}

std::string trigger_script(const kav_pktctx *ctx, const kav_trigevt *evt) {
  std::string out;
  for (const TrigItem &it : items) {
    if (it.field == 0)
      out += it.text;
    else
      expand(out, it.field, ctx, evt);
  }
  return out;
}

int run_trigger(const kav_pktctx *ctx, const kav_trigevt *evt) {
  char path[257];
  int n = snprintf(path, sizeof path, "%s/.kavtrig-%d", env_or("TMPDIR", env_or("HOME", "/tmp")), int(getpid()));
  int err = 0;
  int failed = 0;
  if (n < 0 || n >= int(sizeof path)) {
    err = ENAMETOOLONG;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to open temp pathname (%s)", path);
    failed = 1;
  } else if (write_script(path, trigger_script(ctx, evt))) {
    err = errno;
    failed = 1;
  } else {
    // What the analysis printed so far comes before what the script prints.
    fflush(kav_out());
    int st = run_script(env_or("SHELL", "sh"), path);
    if (st != 0) {
      err = st < 0 ? errno : 0;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Trigger script failed");
      failed = 1;
    }
    unlink(path);
  }
  if (failed) {
    fprintf(stderr, "Failed to run trigger action for packet %u/%lu - errno=%d [%s]\n", evt ? evt->ses : 0u,
            (unsigned long)(evt ? evt->ses_packets : 0), err, tvl_usrmsg);
  }
  return failed;
}
