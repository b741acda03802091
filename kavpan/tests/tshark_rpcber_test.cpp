// Agreement with a peer decoder on ONC RPC, SNMP and LDAP: the corpus's
// Ethernet/IPv4 frames on the ports of these protocols, plus messages built
// here, are decoded by us (verbosity 4, in order, so replies find their
// calls) and by tshark; RPC xid, message type, program, version, procedure
// and reply status, SNMP version, community, PDU type and variable names,
// and LDAP message id and operation must agree wherever both give a value.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "ber_helpers.h"
#include "oracle.h"
#include "testsupport.h"
#include "panrpcber.h"

namespace {

const char *const kFields[] = {"rpc.xid",      "rpc.msgtyp",     "rpc.program",   "rpc.programversion",
                               "rpc.procedure", "rpc.replystat", "snmp.version",  "snmp.community",
                               "snmp.data",    "snmp.name",      "ldap.messageID", "ldap.protocolOp"};
constexpr size_t kNFields = sizeof kFields / sizeof kFields[0];

const char *const kSnmpPdus[] = {"Get-Request", "Get-Next-Request", "Get-Response",  "Set-Request", "Trap (SNMPv1)",
                                 "Get-Bulk-Request", "Inform-Request", "Trap (SNMPv2)", "Report"};
const char *const kLdapOps[] = {"Bind-Request", "Bind-Response", "Unbind-Request", "Search-Request",
                                "Search-Response-Entry", "Search-Response-Result", "Modify-Request",
                                "Modify-Response", "Add-Request", "Add-Response", "Delete-Request",
                                "Delete-Response", "Modify-RDN-Request", "Modify-RDN-Response", "Compare-Request",
                                "Compare-Response", "Abandon-Request", "", "", "Search-Response-Ref", "", "", "",
                                "Extended-Request", "Extended-Response"};

// The value printed on the line after the first line ending in marker.
bool value_after(const std::string &out, const std::string &marker, std::string *val, size_t *from = nullptr) {
  size_t p = out.find(marker, from ? *from : 0);
  if (p == std::string::npos) return false;
  p += marker.size();
  size_t e = out.find('\n', p);
  if (e == std::string::npos) return false;
  std::string line = out.substr(p, e - p);
  size_t c = line.find(": ");
  if (c == std::string::npos) return false;
  line = line.substr(c + 2);
  line.erase(0, line.find_first_not_of(' '));
  *val = line;
  if (from) *from = e;
  return true;
}

// Text after prefix up to the first of the stop characters.
bool after(const std::string &out, const std::string &prefix, const char *stops, std::string *val) {
  size_t p = out.find(prefix);
  if (p == std::string::npos) return false;
  p += prefix.size();
  *val = out.substr(p, out.find_first_of(stops, p) - p);
  return true;
}

int index_of(const char *const *names, size_t n, const std::string &name) {
  for (size_t i = 0; i < n; i++)
    if (name == names[i]) return int(i);
  return -1;
}

std::map<std::string, std::string> ours(const std::string &out) {
  std::map<std::string, std::string> f;
  std::string v;
  size_t call = out.find("RPC Call, XID="), reply = out.find("RPC Reply, XID=");
  if (call != std::string::npos && (reply == std::string::npos || call < reply)) {
    after(out, "RPC Call, XID=", "\n", &f["rpc.xid"]);
    f["rpc.msgtyp"] = "0";
    if (after(out, "Program = ", "\n", &v)) {
      size_t o = v.rfind('('), c = v.rfind(')');
      f["rpc.program"] = v.substr(o + 1, c - o - 1);
      f["rpc.programversion"] = v.substr(v.rfind("Version = ") + 10);
    }
    if (after(out, "Procedure = ", "\n", &v)) f["rpc.procedure"] = v.substr(v.rfind('(') + 1, v.rfind(')') - v.rfind('(') - 1);
  } else if (reply != std::string::npos) {
    after(out, "RPC Reply, XID=", " ", &f["rpc.xid"]);
    f["rpc.msgtyp"] = "1";
    if (after(out, "Request Status = ", "\n", &v)) f["rpc.replystat"] = v == "Denied" ? "1" : "0";
    if (after(out, "RPC Reply, XID=", "\n", &v) && v.find("unknown request") == std::string::npos) {
      std::string d = v.substr(v.find('(') + 1);  // prog.vers.procname)
      f["rpc.program"] = d.substr(0, d.find('.'));
      d = d.substr(d.find('.') + 1);
      f["rpc.programversion"] = d.substr(0, d.find('.'));
    }
  }
  if (out.find("SNMP: ") != std::string::npos) {
    if (value_after(out, "  -- version\n", &v)) f["snmp.version"] = v.substr(0, v.find(' '));
    if (value_after(out, "  -- community\n", &v) && v.find("   [") != std::string::npos)
      f["snmp.community"] = v.substr(v.find("   [") + 4, v.rfind(']') - v.find("   [") - 4);
    if (after(out, "  -- PDU=", "\n", &v)) {
      int i = index_of(kSnmpPdus, sizeof kSnmpPdus / sizeof kSnmpPdus[0], v);
      if (i >= 0) f["snmp.data"] = std::to_string(i);
    }
    std::string names;
    size_t at = 0;
    while (value_after(out, "  -- Name\n", &v, &at)) names += (names.empty() ? "" : ",") + v;
    if (!names.empty()) f["snmp.name"] = names;
  }
  if (out.find("LDAP: ") != std::string::npos) {
    if (value_after(out, "  -- messageID\n", &v)) f["ldap.messageID"] = v.substr(0, v.find(' '));
    if (after(out, "  -- PDU=", "\n", &v)) {
      int i = index_of(kLdapOps, sizeof kLdapOps / sizeof kLdapOps[0], v);
      if (i >= 0) f["ldap.protocolOp"] = std::to_string(i);
    }
  }
  return f;
}

bytes w32(std::initializer_list<uint32_t> w) {
  bytes b;
  for (uint32_t v : w)
    for (int s = 24; s >= 0; s -= 8) b.push_back((unsigned char)(v >> s));
  return b;
}

pcap_frame frame(const bytes &l3l4) {
  pcap_frame f;
  f.data = cat({eth_hdr("00:00:5e:00:53:01", "00:00:5e:00:53:02", 0x0800), l3l4});
  f.caplen = f.wirelen = unsigned(f.data.size());
  return f;
}
// Clients send from low ports to the service; the service answers back.
pcap_frame udp(unsigned sp, unsigned dp, const bytes &p) {
  const char *a = "192.0.2.1", *b = "192.0.2.2";
  if (sp < dp) std::swap(a, b);
  bytes u = udp_dgram(false, a, b, sp, dp, p);
  return frame(cat({ipv4_hdr(a, b, 17, unsigned(u.size())), u}));
}
pcap_frame tcp(unsigned sp, unsigned dp, uint32_t seq, const bytes &p) {
  const char *a = "192.0.2.1", *b = "192.0.2.2";
  if (sp < dp) std::swap(a, b);
  bytes t = tcp_seg(false, a, b, sp, dp, seq, 1, 0x18, 512, {}, p);
  return frame(cat({ipv4_hdr(a, b, 6, unsigned(t.size())), t}));
}

// Messages of each protocol, calls before their replies.
std::vector<pcap_frame> built() {
  bytes cred = cat({w32({1, 24, 7}), w32({4}), bytes{'h', 'o', 's', 't'}, w32({0, 0, 0})});
  bytes lookup = cat({w32({0x1001, 0, 2, 100003, 3, 3}), cred, w32({0, 0, 8}), bytes(8, 1), w32({3}),
                      bytes{'e', 't', 'c', 0}});
  bytes lookup_r = cat({w32({0x1001, 1, 0, 0, 0, 0, 2}), w32({0, 0})});
  bytes getport = w32({0x2002, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 100005, 3, 17, 0});
  bytes getport_r = w32({0x2002, 1, 0, 0, 0, 0, 635});
  bytes mnt = cat({w32({0x3003, 0, 2, 100005, 3, 1, 0, 0, 0, 0, 6}), bytes{'/', 'e', 'x', 'p', 'o', 'r', 't', 0}});
  bytes denied = w32({0x3003, 1, 1, 1, 5});
  bytes snmp = seq({ber_int(1), ber_str("public"),
                    tlv(0xA2, cat({ber_int(77), ber_int(0), ber_int(0),
                                   seq({seq({ber_oid("1.3.6.1.2.1.1.5.0"), ber_str("r1")}),
                                        seq({ber_oid("1.3.6.1.2.1.1.3.0"), tlv(0x43, hexbytes("01 00"))})})}))});
  bytes snmp1 = seq({ber_int(0), ber_str("private"),
                     tlv(0xA1, cat({ber_int(78), ber_int(0), ber_int(0), seq({seq({ber_oid("1.3.6.1.2.1.2"), hexbytes("05 00")})})}))});
  bytes bind = seq({ber_int(1), tlv(0x60, cat({ber_int(3), ber_str("cn=admin"), ber_str("secret", 0x80)}))});
  bytes entry = seq({ber_int(2), tlv(0x64, cat({ber_str("cn=x"), seq({seq({ber_str("cn"), tlv(0x31, ber_str("x"))})})}))});
  bytes done = seq({ber_int(2), tlv(0x65, cat({hexbytes("0a 01 00"), ber_str(""), ber_str("")}))});
  auto rm = [](const bytes &m) { return cat({w32({0x80000000u | uint32_t(m.size())}), m}); };
  return {udp(2700, 2049, lookup),      udp(2049, 2700, lookup_r),   tcp(2701, 111, 1, rm(getport)),
          tcp(111, 2701, 1, rm(getport_r)), udp(2702, 2049, mnt),    udp(2049, 2702, denied),
          udp(1030, 161, snmp),        udp(1031, 161, snmp1),      tcp(40000, 389, 1, bind),
          tcp(389, 40000, 1, entry),   tcp(389, 40000, 100, done)};
}

// Runs tshark -T fields over the frames (written to a temporary pcap) with the
// given extra options; rows[i] holds frame.number and then the fields, one
// column each (empty when absent). False when tshark failed.
bool tshark_fields(const std::vector<pcap_frame> &frames, const std::string &options,
                   const std::vector<std::string> &fields, std::vector<std::vector<std::string>> *rows) {
  vts::TempDir dir;
  std::string pcap = dir.file("frames.pcap");
  return write_eth_pcap(pcap, frames) && vts::tshark_fields(pcap, options, fields, rows);
}

bool on_our_ports(const pcap_frame &fr) {
  const bytes &d = fr.data;
  if (d.size() < 42 || d[12] != 0x08 || d[13] != 0x00 || (d[14] >> 4) != 4) return false;
  if (((d[20] << 8) | d[21]) & 0x3FFF) return false;  // fragments
  size_t ihl = size_t(d[14] & 15) * 4;
  if (d[23] != 6 && d[23] != 17) return false;
  if (d.size() < 14 + ihl + 4) return false;
  unsigned sp = (d[14 + ihl] << 8) | d[15 + ihl], dp = (d[16 + ihl] << 8) | d[17 + ihl];
  for (unsigned p : {111u, 2049u, 161u, 162u, 389u})
    if (sp == p || dp == p) return true;
  return false;
}

TEST(TsharkRpcBer, FieldsAgree) {
  VTS_REQUIRE(vts::have_tool("tshark"), "tshark not installed");
  reset_decoders(4);
  kav_rpc_reset();
  std::vector<pcap_frame> sel;
  size_t corpus = 0;
  for (const auto &path : corpus_files()) {
    pcap_file pf;
    if (!read_pcap(path, pf) || pf.linktype != 1) continue;
    for (auto &fr : pf.frames)
      if (on_our_ports(fr)) sel.push_back(fr);
  }
  corpus = sel.size();
  for (auto &fr : built()) sel.push_back(fr);

  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(tshark_fields(sel,
                            "-o tcp.desegment_tcp_streams:FALSE -o tcp.analyze_sequence_numbers:FALSE"
                            " -E occurrence=a -E aggregator=,",
                            std::vector<std::string>(std::begin(kFields), std::end(kFields)), &rows));
  ASSERT_EQ(rows.size(), sel.size());

  std::map<std::string, int> compared;
  for (size_t i = 0; i < sel.size(); i++) {
    unsigned missing = sel[i].wirelen > sel[i].caplen ? sel[i].wirelen - sel[i].caplen : 0;
    std::map<std::string, std::string> o = ours(decode(4, KAV_LAYER_LINK, KAV_L2_ETH, sel[i].data, missing));
    for (size_t k = 0; k < kNFields; k++) {
      std::string theirs = rows[i][k + 1], name = kFields[k];
      auto it = o.find(name);
      if (it == o.end() || theirs.empty()) continue;
      // One message per frame is compared: the first of each field but the variable names.
      if (name != "snmp.name") theirs = theirs.substr(0, theirs.find(','));
      if (name == "rpc.xid") theirs = std::to_string(strtoul(theirs.c_str(), nullptr, 16));
      compared[name]++;
      if (i < corpus) compared["corpus frames"]++;
      EXPECT_EQ(it->second, theirs) << "frame " << i + 1 << (i < corpus ? " (corpus)" : " (built)") << " " << name;
    }
  }
  printf("%zu corpus frames on RPC/SNMP/LDAP ports, %zu built\n", corpus, sel.size() - corpus);
  for (const char *n : kFields) printf("%-20s compared %d\n", n, compared[n]);
  printf("values compared on corpus frames: %d\n", compared["corpus frames"]);
  EXPECT_GE(compared["rpc.xid"], 6);
  EXPECT_GE(compared["rpc.program"], 5);
  EXPECT_GE(compared["rpc.procedure"], 3);
  EXPECT_GE(compared["rpc.replystat"], 3);
  EXPECT_GE(compared["snmp.name"], 2);
  EXPECT_GE(compared["snmp.community"], 2);
  EXPECT_GE(compared["snmp.data"], 2);
  EXPECT_GE(compared["ldap.messageID"], 3);
  EXPECT_GE(compared["ldap.protocolOp"], 3);
}

}  // namespace
