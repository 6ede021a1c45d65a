// The configuration object, its defaults, and the sources that fill it: the
// command line, a key=value file and key=value pairs.
#include "config/Configuration.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>

#include <arpa/inet.h>

#include "config/OvString.h"
#include "core/OvClosers.h"
#include "core/OvPrintErr.h"
#include "core/OvUart.h"

// ---- The object -------------------------------------------------------------

tConfiguration::~tConfiguration() {
  Free(&uart);
  Free(&ctsSource);
  Free(&delimiter);
  Free(&delimiterFormatted);
  Free(&bindAddress);
}

const char* tConfiguration::getUart() { return uart; }
void tConfiguration::setUart(const char* text) { ConfigReplaceText(&uart, text); }
unsigned int tConfiguration::getSpeed() { return speed; }
void tConfiguration::setSpeed(unsigned int code) { speed = code; }
const char* tConfiguration::getCtsSource() { return ctsSource; }
void tConfiguration::setCtsSource(const char* text) { ConfigReplaceText(&ctsSource, text); }
unsigned short tConfiguration::getRecvPort() { return recvPort; }
void tConfiguration::setRecvPort(unsigned short port) { recvPort = port; }
unsigned short tConfiguration::getSendPort() { return sendPort; }
void tConfiguration::setSendPort(unsigned short port) { sendPort = port; }
unsigned short tConfiguration::getCtsTimeoutSecs() { return ctsTimeoutSecs; }
void tConfiguration::setCtsTimeoutSecs(unsigned short secs) { ctsTimeoutSecs = secs; }
int tConfiguration::getGpioPin() { return gpioPin; }
void tConfiguration::setGpioPin(int pin) { gpioPin = pin; }
const char* tConfiguration::getDelimiter() { return delimiter; }
const char* tConfiguration::getDelimiterFormatted() { return delimiterFormatted; }
unsigned int tConfiguration::getClientQueueKiB() { return clientQueueKiB; }
void tConfiguration::setClientQueueKiB(unsigned int kib) { clientQueueKiB = kib; }
int tConfiguration::getLogDocuments() { return logDocuments; }
void tConfiguration::setLogDocuments(int on) { logDocuments = on; }
int tConfiguration::getStrictCommands() { return strictCommands; }
void tConfiguration::setStrictCommands(int on) { strictCommands = on; }
const char* tConfiguration::getBindAddress() { return bindAddress ? bindAddress : "0.0.0.0"; }
void tConfiguration::setBindAddress(const char* text) { ConfigReplaceText(&bindAddress, text); }

void tConfiguration::setDelimiter(const char* text) {
  ConfigReplaceText(&delimiter, text);
  Free(&delimiterFormatted);
  delimiterFormatted = StringUnEscape(delimiter);
}

// ---- Defaults and speed names -------------------------------------------------

namespace {

constexpr const char* kDefaultCtsSource = "ioctl";
constexpr const char* kDefaultDelimiter = "\\n";
constexpr const char* kDefaultBindAddress = "0.0.0.0";
constexpr unsigned int kDefaultClientQueueKiB = 1024;
constexpr unsigned long kMaxClientQueueKiB = 1024 * 1024;

struct tSpeedName {
  const char* name;
  unsigned int code;
};
constexpr tSpeedName kSpeeds[] = {
    {"B57600", OV_SPEED_57600}, {"B115200", OV_SPEED_115200}, {"B230400", OV_SPEED_230400}};

bool StartsWith(const char* text, const char* word) {
  return strncmp(text, word, strlen(word)) == 0;
}

} // namespace

const char* GetDefaultUart() {
  int fd = -1;
  if (!UartOpen("/dev/ttyAMA0", &fd)) return "/dev/ttyUSB1";
  FdClose(&fd);
  return "/dev/ttyAMA0";
}

void GetConfigDefault(tConfiguration* config) {
  config->setRecvPort(2000);
  config->setSendPort(2001);
  config->setUart(GetDefaultUart());
  config->setSpeed(OV_SPEED_115200);
  SetSerializer("json", config);
  config->setCtsTimeoutSecs(5);
  config->setCtsSource(kDefaultCtsSource);
  config->setGpioPin(4);
  config->setDelimiter(kDefaultDelimiter);
  config->setClientQueueKiB(kDefaultClientQueueKiB);
  config->setLogDocuments(1);
  config->setStrictCommands(0);
  config->setBindAddress(kDefaultBindAddress);
}

namespace {
bool SameText(const char* a, const char* b) {
  return (a == nullptr || b == nullptr) ? a == b : strcmp(a, b) == 0;
}
}  // namespace

int ConfigApplyReload(tConfiguration* old, tConfiguration* next,
                      unsigned short (tConfiguration::*port)(), int (*rebind)(tConfiguration*),
                      int (*reopen)(tConfiguration*)) {
  bool portChanged = (old->*port)() != (next->*port)() ||
                     !SameText(old->getBindAddress(), next->getBindAddress());
  if (portChanged && !rebind(next)) {
    return 0;
  }
  bool uartChanged = old->getSpeed() != next->getSpeed() || !SameText(old->getUart(), next->getUart());
  return !uartChanged || reopen(next);
}

void ConfigCopy(tConfiguration* from, tConfiguration* to) {
  to->setUart(from->getUart());
  to->setSpeed(from->getSpeed());
  to->setRecvPort(from->getRecvPort());
  to->setSendPort(from->getSendPort());
  to->setCtsTimeoutSecs(from->getCtsTimeoutSecs());
  to->setCtsSource(from->getCtsSource());
  to->setGpioPin(from->getGpioPin());
  to->setDelimiter(from->getDelimiter());
  to->setClientQueueKiB(from->getClientQueueKiB());
  to->setLogDocuments(from->getLogDocuments());
  to->setStrictCommands(from->getStrictCommands());
  to->setBindAddress(from->getBindAddress());
  if (from->getSerializerName() != nullptr) {
    SetSerializer(from->getSerializerName(), to);
  }
}

const char* MapSpeed(unsigned int code) {
  for (const tSpeedName& s : kSpeeds)
    if (s.code == code) return s.name;
  return "Unsupported speed";
}

int SetSpeed(const char* name, tConfiguration* config) {
  for (const tSpeedName& s : kSpeeds) {
    if (StartsWith(name, s.name)) {
      config->setSpeed(s.code);
      return 1;
    }
  }
  return 0;
}

int SetCtsSource(const char* text, tConfiguration* config) {
  if (!StartsWith(text, "ioctl") && !StartsWith(text, "gpio")) return 0;
  config->setCtsSource(text);
  return 1;
}

// ---- Entries --------------------------------------------------------------------

namespace {

// The value with one trailing line feed removed, into `out` (value length
// plus one byte).
void CopyWithoutLineFeed(const char* value, char* out) {
  size_t n = strlen(value);
  if (n > 0 && value[n - 1] == '\n') --n;
  memcpy(out, value, n);
  out[n] = '\0';
}

unsigned short Low16(const char* value) {
  return static_cast<unsigned short>(strtol(value, nullptr, 10));
}

// Each key's store step; `value` is the text after "=", `text` the same
// without its trailing line feed. Returns 1, or 0 with g_error.
using tKeyStore = int (*)(const char* value, const char* text, tConfiguration* config);

int StoreUart(const char*, const char* text, tConfiguration* config) {
  config->setUart(text);
  return 1;
}
int StoreSpeed(const char* value, const char*, tConfiguration* config) {
  return SetSpeed(value, config) ? 1 : PrintErr("Invalid speed %s", value);
}
int StoreRecvPort(const char* value, const char*, tConfiguration* config) {
  config->setRecvPort(Low16(value));
  return 1;
}
int StoreSendPort(const char* value, const char*, tConfiguration* config) {
  config->setSendPort(Low16(value));
  return 1;
}
int StoreCtsTimeout(const char* value, const char*, tConfiguration* config) {
  config->setCtsTimeoutSecs(Low16(value));
  return 1;
}
int StoreCtsSource(const char* value, const char* text, tConfiguration* config) {
  return SetCtsSource(text, config) ? 1 : PrintErr("Invalid %s: %s", "ctsSource", value);
}
int StoreSerializer(const char* value, const char*, tConfiguration* config) {
  return SetSerializer(value, config) ? 1 : PrintErr("Invalid %s: %s", "serializer", value);
}
int StoreGpioPin(const char* value, const char*, tConfiguration* config) {
  config->setGpioPin(static_cast<int>(strtol(value, nullptr, 10)));
  return 1;
}
int StoreDelimiter(const char*, const char* text, tConfiguration* config) {
  config->setDelimiter(text);
  return 1;
}

// The later keys are strict: their whole text must be a decimal number in
// range, so a typo never silently becomes 0.
int ParseDecimal(const char* text, unsigned long max, unsigned long* out) {
  if (text[0] < '0' || text[0] > '9') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long n = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || n > max) return 0;
  *out = n;
  return 1;
}
int StoreClientQueue(const char* value, const char* text, tConfiguration* config) {
  unsigned long n = 0;
  if (!ParseDecimal(text, kMaxClientQueueKiB, &n))
    return PrintErr("Invalid %s: %s", "clientQueueKiB", value);
  config->setClientQueueKiB(static_cast<unsigned int>(n));
  return 1;
}
int StoreLogDocuments(const char* value, const char* text, tConfiguration* config) {
  unsigned long n = 0;
  if (!ParseDecimal(text, 1, &n)) return PrintErr("Invalid %s: %s", "logDocuments", value);
  config->setLogDocuments(static_cast<int>(n));
  return 1;
}
int StoreStrictCommands(const char* value, const char* text, tConfiguration* config) {
  unsigned long n = 0;
  if (!ParseDecimal(text, 1, &n)) return PrintErr("Invalid %s: %s", "strictCommands", value);
  config->setStrictCommands(static_cast<int>(n));
  return 1;
}
int StoreBindAddress(const char* value, const char* text, tConfiguration* config) {
  in_addr address{};
  if (inet_pton(AF_INET, text, &address) != 1)
    return PrintErr("Invalid %s: %s", "bindAddress", value);
  config->setBindAddress(text);
  return 1;
}

struct tKey {
  const char* name;
  tKeyStore store;
};
constexpr tKey kKeys[] = {
    {"uart", StoreUart},           {"speed", StoreSpeed},
    {"recvPort", StoreRecvPort},   {"sendPort", StoreSendPort},
    {"ctsTimeoutSecs", StoreCtsTimeout}, {"ctsSource", StoreCtsSource},
    {"serializer", StoreSerializer}, {"gpioPin", StoreGpioPin},
    {"delimiter", StoreDelimiter},
    // Added after the original nine, so every abbreviation that resolved
    // before still selects the same key.
    {"clientQueueKiB", StoreClientQueue}, {"logDocuments", StoreLogDocuments},
    {"strictCommands", StoreStrictCommands}, {"bindAddress", StoreBindAddress},
};

// The first key name that the `length` characters at `key` are a prefix of.
const tKey* FindKey(const char* key, size_t length) {
  for (const tKey& k : kKeys)
    if (strlen(k.name) >= length && strncmp(k.name, key, length) == 0) return &k;
  return nullptr;
}

} // namespace

int GetConfigEntry(const char* entry, tConfiguration* config) {
  const char* equals = strchr(entry, '=');
  const tKey* key = equals ? FindKey(entry, static_cast<size_t>(equals - entry)) : nullptr;
  if (!key) return PrintErr("Invalid config: %s", entry);
  const char* value = equals + 1;
  char* text = static_cast<char*>(malloc(strlen(value) + 1));
  if (!text) return PrintErr("Invalid config: %s", entry);
  CopyWithoutLineFeed(value, text);
  int ok = key->store(value, text, config);
  Free(&text);
  return ok;
}

// ---- Sources ----------------------------------------------------------------

namespace {

constexpr int kLineBuffer = 4096;

// After a file load, a text the tasks need that is still null (left out at
// the first load) takes its default value.
void FillMissingTexts(tConfiguration* config) {
  if (!config->getUart()) config->setUart(GetDefaultUart());
  if (!config->getCtsSource()) config->setCtsSource(kDefaultCtsSource);
  if (!config->getSerializer()) SetSerializer("json", config);
  if (!config->getDelimiter()) config->setDelimiter(kDefaultDelimiter);
}

} // namespace

int GetConfigFromFile(const char* path, tConfiguration* config) {
  FILE* file = fopen(path, "r");
  if (!file) return PrintErr("Failed to open config: %s errno=%s", path, PrintErrNo(errno));
  char line[kLineBuffer];
  int ok = 1;
  while (ok && fgets(line, sizeof line, file)) ok = GetConfigEntry(line, config);
  fclose(file);
  return ok;
}

int GetConfigFromArgs(const char* text, tConfiguration* config) {
  char* copy = strdup(text);
  if (!copy) return PrintErr("Invalid config: %s", text);
  int ok = 1;
  char* piece = copy;
  while (ok) {
    char* comma = strchr(piece, ',');
    if (comma) *comma = '\0';
    ok = GetConfigEntry(piece, config);
    if (!comma) break;
    piece = comma + 1;
  }
  Free(&copy);
  return ok;
}

int GetConfig(int argc, char** argv, tConfiguration* config) {
  if (argc == 1) {
    GetConfigDefault(config);
    return 1;
  }
  if (argc != 3) return PrintErr("Incorrect number of arguments");
  if (strcmp(argv[1], "-c") == 0) {
    if (!GetConfigFromFile(argv[2], config)) return 0;
    FillMissingTexts(config);
    return 1;
  }
  if (strcmp(argv[1], "-C") == 0) {
    GetConfigDefault(config);
    return GetConfigFromArgs(argv[2], config);
  }
  return PrintErr("Invalid argument: %s", argv[1]);
}

// ---- Printing ---------------------------------------------------------------

namespace {
const char* OrEmpty(const char* text) { return text ? text : ""; }
} // namespace

void PrintConfig(tConfiguration* config) {
  printf("%s=%s\n", "uart", OrEmpty(config->getUart()));
  printf("%s=%s\n", "speed", MapSpeed(config->getSpeed()));
  printf("%s=%d\n", "recvPort", config->getRecvPort());
  printf("%s=%d\n", "sendPort", config->getSendPort());
  printf("%s=%s\n", "serializer", OrEmpty(config->getSerializerName()));
  printf("%s=%d\n", "ctsTimeoutSecs", config->getCtsTimeoutSecs());
  printf("%s=%s\n", "ctsSource", OrEmpty(config->getCtsSource()));
  printf("%s=%d\n", "gpioPin", config->getGpioPin());
  printf("%s=%s\n", "delimiter", OrEmpty(config->getDelimiter()));
  printf("%s=%u\n", "clientQueueKiB", config->getClientQueueKiB());
  printf("%s=%d\n", "logDocuments", config->getLogDocuments());
  printf("%s=%d\n", "strictCommands", config->getStrictCommands());
  printf("%s=%s\n", "bindAddress", config->getBindAddress());
  fflush(stdout);
}
