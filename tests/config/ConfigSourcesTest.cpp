// The configuration sources: the command line, entries and their messages,
// files and pairs, and the printed configuration.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/Configuration.h"
#include "core/OvPrintErr.h"

namespace {

// A temporary file with the given content, removed at the end of the test.
class TempFile {
public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/ovconfig-test-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path = name;
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
  std::string path;
};

int RunGetConfig(std::vector<std::string> args, tConfiguration* config) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return GetConfig(static_cast<int>(args.size()), argv.data(), config);
}

std::string Printed(tConfiguration* config) {
  testing::internal::CaptureStdout();
  PrintConfig(config);
  return testing::internal::GetCapturedStdout();
}

const char* kFullFile = "uart=/dev/ttyS3\nspeed=B57600\nrecvPort=4000\nsendPort=4001\n"
                        "ctsTimeoutSecs=7\nctsSource=gpio\nserializer=json\ngpioPin=17\n"
                        "delimiter=\\r\\n";

} // namespace

// ---- Entries, table-driven ---------------------------------------------------------

TEST(ConfigEntry, KeysValuesAndMessages) {
  struct Case {
    const char* entry;
    const char* error; // null: success
    std::string (*read)(tConfiguration&);
    const char* value; // what `read` gives after the entry
  };
  auto uart = [](tConfiguration& c) { return std::string(c.getUart() ? c.getUart() : "<null>"); };
  auto speed = [](tConfiguration& c) { return std::string(MapSpeed(c.getSpeed())); };
  auto recv = [](tConfiguration& c) { return std::to_string(c.getRecvPort()); };
  auto send = [](tConfiguration& c) { return std::to_string(c.getSendPort()); };
  auto timeout = [](tConfiguration& c) { return std::to_string(c.getCtsTimeoutSecs()); };
  auto cts = [](tConfiguration& c) { return std::string(c.getCtsSource() ? c.getCtsSource() : "<null>"); };
  auto ser = [](tConfiguration& c) {
    return std::string(c.getSerializerName() ? c.getSerializerName() : "<null>");
  };
  auto pin = [](tConfiguration& c) { return std::to_string(c.getGpioPin()); };
  auto delim = [](tConfiguration& c) {
    return std::string(c.getDelimiterFormatted() ? c.getDelimiterFormatted() : "<null>");
  };
  auto queue = [](tConfiguration& c) { return std::to_string(c.getClientQueueKiB()); };
  auto logDocs = [](tConfiguration& c) { return std::to_string(c.getLogDocuments()); };
  auto strict = [](tConfiguration& c) { return std::to_string(c.getStrictCommands()); };
  auto bind = [](tConfiguration& c) { return std::string(c.getBindAddress()); };
  const Case cases[] = {
      {"uart=/dev/ttyS0", nullptr, uart, "/dev/ttyS0"},
      {"uart=/dev/ttyS0\n", nullptr, uart, "/dev/ttyS0"},
      {"uart=/dev/ttyS0\r\n", nullptr, uart, "/dev/ttyS0\r"},
      {"uart=/dev/a\n\n", nullptr, uart, "/dev/a\n"},
      {"=/dev/empty", nullptr, uart, "/dev/empty"},
      {"u=/dev/u", nullptr, uart, "/dev/u"},
      {"uartX=/dev/u", "Invalid config: uartX=/dev/u", uart, "<null>"},
      {"uart =/dev/u", "Invalid config: uart =/dev/u", uart, "<null>"},
      {"uart", "Invalid config: uart", uart, "<null>"},
      {"speed=B230400", nullptr, speed, "B230400"},
      {"speed=B57600", nullptr, speed, "B57600"},
      {"s=B1152000", nullptr, speed, "B115200"},
      {"speed=B9600", "Invalid speed B9600", speed, "Unsupported speed"},
      {"speed=b115200\n", "Invalid speed b115200\n", speed, "Unsupported speed"},
      {"recvPort=3000", nullptr, recv, "3000"},
      {"r=70000", nullptr, recv, "4464"},
      {"recvPort=-1", nullptr, recv, "65535"},
      {"recvPort= +12abc", nullptr, recv, "12"},
      {"recvPort=abc", nullptr, recv, "0"},
      {"se=2500", nullptr, send, "2500"},
      {"sendPort=65536", nullptr, send, "0"},
      {"c=12", nullptr, timeout, "12"},
      {"ctsTimeoutSecs=65541", nullptr, timeout, "5"},
      {"ctsSource=gpio\n", nullptr, cts, "gpio"},
      {"ctsS=ioctlish", nullptr, cts, "ioctlish"},
      {"cts=gpio", nullptr, timeout, "0"},
      {"ctsSource=uart\n", "Invalid ctsSource: uart\n", cts, "<null>"},
      {"ser=jsonx", nullptr, ser, "json"},
      {"serializer=xml", "Invalid serializer: xml", ser, "<null>"},
      {"serializer=JSON", "Invalid serializer: JSON", ser, "<null>"},
      {"gpioPin=-3", nullptr, pin, "-3"},
      {"g=2147483647", nullptr, pin, "2147483647"},
      {"delimiter=\\r\\n\n", nullptr, delim, "\r\n"},
      {"d=", nullptr, delim, ""},
      {"delimiter=a,b", nullptr, delim, "a,b"},
      // The later keys start at their defaults and are checked strictly.
      {"clientQueueKiB=0", nullptr, queue, "0"},
      {"cl=1048576\n", nullptr, queue, "1048576"},
      {"clientQueueKiB=1048577", "Invalid clientQueueKiB: 1048577", queue, "1024"},
      {"clientQueueKiB=-1", "Invalid clientQueueKiB: -1", queue, "1024"},
      {"clientQueueKiB=12k", "Invalid clientQueueKiB: 12k", queue, "1024"},
      {"clientQueueKiB=", "Invalid clientQueueKiB: ", queue, "1024"},
      {"c=3", nullptr, queue, "1024"},
      {"l=0", nullptr, logDocs, "0"},
      {"logDocuments=2", "Invalid logDocuments: 2", logDocs, "1"},
      {"st=1\n", nullptr, strict, "1"},
      {"strictCommands=yes", "Invalid strictCommands: yes", strict, "0"},
      {"b=127.0.0.1\n", nullptr, bind, "127.0.0.1"},
      {"bindAddress=localhost", "Invalid bindAddress: localhost", bind, "0.0.0.0"},
      {"bindAddress=1.2.3.256", "Invalid bindAddress: 1.2.3.256", bind, "0.0.0.0"},
      {"bindAddress=::1", "Invalid bindAddress: ::1", bind, "0.0.0.0"},
      {"bogus=1", "Invalid config: bogus=1", uart, "<null>"},
      {"#uart=x", "Invalid config: #uart=x", uart, "<null>"},
      {"", "Invalid config: ", uart, "<null>"},
      {"\n", "Invalid config: \n", uart, "<null>"},
  };
  for (const Case& c : cases) {
    tConfiguration config;
    g_error[0] = '\0';
    int ok = GetConfigEntry(c.entry, &config);
    if (c.error) {
      EXPECT_EQ(ok, 0) << c.entry;
      EXPECT_STREQ(g_error, c.error) << c.entry;
    } else {
      EXPECT_NE(ok, 0) << c.entry << ": " << g_error;
    }
    EXPECT_EQ(c.read(config), c.value) << c.entry;
  }
}

TEST(ConfigEntry, SpeedAndCtsSourceChecks) {
  tConfiguration c;
  g_error[0] = '\0';
  EXPECT_EQ(SetSpeed("B9600", &c), 0);
  EXPECT_EQ(SetCtsSource("serial", &c), 0);
  EXPECT_STREQ(g_error, "");
  EXPECT_EQ(SetSpeed("B230400x", &c), 1);
  EXPECT_EQ(c.getSpeed(), 0x1003u);
  EXPECT_EQ(SetCtsSource("gpioX", &c), 1);
  EXPECT_STREQ(c.getCtsSource(), "gpioX");
}

TEST(ConfigEntry, LastOfTwoValuesWins) {
  tConfiguration c;
  EXPECT_EQ(GetConfigFromArgs("recvPort=1,recvPort=2", &c), 1);
  EXPECT_EQ(c.getRecvPort(), 2);
}

// ---- Command line ---------------------------------------------------------------------

TEST(ConfigCommandLine, NoArgumentsGivesDefaults) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw"}, &c), 1);
  EXPECT_EQ(c.getRecvPort(), 2000);
  EXPECT_STREQ(c.getCtsSource(), "ioctl");
}

TEST(ConfigCommandLine, ArgumentCountAndOption) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-c"}, &c), 0);
  EXPECT_STREQ(g_error, "Incorrect number of arguments");
  EXPECT_EQ(RunGetConfig({"gw", "-C", "a=1", "b"}, &c), 0);
  EXPECT_STREQ(g_error, "Incorrect number of arguments");
  EXPECT_EQ(RunGetConfig({"gw", "-x", "value"}, &c), 0);
  EXPECT_STREQ(g_error, "Invalid argument: -x");
  EXPECT_EQ(RunGetConfig({"gw", "-cc", "value"}, &c), 0);
  EXPECT_STREQ(g_error, "Invalid argument: -cc");
}

TEST(ConfigCommandLine, PairsOverDefaults) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-C", "speed=B230400,recvPort=3000"}, &c), 1);
  EXPECT_EQ(c.getSpeed(), 0x1003u);
  EXPECT_EQ(c.getRecvPort(), 3000);
  EXPECT_EQ(c.getSendPort(), 2001);
  EXPECT_EQ(c.getCtsTimeoutSecs(), 5);
  EXPECT_STREQ(c.getCtsSource(), "ioctl");
  EXPECT_EQ(c.getGpioPin(), 4);
  EXPECT_STREQ(c.getDelimiterFormatted(), "\n");
  EXPECT_STREQ(c.getSerializerName(), "json");
}

TEST(ConfigCommandLine, TrailingCommaFailsAfterApplyingTheRest) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-C", "recvPort=3000,"}, &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: ");
  EXPECT_EQ(c.getRecvPort(), 3000);
  EXPECT_EQ(GetConfigFromArgs("recvPort=1,,sendPort=2", &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: ");
  EXPECT_EQ(c.getRecvPort(), 1);
  EXPECT_EQ(c.getSendPort(), 2001);
}

TEST(ConfigCommandLine, BadSpeedNamesTheValue) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-C", "uart=/dev/ttyS0,speed=B9600"}, &c), 0);
  EXPECT_STREQ(g_error, "Invalid speed B9600");
  EXPECT_STREQ(c.getUart(), "/dev/ttyS0");
}

TEST(ConfigCommandLine, EscapedDelimiterIsPrintedAsWritten) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-C", "delimiter=\\r\\n"}, &c), 1);
  EXPECT_STREQ(c.getDelimiterFormatted(), "\r\n");
  std::string out = Printed(&c);
  EXPECT_NE(out.find("\ndelimiter=\\r\\n\n"), std::string::npos) << out;
}

// ---- Files ---------------------------------------------------------------------------

TEST(ConfigFile, FullFileWithAndWithoutFinalLineFeed) {
  for (std::string content : {std::string(kFullFile), std::string(kFullFile) + "\n"}) {
    TempFile f(content);
    tConfiguration c;
    ASSERT_EQ(RunGetConfig({"gw", "-c", f.path}, &c), 1) << g_error;
    EXPECT_STREQ(c.getUart(), "/dev/ttyS3");
    EXPECT_EQ(c.getSpeed(), 0x1001u);
    EXPECT_EQ(c.getRecvPort(), 4000);
    EXPECT_EQ(c.getSendPort(), 4001);
    EXPECT_EQ(c.getCtsTimeoutSecs(), 7);
    EXPECT_STREQ(c.getCtsSource(), "gpio");
    EXPECT_STREQ(c.getSerializerName(), "json");
    EXPECT_EQ(c.getGpioPin(), 17);
    EXPECT_STREQ(c.getDelimiterFormatted(), "\r\n");
  }
}

TEST(ConfigFile, BlankLastLineFails) {
  TempFile f(std::string(kFullFile) + "\n\n");
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-c", f.path}, &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: \n");
  EXPECT_EQ(c.getGpioPin(), 17); // lines before the failure stay applied
}

TEST(ConfigFile, CommentLineFailsAndStopsReading) {
  TempFile f("recvPort=1\n# note\nsendPort=2\n");
  tConfiguration c;
  EXPECT_EQ(GetConfigFromFile(f.path.c_str(), &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: # note\n");
  EXPECT_EQ(c.getRecvPort(), 1);
  EXPECT_EQ(c.getSendPort(), 0);
}

TEST(ConfigFile, ValueMessagesIncludeTheLineFeed) {
  TempFile f("speed=B9600\n");
  tConfiguration c;
  EXPECT_EQ(GetConfigFromFile(f.path.c_str(), &c), 0);
  EXPECT_STREQ(g_error, "Invalid speed B9600\n");
}

TEST(ConfigFile, CarriageReturnsStayInTextValues) {
  TempFile f("uart=/dev/ttyS3\r\nctsSource=gpio\r\ndelimiter=\\n\r\nrecvPort=10\r\n");
  tConfiguration c;
  ASSERT_EQ(RunGetConfig({"gw", "-c", f.path}, &c), 1) << g_error;
  EXPECT_STREQ(c.getUart(), "/dev/ttyS3\r");
  EXPECT_STREQ(c.getCtsSource(), "gpio\r");
  EXPECT_STREQ(c.getDelimiterFormatted(), "\n\r");
  EXPECT_EQ(c.getRecvPort(), 10);
  // The later keys, left out of a short file, keep their defaults.
  EXPECT_EQ(c.getClientQueueKiB(), 1024u);
  EXPECT_EQ(c.getLogDocuments(), 1);
  EXPECT_EQ(c.getStrictCommands(), 0);
  EXPECT_STREQ(c.getBindAddress(), "0.0.0.0");
}

TEST(ConfigFile, UnopenableFileNamesPathAndErrno) {
  tConfiguration c;
  EXPECT_EQ(RunGetConfig({"gw", "-c", "/nonexistent/ov.conf"}, &c), 0);
  EXPECT_STREQ(g_error, "Failed to open config: /nonexistent/ov.conf errno=2 (No such file or directory)");
}

TEST(ConfigFile, LongLinesAreReadInPieces) {
  // 5 + 4090 characters fill one 4095-byte piece; the rest is a second entry.
  std::string content = "uart=" + std::string(4090, 'a') + "bbb\n";
  TempFile f(content);
  tConfiguration c;
  EXPECT_EQ(GetConfigFromFile(f.path.c_str(), &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: bbb\n");
  ASSERT_NE(c.getUart(), nullptr);
  EXPECT_EQ(std::string(c.getUart()), std::string(4090, 'a'));
  // Exactly 4095 bytes of text and its line feed: the line feed is a piece.
  TempFile g("uart=" + std::string(4090, 'c') + "\n");
  EXPECT_EQ(GetConfigFromFile(g.path.c_str(), &c), 0);
  EXPECT_STREQ(g_error, "Invalid config: \n");
  TempFile h("uart=" + std::string(4089, 'd') + "\n");
  EXPECT_EQ(GetConfigFromFile(h.path.c_str(), &c), 1);
  EXPECT_EQ(std::string(c.getUart()), std::string(4089, 'd'));
}

TEST(ConfigFile, MissingTextKeysTakeDefaultsAtFirstLoad) {
  TempFile f("recvPort=5000\n");
  tConfiguration c;
  ASSERT_EQ(RunGetConfig({"gw", "-c", f.path}, &c), 1) << g_error;
  EXPECT_EQ(c.getRecvPort(), 5000);
  EXPECT_STREQ(c.getUart(), GetDefaultUart());
  EXPECT_STREQ(c.getCtsSource(), "ioctl");
  EXPECT_STREQ(c.getSerializerName(), "json");
  EXPECT_NE(c.getSerializer(), nullptr);
  EXPECT_STREQ(c.getDelimiterFormatted(), "\n");
  // Numbers are not defaulted: the file is what sets them.
  EXPECT_EQ(c.getSendPort(), 0);
  EXPECT_EQ(c.getSpeed(), 0u);
}

TEST(ConfigFile, ReloadKeepsPreviousValuesOfLeftOutKeys) {
  tConfiguration c;
  {
    TempFile full(kFullFile);
    ASSERT_EQ(RunGetConfig({"gw", "-c", full.path}, &c), 1);
  }
  TempFile part("recvPort=6000\n");
  ASSERT_EQ(RunGetConfig({"gw", "-c", part.path}, &c), 1);
  EXPECT_EQ(c.getRecvPort(), 6000);
  EXPECT_STREQ(c.getUart(), "/dev/ttyS3");
  EXPECT_STREQ(c.getCtsSource(), "gpio");
  EXPECT_STREQ(c.getDelimiter(), "\\r\\n");
}

TEST(ConfigFile, ThousandReloadsReleaseWhatTheyReplace) {
  // Run under the leak checker: each reload replaces every text and the
  // serializer object.
  TempFile f(kFullFile);
  tConfiguration c;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(RunGetConfig({"gw", "-c", f.path}, &c), 1);
    ASSERT_EQ(RunGetConfig({"gw", "-C", "uart=/dev/x,ctsSource=gpio,delimiter=\\t"}, &c), 1);
  }
  EXPECT_STREQ(c.getDelimiterFormatted(), "\t");
}

// ---- Printing ---------------------------------------------------------------------------

TEST(ConfigPrint, DefaultsPrintNineLinesThenTheLaterKeys) {
  tConfiguration c;
  GetConfigDefault(&c);
  c.setUart("/dev/ttyAMA0");
  EXPECT_EQ(Printed(&c),
            "uart=/dev/ttyAMA0\nspeed=B115200\nrecvPort=2000\nsendPort=2001\nserializer=json\n"
            "ctsTimeoutSecs=5\nctsSource=ioctl\ngpioPin=4\ndelimiter=\\n\n"
            "clientQueueKiB=1024\nlogDocuments=1\nstrictCommands=0\nbindAddress=0.0.0.0\n");
}

TEST(ConfigPrint, EmptyConfigurationPrintsWithoutCrashing) {
  tConfiguration c;
  c.setGpioPin(-1);
  EXPECT_EQ(Printed(&c), "uart=\nspeed=Unsupported speed\nrecvPort=0\nsendPort=0\nserializer=\n"
                         "ctsTimeoutSecs=0\nctsSource=\ngpioPin=-1\ndelimiter=\n"
                         "clientQueueKiB=1024\nlogDocuments=1\nstrictCommands=0\n"
                         "bindAddress=0.0.0.0\n");
}
