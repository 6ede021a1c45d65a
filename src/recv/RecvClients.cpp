// Receive-port clients: direct sends while a client keeps up, a bounded
// queue while it does not.
#include "recv/RecvClients.h"

#include "core/OvClosers.h"
#include "core/OvSocket.h"

namespace {

// Bytes sent from the queue's head are given back once they are the larger
// half, so a queue never costs more than twice what it holds.
void Compact(tRecvClient* client) {
  if (client->head == client->pending.size()) {
    client->pending.clear();
    client->head = 0;
  } else if (client->head > client->pending.size() / 2) {
    client->pending.erase(0, client->head);
    client->head = 0;
  }
}

tRecvClientFate Overflow(tRecvClient* client) {
  // The peer may hold part of a document: a reset tells it the stream was
  // cut, and the kernel frees what it still buffers for it at once.
  SocketCloseAbort(&client->fd);
  client->pending.clear();
  client->pending.shrink_to_fit();
  client->head = 0;
  return tRecvClientFate::Overflow;
}

tRecvClientFate Gone(tRecvClient* client) {
  RecvClientClose(client);
  return tRecvClientFate::Gone;
}

}  // namespace

tRecvClientFate RecvClientOffer(tRecvClient* client, const char* bytes, size_t length,
                                size_t bound) {
  size_t sent = 0;
  if (client->Queued() == 0) {
    long n = SocketSendSome(client->fd, bytes, length);
    if (n < 0) return Gone(client);
    sent = static_cast<size_t>(n);
    if (sent == length) return tRecvClientFate::Stays;
  }
  size_t rest = length - sent;
  if (client->Queued() + rest > bound) return Overflow(client);
  client->pending.append(bytes + sent, rest);
  return tRecvClientFate::Stays;
}

tRecvClientFate RecvClientFlush(tRecvClient* client) {
  if (client->Queued() == 0) return tRecvClientFate::Stays;
  long n = SocketSendSome(client->fd, client->pending.data() + client->head, client->Queued());
  if (n < 0) return Gone(client);
  client->head += static_cast<size_t>(n);
  Compact(client);
  return tRecvClientFate::Stays;
}

void RecvClientClose(tRecvClient* client) {
  FdClose(&client->fd);
  client->pending.clear();
  client->pending.shrink_to_fit();
  client->head = 0;
}
