// The harness's own helpers against local stand-ins, so that end-to-end
// failures can be told apart from harness faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "Harness.h"

using namespace e2e;

namespace {

// A one-shot TCP server on a free port: answers the first client with
// `reply` after reading `expect` bytes, then closes.
class OneShotServer {
public:
    OneShotServer(std::string reply, size_t expect) : reply_(std::move(reply)), expect_(expect) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneShotServer() {
        thread_.join();
        close(fd_);
    }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[256];
        while (received_.size() < expect_) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            received_.append(buf, static_cast<size_t>(n));
        }
        send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        close(c);
    }
    std::string reply_, received_;
    size_t expect_;
    int fd_;
    uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace

TEST(Harness, HexRoundTripsAndRejectsBadInput) {
    EXPECT_EQ(Hex({0x00, 0xAB, 0x5a}), "00ab5a");
    EXPECT_EQ(Unhex("00 ab 5A"), (std::vector<uint8_t>{0x00, 0xAB, 0x5A}));
    EXPECT_TRUE(Unhex("abc").empty());
    EXPECT_TRUE(Unhex("zz").empty());
}

TEST(Harness, WaitUntilIsBounded) {
    EXPECT_FALSE(WaitUntil([] { return false; }, In(50)));
    std::atomic<int> n{0};
    EXPECT_TRUE(WaitUntil([&] { return ++n >= 3; }, In(5000), 1));
}

TEST(Harness, PickFreePortGivesABindablePort) {
    const uint16_t p = PickFreePort();
    ASSERT_NE(p, 0);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(p);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(s);
}

TEST(Harness, SendCommandReturnsReplyUntilClose) {
    std::string reply;
    {
        OneShotServer srv("{\"replyMsg\":{}}\n", 7);
        reply = SendCommand(srv.Port(), "{\"a\":1}", In(10000));
    }
    EXPECT_EQ(reply, "{\"replyMsg\":{}}\n");
}

TEST(Harness, RecvClientSplitsDocumentsByDelimiter) {
    OneShotServer srv("{\"a\":1}\r\n{\"b\":2}\r\n{\"c\"", 0);
    RecvClient c("\r\n");
    ASSERT_TRUE(c.Connect(srv.Port(), In(10000)));
    EXPECT_TRUE(c.WaitForDocs(2, In(10000)));
    EXPECT_FALSE(c.WaitForDocs(3, In(10000)));  // the server closed after a partial third
    EXPECT_TRUE(c.PeerClosed());
    ASSERT_EQ(c.Docs().size(), 2u);
    EXPECT_EQ(c.Docs()[0], "{\"a\":1}");
    EXPECT_EQ(c.Docs()[1], "{\"b\":2}");
}

TEST(Harness, SimProcessStartsAndStopsCleanly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start());
    EXPECT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u);
    EXPECT_TRUE(sim.Stop());
    EXPECT_FALSE(sim.Running());
}
