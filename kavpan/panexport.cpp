// Export of the selected frames of a log into snoop, pcap, raw-IP-sequence or
// raw-Ethernet-sequence form on the output stream.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "pansvc.h"
#include "tova.h"

namespace {

constexpr int kSnoopRec = 24;
constexpr int kEtherHdr = 14;

void be32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}
unsigned get16(const unsigned char *p) { return unsigned(p[0]) << 8 | p[1]; }

uint32_t clamp32(int64_t v) { return v < 0 ? 0 : v > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(v); }

int put(kav_export *x, const void *p, size_t n) {
  if (n && fwrite(p, 1, n, x->out) != n) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Export write failed - errno=%d [%s]", err,
             err ? strerror(err) : "UNKNOWN");
    return 1;
  }
  return 0;
}

// pcap link type for the first session; 0xFFFFFFFF when pcap has no name for it.
unsigned pcap_linktype(const kav_seshdr &sh, int raw2null) {
  if (!(sh.capflags & KAV_CAP_RAW)) return raw2null ? KAV_PCAP_LT_NULL : KAV_PCAP_LT_RAW;
  switch (sh.linktype) {
    case KAV_DL_CSMACD:
    case KAV_DL_ETHER: return KAV_PCAP_LT_ETHER;
    case KAV_DL_METRO: return KAV_PCAP_LT_ATM;
    case KAV_DL_HDLC: return KAV_PCAP_LT_PPP;
    case KAV_DL_FDDI: return KAV_PCAP_LT_FDDI;
    default: return 0xFFFFFFFFu;
  }
}

// The part of a frame a sequence format can carry: the sequences have no
// record headers, and their readers find each record's end from the IPv4
// total length (or the 802.3 length field), so a frame is written only when
// that length is there in full, and without the link padding after it.
// Returns the octet count to write from *start, or -1 to leave the frame out.
long seq_extent(const kav_export *x, bool raw, const unsigned char *d, long n, long *start) {
  *start = 0;
  if (x->type == KAV_LOGSRC_ETHER) {
    if (n < kEtherHdr + 4) return -1;
    unsigned tl = get16(d + 12);
    long len;
    if (tl <= KAV_ETHTYPE_MAXLEN)
      len = long(tl) + kEtherHdr;
    else if (tl == KAV_ETHTYPE_IP && (d[14] >> 4) == KAV_IPVERSION_4)
      len = long(get16(d + 16)) + kEtherHdr;
    else
      return -1;
    return len >= kEtherHdr + 4 && len <= n ? len : -1;
  }
  long off = 0;
  if (raw && x->linktype != KAV_DL_IPRAW) {
    if (n < kEtherHdr || get16(d + 12) != KAV_ETHTYPE_IP) return -1;
    off = kEtherHdr;
  }
  if (n - off < 20 || (d[off] >> 4) != KAV_IPVERSION_4) return -1;
  long len = long(get16(d + off + 2));
  if (len < 20 || len > n - off) return -1;
  *start = off;
  return len;
}

}  // namespace

int export_begin(kav_export *x, FILE *out, int type, const kav_session *ses, int nses, int raw2null) {
  x->out = out;
  x->type = type;
  x->written = x->skipped = 0;
  if (nses < 1) {
    fprintf(stderr, "Logfile contains no sessions - cannot export\n");
    return 1;
  }
  const kav_seshdr &first = ses[0].hdr;
  bool first_raw = first.capflags & KAV_CAP_RAW;
  for (int i = 0; i < nses; i++) {
    const kav_seshdr &sh = ses[i].hdr;
    bool raw = sh.capflags & KAV_CAP_RAW;
    // One pcap link type covers the file: raw frames and bare datagrams
    // cannot share it any more than two link types can.
    if (sh.linktype != first.linktype || (type == KAV_LOGSRC_TCPDUMP && raw != first_raw)) {
      fprintf(stderr, "Logfile contains mixed Data-Link providers - cannot export\n");
      return 1;
    }
    if ((type == KAV_LOGSRC_SNOOP || type == KAV_LOGSRC_ETHER) && !raw) {
      fprintf(stderr, "Export-logfile format doesn't support non-raw data-link packets (session %d)\n", i);
      return 1;
    }
  }
  x->raw = first_raw;
  x->linktype = int(first.linktype);

  // Full buffering for a capture file; a pipe gets each record as it is
  // written, as log output does.
  const char *nobuf = getenv("TOV_STDOUT_NOBUF");
  struct stat st {};
  x->flush_each = (nobuf && !strcasecmp(nobuf, "y")) || fstat(fileno(out), &st) != 0 || !S_ISREG(st.st_mode);

  unsigned char h[24] = {0};
  switch (type) {
    case KAV_LOGSRC_SNOOP:
      memcpy(h, "snoop", 5);
      be32(h + 8, 2);
      be32(h + 12, uint32_t(first.linktype));
      if (put(x, h, 16)) break;
      return 0;
    case KAV_LOGSRC_TCPDUMP: {
      x->dlt = pcap_linktype(first, raw2null);
      if (x->dlt == 0xFFFFFFFFu) {
        fprintf(stderr, "%s doesn't support this Data-Link provider (%ld)\n", "Tcpdump", long(first.linktype));
        return 1;
      }
      // Smallest snapshot length; 0 (not known) limits nothing and -1
      // (whole frames) reads as 0xFFFFFFFF.
      uint32_t snap = 0;
      for (int i = 0; i < nses; i++) {
        uint32_t s = uint32_t(ses[i].hdr.snaplen);
        if (s != 0 && (snap == 0 || s < snap)) snap = s;
      }
      if (snap == 0) snap = 0x7FFFFFFF;
      uint32_t w[6] = {0xA1B2C3D4u, 2u | 4u << 16, 0, 0, snap, x->dlt};
      if (put(x, w, sizeof w)) break;
      return 0;
    }
    case KAV_LOGSRC_IP:
    case KAV_LOGSRC_ETHER:
      return 0;
    default:
      fprintf(stderr, "Unsupported export type (%d)\n", type);
      return 1;
  }
  fprintf(stderr, "%s\n", tvl_usrmsg);
  return 1;
}

int export_packet(kav_export *x, const kav_evthdr *eh, const unsigned char *data, bool raw) {
  uint32_t incl = clamp32(eh->caplen);
  uint32_t wire = clamp32(eh->wirelen);
  if (wire < incl) wire = incl;  // readers reject a record that holds more than the wire carried
  int rc = 0;
  switch (x->type) {
    case KAV_LOGSRC_SNOOP: {
      uint32_t reclen = (incl + kSnoopRec + 3) & ~3u;
      unsigned char h[kSnoopRec + 4] = {0};
      be32(h, wire);
      be32(h + 4, incl);
      be32(h + 8, reclen);
      be32(h + 16, uint32_t(eh->sec));
      be32(h + 20, uint32_t(eh->usec));
      // The pad after the data is zeros.
      rc = put(x, h, kSnoopRec) || put(x, data, incl) || put(x, h + kSnoopRec, reclen - kSnoopRec - incl);
      break;
    }
    case KAV_LOGSRC_TCPDUMP: {
      uint32_t fam = x->dlt == KAV_PCAP_LT_NULL ? 4 : 0;
      uint32_t h[4] = {uint32_t(eh->sec), uint32_t(eh->usec), incl + fam, wire + fam};
      static const unsigned char af_inet[4] = {0, 0, 0, 2};
      rc = put(x, h, sizeof h) || put(x, af_inet, fam) || put(x, data, incl);
      break;
    }
    default: {
      long start = 0;
      long n = seq_extent(x, raw, data, long(incl), &start);
      if (n < 0) {
        x->skipped++;
        return 0;
      }
      rc = put(x, data + start, size_t(n));
      break;
    }
  }
  if (rc) return 1;
  x->written++;
  if (x->flush_each && fflush(x->out) != 0) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Export write failed - errno=%d [%s]", err, strerror(err));
    return 1;
  }
  return 0;
}

int export_end(kav_export *x) {
  if (x->skipped)
    fprintf(stderr, "%lu frame%s not exported: the %s sequence cannot delimit %s\n", (unsigned long)x->skipped,
            x->skipped == 1 ? "" : "s", kav_logdesc[x->type], x->skipped == 1 ? "it" : "them");
  if (fflush(x->out) != 0 || ferror(x->out)) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Export write failed - errno=%d [%s]", err,
             err ? strerror(err) : "UNKNOWN");
    return 1;
  }
  return 0;
}
