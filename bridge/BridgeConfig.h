// The MQTT bridge's configuration: its own small key table in the gateway's
// style (-c file with one key=value per line, or -C k=v,... over the
// defaults; a key may be abbreviated to any prefix, the first match wins),
// and the printing of the effective values, the password never among them.
#pragma once

#include <string>

enum tBridgeKey {
  kBrokerHost, kBrokerPort, kClientId, kGatewayId, kTopicPrefix, kQos, kKeepAliveSecs,
  kUsername, kPasswordFile, kCaFile, kCertFile, kKeyFile, kGatewayHost, kRecvPort,
  kSendPort, kQueueLimit, kStatsSecs, kDelimiter, kMaxCommands, kNodeStateSecs, kMaxNodes,
  kBridgeKeyCount
};

struct tBridgeConfig {
  std::string text[kBridgeKeyCount];
  long number[kBridgeKeyCount] = {};  // the numeric keys, checked
  std::string password;               // read from passwordFile, never printed
  std::string delimiter;              // the delimiter key with its escapes undone
};

// Fills every default: brokerHost 127.0.0.1, brokerPort 1883, gatewayId the
// host name, clientId orvel-<gatewayId>, topicPrefix orvel, qos 1,
// keepAliveSecs 30, gatewayHost 127.0.0.1, recvPort 2000, sendPort 2001,
// queueLimit 10000, statsSecs 60, delimiter \n (written with its backslash
// escape, as the gateway's; a line feed unescaped), maxCommands 16,
// nodeStateSecs 1, maxNodes 4096; the texts of the rest empty.
void BridgeConfigDefault(tBridgeConfig* config);
// One "key=value" entry; 1, or 0 with g_error ("Invalid config: ..." for an
// unknown key, "Invalid KEY: VALUE" for a bad number).
int BridgeConfigEntry(const char* entry, tBridgeConfig* config);
// No arguments, -c FILE or -C PAIRS, always over the defaults; then the
// password file is read and clientId follows a changed gatewayId unless it
// was set itself. 1, or 0 with g_error.
int BridgeConfigLoad(int argc, char** argv, tBridgeConfig* config);
// key=value lines on standard output, in table order; passwordFile is
// printed as a path, the password itself never.
void BridgeConfigPrint(const tBridgeConfig& config);
