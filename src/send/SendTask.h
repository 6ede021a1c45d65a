// The send task: its thread reads every send-port connection at once, one
// command per connection. One poll covers the listening socket, each
// connection still being read (each with its own read deadline) and the
// written flag's wake-up descriptor. A connection is complete when its braces
// balance outside JSON strings; complete commands go to the command dispatch
// (SendEssentials) and to the module one at a time, in the order they
// completed, and each is answered with one status reply plus the delimiter on
// its own connection, then closed. Row 1 of the task table. The transmit
// hooks that the CTS thread runs live in SendHooks.
//
// A connection's phases (tSendPhase):
//   Free    -> Reading  accepted into a free slot (SendTaskAddClient)
//   Reading -> Queued   its braces balance: numbered in completion order
//   Reading -> Free     read bound over, peer closed, read error, evicted by
//                       a newer connection while all slots are taken, or its
//                       port rebound by a reload
//   Queued  -> Serving  the earliest queued one moves out of its slot into
//                       g_send.clientFd/msgBuf and is parsed
//   Serving -> Waiting  staged with the host API under its own command
//                       number (the slot's userData); waits for the CTS thread
//   Serving -> Free     refused (bad command, no device, staging failed):
//                       answered with "error" and closed
//   Waiting -> Free     answered and closed when the written report with its
//                       number comes ("ok"), the write failed ("error" with
//                       errno), its deadline passed, the device went away, a
//                       reload changed the UART, or a stop
//   Queued  -> Free     a stop, or its port rebound by a reload (unanswered)
//
// The UART descriptors and who may touch them, in one place:
//   g_recv.uartFd  the receive thread's own; opened, read, closed only there
//   g_send.uart    the send thread's own (opens, reopens, closes, polls it
//                  for hang-ups); lent to the CTS thread for frame writes
//                  through tFdLease, so it is never closed under a write
//   g_cts.uartFd   the CTS thread's own (ioctl mode: modem-line waits); the
//                  main thread opens it before the thread starts
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "config/Configuration.h"
#include "core/OvFdLease.h"
#include "core/OvHandOver.h"
#include "core/OvSocket.h"
#include "core/OvUartLink.h"
#include "ovapi/OvApi.h"
#include "serializer/JsonBraceScan.h"

constexpr uint32_t SEND_MSG_MAX = 4096;   // message bytes per connection
constexpr int SEND_READ_BOUND_MS = 4900;  // a connection's time to complete
constexpr int SEND_MAX_CLIENTS = 64;      // open connections, served or not
// Longest write of one frame to the UART: a 40-byte frame takes 3.5 ms at
// 115200 baud, so only a device that takes nothing reaches it.
constexpr int SEND_TX_BOUND_MS = 1000;

enum class tSendPhase : int { Free, Reading, Queued, Serving, Waiting };

// One accepted connection; a slot is Free, Reading or Queued.
struct tSendClient {
  tSendPhase phase = tSendPhase::Free;
  int fd = -1;
  char* buf = nullptr;          // owned; SEND_MSG_MAX + 1 bytes for the NUL
  uint32_t len = 0;
  tBraceScan scan{};
  long long deadlineMs = 0;     // monotonic ms that end its read bound
  long long lastByteMs = 0;     // accept or last byte: the cap's eviction order
  uint64_t completed = 0;       // Queued: its place in the queue
};

struct tSendState {
  tFdLease uart;                // owned here, lent to the CTS thread's hook
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
  tSendPhase served = tSendPhase::Free;  // Free, Serving or Waiting
  uint32_t commandId = 0;       // number of the served command, never 0
  long writtenDeadline = 0;     // raw-monotonic second that ends the wait
  OvApiSendUnackMessage unackMsg{};
  OvApiSendAckMessage ackMsg{};
  OvApiNodeInfoRequestMessage nodeInfoRequest{};
  OvApiNeighborListRequestMessage neighborListRequest{};
  OvApiNetCmdMessage netCmd{};
  OvApiWesCmdMessage wesCmd{};
  OvApiWesResponseMessage wesResponse{};
  OvApiAltCmdMessage altCmd{};
  // Reports of the CTS thread's hooks, each naming its command by number:
  // written, or not written with the write's errno (stored before the id).
  std::atomic<uint32_t> writtenId{0};
  std::atomic<uint32_t> failedId{0};
  std::atomic<int> failedErrno{0};
  // A new configuration from the main thread, taken between two passes.
  tHandOver reload;
  // Eventfd posted with messageWritten and by a stop; created once and kept
  // for the life of the process, so the CTS thread never posts to a
  // descriptor that was closed and reused.
  std::atomic<int> wakeFd{-1};
};

extern tSendState g_send;

// Task-table row: init opens and configures the UART and opens the port
// (non-zero, or 0 with g_error); run is the thread body; shutdown asks it to
// stop, answers 1. Reload offers a new configuration to the running thread
// and waits for it to be applied (non-zero, or 0 with g_error): the UART is
// reopened only when uart or speed changed (a waiting command is then
// answered as a stop answers it), the port rebound only when sendPort or
// bindAddress changed (its unserved connections closed); everything else
// applies from the next command.
int SendTaskInit(void* config);
void* SendTaskRun(void* config);
int SendTaskShutdown();
int SendTaskReload(void* config);
// The send thread's half of a reload: applies the configuration offered, if
// any (called once per pass).
void SendTaskTakeReload();

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
// Publishes a freshly opened UART descriptor for the CTS thread's writes
// (made non-blocking, so a write can be bounded).
void SendTaskAdoptUart(int fd);
// Terminates and prints the message being served.
void PrintMsg();
// "error" with content when content is non-empty, else "ok"; printed and
// sent with the delimiter (result ignored).
void WriteStatusToClient(const char* content);
// Closes the connection being served and releases its message.
void CleanUpClient();
void SendTaskClose();
