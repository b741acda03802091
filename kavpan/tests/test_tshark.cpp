// Agreement with a peer decoder: on the corpus's Ethernet/IPv4 frames the
// addresses, ports, IP identification, TTL, TCP sequence/ack/flags and the
// checksum verdicts we print agree with tshark's fields for the same frames.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "pkt_helpers.h"

namespace {

// Text after the first line starting with prefix, up to the end of that line.
bool field(const std::string &out, const std::string &prefix, std::string *val) {
  size_t p = out.find("\n" + prefix);
  if (p == std::string::npos) return false;
  p += 1 + prefix.size();
  size_t e = out.find('\n', p);
  *val = out.substr(p, e - p);
  return true;
}

// "0" bad, "1" good, "" not tested, from a checksum line of ours.
std::string verdict(const std::string &line) {
  if (line.find("(over -1 bytes)") != std::string::npos) return "";
  return line.find("CORRUPT") != std::string::npos ? "0" : "1";
}

struct ours {
  std::map<std::string, std::string> f;
};

ours decode_ours(const bytes &frame, unsigned missing) {
  ours o;
  std::string out = "\n" + decode(4, KAV_L_LINK, KAV_L2_ETH, frame, missing);
  std::string v;
  // Only the first (outermost) IP and transport headers are compared.
  size_t ip4 = out.find("\n+IP: ");
  if (ip4 == std::string::npos) return o;
  std::string ipsec = out.substr(ip4);
  if (field(ipsec, "+IP: Source = ", &v)) o.f["ip.src"] = v;
  if (field(ipsec, "+IP: Dest = ", &v)) o.f["ip.dst"] = v;
  if (field(ipsec, "+IP: Datagram ID = ", &v)) o.f["ip.id"] = v.substr(0, v.find(' '));
  if (field(ipsec, "+IP: TTL = ", &v)) o.f["ip.ttl"] = v;
  if (field(ipsec, "+IP: CheckSum = ", &v)) o.f["ip.checksum.status"] = verdict(v);
  size_t t = out.find("\n+TCP: "), u = out.find("\n+UDP: ");
  size_t nextip = out.find("\n+IP: Header Len", ip4 + 1);  // a second (quoted or tunnelled) IP header
  if (t != std::string::npos && (nextip == std::string::npos || t < nextip)) {
    std::string s = out.substr(t);
    if (field(s, "+TCP: Source Port = ", &v)) o.f["tcp.srcport"] = v;
    if (field(s, "+TCP: Dest Port = ", &v)) o.f["tcp.dstport"] = v;
    if (field(s, "+TCP: Sequence Number = ", &v)) o.f["tcp.seq_raw"] = v;
    if (field(s, "+TCP: Ack Number = ", &v)) o.f["tcp.ack_raw"] = v;
    if (field(s, "+TCP: Flags = ", &v)) {
      size_t h = v.find("(0x");
      if (h != std::string::npos) o.f["tcp.flags"] = std::to_string(strtoul(v.c_str() + h + 3, nullptr, 16));
    }
    if (field(s, "+TCP: Checksum = ", &v)) o.f["tcp.checksum.status"] = verdict(v);
  } else if (u != std::string::npos && (nextip == std::string::npos || u < nextip)) {
    std::string s = out.substr(u);
    if (field(s, "+UDP: Source Port = ", &v)) o.f["udp.srcport"] = v;
    if (field(s, "+UDP: Dest Port = ", &v)) o.f["udp.dstport"] = v;
    // A length field that disagrees with the IP payload (flagged "!ERROR") leaves
    // the checksum's extent a matter of choice: we sum the IP payload, the peer
    // the stated length. Such datagrams are not compared.
    std::string sz;
    bool len_ok = field(s, "+UDP: PDU Size = ", &sz) && sz.find("!ERROR") == std::string::npos;
    if (len_ok && field(s, "+UDP: Checksum = ", &v)) {
      std::string cks = v.substr(0, 6);
      o.f["udp.checksum.status"] = cks == "0x0000" ? "" : verdict(v);
    }
  }
  return o;
}

TEST(PanTshark, EthernetIpv4FieldsAgree) {
  if (!have_tshark()) GTEST_SKIP() << "tshark not installed";
  std::vector<std::string> files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "corpus not present";
  reset_decoders(4);

  // Complete, unfragmented Ethernet II / IPv4 frames of the corpus.
  std::vector<pcap_frame> sel;
  for (const auto &path : files) {
    pcap_file pf;
    if (!read_pcap(path, pf) || pf.linktype != 1) continue;
    for (auto &fr : pf.frames) {
      const bytes &d = fr.data;
      if (d.size() < 34 || d[12] != 0x08 || d[13] != 0x00 || (d[14] >> 4) != 4) continue;
      if (((d[20] << 8) | d[21]) & 0x3FFF) continue;  // fragments
      sel.push_back(fr);
    }
  }
  ASSERT_GT(sel.size(), 500u);

  const char *names[] = {"ip.src",      "ip.dst",      "ip.id",     "ip.ttl",        "ip.checksum.status",
                         "tcp.srcport", "tcp.dstport", "tcp.seq_raw", "tcp.ack_raw", "tcp.flags",
                         "tcp.checksum.status", "udp.srcport", "udp.dstport", "udp.checksum.status"};
  std::vector<std::vector<std::string>> rows;
  ASSERT_TRUE(tshark_fields(sel,
                            "-o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE"
                            " -o ip.defragment:FALSE -o tcp.desegment_tcp_streams:FALSE"
                            " -o tcp.analyze_sequence_numbers:FALSE -E occurrence=f",
                            std::vector<std::string>(std::begin(names), std::end(names)), &rows));
  ASSERT_EQ(rows.size(), sel.size());

  std::map<std::string, int> compared, differed;
  for (size_t i = 0; i < sel.size(); i++) {
    unsigned missing = sel[i].wirelen > sel[i].caplen ? sel[i].wirelen - sel[i].caplen : 0;
    ours o = decode_ours(sel[i].data, missing);
    for (size_t k = 0; k < sizeof names / sizeof names[0]; k++) {
      std::string theirs = rows[i][k + 1];
      std::string name = names[k];
      auto it = o.f.find(name);
      if (it == o.f.end() || theirs.empty()) continue;
      std::string mine = it->second;
      if (name.find("checksum.status") != std::string::npos) {
        if (mine.empty() || theirs == "2") continue;  // one side could not judge it
      }
      if (name == "tcp.flags") theirs = std::to_string(strtoul(theirs.c_str(), nullptr, 16) & 0xFF);
      if (name == "ip.id") theirs = std::to_string(strtoul(theirs.c_str(), nullptr, 16));
      compared[name]++;
      if (name.find("checksum.status") != std::string::npos && theirs == "0") compared["bad verdicts"]++;
      if (mine != theirs) {
        differed[name]++;
        ADD_FAILURE() << "frame " << i + 1 << " " << name << ": ours=" << mine << " tshark=" << theirs;
      }
    }
  }
  for (const char *n : names) printf("%-20s compared %6d, differed %d\n", n, compared[n], differed[n]);
  EXPECT_GT(compared["ip.src"], 500);
  EXPECT_GT(compared["tcp.seq_raw"], 200);
  EXPECT_GT(compared["udp.srcport"], 100);
  EXPECT_GT(compared["tcp.checksum.status"], 100);
  EXPECT_GT(compared["ip.checksum.status"], 500);
  printf("bad checksum verdicts compared: %d\n", compared["bad verdicts"]);
  EXPECT_GT(compared["bad verdicts"], 0);  // the corpus holds corrupt frames: both sides must flag them
}

}  // namespace
