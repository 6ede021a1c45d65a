// A command's connection to the send port, one step at a time.
#include "BridgeCommand.h"

#include <vector>

#include "BridgeLink.h"
#include "core/OvClosers.h"
#include "core/OvSocket.h"

namespace {

constexpr const char* kUnreachable = "Send port unreachable";
constexpr const char* kNoReply = "No reply from the send port";

void Finish(tBridgeCommand* c, std::string result, bool answered) {
  FdClose(&c->fd);
  DocSplitReset(&c->reply);
  c->result = std::move(result);
  c->answered = answered;
  c->phase = tCommandPhase::Done;
}

// What is left when the gateway closed or the wait ended without a framed
// reply: a whole object without its delimiter is the reply; anything else
// is a reply cut off, reported as it stands.
void FinishUnframed(tBridgeCommand* c) {
  std::string rest = c->reply.partial;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
  if (rest.empty()) {
    Finish(c, kNoReply, false);
  } else {
    bool whole = rest.front() == '{' && rest.back() == '}';
    Finish(c, rest, whole);
  }
}

void Write(tBridgeCommand* c) {
  long n = SocketSendSome(c->fd, c->payload.data() + c->sent, c->payload.size() - c->sent);
  if (n < 0) {
    Finish(c, kNoReply, false);
    return;
  }
  c->sent += static_cast<size_t>(n);
  if (c->sent == c->payload.size()) c->phase = tCommandPhase::Awaiting;
}

void Read(tBridgeCommand* c) {
  char buf[4096];
  long n = LinkRead(c->fd, buf, sizeof buf);
  if (n == 0) return;
  if (n < 0) {
    FinishUnframed(c);
    return;
  }
  std::vector<std::string> docs;
  DocSplitFeed(&c->reply, buf, static_cast<size_t>(n), &docs);
  if (!docs.empty()) Finish(c, docs.front(), true);
}

}  // namespace

void CommandStart(tBridgeCommand* command, const std::string& host, uint16_t port,
                  const std::string& delimiter) {
  DocSplitInit(&command->reply, delimiter);
  command->fd = LinkConnect(host, port);
  command->phase = tCommandPhase::Connecting;
  if (command->fd < 0) Finish(command, kUnreachable, false);
}

short CommandEvents(const tBridgeCommand& command, bool maySend) {
  switch (command.phase) {
    case tCommandPhase::Connecting:
      return POLLOUT;
    case tCommandPhase::Sending:
      return maySend ? POLLOUT : 0;
    case tCommandPhase::Awaiting:
      return POLLIN;
    case tCommandPhase::Done:
      break;
  }
  return 0;
}

void CommandService(tBridgeCommand* command, short revents, bool maySend) {
  switch (command->phase) {
    case tCommandPhase::Connecting:
      if (revents == 0) return;
      if (!LinkConnected(command->fd)) {
        Finish(command, kUnreachable, false);
        return;
      }
      command->phase = tCommandPhase::Sending;
      if (maySend) Write(command);
      return;
    case tCommandPhase::Sending:
      if (revents & (POLLERR | POLLHUP)) {
        Finish(command, kNoReply, false);
      } else if (maySend && (revents & POLLOUT)) {
        Write(command);
      }
      return;
    case tCommandPhase::Awaiting:
      if (revents != 0) Read(command);
      return;
    case tCommandPhase::Done:
      return;
  }
}

void CommandAbandon(tBridgeCommand* command, const char* reason) {
  switch (command->phase) {
    case tCommandPhase::Connecting:
      Finish(command, reason ? reason : kUnreachable, false);
      return;
    case tCommandPhase::Sending:
    case tCommandPhase::Awaiting:
      if (reason) {
        Finish(command, reason, false);
      } else {
        FinishUnframed(command);
        command->answered = false;  // a reply the wait cut short is no reply
      }
      return;
    case tCommandPhase::Done:
      return;
  }
}
