// One command on its way through the gateway's send port: its own
// non-blocking connection, served by the bridge's one poll beside the
// broker and the receive port, so a command that waits for clear-to-send
// holds up nothing else. The session keeps every command in flight in
// arrival order and owns their descriptors through this record.
//
// Connection lifecycle (tCommandPhase):
//
//   Connecting --connected (writable, no socket error)--> Sending
//   Sending    --every byte taken, and every earlier command written--> Awaiting
//   Awaiting   --one complete reply read, or the gateway closed after
//                a reply that lacks its delimiter--> Done (answered)
//   Connecting --refused or unreachable--> Done ("Send port unreachable")
//   Sending, Awaiting --send or read failed, closed without a reply--> Done
//                ("No reply from the send port", or the cut-off reply text)
//   any but Done --CommandExpire (its time is up)--> Done ("Send port
//                unreachable", "No reply from the send port within 15 s",
//                or the cut-off reply text)
//   any but Done --CommandAbandon (too many waiting, stop)--> Done (its reason)
//
// In Done the descriptor is closed and `result` holds either the gateway's
// reply (answered) or the reason there is none, for the bridge's own error
// reply, with `error` its kind. A command's bytes go out only after those of every earlier command,
// so the gateway, which serves completed commands in the order they
// completed, sees them in arrival order.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>

#include "BridgeSplit.h"

enum class tCommandPhase { Connecting, Sending, Awaiting, Done };

// What kind of "error" reply a command got, for the stats.
enum class tCommandError {
  None,         // no error: status "ok"
  TimeOut,      // clear-to-send never came, or no reply in time
  Unavailable,  // device, gateway or bridge not there to serve it
  Refused,      // not accepted: a bad command, too many waiting, ...
};

// How long the oldest command may wait for its reply.
constexpr int64_t kCommandTimeoutMs = 15000;

struct tBridgeCommand {
  std::string payload, responseTopic, correlation;  // as the broker delivered them
  tCommandPhase phase = tCommandPhase::Connecting;
  int fd = -1;              // owned from CommandStart until Done
  size_t sent = 0;          // payload bytes the socket has taken
  tDocSplit reply;          // frames the reply by the gateway's delimiter
  std::string result;       // Done: the reply, or why there is none
  bool answered = false;    // Done: `result` is the gateway's reply
  tCommandError error = tCommandError::None;  // Done and not answered: its kind
  int64_t deadlineMs = 0;   // IoMonotonicMs to give up at; 0: not running yet
};

// Opens the connection to host:port, the reply to be split at `delimiter`
// (raw bytes, empty: by braces). Connecting, or Done at once when the
// connection cannot even be started.
void CommandStart(tBridgeCommand* command, const std::string& host, uint16_t port,
                  const std::string& delimiter);
// The poll events the command waits for; `maySend` is false while an
// earlier command has not been written in full. 0 in Done (and while held).
short CommandEvents(const tBridgeCommand& command, bool maySend);
// Moves the command along after poll reported `revents` on its descriptor.
void CommandService(tBridgeCommand* command, short revents, bool maySend);
// Ends a command whose time (kCommandTimeoutMs) is up, unless it is Done.
void CommandExpire(tBridgeCommand* command);
// Ends a command that is not Done with `reason` as its result and `error`
// as its kind.
void CommandAbandon(tBridgeCommand* command, const char* reason, tCommandError error);
// The kind of a reply written by the gateway: None unless it is a JSON
// object with status "error"; by its content then: the clear-to-send wait
// ran out (TimeOut), the device is gone (Unavailable), or anything else
// (Refused).
tCommandError CommandReplyError(const std::string& reply);
// True when an earlier command in flight may let a later one write: it has
// been written in full (Awaiting or Done).
inline bool CommandWritten(const tBridgeCommand& command) {
  return command.phase == tCommandPhase::Awaiting || command.phase == tCommandPhase::Done;
}
