// End to end: start-up from -C and -c, start-up failures with the usage
// text, reload on SIGUSR1, stop on SIGINT and SIGTERM, and the gpio mode.
#include <csignal>
#include <future>
#include <fstream>
#include <string>
#include <vector>

#include "GatewayFixture.h"

namespace e2e {
namespace {

const char* const kUsage[] = {
    "OrvelGateway [-c config-file]\n", "OrvelGateway [-C key1=value1[,keyN=valueN...]]\n",
    "Default UART: ", "Default Speed: B115200\n", "Default Cts: ioctl\n",
    "Default RecvPort: 2000\n", "Default SendPort: 2001\n", "Default Serializer: json\n",
};

void WriteConfig(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path);
  for (auto& l : lines) out << l << "\n";
}

class GatewayLifecycleTest : public GatewayTest {
 protected:
  void StartFromOverridesAndStop(int sig);
  // Runs the gateway to its exit; the status, -1 on time-out.
  int RunToExit(const std::vector<std::string>& args, const SimProcess* sim) {
    EXPECT_TRUE(gateway_.Start(args, sim, dir_));
    int status = -1;
    gateway_.WaitExit(In(15000), &status);
    return status;
  }
  void ExpectUsage(const std::string& firstError) {
    std::string out = gateway_.Output();
    EXPECT_NE(std::string::npos, out.find("ERROR: " + firstError)) << out;
    for (const char* line : kUsage) EXPECT_NE(std::string::npos, out.find(line)) << line;
  }
  std::vector<std::string> FileConfig(uint16_t recv, uint16_t send) {
    return {"uart=" + sim_.SlavePath(), "recvPort=" + std::to_string(recv),
            "sendPort=" + std::to_string(send), "ctsSource=ioctl"};
  }
};

void GatewayLifecycleTest::StartFromOverridesAndStop(int sig) {
  StartGateway({"ctsTimeoutSecs=1"});
  std::string out = gateway_.Output();
  EXPECT_EQ(0u, out.rfind("OrvelGateway ", 0)) << out;
  EXPECT_NE(std::string::npos, out.find("recvPort=" + std::to_string(recvPort_) + "\n"));
  EXPECT_NE(std::string::npos, out.find("ctsTimeoutSecs=1\n"));
  AddClient();
  EXPECT_EQ(0, StopGateway(sig)) << sig;
}

TEST_F(GatewayLifecycleTest, StartsFromOverridesAndStopsOnSigint) { StartFromOverridesAndStop(SIGINT); }

TEST_F(GatewayLifecycleTest, StartsFromOverridesAndStopsOnSigterm) {
  StartFromOverridesAndStop(SIGTERM);
}

TEST_F(GatewayLifecycleTest, LogWhoseReaderIsGoneCostsNothingButTheLog) {
  // The logger the log was piped to has died: every line meets a closed pipe.
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"})) << sim_.Output();
  gateway_.StdoutToAGoneReader();
  ASSERT_TRUE(gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_, {"logDocuments=1"})},
                             &sim_, dir_));
  RecvClient* client = AddClient();
  const auto kinds = EveryFrameKind();
  for (const auto& k : kinds) sim_.SendFrame(k.frame);
  ASSERT_TRUE(client->WaitForDocs(kinds.size(), In(5000)));
  for (size_t i = 0; i < kinds.size(); ++i) EXPECT_TRUE(DocHas(client->Docs()[i], kinds[i].parts));
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"nodeInfoRequest"})").find(kOkReply));
  EXPECT_EQ(0, StopGateway(SIGTERM));
}

TEST_F(GatewayLifecycleTest, StopWhileACommandWaitsForTheModule) {
  StartGateway({"ctsTimeoutSecs=30"});
  auto reply = std::async(std::launch::async, [&] {
    return SendCommand(sendPort_, R"({"objectType":"wesCmd","cmd":1})", In(20000));
  });
  ASSERT_TRUE(gateway_.WaitForOutput("Data received", In(10000))) << gateway_.Output();
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
  reply.wait();
}

TEST_F(GatewayLifecycleTest, StopWhileTheTasksStartIsOrderly) {
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  ASSERT_TRUE(gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_)}, &sim_, dir_));
  // The first configuration line comes before the task threads start.
  ASSERT_TRUE(gateway_.WaitForOutput("uart=", In(10000))) << gateway_.Output();
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

TEST_F(GatewayLifecycleTest, StartsFromFileAndReloadRebindsPorts) {
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  std::string path = dir_ + "/gw.conf";
  WriteConfig(path, FileConfig(recvPort_, sendPort_));
  ASSERT_TRUE(gateway_.Start({"-c", path}, &sim_, dir_));
  ASSERT_TRUE(gateway_.WaitForOutput("delimiter=", In(10000)));
  AddClient();
  uint16_t newRecv = PickFreePort(), newSend = PickFreePort();
  WriteConfig(path, FileConfig(newRecv, newSend));
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(gateway_.Signal(SIGUSR1));
    ASSERT_TRUE(WaitUntil([&] {
      return gateway_.CountInOutput("Caught signal 10: reloading config\n") ==
                 static_cast<size_t>(round) &&
             gateway_.CountInOutput("recvPort=" + std::to_string(newRecv) + "\n") ==
                 static_cast<size_t>(round);
    }, In(15000))) << gateway_.Output();
  }
  recvPort_ = newRecv;
  sendPort_ = newSend;
  clients_.clear();
  AddClient();  // documents flow on the new port
  std::string reply = SendCommand(sendPort_, "x", In(10000));
  EXPECT_NE(std::string::npos, reply.find("(#1)")) << reply;
  EXPECT_EQ(0, StopGateway(SIGTERM));
}

TEST_F(GatewayLifecycleTest, ReloadWithBrokenFileExitsWithOne) {
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  std::string path = dir_ + "/gw.conf";
  WriteConfig(path, FileConfig(recvPort_, sendPort_));
  ASSERT_TRUE(gateway_.Start({"-c", path}, &sim_, dir_));
  ASSERT_TRUE(gateway_.WaitForOutput("delimiter=", In(10000)));
  WriteConfig(path, {"speed=B9600"});
  ASSERT_TRUE(gateway_.Signal(SIGUSR1));
  int status = -1;
  ASSERT_TRUE(gateway_.WaitExit(In(15000), &status)) << gateway_.Output();
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos,
            gateway_.Output().find("ERROR: Failed initializing after reloading of config:\n"));
}

TEST_F(GatewayLifecycleTest, StartUpFailuresPrintUsage) {
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"-x"}, "Incorrect number of arguments"},
      {{"-C", GatewayConfig(sim_, recvPort_, sendPort_, {"ctsSource=GPIO"})},
       "Invalid ctsSource: GPIO"},
      {{"-C", "uart=/nonexistent/tty,recvPort=" + std::to_string(recvPort_)},
       "Failed to open UART /nonexistent/tty"},
      {{"-c", dir_ + "/missing.conf"}, ""},
      // Opens, but is no terminal: the set-up fails before anything is served.
      {{"-C", "uart=" + dir_ + "/plain.conf,recvPort=" + std::to_string(recvPort_) +
                  ",sendPort=" + std::to_string(sendPort_)},
       "tcgetattr failed. errno=25"},
  };
  WriteConfig(dir_ + "/plain.conf", {"not a terminal"});
  for (const Case& c : cases) {
    GatewayProcess gw;  // its own directory: the output file is per directory
    ASSERT_TRUE(gw.Start(c.args, &sim_, TempDir()));
    int status = -1;
    ASSERT_TRUE(gw.WaitExit(In(15000), &status));
    EXPECT_EQ(1, status) << c.error;
    std::string out = gw.Output();
    EXPECT_NE(std::string::npos, out.find("ERROR: " + c.error)) << out;
    for (const char* line : kUsage) EXPECT_NE(std::string::npos, out.find(line)) << line;
  }
}

TEST_F(GatewayLifecycleTest, PortInUseFailsStartUp) {
  StartGateway();
  GatewayProcess second;
  ASSERT_TRUE(second.Start({"-C", GatewayConfig(sim_, recvPort_, PickFreePort())}, &sim_,
                           TempDir()));
  int status = -1;
  ASSERT_TRUE(second.WaitExit(In(15000), &status));
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos,
            second.Output().find("Failed to bind socket to port " + std::to_string(recvPort_)));
}

TEST_F(GatewayLifecycleTest, GpioModeEndsWithOneWhenPinCannotBePrepared) {
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  // Without a usable sysfs GPIO tree the pin preparation fails in the thread.
  int status = RunToExit({"-C", GatewayConfig(sim_, recvPort_, sendPort_,
                                              {"ctsSource=gpio", "gpioPin=987"})},
                         &sim_);
  EXPECT_EQ(1, status) << gateway_.Output();
  std::string out = gateway_.Output();
  EXPECT_NE(std::string::npos, out.find("ctsSource=gpio\n")) << out;  // init succeeded
  EXPECT_NE(std::string::npos, out.find("CtsMainGpio: Failed to ")) << out;
}

}  // namespace
}  // namespace e2e
