// The Debian package of the host: built with scripts/package.sh, unpacked
// with dpkg-deb into a temporary root, its file list and systemd unit
// checked, and the unpacked gateway run with the unpacked configuration
// against the simulator until one document arrives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

// The unpacked gateway, started like any child of the harness.
class UnpackedGateway : public ChildProcess {
 public:
  using ChildProcess::Spawn;
};

// Exit status of a shell command (output to log).
int Shell(const std::string& cmd, const std::string& log) {
  const int st = std::system((cmd + " >" + log + " 2>&1").c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

// The unpacked configuration with the simulator's device and free ports.
std::string ConfFor(const std::string& packaged, const std::string& uart, uint16_t recv,
                    uint16_t send) {
  std::istringstream in(packaged);
  std::string out = "uart=" + uart + "\n", line;
  while (std::getline(in, line)) {
    if (line.rfind("recvPort=", 0) == 0) line = "recvPort=" + std::to_string(recv);
    if (line.rfind("sendPort=", 0) == 0) line = "sendPort=" + std::to_string(send);
    out += line + "\n";
  }
  return out;
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
  std::string dir_;
};

TEST_F(PackageTest, UnpackedPackageRunsAgainstTheSimulator) {
  const std::string log = dir_ + "/package.log";
  ASSERT_EQ(0, Shell("bash " ORVEL_SOURCE_DIR "/scripts/package.sh \"$(dpkg --print-architecture)\" " + dir_, log))
      << ReadFile(log);
  const std::string root = dir_ + "/root";
  ASSERT_EQ(0, Shell("dpkg-deb -x " + dir_ + "/orvelgateway_*.deb " + root, log)) << ReadFile(log);
  for (const char* f : {"/usr/sbin/OrvelGateway", "/usr/bin/OrvelModuleSim", "/etc/orvelgateway.conf",
                        "/lib/systemd/system/orvelgateway.service",
                        "/usr/share/doc/orvelgateway/copyright", "/usr/share/doc/orvelgateway/changelog.gz",
                        "/usr/share/man/man8/OrvelGateway.8.gz", "/usr/share/man/man5/orvelgateway.conf.5.gz",
                        "/usr/share/man/man1/OrvelModuleSim.1.gz"})
    EXPECT_EQ(0, access((root + f).c_str(), R_OK)) << f;
  const std::string conf = ReadFile(root + "/etc/orvelgateway.conf");
  EXPECT_EQ(std::string::npos, conf.find("uart=")) << conf;
  EXPECT_NE(std::string::npos, conf.find("bindAddress=0.0.0.0\n")) << conf;

  const std::string unit = ReadFile(root + "/lib/systemd/system/orvelgateway.service");
  for (const char* key : {"Type=notify\n", "ExecStart=/usr/sbin/OrvelGateway -c /etc/orvelgateway.conf\n",
                          "ExecReload=/bin/kill -USR1 $MAINPID\n", "Restart=on-failure\n",
                          "NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "ProtectHome=yes\n",
                          "PrivateTmp=yes\n", "SupplementaryGroups=dialout\n"})
    EXPECT_NE(std::string::npos, unit.find(key)) << key;
  if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
    // Verified with its programs pointing into the unpacked root.
    const std::string copy = dir_ + "/orvelgateway.service";
    ASSERT_EQ(0, Shell("cp " + root + "/lib/systemd/system/orvelgateway.service " + copy +
                           " && sed -i 's#=/usr/sbin/#=" + root + "/usr/sbin/#' " + copy,
                       log));
    EXPECT_EQ(0, Shell("systemd-analyze verify --man=no " + copy, log)) << ReadFile(log);
  }

  SimProcess sim;
  ASSERT_TRUE(sim.Start());
  const uint16_t recv = PickFreePort(), send = PickFreePort();
  const std::string confPath = dir_ + "/run.conf";
  std::ofstream(confPath) << ConfFor(conf, sim.SlavePath(), recv, send);
  UnpackedGateway gw;
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
  gw.Signal(SIGTERM);
  int status = -1;
  EXPECT_TRUE(gw.WaitExit(In(5000), &status));
  EXPECT_EQ(0, status) << gw.Output();
}

}  // namespace
}  // namespace e2e
