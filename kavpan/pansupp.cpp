// Output support and the layer chain of the analyser.
#include "pansupp.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "tova.h"

int kav_vblvl = 2;
int kav_numval_ip = 0;
int kav_numval_all = 0;
int kav_proto_map = 0;
int kav_force_map = 0;
int kav_txtdmp = 15;
int kav_envdmpfmt = 0;
int kav_did_prt = 0;
int kav_rawmode = 0;
int kav_l5_undecoded = 0;
FILE *kav_outfp = nullptr;
kav_trcfn kav_trchook = nullptr;

const kav_pseudo kav_pseudos[] = {
    {"RPC", KAV_MAP_RPC},           {"SUNRPC", KAV_MAP_RPC},         {"ASN1", KAV_MAP_ASN1},
    {"ASN.1", KAV_MAP_ASN1},        {"X509CERT", KAV_MAP_X509CERT}, {"X.509CERT", KAV_MAP_X509CERT},
    {"X509CRL", KAV_MAP_X509CRL},   {"X.509CRL", KAV_MAP_X509CRL},  {"SSL", KAV_MAP_SSL},
    {"TEXT", KAV_MAP_TEXT},
};
const int kav_npseudos = int(sizeof kav_pseudos / sizeof kav_pseudos[0]);

int kav_pseudo_code(const char *name) {
  for (const kav_pseudo &p : kav_pseudos)
    if (strcasecmp(name, p.name) == 0) return p.code;
  return 0;
}

const char *kav_pseudo_list() {
  static char buf[128];
  if (buf[0]) return buf;
  size_t k = 0;
  for (int i = 0; i < kav_npseudos; i++) {
    if (i > 0 && kav_pseudos[i - 1].code == kav_pseudos[i].code) continue;  // another name of the same code
    k += size_t(snprintf(buf + k, sizeof buf - k, "%s%s", k ? ", " : "", kav_pseudos[i].name));
  }
  return buf;
}

namespace {

// "00".."99": two decimal digits per division.
const char k_dig2[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of u backwards, ending just before e; returns the first.
inline char *dec_rev(char *e, unsigned long long u) {
  while (u >= 100) {
    unsigned r = unsigned(u % 100);
    u /= 100;
    e -= 2;
    e[0] = k_dig2[2 * r];
    e[1] = k_dig2[2 * r + 1];
  }
  if (u >= 10) {
    e -= 2;
    e[0] = k_dig2[2 * u];
    e[1] = k_dig2[2 * u + 1];
  } else
    *--e = char('0' + u);
  return e;
}

// Short copies are the rule here (names, numbers, separators): a plain loop
// beats the call into the library's memcpy/memset.
inline void copy_short(char *d, const char *s, int n) {
  if (n > 8) {
    memcpy(d, s, size_t(n));
    return;
  }
  for (int i = 0; i < n; i++) d[i] = s[i];
}
inline void fill_short(char *d, char c, int n) {
  for (int i = 0; i < n; i++) d[i] = c;
}

}  // namespace

// A printf subset (flags '-' and '0', width, precision, 'l'/'ll', conversions
// d i u x X o c s %) formatted straight into buf. Returns the length, or -1
// when the format needs more than the subset or buf is too small; the caller
// then uses the C library. The analysis output is almost all such short
// pieces, and the general formatter costs more than the decoding.
int kav_fmt(char *buf, int size, const char *fmt, va_list ap) {
  char *o = buf, *const end = buf + size;
  const char *p = fmt;
  for (;;) {
    while (*p != '%') {
      if (!*p) return int(o - buf);
      if (o == end) return -1;
      *o++ = *p++;
    }
    p++;
    bool left = false, zero = false;
    for (;; p++) {
      if (*p == '-')
        left = true;
      else if (*p == '0')
        zero = true;
      else
        break;
    }
    int width = 0;
    if (*p == '*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      p++;
    } else
      while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    int prec = -1;
    if (*p == '.') {
      p++;
      prec = 0;
      if (*p == '*') {
        prec = va_arg(ap, int);
        p++;
      } else
        while (*p >= '0' && *p <= '9') prec = prec * 10 + (*p++ - '0');
    }
    int lng = 0;
    while (*p == 'l') {
      lng++;
      p++;
    }
    char tmp[32];
    char *const te = tmp + sizeof tmp;
    const char *txt;
    int n;
    bool numeric = true;
    switch (*p++) {
      case '%':
        tmp[0] = '%';
        txt = tmp;
        n = 1;
        numeric = false;
        break;
      case 'c':
        tmp[0] = char(va_arg(ap, int));
        txt = tmp;
        n = 1;
        numeric = false;
        break;
      case 's': {
        txt = va_arg(ap, const char *);
        if (!txt) return -1;
        if (prec >= 0) {
          const void *z = memchr(txt, 0, size_t(prec));
          n = z ? int((const char *)z - txt) : prec;
        } else
          n = int(strlen(txt));
        numeric = false;
        break;
      }
      case 'd':
      case 'i': {
        long long v = lng >= 2 ? va_arg(ap, long long) : lng == 1 ? va_arg(ap, long) : va_arg(ap, int);
        char *q = dec_rev(te, v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v);
        if (v < 0) *--q = '-';
        txt = q;
        n = int(te - q);
        break;
      }
      case 'u': {
        unsigned long long u = lng >= 2 ? va_arg(ap, unsigned long long)
                               : lng == 1 ? va_arg(ap, unsigned long)
                                          : va_arg(ap, unsigned);
        txt = dec_rev(te, u);
        n = int(te - txt);
        break;
      }
      case 'x':
      case 'X':
      case 'o': {
        char c = p[-1];
        unsigned long long u = lng >= 2 ? va_arg(ap, unsigned long long)
                               : lng == 1 ? va_arg(ap, unsigned long)
                                          : va_arg(ap, unsigned);
        char *q = te;
        if (c == 'o') {
          do {
            *--q = char('0' + (u & 7));
            u >>= 3;
          } while (u);
        } else {
          const char *dig = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
          do {
            *--q = dig[u & 15];
            u >>= 4;
          } while (u);
        }
        txt = q;
        n = int(te - q);
        break;
      }
      default: return -1;  // also flags '+', ' ', '#' and the length modifiers h z j t L q
    }
    if (numeric && prec >= 0) return -1;
    int pad = width > n ? width - n : 0;
    if (end - o < pad + n) return -1;
    if (pad && !left) {
      if (zero && numeric) {
        if (txt[0] == '-') {
          *o++ = '-';
          txt++;
          n--;
        }
        fill_short(o, '0', pad);
      } else
        fill_short(o, ' ', pad);
      o += pad;
    }
    copy_short(o, txt, n);
    o += n;
    if (pad && left) {
      fill_short(o, ' ', pad);
      o += pad;
    }
  }
}

namespace {

// Free space in the buffer of a fully buffered stream, where text can be put
// in place as putc_unlocked does (glibc; a line-buffered or unbuffered stream
// shows none, so every newline or write still goes through the library).
inline int out_room(FILE *f) {
#ifdef __GLIBC__
  return int(f->_IO_write_end - f->_IO_write_ptr);
#else
  (void)f;
  return 0;
#endif
}

}  // namespace

void(kavprt)(int level, const char *fmt, ...) {
  if (!kav_prtok(level)) return;
  kav_did_prt = 1;
  FILE *out = kav_out();
  va_list ap;
  va_start(ap, fmt);
#ifdef __GLIBC__
  // Straight into the stream's buffer when the piece fits; a piece that does
  // not leaves only scratch octets past the write pointer.
  if (int room = out_room(out); room >= 256) {
    va_list ap1;
    va_copy(ap1, ap);
    int n = kav_fmt(out->_IO_write_ptr, room, fmt, ap1);
    va_end(ap1);
    if (n >= 0) {
      out->_IO_write_ptr += n;
      va_end(ap);
      return;
    }
  }
#endif
  char buf[1024];
  va_list ap2;
  va_copy(ap2, ap);
  int n = kav_fmt(buf, int(sizeof buf), fmt, ap);
  if (n >= 0)
    fwrite_unlocked(buf, 1, size_t(n), out);
  else
    vfprintf(out, fmt, ap2);
  va_end(ap2);
  va_end(ap);
}

void kavtrc(int level, int, const char *fmt, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (kav_trchook)
    kav_trchook(level, msg);
  else
    dbgtrc(level, 0, "%s", msg);
}

void kav_txtprt(const char *text, int maxlen, int ellipsis) {
  if (!text) return;
  kav_txtprt_v(kav_view((const unsigned char *)text, int(strlen(text))), maxlen, ellipsis);
}

void kav_txtprt_v(const kav_view &text, int maxlen, int ellipsis) {
  FILE *out = kav_out();
  // The text ends at the view's end or at its first NUL, as a C string would.
  int len = text.size(), i = 0;
  for (; i < maxlen && i < len; i++) {
    uint32_t c = text.u8(i);
    if (c == 0) break;
    if (c >= 32 && c <= 126)
      putc_unlocked(int(c), out);
    else if (c < 32)
      fprintf(out, "<^%c>", int(c + 64));
    else
      fprintf(out, "<\\%03o>", c);
  }
  if (ellipsis && i < len && text.u8(i) != 0) fputs("...", out);
}

// ---- dumps ---------------------------------------------------------------------

namespace {

struct dumpcfg {
  bool read = false;
  char fmtname[8] = "DEC";
  bool longs = false;
  bool lendian = false;
};
dumpcfg g_dump;

struct dumpfmt {
  const char *name;
  const char *elem;
  const char *desc;
};
const dumpfmt k_fmts[] = {
    {"HEX", "%02X", "Hexadecimal"}, {"OCT", "%03o", "Octal"}, {"DEC", "%03d", "Decimal"},
    {"ASC", "%5s", "ASCII"},        {"TXT", "%03d", "Text"},
};

const char *const k_ascnames[33] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",
                                    "TAB", "LF",  "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "XON",
                                    "DC2", "XOF", "DC4", "NAK", "SYN", "ETB", "CAN", "EM",  "SUB",
                                    "ESC", "FS",  "GS",  "RS",  "US",  "SPC"};

// "y"/"n" switch from the environment; invalid values are logged and ignored.
bool env_yn(const char *var, bool dflt) {
  const char *v = getenv(var);
  if (!v) return dflt;
  if (strcasecmp(v, "y") == 0) return true;
  if (strcasecmp(v, "n") == 0) return false;
  tvl_msglog("kavdump: invalid environment variable (%s=%s)", var, v);
  return dflt;
}

void read_dumpcfg() {
  if (g_dump.read) return;
  g_dump.read = true;
  char elem[8];
  const char *desc;
  const char *name = setdbgfmt(elem, getenv("KAV_DUMPFMT"), &desc);
  kav_strlcpy(g_dump.fmtname, sizeof g_dump.fmtname, name);
  g_dump.longs = env_yn("KAV_DUMP_LONGS", false);
  g_dump.lendian = g_dump.longs ? env_yn("KAV_DUMP_LENDIAN", false) : false;
}

// "\n%04d:" for a row number, into buf; returns the length.
int row_label(char *buf, int rowno) {
  char t[12];
  int n = 0;
  unsigned u = unsigned(rowno);
  do {
    t[n++] = char('0' + u % 10);
    u /= 10;
  } while (u);
  int k = 0;
  buf[k++] = '\n';
  for (int z = n; z < 4; z++) buf[k++] = '0';
  while (n) buf[k++] = t[--n];
  buf[k++] = ':';
  return k;
}

void dump_longs(FILE *out, const unsigned char *p) {  // p: the four octets
  unsigned a, b;
  unsigned long l;
  if (g_dump.lendian) {
    a = p[0] | (p[1] << 8);
    b = p[2] | (p[3] << 8);
    l = p[0] | (p[1] << 8) | (p[2] << 16) | ((unsigned long)p[3] << 24);
  } else {
    a = (p[0] << 8) | p[1];
    b = (p[2] << 8) | p[3];
    l = ((unsigned long)p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
  }
  fprintf(out, "\t\t(%d, %d) or %lu", (int)a, (int)b, l);
}

}  // namespace

void kav_dump_reset() { g_dump = dumpcfg(); }

const char *setdbgfmt(char *elemfmt, const char *fmtname, const char **desc) {
  const dumpfmt *f = &k_fmts[2];
  if (fmtname) {
    const dumpfmt *hit = nullptr;
    for (const auto &e : k_fmts)
      if (strcasecmp(fmtname, e.name) == 0) hit = &e;
    if (hit)
      f = hit;
    else
      tvl_msglog("setdbgfmt: invalid environment variable (%s=%s)", "KAV_DUMPFMT", fmtname);
  }
  strcpy(elemfmt, f->elem);
  if (desc) *desc = f->desc;
  return f->name;
}

void kavdump(const unsigned char *data, int len, const char *fmtname) {
  if (kav_vblvl != 4) return;
  read_dumpcfg();
  char elem[8];
  const char *desc;
  const char *name = setdbgfmt(elem, fmtname ? fmtname : g_dump.fmtname, &desc);
  FILE *out = kav_out();
  kav_did_prt = 1;
  if (!data) len = 0;

  if (strcmp(name, "TXT") == 0) {
    bool nul = len > 0 && memchr(data, 0, size_t(len)) != nullptr;
    fprintf(out, "%s format%s\n", desc, nul ? " - WARNING: buffer contains NULs" : "");
    int i = 0;
    while (i < len) {
      int j = i;
      if (data[i]) {
        while (j < len && data[j]) j++;
        fwrite(data + i, 1, size_t(j - i), out);
      } else {
        while (j < len && !data[j]) j++;
        fprintf(out, "\n*** %d NUL%s ***\n", j - i, j - i == 1 ? "" : "s");
      }
      i = j;
    }
    fputs("\n", out);
    return;
  }

  if (strcmp(name, "ASC") == 0) {
    fprintf(out, "%s format, %d chars per row", desc, 15);
    for (int i = 0; i < len; i++) {
      if (i % 15 == 0) fprintf(out, "\n%04d:", i / 15 + 1);
      unsigned c = data[i];
      char el[8];
      int k = 0;
      if (c & 0x80) {
        el[k++] = '\\';
        c &= 0x7F;
      }
      if (c <= 32)
        kav_strlcpy(el + k, sizeof el - k, k_ascnames[c]);
      else if (c == 127)
        snprintf(el + k, sizeof el - k, "DEL");
      else {
        el[k++] = char(c);
        el[k] = 0;
      }
      fprintf(out, "%5s", el);
    }
    fputs("\n", out);
    return;
  }

  int row = g_dump.longs ? 4 : (strcmp(name, "HEX") == 0 ? 25 : 16);
  fprintf(out, "%s format, %d octets per row", desc, row);
  // Rows are built by hand (the same text as "%1s" then the element format
  // per octet): dumps are the bulk of verbosity-4 output.
  static const char hx[] = "0123456789ABCDEF";
  char line[256];
  int k = 0;
  for (int i = 0; i < len; i++) {
    if (i % row == 0) {
      if (k) fwrite(line, 1, size_t(k), out);
      k = row_label(line, i / row + 1);
    }
    unsigned c = data[i];
    line[k++] = ' ';
    if (name[0] == 'H') {
      line[k++] = hx[c >> 4];
      line[k++] = hx[c & 15];
    } else if (name[0] == 'O') {
      line[k++] = char('0' + (c >> 6));
      line[k++] = char('0' + ((c >> 3) & 7));
      line[k++] = char('0' + (c & 7));
    } else {
      line[k++] = char('0' + c / 100);
      line[k++] = char('0' + c / 10 % 10);
      line[k++] = char('0' + c % 10);
    }
    if (g_dump.longs && (i % 4 == 3 || i == len - 1) && i >= 3) {
      fwrite(line, 1, size_t(k), out);
      k = 0;
      dump_longs(out, data + i - 3);
    }
  }
  if (k) fwrite(line, 1, size_t(k), out);
  fputs("\n", out);
}

// ---- checksum --------------------------------------------------------------------

uint32_t kav_chksum_part(const unsigned char *data, int len, uint32_t seed) {
  // Summed as native 32-bit words in a 64-bit accumulator, then folded and
  // turned to network order: the one's-complement sum does not depend on the
  // byte order of its words (RFC 1071), so the swap can come last.
  uint64_t sum = 0;
  int i = 0;
  if (data) {
    uint64_t s2 = 0;
    for (; i + 16 <= len; i += 16) {
      uint64_t a, b;
      memcpy(&a, data + i, 8);
      memcpy(&b, data + i + 8, 8);
      sum += (a & 0xFFFFFFFFu) + (a >> 32);
      s2 += (b & 0xFFFFFFFFu) + (b >> 32);
    }
    sum += s2;
    for (; i + 4 <= len; i += 4) {
      uint32_t w;
      memcpy(&w, data + i, 4);
      sum += w;
    }
    for (; i + 2 <= len; i += 2) {
      uint16_t w;
      memcpy(&w, data + i, 2);
      sum += w;
    }
    if (i < len) {
      uint16_t w = 0;
      memcpy(&w, data + i, 1);  // the odd octet, as if followed by a 0 octet
      sum += w;
    }
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint32_t s = uint32_t(sum);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  s = ((s & 0xFF) << 8) | (s >> 8);
#endif
  // Adding the seed keeps the result an unfolded partial sum, as callers expect.
  uint64_t t = uint64_t(s) + seed;
  while (t >> 32) t = (t & 0xFFFFFFFFu) + (t >> 32);
  return uint32_t(t);
}

uint16_t kav_chksum_fold(uint32_t sum) {
  uint64_t s = sum;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return uint16_t(s);
}

int kav_chksum16_1(const unsigned char *data, int len) {
  if (len < 0) len = 0;
  return int(uint16_t(~kav_chksum_fold(kav_chksum_part(data, len, 0))));
}

// ---- packet context ----------------------------------------------------------------

void kav_ctx_settxt(char *field, int size, const char *text) {
  if (size <= 0) return;
  kav_strlcpy(field, size_t(size), text ? text : "");
}

// ---- layer chain ---------------------------------------------------------------------

namespace {

const char *layer_name(int layer, int proto, int prevproto, char *buf, size_t bufsz) {
  switch (layer) {
    case KAV_LAYER_LINK: return kav_l2proto2nam(proto);
    case KAV_LAYER_NET: return kav_l3proto2nam(proto);
    case KAV_LAYER_TRANS: return kav_l4proto2nam(unsigned(proto));
    case KAV_LAYER_APP: return kav_l5proto2nam(proto, prevproto);  // prevproto: the transport, or 0
    default: snprintf(buf, bufsz, "<%u.%u>", unsigned(layer), unsigned(proto)); return buf;
  }
}

}  // namespace

void print_pkt(int layer, int proto, const unsigned char *data, int len, unsigned missing, kav_pktctx *ctx) {
  memset(ctx, 0xFA, sizeof *ctx);
  int trailer = 0;
  // The application decoders are keyed by the transport protocol; a payload
  // that reaches layer 5 from another layer has none (0).
  int prevproto = 0, prevlayer = KAV_LAYER_STOP;
  kav_view pdu(data, len);
  // Decoders record into rec; once an ICMP error hands on the datagram it
  // quotes, that goes into a copy, so the outer headers' fields stay put
  // (the quote is decoded only at verbosity 4).
  kav_pktctx quoted;
  kav_pktctx *rec = ctx;
  // Every hop consumes a header or ends the walk; the cap guards against a
  // decoder that hands on without consuming anything.
  for (int hops = 0; pdu.len > 0 && hops < 512; hops++) {
    kav_did_prt = 0;
    if (kav_prtok(4)) {
      char label[96] = "";
      if (layer >= KAV_LAYER_LINK) {
        char nb[48];
        const char *nm = layer_name(layer, proto, prevlayer == KAV_LAYER_TRANS ? prevproto : 0, nb, sizeof nb);
        if (kav_rawmode) {
          if (proto != 0) snprintf(label, sizeof label, " Protocol = %s", nm);
        } else
          snprintf(label, sizeof label, " Layer = %d, Protocol = %s", layer, nm);
      }
      kavprt(4, "\n%u-octet PDU follows:%s\n\n", unsigned(pdu.len), label);
    }
    int more = 0;
    int consumed = pdu.len;
    if (layer > KAV_LAYER_APP || layer < KAV_LAYER_STOP) layer = KAV_LAYER_STOP;

    int thisproto = proto, thislayer = layer;
    int l4proto = prevlayer == KAV_LAYER_TRANS ? prevproto : 0;
    if (layer == KAV_LAYER_TEXT) {
      kavprt(4, "\n%.*s\n", pdu.len, (const char *)pdu.base);
    } else if (layer == KAV_LAYER_DUMP) {
      kav_dumpv(pdu);
    } else if (layer == KAV_LAYER_APP && kav_vblvl < 4) {
      kavprt(1, "data=%u [", missing + unsigned(pdu.len));
      kav_panl5(&layer, &proto, l4proto, pdu, &trailer, &more, rec);
      if (layer == KAV_LAYER_STOP) kav_l5_undecoded = 1;
      kavprt(1, "]");
      layer = KAV_LAYER_STOP;  // the whole payload is accounted for
    } else {
      unsigned r = 0;
      if (layer == KAV_LAYER_STOP) {
      } else if (layer == KAV_LAYER_LINK)
        r = kav_panl2(&layer, &proto, pdu, &trailer, &more, rec);
      else if (layer == KAV_LAYER_NET)
        r = kav_panl3(&layer, &proto, pdu, &trailer, &more, rec);
      else if (layer == KAV_LAYER_TRANS)
        r = kav_panl4(&layer, &proto, pdu, &trailer, &more, missing, rec);
      else {
        r = kav_panl5(&layer, &proto, l4proto, pdu, &trailer, &more, rec);
        if (layer == KAV_LAYER_STOP) kav_l5_undecoded = 1;
      }
      if (thislayer == KAV_LAYER_TRANS && thisproto == KAV_IPPROTO_ICMP && layer == KAV_LAYER_NET && rec == ctx) {
        quoted = *ctx;
        rec = &quoted;
      }

      if (layer == KAV_LAYER_STOP) {
        if (kav_vblvl == 4) {
          kavprt(4, "%u Data octets follow:\n", unsigned(pdu.len));
          kav_dumpv(pdu);
        } else
          kavprt(1, "data=%u", missing + unsigned(pdu.len));
        consumed = pdu.len;
      } else {
        if (r > unsigned(pdu.len)) r = unsigned(pdu.len);
        if (r > 0 && !more) {
          if (kav_vblvl == 4) {
            kavprt(4, "\n%u padding/unexpected octets follow:\n", r);
            kav_dumpv(pdu.from(pdu.len - int(r)));
          }
          consumed = pdu.len;
        } else
          consumed = pdu.len - int(r);
      }
    }
    if (trailer < 0 || trailer > consumed) trailer = 0;
    int h = consumed - trailer;
    if (h > 0 && kav_did_prt) kavprt(1, "; ");
    if (trailer) {
      pdu = pdu.sub(h, pdu.len - consumed);
      trailer = 0;
      missing = 0;
    } else
      pdu = pdu.from(h);
    if (consumed <= 0) break;  // a decoder that consumed nothing would loop forever
    prevproto = thisproto;
    prevlayer = thislayer;
  }
  kavprt(1, "\n");
}
