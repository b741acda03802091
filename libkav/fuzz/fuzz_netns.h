// Fuzz inputs may name hosts; resolve them only inside a private network
// namespace so that no query leaves the machine.
#ifndef KAV_FUZZ_NETNS_H
#define KAV_FUZZ_NETNS_H

#include <cstdio>
#include <cstdlib>
#include <sched.h>

inline void isolate_network() {
  if (unshare(CLONE_NEWNET) != 0) {
    // As a regression test run by a normal user: skipped, never run with
    // lookups that could leave the machine.
    if (getenv("VELMORA_REPLAY")) {
      fprintf(stderr, "skipped: name lookups can be isolated only as root\n");
      exit(77);
    }
    perror("unshare(CLONE_NEWNET) - run as root");
    abort();
  }
}

#endif
