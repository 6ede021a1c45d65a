// Tests of the error buffer and the OS helpers on real sockets and a pty.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/OvClosers.h"
#include "core/OvPrintErr.h"
#include "core/OvSocket.h"
#include "core/OvUart.h"

namespace {

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A listening socket on an ephemeral port, to hold a port or to connect to.
int ListenEphemeral() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_EQ(0, listen(fd, 4));
  return fd;
}

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  return fd;
}

TEST(PrintErr, FormatsCutsAndReturnsZero) {
  EXPECT_EQ(0, PrintErr("value %d and %s", 7, "text"));
  EXPECT_STREQ("value 7 and text", g_error);
  std::string longText(2000, 'x');
  EXPECT_EQ(0, PrintErr("%s", longText.c_str()));
  EXPECT_EQ(1023u, std::string(g_error).size());
}

TEST(PrintErr, ErrnoTextAndThreadsKeepTheirOwnMessage) {
  std::string expected = std::string("2 (") + strerror(2) + ")";
  EXPECT_EQ(expected, PrintErrNo(2));
  // Several errno texts in one message stay distinct.
  PrintErr("%s / %s", PrintErrNo(2), PrintErrNo(13));
  EXPECT_EQ(expected + " / 13 (" + strerror(13) + ")", g_error);

  PrintErr("main thread message");
  std::string other;
  std::thread t([&] {
    PrintErr("worker message");
    other = g_error;
  });
  t.join();
  EXPECT_EQ("worker message", other);
  EXPECT_STREQ("main thread message", g_error);
}

TEST(Closers, AreIdempotent) {
  int fd = -1;
  FdClose(&fd);
  EXPECT_EQ(-1, fd);
  fd = dup(1);
  ASSERT_GE(fd, 0);
  int copy = fd;
  FdClose(&fd);
  EXPECT_EQ(-1, fd);
  EXPECT_EQ(-1, fcntl(copy, F_GETFD));
  FdClose(&fd);

  char* p = static_cast<char*>(malloc(16));
  Free(&p);
  EXPECT_EQ(nullptr, p);
  Free(&p);
  EXPECT_EQ(nullptr, p);
}

TEST(Socket, BindFailureNamesPortAndLeavesSocketOpen) {
  int holder = ListenEphemeral();
  uint16_t port = BoundPort(holder);
  int fd = -1;
  sockaddr_in address{};
  // SO_REUSEADDR does not allow a second listener on a port that is in use.
  EXPECT_EQ(0, SocketOpenServer("0.0.0.0", port, &fd, &address));
  std::string prefix = "Failed to bind socket to port " + std::to_string(port) + ". errno=";
  EXPECT_EQ(prefix, std::string(g_error).substr(0, prefix.size())) << g_error;
  EXPECT_GE(fd, 0);
  EXPECT_NE(-1, fcntl(fd, F_GETFD));
  FdClose(&fd);
  close(holder);
}

TEST(Socket, BadBindAddressOpensNothing) {
  for (const char* text : {"", "1.2.3", "256.0.0.1", "localhost", "::1"}) {
    int fd = -1;
    sockaddr_in address{};
    EXPECT_EQ(0, SocketOpenServer(text, 0, &fd, &address)) << text;
    EXPECT_EQ("Invalid bindAddress: " + std::string(text), g_error);
    EXPECT_EQ(-1, fd);
  }
}

TEST(Socket, ServerBindsTheGivenAddress) {
  int fd = -1;
  sockaddr_in address{};
  ASSERT_NE(0, SocketOpenServer("127.0.0.1", 0, &fd, &address)) << g_error;
  EXPECT_EQ(htonl(INADDR_LOOPBACK), address.sin_addr.s_addr);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), bound.sin_addr.s_addr);
  FdClose(&fd);
}

// A rest only ever shortens the caller's time-out, never lengthens it.
TEST(Socket, AcceptRestShortensTheWaitOnly) {
  const tAcceptBackOff resting{1000, true};
  struct Case {
    long long now;
    int waitIn;
    bool ready;
    int waitOut;
  } cases[] = {
      {1000, 50, true, 50},  // rest over: untouched
      {900, 250, false, 100}, {900, 30, false, 30}, {900, -1, false, 100},
  };
  for (const Case& c : cases) {
    int wait = c.waitIn;
    EXPECT_EQ(c.ready, SocketAcceptReady(&resting, c.now, &wait)) << c.now << " " << c.waitIn;
    EXPECT_EQ(c.waitOut, wait) << c.now << " " << c.waitIn;
  }
}

TEST(Socket, ServerAcceptsNonBlockingClients) {
  int holder = ListenEphemeral();
  uint16_t port = BoundPort(holder);
  close(holder);  // a port that was free a moment ago
  int fd = -1;
  sockaddr_in address{};
  ASSERT_NE(0, SocketOpenServer("0.0.0.0", port, &fd, &address)) << g_error;
  EXPECT_EQ(AF_INET, address.sin_family);
  EXPECT_EQ(htons(port), address.sin_port);
  EXPECT_EQ(htonl(INADDR_ANY), address.sin_addr.s_addr);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);

  int client = 0;
  EXPECT_EQ(0, SocketAcceptNonBlock(fd, &client));
  EXPECT_LT(client, 0);

  // Make the listening socket blocking: the accepted one must still not block.
  fcntl(fd, F_SETFL, 0);
  int peer = ConnectLoopback(port);
  ASSERT_NE(0, SocketAcceptNonBlock(fd, &client));
  EXPECT_TRUE(fcntl(client, F_GETFL) & O_NONBLOCK);
  char byte;
  EXPECT_EQ(-1, read(client, &byte, 1));
  EXPECT_EQ(EAGAIN, errno);

  EXPECT_TRUE(SocketSendAll(client, "abc", 3));
  char got[4] = {};
  EXPECT_EQ(3, read(peer, got, 3));
  EXPECT_STREQ("abc", got);
  close(peer);
  close(client);
  close(fd);
}

TEST(Uart, OpenFailureNamesPathAndErrno) {
  int fd = 12345;
  EXPECT_EQ(0, UartOpen("/nonexistent/tty", &fd));
  EXPECT_EQ(12345, fd);
  std::string expected = std::string("Failed to open UART /nonexistent/tty. errno=2 (") + strerror(2) + ")";
  EXPECT_EQ(expected, g_error);
}

TEST(Uart, ConfigureGivesRaw8N1AtSpeed) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  int fd = -1;
  ASSERT_NE(0, UartOpen(ptsname(master), &fd)) << g_error;
  ASSERT_NE(0, UartConfigure(fd, B230400, 250)) << g_error;
  termios t{};
  ASSERT_EQ(0, tcgetattr(fd, &t));
  EXPECT_EQ(static_cast<speed_t>(B230400), cfgetospeed(&t));
  EXPECT_EQ(static_cast<speed_t>(B230400), cfgetispeed(&t));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
  EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | INLCR));
  EXPECT_EQ(0u, t.c_oflag & OPOST);

  // Bytes pass unchanged in both directions (no CR/LF translation).
  const unsigned char out[] = {0x0d, 0x0a, 0x11, 0x13, 0x03};
  ASSERT_EQ(5, write(master, out, 5));
  unsigned char in[5] = {};
  ASSERT_EQ(5, read(fd, in, 5));
  EXPECT_EQ(0, memcmp(out, in, 5));

  close(fd);
  EXPECT_EQ(0, UartConfigure(fd, B115200, 250));
  EXPECT_EQ(0, std::string(g_error).rfind("tcgetattr failed. errno=9 (", 0)) << g_error;
  close(master);
}

}  // namespace
