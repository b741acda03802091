// Test helpers: output capture and decoding through the analyser, with
// short forms of the shared packet builders and pcap files.
#ifndef KAVPAN_TESTS_PKT_HELPERS_H
#define KAVPAN_TESTS_PKT_HELPERS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capfile.h"
#include "pansupp.h"
#include "pktbuild.h"

typedef std::vector<unsigned char> bytes;

// Runs fn with the analysis output redirected; returns what it printed.
std::string capture_out(const std::function<void()> &fn);
// Decodes one frame through the chain at the verbosity given.
std::string decode(int vb, int layer, int proto, const bytes &frame, unsigned missing = 0, kav_pktctx *ctx = nullptr);

// Runs an application decoder over a heap copy of exactly the payload's
// octets at verbosity vb; returns what it printed.
std::string app_out(int vb, const std::function<void(kav_view)> &fn, const bytes &payload);
// A UDP datagram (or TCP segment) from port sp to dp carrying payload,
// decoded through the chain from layer 4 at verbosity vb.
std::string l4_out(int vb, bool tcp, unsigned sp, unsigned dp, const bytes &payload, kav_pktctx *ctx = nullptr);

// Resets every global of the decoders to a numeric, cache-free state.
void reset_decoders(int vb);

// Fixture of the decoder tests: each case starts with the decoders reset at
// verbosity VB and leaves them reset at the default, 2.
template <int VB>
class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_decoders(VB); }
  void TearDown() override { reset_decoders(2); }
};

// The generic builders are pktbuild.h's; these short forms take addresses
// as text ("10.0.0.1", "2001:db8::1", "aa:bb:cc:dd:ee:ff").
using pkt::cat;
using pkt::hexbytes;  // "45 00 00 1c ..." (blanks ignored)
using pkt::mpls_entry;
using pkt::put16;
using pkt::put32;
// Folded sum of n octets plus seed, not complemented.
inline uint16_t inet_sum(const unsigned char *p, size_t n, uint32_t seed = 0) {
  return uint16_t(~pkt::fold(pkt::sum16(p, n, seed)));
}

bytes eth_hdr(const char *dst, const char *src, unsigned type);
// IPv4 header (no options unless given) with a correct checksum.
bytes ipv4_hdr(const char *src, const char *dst, unsigned proto, unsigned payload_len, unsigned id = 1,
               unsigned ttl = 64, unsigned fragfield = 0x4000, const bytes &opts = {});
bytes ipv6_hdr(const char *src, const char *dst, unsigned nh, unsigned payload_len, unsigned hlim = 64);
// TCP segment / UDP datagram (header + payload) with a correct checksum for
// the IPv4 or IPv6 addresses given.
bytes tcp_seg(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, uint32_t seq, uint32_t ack,
              unsigned flags, unsigned win, const bytes &opts, const bytes &payload);
bytes udp_dgram(bool v6, const char *src, const char *dst, unsigned sp, unsigned dp, const bytes &payload);
// IPv6 datagram (hop limit 255) carrying an ICMPv6 message, its checksum
// right over the pseudo-header, or wrong when good is false.
bytes icmp6_datagram(unsigned type, unsigned code, const bytes &body, const char *src, const char *dst,
                     bool good = true);
// Decodes every shorter copy of the frame at verbosity 2 and 4, with the
// lost octets as missing, each from an exact-size buffer; every summary must
// be one line.
void decode_every_cut(const bytes &f, int layer, int proto);

// pcap files, through capfile.h.
using pcap_frame = pkt::PcapFrame;
using pcap_file = pkt::PcapFile;
using pkt::read_pcap;
// Writes frames as a classic little-endian pcap file of link type Ethernet.
inline bool write_eth_pcap(const std::string &path, const std::vector<pcap_frame> &frames) {
  return pkt::write_pcap(path, frames, 1, 262144);
}
// Start layer/protocol for a pcap link type; false when the chain has no decoder for it.
bool pcap_start(unsigned linktype, const bytes &frame, int *layer, int *proto, int *offset);

std::vector<std::string> corpus_files();  // sorted; empty when the corpus is absent

#endif
