// The Debian packages of the host: built with scripts/package.sh, unpacked
// with dpkg-deb into a temporary root, their file lists and systemd units
// checked; the unpacked gateway runs with the unpacked configuration against
// the simulator until a document arrives, and the unpacked bridge with its
// configuration carries documents to a private broker; the console package
// (architecture all, no maintainer scripts) is served by a broker set up with
// its example snippet.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

const char* const kBroker = "/usr/sbin/mosquitto";
const char* const kSub = "/usr/bin/mosquitto_sub";

// A program of the unpacked root, started like any child of the harness.
class Unpacked : public ChildProcess {
 public:
  using ChildProcess::Spawn;
  bool Start(const std::vector<std::string>& argv, const std::string& outPath) {
    return Spawn(argv, {}, outPath, false);
  }
};

// Exit status of a shell command (output to log).
int Shell(const std::string& cmd, const std::string& log) {
  const int st = std::system((cmd + " >" + log + " 2>&1").c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

// A packaged configuration with the given keys' lines replaced and `first`
// put before them.
std::string ConfFor(const std::string& packaged, const std::string& first,
                    const std::map<std::string, std::string>& values) {
  std::istringstream in(packaged);
  std::string out = first, line;
  while (std::getline(in, line)) {
    const std::string key = line.substr(0, line.find('='));
    if (values.count(key) != 0) line = key + "=" + values.at(key);
    out += line + "\n";
  }
  return out;
}

// What each package must hold: its files, and the lines its unit must have.
struct Package {
  const char* name;
  std::vector<const char*> files;
  std::vector<const char*> unitLines;
};

const Package kPackages[] = {
    {"orvelgateway",
     {"/usr/sbin/OrvelGateway", "/usr/bin/OrvelModuleSim", "/etc/orvelgateway.conf",
      "/lib/systemd/system/orvelgateway.service", "/usr/share/doc/orvelgateway/copyright",
      "/usr/share/doc/orvelgateway/changelog.gz", "/usr/share/man/man8/OrvelGateway.8.gz",
      "/usr/share/man/man5/orvelgateway.conf.5.gz", "/usr/share/man/man1/OrvelModuleSim.1.gz"},
     {"Type=notify\n", "ExecStart=/usr/sbin/OrvelGateway -c /etc/orvelgateway.conf\n",
      "ExecReload=/bin/kill -USR1 $MAINPID\n", "Restart=on-failure\n", "NoNewPrivileges=yes\n",
      "ProtectSystem=strict\n", "ProtectHome=yes\n", "PrivateTmp=yes\n",
      "SupplementaryGroups=dialout\n"}},
    {"orvelmqttbridge",
     {"/usr/sbin/OrvelMqttBridge", "/etc/orvelmqttbridge.conf",
      "/lib/systemd/system/orvelmqttbridge.service", "/usr/share/doc/orvelmqttbridge/copyright",
      "/usr/share/doc/orvelmqttbridge/changelog.gz", "/usr/share/man/man8/OrvelMqttBridge.8.gz"},
     {"ExecStart=/usr/sbin/OrvelMqttBridge -c /etc/orvelmqttbridge.conf\n",
      "ExecReload=/bin/kill -USR1 $MAINPID\n", "Restart=on-failure\n", "CapabilityBoundingSet=\n",
      "NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "After=network-online.target orvelgateway.service\n"}},
    {"orvelconsole",
     {"/usr/share/orvelconsole/index.html", "/usr/share/orvelconsole/style.css",
      "/usr/share/orvelconsole/js/app.js", "/usr/share/orvelconsole/js/state.js",
      "/usr/share/orvelconsole/js/commands.js", "/usr/share/orvelconsole/js/neighbors.js",
      "/usr/share/orvelconsole/vendor/mqtt.min.js", "/usr/share/orvelconsole/vendor/mqtt.LICENSE.md",
      "/usr/share/doc/orvelconsole/examples/orvelconsole.conf", "/usr/share/doc/orvelconsole/copyright",
      "/usr/share/doc/orvelconsole/changelog.gz"},
     {}},
};

// An HTTP/1.0 GET of path from 127.0.0.1:port; the whole answer, "" on failure.
std::string HttpGet(uint16_t port, const std::string& path) {
  const int fd = ConnectLoopback(port, In(5000));
  if (fd < 0) return "";
  const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
  std::string answer;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    const Deadline deadline = In(10000);
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (Clock::now() < deadline && poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(ORVEL_EMULATED)
    GTEST_SKIP() << "the packaging test builds and runs the host's package; it runs in the plain flavour";
#endif
    if (std::string(ORVEL_SANITIZE) != "")
      GTEST_SKIP() << "the package is a Release build without sanitizers; it is tested in the plain flavour";
    if (access("/usr/bin/dpkg-deb", X_OK) != 0 || access("/usr/bin/cpack", X_OK) != 0)
      GTEST_SKIP() << "needs dpkg-deb and cpack to build and unpack the package";
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  // The unpacked bridge with the unpacked configuration, between the gateway
  // and a private broker: documents must come out at a subscriber, and the
  // bridge must stop with status 0.
  void PublishThroughTheUnpackedBridge(const std::string& root, uint16_t recv, uint16_t send,
                                       SimProcess* sim) {
    if (access(kBroker, X_OK) != 0 || access(kSub, X_OK) != 0) {
      printf("mosquitto is not installed (scripts/deps.sh): the bridge package is checked, not run\n");
      return;
    }
    const std::string brokerPort = std::to_string(PickFreePort());
    std::ofstream(dir_ + "/broker.conf") << "listener " << brokerPort << " 127.0.0.1\n"
                                         << "user root\npersistence false\nallow_anonymous true\n";
    Unpacked broker, sub, bridge;
    ASSERT_TRUE(broker.Start({kBroker, "-c", dir_ + "/broker.conf"}, dir_ + "/broker.out"));
    ASSERT_TRUE(WaitUntil([&] {
      const int fd = ConnectLoopback(static_cast<uint16_t>(std::stoi(brokerPort)), In(0));
      if (fd >= 0) close(fd);
      return fd >= 0;
    }, In(10000), 20)) << broker.Output();
    const std::string confPath = dir_ + "/bridge.conf";
    std::ofstream(confPath) << ConfFor(ReadFile(root + "/etc/orvelmqttbridge.conf"), "gatewayId=pkg\n",
                                       {{"brokerPort", brokerPort}, {"recvPort", std::to_string(recv)},
                                        {"sendPort", std::to_string(send)}});
    ASSERT_TRUE(sub.Start({kSub, "-h", "127.0.0.1", "-p", brokerPort, "-t", "orvel/pkg/#", "-v"},
                          dir_ + "/sub.out"));
    ASSERT_TRUE(bridge.Start({root + "/usr/sbin/OrvelMqttBridge", "-c", confPath}, dir_ + "/bridge.out"));
    EXPECT_TRUE(sub.WaitForOutput("orvel/pkg/status online", In(10000))) << bridge.Output();
    EXPECT_TRUE(WaitUntil([&] {
      sim->SendFrame(sim::WesStatusFrame(0x21));
      return sub.WaitForOutput("orvel/pkg/rx/", In(300));
    }, In(10000), 0)) << sub.Output() << bridge.Output();
    bridge.Signal(SIGTERM);
    int status = -1;
    EXPECT_TRUE(bridge.WaitExit(In(5000), &status));
    EXPECT_EQ(0, status) << bridge.Output();
  }
  // The console package: for every architecture, without maintainer scripts
  // (it opens no listener by itself); a broker given its example snippet,
  // with ports and folder moved into the test, serves the page.
  void ServeTheUnpackedConsole(const std::string& root) {
    const std::string log = dir_ + "/console.log";
    ASSERT_EQ(0, Shell("dpkg-deb -f " + dir_ + "/orvelconsole_*_all.deb Architecture", log));
    EXPECT_EQ("all\n", ReadFile(log));
    ASSERT_EQ(0, Shell("dpkg-deb --ctrl-tarfile " + dir_ + "/orvelconsole_*_all.deb | tar -t", log));
    for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
      EXPECT_EQ(std::string::npos, ReadFile(log).find(script)) << ReadFile(log);
    if (access(kBroker, X_OK) != 0) return;  // said once above
    const uint16_t mqttPort = PickFreePort(), wsPort = PickFreePort();
    std::istringstream snippet(ReadFile(root + "/usr/share/doc/orvelconsole/examples/orvelconsole.conf"));
    std::string conf = "user root\npersistence false\nallow_anonymous true\n", line;
    while (std::getline(snippet, line)) {
      if (line == "listener 1883") line = "listener " + std::to_string(mqttPort) + " 127.0.0.1";
      if (line == "listener 9001") line = "listener " + std::to_string(wsPort) + " 127.0.0.1";
      if (line.rfind("http_dir /usr/", 0) == 0) line = "http_dir " + root + line.substr(9);
      conf += line + "\n";
    }
    std::ofstream(dir_ + "/console-broker.conf") << conf;
    Unpacked broker;
    ASSERT_TRUE(broker.Start({kBroker, "-c", dir_ + "/console-broker.conf"}, dir_ + "/console-broker.out"));
    std::string page;
    EXPECT_TRUE(WaitUntil([&] {
      page = HttpGet(wsPort, "/");
      return !page.empty();
    }, In(10000), 50)) << conf << broker.Output();
    EXPECT_NE(std::string::npos, page.find("<script src=\"js/app.js\" defer>")) << page;
    EXPECT_NE(std::string::npos, HttpGet(wsPort, "/vendor/mqtt.min.js").find("200 OK"));
  }
  std::string dir_;
};

TEST_F(PackageTest, UnpackedPackagesRunAgainstTheSimulatorAndABroker) {
  const std::string log = dir_ + "/package.log";
  ASSERT_EQ(0, Shell("bash " ORVEL_SOURCE_DIR "/scripts/package.sh \"$(dpkg --print-architecture)\" " + dir_, log))
      << ReadFile(log);
  const std::string root = dir_ + "/root";
  for (const Package& p : kPackages) {
    ASSERT_EQ(0, Shell("dpkg-deb -x " + dir_ + "/" + p.name + "_*.deb " + root, log)) << ReadFile(log);
    for (const char* f : p.files) EXPECT_EQ(0, access((root + f).c_str(), R_OK)) << f;
    if (p.unitLines.empty()) continue;
    const std::string unitPath = root + "/lib/systemd/system/" + p.name + ".service";
    const std::string unit = ReadFile(unitPath);
    for (const char* line : p.unitLines) EXPECT_NE(std::string::npos, unit.find(line)) << p.name << ": " << line;
    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
      // Verified with its programs pointing into the unpacked root.
      const std::string copy = dir_ + "/" + p.name + ".service";
      ASSERT_EQ(0, Shell("cp " + unitPath + " " + copy + " && sed -i 's#=/usr/sbin/#=" + root + "/usr/sbin/#' " + copy, log));
      EXPECT_EQ(0, Shell("systemd-analyze verify --man=no " + copy, log)) << ReadFile(log);
    }
  }
  const std::string conf = ReadFile(root + "/etc/orvelgateway.conf");
  EXPECT_EQ(std::string::npos, conf.find("uart=")) << conf;
  EXPECT_NE(std::string::npos, conf.find("bindAddress=0.0.0.0\n")) << conf;

  SimProcess sim;
  ASSERT_TRUE(sim.Start());
  const uint16_t recv = PickFreePort(), send = PickFreePort();
  const std::string confPath = dir_ + "/run.conf";
  std::ofstream(confPath) << ConfFor(conf, "uart=" + sim.SlavePath() + "\n",
                                     {{"recvPort", std::to_string(recv)}, {"sendPort", std::to_string(send)}});
  Unpacked gw;
  ASSERT_TRUE(gw.Spawn({root + "/usr/sbin/OrvelGateway", "-c", confPath},
                       {"LD_PRELOAD=" ORVEL_SHIM_PATH, "ORVEL_SIM_PTY=" + sim.SlavePath(),
                        "ORVEL_CTS_SOCKET=" + sim.CtsSocketPath()},
                       dir_ + "/gateway.out", false));
  RecvClient client;
  ASSERT_TRUE(client.Connect(recv, In(10000))) << gw.Output();
  // Frames are read once the host API is active, after a quiet spell: repeat.
  EXPECT_TRUE(WaitUntil([&] {
    sim.SendFrame(sim::WesStatusFrame(0x21));
    return client.WaitForDocs(1, In(300));
  }, In(10000), 0)) << gw.Output();
  if (!client.Docs().empty()) {
    EXPECT_EQ(0u, client.Docs()[0].rfind("{\"objectType\":", 0)) << client.Docs()[0];
  }
  PublishThroughTheUnpackedBridge(root, recv, send, &sim);
  ServeTheUnpackedConsole(root);
  gw.Signal(SIGTERM);
  int status = -1;
  EXPECT_TRUE(gw.WaitExit(In(5000), &status));
  EXPECT_EQ(0, status) << gw.Output();
}

}  // namespace
}  // namespace e2e
