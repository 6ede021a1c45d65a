// Send task: one command per send-port connection, answered after the frame
// was written at clear-to-send or cancelled on time-out.
#include "send/SendTask.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "core/OvPrintErr.h"
#include "core/OvSocket.h"
#include "core/OvUart.h"
#include "send/SendEssentials.h"
#include "serializer/tSerializer.h"

tSendState g_send;

namespace {

constexpr int kUartTimeoutMs = 250;
constexpr int kReadPauseMs = 100;
constexpr unsigned int kWrittenPollUs = 250;
constexpr unsigned int kAcceptPauseMs = 250;

int OpenUart(tSendConfig* config) {
  int fd = -1;
  int ok = UartOpen(config->getUart(), &fd);
  g_send.uartFd.store(fd);
  return ok;
}

int OpenSocket(tSendConfig* config) {
  return SocketOpenServer(config->getBindAddress(), config->getSendPort(), &g_send.listenFd,
                          &g_send.address);
}

int ConfigureUart(tSendConfig* config) {
  return UartConfigure(g_send.uartFd.load(), config->getSpeed(), kUartTimeoutMs);
}

// Adds the braces of the new bytes to depth.
void CountBraces(const char* bytes, ssize_t count, int* depth) {
  for (ssize_t i = 0; i < count; ++i) {
    if (bytes[i] == '{') {
      ++*depth;
    } else if (bytes[i] == '}') {
      --*depth;
    }
  }
}

// One read into the rest of the buffer. 1: bytes arrived; 0: nothing yet
// (paused); -1: failed with the reason in g_error.
int ReadSome(int* depth) {
  ssize_t count = IoRead(g_send.clientFd, g_send.msgBuf + g_send.msgLen,
                         SEND_MSG_MAX - g_send.msgLen);
  if (count == 0) {
    return PrintErr("Failed to read from socket. no data") - 1;
  }
  if (count < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return PrintErr("Failed to read from socket. errno=%s", PrintErrNo(errno)) - 1;
    }
    // Waiting on the socket instead of a fixed sleep: the pause ends as soon
    // as the next piece arrives.
    short revents = 0;
    IoPollOne(g_send.clientFd, POLLIN, kReadPauseMs, &revents);
    return 0;
  }
  CountBraces(g_send.msgBuf + g_send.msgLen, count, depth);
  g_send.msgLen += static_cast<uint32_t>(count);
  return 1;
}

void SendTaskLoop() {
  int fd = -1;
  while (g_send.state.load() == 1 && SocketAcceptNonBlock(g_send.listenFd, &fd)) {
    SendTaskHandleClient(fd);
  }
  IoSleepMs(kAcceptPauseMs);
}

}  // namespace

void SendTaskInitEssentials(tConfigEssentials* essentials) {
  // Whatever a thread that ended early left open is released here, once.
  Free(&g_send.msgBuf);
  SendEssentialsReleasePayloads();
  FdClose(&g_send.clientFd);
  SendTaskClose();
  g_send.essentials = essentials;
  g_send.config = nullptr;
  g_send.state.store(0);
  memset(&g_send.address, 0, sizeof g_send.address);
  g_send.msgLen = 0;
  g_send.msgType = 0;
  g_send.messageWritten.store(0);
}

int SendTaskInit(void* config) {
  auto* whole = static_cast<tConfiguration*>(config);
  SendTaskInitEssentials(whole);
  g_send.config = whole;
  if (!OpenUart(g_send.config)) {
    return 0;
  }
  if (!OpenSocket(g_send.config)) {
    FdClose(&g_send.listenFd);
    return 0;
  }
  g_send.state.store(1);
  return 1;
}

void* SendTaskRun(void*) {
  if (!ConfigureUart(g_send.config)) {
    return nullptr;  // the port stays open but unserved; reason in g_error
  }
  // The run flag was raised by init; raising it again here could undo a
  // stop requested before this thread got going.
  while (g_send.state.load() == 1) {
    SendTaskLoop();
  }
  SendTaskClose();
  return nullptr;
}

int SendTaskShutdown() {
  g_send.state.store(0);
  return 1;
}

void SendTaskHandleClient(int fd) {
  g_send.clientFd = fd;
  if (!ReadClientMsg()) {
    CleanUpClient();
    return;
  }
  PrintMsg();
  const char* content = ParseMsg();
  if (content == nullptr) {
    OvApiResult code = SendMessageToOvApi();
    if (code != Ok) {
      PrintErr("Staging data failed: %d", static_cast<int>(code));
      content = g_error;
    } else if (!WaitForMessageToBeWritten()) {
      OvApiCancelEnqueuedMessage(0);
      PrintErr("Message was not written to UART within %d seconds",
               g_send.config->getCtsTimeoutSecs());
      content = g_error;
    }
  }
  WriteStatusToClient(content);
  SendEssentialsReleasePayloads();
  CleanUpClient();
}

int ReadClientMsg() {
  g_send.msgLen = 0;
  g_send.msgBuf = static_cast<char*>(malloc(SEND_MSG_MAX + 1));
  if (g_send.msgBuf == nullptr) {
    printf("ERROR: out of memory, could not allocate socket buffer\n");
    return 0;
  }
  int depth = 0;
  int rc = 0;
  for (int attempts = SEND_READ_ATTEMPTS; rc >= 0; --attempts) {
    if (attempts == 0 || g_send.state.load() != 1) {
      // A stop ends the wait for a silent client as well.
      rc = PrintErr("Failed to read from socket. no data") - 1;
      break;
    }
    rc = ReadSome(&depth);
    if (rc > 0 && depth == 0) {
      return 1;
    }
  }
  printf("%s\n", g_error);
  Free(&g_send.msgBuf);
  g_send.msgLen = 0;
  return 0;
}

void PrintMsg() {
  g_send.msgBuf[g_send.msgLen] = '\0';
  printf("Data received: \r\n<--%s\r\n", g_send.msgBuf);
}

int WaitForMessageToBeWritten() {
  long deadline = IoMonotonicRawSeconds() + g_send.config->getCtsTimeoutSecs();
  do {
    if (g_send.messageWritten.load(std::memory_order_acquire) != 0) {
      return 1;
    }
    IoSleepUs(kWrittenPollUs);
  } while (IoMonotonicRawSeconds() <= deadline && g_send.state.load() == 1);
  return g_send.messageWritten.load(std::memory_order_acquire);
}

void WriteStatusToClient(const char* content) {
  tReplyMsg reply{};
  reply.status = (content != nullptr && content[0] != '\0') ? "error" : "ok";
  reply.content = content;
  char* json = g_send.essentials->getSerializer()->Serialize(&reply);
  if (json == nullptr) {
    return;
  }
  printf("-->%s\n", json);
  const char* delimiter = g_send.config->getDelimiterFormatted();
  if (delimiter == nullptr) {
    delimiter = "";
  }
  size_t jsonLength = strlen(json);
  size_t delimiterLength = strlen(delimiter);
  auto* buffer = static_cast<char*>(malloc(jsonLength + delimiterLength + 1));
  if (buffer != nullptr) {
    memcpy(buffer, json, jsonLength);
    memcpy(buffer + jsonLength, delimiter, delimiterLength);
    SocketSendAll(g_send.clientFd, buffer, jsonLength + delimiterLength);
  }
  Free(&buffer);
  Free(&json);
}

void CleanUpClient() {
  FdClose(&g_send.clientFd);
  Free(&g_send.msgBuf);
  g_send.msgLen = 0;
}

void SendTaskClose() {
  int fd = g_send.uartFd.exchange(-1);
  FdClose(&fd);
  FdClose(&g_send.listenFd);
}

int OvApiSupportTxData(uint8_t, const uint8_t* frame, uint8_t length) {
  int fd = g_send.uartFd.load();
  if (fd >= 0) {
    ssize_t ignored = IoWrite(fd, frame, length);
    (void)ignored;
  }
  return 0;
}

void OvApiSupportMessageWritten(uint8_t, uint32_t, const uint8_t*, uint8_t) {
  g_send.messageWritten.store(1, std::memory_order_release);
}
