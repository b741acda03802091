// Shared state and routines of the capture tap: the control block, the
// capture-module table, the device record, control events, rate accounting,
// the subnet table and the small text helpers.
#ifndef TAPSUPP_H
#define TAPSUPP_H

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "kav.h"
#include "tova.h"

#define TAP_TITLE "Velmora: Network Interface Tap"
#define TAP_VERSION VELMORA_VERSION

// Capture mechanisms (capture-flag bits 3-6).
enum { TAP_MECH_DLPI = 1, TAP_MECH_SOCK = 2, TAP_MECH_TLI = 3 };
#define TAP_CAPF_RAWLINK 0x1u
#define TAP_CAPF_PROMISC 0x2u
#define TAP_CAPF_MECHSHIFT 3

#define TAP_DEF_KSDU 4194304
#define TAP_DEF_SNAPLEN 600

struct tap_dev {
  int fd;
  char ifname[33];
  uint32_t ipaddr;   // network order
  uint32_t netmask;  // host order
  long mtu;
  long linktype;
  long parm1, parm2;
  long hwlen;
  unsigned char hwaddr[24];
};

// Rate state shared by the capture loop and the rates/server output.
struct tap_rates {
  uint64_t count;
  uint64_t bytes;
  long next;
  long prev;
};

struct tap_ctlblk;

struct tap_module {
  int single_if;
  void (*usage)(int kind, char *buffer);
  int (*eval_arg)(tap_ctlblk *ctl, int letter, const char *value, int *handled);
  void (*verbose_prologue)(tap_dev *dev);
  int (*create)(tap_dev *dev);
  int (*get_info)(tap_dev *dev);
  int (*setup)(tap_dev *dev);
  void (*loop)(tap_dev *dev, FILE *rates_file, tap_rates *rates_state);
  void (*finish)();
};

struct tap_ctlblk {
  char *ifname;
  int promisc;
  int rawlink;
  char *filter_text;
  int count_only;
  char *rates_path;
  int server;
  int interval;
  int ksdu;
  int snaplen;
  int verbose;
  int trcinfo;
  kav_logfile log;
  tap_module module;
  unsigned int capflags;
  unsigned char *rxbuf;
  int ring_mapped;
  void *filter;
  volatile sig_atomic_t stop;
  char hostname[65];
  int failed;  // the capture ended on an error: 1, 2 the output failed, 3 fatal (closing event written)
};

extern tap_ctlblk ctlblk;
// Signal mask in force while the capture waits: lets SIGINT and SIGTERM in.
extern sigset_t tap_waitmask;

// Control events (types 3 and 4 close the session); nothing in server mode.
int write_ctlevt(int type, const char *msg);

// Event header, trailer and session-header access on session 0.
kav_evthdr *tap_evthdr();
void tap_fill_seshdr(const tap_dev *dev, long start, const char *filter, int snaplen, unsigned int capflags,
                     const char *host);
long tap_session_start();
void tap_reject(uint64_t wirelen);
int tap_write_frame(long sec, long usec, long caplen, long wirelen, const void *data);
// Writes out the frames tap_write_frame still holds. Returns 1 when the
// output failed (after printing "Outfile: ...").
int tap_flush_frames();

// The standard output that carries the log has lost its reader: tells so
// once ("Outfile: ...") and marks the output failed.
void tap_output_lost();

// The -v frame counter rewritten in place: as many backspaces as the last
// count took (*width), then the new count in at least five places; *width
// becomes the places it took. Returns the text's length.
int tap_progress_text(char *buf, size_t size, int *width, uint64_t count);

// Rate accounting for one accepted frame with time stamp t (seconds).
void tap_rate_account(FILE *out, tap_rates *st, long t, uint64_t wirelen);
void update_freqfile(FILE *out, tap_rates *st, long t);
const char *asctimdat(long secs);

// Filter text clean-up before compiling: no line breaks, single blanks.
void tap_normalise_filter(char *text);

// Subnet table from a netmasks file; entries hold host-order values.
struct tap_subnet {
  uint32_t net;
  uint32_t mask;
};
int tap_load_netmasks(const char *path, tap_subnet **table, int *count);
// Mask of a host-order address: the table's longest matching entry, else
// the interface's configured mask (host order). 1 with the reason in
// tvl_usrmsg when the address cannot be a host's (224.0.0.0 and above).
int tap_netmask(uint32_t addr, uint32_t ifmask, const tap_subnet *table, int count, uint32_t *mask);

// Errno text in the suite's form.
const char *tap_errtxt(int err);

// Capture mechanisms' initialisation.
int init_sock(tap_module *table);
int init_dlpi(tap_module *table);
int init_tli(tap_module *table);

// Ring geometry for one trial block size (exposed for checking the sizing).
struct tap_ring_geom {
  int frame_size;
  int granule;
  int block_size;
  int block_nr;
  int frame_nr;
};
void tap_ring_geometry(int snaplen, long mtu, int ksdu, int pagesize, int trial, tap_ring_geom *g);

#endif
