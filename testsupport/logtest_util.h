// Helpers for the log-utility tests: temp dirs, running the built programs,
// building capture and log images byte by byte, and parsing logs back.
#ifndef LOGTEST_UTIL_H
#define LOGTEST_UTIL_H

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "oracle.h"
#include "runner.h"
#include "testsupport.h"

namespace logtest {

using Bytes = std::vector<unsigned char>;

using vts::TempDir;

inline void write_file(const std::string &path, const Bytes &data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
}

inline Bytes read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::string &path) {
  Bytes b = read_file(path);
  return std::string(b.begin(), b.end());
}

struct RunResult {
  int status = -1;       // exit status, or -1 when killed by a signal
  int signal = 0;
  bool timed_out = false;
};

// Runs a program with stdin, stdout and stderr redirected to files. The
// trace goes nowhere. A program still running after timeout_s is killed.
inline RunResult run(const std::vector<std::string> &argv, const std::string &in, const std::string &out,
                     const std::string &err, int timeout_s = 60) {
  RunResult r;
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    int fi = open(in.c_str(), O_RDONLY);
    int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fi < 0 || fo < 0 || fe < 0) _exit(126);
    dup2(fi, 0);
    dup2(fo, 1);
    dup2(fe, 2);
    setenv("TOVATRC_FILENAME", "/dev/null", 1);
    unsetenv("TOV_STDOUT_NOBUF");
    std::vector<char *> av;
    for (const auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  int st = 0;
  for (int waited = 0;; waited++) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) break;
    if (waited >= timeout_s * 100) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      r.timed_out = true;
      break;
    }
    usleep(10000);
  }
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
  return r;
}

using vts::sh;

using vts::have_tool;

inline std::string bin(const char *prog) { return std::string(VELMORA_BIN_DIR) + "/" + prog; }

// ---- byte builders -----------------------------------------------------------

inline void put_be(Bytes &b, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; i--) b.push_back((unsigned char)(v >> (8 * i)));
}
inline void put_le(Bytes &b, uint64_t v, int n) {
  for (int i = 0; i < n; i++) b.push_back((unsigned char)(v >> (8 * i)));
}
inline void put(Bytes &b, uint64_t v, int n, bool big) {
  if (big)
    put_be(b, v, n);
  else
    put_le(b, v, n);
}
inline void append(Bytes &b, const Bytes &x) { b.insert(b.end(), x.begin(), x.end()); }
inline uint64_t get_le(const Bytes &b, size_t off, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | b.at(off + (size_t)i);
  return v;
}

// A frame of n bytes with a recognisable pattern.
inline Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (unsigned char)(seed * 31 + i * 7 + (i >> 8));
  return b;
}

// An Ethernet II frame carrying an IPv4 datagram of ip_len bytes.
inline Bytes eth_ipv4(unsigned ip_len, unsigned seed) {
  Bytes f = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
  Bytes ip = pattern(ip_len, seed);
  ip[0] = 0x45;
  ip[1] = 0;
  ip[2] = (unsigned char)(ip_len >> 8);
  ip[3] = (unsigned char)ip_len;
  ip[8] = 64;
  ip[9] = 17;
  append(f, ip);
  return f;
}

// A bare IPv4 datagram of len bytes.
inline Bytes ipv4(unsigned len, unsigned seed) {
  Bytes ip = pattern(len, seed);
  ip[0] = 0x45;
  ip[2] = (unsigned char)(len >> 8);
  ip[3] = (unsigned char)len;
  return ip;
}

// A bare IPv6 datagram of len bytes (version nibble only).
inline Bytes ipv6(unsigned len, unsigned seed) {
  Bytes ip = pattern(len, seed);
  ip[0] = 0x60;
  return ip;
}

// A Linux cooked (version 1) header: packet type, address type, address
// length, an 8-octet address field and the protocol.
inline Bytes sll(unsigned dir, unsigned arphrd, unsigned alen, unsigned proto) {
  Bytes h;
  put_be(h, dir, 2);
  put_be(h, arphrd, 2);
  put_be(h, alen, 2);
  put_be(h, 0x0203040506070809ull, 8);
  put_be(h, proto, 2);
  return h;
}

struct PcapRec {
  uint32_t sec, usec;
  Bytes data;
  uint32_t wire = 0;  // 0: the data's length
};

inline Bytes pcap_file(const std::vector<PcapRec> &recs, uint32_t linktype, bool big = false, int major = 2,
                       int minor = 4, uint32_t snaplen = 65535) {
  Bytes b;
  put(b, 0xA1B2C3D4u, 4, big);
  put(b, (uint64_t)major, 2, big);
  put(b, (uint64_t)minor, 2, big);
  put(b, 0, 4, big);
  put(b, 0, 4, big);
  put(b, snaplen, 4, big);
  put(b, linktype, 4, big);
  for (const auto &r : recs) {
    put(b, r.sec, 4, big);
    put(b, r.usec, 4, big);
    put(b, r.data.size(), 4, big);
    put(b, r.wire ? r.wire : r.data.size(), 4, big);
    append(b, r.data);
  }
  return b;
}

inline Bytes snoop_file(const std::vector<PcapRec> &recs, uint32_t dlt = 4, uint32_t version = 2) {
  Bytes b = {'s', 'n', 'o', 'o', 'p', 0, 0, 0};
  put_be(b, version, 4);
  put_be(b, dlt, 4);
  for (const auto &r : recs) {
    size_t pad = (4 - r.data.size() % 4) % 4;
    put_be(b, r.wire ? r.wire : r.data.size(), 4);
    put_be(b, r.data.size(), 4);
    put_be(b, 24 + r.data.size() + pad, 4);
    put_be(b, 0, 4);
    put_be(b, r.sec, 4);
    put_be(b, r.usec, 4);
    append(b, r.data);
    b.insert(b.end(), pad, 0xEE);
  }
  return b;
}

// ---- log images (little-endian writer, or the other order's layout) ---------

struct SesHdr {
  std::string host, ifname;
  int64_t start = 0, netmask = 0, mtu = 0, snaplen = 0, capflags = 0, linktype = 4;
  std::string filter;  // empty: none
  bool ifinfo = true;  // interface address and hardware address filled in
};

inline Bytes log_hdr(int nses, bool big = false, int major = 3, int minor = 1) {
  Bytes b = {'k', 'a', 'v', 't', 'a', 'p', 0, 0, 0, 0, (unsigned char)major, (unsigned char)minor};
  if (big) {
    b.push_back(0x12);
    b.push_back(0x34);
  } else {
    b.push_back(0x34);
    b.push_back(0x12);
  }
  b.push_back((unsigned char)nses);
  return b;
}

// An 8-byte field: little-endian, or the other order's form (a 32-bit
// big-endian value in the first four bytes).
inline void put_field(Bytes &b, int64_t v, bool big) {
  if (big) {
    put_be(b, (uint64_t)v & 0xFFFFFFFFu, 4);
    put_be(b, 0xA5A5A5A5u, 4);  // ignored by readers of the other order
  } else {
    put_le(b, (uint64_t)v, 8);
  }
}

inline Bytes ses_hdr(const SesHdr &s, bool big = false) {
  Bytes b(65, 0);
  memcpy(b.data(), s.host.data(), std::min<size_t>(s.host.size(), 64));
  b.insert(b.end(), 7, 0);
  put_field(b, s.start, big);
  Bytes ifn(36, 0);
  memcpy(ifn.data(), s.ifname.data(), std::min<size_t>(s.ifname.size(), 32));
  append(b, ifn);
  if (s.ifinfo)
    b.insert(b.end(), {10, 0, 0, 1});
  else
    b.insert(b.end(), 4, 0);
  put_field(b, s.netmask, big);
  put_field(b, s.mtu, big);
  put_field(b, s.snaplen, big);
  put_field(b, s.filter.empty() ? 0 : (int64_t)s.filter.size() + 1, big);
  put_field(b, s.capflags, big);
  put_field(b, s.linktype, big);
  put_field(b, 0, big);
  put_field(b, 0, big);
  put_field(b, s.ifinfo ? 6 : 0, big);
  Bytes hw(24, 0);
  for (int i = 0; s.ifinfo && i < 6; i++) hw[(size_t)i] = (unsigned char)(0x10 + i);
  append(b, hw);
  if (!s.filter.empty()) {
    b.insert(b.end(), s.filter.begin(), s.filter.end());
    b.push_back(0);
  }
  return b;
}

inline Bytes evt(int ses, int type, int64_t sec, int64_t usec, const Bytes &data, int64_t wire = -1,
                 bool big = false) {
  Bytes b = {(unsigned char)ses, (unsigned char)type, 0, 0, 0, 0, 0, 0};
  put_field(b, sec, big);
  put_field(b, usec, big);
  put_field(b, (int64_t)data.size(), big);
  put_field(b, wire < 0 ? (int64_t)data.size() : wire, big);
  append(b, data);
  return b;
}

inline Bytes trailer(int64_t dur, int64_t frames, int64_t octets, int64_t rej, int64_t rej_oct, bool big = false) {
  Bytes b;
  put_field(b, dur, big);
  put_field(b, frames, big);
  put_field(b, octets, big);
  put_field(b, rej, big);
  put_field(b, rej_oct, big);
  return b;
}

// ---- parsing a little-endian log back --------------------------------------

struct Event {
  int ses = 0, type = 0;
  int64_t sec = 0, usec = 0, caplen = 0, wirelen = 0;
  Bytes data;
  bool has_trl = false;
  int64_t trl[5] = {0, 0, 0, 0, 0};
};

struct Log {
  bool ok = false;
  std::string why;
  int nses = 0;
  std::vector<Bytes> seshdrs;  // 216-byte images
  std::vector<Event> events;
  int64_t ses_field(int ses, size_t off) const { return (int64_t)get_le(seshdrs.at((size_t)ses), off, 8); }
  std::string ses_text(int ses, size_t off) const {
    const Bytes &h = seshdrs.at((size_t)ses);
    return std::string(reinterpret_cast<const char *>(h.data() + off));
  }
};

inline Log parse_log(const Bytes &b) {
  Log l;
  if (b.size() < 15) {
    l.why = "short log header";
    return l;
  }
  if (b[12] != 0x34 || b[13] != 0x12 || b[10] != 3 || b[11] != 1) {
    l.why = "bad version or byte order";
    return l;
  }
  l.nses = (signed char)b[14];
  size_t p = 15;
  for (int i = 0; i < l.nses; i++) {
    if (p + 216 > b.size()) {
      l.why = "short session header";
      return l;
    }
    Bytes h(b.begin() + (long)p, b.begin() + (long)p + 216);
    p += 216 + get_le(h, 144, 8);
    l.seshdrs.push_back(h);
  }
  while (p < b.size()) {
    if (p + 40 > b.size()) {
      l.why = "short event header";
      return l;
    }
    Event e;
    e.ses = b[p];
    e.type = b[p + 1];
    e.sec = (int64_t)get_le(b, p + 8, 8);
    e.usec = (int64_t)get_le(b, p + 16, 8);
    e.caplen = (int64_t)get_le(b, p + 24, 8);
    e.wirelen = (int64_t)get_le(b, p + 32, 8);
    p += 40;
    if (e.caplen < 0 || p + (size_t)e.caplen > b.size()) {
      l.why = "short event data";
      return l;
    }
    e.data.assign(b.begin() + (long)p, b.begin() + (long)p + e.caplen);
    p += (size_t)e.caplen;
    if (e.type == 3 || e.type == 4) {
      if (p + 40 > b.size()) {
        l.why = "short trailer";
        return l;
      }
      e.has_trl = true;
      for (int i = 0; i < 5; i++) e.trl[i] = (int64_t)get_le(b, p + 8 * (size_t)i, 8);
      p += 40;
    }
    l.events.push_back(e);
  }
  l.ok = true;
  return l;
}

// Session-header offsets.
enum : size_t {
  SH_START = 72, SH_IFNAME = 80, SH_SNAPLEN = 136, SH_FILTLEN = 144, SH_CAPFLAGS = 152, SH_LINKTYPE = 160
};

// ---- tshark as the oracle -----------------------------------------------------

struct Seen {
  int64_t sec, usec, len, caplen;
};

// What tshark reports for a capture file, one entry per frame.
inline std::vector<Seen> tshark_frames(const std::string &path, bool *ok) {
  std::vector<std::vector<std::string>> rows;
  *ok = vts::tshark_fields(path, "", {"frame.time_epoch", "frame.len", "frame.cap_len"}, &rows);
  std::vector<Seen> v;
  for (const auto &r : rows) {
    Seen s{};
    const std::string &t = r[1];
    size_t dot = t.find('.');
    s.sec = strtoll(t.substr(0, dot).c_str(), nullptr, 10);
    std::string frac = dot == std::string::npos ? "" : t.substr(dot + 1);
    frac.resize(9, '0');
    s.usec = strtoll(frac.substr(0, 6).c_str(), nullptr, 10);
    s.len = strtoll(r[2].c_str(), nullptr, 10);
    s.caplen = strtoll(r[3].c_str(), nullptr, 10);
    v.push_back(s);
  }
  return v;
}

}  // namespace logtest

#endif
