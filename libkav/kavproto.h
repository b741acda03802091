// Layer numbers, protocol codes and the wire numbers that choose the next
// layer: one set for the filter's layer walk and the analyser's decoders.
#ifndef KAVPROTO_H
#define KAVPROTO_H

// ---- layers -----------------------------------------------------------------
#define KAV_LAYER_STOP (-1)  // nothing more to decode
#define KAV_LAYER_TEXT 0     // plain text (analyser only)
#define KAV_LAYER_DUMP 1     // undecoded data (analyser only)
#define KAV_LAYER_LINK 2
#define KAV_LAYER_NET 3
#define KAV_LAYER_TRANS 4
#define KAV_LAYER_APP 5

// ---- protocol codes of each layer ---------------------------------------------
// Link layer; link protocols can stack (802.3, LLC, SNAP, tags, ...).
#define KAV_L2_ETH 1
#define KAV_L2_8023 2
#define KAV_L2_TPR 3       // raw Token Ring
#define KAV_L2_TPB 4       // raw Token Bus
#define KAV_L2_METRO 5     // raw 802.6 MAN
#define KAV_L2_FDDI 6      // raw FDDI
#define KAV_L2_LLC 7
#define KAV_L2_SNAP 8
#define KAV_L2_PPP 9       // PPP, also what a raw HDLC link carries
#define KAV_L2_VLAN 10     // 802.1Q / 802.1ad tag
#define KAV_L2_MPLS 11     // MPLS label stack
#define KAV_L2_PPPOED 12   // PPPoE discovery stage
#define KAV_L2_PPPOES 13   // PPPoE session stage

// Network layer.
#define KAV_L3_IP 1
#define KAV_L3_ARP 2
#define KAV_L3_RARP 3
#define KAV_L3_PPPLCP 4    // named by the analyser, not decoded
#define KAV_L3_PPPNCP 5    // named by the analyser, not decoded
#define KAV_L3_IPX 6
#define KAV_L3_IPV6 7

// Transport layer: the code is the IP protocol number (IPv4 protocol field,
// IPv6 next header). The extension headers and tunnels are walked through.
#define KAV_IPPROTO_HOPOPTS 0    // IPv6 hop-by-hop options
#define KAV_IPPROTO_ICMP 1
#define KAV_IPPROTO_IGMP 2
#define KAV_IPPROTO_IPIP 4       // IPv4 in IP
#define KAV_IPPROTO_TCP 6
#define KAV_IPPROTO_UDP 17
#define KAV_IPPROTO_IPV6 41      // IPv6 in IP
#define KAV_IPPROTO_ROUTING 43   // IPv6 routing header
#define KAV_IPPROTO_FRAGMENT 44  // IPv6 fragment header
#define KAV_IPPROTO_GRE 47
#define KAV_IPPROTO_ICMPV6 58
#define KAV_IPPROTO_DSTOPTS 60   // IPv6 destination options
#define KAV_IPPROTO_OSPF 89
#define KAV_IPPROTO_IPIP_OLD 94  // the older IP-within-IP number
#define KAV_IPPROTO_VRRP 112

// The IPv6 extension headers a decoder walks through to the upper layer.
inline bool kav_ipv6_exthdr(unsigned nh) {
  return nh == KAV_IPPROTO_HOPOPTS || nh == KAV_IPPROTO_ROUTING || nh == KAV_IPPROTO_FRAGMENT ||
         nh == KAV_IPPROTO_DSTOPTS;
}

// ---- numbers on the wire that choose the next layer ---------------------------
// Ethernet types (also SNAP protocol ids with OUI 0, GRE protocol types).
// kav_ethtype_layer (kav.h) maps them to layers.
#define KAV_ETHTYPE_MAXLEN 1500     // a type field up to this is an 802.3 length
#define KAV_ETHTYPE_IP 0x0800
#define KAV_ETHTYPE_ARP 0x0806
#define KAV_ETHTYPE_ERSPAN3 0x22EB  // ERSPAN type III (GRE)
#define KAV_ETHTYPE_TEB 0x6558      // transparent Ethernet bridging (GRE)
#define KAV_ETHTYPE_RARP 0x8035
#define KAV_ETHTYPE_VLAN 0x8100     // 802.1Q tag
#define KAV_ETHTYPE_IPX 0x8137
#define KAV_ETHTYPE_SNMP 0x814C     // SNMP straight over Ethernet
#define KAV_ETHTYPE_IPV6 0x86DD
#define KAV_ETHTYPE_PPP 0x880B
#define KAV_ETHTYPE_MPLS 0x8847
#define KAV_ETHTYPE_MPLS_MC 0x8848  // MPLS multicast
#define KAV_ETHTYPE_PPPOED 0x8863
#define KAV_ETHTYPE_PPPOES 0x8864
#define KAV_ETHTYPE_QINQ 0x88A8     // 802.1ad service tag
#define KAV_ETHTYPE_ERSPAN2 0x88BE  // ERSPAN type I and II (GRE)
#define KAV_ETHTYPE_QINQ_OLD 0x9100 // 802.1Q-in-Q before 802.1ad

// IP version, the first nibble of an IP header (raw IP, MPLS payloads).
#define KAV_IPVERSION_4 4
#define KAV_IPVERSION_6 6

// The network-layer code of an IP version: KAV_L3_IP, KAV_L3_IPV6, or 0.
inline int kav_ipversion_l3(unsigned version) {
  return version == KAV_IPVERSION_4 ? KAV_L3_IP : version == KAV_IPVERSION_6 ? KAV_L3_IPV6 : 0;
}

// PPP protocol field.
#define KAV_PPP_IP 0x0021
#define KAV_PPP_IPV6 0x0057
#define KAV_PPP_MPLS 0x0281
#define KAV_PPP_MPLS_MC 0x0283
#define KAV_PPP_IPCP 0x8021
#define KAV_PPP_NCP 0x8035     // what the analyser names PPP-NCP
#define KAV_PPP_LCP 0xC021

// IEEE 802.2 LLC: SAPs and the control octet of the encapsulations that are
// walked through, the NLPID after an ISO SAP pair, and SNAP organisation codes.
#define KAV_SAP_SNAP 0xAA
#define KAV_SAP_IPX 0xE0
#define KAV_SAP_ISO 0xFE
#define KAV_LLC_UI 0x03          // unnumbered information
#define KAV_NLPID_SNAP 0x80
#define KAV_NLPID_IP 0xCC
#define KAV_OUI_ETHTYPE 0x000000 // SNAP protocol id is an Ethernet type
#define KAV_OUI_8021 0x0080C2    // IEEE 802.1 bridged frames
#define KAV_IPX_RAW 0xFFFF       // raw 802.3 IPX: its checksum field right after the MAC header

// ARP hardware types and operations.
#define KAV_ARPHRD_ETHER 1
#define KAV_ARPHRD_IEEE802 6
#define KAV_ARPOP_REQUEST 1
#define KAV_ARPOP_REPLY 2
#define KAV_ARPOP_RREQUEST 3     // RARP
#define KAV_ARPOP_RREPLY 4

// pcap link types (capture files read by the importer, written by the
// analyser's export).
#define KAV_PCAP_LT_NULL 0       // BSD loopback: a family word before each datagram
#define KAV_PCAP_LT_ETHER 1
#define KAV_PCAP_LT_EXPETHER 2   // experimental 3 Mb Ethernet
#define KAV_PCAP_LT_IEEE802 6
#define KAV_PCAP_LT_PPP 9
#define KAV_PCAP_LT_FDDI 10
#define KAV_PCAP_LT_ATM 11       // RFC 1483 LLC/SNAP over ATM
#define KAV_PCAP_LT_RAW 12       // raw IP (bare datagrams)
#define KAV_PCAP_LT_PPP_BSD 14
#define KAV_PCAP_LT_RAWIP 101    // raw IP, either version
#define KAV_PCAP_LT_SLL 113      // Linux cooked capture
#define KAV_PCAP_LT_IPV4 228
#define KAV_PCAP_LT_IPV6 229
#define KAV_PCAP_LT_SLL2 276     // Linux cooked capture, version 2

// Well-known ports whose numbers choose an application decoder in more than
// one place.
#define KAV_PORT_SUNRPC 111
#define KAV_PORT_SNMP 161
#define KAV_PORT_SNMPTRAP 162
#define KAV_PORT_LDAP 389
#define KAV_PORT_NFS 2049
#define KAV_PORT_LISTEN 2766     // System V listener
#define KAV_PORT_LOCKD 4045
#define KAV_PORT_X11 6000        // X11 displays 0..63
#define KAV_PORT_X11_LAST 6063

#endif
