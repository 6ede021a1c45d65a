// A command's connection to the send port, one step at a time.
#include "BridgeCommand.h"

#include <rapidjson/document.h>

#include <cstring>
#include <vector>

#include "BridgeLink.h"
#include "core/OvClosers.h"
#include "core/OvSocket.h"

namespace {

constexpr const char* kUnreachable = "Send port unreachable";
constexpr const char* kNoReply = "No reply from the send port";
constexpr const char* kNoReplyInTime = "No reply from the send port within 15 s";
static_assert(kCommandTimeoutMs == 15000, "the text above names the time-out");

bool Begins(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

void Finish(tBridgeCommand* c, std::string result, tCommandError error) {
  FdClose(&c->fd);
  DocSplitReset(&c->reply);
  c->result = std::move(result);
  c->error = error;
  c->answered = false;
  c->phase = tCommandPhase::Done;
}

void FinishAnswered(tBridgeCommand* c, std::string reply) {
  Finish(c, std::move(reply), tCommandError::None);
  c->answered = true;
}

// What is left when the gateway closed or the time ran out without a
// framed reply: a whole object without its delimiter is the reply (after a
// close); anything else is a reply cut off, reported as it stands.
void FinishUnframed(tBridgeCommand* c, bool closed, const char* none, tCommandError error) {
  std::string rest = c->reply.partial;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
  if (rest.empty()) {
    Finish(c, none, error);
  } else if (closed && rest.front() == '{' && rest.back() == '}') {
    FinishAnswered(c, rest);
  } else {
    Finish(c, rest, error);
  }
}

void Write(tBridgeCommand* c) {
  long n = SocketSendSome(c->fd, c->payload.data() + c->sent, c->payload.size() - c->sent);
  if (n < 0) {
    Finish(c, kNoReply, tCommandError::Unavailable);
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
    FinishUnframed(c, true, kNoReply, tCommandError::Unavailable);
    return;
  }
  std::vector<std::string> docs;
  DocSplitFeed(&c->reply, buf, static_cast<size_t>(n), &docs);
  if (!docs.empty()) FinishAnswered(c, docs.front());
}

}  // namespace

void CommandStart(tBridgeCommand* command, const std::string& host, uint16_t port,
                  const std::string& delimiter) {
  DocSplitInit(&command->reply, delimiter);
  command->fd = LinkConnect(host, port);
  command->phase = tCommandPhase::Connecting;
  if (command->fd < 0) Finish(command, kUnreachable, tCommandError::Unavailable);
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
        Finish(command, kUnreachable, tCommandError::Unavailable);
        return;
      }
      command->phase = tCommandPhase::Sending;
      if (maySend) Write(command);
      return;
    case tCommandPhase::Sending:
      if (revents & (POLLERR | POLLHUP)) {
        Finish(command, kNoReply, tCommandError::Unavailable);
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

void CommandExpire(tBridgeCommand* command) {
  switch (command->phase) {
    case tCommandPhase::Connecting:
      Finish(command, kUnreachable, tCommandError::Unavailable);
      return;
    case tCommandPhase::Sending:
    case tCommandPhase::Awaiting:
      FinishUnframed(command, false, kNoReplyInTime, tCommandError::TimeOut);
      return;
    case tCommandPhase::Done:
      return;
  }
}

void CommandAbandon(tBridgeCommand* command, const char* reason, tCommandError error) {
  if (command->phase != tCommandPhase::Done) Finish(command, reason, error);
}

tCommandError CommandReplyError(const std::string& reply) {
  rapidjson::Document d;
  d.Parse(reply.data(), reply.size());
  if (d.HasParseError() || !d.IsObject()) return tCommandError::None;
  auto status = d.FindMember("status");
  if (status == d.MemberEnd() || !status->value.IsString() ||
      strcmp(status->value.GetString(), "error") != 0)
    return tCommandError::None;
  auto content = d.FindMember("content");
  const char* text =
      content != d.MemberEnd() && content->value.IsString() ? content->value.GetString() : "";
  if (Begins(text, "Message was not written to UART")) return tCommandError::TimeOut;
  if (Begins(text, "Serial device unavailable")) return tCommandError::Unavailable;
  return tCommandError::Refused;
}
