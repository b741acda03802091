// kav_filt_match against the compiled filters of libpcap (pcap_compile +
// pcap_offline_filter) for equivalent expressions on one frame mix.
// Prints nanoseconds per frame for both and their ratio.
#include "frames.h"
#include "kav.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

using namespace frames;

namespace {

std::vector<Bytes> frame_mix(int n) {
  std::mt19937 rng(12345);
  auto pick = [&](int k) { return (int)(rng() % (unsigned)k); };
  auto addr = [&]() -> uint32_t {
    static const uint32_t nets[] = {0x0A010100, 0x0A020300, 0xC0A80100, 0xAC100000};
    return nets[pick(4)] | (uint32_t)pick(8);
  };
  const unsigned tcp_ports[] = {80, 443, 22, 25, 8080, 3306};
  const unsigned udp_ports[] = {53, 123, 161, 514, 5353};
  std::vector<Bytes> out;
  for (int i = 0; i < n; i++) {
    int kind = pick(100);
    Ip4 ip;
    ip.src = addr();
    ip.dst = addr();
    Bytes payload((size_t)pick(kind < 50 ? 1400 : 200), 0x5a);
    Bytes l3;
    unsigned type = 0x0800;
    if (kind < 55) {
      unsigned p = tcp_ports[pick(6)], eph = 1024 + (unsigned)pick(60000);
      static const uint8_t flags[] = {ACK, ACK | PSH, SYN, SYN | ACK, FIN | ACK, RST};
      l3 = ipv4(ip, pick(2) ? tcp(p, eph, flags[pick(6)], payload, 12) : tcp(eph, p, flags[pick(6)], payload, 12));
    } else if (kind < 80) {
      ip.proto = 17;
      unsigned p = udp_ports[pick(5)], eph = 1024 + (unsigned)pick(60000);
      l3 = ipv4(ip, pick(2) ? udp(p, eph, payload) : udp(eph, p, payload));
    } else if (kind < 88) {
      ip.proto = 1;
      static const uint8_t types[] = {8, 0, 3, 11};
      l3 = ipv4(ip, icmp(types[pick(4)], (uint8_t)pick(4), Bytes(56, 1)));
    } else if (kind < 92) {
      type = 0x0806;
      l3 = arp(1 + (unsigned)pick(2));
    } else if (kind < 96) {
      type = 0x86DD;
      l3 = ipv6(6, tcp(443, 40000, ACK, payload));
    } else {
      ip.options = Bytes(4, 1);
      ip.more_frags = pick(2);
      ip.frag_offset = ip.more_frags ? 0 : 185;
      l3 = ipv4(ip, ip.frag_offset ? payload : tcp(80, 40000, ACK, payload));
    }
    Bytes f = pad(cat({eth(mac((uint8_t)pick(8)), mac((uint8_t)pick(8)), type), l3}), 60);
    out.push_back(f);
  }
  return out;
}

struct Pair {
  const char *kav;
  const char *pcap;
};

const Pair pairs[] = {
    {"TCP SD=80", "tcp port 80"},
    {"IP SD=10.1.1.1", "ip host 10.1.1.1"},
    {"((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)", "(tcp port 80 or udp port 80) and ip host 10.1.1.1"},
    {"IP SRC=10.0.0.0/8 DST=192.168.0.0/16", "src net 10.0.0.0/8 and dst net 192.168.0.0/16"},
    {"TCP F=S^A", "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn"},
    {"ICMP TYPE=echo", "icmp[icmptype] == icmp-echo"},
    {"UDP DST<1024", "udp and udp dst portrange 0-1023"},
    {"(ARP) | (IPv6)", "arp or ip6"},
    // Fragments after the first carry no transport header for either side.
    {"^((TCP) | (UDP))", "not ((tcp or udp) and (ip6 or ip[6:2] & 0x1fff = 0))"},
};

// Thread CPU time: time the scheduler gives to other processes is not counted.
double now_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

}  // namespace

int main(int argc, char **argv) {
  int nframes = argc > 1 ? atoi(argv[1]) : 2000;
  int rounds = argc > 2 ? atoi(argv[2]) : 10;
  int trials = argc > 3 ? atoi(argv[3]) : 80;
  std::vector<Bytes> mix = frame_mix(nframes);
  std::vector<pcap_pkthdr> hdrs(mix.size());
  for (size_t i = 0; i < mix.size(); i++) {
    memset(&hdrs[i], 0, sizeof hdrs[i]);
    hdrs[i].caplen = hdrs[i].len = (bpf_u_int32)mix[i].size();
  }
  pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
  if (!dead) return 1;
  printf("%d frames x %d rounds, best of %d trials (Ethernet: TCP, UDP, ICMP, ARP, IPv6, IPv4 options and fragments)\n", nframes,
         rounds, trials);
  printf("%-48s %9s %9s %7s %8s\n", "expression", "kav ns", "pcap ns", "ratio", "matches");
  double kav_total = 0, pcap_total = 0;
  int status = 0;
  for (const Pair &p : pairs) {
    void *kf = kav_filt_parse(p.kav, nullptr);
    bpf_program prog;
    if (!kf || pcap_compile(dead, &prog, p.pcap, 1, PCAP_NETMASK_UNKNOWN) != 0) {
      fprintf(stderr, "cannot compile %s / %s\n", p.kav, p.pcap);
      return 1;
    }
    long km = 0, pm = 0;
    for (size_t i = 0; i < mix.size(); i++) {
      km += kav_filt_match(kf, mix[i].data(), (int)mix[i].size(), KAV_DL_ETHER, nullptr, nullptr, nullptr,
                           KAV_CAP_RAW) != 0;
      pm += pcap_offline_filter(&prog, &hdrs[i], mix[i].data()) != 0;
    }
    if (km != pm) {
      fprintf(stderr, "%s: %ld matches, %s: %ld\n", p.kav, km, p.pcap, pm);
      status = 2;
    }
    // Alternate the two in short trials and keep each side's best, so that
    // other load on the machine distorts the comparison as little as possible.
    long sink = 0;
    double kbest = 1e300, pbest = 1e300;
    for (int trial = 0; trial < trials; trial++) {
      double t0 = now_ns();
      for (int r = 0; r < rounds; r++)
        for (size_t i = 0; i < mix.size(); i++)
          sink += kav_filt_match(kf, mix[i].data(), (int)mix[i].size(), KAV_DL_ETHER, nullptr, nullptr, nullptr,
                                 KAV_CAP_RAW);
      double t1 = now_ns();
      for (int r = 0; r < rounds; r++)
        for (size_t i = 0; i < mix.size(); i++) sink += pcap_offline_filter(&prog, &hdrs[i], mix[i].data());
      double t2 = now_ns();
      kbest = std::min(kbest, t1 - t0);
      pbest = std::min(pbest, t2 - t1);
    }
    if (sink < 0) puts("");  // keeps the loops from being optimised away
    double n = (double)rounds * (double)mix.size();
    double kns = kbest / n, pns = pbest / n;
    kav_total += kns;
    pcap_total += pns;
    printf("%-48.48s %9.1f %9.1f %7.2f %8ld\n", p.kav, kns, pns, kns / pns, km);
    kav_filt_free(kf);
    pcap_freecode(&prog);
  }
  printf("%-48s %9.1f %9.1f %7.2f\n", "all expressions", kav_total, pcap_total, kav_total / pcap_total);
  pcap_close(dead);
  return status;
}
