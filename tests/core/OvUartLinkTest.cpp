// The reopen pacing of a serial device that went away, and its two log lines
// shared by the tasks, on a real pty and a path that does not exist.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core/OvClosers.h"
#include "core/OvUartLink.h"

namespace {

class UartLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    path_ = ptsname(master_);
  }
  void TearDown() override { FdClose(&master_); }
  // Makes the next attempt due now instead of in a second.
  static void Due(tUartLink* link) { link->nextTryMs = 0; }
  int master_ = -1;
  std::string path_;
};

TEST(UartLinkGone, OnlyAVanishedDeviceCountsAsGone) {
  const struct {
    int err;
    int gone;
  } cases[] = {{EIO, 1},    {ENXIO, 1},  {ENODEV, 1}, {EPIPE, 1},  {ESHUTDOWN, 1},
               {EINTR, 0},  {EAGAIN, 0}, {ENOTTY, 0}, {EINVAL, 0}, {EBADF, 0}};
  for (const auto& c : cases) EXPECT_EQ(c.gone, UartLinkIsGone(c.err) != 0) << c.err;
}

TEST_F(UartLinkTest, ReopensAtMostOnceASecondAndLogsLossAndReturnOnce) {
  tUartLink link;
  UartLinkInit(&link, path_.c_str(), B57600, 250, UART_LINK_CTS);
  EXPECT_EQ(0, UartLinkIsLost(&link));
  int fd = -1;
  EXPECT_NE(0, UartLinkReopen(&link, &fd));  // not lost: nothing to do
  EXPECT_EQ(-1, fd);

  testing::internal::CaptureStdout();
  UartLinkLost(&link, EIO);
  UartLinkLost(&link, EIO);  // repeated: no second line
  EXPECT_NE(0, UartLinkIsLost(&link));
  const int wait = UartLinkRetryInMs(&link);
  EXPECT_GT(wait, 900);
  EXPECT_LE(wait, 1000);
  EXPECT_EQ(0, UartLinkReopen(&link, &fd));  // not due yet: no attempt
  Due(&link);
  EXPECT_NE(0, UartLinkReopen(&link, &fd));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("Serial device " + path_ + " lost: errno=5 (" + strerror(EIO) +
                "); opening it again every second\nSerial device " + path_ + " is back\n",
            out);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, UartLinkIsLost(&link));
  EXPECT_EQ(0, UartLinkRetryInMs(&link));
  // Opened as at start: configured at the link's speed.
  termios t{};
  ASSERT_EQ(0, tcgetattr(fd, &t));
  EXPECT_EQ(static_cast<speed_t>(B57600), cfgetospeed(&t));
  FdClose(&fd);
}

TEST_F(UartLinkTest, AFailedAttemptWaitsAnotherSecond) {
  tUartLink link;
  UartLinkInit(&link, "/nonexistent/tty", 0, 0, UART_LINK_RECV);
  testing::internal::CaptureStdout();
  UartLinkLost(&link, ENODEV);
  Due(&link);
  int fd = -1;
  EXPECT_EQ(0, UartLinkReopen(&link, &fd));
  EXPECT_EQ(-1, fd);
  EXPECT_GT(UartLinkRetryInMs(&link), 900);
  EXPECT_NE(0, UartLinkIsLost(&link));
  // The task stops while the device is gone; its next start, with the device
  // open, ends the loss.
  UartLinkInit(&link, path_.c_str(), 0, 0, UART_LINK_RECV);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find(" lost: errno=19 (")) << out;
  EXPECT_NE(std::string::npos, out.find("Serial device " + path_ + " is back\n")) << out;
}

TEST_F(UartLinkTest, TwoTasksShareOneLostLineAndTheLastOneBackLogsTheReturn) {
  tUartLink recv, send;
  UartLinkInit(&recv, path_.c_str(), 0, 0, UART_LINK_RECV);
  UartLinkInit(&send, path_.c_str(), 0, 0, UART_LINK_SEND);
  testing::internal::CaptureStdout();
  UartLinkLost(&recv, EIO);
  UartLinkLost(&send, EIO);
  int a = -1, b = -1;
  Due(&recv);
  ASSERT_NE(0, UartLinkReopen(&recv, &a));
  const std::string half = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, half.find(" lost: "));
  EXPECT_EQ(std::string::npos, half.find(" is back")) << "the send task is still without it";
  testing::internal::CaptureStdout();
  Due(&send);
  ASSERT_NE(0, UartLinkReopen(&send, &b));
  EXPECT_EQ("Serial device " + path_ + " is back\n", testing::internal::GetCapturedStdout());
  FdClose(&a);
  FdClose(&b);
}

}  // namespace
