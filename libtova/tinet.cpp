// IPv4 address and interface queries.
#include "tova.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

int tinet_getsrvsock(int *sock, int port)
{
  int s;
  while ((s = socket(AF_INET, SOCK_STREAM, 0)) == -1 && errno == EINTR) {
  }
  if (s == -1) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_getsrvsock: socket() failed (errno=%d)", errno);
    return -1;
  }
  int on = 1, rc;
  while ((rc = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on)) == -1 && errno == EINTR) {
  }
  if (rc == -1) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_getsrvsock: setsockopt() failed (errno=%d)", errno);
    close(s);
    return -1;
  }
  struct sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  sin.sin_port = htons(static_cast<uint16_t>(port));
  while ((rc = bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin)) == -1 && errno == EINTR) {
  }
  if (rc == -1) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_getsrvsock: bind() failed on port=%d (errno=%d)", port, errno);
    close(s);
    return -1;
  }
  while ((rc = listen(s, 5)) == -1 && errno == EINTR) {
  }
  if (rc == -1) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_getsrvsock: listen() failed on port %d (errno=%d)", port, errno);
    close(s);
    return -1;
  }
  *sock = s;
  return 0;
}

int tinet_dotted_ip(const char *s)
{
  int dots = 0;
  char prev = '.';  // a leading dot counts as two dots together
  for (const char *p = s; *p; prev = *p++) {
    if (*p == '.') {
      if (prev == '.')
        return 0;
      dots++;
    } else if (*p < '0' || *p > '9') {
      return 0;
    }
  }
  return dots == 3 && prev != '.';
}

int tinet_str2ipaddr(const char *name, unsigned int *addr)
{
  struct utsname un;
  if (name == nullptr) {
    if (uname(&un) == -1) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_str2ipaddr: uname() failed (errno=%d)", errno);
      return -1;
    }
    name = un.nodename;
  }
  if (tinet_dotted_ip(name)) {
    struct in_addr in;
    if (inet_pton(AF_INET, name, &in) == 1) {
      *addr = in.s_addr;
      return 0;
    }
  }
  struct hostent *h;
  do {
    h = gethostbyname(name);
  } while (h == nullptr && h_errno == TRY_AGAIN && errno == EINTR);
  if (h == nullptr) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "tinet_str2ipaddr: gethostbyname() failed on (%s) [errno=%d, h_errno=%d]",
             name, errno, h_errno);
    return -1;
  }
  if (h->h_addrtype != AF_INET || h->h_length != 4) {
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg,
             "tinet_str2ipaddr: gethostbyname(%s) returned non-inet address (type %d)", name, h->h_addrtype);
    return -1;
  }
  memcpy(addr, h->h_addr_list[0], 4);
  return 0;
}

int sock_get_ipifs(struct ifconf *list, int *sock)
{
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == -1) {
    int err = errno;
    snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "socket() failed, errno=%d [%s]", err, strerror(err));
    return -1;
  }
  int size = 0;
  char *buf = nullptr;
  // The kernel gives no hint of the size needed: grow until the answer no
  // longer fills the buffer exactly.
  for (;;) {
    size += 400;
    char *nbuf = static_cast<char *>(realloc(buf, size));
    if (nbuf == nullptr) {
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "Failed to malloc %d bytes, for list of %d IP interfaces", size,
               size / static_cast<int>(sizeof(struct ifreq)));
      free(buf);
      close(s);
      return -1;
    }
    buf = nbuf;
    list->ifc_len = size;
    list->ifc_buf = buf;
    if (ioctl(s, SIOCGIFCONF, list) == -1) {
      int err = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "SIOCGIFCONF ioctl failed, errno=%d [%s]", err, strerror(err));
      free(buf);
      list->ifc_buf = nullptr;
      close(s);
      return -1;
    }
    if (list->ifc_len < size)
      break;
  }
  if (sock != nullptr)
    *sock = s;
  else
    close(s);
  return list->ifc_len / static_cast<int>(sizeof(struct ifreq));
}

int tinet_ipaddr_to_ifnam(const unsigned int *addr, char *name)
{
  struct ifconf ifc{};
  int s = -1;
  int n = sock_get_ipifs(&ifc, &s);
  if (n < 0)
    return -1;
  int rc = -1;
  strcpy(tvl_usrmsg, "no such interface");
  for (int i = 0; i < n; i++) {
    struct ifreq req = ifc.ifc_req[i];
    if (ioctl(s, SIOCGIFADDR, &req) == -1) {
      int err = errno;
      snprintf(tvl_usrmsg, sizeof tvl_usrmsg, "SIOCGIFADDR ioctl failed on interface %s, errno=%d (%s)",
               ifc.ifc_req[i].ifr_name, err, strerror(err));
      break;
    }
    auto *sin = reinterpret_cast<struct sockaddr_in *>(&req.ifr_addr);
    if (sin->sin_addr.s_addr == *addr) {
      strcpy(name, ifc.ifc_req[i].ifr_name);
      rc = 0;
      break;
    }
  }
  free(ifc.ifc_buf);
  close(s);
  return rc;
}
