// Command dispatch of the send task: recognises the command in g_send's
// message among the eight kinds, in a fixed order, stores it as the pending
// record with its opcode, and queues it with the matching host-API send
// function. Send thread only.
#pragma once
#include "ovapi/OvApi.h"

// Texts of the objects that no kind accepts (all kinds answered "not this
// kind"). Constant texts.
extern const char* const SEND_UNKNOWN_COMMAND;

// Null when a command was recognised (pending record and msgType set);
// otherwise the failure text for the reply. When no kind accepted the
// object, the text of the first kind that recognised its objectType but
// failed on a field; SEND_UNKNOWN_COMMAND when none did. The text is
// constant or owned by the serializer; never released by the caller.
const char* ParseMsg();
// One kind each: null (recognised), "" (not this kind) or a failure text.
const char* ParseMsgSendUnackParams();
const char* ParseMsgSendAckParams();
const char* ParseMsgNodeInfoRequest();
const char* ParseMsgNeighborListRequest();
const char* ParseMsgNetCmdRequest();
const char* ParseMsgWesCmd();
const char* ParseMsgWesResponse();
const char* ParseMsgAltCmd();
// Queues the pending command on instance 0 under g_send.commandId; the
// send function's result (Ok when queued). An unknown msgType queues
// nothing and answers Ok.
OvApiResult SendMessageToOvApi();
// Releases the payload buffers of the pending records (idempotent).
void SendEssentialsReleasePayloads();
