// The receive callbacks that start-up and reload install in the host API's
// table g_ovRx: each turns one received frame or decoded record into one
// document through the configured serializer and hands it to
// DispatchFormattedMsg. Every valid frame yields exactly one document: a
// typed one for the opcodes below, a raw one for every other frame. All run
// on the receive thread; records are only read, during the call.
#pragma once
#include <cstdint>

#include "ovapi/OvApi.h"

// The table the gateway registers with host-API instance 0.
extern OvApiRxCallbacks g_ovRx;

// Clears every slot of g_ovRx and installs the callbacks of this module
// (slot 0 and the eleven typed slots; the others stay null).
void RecvEssentialsInstallCallbacks();

// Slot 0: a frame has been completed (RxCount back to 0), then the raw path.
void UartReadCallbackSpecialized(uint8_t index, const uint8_t* frame, uint8_t frameLength);
// Sends the raw document unless the opcode has a typed callback (or the
// length is 0).
void UartReadCallback(uint8_t index, const uint8_t* frame, uint8_t frameLength);
// True for the eleven opcodes that have a typed callback.
bool RecvEssentialsIsTypedOpcode(uint8_t opcode);

void UartHostAckCallback(uint8_t index, const OvApiHostAckNack* msg);
void UartHostNAckCallback(uint8_t index, const OvApiHostAckNack* msg);
void UartHostDataCallback(uint8_t index, const OvApiHostData* msg);
void UartHostDataHapaCallback(uint8_t index, const OvApiHostDataHapa* msg);
void UartHostUappDataCallback(uint8_t index, const OvApiHostUappData* msg);
void UartHostUappDataHapaCallback(uint8_t index, const OvApiHostUappDataHapa* msg);
void UartNodeInfoReplyCallback(uint8_t index, const OvApiNodeInfoReply* msg);
void UartNeighborListReplyCallback(uint8_t index, const OvApiNeighborListReply* msg);
void UartNetCmdReplyCallback(uint8_t index, const OvApiNetCmdReply* msg);
void UartWesSetupRequestCallback(uint8_t index, const OvApiWesSetupRequest* msg);
void UartWesStatusCallback(uint8_t index, const OvApiWesStatus* msg);
