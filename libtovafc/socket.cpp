#include "socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exception.h"
#include "log.h"
#include "tova.h"

namespace tovafc {

TovSocket::TovSocket(bool server, const unsigned int *ipaddr, int port, bool tcp) : tcp_(tcp), server_(server) {
  setup(ipaddr, port);
}

TovSocket::TovSocket(bool server, const char *host, const char *port, bool tcp) : tcp_(tcp), server_(server) {
  setup(host, port);
}

TovSocket::TovSocket(bool server, const char *spec, bool tcp) : tcp_(tcp), server_(server) {
  if (!spec || !*spec) {
    TovAssertFull(!tcp && !server, "Socket: Null address spec for %s %s", tcp ? "TCP" : "UDP",
                  server ? "Server" : "Client");
    setup((const unsigned int *)nullptr, -1);
    return;
  }
  std::string s = spec;
  size_t colon = s.find(':');
  if (colon == std::string::npos) {
    setup(nullptr, s.c_str());
  } else {
    std::string host = s.substr(0, colon);
    std::string port = s.substr(colon + 1);
    setup(host.c_str(), port.c_str());
  }
}

TovSocket::TovSocket(int fd, const sockaddr_in &peer, bool tcp) : addr_(peer), tcp_(tcp), server_(false) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  std::string name = std::string("caller-") + ip + ":" + std::to_string(ntohs(peer.sin_port));
  if (name.size() > 24) name.resize(24);
  assign(fd, name.c_str(), true);
}

TovSocket::~TovSocket() = default;

int TovSocket::portnumber(const char *spec, bool tcp) {
  if (!spec || !*spec) return -1;
  if (isdecstr(spec)) {
    long n = strtol(spec, nullptr, 10);
    if (n > 0 && n <= 65535) return (int)n;
    if (n > 65535) return -1;
  }
  struct servent *se = getservbyname(spec, tcp ? "tcp" : "udp");
  if (!se) return -1;
  return (int)ntohs((uint16_t)se->s_port);
}

int TovSocket::ipaddr(const char *spec, unsigned int *out) {
  if (!spec || !*spec) return 1;
  in_addr_t a = inet_addr(spec);
  if (a != INADDR_NONE || !strcmp(spec, "255.255.255.255")) {
    *out = a;
    return 0;
  }
  struct hostent *he = gethostbyname(spec);
  if (!he || he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list[0]) return 1;
  memcpy(out, he->h_addr_list[0], 4);
  return 0;
}

void TovSocket::setup(const char *host, const char *port) {
  unsigned int a = 0;
  bool have = host && *host;
  if (have && ipaddr(host, &a) != 0) throw TovException(8, "Bad hostspec (%s)", host);
  int p = portnumber(port, tcp_);
  if (p < 0) throw TovException(8, "Bad portspec (%s)", port ? port : "");
  setup(have ? &a : nullptr, p);
}

void TovSocket::setup(const unsigned int *ip, int port) {
  memset(&addr_, 0, sizeof addr_);
  std::string name = std::string(server_ ? "S/" : "C/") + (tcp_ ? "TCP-" : "UDP-");
  if (port == -1) {
    name += "unconnected";
  } else {
    addr_.sin_family = AF_INET;
    addr_.sin_port = htons((uint16_t)port);
    if (ip)
      addr_.sin_addr.s_addr = *ip;
    else
      addr_.sin_addr.s_addr = server_ ? htonl(INADDR_ANY) : htonl(INADDR_LOOPBACK);
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr_.sin_addr, dotted, sizeof dotted);
    name += std::string(dotted) + ":" + std::to_string(port);
  }
  int fd = socket(AF_INET, (tcp_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) throw TovException(2, "Failed to create %s socket", name.c_str());
  assign(fd, name.c_str(), true);
}

}  // namespace tovafc
