// SSL/TLS records: the record header, alerts, change-cipher-spec and the
// handshake messages sent in clear. Opt-in through KAV_SSL_PARSE; otherwise
// every payload is dumped.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <strings.h>

#include "panapp.h"

namespace {

int g_do_it = -1;  // undecided until the first payload

const char *const k_suites[31] = {
    "SSL_NULL_WITH_NULL_NULL", "SSL_RSA_WITH_NULL_MD5", "SSL_RSA_WITH_NULL_SHA", "SSL_RSA_EXPORT_WITH_RC4_40_MD5",
    "SSL_RSA_WITH_RC4_128_MD5", "SSL_RSA_WITH_RC4_128_SHA", "SSL_RSA_EXPORT_WITH_RC2_CBC_40_MD5",
    "SSL_RSA_WITH_IDEA_CBC_SHA", "SSL_RSA_EXPORT_WITH_DES40_CBC_SHA", "SSL_RSA_WITH_DES40_CBC_SHA",
    "SSL_RSA_WITH_3DES_EDE_CBC_SHA", "SSL_DH_DSS_EXPORT_WITH_DES40_CBC_SHA", "SSL_DH_DSS_WITH_DES_CBC_SHA",
    "SSL_DH_DSS_WITH_3DES_EDE_CBC_SHA", "SSL_DH_RSA_EXPORT_WITH_DES40_CBC_SHA", "SSL_DH_RSA_WITH_DES_CBC_SHA",
    "SSL_DH_RSA_WITH_3DES_EDE_CBC_SHA", "SSL_DHE_DSS_EXPORT_WITH_DES40_CBC_SHA", "SSL_DHE_DSS_WITH_DES_CBC_SHA",
    "SSL_DHE_DSS_WITH_3DES_EDE_CBC_SHA", "SSL_DHE_RSA_EXPORT_WITH_DES40_CBC_SHA", "SSL_DHE_RSA_WITH_DES_CBC_SHA",
    "SSL_DHE_RSA_WITH_3DES_EDE_CBC_SHA", "SSL_DH_anon_EXPORT_WITH_RC4_40_MD5", "SSL_DH_anon_WITH_RC4_128_MD5",
    "SSL_DH_anon_EXPORT_WITH_DES40_CBC_SHA", "SSL_DH_anon_WITH_DES_CBC_SHA", "SSL_DH_anon_WITH_3DES_EDE_CBC_SHA",
    "SSL_FORTEZZA_KEA_WITH_NULL_SHA", "SSL_FORTEZZA_KEA_WITH_FORTEZZA_CBC_SHA", "SSL_FORTEZZA_KEA_WITH_RC4_128_SHA",
};

const char *suite2nam(unsigned s) {
  if (s <= 30) return k_suites[s];
  return s >= 0xFF00 ? "private" : "-";
}

const char *content2nam(unsigned t) {
  static const char *const n[4] = {"change-cipher-spec", "alert", "handshake", "application-data"};
  return t >= 20 && t <= 23 ? n[t - 20] : "-";
}

const char *alertdesc2nam(unsigned d) {
  switch (d) {
    case 0: return "close-notify";
    case 10: return "unexpected-message";
    case 20: return "bad-record-mac";
    case 30: return "decompression-failure";
    case 40: return "handshake-failure";
    case 41: return "no-certificate";
    case 42: return "bad-certificate";
    case 43: return "unsupported-certificate";
    case 44: return "certificate-revoked";
    case 45: return "certificate-expired";
    case 46: return "certificate-unknown";
    case 47: return "illegal-parameter";
    default: return "-";
  }
}

struct shake {
  unsigned type;
  const char *name, *label;
};
const shake k_shakes[] = {
    {0, "Hello-Request", "SSL-HELLOREQ"},       {1, "Client-Hello", "SSL-C-HELLO"},
    {2, "Server-Hello", "SSL-S-HELLO"},         {11, "Certificate", "SSL-CERT"},
    {12, "Server-Key-Exchange", "SSL-S-KEYEXCH"}, {13, "certificate-request", "SSL-CERTREQ"},
    {14, "Server-Hello-Done", "SSL-S-HELLODONE"}, {15, "Certificate-Verify", "SSL-CERTVER"},
    {16, "Client-Key-Exchange", "SSL-C-KEYEXCH"}, {20, "Finished", "SSL-FIN"},
};
const shake &shake_find(unsigned t) {
  static const shake other{0, "-", "SSL"};
  for (const shake &s : k_shakes)
    if (s.type == t) return s;
  return other;
}

const char *v2type2nam(unsigned t) {
  static const char *const n[9] = {"Error",         "Client-Hello",  "Client-Master-Key",
                                   "Client-Finished", "Server-Hello", "Server-Verify",
                                   "Server-Finished", "Request-Certificate", "Client-Certificate"};
  return t <= 8 ? n[t] : "-";
}

const char *certtype2nam(unsigned t) {
  switch (t) {
    case 1: return "rsa_sign";
    case 2: return "dss_sign";
    case 3: return "rsa_fixed_dh";
    case 4: return "dss_fixed_dh";
    case 5: return "rsa_ephemeral_dh";
    case 6: return "dss_ephemeral_dh";
    case 20: return "fortezza_kea";
    default: return "-";
  }
}

const char *s_(int n) { return n == 1 ? "" : "s"; }
const char *follows(int n) { return n == 1 ? "s" : ""; }

void bytes_follow(const kav_view &v) {
  int n = v.size();
  kavprt(4, "SSL: %d byte%s follow%s:\n", n, s_(n), follows(n));
  kav_dumpv(v);
}

void truncated() { kavprt(4, "+%s:\tPACKET TRUNCATED\n", "SSL-SHAKE"); }

// BER items (certificates, distinguished names), or a dump when the BER
// decoder does not take them.
void ber(const kav_view &v, int code, const char *label) {
  if (kav_l5_asn1(v, 0, code, label) < 0) kav_dumpv(v);
}

// Client and server hello bodies; false when a field runs past the message.
bool hello(kav_cursor &c, const char *L, bool client) {
  uint32_t vmaj = c.u8(), vmin = c.u8(), t = c.u32();
  kav_view rnd = c.take(28);
  uint32_t sidlen = c.u8();
  kav_view sid = c.take(sidlen);
  if (!c.ok()) return false;
  kavprt(4, "+%s: Protocol-Version = %d.%d\n", L, int(vmaj), int(vmin));
  time_t tt = time_t(t);
  struct tm tmv {};
  localtime_r(&tt, &tmv);
  kavprt(4, "+%s: Unix time = %lu (%04d/%02d/%02d - %02d:%02d:%02d)\n", L, (unsigned long)t, tmv.tm_year + 1900,
         tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  if (sidlen) {
    kavprt(4, "+%s: %d-byte Session-ID = ", L, int(sidlen));
    for (int i = 0; i < sid.size(); i++) kavprt(4, i ? ":%02x" : "%02x", sid.u8(i));
    kavprt(4, "\n");
  } else
    kavprt(4, "+%s: No Session-ID\n", L);
  // A client offers a list (its length counts octets); a server picks one.
  int nsuites = client ? int(c.u16() / 2) : 1;
  if (!c.ok()) return false;
  kavprt(4, "+%s: %d Cipher Suite%s follow%s:\n", L, nsuites, s_(nsuites), follows(nsuites));
  for (int i = 0; i < nsuites; i++) {
    uint32_t hi = c.u8(), lo = c.u8();
    if (!c.ok()) return false;
    kavprt(4, "+%s:\t0x%02x,0x%02x (%s)\n", L, hi, lo, suite2nam(hi << 8 | lo));
  }
  int ncomp = client ? int(c.u8()) : 1;
  if (!c.ok()) return false;
  kavprt(4, "+%s: %d Compression Method%s follow%s:\n", L, ncomp, s_(ncomp), follows(ncomp));
  for (int i = 0; i < ncomp; i++) {
    uint32_t m = c.u8();
    if (!c.ok()) return false;
    kavprt(4, "+%s:\t%d (%s)\n", L, int(m), m == 0 ? "Null" : "-");
  }
  kavprt(4, "+%s: The 28 random bytes follow:\n", L);
  kav_dumpv(rnd);
  return true;
}

// A list of items, each with a length of lensz octets, inside a list of
// listlen octets: counted first, then printed.
bool items(kav_cursor &c, int lensz, uint32_t listlen, const char *L, const char *what, const char *whats,
           int code, const char *berlabel) {
  kav_cursor lc(c.take(listlen));
  bool whole = c.ok();
  kav_cursor cnt = lc;
  int n = 0;
  while (cnt.remaining() > 0) {
    uint32_t l = lensz == 3 ? cnt.u24() : cnt.u16();
    cnt.skip(l);
    if (!cnt.ok()) break;
    n++;
  }
  kavprt(4, "+%s: %d %s follow%s:\n", L, n, n == 1 ? what : whats, follows(n));
  for (int i = 0; i < n; i++) {
    uint32_t l = lensz == 3 ? lc.u24() : lc.u16();
    kav_view item = lc.take(l);
    kavprt(4, "+%s: - %s %d (%d octets):\n", L, what, i + 1, item.size());
    ber(item, code, berlabel);
  }
  return whole && cnt.ok();
}

// One handshake message in rec (the record's content); returns the octets
// used, or -1 when a list ran past the message.
int handshake(const kav_view &rec) {
  const char *S = "SSL-SHAKE";
  kav_cursor c(rec);
  uint32_t mt = c.u8(), hl = c.u24();
  if (!c.ok()) return -1;
  const shake &sh = shake_find(mt);
  const char *L = sh.label;
  kavprt(4, "+%s: Message-Type = %d (%s)\n", S, int(mt), sh.name);
  kavprt(4, "+%s: Length = %ld\n", S, long(hl));
  kav_view body;
  if (!rec.exact(4, hl, body)) body = rec.from(4);
  kav_cursor b(body);
  switch (mt) {
    case 0:
    case 14: kavprt(4, "+%s: Null Message:\n", L); return 4;
    case 1:
    case 2:
      if (!hello(b, L, mt == 1)) return -1;
      return 4 + b.pos;
    case 11: {
      uint32_t listlen = b.u24();
      if (!b.ok() || !items(b, 3, listlen, L, "Certificate", "Certificates", KAV_MAP_X509CERT, "X509CERT"))
        return -1;
      return 4 + b.pos;
    }
    case 13: {
      uint32_t nt = b.u8();
      kav_view types = b.take(nt);
      if (!b.ok()) return -1;
      kavprt(4, "+%s: %d Certificate Type%s follow%s:\n", L, int(nt), s_(int(nt)), follows(int(nt)));
      for (int i = 0; i < types.size(); i++) {
        uint32_t t = types.u8(i);
        kavprt(4, "+%s:\t%d (%s)\n", L, int(t), certtype2nam(t));
      }
      uint32_t listlen = b.u16();
      if (!b.ok() || !items(b, 2, listlen, L, "Distinguished Name", "Distinguished Names", 0, nullptr)) return -1;
      return 4 + b.pos;
    }
    default: return 4;
  }
}

void sslv2(const kav_view &d) {
  const char *L = "SSLv2-REC";
  uint32_t b0 = d.u8(0), b1 = d.u8(1);
  // A set top bit means a 2-octet header; otherwise it has 3 octets.
  bool two = b0 & 0x80;
  long rl = two ? long((b0 & 0x7F) << 8 | b1) : long((b0 & 0x3F) << 8 | b1);
  int hdr = two ? 2 : 3;
  kavprt(4, "+%s: Length = %ld (%d bytes)\n", L, rl, hdr);
  uint32_t t = 0;
  if (d.get8(hdr, t))
    kavprt(4, "+%s: Handshake message would be %s\n", L, v2type2nam(t));
  else
    kavprt(4, "+%s: Handshake message would be %s\n", L, "-");
  kavprt(4, "+%s: Dumping entire SSL record\n", L);
  kav_dumpv(d);
}

}  // namespace

void kav_ssl_reset() { g_do_it = -1; }

void parse_ssl_msg(kav_view d) {
  int len = d.size();
  if (len <= 0) return;
  if (g_do_it < 0) {
    const char *e = getenv("KAV_SSL_PARSE");
    g_do_it = e && strcasecmp(e, "y") == 0;
  }
  if (kav_vblvl != 4) return;
  if (!g_do_it) {
    bytes_follow(d);
    return;
  }
  uint32_t ct = d.u8(0);
  if (ct < 20 || ct > 23) {
    sslv2(d);
    return;
  }
  const char *R = "SSLv3-REC";
  if (len < 5) {
    kavprt(4, "+%s: Record header truncated\n", R);
    bytes_follow(d);
    return;
  }
  uint32_t rl = d.u16(3);
  kavprt(4, "+%s: Content-Type = %d (%s)\n", R, int(ct), content2nam(ct));
  kavprt(4, "+%s: Protocol-Version = %d.%d\n", R, int(d.u8(1)), int(d.u8(2)));
  kavprt(4, "+%s: Length = %ld\n", R, long(rl));
  kavprt(4, "*** WARNING *** The following fields are parsed on the assumption that they are neither compressed nor "
            "encrypted. This is only true at the start of an SSL session, so thereafter, any annotation will be "
            "spurious. SSL v3 is also assumed.\n");
  kav_view rec;
  if (!d.exact(5, rl, rec)) {
    kavprt(4, "+%s: Record truncated (%d of %ld octets captured)\n", R, len - 5, long(rl));
    rec = d.from(5);
  }
  int used = 0;
  switch (ct) {
    case 21: {
      uint32_t lvl = 0, desc = 0;
      if (!rec.get8(0, lvl) || !rec.get8(1, desc)) {
        truncated();
        return;
      }
      kavprt(4, "%s: Level = %d (%s)\n", "SSL-ALERT", int(lvl), lvl == 1 ? "warning" : lvl == 2 ? "fatal" : "-");
      kavprt(4, "%s: Description = %d (%s)\n", "SSL-ALERT", int(desc), alertdesc2nam(desc));
      used = 2;
      break;
    }
    case 20: {
      uint32_t v = 0;
      if (!rec.get8(0, v)) {
        truncated();
        return;
      }
      kavprt(4, "SSL-CHANGE-CIPHER: Value = %d\n", int(v));
      used = 1;
      break;
    }
    case 22:
      used = handshake(rec);
      if (used < 0) {
        truncated();
        return;
      }
      break;
    default: break;
  }
  if (5 + used < len) bytes_follow(d.from(5 + used));
}
