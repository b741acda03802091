// IPv4 stream and datagram sockets built from host:port specifications.
#ifndef TOVAFC_SOCKET_H
#define TOVAFC_SOCKET_H

#include <netinet/in.h>

#include "file.h"

namespace tovafc {

class TovSocket : public TovFile {
 public:
  TovSocket(bool server, const unsigned int *ipaddr, int port, bool tcp = true);
  TovSocket(bool server, const char *host, const char *port, bool tcp = true);
  // spec: host:port, :port or port.
  TovSocket(bool server, const char *spec, bool tcp = true);
  ~TovSocket() override;

  static int portnumber(const char *spec, bool tcp = true);
  static int ipaddr(const char *spec, unsigned int *out);

  const sockaddr_in &address() const { return addr_; }
  bool tcp() const { return tcp_; }
  bool server() const { return server_; }

 protected:
  // An accepted connection.
  TovSocket(int fd, const sockaddr_in &peer, bool tcp);
  void setup(const char *host, const char *port);
  void setup(const unsigned int *ipaddr, int port);

  sockaddr_in addr_{};
  bool tcp_ = true;
  bool server_ = false;
  friend class TovServerSocket;
};

}  // namespace tovafc

#endif
