// Listening TCP server sockets on one IPv4 address (or every interface), and
// non-blocking accept.
#pragma once

#include <netinet/in.h>
#include <cstdint>

// Opens a non-blocking listening socket on `bindAddress` (dotted-quad IPv4
// text, "0.0.0.0" for every interface) and `port`, with the system's largest
// backlog. The descriptor is stored in *fd as soon as the socket exists, so
// after a failed bind or listen the caller still owns (and must close) it.
// Non-zero on success, 0 with g_error ("Invalid bindAddress: ..." for text
// that is no IPv4 address).
int SocketOpenServer(const char* bindAddress, uint16_t port, int* fd, sockaddr_in* address);

// Accepts one waiting connection into *clientFd (negative when none) and makes
// it non-blocking. Non-zero when a client was accepted; 0 otherwise, silently.
int SocketAcceptNonBlock(int listenFd, int* clientFd);

// Sends all of buf in one call with MSG_NOSIGNAL; true only when every byte
// was taken (a closed peer yields false, never SIGPIPE).
bool SocketSendAll(int fd, const void* buf, unsigned long length);
