// RADIUS packets: code, header, authenticator and attributes.
#include <cstdio>

#include "panapp.h"

namespace {

enum attrkind { A_OCTETS, A_INT, A_ADDR, A_TEXT };

struct attrdesc {
  unsigned type;
  const char *name;
  attrkind kind;
};

const attrdesc k_attrs[] = {
    {1, "User-Name", A_TEXT}, {2, "User-Password", A_OCTETS}, {3, "CHAP-Password", A_OCTETS},
    {4, "NAS-IP-Address", A_ADDR}, {5, "NAS-Port", A_INT}, {6, "Service-Type", A_INT},
    {7, "Framed-Protocol", A_INT}, {8, "Framed-IP-Address", A_ADDR}, {9, "Framed-IP-Netmask", A_ADDR},
    {10, "Framed-Routing", A_INT}, {11, "Filter-Id", A_TEXT}, {12, "Framed-MTU", A_INT},
    {13, "Framed-Compression", A_INT}, {14, "Login-IP-Host", A_ADDR}, {15, "Login-Service", A_INT},
    {16, "Login-TCP-Port", A_INT}, {18, "Reply-Message", A_TEXT}, {19, "Callback-Number", A_TEXT},
    {20, "Callback-Id", A_OCTETS}, {22, "Framed-Route", A_TEXT}, {23, "Framed-IPX-Network", A_INT},
    {24, "State", A_OCTETS}, {25, "Class", A_OCTETS}, {26, "Vendor-Specific", A_OCTETS},
    {27, "Session-Timeout", A_INT}, {28, "Idle-Timeout", A_INT}, {29, "Termination-Action", A_INT},
    {30, "Called-Station-Id", A_TEXT}, {31, "Calling-Station-Id", A_TEXT}, {32, "NAS-Identifier", A_TEXT},
    {33, "Proxy-State", A_OCTETS}, {34, "Login-LAT-Service", A_TEXT}, {35, "Login-LAT-Node", A_TEXT},
    {36, "Login-LAT-Group", A_OCTETS}, {37, "Framed-AppleTalk-Link", A_INT},
    {38, "Framed-AppleTalk-Network", A_INT}, {39, "Framed-AppleTalk-Zone", A_OCTETS},
    {40, "Acct-Status-Type", A_INT}, {41, "Acct-Delay-Time", A_INT}, {42, "Acct-Input-Octets", A_INT},
    {43, "Acct-Output-Octets", A_INT}, {44, "Acct-Session-Id", A_TEXT}, {45, "Acct-Authentic", A_INT},
    {46, "Acct-Session-Time", A_INT}, {47, "Acct-Input-Packets", A_INT}, {48, "Acct-Output-Packets", A_INT},
    {49, "Acct-Terminate-Cause", A_INT}, {50, "Acct-Multi-Session-Id", A_OCTETS}, {51, "Acct-Link-Count", A_INT},
    {52, "Acct-Input-Gigawords", A_INT}, {53, "Acct-Output-Gigawords", A_INT}, {55, "Event-Timestamp", A_INT},
    {60, "CHAP-Challenge", A_OCTETS}, {61, "NAS-Port-Type", A_INT}, {62, "Port-Limit", A_INT},
    {63, "Login-LAT-Port", A_OCTETS}, {64, "Tunnel-Type", A_OCTETS}, {65, "Tunnel-Medium-Type", A_OCTETS},
    {66, "Tunnel-Client-Endpoint", A_OCTETS}, {67, "Tunnel-Server-Endpoint", A_OCTETS},
    {68, "Acct-Tunnel-Connection", A_OCTETS}, {69, "Tunnel-Password", A_OCTETS}, {70, "ARAP-Password", A_OCTETS},
    {71, "ARAP-Features", A_OCTETS}, {72, "ARAP-Zone-Access", A_INT}, {73, "ARAP-Security", A_INT},
    {74, "ARAP-Security-Data", A_OCTETS}, {75, "Password-Retry", A_INT}, {76, "Prompt", A_INT},
    {77, "Connect-Info", A_TEXT}, {78, "Configuration-Token", A_OCTETS}, {79, "EAP-Message", A_OCTETS},
    {80, "Message-Authenticator", A_OCTETS}, {81, "Tunnel-Private-Group-ID", A_OCTETS},
    {82, "Tunnel-Assignment-ID", A_OCTETS}, {83, "Tunnel-Preference", A_OCTETS},
    {84, "ARAP-Challenge-Response", A_OCTETS}, {85, "Acct-Interim-Interval", A_INT},
    {86, "Acct-Tunnel-Packets-Lost", A_OCTETS}, {87, "NAS-Port-Id", A_TEXT}, {88, "Framed-Pool", A_OCTETS},
    {90, "Tunnel-Client-Auth-ID", A_OCTETS}, {91, "Tunnel-Server-Auth-ID", A_OCTETS},
    {94, "Originating-Line-Info", A_OCTETS}, {95, "NAS-IPv6-Address", A_OCTETS},
    {96, "Framed-Interface-Id", A_OCTETS}, {97, "Framed-IPv6-Prefix", A_OCTETS},
    {98, "Login-IPv6-Host", A_OCTETS}, {99, "Framed-IPv6-Route", A_OCTETS}, {100, "Framed-IPv6-Pool", A_OCTETS},
    {101, "Error-Cause", A_OCTETS}, {102, "EAP-Key-Name", A_OCTETS},
};

const attrdesc *attr_find(unsigned t) {
  for (const attrdesc &a : k_attrs)
    if (a.type == t) return &a;
  return nullptr;
}

void truncated_dump(const char *what, const kav_view &v) {
  kavprt(4, "%s - dumping %d byte%s\n", what, v.size(), v.size() == 1 ? "" : "s");
  kav_dumpv(v);
}

}  // namespace

const char *radius_code2nam(unsigned code) {
  static char buf[21];
  code &= 0xFF;
  switch (code) {
    case 1: return "Access-Request";
    case 2: return "Access-Accept";
    case 3: return "Access-Reject";
    case 4: return "Accounting-Request";
    case 5: return "Accounting-Response";
    case 6: return "Accounting-Status";
    case 7: return "Password-Request";
    case 8: return "Password-Ack";
    case 9: return "Password-Reject";
    case 10: return "Accounting-Message";
    case 11: return "Access-Challenge";
    case 12: return "Status-Server";
    case 13: return "Status-Client";
    case 21: return "Resource-Free-Request";
    case 22: return "Resource-Free-Response";
    case 23: return "Resource-Query-Request";
    case 24: return "Resource-Query-Response";
    case 25: return "Alternate-Resource-Reclaim-Request";
    case 26: return "NAS-Reboot-Request";
    case 27: return "NAS-Reboot-Response";
    case 29: return "Next-Passcode";
    case 30: return "New-Pin";
    case 31: return "Terminate-Session";
    case 32: return "Password-Expired";
    case 33: return "Event-Request";
    case 34: return "Event-Response";
    case 40: return "Disconnect-Request";
    case 41: return "Disconnect-ACK";
    case 42: return "Disconnect-NAK";
    case 43: return "CoA-Request";
    case 44: return "CoA-ACK";
    case 45: return "CoA-NAK";
    case 50: return "IP-Address-Allocate";
    case 51: return "IP-Address-Release";
    default: snprintf(buf, sizeof buf, "<%u>", code); return buf;
  }
}

void parse_radius_msg(kav_view p) {
  const char *T = "RADIUS";
  int len = p.size();
  if (kav_vblvl != 4) {
    if (len >= 1) kavprt(1, "Radius=%s", radius_code2nam(p.u8(0)));
    return;
  }
  if (len < 4) {
    kavprt(4, "\tTruncated packet - dumping %d byte%s\n", len, len == 1 ? "" : "s");
    kav_dumpv(p);
    return;
  }
  kavprt(4, "+%s: Code = %s\n", T, radius_code2nam(p.u8(0)));
  kavprt(4, "+%s: Identifier = %d\n", T, int(p.u8(1)));
  kavprt(4, "+%s: Length = %u\n", T, p.u16(2));
  kavprt(4, "+%s: Authenticator follows ... ", T);
  kav_dumpv(p.sub(4, 16));
  kav_cursor c(p, 20);
  char name[16];
  while (c.remaining() >= 2) {
    uint32_t type = c.u8(), l = c.u8();
    const attrdesc *a = attr_find(type);
    const char *nm = a ? a->name : name;
    if (!a) snprintf(name, sizeof name, "<%u>", type);
    kavprt(4, "+%s: Attribute %d=%s, Length=%d\n", T, int(type), nm, int(l));
    if (l <= 2) continue;
    if (!c.has(l - 2)) {
      truncated_dump("Truncated attribute", c.rest());
      return;
    }
    kav_view v = c.take(l - 2);
    int n = v.size();
    switch (a ? a->kind : A_OCTETS) {
      case A_INT: {
        uint32_t x = 0;
        for (int i = 0; i < n; i++) x = (x << 8) | v.u8(i);
        kavprt(4, "\tValue = %d (0x%x)\n", int(x), x);
        break;
      }
      case A_ADDR: {
        unsigned char ip[4];
        if (!v.copy(0, 4, ip)) {
          kavprt(4, "\t");
          truncated_dump("Address shorter than 4 octets", v);
          break;
        }
        uint32_t le = uint32_t(ip[0]) | uint32_t(ip[1]) << 8 | uint32_t(ip[2]) << 16 | uint32_t(ip[3]) << 24;
        kavprt(4, "\tValue = %u.%u.%u.%u (0x%x)\n", ip[0], ip[1], ip[2], ip[3], le);
        break;
      }
      case A_TEXT: kavprt(4, "\tValue = [%.*s]\n", n, (const char *)v.base); break;
      case A_OCTETS:
        kavprt(4, "\t");
        kav_dumpv(v);
        break;
    }
  }
  if (c.remaining() > 0) truncated_dump("Truncated attribute", c.rest());
}
