// Writes a pcap file of synthetic Ethernet/IPv4/UDP frames for the log
// utility benchmarks: mkpcap <file> <frames> <seed> [<start-sec> [<step-usec>]]
// Frame sizes vary from 60 to 1514 bytes; time stamps advance by about
// step-usec (jittered by the seed, so several files interleave).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capfile.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s file frames seed [start-sec [step-usec]]\n", argv[0]);
    return 2;
  }
  FILE *f = pkt::open_capture(argv[1]);
  if (!f) return 1;
  unsigned long frames = strtoul(argv[2], nullptr, 10);
  uint32_t seed = (uint32_t)strtoul(argv[3], nullptr, 10) * 2654435761u + 1;
  uint64_t t = (argc > 4 ? strtoull(argv[4], nullptr, 10) : 1700000000ull) * 1000000ull;
  uint64_t step = argc > 5 ? strtoull(argv[5], nullptr, 10) : 100;
  pkt::PcapWriter w(f);
  unsigned char frame[1514];
  for (size_t i = 0; i < sizeof frame; i++) frame[i] = (unsigned char)(i * 13 + 7);
  const unsigned char eth[14] = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 8, 0};
  memcpy(frame, eth, 14);
  for (unsigned long n = 0; n < frames; n++) {
    seed = seed * 1103515245u + 12345u;
    unsigned len = 60 + (seed >> 8) % (1514 - 60 + 1);
    unsigned ip = len - 14;
    frame[14] = 0x45;
    frame[16] = (unsigned char)(ip >> 8);
    frame[17] = (unsigned char)ip;
    frame[23] = 17;
    frame[18] = (unsigned char)(n >> 8);
    frame[19] = (unsigned char)n;
    t += step / 2 + (seed >> 4) % (step + 1);
    w.frame(int64_t(t / 1000000), int64_t(t % 1000000), pkt::Bytes(frame, frame + len));
  }
  if (fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
