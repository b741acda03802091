// kav_import: readers for the foreign capture formats.
// Each reader pulls one frame at a time from a stdio stream into a fixed
// frame buffer; every length taken from the input is checked before use.
#ifndef IMPFMT_H
#define IMPFMT_H

#include <cstdint>
#include <cstdio>

// Source types: the indexes of kav_logdesc, then pcapng, which has no
// name of its own in logs (its sessions are named after their interfaces).
enum { IMP_SNOOP = 2, IMP_TCPDUMP = 3, IMP_IP = 4, IMP_ETHER = 5, IMP_PCAPNG = 6 };

#define IMP_FRAMEBUF 17008
// A log holds at most this many sessions (its count is a signed byte).
#define IMP_MAXIFS 127

// How the frames of one capture interface are framed, and what the log
// session says about them.
struct imp_link {
  uint32_t linktype;  // pcap/pcapng link type proper
  int dlpi;           // data-link type of the session
  int rawdl;          // raw data-link capture
  int lead;           // octets before each frame to drop (family word of link type 0)
  int cooked;         // Linux cooked header version before each frame (1, 2), or 0
  int fcs;            // octets of frame check sequence at the end of each frame
  int64_t snaplen;
};

// One capture interface: one session of the log.
struct imp_iface {
  imp_link link;
  char name[33];           // if_name when it fits a session header, else ""
  uint64_t units;          // time-stamp units per second
  int64_t tsoffset;        // seconds added to every time stamp
  uint64_t rej_frames;     // frames cut to the buffer
  uint64_t rej_octets;     // bytes dropped by those cuts
};

struct imp_reader {
  // set by the caller
  FILE *in;
  FILE *msgs;           // warnings and notes go here; null keeps them quiet
  int type;             // IMP_*
  uint64_t first_off;   // -o: bytes before the first record
  uint64_t gap;         // -p: bytes before every record
  int unseekable;       // treat the input as a pipe even when it is not
  // set by imp_open: one interface per session of the log
  int nifs;
  imp_iface ifs[IMP_MAXIFS];
  // running state
  int swap;             // pcap/pcapng (section) written in the other byte order
  int nsec;             // pcap time stamps in nanoseconds
  int pcapng;           // the input is pcapng
  int scanning;         // pcapng first pass: interfaces only, no frames
  FILE *spool;          // pcapng from a pipe: what the first pass read, for the second
  int spool_err;        // errno of a failed spool write, or 0
  uint32_t next_block;  // pcapng: type of the next block when already read, else 0
  int ses_base;         // pcapng: session of the current section's interface 0
  int ses_count;        // pcapng: interfaces of the current section
  uint64_t left;        // pcapng: octets of the current block body not yet read
  uint64_t nframes;     // frames delivered so far
  unsigned char noted[65536 / 8];  // cooked-header protocols already reported
  // the frame delivered by imp_next
  int ifx;              // its interface (session) index
  int64_t sec, usec, caplen, wirelen;
  unsigned char frame[IMP_FRAMEBUF];
};

// Skips the first offset and reads the file header (for pcapng, a first
// pass over the whole input collects the interfaces). 0, or 1 with the
// reason in tvl_usrmsg.
int imp_open(imp_reader *r);

// Reads the next frame. 0 = a frame is in r->frame; -1 = clean end of
// input; 1 = parse or read failure, reason in tvl_usrmsg.
int imp_next(imp_reader *r);

// Releases what imp_open set up (the pcapng spool file).
void imp_close(imp_reader *r);

// Text of the error number for messages: the platform's, or "UNKNOWN".
const char *imp_errtxt(int err);

#endif
