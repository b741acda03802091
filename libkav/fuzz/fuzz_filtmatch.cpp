// Matcher on arbitrary frames: every data-link type, raw and not, against
// filters that read every parameter. The frame sits in an exact-size buffer
// so that any read beyond the captured length is caught.
#include "kav.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Compiled once; kept for the life of the process.
static void *filters[16];
static int nfilters;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TOVATRC_FILENAME", "/dev/null", 1);
  const char *texts[] = {
      "(ETH SD=M ETYPE=2048 LEN>0 HLEN>0 DLEN>0) | (802.3 SD:1=B LEN<100 DLEN=3)",
      "(LLC SD:2=170 C=3 LEN>1 DLEN>1) | (SNAP ORG=0 ETYPE=2048 DLEN>0)",
      "(IP SRC=10.0.0.0/8 DST=192.168.0.0/17 F=F LEN>0 HLEN>0 DLEN>0) | ^(IP SD:1=10.1.1.1 ^F=F)",
      "(TCP SD:1>1023 F=S^* HLEN>20 DLEN>0) | (UDP SRC<53 DST>53 HLEN=8 DLEN<8) | (TCP F=^R* ^SD=80)",
      "(ICMP TYPE=unreach CODE=port HLEN>1 DLEN>0) | (ARP HLEN=28) | (RARP HLEN>0) | (IPX) | (IPv6)",
      "((IGMP) | (OSPF) | (IP#47)) & ^((TCP) | (UDP))",
      "IP SD:2=10.1.1.1",
      "TCP ^SD:2=80",
      "((ARP) | (IPv6)) & ^(RARP)",
      "^((TCP SD=80) | (UDP DST<1024)) & (IP SRC=10.0.0.0/8 ^DST=192.168.0.0/16)",
      "(ETH) & ^((802.3) | (LLC) | (SNAP) | (IPX))",
      "(IP) & ^((ICMP) | (IGMP) | (OSPF) | (IP#0))",
      "(ICMP ^TYPE=unreach CODE=port) | (TCP SD=80 F=S^A) | ((UDP) & ^(ICMP TYPE=echo))",
      "(IPv6 SRC=2001:db8::/32 ^DST=fe80::/10) | (IPv6 SD:1=::1) | ((IPv6 SD:2=2001::/16) & (TCP SD=80))",
  };
  for (const char *t : texts) {
    void *f = kav_filt_parse(t, nullptr);
    if (!f) abort();
    if (nfilters < 16) filters[nfilters++] = f;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int linktypes[] = {KAV_DL_ETHER, KAV_DL_CSMACD, KAV_DL_IPRAW, KAV_DL_HDLC,
                           KAV_DL_FDDI,  KAV_DL_TPR,    KAV_DL_OTHER, 200};
  int linktype = linktypes[data[0] & 7];
  unsigned capflags = (data[0] >> 3) & KAV_CAP_RAW;
  size_t len = size - 1;
  uint8_t *frame = static_cast<uint8_t *>(malloc(len ? len : 1));
  memcpy(frame, data + 1, len);
  for (int i = 0; i < nfilters; i++) {
    void *f = filters[i];
    int layer = 0, proto = 0, offset = 0;
    int r = kav_filt_match(f, frame, (int)len, linktype, &layer, &proto, &offset, capflags);
    if (offset < 0 || (layer != KAV_LAYER_STOP && (layer < 2 || layer > 3))) abort();
    // The shortcuts for common frames decide as the general walk does.
    int wl = 0, wp = 0, wo = 0;
    int w = kav_filt_match_walked(f, frame, (int)len, linktype, &wl, &wp, &wo, capflags);
    if ((r != 0) != (w != 0) || wl != layer || wp != proto || wo != offset) abort();
  }
  int layer, offset;
  if (len >= 16) kav_proto_id(linktype, frame, &layer, &offset, capflags);
  free(frame);
  return 0;
}
