// The simulator process seen from the slave side of its pty, as the gateway
// sees it: answers to commands, spontaneous traffic, log and fault modes.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "Harness.h"

using namespace e2e;

namespace {

// Module-to-host length rules, taken from the frame table.
bool ValidModuleFrame(const std::vector<uint8_t>& f) {
    if (f.size() < 2 || f[1] == 0 || f.size() != f[1] + 2u) return false;
    const unsigned l = f[1];
    switch (f[0]) {
    case 0x50: case 0x51: return l == 2;
    case 0x52: return l >= 6;
    case 0x53: case 0x54: return l >= 8;
    case 0x55: return l >= 10;
    case 0x58: return l == 8;
    case 0x59: return l == 36 || l == 39;
    case 0x5C: return l == 16;
    case 0x60: return l == 1;
    case 0x61: return l == 6;
    default: return true;
    }
}

class Slave {
public:
    explicit Slave(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Slave() {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    bool Write(const std::string& hex) {
        const auto b = Unhex(hex);
        return write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    // Next frame by its length byte; empty on deadline or end of the line.
    std::vector<uint8_t> ReadFrame(Deadline d) {
        while (!(buf_.size() >= 2 && buf_.size() >= buf_[1] + 2u)) {
            if (!Fill(d)) return {};
        }
        std::vector<uint8_t> f(buf_.begin(), buf_.begin() + buf_[1] + 2);
        buf_.erase(buf_.begin(), buf_.begin() + buf_[1] + 2);
        return f;
    }
    // Reads whatever comes until the deadline or the line ends; false on the end.
    bool Fill(Deadline d) {
        pollfd p{fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d - Clock::now()).count();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        uint8_t tmp[512];
        const ssize_t n = read(fd_, tmp, sizeof tmp);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buf_.insert(buf_.end(), tmp, tmp + n);
        return true;
    }
    bool Ended() const { return ended_; }

private:
    int fd_;
    std::vector<uint8_t> buf_;
    bool ended_ = false;
};

// Sends a command and returns the first frame of the answer.
std::string Ask(Slave& s, const std::string& hex) {
    if (!s.Write(hex)) return "write failed";
    return Hex(s.ReadFrame(In(5000)));
}

}  // namespace

TEST(SimProcess, AnswersEveryCommandAndLogsItsBytes) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--nodes", "3", "--no-cts"}));
    Slave s(sim.SlavePath());
    ASSERT_TRUE(s.Ok());
    const std::string info = Ask(s, "0800");
    EXPECT_EQ(info.substr(0, 8), "58080101");
    EXPECT_EQ(info.size(), 20u);
    const std::string nl = Ask(s, "0900");
    EXPECT_EQ(nl.substr(0, 8), "59240102");
    EXPECT_EQ(nl.substr(10, 4), "0103");
    EXPECT_EQ(nl.substr(16, 4), "ffff");
    EXPECT_EQ(Ask(s, "0303010200"), "50020102");
    EXPECT_EQ(Ask(s, "0303777700"), "51027777");
    // An unacknowledged send gets no answer: the next reply is the WES status.
    EXPECT_TRUE(s.Write("020601030100010a"));
    EXPECT_EQ(Ask(s, "100105"), "600105");
    EXPECT_EQ(Ask(s, "200107"), "600107");
    EXPECT_EQ(Ask(s, "0a0501030402aa"), "5a0501030402aa");
    EXPECT_TRUE(sim.WaitForReceived(8, In(5000)));
    const std::vector<std::string> want = {"0800", "0900", "0303010200", "0303777700",
                                           "020601030100010a", "100105", "200107", "0a0501030402aa"};
    EXPECT_EQ(sim.ReceivedFrames(), want);
    EXPECT_TRUE(sim.Stop());
}

TEST(SimProcess, NeighborListCanUseTheLongForm) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--neighbors-39", "--no-cts"}));
    Slave s(sim.SlavePath());
    const std::string nl = Ask(s, "0900");
    EXPECT_EQ(nl.substr(0, 4), "5927");
    EXPECT_EQ(nl.size(), 82u);
}

TEST(SimProcess, ReportsValidTrafficDeterministically) {
    std::vector<std::string> seen[2];
    for (auto& frames : seen) {
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--rate", "200", "--seed", "7", "--no-cts"}));
        Slave s(sim.SlavePath());
        std::set<int> kinds;
        for (int i = 0; i < 150; ++i) {
            const auto f = s.ReadFrame(In(5000));
            ASSERT_TRUE(ValidModuleFrame(f)) << Hex(f);
            kinds.insert(f[0]);
            frames.push_back(Hex(f));
        }
        for (int op = 0x52; op <= 0x55; ++op) EXPECT_TRUE(kinds.count(op)) << op;
        EXPECT_TRUE(sim.Stop());
    }
    EXPECT_EQ(seen[0], seen[1]);
}

TEST(SimProcess, ScriptedFramesAreWrittenRaw) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-cts"}));
    Slave s(sim.SlavePath());
    EXPECT_TRUE(sim.WriteLine("60 01 07"));
    EXPECT_TRUE(sim.WriteLine("# comment"));
    EXPECT_TRUE(sim.WriteLine("50020005"));
    EXPECT_EQ(Hex(s.ReadFrame(In(5000))), "600107");
    EXPECT_EQ(Hex(s.ReadFrame(In(5000))), "50020005");
    EXPECT_TRUE(WaitUntil([&] { return sim.LogLines("tx").size() == 2; }, In(5000)));
}

TEST(SimProcess, FaultModesShowInTheStreamAndLog) {
    struct Case {
        const char* fault;
        std::function<bool(const std::vector<std::string>&)> check;
    } cases[] = {
        {"bad-header", [](const std::vector<std::string>& tx) { return tx[0] == "5005"; }},
        {"garbage", [](const std::vector<std::string>& tx) { return tx[0].size() == 16; }},
        {"split", [](const std::vector<std::string>& tx) {
             const auto a = Unhex(tx[0]);
             return a.size() >= 1 && (a.size() < 2 || a.size() < a[1] + 2u);
         }},
        {"unknown", [](const std::vector<std::string>& tx) {
             const int op = Unhex(tx[0])[0];
             return op < 0x50 || op == 0x5B || (op >= 0x5D && op <= 0x5F) || op > 0x61;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SimProcess sim;
        ASSERT_TRUE(sim.Start({"--rate", "20", "--no-cts", "--fault", c.fault}));
        Slave s(sim.SlavePath());
        ASSERT_TRUE(WaitUntil([&] { return sim.LogLines("tx").size() >= 2; }, In(5000)));
        EXPECT_TRUE(c.check(sim.LogLines("tx")));
    }
}

TEST(SimProcess, FloodReportsFramesPerSecond) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--flood", "60", "--flood-count", "300", "--no-cts"}));
    Slave s(sim.SlavePath());
    int got = 0;
    while (got < 300) {
        const auto f = s.ReadFrame(In(10000));
        ASSERT_EQ(f.size(), 3u);
        EXPECT_EQ(f[0], 0x60);
        ++got;
    }
    EXPECT_TRUE(sim.Stop());
    EXPECT_NE(sim.Output().find("flood: 300 frames"), std::string::npos) << sim.Output();
}

TEST(SimProcess, VanishClosesTheLineAndRemovesTheLink) {
    SimProcess sim;
    const std::string link = sim.Dir() + "/tty";
    ASSERT_TRUE(sim.Start({"--link", link, "--vanish-after-ms", "300", "--no-cts"}));
    EXPECT_EQ(access(link.c_str(), F_OK), 0);
    Slave s(link);
    ASSERT_TRUE(s.Ok());
    int status = -1;
    EXPECT_TRUE(sim.WaitExit(In(5000), &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
    WaitUntil([&] { s.Fill(In(50)); return s.Ended(); }, In(3000));
    EXPECT_TRUE(s.Ended());
}

TEST(SimProcess, HelpDocumentsEveryOptionAndBadOptionsFail) {
    SimProcess sim;
    // No pty is opened for --help, so there is no slave path to wait for.
    EXPECT_FALSE(sim.Start({"--help"}, In(1000)));
    int status = -1;
    ASSERT_TRUE(sim.WaitExit(In(5000), &status));
    EXPECT_EQ(status, 0);
    for (const char* opt : {"--link", "--log", "--cts-socket", "--nodes", "--seed", "--rate",
                            "--cts-interval-ms", "--no-cts", "--gap-ms", "--fault", "--flood",
                            "--flood-count", "--vanish-after-ms", "--script", "--stdin-frames",
                            "--piece-bytes"})
        EXPECT_NE(sim.Output().find(opt), std::string::npos) << opt;
    SimProcess bad;
    EXPECT_FALSE(bad.Start({"--rate", "x"}, In(2000)));
    EXPECT_TRUE(bad.WaitExit(In(5000), &status));
    EXPECT_EQ(status, 2);
}

TEST(SimProcess, ScriptFileRunsAtStart) {
    SimProcess sim;
    const std::string script = sim.Dir() + "/script.txt";
    {
        FILE* f = std::fopen(script.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("# opening burst\n60 01 05\npause 10\n5b0101\n", f);
        std::fclose(f);
    }
    ASSERT_TRUE(sim.Start({"--script", script, "--no-cts", "--first-node", "0x0200"}));
    Slave s(sim.SlavePath());
    EXPECT_EQ(Hex(s.ReadFrame(In(5000))), "600105");
    EXPECT_EQ(Hex(s.ReadFrame(In(5000))), "5b0101");
    EXPECT_EQ(Ask(s, "0800").substr(0, 8), "58080200");
    const auto tx = sim.LogLines("tx");
    ASSERT_GE(tx.size(), 3u);
    EXPECT_EQ(tx[0], "600105");
    EXPECT_EQ(tx[1], "5b0101");
}
