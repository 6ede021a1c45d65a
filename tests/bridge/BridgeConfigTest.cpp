// Tests of the bridge's key table and its helpers for topics and stats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BridgeConfig.h"
#include "BridgeSession.h"
#include "core/OvPrintErr.h"

namespace {

int Load(std::vector<std::string> args, tBridgeConfig* config) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return BridgeConfigLoad(static_cast<int>(argv.size()), argv.data(), config);
}

TEST(BridgeConfig, DefaultsAndAbbreviations) {
  tBridgeConfig c;
  ASSERT_EQ(1, Load({"b", "-C", "gatewayId=board7,q=2,statsS=5,topicP=fleet"}, &c)) << g_error;
  EXPECT_EQ("orvel-board7", c.text[kClientId]);  // follows gatewayId
  EXPECT_EQ(2, c.number[kQos]);
  EXPECT_EQ(5, c.number[kStatsSecs]);
  EXPECT_EQ("fleet", c.text[kTopicPrefix]);
  EXPECT_EQ(1883, c.number[kBrokerPort]);
  EXPECT_EQ(2000, c.number[kRecvPort]);
  EXPECT_EQ(2001, c.number[kSendPort]);
  EXPECT_EQ(10000, c.number[kQueueLimit]);
  EXPECT_EQ(1, c.number[kNodeStateSecs]);
  EXPECT_EQ(4096, c.number[kMaxNodes]);
  EXPECT_EQ("127.0.0.1", c.text[kGatewayHost]);
  EXPECT_EQ("\\n", c.text[kDelimiter]);  // printed as written, as the gateway's
  EXPECT_EQ("\n", c.delimiter);
  EXPECT_EQ(16, c.number[kMaxCommands]);
  ASSERT_EQ(1, Load({"b", "-C", "d=\\r\\n,m=2"}, &c)) << g_error;
  EXPECT_EQ("\r\n", c.delimiter);
  EXPECT_EQ(2, c.number[kMaxCommands]);
  ASSERT_EQ(1, Load({"b", "-C", "delimiter="}, &c)) << g_error;
  EXPECT_EQ("", c.delimiter);
  ASSERT_EQ(1, Load({"b"}, &c));
  EXPECT_FALSE(c.text[kGatewayId].empty());  // the host name
  EXPECT_EQ("orvel-" + c.text[kGatewayId], c.text[kClientId]);
}

TEST(BridgeConfig, BadEntriesAreRefusedWithTheirKey) {
  struct Case {
    const char* pairs;
    const char* error;
  } cases[] = {
      {"qos=3", "Invalid qos: 3"},
      {"brokerPort=0", "Invalid brokerPort: 0"},
      {"recvPort=70000", "Invalid recvPort: 70000"},
      {"queueLimit=ten", "Invalid queueLimit: ten"},
      {"statsSecs=", "Invalid statsSecs: "},
      {"maxCommands=0", "Invalid maxCommands: 0"},
      {"maxNodes=0", "Invalid maxNodes: 0"},
      {"nodeStateSecs=-1", "Invalid nodeStateSecs: -1"},
      {"nosuch=1", "Invalid config: nosuch=1"},
      {"qos", "Invalid config: qos"},
      {"gatewayId=", "Invalid config: gatewayId and topicPrefix must not be empty"},
      {"passwordFile=/nonexistent/pw", "Failed to open passwordFile: /nonexistent/pw"},
  };
  for (const Case& k : cases) {
    tBridgeConfig c;
    EXPECT_EQ(0, Load({"b", "-C", k.pairs}, &c)) << k.pairs;
    EXPECT_EQ(std::string(k.error), g_error) << k.pairs;
  }
}

TEST(BridgeTopics, ObjectTypeNamesTheTopicLevel) {
  EXPECT_EQ("ack", BridgeObjectType(R"({"objectType":"ack","nodeId":5})"));
  EXPECT_EQ("unknown", BridgeObjectType(R"({"nodeId":5})"));
  EXPECT_EQ("unknown", BridgeObjectType(R"({"objectType":""})"));
  EXPECT_EQ("unknown", BridgeObjectType(R"({"objectType":"a/#"})"));
  EXPECT_EQ("unknown", BridgeObjectType(R"({"objectType":"cut)"));
}

TEST(BridgeTopics, ErrorReplyEscapesItsReason) {
  EXPECT_EQ(R"({"objectType":"replyMsg","status":"error","content":"Send port unreachable"})",
            BridgeErrorReply("Send port unreachable"));
  // A reply cut off by the time-out: its quotes and backslashes stay text.
  EXPECT_EQ(R"({"objectType":"replyMsg","status":"error","content":"{\"status\":\"o\\"})",
            BridgeErrorReply(R"({"status":"o\)"));
}

TEST(BridgeTopics, StatsCarryEveryCounter) {
  tBridgeStats st;
  st.docsIn = 7;
  st.docsDropped = 3;
  st.reconnects = 1;
  EXPECT_EQ(
      "{\"docsIn\":7,\"docsPublished\":0,\"docsDropped\":3,\"commandsPassed\":0,"
      "\"commandsAnswered\":0,\"errors\":0,\"reconnects\":1,\"commandsWaiting\":0,"
      "\"commandErrors\":0,\"commandTimeOuts\":0,\"commandsUnavailable\":0,"
      "\"commandsRefused\":0,\"gatewayConnected\":false,\"secsSinceLastDoc\":null,"
      "\"nodesDropped\":0}",
      BridgeStatsJson(st));
  st.commandsWaiting = 4;
  st.commandErrors = 6;
  st.commandTimeOuts = 1;
  st.commandsUnavailable = 2;
  st.commandsRefused = 3;
  st.gatewayConnected = true;
  st.secsSinceLastDoc = 0;
  EXPECT_NE(std::string::npos,
            BridgeStatsJson(st).find("\"commandsWaiting\":4,\"commandErrors\":6,"
                                     "\"commandTimeOuts\":1,\"commandsUnavailable\":2,"
                                     "\"commandsRefused\":3,\"gatewayConnected\":true,"
                                     "\"secsSinceLastDoc\":0,"));
}

TEST(BridgeTopics, ErrorRepliesAreToldByTheirStatusAndContent) {
  struct Case {
    std::string reply;
    tCommandError error;
  } cases[] = {
      {R"({"objectType":"replyMsg","status":"error",)"
       R"("content":"Message was not written to UART within 5 seconds"})",
       tCommandError::TimeOut},
      {R"({"status":"error","content":"Serial device unavailable: /dev/ttyUSB1"})",
       tCommandError::Unavailable},
      {R"({"status":"error","content":"Missing member: cmd"})", tCommandError::Refused},
      {R"({"status":"error","content":"Staging data failed: 3"})", tCommandError::Refused},
      {R"({"status":"error"})", tCommandError::Refused},
      {R"({"objectType":"replyMsg","status":"ok","content":""})", tCommandError::None},
      {R"({"objectType":"replyMsg","content":"status\":\"error"})", tCommandError::None},
      {R"({"status":"error")", tCommandError::None},
      {"", tCommandError::None},
  };
  for (const Case& k : cases) EXPECT_EQ(k.error, CommandReplyError(k.reply)) << k.reply;
}

}  // namespace
