// Tests of the bridge's node table: which documents tell about which node,
// the published JSON, the neighbour list, the per-node rate limit, the
// bound with its eviction, and the merge of retained copies read back.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "BridgeNodes.h"

namespace {

const char* const kBase = "orvel/gw";

std::string Doc(const std::string& kind, const std::string& rest, const char* when = "2026-12-09T10:00:00.000Z") {
  return "{\"objectType\":\"" + kind + "\",\"gwTimestamp\":\"" + when + "\"" + rest + "}";
}

// The publisher's view: the last payload per topic, and every publish.
struct Outbox {
  std::map<std::string, std::string> last;
  std::vector<std::string> topics;
  bool up = true;
  tNodePublish Fn() {
    return [this](const std::string& t, const std::string& p) {
      if (!up) return false;
      last[t] = p;
      topics.push_back(t);
      return true;
    };
  }
};

class BridgeNodesTest : public ::testing::Test {
 protected:
  void Init(long maxNodes = 4096, long secs = 1) { BridgeNodesInit(&nodes_, kBase, maxNodes, secs); }
  void Flush(int64_t ms) { BridgeNodesFlush(&nodes_, ms, out_.Fn()); }
  tBridgeNodes nodes_;
  Outbox out_;
};

TEST_F(BridgeNodesTest, DocumentsTellAboutTheirNodes) {
  Init();
  const std::vector<std::string> docs = {
      Doc("receivedPayload", R"(,"payloadType":"acknowledged","nodeId":258,"port":3,"packageAgeMicroSecs":2000000,"packageAgeType":"normal","payload":[1])",
          "2026-12-09T10:00:00.000Z"),
      Doc("receivedPayload", R"(,"payloadType":"unacknowledged","sequenceNo":4,"nodeId":258,"port":1,"packageAgeMicroSecs":375000,"packageAgeType":"hapa","payload":[])",
          "2026-12-09T10:00:01.500Z"),
      Doc("ack", R"(,"nodeId":258)", "2026-12-09T10:00:02.000Z"),
      Doc("nack", R"(,"nodeId":259)"),
      Doc("nodeInfoReply", R"(,"nodeId":257,"uidHex":"01a203b4ff","nodeType":3)"),
      Doc("networkCommandReply", R"(,"nodeId":260,"command":3,"payload":[7])"),
      // No node in these, and nothing readable in the last ones.
      Doc("wesSetupRequest", R"(,"uidHex":"01a203b4ff","appFunctionType":2)"),
      Doc("wesStatus", R"(,"status":0)"),
      Doc("unknown", R"(,"payload":[87,1,9])"),
      Doc("replyMsg", R"(,"status":"ok","content":"","nodeId":9)"),
      Doc("ack", R"(,"nodeId":70000)"),
      Doc("ack", R"(,"nodeId":"5")"),
      R"({"objectType":"ack","nodeId":5})",
      "{\"objectType\":\"ack\",\"gwTime",
  };
  for (auto& d : docs) BridgeNodesDoc(&nodes_, d);
  Flush(1000);
  EXPECT_EQ(4u, out_.last.size());
  EXPECT_EQ(
      R"({"nodeId":258,"firstSeen":"2026-12-09T10:00:00.000Z","lastSeen":"2026-12-09T10:00:02.000Z",)"
      R"("counts":{"receivedPayload":2,"ack":1},"port":1,"packageAgeMicroSecs":375000})",
      out_.last["orvel/gw/node/258"]);
  EXPECT_EQ(
      R"({"nodeId":257,"firstSeen":"2026-12-09T10:00:00.000Z","lastSeen":"2026-12-09T10:00:00.000Z",)"
      R"("counts":{"nodeInfoReply":1},"uidHex":"01a203b4ff","nodeType":3})",
      out_.last["orvel/gw/node/257"]);
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/259"].find(R"("counts":{"nack":1})"));
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/260"].find(R"("counts":{"networkCommandReply":1})"));
}

TEST_F(BridgeNodesTest, NeighbourListSetsAndWithdrawsRssi) {
  Init(4096, 0);
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":300)"));
  const std::string first = Doc("neighborListReply", R"(,"neighbors":[{"nodeId":258,"RSSI":200},{"nodeId":259,"RSSI":181}])");
  BridgeNodesDoc(&nodes_, first);
  Flush(1000);
  EXPECT_EQ(first, out_.last["orvel/gw/neighbors"]);
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/258"].find(R"("counts":{"neighborListReply":1},"rssi":200})"));
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/259"].find(R"("rssi":181})"));
  EXPECT_EQ(std::string::npos, out_.last["orvel/gw/node/300"].find("rssi"));
  const std::string second = Doc("neighborListReply", R"(,"neighbors":[{"nodeId":259,"RSSI":90}])");
  BridgeNodesDoc(&nodes_, second);
  Flush(1001);
  EXPECT_EQ(second, out_.last["orvel/gw/neighbors"]);
  EXPECT_EQ(std::string::npos, out_.last["orvel/gw/node/258"].find("rssi"));
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/259"].find(R"("neighborListReply":2},"rssi":90})"));
}

TEST_F(BridgeNodesTest, ANodeIsPublishedAtMostOncePerInterval) {
  struct Case {
    long secs;
    int64_t secondFlushMs;
    size_t publishes;
  } cases[] = {{1, 1999, 1}, {1, 2000, 2}, {0, 1000, 2}, {5, 5999, 1}};
  for (const Case& c : cases) {
    Init(4096, c.secs);
    out_ = Outbox{};
    BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":5)"));
    Flush(1000);
    BridgeNodesDoc(&nodes_, Doc("nack", R"(,"nodeId":5)"));
    Flush(c.secondFlushMs);
    EXPECT_EQ(c.publishes, out_.topics.size()) << c.secs << " " << c.secondFlushMs;
    Flush(c.secondFlushMs + 1000 * c.secs);  // what waited goes out later
    EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/5"].find(R"("nack":1)"));
  }
}

TEST_F(BridgeNodesTest, BrokerAwayKeepsEverythingDue) {
  Init(1);
  out_.up = false;
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":1)"));
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":2)"));  // drops 1
  Flush(1000);
  out_.up = true;
  Flush(1001);
  EXPECT_EQ((std::vector<std::string>{"orvel/gw/node/1", "orvel/gw/node/2"}), out_.topics);
  EXPECT_EQ("", out_.last["orvel/gw/node/1"]);
}

TEST_F(BridgeNodesTest, FullTableDropsTheNodeHeardLeastRecently) {
  Init(2);
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":1)"));
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":2)"));
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":1)"));  // 2 is now the oldest
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":3)"));
  Flush(1000);
  EXPECT_EQ(1u, nodes_.dropped);
  EXPECT_EQ("", out_.last["orvel/gw/node/2"]);
  EXPECT_NE(std::string::npos, out_.last["orvel/gw/node/1"].find(R"("ack":2)"));
  EXPECT_EQ(2u, nodes_.table.size());
  // A dropped node heard again starts afresh and is not cleared again.
  BridgeNodesDoc(&nodes_, Doc("nack", R"(,"nodeId":2)"));
  out_.topics.clear();
  Flush(3000);
  EXPECT_EQ(2u, nodes_.dropped);
  EXPECT_EQ(R"({"nodeId":2,"firstSeen":"2026-12-09T10:00:00.000Z","lastSeen":"2026-12-09T10:00:00.000Z","counts":{"nack":1}})",
            out_.last["orvel/gw/node/2"]);
  EXPECT_EQ("", out_.last["orvel/gw/node/1"]);
}

TEST_F(BridgeNodesTest, RetainedCopiesMergeIntoTheTable) {
  Init(2);
  BridgeNodesDoc(&nodes_, Doc("ack", R"(,"nodeId":7)", "2026-12-09T12:00:00.000Z"));
  auto copy = [](int id, const char* first, const char* last, const char* more = "") {
    return "{\"nodeId\":" + std::to_string(id) + ",\"firstSeen\":\"" + first + "\",\"lastSeen\":\"" + last +
           "\",\"counts\":{\"ack\":4,\"bogus\":9}" + more + "}";
  };
  struct Case {
    std::string topic, payload;
    bool retained, ours;
  } cases[] = {
      {"orvel/gw/node/7", copy(7, "2026-12-01T00:00:00.000Z", "2026-12-08T00:00:00.000Z", R"(,"uidHex":"0102030405","nodeType":1)"), true, true},
      {"orvel/gw/node/8", copy(8, "2026-12-02T00:00:00.000Z", "2026-12-03T00:00:00.000Z", R"(,"rssi":77)"), true, true},
      {"orvel/gw/node/9", copy(9, "2026-12-02T00:00:00.000Z", "2026-12-05T00:00:00.000Z"), true, true},
      {"orvel/gw/node/10", copy(10, "2026-12-02T00:00:00.000Z", "2026-12-04T00:00:00.000Z"), false, true},  // live echo
      {"orvel/gw/node/11", copy(12, "2026-12-02T00:00:00.000Z", "2026-12-04T00:00:00.000Z"), true, true},  // wrong topic
      {"orvel/gw/node/13", "not json", true, true},
      {"orvel/gw/node/14", "", true, true},
      {"orvel/gw/tx", "{}", true, false},
      {"orvel/gw2/node/7", copy(7, "2026-11-01T00:00:00.000Z", "2026-11-02T00:00:00.000Z"), true, false},
  };
  for (auto& c : cases)
    EXPECT_EQ(c.ours, BridgeNodesRetained(&nodes_, c.topic, c.payload, c.retained)) << c.topic;
  Flush(1000);
  EXPECT_EQ(
      R"({"nodeId":7,"firstSeen":"2026-12-01T00:00:00.000Z","lastSeen":"2026-12-09T12:00:00.000Z",)"
      R"("counts":{"ack":5},"uidHex":"0102030405","nodeType":1})",
      out_.last["orvel/gw/node/7"]);
  // Over the bound the read-back node heard least recently (8) goes.
  EXPECT_EQ(2u, nodes_.table.size());
  EXPECT_EQ(1u, nodes_.dropped);
  EXPECT_EQ("", out_.last["orvel/gw/node/8"]);
  EXPECT_EQ(1u, nodes_.table.count(9));
  EXPECT_EQ(0u, nodes_.table.count(10));
  EXPECT_EQ(0u, out_.last.count("orvel/gw/node/9"));  // the broker holds it already
}

}  // namespace
