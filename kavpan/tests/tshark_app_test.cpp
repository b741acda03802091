// Agreement with a peer decoder on the application protocols of the corpus:
// DNS names, types, classes and TTLs; DHCP message types and option codes;
// RIP routes and metrics; RADIUS codes and attribute types; the first TLS
// record's type and version; OSPF packet types and router ids.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <sstream>

#include "panapp.h"
#include "pkt_helpers.h"
#include "oracle.h"
#include "testsupport.h"

namespace {

// RADIUS on ports of its own: decoded through the protocol map (-u 1812).
bool radius_alt(const bytes &d) {
  if (d.size() < 42 || d[23] != 17) return false;
  unsigned ihl = (d[14] & 15) * 4u;
  if (d.size() < 14 + ihl + 8) return false;
  unsigned sp = (d[14 + ihl] << 8) | d[15 + ihl], dp = (d[16 + ihl] << 8) | d[17 + ihl];
  for (unsigned p : {1645u, 1646u, 1700u, 3799u})
    if (sp == p || dp == p) return true;
  return false;
}

// Complete Ethernet II / IPv4 frames, not fragments, carrying one of the
// compared protocols.
bool wanted(const pcap_frame &fr) {
  const bytes &d = fr.data;
  if (fr.caplen != fr.wirelen || d.size() < 34 || d[12] != 0x08 || d[13] != 0x00 || (d[14] >> 4) != 4) return false;
  if (((d[20] << 8) | d[21]) & 0x3FFF) return false;
  unsigned ihl = (d[14] & 15) * 4u, proto = d[23];
  if (proto == 89) return true;
  if (d.size() < 14 + ihl + 8) return false;
  unsigned sp = (d[14 + ihl] << 8) | d[15 + ihl], dp = (d[16 + ihl] << 8) | d[17 + ihl];
  auto either = [&](unsigned p) { return sp == p || dp == p; };
  if (proto == 17)
    return either(53) || either(67) || either(68) || either(520) || either(1812) || either(1813) || radius_alt(d);
  if (proto == 6) {
    unsigned hl = (d[26 + ihl] >> 4) * 4u;
    return (either(53) || either(443)) && d.size() > 14 + ihl + hl;
  }
  return false;
}

// TLS records: a client hello (TLS 1.0 record, 1.2 hello), a server hello,
// a certificate message, an alert.
std::vector<bytes> tls_records() {
  bytes rnd(28, 7);
  bytes ch = cat({hexbytes("16 03 01 00 33 01 00 00 2f 03 03 00 00 00 01"), rnd,
                  hexbytes("00 00 06 00 2f 00 05 c0 2f 01 00 00 00")});
  bytes sh = cat({hexbytes("16 03 03 00 2a 02 00 00 26 03 03 00 00 00 02"), rnd, hexbytes("00 00 2f 00")});
  bytes ce = hexbytes("16 03 03 00 14 0b 00 00 10 00 00 0d 00 00 05 30 03 02 01 05 00 00 02 30 00");
  bytes al = hexbytes("15 03 02 00 02 02 28");
  return {ch, sh, ce, al};
}

std::vector<std::string> lines_after(const std::string &out, const std::string &prefix) {
  std::vector<std::string> v;
  for (size_t p = out.find("\n" + prefix); p != std::string::npos; p = out.find("\n" + prefix, p + 1)) {
    size_t s = p + 1 + prefix.size(), e = out.find('\n', s);
    v.push_back(out.substr(s, e - s));
  }
  return v;
}

std::string join(const std::vector<std::string> &v) {
  std::string s;
  for (size_t i = 0; i < v.size(); i++) s += (i ? "|" : "") + v[i];
  return s;
}

std::vector<std::string> split(const std::string &s) {
  std::vector<std::string> v;
  if (s.empty()) return v;
  std::stringstream ss(s);
  std::string c;
  while (std::getline(ss, c, '|')) v.push_back(c);
  return v;
}

const char *class2txt(unsigned long c) {
  static char buf[16];
  switch (c) {
    case 1: return "IN (Internet)";
    case 3: return "CH (CHAOS)";
    case 4: return "HS (HESIOD)";
    case 255: return "ANY";
    default: snprintf(buf, sizeof buf, "<%lu>", c); return buf;
  }
}

const char *dhcptype(unsigned long t) {
  static const char *const n[] = {"",        "DHCPDISCOVER", "DHCPOFFER",   "DHCPREQUEST", "DHCPDECLINE",
                                  "DHCPACK", "DHCPNAK",      "DHCPRELEASE", "DHCPINFORM"};
  static char buf[16];
  if (t >= 1 && t <= 8) return n[t];
  snprintf(buf, sizeof buf, "DHCP<%lu>", t);
  return buf;
}

// One compared field: our value and a conversion of the peer's.
struct cmpfield {
  const char *name;
  std::string (*theirs)(const std::string &);
};

std::string each(const std::string &s, std::string (*f)(const std::string &)) {
  std::vector<std::string> v = split(s);
  for (auto &x : v) x = f(x);
  return join(v);
}
unsigned long num(const std::string &s) { return strtoul(s.c_str(), nullptr, 0); }
std::string same(const std::string &s) { return s; }
std::string first(const std::string &s) { return s.substr(0, s.find('|')); }
std::string rrtype(const std::string &s) {
  return each(s, [](const std::string &x) { return std::string(dnsrrtyp2txt(unsigned(num(x)))); });
}
std::string rrclass(const std::string &s) {
  return each(s, [](const std::string &x) { return std::string(class2txt(num(x))); });
}
std::string decimal(const std::string &s) {
  return each(s, [](const std::string &x) { return std::to_string(num(x)); });
}
std::string nopad(const std::string &s) {
  std::vector<std::string> v, out;
  v = split(s);
  for (auto &x : v)
    if (num(x) != 0) out.push_back(std::to_string(num(x)));
  return join(out);
}

const cmpfield kFields[] = {
    {"dns.qry.name", same},       {"dns.qry.type", rrtype},     {"dns.qry.class", rrclass},
    {"dns.resp.name", same},      {"dns.resp.type", rrtype},    {"dns.resp.class", rrclass},
    {"dns.resp.ttl", same},       {"dhcp.option.dhcp", [](const std::string &s) { return std::string(dhcptype(num(first(s)))); }},
    {"dhcp.option.type", nopad},  {"rip.ip", same},             {"rip.metric", same},
    {"radius.code", [](const std::string &s) { return std::string(radius_code2nam(unsigned(num(s)))); }},
    {"radius.avp.type", decimal}, {"tls.record.content_type", [](const std::string &s) { return first(s); }},
    {"tls.record.version",
     [](const std::string &s) {
       unsigned long v = num(first(s));
       return std::to_string(v >> 8) + "." + std::to_string(v & 255);
     }},
    {"ospf.msg", [](const std::string &s) { return first(s); }},
    {"ospf.srcrouter", [](const std::string &s) { return first(s); }},
};

std::string dname(std::string n) {
  if (n.size() >= 5 && n.compare(n.size() - 5, 5, " CMPR") == 0) n.resize(n.size() - 5);
  if (n.size() < 2) return n;
  n = n.substr(1, n.size() - 2);  // <...>
  if (n.empty()) return "<Root>";
  if (n.back() == '.') n.pop_back();
  return n;
}

// Our values of the compared fields, from our verbosity-4 text; fields a
// frame cannot be compared on are left out (with the reason counted).
std::map<std::string, std::string> ours(const std::string &out, std::map<std::string, int> &excluded) {
  std::map<std::string, std::string> f;
  size_t dns = out.find("\n+DNS: ");
  if (dns != std::string::npos) {
    std::string s = out.substr(dns);
    if (s.find("\nNB: ") != std::string::npos) {
      excluded["DNS: truncated or malformed message"]++;
      return f;
    }
    size_t rrs = s.find("RRs\n");
    std::string q = s.substr(0, rrs), r = rrs == std::string::npos ? "" : s.substr(rrs);
    std::vector<std::string> qn = lines_after(q, "+DNS:\tDomain: "), qt = lines_after(q, "+DNS:\tType=");
    std::vector<std::string> rn = lines_after(r, "+DNS:\tDomain: "), rt = lines_after(r, "+DNS:\tType=");
    std::vector<std::string> ttl = lines_after(r, "+DNS:\tTTL=");
    auto names = [](std::vector<std::string> v) {
      for (auto &x : v) x = dname(x);
      return join(v);
    };
    auto types = [](std::vector<std::string> v, bool cls) {
      for (auto &x : v) {
        size_t c = x.find(", Class=");
        x = cls ? x.substr(c + 8) : x.substr(0, c);
      }
      return join(v);
    };
    f["dns.qry.name"] = names(qn);
    f["dns.qry.type"] = types(qt, false);
    f["dns.qry.class"] = types(qt, true);
    f["dns.resp.name"] = names(rn);
    f["dns.resp.type"] = types(rt, false);
    // The peer gives no class or TTL for an OPT record (they carry EDNS fields).
    std::vector<std::string> cls, ttls;
    for (size_t k = 0; k < rt.size() && k < ttl.size(); k++) {
      if (rt[k].compare(0, 12, "<QTYPE=41>, ") == 0) {
        excluded["DNS: OPT record, class and TTL (EDNS fields)"]++;
        continue;
      }
      cls.push_back(rt[k].substr(rt[k].find(", Class=") + 8));
      ttls.push_back(std::to_string(uint32_t(strtol(ttl[k].c_str(), nullptr, 10))));
    }
    f["dns.resp.class"] = join(cls);
    f["dns.resp.ttl"] = join(ttls);
  }
  size_t dh = out.find("\n+DHCP: Op = ");
  if (dh != std::string::npos) {
    std::string s = out.substr(dh);
    std::string op = lines_after(s, "+DHCP: Op = ")[0];
    f["dhcp.option.dhcp"] = op.substr(0, op.find(' '));
    if (s.find("Printing Overload Options") != std::string::npos)
      excluded["DHCP: overloaded fields"]++;
    else {
      std::vector<std::string> codes;
      for (const auto &l : lines_after(s, "+DHCP: ")) {
        size_t e = l.find(">: ");
        size_t b = e == std::string::npos ? e : l.rfind('<', e);
        if (b != std::string::npos && l.find(" = ") > e) {
          unsigned long c = strtoul(l.c_str() + b + 1, nullptr, 10);
          if (c && c != 255) codes.push_back(std::to_string(c));  // the peer lists neither pads nor the end
        }
      }
      f["dhcp.option.type"] = join(codes);
    }
  }
  if (out.find("\n+RIP: Command") != std::string::npos) {
    // Authentication entries other than the plain password (keyed digests)
    // are read as routes here; the peer knows them.
    if (lines_after(out, "+RIP: Address family = 65535").size() > lines_after(out, "+RIP: Password = ").size()) {
      excluded["RIP: digest authentication entries"]++;
      return f;
    }
    f["rip.ip"] = join(lines_after(out, "+RIP: Advertised IP Address = "));
    f["rip.metric"] = join(lines_after(out, "+RIP: Metric = "));
  }
  if (out.find("\n+RADIUS: Code = ") != std::string::npos) {
    f["radius.code"] = lines_after(out, "+RADIUS: Code = ")[0];
    if (out.find("Truncated attribute") != std::string::npos)
      excluded["RADIUS: truncated attribute"]++;
    else {
      std::vector<std::string> t = lines_after(out, "+RADIUS: Attribute ");
      for (auto &x : t) x = x.substr(0, x.find('='));
      f["radius.avp.type"] = join(t);
    }
  }
  if (out.find("\n+SSLv3-REC: Content-Type = ") != std::string::npos) {
    std::string ct = lines_after(out, "+SSLv3-REC: Content-Type = ")[0];
    f["tls.record.content_type"] = ct.substr(0, ct.find(' '));
    f["tls.record.version"] = lines_after(out, "+SSLv3-REC: Protocol-Version = ")[0];
  }
  if (out.find("\n+OSPF: Packet Type = ") != std::string::npos) {
    std::string t = lines_after(out, "+OSPF: Packet Type = ")[0];
    f["ospf.msg"] = t.substr(t.rfind('(') + 1, t.size() - t.rfind('(') - 2);
    std::vector<std::string> r = lines_after(out, "+OSPF: Router ID = ");
    if (!r.empty()) f["ospf.srcrouter"] = r[0].substr(r[0].find('(') + 1, r[0].size() - r[0].find('(') - 2);
  }
  return f;
}

TEST(PanTsharkApp, ApplicationFieldsAgree) {
  VTS_REQUIRE(vts::have_tool("tshark"), "tshark not installed");
  std::vector<std::string> files = corpus_files();
  VTS_REQUIRE(!files.empty(), "capture corpus not found at " << vts::corpus_dir());
  reset_decoders(4);
  setenv("KAV_SSL_PARSE", "y", 1);

  std::vector<pcap_frame> sel;
  for (const auto &path : files) {
    pcap_file pf;
    if (!read_pcap(path, pf) || pf.linktype != 1) continue;
    for (auto &fr : pf.frames)
      if (wanted(fr)) sel.push_back(fr);
  }
  ASSERT_GT(sel.size(), 100u);
  // The corpus holds no TLS over IPv4: hellos and a certificate built here.
  unsigned cport = 40000;  // a connection each, or the peer takes them for retransmissions
  for (const bytes &rec : tls_records()) {
    pcap_frame fr;
    bytes seg = tcp_seg(false, "10.0.0.1", "10.0.0.2", 443, cport++, 1, 1, 0x18, 512, {}, rec);
    fr.data = cat({eth_hdr("00:11:22:33:44:55", "00:11:22:33:44:66", 0x0800), ipv4_hdr("10.0.0.1", "10.0.0.2", 6, unsigned(seg.size())), seg});
    fr.caplen = fr.wirelen = unsigned(fr.data.size());
    sel.push_back(fr);
  }

  vts::TempDir dir;
  std::string pcap = dir.file("app.pcap");
  ASSERT_TRUE(write_eth_pcap(pcap, sel));
  std::vector<std::string> names;
  for (const auto &k : kFields) names.push_back(k.name);
  std::vector<std::vector<std::string>> rows;
  // Each payload on its own, at the ports we decode.
  ASSERT_TRUE(vts::tshark_fields(pcap,
                                 "-o tcp.desegment_tcp_streams:FALSE -o tls.desegment_ssl_records:FALSE"
                                 " -o tls.desegment_ssl_application_data:FALSE -o dns.desegment_dns_messages:FALSE"
                                 " -d udp.port==1813,radius -d udp.port==1700,radius -d tcp.port==443,tls"
                                 " -E occurrence=a -E 'aggregator=|'",
                                 names, &rows));
  ASSERT_EQ(rows.size(), sel.size());

  std::map<std::string, int> compared, excluded;
  for (size_t i = 0; i < sel.size(); i++) {
    kav_ssl_reset();
    kav_proto_map = radius_alt(sel[i].data) ? 1812 : 0;
    std::string out = "\n" + decode(4, KAV_LAYER_LINK, KAV_L2_ETH, sel[i].data, 0);
    std::map<std::string, std::string> mine = ours(out, excluded);
    for (size_t k = 0; k < sizeof kFields / sizeof kFields[0]; k++) {
      const std::string name = kFields[k].name;
      const std::string &raw = rows[i][k + 1];
      auto it = mine.find(name);
      if (it == mine.end()) continue;
      if (raw.empty() && it->second.empty()) {
        compared[name]++;  // neither side has one (a query without answers)
        continue;
      }
      if (raw.empty()) {
        // The peer shows no such field: a TLS segment that continues a
        // record, or a message it could not dissect.
        excluded[name + ": peer has no value"]++;
        continue;
      }
      std::string theirs = kFields[k].theirs(raw);
      compared[name]++;
      EXPECT_EQ(it->second, theirs) << "frame " << i + 1 << " " << name;
    }
  }
  for (const auto &k : kFields) printf("%-24s compared %5d\n", k.name, compared[k.name]);
  for (const auto &e : excluded) printf("excluded: %-60s %5d\n", e.first.c_str(), e.second);
  for (const char *n : {"dns.qry.name", "dns.resp.ttl", "dhcp.option.type", "rip.metric", "radius.avp.type",
                        "ospf.srcrouter"})
    EXPECT_GT(compared[n], 5) << n;
  EXPECT_EQ(compared["tls.record.version"], 4);
  unsetenv("KAV_SSL_PARSE");
  reset_decoders(2);
}

}  // namespace
