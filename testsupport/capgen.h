// Capture generator: builds link-layer frames (Ethernet II carrying IPv4,
// IPv6, ARP, TCP, UDP, ICMP) and writes them as a kavtap log or as a pcap file.
// Header-only so the sample generator, the benchmark and the analyser's tests
// share one writer that does not depend on the library it helps to test.
#ifndef VELMORA_CAPGEN_H
#define VELMORA_CAPGEN_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace capgen {

using Bytes = std::vector<uint8_t>;

inline void put_le(Bytes &b, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; i++) b[off + i] = uint8_t(v >> (8 * i));
}
inline void put_be(Bytes &b, size_t off, uint64_t v, int n) {
  for (int i = 0; i < n; i++) b[off + i] = uint8_t(v >> (8 * (n - 1 - i)));
}

// ---- frames ---------------------------------------------------------------

struct Mac {
  uint8_t a[6];
};
inline Mac mac(uint8_t last, uint8_t first = 0x02) { return Mac{{first, 0x00, 0x5e, 0x10, 0x20, last}}; }
inline Mac bcast() { return Mac{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}}; }

inline uint32_t ip4(int a, int b, int c, int d) {
  return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

inline uint32_t sum16(const uint8_t *p, size_t n, uint32_t acc = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) acc += uint32_t(p[i]) << 8 | p[i + 1];
  if (n & 1) acc += uint32_t(p[n - 1]) << 8;
  return acc;
}
inline uint16_t fold(uint32_t acc) {
  while (acc >> 16) acc = (acc & 0xffff) + (acc >> 16);
  return uint16_t(~acc & 0xffff);
}

inline Bytes ether(const Mac &dst, const Mac &src, uint16_t type, const Bytes &payload, size_t pad_to = 60) {
  Bytes f(14);
  memcpy(&f[0], dst.a, 6);
  memcpy(&f[6], src.a, 6);
  put_be(f, 12, type, 2);
  f.insert(f.end(), payload.begin(), payload.end());
  if (f.size() < pad_to) f.resize(pad_to, 0);
  return f;
}

inline Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes &l4, uint16_t id = 1, uint8_t ttl = 64,
                  bool good_sum = true) {
  Bytes h(20);
  h[0] = 0x45;
  put_be(h, 2, 20 + l4.size(), 2);
  put_be(h, 4, id, 2);
  put_be(h, 6, 0x4000, 2);  // don't fragment
  h[8] = ttl;
  h[9] = proto;
  put_be(h, 12, src, 4);
  put_be(h, 16, dst, 4);
  uint16_t s = fold(sum16(h.data(), 20));
  put_be(h, 10, good_sum ? s : uint16_t(s ^ 0x5a5a), 2);
  h.insert(h.end(), l4.begin(), l4.end());
  return h;
}

// Pseudo-header sum for IPv4 (addresses, protocol, upper-layer length).
inline uint32_t pseudo4(uint32_t src, uint32_t dst, uint8_t proto, size_t len) {
  return (src >> 16) + (src & 0xffff) + (dst >> 16) + (dst & 0xffff) + proto + uint32_t(len);
}
inline uint32_t pseudo6(const uint8_t *src, const uint8_t *dst, uint8_t nh, size_t len) {
  uint32_t acc = sum16(src, 16);
  acc = sum16(dst, 16, acc);
  return acc + uint32_t(len >> 16) + uint32_t(len & 0xffff) + nh;
}

struct Tcp {
  uint16_t sport = 1024, dport = 80;
  uint32_t seq = 1, ack = 0;
  uint8_t flags = 0x02;  // SYN
  uint16_t win = 65535;
  Bytes opts;
  Bytes data;
};

inline Bytes tcp_seg(const Tcp &t) {
  size_t hl = 20 + ((t.opts.size() + 3) & ~size_t(3));
  Bytes s(hl);
  put_be(s, 0, t.sport, 2);
  put_be(s, 2, t.dport, 2);
  put_be(s, 4, t.seq, 4);
  put_be(s, 8, t.ack, 4);
  s[12] = uint8_t((hl / 4) << 4);
  s[13] = t.flags;
  put_be(s, 14, t.win, 2);
  if (!t.opts.empty()) memcpy(&s[20], t.opts.data(), t.opts.size());
  s.insert(s.end(), t.data.begin(), t.data.end());
  return s;
}

inline Bytes tcp4(uint32_t src, uint32_t dst, const Tcp &t, bool good_sum = true) {
  Bytes s = tcp_seg(t);
  uint16_t c = fold(sum16(s.data(), s.size(), pseudo4(src, dst, 6, s.size())));
  put_be(s, 16, good_sum ? c : uint16_t(c ^ 0x1111), 2);
  return s;
}

inline Bytes udp4(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const Bytes &data,
                  bool good_sum = true) {
  Bytes u(8);
  put_be(u, 0, sport, 2);
  put_be(u, 2, dport, 2);
  put_be(u, 4, 8 + data.size(), 2);
  u.insert(u.end(), data.begin(), data.end());
  uint16_t c = fold(sum16(u.data(), u.size(), pseudo4(src, dst, 17, u.size())));
  if (c == 0) c = 0xffff;
  put_be(u, 6, good_sum ? c : uint16_t(c ^ 0x2222), 2);
  return u;
}

inline Bytes icmp_echo(uint8_t type, uint16_t id, uint16_t seq, const Bytes &data) {
  Bytes m(8);
  m[0] = type;
  put_be(m, 4, id, 2);
  put_be(m, 6, seq, 2);
  m.insert(m.end(), data.begin(), data.end());
  put_be(m, 2, fold(sum16(m.data(), m.size())), 2);
  return m;
}

// ICMP destination unreachable (port) quoting the first bytes of a datagram.
inline Bytes icmp_unreach(const Bytes &orig_ip) {
  Bytes m(8);
  m[0] = 3;
  m[1] = 3;
  size_t n = orig_ip.size() < 28 ? orig_ip.size() : 28;
  m.insert(m.end(), orig_ip.begin(), orig_ip.begin() + long(n));
  put_be(m, 2, fold(sum16(m.data(), m.size())), 2);
  return m;
}

inline Bytes arp(uint16_t op, const Mac &sha, uint32_t spa, const Mac &tha, uint32_t tpa) {
  Bytes a(28);
  put_be(a, 0, 1, 2);
  put_be(a, 2, 0x0800, 2);
  a[4] = 6;
  a[5] = 4;
  put_be(a, 6, op, 2);
  memcpy(&a[8], sha.a, 6);
  put_be(a, 14, spa, 4);
  memcpy(&a[18], tha.a, 6);
  put_be(a, 24, tpa, 4);
  return a;
}

struct Ip6 {
  uint8_t a[16];
};
inline Ip6 ip6(uint16_t last) {
  Ip6 r{{0xfd, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(last >> 8), uint8_t(last)}};
  return r;
}

inline Bytes ipv6(const Ip6 &src, const Ip6 &dst, uint8_t nh, const Bytes &l4, uint8_t hops = 64) {
  Bytes h(40);
  h[0] = 0x60;
  put_be(h, 4, l4.size(), 2);
  h[6] = nh;
  h[7] = hops;
  memcpy(&h[8], src.a, 16);
  memcpy(&h[24], dst.a, 16);
  h.insert(h.end(), l4.begin(), l4.end());
  return h;
}

inline Bytes udp6(const Ip6 &src, const Ip6 &dst, uint16_t sport, uint16_t dport, const Bytes &data) {
  Bytes u(8);
  put_be(u, 0, sport, 2);
  put_be(u, 2, dport, 2);
  put_be(u, 4, 8 + data.size(), 2);
  u.insert(u.end(), data.begin(), data.end());
  uint16_t c = fold(sum16(u.data(), u.size(), pseudo6(src.a, dst.a, 17, u.size())));
  if (c == 0) c = 0xffff;
  put_be(u, 6, c, 2);
  return u;
}

inline Bytes tcp6(const Ip6 &src, const Ip6 &dst, const Tcp &t) {
  Bytes s = tcp_seg(t);
  put_be(s, 16, fold(sum16(s.data(), s.size(), pseudo6(src.a, dst.a, 6, s.size()))), 2);
  return s;
}

inline Bytes text(const char *s) { return Bytes(s, s + strlen(s)); }

// ---- kavtap log writer (little-endian) -------------------------------------

struct Session {
  std::string host = "velmora-lab";
  int64_t start = 0;
  std::string ifname = "eth0";
  uint32_t ipaddr = ip4(192, 168, 7, 1);  // host order; stored in network order
  int64_t netmask = int64_t(int32_t(0xffffff00u));
  int64_t mtu = 1500;
  int64_t snaplen = -1;
  std::string filter;  // empty: none
  int64_t capflags = 0x1 | 0x2 | (2 << 3);  // raw, promiscuous, packet sockets
  int64_t dlt = 4;
  Bytes hwaddr = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x01};
};

struct Trailer {
  int64_t duration = 0, frames = 0, bytes = 0, rejected = 0, rejbytes = 0;
};

class LogWriter {
 public:
  Bytes out;

  void loghdr(int nsessions, int major = 3, int minor = 1) {
    Bytes h(15, 0);
    memcpy(&h[0], "kavtap", 6);
    h[10] = uint8_t(major);
    h[11] = uint8_t(minor);
    h[12] = 0x34;
    h[13] = 0x12;
    h[14] = uint8_t(nsessions);
    app(h);
  }

  void session(const Session &s) {
    Bytes h(216, 0);
    memcpy(&h[0], s.host.data(), s.host.size() < 64 ? s.host.size() : 64);
    put_le(h, 72, uint64_t(s.start), 8);
    memcpy(&h[80], s.ifname.data(), s.ifname.size() < 32 ? s.ifname.size() : 32);
    put_be(h, 116, s.ipaddr, 4);
    put_le(h, 120, uint64_t(s.netmask), 8);
    put_le(h, 128, uint64_t(s.mtu), 8);
    put_le(h, 136, uint64_t(s.snaplen), 8);
    put_le(h, 144, s.filter.empty() ? 0 : s.filter.size() + 1, 8);
    put_le(h, 152, uint64_t(s.capflags), 8);
    put_le(h, 160, uint64_t(s.dlt), 8);
    size_t hl = s.hwaddr.size() < 24 ? s.hwaddr.size() : 24;
    put_le(h, 184, hl, 8);
    if (hl) memcpy(&h[192], s.hwaddr.data(), hl);
    app(h);
    if (!s.filter.empty()) out.insert(out.end(), s.filter.c_str(), s.filter.c_str() + s.filter.size() + 1);
  }

  // One event; caplen defaults to the data size, wirelen to caplen.
  void event(int ses, int type, int64_t sec, int64_t usec, const Bytes &data, int64_t wirelen = -1,
             int64_t caplen = -1) {
    Bytes h(40, 0);
    h[0] = uint8_t(ses);
    h[1] = uint8_t(type);
    put_le(h, 8, uint64_t(sec), 8);
    put_le(h, 16, uint64_t(usec), 8);
    int64_t cl = caplen < 0 ? int64_t(data.size()) : caplen;
    put_le(h, 24, uint64_t(cl), 8);
    put_le(h, 32, uint64_t(wirelen < 0 ? cl : wirelen), 8);
    app(h);
    app(data);
  }

  void frame(int ses, int64_t sec, int64_t usec, const Bytes &f, int64_t wirelen = -1) {
    event(ses, 1, sec, usec, f, wirelen);
  }

  // A closing event (type 3 or 4) followed by its trailer.
  void close(int ses, int type, int64_t sec, int64_t usec, const Trailer &t, const char *msg = nullptr) {
    Bytes d;
    if (msg) d.assign(msg, msg + strlen(msg) + 1);
    event(ses, type, sec, usec, d);
    Bytes tr(40, 0);
    put_le(tr, 0, uint64_t(t.duration), 8);
    put_le(tr, 8, uint64_t(t.frames), 8);
    put_le(tr, 16, uint64_t(t.bytes), 8);
    put_le(tr, 24, uint64_t(t.rejected), 8);
    put_le(tr, 32, uint64_t(t.rejbytes), 8);
    app(tr);
  }

  bool save(const std::string &path) const {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    return fclose(f) == 0 && ok;
  }

 private:
  void app(const Bytes &b) { out.insert(out.end(), b.begin(), b.end()); }
};

// ---- pcap writer (link type 1, microseconds) -------------------------------

class PcapWriter {
 public:
  explicit PcapWriter(FILE *f) : f_(f) {
    Bytes h(24, 0);
    put_le(h, 0, 0xa1b2c3d4u, 4);
    put_le(h, 4, 2, 2);
    put_le(h, 6, 4, 2);
    put_le(h, 16, 65535, 4);
    put_le(h, 20, 1, 4);
    fwrite(h.data(), 1, h.size(), f_);
  }
  void frame(int64_t sec, int64_t usec, const Bytes &d) {
    Bytes h(16, 0);
    put_le(h, 0, uint64_t(sec), 4);
    put_le(h, 4, uint64_t(usec), 4);
    put_le(h, 8, d.size(), 4);
    put_le(h, 12, d.size(), 4);
    fwrite(h.data(), 1, h.size(), f_);
    fwrite(d.data(), 1, d.size(), f_);
  }

 private:
  FILE *f_;
};

// ---- a mixed workload ------------------------------------------------------

// Frame number i of a repeating mix: TCP handshake/data, UDP (DNS-sized),
// ICMP echo and unreachable, ARP, IPv6 UDP and TCP.
inline Bytes mixed_frame(uint64_t i) {
  Mac a = mac(1), b = mac(2);
  uint32_t ha = ip4(192, 168, 7, 1), hb = ip4(192, 168, 7, uint8_t(2 + i % 50));
  uint16_t port = uint16_t(40000 + i % 2000);
  switch (i % 10) {
    case 0: {
      Tcp t;
      t.sport = port;
      t.dport = 80;
      t.seq = uint32_t(i * 1000);
      t.flags = 0x02;
      t.opts = {2, 4, 0x05, 0xb4, 1, 3, 3, 7, 4, 2, 1, 1};
      return ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, t), uint16_t(i)));
    }
    case 1:
    case 2: {
      Tcp t;
      t.sport = 80;
      t.dport = port;
      t.seq = uint32_t(i * 7);
      t.ack = uint32_t(i * 1000 + 1);
      t.flags = 0x18;
      t.data = Bytes(i % 3 == 0 ? 1200 : 512, uint8_t('a' + i % 26));
      return ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, t), uint16_t(i), 63));
    }
    case 3: {
      Tcp t;
      t.sport = port;
      t.dport = 80;
      t.seq = uint32_t(i * 1000 + 1);
      t.ack = uint32_t(i * 7 + 512);
      t.flags = 0x10;
      return ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, t), uint16_t(i)));
    }
    case 4: {
      Bytes q = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l',
                 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
      return ether(b, a, 0x0800, ipv4(ha, hb, 17, udp4(ha, hb, port, 53, q), uint16_t(i)));
    }
    case 5:
      return ether(b, a, 0x0800,
                   ipv4(ha, hb, 1, icmp_echo(8, 0x77, uint16_t(i), Bytes(56, 0x42)), uint16_t(i)));
    case 6:
      return ether(a, b, 0x0800,
                   ipv4(hb, ha, 1, icmp_echo(0, 0x77, uint16_t(i), Bytes(56, 0x42)), uint16_t(i), 63));
    case 7:
      return ether(bcast(), a, 0x0806, arp(1, a, ha, Mac{{0, 0, 0, 0, 0, 0}}, hb));
    case 8: {
      Ip6 s = ip6(1), d = ip6(uint16_t(2 + i % 50));
      return ether(b, a, 0x86dd, ipv6(s, d, 17, udp6(s, d, port, 5353, Bytes(40, 0x11))));
    }
    default: {
      Ip6 s = ip6(1), d = ip6(uint16_t(2 + i % 50));
      Tcp t;
      t.sport = port;
      t.dport = 443;
      t.seq = uint32_t(i);
      t.ack = 1;
      t.flags = 0x18;
      t.data = Bytes(100, 0x17);
      return ether(b, a, 0x86dd, ipv6(s, d, 6, tcp6(s, d, t)));
    }
  }
}

// A TCP segment's header fields, for the mixes below.
inline Tcp tcp_fields(uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack, uint8_t flags) {
  Tcp t;
  t.sport = sport;
  t.dport = dport;
  t.seq = seq;
  t.ack = ack;
  t.flags = flags;
  return t;
}

// Web and office traffic, frame number i of a repeating mix: mostly TCP data
// segments carrying HTTP text, DNS queries and answers over UDP, some ICMP
// echo and ARP.
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

inline Bytes web_frame(uint64_t i) {
  static const char *const hosts[] = {"www.example.com", "intranet.corp.example", "mail.example.org",
                                      "cdn.static.example.net", "files.office.example"};
  static const char *const paths[] = {"/index.html", "/css/site.css", "/api/v2/items?page=3&sort=name",
                                      "/img/logo-small.png", "/reports/2025/q4/summary.pdf"};
  Mac cl = mac(uint8_t(10 + i % 20)), gw = mac(1);
  uint32_t client = ip4(10, 20, uint8_t(i % 4), uint8_t(10 + i % 200));
  uint32_t server = ip4(172, 16, 5, uint8_t(80 + i % 8));
  uint32_t resolver = ip4(10, 20, 0, 53);
  uint16_t port = uint16_t(49152 + i % 4000);
  const char *host = hosts[i % 5];
  switch (i % 20) {
    case 0:
    case 7: {  // request
      Tcp t = tcp_fields(port, 80, uint32_t(i * 977), uint32_t(i * 131), 0x18);
      std::string r = std::string("GET ") + paths[i % 5] + " HTTP/1.1\r\nHost: " + host +
                      "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept: text/html,application/xhtml+xml\r\n"
                      "Accept-Language: en-GB,en;q=0.8\r\nConnection: keep-alive\r\n\r\n";
      t.data = Bytes(r.begin(), r.end());
      return ether(gw, cl, 0x0800, ipv4(client, server, 6, tcp4(client, server, t), uint16_t(i)));
    }
    case 1:
    case 2:
    case 3:
    case 8:
    case 9:
    case 10:
    case 14:
    case 15: {  // response header and body segments
      Tcp t = tcp_fields(80, port, uint32_t(i * 131), uint32_t(i * 977 + 200), 0x18);
      std::string r;
      if (i % 20 == 1 || i % 20 == 8)
        r = "HTTP/1.1 200 OK\r\nDate: Mon, 08 Dec 2025 08:00:00 GMT\r\nServer: webserver\r\n"
            "Content-Type: text/html; charset=utf-8\r\nContent-Length: 5120\r\nCache-Control: max-age=600\r\n\r\n";
      size_t body = (i % 3 == 0) ? 1400 : (i % 3 == 1) ? 700 : 260;
      static const char lorem[] =
          "<p>Quarterly figures for the office network are attached; please review the summary "
          "and send comments to the operations team before Friday.</p>\n";
      while (r.size() < body) r += lorem;
      r.resize(body);
      t.data = Bytes(r.begin(), r.end());
      return ether(cl, gw, 0x0800, ipv4(server, client, 6, tcp4(server, client, t), uint16_t(i), 60));
    }
    case 4:
    case 11:
    case 16: {  // acknowledgements
      Tcp t = tcp_fields(port, 80, uint32_t(i * 977 + 200), uint32_t(i * 131 + 1400), 0x10);
      return ether(gw, cl, 0x0800, ipv4(client, server, 6, tcp4(client, server, t), uint16_t(i)));
    }
    case 5:
    case 12: {  // DNS query
      Bytes q = {uint8_t(i >> 8), uint8_t(i), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
      dns_name(q, host);
      q.insert(q.end(), {0, 1, 0, 1});
      return ether(gw, cl, 0x0800, ipv4(client, resolver, 17, udp4(client, resolver, port, 53, q), uint16_t(i)));
    }
    case 6:
    case 13: {  // DNS answer: the question and one A record
      Bytes a = {uint8_t(i >> 8), uint8_t(i), 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
      dns_name(a, host);
      a.insert(a.end(), {0, 1, 0, 1, 0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0x0e, 0x10, 0, 4, 172, 16, 5,
                         uint8_t(80 + i % 8)});
      return ether(cl, gw, 0x0800, ipv4(resolver, client, 17, udp4(resolver, client, 53, port, a), uint16_t(i), 63));
    }
    case 17:
      return ether(gw, cl, 0x0800,
                   ipv4(client, server, 1, icmp_echo(8, 0x1d, uint16_t(i), Bytes(32, 0x61)), uint16_t(i)));
    case 18:
      return ether(cl, gw, 0x0800,
                   ipv4(server, client, 1, icmp_echo(0, 0x1d, uint16_t(i), Bytes(32, 0x61)), uint16_t(i), 60));
    default:
      return ether(bcast(), cl, 0x0806, arp(1, cl, client, Mac{{0, 0, 0, 0, 0, 0}}, resolver));
  }
}

// Small frames, frame number i of a repeating mix: mostly 60-octet TCP
// acknowledgements and short UDP datagrams (padded to the Ethernet minimum).
inline Bytes small_frame(uint64_t i) {
  Mac a = mac(3), b = mac(4);
  uint32_t ha = ip4(10, 1, 1, uint8_t(1 + i % 100)), hb = ip4(10, 1, 2, uint8_t(1 + i % 30));
  uint16_t port = uint16_t(32768 + i % 10000);
  switch (i % 8) {
    case 5:
    case 6: {
      static const uint16_t dports[] = {53, 123, 161, 514, 5060};
      Bytes d(6 + i % 12, uint8_t(i));
      return ether(b, a, 0x0800, ipv4(ha, hb, 17, udp4(ha, hb, port, dports[i % 5], d), uint16_t(i)));
    }
    case 7:
      if (i % 64 == 7) return ether(bcast(), a, 0x0806, arp(1, a, ha, Mac{{0, 0, 0, 0, 0, 0}}, hb));
      [[fallthrough]];
    default: {
      bool up = i % 2;
      Tcp t = tcp_fields(up ? port : 443, up ? 443 : port, uint32_t(i * 2654435761u), uint32_t(i * 40503u),
                         i % 16 == 3 ? 0x18 : 0x10);
      if (t.flags == 0x18) t.data = Bytes(6, 0x30);
      t.win = uint16_t(8192 + i % 50000);
      return up ? ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, t), uint16_t(i)))
                : ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, t), uint16_t(i), 63));
    }
  }
}

// Application traffic for decode timing: DNS queries and answers (with
// compression), DHCP discover and offer, HTTP requests and replies, and the
// acks between them.
inline Bytes dhcp_msg(uint8_t op, uint8_t type, uint32_t xid, uint32_t yiaddr) {
  Bytes b(240, 0);
  b[0] = op;
  b[1] = 1;
  b[2] = 6;
  put_be(b, 4, xid, 4);
  put_be(b, 16, yiaddr, 4);
  b[28] = 0x02;
  b[33] = uint8_t(xid);
  put_be(b, 236, 0x63825363u, 4);
  const Bytes opts = {53, 1, type, 61, 7, 1, 2, 0, 0, 0, 0, uint8_t(xid), 55, 4, 1, 3, 6, 15,
                      1,  4, 255, 255, 255, 0, 3, 4, 192, 168, 7, 1, 6, 8, 192, 168, 7, 53, 8, 8, 8, 8,
                      51, 4, 0, 1, 81, 128, 12, 5, 'h', 'o', 's', 't', '1', 255};
  b.insert(b.end(), opts.begin(), opts.end());
  return b;
}

inline Bytes app_frame(uint64_t i) {
  Mac a = mac(1), b = mac(2);
  uint32_t ha = ip4(192, 168, 7, uint8_t(100 + i % 50)), hs = ip4(192, 168, 7, 20), dns = ip4(192, 168, 7, 53);
  uint16_t port = uint16_t(40000 + i % 2000), id = uint16_t(i);
  const Bytes qname = {3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0};
  switch (i % 10) {
    case 0:
    case 1: {
      Bytes q = {uint8_t(id >> 8), uint8_t(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
      q.insert(q.end(), qname.begin(), qname.end());
      q.insert(q.end(), {0, uint8_t(i % 2 ? 28 : 1), 0, 1});
      return ether(b, a, 0x0800, ipv4(ha, dns, 17, udp4(ha, dns, port, 53, q), id));
    }
    case 2:
    case 3: {
      Bytes r = {uint8_t(id >> 8), uint8_t(id), 0x81, 0x80, 0, 1, 0, 2, 0, 0, 0, 0};
      r.insert(r.end(), qname.begin(), qname.end());
      r.insert(r.end(), {0, 1, 0, 1});
      r.insert(r.end(), {0xc0, 12, 0, 5, 0, 1, 0, 0, 0x0e, 0x10, 0, 6, 3, 'w', 'e', 'b', 0xc0, 16});
      r.insert(r.end(), {0xc0, 45, 0, 1, 0, 1, 0, 1, 0x51, 0x80, 0, 4, 93, 184, 216, uint8_t(i)});
      return ether(a, b, 0x0800, ipv4(dns, ha, 17, udp4(dns, ha, 53, port, r), id, 63));
    }
    case 4:
      return ether(bcast(), a, 0x0800,
                   ipv4(0, 0xFFFFFFFFu, 17, udp4(0, 0xFFFFFFFFu, 68, 67, dhcp_msg(1, 1, uint32_t(i), 0)), id));
    case 5:
      return ether(a, b, 0x0800, ipv4(hs, ha, 17, udp4(hs, ha, 67, 68, dhcp_msg(2, 2, uint32_t(i), ha)), id));
    case 6: {
      Tcp t;
      t.sport = port;
      t.dport = 80;
      t.seq = uint32_t(i);
      t.ack = 1;
      t.flags = 0x18;
      t.data = text("GET /index.html HTTP/1.1\r\nHost: www.example.com\r\nUser-Agent: bench/1.0\r\nAccept: */*\r\n\r\n");
      return ether(b, a, 0x0800, ipv4(ha, hs, 6, tcp4(ha, hs, t), id));
    }
    case 7: {
      Tcp t;
      t.sport = 80;
      t.dport = port;
      t.seq = 1;
      t.ack = uint32_t(i + 80);
      t.flags = 0x18;
      t.data = text("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 48\r\n\r\n"
                    "<html><body>hello from the bench</body></html>\r\n");
      return ether(a, b, 0x0800, ipv4(hs, ha, 6, tcp4(hs, ha, t), id, 63));
    }
    default: {
      Tcp t;
      t.sport = port;
      t.dport = 80;
      t.seq = uint32_t(i + 80);
      t.ack = 140;
      t.flags = 0x10;
      return ether(b, a, 0x0800, ipv4(ha, hs, 6, tcp4(ha, hs, t), id));
    }
  }
}

}  // namespace capgen

#endif
