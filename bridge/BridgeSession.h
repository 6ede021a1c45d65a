// One run of the bridge with one configuration: the MQTT client (libmosquitto,
// driven from this thread only, so no library thread shares any state), the
// gateway's receive port, the bounded queue kept while the broker is away,
// the commands in flight to the send port and the counters of the stats topic.
// One poll serves the broker, the receive port and every command's own
// connection, so nothing waits for anything else: documents are published
// and keep-alives sent while any number of commands wait for their replies.
//
// Topics under <topicPrefix>/<gatewayId>: rx/<objectType> (every document),
// tx (commands in), tx/reply (replies, unless a command names an MQTT 5
// response topic), status (retained online/offline, the will), stats, and
// the node table's node/<id> and neighbors (BridgeNodes).
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <vector>

#include "BridgeCommand.h"
#include "BridgeConfig.h"
#include "BridgeSplit.h"
#include "BridgeNodes.h"

struct mosquitto;

struct tBridgeStats {
  uint64_t docsIn = 0, docsPublished = 0, docsDropped = 0;
  uint64_t commandsPassed = 0, commandsAnswered = 0, errors = 0, reconnects = 0;
  uint64_t commandErrors = 0;     // replies with status "error", whoever wrote them,
  uint64_t commandTimeOuts = 0;   // and of those: no clear-to-send or reply in time,
  uint64_t commandsUnavailable = 0;  // device, gateway or bridge not there,
  uint64_t commandsRefused = 0;      // anything else (a bad command, too many)
  // Taken when the stats are published:
  uint64_t commandsWaiting = 0;   // commands in flight to the send port
  bool gatewayConnected = false;  // the receive port is connected
  int64_t secsSinceLastDoc = -1;  // -1: no document yet
  uint64_t nodesDropped = 0;
};

// The receive port's connection lifecycle:
//   Closed --retry due (every 200 ms)--> Connecting
//   Connecting --connected--> Open      ("Gateway connected" printed)
//   Connecting --refused--> Closed      (silently: the retries go on)
//   Open --the gateway closed or the read failed--> Closed ("... lost")
enum class tGatewayPhase { Closed, Connecting, Open };

// A reply waiting for the broker to come back.
struct tBridgeReply {
  std::string topic, payload, correlation;
};

struct tBridgeSession {
  const tBridgeConfig* config = nullptr;
  mosquitto* mqtt = nullptr;
  std::string base;          // <topicPrefix>/<gatewayId>
  bool connected = false;    // CONNACK with success seen, not yet lost
  bool everConnected = false;
  bool dropReported = false; // the overflow of this outage was reported
  bool failReported = false; // a failed attempt of this outage was reported
  tGatewayPhase gatewayPhase = tGatewayPhase::Closed;
  int recvFd = -1;           // the receive port; owned here
  tDocSplit split;           // the receive stream's unfinished document
  std::vector<char> readBuf; // the receive port's reads land here
  std::deque<std::string> queue;          // documents waiting for the broker
  std::deque<tBridgeCommand> arrived;     // commands from the broker, not yet started
  std::list<tBridgeCommand> inFlight;     // in arrival order; each owns its descriptor
  std::deque<tBridgeReply> heldReplies;   // replies waiting for the broker
  std::vector<pollfd> fds;                // this pass's poll set
  std::vector<tBridgeCommand*> fdOwners;  // the command of each entry (null: a link)
  tBridgeStats stats;
  tBridgeNodes nodes;  // the mesh nodes this board has heard of
  // Monotonic milliseconds (IoMonotonicMs): 64 bits, so that they never
  // wrap on a 32-bit board that stays up for months.
  int64_t nextGatewayTryMs = 0, nextBrokerTryMs = 0, brokerBackoffMs = 0, nextStatsMs = 0;
  int64_t lastDocMs = -1;    // -1: none yet
};

// Creates the client from the configuration (will, credentials, TLS) and
// starts the first connection attempt. 1, or 0 with g_error.
int BridgeSessionStart(tBridgeSession* session, const tBridgeConfig* config);
// One pass: waits up to timeoutMs for the broker, the gateway or a command's
// connection, then moves documents, commands, replies and stats along and
// retries lost links when due. Never waits for anything else.
void BridgeSessionStep(tBridgeSession* session, int timeoutMs);
// Answers every command still in flight with the bridge's error reply,
// publishes status "offline", disconnects from the broker and the gateway
// and releases the client; the session can be started again.
void BridgeSessionStop(tBridgeSession* session);
// The bridge's own "replyMsg" for a command that got no reply: status
// "error", `reason` (any bytes) as its escaped content.
std::string BridgeErrorReply(const std::string& reason);
// The stats document as published: one JSON object of the counters.
std::string BridgeStatsJson(const tBridgeStats& stats);
// The objectType of a document ("unknown" when it has none), for its topic.
std::string BridgeObjectType(const std::string& doc);
