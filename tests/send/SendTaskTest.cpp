// Send task and command dispatch: connections are socket pairs handed to the
// task's table, a pipe stands in for the UART, the task's loop runs on its
// own thread and a second thread plays the CTS monitor.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/Configuration.h"
#include "core/OvClosers.h"
#include "core/OvPrintErr.h"
#include "core/OvUartLink.h"
#include "ovapi/OvApi.h"
#include "send/SendEssentials.h"
#include "send/SendTask.h"
#include "serializer/tSerializer.h"

namespace {

using Clock = std::chrono::steady_clock;

// The device the task would reopen after a loss; it never exists, so a lost
// link stays lost for the rest of the test.
constexpr const char* kUartPath = "/nonexistent/ttyOrvelSend";

// Polls a condition for up to 10 s.
template <typename Condition>
bool WaitFor(Condition condition) {
  for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// A whole frame and its userData are in the slot. Pending alone is not
// enough: it also covers a slot still being filled, where a clear-to-send
// finds nothing to write and userData may still be the last command's.
bool FrameQueued() {
  uint8_t length = g_ovApi[0].txLength.load();
  return length != 0 && length != 0xFF;
}

class SendTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetConfigDefault(&config_);
    config_.setCtsTimeoutSecs(1);
    OvApiInit();
    ASSERT_EQ(1, SendTaskInitEssentials(&config_));
    g_send.config = &config_;
    g_send.state.store(1);
    ASSERT_EQ(0, pipe(uart_));
    fcntl(uart_[0], F_SETFL, O_NONBLOCK);
    SendTaskAdoptUart(uart_[1]);
    UartLinkInit(&g_send.link, kUartPath, 0, 250, UART_LINK_SEND);
  }
  void TearDown() override {
    Stop();
    FdLeaseRetire(&g_send.uart);  // closes the write end
    uart_[1] = -1;
    UartLinkInit(&g_send.link, kUartPath, 0, 250, UART_LINK_SEND);  // a loss ends here
    config_.getSerializer()->SetStrictCommands(false);
    SendTaskInitEssentials(&config_);
    for (int& fd : peers_) FdClose(&fd);
    FdClose(&uart_[0]);
    FdClose(&uart_[1]);
  }
  // A new connection in the task's table; its peer's index. Before Start.
  size_t Connect() {
    int pair[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(1, SendTaskAddClient(pair[0]));
    peers_.push_back(pair[1]);
    return peers_.size() - 1;
  }
  void Write(size_t peer, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(peers_[peer], text.data(), text.size()));
  }
  void Start() {
    loop_ = std::thread(SendTaskServe);
  }
  void Stop() {
    SendTaskShutdown();
    if (loop_.joinable()) loop_.join();
  }
  // What the gateway sent until it closed, bounded by a 10 s deadline.
  std::string ReadReply(size_t peer) {
    std::string out;
    char buf[512];
    for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
      pollfd p{peers_[peer], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = read(peers_[peer], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  std::string UartBytes() {
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(uart_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  // Plays the CTS monitor: one clear-to-send for each of `count` frames as
  // soon as it is complete in the slot.
  std::thread Cts(int count = 1) {
    return std::thread([count] {
      for (int sent = 0; sent < count && WaitFor(FrameQueued); ++sent) {
        OvApiCtsActive(0);
      }
    });
  }
  // Puts `fd` in place of the test's UART, whose far end then stays unread.
  void ReplaceUart(int fd) {
    FdLeaseRetire(&g_send.uart);
    uart_[1] = -1;
    SendTaskAdoptUart(fd);
  }
  // Starts the task with one clear-to-send played; the reply of `peer`.
  std::string ReplyWithCts(size_t peer) {
    std::thread cts = Cts();
    Start();
    std::string reply = ReadReply(peer);
    cts.join();
    return reply;
  }

  tConfiguration config_;
  std::vector<int> peers_;
  int uart_[2] = {-1, -1};
  std::thread loop_;
};

TEST_F(SendTaskTest, QueuedCommandIsWrittenAndAnsweredOk) {
  size_t c = Connect();
  Write(c, R"({"objectType":"nodeInfoRequest"})");
  std::thread cts = Cts();
  Start();
  std::string reply = ReadReply(c);
  cts.join();
  EXPECT_NE(std::string::npos, reply.find("\"ok\"")) << reply;
  EXPECT_EQ('\n', reply.back());
  std::string frame = UartBytes();
  ASSERT_FALSE(frame.empty());
  EXPECT_EQ(0x08, static_cast<uint8_t>(frame[0]));
}

TEST_F(SendTaskTest, CommandInPiecesIsReadWhole) {
  size_t c = Connect();
  Write(c, R"({"objectType":)");
  std::thread cts = Cts();
  Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  Write(c, R"("altCmd","cmd":7})");
  EXPECT_NE(std::string::npos, ReadReply(c).find("\"ok\""));
  cts.join();
  EXPECT_EQ("\x20\x01\x07", UartBytes());
}

// Commands that complete while another waits for clear-to-send go to the
// module in the order they completed, not the order of the connections, once
// the time-out has freed the slot.
TEST_F(SendTaskTest, CompletedCommandsAreServedInOrderAfterATimeOut) {
  size_t first = Connect();
  size_t second = Connect();
  size_t third = Connect();
  Write(third, R"({"objectType":"wesCmd","cmd":3})");
  Start();
  ASSERT_TRUE(WaitFor([] { return OvApiStatus(0) == Pending; }));
  Write(second, R"({"objectType":"altCmd","cmd":2})");
  ASSERT_TRUE(WaitFor([] { return g_send.completedCount.load() == 2; }));
  Write(first, R"({"objectType":"altCmd","cmd":1})");
  ASSERT_TRUE(WaitFor([] { return g_send.completedCount.load() == 3; }));
  std::string reply = ReadReply(third);
  EXPECT_NE(std::string::npos, reply.find("Message was not written to UART within 1 seconds"))
      << reply;
  std::thread cts = Cts(2);
  EXPECT_NE(std::string::npos, ReadReply(second).find("\"ok\""));
  EXPECT_NE(std::string::npos, ReadReply(first).find("\"ok\""));
  cts.join();
  std::string frames = UartBytes();
  ASSERT_EQ(6u, frames.size());
  EXPECT_EQ(2, frames[2]);
  EXPECT_EQ(1, frames[5]);
}

TEST_F(SendTaskTest, RefusedCommandAnswersStagingFailure) {
  std::string payload = "[1";
  for (int i = 1; i < 28; ++i) payload += ",1";
  payload += "]";
  size_t c = Connect();
  Write(c, R"({"objectType":"sendPayload","payloadType":"unacknowledged","nodeId":5,"port":1,)"
           R"("sequenceNo":1,"payload":)" + payload + "}");
  Start();
  std::string reply = ReadReply(c);
  EXPECT_NE(std::string::npos, reply.find("Staging data failed: 3")) << reply;
  EXPECT_NE(std::string::npos, reply.find("\"error\""));
  Stop();
  EXPECT_EQ(nullptr, g_send.unackMsg.payload);  // released after the command
}

// Connections that never complete get no reply and are closed; the one
// whose braces balance at byte 4096 is read and answered.
TEST_F(SendTaskTest, ConnectionsThatNeverCompleteAreClosedWithoutReply) {
  size_t unbalanced = Connect();
  Write(unbalanced, "{" + std::string(4095, ' '));
  size_t exact = Connect();
  Write(exact, "{" + std::string(4094, ' ') + "}");
  size_t closed = Connect();
  FdClose(&peers_[closed]);
  Start();
  EXPECT_EQ("", ReadReply(unbalanced));
  EXPECT_NE(std::string::npos, ReadReply(exact).find(SEND_UNKNOWN_COMMAND));
}

TEST_F(SendTaskTest, SilentConnectionIsClosedAtItsReadBound) {
  size_t silent = Connect();
  auto start = Clock::now();
  Start();
  EXPECT_EQ("", ReadReply(silent));
  auto held = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(held.count(), SEND_READ_BOUND_MS - 100);
}

// Past the cap the connection silent the longest makes room; complete
// commands are never the ones closed.
TEST_F(SendTaskTest, FullTableClosesTheLongestSilentConnection) {
  size_t complete = Connect();
  Write(complete, R"({"objectType":"altCmd","cmd":1})");
  g_send.clients[0].phase = tSendPhase::Queued;  // as the loop marks a complete command
  g_send.clients[0].completed = 1;
  std::vector<size_t> silent;
  for (int i = 1; i < SEND_MAX_CLIENTS; ++i) {
    silent.push_back(Connect());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(SEND_MAX_CLIENTS, SendTaskOpenClients());
  Connect();
  EXPECT_EQ(SEND_MAX_CLIENTS, SendTaskOpenClients());
  char byte;
  EXPECT_EQ(0, read(peers_[silent[0]], &byte, 1));  // closed by the task
  pollfd p{peers_[silent[1]], POLLIN, 0};
  EXPECT_EQ(0, poll(&p, 1, 0));  // still open
  EXPECT_NE(-1, g_send.clients[0].fd);
}

// A stop ends a command's wait for clear-to-send at once, and the client
// still gets its answer.
TEST_F(SendTaskTest, StopCutsShortTheWrittenWait) {
  config_.setCtsTimeoutSecs(30);
  size_t c = Connect();
  Write(c, R"({"objectType":"nodeInfoRequest"})");
  Start();
  ASSERT_TRUE(WaitFor([] { return OvApiStatus(0) == Pending; }));
  auto start = Clock::now();
  Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(std::string::npos, ReadReply(c).find("not written to UART within 30 seconds"));
}

// A descriptor that refuses writes (open for reading only) fails the write:
// the command is told it was not written, with the errno, and the frame is
// taken back rather than left for the next clear-to-send.
TEST_F(SendTaskTest, FailedUartWriteIsAnErrorReply) {
  int readOnly = open("/dev/null", O_RDONLY);
  ASSERT_GE(readOnly, 0);
  ReplaceUart(readOnly);
  size_t c = Connect();
  Write(c, R"({"objectType":"altCmd","cmd":1})");
  std::string reply = ReplyWithCts(c);
  EXPECT_NE(std::string::npos, reply.find("\"error\"")) << reply;
  EXPECT_NE(std::string::npos, reply.find("Message was not written to UART. errno=9 (")) << reply;
  EXPECT_EQ(Ok, OvApiStatus(0));
}

// A write that fails because the device went away (here a socket shut for
// writing, which the task's hang-up poll does not report, so only the write
// sees it) is answered with its errno and hands over to the loss path: the
// descriptor is closed and the next command is refused at once.
TEST_F(SendTaskTest, GoneDeviceOnWriteHandsOverToTheLossPath) {
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  peers_.push_back(pair[1]);  // kept open: its close would show as a hang-up
  ASSERT_EQ(0, shutdown(pair[0], SHUT_WR));
  ReplaceUart(pair[0]);
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);  // the write reports EPIPE instead
  size_t first = Connect();
  size_t second = Connect();
  Write(first, R"({"objectType":"altCmd","cmd":1})");
  std::string reply = ReplyWithCts(first);
  EXPECT_NE(std::string::npos, reply.find("Message was not written to UART. errno=32 (")) << reply;
  Write(second, R"({"objectType":"altCmd","cmd":2})");
  reply = ReadReply(second);
  EXPECT_NE(std::string::npos, reply.find(std::string("Serial device unavailable: ") + kUartPath))
      << reply;
  Stop();
  sigaction(SIGPIPE, &saved, nullptr);
  EXPECT_EQ(-1, FdLeaseOwned(&g_send.uart));
}

// The written report of a command whose deadline passed comes late, while
// the next command waits: it names the first one, so the second is not
// answered "ok" for a frame that was never written.
TEST_F(SendTaskTest, LateWrittenReportNeverConfirmsTheNextCommand) {
  size_t first = Connect();
  size_t second = Connect();
  Write(first, R"({"objectType":"altCmd","cmd":1})");
  Start();
  ASSERT_TRUE(WaitFor(FrameQueued));
  uint32_t firstId = g_ovApi[0].userData.load();
  EXPECT_NE(std::string::npos, ReadReply(first).find("not written to UART within 1 seconds"));
  Write(second, R"({"objectType":"altCmd","cmd":2})");
  ASSERT_TRUE(WaitFor([&] {
    return FrameQueued() && g_ovApi[0].userData.load() != firstId;
  }));
  OvApiSupportMessageWritten(0, firstId, nullptr, 0);
  std::string reply = ReadReply(second);
  EXPECT_NE(std::string::npos, reply.find("not written to UART within 1 seconds")) << reply;
  EXPECT_EQ(std::string::npos, reply.find("\"ok\"")) << reply;
  EXPECT_EQ("", UartBytes());
}

TEST_F(SendTaskTest, StrictCommandsAreRefusedAndNothingIsQueued) {
  config_.getSerializer()->SetStrictCommands(true);
  size_t c = Connect();
  Write(c, R"({"objectType":"altCmd","cmd":256})");
  Start();
  EXPECT_NE(std::string::npos, ReadReply(c).find("Invalid member: cmd"));
  Stop();
  EXPECT_EQ("", UartBytes());
  EXPECT_EQ(Ok, OvApiStatus(0));
}

// Braces inside strings, with their escapes, do not count; the count is
// taken over whole chunks, fed in pieces as they arrive.
TEST(SendBraceScan, BracesCountOnlyOutsideStrings) {
  struct Case {
    std::vector<std::string> pieces;
    std::vector<bool> balanced;  // after each piece
  } cases[] = {
      {{R"({"objectType":"nodeInfoRequest","x":"}{"})"}, {true}},
      {{R"({"x":"}")", R"(})"}, {false, true}},
      {{R"({"x":"\"}")", R"(})"}, {false, true}},
      {{R"({"x":"\\"})"}, {true}},
      {{R"({"x":"\)", R"("}"})"}, {false, true}},
      {{R"({"a":{"b":1})", R"(})"}, {false, true}},
      {{"no braces"}, {true}},
      {{"{", "{", "}", "}"}, {false, false, false, true}},
  };
  for (const Case& c : cases) {
    tBraceScan scan{};
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      const std::string& p = c.pieces[i];
      EXPECT_EQ(c.balanced[i], SendTaskScanBraces(&scan, p.data(), static_cast<uint32_t>(p.size())))
          << c.pieces[0] << " piece " << i;
    }
  }
}

TEST_F(SendTaskTest, ParseChoosesKindsInOrder) {
  struct Case {
    const char* text;
    uint32_t type;
  } cases[] = {
      {R"({"objectType":"sendPayload","payloadType":"acknowledged","payload":[1,2],"nodeId":9,"port":1})", 0x03},
      {R"({"objectType":"sendPayload","payloadType":"unacknowledged","payload":[1],"nodeId":9,"port":1,"sequenceNo":2})", 0x02},
      {R"({"objectType":"neighborListRequest"})", 0x09},
      {R"({"objectType":"networkCommand","payload":[],"nodeId":9,"cmd":1})", 0x0A},
      {R"({"objectType":"wesResponse","nodeId":9,"uidHex":"0102030405","appSettings":"000102030405060708090a0b0c0d0e0f1011121314151617"})", 0x11},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    g_send.msgBuf = strdup(text.c_str());
    g_send.msgLen = static_cast<uint32_t>(text.size());
    EXPECT_EQ(nullptr, ParseMsg()) << c.text;
    EXPECT_EQ(c.type, g_send.msgType) << c.text;
    SendEssentialsReleasePayloads();
    Free(&g_send.msgBuf);
  }
}

TEST_F(SendTaskTest, ObjectsNoKindAcceptsAreErrors) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"hello", "Message is not JSON-formatted (#1)"},
      {"{nope}", "Message is not JSON-formatted (#2)"},
      {R"({"objectType":"altCmd"})", "Missing member: cmd"},
      {R"({"objectType":"sendPayload","payloadType":"acknowledged","payload":[1]})",
       "Missing member: nodeId"},
      {R"({"objectType":"xyz"})", SEND_UNKNOWN_COMMAND},
      {R"({"a":1})", SEND_UNKNOWN_COMMAND},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    g_send.msgBuf = strdup(text.c_str());
    g_send.msgLen = static_cast<uint32_t>(text.size());
    const char* result = ParseMsg();
    ASSERT_NE(nullptr, result) << c.text;
    EXPECT_STREQ(c.expected, result) << c.text;
    SendEssentialsReleasePayloads();
    Free(&g_send.msgBuf);
  }
}

}  // namespace
