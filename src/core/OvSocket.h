// Listening TCP server sockets on every IPv4 interface, and non-blocking accept.
#pragma once

#include <netinet/in.h>
#include <cstdint>

// Opens a non-blocking listening socket on `port`. The descriptor is stored
// in *fd as soon as the socket exists, so after a failed bind or listen the
// caller still owns (and must close) it. Non-zero on success, 0 with g_error.
int SocketOpenServer(uint16_t port, int* fd, sockaddr_in* address);

// Accepts one waiting connection into *clientFd (negative when none) and makes
// it non-blocking. Non-zero when a client was accepted; 0 otherwise, silently.
int SocketAcceptNonBlock(int listenFd, int* clientFd);

// Sends all of buf in one call with MSG_NOSIGNAL; true only when every byte
// was taken (a closed peer yields false, never SIGPIPE).
bool SocketSendAll(int fd, const void* buf, unsigned long length);
