// Gateway end-to-end fixture: simulator, gateway and clients in step.
#include "GatewayFixture.h"

#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

#include "sim/SimFrames.h"

namespace e2e {

void GatewayTest::SetUp() {
  if (!GatewayAvailable()) {
    GTEST_SKIP() << "gateway binary not built";
  }
  dir_ = TempDir();
  ASSERT_FALSE(dir_.empty());
  recvPort_ = PickFreePort();
  sendPort_ = PickFreePort();
  ASSERT_NE(0, recvPort_);
  ASSERT_NE(0, sendPort_);
}

void GatewayTest::TearDown() {
  clients_.clear();
  if (gateway_.Running()) {
    gateway_.Signal(SIGTERM);
    gateway_.WaitExit(In(10000));
  }
  std::error_code ignored;
  for (auto& d : tempDirs_) std::filesystem::remove_all(d, ignored);
}

std::string GatewayTest::TempDir() {
  std::string d = MakeTempDir();
  if (!d.empty()) tempDirs_.push_back(d);
  return d;
}

void GatewayTest::StartGateway(const std::vector<std::string>& extras,
                               const std::vector<std::string>& simArgs) {
  ASSERT_TRUE(sim_.Start(simArgs)) << sim_.Output();
  Launch([&] {
    return gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_, extras)}, &sim_, dir_);
  });
}

void GatewayTest::Launch(const std::function<bool()>& start) {
  const std::string lastLine = "bindAddress=";
  for (int attempt = 1;; ++attempt) {
    ASSERT_TRUE(start());
    auto up = [&] { return gateway_.Output().find(lastLine) != std::string::npos; };
    WaitUntil([&] { return up() || !gateway_.Running(); }, In(10000));
    if (up()) return;
    const std::string output = gateway_.Output();
    ASSERT_LT(attempt, 3) << output;
    ASSERT_NE(std::string::npos, output.find("Failed to bind socket to port")) << output;
    ASSERT_TRUE(gateway_.WaitExit(In(5000)));
    recvPort_ = PickFreePort();
    sendPort_ = PickFreePort();
  }
}

RecvClient* GatewayTest::AddClient(const std::string& delimiter) {
  clients_.push_back(std::make_unique<RecvClient>(delimiter));
  RecvClient* client = clients_.back().get();
  EXPECT_TRUE(client->Connect(recvPort_, In(5000)));
  SyncClients();
  return client;
}

void GatewayTest::SyncClients() {
  // Probe until every client has seen one document: from then on it is
  // accepted and the host API is active. The host API only becomes active
  // after a quiet poll (100 ms without input), so probes are spaced wider.
  const std::vector<uint8_t> probe = sim::WesStatusFrame(0x77);
  bool allSeen = WaitUntil(
      [&] {
        sim_.SendFrame(probe);
        for (auto& c : clients_) {
          if (!c->WaitForDocs(1, In(300))) return false;
        }
        return true;
      },
      In(10000), 0);
  ASSERT_TRUE(allSeen) << gateway_.Output() << "\nsimulator " << sim_.SlavePath() << ":\n"
                       << ReadFile(sim_.LogPath()) << sim_.Output();
  // A marker frame ends the probes still in flight.
  int status = 0x10 + (marker_++ % 0x40);
  ASSERT_TRUE(sim_.SendFrame(sim::WesStatusFrame(static_cast<uint8_t>(status))));
  std::string mark = "\"status\":" + std::to_string(status) + "}";
  for (auto& c : clients_) {
    ASSERT_TRUE(WaitUntil(
        [&] {
          c->WaitForDocs(c->Docs().size() + 1, In(50));
          for (auto& d : c->Docs()) {
            if (d.find(mark) != std::string::npos) return true;
          }
          return false;
        },
        In(5000)));
    c->ClearDocs();
  }
}

std::string GatewayTest::CommandWithCts(const std::string& text) {
  auto reply = std::async(std::launch::async,
                          [&] { return SendCommand(sendPort_, text, In(15000)); });
  while (reply.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    sim_.RaiseCts();
  }
  return reply.get();
}

const char* const kOkReply = "\"status\":\"ok\",\"content\":\"\"";

namespace {

struct Command {
  const char* text;
  const char* frameHex;  // what the module must receive
};

const Command kEveryCommandKind[] = {
    {R"({"objectType":"sendPayload","payloadType":"unacknowledged","payload":[1,2],"nodeId":4660,"port":1,"sequenceNo":7})",
     "020712340100070102"},
    {R"({"objectType":"sendPayload","payloadType":"acknowledged","payload":[3],"nodeId":5,"port":2})",
     "030400050203"},
    {R"({"objectType":"nodeInfoRequest"})", "0800"},
    {R"({"objectType":"neighborListRequest"})", "0900"},
    {R"({"objectType":"networkCommand","payload":[9],"nodeId":5,"cmd":4})", "0a0400050409"},
    {R"({"objectType":"wesCmd","cmd":1})", "100101"},
    {R"({"objectType":"wesResponse","nodeId":5,"uidHex":"0102030405","appSettings":"000102030405060708090a0b0c0d0e0f1011121314151617"})",
     "111f01020304050005000102030405060708090a0b0c0d0e0f1011121314151617"},
    {R"({"objectType":"altCmd","cmd":2})", "200102"},
};

}  // namespace

void GatewayTest::ExpectEveryCommandKindWritten() {
  const size_t before = sim_.ReceivedFrames().size();
  size_t n = before;
  for (const Command& c : kEveryCommandKind) {
    std::string reply = CommandWithCts(c.text);
    EXPECT_NE(std::string::npos, reply.find(kOkReply)) << c.text << " -> " << reply;
    EXPECT_EQ('\n', reply.empty() ? ' ' : reply.back());
    ++n;
    ASSERT_TRUE(sim_.WaitForReceived(n, In(5000))) << c.text;
  }
  std::vector<std::string> frames = sim_.ReceivedFrames();
  ASSERT_EQ(n, frames.size());
  for (size_t i = before; i < n; ++i) {
    EXPECT_EQ(kEveryCommandKind[i - before].frameHex, frames[i]) << kEveryCommandKind[i - before].text;
  }
}

void GatewayGpioTest::SetUp() {
  GatewayTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  const std::string why = GpioSysfsUnavailable();
  if (!why.empty()) {
    GTEST_SKIP() << "gpio mode end to end skipped: the sysfs GPIO stand-in " << why;
  }
}

void GatewayGpioTest::StartGpioGateway(const std::vector<std::string>& extras,
                                       const std::vector<std::string>& simArgs) {
  std::vector<std::string> args{"--gpio-sysfs", "--no-cts", "--no-answer"};
  args.insert(args.end(), simArgs.begin(), simArgs.end());
  ASSERT_TRUE(sim_.Start(args)) << sim_.Output();
  std::vector<std::string> config{"ctsSource=gpio", "gpioPin=4"};
  config.insert(config.end(), extras.begin(), extras.end());
  Launch([&] {
    return gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_, config)}, &sim_, dir_);
  });
  ASSERT_TRUE(WaitForValueReads(1)) << gateway_.Output() << ReadFile(sim_.LogPath());
}

bool GatewayGpioTest::WaitForValueReads(size_t n) {
  return WaitUntil([&] { return GpioLog("gpio-read").size() >= n; }, In(10000));
}

bool GatewayGpioTest::WaitForPollWaits(size_t n) {
  return WaitUntil([&] { return GpioLog("gpio-wait").size() >= n; }, In(10000));
}

int GatewayTest::StopGateway(int sig) {
  gateway_.Signal(sig);
  int status = -1;
  if (!gateway_.WaitExit(In(15000), &status)) return -1;
  return status;
}

std::vector<ExpectedDoc> EveryFrameKind() {
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

bool DocHas(const std::string& doc, const std::vector<std::string>& parts) {
  for (auto& p : parts) {
    if (doc.find(p) == std::string::npos) return false;
  }
  return true;
}

}  // namespace e2e
