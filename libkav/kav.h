// libkav: the capture log format (reader and writer) and the packet filter
// language (compiler and matcher).
// Functions return 0 on success and 1 on failure with the reason in tvl_usrmsg,
// unless said otherwise.
#ifndef KAV_H
#define KAV_H

#include <cstdint>
#include <cstdio>

#include "kavproto.h"

// ---- log format ------------------------------------------------------------

#define KAV_LOG_MAJOR 3
#define KAV_LOG_MINOR 1
#define KAV_LOG_BOM 0x1234

// Log header, 15 bytes at the start of every log.
struct kav_loghdr {
  char magic[6];           // "kavtap", not terminated, not checked by readers
  unsigned char zero[4];
  unsigned char major;     // KAV_LOG_MAJOR
  unsigned char minor;     // KAV_LOG_MINOR
  unsigned short byteorder;  // KAV_LOG_BOM in the writer's byte order
  signed char nsessions;   // 1..127
} __attribute__((packed));
static_assert(sizeof(kav_loghdr) == 15, "log header is 15 bytes");

// Capture flags (kav_seshdr::capflags).
#define KAV_CAP_RAW 0x1           // raw data-link capture
#define KAV_CAP_PROMISC 0x2       // promiscuous mode
#define KAV_CAP_MECH_SHIFT 3      // bits 3-6: capture mechanism
#define KAV_CAP_MECH_MASK 0x78
#define KAV_CAPMECH_DLPI 1
#define KAV_CAPMECH_SOCK 2
#define KAV_CAPMECH_TLI 3

// Data-link types (DLPI provider-type codes), kav_seshdr::linktype.
#define KAV_DL_CSMACD 0   // "802.3 Ethernet"
#define KAV_DL_TPB 1      // "Token Bus"
#define KAV_DL_TPR 2      // "Token Ring"
#define KAV_DL_METRO 3    // "802.6 MAN"
#define KAV_DL_ETHER 4    // "Ethernet"
#define KAV_DL_HDLC 5     // "HDLC"
#define KAV_DL_CHAR 6     // "Character-Synchronous"
#define KAV_DL_CTCA 7     // "IBM Channel-to-Channel"
#define KAV_DL_FDDI 8     // "FDDI"
#define KAV_DL_OTHER 9    // "Other"
#define KAV_DL_IPRAW 129  // "Raw IP"

// Session header, 216 bytes; the int64_t fields are converted when the log
// was written in the other byte order.
struct kav_seshdr {
  char hostname[65];        // NUL-terminated, at most 64 characters
  unsigned char zero1[7];
  int64_t start;            // session start, seconds since 1970
  char ifname[36];          // NUL-terminated, at most 32; "" = all interfaces
  unsigned char ipaddr[4];  // interface IPv4 address, network order
  int64_t netmask;          // host-order 32-bit mask, sign-extended
  int64_t mtu;
  int64_t snaplen;          // -1 = whole frames
  int64_t filtlen;          // filter text length including its NUL; 0 = none
  int64_t capflags;         // KAV_CAP_*
  int64_t linktype;         // KAV_DL_*
  int64_t devparm1;         // written 0
  int64_t devparm2;         // written 0
  int64_t hwaddrlen;
  unsigned char hwaddr[24];
};
static_assert(sizeof(kav_seshdr) == 216, "session header is 216 bytes");

// Event types.
#define KAV_EVT_FRAME 1   // captured frame
#define KAV_EVT_ERROR 2   // stream error, message data, session goes on
#define KAV_EVT_FATAL 3   // session abandoned, message data, trailer follows
#define KAV_EVT_END 4     // session ended normally, trailer follows

// Event header, 40 bytes.
struct kav_evthdr {
  unsigned char ses;       // session index, 0-based
  unsigned char type;      // KAV_EVT_*
  unsigned char zero[6];
  int64_t sec;             // time stamp, seconds since 1970
  int64_t usec;            // time stamp, microseconds
  int64_t caplen;          // data bytes following the header
  int64_t wirelen;         // frame length on the wire (caplen for other types)
};
static_assert(sizeof(kav_evthdr) == 40, "event header is 40 bytes");

// Session trailer, 40 bytes, after type 3 and 4 events.
struct kav_sestrl {
  int64_t duration;        // seconds
  int64_t frames;          // type-1 events logged
  int64_t octets;          // sum of their wire lengths
  int64_t rejected;        // frames rejected by the capture filter; -1 = unknown
  int64_t rej_octets;      // sum of their wire lengths
};
static_assert(sizeof(kav_sestrl) == 40, "session trailer is 40 bytes");

// One session of an open log (array owned by the handle or the caller).
struct kav_session {
  kav_seshdr hdr;          // header image as in the file
  kav_sestrl trl;          // trailer image; the writer's running counters
  char *filter;            // filter text (hdr.filtlen bytes), or null
  kav_evthdr evthdr;       // current event header of this session
  uint64_t events;         // events of this session written or read
  int closed;              // trailer written or read
  int filter_alloc;        // the reader allocated filter
};

// Log handle: zeroed by its owner before use.
struct kav_logfile {
  kav_loghdr hdr;          // caller sets hdr.nsessions before writing
  kav_session *sessions;   // caller-supplied, or allocated by the library
  const char *path;        // file to open, or null to use stream
  FILE *stream;
  int nobuf;               // flush after every event written
  int eof;                 // a read met the end of the file
  int swap;                // file written in the other byte order
  kav_evthdr evthdr;       // event header of reads that name no session
  uint64_t bytes_read;
  uint64_t events;
  uint64_t packets;        // type-1 events
  uint64_t octets;         // sum of wire lengths of type-1 events
  void *stdiobuf;          // stdio buffer the library allocated
  int opened;              // the library opened stream
  int own_sessions;        // the library allocated sessions
};

// Indexes into kav_logdesc: the source of a log.
#define KAV_LOGSRC_NONE 0
#define KAV_LOGSRC_VELMORA 1
#define KAV_LOGSRC_SNOOP 2
#define KAV_LOGSRC_TCPDUMP 3
#define KAV_LOGSRC_IP 4
#define KAV_LOGSRC_ETHER 5
extern const char *const kav_logdesc[6];  // "", "Velmora", "Snoop", "Tcpdump", "IP", "Ethernet"

// kav_read_evt flags.
#define KAV_RD_DATA 0x1u     // header already read by a KAV_RD_HDR call: read the data only
#define KAV_RD_HDR 0x2u      // read and check the header only

int kav_write_loghdr(kav_logfile *log, void *buf, int bufsize);
int kav_write_seshdr(kav_logfile *log, int ses);
int kav_write_evt(kav_logfile *log, int ses, const void *data, int count_only);
void kav_close_logfile(kav_logfile *log);
// Flushes the output and checks the stream's error state: 0, or 1 with
// "Flush failed on output - errno=%d [%s]" when anything written was lost.
int kav_flush_logfile(kav_logfile *log);
// A log is binary: 1 after the two refusal lines on standard error when the
// descriptor is a terminal, else 0.
int kav_refuse_terminal(int fd);
// An input stream on in_fd that also watches out_fd while it waits: once the
// reader of out_fd has gone, a read fails with EPIPE instead of blocking, so
// a program in a pipeline stops as soon as nobody takes its output. Null
// with the reason in tvl_usrmsg. Close it with fclose.
FILE *kav_watched_input(int in_fd, int out_fd);
// The reader of out_fd has gone (a pipe without readers, a hung-up
// terminal or socket).
int kav_output_gone(int out_fd);
int kav_read_loghdr(kav_logfile *log, void *buf, int bufsize);
int kav_read_seshdr(kav_logfile *log, int ses);
// Result 1 with log->eof set and tvl_usrmsg untouched is the end of the log;
// 1 with *truncated set is an event cut to bufsize (delivered, readable on).
int kav_read_evt(kav_logfile *log, int ses, void *buf, int bufsize, unsigned int flags, int *truncated);

// State of mapped and gathered logs is kept by the library, not in the
// handle, for this many handles at a time.
#define KAV_MAX_EXT_LOGS 256

// Reading without stdio: after the session headers, the rest of a log that
// is a regular file is read from windows of at least `window` bytes mapped
// from the file (the window follows the reader; the file may grow, a file
// that shrinks is a read failure). Result 1 when the log is now read that
// way, 0 when it stays on stdio (not a regular file, the mapping failed, or
// KAV_MAX_EXT_LOGS logs are mapped or gathered already). kav_close_logfile
// releases the mapping.
int kav_map_input(kav_logfile *log, size_t window);
// kav_read_evt that leaves the data of a mapped log where it is: *data
// receives its address in the mapping (the first bufsize bytes of a longer
// event). Data of a log read through stdio is read into buf and *data is
// buf. Mapped data stays valid until the window has moved twice, and
// kav_map_moves counts the moves.
int kav_read_evt_ref(kav_logfile *log, int ses, void *buf, int bufsize, unsigned int flags, int *truncated,
                     const void **data);
uint64_t kav_map_moves(const kav_logfile *log);
// Once the data taken from a mapped log has been written: 0 when the file
// still holds every byte seen of it, else 1 (it shrank, and data written
// from it may be wrong).
int kav_map_check(kav_logfile *log);
// addr lies in a window mapped for the log. Async-signal-safe, for a SIGBUS
// handler: the bytes of a mapped file that was cut short fault.
int kav_map_holds(const kav_logfile *log, const void *addr);

// Gathered writing, for an output that is not flushed after every event
// (nobuf 0): once the headers are written, events go out with writev()
// in blocks of up to a few MiB, and the data passed to kav_write_evt_ref is
// not copied but referred to until the next kav_write_sync or the end of the
// block. A failed block write is reported like a buffered stream's: by the
// event write that ends the block, or by the next write or flush. Result 1
// when the output is now gathered, 0 when it stays on stdio (as for
// kav_map_input, KAV_MAX_EXT_LOGS handles at most are mapped or gathered).
int kav_gather_output(kav_logfile *log);
// kav_write_evt whose data, on a gathered output, must stay valid until it is
// written (kav_write_sync, kav_flush_logfile or kav_close_logfile).
int kav_write_evt_ref(kav_logfile *log, int ses, const void *data);
// Writes out what is gathered, so that data referred to may go away. A
// failure is kept for the next event write or flush to report.
void kav_write_sync(kav_logfile *log);

// ---- filter ----------------------------------------------------------------

// Layers and protocol codes found by the layer walk: kavproto.h.

// Rule parameter bits (kav_filtnode::params, ::negparams).
#define KAV_FP_LEN 0x1
#define KAV_FP_HLEN 0x2
#define KAV_FP_DLEN 0x4
#define KAV_FP_SRC 0x8
#define KAV_FP_DST 0x10
#define KAV_FP_SD 0x20
#define KAV_FP_SD1 0x40
#define KAV_FP_ETYPE 0x80
#define KAV_FP_TYPE 0x100
#define KAV_FP_CODE 0x200
#define KAV_FP_C 0x400
#define KAV_FP_ORG 0x800
#define KAV_FP_F 0x1000

// Node flags (kav_filtnode::flags).
#define KAV_FN_NEG 0x1     // result negated
#define KAV_FN_OR 0x2      // children joined by "|" (else "&")

// Address or port value of SRC/DST/SD parameters.
struct kav_filtaddr {
  unsigned char addr[16];  // IPv4 (4 bytes), IPv6 (16), Ethernet (6), LLC SAP (1) or port (2, network order)
  unsigned char nbytes;    // whole bytes to compare
  unsigned char mask;      // leading bits of the next byte (IP prefix), 0 = none
  unsigned char mcast;     // Ethernet "M": any multicast address
  char relop;              // '<', '=' or '>'
  unsigned char cmask[16]; // per-byte comparison mask derived from nbytes and mask
};

// One node of a compiled filter: a rule (no children) or a group.
struct kav_filtnode {
  int token;               // protocol keyword token (0 for a group)
  int layer;
  int proto;
  int len;
  char len_op;
  int hlen;
  char hlen_op;
  int dlen;
  char dlen_op;
  kav_filtaddr src;
  kav_filtaddr dst;
  unsigned short etype;    // network order
  unsigned char icmp_type;
  unsigned char icmp_code;
  unsigned char llc_ctl;
  unsigned char snap_org[3];
  unsigned char ipfrag;    // F for IP: 1 = must be a fragment
  unsigned char tcp_set;   // TCP flags that must be set
  unsigned char tcp_clr;   // TCP flags that must be clear
  int params;              // KAV_FP_* given
  int negparams;           // KAV_FP_* negated
  int flags;               // KAV_FN_*
  int child;               // distance in nodes to the first child
  int nchild;
  int maxlayer;            // root only: deepest layer any rule of the filter reads
  // Library-internal, set by the compiler for rules: how the rule is decided
  // on an Ethernet II frame, and for a network layer found by its Ethernet
  // type alone, that type and the least captured length that holds it.
  int eth_how;
  unsigned short eth_type;
  unsigned short eth_min;
};

// The layer an Ethernet (or SNAP, GRE) type leads to: 1 with *layer/*proto
// set when the type has a decoder, 0 (nothing set) when it has none. The one
// table behind both the layer walk and the analyser's link decoder.
int kav_ethtype_layer(unsigned type, int *layer, int *proto);
// The layer an 802.2 LLC header leads to (SNAP, IPX, or IP or SNAP after an
// ISO NLPID): 1 with *layer/*proto set and *hlen the header length (3, or 4
// with the NLPID), 0 (nothing set) for any other header. nlpid is the octet
// after the control octet, -1 when it was not captured.
int kav_llc_layer(unsigned dsap, unsigned ssap, unsigned ctl, int nlpid, int *layer, int *proto, int *hlen);

// Compiles a filter expression; the result (node array, node 0 the root) is
// released with kav_filt_free. *size receives its size in bytes.
void *kav_filt_parse(const char *text, int *size);
// Expands the tap's host[:port] shorthand into an expression, in a static
// 1025-byte buffer overwritten by the next call.
char *kav_filt_short(const char *spec);
void kav_filt_free(void *filter);

// Starting layer and protocol for a frame of the given data-link type. The
// result is the protocol number at *layer (-1: unknown, result 0). Reads at
// most the first 16 bytes of the frame; kav_proto_id_n bounds that by caplen.
int kav_proto_id(int linktype, const unsigned char *frame, int *layer, int *offset, unsigned int capflags);
int kav_proto_id_n(int linktype, const unsigned char *frame, int caplen, int *layer, int *offset,
                   unsigned int capflags);
// Nonzero when the frame matches. layer/proto/offset (if layer is not null)
// receive the starting point from kav_proto_id.
int kav_filt_match(const void *filter, const unsigned char *frame, int caplen, int linktype, int *layer,
                   int *proto, int *offset, unsigned int capflags);
// The same decision taken by the general layer walk alone, without the
// shortcuts kav_filt_match takes for common frames; the reference they are
// checked against.
int kav_filt_match_walked(const void *filter, const unsigned char *frame, int caplen, int linktype, int *layer,
                          int *proto, int *offset, unsigned int capflags);

#endif
