// Receive task broadcast and callbacks, with socket pairs as clients.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "config/Configuration.h"
#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "ovapi/OvApi.h"
#include "recv/RecvEssentials.h"
#include "recv/RecvTask.h"

namespace {

class RecvTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetConfigDefault(&config_);
    RecvTaskInitEssentials(&config_);
    g_recv.config = &config_;
    RecvEssentialsInstallCallbacks();
    OvApiInit();
    g_ovApi[0].callbacks.store(&g_ovRx);
    for (auto& p : pairs_) {
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, p));
      fcntl(p[0], F_SETFL, O_NONBLOCK);
      fcntl(p[1], F_SETFL, O_NONBLOCK);
      RecvTaskAddClient(p[0]);
    }
  }
  void TearDown() override {
    RecvTaskClose();
    for (auto& p : pairs_) FdClose(&p[1]);
  }
  static std::string Drain(int fd) {
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  static char* Text(const char* s) { return strdup(s); }

  tConfiguration config_;
  int pairs_[2][2] = {{-1, -1}, {-1, -1}};
};

TEST_F(RecvTaskTest, EveryClientGetsTextAndDelimiter) {
  DispatchFormattedMsg(Text("{\"a\":1}"));
  DispatchFormattedMsg(Text("{\"b\":2}"));
  for (auto& p : pairs_) EXPECT_EQ("{\"a\":1}\n{\"b\":2}\n", Drain(p[1]));
}

TEST_F(RecvTaskTest, EmptyAndEscapedDelimiters) {
  config_.setDelimiter("");
  DispatchFormattedMsg(Text("{}"));
  DispatchFormattedMsg(Text("{}"));
  EXPECT_EQ("{}{}", Drain(pairs_[0][1]));
  config_.setDelimiter("\\r\\n");
  DispatchFormattedMsg(Text("{}"));
  EXPECT_EQ("{}\r\n", Drain(pairs_[0][1]));
}

TEST_F(RecvTaskTest, ClosedClientIsDroppedOthersKeepReceiving) {
  FdClose(&pairs_[0][1]);
  for (int i = 0; i < 3; ++i) DispatchFormattedMsg(Text("{\"n\":1}"));
  ASSERT_EQ(1u, g_recv.clients.size() - std::count_if(g_recv.clients.begin(), g_recv.clients.end(),
                                                      [](const tRecvClient& c) { return c.fd < 0; }));
  EXPECT_EQ(pairs_[1][0], g_recv.clients[1].fd);
  EXPECT_EQ("{\"n\":1}\n{\"n\":1}\n{\"n\":1}\n", Drain(pairs_[1][1]));
}

// A client that does not read: what its socket cannot take is queued in
// order, never past the bound, and the client is dropped once the bound
// would be passed (at the first short send when the bound is 0). Eight
// documents of 100,000 bytes overflow a quarter MiB plus the socket's own
// buffer, but not a MiB.
TEST_F(RecvTaskTest, SlowClientIsQueuedUpToTheBoundThenDropped) {
  const struct {
    unsigned int kib;
    bool dropped;
  } cases[] = {{0, true}, {256, true}, {1024, false}};
  std::string document(100000, 'x');
  document += '\n';
  for (const auto& c : cases) {
    config_.setClientQueueKiB(c.kib);
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    tRecvClient client;
    client.fd = pair[0];
    for (int i = 0; i < 8 && client.fd >= 0; ++i) {
      RecvClientOffer(&client, document.data(), document.size(), c.kib * 1024u);
      EXPECT_LE(client.Queued(), c.kib * 1024u) << c.kib;
    }
    EXPECT_EQ(client.fd < 0, c.dropped) << c.kib;
    if (!c.dropped) {
      std::string got;
      while (client.Queued() > 0) {
        got += Drain(pair[1]);
        RecvClientFlush(&client);
      }
      got += Drain(pair[1]);
      EXPECT_EQ(got.size(), document.size() * 8);
      EXPECT_EQ(got.find_first_not_of("x\n"), std::string::npos);
      RecvClientClose(&client);
    }
    FdClose(&pair[1]);
  }
}

TEST_F(RecvTaskTest, DocumentsOfOneBatchGoOutInOneSendAndOneLogWrite) {
  g_recv.batching = true;
  testing::internal::CaptureStdout();
  DispatchFormattedMsg(Text("{\"a\":1}"));
  DispatchFormattedMsg(Text("{\"b\":2}"));
  EXPECT_EQ("", Drain(pairs_[0][1]));  // nothing before the batch ends
  g_recv.batching = false;
  RecvTaskFlushBatch();
  config_.setLogDocuments(0);
  DispatchFormattedMsg(Text("{\"c\":3}"));
  EXPECT_EQ("-->{\"a\":1}\n-->{\"b\":2}\n", testing::internal::GetCapturedStdout());
  for (auto& p : pairs_) EXPECT_EQ("{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n", Drain(p[1]));
}

TEST_F(RecvTaskTest, RawFramesGiveOneDocumentTypedOpcodesNone) {
  const uint8_t status56[] = {0x56, 0x00};
  UartReadCallback(0, status56, 0);  // length 0: nothing
  UartReadCallback(0, status56, sizeof status56);
  const uint8_t data52[] = {0x52, 0x00};
  UartReadCallback(0, data52, sizeof data52);  // left to its typed callback
  std::string out = Drain(pairs_[0][1]);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;  // exactly one document
}

TEST_F(RecvTaskTest, FrameResetsRxCount) {
  RxCount = 7;
  const uint8_t frame[] = {0x5C, 0x00};
  UartReadCallbackSpecialized(0, frame, sizeof frame);
  EXPECT_EQ(0u, RxCount);
}

TEST_F(RecvTaskTest, TypedOpcodeSetIsTheElevenWithCallbacks) {
  int typed = 0;
  for (int op = 0; op < 256; ++op) typed += RecvEssentialsIsTypedOpcode(static_cast<uint8_t>(op));
  EXPECT_EQ(11, typed);
  EXPECT_FALSE(RecvEssentialsIsTypedOpcode(0x56));
  EXPECT_FALSE(RecvEssentialsIsTypedOpcode(0x5C));
  EXPECT_TRUE(RecvEssentialsIsTypedOpcode(0x61));
  EXPECT_EQ(nullptr, g_ovRx.routeInfoRequestReplyCallback);
  EXPECT_EQ(nullptr, g_ovRx.hostUappStatus56Callback);
}

// The UART is a pipe the test writes into; clear-to-send comes between the
// passes of the loop, where the CTS thread's request can land.
class RecvLineTest : public RecvTaskTest {
 protected:
  void SetUp() override {
    RecvTaskTest::SetUp();
    ASSERT_EQ(0, pipe2(uart_, O_NONBLOCK));
    g_recv.uartFd = uart_[0];
    g_recv.settleUs = RecvTaskSettleUs(B115200);
    g_recv.lastByteUs = IoMonotonicUs();
    g_recv.quietAtMs = IoMonotonicMs() + 100;
    OvApiCallbackNwuActive(0);
  }
  void TearDown() override {
    RecvTaskTest::TearDown();
    FdClose(&uart_[1]);
  }
  void Line(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(uart_[1], bytes.data(), bytes.size()));
  }
  // Passes until the line has settled and a requested restart is made;
  // each pass waits at most a settling time.
  static void UntilSettled() {
    for (int i = 0; i < 1000 && OvApiRxRestartRequested(0); ++i) RecvTaskLoop();
  }
  static int Documents(const std::string& out) {
    return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
  }
  int uart_[2] = {-1, -1};
};

// A frame read in two pieces with a clear-to-send between them is whole; a
// partial frame followed by a clear-to-send and silence is dropped, and the
// frame after it is whole.
TEST_F(RecvLineTest, ClearToSendRestartsOnlyWhatCameBefore) {
  const struct {
    const char* name;
    std::vector<uint8_t> first, second;
    bool silence;  // the line settles between the two pieces
    int documents;
    uint32_t dropped;
  } cases[] = {
      {"frame split around the event", {0x60, 0x01}, {0x07}, false, 1, 0},
      {"partial frame, event, silence", {0x52, 0x06, 1}, {0x60, 0x01, 0x07}, true, 1, 1},
  };
  for (const auto& c : cases) {
    RxCountError = 0;
    testing::internal::CaptureStdout();
    Line(c.first);
    RecvTaskLoop();
    OvApiCtsActive(0);
    if (c.silence) UntilSettled();
    Line(c.second);
    RecvTaskLoop();
    testing::internal::GetCapturedStdout();
    std::string out = Drain(pairs_[0][1]);
    EXPECT_EQ(c.documents, Documents(out)) << c.name << ": " << out;
    EXPECT_NE(std::string::npos, out.find("wesStatus")) << c.name;
    EXPECT_EQ(c.dropped, RxCountError) << c.name;
    UntilSettled();
    EXPECT_FALSE(OvApiRxRestartRequested(0)) << c.name;
    EXPECT_EQ(0, OvApiRxHeld(0)) << c.name;
  }
}

// Every valid frame gives one document: a network command reply shorter
// than its header too, with the fields it lacks 0 and an empty payload.
TEST_F(RecvLineTest, ShortNetworkCommandRepliesGiveADocument) {
  const struct {
    std::vector<uint8_t> frame;
    const char* fields;
  } cases[] = {
      {{0x5A, 0x01, 0x12}, "\"nodeId\":0,\"command\":0,\"payload\":[]"},
      {{0x5A, 0x02, 0x12, 0x34}, "\"nodeId\":4660,\"command\":0,\"payload\":[]"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    Line(c.frame);
    RecvTaskLoop();
    testing::internal::GetCapturedStdout();
    std::string out = Drain(pairs_[0][1]);
    EXPECT_EQ(1, Documents(out)) << out;
    EXPECT_NE(std::string::npos, out.find("\"networkCommandReply\"")) << out;
    EXPECT_NE(std::string::npos, out.find(c.fields)) << out;
  }
}

// Nothing is due on an idle line: the thread waits without a time-out, and
// only a stop (or traffic) wakes it.
TEST_F(RecvLineTest, WaitHasATimeOutOnlyWhileSomethingIsDue) {
  const long long settleMs = (RecvTaskSettleUs(B115200) + 999) / 1000;
  const struct {
    const char* name;
    bool active;
    std::vector<uint8_t> held;
    bool requested;
    int atLeast, atMost;
  } cases[] = {
      {"idle", true, {}, false, -1, -1},
      {"not yet active", false, {}, false, 1, 100},
      {"partial frame", true, {0x52, 0x06}, false, 0, static_cast<int>(settleMs)},
      {"restart asked", true, {}, true, 0, static_cast<int>(settleMs)},
  };
  for (const auto& c : cases) {
    OvApiInit();
    g_ovApi[0].callbacks.store(&g_ovRx);
    if (c.active) OvApiCallbackNwuActive(0);
    for (uint8_t b : c.held) OvApiRxData(0, b);
    if (c.requested) OvApiCtsActive(0);
    long long now = IoMonotonicMs();
    g_recv.quietAtMs = now + 100;
    g_recv.lastByteUs = IoMonotonicUs();
    int wait = RecvTaskWaitMs(now);
    EXPECT_GE(wait, c.atLeast) << c.name;
    EXPECT_LE(wait, c.atMost) << c.name;
  }
  short revents = 0;
  EXPECT_EQ(0, IoPollOne(g_recv.wakeFd.load(), POLLIN, 0, &revents));
  RecvTaskShutdown();
  EXPECT_EQ(1, IoPollOne(g_recv.wakeFd.load(), POLLIN, 0, &revents));
  RecvTaskLoop();  // drains the wake-up
  EXPECT_EQ(0, IoPollOne(g_recv.wakeFd.load(), POLLIN, 0, &revents));
}

}  // namespace
