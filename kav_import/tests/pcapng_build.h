// Builds pcapng captures block by block, in either byte order, for the
// importer's tests (well-formed files and deliberately lying ones).
#ifndef PCAPNG_BUILD_H
#define PCAPNG_BUILD_H

#include "logtest_util.h"

namespace logtest {

enum : uint32_t { NG_SHB = 0x0A0D0D0A, NG_IDB = 1, NG_OPB = 2, NG_SPB = 3, NG_NRB = 4, NG_ISB = 5, NG_EPB = 6 };

struct NgFile {
  explicit NgFile(bool big_endian = false) : big(big_endian) {}
  bool big;
  Bytes out;

  void pad(Bytes &b) const { b.insert(b.end(), (4 - b.size() % 4) % 4, 0); }

  // One option: code, length, value padded to 32 bits.
  Bytes opt(unsigned code, const Bytes &value) const {
    Bytes o;
    put(o, code, 2, big);
    put(o, value.size(), 2, big);
    append(o, value);
    pad(o);
    return o;
  }
  Bytes opt(unsigned code, const std::string &text) const { return opt(code, Bytes(text.begin(), text.end())); }
  Bytes opt_end() const { return opt(0, Bytes{}); }

  // A block whose length fields say `total` (0: the true length) and whose
  // trailing length says `trailer` (0: the same).
  void block(uint32_t type, Bytes body, uint32_t total = 0, uint32_t trailer = 0) {
    pad(body);
    uint32_t len = total ? total : (uint32_t)(12 + body.size());
    put(out, type, 4, big);
    put(out, len, 4, big);
    append(out, body);
    put(out, trailer ? trailer : len, 4, big);
  }

  void shb(int major = 1, int minor = 0, const Bytes &opts = {}) {
    Bytes b;
    put(b, 0x1A2B3C4D, 4, big);
    put(b, (uint64_t)major, 2, big);
    put(b, (uint64_t)minor, 2, big);
    put(b, ~0ull, 8, big);
    append(b, opts);
    block(NG_SHB, b);
  }

  void idb(uint32_t linktype, uint32_t snaplen, const Bytes &opts = {}) {
    Bytes b;
    put(b, linktype, 2, big);
    put(b, 0, 2, big);
    put(b, snaplen, 4, big);
    append(b, opts);
    if (!opts.empty()) append(b, opt_end());
    block(NG_IDB, b);
  }

  Bytes epb_body(uint32_t ifid, uint64_t ts, const Bytes &data, uint32_t wire = 0, uint32_t caplen = ~0u) const {
    Bytes b;
    put(b, ifid, 4, big);
    put(b, ts >> 32, 4, big);
    put(b, ts & 0xFFFFFFFFu, 4, big);
    put(b, caplen != ~0u ? caplen : data.size(), 4, big);
    put(b, wire ? wire : data.size(), 4, big);
    append(b, data);
    pad(b);
    return b;
  }
  void epb(uint32_t ifid, uint64_t ts, const Bytes &data, uint32_t wire = 0, const Bytes &opts = {}) {
    Bytes b = epb_body(ifid, ts, data, wire);
    append(b, opts);
    block(NG_EPB, b);
  }

  void opb(uint16_t ifid, uint64_t ts, const Bytes &data, uint32_t wire = 0) {
    Bytes b;
    put(b, ifid, 2, big);
    put(b, 0, 2, big);
    put(b, ts >> 32, 4, big);
    put(b, ts & 0xFFFFFFFFu, 4, big);
    put(b, data.size(), 4, big);
    put(b, wire ? wire : data.size(), 4, big);
    append(b, data);
    block(NG_OPB, b);
  }

  void spb(const Bytes &data, uint32_t wire = 0) {
    Bytes b;
    put(b, wire ? wire : data.size(), 4, big);
    append(b, data);
    block(NG_SPB, b);
  }
};

// Microsecond time stamps in the default resolution.
inline uint64_t usecs(uint64_t sec, uint64_t usec) { return sec * 1000000 + usec; }

}  // namespace logtest

#endif
