#include "client_socket.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "evtmgr.h"
#include "exception.h"
#include "fcsync.h"
#include "log.h"

namespace tovafc {

static FcLock &creat_mtx() {
  // Never destroyed: sockets may outlive static destruction order.
  static FcLock *m = new FcLock("ClientSocket.creat");
  return *m;
}

class ImplClientSocket : public TovAIO {
 public:
  explicit ImplClientSocket(TovClientSocket *s) : TovAIO(false, s->name()), socket(s) {}
  void aioReady(TovFile *file) override;
  void aioCancelled(TovFile *file, bool hangup, bool err) override;
  void notify(bool cancelled);

  bool connected = false;
  TovSocketsClient *caller = nullptr;
  bool destroyPending = false;
  bool readyStop = false;  // our own stop after writability is in flight
  TovClientSocket *socket;
};

void ImplClientSocket::aioReady(TovFile *file) {
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  if (!em || em->stopAIO(file, this)) {
    notify(false);
    return;
  }
  aioLock();
  readyStop = true;
  aioUnlock();
}

void ImplClientSocket::aioCancelled(TovFile *, bool hangup, bool err) {
  aioLock();
  bool destroying = destroyPending;
  bool outcome = readyStop || hangup || err;
  readyStop = false;
  if (destroying) caller = nullptr;
  aioUnlock();
  if (destroying) {
    delete socket;
    return;
  }
  // After writability or an error the socket holds the outcome; a plain
  // cancellation was asked for by the application.
  notify(!outcome);
}

void ImplClientSocket::notify(bool cancelled) {
  int result = -2;
  if (!cancelled) {
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(socket->fd(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) {
      tovlog(1, "getsockopt(ERROR) failed on %d=%s - errno=%d", socket->fd(), socket->name(), errno);
      result = -1;
    } else {
      result = soerr;
    }
  }
  aioLock();
  if (!caller) {
    aioUnlock();
    TovAssertFull(false, "Null caller for ClientSocket %d=%s", socket->fd(), socket->name());
  }
  TovSocketsClient *c = caller;
  caller = nullptr;
  if (result == 0) connected = true;
  aioUnlock();
  c->socketConnected(socket, result);
}

TovClientSocket::TovClientSocket(const unsigned int *ipaddr, int port, bool tcp)
    : TovSocket(false, ipaddr, port, tcp) {}
TovClientSocket::TovClientSocket(const char *host, const char *port, bool tcp) : TovSocket(false, host, port, tcp) {}
TovClientSocket::TovClientSocket(const char *spec, bool tcp) : TovSocket(false, spec, tcp) {}

TovClientSocket::~TovClientSocket() {
  if (!cancelAIO()) {
    tovlog(1, "ClientSocket destroyed while active - ABORT APP !");
    exit(1);
  }
  pimpl.reset();
}

bool TovClientSocket::connected() const {
  if (!pimpl) return false;
  pimpl->aioLock();
  bool c = pimpl->connected;
  pimpl->aioUnlock();
  return c;
}

bool TovClientSocket::cancelAIO() {
  if (!pimpl) return true;
  pimpl->aioLock();
  if (!pimpl->caller) {
    pimpl->aioUnlock();
    return true;
  }
  TovEvtMgr *em = TovEvtMgr::instance(TovEvtMgr::NOCREATE);
  bool done = !em || em->stopAIO(this, pimpl.get());
  if (done) pimpl->caller = nullptr;
  pimpl->aioUnlock();
  return done;
}

void TovClientSocket::destroy() {
  if (cancelAIO()) {
    delete this;
    return;
  }
  pimpl->aioLock();
  pimpl->destroyPending = true;
  pimpl->aioUnlock();
}

// One process-wide jump buffer: connects with a time limit are not re-entrant.
static sigjmp_buf conn_jmpbuf;
static volatile sig_atomic_t conn_jmp_armed;

extern "C" void tovafc_connect_alarm(int) {
  if (conn_jmp_armed) siglongjmp(conn_jmpbuf, 1);
}

int TovClientSocket::connect(TovSocketsClient *caller, int timeout_ms) {
  TovAssertFull(addr_.sin_port != 0, "Socket: Connect on %d=%s", fd(), name());
  {
    FcGuard g(creat_mtx());
    if (pimpl && pimpl->connected) throw TovException(6, "Socket: Duplicate connection on %s", name());
    if (!pimpl) pimpl = std::make_unique<ImplClientSocket>(this);
  }
  setBlockingMode(caller == nullptr);
  TovAssertFull(timeout_ms == 0 || caller == nullptr, "ClientSocket: tmt=%d for nonblocking %d=%s", timeout_ms, fd(),
                name());

  struct sigaction oldact {};
  volatile unsigned int oldalarm = 0;
  volatile bool timedout = false;
  if (timeout_ms != 0) {
    unsigned int secs = (unsigned)(timeout_ms / 1000);
    if (secs < 1) secs = 1;
    oldalarm = alarm(0);
    struct sigaction sa {};
    sa.sa_handler = tovafc_connect_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &oldact);
    if (sigsetjmp(conn_jmpbuf, 1) != 0) {
      timedout = true;
    } else {
      conn_jmp_armed = 1;
      alarm(secs);
    }
  }
  int rc = -1, err = 0;
  if (!timedout) {
    do {
      errno = 0;
      rc = ::connect(fd(), (const sockaddr *)&addr_, sizeof addr_);
      // A retried connect reports the first attempt's progress.
      if (rc != 0 && errno == EISCONN) rc = 0;
    } while (rc != 0 && errno == EINTR);
    err = rc == 0 ? 0 : errno;
  }
  if (timeout_ms != 0) {
    conn_jmp_armed = 0;
    alarm(0);
    sigaction(SIGALRM, &oldact, nullptr);
    if (oldalarm) alarm(oldalarm);
  }
  if (timedout) {
    tovlog(4, "Socket %d: connect(%s) = %d", fd(), name(), ETIMEDOUT);
    errno = ETIMEDOUT;
    return -1;
  }
  if (rc == 0) {
    pimpl->aioLock();
    pimpl->connected = true;
    pimpl->aioUnlock();
    errno = 0;
    tovlog(5, "Socket %d: connect(%s) = %d", fd(), name(), 0);
  } else {
    tovlog(4, "Socket %d: connect(%s) = %d", fd(), name(), err ? err : -2);
  }
  if (!caller) {
    errno = err;
    return rc == 0 ? 0 : (err ? err : -2);
  }
  if (rc == 0 || err != EINPROGRESS) {
    caller->socketConnected(this, err);
    return 1;
  }
  pimpl->aioLock();
  pimpl->caller = caller;
  pimpl->aioUnlock();
  if (!TovEvtMgr::instance(0)->startAIO(this, pimpl.get())) {
    pimpl->aioLock();
    pimpl->caller = nullptr;
    pimpl->aioUnlock();
    caller->socketConnected(this, -2);
    return 1;
  }
  return 0;
}

}  // namespace tovafc
