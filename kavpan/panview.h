// Bounded read-only view over captured packet octets.
// Every decoder reads the packet through this and nothing else: getters are
// big-endian and report "truncated" instead of reading beyond the capture.
#ifndef KAVPAN_PANVIEW_H
#define KAVPAN_PANVIEW_H

#include <cstdint>
#include <cstring>

struct kav_view {
  const unsigned char *base = nullptr;
  int len = 0;
  // Set by the convenience getters (u8/u16/u24/u32) when a read fell outside
  // the view; they then return 0.
  mutable bool trunc = false;

  kav_view() = default;
  kav_view(const unsigned char *b, int n) : base(b), len(n > 0 && b ? n : 0) {}

  int size() const { return len; }
  bool empty() const { return len <= 0; }
  bool has(int off, int n) const { return off >= 0 && n >= 0 && off <= len && n <= len - off; }

  bool get8(int off, uint32_t &v) const {
    if (!has(off, 1)) return false;
    v = base[off];
    return true;
  }
  bool get16(int off, uint32_t &v) const {
    if (!has(off, 2)) return false;
    v = (uint32_t(base[off]) << 8) | base[off + 1];
    return true;
  }
  bool get24(int off, uint32_t &v) const {
    if (!has(off, 3)) return false;
    v = (uint32_t(base[off]) << 16) | (uint32_t(base[off + 1]) << 8) | base[off + 2];
    return true;
  }
  bool get32(int off, uint32_t &v) const {
    if (!has(off, 4)) return false;
    v = (uint32_t(base[off]) << 24) | (uint32_t(base[off + 1]) << 16) | (uint32_t(base[off + 2]) << 8) |
        base[off + 3];
    return true;
  }
  // Copies n octets at off into dst; false (and dst untouched) when they are not all there.
  bool copy(int off, int n, void *dst) const {
    if (!has(off, n)) return false;
    if (n > 0) std::memcpy(dst, base + off, size_t(n));
    return true;
  }

  uint32_t u8(int off) const { uint32_t v = 0; if (!get8(off, v)) trunc = true; return v; }
  uint32_t u16(int off) const { uint32_t v = 0; if (!get16(off, v)) trunc = true; return v; }
  uint32_t u24(int off) const { uint32_t v = 0; if (!get24(off, v)) trunc = true; return v; }
  uint32_t u32(int off) const { uint32_t v = 0; if (!get32(off, v)) trunc = true; return v; }

  // The octets [off, off+n), clipped to what the view holds.
  kav_view sub(int off, int n) const {
    if (off < 0) off = 0;
    if (off > len) off = len;
    if (n < 0 || n > len - off) n = len - off;
    return kav_view(base + off, n);
  }
  kav_view from(int off) const { return sub(off, len); }
  kav_view first(int n) const { return sub(0, n); }
  // Offset of the first octet equal to c at or after off, or -1.
  int find(int off, unsigned char c) const {
    for (int i = off < 0 ? 0 : off; i < len; i++)
      if (base[i] == c) return i;
    return -1;
  }
};

#endif
