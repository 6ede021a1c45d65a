// The main thread's wake-up pipe: posts from a handler or another thread
// arrive in order, and an empty pipe times out instead of blocking.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "core/OvWake.h"

namespace {

TEST(OvWake, PostedBytesArriveInOrderAndEmptyPipeTimesOut) {
  ASSERT_NE(0, WakeInit());
  ASSERT_NE(0, WakeInit());  // a second call keeps the same pipe
  unsigned char reason = 0;
  EXPECT_EQ(0, WakeWait(&reason, 0));
  WakePost(SIGUSR1);
  std::thread other([] { WakePost(WAKE_FATAL); });
  other.join();
  ASSERT_EQ(1, WakeWait(&reason, 1000));
  EXPECT_EQ(SIGUSR1, reason);
  ASSERT_EQ(1, WakeWait(&reason, 1000));
  EXPECT_EQ(WAKE_FATAL, reason);
  EXPECT_EQ(0, WakeWait(&reason, 10));
}

void PostFromHandler(int sig) { WakePost(static_cast<unsigned char>(sig)); }

TEST(OvWake, HandlerPostWakesTheWaiter) {
  ASSERT_NE(0, WakeInit());
  auto previous = signal(SIGUSR2, PostFromHandler);
  raise(SIGUSR2);
  unsigned char reason = 0;
  ASSERT_EQ(1, WakeWait(&reason, 1000));
  EXPECT_EQ(SIGUSR2, reason);
  signal(SIGUSR2, previous);
}

}  // namespace
