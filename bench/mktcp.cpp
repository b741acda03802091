// Writes a pcap file of TCP traffic for the retransmission benchmark:
// mktcp <file> <frames> [<connections>]
// Each connection opens with SYN / SYN-ACK, then sends 64-byte data segments
// answered by ACKs. About 2% of data segments are sent twice, 1% are sent
// out of order (the next one first) and one segment in 64 is a keep-alive.
// Sequence numbers start near the analyser's printed wrap at one million.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capgen.h"

using namespace capgen;

namespace {

struct Conn {
  uint32_t client, server;
  uint16_t sport;
  uint32_t cseq, sseq;
  uint16_t id;
  int state;  // 0: SYN due, 1: SYN-ACK due, 2: established
};

Bytes segment(const Conn &c, bool from_client, uint32_t seq, uint8_t flags, size_t len, uint16_t id) {
  Tcp t = tcp_fields(from_client ? c.sport : 80, from_client ? 80 : c.sport, seq, from_client ? c.sseq : c.cseq, flags);
  t.data = Bytes(len, 0x61);
  uint32_t src = from_client ? c.client : c.server, dst = from_client ? c.server : c.client;
  return ether(from_client ? mac(2) : mac(1), from_client ? mac(1) : mac(2), 0x0800,
               ipv4(src, dst, 6, tcp4(src, dst, t), id));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s file frames [connections]\n", argv[0]);
    return 2;
  }
  FILE *f = pkt::open_capture(argv[1]);
  if (!f) return 1;
  unsigned long frames = strtoul(argv[2], nullptr, 10);
  unsigned nconn = argc > 3 ? (unsigned)strtoul(argv[3], nullptr, 10) : 256;
  if (nconn == 0) nconn = 1;
  std::vector<Conn> conns(nconn);
  for (unsigned i = 0; i < nconn; i++)
    conns[i] = Conn{ip4(10, 1, uint8_t(i >> 8), uint8_t(i)), ip4(10, 2, 0, 1), uint16_t(20000 + i),
                    990000u + i * 7919u, 3990000u + i * 104729u, uint16_t(i * 97), 0};
  PcapWriter w(f);
  uint64_t t = 1700000000ull * 1000000ull;
  uint32_t rnd = 12345;
  unsigned long n = 0;
  auto put = [&](const Bytes &fr) {
    t += 20;
    w.frame(int64_t(t / 1000000), int64_t(t % 1000000), fr);
    n++;
  };
  const size_t len = 64;
  while (n < frames) {
    rnd = rnd * 1103515245u + 12345u;
    Conn &c = conns[(rnd >> 8) % nconn];
    unsigned roll = (rnd >> 16) % 100;
    if (c.state == 0) {
      put(segment(c, true, c.cseq++, 0x02, 0, c.id++));
      c.state = 1;
    } else if (c.state == 1) {
      put(segment(c, false, c.sseq++, 0x12, 0, c.id++));
      c.state = 2;
    } else if (roll < 2) {  // a data segment and its retransmission
      put(segment(c, true, c.cseq, 0x18, len, c.id++));
      put(segment(c, true, c.cseq, 0x18, len, c.id++));
      c.cseq += len;
    } else if (roll < 3) {  // two data segments, the second one first
      put(segment(c, true, c.cseq + len, 0x18, len, c.id++));
      put(segment(c, true, c.cseq, 0x18, len, c.id++));
      c.cseq += 2 * len;
    } else if ((rnd >> 4) % 64 == 0) {  // keep-alive: one byte behind, no data
      put(segment(c, true, c.cseq - 1, 0x10, 0, c.id++));
    } else if (roll < 60) {
      put(segment(c, true, c.cseq, 0x18, len, c.id++));
      c.cseq += len;
    } else {
      put(segment(c, false, c.sseq, 0x10, 0, c.id++));
    }
  }
  if (fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
