// End to end: commands on the send port are written to the simulated module
// at its clear-to-send and answered with one status reply.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "GatewayFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

TEST_F(GatewayTest, EveryCommandKindIsWrittenExactly) {
  StartGateway();
  ExpectEveryCommandKindWritten();
  EXPECT_NE(std::string::npos, gateway_.Output().find("Data received: \r\n<--"));
}

TEST_F(GatewayTest, RefusedAndMalformedCommandsAreAnsweredError) {
  StartGateway();
  std::string payload = "[1";
  for (int i = 1; i < 28; ++i) payload += ",1";
  payload += "]";
  struct Case {
    std::string text;
    std::string content;
  } cases[] = {
      {R"({"objectType":"sendPayload","payloadType":"unacknowledged","nodeId":5,"port":1,"sequenceNo":1,"payload":)" +
           payload + "}",
       "Staging data failed: 3"},
      {"not json", "Message is not JSON-formatted (#1)"},
      {"{\"a\":}", "Message is not JSON-formatted (#2)"},
      {R"({"objectType":"altCmd"})", "Missing member: cmd"},
      {R"({"objectType":"wesCmd"})", "Missing member: cmd"},
      {R"({"objectType":"xyz"})", "Unknown command"},
  };
  for (const Case& c : cases) {
    std::string reply = SendCommand(sendPort_, c.text, In(10000));
    EXPECT_NE(std::string::npos, reply.find("\"status\":\"error\"")) << c.text << " -> " << reply;
    EXPECT_NE(std::string::npos, reply.find(c.content)) << c.text << " -> " << reply;
  }
  EXPECT_TRUE(sim_.ReceivedFrames().empty());
}

TEST_F(GatewayTest, TimeOutCancelsThenNextCommandSucceeds) {
  StartGateway({"ctsTimeoutSecs=1"});
  std::string reply = SendCommand(sendPort_, R"({"objectType":"nodeInfoRequest"})", In(10000));
  EXPECT_NE(std::string::npos, reply.find("Message was not written to UART within 1 seconds"))
      << reply;
  reply = CommandWithCts(R"({"objectType":"altCmd","cmd":5})");
  EXPECT_NE(std::string::npos, reply.find(kOkReply)) << reply;
  ASSERT_TRUE(sim_.WaitForReceived(1, In(5000)));
  // Only the second command ever reached the module.
  ASSERT_EQ(1u, sim_.ReceivedFrames().size());
  EXPECT_EQ(0u, sim_.ReceivedFrames()[0].rfind("20", 0));
}

std::string ReadAll(int fd, Deadline deadline) {
  std::string out;
  timeval tv{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  WaitUntil(
      [&] {
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        return n == 0;
      },
      deadline, 0);
  return out;
}

TEST_F(GatewayTest, CommandInPiecesGetsOneReply) {
  StartGateway();
  int fd = ConnectLoopback(sendPort_, In(5000));
  ASSERT_GE(fd, 0);
  const std::string pieces[] = {"{\"objectType\"", ":\"altCmd\",", "\"cmd\":3}"};
  for (const std::string& p : pieces) {
    ASSERT_EQ(static_cast<ssize_t>(p.size()), write(fd, p.data(), p.size()));
    // Each piece travels on its own: the next is written only once the
    // gateway's side has acknowledged this one (nothing left unsent).
    ASSERT_TRUE(WaitUntil([&] {
      int unsent = -1;
      return ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent == 0;
    }, In(5000)));
  }
  std::string reply;
  ASSERT_TRUE(WaitUntil(
      [&] {
        sim_.RaiseCts();
        reply += ReadAll(fd, In(100));
        return reply.find("replyMsg") != std::string::npos;
      },
      In(10000), 0));
  close(fd);
  EXPECT_NE(std::string::npos, reply.find(kOkReply)) << reply;
  EXPECT_EQ(1u, gateway_.CountInOutput("Data received: "));
}

TEST_F(GatewayTest, SilentClientIsDroppedWithoutReply) {
  StartGateway();
  int fd = ConnectLoopback(sendPort_, In(5000));
  ASSERT_GE(fd, 0);
  std::string reply = ReadAll(fd, In(15000));
  close(fd);
  EXPECT_EQ("", reply);
  EXPECT_TRUE(gateway_.WaitForOutput("Failed to read from socket. no data", In(5000)));
  // The gateway serves the next client normally.
  reply = SendCommand(sendPort_, "x", In(10000));
  EXPECT_NE(std::string::npos, reply.find("(#1)")) << reply;
}

// With a module that raises clear-to-send by itself, each command is answered
// well within the bound of its wait (its speed is the benchmark's matter).
TEST_F(GatewayTest, CommandWithPromptCtsIsAnswered) {
  StartGateway({}, {"--no-answer"});
  for (int i = 0; i < 5; ++i) {
    std::string reply = SendCommand(sendPort_, R"({"objectType":"altCmd","cmd":9})", In(1000));
    EXPECT_NE(std::string::npos, reply.find(kOkReply)) << reply;
  }
}

// Silent and trickling connections do not hold the port: a good command is
// answered before the silent ones reach their read bound, and those are
// then closed without a reply.
TEST_F(GatewayTest, IdleAndTricklingClientsDoNotHoldThePort) {
  StartGateway();
  auto start = std::chrono::steady_clock::now();
  std::vector<int> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(ConnectLoopback(sendPort_, In(5000)));
    ASSERT_GE(silent.back(), 0);
  }
  auto trickle = std::async(std::launch::async, [this] {
    int fd = ConnectLoopback(sendPort_, In(5000));
    for (int i = 0; i < 40 && fd >= 0; ++i) {
      // An open brace first, so the spaces never complete the message.
      if (send(fd, i == 0 ? "{" : " ", 1, MSG_NOSIGNAL) != 1) break;  // closed at its bound
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    close(fd);
  });
  std::string reply = CommandWithCts(R"({"objectType":"nodeInfoRequest","x":"}{"})");
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(4900));
  EXPECT_NE(std::string::npos, reply.find(kOkReply)) << reply;
  for (int fd : silent) {
    EXPECT_EQ("", ReadAll(fd, In(15000)));  // closed at the bound, no reply
    close(fd);
  }
  trickle.wait();
  EXPECT_TRUE(WaitUntil(
      [&] { return gateway_.CountInOutput("Failed to read from socket. no data") == 4; },
      In(5000)));
}

TEST_F(GatewayTest, StrictCommandsRefuseWithoutWritingToTheUart) {
  StartGateway({"strictCommands=1"});
  const std::string ack = R"({"objectType":"sendPayload","payloadType":"acknowledged",)";
  struct Case {
    std::string text;
    const char* content;
  } cases[] = {
      {ack + R"("payload":[1],"nodeId":65536,"port":1})", "Invalid member: nodeId"},
      {ack + R"("payload":[1],"nodeId":1,"port":256})", "Invalid member: port"},
      {ack + R"("payload":[-129],"nodeId":1,"port":1})", "Invalid member: payload"},
      {R"({"objectType":"altCmd","cmd":256})", "Invalid member: cmd"},
      {R"({"objectType":"wesResponse","nodeId":1,"uidHex":"010203040g","appSettings":"000102030405060708090a0b0c0d0e0f1011121314151617"})",
       "Invalid member: uidHex"},
  };
  for (const Case& c : cases) {
    std::string reply = CommandWithCts(c.text);
    EXPECT_NE(std::string::npos, reply.find(c.content)) << c.text << " -> " << reply;
  }
  EXPECT_TRUE(sim_.ReceivedFrames().empty());
}

// A stop or a reload ends a command's wait for clear-to-send at once; the
// client is still answered, and after a reload the port serves again.
// A stop answers a command that waits for clear-to-send at once; a reload
// that leaves the UART alone lets it wait on and be written.
TEST_F(GatewayTest, StopCutsShortACommandsWaitAndAReloadDoesNot) {
  StartGateway({"ctsTimeoutSecs=60"});
  for (int sig : {SIGUSR1, SIGTERM}) {
    auto reply = std::async(std::launch::async, [this] {
      return SendCommand(sendPort_, R"({"objectType":"nodeInfoRequest"})", In(30000));
    });
    size_t served = sig == SIGUSR1 ? 1 : 2;
    ASSERT_TRUE(WaitUntil([&] { return gateway_.CountInOutput("Data received: ") >= served; },
                          In(10000)));
    if (sig == SIGTERM) {
      EXPECT_EQ(0, StopGateway(SIGTERM));
      std::string text = reply.get();
      EXPECT_NE(std::string::npos, text.find("within 60 seconds")) << text;
      continue;
    }
    gateway_.Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil([&] { return gateway_.CountInOutput("delimiter=") == 2; }, In(10000)));
    EXPECT_EQ(std::future_status::timeout, reply.wait_for(std::chrono::milliseconds(0)));
    while (reply.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
      sim_.RaiseCts();
    }
    std::string text = reply.get();
    EXPECT_NE(std::string::npos, text.find(kOkReply)) << text;
  }
}

// With its descriptor limit lowered, connections past the limit neither spin
// the gateway nor stop it: once they close, a new client is served.
// Connections past the descriptor limit, on either port, neither spin the
// CPU nor stop the others; once they close, new clients are served.
TEST_F(GatewayTest, DescriptorExhaustionBacksOffAndRecovers) {
  StartGateway();
  RecvClient* listener = AddClient();
  rlimit low{24, 24};
  ASSERT_EQ(0, prlimit(gateway_.Pid(), RLIMIT_NOFILE, &low, nullptr));
  std::vector<int> held;
  for (int i = 0; i < 40; ++i) held.push_back(ConnectLoopback(sendPort_, In(2000)));
  for (int i = 0; i < 40; ++i) held.push_back(ConnectLoopback(recvPort_, In(2000)));
  EXPECT_TRUE(gateway_.WaitForOutput("Receive port: out of descriptors, accepting paused", In(10000)));
  EXPECT_EQ(1u, gateway_.CountInOutput("Receive port: out of descriptors"));
  EXPECT_TRUE(gateway_.WaitForOutput("out of descriptors, accepting paused", In(10000)));
  // Meanwhile the listener still gets its documents.
  ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(9)));
  EXPECT_TRUE(listener->WaitForDocs(1, In(5000)));
  for (int& fd : held) close(fd);
  std::string reply = SendCommand(sendPort_, "x", In(20000));
  EXPECT_NE(std::string::npos, reply.find("(#1)")) << reply;
  AddClient();
}

}  // namespace
}  // namespace e2e
