// End to end: the readiness reports to the service manager, received on a
// fake NOTIFY_SOCKET (a Unix datagram socket of the test): READY once the
// tasks run, RELOADING then READY around a reload, STOPPING at SIGTERM.
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "GatewayFixture.h"

namespace e2e {
namespace {

class GatewayNotifyTest : public GatewayTest {
 protected:
  void TearDown() override {
    if (sock_ >= 0) close(sock_);
    GatewayTest::TearDown();
  }
  // Binds the datagram socket; its path, "" on failure.
  std::string Listen() {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = dir_ + "/notify.sock";
    if (path.size() >= sizeof a.sun_path) return "";
    std::strcpy(a.sun_path, path.c_str());
    sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0 || bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "";
    return path;
  }
  // The next message, "" when none came within 10 s.
  std::string Next() {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return "";
    char buf[256];
    const ssize_t n = recv(sock_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }
  int sock_ = -1;
};

TEST_F(GatewayNotifyTest, ReadyReloadingReadyStopping) {
  const std::string path = Listen();
  ASSERT_FALSE(path.empty());
  ASSERT_TRUE(sim_.Start({"--no-cts", "--no-answer"}));
  ASSERT_TRUE(gateway_.Start({"-C", GatewayConfig(sim_, recvPort_, sendPort_)}, &sim_, dir_,
                             {"NOTIFY_SOCKET=" + path}));
  EXPECT_EQ("READY=1", Next()) << gateway_.Output();
  // Ready means the ports are bound.
  const int fd = ConnectLoopback(recvPort_, In(5000));
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  // Aimed at the main thread: under ThreadSanitizer a process-wide signal
  // that a worker thread picks up may wait for that thread's next call into
  // the runtime, and this test is about the reports, not signal delivery
  // (the lifecycle tests cover that).
  ASSERT_EQ(0, syscall(SYS_tgkill, gateway_.Pid(), gateway_.Pid(), SIGUSR1));
  EXPECT_EQ("RELOADING=1", Next()) << gateway_.Output();
  EXPECT_EQ("READY=1", Next()) << gateway_.Output();
  EXPECT_EQ(0, StopGateway(SIGTERM)) << gateway_.Output();
  EXPECT_EQ("STOPPING=1", Next()) << gateway_.Output();
}

}  // namespace
}  // namespace e2e
