// Test fixtures for live captures: private network namespaces joined by a
// veth pair, a tap process run inside one of them, frame senders and a
// strict reader of the log the tap writes.
#ifndef KAVTAP_TESTS_NETNS_H
#define KAVTAP_TESTS_NETNS_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runner.h"

namespace taptest {

std::string tap_binary();
using vts::sh;
inline std::string slurp(const std::string &path) { return vts::readFile(path); }

// Two namespaces "<tag><pid>a" and "<tag><pid>b" with veth ends "va<pid>"
// (in a, 198.18.0.1/24) and "vb<pid>" (in b, 198.18.0.2/24), IPv6 off so the
// link stays quiet. Everything is removed on destruction.
class NetPair {
 public:
  NetPair();
  ~NetPair();
  NetPair(const NetPair &) = delete;
  NetPair &operator=(const NetPair &) = delete;
  bool ok() const { return ok_; }
  std::string ns_a, ns_b, if_a, if_b;
  int promiscuity(const std::string &ns, const std::string &ifname) const;

 private:
  bool ok_ = false;
};

// Moves the calling thread into a namespace until destroyed; sockets made
// meanwhile stay there.
class NsEnter {
 public:
  explicit NsEnter(const std::string &ns);
  ~NsEnter();
  bool ok() const { return ok_; }

 private:
  int saved_ = -1;
  bool ok_ = false;
};

// A kavtap process inside a namespace, its standard output and error going
// to temporary files (or to given descriptors).
class TapProc {
 public:
  TapProc(const std::string &ns, const std::vector<std::string> &args,
          const std::map<std::string, std::string> &env = {}, int in_fd = -1, int out_fd = -1);
  ~TapProc();
  bool wait_ready(int ms = 15000);              // "Ready and waiting ..." seen on stderr
  bool wait_text(const std::string &t, int ms);  // text seen on stderr
  int stop(int sig);                             // signal, then wait; exit status or -1
  int wait_exit(int ms);                         // exit status, -1 on time-out
  std::string out() const { return slurp(out_path_); }
  std::string err() const { return slurp(err_path_); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
};

// Frames sent from a namespace through a packet socket on an interface.
bool send_frames(const std::string &ns, const std::string &ifname, const std::vector<std::vector<uint8_t>> &frames);
std::vector<uint8_t> eth_frame(uint16_t ethertype, size_t total_len, int seed);
std::vector<uint8_t> udp_frame(size_t payload_len, int seed);

// The log, read strictly: every byte must be accounted for.
struct Event {
  int ses, type;
  int64_t sec, usec, caplen, wirelen;
  std::vector<uint8_t> data;
  bool has_trailer = false;
  int64_t trl[5] = {0, 0, 0, 0, 0};
};
struct Log {
  std::string error;  // empty when the log parsed completely
  std::vector<uint8_t> loghdr;
  std::vector<uint8_t> seshdr;
  std::string hostname, ifname, filter;
  uint32_t ipaddr_net = 0;
  int64_t start = 0, netmask = 0, mtu = 0, snaplen = 0, filtlen = 0, capflags = 0, linktype = 0, parm1 = 0,
          parm2 = 0, hwlen = 0;
  std::vector<Event> events;
};
Log parse_log(const std::string &bytes);

}  // namespace taptest

#endif
