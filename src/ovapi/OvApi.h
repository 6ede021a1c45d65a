// Host API of the mesh-radio module: frame validation, the byte-stream
// receive parser with dispatch to a callback table, the decoders of received
// messages, and the command builders with the single transmit slot that the
// module's clear-to-send releases.
//
// Plain functions over static state; no allocation, no locks. The receive
// thread feeds bytes, the send thread queues commands, the CTS thread hands
// the queued frame over. What crosses threads is atomic (see OvApiInstance).
// The application defines the three OvApiSupport* hooks.
#pragma once

#include <atomic>
#include <cstdint>

// ---- Frame format --------------------------------------------------------

constexpr uint8_t OVAPI_RX_WINDOW = 255;   // bytes the parser ever holds
constexpr uint8_t OVAPI_TX_FRAME_MAX = 34; // longest command frame
constexpr uint8_t OVAPI_MAX_PAYLOAD = 27;  // longest data payload
constexpr uint8_t OVAPI_MAX_NEIGHBORS = 12;

// Opcodes, host to module.
enum : uint8_t {
  OVAPI_OP_SEND_UNACK = 0x02,
  OVAPI_OP_SEND_ACK = 0x03,
  OVAPI_OP_NODE_INFO_REQUEST = 0x08,
  OVAPI_OP_NEIGHBOR_LIST_REQUEST = 0x09,
  OVAPI_OP_NET_CMD = 0x0A,
  OVAPI_OP_ROUTE_INFO_REQUEST = 0x0C,
  OVAPI_OP_WES_CMD = 0x10,
  OVAPI_OP_WES_RESPONSE = 0x11,
  OVAPI_OP_ALT_CMD = 0x20,
};

// Opcodes, module to host.
enum : uint8_t {
  OVAPI_OP_HOST_ACK = 0x50,
  OVAPI_OP_HOST_NACK = 0x51,
  OVAPI_OP_HOST_DATA = 0x52,
  OVAPI_OP_HOST_DATA_HAPA = 0x53,
  OVAPI_OP_HOST_UAPP_DATA = 0x54,
  OVAPI_OP_HOST_UAPP_DATA_HAPA = 0x55,
  OVAPI_OP_HOST_UAPP_STATUS_56 = 0x56,
  OVAPI_OP_HOST_UAPP_STATUS_57 = 0x57,
  OVAPI_OP_NODE_INFO_REPLY = 0x58,
  OVAPI_OP_NEIGHBOR_LIST_REPLY = 0x59,
  OVAPI_OP_NET_CMD_REPLY = 0x5A,
  OVAPI_OP_ROUTE_INFO_REPLY = 0x5C,
  OVAPI_OP_WES_STATUS = 0x60,
  OVAPI_OP_WES_SETUP_REQUEST = 0x61,
};

// True when buffer[0..count) begins with one complete frame that passes the
// length rule of its opcode; then frameLength = L + 2. frameStart is always
// set to 0 first; frameLength is written only on true.
bool OvApiIsValidApiFrame(const uint8_t* buffer, unsigned count, uint16_t* frameStart,
                          uint16_t* frameLength);
// The same tests without the frameStart out-value.
bool OvApiIsValidFrameProtocol(const uint8_t* buffer, unsigned count, uint16_t* frameLength);

// ---- Received message records (payload pointers point into the receive
// buffer and are valid only during the callback) ---------------------------

struct OvApiHostAckNack {
  uint16_t nodeId;
};

struct OvApiHostData {
  uint16_t nodeId;
  uint16_t packageAge; // 1/8 s units
  uint8_t port;
  uint8_t payloadLength;
  const uint8_t* payload;
};

struct OvApiHostDataHapa {
  uint16_t nodeId;
  uint32_t packageAge; // 2^-19 s units
  uint8_t port;
  uint8_t payloadLength;
  const uint8_t* payload;
};

struct OvApiHostUappData {
  uint16_t nodeId;
  uint16_t packageAge;
  uint8_t port;
  uint16_t sequenceNo; // low 12 bits
  uint8_t payloadLength;
  const uint8_t* payload;
};

struct OvApiHostUappDataHapa {
  uint16_t nodeId;
  uint32_t packageAge;
  uint8_t port;
  uint16_t sequenceNo;
  uint8_t payloadLength;
  const uint8_t* payload;
};

struct OvApiHostUappStatus {
  uint16_t nodeId;
  uint16_t status;
};

struct OvApiNodeInfoReply {
  uint16_t nodeId;
  uint8_t uidHex[5];
  uint32_t nodeType;
};

struct OvApiNeighbor {
  uint16_t nodeId;
  uint8_t RSSI;
};

struct OvApiNeighborListReply {
  uint8_t neighborCount;
  OvApiNeighbor neighbors[OVAPI_MAX_NEIGHBORS];
};

struct OvApiNetCmdReply {
  uint16_t nodeId;
  uint32_t command;
  uint8_t payloadLength;
  const uint8_t* payload;
};

struct OvApiRouteInfoRequestReply {
  uint8_t data[16];
};

struct OvApiWesStatus {
  uint8_t status;
};

struct OvApiWesSetupRequest {
  uint8_t uidHex[5];
  uint8_t appFunctionType;
};

// Decoders: fill only the listed fields from a frame that passed validation.
void OvApiGetMsgAsHostAck(const uint8_t* frame, OvApiHostAckNack* msg);
void OvApiGetMsgAsHostData(const uint8_t* frame, OvApiHostData* msg);
void OvApiGetMsgAsHostDataHapa(const uint8_t* frame, OvApiHostDataHapa* msg);
void OvApiGetMsgAsHostUappData(const uint8_t* frame, OvApiHostUappData* msg);
void OvApiGetMsgAsHostUappDataHapa(const uint8_t* frame, OvApiHostUappDataHapa* msg);
void OvApiGetMsgAsHostUappStatus(const uint8_t* frame, OvApiHostUappStatus* msg);
void OvApiGetMsgAsNodeInfoReply(const uint8_t* frame, OvApiNodeInfoReply* msg);
void OvApiGetMsgAsNeighborListReply(const uint8_t* frame, OvApiNeighborListReply* msg);
// With L of 1 or 2 the fields the frame lacks are 0 and the payload empty.
void OvApiGetMsgAsNetCmdResponse(const uint8_t* frame, OvApiNetCmdReply* msg);
void OvApiGetMsgAsRouteInfoRequestReply(const uint8_t* frame, OvApiRouteInfoRequestReply* msg);
void OvApiGetMsgAsWesStatus(const uint8_t* frame, OvApiWesStatus* msg);
void OvApiGetMsgAsWesSetupRequest(const uint8_t* frame, OvApiWesSetupRequest* msg);

// ---- Callback table --------------------------------------------------------

struct OvApiRxCallbacks {
  void (*readCallback)(uint8_t index, const uint8_t* frame, uint8_t frameLength);
  void (*hostAckCallback)(uint8_t index, const OvApiHostAckNack* msg);
  void (*hostNAckCallback)(uint8_t index, const OvApiHostAckNack* msg);
  void (*hostUappStatus56Callback)(uint8_t index, const OvApiHostUappStatus* msg);
  void (*hostUappStatus57Callback)(uint8_t index, const OvApiHostUappStatus* msg);
  void (*hostDataCallback)(uint8_t index, const OvApiHostData* msg);
  void (*hostDataHapaCallback)(uint8_t index, const OvApiHostDataHapa* msg);
  void (*hostUappDataCallback)(uint8_t index, const OvApiHostUappData* msg);
  void (*hostUappDataHapaCallback)(uint8_t index, const OvApiHostUappDataHapa* msg);
  void (*nodeInfoReplyCallback)(uint8_t index, const OvApiNodeInfoReply* msg);
  void (*neighborListReplyCallback)(uint8_t index, const OvApiNeighborListReply* msg);
  void (*routeInfoRequestReplyCallback)(uint8_t index, const OvApiRouteInfoRequestReply* msg);
  void (*netCmdReplyCallback)(uint8_t index, const OvApiNetCmdReply* msg);
  void (*wesSetupRequestCallback)(uint8_t index, const OvApiWesSetupRequest* msg);
  void (*wesStatusCallback)(uint8_t index, const OvApiWesStatus* msg);
};

// ---- Command records -------------------------------------------------------

struct OvApiSendUnackMessage {
  uint16_t nodeId;
  uint8_t port;
  uint16_t sequenceNo;
  uint8_t* payload;
  uint8_t payloadLength;
  uint32_t userData;
};

struct OvApiSendAckMessage {
  uint16_t nodeId;
  uint8_t port;
  uint8_t payloadLength;
  uint8_t* payload;
  uint32_t userData;
};

struct OvApiNodeInfoRequestMessage {
  uint32_t userData;
};

struct OvApiNeighborListRequestMessage {
  uint32_t userData;
};

struct OvApiNetCmdMessage {
  uint16_t nodeId;
  uint8_t cmd;
  uint8_t* payload;
  uint8_t payloadLength;
  uint32_t userData;
};

struct OvApiWesCmdMessage {
  uint32_t cmd;
  uint32_t userData;
};

struct OvApiWesResponseMessage {
  uint8_t uidHex[5];
  uint16_t nodeId;
  uint8_t appSettings[24];
  uint32_t userData;
};

struct OvApiAltCmdMessage {
  uint32_t cmd;
  uint32_t userData;
};

struct OvApiSendRawMessage {
  uint8_t payloadLength;
  uint8_t* payload;
  uint32_t userData;
};

enum OvApiResult : int {
  Ok = 0,
  InvalidNodeId = 1,
  InvalidPort = 2,
  PayloadTooLong = 3,
  Busy = 4,
  PayloadMissing = 5,
  MessageMissing = 6,
  Pending = 7,
  NotSent = 8,
};

// ---- Instance state --------------------------------------------------------

// Restart of frame assembly. Clear-to-send comes from another thread, at a
// moment that says nothing about where the receive thread is in the byte
// stream: the bytes of a frame may be in the UART's FIFO, in the driver, or
// read and half assembled. So the CTS thread only asks for the restart, and
// the receive thread performs it once the line has settled: everything the
// UART held has been read and no new byte came for a while (the receive
// task counts character times of the configured speed).
// A frame whose bytes were on the line before the event, or that is still
// arriving back to back, is thus completed first; a partial frame followed by
// silence is dropped, and the instance becomes active.
//
//   Assembling --OvApiCtsActive (CTS thread)--> RestartRequested
//   RestartRequested --OvApiCtsActive--> RestartRequested (requests merge)
//   RestartRequested --OvApiRxSettled (receive thread)--> Assembling, with
//       active = 1 and the partial frame dropped
//   any --OvApiCallbackNwuActive (receive thread)--> Assembling, with the
//       same restart (a quiet line answers every earlier request)
//   any --OvApiInit (main thread, tasks stopped)--> Assembling
//
// The receive thread clears the request before it drops the partial frame,
// so a request that comes during a restart is kept for the next settled
// line, never lost. Only the receive thread writes rxCount and
// active (apart from OvApiInit).
enum class OvApiRxPhase : uint8_t { Assembling = 0, RestartRequested = 1 };

// One attached module. rxBuffer and the parser fields belong to the receive
// thread; the CTS thread only raises rxPhase (above). The transmit slot is
// handed over through txLength: the producer writes txFrame and userData,
// then txLength with a release store; the consumer acquires txLength before
// it reads the frame.
struct OvApiInstance {
  uint8_t rxBuffer[256];
  std::atomic<uint16_t> rxCount;
  std::atomic<uint8_t> txLength;
  uint8_t txFrame[OVAPI_TX_FRAME_MAX];
  std::atomic<uint32_t> userData;
  std::atomic<uint8_t> active;
  std::atomic<OvApiRxCallbacks*> callbacks;
  std::atomic<OvApiRxPhase> rxPhase;
  // Internal to the transmit hand-over (see OvApiCtsActive): a generation
  // counter that tells the frame offered to the hook from a later one (odd
  // while a frame is queued), and a count of the threads looking at the slot
  // that keeps a new command out of txFrame while the hook reads it. While a
  // send fills the slot, txLength holds 0xFF, a length no frame has.
  std::atomic<uint32_t> txGeneration;
  std::atomic<uint8_t> txBusy;
};

extern const uint8_t g_numberOfOvApis;
extern OvApiInstance g_ovApi[];

// Zeroes every instance (buffers, slot, userData, active, callbacks).
void OvApiInit();
// Instance `index`, or null when index >= g_numberOfOvApis.
OvApiInstance* OvApiGetInstance(uint8_t index);
// Feeds one received byte to the parser of instance `index`.
void OvApiRxData(uint8_t index, uint8_t byte);
// Idle line: activates the instance and drops any partial frame; answers a
// pending restart request.
void OvApiCallbackNwuActive(uint8_t index);
// Receive thread, once the line has settled: performs a requested restart
// (activates the instance, drops any partial frame). True when one was
// requested and performed; false, with nothing changed, otherwise.
bool OvApiRxSettled(uint8_t index);
// Receive thread, when its device is replaced: drops any partial frame and
// makes the instance inactive, so that bytes are dropped until the next
// quiet line or settled restart, as at start.
void OvApiRxDeactivate(uint8_t index);
// Receive thread: true while a clear-to-send has asked for a restart that
// OvApiRxSettled or OvApiCallbackNwuActive has not yet performed.
bool OvApiRxRestartRequested(uint8_t index);
// Receive thread: bytes of a partial frame held (0 when none, or out of
// range), and whether the instance is active.
uint16_t OvApiRxHeld(uint8_t index);
bool OvApiRxActive(uint8_t index);
// Drops the oldest held byte; an empty buffer is left unchanged.
void OvApiShiftBufferDownAndAdjustPosition(OvApiInstance* instance);
// Dispatches one complete frame: slot 0, then the typed slot of its opcode.
// A frame whose length byte does not match frameLength and a 0x56/0x57
// frame with L < 4 reach slot 0 only (never decoded).
void OvApiExecuteCallbacks(uint8_t index, const uint8_t* frame, uint8_t frameLength);
// Pending (7) while a frame is queued, else Ok (0).
OvApiResult OvApiStatus(uint8_t index);

// ---- Send functions: each returns an OvApiResult; on any result but Ok the
// instance is unchanged. The payload is copied during the call. An index
// beyond g_numberOfOvApis answers MessageMissing. Busy also while the
// transmit hook still reads the previous frame. OvApiSendNetCmd answers
// PayloadTooLong above 29 payload bytes and PayloadMissing for a non-zero
// length without payload; OvApiSendRaw answers PayloadTooLong above 34. ----

OvApiResult OvApiSendUnacknowledged(uint8_t index, const OvApiSendUnackMessage* msg);
OvApiResult OvApiSendAcknowledged(uint8_t index, const OvApiSendAckMessage* msg);
OvApiResult OvApiSendNodeInfoRequest(uint8_t index, const OvApiNodeInfoRequestMessage* msg);
OvApiResult OvApiSendNeighborListRequest(uint8_t index, uint32_t userData);
OvApiResult OvApiSendNetCmd(uint8_t index, const OvApiNetCmdMessage* msg);
OvApiResult OvApiSendRouteInfoRequest(uint8_t index, uint32_t userData);
OvApiResult OvApiSendWesCmd(uint8_t index, const OvApiWesCmdMessage* msg);
OvApiResult OvApiSendWesResponse(uint8_t index, const OvApiWesResponseMessage* msg);
OvApiResult OvApiSendAltCmd(uint8_t index, const OvApiAltCmdMessage* msg);
OvApiResult OvApiSendRaw(uint8_t index, const OvApiSendRawMessage* msg);

// Clear-to-send event: asks the receive thread to restart frame assembly
// (see OvApiRxPhase), then offers the queued frame
// to OvApiSupportTxData and, unless it answers NotSent, frees the slot and
// reports it through OvApiSupportMessageWritten. A frame cancelled (or
// completed by OvApiTxDataDone) while the transmit hook ran is not reported.
// The written hook gets a copy of the frame, valid during the call, so it
// may queue the next command at once.
void OvApiCtsActive(uint8_t index);
// Frees the slot and reports it written (also with nothing queued).
void OvApiTxDataDone(uint8_t index);
// Frees the slot without calling any hook.
void OvApiCancelEnqueuedMessage(uint8_t index);

// ---- Hooks the application defines ------------------------------------------

void OvApiSupportMessageReceived(uint8_t index, uint32_t userData, const uint8_t* frame,
                                 uint8_t frameLength);
int OvApiSupportTxData(uint8_t index, const uint8_t* frame, uint8_t length);
void OvApiSupportMessageWritten(uint8_t index, uint32_t userData, const uint8_t* frame,
                                uint8_t length);
