// TCP links to the gateway's receive and send ports.
#include "BridgeLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "core/OvSocket.h"

int LinkConnect(const std::string& host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    FdClose(&fd);
  }
  return fd;
}

int LinkReadDocs(int fd, std::string* partial, std::vector<std::string>* docs) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return 0;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    partial->append(buf, static_cast<size_t>(n));
    size_t start = 0, end;
    while ((end = partial->find('\n', start)) != std::string::npos) {
      if (end > start) docs->emplace_back(*partial, start, end - start);
      start = end + 1;
    }
    partial->erase(0, start);
  }
}

namespace {

// Waits for `events` on fd until the monotonic deadline; 1 when ready.
int WaitFor(int fd, short events, int64_t deadlineMs) {
  int64_t left = deadlineMs - IoMonotonicMs();
  short revents = 0;
  return left > 0 && IoPollOne(fd, events, static_cast<int>(left), &revents) == 1;
}

}  // namespace

int LinkCommand(const std::string& host, uint16_t port, const std::string& command,
                int timeoutMs, std::string* reply) {
  int64_t deadline = IoMonotonicMs() + timeoutMs;
  reply->clear();
  int fd = LinkConnect(host, port);
  int error = 0;
  socklen_t length = sizeof error;
  if (fd < 0 || !WaitFor(fd, POLLOUT, deadline) ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0 ||
      !SocketSendAll(fd, command.data(), command.size())) {
    FdClose(&fd);
    *reply = "Send port unreachable";
    return 0;
  }
  char buf[4096];
  ssize_t n = 1;
  while (n > 0 && WaitFor(fd, POLLIN, deadline)) {
    n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) reply->append(buf, static_cast<size_t>(n));
  }
  FdClose(&fd);
  while (!reply->empty() && (reply->back() == '\n' || reply->back() == '\r')) reply->pop_back();
  if (reply->empty()) *reply = "No reply from the send port";
  return n == 0 && reply->front() == '{';
}
