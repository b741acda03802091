// Frame builders for the matcher tests, the fuzzer seeds and the benchmark.
#ifndef KAV_FRAMES_H
#define KAV_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &b, size_t at, unsigned v) {
  b[at] = (uint8_t)(v >> 8);
  b[at + 1] = (uint8_t)v;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes mac(uint8_t last, uint8_t first = 0x02) { return {first, 0x11, 0x22, 0x33, 0x44, last}; }

inline Bytes eth(const Bytes &dst, const Bytes &src, unsigned type) {
  Bytes b = cat({dst, src, {0, 0}});
  put16(b, 12, type);
  return b;
}

// 802.3 header whose length field covers the given payload length.
inline Bytes ieee8023(const Bytes &dst, const Bytes &src, unsigned length) {
  Bytes b = cat({dst, src, {0, 0}});
  put16(b, 12, length);
  return b;
}

inline Bytes llc(uint8_t dsap, uint8_t ssap, uint8_t ctl) { return {dsap, ssap, ctl}; }

inline Bytes snap(uint32_t org, unsigned type) {
  return {(uint8_t)(org >> 16), (uint8_t)(org >> 8), (uint8_t)org, (uint8_t)(type >> 8), (uint8_t)type};
}

struct Ip4 {
  uint32_t src = 0x0A010101;  // 10.1.1.1
  uint32_t dst = 0x0A010102;  // 10.1.1.2
  uint8_t proto = 6;
  Bytes options;
  bool more_frags = false;
  unsigned frag_offset = 0;  // in 8-byte units
  uint8_t ttl = 64;
};

inline Bytes ipv4(const Ip4 &ip, const Bytes &payload) {
  size_t hlen = 20 + ip.options.size();
  Bytes b(hlen, 0);
  b[0] = (uint8_t)(0x40 | hlen / 4);
  put16(b, 2, (unsigned)(hlen + payload.size()));
  put16(b, 4, 0x1234);
  put16(b, 6, (ip.more_frags ? 0x2000 : 0) | ip.frag_offset);
  b[8] = ip.ttl;
  b[9] = ip.proto;
  for (int i = 0; i < 4; i++) {
    b[12 + i] = (uint8_t)(ip.src >> (24 - 8 * i));
    b[16 + i] = (uint8_t)(ip.dst >> (24 - 8 * i));
  }
  for (size_t i = 0; i < ip.options.size(); i++) b[20 + i] = ip.options[i];
  return cat({b, payload});
}

inline Bytes ipv6(uint8_t next, const Bytes &payload) {
  Bytes b(40, 0);
  b[0] = 0x60;
  put16(b, 4, (unsigned)payload.size());
  b[6] = next;
  b[7] = 64;
  b[8] = 0x20, b[9] = 0x01, b[23] = 1;
  b[24] = 0x20, b[25] = 0x01, b[39] = 2;
  return cat({b, payload});
}

enum { FIN = 0x01, SYN = 0x02, RST = 0x04, PSH = 0x08, ACK = 0x10, URG = 0x20 };

inline Bytes tcp(unsigned sport, unsigned dport, uint8_t flags, const Bytes &payload = {}, size_t optlen = 0) {
  Bytes b(20 + optlen, 0);
  put16(b, 0, sport);
  put16(b, 2, dport);
  b[12] = (uint8_t)(((20 + optlen) / 4) << 4);
  b[13] = flags;
  put16(b, 14, 65535);
  for (size_t i = 0; i < optlen; i++) b[20 + i] = 1;  // NOPs
  return cat({b, payload});
}

inline Bytes udp(unsigned sport, unsigned dport, const Bytes &payload = {}) {
  Bytes b(8, 0);
  put16(b, 0, sport);
  put16(b, 2, dport);
  put16(b, 4, (unsigned)(8 + payload.size()));
  return cat({b, payload});
}

inline Bytes icmp(uint8_t type, uint8_t code, const Bytes &payload = Bytes(8, 0)) {
  Bytes b = {type, code, 0, 0, 0, 1, 0, 1};
  return cat({b, payload});
}

inline Bytes arp(unsigned op) {
  Bytes b = {0, 1, 0x08, 0x00, 6, 4, 0, (uint8_t)op};
  b.resize(28, 0);
  b[14] = 10, b[15] = 1, b[16] = 1, b[17] = 1;
  b[24] = 10, b[25] = 1, b[26] = 1, b[27] = 2;
  return b;
}

inline Bytes pad(Bytes b, size_t to) {
  if (b.size() < to) b.resize(to, 0);
  return b;
}

}  // namespace frames

#endif
