// The receive task: its thread pumps the UART into the host API's frame
// assembler and broadcasts every serialized message, followed by the
// delimiter, to every client of the receive port. Row 0 of the task table.
//
// One poll covers the UART, the listening socket, the wake-up eventfd (a
// stop, a reload's offer) and every client. The
// documents completed from one UART read form a batch: each client gets the
// batch in one send (the rest queued, see RecvClients), and the "-->" lines
// go to standard output in one write. Nothing waits for more bytes, so a
// lone frame goes out as soon as it is complete.
//
// The thread sleeps without a time-out unless something is due: the quiet
// line (100 ms without a byte) only while a partial frame is held or the host
// API is not yet active, the settling of the line (RecvTaskSettleUs without
// a byte) only while a partial frame is held or a clear-to-send asked
// for a restart of frame assembly (OvApiRxPhase), and the pauses of a faulty
// UART or of accepting. A stop posts wakeFd.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "config/Configuration.h"
#include "core/OvHandOver.h"
#include "core/OvSocket.h"
#include "core/OvUartLink.h"
#include "recv/RecvClients.h"

struct tRecvState {
  int uartFd = -1;                          // the task's own UART descriptor
  tUartLink link;                           // reopens the UART after a hang-up
  tConfigEssentials* essentials = nullptr;  // serializer for the callbacks
  tRecvConfig* config = nullptr;            // receive port, delimiter, queue bound
  std::atomic<int> state{0};                // 1 running, 0 asked to stop
  int listenFd = -1;                        // the receive port
  sockaddr_in address{};
  std::vector<tRecvClient> clients;         // connected clients, accept order
  // The batch being built from one UART read, and its log lines.
  std::string batch;
  std::string log;
  bool batching = false;
  // Monotonic milliseconds: the quiet-line deadline (100 ms after the last
  // UART byte or quiet event), and the end of the UART's pause after a fault.
  long long quietAtMs = 0;
  long long uartPausedUntilMs = 0;
  // Monotonic microseconds of the last UART read that brought bytes, and the
  // silence after which the line counts as settled (from the speed).
  int64_t lastByteUs = 0;
  int64_t settleUs = 0;
  tAcceptBackOff acceptBackOff;             // while out of descriptors
  // Eventfd in the poll, posted by a stop and by a reload's offer. Opened by
  // the first init and kept for the life of the process, so the main thread
  // never posts to a closed (or reused) descriptor.
  std::atomic<int> wakeFd{-1};
  // A new configuration from the main thread, taken between two passes.
  tHandOver reload;
};

extern tRecvState g_recv;
// Bytes fed since the last complete frame or quiet poll; quiet polls that
// found bytes pending. Receive thread only.
extern uint32_t RxCount;
extern uint32_t RxCountError;

// Task-table row. Init opens and configures the UART and opens the port:
// non-zero on success, 0 with g_error. Run is the thread body (null result).
// Shutdown asks the thread to stop and answers 1 (join it). Reload offers a
// new configuration to the running thread and waits until it is applied
// (non-zero, or 0 with g_error): the port is rebound (its clients closed)
// only when recvPort or bindAddress changed, and the UART reopened (the
// parser restarted, inactive until a quiet line or clear-to-send) only when
// uart or speed changed; the clients, the UART and the parser otherwise
// carry on, and the delimiter, logDocuments and clientQueueKiB apply from
// the next document.
int RecvTaskInit(void* config);
void* RecvTaskRun(void* config);
int RecvTaskShutdown();
int RecvTaskReload(void* config);
// The receive thread's half of a reload: applies the configuration offered,
// if any (called once per pass).
void RecvTaskTakeReload();

// Resets g_recv (descriptors -1, no clients, state 0) and keeps essentials;
// opens wakeFd the first time. Non-zero on success, 0 with g_error.
int RecvTaskInitEssentials(tConfigEssentials* essentials);
// Settling time of the line at termios `speed`: 18 character times (a UART
// FIFO's piece and two more), at least 10 ms.
int64_t RecvTaskSettleUs(unsigned int speed);
// One pass: one poll until the next deadline (RecvTaskWaitMs), then client
// events, UART input (as one batch), new clients, and the settled-line and
// quiet-line rules.
void RecvTaskLoop();
// Milliseconds the pass starting at monotonic `nowMs` may wait; -1 (no
// time-out) when nothing is due.
int RecvTaskWaitMs(long long nowMs);
// Reads what the UART has (one read) and feeds it as one batch; false when
// the device reported a fault instead of bytes.
bool RecvTaskPumpUart();
// After a hang-up or a failed read: a device that went away is closed and
// opened again every second (the clients stay); any other fault leaves the
// UART out of the poll for 100 ms. Either way the partial frame is dropped,
// so bytes from before never join bytes after.
void RecvTaskUartFault(int err);
// Accepts every waiting client; a lack of descriptors pauses accepting for
// a while, logged once until a client is accepted again.
void RecvTaskAcceptSockets();
// Appends an accepted, non-blocking client; it gets the documents of later
// batches only.
void RecvTaskAddClient(int fd);
// Closes the UART, the port and every client; empties the client list.
void RecvTaskClose();
// Adds text and delimiter to the current batch (and "-->text" to its log
// when logDocuments is 1); outside a batch it is sent at once. Takes
// ownership of text (from malloc; null is ignored).
void DispatchFormattedMsg(char* text);
// Writes the batch's log lines, offers the batch to every client and empties
// it. Clients dropped meanwhile are closed and marked fd -1.
void RecvTaskFlushBatch();
