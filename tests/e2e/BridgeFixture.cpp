// MQTT bridge end-to-end fixture: broker, gateway, bridge and subscriber.
#include "BridgeFixture.h"

#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/SimFrames.h"

namespace e2e {

namespace {

const char* const kBroker = "/usr/sbin/mosquitto";
const char* const kSub = "/usr/bin/mosquitto_sub";
const char* const kPub = "/usr/bin/mosquitto_pub";

}  // namespace

const char* const kProbe = "\"status\":119";

std::vector<long> NumbersAfter(const std::string& text, const std::string& marker) {
  std::vector<long> out;
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    const size_t from = at + marker.size();
    if (from < text.size() && isdigit(static_cast<unsigned char>(text[from])))
      out.push_back(strtol(text.c_str() + from, nullptr, 10));
  }
  return out;
}

void BridgeTest::SetUp() {
  GatewayTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
#ifndef ORVEL_BRIDGE_PATH
  GTEST_SKIP() << "bridge binary not built";
#endif
  if (access(kBroker, X_OK) != 0 || access(kSub, X_OK) != 0) {
    GTEST_SKIP() << "mosquitto and mosquitto-clients are not installed (scripts/deps.sh)";
  }
  brokerPort_ = PickFreePort();
  ASSERT_NE(0, brokerPort_);
}

void BridgeTest::TearDown() {
  for (ChildProcess* p : {static_cast<ChildProcess*>(&subscriber_), static_cast<ChildProcess*>(&bridge_)}) {
    if (p->Running()) {
      p->Signal(SIGTERM);
      p->WaitExit(In(5000));
    }
  }
  StopBroker();
  GatewayTest::TearDown();
}

void BridgeTest::StartBroker(const std::vector<std::string>& extraLines) {
  if (!extraLines.empty()) brokerLines_ = extraLines;
  const std::string conf = dir_ + "/broker.conf";
  std::ofstream out(conf);
  // CI runs as root, and the broker refuses to stay root unless told so.
  out << "listener " << brokerPort_ << " 127.0.0.1\n"
      << "user root\npersistence false\nlog_dest stdout\n";
  bool auth = false;
  for (auto& l : brokerLines_) {
    out << l << "\n";
    auth = auth || l.rfind("password_file", 0) == 0;
  }
  if (!auth) out << "allow_anonymous true\n";
  out.close();
  ASSERT_TRUE(broker_.Start({kBroker, "-c", conf}, dir_ + "/broker.out"));
  ASSERT_TRUE(WaitUntil([&] {
    int fd = ConnectLoopback(brokerPort_, In(0));
    if (fd >= 0) close(fd);
    return fd >= 0;
  }, In(10000), 20)) << broker_.Output();
}

void BridgeTest::StopBroker() {
  if (!broker_.Running()) return;
  broker_.Signal(SIGTERM);
  broker_.WaitExit(In(5000));
}

void BridgeTest::StartBridge(const std::vector<std::string>& extras) {
#ifdef ORVEL_BRIDGE_PATH
  std::string c = "brokerPort=" + std::to_string(brokerPort_) + ",recvPort=" +
                  std::to_string(recvPort_) + ",sendPort=" + std::to_string(sendPort_) +
                  ",gatewayId=gw";
  for (auto& e : extras) c += "," + e;
  ASSERT_TRUE(bridge_.Start({ORVEL_BRIDGE_PATH, "-C", c}, dir_ + "/bridge.out"));
  ASSERT_TRUE(bridge_.WaitForOutput("statsSecs=", In(10000))) << bridge_.Output();
#else
  (void)extras;
#endif
}

void BridgeTest::Subscribe(const std::vector<std::string>& extra, const std::string& name) {
  std::vector<std::string> argv{kSub, "-h", "127.0.0.1", "-p", std::to_string(brokerPort_),
                                "-V", "5", "-q", "1", "-t", "orvel/#", "-F", "%t|%D|%p"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ASSERT_TRUE(subscriber_.Start(argv, dir_ + "/" + name));
  ASSERT_TRUE(WaitForMessages("orvel/gw/status", 1, In(10000)))
      << subscriber_.Output() << bridge_.Output();
}

std::vector<MqttMessage> BridgeTest::Messages() const {
  std::vector<MqttMessage> out;
  std::istringstream in(subscriber_.Output());
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('|'), b = a == std::string::npos ? a : line.find('|', a + 1);
    if (b == std::string::npos) continue;
    out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return out;
}

std::vector<MqttMessage> BridgeTest::MessagesOn(const std::string& topic) const {
  std::vector<MqttMessage> out;
  for (auto& m : Messages())
    if (m.topic == topic) out.push_back(m);
  return out;
}

bool BridgeTest::WaitForMessages(const std::string& topic, size_t n, Deadline deadline) {
  return WaitUntil([&] { return MessagesOn(topic).size() >= n; }, deadline, 20);
}

std::string BridgeTest::MakePasswordFile(const std::string& user, const std::string& password) {
  const std::string path = dir_ + "/passwords";
  ToolProcess tool;
  int status = -1;
  EXPECT_TRUE(tool.Start({"/usr/bin/mosquitto_passwd", "-b", "-c", path, user, password}, dir_ + "/passwd.out"));
  EXPECT_TRUE(tool.WaitExit(In(10000), &status));
  EXPECT_EQ(0, status) << tool.Output();
  return path;
}

bool BridgeTest::PublishCommand(const std::string& text, const std::vector<std::string>& extra) {
  std::vector<std::string> argv{kPub, "-h", "127.0.0.1", "-p", std::to_string(brokerPort_),
                                "-V", "5", "-q", "1", "-t", "orvel/gw/tx", "-m", text};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ToolProcess pub;
  int status = -1;
  return pub.Start(argv, dir_ + "/pub.out") && pub.WaitExit(In(10000), &status) && status == 0;
}

void BridgeTest::StartAll(const std::vector<std::string>& bridgeExtras,
                          const std::vector<std::string>& gatewayExtras,
                          const std::vector<std::string>& simArgs) {
  StartBroker();
  std::vector<std::string> gateway{"bindAddress=127.0.0.1"};
  gateway.insert(gateway.end(), gatewayExtras.begin(), gatewayExtras.end());
  StartGateway(gateway, simArgs);
  StartBridge(bridgeExtras);
  Subscribe();
  ProbeUntilSeen();
}

void BridgeTest::ProbeUntilSeen() {
  size_t before = MessagesOn("orvel/gw/rx/wesStatus").size();
  ASSERT_TRUE(WaitUntil([&] {
    sim_.RaiseCts();
    sim_.SendFrame(sim::WesStatusFrame(0x77));
    return WaitForMessages("orvel/gw/rx/wesStatus", before + 1, In(300));
  }, In(15000), 0)) << bridge_.Output() << gateway_.Output();
}

}  // namespace e2e
