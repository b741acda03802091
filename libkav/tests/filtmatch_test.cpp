// Frame matcher: the starting point per data-link type, the layer walk and
// every parameter's rule on real frames.
#include "frames.h"
#include "matchutil.h"
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace frames;

namespace {

Bytes eth_ip(const Ip4 &ip, const Bytes &l4) { return pad(cat({eth(mac(1), mac(2), 0x0800), ipv4(ip, l4)}), 60); }

Bytes eth_tcp(uint32_t src, uint32_t dst, unsigned sport, unsigned dport, uint8_t flags = ACK) {
  Ip4 ip;
  ip.src = src, ip.dst = dst;
  return eth_ip(ip, tcp(sport, dport, flags));
}

const uint32_t A = 0x0A010101, B = 0x0A010102;

TEST(KavFiltMatch, EthernetIpTcp) {
  Bytes f = eth_tcp(A, B, 1025, 80);
  EXPECT_TRUE(match("(TCP)", f));
  EXPECT_TRUE(match("(IP)", f));
  EXPECT_TRUE(match("(ETH ETYPE=2048)", f));
  EXPECT_TRUE(match("IP#6", f));
  EXPECT_TRUE(match("IP#tcp", f));
  EXPECT_FALSE(match("(UDP)", f));
  EXPECT_FALSE(match("(ETH ETYPE=2054)", f));
  EXPECT_FALSE(match("(802.3)", f));
  EXPECT_FALSE(match("(IPv6)", f));
  int layer = 0, proto = 0, offset = -1;
  void *flt = kav_filt_parse("TCP", nullptr);
  ASSERT_NE(flt, nullptr);
  EXPECT_TRUE(kav_filt_match(flt, f.data(), (int)f.size(), KAV_DL_ETHER, &layer, &proto, &offset, KAV_CAP_RAW));
  EXPECT_EQ(layer, 2);
  EXPECT_EQ(proto, KAV_L2_ETH);
  EXPECT_EQ(offset, 0);
  kav_filt_free(flt);
}

TEST(KavFiltMatch, SourceDestinationEitherOneBothEnds) {
  Bytes ab = eth_tcp(A, B, 1, 2), ba = eth_tcp(B, A, 1, 2), aa = eth_tcp(A, A, 1, 2);
  EXPECT_TRUE(match("(IP SD=10.1.1.1)", ab));
  EXPECT_TRUE(match("(IP SD=10.1.1.1)", ba));
  EXPECT_TRUE(match("(IP SD:1=10.1.1.1)", ab));
  EXPECT_FALSE(match("(IP SD:1=10.1.1.1)", aa));
  EXPECT_TRUE(match("(IP SD:2=10.1.1.1)", aa));
  EXPECT_FALSE(match("(IP SD:2=10.1.1.1)", ab));
  EXPECT_TRUE(match("IP SRC=10.1.1.1", ab));
  EXPECT_FALSE(match("IP SRC=10.1.1.1", ba));
  EXPECT_TRUE(match("IP DST=10.1.1.1", ba));
  EXPECT_TRUE(match("IP SRC=10.1.1.1 DST=10.1.1.2", ab));
  EXPECT_FALSE(match("IP SRC=10.1.1.1 DST=10.1.1.1", ab));
  EXPECT_FALSE(match("IP SD=10.1.1.3", ab));
  // Not both ends: true unless source and destination both match.
  EXPECT_TRUE(match("IP ^SD:2=10.1.1.1", ab));
  EXPECT_FALSE(match("IP ^SD:2=10.1.1.1", aa));
  EXPECT_TRUE(match("IP SD=localhost", eth_tcp(0x7F000001, B, 1, 2)));
}

TEST(KavFiltMatch, Prefixes) {
  Bytes f = eth_tcp(0x0A1F0001, 0xC0A80180, 1, 2);  // 10.31.0.1 -> 192.168.1.128
  EXPECT_TRUE(match("IP SRC=10.0.0.0/8", f));
  EXPECT_TRUE(match("IP SRC=10.16.0.0/12", f));
  EXPECT_FALSE(match("IP SRC=10.32.0.0/12", f));
  EXPECT_TRUE(match("IP SRC=10.31.0.0/16", f));
  EXPECT_FALSE(match("IP SRC=10.30.0.0/16", f));
  EXPECT_TRUE(match("IP DST=192.168.1.128/25", f));
  EXPECT_FALSE(match("IP DST=192.168.1.0/25", f));
  EXPECT_TRUE(match("IP DST=192.168.1.129/31", f));
  EXPECT_FALSE(match("IP DST=192.168.1.129/32", f));
  EXPECT_TRUE(match("IP SD=128.0.0.0/1", f));
  EXPECT_FALSE(match("IP SRC=128.0.0.0/1", f));
}

TEST(KavFiltMatch, PortRelops) {
  EXPECT_TRUE(match("(TCP DST<1024)", eth_tcp(A, B, 40000, 80)));
  EXPECT_FALSE(match("(TCP DST<1024)", eth_tcp(A, B, 40000, 8080)));
  EXPECT_TRUE(match("(TCP DST>1023)", eth_tcp(A, B, 40000, 8080)));
  EXPECT_FALSE(match("(TCP DST>8080)", eth_tcp(A, B, 40000, 8080)));
  // Port bytes are compared high byte first: 256 is above 255.
  EXPECT_TRUE(match("TCP SRC>255", eth_tcp(A, B, 256, 1)));
  EXPECT_TRUE(match("TCP SRC<256", eth_tcp(A, B, 255, 1)));
  EXPECT_TRUE(match("TCP SD=http", eth_tcp(A, B, 40000, 80)));
  EXPECT_TRUE(match("TCP SD<100", eth_tcp(A, B, 40000, 80)));
  EXPECT_TRUE(match("TCP SD:1<100", eth_tcp(A, B, 40000, 80)));
  EXPECT_FALSE(match("TCP SD:1<100", eth_tcp(A, B, 53, 80)));
  Ip4 ip;
  ip.proto = 17;
  Bytes u = eth_ip(ip, udp(5353, 53));
  EXPECT_TRUE(match("UDP DST=domain", u));
  EXPECT_TRUE(match("UDP SRC=5353 DST=53", u));
  EXPECT_FALSE(match("TCP SD=53", u));
  EXPECT_TRUE(match("UDP HLEN=8 DLEN=0", u));
}

TEST(KavFiltMatch, TcpFlagMasks) {
  Bytes syn = eth_tcp(A, B, 1, 2, SYN), synack = eth_tcp(A, B, 1, 2, SYN | ACK);
  Bytes synpsh = eth_tcp(A, B, 1, 2, SYN | PSH), all = eth_tcp(A, B, 1, 2, 0x3F), rst = eth_tcp(A, B, 1, 2, RST | ACK);
  EXPECT_TRUE(match("TCP F=S", syn));
  EXPECT_TRUE(match("TCP F=S", synack));
  EXPECT_TRUE(match("TCP F=S^A", syn));
  EXPECT_FALSE(match("TCP F=S^A", synack));
  EXPECT_TRUE(match("TCP F=SA", synack));
  EXPECT_TRUE(match("TCP F=S^*", syn));
  EXPECT_FALSE(match("TCP F=S^*", synack));
  EXPECT_FALSE(match("TCP F=S^*", synpsh));
  EXPECT_TRUE(match("TCP F=*", all));
  EXPECT_FALSE(match("TCP F=*", synack));
  EXPECT_TRUE(match("TCP F=^R*", eth_tcp(A, B, 1, 2, 0x3F & ~RST)));
  EXPECT_FALSE(match("TCP F=^R*", all));
  EXPECT_TRUE(match("TCP F=r", rst));
  EXPECT_TRUE(match("TCP F=^r^s^f", eth_tcp(A, B, 1, 2, ACK | PSH | URG)));
  EXPECT_FALSE(match("TCP F=^r^s^f", synpsh));
  EXPECT_TRUE(match("TCP ^F=S", eth_tcp(A, B, 1, 2, ACK)));
  EXPECT_FALSE(match("TCP ^F=S", syn));
}

TEST(KavFiltMatch, Negation) {
  Bytes t = eth_tcp(A, B, 1, 80);
  Ip4 ip;
  ip.proto = 17;
  Bytes u = eth_ip(ip, udp(1, 80));
  ip.proto = 1;
  Bytes i = eth_ip(ip, icmp(8, 0));
  EXPECT_FALSE(match("^TCP", t));
  EXPECT_TRUE(match("^TCP", u));
  EXPECT_FALSE(match("^((TCP) | (UDP))", t));
  EXPECT_FALSE(match("^((TCP) | (UDP))", u));
  EXPECT_TRUE(match("^((TCP) | (UDP))", i));
  EXPECT_TRUE(match("(IP) & ^(TCP SD=80)", u));
  EXPECT_FALSE(match("(IP) & ^(TCP SD=80)", t));
  EXPECT_TRUE(match("TCP ^DST=81", t));
  EXPECT_FALSE(match("TCP ^DST=80", t));
  EXPECT_TRUE(match("TCP ^SD=81", t));
  EXPECT_FALSE(match("UDP ^DST=81", t));  // no UDP layer at all
  EXPECT_TRUE(match("^(UDP ^DST=81)", t));
  EXPECT_TRUE(match("((TCP) & (UDP)) | (ICMP)", i));
  EXPECT_FALSE(match("((TCP) & (UDP)) | (ICMP)", t));
  EXPECT_TRUE(match("(TCP SD=80) & (IP SD=10.1.1.1)", t));
  EXPECT_FALSE(match("(TCP SD=80) & (IP SD=10.1.1.9)", t));
}

TEST(KavFiltMatch, IcmpTypeAndCode) {
  Ip4 ip;
  ip.proto = 1;
  Bytes unreach = eth_ip(ip, icmp(3, 3)), echo = eth_ip(ip, icmp(8, 0));
  EXPECT_TRUE(match("ICMP TYPE=unreach CODE=port", unreach));
  EXPECT_FALSE(match("ICMP TYPE=unreach CODE=host", unreach));
  EXPECT_TRUE(match("ICMP TYPE=echo", echo));
  EXPECT_TRUE(match("ICMP TYPE=8 CODE=0", echo));
  EXPECT_FALSE(match("ICMP TYPE=echorep", echo));
  EXPECT_TRUE(match("ICMP HLEN=8 DLEN=8", echo));
  EXPECT_TRUE(match("IP#icmp", echo));
}

TEST(KavFiltMatch, IpOptionsPaddingAndLengths) {
  Ip4 ip;
  ip.options = Bytes(4, 1);  // NOPs
  Bytes f = cat({eth(mac(1), mac(2), 0x0800), ipv4(ip, tcp(1, 80, ACK, Bytes(10, 'x'), 12))});
  EXPECT_TRUE(match("IP HLEN=24", f));
  EXPECT_TRUE(match("IP LEN=66 DLEN=42", f));
  EXPECT_TRUE(match("TCP SD=80 HLEN=32 DLEN=10", f));
  EXPECT_TRUE(match("ETH LEN=80 HLEN=14 DLEN=66", f));
  // Ethernet padding after a short datagram is not part of the IP layer.
  Bytes small = eth_tcp(A, B, 1, 80);
  EXPECT_EQ(small.size(), 60u);
  EXPECT_TRUE(match("IP LEN=40", small));
  EXPECT_TRUE(match("TCP DLEN=0", small));
  EXPECT_TRUE(match("ETH LEN=60", small));
  EXPECT_TRUE(match("IP LEN<41", small));
  EXPECT_FALSE(match("IP LEN>40", small));
}

TEST(KavFiltMatch, Fragments) {
  Ip4 ip;
  ip.more_frags = true;
  Bytes first = eth_ip(ip, tcp(1, 80, SYN, Bytes(32, 0)));
  ip.more_frags = false;
  ip.frag_offset = 7;
  Bytes later = eth_ip(ip, Bytes(40, 'y'));
  Bytes whole = eth_tcp(A, B, 1, 80);
  EXPECT_TRUE(match("IP F=F", first));
  EXPECT_TRUE(match("IP F=F", later));
  EXPECT_FALSE(match("IP F=F", whole));
  EXPECT_TRUE(match("IP F=^F", whole));
  EXPECT_FALSE(match("IP F=^F", later));
  EXPECT_TRUE(match("IP ^F=F", whole));
  // A fragment with an offset carries no transport header.
  EXPECT_TRUE(match("TCP SD=80", first));
  EXPECT_FALSE(match("TCP", later));
  EXPECT_FALSE(match("IP#6", later));
}

TEST(KavFiltMatch, Ipv6) {
  Bytes f = cat({eth(mac(1), mac(2), 0x86DD), ipv6(6, tcp(1, 443, SYN))});
  EXPECT_TRUE(match("IPv6", f));
  EXPECT_TRUE(match("TCP DST=443 F=S", f));
  EXPECT_FALSE(match("IP", f));
  Bytes u = cat({eth(mac(1), mac(2), 0x86DD), ipv6(17, udp(1, 53))});
  EXPECT_TRUE(match("UDP SD=53", u));
  EXPECT_TRUE(match("IP#58", cat({eth(mac(1), mac(2), 0x86DD), ipv6(58, icmp(128, 0))})));
}

TEST(KavFiltMatch, EthernetAddresses) {
  Bytes bcast = pad(cat({eth(Bytes(6, 0xFF), mac(2), 0x0806), arp(1)}), 60);
  Bytes mcast = pad(cat({eth({0x01, 0x00, 0x5e, 0, 0, 1}, mac(2), 0x0800), ipv4(Ip4{}, tcp(1, 2, 0))}), 60);
  Bytes ucast = eth_tcp(A, B, 1, 2);
  EXPECT_TRUE(match("ETH DST=B", bcast));
  EXPECT_FALSE(match("ETH DST=B", ucast));
  EXPECT_TRUE(match("ETH DST=M", bcast));
  EXPECT_TRUE(match("ETH DST=M", mcast));
  EXPECT_FALSE(match("ETH DST=M", ucast));
  EXPECT_FALSE(match("ETH SRC=M", mcast));
  EXPECT_TRUE(match("ETH SRC=02:11:22:33:44:02", ucast));
  EXPECT_TRUE(match("ETH DST=2:11:22:33:44:1", ucast));
  EXPECT_TRUE(match("ETH SD=2:11:22:33:44:1", ucast));
  EXPECT_FALSE(match("ETH SRC=2:11:22:33:44:1", ucast));
  EXPECT_TRUE(match("ARP HLEN=28", bcast));
  EXPECT_TRUE(match("(ARP) & (ETH ETYPE=2054)", bcast));
  EXPECT_FALSE(match("RARP", bcast));
  EXPECT_TRUE(match("RARP", pad(cat({eth(Bytes(6, 0xFF), mac(2), 0x8035), arp(3)}), 60)));
}

TEST(KavFiltMatch, Ieee8023LlcSnap) {
  // 802.3 + SNAP + IP + UDP, no padding.
  Ip4 ip;
  ip.proto = 17;
  Bytes inner = cat({llc(0xAA, 0xAA, 0x03), snap(0, 0x0800), ipv4(ip, udp(1, 161))});
  Bytes f = cat({ieee8023(mac(1), mac(2), (unsigned)inner.size()), inner});
  EXPECT_TRUE(match("802.3", f));
  EXPECT_FALSE(match("ETH", f));
  EXPECT_TRUE(match("LLC SD=170 C=3", f));
  EXPECT_TRUE(match("SNAP ORG=0 ETYPE=2048", f));
  EXPECT_FALSE(match("SNAP ORG=1", f));
  EXPECT_TRUE(match("UDP DST=161", f));
  EXPECT_TRUE(match("IP SRC=10.1.1.1", f));
  EXPECT_TRUE(match("802.3 DST=2:11:22:33:44:1", f));

  // Length 46 in 60 bytes: no padding; length 40: six bytes of padding.
  Bytes l46 = cat({ieee8023(mac(1), mac(2), 46), llc(0x42, 0x43, 0x03), Bytes(43, 0)});
  ASSERT_EQ(l46.size(), 60u);
  EXPECT_TRUE(match("802.3 LEN=60 HLEN=14 DLEN=46", l46));
  EXPECT_TRUE(match("LLC LEN=46 DLEN=43", l46));
  Bytes l40 = l46;
  put16(l40, 12, 40);
  EXPECT_TRUE(match("802.3 LEN=54 DLEN=40", l40));
  EXPECT_TRUE(match("LLC LEN=40", l40));
  EXPECT_TRUE(match("LLC SRC=67 DST=66 C=3", l40));
  EXPECT_FALSE(match("LLC SRC=66", l40));
  EXPECT_FALSE(match("SNAP", l40));

  // Raw 802.3 carrying IPX, and LLC with the IPX SAP.
  Bytes ipx = pad(cat({ieee8023(mac(1), mac(2), 30), Bytes{0xFF, 0xFF}, Bytes(28, 0)}), 60);
  EXPECT_TRUE(match("IPX", ipx));
  EXPECT_FALSE(match("LLC", ipx));
  EXPECT_TRUE(match("IPX", pad(cat({ieee8023(mac(1), mac(2), 33), llc(0xE0, 0xE0, 3), Bytes(30, 0)}), 60)));
  // LLC FE FE 03 CC: IP behind a four-byte LLC header.
  Bytes clnp = cat({llc(0xFE, 0xFE, 3), Bytes{0xCC}, ipv4(Ip4{}, tcp(9, 10, SYN))});
  Bytes fe = cat({ieee8023(mac(1), mac(2), (unsigned)clnp.size()), clnp});
  EXPECT_TRUE(match("TCP SRC=9", fe));
  // The Ethernet type 0x0800 inside a raw Ethernet capture that holds a length.
  EXPECT_TRUE(match("802.3", f, KAV_DL_ETHER));
  EXPECT_TRUE(match("802.3", f, KAV_DL_CSMACD));
}

TEST(KavFiltMatch, StartingPointByLinkType) {
  int layer, offset;
  Bytes ip = ipv4(Ip4{}, tcp(1, 2, SYN));
  EXPECT_EQ(kav_proto_id(KAV_DL_IPRAW, ip.data(), &layer, &offset, 0), KAV_L3_IP);
  EXPECT_EQ(layer, 3);
  EXPECT_EQ(offset, 0);
  // Non-raw Ethernet capture: the frame starts at the network header.
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, ip.data(), &layer, &offset, 0), KAV_L3_IP);
  EXPECT_EQ(layer, 3);
  EXPECT_TRUE(match("TCP SRC=1", ip, KAV_DL_ETHER, 0));
  EXPECT_TRUE(match("TCP SRC=1", ip, KAV_DL_IPRAW, 0));
  Bytes a = arp(2), r = arp(4);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, a.data(), &layer, &offset, 0), KAV_L3_ARP);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, r.data(), &layer, &offset, 0), KAV_L3_RARP);
  EXPECT_EQ(layer, 3);
  EXPECT_TRUE(match("ARP HLEN=28", a, KAV_DL_ETHER, 0));
  Bytes other(20, 0);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, other.data(), &layer, &offset, 0), 0);
  EXPECT_EQ(layer, -1);
  EXPECT_TRUE(match("^IP", other, KAV_DL_ETHER, 0));
  EXPECT_FALSE(match("IP", other, KAV_DL_ETHER, 0));
  // Raw Ethernet: length field up to 1500 is 802.3.
  Bytes e = eth_tcp(A, B, 1, 2);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_ETH);
  put16(e, 12, 1500);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_8023);
  put16(e, 12, 1501);
  EXPECT_EQ(kav_proto_id(KAV_DL_ETHER, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_ETH);
  EXPECT_EQ(layer, 2);
  EXPECT_EQ(kav_proto_id(KAV_DL_FDDI, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_FDDI);
  EXPECT_EQ(kav_proto_id(KAV_DL_FDDI, e.data(), &layer, &offset, 0), KAV_L2_LLC);
  EXPECT_EQ(kav_proto_id(KAV_DL_TPR, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_TPR);
  EXPECT_EQ(kav_proto_id(KAV_DL_TPB, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_TPB);
  EXPECT_EQ(kav_proto_id(KAV_DL_METRO, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_METRO);
  EXPECT_EQ(kav_proto_id(KAV_DL_HDLC, e.data(), &layer, &offset, KAV_CAP_RAW), KAV_L2_PPP);
  EXPECT_EQ(kav_proto_id(KAV_DL_OTHER, e.data(), &layer, &offset, KAV_CAP_RAW), 0);
  EXPECT_EQ(layer, -1);
  EXPECT_EQ(kav_proto_id(KAV_DL_OTHER, e.data(), &layer, &offset, 0), KAV_L2_LLC);
  EXPECT_EQ(layer, 2);
  // PPP in HDLC framing.
  Bytes ppp = {0xC0, 0x21, 1, 2};
  EXPECT_EQ(kav_proto_id(KAV_DL_HDLC, ppp.data(), &layer, &offset, 0), 0xC021);
  EXPECT_EQ(layer, 3);
  EXPECT_EQ(offset, 2);
  ppp[1] = 0x22;
  EXPECT_EQ(kav_proto_id(KAV_DL_HDLC, ppp.data(), &layer, &offset, 0), 0);
  EXPECT_EQ(layer, -1);
  // Non-raw 802.3: IPX when bytes 14-15 are all ones.
  Bytes n8023(20, 0);
  n8023[14] = n8023[15] = 0xFF;
  EXPECT_EQ(kav_proto_id(KAV_DL_CSMACD, n8023.data(), &layer, &offset, 0), KAV_L3_IPX);
  EXPECT_EQ(layer, 3);
  n8023[15] = 0;
  EXPECT_EQ(kav_proto_id(KAV_DL_CSMACD, n8023.data(), &layer, &offset, 0), KAV_L2_LLC);
}

// Every prefix of every frame, each in an exact-size buffer: the walk and
// the parameters never read past the captured length.
TEST(KavFiltMatch, NeverReadsPastCapturedLength) {
  Ip4 opt;
  opt.options = Bytes(8, 1);
  Ip4 ip;
  ip.proto = 1;
  Bytes inner = cat({llc(0xAA, 0xAA, 0x03), snap(0, 0x0800), ipv4(Ip4{}, tcp(1, 161, SYN))});
  std::vector<Bytes> all = {
      eth_tcp(A, B, 1, 2),
      cat({eth(mac(1), mac(2), 0x0800), ipv4(opt, tcp(1, 80, ACK, {}, 40))}),
      eth_ip(ip, icmp(3, 3)),
      cat({eth(mac(1), mac(2), 0x86DD), ipv6(6, tcp(1, 443, SYN))}),
      cat({ieee8023(mac(1), mac(2), (unsigned)inner.size()), inner}),
      cat({eth(Bytes(6, 0xFF), mac(2), 0x0806), arp(1)}),
  };
  const char *filters[] = {
      "((ETH SD=M ETYPE=2048 LEN>0 HLEN>0 DLEN>0) & (802.3 SD=B)) | (LLC SD=1 C=3 LEN>1 DLEN>1)",
      "(SNAP ORG=0 ETYPE=2048 DLEN>0) | (IP SD=10.1.1.1 F=F LEN>0 HLEN>0 DLEN>0) | (ARP HLEN>0)",
      "(TCP SD:1>1 F=S^* HLEN>0 DLEN>0) | (UDP SD<2) | (ICMP TYPE=3 CODE=3 HLEN>1 DLEN>0) | (IPv6)",
  };
  for (const char *text : filters) {
    void *f = kav_filt_parse(text, nullptr);
    ASSERT_NE(f, nullptr) << text << ": " << tvl_usrmsg;
    for (const Bytes &frame : all)
      for (size_t n = 0; n <= frame.size(); n++)
        for (int lt : {KAV_DL_ETHER, KAV_DL_CSMACD, KAV_DL_IPRAW, KAV_DL_HDLC})
          for (unsigned cf : {0u, (unsigned)KAV_CAP_RAW}) {
            std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
            memcpy(copy.get(), frame.data(), n);
            kav_filt_match(f, copy.get(), (int)n, lt, nullptr, nullptr, nullptr, cf);
          }
    kav_filt_free(f);
  }
  // A TCP header cut by the capture is not a TCP layer.
  Bytes t = eth_tcp(A, B, 1, 2);
  EXPECT_FALSE(match("TCP", Bytes(t.begin(), t.begin() + 53)));
  EXPECT_TRUE(match("TCP", Bytes(t.begin(), t.begin() + 54)));
  EXPECT_TRUE(match("IP", Bytes(t.begin(), t.begin() + 34)));
  EXPECT_FALSE(match("IP", Bytes(t.begin(), t.begin() + 33)));
}

// Raw Ethernet II frames take a one-pass walk; the same datagram handed over
// as raw IP takes the general one. Above the link layer both must agree, on
// whole and on cut frames alike.
TEST(KavFiltMatch, EthernetAndRawIpWalksAgree) {
  Ip4 opt;
  opt.options = Bytes(8, 1);
  Ip4 frag;
  frag.more_frags = true;
  Ip4 later;
  later.frag_offset = 3;
  Ip4 u;
  u.proto = 17;
  Ip4 ic;
  ic.proto = 1;
  std::vector<Bytes> datagrams = {ipv4(Ip4{}, tcp(1, 80, SYN)), ipv4(opt, tcp(80, 2, ACK, Bytes(30, 1), 12)),
                                  ipv4(frag, tcp(3, 4, FIN, Bytes(9, 0))), ipv4(later, Bytes(24, 7)),
                                  ipv4(u, udp(53, 5353, Bytes(5, 0))), ipv4(ic, icmp(3, 1))};
  const char *filters[] = {"IP", "TCP", "UDP SD=53 DLEN>0", "TCP SRC=80 HLEN=32 DLEN=30", "IP F=F LEN>40",
                           "(ICMP TYPE=3 CODE=1) | (TCP F=S^A)", "^((TCP DST<100) | (UDP))", "IP#6",
                           "(IP HLEN>20) & (TCP DLEN>20)", "TCP F=F"};
  for (const char *text : filters) {
    void *f = kav_filt_parse(text, nullptr);
    ASSERT_NE(f, nullptr) << text;
    for (const Bytes &d : datagrams) {
      Bytes frame = pad(cat({eth(mac(1), mac(2), 0x0800), d}), 60);
      for (size_t n = 14; n <= frame.size(); n++) {
        std::unique_ptr<uint8_t[]> e(new uint8_t[n]), ip(new uint8_t[n - 14 ? n - 14 : 1]);
        memcpy(e.get(), frame.data(), n);
        memcpy(ip.get(), frame.data() + 14, n - 14);
        bool a = kav_filt_match(f, e.get(), (int)n, KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW);
        bool b = kav_filt_match(f, ip.get(), (int)n - 14, KAV_DL_IPRAW, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(a, b) << text << " on " << n << " of " << frame.size() << " bytes";
      }
    }
    kav_filt_free(f);
  }
}

TEST(KavFiltMatch, ShorthandSelectsHostAndPort) {
  const char *expr = kav_filt_short("10.1.1.2:80");
  ASSERT_NE(expr, nullptr);
  std::string e = expr;
  Ip4 ip;
  ip.proto = 17;
  EXPECT_TRUE(match(e.c_str(), eth_tcp(A, B, 1, 80)));
  EXPECT_TRUE(match(e.c_str(), eth_ip(ip, udp(80, 1))));
  EXPECT_FALSE(match(e.c_str(), eth_tcp(A, A, 1, 80)));
  EXPECT_FALSE(match(e.c_str(), eth_tcp(A, B, 1, 81)));
  std::string neg = kav_filt_short("!10.1.1.2");
  EXPECT_FALSE(match(neg.c_str(), eth_tcp(A, B, 1, 80)));
  EXPECT_TRUE(match(neg.c_str(), eth_tcp(A, A, 1, 80)));
}

TEST(KavFiltMatch, NullFilterMatchesEverything) {
  Bytes f = eth_tcp(A, B, 1, 2);
  EXPECT_TRUE(kav_filt_match(nullptr, f.data(), (int)f.size(), KAV_DL_ETHER, nullptr, nullptr, nullptr, KAV_CAP_RAW));
}

}  // namespace
