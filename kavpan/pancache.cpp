// Name caches of the analyser: ethers, hosts, IP protocols and TCP/UDP services.
// Each cache is a word tree keyed by the thing to be named, whose token is the
// 1-based slot of the name in a fixed-width name array.
#include <arpa/inet.h>
#include <netdb.h>
#include <rpc/netdb.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <algorithm>
#include <string>

#include "pansupp.h"
#include "tova.h"

wtree *kav_map_ethers = nullptr;
wtree *kav_map_hosts = nullptr;
wtree *kav_map_l4prots = nullptr;
wtree *kav_map_l5tcp = nullptr;
wtree *kav_map_l5udp = nullptr;
const char *kav_ethers_path = "/etc/ethers";

namespace {

constexpr int kEthSlot = 65, kHostSlot = 65, kProtSlot = 21, kSvcSlot = 26;
constexpr int kMaxToken = 32767;  // word-tree tokens are signed 16-bit

char *g_ethnames = nullptr;
int g_ethslots = 0;
char *g_hostnames = nullptr;
int g_hostslots = 0, g_hostnext = 0;
char *g_protnames = nullptr;
int g_protslots = 0;
char *g_tcpsvc = nullptr, *g_udpsvc = nullptr;
int dim_svc_cache = 250;

const char k_digits[] = "0123456789";

// Builds the all-octets alphabet once (NUL included, hence the explicit length).
const char *octet_alphabet() {
  static char a[256];
  for (int i = 0; i < 256; i++) a[i] = char(i);
  return a;
}

int env_slots(const char *var, int dflt) {
  const char *v = getenv(var);
  if (!v) return dflt;
  long n = strtol(v, nullptr, 10);
  if (n < 0) n = 0;
  if (n > kMaxToken) n = kMaxToken;
  return int(n);
}

// Decimal text of v into buf (at least 12 octets); returns its length. Called
// for every address octet and port printed, so the small values go fast.
int dectext(long v, char *buf) {
  if (v >= 0 && v < 1000) {
    int k = 0;
    if (v >= 100) buf[k++] = char('0' + v / 100);
    if (v >= 10) buf[k++] = char('0' + v / 10 % 10);
    buf[k++] = char('0' + v % 10);
    buf[k] = 0;
    return k;
  }
  char t[24];
  int n = 0;
  unsigned long u = v < 0 ? 0UL - (unsigned long)v : (unsigned long)v;
  do {
    t[n++] = char('0' + u % 10);
    u /= 10;
  } while (u);
  int k = 0;
  if (v < 0) buf[k++] = '-';
  while (n) buf[k++] = t[--n];
  buf[k] = 0;
  return k;
}

void hexaddr(const unsigned char *a, int n, char *out, size_t outsz) {
  static const char hx[] = "0123456789ABCDEF";
  size_t k = 0;
  for (int i = 0; i < n && k + 3 < outsz; i++) {
    if (i) out[k++] = ':';
    out[k++] = hx[a[i] >> 4];
    out[k++] = hx[a[i] & 15];
  }
  out[k] = 0;
}

void strip(char *s) {
  char *p = s;
  while (*p == ' ' || *p == '\t') p++;
  if (p != s) memmove(s, p, strlen(p) + 1);
  size_t n = strlen(s);
  while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) s[--n] = 0;
}

// Caches keyed by a number in decimal (protocols, RPC programs): slot n holds
// the name of the n+1-th entry, cut to the slot.
bool numbered_add(wtree *t, unsigned number, char *names, int slotw, int n, const char *name) {
  char key[16];
  int kl = dectext(long(number), key);
  if (wtree_add_word(t, key, kl, n + 1) < 0) return false;
  snprintf(names + size_t(n) * size_t(slotw), size_t(slotw), "%.*s", slotw - 1, name ? name : "");
  return true;
}

// The cached name of number, or null; key receives its decimal text.
const char *numbered_find(wtree *t, const char *names, int slots, int slotw, unsigned number, char key[16]) {
  int kl = dectext(long(number), key);
  if (!t || !names) return nullptr;
  int tok = wtree_find_word(t, key, kl);
  return tok > 0 && tok <= slots ? names + size_t(tok - 1) * size_t(slotw) : nullptr;
}

// Parses "8:0:20:a:b:c" into six octets; 0 on success, else a message in msg.
int parse_ether(const char *txt, unsigned char out[6], char *msg, size_t msgsz) {
  const char *p = txt;
  for (int field = 1; field <= 6; field++) {
    if (field > 1) {
      if (*p != ':') {
        snprintf(msg, msgsz, "Missing ethernet bytes");
        return 1;
      }
      p++;
    }
    int nd = 0;
    unsigned v = 0;
    while (isxdigit((unsigned char)p[nd])) {
      int c = (unsigned char)p[nd];
      v = v * 16 + unsigned(isdigit(c) ? c - '0' : (tolower(c) - 'a' + 10));
      if (v > 0xFFFF) v = 0xFFFF;
      nd++;
    }
    if (nd == 0) {
      if (*p == 0) {
        snprintf(msg, msgsz, "Missing ethernet bytes");
        return 1;
      }
      snprintf(msg, msgsz, "Invalid ethernet address (byte %d format - %s)", field, p);
      return 1;
    }
    if (v > 255) {
      snprintf(msg, msgsz, "Invalid ethernet address (byte %d = %d)", field, int(v));
      return 1;
    }
    out[field - 1] = (unsigned char)v;
    p += nd;
  }
  if (*p) {
    snprintf(msg, msgsz, "Excess chars after ethernet address");
    return 1;
  }
  return 0;
}

}  // namespace

// ---- ethers --------------------------------------------------------------------

int kav_cache_ethers() {
  kav_map_ethers = wtree_create(octet_alphabet(), 256, 0);
  if (!kav_map_ethers) return 1;
  FILE *f = fopen(kav_ethers_path, "r");
  if (!f) {
    int e = errno;
    if (e == ENOENT) return 0;
    const char *et = strerror(e);
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "fopen(%s) failed, errno=%d [%s]", kav_ethers_path, e,
             et ? et : "UNKNOWN");
    wtree_destroy(kav_map_ethers);
    kav_map_ethers = nullptr;
    return 1;
  }
  char line[260];
  int lineno = 0, used = 0;
  int rc = 0;
  while (fgets(line, sizeof line, f)) {
    lineno++;
    size_t ln = strlen(line);
    if (ln && line[ln - 1] != '\n' && !feof(f)) {  // over-long line: drop the rest of it
      int c;
      while ((c = getc(f)) != EOF && c != '\n') {
      }
    }
    char *hash = strchr(line, '#');
    if (hash) *hash = 0;
    strip(line);
    if (!line[0]) continue;
    char msg[400];
    char *sep = line + strcspn(line, " \t");
    unsigned char addr[6];
    int bad = 0;
    if (!*sep) {
      snprintf(msg, sizeof msg, "Missing hostname [%s]", line);
      bad = 1;
    } else {
      *sep++ = 0;
      strip(sep);
      if (sep[strcspn(sep, " \t")]) {
        snprintf(msg, sizeof msg, "Excess chars after hostname [%s]", sep);
        bad = 1;
      } else
        bad = parse_ether(line, addr, msg, sizeof msg);
    }
    if (bad) {
      fprintf(kav_out(), "Error on line %d, %s - ignoring it [%s]\n", lineno, kav_ethers_path, msg);
      continue;
    }
    if (used >= kMaxToken) break;
    if (used == g_ethslots) {
      char *n = (char *)realloc(g_ethnames, size_t(g_ethslots + 50) * kEthSlot);
      if (!n) {
        fprintf(kav_out(), "OUT OF MEMORY (%d ethers entries)\n", used);
        rc = 1;
        break;
      }
      memset(n + size_t(g_ethslots) * kEthSlot, 0, size_t(50) * kEthSlot);
      g_ethnames = n;
      g_ethslots += 50;
    }
    if (wtree_add_word(kav_map_ethers, (const char *)addr, 6, used + 1) < 0) {
      rc = 1;
      break;
    }
    snprintf(g_ethnames + size_t(used) * kEthSlot, kEthSlot, "%s", sep);
    used++;
  }
  fclose(f);
  if (rc) {
    wtree_destroy(kav_map_ethers);
    kav_map_ethers = nullptr;
  }
  return rc;
}

const char *kav_ethaddr2nam(const unsigned char addr[6]) {
  static char res[160];
  if (kav_numval_all) {  // the common case under -N: no copy
    hexaddr(addr, 6, res, sizeof res);
    return res;
  }
  char hex[24];
  hexaddr(addr, 6, hex, sizeof hex);
  const char *name = nullptr;
  char tmp[80];
  if (kav_map_ethers) {
    int tok = wtree_find_word(kav_map_ethers, (const char *)addr, 6);
    if (tok > 0 && tok <= g_ethslots) name = g_ethnames + size_t(tok - 1) * kEthSlot;
  }
  if (!name && memcmp(addr, "\xFF\xFF\xFF\xFF\xFF\xFF", 6) == 0) name = "broadcast";
  if (!name && addr[0] == 0x01 && addr[1] == 0x00 && addr[2] == 0x5E) {
    snprintf(tmp, sizeof tmp, "%s%s", (addr[3] & 0x80) ? "mcast-iana-other" : "mcast-iana-inet", hex + 8);
    name = tmp;
  }
  if (!name)
    kav_strlcpy(res, sizeof res, hex);
  else if (kav_vblvl == 4)
    snprintf(res, sizeof res, "%s <%s>", name, hex);
  else
    kav_strlcpy(res, sizeof res, name);
  return res;
}

// ---- hosts ------------------------------------------------------------------------

int kav_cache_hosts() {
  g_hostslots = env_slots("KAV_HOSTS_CACHE", 500);
  g_hostnames = (char *)calloc(size_t(g_hostslots ? g_hostslots : 1), kHostSlot);
  if (!g_hostnames) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc a %d-slot hosts cache", g_hostslots);
    return 1;
  }
  kav_map_hosts = wtree_create(octet_alphabet(), 256, 0);
  if (!kav_map_hosts) return 1;
  g_hostnext = 0;
  sethostent(1);
  struct hostent *he;
  while (g_hostnext < g_hostslots && (he = gethostent()) != nullptr) {
    if (!he->h_addr_list || !he->h_addr_list[0] || he->h_length <= 0) continue;
    if (wtree_add_word(kav_map_hosts, he->h_addr_list[0], he->h_length, g_hostnext + 1) < 0) {
      endhostent();
      wtree_destroy(kav_map_hosts);
      kav_map_hosts = nullptr;
      return 1;
    }
    snprintf(g_hostnames + size_t(g_hostnext) * kHostSlot, kHostSlot, "%.64s", he->h_name ? he->h_name : "");
    g_hostnext++;
  }
  endhostent();
  return 0;
}

const char *kav_ipaddr2nam(const unsigned char addr[4]) {
  static char res[200];
  if (kav_numval_ip || kav_numval_all) {  // the common case under -n/-N: no copy
    // Octet texts made once: two of these addresses go into every IP line.
    static char octets[256][4];
    if (!octets[1][0])
      for (int v = 0; v < 256; v++) dectext(v, octets[v]);
    char *o = res;
    for (int i = 0; i < 4; i++) {
      if (i) *o++ = '.';
      for (const char *d = octets[addr[i]]; *d;) *o++ = *d++;
    }
    *o = 0;
    return res;
  }
  char dotted[20];
  int dl = 0;
  for (int i = 0; i < 4; i++) {
    if (i) dotted[dl++] = '.';
    dl += dectext(addr[i], dotted + dl);
  }
  bool allzero = !addr[0] && !addr[1] && !addr[2] && !addr[3];
  bool allones = addr[0] == 255 && addr[1] == 255 && addr[2] == 255 && addr[3] == 255;
  if (allzero || allones) {
    kav_strlcpy(res, sizeof res, dotted);
    return res;
  }
  const char *name = nullptr;
  char looked[kHostSlot];
  if (kav_map_hosts) {
    int tok = wtree_find_word(kav_map_hosts, (const char *)addr, 4);
    if (tok > 0 && tok <= g_hostnext) name = g_hostnames + size_t(tok - 1) * kHostSlot;
  }
  if (!name) {
    struct hostent *he = gethostbyaddr(addr, 4, AF_INET);
    snprintf(looked, sizeof looked, "%.64s", he && he->h_name ? he->h_name : dotted);
    name = looked;
    if (kav_map_hosts && g_hostnext < g_hostslots) {
      if (wtree_add_word(kav_map_hosts, (const char *)addr, 4, g_hostnext + 1) < 0)
        kavprt(-1, "\n*** W-Tree Add failure, on hostname %d *** [%s]\n", g_hostslots, tvl_usrmsg);
      else {
        snprintf(g_hostnames + size_t(g_hostnext) * kHostSlot, kHostSlot, "%s", looked);
        g_hostnext++;
      }
    }
  }
  if (kav_vblvl == 4)
    snprintf(res, sizeof res, "%s <%s>", name, dotted);
  else
    kav_strlcpy(res, sizeof res, name);
  return res;
}

// ---- protocols -----------------------------------------------------------------------

int kav_cache_l4prots() {
  g_protslots = env_slots("KAV_PROTS_CACHE", 256);
  g_protnames = (char *)calloc(size_t(g_protslots ? g_protslots : 1), kProtSlot);
  if (!g_protnames) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc a %d-slot Protocols cache", g_protslots);
    return 1;
  }
  kav_map_l4prots = wtree_create(k_digits, 10, 0);
  if (!kav_map_l4prots) return 1;
  int used = 0;
  setprotoent(1);
  struct protoent *pe;
  while (used < g_protslots && (pe = getprotoent()) != nullptr) {
    if (!numbered_add(kav_map_l4prots, unsigned(pe->p_proto), g_protnames, kProtSlot, used, pe->p_name)) {
      endprotoent();
      wtree_destroy(kav_map_l4prots);
      kav_map_l4prots = nullptr;
      free(g_protnames);
      g_protnames = nullptr;
      return 1;
    }
    str2ucs(g_protnames + size_t(used) * kProtSlot);
    used++;
  }
  endprotoent();
  return 0;
}

const char *kav_l4proto2nam(unsigned number) {
  static char res[64];
  char key[16];
  const char *name =
      numbered_find(kav_numval_all ? nullptr : kav_map_l4prots, g_protnames, g_protslots, kProtSlot, number, key);
  if (!name) return strcpy(res, key);
  if (kav_vblvl == 4)
    snprintf(res, sizeof res, "%s (%u)", name, number);
  else
    kav_strlcpy(res, sizeof res, name);
  return res;
}

// ---- services ------------------------------------------------------------------------

int kav_cache_l5prots() {
  const char *v = getenv("KAV_SVC_CACHE");
  if (v) {
    long n = strtol(v, nullptr, 10);
    dim_svc_cache = n < 0 ? 0 : (n > kMaxToken ? kMaxToken : int(n));
  }
  size_t bytes = size_t(dim_svc_cache ? dim_svc_cache : 1) * kSvcSlot;
  g_tcpsvc = (char *)calloc(bytes, 1);
  if (!g_tcpsvc) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc a %d-slot TCP Services cache", dim_svc_cache);
    return 1;
  }
  g_udpsvc = (char *)calloc(bytes, 1);
  if (!g_udpsvc) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc a %d-slot UDP Services cache", dim_svc_cache);
    free(g_tcpsvc);
    g_tcpsvc = nullptr;
    return 1;
  }
  kav_map_l5tcp = wtree_create(k_digits, 10, 0);
  kav_map_l5udp = kav_map_l5tcp ? wtree_create(k_digits, 10, 0) : nullptr;
  int rc = (kav_map_l5tcp && kav_map_l5udp) ? 0 : 1;
  int counter = 0;
  if (!rc) {
    setservent(1);
    struct servent *se;
    while (counter < dim_svc_cache && (se = getservent()) != nullptr) {
      unsigned port = ntohs(uint16_t(se->s_port));
      const char *pr = se->s_proto ? se->s_proto : "";
      wtree *t;
      char *arr;
      if (strcasecmp(pr, "tcp") == 0) {
        t = kav_map_l5tcp;
        arr = g_tcpsvc;
      } else if (strcasecmp(pr, "udp") == 0) {
        t = kav_map_l5udp;
        arr = g_udpsvc;
      } else {
        kavtrc(4, 0, "Unrecognised /etc/services protocol, '%s', for %s=%d\n", pr, se->s_name, int(port));
        continue;
      }
      char key[16];
      int kl = snprintf(key, sizeof key, "%u", port);
      if (wtree_add_word(t, key, kl, counter + 1) < 0) {
        rc = 1;
        break;
      }
      char *slot = arr + size_t(counter) * kSvcSlot;
      snprintf(slot, kSvcSlot, "%.*s", 25, se->s_name ? se->s_name : "");
      str2ucs(slot);
      counter++;
    }
    endservent();
  }
  if (rc) {
    if (kav_map_l5tcp) wtree_destroy(kav_map_l5tcp);
    if (kav_map_l5udp) wtree_destroy(kav_map_l5udp);
    kav_map_l5tcp = kav_map_l5udp = nullptr;
    free(g_tcpsvc);
    free(g_udpsvc);
    g_tcpsvc = g_udpsvc = nullptr;
  }
  return rc;
}

const char *kav_l5proto2nam(int port, int l4proto) {
  static char res[129];
  if (kav_numval_all) {
    dectext(port, res);
    return res;
  }
  char key[16];
  int kl = dectext(port, key);
  kav_strlcpy(res, sizeof res, key);
  if (l4proto != KAV_IPPROTO_TCP && l4proto != KAV_IPPROTO_UDP) return res;
  wtree *t = l4proto == KAV_IPPROTO_TCP ? kav_map_l5tcp : kav_map_l5udp;
  const char *arr = l4proto == KAV_IPPROTO_TCP ? g_tcpsvc : g_udpsvc;
  if (!t || !arr) return res;
  int tok = wtree_find_word(t, key, kl);
  if (tok <= 0 || tok > dim_svc_cache) return res;
  const char *name = arr + size_t(tok - 1) * kSvcSlot;
  if (kav_vblvl == 4)
    snprintf(res, sizeof res, "%s (%d)", name, port);
  else
    kav_strlcpy(res, sizeof res, name);
  return res;
}

// ---- RPC programs ---------------------------------------------------------------------

namespace {
constexpr int kRpcSlot = 21;
char *prognams = nullptr;
int dim_progs_cache = 250;
}  // namespace

int kav_cache_rpcprogs() {
  dim_progs_cache = env_slots("KAV_RPCPROGS_CACHE", 250);
  prognams = (char *)calloc(size_t(dim_progs_cache ? dim_progs_cache : 1), kRpcSlot);
  if (!prognams) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc a %d-slot RPC-progs cache", dim_progs_cache);
    return 1;
  }
  kav_map_rpcprogs = wtree_create(k_digits, 10, 0);
  if (!kav_map_rpcprogs) return 1;
  int n = 0;
  setrpcent(1);
  struct rpcent *re;
  while (n < dim_progs_cache && (re = getrpcent()) != nullptr) {
    if (!numbered_add(kav_map_rpcprogs, unsigned(re->r_number), prognams, kRpcSlot, n, re->r_name)) {
      endrpcent();
      wtree_destroy(kav_map_rpcprogs);
      kav_map_rpcprogs = nullptr;
      free(prognams);
      prognams = nullptr;
      return 1;
    }
    n++;
  }
  endrpcent();
  return 0;
}

const char *rpcprog2nam(unsigned prog) {
  static char res[24];
  char key[16];
  const char *name =
      numbered_find(kav_numval_all ? nullptr : kav_map_rpcprogs, prognams, dim_progs_cache, kRpcSlot, prog, key);
  kav_strlcpy(res, sizeof res, name ? name : key);
  return res;
}

// ---- OID names ----------------------------------------------------------------------------

wtree *kav_map_rpcprogs = nullptr;
wtree *kav_map_oids = nullptr;
char **oid_symvals = nullptr;
int oid_symvals_cnt = 0;

const char *kav_oids_file = "oids.map";

void kav_free_oids_cache() {
  if (oid_symvals)
    for (int i = 0; i < oid_symvals_cnt; i++) free(oid_symvals[i]);
  free(oid_symvals);
  oid_symvals = nullptr;
  oid_symvals_cnt = 0;
  if (kav_map_oids) wtree_destroy(kav_map_oids);
  kav_map_oids = nullptr;
}

// The map is read whole and its lines counted in memory: a last line without
// a newline is a line like any other.
int kav_cache_oids() {
  char path[1200];
  snprintf(path, sizeof path, "%s/%s", tvl_tovadir(), kav_oids_file);
  FILE *f = fopen(path, "r");
  if (!f) {
    if (errno == ENOENT) return 0;
    kavtrc(1, 0, "Failed to open OIDs map [%s] - errno=%d", path, errno);
    return 1;
  }
  std::string text;
  char chunk[8192];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  if (ferror(f)) {
    int e = errno;
    fclose(f);
    kavtrc(1, 0, "Failed to read line %d of OIDs map - errno=%d", 1 + int(std::count(text.begin(), text.end(), '\n')), e);
    return 1;
  }
  fclose(f);
  long lines = long(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n') lines++;
  if (lines > kMaxToken) {
    kavtrc(2, 0, "OIDs map has %ld lines - names after line %d are ignored", lines, kMaxToken);
    lines = kMaxToken;
  }
  int n = int(lines);
  oid_symvals = (char **)calloc(size_t(n) + 1, sizeof(char *));
  if (!oid_symvals) {
    kavtrc(1, 0, "Failed to count malloc %d OID pointers", n + 1);
    return 1;
  }
  oid_symvals_cnt = n + 1;
  kav_map_oids = wtree_create("0123456789.", 11, 0);
  if (!kav_map_oids) {
    kav_free_oids_cache();
    return 1;
  }
  int names = 0, numeric = 0, symbolic = 0;
  size_t pos = 0;
  for (int i = 1; i <= n; i++) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    char line[520];
    kav_strlcpy(line, sizeof line, text.substr(pos, std::min<size_t>(eol - pos, 512)).c_str());
    pos = eol + 1;
    strip(line);
    if (!line[0] || line[0] == '#') continue;
    char *hash = strchr(line, '#');
    if (hash) *hash = 0;
    char *eq = strchr(line, '=');
    if (!eq) {
      kavtrc(2, 0, "Line %d of OIDs map has no '%c' delimiter", i, '=');
      continue;
    }
    *eq = 0;
    char *name = eq + 1;
    strip(line);
    strip(name);
    if (!line[0] || !name[0]) continue;
    oid_symvals[i] = strdup(name);
    if (!oid_symvals[i]) {
      kavtrc(1, 0, "Failed to malloc line %d of OID map (%d,%d)", i, int(strlen(line)), int(strlen(name)));
      kav_free_oids_cache();
      return 1;
    }
    if (wtree_add_word(kav_map_oids, line, int(strlen(line)), i) < 0) {
      kavtrc(1, 0, "Failed to add line %d of OIDs map [%s] - %s", i, line, tvl_usrmsg);
      kav_free_oids_cache();
      return 1;
    }
    names++;
    numeric += int(strlen(line));
    symbolic += int(strlen(name));
  }
  int c[4] = {0, 0, 0, 0};
  wtree_stats(kav_map_oids, c);
  kavtrc(4, 0, "OID cache: %d Wtree entries in %d nodes (%d) - %d bytes", c[0], c[1], c[3], c[2]);
  kavtrc(4, 0, "Mapfile OIDs: %d entries, Numeric=%d, Symbolic=%d", names, numeric, symbolic);
  return 0;
}

const char *kav_oid2nam(const char *dotted, int len) {
  if (!kav_map_oids || len <= 0) return nullptr;
  int tok = wtree_find_word(kav_map_oids, dotted, len);
  if (tok > 0 && tok < oid_symvals_cnt) return oid_symvals[tok];
  return nullptr;
}

void kav_cache_free() {
  kav_free_oids_cache();
  wtree **trees[] = {&kav_map_ethers, &kav_map_hosts, &kav_map_l4prots, &kav_map_l5tcp, &kav_map_l5udp,
                     &kav_map_rpcprogs};
  for (wtree **t : trees)
    if (*t) {
      wtree_destroy(*t);
      *t = nullptr;
    }
  free(g_ethnames);
  free(g_hostnames);
  free(g_protnames);
  free(g_tcpsvc);
  free(g_udpsvc);
  free(prognams);
  prognams = nullptr;
  dim_progs_cache = 250;
  g_ethnames = g_hostnames = g_protnames = g_tcpsvc = g_udpsvc = nullptr;
  g_ethslots = g_hostslots = g_hostnext = g_protslots = 0;
  dim_svc_cache = 250;
}
