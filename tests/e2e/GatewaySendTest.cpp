// End to end: commands on the send port are written to the simulated module
// at its clear-to-send and answered with one status reply.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <csignal>
#include <string>
#include <vector>

#include "GatewayFixture.h"

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

}  // namespace
}  // namespace e2e
