#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client_socket.h"
#include "evtmgr.h"
#include "exception.h"
#include "server_socket.h"
#include "testutil.h"

using namespace tovafc;

namespace {
class SocketTest : public fctest::FreshEvtMgr {};

int boundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, (sockaddr *)&a, &len);
  return ntohs(a.sin_port);
}

// A listening server on an ephemeral loopback port.
struct Server {
  unsigned int lo = htonl(INADDR_LOOPBACK);
  TovServerSocket sock;
  int port;
  explicit Server(bool tcp = true) : sock(&lo, 0, tcp) {
    sock.activate();
    port = boundPort(sock.fd());
  }
};

// A TCP socket bound to an ephemeral loopback port; -1 when it cannot be had.
int loopbackSocket() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && bind(fd, (sockaddr *)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A port on loopback with nothing listening.
int closedPort() {
  int fd = loopbackSocket();
  int p = boundPort(fd);
  close(fd);
  return p;
}

long long msNow() {
  timeval t;
  gettimeofday(&t, nullptr);
  return (long long)t.tv_sec * 1000 + t.tv_usec / 1000;
}
}  // namespace

TEST_F(SocketTest, NamesFromHostPortTexts) {
  TovClientSocket c(":80");
  EXPECT_STREQ("C/TCP-127.0.0.1:80", c.name());
  EXPECT_EQ(htonl(INADDR_LOOPBACK), c.address().sin_addr.s_addr);
  EXPECT_EQ(htons(80), c.address().sin_port);
  TovServerSocket s(":80");
  EXPECT_STREQ("S/TCP-0.0.0.0:80", s.name());
  TovClientSocket u("127.0.0.1:5000", false);
  EXPECT_STREQ("C/UDP-127.0.0.1:5000", u.name());
  TovClientSocket unconnected("", false);
  EXPECT_STREQ("C/UDP-unconnected", unconnected.name());
  EXPECT_EQ(0, unconnected.address().sin_port);
  TovServerSocket byPort("8080", false);
  EXPECT_STREQ("S/UDP-0.0.0.0:8080", byPort.name());
  TovClientSocket hostPort("localhost", "81");
  EXPECT_STREQ("C/TCP-127.0.0.1:81", hostPort.name());
  try {
    TovClientSocket bad((const char *)nullptr, true);
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(3, e.err());
    EXPECT_STREQ("Socket: Null address spec for TCP Client", e.what());
  }
}

TEST_F(SocketTest, PortAndAddressLookups) {
  EXPECT_EQ(5000, TovSocket::portnumber("5000"));
  EXPECT_EQ(-1, TovSocket::portnumber("0"));
  EXPECT_EQ(-1, TovSocket::portnumber("no-such-service-here"));
  EXPECT_EQ(-1, TovSocket::portnumber("70000"));
  if (servent *se = getservbyname("domain", "udp")) {
    EXPECT_EQ(ntohs((uint16_t)se->s_port), TovSocket::portnumber("domain", false));
  }
  unsigned int a = 0;
  EXPECT_EQ(0, TovSocket::ipaddr("10.1.2.3", &a));
  EXPECT_EQ(inet_addr("10.1.2.3"), a);
  EXPECT_EQ(0, TovSocket::ipaddr("255.255.255.255", &a));
  EXPECT_EQ(0xffffffffu, a);
  EXPECT_EQ(0, TovSocket::ipaddr("localhost", &a));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), a);
  for (const char *bad : {"0", "nosuchsvc"}) {
    try {
      TovClientSocket c("127.0.0.1", bad);
      ADD_FAILURE() << bad;
    } catch (const TovException &e) {
      EXPECT_EQ(8, e.err());
      EXPECT_EQ(std::string("Bad portspec (") + bad + ")", e.what());
    }
  }
}

TEST_F(SocketTest, TcpConnectAcceptAndExchange) {
  Server srv;
  TovClientSocket c("127.0.0.1", std::to_string(srv.port).c_str());
  EXPECT_EQ(0, c.connect());
  EXPECT_TRUE(c.connected());
  std::unique_ptr<TovSocket> peer(srv.sock.accept());
  ASSERT_TRUE(peer);
  std::string expect = "caller-127.0.0.1:" + std::to_string(ntohs([&] {
                         sockaddr_in a{};
                         socklen_t l = sizeof a;
                         getsockname(c.fd(), (sockaddr *)&a, &l);
                         return a.sin_port;
                       }()));
  EXPECT_EQ(expect.substr(0, 24), peer->name());
  EXPECT_EQ(5, TovFile::bwrite(c.fd(), "hello", 5));
  char buf[5];
  EXPECT_EQ(5, TovFile::bread(peer->fd(), buf, 5));
  EXPECT_EQ(0, memcmp(buf, "hello", 5));
  try {
    c.connect();
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(6, e.err());
    EXPECT_EQ(std::string("Socket: Duplicate connection on ") + c.name(), e.what());
  }
  // reject() accepts and closes at once
  TovClientSocket c2("127.0.0.1", std::to_string(srv.port).c_str());
  EXPECT_EQ(0, c2.connect());
  srv.sock.reject();
  char x;
  EXPECT_EQ(0, read(c2.fd(), &x, 1));
}

TEST_F(SocketTest, BindConflictIsCode12) {
  Server srv;
  unsigned int lo = htonl(INADDR_LOOPBACK);
  TovServerSocket other(&lo, srv.port);
  // SO_REUSEADDR does not allow two listeners on one port.
  try {
    other.activate();
    FAIL();
  } catch (const TovException &e) {
    EXPECT_EQ(12, e.err());
    EXPECT_EQ(std::string("Failed to bind socket ") + other.name(), e.what());
  }
}

TEST_F(SocketTest, BlockingConnectRefused) {
  TovClientSocket c("127.0.0.1", std::to_string(closedPort()).c_str());
  EXPECT_EQ(ECONNREFUSED, c.connect());
  EXPECT_FALSE(c.connected());
}

TEST_F(SocketTest, ConnectTimeLimitInWholeSeconds) {
  // A listener that never accepts and has a full queue drops further handshakes.
  int l = loopbackSocket();
  ASSERT_GE(l, 0);
  ASSERT_EQ(0, listen(l, 0));
  int port = boundPort(l);
  std::vector<std::unique_ptr<TovClientSocket>> fillers;
  long long t0 = 0, took = 0;
  int rc = 0;
  for (int i = 0; i < 8; i++) {
    auto c = std::make_unique<TovClientSocket>("127.0.0.1", std::to_string(port).c_str());
    t0 = msNow();
    rc = c->connect(nullptr, 1500);
    took = msNow() - t0;
    fillers.push_back(std::move(c));
    if (rc == -1) break;
  }
  close(l);
  ASSERT_EQ(-1, rc);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 1900);  // 1500 ms becomes one second
  EXPECT_EQ(0u, alarm(0));
}

namespace {
struct Caller : TovSocketsClient {
  int calls = 0, result = 99;
  TovClientSocket *sock = nullptr;
  void socketConnected(TovClientSocket *s, int r) override {
    calls++;
    result = r;
    sock = s;
    if (TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE)) em->stopDispatcher();
  }
};
}  // namespace

TEST_F(SocketTest, AsyncConnectRefusedAndAccepted) {
  for (const char *armode : {"", "y"}) {
    TovEvtMgr::destroy();
    setenv("TOVA_EM_ARMODE", armode, 1);
    {
      TovClientSocket c("127.0.0.1", std::to_string(closedPort()).c_str());
      Caller who;
      int rc = c.connect(&who);
      if (rc == 0) TovEvtMgr::instance()->startDispatcher();
      EXPECT_EQ(1, who.calls) << armode;
      EXPECT_EQ(ECONNREFUSED, who.result) << armode;
      EXPECT_EQ(&c, who.sock);
    }
    TovEvtMgr::destroy();
    {
      Server srv;
      TovClientSocket c("127.0.0.1", std::to_string(srv.port).c_str());
      Caller who;
      int rc = c.connect(&who);
      if (rc == 0) TovEvtMgr::instance()->startDispatcher();
      EXPECT_EQ(1, who.calls);
      EXPECT_EQ(0, who.result) << armode;
      EXPECT_TRUE(c.connected());
      std::unique_ptr<TovSocket> peer(srv.sock.accept());
      EXPECT_TRUE(peer);
    }
  }
}

TEST_F(SocketTest, AsyncConnectDestroyedWhilePending) {
  setenv("TOVA_EM_ARMODE", "y", 1);
  int l = loopbackSocket();
  ASSERT_GE(l, 0);
  ASSERT_EQ(0, listen(l, 0));
  int port = boundPort(l);
  // fill the queue so that the asynchronous attempt stays in progress
  std::vector<std::unique_ptr<TovClientSocket>> fillers;
  for (int i = 0; i < 3; i++) {
    fillers.push_back(std::make_unique<TovClientSocket>("127.0.0.1", std::to_string(port).c_str()));
    fillers.back()->connect(nullptr, 1000);
  }
  auto *c = new TovClientSocket("127.0.0.1", std::to_string(port).c_str());
  Caller who;
  int rc = c->connect(&who);
  if (rc == 0) {
    c->destroy();  // posted cancellation: deleted once it is carried out
    TovEvtMgr::instance()->stopDispatcher();
    TovEvtMgr::instance()->startDispatcher();
    EXPECT_EQ(0, who.calls);
  } else {
    delete c;
  }
  close(l);
}

TEST_F(SocketTest, UdpServerAndClient) {
  Server srv(false);
  TovClientSocket c("127.0.0.1", std::to_string(srv.port).c_str(), false);
  EXPECT_EQ(0, c.connect());
  ASSERT_EQ(4, send(c.fd(), "ping", 4, 0));
  char buf[16];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ASSERT_EQ(4, recvfrom(srv.sock.fd(), buf, sizeof buf, 0, (sockaddr *)&from, &len));
  EXPECT_EQ(0, memcmp(buf, "ping", 4));
  ASSERT_EQ(4, sendto(srv.sock.fd(), "pong", 4, 0, (sockaddr *)&from, len));
  ASSERT_EQ(4, recv(c.fd(), buf, sizeof buf, 0));
  EXPECT_EQ(0, memcmp(buf, "pong", 4));
}
