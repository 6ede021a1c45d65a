// End to end in "gpio" mode: the gateway, unchanged, watches pin 4 of the
// simulator's sysfs GPIO stand-in, whose level follows the simulated
// module's CTS line (clear-to-send is a falling edge).
#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "GatewayFixture.h"

namespace e2e {
namespace {

const char* const kTimeOut = "Message was not written to UART within 1 seconds";
const std::vector<std::string> kPreparation = {"unexport 4", "export 4", "gpio4/direction in",
                                               "gpio4/edge falling"};

std::string Errno(int err) { return std::to_string(err) + " (" + std::strerror(err) + ")"; }

TEST_F(GatewayGpioTest, EveryCommandKindIsWrittenAtAFallingEdge) {
  StartGpioGateway();
  ExpectEveryCommandKindWritten();
  // Nothing but the stand-in's edges released them: the simulator's CTS
  // line drives only the pin here.
  EXPECT_GE(GpioLog("gpio-event").size(), 8u);
}

TEST_F(GatewayGpioTest, PinIsPreparedInOrderAndKeptOverAReload) {
  StartGpioGateway();
  // The pin was not exported at first, so the stand-in refused the unexport
  // as the kernel does, and the gateway went on.
  std::vector<std::string> expected = {"unexport 4 refused EINVAL"};
  expected.insert(expected.end(), kPreparation.begin() + 1, kPreparation.end());
  EXPECT_EQ(expected, GpioLog("gpio-write"));
  // A fresh value file tells of an event until its first read, and that
  // is no edge: the gateway reads before it waits.
  const std::string log = ReadFile(sim_.LogPath());
  EXPECT_LT(log.find("gpio-read 4 1\n"), log.find("gpio-poll 4 event")) << log;

  // A reload that leaves ctsSource and gpioPin alone leaves the pin and its
  // thread alone too.
  ASSERT_TRUE(gateway_.Signal(SIGUSR1));
  ASSERT_TRUE(WaitUntil([&] { return gateway_.CountInOutput("delimiter=") == 2; }, In(10000)))
      << gateway_.Output();
  EXPECT_EQ(expected, GpioLog("gpio-write"));
  EXPECT_EQ(1u, gateway_.CountInOutput("Caught signal 10: reloading config\n"));

  // The same CTS thread releases commands; then SIGTERM ends it in its poll.
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"altCmd","cmd":6})").find(kOkReply));
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

TEST_F(GatewayGpioTest, EachFallingEdgeIsOneEventAndRisingEdgesNone) {
  StartGpioGateway({"ctsTimeoutSecs=1"});
  // Two pulses, two falling edges: each is taken and acknowledged once, and
  // the thread goes back to waiting after each. A pulse starts only once the
  // last one has ended and the thread sleeps again: 'cts' on a line still
  // raised makes no edge.
  ASSERT_TRUE(WaitForPollWaits(1)) << ReadFile(sim_.LogPath());
  for (size_t pulse = 1; pulse <= 2; ++pulse) {
    ASSERT_TRUE(sim_.WriteLine("cts"));
    ASSERT_TRUE(WaitUntil([&] { return GpioLog("gpio-level").size() == 2 * pulse; }, In(5000)))
        << ReadFile(sim_.LogPath());
    ASSERT_TRUE(WaitForPollWaits(pulse + 1)) << gateway_.Output() << ReadFile(sim_.LogPath());
    EXPECT_EQ(pulse + 1, GpioLog("gpio-read").size()) << ReadFile(sim_.LogPath());
  }
  EXPECT_EQ(2u, GpioLog("gpio-event").size());

  // With the line held low, a command meets only the rising edge of its
  // release: it must stay unwritten and time out. It comes once the thread
  // has handed over the falling edge, with nothing queued, and sleeps again.
  ASSERT_TRUE(sim_.WriteLine("hold"));
  ASSERT_TRUE(WaitForPollWaits(4)) << ReadFile(sim_.LogPath());
  EXPECT_EQ(4u, GpioLog("gpio-read").size());
  auto reply = std::async(std::launch::async, [&] {
    return SendCommand(sendPort_, R"({"objectType":"nodeInfoRequest"})", In(15000));
  });
  ASSERT_TRUE(gateway_.WaitForOutput("Data received", In(10000)));
  ASSERT_TRUE(sim_.WriteLine("drop"));
  std::string text = reply.get();
  EXPECT_NE(std::string::npos, text.find(kTimeOut)) << text;
  EXPECT_TRUE(sim_.ReceivedFrames().empty());
  ASSERT_TRUE(WaitUntil([&] { return GpioLog("gpio-level").size() == 6; }, In(5000)));
  EXPECT_EQ(3u, GpioLog("gpio-event").size());
  EXPECT_EQ(std::vector<std::string>({"4 0", "4 1", "4 0", "4 1", "4 0", "4 1"}),
            GpioLog("gpio-level"));

  // The next falling edge releases the next command.
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"altCmd","cmd":5})").find(kOkReply));
  ASSERT_TRUE(sim_.WaitForReceived(1, In(5000)));
  EXPECT_EQ("200105", sim_.ReceivedFrames()[0]);
}

TEST_F(GatewayGpioTest, CommandsTimeOutOnceEdgesStop) {
  StartGpioGateway({"ctsTimeoutSecs=1"});
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"altCmd","cmd":1})").find(kOkReply));
  ASSERT_TRUE(sim_.WriteLine("gpio-fault no-edges"));
  const size_t events = GpioLog("gpio-event").size();
  std::string text = CommandWithCts(R"({"objectType":"altCmd","cmd":2})");
  EXPECT_NE(std::string::npos, text.find(kTimeOut)) << text;
  EXPECT_EQ(events, GpioLog("gpio-event").size());
  ASSERT_EQ(1u, sim_.ReceivedFrames().size());
  EXPECT_EQ("200101", sim_.ReceivedFrames()[0]);
  // Edges come back, and so does the gateway.
  ASSERT_TRUE(sim_.WriteLine("gpio-fault none"));
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"altCmd","cmd":3})").find(kOkReply));
}

TEST_F(GatewayGpioTest, EachPreparationFailureEndsWithOne) {
  const struct Case {
    const char* fault;
    std::string line;
    const char* lastWrite;
  } cases[] = {
      {"unexport", "Failed to open: /sys/class/gpio/unexport. errno=" + Errno(ENOENT), nullptr},
      {"export", "Failed to export GPIO pin 4. errno=" + Errno(EBUSY), "export 4 refused EBUSY"},
      {"direction", "Failed to set direction on GPIO pin 4. errno=" + Errno(EIO),
       "gpio4/direction in refused EIO"},
      {"edge", "Failed to set trigger mode on GPIO pin 4 to 'falling'. errno=" + Errno(EIO),
       "gpio4/edge falling refused EIO"},
      {"value", "Failed to open: /sys/class/gpio/gpio4/value. errno=" + Errno(ENOENT),
       "gpio4/edge falling"},
  };
  for (const Case& c : cases) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--gpio-sysfs", "--no-cts", "--gpio-fault", c.fault})) << sim.Output();
    GatewayProcess gw;
    ASSERT_TRUE(gw.Start({"-C", GatewayConfig(sim, recvPort_, sendPort_, {"ctsSource=gpio"})},
                         &sim, TempDir()));
    int status = -1;
    ASSERT_TRUE(gw.WaitExit(In(15000), &status)) << c.fault;
    EXPECT_EQ(1, status) << c.fault << "\n" << gw.Output();
    EXPECT_NE(std::string::npos, gw.Output().find("CtsMainGpio: " + c.line + "\n"))
        << c.fault << "\n" << gw.Output();
    // Preparation stopped at the failing step.
    std::vector<std::string> writes = sim.LogLines("gpio-write");
    if (c.lastWrite == nullptr) {
      EXPECT_TRUE(writes.empty()) << c.fault;
    } else {
      ASSERT_FALSE(writes.empty()) << c.fault;
      EXPECT_EQ(c.lastWrite, writes.back()) << c.fault;
    }
  }
}

TEST_F(GatewayGpioTest, PinUnexportedUnderTheGatewayIsPreparedAgain) {
  StartGpioGateway({"ctsTimeoutSecs=1"});
  const size_t writes = GpioLog("gpio-write").size();
  ASSERT_TRUE(sim_.WriteLine("gpio-unexport"));
  ASSERT_TRUE(gateway_.WaitForOutput("CtsMainGpio: GPIO pin 4 prepared again\n", In(10000)))
      << gateway_.Output();
  EXPECT_EQ(1u, gateway_.CountInOutput("CtsMainGpio: GPIO pin 4 lost: read() errno="))
      << gateway_.Output();
  // The whole preparation ran again, in order.
  std::vector<std::string> log = GpioLog("gpio-write");
  ASSERT_GE(log.size(), writes + kPreparation.size());
  EXPECT_EQ(std::vector<std::string>(kPreparation.begin() + 1, kPreparation.end()),
            std::vector<std::string>(log.end() - 3, log.end()));
  // Edges release commands again, and the stop still ends the thread.
  EXPECT_NE(std::string::npos, CommandWithCts(R"({"objectType":"altCmd","cmd":4})").find(kOkReply));
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
}

}  // namespace
}  // namespace e2e
