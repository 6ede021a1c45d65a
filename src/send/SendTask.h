// The send task: its thread reads every send-port connection at once, one
// command per connection. One poll covers the listening socket, each
// connection still being read (each with its own read deadline) and the
// written flag's wake-up descriptor. A connection is complete when its braces
// balance outside JSON strings; complete commands go to the command dispatch
// (SendEssentials) and to the module one at a time, in the order they
// completed, and each is answered with one status reply plus the delimiter on
// its own connection, then closed. Row 1 of the task table. The transmit
// hooks that the CTS thread runs live in SendHooks.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "config/Configuration.h"
#include "core/OvSocket.h"
#include "core/OvUartLink.h"
#include "ovapi/OvApi.h"
#include "serializer/JsonBraceScan.h"

constexpr uint32_t SEND_MSG_MAX = 4096;   // message bytes per connection
constexpr int SEND_READ_BOUND_MS = 4900;  // a connection's time to complete
constexpr int SEND_MAX_CLIENTS = 64;      // open connections, served or not

// One accepted connection. Slots with fd -1 are free.
struct tSendClient {
  int fd = -1;
  char* buf = nullptr;          // owned; SEND_MSG_MAX + 1 bytes for the NUL
  uint32_t len = 0;
  tBraceScan scan{};
  long long deadlineMs = 0;     // monotonic ms that end its read bound
  long long lastByteMs = 0;     // accept or last byte: the cap's eviction order
  uint64_t completed = 0;       // 0 while reading; else its place in the queue
};

struct tSendState {
  std::atomic<int> uartFd{-1};  // written to by the CTS thread's hook
  tUartLink link;               // reopens the UART after a hang-up
  tConfigEssentials* essentials = nullptr;
  tSendConfig* config = nullptr;
  std::atomic<int> state{0};    // 1 running, 0 asked to stop
  int listenFd = -1;
  sockaddr_in address{};
  tAcceptBackOff acceptBackOff{};
  tSendClient clients[SEND_MAX_CLIENTS];
  // Numbers the completed connections in order; written by the send thread,
  // atomic so that tests may watch it.
  std::atomic<uint64_t> completedCount{0};
  // The connection being served: its descriptor and message, moved out of
  // its slot.
  int clientFd = -1;
  char* msgBuf = nullptr;       // owned; SEND_MSG_MAX + 1 bytes
  uint32_t msgLen = 0;
  uint32_t msgType = 0;         // opcode of the pending record
  bool waiting = false;         // queued, waiting for the written flag
  long writtenDeadline = 0;     // raw-monotonic second that ends the wait
  OvApiSendUnackMessage unackMsg{};
  OvApiSendAckMessage ackMsg{};
  OvApiNodeInfoRequestMessage nodeInfoRequest{};
  OvApiNeighborListRequestMessage neighborListRequest{};
  OvApiNetCmdMessage netCmd{};
  OvApiWesCmdMessage wesCmd{};
  OvApiWesResponseMessage wesResponse{};
  OvApiAltCmdMessage altCmd{};
  std::atomic<uint8_t> messageWritten{0};  // set by the CTS thread
  // Eventfd posted with messageWritten and by a stop; created once and kept
  // for the life of the process, so the CTS thread never posts to a
  // descriptor that was closed and reused.
  std::atomic<int> wakeFd{-1};
};

extern tSendState g_send;

// Task-table row: init opens the UART and the port (non-zero, or 0 with
// g_error); run is the thread body; shutdown asks it to stop, answers 1.
int SendTaskInit(void* config);
void* SendTaskRun(void* config);
int SendTaskShutdown();

// Resets g_send (descriptors -1, everything else zero) and keeps essentials;
// releases every connection, message or payload left from before. Creates
// the wake-up descriptor the first time: 0 with g_error when it cannot.
int SendTaskInitEssentials(tConfigEssentials* essentials);
// The thread's loop without the UART set-up: serves until state leaves 1,
// then closes every connection (the one being served is answered first).
void SendTaskServe();
// One pass: expires, serves, waits up to maxWaitMs in the one poll, reads.
void SendTaskStep(int maxWaitMs);
// Takes an accepted non-blocking connection into a free slot, closing the
// longest silent one first when all are taken. 1 when taken, 0 when every
// slot holds a complete command (fd closed).
int SendTaskAddClient(int fd);
// Open connections (being read or queued), the one being served excluded.
int SendTaskOpenClients();
// Feeds bytes to the brace count; true when the count is back at 0.
bool SendTaskScanBraces(tBraceScan* scan, const char* bytes, uint32_t count);
// The UART hung up: closes the send task's descriptor, answers a command
// that waits for clear-to-send at once, and opens the device again every
// second from then on; commands meanwhile are answered "Serial device
// unavailable: PATH".
void SendTaskUartLost(int err);
// Terminates and prints the message being served.
void PrintMsg();
// "error" with content when content is non-empty, else "ok"; printed and
// sent with the delimiter (result ignored).
void WriteStatusToClient(const char* content);
// Closes the connection being served and releases its message.
void CleanUpClient();
void SendTaskClose();
