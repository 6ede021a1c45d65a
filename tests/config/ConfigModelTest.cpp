// The configuration object: empty state, views, delimiter pair, speed names,
// serializer installation, defaults and the escape routines.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "config/Configuration.h"
#include "config/OvString.h"
#include "serializer/tSerializerJson.h"

namespace {
std::string TakeText(char* text) {
  EXPECT_NE(text, nullptr);
  std::string s = text ? text : "";
  free(text);
  return s;
}
} // namespace

TEST(ConfigModel, EmptyAfterConstruction) {
  tConfiguration c;
  EXPECT_STREQ(MapSpeed(c.getSpeed()), "Unsupported speed");
  EXPECT_EQ(c.getUart(), nullptr);
  EXPECT_EQ(c.getCtsSource(), nullptr);
  EXPECT_EQ(c.getDelimiter(), nullptr);
  EXPECT_EQ(c.getDelimiterFormatted(), nullptr);
  EXPECT_EQ(c.getSerializer(), nullptr);
  EXPECT_EQ(c.getSerializerName(), nullptr);
  EXPECT_EQ(c.getRecvPort(), 0);
  EXPECT_EQ(c.getSendPort(), 0);
  EXPECT_EQ(c.getCtsTimeoutSecs(), 0);
  EXPECT_EQ(c.getGpioPin(), 0);
}

TEST(ConfigModel, MapSpeedNames) {
  EXPECT_STREQ(MapSpeed(0x1001), "B57600");
  EXPECT_STREQ(MapSpeed(0x1002), "B115200");
  EXPECT_STREQ(MapSpeed(0x1003), "B230400");
  EXPECT_STREQ(MapSpeed(0x1004), "Unsupported speed");
  EXPECT_STREQ(MapSpeed(0), "Unsupported speed");
}

TEST(ConfigModel, ViewsReachTheOneObject) {
  tConfiguration c;
  tRecvConfig* recv = &c;
  tSendConfig* send = &c;
  tGpioConfig* gpio = &c;
  tConfigEssentials* essentials = &c;
  tUartConfig* uartOfSend = send;
  recv->setUart("/dev/x");
  EXPECT_STREQ(uartOfSend->getUart(), "/dev/x");
  recv->setRecvPort(3000);
  send->setSendPort(3001);
  send->setCtsTimeoutSecs(9);
  gpio->setGpioPin(-5);
  EXPECT_EQ(c.getRecvPort(), 3000);
  EXPECT_EQ(c.getSendPort(), 3001);
  EXPECT_EQ(c.getCtsTimeoutSecs(), 9);
  EXPECT_EQ(c.getGpioPin(), -5);
  // The delimiter asked through any view is the configuration's own pair.
  essentials->setDelimiter("\\r\\n");
  EXPECT_STREQ(c.getDelimiter(), "\\r\\n");
  EXPECT_STREQ(static_cast<tConfigEssentials*>(recv)->getDelimiterFormatted(), "\r\n");
  EXPECT_EQ(send->getSerializer(), nullptr);
  ASSERT_EQ(SetSerializer("json", recv), 1);
  EXPECT_EQ(send->getSerializer(), c.getSerializer());
}

TEST(ConfigModel, SettersKeepTheirOwnCopies) {
  tConfiguration c;
  char text[] = "/dev/ttyS0";
  c.setUart(text);
  text[0] = 'X';
  EXPECT_STREQ(c.getUart(), "/dev/ttyS0");
  c.setUart(nullptr);
  EXPECT_EQ(c.getUart(), nullptr);
}

TEST(ConfigModel, DelimiterPair) {
  tConfiguration c;
  c.setDelimiter("\\r\\n");
  EXPECT_STREQ(c.getDelimiter(), "\\r\\n");
  EXPECT_EQ(strlen(c.getDelimiterFormatted()), 2u);
  EXPECT_STREQ(c.getDelimiterFormatted(), "\r\n");
  c.setDelimiter("");
  ASSERT_NE(c.getDelimiterFormatted(), nullptr);
  EXPECT_STREQ(c.getDelimiterFormatted(), "");
}

TEST(ConfigModel, StandaloneEssentialsKeepTheirPair) {
  tConfigEssentials e;
  e.setDelimiter("\\t");
  EXPECT_STREQ(e.getDelimiter(), "\\t");
  EXPECT_STREQ(e.getDelimiterFormatted(), "\t");
}

TEST(ConfigModel, SetSerializerByName) {
  tConfiguration c;
  EXPECT_EQ(SetSerializer("JSON", &c), 0);
  EXPECT_EQ(SetSerializer("jso", &c), 0);
  EXPECT_EQ(SetSerializer("", &c), 0);
  EXPECT_EQ(c.getSerializer(), nullptr);
  EXPECT_EQ(SetSerializer("jsonFoo", &c), 1);
  EXPECT_STREQ(c.getSerializerName(), "json");
  ASSERT_NE(c.getSerializer(), nullptr);
  EXPECT_NE(dynamic_cast<tSerializerJson*>(c.getSerializer()), nullptr);
  // A second installation replaces (and releases) the first object.
  EXPECT_EQ(SetSerializer("json", &c), 1);
  EXPECT_STREQ(c.getSerializerName(), "json");
}

TEST(ConfigModel, DefaultUartFallsBack) {
  if (access("/dev/ttyAMA0", F_OK) == 0) GTEST_SKIP() << "this machine has the on-board UART";
  testing::internal::CaptureStdout();
  const char* uart = GetDefaultUart();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(uart, "/dev/ttyUSB1");
}

TEST(ConfigModel, DefaultsApplied) {
  tConfiguration c;
  GetConfigDefault(&c);
  EXPECT_EQ(c.getRecvPort(), 2000);
  EXPECT_EQ(c.getSendPort(), 2001);
  EXPECT_STREQ(c.getUart(), GetDefaultUart());
  EXPECT_EQ(c.getSpeed(), 0x1002u);
  EXPECT_STREQ(c.getSerializerName(), "json");
  EXPECT_NE(c.getSerializer(), nullptr);
  EXPECT_EQ(c.getCtsTimeoutSecs(), 5);
  EXPECT_STREQ(c.getCtsSource(), "ioctl");
  EXPECT_EQ(c.getGpioPin(), 4);
  EXPECT_STREQ(c.getDelimiter(), "\\n");
  EXPECT_STREQ(c.getDelimiterFormatted(), "\n");
}

TEST(ConfigModel, RepeatedDefaultsDoNotLeak) {
  // Run under the leak checker: every replaced text and serializer is freed.
  tConfiguration c;
  for (int i = 0; i < 1000; ++i) GetConfigDefault(&c);
  EXPECT_STREQ(c.getCtsSource(), "ioctl");
}

// ---- Escapes --------------------------------------------------------------------

TEST(OvString, UnEscapeTable) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"\\\"", "\""},   {"\\\\", "\\"},   {"\\a", "\a"},     {"\\b", "\b"},   {"\\f", "\f"},
      {"\\n", "\n"},    {"\\r", "\r"},    {"\\t", "\t"},     {"\\v", "\v"},   {"a\\qb", "a\\qb"},
      {"ab\\", "ab"},   {"\\\\n", "\\n"}, {"\\x41", "\\x41"}, {"\\0", "\\0"},  {"\\'", "\\'"},
      {"\\?", "\\?"},   {"", ""},         {"plain", "plain"}, {"\\", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TakeText(StringUnEscape(c.in)), c.out) << c.in;
    char buf[16];
    StringUnEscapeBuf(c.in, buf);
    EXPECT_STREQ(buf, c.out) << c.in;
  }
  EXPECT_EQ(StringUnEscape(nullptr), nullptr);
}

TEST(OvString, EscapeTheNineBytes) {
  EXPECT_EQ(TakeText(StringEscape("\a\b\t\n\v\f\r\"\\")), "\\a\\b\\t\\n\\v\\f\\r\\\"\\\\");
  EXPECT_EQ(TakeText(StringEscape("x\x01'?")), "x\x01'?");
  // The largest result fits the documented buffer size.
  char buf[2 * 3 + 1];
  StringEscapeBuf("\n\n\n", buf);
  EXPECT_STREQ(buf, "\\n\\n\\n");
}

TEST(OvString, EscapeThenUnEscapeRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string escaped = TakeText(StringEscape(all.c_str()));
  EXPECT_EQ(TakeText(StringUnEscape(escaped.c_str())), all);
}
