#include "forked.h"
#include "tova.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

TEST(DottedIp, Shapes)
{
  EXPECT_EQ(tinet_dotted_ip("10.0.0.1"), 1);
  EXPECT_EQ(tinet_dotted_ip("10.0.0"), 0);
  EXPECT_EQ(tinet_dotted_ip(".10.0.0.1"), 0);
  EXPECT_EQ(tinet_dotted_ip("10.0.0.1."), 0);
  EXPECT_EQ(tinet_dotted_ip("10..0.1"), 0);
  EXPECT_EQ(tinet_dotted_ip("10.0.0.a"), 0);
  EXPECT_EQ(tinet_dotted_ip("1.2.3.4.5"), 0);
  EXPECT_EQ(tinet_dotted_ip(""), 0);
}

TEST(AddressLookup, DottedQuadsAndNames)
{
  unsigned int addr = 0;
  ASSERT_EQ(tinet_str2ipaddr("192.0.2.7", &addr), 0);
  EXPECT_EQ(ntohl(addr), 0xc0000207u);
  ASSERT_EQ(tinet_str2ipaddr("localhost", &addr), 0) << tvl_usrmsg;
  EXPECT_EQ(ntohl(addr) >> 24, 127u);
  EXPECT_EQ(tinet_str2ipaddr("no-such-host.invalid", &addr), -1);
  EXPECT_EQ(std::string(tvl_usrmsg).rfind("tinet_str2ipaddr: gethostbyname() failed on (no-such-host.invalid) [errno=", 0),
            0u)
      << tvl_usrmsg;
}

TEST(Interfaces, LoopbackIsListedAndFoundByAddress)
{
  struct ifconf ifc{};
  int sock = -1;
  int n = sock_get_ipifs(&ifc, &sock);
  ASSERT_GT(n, 0) << tvl_usrmsg;
  EXPECT_GE(sock, 0);
  bool found_lo = false;
  for (int i = 0; i < n; i++)
    found_lo |= strcmp(ifc.ifc_req[i].ifr_name, "lo") == 0;
  EXPECT_TRUE(found_lo);
  free(ifc.ifc_buf);
  close(sock);

  unsigned int lo = htonl(INADDR_LOOPBACK);
  char name[IFNAMSIZ] = {};
  ASSERT_EQ(tinet_ipaddr_to_ifnam(&lo, name), 0) << tvl_usrmsg;
  EXPECT_STREQ(name, "lo");
  unsigned int none = htonl(0xc0000263);
  EXPECT_EQ(tinet_ipaddr_to_ifnam(&none, name), -1);
  EXPECT_STREQ(tvl_usrmsg, "no such interface");
}

TEST(ServerSocket, ListensAndAccepts)
{
  int srv = -1;
  // port 0: the kernel picks a free one
  ASSERT_EQ(tinet_getsrvsock(&srv, 0), 0) << tvl_usrmsg;
  struct sockaddr_in sin{};
  socklen_t len = sizeof sin;
  getsockname(srv, reinterpret_cast<sockaddr *>(&sin), &len);
  int c = socket(AF_INET, SOCK_STREAM, 0);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
  int a = accept(srv, nullptr, nullptr);
  EXPECT_GE(a, 0);
  close(a);
  close(c);

  int again = -1;
  int port = ntohs(sin.sin_port);
  // the port is still held by srv, listening: a second listener must fail
  EXPECT_EQ(tinet_getsrvsock(&again, port), -1);
  EXPECT_EQ(std::string(tvl_usrmsg), "tinet_getsrvsock: bind() failed on port=" + std::to_string(port) + " (errno=98)");
  close(srv);
}

TEST(DataLink, Names)
{
  EXPECT_STREQ(dlp_proto2nam(4), "Ethernet");
  EXPECT_STREQ(dlp_proto2nam(0), "802.3 Ethernet");
  EXPECT_STREQ(dlp_proto2nam(8), "FDDI");
  EXPECT_STREQ(dlp_proto2nam(129), "Raw IP");
  EXPECT_STREQ(dlp_proto2nam(42), "<42>");
  EXPECT_STREQ(dlp_proto2nam(-1), "<4294967295>");
}

}  // namespace
