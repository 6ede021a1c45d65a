// End to end: a serial device that goes away and comes back, and stops that
// never wait on the module. The harness's CTS stand-in waits as a real UART
// does: cancelling the CTS thread does not end its wait, only a signal does.
#include <chrono>
#include <csignal>
#include <future>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "GatewayFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

// Process state letter and CPU seconds (user + system) from /proc.
struct ProcStat {
  char state = '?';
  double cpuSeconds = 0;
};

ProcStat ReadProcStat(pid_t pid) {
  std::string s = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  ProcStat out;
  size_t close = s.rfind(')');
  if (close == std::string::npos) return out;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 3) out.state = field[0];
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  out.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  return out;
}

class GatewayDeviceTest : public GatewayTest {
 protected:
  // Simulator on a --link path in a scratch directory, gateway on that path.
  void StartOnLink(bool sessionLeader) {
    link_ = TempDir() + "/tty";
    ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer", "--link", link_})) << sim_.Output();
    if (sessionLeader) gateway_.AsSessionLeader();
    Launch([&] {
      return gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_)}, &sim_, dir_);
    });
    // The CTS thread waits on the stand-in once it has connected.
    ASSERT_TRUE(WaitUntil([&] { return !sim_.LogLines("cts-client").empty(); }, In(10000)));
  }
  // The simulator closes the pty and exits: the device hangs up.
  void Vanish() {
    ASSERT_TRUE(sim_.WriteLine("vanish"));
    ASSERT_TRUE(sim_.WaitExit(In(10000)));
    const std::string lost = "Serial device " + link_ + " lost: errno=";
    WaitUntil([&] { return !gateway_.Running() || gateway_.CountInOutput(lost) > 0; }, In(10000));
    ASSERT_EQ(1u, gateway_.CountInOutput(lost)) << gateway_.Output();
  }
  std::string link_;
};

TEST_F(GatewayDeviceTest, SessionLeaderSurvivesTheDeviceHangingUp) {
  StartOnLink(true);
  ASSERT_EQ(getsid(gateway_.Pid()), gateway_.Pid());
  Vanish();
  // The hang-up came before the loss was seen: SIGHUP would have ended the
  // process by now, SIGTTOU or SIGTTIN would have stopped it.
  ASSERT_TRUE(gateway_.Running()) << gateway_.Output();
  EXPECT_NE('T', ReadProcStat(gateway_.Pid()).state);
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

// The device goes away mid-stream and a new one appears at the same path:
// the gateway keeps its clients, does not spin meanwhile, and documents flow
// again without a restart. A partial frame from before the loss never joins
// the bytes after the return.
TEST_F(GatewayDeviceTest, DeviceGoesAndComesBackWithoutARestart) {
  StartOnLink(false);
  RecvClient* client = AddClient();
  const std::vector<uint8_t> frame = sim::DataFrame(7, 3, 1, {0xde, 0xad});
  ASSERT_TRUE(sim_.SendFrame({frame.begin(), frame.begin() + 4}));
  Vanish();
  // While the device is gone nothing spins: the lost line once, no CPU to
  // speak of over the next reopen attempts.
  const ProcStat before = ReadProcStat(gateway_.Pid());
  const Deadline quiet = In(2500);
  WaitUntil([] { return false; }, quiet, 100);
  const ProcStat after = ReadProcStat(gateway_.Pid());
  EXPECT_LT(after.cpuSeconds - before.cpuSeconds, 0.5) << "over 2.5 s while the device is gone";
  EXPECT_EQ(1u, gateway_.CountInOutput(" lost: errno="));
  EXPECT_FALSE(client->PeerClosed());
  // A command is answered at once, not after the CTS time-out.
  const std::string reply = SendCommand(sendPort_, R"({"objectType":"nodeInfoRequest"})", In(4000));
  EXPECT_NE(std::string::npos,
            reply.find("\"status\":\"error\",\"content\":\"Serial device unavailable: " + link_ + "\""))
      << reply;

  // A new simulator at the same path and CTS socket: every task opens the
  // device again.
  SimProcess back;
  back.UseCtsSocket(sim_.CtsSocketPath());
  ASSERT_TRUE(back.Start({"--no-cts", "--no-answer", "--link", link_}))
      << back.Output();
  ASSERT_TRUE(gateway_.WaitForOutput("Serial device " + link_ + " is back\n", In(5000)))
      << gateway_.Output();
  ASSERT_TRUE(WaitUntil([&] { return !back.LogLines("cts-client").empty(); }, In(5000)));
  ASSERT_TRUE(back.SendFrame({frame.begin() + 4, frame.end()}));
  ASSERT_TRUE(WaitUntil(
      [&] {
        back.WriteLine("pause 300");
        back.SendFrame(sim::WesStatusFrame(5));
        client->WaitForDocs(client->Docs().size() + 1, In(1000));
        return !client->Docs().empty() && DocHas(client->Docs().back(), {"\"status\":5"});
      },
      In(10000), 0))
      << gateway_.Output();
  // The tail alone may read as some raw frame; joined to the head it would
  // have been the data frame.
  for (const std::string& doc : client->Docs()) {
    EXPECT_FALSE(DocHas(doc, {"\"receivedPayload\""})) << doc;
  }
  EXPECT_EQ(1u, gateway_.CountInOutput(" lost: errno="));
  // Commands reach the new device.
  auto answered = std::async(std::launch::async, [&] {
    return SendCommand(sendPort_, R"({"objectType":"nodeInfoRequest"})", In(15000));
  });
  while (answered.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) back.RaiseCts();
  EXPECT_NE(std::string::npos, answered.get().find(kOkReply));
  EXPECT_TRUE(back.WaitForReceived(1, In(5000)));
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

// The stand-in's wait ignores cancellation and the module never raises CTS:
// only the interruption aimed at the CTS thread ends the wait.
TEST_F(GatewayDeviceTest, SigtermStopsWhileTheCtsWaitIgnoresCancellation) {
  StartGateway();
  ASSERT_TRUE(WaitUntil([&] { return !sim_.LogLines("cts-client").empty(); }, In(10000)));
  gateway_.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(gateway_.WaitExit(In(5000), &status)) << gateway_.Output();
  EXPECT_EQ(0, status);
}

TEST_F(GatewayDeviceTest, Sigusr1ReloadsWhileTheCtsWaitIgnoresCancellation) {
  StartGateway();
  AddClient();
  for (size_t round = 1; round <= 2; ++round) {
    const size_t clients = sim_.LogLines("cts-client").size();
    ASSERT_TRUE(gateway_.Signal(SIGUSR1));
    // Reloaded: the configuration printed again; nothing the CTS thread
    // uses changed, so its wait goes on undisturbed.
    ASSERT_TRUE(WaitUntil([&] { return gateway_.CountInOutput("delimiter=") == round + 1; },
                          In(10000))) << gateway_.Output();
    EXPECT_EQ(clients, sim_.LogLines("cts-client").size());
  }
  clients_.clear();
  AddClient();  // documents flow after the reloads
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

}  // namespace
}  // namespace e2e
