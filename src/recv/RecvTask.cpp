// Receive task: UART to host API, serialized messages to the receive port.
#include "recv/RecvTask.h"

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "core/OvSocket.h"
#include "core/OvUart.h"
#include "ovapi/OvApi.h"

tRecvState g_recv;
uint32_t RxCount = 0;
uint32_t RxCountError = 0;

namespace {

constexpr int kPollMs = 100;
constexpr int kUartTimeoutMs = 250;
// A hung-up or failing UART reports at once on every poll; pause as long as
// a quiet poll would so the thread never spins.
constexpr unsigned int kFaultPauseMs = 100;

int OpenUart(tRecvConfig* config) { return UartOpen(config->getUart(), &g_recv.uartFd); }

int OpenSocket(tRecvConfig* config) {
  return SocketOpenServer(config->getBindAddress(), config->getRecvPort(), &g_recv.listenFd,
                          &g_recv.address);
}

int ConfigureUart(tRecvConfig* config) {
  return UartConfigure(g_recv.uartFd, config->getSpeed(), kUartTimeoutMs);
}

void FeedBytes(const uint8_t* bytes, ssize_t count) {
  for (ssize_t i = 0; i < count; ++i) {
    ++RxCount;
    OvApiRxData(0, bytes[i]);
  }
}

}  // namespace

void RecvTaskInitEssentials(tConfigEssentials* essentials) {
  g_recv.uartFd = -1;
  g_recv.listenFd = -1;
  g_recv.config = nullptr;
  g_recv.state.store(0);
  memset(&g_recv.address, 0, sizeof g_recv.address);
  g_recv.clients.clear();
  g_recv.essentials = essentials;
}

int RecvTaskInit(void* config) {
  auto* whole = static_cast<tConfiguration*>(config);
  RecvTaskInitEssentials(whole);
  g_recv.config = whole;
  if (!OpenUart(g_recv.config)) {
    return 0;
  }
  if (!OpenSocket(g_recv.config)) {
    FdClose(&g_recv.listenFd);  // the socket may exist after a failed bind
    return 0;
  }
  g_recv.state.store(1);
  return 1;
}

void* RecvTaskRun(void*) {
  if (!ConfigureUart(g_recv.config)) {
    RecvTaskClose();  // the reason stays in g_error; nothing is printed
    return nullptr;
  }
  // The run flag was raised by init; raising it again here could undo a
  // stop requested before this thread got going.
  while (g_recv.state.load() == 1) {
    RecvTaskLoop();
  }
  RecvTaskClose();
  return nullptr;
}

int RecvTaskShutdown() {
  g_recv.state.store(0);
  return 1;
}

void RecvTaskLoop() {
  RecvTaskPumpUart();
  RecvTaskAcceptSockets();
}

void RecvTaskPumpUart() {
  short revents = 0;
  int rc = IoPollOne(g_recv.uartFd, POLLIN, kPollMs, &revents);
  if (rc == 0) {
    OvApiCallbackNwuActive(0);
    if (RxCount != 0) {
      ++RxCountError;
    }
    RxCount = 0;
    return;
  }
  if (rc > 0 && (revents & POLLIN) != 0) {
    uint8_t buffer[256];
    ssize_t count = IoRead(g_recv.uartFd, buffer, sizeof buffer);
    if (count > 0) {
      FeedBytes(buffer, count);
      return;
    }
  }
  IoSleepMs(kFaultPauseMs);
}

void RecvTaskAcceptSockets() {
  int fd = -1;
  while (SocketAcceptNonBlock(g_recv.listenFd, &fd)) {
    g_recv.clients.push_back(fd);
  }
}

void RecvTaskClose() {
  FdClose(&g_recv.uartFd);
  FdClose(&g_recv.listenFd);
  for (int& fd : g_recv.clients) {
    FdClose(&fd);
  }
  g_recv.clients.clear();
}

void DispatchFormattedMsg(char* text) {
  if (text == nullptr) {
    return;
  }
  printf("-->%s\n", text);
  const char* delimiter = g_recv.config != nullptr ? g_recv.config->getDelimiterFormatted()
                                                   : nullptr;
  if (delimiter == nullptr) {
    delimiter = "";
  }
  size_t textLength = strlen(text);
  size_t delimiterLength = strlen(delimiter);
  size_t length = textLength + delimiterLength;
  auto* buffer = static_cast<char*>(malloc(length + 1));
  if (buffer != nullptr) {
    memcpy(buffer, text, textLength);
    memcpy(buffer + textLength, delimiter, delimiterLength);
    size_t kept = 0;
    for (int fd : g_recv.clients) {
      if (SocketSendAll(fd, buffer, length)) {
        g_recv.clients[kept++] = fd;
      } else {
        FdClose(&fd);
      }
    }
    g_recv.clients.resize(kept);
  }
  Free(&buffer);
  Free(&text);
}

void OvApiSupportMessageReceived(uint8_t index, uint32_t, const uint8_t* frame,
                                 uint8_t frameLength) {
  OvApiExecuteCallbacks(index, frame, frameLength);
}
