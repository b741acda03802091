// The bounded view and the cursor every variable-length decoder reads with.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "panview.h"

namespace {

const std::vector<unsigned char> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(PanView, GettersStopAtTheEnd) {
  kav_view v(kBytes.data(), 8);
  EXPECT_EQ(v.u32(4), 0x05060708u);
  EXPECT_FALSE(v.trunc);
  EXPECT_EQ(v.u32(5), 0u);
  EXPECT_TRUE(v.trunc);
  uint32_t x = 77;
  EXPECT_FALSE(v.get16(7, x));
  EXPECT_EQ(x, 77u);
  EXPECT_FALSE(v.get8(-1, x));
  EXPECT_FALSE(v.has(2, -1));
}

TEST(PanView, SubClipsButExactRefuses) {
  kav_view v(kBytes.data(), 8);
  EXPECT_EQ(v.sub(6, 100).size(), 2);
  kav_view out;
  EXPECT_TRUE(v.exact(6, 2, out));
  EXPECT_EQ(out.size(), 2);
  EXPECT_EQ(out.u8(0), 7u);
  EXPECT_FALSE(v.exact(6, 3, out));
  // A length near 2^32 must not wrap into something that fits.
  EXPECT_FALSE(v.exact(1, 0xFFFFFFFFu, out));
  EXPECT_FALSE(v.exact(9, 0, out));
  EXPECT_TRUE(v.exact(8, 0, out));
  EXPECT_TRUE(out.empty());
}

TEST(PanCursor, ReadsInOrder) {
  kav_cursor c(kav_view(kBytes.data(), 8));
  EXPECT_EQ(c.u8(), 0x01u);
  EXPECT_EQ(c.u16(), 0x0203u);
  EXPECT_EQ(c.u24(), 0x040506u);
  EXPECT_EQ(c.remaining(), 2);
  kav_view t = c.take(2);
  EXPECT_EQ(t.size(), 2);
  EXPECT_EQ(t.u16(0), 0x0708u);
  EXPECT_EQ(c.remaining(), 0);
  EXPECT_TRUE(c.ok());
}

TEST(PanCursor, TruncationIsStickyAndKeepsPosition) {
  kav_cursor c(kav_view(kBytes.data(), 8), 6);
  EXPECT_EQ(c.u32(), 0u);
  EXPECT_FALSE(c.ok());
  EXPECT_EQ(c.pos, 6);
  // Even a read that would fit now fails: the structure is already broken.
  EXPECT_EQ(c.u8(), 0u);
  EXPECT_TRUE(c.take(1).empty());
  EXPECT_EQ(c.remaining(), 0);
  EXPECT_TRUE(c.rest().empty());
}

TEST(PanCursor, HostileLengthsDoNotWrap) {
  kav_cursor c(kav_view(kBytes.data(), 8), 2);
  EXPECT_TRUE(c.take(0xFFFFFFFFu).empty());
  EXPECT_FALSE(c.ok());
  kav_cursor d(kav_view(kBytes.data(), 8), 2);
  EXPECT_FALSE(d.skip(0x80000000u));
  EXPECT_EQ(d.pos, 2);
  kav_cursor e(kav_view(kBytes.data(), 8), 20);  // start past the end
  EXPECT_FALSE(e.ok());
  EXPECT_EQ(e.remaining(), 0);
}

TEST(PanCursor, EmptyViewAndZeroTake) {
  kav_cursor c{kav_view()};
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.remaining(), 0);
  EXPECT_TRUE(c.take(0).empty());
  EXPECT_TRUE(c.ok());
  EXPECT_EQ(c.u8(), 0u);
  EXPECT_FALSE(c.ok());
}

}  // namespace
