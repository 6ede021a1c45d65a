// End to end through a real broker: the bridge's retained node topics from
// the simulator's mesh, the neighbour list, the bound on the table and the
// table kept across a restart of the bridge.
#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

// The last payload seen per topic.
std::map<std::string, std::string> LastOn(const std::vector<MqttMessage>& all) {
  std::map<std::string, std::string> out;
  for (auto& m : all) out[m.topic] = m.payload;
  return out;
}

// The value of "key" in a flat JSON text: a quoted text with its quotes, or
// a number; "" when absent.
std::string Field(const std::string& doc, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  size_t at = doc.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  size_t end = doc[at] == '"' ? doc.find('"', at + 1) + 1 : doc.find_first_not_of("0123456789", at);
  return doc.substr(at, end - at);
}

class BridgeNodeTopicsTest : public BridgeTest {
 protected:
  // Broker, gateway on a simulator that raises CTS and answers commands
  // (its mesh: 257, the module's own node, and 258..260), bridge, subscriber.
  void StartAll(const std::vector<std::string>& bridgeExtras = {}) {
    StartBroker();
    StartGateway({"bindAddress=127.0.0.1"}, {});
    StartBridge(bridgeExtras);
    Subscribe();
    ProbeUntilSeen();
  }
  // Waits until the node's last published state contains every part.
  bool WaitForNode(int id, const std::vector<std::string>& parts, Deadline deadline = In(10000)) {
    const std::string topic = "orvel/gw/node/" + std::to_string(id);
    return WaitUntil([&] { return DocHas(LastOn(Messages())[topic], parts); }, deadline, 20);
  }
};

TEST_F(BridgeNodeTopicsTest, SimulatorNodesAppearWithCountsAndLastSeen) {
  StartAll();
  const uint8_t uid[5] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(sim_.SendFrame(sim::NodeInfoReplyFrame(257, uid, 3)));
  for (uint16_t id : {258, 259, 260, 258, 258}) {
    ASSERT_TRUE(sim_.SendFrame(sim::DataFrame(id, 4, 2, {1, 2})));
    ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(id)));
  }
  ASSERT_TRUE(sim_.SendFrame(sim::UappDataHapaFrame(259, 524287, 3, 9, {7})));
  ASSERT_TRUE(sim_.SendFrame(sim::NackFrame(260)));
  ASSERT_TRUE(WaitForNode(257, {"\"nodeInfoReply\":1", "\"uidHex\":\"0102030405\"", "\"nodeType\":3"}))
      << subscriber_.Output();
  ASSERT_TRUE(WaitForNode(258, {"\"counts\":{\"receivedPayload\":3,\"ack\":3}", "\"port\":2"}))
      << subscriber_.Output();
  ASSERT_TRUE(WaitForNode(259, {"\"counts\":{\"receivedPayload\":2,\"ack\":1}", "\"port\":3",
                                "\"packageAgeMicroSecs\":999998"}));
  ASSERT_TRUE(WaitForNode(260, {"\"counts\":{\"receivedPayload\":1,\"ack\":1,\"nack\":1}"}));
  // lastSeen is the time of the node's last document; firstSeen of its first.
  std::map<std::string, std::vector<std::string>> times;
  for (auto& m : Messages())
    if (m.topic.rfind("orvel/gw/rx/", 0) == 0 && !Field(m.payload, "nodeId").empty())
      times[Field(m.payload, "nodeId")].push_back(Field(m.payload, "gwTimestamp"));
  auto last = LastOn(Messages());
  for (const char* id : {"257", "258", "259", "260"}) {
    const std::string node = last[std::string("orvel/gw/node/") + id];
    EXPECT_EQ(times[id].front(), Field(node, "firstSeen")) << node;
    EXPECT_EQ(times[id].back(), Field(node, "lastSeen")) << node;
  }
  size_t nodes = 0;
  for (auto& entry : last) nodes += entry.first.rfind("orvel/gw/node/", 0) == 0;
  EXPECT_EQ(4u, nodes);
}

TEST_F(BridgeNodeTopicsTest, NeighbourListReplyFillsNeighborsAndRssi) {
  StartAll();
  ASSERT_TRUE(PublishCommand(R"({"objectType":"neighborListRequest"})"));
  ASSERT_TRUE(WaitForMessages("orvel/gw/rx/neighborListReply", 1, In(15000))) << bridge_.Output();
  const std::string reply = MessagesOn("orvel/gw/rx/neighborListReply")[0].payload;
  ASSERT_TRUE(WaitForMessages("orvel/gw/neighbors", 1, In(10000)));
  EXPECT_EQ(reply, MessagesOn("orvel/gw/neighbors").back().payload);
  const std::vector<long> ids = NumbersAfter(reply, "{\"nodeId\":");
  const std::vector<long> rssis = NumbersAfter(reply, ",\"RSSI\":");
  ASSERT_EQ(ids.size(), rssis.size()) << reply;
  const size_t listed = ids.size();
  for (size_t i = 0; i < listed; ++i)
    EXPECT_TRUE(WaitForNode(static_cast<int>(ids[i]), {"\"rssi\":" + std::to_string(rssis[i]) + "}", "\"neighborListReply\":1"}))
        << ids[i] << "\n" << subscriber_.Output();
  EXPECT_EQ(3u, listed) << reply;  // the module hears the mesh's three other nodes
}

TEST_F(BridgeNodeTopicsTest, FullTableDropsTheOldestAndClearsItsTopic) {
  StartAll({"maxNodes=2", "statsSecs=1"});
  for (uint16_t id : {11, 12}) ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(id)));
  ASSERT_TRUE(WaitForNode(11, {"\"ack\":1"}));
  ASSERT_TRUE(WaitForNode(12, {"\"ack\":1"}));
  ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(13)));
  ASSERT_TRUE(WaitForNode(13, {"\"ack\":1"}));
  EXPECT_TRUE(WaitUntil([&] { return LastOn(Messages())["orvel/gw/node/11"].empty(); }, In(10000), 20))
      << subscriber_.Output();
  EXPECT_TRUE(bridge_.WaitForOutput("Node table full at 2 nodes: dropping the node heard least recently (11)", In(5000)))
      << bridge_.Output();
  EXPECT_TRUE(WaitUntil([&] {
    return LastOn(Messages())["orvel/gw/stats"].find("\"nodesDropped\":1}") != std::string::npos;
  }, In(10000), 20)) << subscriber_.Output();
  // The broker no longer holds it: a new subscriber gets 12 and 13 only.
  subscriber_.Signal(SIGTERM);
  ASSERT_TRUE(subscriber_.WaitExit(In(5000)));
  Subscribe({}, "sub2.out");
  ASSERT_TRUE(WaitForNode(13, {"\"ack\":1"}));
  auto last = LastOn(Messages());
  EXPECT_EQ(0u, last.count("orvel/gw/node/11"));
  EXPECT_EQ(1u, last.count("orvel/gw/node/12"));
}

TEST_F(BridgeNodeTopicsTest, RestartedBridgeKeepsFirstSeenAndCounts) {
  StartAll();
  ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(42)));
  ASSERT_TRUE(WaitForNode(42, {"\"ack\":1"}));
  const std::string firstSeen = Field(LastOn(Messages())["orvel/gw/node/42"], "firstSeen");
  ASSERT_FALSE(firstSeen.empty());
  bridge_.Signal(SIGTERM);
  ASSERT_TRUE(bridge_.WaitExit(In(10000)));
  StartBridge();
  ASSERT_TRUE(bridge_.WaitForOutput("Connected to broker", In(10000))) << bridge_.Output();
  ProbeUntilSeen();
  ASSERT_TRUE(sim_.SendFrame(sim::NackFrame(42)));
  ASSERT_TRUE(WaitForNode(42, {"\"counts\":{\"ack\":1,\"nack\":1}", "\"firstSeen\":" + firstSeen}))
      << subscriber_.Output() << bridge_.Output();
  EXPECT_NE(firstSeen, Field(LastOn(Messages())["orvel/gw/node/42"], "lastSeen"));
}

TEST_F(BridgeNodeTopicsTest, BrokerThatLostItsRetainedMessagesGetsEveryNodeAgain) {
  StartAll();
  for (uint16_t id : {21, 22}) ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(id)));
  ASSERT_TRUE(WaitForNode(22, {"\"ack\":1"}));
  subscriber_.Signal(SIGTERM);
  ASSERT_TRUE(subscriber_.WaitExit(In(5000)));
  StopBroker();  // without persistence: the retained node topics are gone
  ASSERT_TRUE(bridge_.WaitForOutput("Broker connection lost", In(10000))) << bridge_.Output();
  StartBroker();
  Subscribe({}, "sub2.out");
  EXPECT_TRUE(WaitForNode(21, {"\"ack\":1"})) << subscriber_.Output() << bridge_.Output();
  EXPECT_TRUE(WaitForNode(22, {"\"ack\":1"}));
}

}  // namespace
}  // namespace e2e
