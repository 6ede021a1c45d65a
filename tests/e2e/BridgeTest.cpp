// End to end through a real broker: documents to topics in order, commands
// and their replies, the status will, a broker that goes away, a gateway
// that restarts, broker authentication and TLS.
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <utility>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

struct Kind {
  std::vector<uint8_t> frame;
  const char* topic;  // under orvel/gw/rx/
  const char* part;
};

std::vector<Kind> Burst() {
  const uint8_t uid[5] = {0x01, 0xa2, 0x03, 0xb4, 0xff};
  return {
      {sim::AckFrame(0x1234), "ack", "\"nodeId\":4660"},
      {sim::NackFrame(0x22), "nack", "\"nodeId\":34"},
      {sim::DataFrame(7, 3, 1, {1, 2, 255}), "receivedPayload", "\"payload\":[1,2,255]"},
      {sim::DataHapaFrame(7, 3, 1, {9}), "receivedPayload", "\"hapa\""},
      {sim::UappDataFrame(7, 3, 1, 17, {4}), "receivedPayload", "\"sequenceNo\":17"},
      {sim::UappDataHapaFrame(7, 3, 1, 18, {5}), "receivedPayload", "\"sequenceNo\":18"},
      {sim::NodeInfoReplyFrame(1, uid, 3), "nodeInfoReply", "01a203b4ff"},
      {sim::NeighborListFrame({{12, 200}}, false), "neighborListReply", "\"RSSI\":200"},
      {sim::NetCmdReplyFrame(4, 2, {8}), "networkCommandReply", "\"command\":2"},
      {sim::WesSetupRequestFrame(uid, 2), "wesSetupRequest", "\"appFunctionType\":2"},
      {sim::WesStatusFrame(3), "wesStatus", "\"status\":3"},
      {sim::RawFrame(0x30, {1, 2}), "unknown", "\"payload\":[48,2,1,2]"},
  };
}

// The documents published under rx/, probes left out.
std::vector<MqttMessage> RxDocs(const std::vector<MqttMessage>& all) {
  std::vector<MqttMessage> out;
  for (auto& m : all)
    if (m.topic.rfind("orvel/gw/rx/", 0) == 0 && m.payload.find(kProbe) == std::string::npos)
      out.push_back(m);
  return out;
}

class BridgeFlowTest : public BridgeTest {
 protected:
  // Three rounds of a frame of every kind: each document unchanged on its
  // topic, in order.
  void ExpectBurstArrives() {
    std::vector<Kind> kinds = Burst();
    for (int round = 0; round < 3; ++round)
      for (auto& k : kinds) ASSERT_TRUE(sim_.SendFrame(k.frame));
    const size_t n = 3 * kinds.size();
    ASSERT_TRUE(WaitUntil([&] { return RxDocs(Messages()).size() >= n; }, In(15000)))
        << RxDocs(Messages()).size() << "\n" << bridge_.Output();
    std::vector<MqttMessage> docs = RxDocs(Messages());
    ASSERT_EQ(n, docs.size());
    for (size_t i = 0; i < n; ++i) {
      const Kind& k = kinds[i % kinds.size()];
      EXPECT_EQ(std::string("orvel/gw/rx/") + k.topic, docs[i].topic) << i;
      EXPECT_NE(std::string::npos, docs[i].payload.find(k.part)) << i << ": " << docs[i].payload;
      EXPECT_EQ(0u, docs[i].payload.find("{\"objectType\":\"")) << docs[i].payload;
      EXPECT_EQ('}', docs[i].payload.back()) << docs[i].payload;
    }
  }
};

TEST_F(BridgeFlowTest, BurstOfEveryKindArrivesInOrderOnItsTopic) {
  StartAll();
  EXPECT_EQ("online", MessagesOn("orvel/gw/status").back().payload);
  ExpectBurstArrives();
  bridge_.Signal(SIGTERM);
  int status = -1;
  EXPECT_TRUE(bridge_.WaitExit(In(10000), &status));
  EXPECT_EQ(0, status) << bridge_.Output();
  EXPECT_TRUE(WaitUntil([&] { return MessagesOn("orvel/gw/status").back().payload == "offline"; },
                        In(5000)));
}

// The gateway's delimiter, and the bridge's set to match: escapes as the
// gateway writes them, and none at all (documents split by their braces).
class BridgeDelimiterTest : public BridgeFlowTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(BridgeDelimiterTest, BurstOfEveryKindArrivesUnchanged) {
  const std::string delimiter = std::string("delimiter=") + GetParam();
  StartAll({delimiter}, {delimiter});
  ExpectBurstArrives();
  ASSERT_TRUE(PublishCommand(R"({"objectType":"altCmd","cmd":2})"));
  ASSERT_TRUE(WaitForMessages("orvel/gw/tx/reply", 1, In(15000))) << bridge_.Output();
  const std::string reply = MessagesOn("orvel/gw/tx/reply")[0].payload;
  EXPECT_NE(std::string::npos, reply.find(kOkReply)) << reply;
  EXPECT_EQ('}', reply.back()) << reply;  // the delimiter is not part of it
}

INSTANTIATE_TEST_SUITE_P(Delimiters, BridgeDelimiterTest, ::testing::Values("\\r\\n", ""));

TEST_F(BridgeFlowTest, CommandsReachTheModuleAndRepliesArePublished) {
  StartAll();
  ASSERT_TRUE(PublishCommand(R"({"objectType":"altCmd","cmd":2})"));
  ASSERT_TRUE(WaitForMessages("orvel/gw/tx/reply", 1, In(15000))) << bridge_.Output();
  EXPECT_NE(std::string::npos, MessagesOn("orvel/gw/tx/reply")[0].payload.find(kOkReply));
  ASSERT_TRUE(sim_.WaitForReceived(1, In(5000)));
  EXPECT_EQ("200102", sim_.ReceivedFrames()[0]);

  ASSERT_TRUE(PublishCommand("{\"objectType\":\"altCmd\"}"));
  ASSERT_TRUE(WaitForMessages("orvel/gw/tx/reply", 2, In(15000)));
  const std::string bad = MessagesOn("orvel/gw/tx/reply")[1].payload;
  EXPECT_NE(std::string::npos, bad.find("\"status\":\"error\",\"content\":\"Missing member: cmd\""))
      << bad;

  // MQTT 5: the reply goes to the command's response topic, correlated.
  ASSERT_TRUE(PublishCommand(R"({"objectType":"nodeInfoRequest"})",
                             {"-D", "publish", "response-topic", "orvel/gw/app/answer", "-D",
                              "publish", "correlation-data", "req-42"}));
  ASSERT_TRUE(WaitForMessages("orvel/gw/app/answer", 1, In(15000))) << bridge_.Output();
  MqttMessage answer = MessagesOn("orvel/gw/app/answer")[0];
  EXPECT_EQ("req-42", answer.correlation);
  EXPECT_NE(std::string::npos, answer.payload.find(kOkReply));
  EXPECT_EQ(2u, MessagesOn("orvel/gw/tx/reply").size());
  ASSERT_TRUE(sim_.WaitForReceived(2, In(5000)));
  EXPECT_EQ("0800", sim_.ReceivedFrames()[1]);

  // Without the gateway the command is answered by the bridge itself.
  EXPECT_EQ(0, StopGateway(SIGTERM));
  ASSERT_TRUE(PublishCommand(R"({"objectType":"altCmd","cmd":3})"));
  ASSERT_TRUE(WaitForMessages("orvel/gw/tx/reply", 3, In(15000)));
  EXPECT_NE(std::string::npos, MessagesOn("orvel/gw/tx/reply")[2].payload.find(
                                   "\"status\":\"error\",\"content\":\"Send port unreachable\""));
}

TEST_F(BridgeFlowTest, KilledBridgeIsMarkedOfflineByItsWill) {
  StartAll();
  ASSERT_EQ("online", MessagesOn("orvel/gw/status").back().payload);
  bridge_.Signal(SIGKILL);
  ASSERT_TRUE(bridge_.WaitExit(In(5000)));
  EXPECT_TRUE(WaitUntil([&] { return MessagesOn("orvel/gw/status").back().payload == "offline"; },
                        In(10000)))
      << subscriber_.Output();
}

TEST_F(BridgeFlowTest, GatewayRestartedUnderTheBridgeFlowsAgain) {
  StartAll();
  EXPECT_EQ(0, StopGateway(SIGTERM));
  ASSERT_TRUE(gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_)}, &sim_, dir_));
  ASSERT_TRUE(gateway_.WaitForOutput("delimiter=", In(10000)));
  ProbeUntilSeen();
  ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(77)));
  EXPECT_TRUE(WaitForMessages("orvel/gw/rx/ack", 1, In(5000)));
}

TEST_F(BridgeFlowTest, BrokerAwayQueuesThenDeliversAndCountsDrops) {
  // A persistent broker and subscriber session keep what is published
  // while the subscriber is away, across the broker's restart.
  brokerLines_ = {"persistence true", "persistence_location " + dir_ + "/"};
  const std::vector<std::string> session{"-c", "-i", "orvel-test-sub"};
  StartBroker();
  StartGateway({}, {"--no-answer"});
  StartBridge({"queueLimit=5", "statsSecs=1"});
  Subscribe(session);
  ProbeUntilSeen();
  subscriber_.Signal(SIGTERM);
  ASSERT_TRUE(subscriber_.WaitExit(In(5000)));
  StopBroker();
  ASSERT_TRUE(bridge_.WaitForOutput("Broker connection lost", In(10000))) << bridge_.Output();
  for (uint16_t i = 1; i <= 8; ++i) ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(i)));
  ASSERT_TRUE(bridge_.WaitForOutput("Broker away: queue full at 5 documents", In(10000)))
      << bridge_.Output();
  EXPECT_EQ(1u, bridge_.CountInOutput("Broker away"));
  StartBroker();
  Subscribe(session, "sub2.out");
  ASSERT_TRUE(WaitForMessages("orvel/gw/rx/ack", 5, In(15000))) << bridge_.Output();
  std::vector<MqttMessage> acks = MessagesOn("orvel/gw/rx/ack");
  ASSERT_EQ(5u, acks.size());
  for (int i = 0; i < 5; ++i)
    EXPECT_NE(std::string::npos, acks[i].payload.find("\"nodeId\":" + std::to_string(i + 1) + "}"));
  ASSERT_TRUE(WaitUntil([&] {
    auto stats = MessagesOn("orvel/gw/stats");
    return !stats.empty() && stats.back().payload.find("\"docsDropped\":3,") != std::string::npos &&
           stats.back().payload.find("\"reconnects\":1,") != std::string::npos;
  }, In(10000))) << subscriber_.Output();
}

TEST_F(BridgeFlowTest, ReloadOnSigusr1RereadsTheFile) {
  StartBroker();
  StartGateway({}, {"--no-answer"});
  const std::string file = dir_ + "/bridge.conf";
  auto write = [&](const char* id) {
    std::ofstream(file) << "brokerPort=" << brokerPort_ << "\nrecvPort=" << recvPort_
                        << "\nsendPort=" << sendPort_ << "\ngatewayId=" << id << "\n";
  };
  write("gw");
#ifdef ORVEL_BRIDGE_PATH
  ASSERT_TRUE(bridge_.Start({ORVEL_BRIDGE_PATH, "-c", file}, dir_ + "/bridge.out"));
#endif
  Subscribe();
  write("gw2");
  bridge_.Signal(SIGUSR1);
  EXPECT_TRUE(WaitForMessages("orvel/gw2/status", 1, In(10000))) << bridge_.Output();
  EXPECT_TRUE(WaitForMessages("orvel/gw/status", 2, In(5000)));
  EXPECT_EQ("offline", MessagesOn("orvel/gw/status").back().payload);
  EXPECT_EQ("online", MessagesOn("orvel/gw2/status").back().payload);
  EXPECT_NE(std::string::npos, bridge_.Output().find("clientId=orvel-gw2\n"));
}

TEST_F(BridgeTest, BrokerPasswordWrongIsRefusedRightWorks) {
  const std::string passwords = MakePasswordFile("board", "s3cret");
  ASSERT_FALSE(HasFailure());
  for (auto [name, text] : {std::pair{"/wrong", "guess"}, std::pair{"/right", "s3cret"}}) {
    std::ofstream(dir_ + name) << text << "\n";
  }
  StartBroker({"password_file " + passwords, "allow_anonymous false"});
  StartGateway({}, {"--no-answer"});
  StartBridge({"username=board", "passwordFile=" + dir_ + "/wrong"});
  EXPECT_TRUE(bridge_.WaitForOutput("Broker refused the connection", In(10000))) << bridge_.Output();
  EXPECT_EQ(std::string::npos, bridge_.Output().find("guess"));
  bridge_.Signal(SIGTERM);
  ASSERT_TRUE(bridge_.WaitExit(In(10000)));
  StartBridge({"username=board", "passwordFile=" + dir_ + "/right"});
  EXPECT_TRUE(bridge_.WaitForOutput("Connected to broker", In(10000))) << bridge_.Output();
  Subscribe({"-u", "board", "-P", "s3cret"});
  EXPECT_EQ("online", MessagesOn("orvel/gw/status").back().payload);
}

// Runs openssl with the arguments in the test directory; true on status 0.
bool Openssl(const std::string& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  ToolProcess tool;
  int status = -1;
  return tool.Start(args, dir + "/openssl.out") && tool.WaitExit(In(20000), &status) && status == 0;
}

TEST_F(BridgeTest, TlsTrustsOnlyTheBrokersCa) {
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed (scripts/deps.sh)";
  const std::string d = dir_ + "/";
  const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
  for (const char* ca : {"ca", "other"}) {
    std::vector<std::string> a{"req", "-x509", "-days", "2", "-subj", std::string("/CN=orvel-test-") + ca,
                               "-keyout", d + ca + ".key", "-out", d + ca + ".crt"};
    a.insert(a.end(), ec.begin(), ec.end());
    ASSERT_TRUE(Openssl(dir_, a)) << ReadFile(d + "openssl.out");
  }
  // The broker's certificate names its address; the bridge's is a client's.
  std::ofstream(d + "server.cnf") << "subjectAltName=IP:127.0.0.1\n";
  std::ofstream(d + "client.cnf") << "extendedKeyUsage=clientAuth\n";
  for (const char* who : {"server", "client"}) {
    const std::string w = d + who;
    std::vector<std::string> req{"req", "-subj", std::string("/CN=") + who, "-keyout", w + ".key", "-out", w + ".csr"};
    req.insert(req.end(), ec.begin(), ec.end());
    ASSERT_TRUE(Openssl(dir_, req)) << ReadFile(d + "openssl.out");
    ASSERT_TRUE(Openssl(dir_, {"x509", "-req", "-days", "2", "-in", w + ".csr", "-CA", d + "ca.crt", "-CAkey",
                               d + "ca.key", "-CAcreateserial", "-extfile", w + ".cnf", "-out", w + ".crt"}))
        << ReadFile(d + "openssl.out");
  }
  // The subscriber stays on the plain listener; the bridge must use TLS.
  const uint16_t tlsPort = PickFreePort();
  StartBroker({"listener " + std::to_string(tlsPort) + " 127.0.0.1", "cafile " + d + "ca.crt",
               "certfile " + d + "server.crt", "keyfile " + d + "server.key", "require_certificate true"});
  StartGateway({}, {"--no-answer"});
  const std::string tls = "brokerPort=" + std::to_string(tlsPort);
  StartBridge({tls, "caFile=" + d + "missing.crt"});
  int status = -1;
  ASSERT_TRUE(bridge_.WaitExit(In(10000), &status));
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, bridge_.Output().find("ERROR: Invalid TLS files: caFile=")) << bridge_.Output();
  const std::string client = "certFile=" + d + "client.crt,keyFile=" + d + "client.key";
  // A CA that did not sign the broker's certificate, and the right CA but no
  // client certificate: neither connects, and the bridge says so. Whether the
  // handshake fails within the connect call or after it is up to the timing.
  for (const std::string& wrong : {"caFile=" + d + "other.crt," + client, "caFile=" + d + "ca.crt"}) {
    StartBridge({tls, wrong});
    EXPECT_TRUE(WaitUntil([&] {
      const std::string out = bridge_.Output();
      for (const char* refusal : {"not reachable", "connection failed", "connection lost"})
        if (out.find(refusal) != std::string::npos) return true;
      return false;
    }, In(10000), 20)) << wrong << "\n" << bridge_.Output();
    EXPECT_EQ(std::string::npos, bridge_.Output().find("Connected to broker")) << wrong << "\n" << bridge_.Output();
    bridge_.Signal(SIGTERM);
    ASSERT_TRUE(bridge_.WaitExit(In(10000)));
  }
  StartBridge({tls, "caFile=" + d + "ca.crt," + client});
  EXPECT_TRUE(bridge_.WaitForOutput("Connected to broker", In(10000))) << bridge_.Output();
  Subscribe();
  EXPECT_EQ("online", MessagesOn("orvel/gw/status").back().payload);
  // Frames are read once the host API is active, after a quiet spell: repeat.
  auto documentSeen = [&] {
    for (auto& m : Messages())
      if (m.topic.find("/rx/") != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] {
    sim_.SendFrame(sim::WesStatusFrame(0x21));
    return WaitUntil(documentSeen, In(300), 20);
  }, In(10000), 0))
      << subscriber_.Output() << bridge_.Output();
}

}  // namespace
}  // namespace e2e
