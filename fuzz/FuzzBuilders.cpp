// Fuzz target: the builders of the eight commands the send port queues, fed
// random records. The first byte of each record chooses the kind, the rest
// fills the record (payload bytes and length included). Whatever a builder accepts must leave a valid frame in the
// transmit slot; what it refuses must leave the slot free.
#include <cstdlib>

#include "FuzzInput.h"
#include "ovapi/OvApi.h"

void OvApiSupportMessageReceived(uint8_t, uint32_t, const uint8_t*, uint8_t) {}
int OvApiSupportTxData(uint8_t, const uint8_t*, uint8_t) { return 0; }
void OvApiSupportMessageWritten(uint8_t, uint32_t, const uint8_t*, uint8_t) {}

namespace {

// A payload of the length the input asks for, filled from the input; it
// may also be absent while the length says otherwise.
uint8_t* Payload(FuzzInput& in, uint8_t* length, uint8_t* storage) {
  uint8_t flags = in.Byte();
  *length = in.Byte();
  in.Bytes(storage, *length);
  return (flags & 1) ? nullptr : storage;
}

OvApiResult Build(FuzzInput& in) {
  uint8_t storage[256] = {};
  switch (in.Byte() % 8) {
    case 0: {
      OvApiSendUnackMessage m{in.Word(), in.Byte(), in.Word(), nullptr, 0, in.Long()};
      m.payload = Payload(in, &m.payloadLength, storage);
      return OvApiSendUnacknowledged(0, &m);
    }
    case 1: {
      OvApiSendAckMessage m{in.Word(), in.Byte(), 0, nullptr, in.Long()};
      m.payload = Payload(in, &m.payloadLength, storage);
      return OvApiSendAcknowledged(0, &m);
    }
    case 2: {
      OvApiNodeInfoRequestMessage m{in.Long()};
      return OvApiSendNodeInfoRequest(0, &m);
    }
    case 3: return OvApiSendNeighborListRequest(0, in.Long());
    case 4: {
      OvApiNetCmdMessage m{in.Word(), in.Byte(), nullptr, 0, in.Long()};
      m.payload = Payload(in, &m.payloadLength, storage);
      return OvApiSendNetCmd(0, &m);
    }
    case 5: {
      OvApiWesCmdMessage m{in.Long(), in.Long()};
      return OvApiSendWesCmd(0, &m);
    }
    case 6: {
      OvApiWesResponseMessage m{};
      in.Bytes(m.uidHex, sizeof m.uidHex);
      m.nodeId = in.Word();
      in.Bytes(m.appSettings, sizeof m.appSettings);
      m.userData = in.Long();
      return OvApiSendWesResponse(0, &m);
    }
    default: {
      OvApiAltCmdMessage m{in.Long(), in.Long()};
      return OvApiSendAltCmd(0, &m);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OvApiInit();
  FuzzInput in(data, size);
  while (!in.Empty()) {
    bool wasFree = OvApiStatus(0) != Pending;
    OvApiResult code = Build(in);
    FUZZ_CHECK(code >= Ok && code <= NotSent);
    if (code == Ok) {
      FUZZ_CHECK(IsCommandFrame(g_ovApi[0].txFrame, g_ovApi[0].txLength.load()));
      if (in.Byte() & 1) OvApiCtsActive(0); else OvApiCancelEnqueuedMessage(0);
    } else if (wasFree) {
      FUZZ_CHECK(OvApiStatus(0) != Pending);
    }
  }
  return 0;
}
