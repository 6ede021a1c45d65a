// Defines the hooks the host API leaves to the application, for the tests.
#include "OvApiTestHooks.h"

OvApiTestHooks g_hooks;

void OvApiSupportMessageReceived(uint8_t index, uint32_t userData, const uint8_t* frame,
                                 uint8_t frameLength) {
  if (g_hooks.received)
    g_hooks.received(index, userData, frame, frameLength);
  else
    OvApiExecuteCallbacks(index, frame, frameLength);
}

int OvApiSupportTxData(uint8_t index, const uint8_t* frame, uint8_t length) {
  if (g_hooks.txData) return g_hooks.txData(index, frame, length);
  g_hooks.offered.emplace_back(frame, frame + length);
  return g_hooks.txResult;
}

void OvApiSupportMessageWritten(uint8_t index, uint32_t userData, const uint8_t* frame,
                                uint8_t length) {
  if (g_hooks.written) return g_hooks.written(index, userData, frame, length);
  g_hooks.reports.push_back({userData, Bytes(frame, frame + length)});
}

void ResetApi(bool activate) {
  OvApiInit();
  g_hooks = OvApiTestHooks{};
  if (activate) OvApiCallbackNwuActive(0);
}

void Feed(const Bytes& bytes) {
  for (uint8_t b : bytes) OvApiRxData(0, b);
}

Bytes Queued() {
  const OvApiInstance& in = g_ovApi[0];
  uint8_t len = in.txLength.load();
  return Bytes(in.txFrame, in.txFrame + len);
}

std::vector<Delivery> g_deliveries;

namespace {

Bytes Span(const uint8_t* p, unsigned n) { return Bytes(p, p + n); }

void Add(int slot, Bytes raw, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0,
         Bytes extra = {}) {
  g_deliveries.emplace_back(slot, std::move(raw), a, b, c, d, std::move(extra));
}

template <typename M>
void Data(int slot, const M* m, uint32_t seq) {
  Add(slot, Span(m->payload, m->payloadLength), m->nodeId, m->packageAge, m->port, seq, {});
}

} // namespace

OvApiRxCallbacks g_recordingTable = {
    [](uint8_t, const uint8_t* f, uint8_t n) { Add(0, Span(f, n)); },
    [](uint8_t, const OvApiHostAckNack* m) { Add(1, {}, m->nodeId); },
    [](uint8_t, const OvApiHostAckNack* m) { Add(2, {}, m->nodeId); },
    [](uint8_t, const OvApiHostUappStatus* m) { Add(3, {}, m->nodeId, m->status); },
    [](uint8_t, const OvApiHostUappStatus* m) { Add(4, {}, m->nodeId, m->status); },
    [](uint8_t, const OvApiHostData* m) { Data(5, m, 0); },
    [](uint8_t, const OvApiHostDataHapa* m) { Data(6, m, 0); },
    [](uint8_t, const OvApiHostUappData* m) { Data(7, m, m->sequenceNo); },
    [](uint8_t, const OvApiHostUappDataHapa* m) { Data(8, m, m->sequenceNo); },
    [](uint8_t, const OvApiNodeInfoReply* m) {
      Add(9, {}, m->nodeId, m->nodeType, 0, 0, Span(m->uidHex, 5));
    },
    [](uint8_t, const OvApiNeighborListReply* m) {
      Bytes n;
      for (unsigned i = 0; i < m->neighborCount; ++i) {
        n.push_back(static_cast<uint8_t>(m->neighbors[i].nodeId >> 8));
        n.push_back(static_cast<uint8_t>(m->neighbors[i].nodeId));
        n.push_back(m->neighbors[i].RSSI);
      }
      Add(10, {}, m->neighborCount, 0, 0, 0, n);
    },
    [](uint8_t, const OvApiRouteInfoRequestReply* m) {
      Add(11, {}, 0, 0, 0, 0, Span(m->data, 16));
    },
    [](uint8_t, const OvApiNetCmdReply* m) {
      Add(12, Span(m->payload, m->payloadLength), m->nodeId, m->command);
    },
    [](uint8_t, const OvApiWesSetupRequest* m) {
      Add(13, {}, 0, m->appFunctionType, 0, 0, Span(m->uidHex, 5));
    },
    [](uint8_t, const OvApiWesStatus* m) { Add(14, {}, m->status); },
};

void UseRecordingTable() {
  g_deliveries.clear();
  g_ovApi[0].callbacks.store(&g_recordingTable);
}
