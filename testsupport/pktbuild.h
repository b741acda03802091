// Packet builders shared by every test, fuzzer seed, sample and benchmark
// generator: byte-order writers, the Internet checksum, address helpers and
// one builder per header. Header-only and free of the suite's libraries, so
// the stand-alone generators compile it with nothing but -I testsupport.
// Builders return header plus payload unless named _hdr; checksums are right
// unless a caller asks for none or for a damaged one (to test the verdicts).
#ifndef VELMORA_PKTBUILD_H
#define VELMORA_PKTBUILD_H

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace pkt {

using Bytes = std::vector<uint8_t>;

// ---- bytes ------------------------------------------------------------------

inline void put_be(Bytes &b, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; i++) b[off + size_t(i)] = uint8_t(v >> (8 * (n - 1 - i)));
}
inline void put_le(Bytes &b, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; i++) b[off + size_t(i)] = uint8_t(v >> (8 * i));
}
inline void put16(Bytes &b, size_t off, unsigned v) { put_be(b, off, v, 2); }
inline void put32(Bytes &b, size_t off, uint32_t v) { put_be(b, off, v, 4); }
// Appending forms, for images written field after field.
inline void add_be(Bytes &b, uint64_t v, int n) {
  b.resize(b.size() + size_t(n));
  put_be(b, b.size() - size_t(n), v, n);
}
inline void add_le(Bytes &b, uint64_t v, int n) {
  b.resize(b.size() + size_t(n));
  put_le(b, b.size() - size_t(n), v, n);
}
inline void append(Bytes &b, const Bytes &x) { b.insert(b.end(), x.begin(), x.end()); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) append(out, p);
  return out;
}
inline Bytes pad(Bytes b, size_t to) {
  if (b.size() < to) b.resize(to, 0);
  return b;
}
inline Bytes text(const char *s) { return Bytes(s, s + strlen(s)); }
// "45 00 00 1c ...": hex digits in pairs, anything else ignored.
inline Bytes hexbytes(const char *hex) {
  Bytes b;
  int hi = -1;
  for (const char *p = hex; *p; p++) {
    int v;
    if (*p >= '0' && *p <= '9')
      v = *p - '0';
    else if (*p >= 'a' && *p <= 'f')
      v = *p - 'a' + 10;
    else if (*p >= 'A' && *p <= 'F')
      v = *p - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      b.push_back(uint8_t(hi * 16 + v));
      hi = -1;
    }
  }
  return b;
}

// ---- Internet checksum ------------------------------------------------------

// Sum of 16-bit big-endian words (an odd last octet padded), added to acc.
inline uint64_t sum16(const uint8_t *p, size_t n, uint64_t acc = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) acc += uint32_t(p[i]) << 8 | p[i + 1];
  if (n & 1) acc += uint32_t(p[n - 1]) << 8;
  return acc;
}
// The checksum field for a sum: folded to 16 bits and complemented.
inline uint16_t fold(uint64_t acc) {
  while (acc >> 16) acc = (acc & 0xffff) + (acc >> 16);
  return uint16_t(~acc & 0xffff);
}
// Pseudo-header sums: addresses, protocol and upper-layer length.
inline uint64_t pseudo4(uint32_t src, uint32_t dst, uint8_t proto, size_t len) {
  return (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + proto + uint64_t(len);
}
inline uint64_t pseudo6(const uint8_t *src, const uint8_t *dst, uint8_t nh, size_t len) {
  return sum16(dst, 16, sum16(src, 16)) + uint64_t(len >> 16) + uint64_t(len & 0xffff) + nh;
}
// Writes the checksum of m (seeded with a pseudo-header sum) at off; a UDP
// sum of zero goes out as all ones, since zero there means "none sent".
// A non-zero damage is xor-ed in afterwards, for a wrong sum on purpose.
inline void set_sum(Bytes &m, size_t off, uint64_t seed = 0, uint16_t damage = 0, bool udp = false) {
  put16(m, off, 0);
  uint16_t c = fold(sum16(m.data(), m.size(), seed));
  if (udp && c == 0) c = 0xffff;
  put16(m, off, uint16_t(c ^ damage));
}

// ---- addresses --------------------------------------------------------------

struct Mac {
  uint8_t a[6];
};
inline Mac mac(uint8_t last, uint8_t first = 0x02) { return Mac{{first, 0x00, 0x5e, 0x10, 0x20, last}}; }
inline Mac bcast() { return Mac{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}; }
inline Mac mac_of(const Bytes &b) {
  Mac m{};
  std::copy(b.begin(), b.begin() + long(b.size() < 6 ? b.size() : 6), m.a);
  return m;
}
// "aa:bb:cc:dd:ee:ff"
inline Mac mac_text(const char *txt) {
  unsigned v[6] = {0};
  sscanf(txt, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  Mac m{};
  for (int i = 0; i < 6; i++) m.a[i] = uint8_t(v[i]);
  return m;
}

// IPv4 addresses in host order; written in network order by the builders.
inline uint32_t ip4(int a, int b, int c, int d) {
  return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}
inline uint32_t ip4_text(const char *txt) {
  uint8_t a[4] = {0, 0, 0, 0};
  inet_pton(AF_INET, txt, a);
  return ip4(a[0], a[1], a[2], a[3]);
}

struct Ip6 {
  uint8_t a[16];
};
inline Ip6 ip6(uint16_t last) {  // fd00::last
  return Ip6{{0xfd, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(last >> 8), uint8_t(last)}};
}
inline Ip6 ip6_text(const char *txt) {
  Ip6 r{};
  inet_pton(AF_INET6, txt, r.a);
  return r;
}

// ---- link layer -------------------------------------------------------------

// Ethernet II header; a type up to 1500 is an 802.3 length.
inline Bytes eth_hdr(const Mac &dst, const Mac &src, unsigned type) {
  Bytes f(14);
  memcpy(&f[0], dst.a, 6);
  memcpy(&f[6], src.a, 6);
  put16(f, 12, type);
  return f;
}
// A whole frame, padded to the Ethernet minimum (without the FCS).
inline Bytes ether(const Mac &dst, const Mac &src, uint16_t type, const Bytes &payload, size_t pad_to = 60) {
  return pad(cat({eth_hdr(dst, src, type), payload}), pad_to);
}
inline Bytes llc(uint8_t dsap, uint8_t ssap, uint8_t ctl) { return {dsap, ssap, ctl}; }
inline Bytes snap(uint32_t org, unsigned type) {
  Bytes b(5);
  put_be(b, 0, org, 3);
  put16(b, 3, type);
  return b;
}
// An 802.1Q tag: the tag control field (priority, DEI, VLAN id) and the type.
inline Bytes vlan_tag(unsigned tci, unsigned type) {
  Bytes b(4);
  put16(b, 0, tci);
  put16(b, 2, type);
  return b;
}
// One MPLS label-stack entry.
inline Bytes mpls_entry(unsigned label, unsigned tc, bool bottom, unsigned ttl) {
  Bytes b(4);
  put32(b, 0, (label << 12) | (tc << 9) | (bottom ? 0x100u : 0u) | ttl);
  return b;
}

inline Bytes arp(uint16_t op, const Mac &sha, uint32_t spa, const Mac &tha, uint32_t tpa) {
  Bytes a(28);
  put16(a, 0, 1);
  put16(a, 2, 0x0800);
  a[4] = 6;
  a[5] = 4;
  put16(a, 6, op);
  memcpy(&a[8], sha.a, 6);
  put32(a, 14, spa);
  memcpy(&a[18], tha.a, 6);
  put32(a, 24, tpa);
  return a;
}

// ---- network layer ----------------------------------------------------------

struct Ip4Hdr {
  uint32_t src = 0, dst = 0;
  uint8_t proto = 0;
  uint16_t id = 1;
  uint8_t ttl = 64;
  uint16_t frag = 0x4000;  // flags and fragment offset: don't fragment
  Bytes opts;              // not padded: a length off the 4-octet grid stays so
  bool sum = true;         // false: the checksum field left zero
  uint16_t damage = 0;     // xor-ed into the checksum
};

inline Bytes ipv4_hdr(const Ip4Hdr &ip, size_t payload_len) {
  size_t hl = 20 + ip.opts.size();
  Bytes h(hl);
  h[0] = uint8_t(0x40 | (hl / 4));
  put16(h, 2, unsigned(hl + payload_len));
  put16(h, 4, ip.id);
  put16(h, 6, ip.frag);
  h[8] = ip.ttl;
  h[9] = ip.proto;
  put32(h, 12, ip.src);
  put32(h, 16, ip.dst);
  std::copy(ip.opts.begin(), ip.opts.end(), h.begin() + 20);
  if (ip.sum) set_sum(h, 10, 0, ip.damage);
  return h;
}
inline Bytes ipv4(const Ip4Hdr &ip, const Bytes &payload) { return cat({ipv4_hdr(ip, payload.size()), payload}); }
inline Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes &l4, uint16_t id = 1, uint8_t ttl = 64,
                  bool good_sum = true) {
  return ipv4(Ip4Hdr{src, dst, proto, id, ttl, 0x4000, {}, true, uint16_t(good_sum ? 0 : 0x5a5a)}, l4);
}

inline Bytes ipv6_hdr(const Ip6 &src, const Ip6 &dst, uint8_t nh, size_t payload_len, uint8_t hops = 64) {
  Bytes h(40);
  h[0] = 0x60;
  put16(h, 4, unsigned(payload_len));
  h[6] = nh;
  h[7] = hops;
  memcpy(&h[8], src.a, 16);
  memcpy(&h[24], dst.a, 16);
  return h;
}
inline Bytes ipv6(const Ip6 &src, const Ip6 &dst, uint8_t nh, const Bytes &l4, uint8_t hops = 64) {
  return cat({ipv6_hdr(src, dst, nh, l4.size(), hops), l4});
}

// ---- transport layer --------------------------------------------------------

enum : uint8_t { TCP_FIN = 0x01, TCP_SYN = 0x02, TCP_RST = 0x04, TCP_PSH = 0x08, TCP_ACK = 0x10, TCP_URG = 0x20 };

struct Tcp {
  uint16_t sport = 1024, dport = 80;
  uint32_t seq = 1, ack = 0;
  uint8_t flags = TCP_SYN;
  uint16_t win = 65535;
  Bytes opts;  // padded with zeros to the 4-octet grid
  Bytes data;
};

// A segment's header fields; window 65535, no options, no data.
inline Tcp tcp_fields(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags) {
  return Tcp{sport, dport, seq, ack, flags, 65535, {}, {}};
}

// The segment with its checksum field zero.
inline Bytes tcp_seg(const Tcp &t) {
  size_t hl = 20 + ((t.opts.size() + 3) & ~size_t(3));
  Bytes s(hl);
  put16(s, 0, t.sport);
  put16(s, 2, t.dport);
  put32(s, 4, t.seq);
  put32(s, 8, t.ack);
  s[12] = uint8_t((hl / 4) << 4);
  s[13] = t.flags;
  put16(s, 14, t.win);
  std::copy(t.opts.begin(), t.opts.end(), s.begin() + 20);
  append(s, t.data);
  return s;
}
inline Bytes tcp4(uint32_t src, uint32_t dst, const Tcp &t, bool good_sum = true) {
  Bytes s = tcp_seg(t);
  set_sum(s, 16, pseudo4(src, dst, 6, s.size()), good_sum ? 0 : 0x1111);
  return s;
}
inline Bytes tcp6(const Ip6 &src, const Ip6 &dst, const Tcp &t) {
  Bytes s = tcp_seg(t);
  set_sum(s, 16, pseudo6(src.a, dst.a, 6, s.size()));
  return s;
}

// The datagram with its checksum field zero ("none sent").
inline Bytes udp(unsigned sport, unsigned dport, const Bytes &data = {}) {
  Bytes u(8);
  put16(u, 0, sport);
  put16(u, 2, dport);
  put16(u, 4, unsigned(8 + data.size()));
  append(u, data);
  return u;
}
inline Bytes udp4(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &data,
                  bool good_sum = true) {
  Bytes u = udp(sport, dport, data);
  set_sum(u, 6, pseudo4(src, dst, 17, u.size()), good_sum ? 0 : 0x2222, true);
  return u;
}
inline Bytes udp6(const Ip6 &src, const Ip6 &dst, uint16_t sport, uint16_t dport, const Bytes &data) {
  Bytes u = udp(sport, dport, data);
  set_sum(u, 6, pseudo6(src.a, dst.a, 17, u.size()), 0, true);
  return u;
}

// ICMP message: type, code, checksum, then the body (the checksum plain, or
// the field left zero).
inline Bytes icmp_msg(uint8_t type, uint8_t code, const Bytes &body, bool sum = true) {
  Bytes m = cat({Bytes{type, code, 0, 0}, body});
  if (sum) set_sum(m, 2);
  return m;
}
// The same with the four octets after the checksum given as a number.
inline Bytes icmp(uint8_t type, uint8_t code, uint32_t rest, const Bytes &body, bool sum = true) {
  Bytes r(4);
  put32(r, 0, rest);
  return icmp_msg(type, code, cat({r, body}), sum);
}
inline Bytes icmp_echo(uint8_t type, uint16_t id, uint16_t seq, const Bytes &data) {
  return icmp(type, 0, uint32_t(id) << 16 | seq, data);
}
// Destination unreachable (port) quoting the first 28 octets of a datagram.
inline Bytes icmp_unreach(const Bytes &orig_ip) {
  return icmp(3, 3, 0, Bytes(orig_ip.begin(), orig_ip.begin() + long(orig_ip.size() < 28 ? orig_ip.size() : 28)));
}
// ICMPv6 message (body: all after the checksum), its sum over the pseudo-header.
inline Bytes icmp6(uint8_t type, uint8_t code, const Bytes &body, const Ip6 &src, const Ip6 &dst,
                   uint16_t damage = 0) {
  Bytes m = icmp_msg(type, code, body, false);
  set_sum(m, 2, pseudo6(src.a, dst.a, 58, m.size()), damage);
  return m;
}

// ---- application layer ------------------------------------------------------

// A domain name in DNS label form, appended to m.
inline void dns_name(Bytes &m, const char *name) {
  const char *p = name;
  while (*p) {
    const char *dot = strchr(p, '.');
    size_t n = dot ? size_t(dot - p) : strlen(p);
    m.push_back(uint8_t(n));
    m.insert(m.end(), p, p + n);
    p += n;
    if (*p == '.') p++;
  }
  m.push_back(0);
}

}  // namespace pkt

#endif
