// End to end: a reload keeps what it does not change. Frames flow with
// clear-to-send events among them while the configuration file is read
// again; clients, the UART and the parser carry on, and only what changed
// is reopened.
#include <csignal>
#include <fstream>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "GatewayFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

class GatewayReloadTest : public GatewayTest {
 protected:
  // Simulator and gateway from a file (-c) holding the ports, uart and extras.
  void StartFromFile(const std::vector<std::string>& extras = {}) {
    ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
    path_ = dir_ + "/gw.conf";
    Launch([&] {
      Rewrite(extras);
      return gateway_.Start({"-c", path_}, &sim_, dir_);
    });
  }
  void Rewrite(const std::vector<std::string>& extras, const std::string& uart = "") {
    std::ofstream out(path_);
    out << "uart=" << (uart.empty() ? sim_.SlavePath() : uart) << "\nrecvPort=" << recvPort_
        << "\nsendPort=" << sendPort_ << "\nctsSource=ioctl\n";
    for (const std::string& line : extras) out << line << "\n";
  }
  // SIGUSR1, then until the configuration has been printed once more.
  void Reload() {
    size_t printed = gateway_.CountInOutput("delimiter=");
    ASSERT_TRUE(gateway_.Signal(SIGUSR1));
    ASSERT_TRUE(WaitUntil([&] { return gateway_.CountInOutput("delimiter=") > printed; },
                          In(10000)))
        << gateway_.Output();
  }
  // Queues frames first..first+count-1 (ack frames naming that node) with the
  // simulator, 1 ms apart, a clear-to-send event after every tenth.
  void Flow(uint16_t first, uint16_t count) {
    for (uint16_t n = first; n < first + count; ++n) {
      ASSERT_TRUE(sim_.SendFrame(sim::AckFrame(n)));
      ASSERT_TRUE(sim_.WriteLine("pause 1"));
      if (n % 10 == 0) {
        ASSERT_TRUE(sim_.RaiseCts());
        ASSERT_TRUE(sim_.WriteLine("pause 1"));
      }
    }
  }
  static std::string Node(uint16_t n) { return "\"nodeId\":" + std::to_string(n) + "}"; }
  // Every document of the client is the ack of first, first+1, ... in order.
  static void ExpectInOrder(const RecvClient& client, uint16_t first, size_t count) {
    ASSERT_EQ(count, client.Docs().size());
    for (size_t i = 0; i < count; ++i) {
      EXPECT_NE(std::string::npos,
                client.Docs()[i].find(Node(static_cast<uint16_t>(first + i))))
          << i << ": " << client.Docs()[i];
    }
  }
  std::string path_;
};

TEST_F(GatewayReloadTest, TenReloadsThatChangeNothingCostNoDocumentAndNoClient) {
  StartFromFile();
  RecvClient* a = AddClient();
  RecvClient* b = AddClient();
  constexpr uint16_t kPerRound = 40, kRounds = 10;
  for (uint16_t round = 0; round < kRounds; ++round) {
    Flow(static_cast<uint16_t>(1 + round * kPerRound), kPerRound);
    Reload();
  }
  for (RecvClient* client : {a, b}) {
    EXPECT_TRUE(client->WaitForDocs(kPerRound * kRounds, In(20000))) << client->Docs().size();
    EXPECT_FALSE(client->PeerClosed());
    ExpectInOrder(*client, 1, kPerRound * kRounds);
  }
  EXPECT_EQ(kRounds, gateway_.CountInOutput("Caught signal 10: reloading config\n"));
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

TEST_F(GatewayReloadTest, DelimiterAndLogDocumentsApplyFromTheNextDocument) {
  StartFromFile();
  RecvClient* client = AddClient();
  Flow(1, 1);
  ASSERT_TRUE(client->WaitForDocs(1, In(5000)));
  Rewrite({"delimiter=;\\n", "logDocuments=0"});
  Reload();
  Flow(2, 1);
  ASSERT_TRUE(client->WaitForDocs(2, In(5000)));
  EXPECT_FALSE(client->PeerClosed());
  ExpectInOrder(*client, 1, 2);
  EXPECT_NE(';', client->Docs()[0].back());
  EXPECT_EQ(';', client->Docs()[1].back());  // the new delimiter ends it
  std::string out = gateway_.Output();
  EXPECT_NE(std::string::npos, out.find(Node(1))) << out;
  EXPECT_EQ(std::string::npos, out.find(Node(2))) << out;  // no longer logged
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

// A send-port connection that is half way through its command when the
// receive port moves is still read and answered.
TEST_F(GatewayReloadTest, NewRecvPortClosesOnlyItsOwnClients) {
  StartFromFile();
  RecvClient* old = AddClient();
  int command = ConnectLoopback(sendPort_, In(5000));
  ASSERT_GE(command, 0);
  ASSERT_EQ(1, write(command, "{", 1));
  uint16_t oldPort = recvPort_;
  recvPort_ = PickFreePort();
  Rewrite({});
  Reload();
  ASSERT_TRUE(WaitUntil([&] { old->WaitForDocs(1, In(50)); return old->PeerClosed(); },
                        In(5000)));
  const char rest[] = "\"objectType\":\"none\"}";
  ASSERT_EQ(static_cast<ssize_t>(sizeof rest - 1), write(command, rest, sizeof rest - 1));
  std::string reply;
  char buf[512];
  pollfd p{command, POLLIN, 0};
  while (poll(&p, 1, 5000) > 0) {
    ssize_t n = read(command, buf, sizeof buf);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(command);
  EXPECT_NE(std::string::npos, reply.find("\"error\"")) << reply;
  EXPECT_LT(ConnectLoopback(oldPort, In(0)), 0);
  clients_.clear();
  RecvClient* moved = AddClient();  // documents flow on the new port
  Flow(1, 1);
  ASSERT_TRUE(moved->WaitForDocs(1, In(5000)));
  ExpectInOrder(*moved, 1, 1);
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

TEST_F(GatewayReloadTest, NewUartIsOpenedAndTheClientsStay) {
  StartFromFile();
  RecvClient* client = AddClient();
  SimProcess other;
  ASSERT_TRUE(other.Start({"--no-cts", "--no-answer"}));
  Rewrite({}, other.SlavePath());
  Reload();
  // The parser starts afresh on the new device: once it is active, frames
  // from there reach the same client, and none from the old device do.
  ASSERT_TRUE(WaitUntil([&] {
    other.SendFrame(sim::AckFrame(7));
    return client->WaitForDocs(1, In(300));
  }, In(10000)));
  sim_.SendFrame(sim::AckFrame(8));
  other.SendFrame(sim::AckFrame(9));
  ASSERT_TRUE(WaitUntil([&] {
    client->WaitForDocs(client->Docs().size() + 1, In(50));
    return client->Docs().back().find(Node(9)) != std::string::npos;
  }, In(5000)));
  for (const std::string& doc : client->Docs()) {
    EXPECT_EQ(std::string::npos, doc.find(Node(8))) << doc;
  }
  EXPECT_FALSE(client->PeerClosed());
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

}  // namespace
}  // namespace e2e
