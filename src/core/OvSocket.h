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
// SocketOpenServer over a port held in *fd: the old socket (if any) is
// closed first, and on failure nothing is left open (*fd -1).
int SocketReopenServer(const char* bindAddress, uint16_t port, int* fd, sockaddr_in* address);

// Accepts one waiting connection into *clientFd (negative when none) and makes
// it non-blocking. Non-zero when a client was accepted; 0 otherwise, silently.
int SocketAcceptNonBlock(int listenFd, int* clientFd);

// How long a listening socket rests after accept ran out of descriptors.
constexpr int SOCKET_BACKOFF_MS = 200;

// Back-off of one listening socket while the process (EMFILE) or the system
// (ENFILE) has no descriptor left. A waiting connection keeps the socket
// readable, so polling it then would spin: the task leaves it out of its
// poll until the rest is over. Zero-initialised means "not backing off".
struct tAcceptBackOff {
  long long resumeMs = 0;  // IoMonotonicMs before which not to accept
  bool logged = false;     // exhaustion reported; cleared by the next accept
};

// SocketAcceptNonBlock that notices exhaustion: on EMFILE/ENFILE it prints
// "<what>: out of descriptors, accepting paused" once per exhaustion and
// starts a rest of SOCKET_BACKOFF_MS. Same result convention.
int SocketAcceptBackOff(int listenFd, int* clientFd, tAcceptBackOff* backOff, const char* what);
// Whether the listening socket belongs in the poll at nowMs; when not,
// *waitMs (the caller's poll time-out, -1 for none) is shortened to the
// rest's remaining milliseconds (>= 1) if they end sooner. *waitMs is
// untouched otherwise.
bool SocketAcceptReady(const tAcceptBackOff* backOff, long long nowMs, int* waitMs);

// Sends all of buf in one call with MSG_NOSIGNAL; true only when every byte
// was taken (a closed peer yields false, never SIGPIPE).
bool SocketSendAll(int fd, const void* buf, unsigned long length);

// One non-blocking send with MSG_NOSIGNAL: the bytes taken (0 when the
// socket is full), or -1 when the peer is gone or the send failed.
long SocketSendSome(int fd, const void* buf, unsigned long length);

// Closes *fd with a reset instead of an orderly end (SO_LINGER 0), so the
// peer learns that the stream was cut and the kernel drops what is still
// unsent at once; sets -1.
void SocketCloseAbort(int* fd);

// "a.b.c.d:port" of the peer into buf (size bytes); "?" when unknown.
void SocketPeerName(int fd, char* buf, unsigned long size);
