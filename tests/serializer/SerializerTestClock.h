// A settable clock for the serializer tests, so that documents carry a known
// "gwTimestamp"; installed for each test and removed afterwards.
#pragma once

#include <atomic>
#include <ctime>

#include <gtest/gtest.h>

#include "serializer/tSerializerJson.h"

namespace testclock {

// 2024-02-29T23:59:59 UTC.
constexpr time_t kLeapDaySecond = 1709251199;

inline std::atomic<time_t> g_sec{kLeapDaySecond};
inline std::atomic<long> g_nsec{45812000};

inline int Read(timespec* ts, int base) {
  ts->tv_sec = g_sec.load();
  ts->tv_nsec = g_nsec.load();
  return base;
}

inline void Set(time_t sec, long nsec) {
  g_sec = sec;
  g_nsec = nsec;
}

} // namespace testclock

// Fixture: a serializer with the fixed clock at 23:59:59.045812 on the leap day.
class SerializerTest : public ::testing::Test {
protected:
  void SetUp() override {
    testclock::Set(testclock::kLeapDaySecond, 45812000);
    tSerializerJson::SetClock(testclock::Read);
  }
  void TearDown() override { tSerializerJson::SetClock(nullptr); }

  tSerializerJson json;
};
