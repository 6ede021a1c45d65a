// End to end: bindAddress keeps both ports on one address; a connection to
// another loopback address is refused while the bound one is served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "GatewayFixture.h"

namespace e2e {
namespace {

// connect(2) to address:port once; 0 on success, else errno.
int ConnectOnce(const char* address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
  close(fd);
  return rc;
}

TEST_F(GatewayTest, BindAddressKeepsBothPortsOnLoopbackOne) {
  StartGateway({"bindAddress=127.0.0.1"});
  EXPECT_NE(std::string::npos, gateway_.Output().find("bindAddress=127.0.0.1\n"));
  RecvClient* client = AddClient();  // served on 127.0.0.1
  ASSERT_NE(nullptr, client);
  std::string reply = SendCommand(sendPort_, "nope", In(10000));
  EXPECT_NE(std::string::npos, reply.find("\"status\":\"error\"")) << reply;
  for (uint16_t port : {recvPort_, sendPort_}) {
    EXPECT_EQ(ECONNREFUSED, ConnectOnce("127.0.0.2", port)) << port;
    EXPECT_EQ(0, ConnectOnce("127.0.0.1", port)) << port;
  }
  EXPECT_EQ(0, StopGateway(SIGTERM));
}

}  // namespace
}  // namespace e2e
