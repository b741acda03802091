// BER walker: prints any tag-length-value encoding as an indented tree, with
// the protocol schema (panber_schemas.cpp) naming the fields where one applies.
// Every length in the encoding is hostile: items are read through the bounded
// view, declared lengths are compared as unsigned with what was captured, and
// nesting is bounded so that a crafted message cannot exhaust the stack.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "panasn1_int.h"
#include "panrpcber.h"
#include "pansupp.h"

namespace {

// Far deeper than any real LDAP, SNMP or certificate structure.
constexpr int kMaxDepth = 48;
constexpr int kOidText = 1100;

const char *const kClassNames[4] = {"Universal", "Application", "Context-Specific", "Private"};

const char *univ_name(int tag) {
  static const char *const names[28] = {nullptr,
                                        "Boolean",
                                        "Integer",
                                        "Bit String",
                                        "Octet String",
                                        "Null",
                                        "OID",
                                        "Object Descriptor",
                                        "External",
                                        "Real",
                                        "Enumerated",
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        "Sequence",
                                        "Set",
                                        "Numeric String",
                                        "Printable String",
                                        "Teletex String",
                                        "Videotex String",
                                        "IA5 String",
                                        "UTC Time",
                                        "Generalised Time",
                                        "Graphic String",
                                        "ISO646 String",
                                        "General String"};
  return tag >= 0 && tag < 28 ? names[tag] : nullptr;
}

const char *snmp_app_name(int tag) {
  static const char *const names[7] = {"IpAddress", "Counter32", "Gauge32", "TimeTicks", "Opaque", nullptr, "Counter64"};
  return tag >= 0 && tag < 7 ? names[tag] : nullptr;
}

bool printable(kav_view v) {
  for (int i = 0; i < v.len; i++) {
    uint32_t c = v.u8(i);
    if (!((c >= 32 && c <= 126) || c == '\t' || c == '\n' || c == '\r')) return false;
  }
  return true;
}

int parse_item(asn1_dec &d, kav_view v, asn1_item it);

// Header of one item: identifier and length octets.
struct ber_hdr {
  int cls = 0, tag = 0;
  bool cons = false;
  int idlen = 0, lenlen = 0;
  bool indef = false;
  uint32_t clen = 0;  // declared content length (definite form)
};

enum { HDR_OK, HDR_SHORT, HDR_TOOLONG, HDR_LENSHORT };

int read_hdr(kav_view v, ber_hdr &h) {
  kav_cursor c(v);
  uint32_t id = c.u8();
  if (!c.ok()) return HDR_SHORT;
  h.cls = int(id >> 6);
  h.cons = (id & 0x20) != 0;
  uint32_t tag = id & 0x1F;
  if (tag == 31) {
    // High tag number: base-128 groups; saturate rather than wrap.
    tag = 0;
    uint32_t b;
    do {
      b = c.u8();
      if (!c.ok()) return HDR_SHORT;
      tag = tag > (0x7FFFFFFFu >> 7) ? 0x7FFFFFFFu : (tag << 7) | (b & 0x7F);
    } while (b & 0x80);
  }
  h.tag = int(tag);
  h.idlen = c.pos;
  if (!c.has(1)) return HDR_SHORT;
  uint32_t l = c.u8();
  if (l < 128) {
    h.clen = l;
  } else if (l == 128) {
    h.indef = true;
  } else {
    uint32_t n = l - 128;
    if (n > 4) {
      h.lenlen = int(n) + 1;
      return HDR_TOOLONG;
    }
    if (!c.has(n)) return HDR_LENSHORT;
    h.clen = 0;
    for (uint32_t i = 0; i < n; i++) h.clen = (h.clen << 8) | c.u8();
  }
  h.lenlen = c.pos - h.idlen;
  return HDR_OK;
}

// Content length of an indefinite-length constructed item: its children are
// skipped by their own lengths (so zero octets inside them cannot end it
// early) up to the end-of-contents pair at this level. -1 when there is none.
int eoc_scan(kav_view v, int depth) {
  int pos = 0;
  for (;;) {
    uint32_t a, b;
    if (!v.get8(pos, a)) return -1;
    if (v.get8(pos + 1, b) && a == 0 && b == 0) return pos;
    ber_hdr h;
    kav_view rest = v.from(pos);
    if (read_hdr(rest, h) != HDR_OK) return -1;
    int hl = h.idlen + h.lenlen;
    if (h.indef) {
      if (depth >= kMaxDepth) return -1;
      int n = h.cons ? eoc_scan(rest.from(hl), depth + 1) : -1;
      if (!h.cons) {
        for (int i = hl; i + 1 < rest.len; i++)
          if (rest.u8(i) == 0 && rest.u8(i + 1) == 0) {
            n = i - hl;
            break;
          }
      }
      if (n < 0) return -1;
      pos += hl + n + 2;
    } else {
      kav_view body;
      if (!rest.exact(hl, h.clen, body)) return -1;
      pos += hl + int(h.clen);
    }
  }
}

// Content length of an indefinite-length primitive: up to the first zero pair.
int eoc_first_pair(kav_view v) {
  for (int i = 0; i + 1 < v.len; i++)
    if (v.u8(i) == 0 && v.u8(i + 1) == 0) return i;
  return -1;
}

void print_octets(asn1_dec &d, const asn1_item &it, kav_view c) {
  if (kav_prtok(4)) {
    for (int i = 0; i < c.len; i++) kavprt(4, "%02x ", c.u8(i));
    if (printable(c)) kavprt(4, "   [%.*s]", c.len, (const char *)c.base);
    kavprt(4, "\n");
  }
  if (d.sch) asn1_octets_extra(d, it, c);
}

void print_integer(asn1_dec &d, const asn1_item &it, kav_view c) {
  int64_t v = 0;
  bool small = c.len <= 8;
  if (small) {
    for (int i = 0; i < c.len; i++) v = int64_t((uint64_t(v) << 8) | c.u8(i));
    if (c.len > 0 && c.len < 8 && (c.u8(0) & 0x80)) v = int64_t(uint64_t(v) | (~uint64_t(0) << (8 * c.len)));
    kavprt(4, "%ld (0x%lx)", long(v), (unsigned long)v);
  } else if (kav_prtok(4)) {
    bool neg = (c.u8(0) & 0x80) != 0;
    if (neg) kavprt(4, "-");
    for (int i = c.len - 1; i >= 0; i--) {
      uint32_t o = c.u8(i);
      kavprt(4, i == c.len - 1 ? "%u" : ".%u", neg ? (~o & 0xFF) : o);
    }
  }
  const char *note = d.sch ? asn1_int_note(d, it, v, small) : nullptr;
  if (note) kavprt(4, "  -- %s", note);
  kavprt(4, "\n");
}

void print_bits(kav_view c) {
  if (c.len >= 2 && kav_prtok(4)) {
    uint32_t unused = c.u8(0);
    for (int i = 1; i < c.len; i++) {
      uint32_t o = c.u8(i);
      int stop = i == c.len - 1 ? 8 - int(unused > 8 ? 8 : unused) : 8;
      for (int b = 0; b < stop; b++) kavprt(4, "%d", int((o >> (7 - b)) & 1));
      if (i == c.len - 1 && unused)
        kavprt(4, " - %d spare bits", int(unused));
      else
        kavprt(4, " ");
    }
  }
  kavprt(4, "\n");
}

// Dotted text of an OID's content; false when it was too long to finish
// (the abort lines are then printed already).
bool oid_text(kav_view c, char *txt, int size, int *named_len) {
  uint32_t first = c.u8(0);
  int k = snprintf(txt, size_t(size), "%u.%u", first / 40, first % 40);
  *named_len = k;
  int i = 1;
  while (i < c.len) {
    uint32_t sub = 0;
    bool done = false;
    int start = i;
    while (i < c.len) {
      uint32_t o = c.u8(i++);
      sub = (sub << 7) | (o & 0x7F);
      if (!(o & 0x80)) {
        done = true;
        break;
      }
    }
    if (!done) {
      k += snprintf(txt + k, size_t(size - k), "...Truncated!");
      return true;
    }
    if (k > 1009) {
      kavprt(4, "%s.%u\n", txt, sub);
      kavprt(4, "\tAborting OID after %d bytes - too long\n", start);
      return false;
    }
    k += snprintf(txt + k, size_t(size - k), ".%u", sub);
    *named_len = k;
  }
  return true;
}

void print_oid(const asn1_dec &d, const asn1_item &it, kav_view c) {
  char txt[kOidText];
  int named = 0;
  if (!oid_text(c, txt, sizeof txt, &named)) return;
  kavprt(4, "%s\n", txt);
  txt[named] = 0;  // a truncated tail has no name
  if (kav_prtok(4)) print_sym_oid(d.label, it.depth, txt);
}

void print_text(kav_view c, bool check) {
  if (kav_envdmpfmt) {
    kav_dumpv(c);
    return;
  }
  kavprt(4, "%.*s\n", c.len, (const char *)c.base);
  if (check && !printable(c)) kav_dumpv(c, "ASC");
}

// A sub-item of an External, printed on lines of its own.
int external_part(asn1_dec &d, const asn1_item &it, kav_view rest) {
  ber_hdr h;
  if (read_hdr(rest, h) == HDR_OK && !h.indef) {
    kav_view body;
    if (!rest.exact(h.idlen + h.lenlen, h.clen, body)) kavprt(4, "%s: %*sTruncated!\n", d.label, 2 * it.depth, "");
  }
  asn1_item sub;
  sub.depth = it.depth;
  return parse_item(d, rest, sub);
}

void print_external(asn1_dec &d, const asn1_item &it, kav_view c) {
  int off = 0;
  uint32_t o;
  bool first = true;
  auto head = [&](const char *t) {
    if (first)
      kavprt(4, "%s", t);
    else
      kavprt(4, "%s: %*s%s", d.label, 2 * it.depth, "", t);
    first = false;
  };
  if (c.get8(off, o) && o == 6) {
    head("Direct-Reference:\n");
    off += external_part(d, it, c.from(off));
  }
  if (c.get8(off, o) && o == 2) {
    head("Indirect-Reference:\n");
    off += external_part(d, it, c.from(off));
  }
  if (c.get8(off, o) && o == 7) {
    head("Data-Value-Descriptor:\n");
    off += external_part(d, it, c.from(off));
  }
  if (c.get8(off, o)) {
    head("Encoding:");
    switch (o & 0x1F) {
      case 0: kavprt(4, " (Single-ASN1-Type - Any)"); break;
      case 1: kavprt(4, " (Octet-Aligned - Octet String)"); break;
      case 2: kavprt(4, " (Arbitrary - Bit String)"); break;
      default: kavprt(4, " (ERROR: Unrecognised lead octet, 0x%02x)", o); break;
    }
    kavprt(4, "\n");
    off += external_part(d, it, c.from(off));
  }
  if (first) kavprt(4, "\n");
  if (off < c.len) {
    kavprt(4, "%s: %*sUnexpected trailing octets (%d)\n", d.label, 2 * it.depth, "", c.len - off);
    kav_dumpv(c.from(off));
  }
}

void print_real(const asn1_dec &d, const asn1_item &it, kav_view c) {
  if (c.empty()) {
    kavprt(4, "0\n");
    return;
  }
  uint32_t o = c.u8(0);
  if ((o & 0xC0) == 0x40) {
    if (o == 0x40)
      kavprt(4, "Plus-Infinity\n");
    else if (o == 0x41)
      kavprt(4, "Minus-Infinity\n");
    else
      kavprt(4, "%s: %*sUnexpected SpecialRealValue: 0x%02x\n", d.label, 2 * it.depth, "", o);
    if (c.len > 1) {
      kavprt(4, "%s: %*sUnexpected trailing octets (%d)\n", d.label, 2 * it.depth, "", c.len - 1);
      kav_dumpv(c.from(1));
    }
  } else if ((o & 0xC0) == 0) {
    if (o >= 1 && o <= 3)
      kavprt(4, "ISO 6093 NR%u form\n", o);
    else
      kavprt(4, "%s: %*sUnexpected value in octet 1: 0x%02x\n", d.label, 2 * it.depth, "", o);
    kav_dumpv(c);
  } else {
    kav_dumpv(c);
  }
}

void unrecognised(const char *what, kav_view c) {
  kavprt(4, "Unrecognised %s tag\n", what);
  kav_dumpv(c);
}

void print_data(asn1_dec &d, kav_view c, const asn1_item &it) {
  switch (it.cls) {
    case ASN1_UNIV:
      asn1_print_universal(d, it, it.tag, c);
      return;
    case ASN1_APPL:
      if (d.sch)
        asn1_app_value(d, it, c);
      else
        unrecognised("Application", c);
      return;
    case ASN1_CTX: {
      const char *why = "Unrecognised";
      if (d.sch && it.state >= 0) {
        int pa = d.sch->tab[it.state].printas;
        if (pa > 0) {
          asn1_print_universal(d, it, pa, c);
          return;
        }
        if (pa == 0) {
          unrecognised("Universal", c);
          return;
        }
        why = "Missing";
        if (d.code == KAV_PORT_LDAP && it.state == 13 && it.tag == 7) {  // "present" carries just the attribute name
          print_octets(d, it, c);
          return;
        }
      }
      kavprt(4, "%s Context-Specific tag\n%s: %*s", why, d.label, 2 * it.depth, "");
      print_octets(d, it, c);
      return;
    }
    default:
      unrecognised("Private", c);
  }
}

// Item line annotation by the schema: the field name and value names.
void annotate(asn1_dec &d, asn1_item &it, kav_view content) {
  if (!d.sch) return;
  const char *note = nullptr;
  if (it.state == ST_NONE) {
    kavprt(4, "  -- ERROR: Unexpected fields at end of PDU");
    it.state = ST_NOSCHEMA;
  }
  if (d.sch->adjust) d.sch->adjust(d, it, content, &note);
  const char *prefix = "  -- ";
  if (it.state < 0 || it.state >= d.sch->ntab) {
    if (note) kavprt(4, "%s%s", prefix, note);
    return;
  }
  const asn1_state &s = d.sch->tab[it.state];
  char warn[96];
  const char *vname = nullptr;
  if (s.vnames) {
    if (it.tag < s.nvnames && s.vnames[it.tag])
      vname = s.vnames[it.tag];
    else {
      snprintf(warn, sizeof warn, "WARNING: unrecognised %s value", s.mapname ? s.mapname : (s.name ? s.name : "tag"));
      vname = warn;
    }
  }
  if ((s.flags & ASN1_SUMMARY) && kav_vblvl < 4) {
    if (vname) kavprt(-1, "%s", vname);
    d.stop = true;
    return;
  }
  if (s.name) {
    kavprt(4, "%s%s", "  -- ", s.name);
    prefix = "=";
  }
  if (vname) {
    kavprt(4, "%s%s", prefix, vname);
    if (note) kavprt(4, "%s%s", "  ", note);
  } else if (note) {
    kavprt(4, "%s%s", prefix, note);
  }
}

int first_child_state(asn1_dec &d, const asn1_item &it) {
  if (!d.sch || it.state < 0 || it.state >= d.sch->ntab) return ST_NOSCHEMA;
  int c = d.sch->tab[it.state].child;
  if (c == ST_NONE) {
    kavprt(-1, "  -- ETRAP! unexpected nested sub-object (%d)\n", it.state);
    return ST_NOSCHEMA;
  }
  if (c == ST_HOOK) {
    if (d.sch->child) return d.sch->child(d, it);
    kavprt(-1, "  -- ETRAP! Missing routuine for UNDEF subloc (%d)\n", it.state);
    return ST_NOSCHEMA;
  }
  return c;
}

int next_state(asn1_dec &d, int cur, const asn1_item &ch) {
  if (!d.sch || cur < 0 || cur >= d.sch->ntab) return ST_NOSCHEMA;
  int n = d.sch->tab[cur].next;
  if (n == ST_HOOK) {
    asn1_item done = ch;
    done.state = cur;
    if (d.sch->next) return d.sch->next(d, done);
    kavprt(-1, "  -- ETRAP! Missing routuine for UNDEF nxtloc (%d)\n", cur);
    return ST_NOSCHEMA;
  }
  return n;
}

int parse_item(asn1_dec &d, kav_view v, asn1_item it) {
  const char *label = d.label;
  ber_hdr h;
  switch (read_hdr(v, h)) {
    case HDR_SHORT:
      kavprt(4, "\tPDU truncated in ASN.1 Tag/Length fields\n");
      return v.len;
    case HDR_TOOLONG:
      kavprt(4, "\tASN.1 Length field too large to handle (%d:%d)\n", h.idlen, h.lenlen);
      return v.len;
    case HDR_LENSHORT:
      kavprt(4, "\tPDU truncated in ASN.1 Length field (%d:?)\n", h.idlen);
      return v.len;
    default:
      break;
  }
  it.cls = h.cls;
  it.tag = h.tag;
  it.cons = h.cons;
  int hlen = h.idlen + h.lenlen;
  int avail = v.len - hlen;
  bool unterminated = false;
  int clen;
  if (h.indef) {
    clen = h.cons ? eoc_scan(v.from(hlen), it.depth) : eoc_first_pair(v.from(hlen));
    if (clen < 0) {
      unterminated = true;
      clen = avail;
    }
  } else if (h.clen > uint32_t(avail)) {
    kavprt(4, "\t*** WARNING: Following PDU truncated in Data field (%u -> %d) ***\n", h.clen, v.len);
    kavprt(4, "\tWill attempt to continue ...\n");
    clen = avail;
  } else {
    clen = int(h.clen);
  }
  kav_view content = v.sub(hlen, clen);

  const char *tname = nullptr;
  if (it.cls == ASN1_UNIV)
    tname = univ_name(it.tag);
  else if (it.cls == ASN1_APPL && d.layer == KAV_LAYER_APP && asn1_is_snmp(d.code))
    tname = snmp_app_name(it.tag);
  bool eoc = it.cls == ASN1_UNIV && it.tag == 0;
  kavprt(4, "%s: %*s%s%s (%s), Tag=%d%s%s%s, Len=%d:%d:%d%s, Seq=%d.%d%s", label, 2 * it.depth, "", "{",
         kClassNames[it.cls], it.cons ? "C" : "P", it.tag, tname ? " (" : "", tname ? tname : "", tname ? ")" : "",
         h.idlen, h.lenlen, clen, h.indef ? " (indefinite)" : "", it.depth, it.index,
         (!eoc && clen == 0) ? "}" : "");
  if (eoc) {
    // Whatever follows the identifier is decoded as the items after it.
    kavprt(4, "%s\n", clen ? "}" : "");
    return hlen;
  }
  annotate(d, it, content);
  kavprt(4, "\n");

  if (unterminated) {
    kavprt(4, "\n\tPDU truncated in Indefinite Data field\n");
    return v.len;
  }
  int size = hlen + clen + (h.indef ? 2 : 0);
  if (d.stop || clen == 0) return size;
  if (it.depth >= kMaxDepth) {
    kavprt(4, "%s: %*sNesting deeper than %d levels - dumping the rest\n", label, 2 * (it.depth + 1), "",
           kMaxDepth);
    kav_dumpv(content);
    return size;
  }

  bool value = (!it.cons && !it.descend) || (it.cls == ASN1_UNIV && it.tag == 8);
  if (value) {
    asn1_item vi = it;
    vi.depth = it.depth + 1;
    kavprt(4, "%s: %*s", label, 2 * vi.depth, "");
    print_data(d, content, vi);
  } else {
    int cur = first_child_state(d, it);
    int off = 0, idx = 0;
    while (off < content.len && !d.stop) {
      asn1_item ch;
      ch.depth = it.depth + 1;
      ch.index = idx++;
      ch.state = cur;
      ch.parent_cur = &cur;
      int n = parse_item(d, content.from(off), ch);
      off += n > 0 ? n : content.len;
      cur = next_state(d, cur, ch);
    }
  }
  kavprt(4, "%s: %*s%s\n", label, 2 * it.depth, "", "}");
  return size;
}

}  // namespace

void asn1_print_universal(asn1_dec &d, const asn1_item &it, int tag, kav_view c) {
  switch (tag) {
    case 1: {
      uint32_t o = c.u8(0);
      kavprt(4, "%s (0x%02x)", o ? "True" : "False", o);
      if (c.len > 1) kavprt(4, " - %d trailing octet%s", c.len - 1, c.len - 1 == 1 ? "" : "s");
      kavprt(4, "\n");
      return;
    }
    case 2:
    case 10:
      print_integer(d, it, c);
      return;
    case 3:
      print_bits(c);
      return;
    case 4:
      print_octets(d, it, c);
      return;
    case 5:
      // A Null has no content; show whatever a faulty one carries.
      kavprt(4, "\n");
      kav_dumpv(c);
      return;
    case 6:
      print_oid(d, it, c);
      return;
    case 7: case 18: case 19: case 22: case 23: case 24: case 26:
      print_text(c, false);
      return;
    case 20: case 21: case 25: case 27:
      print_text(c, true);
      return;
    case 8:
      print_external(d, it, c);
      return;
    case 9:
      print_real(d, it, c);
      return;
    default:
      unrecognised("Universal", c);
  }
}

void print_sym_oid(const char *label, int depth, const char *dotted) {
  char buf[kOidText];
  kav_strlcpy(buf, sizeof buf, dotted);
  int n = int(strlen(buf));
  for (;;) {
    const char *name = kav_oid2nam(buf, n);
    if (name) {
      kavprt(4, "%s: %*s%s%s\n", label, 2 * depth, "", name, dotted + n);
      return;
    }
    while (n > 0 && buf[n - 1] != '.') n--;
    if (n == 0) return;
    buf[--n] = 0;
  }
}

int kav_panasn1(kav_view data, int layer, int code, const char *label) {
  asn1_dec d;
  d.layer = layer;
  d.code = code;
  d.label = label ? label : "ASN.1";
  d.sch = asn1_schema_for(layer, code);
  int off = 0, idx = 0;
  while (off < data.len) {
    asn1_item it;
    it.index = idx++;
    it.state = d.sch ? 0 : ST_NOSCHEMA;
    int n = parse_item(d, data.from(off), it);
    off += n > 0 ? n : data.len - off;
    if (kav_vblvl != 4) break;
  }
  return off;
}
