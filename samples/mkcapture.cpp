// Writes the analyser's sample capture, or a large mixed capture for timing.
//
//   mkcapture sample OUT.kav            the bundled demo log (one session)
//   mkcapture mixed N OUT.kav OUT.pcap [MIX]
//                                       N frames, as a log and as pcap; MIX is
//                                       "mixed" (default), "web", "small" or
//                                       "app" (DNS, DHCP and HTTP traffic)
//   mkcapture app N OUT.kav OUT.pcap     the same as MIX "app"
//
// Build: c++ -std=c++20 -O2 -Itestsupport -o mkcapture samples/mkcapture.cpp
#include "capgen.h"

#include <cstdlib>

using namespace capgen;

static int sample(const char *path) {
  const int64_t t0 = 1765180800;  // 2025-12-08 08:00:00 UTC
  LogWriter w;
  w.loghdr(1);
  Session s;
  s.start = t0;
  s.host = "velmora-lab";
  s.ifname = "eth0";
  s.snaplen = 1514;
  w.session(s);

  Mac a = mac(1), b = mac(2);
  uint32_t ha = ip4(192, 168, 7, 1), hb = ip4(192, 168, 7, 20), dns = ip4(192, 168, 7, 53);
  int64_t us = 0;
  int64_t frames = 0, bytes = 0;
  auto put = [&](const Bytes &f, int64_t step_us, int64_t wire = -1) {
    us += step_us;
    w.frame(0, t0 + us / 1000000, us % 1000000, f, wire);
    frames++;
    bytes += wire < 0 ? int64_t(f.size()) : wire;
  };

  // Address resolution, then a name lookup.
  put(who_has(a, ha, hb), 125000);
  put(ether(a, b, 0x0806, arp(2, b, hb, a, ha)), 310);
  Bytes q = {0xbe, 0xef, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e',
             3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
  put(ether(b, a, 0x0800, ipv4(ha, dns, 17, udp4(ha, dns, 51000, 53, q), 0x1c46)), 2200);

  // A TCP connection: handshake, request, reply, close.
  Tcp syn = tcp_fields(51001, 80, 1000, 0, 0x02);
  syn.opts = {2, 4, 0x05, 0xb4, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
  put(ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, syn), 0x1c47)), 1800);
  Tcp sa = tcp_fields(80, 51001, 5000, 1001, 0x12);
  sa.opts = {2, 4, 0x05, 0xb4, 1, 1, 4, 2};
  put(ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, sa), 0, 64)), 240);
  Tcp ack = tcp_fields(51001, 80, 1001, 5001, 0x10);
  put(ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, ack), 0x1c48)), 90);
  Tcp req = ack;
  req.flags = 0x18;
  req.data = text("GET /index.html HTTP/1.0\r\nHost: 192.168.7.20\r\n\r\n");
  put(ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, req), 0x1c49)), 60);
  Tcp rsp = tcp_fields(80, 51001, 5001, 1001 + uint32_t(req.data.size()), 0x18);
  rsp.data = text("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n\r\nhello world\n");
  put(ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, rsp), 0x0a01, 64)), 410);
  // The same reply again, its checksum damaged on the way.
  put(ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, rsp, false), 0x0a02, 64)), 200000);
  Tcp fin = ack;
  fin.seq = rsp.ack;
  fin.ack = rsp.seq + uint32_t(rsp.data.size());
  fin.flags = 0x11;
  put(ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, fin), 0x1c4a)), 700);

  // Ping, and an unreachable port.
  put(ether(b, a, 0x0800, ipv4(ha, hb, 1, icmp_echo(8, 0x4d2, 1, text("velmora ping payload 0123456789")), 0x1c4b)),
      350000);
  put(ether(a, b, 0x0800,
            ipv4(hb, ha, 1, icmp_echo(0, 0x4d2, 1, text("velmora ping payload 0123456789")), 0x0a03, 64)),
      180);
  Bytes probe = ipv4(ha, hb, 17, udp4(ha, hb, 51002, 33434, Bytes(12, 0)), 0x1c4c, 1);
  put(ether(b, a, 0x0800, probe), 1000);
  put(ether(a, b, 0x0800, ipv4(hb, ha, 1, icmp_unreach(probe), 0x0a04, 64)), 300);

  // IPv6: a multicast DNS query and a TCP segment.
  Ip6 s6 = ip6(1), d6 = ip6(0x20);
  put(ether(b, a, 0x86dd, ipv6(s6, d6, 17, udp6(s6, d6, 5353, 5353, Bytes(q.begin(), q.end())))), 90000);
  Tcp t6 = tcp_fields(51003, 443, 77, 0, 0x02);
  t6.opts = {2, 4, 0x05, 0xa0};
  put(ether(b, a, 0x86dd, ipv6(s6, d6, 6, tcp6(s6, d6, t6))), 400);

  // A large frame cut by the snapshot length.
  Tcp big = rsp;
  big.seq = 9000;
  big.data = Bytes(1448, 'x');
  Bytes bf = ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, big), 0x0a05, 64));
  int64_t wire = int64_t(bf.size());
  bf.resize(200);
  put(bf, 5000, wire);

  Trailer tr;
  tr.duration = (us + 50000) / 1000000 + 1;
  tr.frames = frames;
  tr.bytes = bytes;
  tr.rejected = 0;
  us += 50000;
  w.close(0, 4, t0 + us / 1000000, us % 1000000, tr);
  return w.save(path) ? 0 : 1;
}

static int mixed(long n, const char *logpath, const char *pcappath, Bytes (*gen)(uint64_t)) {
  const int64_t t0 = 1765180800;
  FILE *lf = fopen(logpath, "wb");
  FILE *pf = fopen(pcappath, "wb");
  if (!lf || !pf) return 1;
  LogWriter w;
  w.loghdr(1);
  Session s;
  s.start = t0;
  w.session(s);
  PcapWriter pw(pf);
  int64_t bytes = 0;
  for (long i = 0; i < n; i++) {
    Bytes f = gen(uint64_t(i));
    int64_t us = int64_t(i) * 37;
    w.frame(0, t0 + us / 1000000, us % 1000000, f);
    pw.frame(t0 + us / 1000000, us % 1000000, f);
    bytes += int64_t(f.size());
    if (w.out.size() > (1u << 20)) {
      fwrite(w.out.data(), 1, w.out.size(), lf);
      w.out.clear();
    }
  }
  Trailer tr;
  tr.duration = int64_t(n) * 37 / 1000000 + 1;
  tr.frames = n;
  tr.bytes = bytes;
  w.close(0, 4, t0 + tr.duration, 0, tr);
  fwrite(w.out.data(), 1, w.out.size(), lf);
  return (fclose(lf) | fclose(pf)) ? 1 : 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "sample") == 0) return sample(argv[2]);
  if ((argc == 5 || argc == 6) && strcmp(argv[1], "mixed") == 0) {
    const char *mix = argc == 6 ? argv[5] : "mixed";
    Bytes (*gen)(uint64_t) = strcmp(mix, "mixed") == 0 ? mixed_frame
                             : strcmp(mix, "web") == 0 ? web_frame
                             : strcmp(mix, "small") == 0 ? small_frame
                             : strcmp(mix, "app") == 0 ? app_frame
                                                       : nullptr;
    if (gen) return mixed(atol(argv[2]), argv[3], argv[4], gen);
  }
  if (argc == 5 && strcmp(argv[1], "app") == 0) return mixed(atol(argv[2]), argv[3], argv[4], app_frame);
  fprintf(stderr, "usage: %s sample OUT.kav | %s {mixed|app} N OUT.kav OUT.pcap [mixed|web|small|app]\n", argv[0],
          argv[0]);
  return 2;
}
