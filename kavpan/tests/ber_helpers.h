// Test helpers for BER encodings: a small encoder, the OID map of a test's
// own configuration directory, and a direct call of the BER walker.
#ifndef KAVPAN_TESTS_BER_HELPERS_H
#define KAVPAN_TESTS_BER_HELPERS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkt_helpers.h"
#include "runner.h"

// Tag-length-value with the shortest definite length.
bytes tlv(unsigned tag, const bytes &content);
bytes seq(std::initializer_list<bytes> items);
bytes ber_int(long v);
bytes ber_str(const std::string &s, unsigned tag = 0x04);
bytes ber_oid(const char *dotted);

// A directory of the test's own holding oids.map with the given text;
// TOVADIR points at it and the map is loaded. Removed by the destructor.
struct oid_dir {
  explicit oid_dir(const std::string &map_text, bool load = true);
  ~oid_dir();
  vts::TempDir tmp;
  std::string dir;
  int rc = 0;  // result of kav_cache_oids
};
// The map the suite installs.
std::string shipped_oids_map();

// kav_panasn1 over a heap copy of exactly b, at verbosity vb; what it printed.
std::string walk(int vb, const bytes &b, int layer = 0, int code = -2, const char *label = nullptr,
                 int *consumed = nullptr);

// Every frame of a capture of the shared corpus through the chain at verbosity
// vb, one decode after the other; false when the capture is not there.
bool decode_corpus(const char *name, int vb, std::string *out);

// Success when every text occurs in out, each after the one before it.
::testing::AssertionResult in_order(const std::string &out, std::initializer_list<const char *> want);

// Runs a shell command; its exit status.
int sh(const std::string &cmd);
bytes read_file(const std::string &path);

#endif
