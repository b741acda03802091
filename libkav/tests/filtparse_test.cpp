// Filter compiler: every message the grammar produces, and the compiled layout.
#include "kav.h"
#include "testutil.h"
#include "tova.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <sched.h>
#include <sys/wait.h>

namespace {

std::string parse_error(const char *text) {
  strcpy(tvl_usrmsg, "");
  void *f = kav_filt_parse(text, nullptr);
  if (f) {
    kav_filt_free(f);
    return "(compiled)";
  }
  return tvl_usrmsg;
}

struct Compiled {
  kav_filtnode *nodes = nullptr;
  int size = 0;
  explicit Compiled(const char *text) { nodes = static_cast<kav_filtnode *>(kav_filt_parse(text, &size)); }
  ~Compiled() { kav_filt_free(nodes); }
  int count() const { return size / (int)sizeof(kav_filtnode); }
};

struct Case {
  const char *text;
  const char *message;
};

TEST(KavFiltParse, GrammarMessages) {
  const Case cases[] = {
      {"", "rule terminated prematurely, at {...}"},
      {"TCP SD=80 & IP", "unrecognised keyword, at {& IP...}"},
      {"(TCP) & (UDP) | (ICMP)", "conflicting Boolean, '|', at {| (ICMP)...}"},
      {"(TCP) | (UDP) & (ICMP)", "conflicting Boolean, '&', at {& (ICMP)...}"},
      {"^TCP SD=80", "parameters supplied for a negated rule, at {SD=80...}"},
      {"(TCP) (UDP)", "misplaced start-of-rule, at {(UDP)...}"},
      {"(TCP) UDP", "misplaced start-of-rule, at {UDP...}"},
      {"(TCP) & UDP", "subrule not in parentheses, at {UDP...}"},
      {"FOO", "unrecognised keyword, at {FOO...}"},
      {"SRC=1", "invalid protocol=SRC, at {SRC=1...}"},
      {"IP#", "invalid protocol-id, after 'IP:' {...}"},
      {"IP# 6", "invalid protocol-id, after 'IP:' { 6...}"},
      {"IP#nosuchproto", "Invalid IP protocol (nosuchproto...)"},
      {"IP#256", "Invalid IP protocol (256...)"},
      {"(TCP", "Unterminated bracket, at {(TCP...}"},
      {"((TCP) | (UDP)", "Unterminated bracket, at {((TCP) | (UDP)...}"},
      {"& (TCP)", "misplaced Boolean, '&', at {& (TCP)...}"},
      {"(TCP) & | (UDP)", "misplaced Boolean, '|', at {| (UDP)...}"},
      {"(TCP) ^ (UDP)", "misplaced Negation, at {^ (UDP)...}"},
      {"^^TCP", "misplaced Negation, at {^TCP...}"},
      {"(TCP) & ", "rule terminated prematurely, at {...}"},
      {"^", "rule terminated prematurely, at {...}"},
      {"()", "rule terminated prematurely, at {...}"},
      {"(TCP) + (UDP)", "invalid operator, '+', at {+ (UDP)...}"},
      {"(TCP) & (UDP))", "invalid operator, ')', at {)...}"},
      // Quoted context is cut to 20 characters.
      {"(TCP) & (UDP) & ICMP HLEN=8 DLEN=100", "subrule not in parentheses, at {ICMP HLEN=8 DLEN=100...}"},
      {"(TCP) & (UDP) & ICMP HLEN=8 DLEN=1000", "subrule not in parentheses, at {ICMP HLEN=8 DLEN=100...}"},
  };
  for (const Case &c : cases) EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(KavFiltParse, ParameterMessages) {
  const Case cases[] = {
      {"TCP SD", "expected relop, got {...}"},
      {"TCP SD 80", "expected relop, got {80...}"},
      {"TCP ^", "unrecognised keyword, at {...}"},
      {"TCP ETYPE=1", "invalid param for protocol=TCP [at {ETYPE=1...}]"},
      {"IP#6 SRC=1", "invalid param for protocol=IP [at {SRC=1...}]"},
      {"IPV6 LEN=1", "invalid param for protocol=IPv6 [at {LEN=1...}]"},
      {"TCP IP=1", "invalid param for protocol=TCP [at {IP=1...}]"},
      {"TCP SD=80 SD=81", "Duplicate 'SD' parameter [at {SD=81...}]"},
      {"TCP SD:2=80 SRC=81", "Duplicate 'SRC' parameter [at {SRC=81...}]"},
      {"TCP SRC=80 SD=80", "'SRC' and 'SD' in same rule [at {SD=80...}]"},
      {"TCP SD=80 DST=80", "'SD' and 'DST' in same rule [at {DST=80...}]"},
      {"TCP SD:1=80 SD=80", "'SD:1' and 'SD' in same rule [at {SD=80...}]"},
      {"TCP SD:2=80 SD:1=80", "'SD:2' and 'SD:1' in same rule [at {SD:1=80...}]"},
      {"IP SRC>10.0.0.1", "'=' is only valid relop for IP 'SRC' parameter [at {SRC>10.0.0.1...}]"},
      {"ETH SD<B", "'=' is only valid relop for ETH 'SD' parameter [at {SD<B...}]"},
      {"LLC DST>4", "'=' is only valid relop for LLC 'DST' parameter [at {DST>4...}]"},
      {"ETH ETYPE>1", "'=' is only valid relop for 'ETYPE' parameters [at {ETYPE>1...}]"},
      {"TCP F<S", "'=' is only valid relop for 'F' parameters [at {F<S...}]"},
      {"IP LEN=abc", "expected numeric parameter, at {abc...}"},
      {"IP HLEN=-1", "expected numeric parameter, at {-1...}"},
      {"IP DLEN=", "expected numeric parameter, at {...}"},
      {"IP SRC=10.0.0.0/33", "IP Address mask must be numeric, in range 1-32 {33...}"},
      {"IP SRC=10.0.0.0/0", "IP Address mask must be numeric, in range 1-32 {0...}"},
      {"IP SRC=10.0.0.0/x", "IP Address mask must be numeric, in range 1-32 {x...}"},
      {"ETH SRC=1:2:3", "Invalid/unknown ethernet address [1:2:3...]"},
      {"ETH SRC=1:2:3:4:5:6:7", "Invalid/unknown ethernet address [1:2:3:4:5:6:7...]"},
      {"LLC SRC=256", "LLC Address must be numeric, in range 0-255"},
      {"TCP SRC=nosuchsvc", "Invalid tcp protocol (nosuchsvc...)"},
      {"UDP DST=http", "Invalid udp protocol (http...)"},
      {"UDP DST=65536", "Invalid udp protocol (65536...)"},
      {"ETH ETYPE=65536", "Eth-Type must be numeric, in range 0-65535"},
      {"LLC C=300", "LLC Control must be numeric, in range 0-255"},
      {"SNAP ORG=16777216", "SNAP Org must be numeric, in range 0-16777215"},
      {"ICMP TYPE=bogus", "Unrecognised ICMP type, bogus, try using numeric code"},
      {"ICMP CODE=port", "ICMP code must be qualified by type {port...}"},
      {"ICMP CODE=3 TYPE=3", "ICMP code must be qualified by type {3...}"},
      {"ICMP TYPE=echo CODE=port", "Unrecognised ICMP code, port, try using numeric code"},
      {"ICMP TYPE=redir CODE=port", "Unrecognised ICMP code, port, try using numeric code"},
      {"IP F=X", "unrecognised IP flag, at {X...}"},
      {"IP F=^^F", "unrecognised IP flag, at {^^F...}"},
      {"TCP F=X", "unrecognised TCP flag, at {X...}"},
      {"TCP F=SX", "unrecognised TCP flag, at {X...}"},
      {"TCP F=S^", "dangling negation in 'F' param, at {^...}"},
      {"TCP F=^^S", "duplicate negation, at {^S...}"},
      {"TCP F=SS", "Duplicate TCP flag, 'S', at {S...}"},
      {"TCP F=^a^A", "Duplicate TCP flag, 'A', at {^A...}"},
      {"TCP F=S^S", "TCP flag, 'S', specified twice {^S...}"},
      {"TCP F=*S", "'*' must be last TCP flag {*S...}"},
      {"TCP F=S*", "Meaningless to combine positive individual TCP flags with '*', {*...}"},
      {"TCP F=^S^*", "Meaningless to combine negative individual TCP flags with '^*', {^*...}"},
  };
  for (const Case &c : cases) EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(KavFiltParse, NestingIsBounded) {
  std::string deep(64, '(');
  deep += "TCP" + std::string(64, ')');
  EXPECT_EQ(parse_error(deep.c_str()), "(compiled)");
  std::string deeper = "(" + deep + ")";
  EXPECT_EQ(parse_error(deeper.c_str()), "filter nested too deeply, at {(TCP)...}");
}

// Host names not in the local files go to the resolver: ask it only inside a
// network namespace of our own, where the query cannot leave the machine.
TEST(KavFiltParse, UnknownHostInPrivateNetns) {
  int fd[2];
  ASSERT_EQ(pipe(fd), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fd[0]);
    std::string out;
    if (unshare(CLONE_NEWNET) != 0)
      out = "SKIP";
    else
      out = parse_error("IP SD=no-such-host.invalid/24");
    if (write(fd[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fd[1]);
  char buf[1100];
  ssize_t n = 0, r;
  while ((r = read(fd[0], buf + n, sizeof buf - 1 - n)) > 0) n += r;
  close(fd[0]);
  buf[n] = '\0';
  int status;
  waitpid(pid, &status, 0);
  if (strcmp(buf, "SKIP") == 0) GTEST_SKIP() << "no network namespaces";
  EXPECT_STREQ(buf, "Invalid/unknown host/network spec [no-such-host.invalid...]");
}

TEST(KavFiltParse, EdgeExpressionsCompile) {
  for (const char *t : {"(TCP SD=80) & (IP SD=10.1.1.1)", "(TCP SD=80) & (IP)", "((TCP) & (UDP)) | (ICMP)", "^TCP",
                        "^(TCP SD=80)", "IP SRC=10.0.0.0/8 DST=10.0.0.0/8", "ICMP TYPE=unreach CODE=port",
                        "IP SD=localhost", "ETH SRC=B", "802.3 DST=M", "ETH SD=0:1a:2B:3:4:5", "LLC SD=66 C=3",
                        "SNAP ORG=0 ETYPE=2048", "ARP HLEN=28", "RARP", "IPX", "IGMP", "OSPF", "IPv6", "IP#udp",
                        "TCP SD=http", "UDP SD=domain", "TCP F=S^*", "TCP F=^R*", "  ( tcp )  |  ( udp )  "})
    EXPECT_EQ(parse_error(t), "(compiled)") << t;
}

TEST(KavFiltParse, KeywordsIgnoreCase) {
  Compiled a("tcp sd=80"), b("TCP SD=80"), c("Tcp Sd=80");
  ASSERT_TRUE(a.nodes && b.nodes && c.nodes);
  ASSERT_EQ(a.size, b.size);
  EXPECT_EQ(0, memcmp(a.nodes, b.nodes, a.size));
  EXPECT_EQ(0, memcmp(a.nodes, c.nodes, a.size));
}

TEST(KavFiltParse, SingleRuleIsOneNode) {
  Compiled f("TCP SD=80");
  ASSERT_TRUE(f.nodes);
  EXPECT_EQ(f.size, (int)sizeof(kav_filtnode));
  const kav_filtnode &n = f.nodes[0];
  EXPECT_EQ(n.layer, 4);
  EXPECT_EQ(n.proto, 6);
  EXPECT_EQ(n.params, KAV_FP_SD);
  EXPECT_EQ(n.src.addr[0], 0);
  EXPECT_EQ(n.src.addr[1], 80);  // network order
  EXPECT_EQ(n.src.relop, '=');
  EXPECT_EQ(n.nchild, 0);
  EXPECT_EQ(n.flags, 0);
}

TEST(KavFiltParse, GroupsLayOutChildBlocks) {
  {
    Compiled f("(TCP) | (UDP)");
    ASSERT_EQ(f.count(), 3);
    EXPECT_EQ(f.nodes[0].nchild, 2);
    EXPECT_EQ(f.nodes[0].child, 1);
    EXPECT_EQ(f.nodes[0].flags, KAV_FN_OR);
    EXPECT_EQ(f.nodes[1].proto, 6);
    EXPECT_EQ(f.nodes[2].proto, 17);
  }
  {
    Compiled f("((TCP) & ^(UDP)) | (ICMP) | ((IP) & (ARP) & (RARP))");
    ASSERT_EQ(f.count(), 9);
    const kav_filtnode *n = f.nodes;
    EXPECT_EQ(n[0].nchild, 3);
    EXPECT_EQ(n[0].child, 1);
    EXPECT_EQ(n[0].flags, KAV_FN_OR);
    // Children of node 1 take the next free block, then those of node 3.
    EXPECT_EQ(n[1].nchild, 2);
    EXPECT_EQ(n[1].child, 3);
    EXPECT_EQ(n[1].flags, 0);
    EXPECT_EQ(n[2].proto, KAV_IPPROTO_ICMP);
    EXPECT_EQ(n[2].nchild, 0);
    EXPECT_EQ(n[3].nchild, 3);
    EXPECT_EQ(n[3].child, 3);
    EXPECT_EQ(n[4].proto, KAV_IPPROTO_TCP);
    EXPECT_EQ(n[5].proto, KAV_IPPROTO_UDP);
    EXPECT_EQ(n[5].flags, KAV_FN_NEG);
    EXPECT_EQ(n[6].layer, 3);
    EXPECT_EQ(n[6].proto, KAV_L3_IP);
    EXPECT_EQ(n[7].proto, KAV_L3_ARP);
    EXPECT_EQ(n[8].proto, KAV_L3_RARP);
  }
}

TEST(KavFiltParse, SingleChildGroupsCollapseCombiningNegation) {
  {
    Compiled f("^(TCP SD=80)");
    ASSERT_EQ(f.count(), 1);
    EXPECT_EQ(f.nodes[0].flags, KAV_FN_NEG);
    EXPECT_EQ(f.nodes[0].params, KAV_FP_SD);
  }
  {
    Compiled f("^(^(((TCP))))");
    ASSERT_EQ(f.count(), 1);
    EXPECT_EQ(f.nodes[0].flags, 0);
  }
  {
    Compiled f("^TCP");
    ASSERT_EQ(f.count(), 1);
    EXPECT_EQ(f.nodes[0].flags, KAV_FN_NEG);
  }
  {
    Compiled f("^((TCP) | (UDP))");
    ASSERT_EQ(f.count(), 3);
    EXPECT_EQ(f.nodes[0].flags, KAV_FN_NEG | KAV_FN_OR);
  }
}

TEST(KavFiltParse, ParameterValues) {
  {
    Compiled f("IP SRC=10.20.30.40/12 DST=192.168.1.7 ^F=F");
    ASSERT_TRUE(f.nodes);
    const kav_filtnode &n = f.nodes[0];
    EXPECT_EQ(n.src.nbytes, 1);
    EXPECT_EQ(n.src.mask, 0xF0);
    EXPECT_EQ(n.src.addr[0], 10);
    EXPECT_EQ(n.src.addr[1], 0x10);  // leading bits only
    EXPECT_EQ(n.dst.nbytes, 4);
    EXPECT_EQ(n.dst.mask, 0);
    EXPECT_EQ(n.dst.addr[3], 7);
    EXPECT_EQ(n.params, KAV_FP_SRC | KAV_FP_DST | KAV_FP_F);
    EXPECT_EQ(n.negparams, KAV_FP_F);
    EXPECT_EQ(n.ipfrag, 1);
  }
  {
    Compiled f("ICMP TYPE=unreach CODE=port");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].icmp_type, 3);
    EXPECT_EQ(f.nodes[0].icmp_code, 3);
  }
  {
    Compiled f("ICMP TYPE=redir CODE=HOST");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].icmp_type, 5);
    EXPECT_EQ(f.nodes[0].icmp_code, 1);
  }
  {
    Compiled f("TCP F=S^A");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].tcp_set, 0x02);
    EXPECT_EQ(f.nodes[0].tcp_clr, 0x10);
  }
  {
    Compiled f("TCP F=S^*");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].tcp_set, 0x02);
    EXPECT_EQ(f.nodes[0].tcp_clr, 0x3D);
  }
  {
    Compiled f("TCP F=^R*");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].tcp_set, 0x3B);
    EXPECT_EQ(f.nodes[0].tcp_clr, 0x04);
  }
  {
    Compiled f("IP#6");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].layer, 4);
    EXPECT_EQ(f.nodes[0].proto, 6);
  }
  {
    Compiled f("IP#ospf");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].proto, 89);
  }
  {
    Compiled f("ETH ETYPE=2048 SD:2=M");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].etype, htons(2048));
    EXPECT_EQ(f.nodes[0].src.mcast, 1);
    EXPECT_EQ(f.nodes[0].dst.mcast, 1);
  }
  {
    Compiled f("SNAP ORG=16777215");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].snap_org[0], 0xFF);
    EXPECT_EQ(f.nodes[0].snap_org[2], 0xFF);
  }
  {
    Compiled f("TCP DST<1024 SRC>http");
    ASSERT_TRUE(f.nodes);
    EXPECT_EQ(f.nodes[0].dst.relop, '<');
    EXPECT_EQ(f.nodes[0].src.relop, '>');
    EXPECT_EQ(f.nodes[0].src.addr[1], 80);
  }
}

TEST(KavFiltShort, ExpandsHostAndPort) {
  const Case cases[] = {
      {"10.1.1.1:80", "((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)"},
      {"!10.1.1.1", "^(IP SD=10.1.1.1)"},
      {" 10.1.1.1 ", "(IP SD=10.1.1.1)"},
      {":80", "((TCP SD=80) | (UDP SD=80))"},
      {"10.1.1.1 : !80", "^((TCP SD=80) | (UDP SD=80)) & (IP SD=10.1.1.1)"},
      {":DOMAIN", "((TCP SD=domain) | (UDP SD=domain))"},
      {"host1:ssh", "((TCP SD=ssh)) & (IP SD=host1)"},
      {":tftp", "((UDP SD=tftp))"},
      {"10.1.1.1:", "(IP SD=10.1.1.1)"},
  };
  for (const Case &c : cases) {
    const char *r = kav_filt_short(c.text);
    ASSERT_NE(r, nullptr) << c.text << ": " << tvl_usrmsg;
    EXPECT_STREQ(r, c.message) << c.text;
  }
  // What it produces is a valid expression.
  void *f = kav_filt_parse(kav_filt_short("127.0.0.1:!ssh"), nullptr);
  EXPECT_NE(f, nullptr) << tvl_usrmsg;
  kav_filt_free(f);
}

TEST(KavFiltShort, Failures) {
  EXPECT_EQ(kav_filt_short(""), nullptr);
  EXPECT_STREQ(tvl_usrmsg, "filter-spec evaluated to a null expression");
  EXPECT_EQ(kav_filt_short("  :  "), nullptr);
  EXPECT_STREQ(tvl_usrmsg, "filter-spec evaluated to a null expression");
  EXPECT_EQ(kav_filt_short("10.1.1.1:NoSuchService"), nullptr);
  EXPECT_STREQ(tvl_usrmsg, "Unknown TCP/UDP service, 'nosuchservice'");
}

}  // namespace
