// Send task: every send-port connection is read at once under its own read
// bound; complete commands are written at clear-to-send one at a time, in
// the order they completed, and each is answered on its own connection.
#include "send/SendTask.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/OvClosers.h"
#include "core/OvEvent.h"
#include "core/OvIo.h"
#include "core/OvPrintErr.h"
#include "core/OvSocket.h"
#include "core/OvUart.h"
#include "send/SendEssentials.h"
#include "serializer/tSerializer.h"

tSendState g_send;

namespace {

constexpr int kUartTimeoutMs = 250;
// The longest single wait: a stop posts the wake-up descriptor, so this only
// bounds how long a missed post could go unnoticed.
constexpr int kIdleWaitMs = 250;
constexpr int kPollSlots = 3 + SEND_MAX_CLIENTS;  // wake-up, listener, UART, clients
constexpr int kFirstClientSlot = 3;

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

void ReleaseClient(tSendClient* client) {
  FdClose(&client->fd);
  Free(&client->buf);
  *client = tSendClient{};
}

// Drops a connection that failed to deliver a command, with the reason
// (already in g_error) as a line; it gets no reply.
void DropClient(tSendClient* client) {
  printf("%s\n", g_error);
  ReleaseClient(client);
}

void ReleaseAllClients() {
  for (tSendClient& client : g_send.clients) {
    ReleaseClient(&client);
  }
}

bool IsReading(const tSendClient& client) { return client.fd >= 0 && client.completed == 0; }

// The connection whose last byte (or accept) lies furthest back among those
// still being read; null when none is.
tSendClient* LongestSilent() {
  tSendClient* found = nullptr;
  for (tSendClient& client : g_send.clients) {
    if (IsReading(client) && (found == nullptr || client.lastByteMs < found->lastByteMs)) {
      found = &client;
    }
  }
  return found;
}

tSendClient* FreeSlot() {
  for (tSendClient& client : g_send.clients) {
    if (client.fd < 0) {
      return &client;
    }
  }
  return nullptr;
}

void ExpireClients(long long now) {
  for (tSendClient& client : g_send.clients) {
    if (IsReading(client) && now >= client.deadlineMs) {
      PrintErr("Failed to read from socket. no data");
      DropClient(&client);
    }
  }
}

// One read into the rest of the buffer; a read of 0 bytes (peer closed, or
// buffer full) or an error other than "nothing yet" drops the connection.
void ReadClient(tSendClient* client, long long now) {
  ssize_t count = IoRead(client->fd, client->buf + client->len, SEND_MSG_MAX - client->len);
  if (count == 0) {
    PrintErr("Failed to read from socket. no data");
    DropClient(client);
    return;
  }
  if (count < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      PrintErr("Failed to read from socket. errno=%s", PrintErrNo(errno));
      DropClient(client);
    }
    return;
  }
  bool balanced =
      SendTaskScanBraces(&client->scan, client->buf + client->len, static_cast<uint32_t>(count));
  client->len += static_cast<uint32_t>(count);
  client->lastByteMs = now;
  if (balanced) {
    client->completed = g_send.completedCount.fetch_add(1, std::memory_order_relaxed) + 1;
  }
}

void AcceptClients() {
  for (int i = 0; i < SEND_MAX_CLIENTS; ++i) {
    int fd = -1;
    if (!SocketAcceptBackOff(g_send.listenFd, &fd, &g_send.acceptBackOff, "Send port")) {
      return;
    }
    SendTaskAddClient(fd);
  }
}

// Answers the connection being served and closes it.
void Answer(const char* content) {
  WriteStatusToClient(content);
  SendEssentialsReleasePayloads();
  CleanUpClient();
  g_send.waiting = false;
}

// The error of a command while the device is gone.
const char* Unavailable() {
  PrintErr("Serial device unavailable: %s", g_send.link.path);
  return g_error;
}

// While the device is gone, one attempt a second to open it again.
void ReopenUart() {
  int fd = -1;
  if (UartLinkIsLost(&g_send.link) && UartLinkReopen(&g_send.link, &fd)) {
    g_send.uartFd.store(fd);
  }
}

// Moves the earliest complete command out of its slot and serves it up to
// the wait for the written flag (or answers it at once when it is refused).
void StartNextCommand() {
  tSendClient* next = nullptr;
  for (tSendClient& client : g_send.clients) {
    if (client.fd >= 0 && client.completed != 0 &&
        (next == nullptr || client.completed < next->completed)) {
      next = &client;
    }
  }
  if (next == nullptr) {
    return;
  }
  g_send.clientFd = next->fd;
  g_send.msgBuf = next->buf;
  g_send.msgLen = next->len;
  *next = tSendClient{};
  PrintMsg();
  const char* content = ParseMsg();
  if (content == nullptr && UartLinkIsLost(&g_send.link)) {
    content = Unavailable();
  }
  if (content == nullptr) {
    OvApiResult code = SendMessageToOvApi();
    if (code == Ok) {
      g_send.waiting = true;
      g_send.writtenDeadline = IoMonotonicRawSeconds() + g_send.config->getCtsTimeoutSecs();
      return;
    }
    PrintErr("Staging data failed: %d", static_cast<int>(code));
    content = g_error;
  }
  Answer(content);
}

// Ends the wait of the command being served when the frame was written, or
// when the whole raw-monotonic seconds are past its deadline, or on a stop.
void CheckWritten() {
  if (!g_send.waiting) {
    return;
  }
  if (g_send.messageWritten.load(std::memory_order_acquire) != 0) {
    Answer(nullptr);
  } else if (IoMonotonicRawSeconds() > g_send.writtenDeadline || g_send.state.load() != 1) {
    OvApiCancelEnqueuedMessage(0);
    PrintErr("Message was not written to UART within %d seconds",
             g_send.config->getCtsTimeoutSecs());
    Answer(g_error);
  }
}

bool HasCompleted() {
  for (const tSendClient& client : g_send.clients) {
    if (client.fd >= 0 && client.completed != 0) {
      return true;
    }
  }
  return false;
}

int Shorter(long long remainingMs, int waitMs) {
  if (remainingMs < 0) {
    return 0;
  }
  return remainingMs < waitMs ? static_cast<int>(remainingMs) : waitMs;
}

// The poll time-out: the nearest read deadline, the end of the written wait
// or the end of an accept back-off, never more than maxWaitMs.
int WaitMs(long long now, int maxWaitMs) {
  int wait = maxWaitMs;
  if (!g_send.waiting && HasCompleted()) {
    return 0;
  }
  if (g_send.waiting) {
    // In the deadline's own clock: measured against `now` the drift between
    // the two would end each wait early and spin until the deadline.
    wait = Shorter((g_send.writtenDeadline + 1) * 1000LL - IoMonotonicRawMs(), wait);
  }
  for (const tSendClient& client : g_send.clients) {
    if (IsReading(client)) {
      wait = Shorter(client.deadlineMs - now, wait);
    }
  }
  return wait;
}

}  // namespace

bool SendTaskScanBraces(tBraceScan* scan, const char* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    BraceScanByte(scan, bytes[i]);
  }
  return scan->depth == 0;
}

int SendTaskAddClient(int fd) {
  tSendClient* slot = FreeSlot();
  if (slot == nullptr) {
    slot = LongestSilent();
    if (slot == nullptr) {
      printf("Send port full: every connection holds a command; new connection closed\n");
      FdClose(&fd);
      return 0;
    }
    printf("Send port full: closed the connection silent the longest\n");
    ReleaseClient(slot);
  }
  slot->buf = static_cast<char*>(malloc(SEND_MSG_MAX + 1));
  if (slot->buf == nullptr) {
    printf("ERROR: out of memory, could not allocate socket buffer\n");
    FdClose(&fd);
    return 0;
  }
  long long now = IoMonotonicMs();
  slot->fd = fd;
  slot->deadlineMs = now + SEND_READ_BOUND_MS;
  slot->lastByteMs = now;
  return 1;
}

int SendTaskOpenClients() {
  int open = 0;
  for (const tSendClient& client : g_send.clients) {
    open += client.fd >= 0 ? 1 : 0;
  }
  return open;
}

void SendTaskStep(int maxWaitMs) {
  long long now = IoMonotonicMs();
  ReopenUart();
  ExpireClients(now);
  CheckWritten();
  if (!g_send.waiting) {
    StartNextCommand();
  }
  pollfd fds[kPollSlots];
  tSendClient* owners[kPollSlots] = {};
  unsigned count = 0;
  int wait = WaitMs(now, maxWaitMs);
  fds[count++] = {g_send.wakeFd.load(), POLLIN, 0};
  bool listen = SocketAcceptReady(&g_send.acceptBackOff, now, &wait);
  fds[count++] = {listen ? g_send.listenFd : -1, POLLIN, 0};
  // No events asked: only a hang-up or error of the device is reported.
  fds[count++] = {g_send.uartFd.load(), 0, 0};
  if (UartLinkIsLost(&g_send.link)) wait = Shorter(UartLinkRetryInMs(&g_send.link), wait);
  for (tSendClient& client : g_send.clients) {
    if (IsReading(client)) {
      owners[count] = &client;
      fds[count++] = {client.fd, POLLIN, 0};
    }
  }
  if (IoPoll(fds, count, wait) <= 0) {
    return;  // time-out or interruption: the next pass looks at the clocks
  }
  if (fds[0].revents != 0) {
    EventDrain(fds[0].fd);
  }
  now = IoMonotonicMs();
  if ((fds[2].revents & (POLLHUP | POLLERR)) != 0) {
    SendTaskUartLost(EIO);
  }
  for (unsigned i = kFirstClientSlot; i < count; ++i) {
    if (fds[i].revents != 0) {
      ReadClient(owners[i], now);
    }
  }
  if (fds[1].revents != 0) {
    AcceptClients();
  }
}

void SendTaskServe() {
  while (g_send.state.load() == 1) {
    SendTaskStep(kIdleWaitMs);
  }
  CheckWritten();  // a stop ends the wait: the client still gets its answer
  ReleaseAllClients();
}

int SendTaskInitEssentials(tConfigEssentials* essentials) {
  // Whatever a thread that ended early left open is released here, once.
  ReleaseAllClients();
  Free(&g_send.msgBuf);
  SendEssentialsReleasePayloads();
  FdClose(&g_send.clientFd);
  SendTaskClose();
  g_send.essentials = essentials;
  g_send.config = nullptr;
  g_send.state.store(0);
  memset(&g_send.address, 0, sizeof g_send.address);
  g_send.acceptBackOff = tAcceptBackOff{};
  g_send.completedCount.store(0);
  g_send.msgLen = 0;
  g_send.msgType = 0;
  g_send.waiting = false;
  g_send.writtenDeadline = 0;
  g_send.messageWritten.store(0);
  if (g_send.wakeFd.load() >= 0) {
    EventDrain(g_send.wakeFd.load());
    return 1;
  }
  int fd = -1;
  int ok = EventOpen(&fd);
  g_send.wakeFd.store(fd);
  return ok;
}

int SendTaskInit(void* config) {
  auto* whole = static_cast<tConfiguration*>(config);
  if (!SendTaskInitEssentials(whole)) {
    return 0;
  }
  g_send.config = whole;
  whole->getSerializer()->SetStrictCommands(whole->getStrictCommands() != 0);
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
  UartLinkInit(&g_send.link, g_send.config->getUart(), g_send.config->getSpeed(), kUartTimeoutMs,
               UART_LINK_SEND);
  // The run flag was raised by init; raising it again here could undo a
  // stop requested before this thread got going.
  SendTaskServe();
  SendTaskClose();
  return nullptr;
}

int SendTaskShutdown() {
  g_send.state.store(0);
  EventPost(g_send.wakeFd.load());
  return 1;
}

void SendTaskUartLost(int err) {
  int fd = g_send.uartFd.exchange(-1);
  FdClose(&fd);
  UartLinkLost(&g_send.link, err);
  if (g_send.waiting) {
    OvApiCancelEnqueuedMessage(0);
    Answer(Unavailable());
  }
}

void PrintMsg() {
  g_send.msgBuf[g_send.msgLen] = '\0';
  printf("Data received: \r\n<--%s\r\n", g_send.msgBuf);
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
