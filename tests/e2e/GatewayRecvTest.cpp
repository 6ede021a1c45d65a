// End to end: frames from the simulated module reach every receive-port
// client as exactly one document each.
#include <algorithm>
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

// The module writes in FIFO-sized pieces, back to back, and raises CTS
// every 2 ms, between pieces and so inside frames: frames straddle the
// gateway's reads with a clear-to-send among them. Every frame still gives
// its document, in order.
TEST_F(GatewayTest, FloodWithClearToSendEveryTwoMillisecondsLosesNothing) {
  // The client reads only once every frame is sent: room for all of it.
  StartGateway({"clientQueueKiB=16384"},
               {"--no-answer", "--cts-interval-ms", "2", "--gap-ms", "0", "--piece-bytes", "16"});
  RecvClient* c = AddClient();
  auto raises = [this] {
    std::vector<std::string> cts = sim_.LogLines("cts");
    return static_cast<size_t>(std::count(cts.begin(), cts.end(), "1"));
  };
  const size_t ctsBefore = raises();
  constexpr int kFrames = 20000;
  for (int i = 0; i < kFrames; ++i) {
    Bytes payload(20, 0xA5);
    payload[0] = static_cast<uint8_t>(i >> 8);
    payload[1] = static_cast<uint8_t>(i);
    ASSERT_TRUE(sim_.SendFrame(sim::DataFrame(0x0102, 7, 1, payload)));
  }
  c->WaitForDocs(kFrames, In(60000));
  const size_t ctsDuring = raises() - ctsBefore;
  ASSERT_EQ(static_cast<size_t>(kFrames), c->Docs().size())
      << ctsDuring << " CTS events\n" << gateway_.Output();
  for (int i = 0; i < kFrames; ++i) {
    std::string seq =
        "\"payload\":[" + std::to_string(i >> 8) + "," + std::to_string(i & 0xFF) + ",";
    ASSERT_TRUE(DocHas(c->Docs()[static_cast<size_t>(i)], {seq})) << i;
  }
  EXPECT_GT(ctsDuring, 10u);
}

// A partial frame, then a clear-to-send and silence: the partial frame is
// dropped at the event, well before the 100 ms quiet line would drop it, so
// the frame after it is whole (without the event it would be swallowed).
TEST_F(GatewayTest, PartialFrameThenClearToSendAndSilenceIsDropped) {
  StartGateway();
  RecvClient* c = AddClient();
  Bytes frame = sim::DataFrame(7, 3, 1, {1, 2, 3});
  ASSERT_TRUE(sim_.SendFrame(Bytes(frame.begin(), frame.begin() + 3)));
  ASSERT_TRUE(sim_.RaiseCts());
  ASSERT_TRUE(sim_.WriteLine("pause 40"));
  ASSERT_TRUE(sim_.SendFrame(sim::WesStatusFrame(9)));
  ASSERT_TRUE(c->WaitForDocs(1, In(5000))) << gateway_.Output();
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
