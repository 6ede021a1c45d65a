// Host API of the mesh-radio module: validation, receive parser, dispatch,
// decoders, command builders and the lock-free transmit slot. The restart of
// frame assembly that clear-to-send asks for is described at OvApiRxPhase.
//
// Transmit slot protocol (three threads, no locks):
//  - A producer reserves the free slot by swapping txLength 0 -> kReserved,
//    then checks that no reader holds txBusy. Only then does it write
//    txFrame; it bumps txGeneration to an odd value and publishes the length
//    with a release store.
//  - A reader (clear-to-send, TxDataDone, cancel) counts itself into txBusy
//    before it looks at the slot. The reserve-then-check of the producer and
//    the count-then-look of the reader are sequentially consistent, so
//    either the producer backs off or the reader sees the reservation and
//    leaves txFrame alone: txFrame is never written while it is read.
//  - An odd generation names the queued frame. Whoever frees it wins a
//    compare-exchange odd -> even, so a frame is freed (and reported) once,
//    and a frame cancelled while the transmit hook ran is never reported.
#include "ovapi/OvApi.h"

#include <cstring>

const uint8_t g_numberOfOvApis = 1;
OvApiInstance g_ovApi[1];

namespace {

// A txLength no frame has: the slot is being filled by a producer.
constexpr uint8_t kReserved = 0xFF;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

bool LengthRuleHolds(uint8_t op, uint8_t len) {
  switch (op) {
  case OVAPI_OP_HOST_ACK:
  case OVAPI_OP_HOST_NACK: return len == 2;
  case OVAPI_OP_HOST_DATA: return len > 5;
  case OVAPI_OP_HOST_DATA_HAPA:
  case OVAPI_OP_HOST_UAPP_DATA: return len > 7;
  case OVAPI_OP_HOST_UAPP_DATA_HAPA: return len > 9;
  case OVAPI_OP_WES_SETUP_REQUEST: return len == 6;
  case OVAPI_OP_WES_STATUS: return len == 1;
  case OVAPI_OP_NODE_INFO_REPLY: return len == 8;
  case OVAPI_OP_ROUTE_INFO_REPLY: return len == 16;
  case OVAPI_OP_NEIGHBOR_LIST_REPLY: return len == 36 || len == 39;
  default: return true;
  }
}

OvApiInstance* Instance(uint8_t index) {
  return index < g_numberOfOvApis ? &g_ovApi[index] : nullptr;
}

// Reader side of the slot: while held, no producer writes txFrame.
struct TxReader {
  explicit TxReader(OvApiInstance& in) : inst(in) { inst.txBusy.fetch_add(1, std::memory_order_seq_cst); }
  ~TxReader() { Release(); }
  void Release() {
    if (held) inst.txBusy.fetch_sub(1, std::memory_order_release);
    held = false;
  }
  TxReader(const TxReader&) = delete;
  TxReader& operator=(const TxReader&) = delete;
  OvApiInstance& inst;
  bool held = true;
};

// Under a TxReader: the length of the queued frame and its generation, or
// false when nothing complete is queued. Once a reader holds txBusy and has
// seen a complete frame, no producer can publish another, so the odd
// generation read here is the frame's own.
bool PeekQueued(OvApiInstance& in, uint8_t* len, uint32_t* gen) {
  uint8_t l = in.txLength.load(std::memory_order_seq_cst);
  if (l == 0 || l == kReserved) return false;
  uint32_t g = in.txGeneration.load(std::memory_order_acquire);
  if ((g & 1u) == 0) return false; // already being freed by someone else
  *len = l;
  *gen = g;
  return true;
}

// Under a TxReader: frees the frame of generation `gen` unless another
// thread freed it first; answers its userData through `userData`.
bool FreeIfStill(OvApiInstance& in, uint32_t gen, uint32_t* userData) {
  if (!in.txGeneration.compare_exchange_strong(gen, gen + 1, std::memory_order_acq_rel,
                                               std::memory_order_relaxed))
    return false;
  *userData = in.userData.exchange(0, std::memory_order_relaxed);
  in.txLength.store(0, std::memory_order_release);
  return true;
}

// Receive thread: the restart itself; the caller has taken the request.
void Restart(OvApiInstance& in) {
  in.active.store(1, std::memory_order_release);
  in.rxCount.store(0, std::memory_order_relaxed);
}

bool SlotTaken(const OvApiInstance& in) {
  return in.txLength.load(std::memory_order_acquire) != 0 ||
         in.txBusy.load(std::memory_order_acquire) != 0;
}

// Puts `len` bytes, built by `build` into txFrame, into the free slot.
template <typename Build>
OvApiResult Queue(uint8_t index, uint8_t len, uint32_t userData, Build build) {
  OvApiInstance* in = Instance(index);
  if (!in) return MessageMissing;
  if (SlotTaken(*in)) return Busy;
  uint8_t expected = 0;
  if (!in->txLength.compare_exchange_strong(expected, kReserved, std::memory_order_seq_cst))
    return Busy;
  if (in->txBusy.load(std::memory_order_seq_cst) != 0) {
    in->txLength.store(0, std::memory_order_release);
    return Busy;
  }
  in->userData.store(userData, std::memory_order_relaxed);
  if (len == 0) { // nothing to send: only the user value is kept
    in->txLength.store(0, std::memory_order_release);
    return Ok;
  }
  build(in->txFrame);
  in->txGeneration.fetch_add(1, std::memory_order_relaxed); // even -> odd
  in->txLength.store(len, std::memory_order_release);
  return Ok;
}

// Data sends share their field checks, in this order.
OvApiResult CheckData(uint16_t nodeId, uint8_t port, uint8_t n, const uint8_t* payload) {
  if (nodeId == 0) return InvalidNodeId;
  if (port > 4) return InvalidPort;
  if (n > OVAPI_MAX_PAYLOAD) return PayloadTooLong;
  if (n != 0 && payload == nullptr) return PayloadMissing;
  return Ok;
}

void PutHeader(uint8_t* f, uint8_t op, uint8_t len, uint16_t nodeId) {
  f[0] = op;
  f[1] = len;
  f[2] = static_cast<uint8_t>(nodeId >> 8);
  f[3] = static_cast<uint8_t>(nodeId);
}

void CopyPayload(uint8_t* dst, const uint8_t* src, uint8_t n) {
  if (n != 0) std::memcpy(dst, src, n);
}

OvApiResult SendEmpty(uint8_t index, uint8_t op, uint32_t userData) {
  return Queue(index, 2, userData, [op](uint8_t* f) {
    f[0] = op;
    f[1] = 0;
  });
}

OvApiResult SendOneByte(uint8_t index, uint8_t op, uint32_t cmd, uint32_t userData) {
  return Queue(index, 3, userData, [op, cmd](uint8_t* f) {
    f[0] = op;
    f[1] = 1;
    f[2] = static_cast<uint8_t>(cmd);
  });
}

// Uapp status frames shorter than the header their decoder reads are not
// decoded (a short network command reply is: its decoder zeroes what is
// missing).
bool LongEnoughToDecode(uint8_t op, uint8_t frameLength) {
  if (op == OVAPI_OP_HOST_UAPP_STATUS_56 || op == OVAPI_OP_HOST_UAPP_STATUS_57)
    return frameLength >= 6;
  return true;
}

template <typename Rec, typename Slot>
void Deliver(uint8_t index, const uint8_t* frame, Slot slot, void (*decode)(const uint8_t*, Rec*)) {
  if (!slot) return;
  Rec rec{};
  decode(frame, &rec);
  slot(index, &rec);
}

} // namespace

// ---- Validation --------------------------------------------------------------

bool OvApiIsValidFrameProtocol(const uint8_t* buffer, unsigned count, uint16_t* frameLength) {
  if (count < 2 || buffer == nullptr) return false;
  uint8_t op = buffer[0];
  uint8_t len = buffer[1];
  if (len == 0 || !LengthRuleHolds(op, len)) return false;
  if (count < static_cast<unsigned>(len) + 2) return false;
  if (frameLength) *frameLength = static_cast<uint16_t>(len + 2);
  return true;
}

bool OvApiIsValidApiFrame(const uint8_t* buffer, unsigned count, uint16_t* frameStart,
                          uint16_t* frameLength) {
  if (frameStart) *frameStart = 0;
  return OvApiIsValidFrameProtocol(buffer, count, frameLength);
}

// ---- Decoders ---------------------------------------------------------------

void OvApiGetMsgAsHostAck(const uint8_t* frame, OvApiHostAckNack* msg) { msg->nodeId = Be16(frame + 2); }

void OvApiGetMsgAsHostData(const uint8_t* frame, OvApiHostData* msg) {
  msg->nodeId = Be16(frame + 2);
  msg->packageAge = Be16(frame + 4);
  msg->port = frame[6];
  msg->payloadLength = static_cast<uint8_t>(frame[1] - 5);
  msg->payload = frame + 7;
}

void OvApiGetMsgAsHostDataHapa(const uint8_t* frame, OvApiHostDataHapa* msg) {
  msg->nodeId = Be16(frame + 2);
  msg->packageAge = Be32(frame + 4);
  msg->port = frame[8];
  msg->payloadLength = static_cast<uint8_t>(frame[1] - 7);
  msg->payload = frame + 9;
}

void OvApiGetMsgAsHostUappData(const uint8_t* frame, OvApiHostUappData* msg) {
  msg->nodeId = Be16(frame + 2);
  msg->packageAge = Be16(frame + 4);
  msg->port = frame[6];
  msg->sequenceNo = Be16(frame + 7) & 0x0FFF;
  msg->payloadLength = static_cast<uint8_t>(frame[1] - 7);
  msg->payload = frame + 9;
}

void OvApiGetMsgAsHostUappDataHapa(const uint8_t* frame, OvApiHostUappDataHapa* msg) {
  msg->nodeId = Be16(frame + 2);
  msg->packageAge = Be32(frame + 4);
  msg->port = frame[8];
  msg->sequenceNo = Be16(frame + 9) & 0x0FFF;
  msg->payloadLength = static_cast<uint8_t>(frame[1] - 9);
  msg->payload = frame + 11;
}

void OvApiGetMsgAsHostUappStatus(const uint8_t* frame, OvApiHostUappStatus* msg) {
  msg->nodeId = Be16(frame + 2);
  msg->status = Be16(frame + 4);
}

void OvApiGetMsgAsNodeInfoReply(const uint8_t* frame, OvApiNodeInfoReply* msg) {
  msg->nodeId = Be16(frame + 2);
  std::memcpy(msg->uidHex, frame + 4, sizeof msg->uidHex);
  msg->nodeType = frame[9];
}

void OvApiGetMsgAsNeighborListReply(const uint8_t* frame, OvApiNeighborListReply* msg) {
  uint8_t count = 0;
  for (unsigned i = 0; i < OVAPI_MAX_NEIGHBORS; ++i) {
    const uint8_t* s = frame + 2 + 3 * i;
    if (s[0] == 0xFF && s[1] == 0xFF) continue;
    msg->neighbors[count].nodeId = Be16(s);
    msg->neighbors[count].RSSI = s[2];
    ++count;
  }
  msg->neighborCount = count;
}

// A reply shorter than its 3-byte header (L of 1 or 2) keeps only the fields
// it holds whole; the rest is 0 and the payload is empty.
void OvApiGetMsgAsNetCmdResponse(const uint8_t* frame, OvApiNetCmdReply* msg) {
  const uint8_t len = frame[1];
  msg->nodeId = len >= 2 ? Be16(frame + 2) : 0;
  msg->command = len >= 3 ? frame[4] : 0;
  msg->payloadLength = static_cast<uint8_t>(len > 3 ? len - 3 : 0);
  msg->payload = frame + 2 + (len > 3 ? 3 : len);
}

void OvApiGetMsgAsRouteInfoRequestReply(const uint8_t* frame, OvApiRouteInfoRequestReply* msg) {
  std::memcpy(msg->data, frame + 2, sizeof msg->data);
}

void OvApiGetMsgAsWesStatus(const uint8_t* frame, OvApiWesStatus* msg) { msg->status = frame[2]; }

void OvApiGetMsgAsWesSetupRequest(const uint8_t* frame, OvApiWesSetupRequest* msg) {
  std::memcpy(msg->uidHex, frame + 2, sizeof msg->uidHex);
  msg->appFunctionType = frame[7];
}

// ---- Instances and receive side --------------------------------------------

void OvApiInit() {
  for (uint8_t i = 0; i < g_numberOfOvApis; ++i) {
    OvApiInstance& in = g_ovApi[i];
    std::memset(in.rxBuffer, 0, sizeof in.rxBuffer);
    std::memset(in.txFrame, 0, sizeof in.txFrame);
    in.rxCount.store(0, std::memory_order_relaxed);
    in.txLength.store(0, std::memory_order_relaxed);
    in.userData.store(0, std::memory_order_relaxed);
    in.active.store(0, std::memory_order_relaxed);
    in.callbacks.store(nullptr, std::memory_order_relaxed);
    in.rxPhase.store(OvApiRxPhase::Assembling, std::memory_order_relaxed);
    in.txGeneration.store(0, std::memory_order_relaxed);
    in.txBusy.store(0, std::memory_order_seq_cst);
  }
}

OvApiInstance* OvApiGetInstance(uint8_t index) { return Instance(index); }

void OvApiRxData(uint8_t index, uint8_t byte) {
  OvApiInstance* in = Instance(index);
  if (!in || in->active.load(std::memory_order_acquire) == 0) return;
  // One read of the count per byte; a concurrent reset may be lost, but no
  // index derived from the copy can leave the window.
  unsigned count = in->rxCount.load(std::memory_order_relaxed);
  if (count >= OVAPI_RX_WINDOW) {
    std::memmove(in->rxBuffer, in->rxBuffer + 1, OVAPI_RX_WINDOW - 1);
    in->rxBuffer[OVAPI_RX_WINDOW - 1] = byte;
    count = OVAPI_RX_WINDOW;
  } else {
    in->rxBuffer[count++] = byte;
  }
  in->rxCount.store(static_cast<uint16_t>(count), std::memory_order_relaxed);
  uint16_t start = 0;
  uint16_t length = 0;
  if (!OvApiIsValidApiFrame(in->rxBuffer, count, &start, &length)) return;
  OvApiSupportMessageReceived(index, in->userData.load(std::memory_order_relaxed),
                              in->rxBuffer + start, static_cast<uint8_t>(length));
  in->rxCount.store(0, std::memory_order_relaxed);
}

void OvApiCallbackNwuActive(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in) return;
  in->rxPhase.store(OvApiRxPhase::Assembling, std::memory_order_relaxed);
  Restart(*in);
}

bool OvApiRxSettled(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in || in->rxPhase.exchange(OvApiRxPhase::Assembling, std::memory_order_acq_rel) !=
                 OvApiRxPhase::RestartRequested)
    return false;
  Restart(*in);
  return true;
}

void OvApiRxDeactivate(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in) return;
  in->active.store(0, std::memory_order_release);
  in->rxCount.store(0, std::memory_order_relaxed);
}

bool OvApiRxRestartRequested(uint8_t index) {
  OvApiInstance* in = Instance(index);
  return in && in->rxPhase.load(std::memory_order_acquire) == OvApiRxPhase::RestartRequested;
}

uint16_t OvApiRxHeld(uint8_t index) {
  OvApiInstance* in = Instance(index);
  return in ? in->rxCount.load(std::memory_order_relaxed) : 0;
}

bool OvApiRxActive(uint8_t index) {
  OvApiInstance* in = Instance(index);
  return in && in->active.load(std::memory_order_acquire) != 0;
}

void OvApiShiftBufferDownAndAdjustPosition(OvApiInstance* instance) {
  if (!instance) return;
  unsigned count = instance->rxCount.load(std::memory_order_relaxed);
  if (count == 0) return;
  if (count > OVAPI_RX_WINDOW) count = OVAPI_RX_WINDOW;
  std::memmove(instance->rxBuffer, instance->rxBuffer + 1, count - 1);
  instance->rxCount.store(static_cast<uint16_t>(count - 1), std::memory_order_relaxed);
}

void OvApiExecuteCallbacks(uint8_t index, const uint8_t* frame, uint8_t frameLength) {
  OvApiInstance* in = Instance(index);
  if (!in || !frame) return;
  const OvApiRxCallbacks* cb = in->callbacks.load(std::memory_order_acquire);
  if (!cb) return;
  if (cb->readCallback) cb->readCallback(index, frame, frameLength);
  // Only a frame whose length byte matches its size is decoded.
  if (frameLength < 3 || frame[1] + 2 != frameLength || !LongEnoughToDecode(frame[0], frameLength))
    return;
  switch (frame[0]) {
  case OVAPI_OP_HOST_ACK: Deliver(index, frame, cb->hostAckCallback, OvApiGetMsgAsHostAck); break;
  case OVAPI_OP_HOST_NACK: Deliver(index, frame, cb->hostNAckCallback, OvApiGetMsgAsHostAck); break;
  case OVAPI_OP_HOST_DATA: Deliver(index, frame, cb->hostDataCallback, OvApiGetMsgAsHostData); break;
  case OVAPI_OP_HOST_DATA_HAPA:
    Deliver(index, frame, cb->hostDataHapaCallback, OvApiGetMsgAsHostDataHapa);
    break;
  case OVAPI_OP_HOST_UAPP_DATA:
    Deliver(index, frame, cb->hostUappDataCallback, OvApiGetMsgAsHostUappData);
    break;
  case OVAPI_OP_HOST_UAPP_DATA_HAPA:
    Deliver(index, frame, cb->hostUappDataHapaCallback, OvApiGetMsgAsHostUappDataHapa);
    break;
  case OVAPI_OP_HOST_UAPP_STATUS_56:
    Deliver(index, frame, cb->hostUappStatus56Callback, OvApiGetMsgAsHostUappStatus);
    break;
  case OVAPI_OP_HOST_UAPP_STATUS_57:
    Deliver(index, frame, cb->hostUappStatus57Callback, OvApiGetMsgAsHostUappStatus);
    break;
  case OVAPI_OP_NODE_INFO_REPLY:
    Deliver(index, frame, cb->nodeInfoReplyCallback, OvApiGetMsgAsNodeInfoReply);
    break;
  case OVAPI_OP_NEIGHBOR_LIST_REPLY:
    Deliver(index, frame, cb->neighborListReplyCallback, OvApiGetMsgAsNeighborListReply);
    break;
  case OVAPI_OP_NET_CMD_REPLY:
    Deliver(index, frame, cb->netCmdReplyCallback, OvApiGetMsgAsNetCmdResponse);
    break;
  case OVAPI_OP_ROUTE_INFO_REPLY:
    Deliver(index, frame, cb->routeInfoRequestReplyCallback, OvApiGetMsgAsRouteInfoRequestReply);
    break;
  case OVAPI_OP_WES_SETUP_REQUEST:
    Deliver(index, frame, cb->wesSetupRequestCallback, OvApiGetMsgAsWesSetupRequest);
    break;
  case OVAPI_OP_WES_STATUS: Deliver(index, frame, cb->wesStatusCallback, OvApiGetMsgAsWesStatus); break;
  default: break;
  }
}

OvApiResult OvApiStatus(uint8_t index) {
  OvApiInstance* in = Instance(index);
  return in && in->txLength.load(std::memory_order_acquire) != 0 ? Pending : Ok;
}

// ---- Send functions -----------------------------------------------------------

OvApiResult OvApiSendUnacknowledged(uint8_t index, const OvApiSendUnackMessage* msg) {
  if (!msg) return MessageMissing;
  const OvApiSendUnackMessage m = *msg;
  OvApiResult check = CheckData(m.nodeId, m.port, m.payloadLength, m.payload);
  if (check != Ok) return check;
  return Queue(index, static_cast<uint8_t>(m.payloadLength + 7), m.userData, [&m](uint8_t* f) {
    PutHeader(f, OVAPI_OP_SEND_UNACK, static_cast<uint8_t>(m.payloadLength + 5), m.nodeId);
    f[4] = m.port;
    f[5] = static_cast<uint8_t>((m.sequenceNo >> 8) & 0x0F);
    f[6] = static_cast<uint8_t>(m.sequenceNo);
    CopyPayload(f + 7, m.payload, m.payloadLength);
  });
}

OvApiResult OvApiSendAcknowledged(uint8_t index, const OvApiSendAckMessage* msg) {
  if (!msg) return MessageMissing;
  const OvApiSendAckMessage m = *msg;
  OvApiResult check = CheckData(m.nodeId, m.port, m.payloadLength, m.payload);
  if (check != Ok) return check;
  return Queue(index, static_cast<uint8_t>(m.payloadLength + 5), m.userData, [&m](uint8_t* f) {
    PutHeader(f, OVAPI_OP_SEND_ACK, static_cast<uint8_t>(m.payloadLength + 3), m.nodeId);
    f[4] = m.port;
    CopyPayload(f + 5, m.payload, m.payloadLength);
  });
}

OvApiResult OvApiSendNodeInfoRequest(uint8_t index, const OvApiNodeInfoRequestMessage* msg) {
  if (!msg) return MessageMissing;
  return SendEmpty(index, OVAPI_OP_NODE_INFO_REQUEST, msg->userData);
}

OvApiResult OvApiSendNeighborListRequest(uint8_t index, uint32_t userData) {
  return SendEmpty(index, OVAPI_OP_NEIGHBOR_LIST_REQUEST, userData);
}

OvApiResult OvApiSendRouteInfoRequest(uint8_t index, uint32_t userData) {
  return SendEmpty(index, OVAPI_OP_ROUTE_INFO_REQUEST, userData);
}

OvApiResult OvApiSendNetCmd(uint8_t index, const OvApiNetCmdMessage* msg) {
  if (!msg) return MessageMissing;
  const OvApiNetCmdMessage m = *msg;
  // The slot holds 34 bytes: 2 of frame header, 3 of command header.
  if (m.payloadLength > OVAPI_TX_FRAME_MAX - 5) return PayloadTooLong;
  if (m.payloadLength != 0 && m.payload == nullptr) return PayloadMissing;
  return Queue(index, static_cast<uint8_t>(m.payloadLength + 5), m.userData, [&m](uint8_t* f) {
    PutHeader(f, OVAPI_OP_NET_CMD, static_cast<uint8_t>(m.payloadLength + 3), m.nodeId);
    f[4] = m.cmd;
    CopyPayload(f + 5, m.payload, m.payloadLength);
  });
}

OvApiResult OvApiSendWesCmd(uint8_t index, const OvApiWesCmdMessage* msg) {
  if (!msg) return MessageMissing;
  return SendOneByte(index, OVAPI_OP_WES_CMD, msg->cmd, msg->userData);
}

OvApiResult OvApiSendAltCmd(uint8_t index, const OvApiAltCmdMessage* msg) {
  if (!msg) return MessageMissing;
  return SendOneByte(index, OVAPI_OP_ALT_CMD, msg->cmd, msg->userData);
}

OvApiResult OvApiSendWesResponse(uint8_t index, const OvApiWesResponseMessage* msg) {
  if (!msg) return MessageMissing;
  const OvApiWesResponseMessage m = *msg;
  return Queue(index, 33, m.userData, [&m](uint8_t* f) {
    f[0] = OVAPI_OP_WES_RESPONSE;
    f[1] = 31;
    std::memcpy(f + 2, m.uidHex, 5);
    f[7] = static_cast<uint8_t>(m.nodeId >> 8);
    f[8] = static_cast<uint8_t>(m.nodeId);
    std::memcpy(f + 9, m.appSettings, 24);
  });
}

OvApiResult OvApiSendRaw(uint8_t index, const OvApiSendRawMessage* msg) {
  if (!msg) return MessageMissing;
  const OvApiSendRawMessage m = *msg;
  OvApiInstance* in = Instance(index);
  if (!in) return MessageMissing;
  if (SlotTaken(*in)) return Busy;
  if (m.payloadLength != 0 && m.payload == nullptr) return PayloadMissing;
  if (m.payloadLength > OVAPI_TX_FRAME_MAX) return PayloadTooLong;
  return Queue(index, m.payloadLength, m.userData,
               [&m](uint8_t* f) { CopyPayload(f, m.payload, m.payloadLength); });
}

// ---- Flow control -------------------------------------------------------------

void OvApiCtsActive(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in) return;
  in->rxPhase.store(OvApiRxPhase::RestartRequested, std::memory_order_release);
  if (in->txLength.load(std::memory_order_acquire) == 0) return;
  TxReader reader(*in);
  uint8_t len = 0;
  uint32_t gen = 0;
  if (!PeekQueued(*in, &len, &gen)) return;
  if (OvApiSupportTxData(index, in->txFrame, len) == NotSent) return;
  // The written hook may run after the slot is reused: it gets a copy.
  uint8_t copy[OVAPI_TX_FRAME_MAX];
  std::memcpy(copy, in->txFrame, len);
  uint32_t userData = 0;
  if (!FreeIfStill(*in, gen, &userData)) return; // cancelled while offered
  reader.Release();
  OvApiSupportMessageWritten(index, userData, copy, len);
}

void OvApiTxDataDone(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in) return;
  uint8_t copy[OVAPI_TX_FRAME_MAX] = {};
  uint8_t len = 0;
  uint32_t userData = 0;
  {
    TxReader reader(*in);
    uint32_t gen = 0;
    if (PeekQueued(*in, &len, &gen)) {
      std::memcpy(copy, in->txFrame, len);
      if (!FreeIfStill(*in, gen, &userData)) len = 0;
    }
  }
  OvApiSupportMessageWritten(index, userData, copy, len);
}

void OvApiCancelEnqueuedMessage(uint8_t index) {
  OvApiInstance* in = Instance(index);
  if (!in) return;
  TxReader reader(*in);
  uint8_t len = 0;
  uint32_t gen = 0;
  uint32_t userData = 0;
  if (PeekQueued(*in, &len, &gen)) FreeIfStill(*in, gen, &userData);
}
