// Command recognition and queueing for the send task.
#include "send/SendEssentials.h"

#include <cstring>

#include "core/OvClosers.h"
#include "send/SendTask.h"
#include "serializer/tSerializer.h"

const char* const SEND_UNKNOWN_COMMAND = "Unknown command: no command kind accepts this object";

namespace {

// Records with a heap payload give it back when a reading is dropped.
template <typename Record>
void ReleasePayload(Record*) {}
void ReleasePayload(OvApiSendUnackMessage* msg) { Free(&msg->payload); }
void ReleasePayload(OvApiSendAckMessage* msg) { Free(&msg->payload); }
void ReleasePayload(OvApiNetCmdMessage* msg) { Free(&msg->payload); }

// Clears the pending record, reads the message as this kind and, on
// success, moves the reading into the pending record, numbered with the
// command being served, so that its transmit reports name it.
template <typename Record>
const char* ParseStep(Record* pending, uint32_t opcode) {
  ReleasePayload(pending);
  memset(static_cast<void*>(pending), 0, sizeof *pending);
  Record reading{};
  const char* result = g_send.essentials->getSerializer()->DeSerialize(
      g_send.msgBuf, static_cast<int>(g_send.msgLen), &reading);
  if (result != nullptr) {
    ReleasePayload(&reading);
    return result;
  }
  reading.userData = g_send.commandId;
  *pending = reading;
  g_send.msgType = opcode;
  return nullptr;
}

}  // namespace

const char* ParseMsgSendUnackParams() { return ParseStep(&g_send.unackMsg, 0x02); }
const char* ParseMsgSendAckParams() { return ParseStep(&g_send.ackMsg, 0x03); }
const char* ParseMsgNodeInfoRequest() { return ParseStep(&g_send.nodeInfoRequest, 0x08); }
const char* ParseMsgNeighborListRequest() {
  return ParseStep(&g_send.neighborListRequest, 0x09);
}
const char* ParseMsgNetCmdRequest() { return ParseStep(&g_send.netCmd, 0x0A); }
const char* ParseMsgWesCmd() { return ParseStep(&g_send.wesCmd, 0x10); }
const char* ParseMsgWesResponse() { return ParseStep(&g_send.wesResponse, 0x11); }
const char* ParseMsgAltCmd() { return ParseStep(&g_send.altCmd, 0x20); }

const char* ParseMsg() {
  const char* (*const steps[])() = {
      ParseMsgSendUnackParams, ParseMsgSendAckParams, ParseMsgNodeInfoRequest,
      ParseMsgNeighborListRequest, ParseMsgNetCmdRequest, ParseMsgWesCmd,
      ParseMsgWesResponse, ParseMsgAltCmd,
  };
  const char* firstFailure = nullptr;
  for (auto step : steps) {
    const char* result = step();
    if (result == nullptr) {
      return nullptr;
    }
    if (firstFailure == nullptr && result[0] != '\0') {
      firstFailure = result;
    }
  }
  return firstFailure != nullptr ? firstFailure : SEND_UNKNOWN_COMMAND;
}

OvApiResult SendMessageToOvApi() {
  switch (g_send.msgType) {
    case 0x02: return OvApiSendUnacknowledged(0, &g_send.unackMsg);
    case 0x03: return OvApiSendAcknowledged(0, &g_send.ackMsg);
    case 0x08: return OvApiSendNodeInfoRequest(0, &g_send.nodeInfoRequest);
    case 0x09:
      // The request carries the command's number only.
      return OvApiSendNeighborListRequest(0, g_send.commandId);
    case 0x0A: return OvApiSendNetCmd(0, &g_send.netCmd);
    case 0x10: return OvApiSendWesCmd(0, &g_send.wesCmd);
    case 0x11: return OvApiSendWesResponse(0, &g_send.wesResponse);
    case 0x20: return OvApiSendAltCmd(0, &g_send.altCmd);
    default: return Ok;
  }
}

void SendEssentialsReleasePayloads() {
  ReleasePayload(&g_send.unackMsg);
  ReleasePayload(&g_send.ackMsg);
  ReleasePayload(&g_send.netCmd);
}
