// One run of the bridge with one configuration: the MQTT client (libmosquitto,
// driven from this thread only, so no library thread shares any state), the
// gateway's receive port, the bounded queue kept while the broker is away,
// the commands waiting for the send port and the counters of the stats topic.
//
// Topics under <topicPrefix>/<gatewayId>: rx/<objectType> (every document),
// tx (commands in), tx/reply (replies, unless a command names an MQTT 5
// response topic), status (retained online/offline, the will), stats, and
// the node table's node/<id> and neighbors (BridgeNodes).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "BridgeConfig.h"
#include "BridgeNodes.h"

struct mosquitto;

struct tBridgeStats {
  uint64_t docsIn = 0, docsPublished = 0, docsDropped = 0;
  uint64_t commandsPassed = 0, commandsAnswered = 0, errors = 0, reconnects = 0;
  uint64_t nodesDropped = 0;
};

struct tBridgeCommand {
  std::string payload, responseTopic, correlation;
};

struct tBridgeSession {
  const tBridgeConfig* config = nullptr;
  mosquitto* mqtt = nullptr;
  std::string base;          // <topicPrefix>/<gatewayId>
  bool connected = false;    // CONNACK with success seen, not yet lost
  bool everConnected = false;
  bool dropReported = false; // the overflow of this outage was reported
  bool failReported = false; // a failed attempt of this outage was reported
  int recvFd = -1;
  std::string partial;
  std::deque<std::string> queue;     // documents waiting for the broker
  std::deque<tBridgeCommand> commands;
  tBridgeStats stats;
  tBridgeNodes nodes;  // the mesh nodes this board has heard of
  // Monotonic milliseconds (IoMonotonicMs): 64 bits, so that they never
  // wrap on a 32-bit board that stays up for months.
  int64_t nextGatewayTryMs = 0, nextBrokerTryMs = 0, brokerBackoffMs = 0, nextStatsMs = 0;
};

// Creates the client from the configuration (will, credentials, TLS) and
// starts the first connection attempt. 1, or 0 with g_error.
int BridgeSessionStart(tBridgeSession* session, const tBridgeConfig* config);
// One pass: waits up to timeoutMs for the broker or the gateway, then moves
// documents, commands and stats along and retries lost links when due.
void BridgeSessionStep(tBridgeSession* session, int timeoutMs);
// Publishes status "offline", disconnects from the broker and the gateway
// and releases the client; the session can be started again.
void BridgeSessionStop(tBridgeSession* session);
// The bridge's own "replyMsg" for a command that got no reply: status
// "error", `reason` (any bytes) as its escaped content.
std::string BridgeErrorReply(const std::string& reason);
// The stats document as published: one JSON object of the counters.
std::string BridgeStatsJson(const tBridgeStats& stats);
// The objectType of a document ("unknown" when it has none), for its topic.
std::string BridgeObjectType(const std::string& doc);
