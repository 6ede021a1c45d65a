// The receive task: its thread pumps the UART into the host API's frame
// assembler and broadcasts every serialized message, followed by the
// delimiter, to every client of the receive port. Row 0 of the task table.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "config/Configuration.h"

struct tRecvState {
  int uartFd = -1;                          // the task's own UART descriptor
  tConfigEssentials* essentials = nullptr;  // serializer for the callbacks
  tRecvConfig* config = nullptr;            // receive port, delimiter
  std::atomic<int> state{0};                // 1 running, 0 asked to stop
  int listenFd = -1;                        // the receive port
  sockaddr_in address{};
  std::vector<int> clients;                 // connected clients, accept order
};

extern tRecvState g_recv;
// Bytes fed since the last complete frame or quiet poll; quiet polls that
// found bytes pending. Receive thread only.
extern uint32_t RxCount;
extern uint32_t RxCountError;

// Task-table row. Init opens the UART and the port: non-zero on success, 0
// with g_error. Run is the thread body (null result). Shutdown asks the
// thread to stop and answers 1 (join it).
int RecvTaskInit(void* config);
void* RecvTaskRun(void* config);
int RecvTaskShutdown();

// Resets g_recv (descriptors -1, no clients, state 0) and keeps essentials.
void RecvTaskInitEssentials(tConfigEssentials* essentials);
// One pass: up to 100 ms of UART input, then the waiting clients.
void RecvTaskLoop();
void RecvTaskPumpUart();
void RecvTaskAcceptSockets();
// Closes the UART, the port and every client; empties the client list.
void RecvTaskClose();
// Prints "-->text", sends text and delimiter in one call to every client and
// drops (and closes) every client that did not take all of it. Takes
// ownership of text (from malloc; null is ignored).
void DispatchFormattedMsg(char* text);
