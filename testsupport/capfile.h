// Capture files for tests and generators: classic pcap images, a streaming
// pcap writer, a bounds-safe pcap reader and kavtap log images (in the
// writer's little-endian order, or the other order's layout). Header-only,
// like pktbuild.h.
#ifndef VELMORA_CAPFILE_H
#define VELMORA_CAPFILE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pktbuild.h"

namespace pkt {

// Writes in either byte order.
inline void add_ord(Bytes &b, uint64_t v, int n, bool big) {
  if (big)
    add_be(b, v, n);
  else
    add_le(b, v, n);
}

// ---- pcap -------------------------------------------------------------------

struct PcapRec {
  uint32_t sec = 0, usec = 0;
  Bytes data;
  uint32_t wire = 0;  // 0: the data's length
};

inline void pcap_hdr(Bytes &b, uint32_t linktype, bool big = false, int major = 2, int minor = 4,
                     uint32_t snaplen = 65535) {
  add_ord(b, 0xA1B2C3D4u, 4, big);
  add_ord(b, uint64_t(major), 2, big);
  add_ord(b, uint64_t(minor), 2, big);
  add_ord(b, 0, 4, big);
  add_ord(b, 0, 4, big);
  add_ord(b, snaplen, 4, big);
  add_ord(b, linktype, 4, big);
}
inline void pcap_rec_hdr(Bytes &b, uint32_t sec, uint32_t usec, size_t caplen, size_t wire, bool big = false) {
  add_ord(b, sec, 4, big);
  add_ord(b, usec, 4, big);
  add_ord(b, caplen, 4, big);
  add_ord(b, wire, 4, big);
}
inline void pcap_rec(Bytes &b, const PcapRec &r, bool big = false) {
  pcap_rec_hdr(b, r.sec, r.usec, r.data.size(), r.wire ? r.wire : r.data.size(), big);
  append(b, r.data);
}
// A whole file's image.
inline Bytes pcap_image(const std::vector<PcapRec> &recs, uint32_t linktype, bool big = false, int major = 2,
                        int minor = 4, uint32_t snaplen = 65535) {
  Bytes b;
  pcap_hdr(b, linktype, big, major, minor, snaplen);
  for (const PcapRec &r : recs) pcap_rec(b, r, big);
  return b;
}

// ---- snoop ------------------------------------------------------------------

// Big-endian; each record padded to 4 octets with pad.
inline Bytes snoop_image(const std::vector<PcapRec> &recs, uint32_t dlt = 4, uint32_t version = 2, uint8_t pad = 0) {
  Bytes b = {'s', 'n', 'o', 'o', 'p', 0, 0, 0};
  add_be(b, version, 4);
  add_be(b, dlt, 4);
  for (const PcapRec &r : recs) {
    size_t fill = (4 - r.data.size() % 4) % 4;
    add_be(b, r.wire ? r.wire : r.data.size(), 4);
    add_be(b, r.data.size(), 4);
    add_be(b, 24 + r.data.size() + fill, 4);
    add_be(b, 0, 4);
    add_be(b, r.sec, 4);
    add_be(b, r.usec, 4);
    append(b, r.data);
    b.insert(b.end(), fill, pad);
  }
  return b;
}

// Opens a file for a large capture, fully buffered (one such file at a time);
// says why on standard error when it cannot.
inline FILE *open_capture(const char *path) {
  FILE *f = fopen(path, "wb");
  if (!f) {
    perror(path);
    return nullptr;
  }
  static char buf[1 << 20];
  setvbuf(f, buf, _IOFBF, sizeof buf);
  return f;
}

// Little-endian, microseconds, straight to a stream (for large captures).
class PcapWriter {
 public:
  explicit PcapWriter(FILE *f, uint32_t linktype = 1, uint32_t snaplen = 65535) : f_(f) {
    Bytes h;
    pcap_hdr(h, linktype, false, 2, 4, snaplen);
    fwrite(h.data(), 1, h.size(), f_);
  }
  // wire 0: the data's length.
  void frame(int64_t sec, int64_t usec, const Bytes &d, uint32_t wire = 0) {
    Bytes h;
    pcap_rec_hdr(h, uint32_t(sec), uint32_t(usec), d.size(), wire ? wire : d.size());
    fwrite(h.data(), 1, h.size(), f_);
    if (!d.empty()) fwrite(d.data(), 1, d.size(), f_);  // an empty vector's data() may be null
  }

 private:
  FILE *f_;
};

struct PcapFrame {
  unsigned caplen = 0, wirelen = 0;
  uint32_t sec = 0, usec = 0;
  Bytes data;
};

// Writes the frames as a little-endian file; false when it cannot be written.
inline bool write_pcap(const std::string &path, const std::vector<PcapFrame> &frames, uint32_t linktype = 1,
                       uint32_t snaplen = 262144) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  PcapWriter w(f, linktype, snaplen);
  for (const PcapFrame &fr : frames) w.frame(fr.sec, fr.usec, fr.data, fr.wirelen);
  return fclose(f) == 0;
}

struct PcapFile {
  unsigned linktype = 0;
  std::vector<PcapFrame> frames;
};

// Reads a classic pcap file (either byte order, micro- or nanosecond). Returns
// false when it is not one; frames cut by the end of the file, and all after
// a record longer than any capture takes, are dropped.
inline bool read_pcap(const std::string &path, PcapFile &out, size_t max_frames = 200000) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t gh[24];
  if (fread(gh, 1, 24, f) != 24) {
    fclose(f);
    return false;
  }
  uint32_t magic = gh[0] | (gh[1] << 8) | (gh[2] << 16) | (uint32_t(gh[3]) << 24);
  bool swap;
  if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d) {
    swap = false;
  } else if (magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1) {
    swap = true;
  } else {
    fclose(f);
    return false;
  }
  auto rd32 = [swap](const uint8_t *p) -> uint32_t {
    return swap ? (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                : p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
  };
  out.linktype = rd32(gh + 20) & 0x0FFFFFFF;
  out.frames.clear();
  uint8_t rh[16];
  while (out.frames.size() < max_frames && fread(rh, 1, 16, f) == 16) {
    PcapFrame fr;
    fr.sec = rd32(rh);
    fr.usec = rd32(rh + 4);
    fr.caplen = rd32(rh + 8);
    fr.wirelen = rd32(rh + 12);
    if (fr.caplen > 262144) break;  // hostile length: stop reading this file
    fr.data.resize(fr.caplen);
    if (fr.caplen && fread(fr.data.data(), 1, fr.caplen, f) != fr.caplen) break;
    out.frames.push_back(std::move(fr));
  }
  fclose(f);
  return true;
}


// ---- kavtap logs ------------------------------------------------------------

inline void log_hdr(Bytes &b, int nsessions, bool big = false, int major = 3, int minor = 1) {
  b.insert(b.end(), {'k', 'a', 'v', 't', 'a', 'p', 0, 0, 0, 0, uint8_t(major), uint8_t(minor)});
  add_ord(b, 0x1234, 2, big);
  b.push_back(uint8_t(nsessions));
}

// An 8-byte field: little-endian, or the other order's form (a 32-bit
// big-endian value in the first four bytes).
inline void log_field(Bytes &b, int64_t v, bool big = false) {
  if (big) {
    add_be(b, uint64_t(v) & 0xFFFFFFFFu, 4);
    add_be(b, 0xA5A5A5A5u, 4);  // ignored by readers of the other order
  } else {
    add_le(b, uint64_t(v), 8);
  }
}

struct LogSession {
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

// The 216-byte session header, then the filter text with its NUL.
inline void log_session(Bytes &b, const LogSession &s, bool big = false) {
  auto text = [&b](const std::string &t, size_t room, size_t most) {
    size_t at = b.size();
    b.resize(at + room, 0);
    memcpy(&b[at], t.data(), t.size() < most ? t.size() : most);
  };
  text(s.host, 72, 64);
  log_field(b, s.start, big);
  text(s.ifname, 36, 32);
  add_be(b, s.ipaddr, 4);
  log_field(b, s.netmask, big);
  log_field(b, s.mtu, big);
  log_field(b, s.snaplen, big);
  log_field(b, s.filter.empty() ? 0 : int64_t(s.filter.size()) + 1, big);
  log_field(b, s.capflags, big);
  log_field(b, s.dlt, big);
  log_field(b, 0, big);
  log_field(b, 0, big);
  size_t hl = s.hwaddr.size() < 24 ? s.hwaddr.size() : 24;
  log_field(b, int64_t(hl), big);
  Bytes hw(24, 0);
  std::copy(s.hwaddr.begin(), s.hwaddr.begin() + long(hl), hw.begin());
  append(b, hw);
  if (!s.filter.empty()) b.insert(b.end(), s.filter.c_str(), s.filter.c_str() + s.filter.size() + 1);
}

// One event; caplen defaults to the data size, wirelen to caplen.
inline void log_event(Bytes &b, int ses, int type, int64_t sec, int64_t usec, const Bytes &data, int64_t wirelen = -1,
                      int64_t caplen = -1, bool big = false) {
  b.insert(b.end(), {uint8_t(ses), uint8_t(type), 0, 0, 0, 0, 0, 0});
  int64_t cl = caplen < 0 ? int64_t(data.size()) : caplen;
  log_field(b, sec, big);
  log_field(b, usec, big);
  log_field(b, cl, big);
  log_field(b, wirelen < 0 ? cl : wirelen, big);
  append(b, data);
}

struct LogTrailer {
  int64_t duration = 0, frames = 0, bytes = 0, rejected = 0, rejbytes = 0;
};

inline void log_trailer(Bytes &b, const LogTrailer &t, bool big = false) {
  for (int64_t v : {t.duration, t.frames, t.bytes, t.rejected, t.rejbytes}) log_field(b, v, big);
}

}  // namespace pkt

#endif
