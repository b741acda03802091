// kav_import: readers for snoop, pcap, raw IP and raw Ethernet captures.
#include "impfmt.h"

#include <cerrno>
#include <cstring>

#include "kav.h"
#include "tova.h"

namespace {

const uint32_t PCAP_MAGIC = 0xA1B2C3D4u;
const int SNOOP_HDR = 16, SNOOP_REC = 24;
const int PCAP_HDR = 24, PCAP_REC = 16;
const int SLL_HDR = 16;
const int IP_PEEK = 4, ETH_PEEK = 18;

uint32_t be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
unsigned be16(const unsigned char *p) { return (unsigned)p[0] << 8 | p[1]; }

uint32_t host32(const imp_reader *r, const unsigned char *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return r->swap ? __builtin_bswap32(v) : v;
}
unsigned host16(const imp_reader *r, const unsigned char *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return r->swap ? __builtin_bswap16(v) : v;
}

// Reads up to n bytes; returns the count, with errno 0 when a short count
// is the end of the input.
size_t get(imp_reader *r, void *dst, size_t n) {
  errno = 0;
  size_t got = fread(dst, 1, n, r->in);
  if (got < n && !ferror(r->in)) errno = 0;
  return got;
}

// Reads and drops n bytes (no seek, so pipes work). 0 when all were there.
int skip(imp_reader *r, uint64_t n) {
  unsigned char scratch[9000];
  while (n > 0) {
    size_t want = n < sizeof scratch ? (size_t)n : sizeof scratch;
    size_t got = get(r, scratch, want);
    n -= got;
    if (got < want) return 1;
  }
  return 0;
}

int snoop_open(imp_reader *r) {
  unsigned char h[SNOOP_HDR];
  if (get(r, h, sizeof h) != sizeof h) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on Snoop header - errno=%d", errno);
    return 1;
  }
  if (memcmp(h, "snoop", 6) != 0) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid Snoop magic value");
    return 1;
  }
  uint32_t version = be32(h + 8);
  if (version != 2) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unrecognised Snoop version - %ld", (long)version);
    return 1;
  }
  r->dlpi = (int)be32(h + 12);
  r->rawdl = 1;
  r->snaplen = 0;
  return 0;
}

int pcap_open(imp_reader *r) {
  unsigned char h[PCAP_HDR];
  if (get(r, h, sizeof h) != sizeof h) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on Tcpdump header=%lu - errno=%d",
             (unsigned long)PCAP_HDR, errno);
    return 1;
  }
  uint32_t magic;
  memcpy(&magic, h, 4);
  if (magic == PCAP_MAGIC)
    r->swap = 0;
  else if (magic == __builtin_bswap32(PCAP_MAGIC))
    r->swap = 1;
  else {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid Tcpdump magic value - 0x%x", magic);
    return 1;
  }
  unsigned major = host16(r, h + 4), minor = host16(r, h + 6);
  if ((major != 2 || minor != 4) && r->msgs)
    fprintf(r->msgs, "Warning: Logfile version is %d:%d  vs expected=%d:%d - will try to continue\n",
            (int)major, (int)minor, 2, 4);
  r->snaplen = host32(r, h + 16);
  r->linktype = host32(r, h + 20);
  r->drop = 0;
  r->rawdl = 1;
  const char *cast = nullptr;
  switch (r->linktype) {
    case 0:  // BSD loopback: a family word before each datagram
      r->dlpi = KAV_DL_ETHER;
      r->rawdl = 0;
      r->drop = 4;
      break;
    case 1:
    case 6:
      r->dlpi = KAV_DL_ETHER;
      break;
    case 2:
      r->dlpi = KAV_DL_ETHER;
      cast = "DL_ETHER";
      break;
    case 9:
    case 14:
      r->dlpi = KAV_DL_HDLC;
      cast = "DL_HDLC";
      break;
    case 10:
      r->dlpi = KAV_DL_FDDI;
      break;
    case 11:
      r->dlpi = KAV_DL_METRO;
      cast = "DL_METRO";
      break;
    case 12:
      r->dlpi = KAV_DL_ETHER;
      r->rawdl = 0;
      break;
    case 113:
      r->dlpi = KAV_DL_IPRAW;
      break;
    default:
      r->dlpi = KAV_DL_OTHER;
      break;
  }
  if (r->msgs) {
    if (cast)
      fprintf(r->msgs, "Casting linktype=%d to DLPI type %s - may be wrong\n", (int)r->linktype, cast);
    fprintf(r->msgs, "PCAP linktype=%d mapped to DLPI=0x%x\n", (int)r->linktype, (unsigned)r->dlpi);
  }
  return 0;
}

int bad_lengths(const char *what, int64_t len, int64_t least) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid %s length %lld (less than %lld)", what, (long long)len,
           (long long)least);
  return 1;
}

// Reads the rest of a frame of `len` bytes of which `have` are already in
// the buffer; what does not fit is read, dropped and counted as rejected.
int read_frame(imp_reader *r, int64_t len, int have) {
  int64_t room = IMP_FRAMEBUF - have, want = len - have, excess = 0;
  if (want > room) {
    excess = want - room;
    want = room;
  }
  if (want > 0 && get(r, r->frame + have, (size_t)want) != (size_t)want) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet data - errno=%d", errno);
    return 1;
  }
  if (excess > 0) {
    if (skip(r, (uint64_t)excess)) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet data - errno=%d", errno);
      return 1;
    }
    r->rej_frames++;
    r->rej_octets += (uint64_t)excess;
  }
  r->caplen = len - excess;
  return 0;
}

// Record header read: 0 read, -1 clean end of input, 1 failure.
int get_rechdr(imp_reader *r, unsigned char *h, size_t n) {
  size_t got = get(r, h, n);
  if (got == n) return 0;
  if (got == 0 && errno == 0) return -1;
  int err = errno;
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet header - errno=%d [%s]", err, imp_errtxt(err));
  return 1;
}

int snoop_next(imp_reader *r) {
  unsigned char h[SNOOP_REC];
  int rc = get_rechdr(r, h, sizeof h);
  if (rc) return rc;
  int64_t wire = be32(h), incl = be32(h + 4), reclen = be32(h + 8);
  r->sec = be32(h + 16);
  r->usec = be32(h + 20);
  // The record holds the header, the captured bytes and padding.
  if (reclen < SNOOP_REC + incl) return bad_lengths("Snoop record", reclen, SNOOP_REC + incl);
  r->wirelen = wire;
  if (read_frame(r, incl, 0)) return 1;
  if (skip(r, (uint64_t)(reclen - SNOOP_REC - incl))) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet data - errno=%d", errno);
    return 1;
  }
  return 0;
}

int pcap_next(imp_reader *r) {
  unsigned char h[PCAP_REC + 4];
  int rc = get_rechdr(r, h, PCAP_REC + r->drop);
  if (rc) return rc;
  r->sec = host32(r, h);
  r->usec = host32(r, h + 4);
  int64_t cap = host32(r, h + 8), wire = host32(r, h + 12);
  int64_t cut = r->drop;
  if (r->linktype == 113) cut = SLL_HDR;
  if (cap < cut) return bad_lengths("captured", cap, cut);
  if (wire < cut) return bad_lengths("wire", wire, cut);
  if (r->linktype == 113) {
    unsigned char c[SLL_HDR];
    if (get(r, c, sizeof c) != sizeof c) {
      int err = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on cooked packet header - errno=%d [%s]", err,
               imp_errtxt(err));
      return 1;
    }
    unsigned dir = be16(c), arphrd = be16(c + 2), alen = be16(c + 4), proto = be16(c + 14);
    if ((proto != 0x0800 || arphrd != 0xFFFE || alen != 0) && r->msgs)
      fprintf(r->msgs,
              "Unexpected LINUXSLL header on pkt=%lu with arphrd=0x%x, proto=0x%x, linkaddr=%d - direction=%d\n",
              (unsigned long)r->nframes, arphrd, proto, (int)alen, (int)dir);
  }
  r->wirelen = wire - cut;
  return read_frame(r, cap - cut, 0);
}

int ip_next(imp_reader *r) {
  int rc = get_rechdr(r, r->frame, IP_PEEK);
  if (rc) return rc;
  int64_t len = be16(r->frame + 2);
  if (len < IP_PEEK) return bad_lengths("IP total", len, IP_PEEK);
  r->sec = r->usec = 0;
  r->wirelen = len;
  return read_frame(r, len, IP_PEEK);
}

int ether_next(imp_reader *r) {
  int rc = get_rechdr(r, r->frame, ETH_PEEK);
  if (rc) return rc;
  int layer = KAV_LAYER_LINK, offset = 0;
  int64_t len;
  if (kav_proto_id(KAV_DL_ETHER, r->frame, &layer, &offset, KAV_CAP_RAW) == KAV_L2_8023) {
    len = be16(r->frame + 12) + 14;
  } else {
    unsigned etype = be16(r->frame + 12);
    if (etype != 0x0800) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to determine size of frame (EtherType=0x%04x)", etype);
      return 1;
    }
    len = be16(r->frame + 16) + 14;
  }
  if (len < ETH_PEEK) return bad_lengths("frame", len, ETH_PEEK);
  r->sec = r->usec = 0;
  r->wirelen = len;
  return read_frame(r, len, ETH_PEEK);
}

}  // namespace

const char *imp_errtxt(int err) {
  const char *t = err ? strerror(err) : nullptr;
  return t ? t : "UNKNOWN";
}

int imp_open(imp_reader *r) {
  r->swap = 0;
  r->drop = 0;
  r->nframes = r->rej_frames = r->rej_octets = 0;
  skip(r, r->first_off);  // a short input shows up at the header or first record
  switch (r->type) {
    case IMP_SNOOP:
      return snoop_open(r);
    case IMP_TCPDUMP:
      return pcap_open(r);
    case IMP_IP:
    case IMP_ETHER:
      r->dlpi = KAV_DL_ETHER;
      r->rawdl = r->type == IMP_ETHER;
      r->snaplen = 0;
      return 0;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unsupported logfile type (%d)", r->type);
  return 1;
}

int imp_next(imp_reader *r) {
  if (r->gap && skip(r, r->gap)) return -1;  // trailing gap bytes end the input
  int rc;
  switch (r->type) {
    case IMP_SNOOP:
      rc = snoop_next(r);
      break;
    case IMP_TCPDUMP:
      rc = pcap_next(r);
      break;
    case IMP_IP:
      rc = ip_next(r);
      break;
    case IMP_ETHER:
      rc = ether_next(r);
      break;
    default:
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unsupported logfile type (%d)", r->type);
      return 1;
  }
  if (rc == 0) r->nframes++;
  return rc;
}
