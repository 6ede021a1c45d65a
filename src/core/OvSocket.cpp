// TCP server sockets for the receive and send ports. Both tasks poll their
// listening sockets, so every socket here is non-blocking.
#include "OvSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "OvClosers.h"
#include "OvIo.h"
#include "OvPrintErr.h"

int SocketOpenServer(const char* bindAddress, uint16_t port, int* fd, sockaddr_in* address) {
  in_addr host{};
  if (inet_pton(AF_INET, bindAddress, &host) != 1) {
    return PrintErr("Invalid bindAddress: %s", bindAddress);
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    return PrintErr("Failed to open socket. errno=%s", PrintErrNo(errno));
  }
  fcntl(s, F_SETFL, O_NONBLOCK);
  *fd = s;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(port);
  address->sin_addr = host;
  if (bind(s, reinterpret_cast<sockaddr*>(address), sizeof *address) < 0) {
    return PrintErr("Failed to bind socket to port %d. errno=%s", port, PrintErrNo(errno));
  }
  // Clients that connect all at once must not be left to their kernels'
  // retries while the thread is busy.
  if (listen(s, SOMAXCONN) < 0) {
    return PrintErr("Failed to listen on socket. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

int SocketReopenServer(const char* bindAddress, uint16_t port, int* fd, sockaddr_in* address) {
  FdClose(fd);
  if (SocketOpenServer(bindAddress, port, fd, address)) {
    return 1;
  }
  FdClose(fd);
  return 0;
}

int SocketAcceptNonBlock(int listenFd, int* clientFd) {
  *clientFd = accept(listenFd, nullptr, nullptr);
  if (*clientFd < 0) {
    return 0;
  }
  fcntl(*clientFd, F_SETFL, O_NONBLOCK);
  return 1;
}

int SocketAcceptBackOff(int listenFd, int* clientFd, tAcceptBackOff* backOff, const char* what) {
  if (SocketAcceptNonBlock(listenFd, clientFd)) {
    backOff->logged = false;
    return 1;
  }
  if (errno == EMFILE || errno == ENFILE) {
    backOff->resumeMs = IoMonotonicMs() + SOCKET_BACKOFF_MS;
    if (!backOff->logged) {
      printf("%s: out of descriptors, accepting paused\n", what);
      backOff->logged = true;
    }
  }
  return 0;
}

bool SocketAcceptReady(const tAcceptBackOff* backOff, long long nowMs, int* waitMs) {
  if (nowMs >= backOff->resumeMs) {
    return true;
  }
  const int rest = static_cast<int>(backOff->resumeMs - nowMs);
  if (*waitMs < 0 || rest < *waitMs) *waitMs = rest;
  return false;
}

bool SocketSendAll(int fd, const void* buf, unsigned long length) {
  ssize_t sent = send(fd, buf, length, MSG_NOSIGNAL);
  return sent >= 0 && static_cast<unsigned long>(sent) == length;
}

long SocketSendSome(int fd, const void* buf, unsigned long length) {
  ssize_t sent = send(fd, buf, length, MSG_NOSIGNAL);
  if (sent >= 0) {
    return static_cast<long>(sent);
  }
  return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

void SocketCloseAbort(int* fd) {
  if (*fd >= 0) {
    linger off{1, 0};
    setsockopt(*fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  }
  FdClose(fd);
}

void SocketPeerName(int fd, char* buf, unsigned long size) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  char ip[INET_ADDRSTRLEN] = "?";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET || !inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip)) {
    snprintf(buf, size, "?");
    return;
  }
  snprintf(buf, size, "%s:%u", ip, static_cast<unsigned>(ntohs(peer.sin_port)));
}
