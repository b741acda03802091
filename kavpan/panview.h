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
  // The n octets at off, or false when a declared length runs past what was
  // captured: unlike sub(), nothing is clipped silently. n is unsigned so a
  // hostile 32-bit length cannot turn negative on the way in.
  bool exact(int off, uint32_t n, kav_view &out) const {
    if (off < 0 || off > len || n > uint32_t(len - off)) return false;
    out = kav_view(base + off, int(n));
    return true;
  }
};

// Sequential reader over a view, for variable-length formats (names,
// options, attributes, records, TLVs). A read that does not fit sets the
// sticky trunc flag, returns 0 (or an empty view) and leaves the position
// where it was; every later read then fails too, so a decoder can read a
// whole structure and test trunc once at the end.
struct kav_cursor {
  kav_view v;
  int pos = 0;
  bool trunc = false;

  kav_cursor() = default;
  explicit kav_cursor(const kav_view &view, int start = 0) : v(view), pos(start < 0 ? 0 : start) {
    if (pos > v.len) { pos = v.len; trunc = true; }
  }

  int remaining() const { return trunc ? 0 : v.len - pos; }
  bool ok() const { return !trunc; }
  bool has(uint32_t n) const { return !trunc && n <= uint32_t(v.len - pos); }

  uint32_t u8() { return num(1); }
  uint32_t u16() { return num(2); }
  uint32_t u24() { return num(3); }
  uint32_t u32() { return num(4); }

  // The next n octets as a view of exactly n; empty and trunc set when fewer
  // remain.
  kav_view take(uint32_t n) {
    if (!has(n)) { trunc = true; return kav_view(); }
    kav_view out(v.base + pos, int(n));
    pos += int(n);
    return out;
  }
  bool skip(uint32_t n) {
    if (!has(n)) { trunc = true; return false; }
    pos += int(n);
    return true;
  }
  // What is left, without moving.
  kav_view rest() const { return trunc ? kav_view() : v.from(pos); }

 private:
  uint32_t num(int n) {
    if (!has(uint32_t(n))) { trunc = true; return 0; }
    uint32_t x = 0;
    for (int i = 0; i < n; i++) x = (x << 8) | v.base[pos + i];
    pos += n;
    return x;
  }
};

#endif
