// The console page in a real headless Chromium, served by a real mosquitto
// (websockets listener with http_dir) beside simulator, gateway and bridge:
// console/browser-test/check.mjs drives the page; this test sets the scene
// and checks what the page saw against what the broker carried.
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "BridgeFixture.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

const char* const kChromium = "/usr/bin/chromium";
const char* const kNode = "/usr/bin/node";
const char* const kConsoleDir = ORVEL_CONSOLE_DIR;  // the page's folder in the source tree

class ConsoleBrowserTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string modules = std::string(kConsoleDir) + "/node_modules/puppeteer-core/package.json";
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed (scripts/deps.sh)";
    if (access(kNode, X_OK) != 0) GTEST_SKIP() << "node is not installed (scripts/deps.sh)";
    if (access(modules.c_str(), R_OK) != 0) GTEST_SKIP() << "console/node_modules is absent (npm ci in console/)";
  }
  // The broker with a websockets listener serving the console beside its
  // plain one (extra lines appended); the websockets port.
  uint16_t StartConsoleBroker(std::vector<std::string> extra = {}) {
    const uint16_t wsPort = PickFreePort();
    extra.insert(extra.begin(), {"listener " + std::to_string(wsPort) + " 127.0.0.1", "protocol websockets",
                                 std::string("http_dir ") + kConsoleDir});
    StartBroker(extra);
    EXPECT_TRUE(WaitUntil([&] {
      int fd = ConnectLoopback(wsPort, In(0));
      if (fd >= 0) close(fd);
      return fd >= 0;
    }, In(10000), 20)) << broker_.Output();
    return wsPort;
  }
  // Runs the browser check with its arguments; its exit status, its output
  // in *seen.
  int RunCheck(std::vector<std::string> args, std::string* seen) {
    args.insert(args.begin(), {kNode, std::string(kConsoleDir) + "/browser-test/check.mjs"});
    args.push_back(kChromium);
    ToolProcess check;
    int status = -1;
    if (!check.Start(args, dir_ + "/check.out") || !check.WaitExit(In(180000), &status)) status = -1;
    *seen = check.Output();
    return status;
  }
  static std::string PageUrl(uint16_t wsPort) { return "http://127.0.0.1:" + std::to_string(wsPort) + "/"; }
};

std::set<long> AsSet(const std::vector<long>& v) { return std::set<long>(v.begin(), v.end()); }

TEST_F(ConsoleBrowserTest, PageShowsNodesNeighboursAndCommandReplies) {
  const uint16_t wsPort = StartConsoleBroker();
  // The simulator's mesh of four: 257 (the module's own node) and 258..260,
  // raising CTS and answering commands by itself.
  StartGateway({"bindAddress=127.0.0.1"}, {});
  StartBridge();
  Subscribe();
  ProbeUntilSeen();
  for (uint16_t id : {258, 259, 260}) ASSERT_TRUE(sim_.SendFrame(sim::DataFrame(id, 8, 1, {1})));
  ASSERT_TRUE(WaitForMessages("orvel/gw/node/260", 1, In(10000))) << bridge_.Output();

  const std::string shot = dir_ + "/console.png";
  std::string seen;
  ASSERT_EQ(0, RunCheck({"mesh", PageUrl(wsPort), "gw", "258,259,260", shot}, &seen)) << seen << broker_.Output();

  // The table's rows hold the simulator's nodes (the first cell of a row).
  EXPECT_EQ((std::set<long>{258, 259, 260}), AsSet(NumbersAfter(seen, "[\""))) << seen;
  // Filtered by hex id, and sorted by id the other way round.
  EXPECT_NE(std::string::npos, seen.find("\"filtered\":[259]")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\"descending\":[260,259,258]")) << seen;
  // One mark per neighbour of the list the module sent.
  ASSERT_FALSE(MessagesOn("orvel/gw/rx/neighborListReply").empty());
  const std::string list = MessagesOn("orvel/gw/rx/neighborListReply").back().payload;
  const size_t marks = seen.find("\"marks\":[");
  ASSERT_NE(std::string::npos, marks) << seen;
  const std::string markList = seen.substr(marks + 8, seen.find(']', marks) - marks - 8);  // "[258,259,260"
  const std::set<long> neighbours = AsSet(NumbersAfter(list, "\"nodeId\":"));
  std::vector<long> shown = NumbersAfter(markList, "[");
  for (long id : NumbersAfter(markList, ",")) shown.push_back(id);
  EXPECT_EQ(neighbours, AsSet(shown)) << seen;
  EXPECT_EQ(neighbours.size(), shown.size()) << seen;
  EXPECT_EQ(3u, neighbours.size()) << list;  // the module hears the mesh's three other nodes
  EXPECT_NE(std::string::npos, seen.find("\"infoReply\":{\"text\":\"ok\"")) << seen;
  // The feed held still while paused, and keeps one kind when asked.
  const std::vector<long> paused = NumbersAfter(seen, "\"pausedFeed\":[");
  ASSERT_EQ(1u, paused.size()) << seen;
  EXPECT_NE(std::string::npos, seen.find("\"pausedFeed\":[" + std::to_string(paused[0]) + "," +
                                          std::to_string(paused[0]) + "]")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\"kindFiltered\":[\"nodeInfoReply\"]")) << seen;
  EXPECT_GT(ReadFile(shot).size(), 10000u);
  EXPECT_GT(ReadFile(dir_ + "/console-phone.png").size(), 10000u);
}

TEST_F(ConsoleBrowserTest, PageAsksForCredentialsWhenTheBrokerWantsThem) {
  const std::string passwords = MakePasswordFile("viewer", "s3cret");
  const uint16_t wsPort = StartConsoleBroker({"password_file " + passwords, "allow_anonymous false"});
  ToolProcess pub;
  int status = -1;
  ASSERT_TRUE(pub.Start({"/usr/bin/mosquitto_pub", "-p", std::to_string(brokerPort_), "-u", "viewer", "-P", "s3cret",
                         "-r", "-t", "orvel/gw9/status", "-m", "online"}, dir_ + "/pub.out"));
  ASSERT_TRUE(pub.WaitExit(In(10000), &status));
  ASSERT_EQ(0, status) << pub.Output();
  std::string seen;
  ASSERT_EQ(0, RunCheck({"login", PageUrl(wsPort), "gw9", "viewer", "guess", "s3cret"}, &seen)) << seen << broker_.Output();
  EXPECT_NE(std::string::npos, seen.find("\"refused\":\"Refused: ")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\"storage\":0,")) << seen;
}

}  // namespace
}  // namespace e2e
