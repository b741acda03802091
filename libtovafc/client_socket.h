// Client socket connecting blocking (with an optional time limit) or
// asynchronously through the event manager.
#ifndef TOVAFC_CLIENT_SOCKET_H
#define TOVAFC_CLIENT_SOCKET_H

#include <memory>

#include "socket.h"

namespace tovafc {

class TovClientSocket;
class ImplClientSocket;

class TovSocketsClient {
 public:
  // result: 0, the errno of the failure, -1 result unreadable, -2 cancelled.
  virtual void socketConnected(TovClientSocket *socket, int result) = 0;
  virtual ~TovSocketsClient() = default;
};

class TovClientSocket : public TovSocket {
 public:
  TovClientSocket(const unsigned int *ipaddr, int port, bool tcp = true);
  TovClientSocket(const char *host, const char *port, bool tcp = true);
  explicit TovClientSocket(const char *spec, bool tcp = true);
  ~TovClientSocket() override;

  // Blocking without caller: 0, errno value, or -1 on timeout.
  // With caller: 1 when socketConnected() was already called, 0 when it will follow.
  int connect(TovSocketsClient *caller = nullptr, int timeout_ms = 0);
  void destroy();
  bool connected() const;

 private:
  bool cancelAIO();
  std::unique_ptr<ImplClientSocket> pimpl;
  friend class ImplClientSocket;
};

}  // namespace tovafc

#endif
