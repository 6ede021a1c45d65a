// CTS monitor init and the sysfs GPIO functions over a scratch directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "config/Configuration.h"
#include "core/OvPrintErr.h"
#include "cts/CtsTask.h"
#include "cts/CtsTaskGpio.h"
#include "cts/CtsTaskIoctl.h"
#include "cts/Gpio.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class GpioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ovgpioXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    GpioSetRoot(root_.c_str());
  }
  void TearDown() override {
    GpioSetRoot("/sys/class/gpio");
    std::string cmd = "rm -rf " + root_;
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  void Touch(const std::string& rel) { std::ofstream(root_ + "/" + rel).flush(); }
  std::string root_;
};

TEST_F(GpioTest, PreparesPinWithoutLineEnds) {
  Touch("unexport");
  Touch("export");
  ASSERT_EQ(0, mkdir((root_ + "/gpio17").c_str(), 0755));
  Touch("gpio17/direction");
  Touch("gpio17/edge");
  Touch("gpio17/value");
  EXPECT_EQ(nullptr, GpioUnExport(17));
  EXPECT_EQ(nullptr, GpioExport(17));
  EXPECT_EQ(nullptr, GpioDirection(17, "in"));
  EXPECT_EQ(nullptr, GpioTriggerMode(17, "falling"));
  int fd = -1;
  EXPECT_EQ(nullptr, GpioOpenValue(17, &fd));
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_EQ("17", ReadFile(root_ + "/export"));
  EXPECT_EQ("in", ReadFile(root_ + "/gpio17/direction"));
  EXPECT_EQ("falling", ReadFile(root_ + "/gpio17/edge"));
}

TEST_F(GpioTest, MissingFilesReportTheirPaths) {
  const char* failure = GpioUnExport(4);
  ASSERT_TRUE(failure == g_error);
  EXPECT_EQ(0, std::string(failure).rfind("Failed to open: " + root_ + "/unexport. errno=", 0))
      << failure;
  int fd = 0;
  EXPECT_TRUE(GpioOpenValue(4, &fd) == g_error);
  EXPECT_LT(fd, 0);
  EXPECT_EQ(0, std::string(g_error).rfind("Failed to open: " + root_ + "/gpio4/value", 0));
}

class CtsInitTest : public ::testing::Test {
 protected:
  void SetUp() override { GetConfigDefault(&config_); }
  void TearDown() override { CtsTaskCloseDescriptors(); }
  tConfiguration config_;
};

TEST_F(CtsInitTest, SourceIsCaseSensitive) {
  config_.setCtsSource("GPIO");
  EXPECT_EQ(0, CtsTaskInit(&config_));
  EXPECT_STREQ("Invalid ctsSource: GPIO", g_error);
}

TEST_F(CtsInitTest, GpioModeOpensNothingAtInit) {
  config_.setCtsSource("gpio");
  EXPECT_NE(0, CtsTaskInit(&config_));
  EXPECT_EQ(&CtsMainGpio, g_cts.mainLoop);
  EXPECT_EQ(-1, g_cts.uartFd.load());
  EXPECT_EQ(-1, g_cts.valueFd.load());
}

TEST_F(CtsInitTest, IoctlModeOpensTheUart) {
  config_.setCtsSource("ioctl");
  config_.setUart("/dev/null");
  EXPECT_NE(0, CtsTaskInit(&config_));
  EXPECT_EQ(&CtsMainIoctl, g_cts.mainLoop);
  EXPECT_GE(g_cts.uartFd.load(), 0);
  // /dev/null has no modem lines: the loop ends at once and the thread
  // closes its descriptor on the way out.
  CtsTaskRun(nullptr);
  EXPECT_EQ(-1, g_cts.uartFd.load());
}

TEST_F(CtsInitTest, IoctlModeReportsUnopenableUart) {
  config_.setCtsSource("ioctl");
  config_.setUart("/nonexistent/tty");
  EXPECT_EQ(0, CtsTaskInit(&config_));
  EXPECT_EQ(0, std::string(g_error).rfind("CtsTask failed to open UART. errno=", 0)) << g_error;
}

// A stop that comes before the thread runs its loop: the thread ends at once
// and still closes its descriptor.
TEST_F(CtsInitTest, StopBeforeTheLoopEndsTheThreadAtOnce) {
  config_.setCtsSource("ioctl");
  config_.setUart("/dev/null");
  ASSERT_NE(0, CtsTaskInit(&config_));
  EXPECT_NE(0, CtsTaskShutdown());  // no thread yet: nothing to interrupt
  EXPECT_TRUE(CtsTaskStopping());
  CtsTaskRun(nullptr);
  EXPECT_EQ(-1, g_cts.uartFd.load());
  EXPECT_EQ(0, g_cts.running.load());
  ASSERT_NE(0, CtsTaskInit(&config_));  // a new run starts unstopped
  EXPECT_FALSE(CtsTaskStopping());
}

// The thread sits in a wait that only a signal ends (poll on a pipe nobody
// writes, as the gpio loop waits on a value file); shutdown must end it.
TEST_F(CtsInitTest, ShutdownInterruptsAWaitThatOnlyASignalEnds) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  static int s_read = -1;
  s_read = fds[0];
  config_.setCtsSource("gpio");
  ASSERT_NE(0, CtsTaskInit(&config_));
  g_cts.mainLoop = [] {
    while (!CtsTaskStopping()) {
      pollfd p{s_read, POLLIN, 0};
      poll(&p, 1, -1);
    }
  };
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, CtsTaskRun, nullptr));
  for (int i = 0; i < 5000 && g_cts.running.load() == 0; ++i) usleep(1000);
  ASSERT_EQ(1, g_cts.running.load());
  EXPECT_NE(0, CtsTaskShutdown());
  EXPECT_EQ(0, pthread_join(thread, nullptr));
  EXPECT_EQ(0, g_cts.running.load());
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
