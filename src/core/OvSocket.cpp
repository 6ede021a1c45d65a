// TCP server sockets for the receive and send ports. Both tasks poll their
// listening sockets, so every socket here is non-blocking.
#include "OvSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  // A burst of clients connecting at once (a fleet's bridges, a reconnect
  // storm) must not be refused while the task is busy elsewhere.
  if (listen(s, SOMAXCONN) < 0) {
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

bool SocketSendAll(int fd, const void* buf, unsigned long length) {
  ssize_t sent = send(fd, buf, length, MSG_NOSIGNAL);
  return sent >= 0 && static_cast<unsigned long>(sent) == length;
}
