// Capture generator: the traffic mixes of the sample and the benchmarks
// (Ethernet II carrying IPv4, IPv6, ARP, TCP, UDP, ICMP and application
// messages) and the kavtap log writer, on the builders of pktbuild.h and the
// file images of capfile.h. Header-only so the sample generator, the
// benchmark and the analyser's tests share one writer that does not depend
// on the library it helps to test.
#ifndef VELMORA_CAPGEN_H
#define VELMORA_CAPGEN_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capfile.h"
#include "pktbuild.h"

namespace capgen {

// The builders themselves live in pktbuild.h; these are the names the
// generators and tests have always called them by.
using pkt::Bytes;
using pkt::put_be;
using pkt::put_le;
using pkt::Mac;
using pkt::mac;
using pkt::bcast;
using pkt::ip4;
using pkt::sum16;
using pkt::fold;
using pkt::ether;
using pkt::ipv4;
using pkt::pseudo4;
using pkt::pseudo6;
using pkt::Tcp;
using pkt::tcp_seg;
using pkt::tcp_fields;
using pkt::tcp4;
using pkt::udp4;
using pkt::icmp_echo;
using pkt::icmp_unreach;
using pkt::arp;
using pkt::Ip6;
using pkt::ip6;
using pkt::ipv6;
using pkt::udp6;
using pkt::tcp6;
using pkt::text;
using pkt::dns_name;
using pkt::PcapWriter;

// ---- kavtap log writer (little-endian) -------------------------------------

using Session = pkt::LogSession;
using Trailer = pkt::LogTrailer;

// A kavtap log built in memory, in the writer's (little-endian) order.
class LogWriter {
 public:
  Bytes out;

  void loghdr(int nsessions, int major = 3, int minor = 1) { pkt::log_hdr(out, nsessions, false, major, minor); }
  void session(const Session &s) { pkt::log_session(out, s); }
  // One event; caplen defaults to the data size, wirelen to caplen.
  void event(int ses, int type, int64_t sec, int64_t usec, const Bytes &data, int64_t wirelen = -1,
             int64_t caplen = -1) {
    pkt::log_event(out, ses, type, sec, usec, data, wirelen, caplen);
  }
  void frame(int ses, int64_t sec, int64_t usec, const Bytes &f, int64_t wirelen = -1) {
    event(ses, 1, sec, usec, f, wirelen);
  }
  // A closing event (type 3 or 4) followed by its trailer.
  void close(int ses, int type, int64_t sec, int64_t usec, const Trailer &t, const char *msg = nullptr) {
    Bytes d;
    if (msg) d.assign(msg, msg + strlen(msg) + 1);
    event(ses, type, sec, usec, d);
    pkt::log_trailer(out, t);
  }

  bool save(const std::string &path) const {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
    return fclose(f) == 0 && ok;
  }
};

// ---- a mixed workload ------------------------------------------------------

// A broadcast ARP request from m (at spa) for tpa.
inline Bytes who_has(const Mac &m, uint32_t spa, uint32_t tpa) {
  return ether(bcast(), m, 0x0806, arp(1, m, spa, Mac{{0, 0, 0, 0, 0, 0}}, tpa));
}

// An ICMP echo request (type 8) or reply (0) from src to dst, numbered i, as
// a frame from one MAC address to another.
inline Bytes echo_frame(const Mac &to, const Mac &from, uint32_t src, uint32_t dst, uint8_t type, uint16_t ident,
                        uint64_t i, const Bytes &fill, uint8_t ttl = 64) {
  return ether(to, from, 0x0800, ipv4(src, dst, 1, icmp_echo(type, ident, uint16_t(i), fill), uint16_t(i), ttl));
}

// Frame number i of a repeating mix: TCP handshake/data, UDP (DNS-sized),
// ICMP echo and unreachable, ARP, IPv6 UDP and TCP.
inline Bytes mixed_frame(uint64_t i) {
  Mac a = mac(1), b = mac(2);
  uint32_t ha = ip4(192, 168, 7, 1), hb = ip4(192, 168, 7, uint8_t(2 + i % 50));
  uint16_t port = uint16_t(40000 + i % 2000);
  switch (i % 10) {
    case 0: {
      Tcp t = tcp_fields(port, 80, uint32_t(i * 1000), 0, 0x02);
      t.opts = {2, 4, 0x05, 0xb4, 1, 3, 3, 7, 4, 2, 1, 1};
      return ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, t), uint16_t(i)));
    }
    case 1:
    case 2: {
      Tcp t = tcp_fields(80, port, uint32_t(i * 7), uint32_t(i * 1000 + 1), 0x18);
      t.data = Bytes(i % 3 == 0 ? 1200 : 512, uint8_t('a' + i % 26));
      return ether(a, b, 0x0800, ipv4(hb, ha, 6, tcp4(hb, ha, t), uint16_t(i), 63));
    }
    case 3: {
      Tcp t = tcp_fields(port, 80, uint32_t(i * 1000 + 1), uint32_t(i * 7 + 512), 0x10);
      return ether(b, a, 0x0800, ipv4(ha, hb, 6, tcp4(ha, hb, t), uint16_t(i)));
    }
    case 4: {
      Bytes q = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l',
                 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1};
      return ether(b, a, 0x0800, ipv4(ha, hb, 17, udp4(ha, hb, port, 53, q), uint16_t(i)));
    }
    case 5:
      return echo_frame(b, a, ha, hb, 8, 0x77, i, Bytes(56, 0x42));
    case 6:
      return echo_frame(a, b, hb, ha, 0, 0x77, i, Bytes(56, 0x42), 63);
    case 7:
      return who_has(a, ha, hb);
    case 8: {
      Ip6 s = ip6(1), d = ip6(uint16_t(2 + i % 50));
      return ether(b, a, 0x86dd, ipv6(s, d, 17, udp6(s, d, port, 5353, Bytes(40, 0x11))));
    }
    default: {
      Ip6 s = ip6(1), d = ip6(uint16_t(2 + i % 50));
      Tcp t = tcp_fields(port, 443, uint32_t(i), 1, 0x18);
      t.data = Bytes(100, 0x17);
      return ether(b, a, 0x86dd, ipv6(s, d, 6, tcp6(s, d, t)));
    }
  }
}

// Web and office traffic, frame number i of a repeating mix: mostly TCP data
// segments carrying HTTP text, DNS queries and answers over UDP, some ICMP
// echo and ARP.
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
      return echo_frame(gw, cl, client, server, 8, 0x1d, i, Bytes(32, 0x61));
    case 18:
      return echo_frame(cl, gw, server, client, 0, 0x1d, i, Bytes(32, 0x61), 60);
    default:
      return who_has(cl, client, resolver);
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
      if (i % 64 == 7) return who_has(a, ha, hb);
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
      Tcp t = tcp_fields(port, 80, uint32_t(i), 1, 0x18);
      t.data = text("GET /index.html HTTP/1.1\r\nHost: www.example.com\r\nUser-Agent: bench/1.0\r\nAccept: */*\r\n\r\n");
      return ether(b, a, 0x0800, ipv4(ha, hs, 6, tcp4(ha, hs, t), id));
    }
    case 7: {
      Tcp t = tcp_fields(80, port, 1, uint32_t(i + 80), 0x18);
      t.data = text("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 48\r\n\r\n"
                    "<html><body>hello from the bench</body></html>\r\n");
      return ether(a, b, 0x0800, ipv4(hs, ha, 6, tcp4(hs, ha, t), id, 63));
    }
    default: {
      Tcp t = tcp_fields(port, 80, uint32_t(i + 80), 140, 0x10);
      return ether(b, a, 0x0800, ipv4(ha, hs, 6, tcp4(ha, hs, t), id));
    }
  }
}

}  // namespace capgen

#endif
