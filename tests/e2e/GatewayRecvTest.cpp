// End to end: frames from the simulated module reach every receive-port
// client as exactly one document each.
#include <csignal>
#include <string>
#include <vector>

#include "GatewayFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;

struct Expected {
  Bytes frame;
  std::vector<std::string> parts;
};

std::vector<Expected> EveryKind() {
  const uint8_t uid[5] = {0x01, 0xa2, 0x03, 0xb4, 0xff};
  const uint8_t route[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  return {
      {sim::AckFrame(0x1234), {"\"objectType\":\"ack\""}},
      {sim::NackFrame(0x1234), {"\"objectType\":\"nack\""}},
      {sim::DataFrame(7, 3, 1, {1, 2, 255}),
       {"\"objectType\":\"receivedPayload\"", "\"payloadType\":\"acknowledged\"",
        "\"packageAgeType\":\"normal\"", "\"payload\":[1,2,255]"}},
      {sim::DataHapaFrame(7, 3, 1, {9}),
       {"\"objectType\":\"receivedPayload\"", "\"packageAgeType\":\"hapa\""}},
      {sim::UappDataFrame(7, 3, 1, 17, {4}),
       {"\"objectType\":\"receivedPayload\"", "\"payloadType\":\"unacknowledged\"",
        "\"sequenceNo\""}},
      {sim::UappDataHapaFrame(7, 3, 1, 17, {5}),
       {"\"payloadType\":\"unacknowledged\"", "\"packageAgeType\":\"hapa\""}},
      {sim::NodeInfoReplyFrame(1, uid, 3), {"\"objectType\":\"nodeInfoReply\"", "01a203b4ff"}},
      {sim::NeighborListFrame({{12, 200}, {7, 181}}, false),
       {"\"objectType\":\"neighborListReply\"", "{\"nodeId\":12,\"RSSI\":200}"}},
      {sim::NetCmdReplyFrame(4, 2, {8}), {"\"objectType\":\"networkCommandReply\""}},
      {sim::WesSetupRequestFrame(uid, 2), {"\"objectType\":\"wesSetupRequest\""}},
      {sim::WesStatusFrame(3), {"\"objectType\":\"wesStatus\"", "\"status\":3"}},
      // Frames without a typed document arrive raw, opcode first.
      {sim::UappStatusFrame(0x56, 4, 1), {"\"payload\":[86,"}},
      {sim::UappStatusFrame(0x57, 4, 1), {"\"payload\":[87,"}},
      {sim::RouteInfoReplyFrame(route), {"\"payload\":[92,16,1,2,3"}},
      {sim::RawFrame(0x30, {1, 2}), {"\"objectType\":\"unknown\"", "\"payload\":[48,2,1,2]"}},
      {sim::RawFrame(0x7f, {9}), {"\"objectType\":\"unknown\"", "\"payload\":[127,1,9]"}},
  };
}

TEST_F(GatewayTest, EveryFrameKindReachesTwoClientsOnce) {
  StartGateway();
  RecvClient* a = AddClient();
  RecvClient* b = AddClient();
  SyncClients();
  std::vector<Expected> kinds = EveryKind();
  for (auto& k : kinds) ASSERT_TRUE(sim_.SendFrame(k.frame));
  for (RecvClient* c : {a, b}) {
    ASSERT_TRUE(c->WaitForDocs(kinds.size(), In(10000))) << c->Docs().size();
    ASSERT_EQ(kinds.size(), c->Docs().size());
    for (size_t i = 0; i < kinds.size(); ++i) {
      EXPECT_TRUE(DocHas(c->Docs()[i], kinds[i].parts)) << i << ": " << c->Docs()[i];
    }
  }
  EXPECT_EQ(0, StopGateway(SIGTERM));
}

TEST_F(GatewayTest, PausedFrameIsLostGarbageRecovers) {
  StartGateway();
  RecvClient* c = AddClient();
  // First half, a pause longer than a quiet poll, the rest: nothing.
  Bytes frame = sim::DataFrame(7, 3, 1, {1, 2, 3});
  Bytes head(frame.begin(), frame.begin() + 3), tail(frame.begin() + 3, frame.end());
  ASSERT_TRUE(sim_.SendFrame(head));
  ASSERT_TRUE(sim_.WriteLine("pause 300"));
  ASSERT_TRUE(sim_.SendFrame(tail));
  ASSERT_TRUE(sim_.WriteLine("pause 300"));
  // Garbage, then a good frame.
  ASSERT_TRUE(sim_.SendFrame({0x50, 0x03, 0xee, 0xee, 0xee, 0xee}));
  ASSERT_TRUE(sim_.WriteLine("pause 300"));
  ASSERT_TRUE(sim_.SendFrame(sim::WesStatusFrame(9)));
  ASSERT_TRUE(c->WaitForDocs(1, In(5000)));
  c->WaitForDocs(2, In(500));  // anything extra would show up here
  ASSERT_EQ(1u, c->Docs().size()) << c->Docs()[0];
  EXPECT_TRUE(DocHas(c->Docs()[0], {"\"objectType\":\"wesStatus\"", "\"status\":9"}));
}

TEST_F(GatewayTest, CarriageReturnLineFeedDelimiter) {
  StartGateway({"delimiter=\\r\\n"});
  RecvClient* c = AddClient("\r\n");
  ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(5)));
  ASSERT_TRUE(c->WaitForDocs(1, In(5000)));
  EXPECT_EQ('}', c->Docs()[0].back());
  std::string reply = SendCommand(sendPort_, "nope", In(10000));
  ASSERT_GE(reply.size(), 2u);
  EXPECT_EQ("\r\n", reply.substr(reply.size() - 2));
}

TEST_F(GatewayTest, EmptyDelimiterGivesBareDocuments) {
  StartGateway({"delimiter="});
  // With no delimiter every document is read as one run of text.
  RecvClient c("}{");
  ASSERT_TRUE(c.Connect(recvPort_, In(5000)));
  ASSERT_TRUE(WaitUntil(
      [&] {
        sim_.SendFrame(sim::WesStatusFrame(1));
        sim_.SendFrame(sim::WesStatusFrame(2));
        return c.WaitForDocs(1, In(300));
      },
      In(10000), 0));
  EXPECT_TRUE(DocHas(c.Docs()[0], {"\"status\":"}));
  EXPECT_EQ(std::string::npos, c.Docs()[0].find('\n'));
}

TEST_F(GatewayTest, DisconnectingClientDoesNotDisturbOthers) {
  StartGateway();
  auto leaving = std::make_unique<RecvClient>();
  ASSERT_TRUE(leaving->Connect(recvPort_, In(5000)));
  RecvClient* stays = AddClient();
  leaving.reset();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(static_cast<uint16_t>(i + 1))));
  ASSERT_TRUE(stays->WaitForDocs(5, In(5000)));
  EXPECT_TRUE(gateway_.Running());
  EXPECT_EQ(0, StopGateway(SIGINT));
}

}  // namespace
}  // namespace e2e
