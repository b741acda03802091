#include "server_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "exception.h"
#include "log.h"

namespace tovafc {

TovServerSocket::~TovServerSocket() = default;

void TovServerSocket::activate() {
  int one = 1;
  if (setsockopt(fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    throw TovException(2, "Failed to set sockopt(REUSEADDR) for %s", name());
  if (bind(fd(), (const sockaddr *)&addr_, sizeof addr_) != 0) throw TovException(12, "Failed to bind socket %s", name());
  if (tcp_ && listen(fd(), 1024) != 0) throw TovException(2, "Failed to listen on socket %s", name());
  tovlog(4, "Socket: Listening on %d=%s", fd(), name());
}

TovSocket *TovServerSocket::accept() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  int nfd;
  do {
    len = sizeof peer;
    nfd = ::accept4(fd(), (sockaddr *)&peer, &len, SOCK_CLOEXEC);
  } while (nfd < 0 && errno == EINTR);
  if (nfd < 0) {
    tovlog(5, "Socket %d=%s accept(%s) returned %d (%d)", fd(), name(), "_UNASSIGNED_", -1, errno);
    return nullptr;
  }
  TovSocket *s = new TovSocket(nfd, peer, tcp_);
  tovlog(5, "Socket %d=%s accept(%s) returned %d (%d)", fd(), name(), s->name(), nfd, 0);
  return s;
}

void TovServerSocket::reject() { delete accept(); }

}  // namespace tovafc
