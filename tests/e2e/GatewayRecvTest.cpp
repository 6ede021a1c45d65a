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

TEST_F(GatewayTest, EveryFrameKindReachesTwoClientsOnce) {
  StartGateway();
  RecvClient* a = AddClient();
  RecvClient* b = AddClient();
  SyncClients();
  std::vector<ExpectedDoc> kinds = EveryFrameKind();
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
  // With no delimiter the documents follow each other as whole objects.
  RecvClient c("");
  ASSERT_TRUE(c.Connect(recvPort_, In(5000)));
  ASSERT_TRUE(WaitUntil(
      [&] {
        sim_.SendFrame(sim::WesStatusFrame(1));
        sim_.SendFrame(sim::WesStatusFrame(2));
        return c.WaitForDocs(1, In(300));
      },
      In(10000), 0));
  EXPECT_TRUE(DocHas(c.Docs()[0], {"\"status\":"}));
  EXPECT_EQ('{', c.Docs()[0].front());
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
