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
#include "send/SendEssentials.h"
#include "serializer/tSerializer.h"

tSendState g_send;

namespace {

constexpr int kUartTimeoutMs = 250;
// Idle, the thread sleeps until a descriptor or a post wakes it: a stop, a
// reload and both transmit reports post the wake-up descriptor.
constexpr int kIdleWaitMs = -1;
// How long the main thread waits for the thread to take a configuration.
constexpr int kReloadAwaitMs = 10000;
constexpr int kPollSlots = 3 + SEND_MAX_CLIENTS;  // wake-up, listener, UART, clients
constexpr int kFirstClientSlot = 3;

// Opens and configures the device of config into the lease; 0 with g_error
// and nothing left open.
int OpenUart(tSendConfig* config) {
  int fd = -1;
  if (!UartLinkOpenDevice(config->getUart(), config->getSpeed(), kUartTimeoutMs, &fd)) {
    return 0;
  }
  SendTaskAdoptUart(fd);
  return 1;
}

int OpenSocket(tSendConfig* config) {
  return SocketReopenServer(config->getBindAddress(), config->getSendPort(), &g_send.listenFd,
                            &g_send.address);
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

bool IsReading(const tSendClient& client) { return client.phase == tSendPhase::Reading; }

bool IsQueued(const tSendClient& client) { return client.phase == tSendPhase::Queued; }

bool Waiting() { return g_send.served == tSendPhase::Waiting; }

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
    if (client.phase == tSendPhase::Free) {
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
    client->phase = tSendPhase::Queued;
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
  g_send.served = tSendPhase::Free;
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
    SendTaskAdoptUart(fd);
  }
}

// Moves the earliest complete command out of its slot and serves it up to
// the wait for the written flag (or answers it at once when it is refused).
void StartNextCommand() {
  tSendClient* next = nullptr;
  for (tSendClient& client : g_send.clients) {
    if (IsQueued(client) &&
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
  g_send.served = tSendPhase::Serving;
  if (++g_send.commandId == 0) ++g_send.commandId;  // 0 names no command
  PrintMsg();
  const char* content = ParseMsg();
  if (content == nullptr && UartLinkIsLost(&g_send.link)) {
    content = Unavailable();
  }
  if (content == nullptr) {
    OvApiResult code = SendMessageToOvApi();
    if (code == Ok) {
      g_send.served = tSendPhase::Waiting;
      g_send.writtenDeadline = IoMonotonicRawSeconds() + g_send.config->getCtsTimeoutSecs();
      return;
    }
    PrintErr("Staging data failed: %d", static_cast<int>(code));
    content = g_error;
  }
  Answer(content);
}

// Answers the waiting command as a stop does: taken back from the host API,
// "not written within" its time-out.
void AnswerNotWritten() {
  OvApiCancelEnqueuedMessage(0);
  PrintErr("Message was not written to UART within %d seconds",
           g_send.config->getCtsTimeoutSecs());
  Answer(g_error);
}

// The write of the waiting command failed: "error" with the errno, and a
// device that went away is handled as a hang-up.
void AnswerWriteFailed(int err) {
  OvApiCancelEnqueuedMessage(0);
  PrintErr("Message was not written to UART. errno=%s", PrintErrNo(err));
  Answer(g_error);
  if (UartLinkIsGone(err) && !UartLinkIsLost(&g_send.link)) {
    SendTaskUartLost(err);
  }
}

// Ends the wait of the command being served when a report with its number
// came (written, or failed), or when the whole raw-monotonic seconds are
// past its deadline, or on a stop. A report for an earlier number is late
// and changes nothing.
void CheckWritten() {
  if (!Waiting()) {
    return;
  }
  if (g_send.writtenId.load(std::memory_order_acquire) == g_send.commandId) {
    Answer(nullptr);
  } else if (g_send.failedId.load(std::memory_order_acquire) == g_send.commandId) {
    AnswerWriteFailed(g_send.failedErrno.load(std::memory_order_relaxed));
  } else if (IoMonotonicRawSeconds() > g_send.writtenDeadline || g_send.state.load() != 1) {
    AnswerNotWritten();
  }
}

bool HasCompleted() {
  for (const tSendClient& client : g_send.clients) {
    if (IsQueued(client)) {
      return true;
    }
  }
  return false;
}

// The shorter of two waits; a negative waitMs is no limit.
int Shorter(long long remainingMs, int waitMs) {
  if (remainingMs < 0) {
    return 0;
  }
  return (waitMs < 0 || remainingMs < waitMs) ? static_cast<int>(remainingMs) : waitMs;
}

// The poll time-out: the nearest read deadline, the end of the written wait
// or the end of an accept back-off, never more than maxWaitMs.
int WaitMs(long long now, int maxWaitMs) {
  int wait = maxWaitMs;
  if (!Waiting() && HasCompleted()) {
    return 0;
  }
  if (Waiting()) {
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
  slot->phase = tSendPhase::Reading;
  slot->fd = fd;
  slot->deadlineMs = now + SEND_READ_BOUND_MS;
  slot->lastByteMs = now;
  return 1;
}

int SendTaskOpenClients() {
  int open = 0;
  for (const tSendClient& client : g_send.clients) {
    open += client.phase != tSendPhase::Free ? 1 : 0;
  }
  return open;
}

void SendTaskStep(int maxWaitMs) {
  SendTaskTakeReload();
  long long now = IoMonotonicMs();
  ReopenUart();
  ExpireClients(now);
  CheckWritten();
  if (!Waiting()) {
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
  fds[count++] = {FdLeaseOwned(&g_send.uart), 0, 0};
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
  g_send.served = tSendPhase::Free;
  g_send.writtenDeadline = 0;
  g_send.writtenId.store(0);
  g_send.failedId.store(0);
  g_send.reload.phase.store(tHandOverPhase::Idle);
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
    return 0;
  }
  g_send.state.store(1);
  return 1;
}

void* SendTaskRun(void*) {
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
  FdLeaseRetire(&g_send.uart);
  UartLinkLost(&g_send.link, err);
  if (Waiting()) {
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
  FdLeaseRetire(&g_send.uart);
  FdClose(&g_send.listenFd);
}

void SendTaskAdoptUart(int fd) {
  IoSetNonBlocking(fd);
  FdLeasePublish(&g_send.uart, fd);
}

namespace {

// Closes the port and every connection not yet served, then binds the port
// of config.
int Rebind(tConfiguration* config) {
  ReleaseAllClients();
  g_send.acceptBackOff = tAcceptBackOff{};
  return OpenSocket(config);
}

// Another device or speed: the waiting command is answered as a stop answers
// it, and the new device replaces the old one (lost or not).
int Reopen(tConfiguration* config) {
  if (Waiting()) {
    AnswerNotWritten();
  }
  FdLeaseRetire(&g_send.uart);
  if (!OpenUart(config)) {
    return 0;
  }
  UartLinkInit(&g_send.link, config->getUart(), config->getSpeed(), kUartTimeoutMs,
               UART_LINK_SEND);
  return 1;
}

// Between two passes: rebind, reopen, then read everything else from next.
int Apply(void* item) {
  return ConfigAdopt(&g_send, static_cast<tConfiguration*>(item), &tConfiguration::getSendPort,
                     Rebind, Reopen);
}

}  // namespace

void SendTaskTakeReload() { HandOverServe(&g_send.reload, Apply); }

int SendTaskReload(void* config) {
  return HandOverGive(&g_send.reload, config, g_send.wakeFd.load(), kReloadAwaitMs);
}
