// End to end through a real broker with commands that wait for clear-to-send:
// documents keep flowing and later commands are passed meanwhile, replies
// come in order, the limit of commands in flight, a gateway that stops under
// waiting commands, a reply due while the broker is away, and the
// keep-alive through a run of slow commands.
#include <csignal>
#include <string>
#include <vector>

#include "BridgeFixture.h"

namespace e2e {
namespace {

const char* const kAnswers = "orvel/gw/app/answer";

std::string AltCmd(int cmd) {
  return "{\"objectType\":\"altCmd\",\"cmd\":" + std::to_string(cmd) + "}";
}

class BridgeWaitTest : public BridgeTest {
 protected:
  // Everything started with a module that raises CTS only when the test
  // says so and reports `rate` frames a second by itself.
  void StartWaiting(const std::vector<std::string>& bridgeExtras, int rate,
                    const std::vector<std::string>& gatewayExtras = {}) {
    StartAll(bridgeExtras, gatewayExtras,
             {"--no-cts", "--no-answer", "--rate", std::to_string(rate)});
  }
  // A command whose reply goes to kAnswers with `id` as its correlation data.
  void Command(const std::string& text, const std::string& id) {
    ASSERT_TRUE(PublishCommand(text, {"-D", "publish", "response-topic", kAnswers, "-D", "publish",
                                      "correlation-data", id}));
  }
  // Raises CTS, one pulse at a time, until n replies are there.
  bool CtsUntilAnswered(size_t n) {
    return WaitUntil([&] {
      sim_.RaiseCts();
      return WaitForMessages(kAnswers, n, In(300));
    }, In(20000), 0);
  }
  // Correlation data of the replies, in arrival order.
  std::vector<std::string> AnswerIds() const {
    std::vector<std::string> ids;
    for (auto& m : MessagesOn(kAnswers)) ids.push_back(m.correlation);
    return ids;
  }
  // True once the latest stats hold every one of the parts.
  bool WaitForStats(const std::vector<std::string>& parts, Deadline deadline) {
    return WaitUntil([&] {
      auto stats = MessagesOn("orvel/gw/stats");
      if (stats.empty()) return false;
      for (auto& p : parts)
        if (stats.back().payload.find(p) == std::string::npos) return false;
      return true;
    }, deadline, 50);
  }
  // Messages on topics that begin with `prefix` the subscriber saw after
  // the first command.
  size_t SinceFirstCommand(const std::string& prefix) const {
    size_t n = 0;
    bool after = false;
    for (auto& m : Messages()) {
      after = after || m.topic == "orvel/gw/tx";
      n += after && m.topic.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }
};

TEST_F(BridgeWaitTest, DocumentsFlowWhileCommandsWaitAndRepliesComeInOrder) {
  // 20 frames a second; the gateway would give each command 10 s.
  StartWaiting({"statsSecs=1"}, 20, {"ctsTimeoutSecs=10"});
  const Deadline start = In(0);
  Command(AltCmd(2), "c1");
  Command(AltCmd(3), "c2");
  Command(R"({"objectType":"nodeInfoRequest"})", "c3");
  // About 5 s of the module's reports while all three wait.
  const size_t due = 100;
  ASSERT_TRUE(WaitUntil([&] { return SinceFirstCommand("orvel/gw/rx/") >= due || !AnswerIds().empty(); },
                        In(20000), 50));
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(AnswerIds().empty()) << "answered without clear-to-send";
  EXPECT_GE(due / secs, 10.0) << "documents per second while commands waited";
  EXPECT_TRUE(WaitForStats({"\"commandsWaiting\":3,", "\"gatewayConnected\":true"}, In(3000)))
      << bridge_.Output();

  ASSERT_TRUE(CtsUntilAnswered(3)) << bridge_.Output();
  EXPECT_EQ((std::vector<std::string>{"c1", "c2", "c3"}), AnswerIds());
  for (auto& m : MessagesOn(kAnswers)) EXPECT_NE(std::string::npos, m.payload.find(kOkReply)) << m.payload;
  ASSERT_TRUE(sim_.WaitForReceived(3, In(5000)));
  EXPECT_EQ((std::vector<std::string>{"200102", "200103", "0800"}), sim_.ReceivedFrames());
  EXPECT_TRUE(WaitForStats({"\"commandsPassed\":3,", "\"commandsWaiting\":0,\"commandErrors\":0,"},
                           In(5000)));
}

TEST_F(BridgeWaitTest, PastMaxCommandsAnsweredAtOnceAndAStoppingGatewayAnswersTheRest) {
  StartWaiting({"maxCommands=2", "statsSecs=1"}, 0, {"ctsTimeoutSecs=10"});
  Command(AltCmd(2), "c1");
  Command(AltCmd(3), "c2");
  Command(AltCmd(4), "c3");
  ASSERT_TRUE(WaitForMessages(kAnswers, 1, In(5000))) << bridge_.Output();
  EXPECT_EQ(std::vector<std::string>{"c3"}, AnswerIds());
  EXPECT_NE(std::string::npos, MessagesOn(kAnswers)[0].payload.find(
                                   "\"status\":\"error\",\"content\":\"Too many commands waiting\""));
  ASSERT_TRUE(CtsUntilAnswered(3)) << bridge_.Output();
  EXPECT_EQ((std::vector<std::string>{"c3", "c1", "c2"}), AnswerIds());

  // The gateway stops under two waiting commands: each still gets one reply.
  Command(AltCmd(5), "c4");
  Command(AltCmd(6), "c5");
  ASSERT_TRUE(WaitForStats({"\"commandsWaiting\":2,"}, In(5000)));
  EXPECT_EQ(0, StopGateway(SIGTERM));
  ASSERT_TRUE(WaitForStats({"\"commandsAnswered\":5,", "\"commandsWaiting\":0,\"commandErrors\":3,",
                            "\"commandsRefused\":1,"},
                           In(20000)))
      << bridge_.Output();
  EXPECT_EQ((std::vector<std::string>{"c3", "c1", "c2", "c4", "c5"}), AnswerIds());
  for (size_t i : {3u, 4u})
    EXPECT_NE(std::string::npos, MessagesOn(kAnswers)[i].payload.find("\"status\":\"error\""));
}

TEST_F(BridgeWaitTest, ReplyDueWhileTheBrokerIsAwayIsPublishedWhenItIsBack) {
  // A persistent broker and subscriber session keep what is published
  // while the subscriber is away, across the broker's restart.
  brokerLines_ = {"persistence true", "persistence_location " + dir_ + "/"};
  const std::vector<std::string> session{"-c", "-i", "orvel-test-sub"};
  StartBroker();
  StartGateway({"bindAddress=127.0.0.1"}, {"--no-cts", "--no-answer"});
  StartBridge({"statsSecs=1"});
  Subscribe(session);
  ProbeUntilSeen();
  Command(AltCmd(7), "b1");
  ASSERT_TRUE(WaitForStats({"\"commandsWaiting\":1,"}, In(5000)));
  subscriber_.Signal(SIGTERM);
  ASSERT_TRUE(subscriber_.WaitExit(In(5000)));
  StopBroker();
  ASSERT_TRUE(bridge_.WaitForOutput("Broker connection lost", In(10000))) << bridge_.Output();
  // The gateway answers while the broker is away.
  ASSERT_TRUE(WaitUntil([&] {
    sim_.RaiseCts();
    return sim_.WaitForReceived(1, In(300));
  }, In(10000), 0));
  StartBroker();
  Subscribe(session, "sub2.out");
  ASSERT_TRUE(WaitForMessages(kAnswers, 1, In(15000))) << bridge_.Output();
  ASSERT_TRUE(WaitForStats({"\"reconnects\":1,", "\"commandsAnswered\":1,"}, In(5000)))
      << bridge_.Output();
  ASSERT_EQ(std::vector<std::string>{"b1"}, AnswerIds()) << subscriber_.Output();
  EXPECT_NE(std::string::npos, MessagesOn(kAnswers)[0].payload.find(kOkReply));
}

TEST_F(BridgeWaitTest, KeepAliveHoldsThroughARunOfSlowCommands) {
  // Two commands the gateway gives up on after 10 s each, one after the
  // other: 20 s in which the bridge must keep talking to a broker that
  // drops a client silent for 7.5 s.
  StartWaiting({"keepAliveSecs=5", "statsSecs=1"}, 200, {"ctsTimeoutSecs=10"});
  Command(AltCmd(1), "s1");
  Command(AltCmd(2), "s2");
  ASSERT_TRUE(WaitUntil([&] { return MessagesOn(kAnswers).size() >= 2; }, In(40000), 200))
      << bridge_.Output();
  EXPECT_EQ((std::vector<std::string>{"s1", "s2"}), AnswerIds());
  for (auto& m : MessagesOn(kAnswers))
    EXPECT_NE(std::string::npos, m.payload.find("not written to UART within 10 seconds")) << m.payload;
  for (auto& m : MessagesOn("orvel/gw/status")) EXPECT_EQ("online", m.payload);
  EXPECT_EQ(std::string::npos, bridge_.Output().find("Broker connection lost")) << bridge_.Output();
  EXPECT_TRUE(WaitForStats({"\"reconnects\":0,", "\"commandsWaiting\":0,\"commandErrors\":2,"
                            "\"commandTimeOuts\":2,"}, In(5000)));
  // A loop that stalls while a command waits publishes neither documents
  // nor stats meanwhile: 200 documents and one stats a second all along.
  EXPECT_GE(SinceFirstCommand("orvel/gw/rx/"), 2000u);
  EXPECT_GE(SinceFirstCommand("orvel/gw/stats"), 10u);
}

}  // namespace
}  // namespace e2e
