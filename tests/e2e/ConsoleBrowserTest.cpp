// The console page in a real headless Chromium, served by a real mosquitto
// (websockets listener with http_dir) beside simulator, gateway and bridge:
// console/browser-test/check.mjs drives the page; this test sets the scene
// and checks what the page saw against what the broker carried.
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

const char* const kChromium = "/usr/bin/chromium";
const char* const kNode = "/usr/bin/node";

class ConsoleBrowserTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
#ifndef ORVEL_CONSOLE_DIR
    GTEST_SKIP() << "console folder unknown to this build";
#else
    const std::string modules = std::string(ORVEL_CONSOLE_DIR) + "/node_modules/puppeteer-core/package.json";
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed (scripts/deps.sh)";
    if (access(kNode, X_OK) != 0) GTEST_SKIP() << "node is not installed (scripts/deps.sh)";
    if (access(modules.c_str(), R_OK) != 0) GTEST_SKIP() << "console/node_modules is absent (npm ci in console/)";
#endif
  }
};

std::set<int> NodeIdsIn(const std::string& text, const std::string& pattern) {
  std::set<int> ids;
  std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    ids.insert(std::stoi((*it)[1]));
  return ids;
}

TEST_F(ConsoleBrowserTest, PageShowsNodesNeighboursAndCommandReplies) {
#ifdef ORVEL_CONSOLE_DIR
  const uint16_t wsPort = PickFreePort();
  ASSERT_NE(0, wsPort);
  StartBroker({"listener " + std::to_string(wsPort) + " 127.0.0.1", "protocol websockets",
               std::string("http_dir ") + ORVEL_CONSOLE_DIR});
  ASSERT_TRUE(WaitUntil([&] {
    int fd = ConnectLoopback(wsPort, In(0));
    if (fd >= 0) close(fd);
    return fd >= 0;
  }, In(10000), 20)) << broker_.Output();
  // The simulator's mesh of four: 257 (the module's own node) and 258..260,
  // raising CTS and answering commands by itself.
  StartGateway({"bindAddress=127.0.0.1"}, {});
  StartBridge();
  Subscribe();
  ProbeUntilSeen();
  for (uint16_t id : {258, 259, 260}) ASSERT_TRUE(sim_.SendFrame(sim::DataFrame(id, 8, 1, {1})));
  ASSERT_TRUE(WaitForMessages("orvel/gw/node/260", 1, In(10000))) << bridge_.Output();

  const std::string shot = dir_ + "/console.png";
  ToolProcess check;
  int status = -1;
  ASSERT_TRUE(check.Start({kNode, std::string(ORVEL_CONSOLE_DIR) + "/browser-test/check.mjs",
                           "http://127.0.0.1:" + std::to_string(wsPort) + "/", "gw", "258,259,260", shot,
                           kChromium},
                          dir_ + "/check.out"));
  ASSERT_TRUE(check.WaitExit(In(180000), &status)) << check.Output();
  const std::string seen = check.Output();
  ASSERT_EQ(0, status) << seen << broker_.Output();

  // The table's rows hold the simulator's nodes, each in decimal and hex.
  EXPECT_EQ((std::set<int>{258, 259, 260}), NodeIdsIn(seen, "\\[\"([0-9]+)\",\"0x010[2-4]\""));
  // One mark per neighbour of the list the module sent.
  ASSERT_FALSE(MessagesOn("orvel/gw/rx/neighborListReply").empty());
  const std::string list = MessagesOn("orvel/gw/rx/neighborListReply").back().payload;
  std::smatch marks;
  ASSERT_TRUE(std::regex_search(seen, marks, std::regex("\"marks\":\\[([0-9,]*)\\]"))) << seen;
  EXPECT_EQ(NodeIdsIn(list, "\"nodeId\":([0-9]+)"), NodeIdsIn(marks[1].str() + ",", "([0-9]+),"));
  EXPECT_EQ(3u, NodeIdsIn(list, "\"nodeId\":([0-9]+)").size()) << list;
  EXPECT_NE(std::string::npos, seen.find("\"infoReply\":{\"text\":\"ok\"")) << seen;
  EXPECT_GT(ReadFile(shot).size(), 10000u);
  EXPECT_GT(ReadFile(dir_ + "/console-phone.png").size(), 10000u);
#endif
}

}  // namespace
}  // namespace e2e
