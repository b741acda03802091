// BOOTP/DHCP messages with their options, and RIP versions 1 and 2.
#include <cstdio>
#include <cstring>

#include "panapp.h"

namespace {

enum optkind {
  K_PAD, K_HEX0X, K_UTC, K_ADDRS, K_TEXT, K_BLOCKS, K_ADDR1, K_YESNO, K_POLICY, K_NUM, K_PLATEAU, K_DOTTED,
  K_ROUTES, K_VENDOR, K_NODE, K_OVERLOAD, K_MSGTYPE, K_PRL, K_HEX, K_CLIENTID, K_UNREC, K_END
};

struct optdesc {
  const char *name;
  int explen;  // -1: any length
  optkind kind;
};

// Options 0 to 61; 62-254 are unrecognised, 255 ends the list.
const optdesc k_opts[62] = {
    {"PAD", -1, K_PAD},
    {"Subnet Mask", 4, K_HEX0X},
    {"UTC offset", 4, K_UTC},
    {"Routers", -1, K_ADDRS},
    {"Time Servers", -1, K_ADDRS},
    {"IEN116 Name Servers", -1, K_ADDRS},
    {"DNS Servers", -1, K_ADDRS},
    {"MIT-LCS Log Servers", -1, K_ADDRS},
    {"RFC-865 Quote Servers", -1, K_ADDRS},
    {"RFC-1179 Print Servers", -1, K_ADDRS},
    {"Impress Servers", -1, K_ADDRS},
    {"RFC-887 Resource Location Servers", -1, K_ADDRS},
    {"Client Hostname", -1, K_TEXT},
    {"Boot File Size", 2, K_BLOCKS},
    {"Dump File", -1, K_TEXT},
    {"Domain Name", -1, K_TEXT},
    {"Swap Server", -1, K_ADDR1},
    {"Root Path", -1, K_TEXT},
    {"Extensions Path", -1, K_TEXT},
    {"IP Forwarding Enabled", 1, K_YESNO},
    {"Non-Local Source-Routes Enabled", 1, K_YESNO},
    {"Policy Filters", -1, K_POLICY},
    {"Max datagram", 2, K_NUM},
    {"Default IP TTL", 1, K_NUM},
    {"Path-MTU Aging Timeout", 4, K_NUM},
    {"Path-MTU Plateau Table", -1, K_PLATEAU},
    {"Interface MTU", 2, K_NUM},
    {"All Subnets Have Same MTU", 1, K_YESNO},
    {"Broadcast Address", 4, K_DOTTED},
    {"Perform Subnet Mask Discovery", 1, K_YESNO},
    {"Subnet Mask Supplier", 1, K_YESNO},
    {"Perform Router Discovery", 1, K_YESNO},
    {"RDISC Address", 4, K_ADDR1},
    {"Static IP Routes", -1, K_ROUTES},
    {"Negotiate Trailer Encapsulation", 1, K_TEXT},
    {"ARP Cache Timeout", 4, K_NUM},
    {"Use 802.3 Encapsulation", 1, K_YESNO},
    {"Default TCP TTL", 1, K_NUM},
    {"TCP Keepalive Interval", 4, K_NUM},
    {"Send Garbage With TCP Keepalive", 1, K_YESNO},
    {"NIS Domain", -1, K_TEXT},
    {"NIS Servers", -1, K_ADDRS},
    {"NTP Servers", -1, K_ADDRS},
    {"Vendor-Specific Info", -1, K_VENDOR},
    {"NetBIOS Name Servers", -1, K_ADDRS},
    {"NetBIOS Datagram Distribution Servers", -1, K_ADDRS},
    {"NetBIOS/TCPIP Node Type", 1, K_NODE},
    {"NetBIOS/TCPIP Scope ID", -1, K_NUM},
    {"X-Windows Font Severs", -1, K_ADDRS},
    {"X-Windows Display Managers", -1, K_ADDRS},
    {"Requested IP Address", 4, K_ADDR1},
    {"IP Address Lease Time", 4, K_NUM},
    {"Option Overload", 1, K_OVERLOAD},
    {"DHCP Message Type", 1, K_MSGTYPE},
    {"Server Identifier", 4, K_ADDR1},
    {"Parameter Request List", -1, K_PRL},
    {"Error Text", -1, K_TEXT},
    {"Max DHCP Message Length", 2, K_NUM},
    {"IP Renewal Time", 4, K_NUM},
    {"IP Rebind Time", 4, K_NUM},
    {"Class ID", -1, K_HEX},
    {"Client ID", -1, K_CLIENTID},
};

optkind opt_kind(unsigned code) { return code < 62 ? k_opts[code].kind : code == 255 ? K_END : K_UNREC; }

const char *dhcp_msgtype2nam(unsigned t) {
  static const char *const names[] = {nullptr,    "DHCPDISCOVER", "DHCPOFFER",   "DHCPREQUEST", "DHCPDECLINE",
                                      "DHCPACK",  "DHCPNAK",      "DHCPRELEASE", "DHCPINFORM"};
  static char buf[16];
  if (t >= 1 && t <= 8) return names[t];
  snprintf(buf, sizeof buf, "DHCP<%d>", int(t));
  return buf;
}

const char *iptxt(const kav_view &v, int off, char *buf, size_t size) {
  unsigned char a[4];
  if (!v.copy(off, 4, a)) return "(truncated)";
  kav_strlcpy(buf, size, kav_ipaddr2nam(a));
  return buf;
}

uint32_t benum(const kav_view &v) {
  uint32_t x = 0;
  for (int i = 0; i < v.size(); i++) x = (x << 8) | v.u8(i);
  return x;
}

// Octets as one hex number ("FFFFFF00"), cut to fit buf.
const char *hexnum(const kav_view &v, char *buf, size_t size) {
  static const char dig[] = "0123456789ABCDEF";
  size_t k = 0;
  for (int i = 0; i < v.size() && k + 2 < size; i++) {
    uint32_t b = v.u8(i);
    buf[k++] = dig[b >> 4];
    buf[k++] = dig[b & 15];
  }
  buf[k] = 0;
  return buf;
}

const char *sv(const kav_view &s) { return s.base ? (const char *)s.base : ""; }

void print_option(const char *L, unsigned code, const kav_view &val, const char *msgtype, int *ovl_off,
                  int *ovl_size) {
  char hex[800], host[200];
  int l = val.size();
  switch (opt_kind(code)) {
    case K_PAD:
    case K_END: kavprt(4, "\n"); break;
    case K_HEX0X: kavprt(4, "0x%s\n", hexnum(val, hex, sizeof hex)); break;
    case K_HEX: kavprt(4, "%s\n", kav_hextxt(val, hex, sizeof hex)); break;
    case K_UTC: {
      int s = int(benum(val));
      kavprt(4, "%d (%s)\n", s, secs2txt(s));
      break;
    }
    case K_ADDRS:
      kavprt(4, "%d listed\n", l / 4);
      for (int i = 0; i < l / 4; i++) kavprt(4, "\t%d: %s\n", i + 1, iptxt(val, 4 * i, host, sizeof host));
      break;
    case K_TEXT: kavprt(4, "[%.*s]\n", l, sv(val)); break;
    case K_BLOCKS: kavprt(4, "%d 512-octet blocks\n", int(benum(val))); break;
    case K_ADDR1: kavprt(4, "%s\n", iptxt(val, 0, host, sizeof host)); break;
    case K_YESNO: kavprt(4, "%s\n", val.u8(0) ? "Yes" : "No"); break;
    case K_POLICY:
      kavprt(4, "%d listed\n", l / 8);
      for (int i = 0; i < l / 8; i++) {
        iptxt(val, 8 * i, host, sizeof host);
        kavprt(4, "\t%d: Dest = %s, Mask = 0x%s\n", i + 1, host, hexnum(val.sub(8 * i + 4, 4), hex, sizeof hex));
      }
      break;
    case K_NUM: kavprt(4, "%d\n", int(benum(val))); break;
    case K_PLATEAU:
      kavprt(4, "%d listed:", l / 2);
      for (int i = 0; i < l / 2; i++) kavprt(4, i ? ", %d" : " %d", int(val.u16(2 * i)));
      kavprt(4, "\n");
      break;
    case K_DOTTED: {
      unsigned char a[4];
      if (val.copy(0, 4, a))
        kavprt(4, "%u.%u.%u.%u\n", a[0], a[1], a[2], a[3]);
      else
        kavprt(4, "(truncated)\n");
      break;
    }
    case K_ROUTES:
      kavprt(4, "%d listed\n", l / 8);
      for (int i = 0; i < l / 8; i++) {
        kavprt(4, "\t%d: Dest = %s,", i + 1, iptxt(val, 8 * i, host, sizeof host));
        kavprt(4, " Router = %s\n", iptxt(val, 8 * i + 4, host, sizeof host));
      }
      break;
    case K_VENDOR: {
      kavprt(4, "Vendor options follow:\n");
      kav_cursor c(val);
      while (c.remaining() > 0) {
        uint32_t sc = c.u8();
        if (sc == 0) {
          kavprt(4, "+%s:\t\tCode = PAD\n", L);
          continue;
        }
        if (sc == 255) {
          kavprt(4, "+%s:\t\tCode = END\n", L);
          break;
        }
        uint32_t sl = c.u8();
        kav_view sd = c.take(sl);
        if (!c.ok()) {
          kavprt(4, "+%s:\t\tCode=%d: sub-option truncated\n", L, int(sc));
          break;
        }
        kavprt(4, "+%s:\t\tCode=%d, Len=%d, Dump=%s\n", L, int(sc), int(sl), kav_hextxt(sd, hex, sizeof hex));
      }
      break;
    }
    case K_NODE: {
      unsigned t = val.u8(0);
      const char *n = t == 1 ? "B" : t == 2 ? "P" : t == 4 ? "M" : t == 8 ? "H" : "ILLEGAL";
      kavprt(4, "%s-node <%u>\n", n, t);
      break;
    }
    case K_OVERLOAD: {
      unsigned o = val.u8(0);
      if (o == 1) {
        kavprt(4, "'Boot Filename' field only\n");
        *ovl_off = 108, *ovl_size = 128;
      } else if (o == 2) {
        kavprt(4, "'Server Hostname' field only\n");
        *ovl_off = 44, *ovl_size = 64;
      } else if (o == 3) {
        kavprt(4, "'Boot Filename' and 'Server Hostname' fields\n");
        *ovl_off = 44, *ovl_size = 192;
      } else
        kavprt(4, "Unknown overload code (%d)\n", int(o));
      break;
    }
    case K_MSGTYPE:
      // Without a type found in the option area (only in an overloaded
      // field), this option's own value names it.
      kavprt(4, "%s\n", msgtype ? msgtype : dhcp_msgtype2nam(val.u8(0)));
      break;
    case K_PRL: {
      kavprt(4, "%d listed\n", l);
      for (int i = 0; i < l; i++) {
        int e;
        kavprt(4, "\t%d: %s\n", i + 1, bopt2txt(val.u8(i), &e));
      }
      break;
    }
    case K_CLIENTID:
      kavprt(4, "Type = %d, Value = %s\n", int(val.u8(0)), kav_hextxt(val.from(1), hex, sizeof hex));
      break;
    case K_UNREC:
      kavprt(4, "Unrecognised %d-octet option:\n", l);
      if (l < 5) kavprt(4, "\tDisplaying as a number: %u\n", benum(val));
      kavprt(4, "\tDisplaying as a string: [%.*s]\n", l, sv(val));
      kavprt(4, "\tOctet dump: [%s]\n", kav_hextxt(val, hex, sizeof hex));
      break;
  }
}

}  // namespace

const char *bopt2txt(unsigned code, int *expected_len) {
  static char buf[129];
  *expected_len = code < 62 ? k_opts[code].explen : -1;
  if (code < 62)
    snprintf(buf, sizeof buf, code == 33 ? "%s<%u>" : "%s <%u>", k_opts[code].name, code);
  else if (code == 255)
    snprintf(buf, sizeof buf, "END <%u>", code);
  else
    snprintf(buf, sizeof buf, "<%u>", code);
  return buf;
}

int parse_dhcp_opts(kav_view opts, const char *label, const char *msgtype, int *overload_offset) {
  int ovl_off = 0, ovl_size = 0;
  kav_cursor c(opts);
  while (c.remaining() > 0) {
    uint32_t code = c.u8();
    int explen;
    kavprt(4, "+%s: %s: ", label, bopt2txt(code, &explen));
    if (code == 0) {
      kavprt(4, "\n");
      continue;
    }
    if (code == 255) {
      kavprt(4, "\n");
      break;
    }
    uint32_t l = c.u8();
    if (!c.ok()) {
      kavprt(4, "ERROR: option truncated before its length\n");
      break;
    }
    int left = c.remaining();
    kav_view val = c.take(l);
    if (!c.ok()) {
      kavprt(4, "ERROR: length=%d runs past the end of the options (%d octet%s left)\n", int(l), left,
             left == 1 ? "" : "s");
      break;
    }
    if (explen >= 0 && int(l) != explen) kavprt(4, "ERROR: length=%d\n", int(l));
    print_option(label, code, val, msgtype, &ovl_off, &ovl_size);
  }
  if (overload_offset) *overload_offset = ovl_off;
  return ovl_size;
}

void parse_dhcp_msg(kav_view m) {
  int len = m.size();
  const char *msgtype = nullptr;
  char mtbuf[16];
  if (len > 240) {
    // The last message-type option of the option area names the message.
    kav_cursor c(m, 240);
    while (c.remaining() > 0) {
      uint32_t code = c.u8();
      if (code == 0) continue;
      if (code == 255) break;
      kav_view v = c.take(c.u8());
      if (code == 53 && v.size() >= 1) {
        kav_strlcpy(mtbuf, sizeof mtbuf, dhcp_msgtype2nam(v.u8(0)));
        msgtype = mtbuf;
      }
    }
  }
  const char *L = msgtype ? "DHCP" : "BOOTP";
  uint32_t op = m.u8(0);
  char optxt[24];
  if (op == 1 || op == 2)
    kav_strlcpy(optxt, sizeof optxt, op == 1 ? "Request" : "Response");
  else
    snprintf(optxt, sizeof optxt, "ILLEGAL <%d>", int(op));
  if (kav_vblvl != 4) {
    if (msgtype)
      kavprt(1, "%s", msgtype);
    else
      kavprt(1, "%s %s", L, optxt);
    return;
  }
  if (len < 1) return;
  if (msgtype)
    kavprt(4, "+%s: Op = %s %s\n", L, msgtype, optxt);
  else
    kavprt(4, "+%s: Op = %s\n", L, optxt);
  char host[200], hex[800];
  if (len < 240) kavprt(4, "NB: %s message truncated (%d of 240 fixed octets)\n", L, len);
  if (m.has(0, 12)) {
    uint32_t ht = m.u8(1), hl = m.u8(2), xid = m.u32(4), fl = m.u16(10);
    kavprt(4, "+%s: Hardware Type = %u (%s)\n", L, ht, ht == 1 ? "Ethernet" : "not Ethernet");
    kavprt(4, "+%s: Hardware Address Length = %u\n", L, hl);
    kavprt(4, "+%s: Hops = %u\n", L, m.u8(3));
    kavprt(4, "+%s: XID = %u (0x%x)\n", L, xid, xid);
    kavprt(4, "+%s: Boot Secs = %u\n", L, m.u16(8));
    kavprt(4, "+%s: Unused/Flags = %u (0x%04x)\n", L, fl, fl);
  }
  if (m.has(0, 28)) {
    kavprt(4, "+%s: %s IP Address (ciaddr) = %s\n", L, op == 1 ? "\"My\"" : "Client", iptxt(m, 12, host, sizeof host));
    kavprt(4, "+%s: %s IP Address (yiaddr) = %s\n", L, op == 2 ? "\"Your\"" : "Client", iptxt(m, 16, host, sizeof host));
    kavprt(4, "+%s: Next-step Server IP Address (siaddr) = %s\n", L, iptxt(m, 20, host, sizeof host));
    kavprt(4, "+%s: Relay IP Address (giaddr) = %s\n", L, iptxt(m, 24, host, sizeof host));
  }
  if (m.has(0, 236)) {
    // The address stays inside its 16-octet field whatever the length says.
    int hl = int(m.u8(2));
    kavprt(4, "+%s: Client Hardware Address = <%s>\n", L, kav_hextxt(m.sub(28, hl < 16 ? hl : 16), hex, sizeof hex));
    kav_view sn = m.sub(44, 64), bf = m.sub(108, 128);
    int zs = sn.find(0, 0), zb = bf.find(0, 0);
    kavprt(4, "+%s: Server Hostname = %.*s\n", L, zs < 0 ? 64 : zs, sv(sn));
    kavprt(4, "+%s: Boot Filename = %.*s\n", L, zb < 0 ? 128 : zb, sv(bf));
  }
  if (m.has(0, 240)) {
    uint32_t ck = m.u32(236);
    kavprt(4, "+%s: %standard magic cookie: %s\n", L, ck == 0x63825363u ? "S" : "Non-s",
           kav_hextxt(m.sub(236, 4), hex, sizeof hex));
    kavprt(4, "\t%d bytes of options follow:\n", len - 240);
    int ovl_off = 0;
    int ovl_size = parse_dhcp_opts(m.from(240), L, msgtype, &ovl_off);
    if (ovl_size > 0) {
      kavprt(4, "\tPrinting Overload Options\n");
      parse_dhcp_opts(m.sub(ovl_off, ovl_size), L, msgtype, nullptr);
    }
  }
}

void parse_rip_msg(kav_view m) {
  const char *T = "RIP";
  int len = m.size();
  uint32_t cmd = m.u8(0), ver = m.u8(1), dom = m.u16(2);
  int n = len > 4 ? (len - 4) / 20 : 0;
  static const char *const cmds[] = {nullptr, "Request", "Reply", "Trace-mode on", "Trace-mode off", "Sun: poll",
                                     "Sun: poll-entry"};
  char cbuf[16];
  const char *ctxt = cmds[0];
  if (cmd >= 1 && cmd <= 6)
    ctxt = cmds[cmd];
  else {
    snprintf(cbuf, sizeof cbuf, "<%u>", cmd);
    ctxt = cbuf;
  }
  if (kav_vblvl != 4) {
    if (len < 4)
      kavprt(1, "RIP truncated");
    else
      kavprt(1, "V%d %s, %d route%s", int(ver), ctxt, n, n == 1 ? "" : "s");
    return;
  }
  if (len < 4) {
    kavprt(4, "NB: %s header truncated (%d octet%s)\n", T, len, len == 1 ? "" : "s");
    return;
  }
  kavprt(4, "+%s: Command = %s <%d>\n", T, ctxt, int(cmd));
  kavprt(4, "+%s: Version = %d%s\n", T, int(ver), ver == 1 || ver == 2 ? "" : " *ERROR*");
  kavprt(4, ver == 2 ? "+%s: Routing Domain = %d (0x%04X)\n" : "+%s: Reserved-1 = %d (0x%04X)\n", T, int(dom), dom);
  kavprt(4, "+%s: ... %d route%s follow%s ...\n", T, n, n == 1 ? "" : "s", n == 1 ? "s" : "");
  char host[200];
  for (int i = 0; i < n; i++) {
    kav_view e = m.sub(4 + 20 * i, 20);
    uint32_t fam = e.u16(0), tag = e.u16(2);
    kavprt(4, "+%s:     -----\n", T);
    kavprt(4, "+%s: Address family = %d%s\n", T, int(fam), fam == 2 ? " (IP)" : "");
    if (ver == 2) {
      kavprt(4, "+%s: Route Tag (ASN) = %d (0x%04X)\n", T, int(tag), tag);
      if (i == 0 && fam == 0xFFFF && tag == 2) {
        kav_view pw = e.sub(4, 16);
        kavprt(4, "+%s: Password = (%.*s)\n", T, pw.size(), sv(pw));
        continue;
      }
      kavprt(4, "+%s: Advertised IP Address = %s\n", T, iptxt(e, 4, host, sizeof host));
      uint32_t mask = e.u32(8);
      kavprt(4, "+%s: Subnet Mask = %lu (0x%08lX)\n", T, (unsigned long)mask, (unsigned long)mask);
      kavprt(4, "+%s: Next Hop IP Address = %s\n", T, iptxt(e, 12, host, sizeof host));
    } else {
      kavprt(4, "+%s: Reserved-2 = %d (0x%04X)\n", T, int(tag), tag);
      kavprt(4, "+%s: Advertised IP Address = %s\n", T, iptxt(e, 4, host, sizeof host));
      kavprt(4, "+%s: Reserved-3 = %d (0x%04X)\n", T, int(e.u32(8)), e.u32(8));
      kavprt(4, "+%s: Reserved-4 = %d (0x%04X)\n", T, int(e.u32(12)), e.u32(12));
    }
    kavprt(4, "+%s: Metric = %ld\n", T, long(e.u32(16)));
  }
}
