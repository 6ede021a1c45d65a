// TCP server sockets for the receive and send ports. Both tasks poll their
// listening sockets, so every socket here is non-blocking.
#include "OvSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "OvIo.h"
#include "OvPrintErr.h"

int SocketOpenServer(uint16_t port, int* fd, sockaddr_in* address) {
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
  address->sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<sockaddr*>(address), sizeof *address) < 0) {
    return PrintErr("Failed to bind socket to port %d. errno=%s", port, PrintErrNo(errno));
  }
  if (listen(s, 20) < 0) {
    return PrintErr("Failed to listen on socket. errno=%s", PrintErrNo(errno));
  }
  return 1;
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
    backOff->resumeMs = IoMonotonicRawMs() + SOCKET_BACKOFF_MS;
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
  *waitMs = static_cast<int>(backOff->resumeMs - nowMs);
  return false;
}

bool SocketSendAll(int fd, const void* buf, unsigned long length) {
  ssize_t sent = send(fd, buf, length, MSG_NOSIGNAL);
  return sent >= 0 && static_cast<unsigned long>(sent) == length;
}
