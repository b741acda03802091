#include "pkt_helpers.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include "panapp.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string capture_out(const std::function<void()> &fn) {
  char *buf = nullptr;
  size_t sz = 0;
  FILE *f = open_memstream(&buf, &sz);
  FILE *old = kav_outfp;
  kav_outfp = f;
  fn();
  kav_outfp = old;
  fclose(f);
  std::string s(buf ? buf : "", sz);
  free(buf);
  return s;
}

std::string decode(int vb, int layer, int proto, const bytes &frame, unsigned missing, kav_pktctx *ctx) {
  kav_pktctx local;
  kav_pktctx *c = ctx ? ctx : &local;
  int old = kav_vblvl;
  kav_vblvl = vb;
  // Decode from a heap copy of exactly the frame's size, so a read past the
  // end is caught by the address sanitizer.
  unsigned char *copy = (unsigned char *)malloc(frame.empty() ? 1 : frame.size());
  if (!frame.empty()) memcpy(copy, frame.data(), frame.size());
  std::string s = capture_out([&] { print_pkt(layer, proto, copy, int(frame.size()), missing, c); });
  free(copy);
  kav_vblvl = old;
  return s;
}

std::string app_out(int vb, const std::function<void(kav_view)> &fn, const bytes &payload) {
  int old = kav_vblvl;
  kav_vblvl = vb;
  unsigned char *copy = (unsigned char *)malloc(payload.empty() ? 1 : payload.size());
  if (!payload.empty()) memcpy(copy, payload.data(), payload.size());
  std::string s = capture_out([&] { fn(kav_view(copy, int(payload.size()))); });
  free(copy);
  kav_vblvl = old;
  return s;
}

std::string l4_out(int vb, bool tcp, unsigned sp, unsigned dp, const bytes &payload, kav_pktctx *ctx) {
  bytes seg = tcp ? tcp_seg(false, "10.0.0.1", "10.0.0.2", sp, dp, 1, 1, 0x18, 512, {}, payload)
                  : udp_dgram(false, "10.0.0.1", "10.0.0.2", sp, dp, payload);
  return decode(vb, 4, tcp ? 6 : 17, seg, 0, ctx);
}

void reset_decoders(int vb) {
  kav_cache_free();
  kav_vblvl = vb;
  kav_numval_ip = 1;
  kav_numval_all = 1;
  kav_proto_map = 0;
  kav_force_map = 0;
  kav_txtdmp = 15;
  kav_envdmpfmt = 0;
  kav_rawmode = 0;
  kav_dump_reset();
  kav_ssl_reset();
}

bytes hexbytes(const char *hex) {
  bytes b;
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
    if (hi < 0)
      hi = v;
    else {
      b.push_back((unsigned char)(hi * 16 + v));
      hi = -1;
    }
  }
  return b;
}

void put16(bytes &b, size_t off, unsigned v) {
  b[off] = (unsigned char)(v >> 8);
  b[off + 1] = (unsigned char)v;
}
void put32(bytes &b, size_t off, uint32_t v) {
  put16(b, off, v >> 16);
  put16(b, off + 2, v & 0xFFFF);
}

uint16_t inet_sum(const unsigned char *p, size_t n, uint32_t seed) {
  uint64_t s = seed;
  for (size_t i = 0; i + 1 < n; i += 2) s += (p[i] << 8) | p[i + 1];
  if (n & 1) s += p[n - 1] << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return uint16_t(s);
}

static void mac(const char *txt, unsigned char *out) {
  unsigned v[6] = {0};
  sscanf(txt, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  for (int i = 0; i < 6; i++) out[i] = (unsigned char)v[i];
}

bytes eth_hdr(const char *dst, const char *src, unsigned type) {
  bytes b(14);
  mac(dst, &b[0]);
  mac(src, &b[6]);
  put16(b, 12, type);
  return b;
}

bytes ipv4_hdr(const char *src, const char *dst, unsigned proto, unsigned payload_len, unsigned id, unsigned ttl,
               unsigned fragfield, const bytes &opts) {
  size_t hl = 20 + opts.size();
  bytes b(hl);
  b[0] = (unsigned char)(0x40 | (hl / 4));
  put16(b, 2, unsigned(hl + payload_len));
  put16(b, 4, id);
  put16(b, 6, fragfield);
  b[8] = (unsigned char)ttl;
  b[9] = (unsigned char)proto;
  inet_pton(AF_INET, src, &b[12]);
  inet_pton(AF_INET, dst, &b[16]);
  std::copy(opts.begin(), opts.end(), b.begin() + 20);
  put16(b, 10, uint16_t(~inet_sum(b.data(), hl)));
  return b;
}

bytes ipv6_hdr(const char *src, const char *dst, unsigned nh, unsigned payload_len, unsigned hlim) {
  bytes b(40);
  b[0] = 0x60;
  put16(b, 4, payload_len);
  b[6] = (unsigned char)nh;
  b[7] = (unsigned char)hlim;
  inet_pton(AF_INET6, src, &b[8]);
  inet_pton(AF_INET6, dst, &b[24]);
  return b;
}

static uint32_t pseudo(bool v6, const char *src, const char *dst, unsigned proto, unsigned len) {
  bytes ph;
  if (v6) {
    ph.assign(40, 0);
    inet_pton(AF_INET6, src, &ph[0]);
    inet_pton(AF_INET6, dst, &ph[16]);
    put32(ph, 32, len);
    ph[39] = (unsigned char)proto;
  } else {
    ph.assign(12, 0);
    inet_pton(AF_INET, src, &ph[0]);
    inet_pton(AF_INET, dst, &ph[4]);
    ph[9] = (unsigned char)proto;
    put16(ph, 10, len);
  }
  return inet_sum(ph.data(), ph.size());
}

bytes tcp_seg(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, uint32_t seq, uint32_t ack,
              unsigned flags, unsigned win, const bytes &opts, const bytes &payload) {
  size_t hl = 20 + opts.size();
  bytes b(hl);
  put16(b, 0, sp);
  put16(b, 2, dp);
  put32(b, 4, seq);
  put32(b, 8, ack);
  b[12] = (unsigned char)((hl / 4) << 4);
  b[13] = (unsigned char)flags;
  put16(b, 14, win);
  std::copy(opts.begin(), opts.end(), b.begin() + 20);
  b.insert(b.end(), payload.begin(), payload.end());
  put16(b, 16, uint16_t(~inet_sum(b.data(), b.size(), pseudo(v6, src, dst, 6, unsigned(b.size())))));
  return b;
}

bytes udp_dgram(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, const bytes &payload) {
  bytes b(8);
  put16(b, 0, sp);
  put16(b, 2, dp);
  put16(b, 4, unsigned(8 + payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
  uint16_t c = uint16_t(~inet_sum(b.data(), b.size(), pseudo(v6, src, dst, 17, unsigned(b.size()))));
  put16(b, 6, c ? c : 0xFFFF);
  return b;
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bytes mpls_entry(unsigned label, unsigned tc, bool bottom, unsigned ttl) {
  bytes b(4);
  put32(b, 0, (label << 12) | (tc << 9) | (bottom ? 0x100u : 0u) | ttl);
  return b;
}

bytes icmp6_datagram(unsigned type, unsigned code, const bytes &body, const char *src, const char *dst, bool good) {
  bytes m = cat({bytes{(unsigned char)type, (unsigned char)code, 0, 0}, body});
  uint16_t c = uint16_t(~inet_sum(m.data(), m.size(), pseudo(true, src, dst, 58, unsigned(m.size()))));
  put16(m, 2, good ? c : c ^ 0x0101);
  return cat({ipv6_hdr(src, dst, 58, unsigned(m.size()), 255), m});
}

void decode_every_cut(const bytes &f, int layer, int proto) {
  for (size_t n = 0; n < f.size(); n++) {
    bytes cut(f.begin(), f.begin() + long(n));
    std::string s = decode(2, layer, proto, cut, unsigned(f.size() - n));
    EXPECT_EQ(s.find('\n'), s.size() - 1) << n << ": " << s;
    decode(4, layer, proto, cut, unsigned(f.size() - n));
  }
}

bool read_pcap(const std::string &path, pcap_file &out, size_t max_frames) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char gh[24];
  if (fread(gh, 1, 24, f) != 24) {
    fclose(f);
    return false;
  }
  uint32_t magic = gh[0] | (gh[1] << 8) | (gh[2] << 16) | (uint32_t(gh[3]) << 24);
  bool swap;
  if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d)
    swap = false;
  else if (magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1)
    swap = true;
  else {
    fclose(f);
    return false;
  }
  auto rd32 = [swap](const unsigned char *p) -> uint32_t {
    return swap ? (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                : p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
  };
  out.linktype = rd32(gh + 20) & 0x0FFFFFFF;
  out.frames.clear();
  unsigned char rh[16];
  while (out.frames.size() < max_frames && fread(rh, 1, 16, f) == 16) {
    pcap_frame fr;
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

bool pcap_start(unsigned linktype, const bytes &frame, int *layer, int *proto, int *offset) {
  *offset = 0;
  switch (linktype) {
    case 1:  // Ethernet: a type field up to 1500 is an 802.3 length
      *layer = KAV_LAYER_LINK;
      *proto = (frame.size() >= 14 && ((frame[12] << 8) | frame[13]) <= 1500) ? KAV_L2_8023 : KAV_L2_ETH;
      return true;
    case 10:  // FDDI
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_FDDI;
      return true;
    case 9:  // PPP
      *layer = KAV_LAYER_LINK;
      *proto = KAV_L2_PPP;
      return true;
    case 113: {  // Linux cooked capture: 16-octet header, protocol type at 14
      if (frame.size() < 16) return false;
      unsigned t = (frame[14] << 8) | frame[15];
      *layer = KAV_LAYER_NET;
      *offset = 16;
      if (t == 0x0800)
        *proto = KAV_L3_IP;
      else if (t == 0x86DD)
        *proto = KAV_L3_IPV6;
      else if (t == 0x0806)
        *proto = KAV_L3_ARP;
      else
        return false;
      return true;
    }
    case 0: {  // BSD loopback: 4-octet address family in the writer's order
      if (frame.size() < 4) return false;
      unsigned fam = frame[0] ? frame[0] : frame[3];
      *layer = KAV_LAYER_NET;
      *offset = 4;
      if (fam == 2)
        *proto = KAV_L3_IP;
      else if (fam == 24 || fam == 28 || fam == 30)
        *proto = KAV_L3_IPV6;
      else
        return false;
      return true;
    }
    case 12:
    case 14:
    case 101:  // raw IP
      *layer = KAV_LAYER_NET;
      *proto = (!frame.empty() && (frame[0] >> 4) == 6) ? KAV_L3_IPV6 : KAV_L3_IP;
      return true;
    default: return false;
  }
}


std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  std::string dir = vts::corpus_dir();
  if (const char *e = getenv("KAVPAN_CORPUS")) dir = e;
  DIR *d = opendir(dir.c_str());
  if (!d) return files;
  while (struct dirent *de = readdir(d)) {
    std::string n = de->d_name;
    if (n.size() > 5 && (n.substr(n.size() - 5) == ".pcap" || n.substr(n.size() - 4) == ".cap"))
      files.push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

bool write_eth_pcap(const std::string &path, const std::vector<pcap_frame> &frames) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  uint32_t gh[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 262144, 1};
  fwrite(gh, sizeof gh, 1, f);
  for (const auto &fr : frames) {
    uint32_t rh[4] = {fr.sec, fr.usec, fr.caplen, fr.wirelen};
    fwrite(rh, sizeof rh, 1, f);
    fwrite(fr.data.data(), 1, fr.data.size(), f);
  }
  return fclose(f) == 0;
}
