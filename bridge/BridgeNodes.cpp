// The bridge's table of mesh nodes: documents in, retained node topics out.
#include "BridgeNodes.h"

#include <mosquitto.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

// Every document passes through here: parsed into pools on the stack, so a
// document of ordinary size costs no heap allocation (larger ones spill).
class tParsed {
 public:
  bool Parse(const std::string& text) {
    return !doc_.Parse(text.data(), text.size()).HasParseError() && doc_.IsObject();
  }
  const rapidjson::Value& Root() const { return doc_; }

 private:
  using tPool = rapidjson::MemoryPoolAllocator<>;
  char values_[4096], stack_[1024];
  tPool valuePool_{values_, sizeof values_}, stackPool_{stack_, sizeof stack_};
  rapidjson::GenericDocument<rapidjson::UTF8<>, tPool, tPool> doc_{&valuePool_, 1024, &stackPool_};
};

constexpr const char* kKindNames[kNodeKindCount] = {
    "receivedPayload", "ack", "nack", "nodeInfoReply", "neighborListReply", "networkCommandReply"};

int KindOf(const char* objectType) {
  for (int k = 0; k < kNodeKindCount; ++k)
    if (strcmp(kKindNames[k], objectType) == 0) return k;
  return -1;
}

std::string NodeTopic(const tBridgeNodes& n, uint16_t id) {
  return n.base + "/node/" + std::to_string(id);
}

bool ReadId(const rapidjson::Value& v, const char* key, uint16_t* id) {
  auto m = v.FindMember(key);
  if (m == v.MemberEnd() || !m->value.IsUint() || m->value.GetUint() > 0xFFFF) return false;
  *id = static_cast<uint16_t>(m->value.GetUint());
  return true;
}

const char* ReadText(const rapidjson::Value& v, const char* key) {
  auto m = v.FindMember(key);
  return m != v.MemberEnd() && m->value.IsString() ? m->value.GetString() : nullptr;
}

// The last port and age of a node's payloads, from a document or a copy.
void TakePayload(tBridgeNode* node, const rapidjson::Value& v) {
  auto port = v.FindMember("port"), age = v.FindMember("packageAgeMicroSecs");
  if (port == v.MemberEnd() || !port->value.IsUint() || age == v.MemberEnd() || !age->value.IsUint64())
    return;
  node->hasPayload = true;
  node->port = port->value.GetUint();
  node->packageAgeMicroSecs = age->value.GetUint64();
}

// What a node information reply told, from the reply or a copy.
void TakeInfo(tBridgeNode* node, const rapidjson::Value& v) {
  const char* uid = ReadText(v, "uidHex");
  auto type = v.FindMember("nodeType");
  if (!uid || type == v.MemberEnd() || !type->value.IsUint()) return;
  node->uidHex = uid;
  node->nodeType = static_cast<int>(type->value.GetUint() & 0xFF);
}

// Drops the node heard least recently while the table is over its bound.
void Evict(tBridgeNodes* n) {
  while (n->table.size() > n->maxNodes) {
    uint16_t id = n->recency.back();
    n->recency.pop_back();
    n->table.erase(id);
    n->pending.erase(id);
    n->clears.insert(id);
    ++n->dropped;
    if (!n->dropReported)
      printf("Node table full at %zu nodes: dropping the node heard least recently (%u), counted in nodesDropped\n",
             n->maxNodes, id);
    n->dropReported = true;
  }
}

// The node of id, created when new, moved to the front as heard at `when`.
tBridgeNode* Heard(tBridgeNodes* n, uint16_t id, const char* when, int kind) {
  auto it = n->table.find(id);
  if (it == n->table.end()) {
    it = n->table.emplace(id, tBridgeNode{}).first;
    it->second.nodeId = id;
    it->second.firstSeen = when;
    n->recency.push_front(id);
    n->clears.erase(id);
  } else {
    n->recency.splice(n->recency.begin(), n->recency, it->second.heard);
  }
  tBridgeNode* node = &it->second;
  node->heard = n->recency.begin();
  node->lastSeen = when;
  ++node->counts[kind];
  n->pending.insert(id);
  return node;
}

void TakeNeighbors(tBridgeNodes* n, const rapidjson::Value& doc, const char* when,
                   const std::string& text) {
  auto list = doc.FindMember("neighbors");
  if (list == doc.MemberEnd() || !list->value.IsArray()) return;
  std::set<uint16_t> listed;
  for (auto& e : list->value.GetArray()) {
    uint16_t id = 0;
    auto rssi = e.IsObject() ? e.FindMember("RSSI") : e.MemberEnd();
    if (!e.IsObject() || !ReadId(e, "nodeId", &id) || rssi == e.MemberEnd() || !rssi->value.IsUint())
      continue;
    listed.insert(id);
    Heard(n, id, when, kKindNeighborListReply)->rssi = static_cast<int>(rssi->value.GetUint() & 0xFF);
  }
  for (auto& [id, node] : n->table)
    if (node.rssi >= 0 && listed.count(id) == 0) {
      node.rssi = -1;
      n->pending.insert(id);
    }
  Evict(n);
  n->neighbors = text;
  n->neighborsDirty = true;
}

// A retained copy of a node from an earlier run: the table learns what it
// did not see itself, and an earlier firstSeen and the counts carry over.
void Merge(tBridgeNodes* n, uint16_t id, const rapidjson::Value& v) {
  const char* first = ReadText(v, "firstSeen");
  const char* last = ReadText(v, "lastSeen");
  if (!first || !last) return;
  auto it = n->table.find(id);
  const bool known = it != n->table.end();
  if (!known) {
    // Older than anything heard live: placed among the read-back nodes by
    // its lastSeen (ISO texts order as their times).
    auto at = n->recency.end();
    while (at != n->recency.begin() && n->table[*std::prev(at)].lastSeen < last) --at;
    it = n->table.emplace(id, tBridgeNode{}).first;
    it->second.nodeId = id;
    it->second.lastSeen = last;
    it->second.heard = n->recency.insert(at, id);
  }
  tBridgeNode& node = it->second;
  if (node.firstSeen.empty() || first < node.firstSeen) node.firstSeen = first;
  auto counts = v.FindMember("counts");
  if (counts != v.MemberEnd() && counts->value.IsObject())
    for (auto& c : counts->value.GetObject()) {
      int kind = KindOf(c.name.GetString());
      if (kind >= 0 && c.value.IsUint64()) node.counts[kind] += c.value.GetUint64();
    }
  if (!node.hasPayload) TakePayload(&node, v);
  if (node.uidHex.empty()) TakeInfo(&node, v);
  auto rssi = v.FindMember("rssi");
  if (!known && rssi != v.MemberEnd() && rssi->value.IsUint())
    node.rssi = static_cast<int>(rssi->value.GetUint() & 0xFF);
  // A node seen live too is published again with what was merged.
  if (known) n->pending.insert(id);
  Evict(n);
}

}  // namespace

void BridgeNodesInit(tBridgeNodes* n, const std::string& base, long maxNodes, long nodeStateSecs) {
  *n = tBridgeNodes{};
  n->base = base;
  n->maxNodes = static_cast<size_t>(maxNodes);
  n->intervalMs = 1000 * static_cast<int64_t>(nodeStateSecs);
}

void BridgeNodesDoc(tBridgeNodes* n, const std::string& text) {
  tParsed parsed;
  if (!parsed.Parse(text)) return;
  const rapidjson::Value& doc = parsed.Root();
  const char* type = ReadText(doc, "objectType");
  const char* when = ReadText(doc, "gwTimestamp");
  const int kind = type && when ? KindOf(type) : -1;
  if (kind == kKindNeighborListReply) return TakeNeighbors(n, doc, when, text);
  uint16_t id = 0;
  if (kind < 0 || !ReadId(doc, "nodeId", &id)) return;
  tBridgeNode* node = Heard(n, id, when, kind);
  if (kind == kKindReceivedPayload) TakePayload(node, doc);
  if (kind == kKindNodeInfoReply) TakeInfo(node, doc);
  Evict(n);
}

void BridgeNodesConnected(tBridgeNodes* n, mosquitto* mqtt, int qos) {
  if (n->phase == kNodesReadBack) {
    for (auto& entry : n->table) n->pending.insert(entry.first);
    n->neighborsDirty = !n->neighbors.empty();
    return;
  }
  // The broker queues the retained copies for this subscription before it
  // handles the unsubscribe, so they all arrive and nothing live follows.
  const std::string filter = n->base + "/node/+";
  mosquitto_subscribe_v5(mqtt, nullptr, filter.c_str(), qos, 0, nullptr);
  mosquitto_unsubscribe_v5(mqtt, nullptr, filter.c_str(), nullptr);
  n->phase = kNodesReadBack;
}

bool BridgeNodesRetained(tBridgeNodes* n, const std::string& topic, const std::string& payload,
                         bool retained) {
  const std::string prefix = n->base + "/node/";
  if (topic.compare(0, prefix.size(), prefix) != 0) return false;
  if (!retained || payload.empty()) return true;
  tParsed parsed;
  uint16_t id = 0;
  if (!parsed.Parse(payload) || !ReadId(parsed.Root(), "nodeId", &id) || topic != prefix + std::to_string(id))
    return true;
  Merge(n, id, parsed.Root());
  return true;
}

void BridgeNodesFlush(tBridgeNodes* n, int64_t nowMs, const tNodePublish& publish) {
  for (auto it = n->clears.begin(); it != n->clears.end(); it = n->clears.erase(it))
    if (!publish(NodeTopic(*n, *it), "")) return;
  if (n->neighborsDirty) {
    if (!publish(n->base + "/neighbors", n->neighbors)) return;
    n->neighborsDirty = false;
  }
  for (auto it = n->pending.begin(); it != n->pending.end();) {
    tBridgeNode& node = n->table.at(*it);
    if (node.publishedMs != 0 && nowMs < node.publishedMs + n->intervalMs) {
      ++it;
      continue;
    }
    if (!publish(NodeTopic(*n, *it), BridgeNodeJson(node))) return;
    node.publishedMs = nowMs;
    it = n->pending.erase(it);
  }
}

std::string BridgeNodeJson(const tBridgeNode& node) {
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> w(out);
  w.StartObject();
  w.Key("nodeId");
  w.Uint(node.nodeId);
  w.Key("firstSeen");
  w.String(node.firstSeen.c_str());
  w.Key("lastSeen");
  w.String(node.lastSeen.c_str());
  w.Key("counts");
  w.StartObject();
  for (int k = 0; k < kNodeKindCount; ++k)
    if (node.counts[k] != 0) {
      w.Key(kKindNames[k]);
      w.Uint64(node.counts[k]);
    }
  w.EndObject();
  if (node.hasPayload) {
    w.Key("port");
    w.Uint(node.port);
    w.Key("packageAgeMicroSecs");
    w.Uint64(node.packageAgeMicroSecs);
  }
  if (!node.uidHex.empty()) {
    w.Key("uidHex");
    w.String(node.uidHex.c_str());
  }
  if (node.nodeType >= 0) {
    w.Key("nodeType");
    w.Int(node.nodeType);
  }
  if (node.rssi >= 0) {
    w.Key("rssi");
    w.Int(node.rssi);
  }
  w.EndObject();
  return std::string(out.GetString(), out.GetSize());
}
