// Frame builders for the matcher tests, the fuzzer seeds and the benchmark:
// short forms of the pktbuild.h builders with the fixed addresses and the
// zero checksums these callers want (the matcher never looks at a sum).
#ifndef KAV_FRAMES_H
#define KAV_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "pktbuild.h"

namespace frames {

using pkt::Bytes;
using pkt::cat;
using pkt::llc;
using pkt::pad;
using pkt::put16;
using pkt::snap;
using pkt::udp;

inline Bytes mac(uint8_t last, uint8_t first = 0x02) { return {first, 0x11, 0x22, 0x33, 0x44, last}; }

inline Bytes eth(const Bytes &dst, const Bytes &src, unsigned type) {
  return pkt::eth_hdr(pkt::mac_of(dst), pkt::mac_of(src), type);
}

// 802.3 header whose length field covers the given payload length.
inline Bytes ieee8023(const Bytes &dst, const Bytes &src, unsigned length) { return eth(dst, src, length); }

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
  uint16_t frag = uint16_t((ip.more_frags ? 0x2000 : 0) | ip.frag_offset);
  return pkt::ipv4(pkt::Ip4Hdr{ip.src, ip.dst, ip.proto, 0x1234, ip.ttl, frag, ip.options, false, 0}, payload);
}

// From 2001::1 to 2001::2.
inline Bytes ipv6(uint8_t next, const Bytes &payload) {
  return pkt::ipv6(pkt::ip6_text("2001::1"), pkt::ip6_text("2001::2"), next, payload);
}

enum {
  FIN = pkt::TCP_FIN,
  SYN = pkt::TCP_SYN,
  RST = pkt::TCP_RST,
  PSH = pkt::TCP_PSH,
  ACK = pkt::TCP_ACK,
  URG = pkt::TCP_URG
};

// Sequence and acknowledgement numbers zero, optlen octets of NOP options.
inline Bytes tcp(unsigned sport, unsigned dport, uint8_t flags, const Bytes &payload = {}, size_t optlen = 0) {
  return pkt::tcp_seg(pkt::Tcp{uint16_t(sport), uint16_t(dport), 0, 0, flags, 65535, Bytes(optlen, 1), payload});
}

// Identifier 1, sequence 1.
inline Bytes icmp(uint8_t type, uint8_t code, const Bytes &payload = Bytes(8, 0)) {
  return pkt::icmp(type, code, 0x00010001, payload, false);
}

// From 10.1.1.1 to 10.1.1.2, hardware addresses zero.
inline Bytes arp(unsigned op) {
  return pkt::arp(uint16_t(op), pkt::Mac{}, pkt::ip4(10, 1, 1, 1), pkt::Mac{}, pkt::ip4(10, 1, 1, 2));
}

}  // namespace frames

#endif
