// The bridge's two links to the gateway: the receive port, read as a stream
// of line-delimited documents, and the send port, one connection per command.
// Both are plain TCP over IPv4; the OS calls stay here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Opens a non-blocking connection to host:port. The descriptor, or -1 when
// the address is bad or the connection is refused at once.
int LinkConnect(const std::string& host, uint16_t port);

// Reads what is waiting on fd and appends every complete line (the line feed
// removed) to *docs; the unfinished rest stays in *partial. 0 once the peer
// closed or the read failed (the caller closes fd), else 1.
int LinkReadDocs(int fd, std::string* partial, std::vector<std::string>* docs);

// Passes one command to the send port and waits up to timeoutMs for the
// reply, which ends when the gateway closes. 1 with the reply (line feed
// removed) in *reply; 0 with the reason in *reply when the port cannot be
// reached or gave no reply.
int LinkCommand(const std::string& host, uint16_t port, const std::string& command,
                int timeoutMs, std::string* reply);
