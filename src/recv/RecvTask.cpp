// Receive task: UART to host API, serialized messages to the receive port.
#include "recv/RecvTask.h"

#include <poll.h>

#include <algorithm>
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
#include "ovapi/OvApi.h"

tRecvState g_recv;
uint32_t RxCount = 0;
uint32_t RxCountError = 0;

namespace {

constexpr long long kQuietMs = 100;
// The line has settled when no byte came for this many character times. A
// UART hands bytes over in pieces of up to its FIFO's trigger level (16
// characters on common parts) while they keep coming, so the silence must
// outlast one such piece, plus a couple of characters.
constexpr int64_t kSettleChars = 16 + 2;
// And never less than this: the driver's hand-over to the tty layer, and
// the thread that makes it, may be held up by a busy processor for some
// milliseconds in the middle of a frame. A module keeps its own frames well
// clear of its clear-to-send, and the quiet line is ten times as long.
constexpr int64_t kSettleMinUs = 10000;
constexpr int kUartTimeoutMs = 250;
// Under load a read returns many frames at once; the larger the read, the
// fewer sends per document.
constexpr size_t kReadBytes = 4096;
// A failing UART reports at once on every poll; leave it out of the poll
// this long so the thread never spins while the clients are still served.
constexpr long long kFaultPauseMs = 100;
// Poll slots before the clients.
constexpr size_t kUartSlot = 0;
constexpr size_t kListenSlot = 1;
constexpr size_t kWakeSlot = 2;
constexpr size_t kFirstClientSlot = 3;
// How long the main thread waits for the thread to take a configuration.
constexpr int kReloadAwaitMs = 10000;
constexpr short kHangUp = POLLRDHUP | POLLHUP | POLLERR | POLLNVAL;

std::vector<pollfd> g_polls;  // receive thread only, kept to avoid reallocation

// Opens and configures the device of config; 0 with g_error and nothing
// left open.
int OpenUart(tRecvConfig* config) {
  return UartLinkOpenDevice(config->getUart(), config->getSpeed(), kUartTimeoutMs, &g_recv.uartFd);
}

int OpenSocket(tRecvConfig* config) {
  return SocketReopenServer(config->getBindAddress(), config->getRecvPort(), &g_recv.listenFd,
                            &g_recv.address);
}

void FeedBytes(const uint8_t* bytes, ssize_t count) {
  for (ssize_t i = 0; i < count; ++i) {
    ++RxCount;
    OvApiRxData(0, bytes[i]);
  }
}

size_t QueueBound() {
  unsigned int kib = g_recv.config != nullptr ? g_recv.config->getClientQueueKiB() : 0;
  return static_cast<size_t>(kib) * 1024;
}

bool LogDocuments() { return g_recv.config == nullptr || g_recv.config->getLogDocuments() != 0; }

const char* Delimiter() {
  const char* delimiter =
      g_recv.config != nullptr ? g_recv.config->getDelimiterFormatted() : nullptr;
  return delimiter != nullptr ? delimiter : "";
}

void ReportOverflow(const tRecvClient& client) {
  printf("Dropped receive client %s: more than %u KiB of output queued\n", client.peer,
         g_recv.config != nullptr ? g_recv.config->getClientQueueKiB() : 0U);
}

void BuildPollSet(long long now) {
  size_t count = kFirstClientSlot + g_recv.clients.size();
  g_polls.resize(count);
  bool uartPaused = now < g_recv.uartPausedUntilMs || g_recv.uartFd < 0;
  int ignored = 0;
  bool acceptPaused = !SocketAcceptReady(&g_recv.acceptBackOff, now, &ignored);
  g_polls[kUartSlot] = {uartPaused ? -1 : g_recv.uartFd, POLLIN, 0};
  g_polls[kListenSlot] = {acceptPaused ? -1 : g_recv.listenFd, POLLIN, 0};
  g_polls[kWakeSlot] = {g_recv.wakeFd.load(), POLLIN, 0};
  for (size_t i = 0; i < g_recv.clients.size(); ++i) {
    const tRecvClient& client = g_recv.clients[i];
    short events = POLLIN | POLLRDHUP;
    if (client.Queued() > 0) events |= POLLOUT;
    g_polls[kFirstClientSlot + i] = {client.fd, events, 0};
  }
}

// The parser holds part of a frame, or drops every byte until it is active:
// the quiet line then ends what it holds, and activates it.
bool QuietLineDue() { return OvApiRxHeld(0) != 0 || !OvApiRxActive(0); }

// The settling of the line matters while a restart is asked for, and while
// part of a frame is held (a request may come any moment; it is looked for
// once per settling time until the quiet line ends the frame).
bool SettleDue() { return OvApiRxHeld(0) != 0 || OvApiRxRestartRequested(0); }

// Microseconds until the line has settled, counted from the last byte; once
// settled, a whole settling time again.
int64_t SettleInUs(int64_t nowUs) {
  int64_t left = g_recv.lastByteUs + g_recv.settleUs - nowUs;
  if (left > 0) {
    return left;
  }
  return OvApiRxRestartRequested(0) ? 0 : g_recv.settleUs;
}

// A partial frame ends without a document: counted, as the quiet line does.
void CountDropped() {
  if (RxCount != 0) {
    ++RxCountError;
  }
  RxCount = 0;
}

// Once no byte came for the settling time, a restart that clear-to-send
// asked for is made. emptyAtUs is the latest moment the UART is known to
// have held nothing: the clock read after the poll would be later than that
// by however long this thread was held up, and bytes that arrived meanwhile
// would be cut off from the frame they belong to. The quiet line is judged
// from the same moment.
void SettledLine(int64_t emptyAtUs) {
  if (emptyAtUs - g_recv.lastByteUs >= g_recv.settleUs && OvApiRxSettled(0)) {
    CountDropped();
  }
}

// Bytes a client sends are read and thrown away, so its socket never fills
// and its end of stream is seen.
bool DiscardInput(int fd) {
  char scratch[4096];
  ssize_t n = IoRead(fd, scratch, sizeof scratch);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

// Events of the clients polled in this pass (those accepted later have no
// slot yet).
void ServeClients(size_t polled) {
  for (size_t i = 0; i < polled; ++i) {
    tRecvClient& client = g_recv.clients[i];
    short revents = g_polls[kFirstClientSlot + i].revents;
    if (client.fd < 0 || revents == 0) continue;
    if ((revents & kHangUp) != 0 || ((revents & POLLIN) != 0 && !DiscardInput(client.fd))) {
      RecvClientClose(&client);
      continue;
    }
    if ((revents & POLLOUT) != 0) RecvClientFlush(&client);
  }
}

void RemoveClosedClients() {
  auto closed = [](const tRecvClient& client) { return client.fd < 0; };
  g_recv.clients.erase(std::remove_if(g_recv.clients.begin(), g_recv.clients.end(), closed),
                       g_recv.clients.end());
}

void QuietLine(long long now) {
  OvApiCallbackNwuActive(0);
  CountDropped();
  g_recv.quietAtMs = now + kQuietMs;
}

int OpenWake() {
  int fd = g_recv.wakeFd.load();
  if (fd >= 0) {
    EventDrain(fd);  // a stop posted to a thread that never ran
    return 1;
  }
  int ok = EventOpen(&fd);
  g_recv.wakeFd.store(fd);
  return ok;
}

}  // namespace

int64_t RecvTaskSettleUs(unsigned int speed) {
  return std::max(kSettleMinUs, kSettleChars * static_cast<int64_t>(UartCharTimeUs(speed)));
}

int RecvTaskWaitMs(long long nowMs) {
  constexpr long long kNever = -1;
  long long wait = kNever;
  auto sooner = [&wait](long long ms) { wait = wait == kNever ? ms : std::min(wait, ms); };
  if (QuietLineDue()) sooner(g_recv.quietAtMs - nowMs);
  if (SettleDue()) sooner((SettleInUs(IoMonotonicUs()) + 999) / 1000);
  if (nowMs < g_recv.uartPausedUntilMs) sooner(g_recv.uartPausedUntilMs - nowMs);
  int acceptWait = 0;
  if (!SocketAcceptReady(&g_recv.acceptBackOff, nowMs, &acceptWait)) sooner(acceptWait);
  if (UartLinkIsLost(&g_recv.link)) sooner(UartLinkRetryInMs(&g_recv.link));
  return wait == kNever ? -1 : static_cast<int>(std::clamp<long long>(wait, 0, 1000));
}

int RecvTaskInitEssentials(tConfigEssentials* essentials) {
  g_recv.uartFd = -1;
  g_recv.listenFd = -1;
  g_recv.config = nullptr;
  g_recv.state.store(0);
  memset(&g_recv.address, 0, sizeof g_recv.address);
  g_recv.clients.clear();
  g_recv.batch.clear();
  g_recv.log.clear();
  g_recv.batching = false;
  g_recv.quietAtMs = IoMonotonicMs() + kQuietMs;
  g_recv.uartPausedUntilMs = 0;
  g_recv.acceptBackOff = tAcceptBackOff{};
  g_recv.essentials = essentials;
  g_recv.lastByteUs = IoMonotonicUs();
  g_recv.settleUs = RecvTaskSettleUs(0);
  return OpenWake();
}

int RecvTaskInit(void* config) {
  auto* whole = static_cast<tConfiguration*>(config);
  if (!RecvTaskInitEssentials(whole)) {
    return 0;
  }
  g_recv.config = whole;
  g_recv.reload.phase.store(tHandOverPhase::Idle);
  if (!OpenUart(g_recv.config)) {
    return 0;
  }
  if (!OpenSocket(g_recv.config)) {
    return 0;
  }
  g_recv.state.store(1);
  return 1;
}

void* RecvTaskRun(void*) {
  g_recv.quietAtMs = IoMonotonicMs() + kQuietMs;
  g_recv.lastByteUs = IoMonotonicUs();
  g_recv.settleUs = RecvTaskSettleUs(g_recv.config->getSpeed());
  UartLinkInit(&g_recv.link, g_recv.config->getUart(), g_recv.config->getSpeed(), kUartTimeoutMs,
               UART_LINK_RECV);
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
  EventPost(g_recv.wakeFd.load());
  return 1;
}

namespace {

// Closes the port and its clients, then binds the port of config.
int Rebind(tConfiguration* config) {
  for (tRecvClient& client : g_recv.clients) {
    RecvClientClose(&client);
  }
  g_recv.clients.clear();
  g_recv.acceptBackOff = tAcceptBackOff{};
  return OpenSocket(config);
}

// Another device or speed: bytes of the old one never join bytes of the new
// one, and the parser waits for a quiet line or clear-to-send as at start.
int Reopen(tConfiguration* config) {
  FdClose(&g_recv.uartFd);
  OvApiRxDeactivate(0);
  RxCount = 0;
  g_recv.uartPausedUntilMs = 0;
  g_recv.quietAtMs = IoMonotonicMs() + kQuietMs;
  g_recv.lastByteUs = IoMonotonicUs();
  g_recv.settleUs = RecvTaskSettleUs(config->getSpeed());
  if (!OpenUart(config)) {
    return 0;
  }
  UartLinkInit(&g_recv.link, config->getUart(), config->getSpeed(), kUartTimeoutMs,
               UART_LINK_RECV);
  return 1;
}

// Between two passes: rebind, reopen, then read everything else from next.
int Apply(void* item) {
  return ConfigAdopt(&g_recv, static_cast<tConfiguration*>(item), &tConfiguration::getRecvPort,
                     Rebind, Reopen);
}

}  // namespace

void RecvTaskTakeReload() { HandOverServe(&g_recv.reload, Apply); }

int RecvTaskReload(void* config) {
  return HandOverGive(&g_recv.reload, config, g_recv.wakeFd.load(), kReloadAwaitMs);
}

void RecvTaskLoop() {
  const int64_t passStartUs = IoMonotonicUs();
  long long now = passStartUs / 1000;
  BuildPollSet(now);
  size_t polled = g_recv.clients.size();
  int waitMs = RecvTaskWaitMs(now);
  int rc = IoPoll(g_polls.data(), g_polls.size(), waitMs);
  now = IoMonotonicMs();
  // An empty UART seen by a poll that timed out was empty at its end; one
  // that woke for another descriptor only vouches for its start (the pass's
  // start is a little earlier still), and an interrupted poll for nothing.
  int64_t emptyAtUs = rc < 0 ? g_recv.lastByteUs : passStartUs + (rc == 0 ? waitMs * 1000LL : 0);
  bool fed = false;
  if (rc > 0) {
    if (g_polls[kWakeSlot].revents != 0) {
      EventDrain(g_recv.wakeFd.load());
    }
    ServeClients(polled);
    short uart = g_polls[kUartSlot].revents;
    if ((uart & POLLIN) != 0) {
      fed = RecvTaskPumpUart();
    } else if (uart != 0) {
      RecvTaskUartFault(EIO);  // hang-up or error without bytes
    }
    if ((g_polls[kListenSlot].revents & POLLIN) != 0) {
      RecvTaskAcceptSockets();
    }
    RemoveClosedClients();
  }
  RecvTaskTakeReload();
  if (UartLinkIsLost(&g_recv.link) && UartLinkReopen(&g_recv.link, &g_recv.uartFd)) {
    QuietLine(now);  // nothing from before the loss survives its return
  }
  if (fed) {
    g_recv.quietAtMs = now + kQuietMs;
    g_recv.lastByteUs = IoMonotonicUs();
    return;
  }
  SettledLine(emptyAtUs);
  if (QuietLineDue() && emptyAtUs / 1000 >= g_recv.quietAtMs) {
    QuietLine(now);
  }
}

bool RecvTaskPumpUart() {
  uint8_t buffer[kReadBytes];
  ssize_t count = IoRead(g_recv.uartFd, buffer, sizeof buffer);
  if (count <= 0) {
    // Readable but no bytes: end of file is a device that went away.
    int err = count == 0 ? EIO : errno;
    if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
      RecvTaskUartFault(err);
    }
    return false;
  }
  g_recv.batching = true;
  FeedBytes(buffer, count);
  g_recv.batching = false;
  RecvTaskFlushBatch();
  return true;
}

void RecvTaskUartFault(int err) {
  long long now = IoMonotonicMs();
  if (UartLinkIsGone(err)) {
    FdClose(&g_recv.uartFd);
    UartLinkLost(&g_recv.link, err);
  } else {
    g_recv.uartPausedUntilMs = now + kFaultPauseMs;
  }
  QuietLine(now);
}

void RecvTaskAcceptSockets() {
  int fd = -1;
  while (SocketAcceptBackOff(g_recv.listenFd, &fd, &g_recv.acceptBackOff, "Receive port")) {
    RecvTaskAddClient(fd);
  }
}

void RecvTaskAddClient(int fd) {
  g_recv.clients.emplace_back();
  tRecvClient& client = g_recv.clients.back();
  client.fd = fd;
  SocketPeerName(fd, client.peer, sizeof client.peer);
}

void RecvTaskClose() {
  FdClose(&g_recv.uartFd);
  FdClose(&g_recv.listenFd);
  for (tRecvClient& client : g_recv.clients) {
    RecvClientClose(&client);
  }
  g_recv.clients.clear();
  g_recv.batch.clear();
  g_recv.log.clear();
}

void DispatchFormattedMsg(char* text) {
  if (text == nullptr) {
    return;
  }
  if (LogDocuments()) {
    g_recv.log.append("-->").append(text).append("\n");
  }
  g_recv.batch.append(text).append(Delimiter());
  Free(&text);
  if (!g_recv.batching) {
    RecvTaskFlushBatch();
  }
}

void RecvTaskFlushBatch() {
  if (!g_recv.log.empty()) {
    IoWriteAll(1, g_recv.log.data(), g_recv.log.size());
    g_recv.log.clear();
  }
  if (g_recv.batch.empty()) {
    return;
  }
  size_t bound = QueueBound();
  for (tRecvClient& client : g_recv.clients) {
    if (client.fd >= 0 &&
        RecvClientOffer(&client, g_recv.batch.data(), g_recv.batch.size(), bound) ==
            tRecvClientFate::Overflow) {
      ReportOverflow(client);
    }
  }
  g_recv.batch.clear();
}

void OvApiSupportMessageReceived(uint8_t index, uint32_t, const uint8_t* frame,
                                 uint8_t frameLength) {
  OvApiExecuteCallbacks(index, frame, frameLength);
}
