#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace taptest {

std::string tap_binary() { return std::string(VELMORA_BIN_DIR) + "/kavtap"; }


static void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

NetPair::NetPair() {
  std::string p = std::to_string(getpid());
  ns_a = "kvt" + p + "a";
  ns_b = "kvt" + p + "b";
  if_a = "va" + p;
  if_b = "vb" + p;
  sh("ip netns del " + ns_a + " 2>/dev/null; ip netns del " + ns_b + " 2>/dev/null");
  const std::string quiet =
      " sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; true' 2>/dev/null";
  std::string cmd = "set -e; ip netns add " + ns_a + "; ip netns add " + ns_b + "; ip netns exec " + ns_a + quiet +
                    "; ip netns exec " + ns_b + quiet + "; ip -n " + ns_a + " link add " + if_a +
                    " type veth peer name " + if_b + " netns " + ns_b + "; ip -n " + ns_a + " addr add 198.18.0.1/24 dev " +
                    if_a + "; ip -n " + ns_b + " addr add 198.18.0.2/24 dev " + if_b + "; ip -n " + ns_a +
                    " link set " + if_a + " up; ip -n " + ns_b + " link set " + if_b + " up; ip -n " + ns_a +
                    " link set lo up; ip -n " + ns_b + " link set lo up";
  ok_ = sh(cmd) == 0;
  // Wait for both ends to report a carrier.
  for (int i = 0; ok_ && i < 100; i++) {
    if (sh("ip -n " + ns_a + " link show " + if_a + " | grep -q LOWER_UP") == 0 &&
        sh("ip -n " + ns_b + " link show " + if_b + " | grep -q LOWER_UP") == 0)
      break;
    sleep_ms(20);
  }
}

NetPair::~NetPair() { sh("ip netns del " + ns_a + " 2>/dev/null; ip netns del " + ns_b + " 2>/dev/null"); }

int NetPair::promiscuity(const std::string &ns, const std::string &ifname) const {
  std::string tmp = "/tmp/kavtap_promisc_" + std::to_string(getpid());
  sh("ip -n " + ns + " -d link show " + ifname + " > " + tmp);
  std::string s = slurp(tmp);
  unlink(tmp.c_str());
  size_t at = s.find("promiscuity ");
  if (at == std::string::npos) return -1;
  return std::atoi(s.c_str() + at + 12);
}

NsEnter::NsEnter(const std::string &ns) {
  saved_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (saved_ >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0) ok_ = true;
  if (fd >= 0) close(fd);
}

NsEnter::~NsEnter() {
  if (saved_ >= 0) {
    if (ok_) setns(saved_, CLONE_NEWNET);
    close(saved_);
  }
}

TapProc::TapProc(const std::string &ns, const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env, int in_fd, int out_fd) {
  static int seq = 0;
  std::string base = "/tmp/kavtap_t" + std::to_string(getpid()) + "_" + std::to_string(seq++);
  out_path_ = base + ".out";
  err_path_ = base + ".err";
  int nsfd = ns.empty() ? -1 : open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    if (nsfd >= 0 && setns(nsfd, CLONE_NEWNET) != 0) _exit(126);
    int o = out_fd >= 0 ? out_fd : open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int i = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    // Nothing else of the test process (such as the far end of a connection)
    // may live on in the tap.
    for (int fd = 3; fd < 1024; fd++) close(fd);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    for (auto &kv : env) {
      if (kv.second == "\x01unset")
        unsetenv(kv.first.c_str());
      else
        setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char *> av;
    std::string bin = tap_binary();
    av.push_back(const_cast<char *>(bin.c_str()));
    for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(bin.c_str(), av.data());
    _exit(127);
  }
  if (nsfd >= 0) close(nsfd);
}

TapProc::~TapProc() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
}

bool TapProc::wait_text(const std::string &t, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (err().find(t) != std::string::npos) return true;
    int st;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return err().find(t) != std::string::npos;
    }
    sleep_ms(20);
  }
  return false;
}

bool TapProc::wait_ready(int ms) { return wait_text("Ready and waiting ...", ms); }

int TapProc::wait_exit(int ms) {
  if (pid_ <= 0) return -1;
  for (int waited = 0; waited <= ms; waited += 10) {
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    sleep_ms(10);
  }
  return -1;
}

int TapProc::stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  return wait_exit(10000);
}

bool send_frames(const std::string &ns, const std::string &ifname, const std::vector<std::vector<uint8_t>> &frames) {
  NsEnter in(ns);
  if (!in.ok()) return false;
  int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) return false;
  struct sockaddr_ll sll;
  std::memset(&sll, 0, sizeof sll);
  sll.sll_family = AF_PACKET;
  sll.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  sll.sll_halen = 6;
  bool ok = sll.sll_ifindex > 0;
  for (auto &f : frames) {
    if (!ok) break;
    std::memcpy(sll.sll_addr, f.data(), 6);
    ok = sendto(fd, f.data(), f.size(), 0, reinterpret_cast<struct sockaddr *>(&sll), sizeof sll) ==
         static_cast<ssize_t>(f.size());
    sleep_ms(2);
  }
  close(fd);
  return ok;
}

std::vector<uint8_t> eth_frame(uint16_t ethertype, size_t total_len, int seed) {
  std::vector<uint8_t> f(total_len);
  const uint8_t dst[6] = {0x02, 0, 0, 0, 0, 0x01};
  const uint8_t src[6] = {0x02, 0, 0, 0, 0, 0x02};
  std::memcpy(f.data(), dst, 6);
  std::memcpy(f.data() + 6, src, 6);
  f[12] = static_cast<uint8_t>(ethertype >> 8);
  f[13] = static_cast<uint8_t>(ethertype);
  for (size_t i = 14; i < total_len; i++) f[i] = static_cast<uint8_t>(i * 7 + seed);
  return f;
}

std::vector<uint8_t> udp_frame(size_t payload_len, int seed) {
  std::vector<uint8_t> f = eth_frame(0x0800, 14 + 20 + 8 + payload_len, seed);
  uint8_t *ip = f.data() + 14;
  size_t iplen = 20 + 8 + payload_len;
  const uint8_t hdr[20] = {0x45, 0, static_cast<uint8_t>(iplen >> 8), static_cast<uint8_t>(iplen), 0, 1, 0, 0, 64,
                           17, 0, 0, 198, 18, 0, 2, 198, 18, 0, 1};
  std::memcpy(ip, hdr, 20);
  uint8_t *udp = ip + 20;
  size_t ulen = 8 + payload_len;
  const uint8_t uh[8] = {0x30, 0x39, 0x27, 0x0f, static_cast<uint8_t>(ulen >> 8), static_cast<uint8_t>(ulen), 0, 0};
  std::memcpy(udp, uh, 8);
  return f;
}

static int64_t rd64(const uint8_t *p) {
  int64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

Log parse_log(const std::string &bytes) {
  Log L;
  const uint8_t *b = reinterpret_cast<const uint8_t *>(bytes.data());
  size_t n = bytes.size(), at = 0;
  auto need = [&](size_t k, const char *what) {
    if (n - at < k) {
      L.error = std::string("log ends inside ") + what + " at byte " + std::to_string(at);
      return false;
    }
    return true;
  };
  if (!need(15, "log header")) return L;
  L.loghdr.assign(b, b + 15);
  at = 15;
  if (!need(216, "session header")) return L;
  const uint8_t *h = b + at;
  L.seshdr.assign(h, h + 216);
  L.hostname = std::string(reinterpret_cast<const char *>(h), strnlen(reinterpret_cast<const char *>(h), 65));
  L.start = rd64(h + 72);
  L.ifname = std::string(reinterpret_cast<const char *>(h + 80), strnlen(reinterpret_cast<const char *>(h + 80), 36));
  std::memcpy(&L.ipaddr_net, h + 116, 4);
  L.netmask = rd64(h + 120);
  L.mtu = rd64(h + 128);
  L.snaplen = rd64(h + 136);
  L.filtlen = rd64(h + 144);
  L.capflags = rd64(h + 152);
  L.linktype = rd64(h + 160);
  L.parm1 = rd64(h + 168);
  L.parm2 = rd64(h + 176);
  L.hwlen = rd64(h + 184);
  at += 216;
  if (L.filtlen < 0 || L.filtlen > 65536) {
    L.error = "bad filter length";
    return L;
  }
  if (L.filtlen > 0) {
    if (!need(static_cast<size_t>(L.filtlen), "filter text")) return L;
    if (b[at + L.filtlen - 1] != 0) {
      L.error = "filter text not terminated";
      return L;
    }
    L.filter = std::string(reinterpret_cast<const char *>(b + at));
    at += static_cast<size_t>(L.filtlen);
  }
  bool closed = false;
  while (at < n) {
    if (closed) {
      L.error = "bytes after the session trailer";
      return L;
    }
    if (!need(40, "event header")) return L;
    Event e;
    e.ses = b[at];
    e.type = b[at + 1];
    for (int i = 2; i < 8; i++)
      if (b[at + i] != 0) L.error = "nonzero padding in event header";
    e.sec = rd64(b + at + 8);
    e.usec = rd64(b + at + 16);
    e.caplen = rd64(b + at + 24);
    e.wirelen = rd64(b + at + 32);
    at += 40;
    if (e.caplen < 0 || e.caplen > 1 << 24) {
      L.error = "bad captured length";
      return L;
    }
    if (!need(static_cast<size_t>(e.caplen), "event data")) return L;
    e.data.assign(b + at, b + at + e.caplen);
    at += static_cast<size_t>(e.caplen);
    if (e.type == 3 || e.type == 4) {
      if (!need(40, "session trailer")) return L;
      e.has_trailer = true;
      for (int i = 0; i < 5; i++) e.trl[i] = rd64(b + at + 8 * i);
      at += 40;
      closed = true;
    }
    L.events.push_back(std::move(e));
  }
  return L;
}

}  // namespace taptest
