// What a board knows of each mesh node, kept by the bridge from the
// documents it passes and published retained, one topic per node:
// <base>/node/<nodeId> (JSON, see BridgeNodeJson) and <base>/neighbors (the
// module's last neighbour list as the gateway wrote it).
//
// Which documents tell about which node:
//   receivedPayload, ack, nack, networkCommandReply  the node of their nodeId
//   nodeInfoReply     the node of its nodeId (the module's own), uidHex and nodeType
//   neighborListReply every listed node (its rssi); listed nodes no longer
//                     in the newest list lose their rssi
//   anything else     no node (wesSetupRequest names a uid, not a node id)
//
// The table holds at most maxNodes nodes; a new node beyond that drops the
// one heard least recently (by gwTimestamp), clears its retained topic and
// counts the drop (the first drop of a run is logged). A node's topic is published when its state changed, at
// most once per nodeStateSecs.
//
// Read-back lifecycle (tBridgeNodesPhase), for a bridge that restarts:
//   kFresh --first CONNACK: subscribe to node/+ and unsubscribe at once-->
//   kReadBack: the broker delivers the retained copies queued by that
//   subscription (flagged retained), which are merged into the table; live
//   copies of the bridge's own publishes are not flagged and are ignored.
//   kReadBack --later CONNACK--> kReadBack with every node marked to be
//   published again (the broker may have lost its retained messages).
// Single-threaded: everything runs on the bridge's one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <unordered_map>

struct mosquitto;

// The document kinds that tell about a node; their counts, in this order.
enum tNodeKind {
  kKindReceivedPayload, kKindAck, kKindNack, kKindNodeInfoReply, kKindNeighborListReply,
  kKindNetworkCommandReply, kNodeKindCount
};

struct tBridgeNode {
  uint16_t nodeId = 0;
  std::string firstSeen, lastSeen;  // gwTimestamp texts
  uint64_t counts[kNodeKindCount] = {};
  bool hasPayload = false;          // port and packageAgeMicroSecs are known
  unsigned port = 0;
  uint64_t packageAgeMicroSecs = 0;
  std::string uidHex;               // empty until a nodeInfoReply told it
  int nodeType = -1;                // -1: not told
  int rssi = -1;                    // -1: not in the module's last neighbour list
  int64_t publishedMs = 0;          // monotonic; 0: never published
  std::list<uint16_t>::iterator heard;  // its place in tBridgeNodes::recency
};

enum tBridgeNodesPhase { kNodesFresh, kNodesReadBack };

struct tBridgeNodes {
  std::string base;  // <topicPrefix>/<gatewayId>
  size_t maxNodes = 4096;
  int64_t intervalMs = 1000;
  tBridgeNodesPhase phase = kNodesFresh;
  std::unordered_map<uint16_t, tBridgeNode> table;
  std::list<uint16_t> recency;        // most recently heard first
  std::set<uint16_t> pending;         // changed since last published
  std::set<uint16_t> clears;          // dropped nodes whose topic is still to clear
  std::string neighbors;              // last neighbour list, "" when none
  bool neighborsDirty = false;
  uint64_t dropped = 0;               // nodes dropped for maxNodes
  bool dropReported = false;          // the first drop was logged
};

// Publishes payload retained on topic; true when the client took it.
using tNodePublish = std::function<bool(const std::string& topic, const std::string& payload)>;

// Empties the table and sets its bounds (maxNodes, nodeStateSecs).
void BridgeNodesInit(tBridgeNodes* nodes, const std::string& base, long maxNodes,
                     long nodeStateSecs);
// Takes one document of the receive port; documents about no node are
// ignored, and so is one that is not JSON.
void BridgeNodesDoc(tBridgeNodes* nodes, const std::string& doc);
// After each successful CONNACK: the read-back subscription on the first,
// everything marked for publishing on later ones.
void BridgeNodesConnected(tBridgeNodes* nodes, mosquitto* mqtt, int qos);
// A message from the broker: true when it was one of the node topics (a
// retained copy is merged, anything else there is ignored), false when it is
// not the table's and the caller handles it.
bool BridgeNodesRetained(tBridgeNodes* nodes, const std::string& topic, const std::string& payload,
                         bool retained);
// Publishes what is due at nowMs (monotonic): clears of dropped nodes, the
// neighbour list, and changed nodes whose nodeStateSecs has passed. What the
// client does not take stays due.
void BridgeNodesFlush(tBridgeNodes* nodes, int64_t nowMs, const tNodePublish& publish);
// One node as published: {"nodeId","firstSeen","lastSeen","counts":{kind:n},
// then "port","packageAgeMicroSecs","uidHex","nodeType","rssi" when known}.
std::string BridgeNodeJson(const tBridgeNode& node);
