// End to end: fan-out under load. Documents of one UART read go out as one
// batch, slow clients are queued up to a bound and then dropped, sockets
// never disturb the quiet-line rule, and careless clients leak nothing.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "GatewayFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

// A data frame numbered i: its document carries "payload":[hi,lo].
std::vector<uint8_t> NumberedFrame(int i) {
  return sim::DataFrame(7, 1, 1,
                        {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i & 0xff)});
}
std::string NumberTag(int i) {
  return "\"payload\":[" + std::to_string(i >> 8) + "," + std::to_string(i & 0xff) + "]";
}

// Exactly the numbered documents 0..n-1, in order, each one whole.
void ExpectNumbered(const std::vector<std::string>& docs, int n, const char* who) {
  ASSERT_EQ(static_cast<size_t>(n), docs.size()) << who;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(docs[i].size(), ObjectEnd(docs[i])) << who << " " << i << ": " << docs[i];
    ASSERT_NE(std::string::npos, docs[i].find(NumberTag(i))) << who << " " << i << ": " << docs[i];
  }
}

// A receive client that never reads, with a small receive buffer so that
// the gateway's queue for it fills soon.
int StalledClient(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the stalled client to its end; true when the gateway closed it
// (orderly end or reset) before the deadline.
bool ReadsToTheEnd(int fd, Deadline deadline) {
  return WaitUntil(
      [&] {
        char buf[65536];
        for (;;) {
          ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
          if (n < 0) return false;
        }
      },
      deadline, 5);
}

size_t OpenDescriptors(pid_t pid) {
  size_t n = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

class GatewayFanoutTest : public GatewayTest {
 protected:
  void Burst(int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(sim_.SendFrame(NumberedFrame(i)));
  }
};

// A client that stops reading is queued, then dropped and closed once its
// queue would pass the bound (at once with a bound of 0), with one line
// naming it; the clients that read get every document in order.
class StalledClientTest : public GatewayFanoutTest,
                          public ::testing::WithParamInterface<unsigned> {};

TEST_P(StalledClientTest, IsDroppedOthersGetEverything) {
  constexpr int kFrames = 20000;
  StartGateway({"clientQueueKiB=" + std::to_string(GetParam())});
  RecvClient* a = AddClient();
  RecvClient* b = AddClient();
  int stalled = StalledClient(recvPort_);
  ASSERT_GE(stalled, 0);
  SyncClients();  // the stalled one is accepted once a probe is through
  // In rounds that the readers take in, so that only the stalled client
  // falls behind (with a bound of 0 a reader that lags in a burst is
  // dropped too, as it must be).
  constexpr int kRound = 500;
  for (int first = 0; first < kFrames; first += kRound) {
    for (int i = first; i < first + kRound; ++i) ASSERT_TRUE(sim_.SendFrame(NumberedFrame(i)));
    for (RecvClient* client : {a, b}) {
      ASSERT_TRUE(client->WaitForDocs(first + kRound, In(30000))) << client->Docs().size();
    }
  }
  for (RecvClient* client : {a, b}) ExpectNumbered(client->Docs(), kFrames, "reader");
  EXPECT_TRUE(ReadsToTheEnd(stalled, In(10000)));
  std::string line = "more than " + std::to_string(GetParam()) + " KiB of output queued";
  EXPECT_TRUE(gateway_.WaitForOutput(line, In(5000))) << gateway_.Output().substr(0, 2000);
  EXPECT_EQ(1u, gateway_.CountInOutput("Dropped receive client 127.0.0.1:"));
  close(stalled);
  EXPECT_EQ(0, StopGateway(SIGTERM));
}

INSTANTIATE_TEST_SUITE_P(Bounds, StalledClientTest, ::testing::Values(256u, 0u));

TEST_F(GatewayFanoutTest, ClientThatPausesAndResumesGetsEverything) {
  constexpr int kFrames = 4000;  // about 700 KB: within the default bound
  StartGateway();
  RecvClient* steady = AddClient();
  RecvClient* pausing = AddClient();
  Burst(kFrames);
  // The pausing client reads nothing until the steady one has everything.
  ASSERT_TRUE(steady->WaitForDocs(kFrames, In(60000))) << steady->Docs().size();
  ASSERT_TRUE(pausing->WaitForDocs(kFrames, In(30000))) << pausing->Docs().size();
  ExpectNumbered(steady->Docs(), kFrames, "steady");
  ExpectNumbered(pausing->Docs(), kFrames, "pausing");
  EXPECT_EQ(0u, gateway_.CountInOutput("Dropped receive client"));
}

// A burst of every kind, read in large batches, reaches each client as the
// same documents, whole and in order, whatever the delimiter.
class BatchDelimiterTest : public GatewayFanoutTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(BatchDelimiterTest, BatchesNeitherSplitNorMergeDocuments) {
  const std::string delimiter = GetParam();
  const std::string escaped = delimiter == "\n" ? "\\n" : delimiter == "\r\n" ? "\\r\\n" : "";
  const std::vector<ExpectedDoc> kinds = EveryFrameKind();
  constexpr int kRounds = 60;
  StartGateway({"delimiter=" + escaped});
  RecvClient* a = AddClient(delimiter);
  RecvClient* b = AddClient(delimiter);
  for (int r = 0; r < kRounds; ++r) {
    for (const ExpectedDoc& k : kinds) ASSERT_TRUE(sim_.SendFrame(k.frame));
  }
  const size_t total = kinds.size() * kRounds;
  for (RecvClient* c : {a, b}) {
    ASSERT_TRUE(c->WaitForDocs(total, In(30000))) << c->Docs().size();
    c->WaitForDocs(total + 1, In(200));  // anything extra shows here
    ASSERT_EQ(total, c->Docs().size());
    for (size_t i = 0; i < total; ++i) {
      const std::string& doc = c->Docs()[i];
      ASSERT_EQ(doc.size(), ObjectEnd(doc)) << i << ": " << doc;
      ASSERT_TRUE(DocHas(doc, kinds[i % kinds.size()].parts)) << i << ": " << doc;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Delimiters, BatchDelimiterTest, ::testing::Values("\n", "\r\n", ""));

// Socket wake-ups during the 100 ms of silence neither postpone nor hasten
// the quiet-line rule: the partial frame is still dropped.
TEST_F(GatewayFanoutTest, PartialFrameIsDroppedWhileClientsComeAndGo) {
  StartGateway();
  RecvClient* c = AddClient();
  std::vector<uint8_t> frame = sim::DataFrame(7, 3, 1, {1, 2, 3});
  ASSERT_TRUE(sim_.SendFrame({frame.begin(), frame.begin() + 3}));
  // Connect, read a little and close again and again for 300 ms: every
  // wake-up of the receive thread falls inside the silence.
  const Deadline churnEnd = In(300);
  int churned = 0;
  while (Clock::now() < churnEnd) {
    RecvClient visitor;
    ASSERT_TRUE(visitor.Connect(recvPort_, In(2000)));
    visitor.WaitForDocs(1, In(1));
    ++churned;
  }
  ASSERT_TRUE(sim_.SendFrame({frame.begin() + 3, frame.end()}));
  // Status frames after silences until one gets through: on a loaded
  // machine a silence may be read together with what follows it.
  ASSERT_TRUE(WaitUntil(
      [&] {
        sim_.WriteLine("pause 300");
        sim_.SendFrame(sim::WesStatusFrame(9));
        return c->WaitForDocs(1, In(1000));
      },
      In(15000), 0))
      << gateway_.Output() << ReadFile(sim_.LogPath());
  for (const std::string& doc : c->Docs()) {
    EXPECT_TRUE(DocHas(doc, {"\"objectType\":\"wesStatus\"", "\"status\":9"}))
        << doc << " after " << churned << " visitors";
  }
}

TEST_F(GatewayFanoutTest, ConnectAndCloseCyclesLeakNoDescriptor) {
  StartGateway();
  AddClient();
  const size_t before = OpenDescriptors(gateway_.Pid());
  ASSERT_GT(before, 0u);
  for (int i = 0; i < 2000; ++i) {
    int fd = ConnectLoopback(recvPort_, In(2000));
    ASSERT_GE(fd, 0) << i;
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(gateway_.Pid()) <= before; }, In(5000)))
      << OpenDescriptors(gateway_.Pid()) << " open, " << before << " before";
  AddClient();  // a new client is still served
  EXPECT_TRUE(gateway_.Running());
}

// logDocuments=0 removes the "-->" lines of received documents, and only
// those: the reply to a command is still logged.
class LogDocumentsTest : public GatewayFanoutTest, public ::testing::WithParamInterface<int> {};

TEST_P(LogDocumentsTest, SwitchesOnlyTheReceivedDocumentLines) {
  const int log = GetParam();
  StartGateway({"logDocuments=" + std::to_string(log)});
  RecvClient* c = AddClient();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(sim_.SendFrame(NumberedFrame(i)));
  ASSERT_TRUE(c->WaitForDocs(5, In(5000)));
  std::string reply = SendCommand(sendPort_, "nope", In(10000));
  ASSERT_NE(std::string::npos, reply.find("replyMsg"));
  ASSERT_TRUE(gateway_.WaitForOutput("-->{\"objectType\":\"replyMsg\"", In(5000)));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(static_cast<size_t>(log), gateway_.CountInOutput(NumberTag(i) + "}\n")) << i;
  }
  EXPECT_EQ(log == 1, gateway_.CountInOutput("-->{\"objectType\":\"wesStatus\"") > 0);
  EXPECT_EQ(1u, gateway_.CountInOutput("Data received: \r\n<--nope\r\n"));
}

INSTANTIATE_TEST_SUITE_P(OnOff, LogDocumentsTest, ::testing::Values(1, 0));

}  // namespace
}  // namespace e2e
