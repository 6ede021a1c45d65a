// Send task and command dispatch, driven through socket pairs and a pipe
// standing in for the UART, with a thread playing the CTS monitor.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "config/Configuration.h"
#include "core/OvClosers.h"
#include "core/OvPrintErr.h"
#include "ovapi/OvApi.h"
#include "send/SendEssentials.h"
#include "send/SendTask.h"

namespace {

class SendTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetConfigDefault(&config_);
    config_.setCtsTimeoutSecs(1);
    OvApiInit();
    SendTaskInitEssentials(&config_);
    g_send.config = &config_;
    g_send.state.store(1);
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair_));
    fcntl(pair_[0], F_SETFL, O_NONBLOCK);
    g_send.clientFd = pair_[0];
    ASSERT_EQ(0, pipe(uart_));
    fcntl(uart_[0], F_SETFL, O_NONBLOCK);
    g_send.uartFd.store(uart_[1]);
  }
  void TearDown() override {
    g_send.uartFd.store(-1);
    SendEssentialsReleasePayloads();
    CleanUpClient();
    FdClose(&pair_[1]);
    FdClose(&uart_[0]);
    FdClose(&uart_[1]);
  }
  void Write(const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(pair_[1], text.data(), text.size()));
  }
  // Reads what the gateway sent until the peer closes, bounded by a deadline.
  std::string ReadReply() {
    std::string out;
    char buf[512];
    for (int i = 0; i < 100; ++i) {
      ssize_t n = read(pair_[1], buf, sizeof buf);
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
  void Serve(const std::string& text) {
    Write(text);
    SendTaskHandleClient(pair_[0]);
    pair_[0] = -1;  // closed by the task
  }
  // Plays the CTS monitor: one clear-to-send once a frame is queued.
  std::thread CtsOnce() {
    return std::thread([] {
      for (int i = 0; i < 4000 && OvApiStatus(0) != Pending; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      OvApiCtsActive(0);
    });
  }

  tConfiguration config_;
  int pair_[2] = {-1, -1};
  int uart_[2] = {-1, -1};
};

TEST_F(SendTaskTest, QueuedCommandIsWrittenAndAnsweredOk) {
  std::thread cts = CtsOnce();
  Serve(R"({"objectType":"nodeInfoRequest"})");
  cts.join();
  std::string reply = ReadReply();
  EXPECT_NE(std::string::npos, reply.find("\"ok\"")) << reply;
  EXPECT_EQ('\n', reply.back());
  std::string frame = UartBytes();
  ASSERT_FALSE(frame.empty());
  EXPECT_EQ(0x08, static_cast<uint8_t>(frame[0]));
}

TEST_F(SendTaskTest, CommandInPiecesIsReadWhole) {
  Write(R"({"objectType":)");
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Write(R"("altCmd","cmd":7})");
  });
  ASSERT_EQ(1, ReadClientMsg());
  late.join();
  PrintMsg();
  EXPECT_STREQ(R"({"objectType":"altCmd","cmd":7})", g_send.msgBuf);
  EXPECT_EQ(nullptr, ParseMsg());
  EXPECT_EQ(0x20u, g_send.msgType);
  EXPECT_EQ(7u, g_send.altCmd.cmd);
}

TEST_F(SendTaskTest, TimeOutCancelsAndNextCommandSucceeds) {
  Serve(R"({"objectType":"wesCmd","cmd":3})");
  std::string reply = ReadReply();
  EXPECT_NE(std::string::npos, reply.find("Message was not written to UART within 1 seconds"))
      << reply;
  EXPECT_EQ(Ok, OvApiStatus(0));  // slot free again
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair_));
  fcntl(pair_[0], F_SETFL, O_NONBLOCK);
  std::thread cts = CtsOnce();
  Serve(R"({"objectType":"wesCmd","cmd":3})");
  cts.join();
  EXPECT_NE(std::string::npos, ReadReply().find("\"ok\""));
}

TEST_F(SendTaskTest, RefusedCommandAnswersStagingFailure) {
  std::string payload = "[1";
  for (int i = 1; i < 28; ++i) payload += ",1";
  payload += "]";
  Serve(R"({"objectType":"sendPayload","payloadType":"unacknowledged","nodeId":5,"port":1,)"
        R"("sequenceNo":1,"payload":)" + payload + "}");
  std::string reply = ReadReply();
  EXPECT_NE(std::string::npos, reply.find("Staging data failed: 3")) << reply;
  EXPECT_NE(std::string::npos, reply.find("\"error\""));
  EXPECT_EQ(nullptr, g_send.unackMsg.payload);  // released after the command
}

TEST_F(SendTaskTest, UnbalancedMessageOf4096BytesFails) {
  std::string text = "{" + std::string(4095, ' ');
  Write(text);
  EXPECT_EQ(0, ReadClientMsg());
  EXPECT_STREQ("Failed to read from socket. no data", g_error);
  EXPECT_EQ(nullptr, g_send.msgBuf);
}

TEST_F(SendTaskTest, BalancedMessageOfExactly4096BytesIsAccepted) {
  std::string text = "{" + std::string(4094, ' ') + "}";
  Write(text);
  ASSERT_EQ(1, ReadClientMsg());
  EXPECT_EQ(4096u, g_send.msgLen);
  PrintMsg();
  EXPECT_EQ('\0', g_send.msgBuf[4096]);
}

TEST_F(SendTaskTest, PeerClosingWithoutDataFails) {
  FdClose(&pair_[1]);
  EXPECT_EQ(0, ReadClientMsg());
  EXPECT_STREQ("Failed to read from socket. no data", g_error);
}

TEST_F(SendTaskTest, WrittenFlagSetByAnotherThreadEndsTheWait) {
  g_send.messageWritten.store(0);
  std::thread setter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    OvApiSupportMessageWritten(0, 0, nullptr, 0);
  });
  EXPECT_NE(0, WaitForMessageToBeWritten());
  setter.join();
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
