// The bridge's TCP links to the gateway: the receive port, read as a stream
// of documents, and the send port, one connection per command. All of them
// non-blocking, plain TCP over IPv4; the OS calls stay here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Opens a non-blocking connection to host:port; it completes later (see
// LinkConnected). The descriptor, owned by the caller, or -1 when the
// address is bad or the connection is refused at once.
int LinkConnect(const std::string& host, uint16_t port);

// After poll reported a connecting descriptor writable or failed: 1 when the
// connection is up, 0 when it failed (the caller closes it).
int LinkConnected(int fd);

// One read of up to `size` bytes: the count (> 0); 0 when nothing is
// waiting; -1 once the peer closed or the read failed (the caller closes).
long LinkRead(int fd, char* buf, size_t size);
