// The status reply that the send port gives each client after its command:
// "ok" or "error", with the failure text. Serialized as a "replyMsg"
// document by tSerializer::Serialize(const tReplyMsg*).
#pragma once

struct tReplyMsg {
  const char* status;  // "ok" or "error"; never null when serialized
  const char* content; // failure text; null or "" on success (both give "")
};
