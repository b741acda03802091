// Name caches: ethers file, hosts, protocols and services, and the name texts
// at each verbosity.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "pkt_helpers.h"
#include "tova.h"

namespace {

class PanCache : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_decoders(2);
    kav_numval_ip = 0;
    kav_numval_all = 0;
    snprintf(path_, sizeof path_, "/tmp/kavpan_ethers_%d", int(getpid()));
    kav_ethers_path = path_;
    unsetenv("KAV_SVC_CACHE");
    unsetenv("KAV_HOSTS_CACHE");
    unsetenv("KAV_PROTS_CACHE");
  }
  void TearDown() override {
    unlink(path_);
    kav_ethers_path = "/etc/ethers";
    reset_decoders(2);
    unsetenv("KAV_SVC_CACHE");
    unsetenv("KAV_HOSTS_CACHE");
    unsetenv("KAV_PROTS_CACHE");
  }
  // Lookups of 127.0.0.1 stay local only when the hosts file names it.
  static bool hosts_file_has_loopback() {
    std::ifstream f("/etc/hosts");
    std::string line;
    while (std::getline(f, line))
      if (line.rfind("127.0.0.1", 0) == 0) return true;
    return false;
  }
  void write_ethers(const char *text) {
    std::ofstream(path_) << text;
  }
  char path_[64];
};

const unsigned char kHost1[6] = {0x08, 0x00, 0x20, 0x0A, 0x0B, 0x0C};

TEST_F(PanCache, MissingEthersFileIsAnEmptyCache) {
  unlink(path_);
  EXPECT_EQ(kav_cache_ethers(), 0);
  EXPECT_STREQ(kav_ethaddr2nam(kHost1), "08:00:20:0A:0B:0C");
}

TEST_F(PanCache, EthersLinesGoodAndBad) {
  write_ethers(
      "# comment\n"
      "8:0:20:a:b:c   host1   # trailing comment\n"
      "\n"
      "1:2:3:4:5:6:7 sevenfields\n"
      "1:2:3:4:5\tshort\n"
      "1:2:3:4:5:zz badhex\n"
      "1:2:3:4:5:100 big\n"
      "2:0:0:0:0:1\n"
      "2:0:0:0:0:2 two words\n"
      "0:0:0:0:0:9 last\n");
  std::string out = capture_out([] { EXPECT_EQ(kav_cache_ethers(), 0); });
  std::string p = path_;
  EXPECT_EQ(out,
            "Error on line 4, " + p + " - ignoring it [Excess chars after ethernet address]\n" +
                "Error on line 5, " + p + " - ignoring it [Missing ethernet bytes]\n" + "Error on line 6, " + p +
                " - ignoring it [Invalid ethernet address (byte 6 format - zz)]\n" + "Error on line 7, " + p +
                " - ignoring it [Invalid ethernet address (byte 6 = 256)]\n" + "Error on line 8, " + p +
                " - ignoring it [Missing hostname [2:0:0:0:0:1]]\n" + "Error on line 9, " + p +
                " - ignoring it [Excess chars after hostname [two words]]\n");
  EXPECT_STREQ(kav_ethaddr2nam(kHost1), "host1");
  const unsigned char last[6] = {0, 0, 0, 0, 0, 9};
  EXPECT_STREQ(kav_ethaddr2nam(last), "last");
  kav_vblvl = 4;
  EXPECT_STREQ(kav_ethaddr2nam(kHost1), "host1 <08:00:20:0A:0B:0C>");
  kav_numval_all = 1;
  EXPECT_STREQ(kav_ethaddr2nam(kHost1), "08:00:20:0A:0B:0C");
}

TEST_F(PanCache, ManyEthersEntriesGrowTheNameArray) {
  std::string text;
  char line[64];
  for (int i = 0; i < 130; i++) {
    snprintf(line, sizeof line, "2:0:0:0:%x:%x n%d\n", i / 256, i % 256, i);
    text += line;
  }
  write_ethers(text.c_str());
  EXPECT_EQ(capture_out([] { EXPECT_EQ(kav_cache_ethers(), 0); }), "");
  const unsigned char a[6] = {2, 0, 0, 0, 0, 120};
  EXPECT_STREQ(kav_ethaddr2nam(a), "n120");
  const unsigned char b[6] = {2, 0, 0, 0, 0, 130};
  EXPECT_STREQ(kav_ethaddr2nam(b), "02:00:00:00:00:82");
}

TEST_F(PanCache, SpecialEthernetNames) {
  const unsigned char bc[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const unsigned char mc[6] = {0x01, 0x00, 0x5E, 0x01, 0x02, 0x03};
  const unsigned char mo[6] = {0x01, 0x00, 0x5E, 0x81, 0x02, 0x03};
  EXPECT_STREQ(kav_ethaddr2nam(bc), "broadcast");
  EXPECT_STREQ(kav_ethaddr2nam(mc), "mcast-iana-inet:01:02:03");
  EXPECT_STREQ(kav_ethaddr2nam(mo), "mcast-iana-other:81:02:03");
  kav_vblvl = 4;
  EXPECT_STREQ(kav_ethaddr2nam(bc), "broadcast <FF:FF:FF:FF:FF:FF>");
  EXPECT_STREQ(kav_ethaddr2nam(mc), "mcast-iana-inet:01:02:03 <01:00:5E:01:02:03>");
}

TEST_F(PanCache, HostsFromDatabaseAndNumericForms) {
  if (!hosts_file_has_loopback()) GTEST_SKIP() << "no 127.0.0.1 in /etc/hosts";
  ASSERT_EQ(kav_cache_hosts(), 0);
  const unsigned char lo[4] = {127, 0, 0, 1};
  struct hostent *he = gethostbyaddr(lo, 4, AF_INET);
  ASSERT_NE(he, nullptr) << "the hosts file names 127.0.0.1";
  std::string name = kav_ipaddr2nam(lo);
  EXPECT_NE(name, "127.0.0.1");
  kav_vblvl = 4;
  EXPECT_EQ(std::string(kav_ipaddr2nam(lo)), name + " <127.0.0.1>");
  kav_numval_ip = 1;
  EXPECT_STREQ(kav_ipaddr2nam(lo), "127.0.0.1");
  kav_numval_ip = 0;
  const unsigned char z[4] = {0, 0, 0, 0}, ones[4] = {255, 255, 255, 255};
  EXPECT_STREQ(kav_ipaddr2nam(z), "0.0.0.0");
  EXPECT_STREQ(kav_ipaddr2nam(ones), "255.255.255.255");
}

TEST_F(PanCache, HostsCacheOfZeroSlotsCachesNothing) {
  if (!hosts_file_has_loopback()) GTEST_SKIP() << "no 127.0.0.1 in /etc/hosts";
  setenv("KAV_HOSTS_CACHE", "0", 1);
  ASSERT_EQ(kav_cache_hosts(), 0);
  int st[4] = {0, 0, 0, 0};
  wtree_stats(kav_map_hosts, st);
  EXPECT_EQ(st[0], 0);
  const unsigned char lo[4] = {127, 0, 0, 1};
  kav_ipaddr2nam(lo);  // answered by the resolver (hosts file), not cached
  int st2[4] = {0, 0, 0, 0};
  wtree_stats(kav_map_hosts, st2);
  EXPECT_EQ(st2[0], 0);
}

TEST_F(PanCache, ProtocolNamesUpperCase) {
  ASSERT_EQ(kav_cache_l4prots(), 0);
  struct protoent *pe = getprotobynumber(6);
  ASSERT_NE(pe, nullptr);
  std::string up = pe->p_name;
  for (auto &c : up) c = char(toupper((unsigned char)c));
  EXPECT_EQ(std::string(kav_l4proto2nam(6)), up);
  kav_vblvl = 4;
  EXPECT_EQ(std::string(kav_l4proto2nam(6)), up + " (6)");
  EXPECT_STREQ(kav_l4proto2nam(254), "254");
  kav_numval_all = 1;
  EXPECT_STREQ(kav_l4proto2nam(6), "6");
}

TEST_F(PanCache, ServicesLimitedBySlotCount) {
  // The first ten tcp/udp entries of the services database are named, later ones are not.
  struct ent {
    std::string name, proto;
    int port;
  };
  std::vector<ent> ents;
  setservent(1);
  while (struct servent *se = getservent()) {
    std::string pr = se->s_proto;
    if (strcasecmp(pr.c_str(), "tcp") && strcasecmp(pr.c_str(), "udp")) continue;
    ents.push_back({se->s_name, pr, int(ntohs(uint16_t(se->s_port)))});
  }
  endservent();
  if (ents.size() < 12) GTEST_SKIP() << "services database too small";
  setenv("KAV_SVC_CACHE", "10", 1);
  ASSERT_EQ(kav_cache_l5prots(), 0);
  std::set<std::pair<int, std::string>> first;
  for (size_t i = 0; i < 10; i++) first.insert({ents[i].port, ents[i].proto});
  for (size_t i = 0; i < 10; i++) {
    int l4 = strcasecmp(ents[i].proto.c_str(), "tcp") == 0 ? 6 : 17;
    std::string up = ents[i].name.substr(0, 25);
    for (auto &c : up) c = char(toupper((unsigned char)c));
    bool later_same = false;
    for (size_t j = i + 1; j < 10; j++) later_same |= ents[j].port == ents[i].port && ents[j].proto == ents[i].proto;
    if (!later_same) {
      EXPECT_EQ(std::string(kav_l5proto2nam(ents[i].port, l4)), up);
    }
  }
  for (size_t i = 10; i < ents.size(); i++)
    if (!first.count({ents[i].port, ents[i].proto})) {
      int l4 = strcasecmp(ents[i].proto.c_str(), "tcp") == 0 ? 6 : 17;
      EXPECT_EQ(std::string(kav_l5proto2nam(ents[i].port, l4)), std::to_string(ents[i].port));
      break;
    }
  kav_vblvl = 4;
  int l4 = strcasecmp(ents[0].proto.c_str(), "tcp") == 0 ? 6 : 17;
  std::string up = ents[0].name.substr(0, 25);
  for (auto &c : up) c = char(toupper((unsigned char)c));
  EXPECT_EQ(std::string(kav_l5proto2nam(ents[0].port, l4)), up + " (" + std::to_string(ents[0].port) + ")");
  EXPECT_STREQ(kav_l5proto2nam(ents[0].port, 1), std::to_string(ents[0].port).c_str());  // not TCP/UDP
  kav_numval_all = 1;
  EXPECT_STREQ(kav_l5proto2nam(ents[0].port, l4), std::to_string(ents[0].port).c_str());
}

TEST_F(PanCache, NamesShowInDecodedFrames) {
  setenv("KAV_SVC_CACHE", "400", 1);
  ASSERT_EQ(kav_cache_l5prots(), 0);
  ASSERT_EQ(kav_cache_l4prots(), 0);
  struct servent *se = getservbyport(htons(80), "tcp");
  if (!se) GTEST_SKIP() << "no name for tcp/80";
  std::string up = se->s_name;
  for (auto &c : up) c = char(toupper((unsigned char)c));
  kav_numval_ip = 1;
  bytes t = tcp_seg(false, "10.0.0.1", "10.0.0.2", 1025, 80, 1, 1, 0x10, 100, {}, bytes{'x'});
  bytes d = cat({ipv4_hdr("10.0.0.1", "10.0.0.2", 6, unsigned(t.size())), t});
  EXPECT_NE(decode(1, 3, 1, d).find("TCP: 1025->" + up + "; "), std::string::npos) << decode(1, 3, 1, d);
  std::string v4 = decode(4, 3, 1, d);
  EXPECT_NE(v4.find("+TCP: Dest Port = " + up + " (80)\n"), std::string::npos);
  EXPECT_NE(v4.find("+IP: Protocol = TCP (6)\n"), std::string::npos) << v4;
  EXPECT_NE(v4.find("Layer = 5, Protocol = " + up + " (80)"), std::string::npos);
}

}  // namespace
