// Fuzz inputs may name hosts; resolve them only inside a private network
// namespace so that no query leaves the machine.
#ifndef KAV_FUZZ_NETNS_H
#define KAV_FUZZ_NETNS_H

#include <cstdio>
#include <cstdlib>
#include <sched.h>

inline void isolate_network() {
  if (unshare(CLONE_NEWNET) != 0) {
    perror("unshare(CLONE_NEWNET) - run as root");
    abort();
  }
}

#endif
