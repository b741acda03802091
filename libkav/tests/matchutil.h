// Compiling a filter and matching one frame, for the matcher's tests.
#ifndef KAV_MATCHUTIL_H
#define KAV_MATCHUTIL_H

#include "frames.h"
#include "kav.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

// Compiles text and matches a raw Ethernet capture (or the given link type),
// from an exact-size copy so that any read past the captured length is
// caught; the shortcuts and the general walk must decide alike.
inline bool match(const char *text, const frames::Bytes &frame, int linktype = KAV_DL_ETHER,
                  unsigned capflags = KAV_CAP_RAW) {
  void *f = kav_filt_parse(text, nullptr);
  EXPECT_NE(f, nullptr) << text << ": " << tvl_usrmsg;
  if (!f) return false;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[frame.size() ? frame.size() : 1]);
  if (!frame.empty()) memcpy(copy.get(), frame.data(), frame.size());
  int r = kav_filt_match(f, copy.get(), (int)frame.size(), linktype, nullptr, nullptr, nullptr, capflags);
  int w = kav_filt_match_walked(f, copy.get(), (int)frame.size(), linktype, nullptr, nullptr, nullptr, capflags);
  EXPECT_EQ(r != 0, w != 0) << text;
  kav_filt_free(f);
  return r != 0;
}

#endif
