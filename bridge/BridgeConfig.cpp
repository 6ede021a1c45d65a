// The bridge's key table, defaults and sources.
#include "BridgeConfig.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "config/OvString.h"
#include "core/OvClosers.h"
#include "core/OvPrintErr.h"

namespace {

struct tKeyInfo {
  const char* name;
  const char* fallback;  // default text; null: computed
  long min, max;         // numeric range; max 0: a text key
};
constexpr tKeyInfo kKeys[kBridgeKeyCount] = {
    {"brokerHost", "127.0.0.1", 0, 0}, {"brokerPort", "1883", 1, 65535},
    {"clientId", nullptr, 0, 0},       {"gatewayId", nullptr, 0, 0},
    {"topicPrefix", "orvel", 0, 0},    {"qos", "1", 0, 2},
    {"keepAliveSecs", "30", 5, 65535}, {"username", "", 0, 0},
    {"passwordFile", "", 0, 0},        {"caFile", "", 0, 0},
    {"certFile", "", 0, 0},            {"keyFile", "", 0, 0},
    {"gatewayHost", "127.0.0.1", 0, 0}, {"recvPort", "2000", 1, 65535},
    {"sendPort", "2001", 1, 65535},    {"queueLimit", "10000", 0, 10000000},
    {"statsSecs", "60", 1, 86400},     {"delimiter", "\\n", 0, 0},
    {"maxCommands", "16", 1, 1000},    {"nodeStateSecs", "1", 0, 86400},
    {"maxNodes", "4096", 1, 65536},
};

int FindKey(const char* key, size_t length) {
  for (int k = 0; k < kBridgeKeyCount; ++k)
    if (strlen(kKeys[k].name) >= length && strncmp(kKeys[k].name, key, length) == 0) return k;
  return -1;
}

int Store(int key, const std::string& value, tBridgeConfig* config) {
  const tKeyInfo& info = kKeys[key];
  if (info.max != 0) {
    char* end = nullptr;
    errno = 0;
    long n = strtol(value.c_str(), &end, 10);
    if (value.empty() || errno != 0 || *end != '\0' || n < info.min || n > info.max)
      return PrintErr("Invalid %s: %s", info.name, value.c_str());
    config->number[key] = n;
  }
  config->text[key] = value;
  if (key == kDelimiter) {
    char* bytes = StringUnEscape(value.c_str());
    if (bytes == nullptr) return PrintErr("Invalid delimiter: out of memory");
    config->delimiter = bytes;
    Free(&bytes);
  }
  return 1;
}

int ReadPassword(tBridgeConfig* config) {
  config->password.clear();
  const std::string& path = config->text[kPasswordFile];
  if (path.empty()) return 1;
  std::ifstream in(path);
  if (!in) return PrintErr("Failed to open passwordFile: %s", path.c_str());
  std::getline(in, config->password);
  return 1;
}

int LoadFile(const char* path, tBridgeConfig* config) {
  std::ifstream in(path);
  if (!in) return PrintErr("Failed to open config: %s errno=%s", path, PrintErrNo(errno));
  std::string line;
  while (std::getline(in, line))
    if (!BridgeConfigEntry(line.c_str(), config)) return 0;
  return 1;
}

int LoadPairs(const char* text, tBridgeConfig* config) {
  std::stringstream pairs(text);
  std::string piece;
  while (std::getline(pairs, piece, ','))
    if (!BridgeConfigEntry(piece.c_str(), config)) return 0;
  return 1;
}

}  // namespace

void BridgeConfigDefault(tBridgeConfig* config) {
  char host[256] = "orvel";
  gethostname(host, sizeof host - 1);
  for (int k = 0; k < kBridgeKeyCount; ++k)
    if (kKeys[k].fallback) Store(k, kKeys[k].fallback, config);
  config->text[kGatewayId] = host;
  config->text[kClientId].clear();
  config->password.clear();
}

int BridgeConfigEntry(const char* entry, tBridgeConfig* config) {
  const char* equals = strchr(entry, '=');
  int key = equals ? FindKey(entry, static_cast<size_t>(equals - entry)) : -1;
  if (key < 0) return PrintErr("Invalid config: %s", entry);
  std::string value(equals + 1);
  if (!value.empty() && value.back() == '\r') value.pop_back();
  return Store(key, value, config);
}

int BridgeConfigLoad(int argc, char** argv, tBridgeConfig* config) {
  BridgeConfigDefault(config);
  int ok = 1;
  if (argc == 3 && strcmp(argv[1], "-c") == 0) {
    ok = LoadFile(argv[2], config);
  } else if (argc == 3 && strcmp(argv[1], "-C") == 0) {
    ok = LoadPairs(argv[2], config);
  } else if (argc != 1) {
    return PrintErr("Incorrect arguments");
  }
  if (!ok) return 0;
  if (config->text[kClientId].empty()) config->text[kClientId] = "orvel-" + config->text[kGatewayId];
  if (config->text[kGatewayId].empty() || config->text[kTopicPrefix].empty())
    return PrintErr("Invalid config: gatewayId and topicPrefix must not be empty");
  return ReadPassword(config);
}

void BridgeConfigPrint(const tBridgeConfig& config) {
  for (int k = 0; k < kBridgeKeyCount; ++k) printf("%s=%s\n", kKeys[k].name, config.text[k].c_str());
  fflush(stdout);
}
