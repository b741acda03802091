// kav_import: readers for the foreign capture formats.
// Each reader pulls one frame at a time from a stdio stream into a fixed
// frame buffer; every length taken from the input is checked before use.
#ifndef IMPFMT_H
#define IMPFMT_H

#include <cstdint>
#include <cstdio>

// Source types: the indexes of kav_logdesc.
enum { IMP_SNOOP = 2, IMP_TCPDUMP = 3, IMP_IP = 4, IMP_ETHER = 5 };

#define IMP_FRAMEBUF 17008

struct imp_reader {
  // set by the caller
  FILE *in;
  FILE *msgs;           // warnings and notes go here; null keeps them quiet
  int type;             // IMP_*
  uint64_t first_off;   // -o: bytes before the first record
  uint64_t gap;         // -p: bytes before every record
  // set by imp_open from the file header
  int swap;             // pcap written in the other byte order
  uint32_t linktype;    // pcap link type
  int64_t snaplen;
  int drop;             // per-frame family word to drop (pcap link type 0)
  int dlpi;             // data-link type of the log
  int rawdl;            // raw data-link capture
  // running state
  uint64_t nframes;     // frames delivered so far
  uint64_t rej_frames;  // frames cut to the buffer
  uint64_t rej_octets;  // bytes dropped by those cuts
  // the frame delivered by imp_next
  int64_t sec, usec, caplen, wirelen;
  unsigned char frame[IMP_FRAMEBUF];
};

// Skips the first offset and reads the file header. 0, or 1 with the
// reason in tvl_usrmsg.
int imp_open(imp_reader *r);

// Reads the next frame. 0 = a frame is in r->frame; -1 = clean end of
// input; 1 = parse or read failure, reason in tvl_usrmsg.
int imp_next(imp_reader *r);

// Text of the error number for messages: the platform's, or "UNKNOWN".
const char *imp_errtxt(int err);

#endif
