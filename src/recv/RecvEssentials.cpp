// Receive callbacks: serialize each received message and broadcast it.
#include "recv/RecvEssentials.h"

#include <cstring>

#include "recv/RecvTask.h"
#include "serializer/tSerializer.h"

OvApiRxCallbacks g_ovRx;

namespace {

tSerializer* Serializer() { return g_recv.essentials->getSerializer(); }

// The typed callbacks differ only in the record type and the serializer
// overload it selects.
template <typename Record>
void DispatchRecord(const Record* msg) {
  DispatchFormattedMsg(Serializer()->Serialize(msg));
}

}  // namespace

void RecvEssentialsInstallCallbacks() {
  memset(&g_ovRx, 0, sizeof g_ovRx);
  g_ovRx.readCallback = UartReadCallbackSpecialized;
  g_ovRx.hostAckCallback = UartHostAckCallback;
  g_ovRx.hostNAckCallback = UartHostNAckCallback;
  g_ovRx.hostDataCallback = UartHostDataCallback;
  g_ovRx.hostDataHapaCallback = UartHostDataHapaCallback;
  g_ovRx.hostUappDataCallback = UartHostUappDataCallback;
  g_ovRx.hostUappDataHapaCallback = UartHostUappDataHapaCallback;
  g_ovRx.nodeInfoReplyCallback = UartNodeInfoReplyCallback;
  g_ovRx.neighborListReplyCallback = UartNeighborListReplyCallback;
  g_ovRx.netCmdReplyCallback = UartNetCmdReplyCallback;
  g_ovRx.wesSetupRequestCallback = UartWesSetupRequestCallback;
  g_ovRx.wesStatusCallback = UartWesStatusCallback;
}

bool RecvEssentialsIsTypedOpcode(uint8_t opcode) {
  switch (opcode) {
    case 0x50: case 0x51: case 0x52: case 0x53: case 0x54: case 0x55:
    case 0x58: case 0x59: case 0x5A: case 0x60: case 0x61:
      return true;
    default:
      return false;
  }
}

void UartReadCallbackSpecialized(uint8_t index, const uint8_t* frame, uint8_t frameLength) {
  RxCount = 0;
  UartReadCallback(index, frame, frameLength);
}

void UartReadCallback(uint8_t, const uint8_t* frame, uint8_t frameLength) {
  if (frameLength == 0 || RecvEssentialsIsTypedOpcode(frame[0])) {
    return;
  }
  DispatchFormattedMsg(Serializer()->SerializeRaw(frame, frameLength));
}

void UartHostAckCallback(uint8_t, const OvApiHostAckNack* msg) {
  DispatchFormattedMsg(Serializer()->SerializeAck(msg));
}

void UartHostNAckCallback(uint8_t, const OvApiHostAckNack* msg) {
  DispatchFormattedMsg(Serializer()->SerializeNAck(msg));
}

void UartHostDataCallback(uint8_t, const OvApiHostData* msg) { DispatchRecord(msg); }
void UartHostDataHapaCallback(uint8_t, const OvApiHostDataHapa* msg) { DispatchRecord(msg); }
void UartHostUappDataCallback(uint8_t, const OvApiHostUappData* msg) { DispatchRecord(msg); }
void UartHostUappDataHapaCallback(uint8_t, const OvApiHostUappDataHapa* msg) {
  DispatchRecord(msg);
}
void UartNodeInfoReplyCallback(uint8_t, const OvApiNodeInfoReply* msg) { DispatchRecord(msg); }
void UartNeighborListReplyCallback(uint8_t, const OvApiNeighborListReply* msg) {
  DispatchRecord(msg);
}
void UartNetCmdReplyCallback(uint8_t, const OvApiNetCmdReply* msg) { DispatchRecord(msg); }
void UartWesSetupRequestCallback(uint8_t, const OvApiWesSetupRequest* msg) {
  DispatchRecord(msg);
}
void UartWesStatusCallback(uint8_t, const OvApiWesStatus* msg) { DispatchRecord(msg); }
