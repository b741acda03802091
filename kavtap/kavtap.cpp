// kavtap: captures link-layer frames from one interface or all of them and
// writes them as a log on standard output; can also only count traffic,
// record traffic rates, or serve rates to a bandwidth monitor.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <rpc/xdr.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tapsupp.h"

namespace {

tap_dev sesdev;  // what the session header tells
tap_dev capdev;  // what the capture runs on
int help_wanted;
int have_F;
char optstr[64];
char mod_synopsis[128];

void stop_handler(int) { ctlblk.stop = 1; }

void print_usage() {
  const char *prog = tvl_prognam ? tvl_prognam : "kavtap";
  char syn[128];
  syn[0] = ' ';
  syn[1] = '\0';
  if (ctlblk.module.usage) {
    ctlblk.module.usage(1, syn + 1);
  } else {
    syn[0] = '\0';
  }
  std::printf("\n%s, %s\n", TAP_TITLE, TAP_VERSION);
  std::printf("USAGE:\n");
  std::printf("%s", prog);
  std::printf("%s [-%c] [-%c] [-%c | -%c len] [-%c filename[:freq]] \\\n", syn, 'v', 'p', 'c', 't', 'r');
  std::printf("\t[-%c|-%c filter]%s [shorthand filter-spec]\n", 'f', 'F', "");
  if (ctlblk.trcinfo) std::printf("%s -%c [-%c] [-%c]%s\n", prog, 'R', 'p', 'k', syn);
  std::printf("%s -%c\n", prog, 'h');
  std::printf("\n");
  if (ctlblk.module.usage) ctlblk.module.usage(2, nullptr);
  std::printf("  -%c: Verbose mode, issues progress messages on standard error.\n", 'v');
  std::printf("  -%c: Disable promiscuous mode (ie. only capture data to/from this host).\n", 'p');
  std::printf("  -%c: Count only, ie. measure traffic volumes, but don't log any packets.\n", 'c');
  std::printf("  -%c: Snapshot, ie. captured packets are truncated to this length. -%c0 means\n", 't', 't');
  std::printf("      no truncation. Default snapshot is %d bytes.\n", TAP_DEF_SNAPLEN);
  std::printf("  -%c: Record traffic rates in the specified file. The frequency is the sampling\n", 'r');
  std::printf("      interval, in seconds. Default is every second.\n");
  if (ctlblk.trcinfo) std::printf("  -%c: Server version of '-%c'\n", 'R', 'r');
  std::printf("  -%c: Specify a filter expression.\n", 'f');
  std::printf("  -%c: Specify a file containing a filter expression.\n", 'F');
  std::printf("  -%c: Display this usage synopsis.\n", 'h');
  std::printf("\n");
  if (ctlblk.trcinfo) {
    std::printf("$%s = y | n\n", "KAV_RAWLINK");
    std::printf("$%s = dlpi | socket | tli\n", "KAV_CAPDEV");
    if (ctlblk.module.usage) ctlblk.module.usage(3, nullptr);
  }
  std::fflush(stdout);
}

char *dup_text(const char *s) {
  size_t n = std::strlen(s) + 1;
  char *d = static_cast<char *>(std::malloc(n));
  if (d) std::memcpy(d, s, n);
  return d;
}

void strip_both(char *s) {
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) s[--n] = '\0';
  size_t i = 0;
  while (s[i] == ' ' || s[i] == '\t') i++;
  if (i) std::memmove(s, s + i, n - i + 1);
}

int set_filter_text(char *text) {
  std::free(ctlblk.filter_text);
  ctlblk.filter_text = text;
  return 0;
}

int do_cmdline_opt(_tvl_cmdlin_ctrl *ctrl, int is_switch, int c, const char *text) {
  if (!is_switch) {
    if (c != 1) {
      tvl_msglog("do_cmdline_opt: got illegal parameter %d=(%s)", c, text ? text : "");
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
      return 1;
    }
    if (ctlblk.filter_text) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
                    "Shortcut filter, '%s', can't be combined with standard filter switch", text);
      return 1;
    }
    char *expr = kav_filt_short(text);
    if (!expr) return 1;
    char *d = dup_text(expr);
    if (!d) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY (on %lu-byte filter)",
                    static_cast<unsigned long>(std::strlen(expr) + 1));
      return 1;
    }
    return set_filter_text(d);
  }
  switch (c) {
    case 'h':
      help_wanted = 1;
      ctrl->stop = 1;
      return 0;
    case 'v':
      ctlblk.verbose = 1;
      return 0;
    case 'p':
      ctlblk.promisc = 0;
      return 0;
    case 'c':
      ctlblk.count_only = 1;
      return 0;
    case 'R':
      ctlblk.server = 1;
      ctlblk.interval = 1;
      return 0;
    case 't': {
      if (!text || text[0] == '\0' || !isdecstr(text)) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - non-numeric argument", c,
                      text ? text : "");
        return 1;
      }
      long v = std::strtol(text, nullptr, 10);
      ctlblk.snaplen = v > INT_MAX ? INT_MAX : static_cast<int>(v);
      return 0;
    }
    case 'r': {
      char *copy = dup_text(text);
      if (!copy) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY");
        return 1;
      }
      char *colon = std::strrchr(copy, ':');
      int interval = 1;
      if (colon) {
        *colon = '\0';
        char *freq = colon + 1;
        strip_both(freq);
        long v = (freq[0] != '\0' && isdecstr(freq) && std::strlen(freq) <= 9) ? std::strtol(freq, nullptr, 10) : 0;
        if (v <= 0) {
          std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - frequency must be number >0", c,
                        text);
          std::free(copy);
          return 1;
        }
        interval = static_cast<int>(v);
      }
      strip_both(copy);
      std::free(ctlblk.rates_path);
      ctlblk.rates_path = copy;
      ctlblk.interval = interval;
      return 0;
    }
    case 'f':
    case 'F': {
      if ((c == 'f' && have_F) || (c == 'F' && ctlblk.filter_text)) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Can't combine the '-%c' and '-%c' switches", 'f', 'F');
        return 1;
      }
      char *t;
      if (c == 'f') {
        t = dup_text(text);
        if (!t) {
          std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY (on %lu-byte filter)",
                        static_cast<unsigned long>(std::strlen(text) + 1));
          return 1;
        }
      } else {
        have_F = 1;
        int size = 0;
        t = file2buf(-1, text, nullptr, -1, &size, 0, 1);
        if (!t) return 1;
      }
      return set_filter_text(t);
    }
    case 'k':
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c' - invalid workaround id (%s)", c,
                    text ? text : "");
      return 1;
    case 'i':
      std::free(ctlblk.ifname);
      ctlblk.ifname = nullptr;
      // "any" names every interface, as no -i does.
      if (std::strcmp(text, "any") == 0) return 0;
      if (std::strlen(text) > 31) {
        std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid switch: '-%c %s' - max name is %d chars", c, text, 32);
        return 1;
      }
      ctlblk.ifname = dup_text(text);
      return 0;
    default:
      break;
  }
  int handled = 1;
  if (ctlblk.module.eval_arg) {
    int rc = ctlblk.module.eval_arg(&ctlblk, c, text, &handled);
    if (handled) return rc;
  }
  tvl_msglog("do_cmdline_opt: got illegal switch=%d (%c)", c, c);
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "APPLICATION ERROR");
  return 1;
}

// Reads the monitor's request from the connection on standard input: the
// interface comes from the connection's local address, the filter from an
// XDR string.
int server_params() {
  // A dual-stack listener (systemd's default, inetd on "::") hands over an
  // IPv4 client as an IPv6 socket with a v4-mapped address: the same thing.
  struct sockaddr_storage local;
  socklen_t len = sizeof local;
  std::memset(&local, 0, sizeof local);
  unsigned int addr = 0;
  bool ok = getsockname(0, reinterpret_cast<struct sockaddr *>(&local), &len) == 0;
  if (ok && local.ss_family == AF_INET) {
    addr = reinterpret_cast<const struct sockaddr_in *>(&local)->sin_addr.s_addr;
  } else if (ok && local.ss_family == AF_INET6 &&
             IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const struct sockaddr_in6 *>(&local)->sin6_addr)) {
    std::memcpy(&addr, reinterpret_cast<const struct sockaddr_in6 *>(&local)->sin6_addr.s6_addr + 12, 4);
  } else {
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "getsockname() failed on stdin");
    return 1;
  }
  char name[IFNAMSIZ + 64];
  std::memset(name, 0, sizeof name);
  if (tinet_ipaddr_to_ifnam(&addr, name) != 0) return 1;
  name[sizeof name - 1] = '\0';
  ctlblk.ifname = dup_text(name);
  if (!ctlblk.ifname) {
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY (on %lu-byte interface-name)",
                  static_cast<unsigned long>(std::strlen(name) + 1));
    return 1;
  }
  XDR xdrs;
  xdrstdio_create(&xdrs, stdin, XDR_DECODE);
  char *text = nullptr;
  int rc = 0;
  if (!xdr_wrapstring(&xdrs, &text)) {
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "XDR-decode failed on filter-expression");
    rc = 1;
  } else if (text && text[0] != '\0') {
    ctlblk.filter_text = dup_text(text);
    if (!ctlblk.filter_text) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "OUT OF MEMORY (on %lu-byte filter)",
                    static_cast<unsigned long>(std::strlen(text) + 1));
      rc = 1;
    }
  }
  if (text) xdr_free(reinterpret_cast<xdrproc_t>(xdr_wrapstring), reinterpret_cast<char *>(&text));
  xdr_destroy(&xdrs);
  return rc;
}

[[noreturn]] void die(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void die(int status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::exit(status);
}

// The ifreq is zeroed first: the name stays terminated, cut to fit.
void set_ifname(struct ifreq *ifr, const char *name) {
  std::memset(ifr, 0, sizeof *ifr);
  std::memcpy(ifr->ifr_name, name, strnlen(name, IFNAMSIZ - 1));
}

// 0: usable; 1: skipped with the reason in `reason`. Fatal ioctl failures
// end the program.
int check_interface(int sock, const char *name, int scanning, char *reason, size_t rsize, uint32_t *addr) {
  struct ifreq ifr;
  set_ifname(&ifr, name);
  if (ioctl(sock, SIOCGIFADDR, &ifr) < 0) {
    int e = errno;
    die(1, "SIOCGIFADDR ioctl failed on interface %s, errno=%d [%s]", name, e, tap_errtxt(e));
  }
  if (ifr.ifr_addr.sa_family != AF_INET) {
    if (scanning)
      std::fprintf(stderr, "\tskipping non-IP interface %s (address family = %d)\n", name, ifr.ifr_addr.sa_family);
    std::snprintf(reason, rsize, "not an IP interface (address family = %d)", ifr.ifr_addr.sa_family);
    return 1;
  }
  *addr = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_addr)->sin_addr.s_addr;
  set_ifname(&ifr, name);
  if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) {
    int e = errno;
    die(1, "SIOCGIFFLAGS ioctl failed on interface %s, errno=%d [%s]", name, e, tap_errtxt(e));
  }
  if (scanning && !(ifr.ifr_flags & IFF_UP)) {
    std::fprintf(stderr, "\tskipping DOWN interface %s\n", name);
    std::snprintf(reason, rsize, "interface is not up");
    return 1;
  }
  if (!(ifr.ifr_flags & IFF_RUNNING)) {
    if (scanning) std::fprintf(stderr, "\tskipping non-RUNNING interface %s\n", name);
    std::snprintf(reason, rsize, "interface is not running");
    return 1;
  }
  return 0;
}

// The configured IPv4 mask of an interface, host order.
uint32_t interface_mask(int sock, const char *name) {
  struct ifreq ifr;
  set_ifname(&ifr, name);
  if (ioctl(sock, SIOCGIFNETMASK, &ifr) < 0) {
    int e = errno;
    die(1, "SIOCGIFNETMASK ioctl failed on interface %s, errno=%d [%s]", name, e, tap_errtxt(e));
  }
  return ntohl(reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_netmask)->sin_addr.s_addr);
}

// A named interface needs only to exist and be up: a mirror port, a bridge
// member or an IPv6-only link has no IPv4 address, and its session then
// records address and mask 0.
void choose_named(int sock) {
  const char *name = ctlblk.ifname;
  struct ifreq ifr;
  set_ifname(&ifr, name);
  if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) {
    int e = errno;
    if (e == ENODEV || e == ENXIO) {
      std::fprintf(stderr, "No such interface [%s]\n", name);
      die(1, "Use 'ifconfig -a' to list all interfaces");
    }
    die(1, "SIOCGIFFLAGS ioctl failed on interface %s, errno=%d [%s]", name, e, tap_errtxt(e));
  }
  if (!(ifr.ifr_flags & IFF_UP)) die(1, "Can't use interface %s [%s]", name, "interface is not up");
  std::snprintf(capdev.ifname, sizeof capdev.ifname, "%s", name);
  capdev.ipaddr = 0;
  capdev.netmask = 0;
  set_ifname(&ifr, name);
  if (ioctl(sock, SIOCGIFADDR, &ifr) == 0 && ifr.ifr_addr.sa_family == AF_INET) {
    capdev.ipaddr = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_addr)->sin_addr.s_addr;
    capdev.netmask = interface_mask(sock, name);
  } else if (errno != EADDRNOTAVAIL) {
    int e = errno;
    die(1, "SIOCGIFADDR ioctl failed on interface %s, errno=%d [%s]", name, e, tap_errtxt(e));
  }
  if (ctlblk.verbose) {
    if (capdev.ipaddr) {
      struct in_addr a;
      a.s_addr = capdev.ipaddr;
      std::fprintf(stderr, "Using interface %s (IP address = %s)\n", name, inet_ntoa(a));
    } else {
      std::fprintf(stderr, "Using interface %s (no IP address)\n", name);
    }
  }
}

void choose_interfaces() {
  struct ifconf ifc;
  std::memset(&ifc, 0, sizeof ifc);
  int sock = -1;
  int n = ctlblk.ifname ? 0 : sock_get_ipifs(&ifc, &sock);
  if (n == -2 && !ctlblk.ifname)
    die(1, "This platform can't list IP interfaces. You must specify which one you want");
  if (n < 0) die(1, "Failed to get IP interfaces [%s]", tvl_usrmsg);
  if (sock < 0) {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
      int e = errno;
      die(1, "socket() failed, errno=%d [%s]", e, tap_errtxt(e));
    }
  }
  struct ifreq *list = ifc.ifc_req;
  char reason[128];
  uint32_t addr = 0;
  if (ctlblk.ifname) {
    choose_named(sock);
  } else {
    int chosen = -1;
    uint32_t chosen_addr = 0;
    for (int i = 0; i < n; i++) {
      char name[IFNAMSIZ + 1];
      std::memcpy(name, list[i].ifr_name, IFNAMSIZ);
      name[IFNAMSIZ] = '\0';
      if (check_interface(sock, name, 1, reason, sizeof reason, &addr) == 0 && chosen < 0) {
        chosen = i;
        chosen_addr = addr;
      }
    }
    if (chosen < 0) die(1, "No suitable network interfaces found on system");
    std::memcpy(capdev.ifname, list[chosen].ifr_name, IFNAMSIZ);
    capdev.ifname[IFNAMSIZ] = '\0';
    capdev.ipaddr = chosen_addr;
    capdev.netmask = interface_mask(sock, capdev.ifname);
    if (ctlblk.module.single_if) {
      ctlblk.ifname = dup_text(capdev.ifname);
    } else {
      ctlblk.promisc = 0;
      if (ctlblk.verbose)
        std::fprintf(stderr, "Listening on all interfaces (subject to compatibility with %s)\n", capdev.ifname);
    }
  }
  close(sock);
  std::free(ifc.ifc_buf);
}

int do_kavtap(tap_dev *dev) {
  FILE *rf = nullptr;
  tap_rates st;
  std::memset(&st, 0, sizeof st);
  tap_rates *rs = nullptr;
  static char rbuf[8192];
  struct timeval now;
  if (ctlblk.rates_path) {
    rf = std::fopen(ctlblk.rates_path, "w");
    if (!rf) {
      int e = errno;
      std::fprintf(stderr, "Failed to open frequency file, '%s', errno=%d [%s]\n", ctlblk.rates_path, e,
                   tap_errtxt(e));
      return 1;
    }
    std::setvbuf(rf, rbuf, _IOLBF, sizeof rbuf);
    gettimeofday(&now, nullptr);
    std::fprintf(rf, "Velmora Frequency File, %s\n----------------------------\n", TAP_VERSION);
    std::fprintf(rf, "File opened at %s.%06lu by PID=%u (interval=%d)\n", asctimdat(now.tv_sec),
                 static_cast<unsigned long>(now.tv_usec), static_cast<unsigned>(getpid()), ctlblk.interval);
    std::fprintf(rf, "\nHostname: %s\n", ctlblk.hostname);
    if (sesdev.ifname[0]) {
      struct in_addr a;
      a.s_addr = sesdev.ipaddr;
      std::fprintf(rf, "Listening on interface %s [%s]\n", sesdev.ifname, inet_ntoa(a));
    } else {
      std::fprintf(rf, "Listening on all interfaces\n");
    }
    std::fprintf(rf, "Promiscuous mode is %s\n", ctlblk.promisc ? "on" : "off");
    std::fprintf(rf, "Raw Data-Link capture mode is %s\n", ctlblk.rawlink ? "on" : "off");
    if (ctlblk.filter_text)
      std::fprintf(rf, "\nPacket filter is:\n%s\n", ctlblk.filter_text);
    else
      std::fprintf(rf, "No packet filter in effect\n");
    std::fprintf(rf, "\nInterval-End%12sPackets/Sec%7sBytes/Sec%7sTotal Packets\n", "", "", "");
    std::fprintf(rf, "----------------------------------------------------------------------------\n");
    st.next = ((now.tv_sec + 1 + ctlblk.interval - 1) / ctlblk.interval) * ctlblk.interval;
    st.prev = st.next - ctlblk.interval;
    rs = &st;
  } else if (ctlblk.server) {
    rf = stdout;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    rs = &st;
  }
  ctlblk.module.loop(dev, rf, rs);
  if (ctlblk.verbose) std::fprintf(stderr, "\nTerminating.\n");
  // A fatal capture error has already closed the session with its own event;
  // an output that failed takes nothing more.
  if (!ctlblk.server && ctlblk.failed != 3 && ctlblk.failed != 2 && write_ctlevt(4, nullptr)) ctlblk.failed = 2;
  if (rs) {
    gettimeofday(&now, nullptr);
    if (st.count != 0) update_freqfile(rf, &st, now.tv_sec);
    if (!ctlblk.server) {
      std::fprintf(rf, "\nTerminating at %s.%06lu\n", asctimdat(now.tv_sec), static_cast<unsigned long>(now.tv_usec));
      std::fprintf(rf, "\tTotal Bytes: %lu\n", static_cast<unsigned long>(ctlblk.log.octets));
      std::fclose(rf);
    }
  }
  return ctlblk.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  // 1. Defaults.
  ctlblk.ksdu = TAP_DEF_KSDU;
  ctlblk.snaplen = -1;
  ctlblk.promisc = 1;
  ctlblk.rawlink = 1;
  ctlblk.interval = 1;
  capdev.fd = sesdev.fd = -1;

  // 2. Environment.
  const char *v;
  if ((v = std::getenv("KAV_TRCINFO"))) {
    if (port_strcasecmp(v, "y") == 0)
      ctlblk.trcinfo = 1;
    else if (port_strcasecmp(v, "n") == 0)
      ctlblk.trcinfo = 0;
    else
      die(99, "Illegal env var (%s=%s)", "KAV_TRCINFO", v);
  }
  if ((v = std::getenv("KAV_KSDU"))) {
    if (v[0] == '\0' || !isdecstr(v) || std::strlen(v) > 9) die(99, "Illegal env var (%s=%s)", "KAV_KSDU", v);
    ctlblk.ksdu = std::atoi(v);
    if (ctlblk.ksdu <= 0) die(99, "Illegal env var (%s=%s)", "KAV_KSDU", v);
  } else {
    long pages = sysconf(_SC_PHYS_PAGES);
    long psize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && psize > 0 && pages / 16 < ctlblk.ksdu / psize)
      ctlblk.ksdu = static_cast<int>((pages / 16) * psize);
  }
  if ((v = std::getenv("KAV_RAWLINK"))) {
    if (port_strcasecmp(v, "y") == 0)
      ctlblk.rawlink = 1;
    else if (port_strcasecmp(v, "n") == 0)
      ctlblk.rawlink = 0;
    else
      die(99, "Illegal env var (%s=%s)", "KAV_RAWLINK", v);
  }
  int mech = TAP_MECH_SOCK;
  if ((v = std::getenv("KAV_CAPDEV"))) {
    if (port_strcasecmp(v, "dlpi") == 0)
      mech = TAP_MECH_DLPI;
    else if (port_strcasecmp(v, "socket") == 0)
      mech = TAP_MECH_SOCK;
    else if (port_strcasecmp(v, "tli") == 0)
      mech = TAP_MECH_TLI;
    else
      die(99, "Illegal env var (%s=%s)", "KAV_CAPDEV", v);
  }

  // 3. Capture mechanism.
  ctlblk.capflags = static_cast<unsigned>(mech) << TAP_CAPF_MECHSHIFT;
  int rc = mech == TAP_MECH_SOCK ? init_sock(&ctlblk.module)
                                 : (mech == TAP_MECH_DLPI ? init_dlpi(&ctlblk.module) : init_tli(&ctlblk.module));
  if (rc) std::exit(99);
  if (ctlblk.trcinfo)
    std::fprintf(stderr, "Using %s as the capture mechanism\n",
                 mech == TAP_MECH_SOCK ? "Sockets" : (mech == TAP_MECH_DLPI ? "DLPI" : "TLI"));

  // 4. Command line.
  std::snprintf(optstr, sizeof optstr, "%c%c%c%c%c%c:%c:%c:%c:%c:", 'h', 'v', 'p', 'c', 'R', 't', 'r', 'f', 'F',
                'k');
  if (ctlblk.module.usage) ctlblk.module.usage(4, optstr);
  _tvl_cmdlin_ctrl cl{.opts = optstr, .callback = do_cmdline_opt, .user = &ctlblk, .max_params = 1};
  if (tvl_cmdlin(argc, argv, &cl) != 0) {
    std::fprintf(stderr, "Invalid command-line:\n\t%s\n", tvl_usrmsg);
    die(99, "Enter '%s -%c' for a usage synopsis", tvl_prognam, 'h');
  }
  if (help_wanted) {
    print_usage();
    std::exit(0);
  }
  (void)mod_synopsis;

  // 5.
  if (!ctlblk.verbose) ctlblk.trcinfo = 0;

  // 6. Traffic server.
  if (ctlblk.server) {
    if (ctlblk.ifname) die(99, "The '-%c' and interface-name options are exclusive", 'R');
    if (ctlblk.filter_text) die(99, "The '-%c' and filter options are exclusive", 'R');
    if (ctlblk.rates_path) die(99, "The '-%c' and '-%c' options are exclusive", 'R', 'r');
    if (ctlblk.snaplen != -1) die(99, "The '-%c' and '-%c' options are exclusive", 'R', 't');
    if (ctlblk.count_only) die(99, "The '-%c' and '-%c' options are exclusive", 'R', 'c');
    if (ctlblk.verbose) die(99, "The '-%c' and '-%c' options are exclusive", 'R', 'v');
    ctlblk.count_only = 1;
    ctlblk.interval = 1;
    if (server_params() != 0) {
      std::fprintf(stderr, "Invalid Traffic-Server params [%s]\n", tvl_usrmsg);
      tvl_msglog("%s", tvl_usrmsg);
      std::exit(99);
    }
  }

  // 7. Snapshot length.
  if (!ctlblk.count_only) {
    if (ctlblk.snaplen == -1)
      ctlblk.snaplen = TAP_DEF_SNAPLEN;
    else if (ctlblk.snaplen > ctlblk.ksdu)
      die(99, "Snapshot length (-%c) may not exceed KSDU - %d vs %d", 't', ctlblk.snaplen, ctlblk.ksdu);
  } else {
    if (ctlblk.snaplen != -1) die(99, "The '-%c' and '-%c' options are exclusive", 't', 'c');
    ctlblk.snaplen = ctlblk.filter_text ? 64 : 1;
  }

  // 8-10.
  if (ctlblk.verbose) std::fprintf(stderr, "%s, %s\n", TAP_TITLE, TAP_VERSION);
  if (geteuid() != 0) die(1, "Sorry, you must be root to run this program.");
  if (kav_refuse_terminal(1)) std::exit(1);

  // 11. Process initialisation and signals. SIGINT and SIGTERM stay blocked
  // except while the capture waits, so a stop request can never slip in
  // between the check of the flag and the wait.
  tvl_init_ctrl ic;
  std::memset(&ic, 0, sizeof ic);
  if (tvl_init(&ic) != 0) die(1, "Initialisation failed - %s", tvl_usrmsg);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = stop_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGALRM, SIG_IGN);
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &old);
  tap_waitmask = old;
  sigdelset(&tap_waitmask, SIGINT);
  sigdelset(&tap_waitmask, SIGTERM);

  // 12. Filter.
  if (ctlblk.filter_text) {
    tap_normalise_filter(ctlblk.filter_text);
    ctlblk.filter = kav_filt_parse(ctlblk.filter_text, nullptr);
    if (!ctlblk.filter) die(1, "Bad filter expression - %s", tvl_usrmsg);
  }

  // 13. Host name.
  char host[256];
  if (gethostname(host, sizeof host) != 0) {
    int e = errno;
    std::fprintf(stderr, "gethostname() failed, errno=%d [%s]\n", e, tap_errtxt(e));
    std::snprintf(host, sizeof host, "UNKNOWN");
  }
  host[sizeof host - 1] = '\0';
  const char *hn = host;
  if (std::strlen(hn) > 64) {
    const char *dot = std::strrchr(hn, '.');
    if (dot) hn = dot + 1;
  }
  std::snprintf(ctlblk.hostname, sizeof ctlblk.hostname, "%.64s", hn);

  // 14. Subnet table.
  tap_subnet *subnets = nullptr;
  int nsubnets = 0;
  if (tap_load_netmasks("/etc/netmasks", &subnets, &nsubnets) != 0) die(1, "%s", tvl_usrmsg);

  // 15. Interfaces.
  choose_interfaces();
  const int all_ifs = ctlblk.ifname == nullptr;

  // 16. Capture device.
  if (ctlblk.module.create(&capdev) != 0) {
    int e = errno;
    die(1, "Failed to open capture device (%s), errno=%d [%s]", tvl_usrmsg, e, tap_errtxt(e));
  }
  if (ctlblk.trcinfo) std::fprintf(stderr, "Opened capture device - %s\n", tvl_usrmsg);

  // 17. Netmask.
  if (capdev.ipaddr != 0 &&
      tap_netmask(ntohl(capdev.ipaddr), capdev.netmask, subnets, nsubnets, &capdev.netmask) != 0)
    die(1, "Failed to obtain subnet mask - [%s]", tvl_usrmsg);
  std::free(subnets);

  // 18-19.
  if (ctlblk.module.get_info && ctlblk.module.get_info(&capdev) != 0) std::exit(1);
  if (all_ifs) {
    std::memset(&sesdev, 0, sizeof sesdev);
    sesdev.fd = capdev.fd;
    sesdev.linktype = capdev.linktype;
  } else {
    if (ctlblk.module.setup && ctlblk.module.setup(&capdev) != 0) std::exit(1);
    sesdev = capdev;
  }

  // 20. Receive buffer for plain reads.
  if (!ctlblk.ring_mapped) {
    ctlblk.rxbuf = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(ctlblk.ksdu)));
    if (!ctlblk.rxbuf) die(1, "Not enough memory to allocate %uKB DL-SDU buffer", ctlblk.ksdu / 1024);
  }

  // 21-22. Capture flags and the log with its one session.
  if (ctlblk.rawlink) ctlblk.capflags |= TAP_CAPF_RAWLINK;
  if (ctlblk.promisc) ctlblk.capflags |= TAP_CAPF_PROMISC;
  std::memset(&ctlblk.log, 0, sizeof ctlblk.log);
  ctlblk.log.hdr.nsessions = 1;
  if (ctlblk.server)
    ctlblk.log.path = const_cast<char *>("/dev/null");
  else
    ctlblk.log.stream = stdout;
  if (kav_write_loghdr(&ctlblk.log, nullptr, 128 * 1024) != 0) die(1, "Logfile: %s", tvl_usrmsg);
  struct timeval start;
  gettimeofday(&start, nullptr);
  tap_fill_seshdr(&sesdev, start.tv_sec, ctlblk.filter_text, ctlblk.snaplen, ctlblk.capflags, ctlblk.hostname);
  if (kav_write_seshdr(&ctlblk.log, 0) != 0) die(1, "Logfile: %s", tvl_usrmsg);
  // A reader at the other end of a pipe sees the session at once, not with
  // the first frame.
  if (ctlblk.log.nobuf && kav_flush_logfile(&ctlblk.log) != 0) die(1, "Logfile: %s", tvl_usrmsg);

  // 23. Progress texts.
  if (ctlblk.verbose) {
    if (!all_ifs) {
      std::fprintf(stderr, "Data-Link Provider is %s\n", dlp_proto2nam(static_cast<int>(capdev.linktype)));
      std::fprintf(stderr, "Interface MTU is %ld bytes (kernel buffer is %dK)\n", capdev.mtu, ctlblk.ksdu / 1024);
    }
    if (ctlblk.trcinfo && ctlblk.module.verbose_prologue) ctlblk.module.verbose_prologue(&sesdev);
    if (!ctlblk.rawlink) std::fprintf(stderr, "Raw Data-Link capture disabled\n");
    if (!ctlblk.promisc) std::fprintf(stderr, "Not in promiscuous mode\n");
    std::fprintf(stderr, "Ready and waiting ...\n");
  }

  // 24. Capture.
  int status = do_kavtap(&capdev);

  // 25. Clean up.
  if (ctlblk.module.finish) ctlblk.module.finish();
  // What the stream still holds must reach the log too.
  if (ctlblk.failed != 2 && kav_flush_logfile(&ctlblk.log)) {
    std::fprintf(stderr, "Outfile: %s\n", tvl_usrmsg);
    status = 1;
  }
  kav_close_logfile(&ctlblk.log);
  if (ctlblk.filter) kav_filt_free(ctlblk.filter);
  std::free(ctlblk.filter_text);
  std::free(ctlblk.rates_path);
  std::free(ctlblk.ifname);
  std::free(ctlblk.rxbuf);
  return status;
}
