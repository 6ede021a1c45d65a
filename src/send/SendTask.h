// The send task: its thread serves send-port clients one at a time, one
// command per connection. It reads one brace-balanced JSON object, lets the
// command dispatch (SendEssentials) queue it in the host API, waits for the
// CTS thread to report it written (or gives up and cancels it), answers one
// status reply plus the delimiter and closes the connection. It also defines
// the host API's two transmit hooks, which run on the CTS thread. Row 1 of
// the task table.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "config/Configuration.h"
#include "ovapi/OvApi.h"

constexpr uint32_t SEND_MSG_MAX = 4096;   // message bytes per connection
constexpr int SEND_READ_ATTEMPTS = 49;

struct tSendState {
  std::atomic<int> uartFd{-1};  // written to by the CTS thread's hook
  tConfigEssentials* essentials = nullptr;
  tSendConfig* config = nullptr;
  std::atomic<int> state{0};    // 1 running, 0 asked to stop
  int listenFd = -1;
  sockaddr_in address{};
  int clientFd = -1;
  char* msgBuf = nullptr;       // owned; SEND_MSG_MAX + 1 bytes for the NUL
  uint32_t msgLen = 0;
  uint32_t msgType = 0;         // opcode of the pending record
  OvApiSendUnackMessage unackMsg{};
  OvApiSendAckMessage ackMsg{};
  OvApiNodeInfoRequestMessage nodeInfoRequest{};
  OvApiNeighborListRequestMessage neighborListRequest{};
  OvApiNetCmdMessage netCmd{};
  OvApiWesCmdMessage wesCmd{};
  OvApiWesResponseMessage wesResponse{};
  OvApiAltCmdMessage altCmd{};
  std::atomic<uint8_t> messageWritten{0};  // set by the CTS thread
};

extern tSendState g_send;

// Task-table row: init opens the UART and the port (non-zero, or 0 with
// g_error); run is the thread body; shutdown asks it to stop, answers 1.
int SendTaskInit(void* config);
void* SendTaskRun(void* config);
int SendTaskShutdown();

// Resets g_send (descriptors -1, everything else zero) and keeps essentials;
// releases any message or payload left from before.
void SendTaskInitEssentials(tConfigEssentials* essentials);
// Serves one accepted connection from read to close.
void SendTaskHandleClient(int fd);
// Reads until the braces balance: 1 with msgBuf/msgLen set, 0 with the
// reason printed and the buffer released.
int ReadClientMsg();
// Terminates and prints the message.
void PrintMsg();
// Waits for messageWritten until the whole raw-monotonic second start + the
// time-out has passed; non-zero when it was set. Gives up early on a stop.
int WaitForMessageToBeWritten();
// "error" with content when content is non-empty, else "ok"; printed and
// sent with the delimiter (result ignored).
void WriteStatusToClient(const char* content);
// Closes the client and releases the message.
void CleanUpClient();
void SendTaskClose();
