// Fuzz target: the UART byte stream through OvApiRxData into the receive
// parser and the decoders, with clear-to-send, settled-line and quiet-line
// events taken from the input. Each byte pair is an event and its byte:
// mostly a UART byte; otherwise 100 ms of quiet (OvApiCallbackNwuActive), a
// settled line (OvApiRxSettled), a command queued or a clear-to-send. A
// settled line makes a requested restart; nothing else changes the parser. Every frame a callback gets must obey the frame rules,
// and every record is serialized by the real JSON serializer. The documents
// go nowhere: this target has its own hooks instead of the receive task's,
// so nothing is printed or sent and the parser is what is measured.
#include <cstdlib>

#include "FuzzInput.h"
#include "ovapi/OvApi.h"
#include "serializer/tSerializerJson.h"

namespace {

tSerializerJson g_json;

void Consume(char* text) {
  FUZZ_CHECK(text != nullptr);
  free(text);
}

void OnFrame(uint8_t, const uint8_t* frame, uint8_t length) {
  uint16_t valid = 0;
  FUZZ_CHECK(length >= 2);
  FUZZ_CHECK(OvApiIsValidFrameProtocol(frame, length, &valid));
  FUZZ_CHECK(valid == length);
  FUZZ_CHECK(frame[1] + 2 == length);
  Consume(g_json.SerializeRaw(frame, length));
}

template <typename Record>
void OnRecord(uint8_t, const Record* msg) {
  Consume(g_json.Serialize(msg));
}
void OnAck(uint8_t, const OvApiHostAckNack* msg) { Consume(g_json.SerializeAck(msg)); }
void OnNack(uint8_t, const OvApiHostAckNack* msg) { Consume(g_json.SerializeNAck(msg)); }

OvApiRxCallbacks MakeCallbacks() {
  OvApiRxCallbacks table{};
  table.readCallback = OnFrame;
  table.hostAckCallback = OnAck;
  table.hostNAckCallback = OnNack;
  table.hostDataCallback = OnRecord<OvApiHostData>;
  table.hostDataHapaCallback = OnRecord<OvApiHostDataHapa>;
  table.hostUappDataCallback = OnRecord<OvApiHostUappData>;
  table.hostUappDataHapaCallback = OnRecord<OvApiHostUappDataHapa>;
  table.nodeInfoReplyCallback = OnRecord<OvApiNodeInfoReply>;
  table.neighborListReplyCallback = OnRecord<OvApiNeighborListReply>;
  table.netCmdReplyCallback = OnRecord<OvApiNetCmdReply>;
  table.wesSetupRequestCallback = OnRecord<OvApiWesSetupRequest>;
  table.wesStatusCallback = OnRecord<OvApiWesStatus>;
  return table;
}

OvApiRxCallbacks g_table = MakeCallbacks();

}  // namespace

void OvApiSupportMessageReceived(uint8_t index, uint32_t, const uint8_t* frame, uint8_t length) {
  OvApiExecuteCallbacks(index, frame, length);
}
int OvApiSupportTxData(uint8_t, const uint8_t*, uint8_t) { return 0; }
void OvApiSupportMessageWritten(uint8_t, uint32_t, const uint8_t*, uint8_t) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OvApiInit();
  g_ovApi[0].callbacks.store(&g_table);
  FuzzInput in(data, size);
  while (!in.Empty()) {
    uint8_t event = in.Byte();
    uint8_t byte = in.Byte();
    switch (event & 0x0F) {
      case 0x0C: {
        const bool requested = OvApiRxRestartRequested(0);
        const uint16_t held = OvApiRxHeld(0);
        FUZZ_CHECK(OvApiRxSettled(0) == requested);
        FUZZ_CHECK(OvApiRxHeld(0) == (requested ? 0 : held));
        FUZZ_CHECK(!OvApiRxRestartRequested(0));
        break;
      }
      case 0x0D: OvApiCallbackNwuActive(0); break;
      case 0x0E: {
        OvApiAltCmdMessage cmd{byte, 0};
        OvApiSendAltCmd(0, &cmd);
        break;
      }
      case 0x0F: {  // only asks: the parser keeps what it holds
        const uint16_t held = OvApiRxHeld(0);
        OvApiCtsActive(0);
        FUZZ_CHECK(OvApiRxHeld(0) == held && OvApiRxRestartRequested(0));
        break;
      }
      default: OvApiRxData(0, byte); break;
    }
  }
  return 0;
}
