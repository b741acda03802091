// Server socket: bind, listen and accept.
#ifndef TOVAFC_SERVER_SOCKET_H
#define TOVAFC_SERVER_SOCKET_H

#include "socket.h"

namespace tovafc {

class TovServerSocket : public TovSocket {
 public:
  TovServerSocket(const unsigned int *ipaddr, int port, bool tcp = true)
      : TovSocket(true, ipaddr, port, tcp) {}
  TovServerSocket(const char *host, const char *port, bool tcp = true)
      : TovSocket(true, host, port, tcp) {}
  explicit TovServerSocket(const char *spec, bool tcp = true) : TovSocket(true, spec, tcp) {}
  ~TovServerSocket() override;

  void activate();
  // The accepted connection (owned by the caller), or none.
  TovSocket *accept();
  void reject();
};

}  // namespace tovafc

#endif
