// "gwTimestamp" past January 2038: a 32-bit time_t (the board's default)
// would wrap to 1901. The seconds are written as time_t{...}, so a build
// with a 32-bit time_t does not even compile.
#include <cstdlib>

#include "SerializerTestClock.h"

TEST_F(SerializerTest, TimestampsAfter2038) {
  struct {
    time_t sec;
    const char* stamp;
  } cases[] = {{time_t{2147483647}, "2038-01-19T03:14:07.045Z"},
               {time_t{2147483648}, "2038-01-19T03:14:08.045Z"},
               {time_t{2214131696}, "2040-02-29T12:34:56.045Z"}};
  OvApiWesStatus s{0};
  for (const auto& c : cases) {
    testclock::Set(c.sec, 45812000);
    char* text = json.Serialize(&s);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string("{\"objectType\":\"wesStatus\",\"gwTimestamp\":\"") +
                                     c.stamp + "\",\"status\":0}");
    free(text);
  }
}
