// kavutils: address and service look-ups for the filter parser, and the tap's
// host[:port] shorthand.
#include "kavint.h"
#include "tova.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/ether.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

bool all_digits(const char *s) {
  if (!*s) return false;
  for (; *s; s++)
    if (!isdigit((unsigned char)*s)) return false;
  return true;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = (char)toupper((unsigned char)c);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Six groups of one or two hex digits joined by ':'.
bool parse_ether(const char *s, unsigned char out[6]) {
  for (int i = 0; i < 6; i++) {
    int hi = hexval(*s);
    if (hi < 0) return false;
    s++;
    int v = hi;
    int lo = hexval(*s);
    if (lo >= 0) {
      v = hi * 16 + lo;
      s++;
    }
    out[i] = (unsigned char)v;
    if (i < 5) {
      if (*s != ':') return false;
      s++;
    }
  }
  return *s == '\0';
}

void strip(char *s) {
  char *b = s;
  while (*b == ' ' || *b == '\t') b++;
  size_t n = strlen(b);
  while (n > 0 && (b[n - 1] == ' ' || b[n - 1] == '\t')) n--;
  memmove(s, b, n);
  s[n] = '\0';
}

}  // namespace

// An address of the given family (AF_INET or AF_INET6), numeric or a host
// name, optionally followed by "/" and a prefix length; the prefix's bytes
// and partial-byte mask are kept for the comparison.
static int getaddr(char *value, kav_filtaddr *fa, int family) {
  const bool v6 = family == AF_INET6;
  const int n = v6 ? 16 : 4, maxprefix = n * 8;
  const char *tag = v6 ? "IPv6" : "IP";
  int prefix = maxprefix;
  char *slash = strchr(value, '/');
  if (slash) {
    *slash = '\0';
    const char *m = slash + 1;
    if (!all_digits(m) || strlen(m) > (v6 ? 3u : 2u) || atoi(m) < 1 || atoi(m) > maxprefix) {
      *slash = '/';
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "%s Address mask must be numeric, in range 1-%d {%.20s...}", tag,
               maxprefix, m);
      return 1;
    }
    prefix = atoi(m);
  }
  unsigned char a[16];
  int rc = 0;
  if (inet_pton(family, value, a) == 1) {
    memcpy(fa->addr, a, size_t(n));
  } else {
    struct hostent *h = *value ? gethostbyname2(value, family) : nullptr;
    if (!h || !h->h_addr_list || !h->h_addr_list[0]) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid/unknown host/network spec [%.20s...]", value);
      rc = 1;
    } else if (h->h_addrtype != family || h->h_length != n) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Host '%s' has non-%s address, family=%d, len=%d (%sinternet)", value,
               tag, h->h_addrtype, h->h_length, h->h_addrtype == family ? "" : "non-");
      rc = 1;
    } else {
      memcpy(fa->addr, h->h_addr_list[0], size_t(n));
    }
  }
  if (slash) *slash = '/';
  if (rc) return 1;
  fa->nbytes = (unsigned char)(prefix / 8);
  fa->mask = (unsigned char)(prefix % 8 ? (0xFF << (8 - prefix % 8)) & 0xFF : 0);
  if (fa->nbytes < n) {
    fa->addr[fa->nbytes] &= fa->mask;
    for (int i = fa->nbytes + 1; i < n; i++) fa->addr[i] = 0;
  }
  fa->mcast = 0;
  memset(fa->cmask, 0, sizeof fa->cmask);
  memset(fa->cmask, 0xFF, fa->nbytes);
  if (fa->nbytes < n) fa->cmask[fa->nbytes] = fa->mask;
  return 0;
}

int kav_getaddr_ip(char *value, kav_filtaddr *fa) { return getaddr(value, fa, AF_INET); }

int kav_getaddr_ip6(char *value, kav_filtaddr *fa) { return getaddr(value, fa, AF_INET6); }

int kav_getaddr_eth(const char *value, kav_filtaddr *fa) {
  memset(fa->cmask, 0xFF, sizeof fa->cmask);
  fa->nbytes = 6;
  fa->mask = 0;
  fa->mcast = 0;
  if ((value[0] == 'B' || value[0] == 'b') && value[1] == '\0') {
    memset(fa->addr, 0xFF, 6);
    return 0;
  }
  if ((value[0] == 'M' || value[0] == 'm') && value[1] == '\0') {
    memset(fa->addr, 0, 6);
    fa->mcast = 1;
    return 0;
  }
  if (parse_ether(value, fa->addr)) return 0;
  struct ether_addr ea;
  if (*value && ether_hostton(value, &ea) == 0) {
    memcpy(fa->addr, ea.ether_addr_octet, 6);
    return 0;
  }
  snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Invalid/unknown ethernet address [%.20s...]", value);
  return 1;
}

int kav_getservport(const char *name, const char *proto, unsigned short *port) {
  char lower[256];
  size_t n = strlen(name);
  if (n == 0 || n >= sizeof lower) return 1;
  for (size_t i = 0; i <= n; i++) lower[i] = (char)tolower((unsigned char)name[i]);
  struct servent *s = getservbyname(lower, proto);
  if (!s) return 1;
  *port = (unsigned short)s->s_port;  // already network order
  return 0;
}

char *kav_filt_short(const char *spec) {
  static char result[1025];
  char host[1025];
  char port[1025];
  if (!spec) spec = "";
  if (strlen(spec) >= sizeof host) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "filter-spec too long (%lu characters)", (unsigned long)strlen(spec));
    return nullptr;
  }
  strcpy(host, spec);
  port[0] = '\0';
  if (char *colon = strchr(host, ':')) {
    strcpy(port, colon + 1);
    *colon = '\0';
  }
  strip(host);
  strip(port);

  char out[4096];
  size_t len = 0;
  out[0] = '\0';
  auto rule = [&](const char *proto, const char *value) {
    len += (size_t)snprintf(out + len, sizeof out - len, "%c%s %s%c%s%c", '(', proto, "SD", '=', value, ')');
  };
  if (port[0]) {
    char *p = port;
    if (*p == '!') {
      out[len++] = '^';
      out[len] = '\0';
      p++;
      while (*p == ' ' || *p == '\t') p++;
    }
    bool tcp = true, udp = true;
    if (!all_digits(p)) {
      for (char *q = p; *q; q++) *q = (char)tolower((unsigned char)*q);
      unsigned short dummy;
      tcp = kav_getservport(p, "tcp", &dummy) == 0;
      udp = kav_getservport(p, "udp", &dummy) == 0;
      if (!tcp && !udp) {
        snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Unknown TCP/UDP service, '%.900s'", p);
        return nullptr;
      }
    }
    out[len++] = '(';
    out[len] = '\0';
    if (tcp) rule("TCP", p);
    if (tcp && udp) len += (size_t)snprintf(out + len, sizeof out - len, " | ");
    if (udp) rule("UDP", p);
    out[len++] = ')';
    out[len] = '\0';
    if (host[0]) len += (size_t)snprintf(out + len, sizeof out - len, " & ");
  }
  if (host[0]) {
    char *h = host;
    if (*h == '!') {
      out[len++] = '^';
      out[len] = '\0';
      h++;
      while (*h == ' ' || *h == '\t') h++;
    }
    rule("IP", h);
  }
  if (len == 0) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "filter-spec evaluated to a null expression");
    return nullptr;
  }
  if (len >= sizeof result) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "filter-spec too long (%lu characters)", (unsigned long)strlen(spec));
    return nullptr;
  }
  memcpy(result, out, len + 1);
  return result;
}
