// One client of the receive port with its bounded output queue. The receive
// thread offers each batch of documents to every client; what a client's
// socket cannot take at once waits here, in order, until the socket is
// writable again, so a slow reader never holds up the thread or the others.
// Only a client whose queue would grow past the bound is dropped. Receive
// thread only.
#pragma once
#include <cstddef>
#include <string>

struct tRecvClient {
  int fd = -1;           // -1 once closed; the task removes such entries
  std::string pending;   // stream bytes the socket has not taken yet
  size_t head = 0;       // first byte of `pending` still to send
  char peer[24] = "?";   // "a.b.c.d:port", taken at accept for the drop line

  size_t Queued() const { return pending.size() - head; }
};

// What became of a client after an offer or a flush.
enum class tRecvClientFate {
  Stays,     // everything taken or queued within the bound
  Gone,      // the peer went away or the send failed: closed
  Overflow,  // the queue would pass the bound: closed with a reset
};

// Offers `length` bytes (whole documents with their delimiters) to the
// client: sent at once where the socket takes them, the rest queued behind
// what is already waiting. `bound` is the most bytes the queue may hold; 0
// drops the client at the first send that does not take the whole batch.
tRecvClientFate RecvClientOffer(tRecvClient* client, const char* bytes, size_t length,
                                size_t bound);
// Sends as much of the queue as the socket takes (call when writable).
tRecvClientFate RecvClientFlush(tRecvClient* client);
// Closes the client in an orderly way (nothing is lost that it took).
void RecvClientClose(tRecvClient* client);
