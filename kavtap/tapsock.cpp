// Packet-socket capture module: socket class, kernel receive ring, binding,
// promiscuous membership and the two capture loops.
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tapsupp.h"

namespace {

// Copies an interface name into a fixed field, terminated, cut to fit.
void put_name(char *dst, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

struct devblk_t {
  int kind;  // 1 packet, 2 old packet, 3 other family
  int family, type, proto;
  char desc[129];
  int kbuf;
  int kbuf_off;  // KAV_KBUF=n: never use the ring
  int ifindex;
  int orig_flags, cur_flags;
  int lo_index;
  unsigned char *map;
  size_t map_len;
  int frames;
  int frame_size;
  char ifname[33];
  int fd;
  int promisc_on;
};

devblk_t devblk = {1, AF_PACKET, SOCK_RAW, 0, "", 1, 0, -1, 0, 0, -1, nullptr, 0, 0, 0, "", -1, 0};
tap_module *modtab;

void taploop(tap_dev *dev, FILE *rates_file, tap_rates *rates_state);
void taploop_file(tap_dev *dev, FILE *rates_file, tap_rates *rates_state);

int parse_proto(const char *text, int *proto) {
  if (port_strcasecmp(text, "ip") == 0) {
    *proto = 255;
  } else if (port_strcasecmp(text, "all") == 0) {
    *proto = ETH_P_ALL;
  } else if (text[0] != '\0' && isdecstr(text) && std::strlen(text) <= 9) {
    *proto = std::atoi(text);
  } else {
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid socket protocol (%s)", text);
    return 1;
  }
  return 0;
}

// Chooses the socket family, type and protocol. A null family re-selects the
// packet family (the -b switch).
int set_sockclass(const char *family_text, const char *proto_text) {
  devblk_t d = devblk;
  const char *fam = family_text ? family_text : "packet";
  const char *deflt = "all";
  if (port_strcasecmp(fam, "packet") == 0) {
    d.kind = 1;
    d.family = AF_PACKET;
    d.type = ctlblk.rawlink ? SOCK_RAW : SOCK_DGRAM;
  } else if (port_strcasecmp(fam, "oldpacket") == 0) {
    d.kind = 2;
    d.family = AF_INET;
    d.type = SOCK_PACKET;
    ctlblk.rawlink = 1;
  } else if (port_strcasecmp(fam, "inet") == 0) {
    d.kind = 3;
    d.family = AF_INET;
    d.type = SOCK_RAW;
    deflt = "ip";
  } else if (fam[0] != '\0' && isdecstr(fam) && std::strlen(fam) <= 4) {
    d.kind = 3;
    d.family = std::atoi(fam);
    d.type = ctlblk.rawlink ? SOCK_RAW : SOCK_DGRAM;
  } else {
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid socket family (%s)", fam);
    return 1;
  }
  const char *pt = (proto_text && proto_text[0]) ? proto_text : deflt;
  int proto;
  if (parse_proto(pt, &proto)) return 1;
  if (d.kind == 3) {
    d.proto = proto;
  } else {
    if (proto > 0xFFFF) {
      std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid socket protocol (%s)", pt);
      return 1;
    }
    d.proto = htons(static_cast<uint16_t>(proto));
  }
  d.kbuf = (d.kind == 1 && !d.kbuf_off) ? 1 : 0;
  std::snprintf(d.desc, sizeof d.desc, "family=%s, proto=%s (%d.%d.%d)", fam, pt, d.family, d.type, proto);
  devblk = d;
  return 0;
}

void usage(int kind, char *buffer) {
  switch (kind) {
    case 1:
      std::sprintf(buffer, "[-%c interface] [-%c proto]", 'i', 'b');
      break;
    case 2:
      std::printf("  -%c: Interface name. Default is all interfaces.\n", 'i');
      std::printf("  -%c: Protocol to bind to within selected address family (%d)\n", 'b', devblk.family);
      break;
    case 3:
      std::printf("$%s = family[.protocol]\n", "KAV_CAPSOCK");
      std::printf("- family: %s%sINET or AF_ values in sys/socket.h\n", "PACKET, ", "OLDPACKET, ");
      std::printf("- protocol: same values as -%c option\n", 'b');
      break;
    case 4:
      std::sprintf(buffer + std::strlen(buffer), "%c:%c:", 'i', 'b');
      break;
    default:
      break;
  }
}

int eval_arg(tap_ctlblk *, int letter, const char *value, int *handled) {
  if (letter != 'b') {
    *handled = 0;
    return 0;
  }
  *handled = 1;
  return set_sockclass(nullptr, value);
}

int ifreq_ioctl(int fd, unsigned long req, const char *name, struct ifreq *ifr, const char *what) {
  std::memset(ifr, 0, sizeof *ifr);
  put_name(ifr->ifr_name, IFNAMSIZ, name);
  if (ioctl(fd, req, ifr) < 0) {
    int e = errno;
    std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s ioctl failed on interface %s, errno=%d [%s]", what, name, e,
                  tap_errtxt(e));
    return 1;
  }
  return 0;
}

int create_sock(tap_dev *dev) {
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Sockets: %s", devblk.desc);
  int fd = socket(devblk.family, devblk.type, devblk.proto);
  if (fd < 0) return 1;
  dev->fd = fd;
  devblk.fd = fd;
  struct ifreq ifr;
  if (devblk.kind == 1) {
    if (ifreq_ioctl(fd, SIOCGIFINDEX, "lo", &ifr, "SIOCGIFINDEX")) {
      std::fprintf(stderr, "%s\n", tvl_usrmsg);
      devblk.lo_index = -1;
    } else {
      devblk.lo_index = ifr.ifr_ifindex;
    }
  }
  if (!devblk.kbuf) return 0;
  ctlblk.ring_mapped = 1;

  const int P = static_cast<int>(sysconf(_SC_PAGESIZE));
  const int M = 2 * std::max(8192, 2 * P);
  int E = P * 1024;
  tap_ring_geom g;
  const int ksdu0 = ctlblk.ksdu;
  for (;;) {
    tap_ring_geometry(ctlblk.snaplen, dev->mtu, ctlblk.ksdu, P, E, &g);
    struct tpacket_req req;
    req.tp_block_size = static_cast<unsigned>(g.block_size);
    req.tp_block_nr = static_cast<unsigned>(g.block_nr);
    req.tp_frame_size = static_cast<unsigned>(g.frame_size);
    req.tp_frame_nr = static_cast<unsigned>(g.frame_nr);
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) == 0) break;
    int e = errno;
    if (e != ENOMEM) {
      std::fprintf(stderr,
                   "setsockopt(PACKET_RX_RING) failed, errno=%d [%s] - %d x %d blocks, %d x %d frames, MTU=%ld, "
                   "KSDU=%d\n",
                   e, tap_errtxt(e), g.block_nr, g.block_size, g.frame_nr, g.frame_size, dev->mtu, ctlblk.ksdu);
      errno = e;
      return 1;
    }
    if (E >= M) {
      E /= 2;
    } else {
      ctlblk.ksdu /= 2;
      if (ctlblk.snaplen >= ctlblk.ksdu) {
        std::fprintf(stderr, "\nCan't allocate memory for kernel ring buffer.\n");
        std::fprintf(stderr, "Reduce snapshot length (-%c option) or disable kernel buffering ($%s=N).\n\n", 't',
                     "KAV_KBUF");
        errno = ENOMEM;
        return 1;
      }
    }
  }
  ctlblk.ksdu = g.frame_nr * g.frame_size;
  if (ctlblk.ksdu != ksdu0 && ctlblk.verbose)
    std::fprintf(stderr, "KSDU %s from %d to %d\n", ctlblk.ksdu > ksdu0 ? "increased" : "decreased", ksdu0,
                 ctlblk.ksdu);
  size_t len = static_cast<size_t>(g.block_nr) * static_cast<size_t>(g.block_size);
  void *m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) {
    int e = errno;
    std::fprintf(stderr, "mmap(%dK) failed on socket=%d, errno=%d [%s]\n", ctlblk.ksdu / 1024, fd, e,
                 tap_errtxt(e));
    errno = e;
    return 1;
  }
  if (ctlblk.trcinfo)
    std::fprintf(stderr, "Mapped %d-packet kernel buffer (%d x %d blocks, %d KB)\n", g.frame_nr, g.block_nr,
                 g.block_size, ctlblk.ksdu / 1024);
  devblk.map = static_cast<unsigned char *>(m);
  devblk.map_len = len;
  devblk.frames = g.frame_nr;
  devblk.frame_size = g.frame_size;
  modtab->loop = taploop;
  return 0;
}

int get_info(tap_dev *dev) {
  struct ifreq ifr;
  if (ifreq_ioctl(dev->fd, SIOCGIFINDEX, dev->ifname, &ifr, "SIOCGIFINDEX")) {
    devblk.ifindex = -1;
    std::fprintf(stderr, "%s\n", tvl_usrmsg);
    return 1;
  }
  devblk.ifindex = ifr.ifr_ifindex;
  if (ifreq_ioctl(dev->fd, SIOCGIFHWADDR, dev->ifname, &ifr, "SIOCGIFHWADDR")) {
    std::fprintf(stderr, "%s\n", tvl_usrmsg);
    return 1;
  }
  int fam = ifr.ifr_hwaddr.sa_family;
  switch (fam) {
    case ARPHRD_ETHER:
    case ARPHRD_SLIP:
    case ARPHRD_CSLIP:
    case ARPHRD_SLIP6:
    case ARPHRD_CSLIP6:
    case ARPHRD_PPP:
    case ARPHRD_LOOPBACK:
      dev->linktype = KAV_DL_ETHER;
      break;
    case ARPHRD_IEEE802:
      dev->linktype = KAV_DL_CSMACD;
      break;
    case ARPHRD_HDLC:
    case ARPHRD_LAPB:
      dev->linktype = KAV_DL_HDLC;
      break;
    case ARPHRD_FDDI:
      dev->linktype = KAV_DL_FDDI;
      break;
    case ARPHRD_NONE:
      dev->linktype = KAV_DL_IPRAW;
      break;
    default:
      std::fprintf(stderr, "NB: SIOCGIFHWADDR returned hw family=%d\n", fam);
      dev->linktype = KAV_DL_OTHER;
      break;
  }
  if (ifreq_ioctl(dev->fd, SIOCGIFFLAGS, dev->ifname, &ifr, "SIOCGIFFLAGS")) {
    std::fprintf(stderr, "%s\n", tvl_usrmsg);
    return 1;
  }
  devblk.orig_flags = devblk.cur_flags = ifr.ifr_flags & 0xFFFF;
  if (ifreq_ioctl(dev->fd, SIOCGIFMTU, dev->ifname, &ifr, "SIOCGIFMTU")) {
    std::fprintf(stderr, "%s\n", tvl_usrmsg);
    return 1;
  }
  dev->mtu = ifr.ifr_mtu;
  dev->hwlen = 0;
  return 0;
}

void restore() {
  if (devblk.fd < 0) return;
  if (devblk.kind == 1) {
    if (!devblk.promisc_on) return;
    struct packet_mreq mr;
    std::memset(&mr, 0, sizeof mr);
    mr.mr_ifindex = devblk.ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(devblk.fd, SOL_PACKET, PACKET_DROP_MEMBERSHIP, &mr, sizeof mr) < 0) {
      int e = errno;
      std::fprintf(stderr, "setsockopt(%d) %s failed, errno=%d [%s]\n", PACKET_DROP_MEMBERSHIP, "off", e,
                   tap_errtxt(e));
    }
    devblk.promisc_on = 0;
  } else if (devblk.cur_flags != devblk.orig_flags) {
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    put_name(ifr.ifr_name, IFNAMSIZ, devblk.ifname);
    ifr.ifr_flags = static_cast<short>(devblk.orig_flags);
    if (ioctl(devblk.fd, SIOCSIFFLAGS, &ifr) < 0) {
      int e = errno;
      std::fprintf(stderr, "ioctl(SIFFLAGS) failed on interface %s, errno=%d [%s]\n", devblk.ifname, e,
                   tap_errtxt(e));
    } else {
      devblk.cur_flags = devblk.orig_flags;
    }
  }
}

int setup(tap_dev *dev) {
  if (atexit(restore) != 0) {
    int e = errno;
    std::fprintf(stderr, "atexit(restore) failed, errno=%d [%s]\n", e, tap_errtxt(e));
    return 1;
  }
  devblk.fd = dev->fd;
  std::snprintf(devblk.ifname, sizeof devblk.ifname, "%s", dev->ifname);
  char why[160];
  int rc;
  if (devblk.kind == 1) {
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof sll);
    sll.sll_family = static_cast<unsigned short>(devblk.family);
    sll.sll_protocol = static_cast<unsigned short>(devblk.proto);
    sll.sll_ifindex = devblk.ifindex;
    std::snprintf(why, sizeof why, "%s=%d/%d", dev->ifname, devblk.ifindex,
                  ntohs(static_cast<uint16_t>(devblk.proto)));
    rc = bind(dev->fd, reinterpret_cast<struct sockaddr *>(&sll), sizeof sll);
  } else if (devblk.kind == 2) {
    struct sockaddr sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_family = AF_INET;
    put_name(sa.sa_data, 14, dev->ifname);
    std::snprintf(why, sizeof why, "%s", dev->ifname);
    rc = bind(dev->fd, &sa, sizeof sa);
  } else {
    if (setsockopt(dev->fd, SOL_SOCKET, SO_BINDTODEVICE, dev->ifname,
                   static_cast<socklen_t>(std::strlen(dev->ifname) + 1)) < 0) {
      int e = errno;
      std::fprintf(stderr, "setsockopt(BINDTODEVICE) failed on '%s', errno=%d [%s]\n", dev->ifname, e,
                   tap_errtxt(e));
      return 1;
    }
    rc = 0;
    why[0] = '\0';
  }
  if (rc < 0) {
    int e = errno;
    std::fprintf(stderr, "bind(%s) failed on socket, errno=%d [%s]\n", why, e, tap_errtxt(e));
    return 1;
  }
  if (ctlblk.trcinfo) std::fprintf(stderr, "Bound to interface '%s'\n", dev->ifname);
  if (ctlblk.promisc) {
    if (devblk.kind == 1) {
      struct packet_mreq mr;
      std::memset(&mr, 0, sizeof mr);
      mr.mr_ifindex = devblk.ifindex;
      mr.mr_type = PACKET_MR_PROMISC;
      if (setsockopt(dev->fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) {
        int e = errno;
        std::fprintf(stderr, "setsockopt(%d) %s failed, errno=%d [%s]\n", PACKET_ADD_MEMBERSHIP, "on", e,
                     tap_errtxt(e));
        return 1;
      }
      devblk.promisc_on = 1;
    } else {
      struct ifreq ifr;
      std::memset(&ifr, 0, sizeof ifr);
      put_name(ifr.ifr_name, IFNAMSIZ, dev->ifname);
      ifr.ifr_flags = static_cast<short>(devblk.cur_flags | IFF_PROMISC);
      if (ioctl(dev->fd, SIOCSIFFLAGS, &ifr) < 0) {
        int e = errno;
        std::fprintf(stderr, "ioctl(SIFFLAGS) failed on interface %s, errno=%d [%s]\n", dev->ifname, e,
                     tap_errtxt(e));
        return 1;
      }
      devblk.cur_flags |= IFF_PROMISC;
    }
    if (ctlblk.verbose) std::fprintf(stderr, "Interface put into promiscuous mode\n");
  }
  return 0;
}

void verbose_prologue(tap_dev *dev) {
  if (dev->ifname[0] != '\0')
    std::fprintf(stderr, "Interface flags: 0x%x -> 0x%x (index=%d)\n", static_cast<unsigned>(devblk.orig_flags),
                 static_cast<unsigned>(devblk.cur_flags), devblk.ifindex);
}

// Filters, accounts and logs one frame. Returns 1 when the output failed.
int take_frame(tap_dev *dev, FILE *rf, tap_rates *rs, const unsigned char *data, long caplen, long wirelen,
               long sec, long usec) {
  if (ctlblk.filter &&
      !kav_filt_match(ctlblk.filter, data, static_cast<int>(caplen), static_cast<int>(dev->linktype), nullptr,
                      nullptr, nullptr, ctlblk.capflags)) {
    tap_reject(static_cast<uint64_t>(wirelen));
    return 0;
  }
  tap_rate_account(rf, rs, sec, static_cast<uint64_t>(wirelen));
  return tap_write_frame(sec, usec, caplen, wirelen, data);
}

void fatal_capture(const char *fmt, int e) {
  std::snprintf(tvl_usrmsg, sizeof tvl_usrmsg, fmt, e, tap_errtxt(e));
  if (ctlblk.verbose) std::fprintf(stderr, "\nFatal error: %s\n", tvl_usrmsg);
  char msg[sizeof tvl_usrmsg];
  std::memcpy(msg, tvl_usrmsg, sizeof msg);
  write_ctlevt(3, msg);
  ctlblk.failed = 3;
}

void error_condition(int fd, short revents) {
  char txt[200];
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
    int e = errno;
    std::snprintf(txt, sizeof txt, "getsockopt(ERROR) failed, errno=%d [%s]", e, tap_errtxt(e));
  } else {
    std::snprintf(txt, sizeof txt, "Error=%d (%d)", err, static_cast<int>(len));
  }
  std::fprintf(stderr, "\nError condition on socket - poll() set 0x%x [%s]\n", static_cast<unsigned>(revents), txt);
  ctlblk.failed = 1;
}

inline struct tpacket_hdr *slot_hdr(unsigned char *slot) { return reinterpret_cast<struct tpacket_hdr *>(slot); }
inline bool slot_ready(unsigned char *slot) {
  return (__atomic_load_n(&slot_hdr(slot)->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0;
}
inline void slot_release(unsigned char *slot) {
  __atomic_store_n(&slot_hdr(slot)->tp_status, static_cast<unsigned long>(TP_STATUS_KERNEL), __ATOMIC_RELEASE);
}

int progress_width = 5;  // places the -v counter now takes on its line

void show_progress(uint64_t *shown) {
  if (ctlblk.verbose && ctlblk.log.packets != *shown) {
    *shown = ctlblk.log.packets;
    char text[64];
    int n = tap_progress_text(text, sizeof text, &progress_width, *shown);
    std::fwrite(text, 1, static_cast<size_t>(n), stderr);
  }
}

// The log goes to standard output, except for a traffic server. Watching it
// while the capture waits ends a quiet capture as soon as the log's reader
// has gone, instead of at the next frame.
void watch_output(struct pollfd *p) {
  p->fd = ctlblk.server ? -1 : 1;
  p->events = 0;
  p->revents = 0;
}

bool output_lost(const struct pollfd *p) {
  if (p->fd < 0 || !(p->revents & (POLLERR | POLLHUP))) return false;
  tap_output_lost();
  return true;
}

void loop_end(int fd) {
  // Ends the progress line. A traffic server's standard error may be its
  // connection, which must carry nothing but records.
  if (!ctlblk.server) std::fprintf(stderr, "\n");
  if (ctlblk.trcinfo) {
    struct tpacket_stats st;
    socklen_t len = sizeof st;
    if (getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) < 0) {
      int e = errno;
      std::fprintf(stderr, "getsockopt(PACKET_STATISTICS) failed, errno=%d [%s]\n", e, tap_errtxt(e));
    } else {
      std::fprintf(stderr, "Received %d packets, dropped %d\n", static_cast<int>(st.tp_packets),
                   static_cast<int>(st.tp_drops));
    }
  }
}

void taploop(tap_dev *dev, FILE *rf, tap_rates *rs) {
  const int frames = devblk.frames;
  unsigned char **index = static_cast<unsigned char **>(std::malloc(sizeof(unsigned char *) * frames));
  if (!index) {
    std::fprintf(stderr, "OUT OF MEMORY, on %d-frame ring index\n", frames);
    ctlblk.failed = 1;
    return;
  }
  for (int i = 0; i < frames; i++) index[i] = devblk.map + static_cast<size_t>(i) * devblk.frame_size;
  const long limit = ctlblk.snaplen;
  const long hdrlen = TPACKET_ALIGN(sizeof(struct tpacket_hdr));
  struct pollfd pfds[2];
  struct pollfd &pfd = pfds[0];
  pfd.fd = dev->fd;
  pfd.events = POLLIN;
  watch_output(&pfds[1]);
  struct timespec zero = {0, 0};
  // The nap between batches while traffic flows: as long as the ring can
  // take a burst of two million frames a second (2 ms for the usual 4096
  // slots), within 1 to 10 ms. Fewer, larger batches mean fewer wake-ups.
  const long nap_ns = std::min(10000000L, std::max(1000000L, 500L * frames));
  const struct timespec linger = {nap_ns / 1000000000L, nap_ns % 1000000000L};
  struct timespec *timeout = nullptr;
  int cur = 0;
  uint64_t shown = ctlblk.log.packets;
  int out_failed = 0;
  int napped = 0;
  while (!ctlblk.stop && !out_failed) {
    pfd.revents = 0;
    pfds[1].revents = 0;
    // Frames already waiting after a nap are taken without asking the kernel.
    int rc = (timeout == nullptr && napped && slot_ready(index[cur])) ? 1 : ppoll(pfds, 2, timeout, &tap_waitmask);
    napped = 0;
    if (rc < 0) {
      if (errno == EINTR) continue;
      fatal_capture("poll() failed, errno=%d [%s]", errno);
      break;
    }
    if (output_lost(&pfds[1])) break;
    if (!slot_ready(index[cur])) {
      if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) || frames < 2) {
        error_condition(dev->fd, pfd.revents);
        break;
      }
      if (timeout == nullptr && rc == 0) continue;
      int steps = 1, at = cur;
      for (; steps < frames; steps++) {
        at = (at + 1) % frames;
        if (slot_ready(index[at])) break;
      }
      if (steps >= frames) {
        if (timeout != nullptr) {  // caught up: nothing is waiting anywhere
          timeout = nullptr;
          continue;
        }
        error_condition(dev->fd, pfd.revents);
        break;
      }
      cur = at;
      std::fprintf(stderr, "%.*sSeeking %d frames ...\n", progress_width, "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b",
                   steps);
      progress_width = 0;  // the counter starts afresh on the next line
      timeout = &zero;
      continue;
    }
    // Take a batch; bounded to one turn of the ring so that a signal is
    // seen even under a continuous stream.
    int n = 0;
    for (; n < frames && slot_ready(index[cur]); n++) {
      unsigned char *slot = index[cur];
      if (++cur == frames) cur = 0;
      // The kernel filled the slots from another processor: start fetching
      // the next one while this one is copied out.
      const unsigned char *ahead = index[cur];
      for (int line = 0; line < 640; line += 64) __builtin_prefetch(ahead + line);
      struct tpacket_hdr *h = slot_hdr(slot);
      const struct sockaddr_ll *sll = reinterpret_cast<const struct sockaddr_ll *>(slot + hdrlen);
      if (devblk.lo_index >= 0 && sll->sll_ifindex == devblk.lo_index && sll->sll_pkttype == PACKET_OUTGOING) {
        slot_release(slot);
        continue;
      }
      long caplen = h->tp_snaplen;
      if (limit > 0 && caplen > limit) caplen = limit;
      const long mac = h->tp_mac;
      if (mac + caplen > devblk.frame_size) caplen = mac < devblk.frame_size ? devblk.frame_size - mac : 0;
      if (take_frame(dev, rf, rs, slot + h->tp_mac, caplen, h->tp_len, h->tp_sec, h->tp_usec)) {
        slot_release(slot);
        out_failed = 1;
        break;
      }
      slot_release(slot);
    }
    timeout = nullptr;
    show_progress(&shown);
    // The kernel wakes the reader for every frame put in a slot. While
    // traffic flows, a short nap lets frames gather in the ring so that they
    // are taken in batches instead of one wake-up per frame. A batch that
    // filled a quarter of the ring means the ring is needed: no nap then.
    // A signal ends the nap at once.
    if (n > 0 && n < frames / 4 && !ctlblk.stop) {
      ppoll(nullptr, 0, &linger, &tap_waitmask);
      napped = 1;
    }
  }
  std::free(index);
  loop_end(dev->fd);
}

void taploop_file(tap_dev *dev, FILE *rf, tap_rates *rs) {
  const long limit = ctlblk.snaplen;
  const size_t bufsize = static_cast<size_t>(ctlblk.ksdu);
  struct pollfd pfds[2];
  pfds[0].fd = dev->fd;
  pfds[0].events = POLLIN;
  watch_output(&pfds[1]);
  uint64_t shown = ctlblk.log.packets;
  while (!ctlblk.stop) {
    // Wait with the stop signals let through, so a quiet interface does not
    // hold the program; the read itself then never blocks.
    pfds[0].revents = pfds[1].revents = 0;
    int rc = ppoll(pfds, 2, nullptr, &tap_waitmask);
    if (rc < 0) {
      if (errno == EINTR) continue;
      fatal_capture("read() failed on interface, errno=%d [%s]", errno);
      break;
    }
    if (output_lost(&pfds[1])) break;
    struct sockaddr_ll from;
    socklen_t fromlen = sizeof from;
    std::memset(&from, 0, sizeof from);
    ssize_t n = recvfrom(dev->fd, ctlblk.rxbuf, bufsize, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&from),
                         &fromlen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      fatal_capture("read() failed on interface, errno=%d [%s]", errno);
      break;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (devblk.kind == 1 && devblk.lo_index >= 0 && from.sll_ifindex == devblk.lo_index &&
        from.sll_pkttype == PACKET_OUTGOING)
      continue;
    long caplen = (limit != 0 && limit < n) ? limit : static_cast<long>(n);
    if (take_frame(dev, rf, rs, ctlblk.rxbuf, caplen, static_cast<long>(n), now.tv_sec, now.tv_usec)) break;
    show_progress(&shown);
  }
  loop_end(dev->fd);
}

}  // namespace

void tap_ring_geometry(int snaplen, long mtu, int ksdu, int P, int E, tap_ring_geom *g) {
  long F;
  if (snaplen == 0)
    F = mtu > 0 ? ((mtu + 67) & ~15L) : 1568;
  else
    F = (static_cast<long>(snaplen) + 67) & ~15L;
  long G;
  if (F > P) {
    F = ((F + P - 1) / P) * P;
    G = F;
  } else {
    while (P % F != 0) F += 16;
    G = P;
  }
  long B = (E / G) * G;
  if (B < G) B = G;
  long N = (ksdu + B - 1) / B;
  if (N < 1) N = 1;
  if (ksdu % B != 0) {
    B -= (B - ksdu % B) / N;
    B = ((B + G - 1) / G) * G;
  }
  g->frame_size = static_cast<int>(F);
  g->granule = static_cast<int>(G);
  g->block_size = static_cast<int>(B);
  g->block_nr = static_cast<int>(N);
  g->frame_nr = static_cast<int>(N * (B / F));
}

int init_sock(tap_module *table) {
  modtab = table;
  const char *kb = std::getenv("KAV_KBUF");
  if (kb) {
    if (port_strcasecmp(kb, "y") == 0) {
      devblk.kbuf_off = 0;
    } else if (port_strcasecmp(kb, "n") == 0) {
      devblk.kbuf_off = 1;
    } else {
      std::fprintf(stderr, "Illegal env var: %s=%s (need Y/N)\n", "KAV_KBUF", kb);
      return 1;
    }
  }
  const char *cs = std::getenv("KAV_CAPSOCK");
  int rc;
  if (cs) {
    char fam[64];
    const char *dot = std::strchr(cs, '.');
    size_t flen = dot ? static_cast<size_t>(dot - cs) : std::strlen(cs);
    if (flen >= sizeof fam) flen = sizeof fam - 1;
    std::memcpy(fam, cs, flen);
    fam[flen] = '\0';
    rc = set_sockclass(fam, dot ? dot + 1 : nullptr);
  } else {
    rc = set_sockclass("packet", nullptr);
  }
  if (rc) {
    size_t l = std::strlen(tvl_usrmsg);
    std::snprintf(tvl_usrmsg + l, sizeof tvl_usrmsg - l, " [$%s]", "KAV_CAPSOCK");
    std::fprintf(stderr, "%s\n", tvl_usrmsg);
    return 1;
  }
  std::memset(table, 0, sizeof *table);
  table->single_if = 0;
  table->usage = usage;
  table->eval_arg = eval_arg;
  table->verbose_prologue = verbose_prologue;
  table->create = create_sock;
  table->get_info = get_info;
  table->setup = setup;
  table->loop = taploop_file;
  table->finish = nullptr;
  return 0;
}
