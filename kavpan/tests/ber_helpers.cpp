#include "ber_helpers.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "panapp.h"
#include "testsupport.h"

bytes tlv(unsigned tag, const bytes &content) {
  bytes b{(unsigned char)tag};
  size_t n = content.size();
  if (n < 128) {
    b.push_back((unsigned char)n);
  } else {
    bytes len;
    for (size_t v = n; v; v >>= 8) len.insert(len.begin(), (unsigned char)(v & 0xFF));
    b.push_back((unsigned char)(0x80 | len.size()));
    b.insert(b.end(), len.begin(), len.end());
  }
  b.insert(b.end(), content.begin(), content.end());
  return b;
}

bytes seq(std::initializer_list<bytes> items) {
  bytes c;
  for (const bytes &i : items) c.insert(c.end(), i.begin(), i.end());
  return tlv(0x30, c);
}

bytes ber_int(long v) {
  bytes c;
  for (int i = 7; i >= 0; i--) c.push_back((unsigned char)((unsigned long)v >> (8 * i)));
  while (c.size() > 1 && ((c[0] == 0 && !(c[1] & 0x80)) || (c[0] == 0xFF && (c[1] & 0x80)))) c.erase(c.begin());
  return tlv(0x02, c);
}

bytes ber_str(const std::string &s, unsigned tag) { return tlv(tag, bytes(s.begin(), s.end())); }

bytes ber_oid(const char *dotted) {
  std::vector<unsigned long> arcs;
  std::stringstream ss(dotted);
  std::string part;
  while (std::getline(ss, part, '.')) arcs.push_back(strtoul(part.c_str(), nullptr, 10));
  bytes c{(unsigned char)(arcs[0] * 40 + arcs[1])};
  for (size_t i = 2; i < arcs.size(); i++) {
    bytes g;
    unsigned long v = arcs[i];
    g.insert(g.begin(), (unsigned char)(v & 0x7F));
    for (v >>= 7; v; v >>= 7) g.insert(g.begin(), (unsigned char)(0x80 | (v & 0x7F)));
    c.insert(c.end(), g.begin(), g.end());
  }
  return tlv(0x06, c);
}

oid_dir::oid_dir(const std::string &map_text, bool load) {
  dir = tmp.path();
  std::ofstream(dir + "/oids.map", std::ios::binary) << map_text;
  setenv("TOVADIR", dir.c_str(), 1);
  kav_free_oids_cache();
  if (load) rc = kav_cache_oids();
}

oid_dir::~oid_dir() {
  kav_free_oids_cache();
  unsetenv("TOVADIR");
}

std::string shipped_oids_map() {
  std::ifstream f(std::string(VELMORA_SOURCE_DIR) + "/kavpan/oids.map", std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string walk(int vb, const bytes &b, int layer, int code, const char *label, int *consumed) {
  int old = kav_vblvl;
  kav_vblvl = vb;
  unsigned char *copy = (unsigned char *)malloc(b.empty() ? 1 : b.size());
  if (!b.empty()) memcpy(copy, b.data(), b.size());
  int n = 0;
  std::string s = capture_out([&] { n = kav_panasn1(kav_view(copy, int(b.size())), layer, code, label); });
  free(copy);
  kav_vblvl = old;
  if (consumed) *consumed = n;
  return s;
}

bool decode_corpus(const char *name, int vb, std::string *out) {
  pcap_file pf;
  if (!read_pcap(vts::corpus_dir() + "/" + name, pf)) return false;
  out->clear();
  for (const pcap_frame &fr : pf.frames) {
    int layer, proto, off;
    if (!pcap_start(pf.linktype, fr.data, &layer, &proto, &off)) continue;
    bytes d(fr.data.begin() + off, fr.data.end());
    *out += decode(vb, layer, proto, d, fr.wirelen > fr.caplen ? fr.wirelen - fr.caplen : 0);
  }
  return true;
}

::testing::AssertionResult in_order(const std::string &out, std::initializer_list<const char *> want) {
  size_t at = 0;
  for (const char *w : want) {
    size_t p = out.find(w, at);
    if (p == std::string::npos) return ::testing::AssertionFailure() << "missing in order: " << w << "\n" << out;
    at = p + 1;
  }
  return ::testing::AssertionSuccess();
}

int sh(const std::string &cmd) {
  int rc = system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bytes read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
