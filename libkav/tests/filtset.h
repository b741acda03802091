// Filters that between them take every way the matcher has of deciding a
// rule on an Ethernet II frame, and the general walk for the rest.
#ifndef KAV_FILTSET_H
#define KAV_FILTSET_H

namespace filtset {

const char *const kFilters[] = {
    // Link layer, and network layers known by the Ethernet type alone.
    "ETH", "^ETH", "ETH SD=M", "ETH ETYPE=2048 LEN>80", "802.3", "LLC", "SNAP", "^SNAP", "ARP", "RARP", "IPX",
    "IPv6", "^IPv6", "ARP HLEN=28", "(ARP) | (IPv6)", "(ARP) & ^(IPv6)", "^((ARP) | (RARP) | (IPX))",
    "^(ARP) & ^(IPv6)", "(ARP) | ^(IPX)", "((ARP) | (IPv6)) & (ETH SD=M)", "(ARP) | (IPv6) | (802.3)",
    // IPv4 and its addresses.
    "IP", "^IP", "IP SD=10.1.1.1", "IP SRC=10.0.0.0/8 DST=192.168.0.0/16", "IP ^SRC=10.1.1.0/25 DST=10.1.1.2",
    "IP SD:1=10.1.1.1", "IP SD:2=10.1.1.1", "IP ^SD:2=10.1.1.1", "IP ^SD=10.1.1.3/31", "IP SD=10.1.1.1 HLEN>20",
    "IP F=F", "IP ^F=F", "IP LEN<60", "IP DLEN>20",
    // Transport layers.
    "TCP", "UDP", "ICMP", "IGMP", "OSPF", "IP#47", "IP#0", "^TCP", "TCP SD=80", "UDP DST<1024", "TCP SD:1>1023",
    "TCP ^SD:2=80", "UDP SRC>53 ^DST=53", "TCP F=S^A", "TCP HLEN>20", "UDP DLEN>0", "ICMP TYPE=echo",
    "ICMP TYPE=unreach CODE=port", "^((TCP) | (UDP))", "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)",
    "TCP SD=80 F=S^A", "TCP ^F=A", "TCP F=S^* SRC<1024", "ICMP ^TYPE=echo", "ICMP TYPE=unreach ^CODE=port",
    "ICMP TYPE=echo HLEN=8", "(ARP) | (TCP SD=80)", "^(((ARP) | (IPv6)) & ^(ETH SD=M)) | ((TCP) & (IP SD=10.1.1.1))", "((ARP) | (IPv6)) & ^(TCP)", "(TCP F=S^A) | ((UDP) & (IP SD:1=10.1.1.2))",
    // IPv6 addresses and prefixes.
    "IPv6 SD=2001::1", "IPv6 SRC=2001::/16 ^DST=2001::1", "IPv6 SD:1=2001::2/127", "(IPv6 DST=2001::2) & (TCP SD=80)"};

}  // namespace filtset

#endif
