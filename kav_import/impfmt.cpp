// kav_import: readers for snoop, pcap, pcapng, raw IP and raw Ethernet captures.
#include "impfmt.h"

#include <cerrno>
#include <cstring>

#include "kav.h"
#include "tova.h"

namespace {

const uint32_t PCAP_MAGIC = 0xA1B2C3D4u, PCAP_NSEC_MAGIC = 0xA1B23C4Du;
// The pcap link-type word: the low 26 bits are the link type; with bit 26
// set, bits 28-31 count the 16-bit words of checksum ending every frame.
const uint32_t LT_MASK = 0x03FFFFFFu, LT_FCS_PRESENT = 0x04000000u;
const int SNOOP_HDR = 16, SNOOP_REC = 24;
const int PCAP_HDR = 24, PCAP_REC = 16;
const int SLL_HDR = 16, SLL2_HDR = 20;
const int IP_PEEK = 4, ETH_PEEK = 18;

// pcapng block types, byte-order magic and option codes.
const uint32_t NG_SHB = 0x0A0D0D0Au, NG_IDB = 1, NG_OPB = 2, NG_SPB = 3, NG_EPB = 6;
const uint32_t NG_BOM = 0x1A2B3C4Du;
const unsigned NG_OPT_END = 0, NG_IF_NAME = 2, NG_IF_TSRESOL = 9, NG_IF_TSOFFSET = 14;
const uint32_t NG_BLOCK_MIN = 12;  // type, length, trailing length

uint32_t be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
unsigned be16(const unsigned char *p) { return (unsigned)p[0] << 8 | p[1]; }
void put_be16(unsigned char *p, unsigned v) {
  p[0] = (unsigned char)(v >> 8);
  p[1] = (unsigned char)v;
}

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
// is the end of the input. The pcapng first pass keeps a copy of what it
// reads from a pipe for the second.
size_t get(imp_reader *r, void *dst, size_t n) {
  errno = 0;
  size_t got = fread(dst, 1, n, r->in);
  int err = got < n && ferror(r->in) ? errno : 0;
  if (r->scanning && r->spool && got > 0 && fwrite(dst, 1, got, r->spool) != got && !r->spool_err)
    r->spool_err = errno ? errno : EIO;
  errno = err;
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

int bad_lengths(const char *what, int64_t len, int64_t least) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid %s length %lld (less than %lld)", what, (long long)len,
           (long long)least);
  return 1;
}

int too_long(const char *what, uint64_t len, uint64_t most) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid %s length %llu (more than %llu)", what, (unsigned long long)len,
           (unsigned long long)most);
  return 1;
}

int data_failed() {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet data - errno=%d", errno);
  return 1;
}

int header_failed() {
  int err = errno;
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on packet header - errno=%d [%s]", err, imp_errtxt(err));
  return 1;
}

// Notes about the input go out once: the pcapng second pass stays quiet
// about what the first has told.
FILE *notes(const imp_reader *r) { return r->pcapng && !r->scanning ? nullptr : r->msgs; }

// Reads the rest of a frame of `len` bytes of which `have` are already in
// the buffer; what does not fit is read, dropped and counted as rejected.
int read_frame(imp_reader *r, imp_iface *f, int64_t len, int have) {
  int64_t room = IMP_FRAMEBUF - have, want = len - have, excess = 0;
  if (want > room) {
    excess = want - room;
    want = room;
  }
  if (want > 0 && get(r, r->frame + have, (size_t)want) != (size_t)want) return data_failed();
  if (excess > 0) {
    if (skip(r, (uint64_t)excess)) return data_failed();
    f->rej_frames++;
    f->rej_octets += (uint64_t)excess;
  }
  r->caplen = len - excess;
  return 0;
}

// The session and framing for a pcap or pcapng link type.
void link_setup(imp_reader *r, imp_link *lk, uint32_t linktype, int fcs, int64_t snaplen) {
  *lk = imp_link{};
  lk->linktype = linktype;
  lk->fcs = fcs;
  lk->snaplen = snaplen;
  lk->rawdl = 1;
  const char *cast = nullptr;
  switch (linktype) {
    case KAV_PCAP_LT_NULL:
      lk->dlpi = KAV_DL_ETHER;
      lk->rawdl = 0;
      lk->lead = 4;
      break;
    case KAV_PCAP_LT_ETHER:
    case KAV_PCAP_LT_IEEE802:
      lk->dlpi = KAV_DL_ETHER;
      break;
    case KAV_PCAP_LT_EXPETHER:
      lk->dlpi = KAV_DL_ETHER;
      cast = "DL_ETHER";
      break;
    case KAV_PCAP_LT_PPP:
    case KAV_PCAP_LT_PPP_BSD:
      lk->dlpi = KAV_DL_HDLC;
      cast = "DL_HDLC";
      break;
    case KAV_PCAP_LT_FDDI:
      lk->dlpi = KAV_DL_FDDI;
      break;
    case KAV_PCAP_LT_ATM:
      lk->dlpi = KAV_DL_METRO;
      cast = "DL_METRO";
      break;
    case KAV_PCAP_LT_RAW:
      lk->dlpi = KAV_DL_ETHER;
      lk->rawdl = 0;
      break;
    case KAV_PCAP_LT_SLL:
      lk->dlpi = KAV_DL_IPRAW;
      lk->cooked = 1;
      break;
    case KAV_PCAP_LT_SLL2:
      lk->dlpi = KAV_DL_IPRAW;
      lk->cooked = 2;
      break;
    case KAV_PCAP_LT_RAWIP:
    case KAV_PCAP_LT_IPV4:
    case KAV_PCAP_LT_IPV6:
      lk->dlpi = KAV_DL_IPRAW;
      break;
    default:
      lk->dlpi = KAV_DL_OTHER;
      break;
  }
  if (FILE *m = notes(r)) {
    if (cast) fprintf(m, "Casting linktype=%d to DLPI type %s - may be wrong\n", (int)linktype, cast);
    fprintf(m, "PCAP linktype=%d mapped to DLPI=0x%x\n", (int)linktype, (unsigned)lk->dlpi);
  }
}

// Reads a Linux cooked header. IPv4 and IPv6 frames lose it: the session
// is raw IP and the analyser tells the two apart by the version nibble.
// Any other protocol keeps a version-1 image of it in front of its payload,
// so its frame starts with the packet type's high octet (0 for every type
// the kernel writes) and is shown as data rather than taken for IP; such a
// protocol is reported once. Returns the octets left in the buffer, or -1.
int cooked_header(imp_reader *r, const imp_link *lk) {
  unsigned char c[SLL2_HDR];
  size_t n = lk->cooked == 2 ? SLL2_HDR : SLL_HDR;
  if (get(r, c, n) != n) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on cooked packet header - errno=%d [%s]", err,
             imp_errtxt(err));
    return -1;
  }
  unsigned dir, arphrd, alen, proto;
  const unsigned char *addr;
  if (lk->cooked == 2) {
    proto = be16(c);
    arphrd = be16(c + 8);
    dir = c[10];
    alen = c[11];
    addr = c + 12;
  } else {
    dir = be16(c);
    arphrd = be16(c + 2);
    alen = be16(c + 4);
    addr = c + 6;
    proto = be16(c + 14);
  }
  if (proto == KAV_ETHTYPE_IP || proto == KAV_ETHTYPE_IPV6) return 0;
  unsigned char bit = (unsigned char)(1u << (proto & 7));
  if (!r->scanning && !(r->noted[proto >> 3] & bit)) {
    r->noted[proto >> 3] |= bit;
    if (r->msgs)
      fprintf(r->msgs,
              "Unexpected LINUXSLL header on pkt=%lu with arphrd=0x%x, proto=0x%x, linkaddr=%d - direction=%d\n",
              (unsigned long)r->nframes, arphrd, proto, (int)alen, (int)dir);
  }
  put_be16(r->frame, dir);
  put_be16(r->frame + 2, arphrd);
  put_be16(r->frame + 4, alen);
  memmove(r->frame + 6, addr, 8);
  put_be16(r->frame + 14, proto);
  return SLL_HDR;
}

// Reads a frame of `cap` captured octets (`wire` on the wire) framed as
// the interface's link says: leading link words and the cooked header are
// dropped, and so is the checksum, which no decoder of a logged frame
// expects. What does not fit the buffer is cut and counted.
int link_frame(imp_reader *r, imp_iface *f, int64_t cap, int64_t wire) {
  const imp_link *lk = &f->link;
  int64_t hdr = lk->lead + (lk->cooked == 2 ? SLL2_HDR : lk->cooked ? SLL_HDR : 0);
  if (cap < hdr) return bad_lengths("captured", cap, hdr);
  if (wire < hdr) return bad_lengths("wire", wire, hdr);
  if (lk->lead) {
    unsigned char w[8];
    if (get(r, w, (size_t)lk->lead) != (size_t)lk->lead) return header_failed();
  }
  int have = 0;
  if (lk->cooked && (have = cooked_header(r, lk)) < 0) return 1;
  int64_t fcap = cap - hdr, fwire = wire - hdr, tail = 0;
  if (lk->fcs) {
    if (fwire < lk->fcs) return bad_lengths("wire", wire, hdr + lk->fcs);
    fwire -= lk->fcs;
    // A frame cut by the snapshot length may have lost its checksum already.
    if (fcap > fwire) {
      tail = fcap - fwire;
      fcap = fwire;
    }
  }
  r->wirelen = have + fwire;
  if (read_frame(r, f, have + fcap, have)) return 1;
  if (tail > 0 && skip(r, (uint64_t)tail)) return data_failed();
  return 0;
}

// Record header read: 0 read, -1 clean end of input, 1 failure.
int get_rechdr(imp_reader *r, unsigned char *h, size_t n) {
  size_t got = get(r, h, n);
  if (got == n) return 0;
  if (got == 0 && errno == 0) return -1;
  return header_failed();
}

// One interface of the classic formats, named after the source.
void one_iface(imp_reader *r, int dlpi, int rawdl, int64_t snaplen) {
  r->nifs = 1;
  imp_iface &f = r->ifs[0];
  f = imp_iface{};
  f.link.dlpi = dlpi;
  f.link.rawdl = rawdl;
  f.link.snaplen = snaplen;
  f.units = 1000000;
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
  one_iface(r, (int)be32(h + 12), 1, 0);
  return 0;
}

int pcap_open(imp_reader *r, const unsigned char *magic) {
  unsigned char h[PCAP_HDR];
  memcpy(h, magic, 4);
  if (get(r, h + 4, PCAP_HDR - 4) != PCAP_HDR - 4) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on Tcpdump header=%lu - errno=%d",
             (unsigned long)PCAP_HDR, errno);
    return 1;
  }
  uint32_t m;
  memcpy(&m, h, 4);
  r->swap = m == __builtin_bswap32(PCAP_MAGIC) || m == __builtin_bswap32(PCAP_NSEC_MAGIC);
  if (r->swap) m = __builtin_bswap32(m);
  if (m != PCAP_MAGIC && m != PCAP_NSEC_MAGIC) {
    memcpy(&m, h, 4);
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid Tcpdump magic value - 0x%x", m);
    return 1;
  }
  r->nsec = m == PCAP_NSEC_MAGIC;
  unsigned major = host16(r, h + 4), minor = host16(r, h + 6);
  if ((major != 2 || minor != 4) && r->msgs)
    fprintf(r->msgs, "Warning: Logfile version is %d:%d  vs expected=%d:%d - will try to continue\n",
            (int)major, (int)minor, 2, 4);
  uint32_t word = host32(r, h + 20);
  int fcs = word & LT_FCS_PRESENT ? (int)(word >> 28) * 2 : 0;
  one_iface(r, 0, 0, 0);
  link_setup(r, &r->ifs[0].link, word & LT_MASK, fcs, host32(r, h + 16));
  return 0;
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
  if (read_frame(r, &r->ifs[0], incl, 0)) return 1;
  if (skip(r, (uint64_t)(reclen - SNOOP_REC - incl))) return data_failed();
  return 0;
}

int pcap_next(imp_reader *r) {
  unsigned char h[PCAP_REC];
  int rc = get_rechdr(r, h, PCAP_REC);
  if (rc) return rc;
  r->sec = host32(r, h);
  r->usec = r->nsec ? host32(r, h + 4) / 1000 : host32(r, h + 4);
  return link_frame(r, &r->ifs[0], host32(r, h + 8), host32(r, h + 12));
}

int ip_next(imp_reader *r) {
  int rc = get_rechdr(r, r->frame, IP_PEEK);
  if (rc) return rc;
  int64_t len = be16(r->frame + 2);
  if (len < IP_PEEK) return bad_lengths("IP total", len, IP_PEEK);
  r->sec = r->usec = 0;
  r->wirelen = len;
  return read_frame(r, &r->ifs[0], len, IP_PEEK);
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
    if (etype != KAV_ETHTYPE_IP) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to determine size of frame (EtherType=0x%04x)", etype);
      return 1;
    }
    len = be16(r->frame + 16) + 14;
  }
  if (len < ETH_PEEK) return bad_lengths("frame", len, ETH_PEEK);
  r->sec = r->usec = 0;
  r->wirelen = len;
  return read_frame(r, &r->ifs[0], len, ETH_PEEK);
}

// ---- pcapng ---------------------------------------------------------------
// A block is read as a stream: its body length bounds every read inside it
// (r->left), so no length in the file can make a read leave its block.

int bad_block(uint32_t type, uint32_t len) {
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid pcapng block length %u (type 0x%x)", len, type);
  return 1;
}

int body_read(imp_reader *r, void *dst, uint64_t n) {
  if (n > r->left) return too_long("pcapng field", n, r->left);
  if (get(r, dst, (size_t)n) != n) return data_failed();
  r->left -= n;
  return 0;
}

int body_skip(imp_reader *r, uint64_t n) {
  if (n > r->left) return too_long("pcapng field", n, r->left);
  if (skip(r, n)) return data_failed();
  r->left -= n;
  return 0;
}

uint64_t padded(uint64_t n) { return (n + 3) & ~(uint64_t)3; }

int set_tsresol(imp_iface *f, unsigned v) {
  unsigned exp = v & 0x7F;
  // 2^63 and 10^19 are the finest resolutions a 64-bit count can divide.
  if ((v & 0x80) ? exp > 63 : exp > 19) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid if_tsresol 0x%02x", v);
    return 1;
  }
  f->units = 1;
  for (unsigned i = 0; i < exp; i++) f->units = (v & 0x80) ? f->units * 2 : f->units * 10;
  return 0;
}

// Walks the options that fill the rest of the block body; an interface
// description takes what it knows from them.
int ng_options(imp_reader *r, imp_iface *f) {
  while (r->left > 0) {
    unsigned char oh[4];
    if (body_read(r, oh, sizeof oh)) return 1;
    unsigned code = host16(r, oh), len = host16(r, oh + 2);
    if (padded(len) > r->left) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid pcapng option length %u (code %u, %llu octets left)", len,
               code, (unsigned long long)r->left);
      return 1;
    }
    if (code == NG_OPT_END) break;  // anything after it is padding
    unsigned char v[36];
    size_t n = len < sizeof v ? len : sizeof v;
    if (body_read(r, v, n) || body_skip(r, padded(len) - n)) return 1;
    if (!f) continue;
    if (code == NG_IF_NAME && len <= 32) {
      memcpy(f->name, v, len);
      f->name[len] = '\0';
    } else if (code == NG_IF_TSRESOL && len == 1) {
      if (set_tsresol(f, v[0])) return 1;
    } else if (code == NG_IF_TSOFFSET && len == 8) {
      uint64_t off;
      memcpy(&off, v, 8);
      f->tsoffset = (int64_t)(r->swap ? __builtin_bswap64(off) : off);
    }
  }
  return body_skip(r, r->left);
}

int ng_section(imp_reader *r) {
  unsigned char h[12];
  if (body_read(r, h, sizeof h)) return 1;
  unsigned major = host16(r, h), minor = host16(r, h + 2);
  if (major != 1) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unsupported pcapng version %u.%u", major, minor);
    return 1;
  }
  if (minor != 0 && notes(r))
    fprintf(notes(r), "Warning: Logfile version is %d:%d  vs expected=%d:%d - will try to continue\n", (int)major,
            (int)minor, 1, 0);
  r->ses_base += r->ses_count;
  r->ses_count = 0;
  return ng_options(r, nullptr);
}

int ng_interface(imp_reader *r) {
  unsigned char h[8];
  if (body_read(r, h, sizeof h)) return 1;
  imp_iface f{};
  f.units = 1000000;
  if (ng_options(r, &f)) return 1;
  // The second pass stops where the first did, before an interface the log has no session for.
  int ses = r->ses_base + r->ses_count;
  if (ses >= IMP_MAXIFS || (!r->scanning && ses >= r->nifs)) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Too many interfaces (more than %d)", IMP_MAXIFS);
    return 1;
  }
  link_setup(r, &f.link, host16(r, h), 0, host32(r, h + 4));
  if (r->scanning) {
    r->ifs[ses] = f;
    r->nifs = ses + 1;
  }
  r->ses_count++;
  return 0;
}

imp_iface *ng_iface_of(imp_reader *r, uint32_t id) {
  if (id >= (uint32_t)r->ses_count) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid interface %u (section has %d)", id, r->ses_count);
    return nullptr;
  }
  r->ifx = r->ses_base + (int)id;
  return &r->ifs[r->ifx];
}

// Enhanced and obsolete packet blocks: interface, time stamp, lengths,
// data padded to 32 bits, options.
int ng_packet(imp_reader *r, uint32_t type) {
  unsigned char h[20];
  if (body_read(r, h, sizeof h)) return 1;
  uint32_t id = type == NG_EPB ? host32(r, h) : host16(r, h);
  uint32_t cap = host32(r, h + 12), wire = host32(r, h + 16);
  imp_iface *f = ng_iface_of(r, id);
  if (!f) return 1;
  if (padded(cap) > r->left) return too_long("captured", cap, r->left);
  uint64_t ts = (uint64_t)host32(r, h + 4) << 32 | host32(r, h + 8);
  r->sec = (int64_t)(ts / f->units + (uint64_t)f->tsoffset);
  r->usec = (int64_t)((unsigned __int128)(ts % f->units) * 1000000 / f->units);
  if (link_frame(r, f, cap, wire)) return 1;
  r->left -= cap;
  if (body_skip(r, padded(cap) - cap)) return 1;
  return ng_options(r, nullptr);
}

// Simple packet block: the section's first interface, no time stamp, as
// much of the frame as the snapshot length and the block hold.
int ng_simple(imp_reader *r) {
  unsigned char h[4];
  if (body_read(r, h, sizeof h)) return 1;
  imp_iface *f = ng_iface_of(r, 0);
  if (!f) return 1;
  uint32_t wire = host32(r, h), cap = wire;
  if (f->link.snaplen > 0 && cap > f->link.snaplen) cap = (uint32_t)f->link.snaplen;
  if (cap > r->left) return too_long("captured", cap, r->left);
  r->sec = r->usec = 0;
  if (link_frame(r, f, cap, wire)) return 1;
  r->left -= cap;
  return body_skip(r, r->left);
}

// One block: 0 = a frame was read, 2 = another block, -1 = clean end of
// input, 1 = failure.
int ng_block(imp_reader *r) {
  unsigned char h[8];
  uint32_t type;
  if (r->next_block) {
    type = r->next_block;
    r->next_block = 0;
    if (get(r, h + 4, 4) != 4) return header_failed();
  } else {
    int rc = get_rechdr(r, h, sizeof h);
    if (rc) return rc;
    type = host32(r, h);
  }
  if (type == NG_SHB) {
    // The section's byte order is known from its magic only.
    unsigned char bom[4];
    if (get(r, bom, 4) != 4) return header_failed();
    uint32_t m;
    memcpy(&m, bom, 4);
    if (m != NG_BOM && m != __builtin_bswap32(NG_BOM)) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid pcapng byte-order magic - 0x%x", m);
      return 1;
    }
    r->swap = m != NG_BOM;
  }
  uint32_t total = host32(r, h + 4);
  uint32_t fixed = type == NG_SHB ? 16 : type == NG_IDB ? 8 : type == NG_EPB || type == NG_OPB ? 20
                                                                : type == NG_SPB ? 4 : 0;
  if (total % 4 || total < NG_BLOCK_MIN + fixed) return bad_block(type, total);
  r->left = total - NG_BLOCK_MIN - (type == NG_SHB ? 4 : 0);
  int rc = 2;
  switch (type) {
    case NG_SHB:
      if (ng_section(r)) return 1;
      break;
    case NG_IDB:
      if (ng_interface(r)) return 1;
      break;
    case NG_EPB:
    case NG_OPB:
      if (ng_packet(r, type)) return 1;
      rc = 0;
      break;
    case NG_SPB:
      if (ng_simple(r)) return 1;
      rc = 0;
      break;
    default:  // statistics, name resolution, custom and unknown blocks
      if (body_skip(r, r->left)) return 1;
      break;
  }
  unsigned char t[4];
  if (get(r, t, 4) != 4) return data_failed();
  if (host32(r, t) != total) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid pcapng block length %u vs trailer %u (type 0x%x)", total,
             host32(r, t), type);
    return 1;
  }
  return rc;
}

// A log names its sessions before its first event, so a first pass over
// the whole input collects the interfaces; the second delivers the frames.
// A pipe's bytes are kept in an unnamed temporary file for the second pass.
int pcapng_open(imp_reader *r) {
  r->pcapng = 1;
  off_t at = r->unseekable ? -1 : ftello(r->in);
  if (at < 0) {
    r->spool = tmpfile();
    if (!r->spool) {
      int err = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to create spool file - errno=%d [%s]", err, imp_errtxt(err));
      return 1;
    }
  }
  r->scanning = 1;
  r->next_block = NG_SHB;
  uint64_t blocks = 0;
  int rc;
  while ((rc = ng_block(r)) == 0 || rc == 2) blocks++;
  if (rc == 1 && blocks == 0) return 1;  // the first section header is the file header
  r->scanning = 0;
  int err = r->spool_err;
  if (!err && r->spool && (fflush(r->spool) != 0 || fseeko(r->spool, 0, SEEK_SET) != 0)) err = errno;
  if (!err && !r->spool && fseeko(r->in, at, SEEK_SET) != 0) err = errno;
  if (err) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to reread the input - errno=%d [%s]", err, imp_errtxt(err));
    return 1;
  }
  if (r->spool) r->in = r->spool;
  clearerr(r->in);
  r->next_block = NG_SHB;
  r->swap = 0;
  r->ses_base = r->ses_count = 0;
  for (int i = 0; i < r->nifs; i++) r->ifs[i].rej_frames = r->ifs[i].rej_octets = 0;
  if (r->nifs == 0) one_iface(r, KAV_DL_OTHER, 1, 0);  // a log has at least one session
  return 0;
}

int capture_open(imp_reader *r) {
  unsigned char m[4];
  bool got = get(r, m, 4) == 4;
  uint32_t magic;
  memcpy(&magic, m, 4);
  if (got && magic == NG_SHB) return pcapng_open(r);
  if (r->type == IMP_PCAPNG) {
    if (!got)
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on pcapng header - errno=%d", errno);
    else
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid pcapng magic value - 0x%x", magic);
    return 1;
  }
  if (!got) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Read failed on Tcpdump header=%lu - errno=%d",
             (unsigned long)PCAP_HDR, errno);
    return 1;
  }
  return pcap_open(r, m);
}

}  // namespace

const char *imp_errtxt(int err) {
  const char *t = err ? strerror(err) : nullptr;
  return t ? t : "UNKNOWN";
}

int imp_open(imp_reader *r) {
  r->swap = r->nsec = r->pcapng = r->scanning = r->spool_err = 0;
  r->spool = nullptr;
  r->next_block = 0;
  r->ses_base = r->ses_count = 0;
  r->nifs = 0;
  r->ifx = 0;
  r->nframes = 0;
  memset(r->noted, 0, sizeof r->noted);
  skip(r, r->first_off);  // a short input shows up at the header or first record
  switch (r->type) {
    case IMP_SNOOP:
      return snoop_open(r);
    case IMP_TCPDUMP:
    case IMP_PCAPNG:
      return capture_open(r);
    case IMP_IP:
    case IMP_ETHER:
      one_iface(r, KAV_DL_ETHER, r->type == IMP_ETHER, 0);
      return 0;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unsupported logfile type (%d)", r->type);
  return 1;
}

int imp_next(imp_reader *r) {
  if (r->gap && skip(r, r->gap)) return -1;  // trailing gap bytes end the input
  int rc;
  r->ifx = 0;
  if (r->pcapng) {
    while ((rc = ng_block(r)) == 2) {
    }
  } else {
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
  }
  if (rc == 0) r->nframes++;
  return rc;
}

void imp_close(imp_reader *r) {
  if (r->spool) {
    if (r->in == r->spool) r->in = nullptr;
    fclose(r->spool);
    r->spool = nullptr;
  }
}
