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

bytes eth_hdr(const char *dst, const char *src, unsigned type) {
  return pkt::eth_hdr(pkt::mac_text(dst), pkt::mac_text(src), type);
}

bytes ipv4_hdr(const char *src, const char *dst, unsigned proto, unsigned payload_len, unsigned id, unsigned ttl,
               unsigned fragfield, const bytes &opts) {
  pkt::Ip4Hdr ip{pkt::ip4_text(src), pkt::ip4_text(dst), uint8_t(proto), uint16_t(id), uint8_t(ttl),
                 uint16_t(fragfield), opts, true, 0};
  return pkt::ipv4_hdr(ip, payload_len);
}

bytes ipv6_hdr(const char *src, const char *dst, unsigned nh, unsigned payload_len, unsigned hlim) {
  return pkt::ipv6_hdr(pkt::ip6_text(src), pkt::ip6_text(dst), uint8_t(nh), payload_len, uint8_t(hlim));
}

bytes tcp_seg(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, uint32_t seq, uint32_t ack,
              unsigned flags, unsigned win, const bytes &opts, const bytes &payload) {
  pkt::Tcp t{uint16_t(sp), uint16_t(dp), seq, ack, uint8_t(flags), uint16_t(win), opts, payload};
  return v6 ? pkt::tcp6(pkt::ip6_text(src), pkt::ip6_text(dst), t)
            : pkt::tcp4(pkt::ip4_text(src), pkt::ip4_text(dst), t);
}

bytes udp_dgram(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, const bytes &payload) {
  return v6 ? pkt::udp6(pkt::ip6_text(src), pkt::ip6_text(dst), uint16_t(sp), uint16_t(dp), payload)
            : pkt::udp4(pkt::ip4_text(src), pkt::ip4_text(dst), uint16_t(sp), uint16_t(dp), payload);
}

bytes icmp6_datagram(unsigned type, unsigned code, const bytes &body, const char *src, const char *dst, bool good) {
  pkt::Ip6 s = pkt::ip6_text(src), d = pkt::ip6_text(dst);
  return pkt::ipv6(s, d, 58, pkt::icmp6(uint8_t(type), uint8_t(code), body, s, d, good ? 0 : 0x0101), 255);
}

void decode_every_cut(const bytes &f, int layer, int proto) {
  for (size_t n = 0; n < f.size(); n++) {
    bytes cut(f.begin(), f.begin() + long(n));
    std::string s = decode(2, layer, proto, cut, unsigned(f.size() - n));
    EXPECT_EQ(s.find('\n'), s.size() - 1) << n << ": " << s;
    decode(4, layer, proto, cut, unsigned(f.size() - n));
  }
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
