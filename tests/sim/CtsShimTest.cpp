// The CTS shim preloaded into a probe process: modem-line waits on the
// simulator's pty slave are answered from the simulator's CTS line, end on
// close and on cancellation (like a real UART, with ORVEL_CTS_WAIT=uart, only
// on a signal), and other descriptors reach the C library.
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "Harness.h"

using namespace e2e;

namespace {

class Probe : public ChildProcess {
public:
    bool Start(const SimProcess& sim, const std::vector<std::string>& args, const std::string& out,
               const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> argv{ORVEL_PROBE_PATH, sim.SlavePath()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string preload = ORVEL_SANITIZER_RUNTIME;
        if (!preload.empty()) preload += " ";
        std::vector<std::string> env{"LD_PRELOAD=" + preload + ORVEL_SHIM_PATH,
                                     "ORVEL_SIM_PTY=" + sim.SlavePath(),
                                     "ORVEL_CTS_SOCKET=" + sim.CtsSocketPath()};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return Spawn(argv, env, out, false);
    }
};

// Repeats a control line until the probe's output holds `text`: the probe
// connects to the CTS socket only when its first wait starts.
bool DriveUntil(SimProcess& sim, Probe& p, const std::string& line, const std::string& text) {
    return WaitUntil([&] {
        if (p.Output().find(text) != std::string::npos) return true;
        sim.WriteLine(line);
        return false;
    }, In(10000), 50);
}

}  // namespace

TEST(CtsShim, PeriodicRaisesEndWaitsWithCtsSet) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--cts-interval-ms", "30"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"wait", "6"}, sim.Dir() + "/probe.out"));
    int status = -1;
    ASSERT_TRUE(p.WaitExit(In(10000), &status)) << p.Output();
    EXPECT_EQ(status, 0) << p.Output();
    // Each raise is followed by a drop; the two may reach the probe as one change.
    EXPECT_GE(p.CountInOutput("change cts=1"), 3u) << p.Output();
    EXPECT_FALSE(sim.LogLines("cts").empty());
}

TEST(CtsShim, ClearChangeShowsCtsClear) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"wait", "2"}, sim.Dir() + "/probe.out"));
    EXPECT_TRUE(DriveUntil(sim, p, "drop", "change cts=0")) << p.Output();
    EXPECT_TRUE(DriveUntil(sim, p, "cts", "change cts=1")) << p.Output();
    int status = -1;
    EXPECT_TRUE(p.WaitExit(In(10000), &status));
    EXPECT_EQ(status, 0);
}

TEST(CtsShim, WaitEndsWhenDescriptorCloses) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"close"}, sim.Dir() + "/probe.out"));
    ASSERT_TRUE(p.WaitExit(In(10000)));
    EXPECT_NE(p.Output().find("wait ended errno=Bad file descriptor"), std::string::npos) << p.Output();
}

TEST(CtsShim, WaitEndsWhenThreadIsCancelled) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"cancel"}, sim.Dir() + "/probe.out"));
    ASSERT_TRUE(p.WaitExit(In(10000)));
    EXPECT_NE(p.Output().find("cancelled"), std::string::npos) << p.Output();
    EXPECT_EQ(p.Output().find("not cancelled"), std::string::npos) << p.Output();
}

TEST(CtsShim, WaitFailsWhenSimulatorIsGone) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"wait", "1"}, sim.Dir() + "/probe.out"));
    // Stopping the simulator closes the CTS socket under the waiting probe.
    ASSERT_TRUE(WaitUntil([&] { return !sim.LogLines("cts-client").empty(); }, In(10000)));
    sim.Stop();
    int status = -1;
    ASSERT_TRUE(p.WaitExit(In(10000), &status)) << p.Output();
    EXPECT_NE(status, 0);
    EXPECT_NE(p.Output().find("wait failed"), std::string::npos) << p.Output();
}

TEST(CtsShim, OtherDescriptorsPassThrough) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"other"}, sim.Dir() + "/probe.out"));
    ASSERT_TRUE(p.WaitExit(In(10000)));
    EXPECT_NE(p.Output().find("pipe TIOCMGET r=-1 errno=Inappropriate ioctl"), std::string::npos)
        << p.Output();
}

// As on a real serial driver: cancelling the thread and closing the
// descriptor leave the wait blocked; a signal aimed at the thread ends it.
TEST(CtsShim, RealUartWaitEndsOnlyOnASignal) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Probe p;
    ASSERT_TRUE(p.Start(sim, {"stubborn"}, sim.Dir() + "/probe.out", {"ORVEL_CTS_WAIT=uart"}));
    ASSERT_TRUE(p.WaitExit(In(10000))) << p.Output();
    EXPECT_NE(p.Output().find("still waiting\n"), std::string::npos) << p.Output();
    EXPECT_NE(p.Output().find("interrupted errno=Interrupted system call not cancelled"),
              std::string::npos)
        << p.Output();
}
