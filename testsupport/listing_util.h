// Helpers for the report tests: real analyser listings made by running the
// suite (frames -> pcap -> kav_import -> kavpan -N), a TCP connection builder
// that tracks sequence numbers, IPv4 fragmentation, and running the reports.
#ifndef REPORT_LISTING_UTIL_H
#define REPORT_LISTING_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "logtest_util.h"
#include "capgen.h"

namespace listing {

using capgen::Bytes;

struct Frame {
  int64_t sec = 0, usec = 0;
  Bytes data;
};

inline const capgen::Mac MAC_A = capgen::mac(1), MAC_B = capgen::mac(2);

// An IPv4 datagram (or fragment) with the flag/offset field given, unlike
// capgen::ipv4, which always sets don't-fragment.
inline Bytes ipv4_raw(uint32_t src, uint32_t dst, uint8_t proto, const Bytes &payload, uint16_t id, uint8_t ttl,
                      uint16_t fragfield) {
  Bytes h(20);
  h[0] = 0x45;
  capgen::put_be(h, 2, 20 + payload.size(), 2);
  capgen::put_be(h, 4, id, 2);
  capgen::put_be(h, 6, fragfield, 2);
  h[8] = ttl;
  h[9] = proto;
  capgen::put_be(h, 12, src, 4);
  capgen::put_be(h, 16, dst, 4);
  capgen::put_be(h, 10, capgen::fold(capgen::sum16(h.data(), 20)), 2);
  h.insert(h.end(), payload.begin(), payload.end());
  return h;
}

// Splits an IPv4 datagram (20-octet header, DF clear) into fragments that fit
// the MTU, as a router on a smaller link would; one piece when it fits.
inline std::vector<Bytes> fragment(const Bytes &dgram, size_t mtu, uint8_t ttl) {
  uint32_t src = uint32_t(dgram[12]) << 24 | uint32_t(dgram[13]) << 16 | uint32_t(dgram[14]) << 8 | dgram[15];
  uint32_t dst = uint32_t(dgram[16]) << 24 | uint32_t(dgram[17]) << 16 | uint32_t(dgram[18]) << 8 | dgram[19];
  uint16_t id = uint16_t(dgram[4] << 8 | dgram[5]);
  uint16_t df = uint16_t((dgram[6] << 8 | dgram[7]) & 0x4000);
  Bytes payload(dgram.begin() + 20, dgram.end());
  size_t chunk = (mtu - 20) & ~size_t(7);
  std::vector<Bytes> out;
  for (size_t off = 0; off < payload.size() || out.empty(); off += chunk) {
    size_t n = std::min(chunk, payload.size() - off);
    bool more = off + n < payload.size();
    Bytes part(payload.begin() + long(off), payload.begin() + long(off + n));
    out.push_back(ipv4_raw(src, dst, dgram[9], part, id, ttl, uint16_t(df | (more ? 0x2000 : 0) | off / 8)));
  }
  return out;
}

inline Frame eth_frame(int64_t sec, int64_t usec, const Bytes &ip, bool a_to_b = true) {
  return Frame{sec, usec, capgen::ether(a_to_b ? MAC_B : MAC_A, a_to_b ? MAC_A : MAC_B, 0x0800, ip)};
}

// One direction of a TCP connection: sends segments with the sequence
// numbers it keeps, or with any sequence number asked for.
struct TcpSide {
  uint32_t src, dst;
  uint16_t sport, dport;
  uint32_t seq;  // next sequence number to send
  uint16_t id = 100;

  Bytes segment(uint32_t s, uint8_t flags, size_t len) {
    capgen::Tcp t;
    t.sport = sport;
    t.dport = dport;
    t.seq = s;
    t.ack = 1;
    t.flags = flags;
    t.data = Bytes(len, uint8_t('a' + len % 26));
    return capgen::ipv4(src, dst, 6, capgen::tcp4(src, dst, t), id++);
  }
  // A new segment carrying len octets (a SYN or FIN takes one number more).
  Bytes next(uint8_t flags, size_t len) {
    Bytes b = segment(seq, flags, len);
    seq += uint32_t(len) + ((flags & 0x03) ? 1 : 0);
    return b;
  }
};

// Writes frames as a pcap, imports it and lists it at the verbosity given.
// Returns the listing's path, or "" when a step failed.
inline std::string make_listing(const logtest::TempDir &td, const std::string &name,
                                const std::vector<Frame> &frames, int vb = 2) {
  std::string pcap = td.file(name + ".pcap"), log = td.file(name + ".kav"), txt = td.file(name + ".txt");
  FILE *f = fopen(pcap.c_str(), "wb");
  if (!f) return "";
  {
    capgen::PcapWriter w(f);
    for (const Frame &fr : frames) w.frame(fr.sec, fr.usec, fr.data);
  }
  if (fclose(f) != 0) return "";
  std::string err = td.file(name + ".err");
  if (logtest::run({logtest::bin("kav_import"), "-x", "Tcpdump"}, pcap, log, err).status != 0) return "";
  if (logtest::run({logtest::bin("kavpan"), "-N", "-v", std::to_string(vb)}, log, txt, err).status != 0) return "";
  return txt;
}

inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

// The event line of event n in a listing, or "" when there is none.
inline std::string event_line(const std::string &text, int n) {
  std::string prefix = "- Evt=" + std::to_string(n) + " ";
  for (const std::string &l : lines_of(text))
    if (l.compare(0, prefix.size(), prefix) == 0) return l;
  return "";
}

struct Report {
  logtest::RunResult rr;
  std::string out, err;
};

// Runs a report program on the input file given as standard input.
inline Report run_report(const logtest::TempDir &td, const std::vector<std::string> &argv,
                         const std::string &stdin_path) {
  Report r;
  std::string out = td.file("report.out"), err = td.file("report.err");
  r.rr = logtest::run(argv, stdin_path, out, err);
  r.out = logtest::read_text(out);
  r.err = logtest::read_text(err);
  return r;
}

// Lines stitched at random from the pieces the readers look for, cut and
// repeated in every order, for hostile-input runs.
inline std::string garbled_lines(unsigned seed, int count) {
  static const char *const pieces[] = {
      "- Evt=", "(", ")", ".", ": ", "IP: ", "IP:", "TCP: ", "UDP: ", "TCP:", "->", " -> ", " <", "<", ">",
      ", id=", "; data=", "seq=", "-", "ack=", ";", ",", " ", "\t", "\xff", "\xe9", "0", "7", "999999",
      "1000000", "4294967295", "99999999999999999999", "10.1.0.1", "HTTP", "Base time is ", "Verbosity level is "};
  const unsigned npieces = sizeof pieces / sizeof pieces[0];
  std::string out;
  for (int l = 0; l < count; l++) {
    seed = seed * 1103515245u + 12345u;
    int n = 1 + int((seed >> 16) % 24);
    if (l % 3 == 0) out += "- Evt=" + std::to_string(l);
    for (int i = 0; i < n; i++) {
      seed = seed * 1103515245u + 12345u;
      out += pieces[(seed >> 16) % npieces];
    }
    out += "\n";
  }
  return out;
}

struct CmdlineCase {
  std::vector<std::string> args;
  const char *reason;  // what tvl_usrmsg says
};

// Each command line must end with status 99, the suite's two-line complaint
// on standard error and nothing but expected_out on standard output.
inline void expect_cmdline_errors(const std::string &prog, const std::vector<CmdlineCase> &cases,
                                  const std::string &expected_out) {
  logtest::TempDir td;
  logtest::write_file(td.file("stdin"), {});
  std::string name = prog.substr(prog.rfind('/') + 1);
  for (const CmdlineCase &c : cases) {
    std::vector<std::string> argv = {prog};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Report r = run_report(td, argv, td.file("stdin"));
    EXPECT_EQ(r.rr.status, 99) << c.reason;
    EXPECT_EQ(r.err, std::string("Invalid command-line:\n[") + c.reason + "]\nEnter '" + name +
                         " -h' for a usage synopsis\n");
    EXPECT_EQ(r.out, expected_out) << c.reason;
  }
}

}  // namespace listing

#endif
