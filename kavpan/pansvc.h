// kavpan services around the event loop: trigger actions, export of the
// selected frames into other capture formats, and decoding of one raw packet.
#ifndef KAVPAN_PANSVC_H
#define KAVPAN_PANSVC_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "kav.h"
#include "pansupp.h"

// ---- triggers ---------------------------------------------------------------

// The event a trigger runs for (its date, time and counters). Raw input has
// none: the trigger step is then handed a null pointer.
struct kav_trigevt {
  int64_t sec, usec;     // time stamp
  uint64_t packets;      // the reader's running packet count (%C)
  unsigned ses;          // session number from 1
  uint64_t ses_packets;  // that session's packet count
};

// Appends the items of an action text; 0, or 7 with the reason in tvl_usrmsg.
int parse_trigger(const char *text);
bool trigger_defined();
void trigger_free();

// The script the trigger writes for one decoded packet.
std::string trigger_script(const kav_pktctx *ctx, const kav_trigevt *evt);

// Writes the script, runs it with $SHELL (else sh) and removes it. 0 when it
// ran and exited with 0; otherwise 1, after the reason was printed on stderr.
int run_trigger(const kav_pktctx *ctx, const kav_trigevt *evt);

// Packet text as the script gets it: characters a shell treats specially,
// and any not printable, become '.'; at most n octets.
std::string trigger_safe(const unsigned char *text, size_t n);

// ---- export -------------------------------------------------------------------

struct kav_export {
  FILE *out = nullptr;
  int type = 0;           // KAV_LOGSRC_SNOOP .. KAV_LOGSRC_ETHER
  int raw = 0;            // the sessions are raw data-link captures
  int linktype = 0;       // data-link type of the first session
  unsigned dlt = 0;       // pcap link type
  bool flush_each = false;  // output is a pipe (or TOV_STDOUT_NOBUF=y)
  uint64_t written = 0;   // records written
  uint64_t skipped = 0;   // frames the sequence formats cannot delimit
};

// Checks the sessions against the format and writes the file header.
// 0, or 1 after the reason was printed on stderr.
int export_begin(kav_export *x, FILE *out, int type, const kav_session *ses, int nses, int raw2null);
// Writes one frame (data holds eh->caplen octets) of a session whose capture
// was raw (link header kept) or not. 0, or 1 on a write error (reason in tvl_usrmsg).
int export_packet(kav_export *x, const kav_evthdr *eh, const unsigned char *data, bool raw);
// Notes the frames left out on stderr and flushes the output; 0, or 1 with
// the reason in tvl_usrmsg.
int export_end(kav_export *x);

// ---- raw input ------------------------------------------------------------------

// "layer.protocol" (decimal, starting with a digit): 0 and the two values;
// 1 when the text is not of that form.
int raw_format(const char *text, int *layer, int *proto);
// Copies standard input to fd, skipping offset octets and writing at most
// max octets (0: no limit). The count written, or -1 with the reason in tvl_usrmsg.
long long do_relay(int fd, uint64_t offset, uint64_t max);
// Standard input (from offset, at most max octets) through an exclusive
// temporary file into a heap buffer with 8 spare zero octets after the data.
// Null with the reason in tvl_usrmsg.
unsigned char *read_rawpdu(long long *size, uint64_t offset, uint64_t max);
// Reads and decodes the raw packet; pseudo names the -r pseudo-protocol
// (null for layer.protocol). 0, or 1 after the reason was printed on stderr.
int raw_decode(int layer, int proto, const char *pseudo, uint64_t offset, uint64_t max);

#endif
