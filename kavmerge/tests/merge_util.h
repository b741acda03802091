// Session headers for the merger's test logs.
#ifndef MERGE_UTIL_H
#define MERGE_UTIL_H

#include "logtest_util.h"

namespace mergetest {

inline logtest::SesHdr ses(const std::string &ifname, int64_t start, const std::string &filter = "") {
  logtest::SesHdr s;
  s.host = "host-" + ifname;
  s.ifname = ifname;
  s.start = start;
  s.netmask = -256;  // 255.255.255.0, sign-extended
  s.mtu = 1500;
  s.snaplen = -1;
  s.capflags = 0x13;
  s.linktype = 4;
  s.filter = filter;
  return s;
}

}  // namespace mergetest

#endif
