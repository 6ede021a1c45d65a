// Receive task broadcast and callbacks, with socket pairs as clients.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/Configuration.h"
#include "core/OvClosers.h"
#include "ovapi/OvApi.h"
#include "recv/RecvEssentials.h"
#include "recv/RecvTask.h"

namespace {

class RecvTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetConfigDefault(&config_);
    RecvTaskInitEssentials(&config_);
    g_recv.config = &config_;
    RecvEssentialsInstallCallbacks();
    OvApiInit();
    g_ovApi[0].callbacks.store(&g_ovRx);
    for (auto& p : pairs_) {
      ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, p));
      fcntl(p[0], F_SETFL, O_NONBLOCK);
      fcntl(p[1], F_SETFL, O_NONBLOCK);
      g_recv.clients.push_back(p[0]);
    }
  }
  void TearDown() override {
    RecvTaskClose();
    for (auto& p : pairs_) FdClose(&p[1]);
  }
  static std::string Drain(int fd) {
    std::string out;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  static char* Text(const char* s) { return strdup(s); }

  tConfiguration config_;
  int pairs_[2][2] = {{-1, -1}, {-1, -1}};
};

TEST_F(RecvTaskTest, EveryClientGetsTextAndDelimiter) {
  DispatchFormattedMsg(Text("{\"a\":1}"));
  DispatchFormattedMsg(Text("{\"b\":2}"));
  for (auto& p : pairs_) EXPECT_EQ("{\"a\":1}\n{\"b\":2}\n", Drain(p[1]));
}

TEST_F(RecvTaskTest, EmptyAndEscapedDelimiters) {
  config_.setDelimiter("");
  DispatchFormattedMsg(Text("{}"));
  DispatchFormattedMsg(Text("{}"));
  EXPECT_EQ("{}{}", Drain(pairs_[0][1]));
  config_.setDelimiter("\\r\\n");
  DispatchFormattedMsg(Text("{}"));
  EXPECT_EQ("{}\r\n", Drain(pairs_[0][1]));
}

TEST_F(RecvTaskTest, ClosedClientIsDroppedOthersKeepReceiving) {
  FdClose(&pairs_[0][1]);
  for (int i = 0; i < 3; ++i) DispatchFormattedMsg(Text("{\"n\":1}"));
  ASSERT_EQ(1u, g_recv.clients.size());
  EXPECT_EQ(pairs_[1][0], g_recv.clients[0]);
  EXPECT_EQ("{\"n\":1}\n{\"n\":1}\n{\"n\":1}\n", Drain(pairs_[1][1]));
}

TEST_F(RecvTaskTest, FullClientIsDropped) {
  std::string big(200000, 'x');
  DispatchFormattedMsg(Text(big.c_str()));
  DispatchFormattedMsg(Text(big.c_str()));
  EXPECT_TRUE(g_recv.clients.empty());
}

TEST_F(RecvTaskTest, RawFramesGiveOneDocumentTypedOpcodesNone) {
  const uint8_t status56[] = {0x56, 0x00};
  UartReadCallback(0, status56, 0);  // length 0: nothing
  UartReadCallback(0, status56, sizeof status56);
  const uint8_t data52[] = {0x52, 0x00};
  UartReadCallback(0, data52, sizeof data52);  // left to its typed callback
  std::string out = Drain(pairs_[0][1]);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;  // exactly one document
}

TEST_F(RecvTaskTest, FrameResetsRxCount) {
  RxCount = 7;
  const uint8_t frame[] = {0x5C, 0x00};
  UartReadCallbackSpecialized(0, frame, sizeof frame);
  EXPECT_EQ(0u, RxCount);
}

TEST_F(RecvTaskTest, TypedOpcodeSetIsTheElevenWithCallbacks) {
  int typed = 0;
  for (int op = 0; op < 256; ++op) typed += RecvEssentialsIsTypedOpcode(static_cast<uint8_t>(op));
  EXPECT_EQ(11, typed);
  EXPECT_FALSE(RecvEssentialsIsTypedOpcode(0x56));
  EXPECT_FALSE(RecvEssentialsIsTypedOpcode(0x5C));
  EXPECT_TRUE(RecvEssentialsIsTypedOpcode(0x61));
  EXPECT_EQ(nullptr, g_ovRx.routeInfoRequestReplyCallback);
  EXPECT_EQ(nullptr, g_ovRx.hostUappStatus56Callback);
}

}  // namespace
