// The bridge's one loop: broker and gateway links, queue, commands, stats.
#include "BridgeSession.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BridgeLink.h"
#include "BridgeSplit.h"
#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "core/OvPrintErr.h"

namespace {

// A gateway that comes back is found within this; well under a second.
constexpr int64_t kGatewayRetryMs = 200;
constexpr int64_t kBrokerBackoffMinMs = 250;
constexpr int64_t kBrokerBackoffMaxMs = 4000;
constexpr int kStopFlushMs = 1000;
// Reads of the receive port per pass before the others' turn.
constexpr int kGatewayReadsPerPass = 16;
constexpr size_t kGatewayReadBytes = 65536;
// Poll entries 0 and 1 are the broker and the receive port.
constexpr size_t kFirstCommandPoll = 2;
const char* const kTooMany = "Too many commands waiting";
const char* const kStopped = "Bridge stopped before the reply";

tBridgeSession* Of(void* obj) { return static_cast<tBridgeSession*>(obj); }

int Qos(const tBridgeSession* s) { return static_cast<int>(s->config->number[kQos]); }

// MOSQ_ERR_SUCCESS, or the library's error code.
int PublishRc(tBridgeSession* s, const std::string& topic, const std::string& payload, bool retain,
              const mosquitto_property* props = nullptr) {
  return mosquitto_publish_v5(s->mqtt, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), Qos(s), retain, props);
}

int Publish(tBridgeSession* s, const std::string& topic, const std::string& payload, bool retain) {
  return PublishRc(s, topic, payload, retain) == MOSQ_ERR_SUCCESS;
}

// A publication that failed for want of the connection is tried again once
// the broker is back; any other failure would fail again.
bool WorthRetrying(int rc) { return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST; }

void OnConnect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
  tBridgeSession* s = Of(obj);
  if (rc != 0) {
    printf("Broker refused the connection: %s\n", mosquitto_reason_string(rc));
    s->failReported = true;  // the connection that follows is part of this refusal
    ++s->stats.errors;
    return;
  }
  printf("Connected to broker %s:%ld\n", s->config->text[kBrokerHost].c_str(),
         s->config->number[kBrokerPort]);
  if (s->everConnected) ++s->stats.reconnects;
  s->everConnected = true;
  s->connected = true;
  s->dropReported = false;
  s->failReported = false;
  s->brokerBackoffMs = kBrokerBackoffMinMs;
  Publish(s, s->base + "/status", "online", true);
  mosquitto_subscribe_v5(s->mqtt, nullptr, (s->base + "/tx").c_str(), Qos(s), 0, nullptr);
  BridgeNodesConnected(&s->nodes, s->mqtt, Qos(s));
}

void OnDisconnect(mosquitto*, void* obj, int rc, const mosquitto_property*) {
  if (rc != 0) printf("Broker connection lost\n");  // 0: our own disconnect
  Of(obj)->connected = false;
}

void OnMessage(mosquitto*, void* obj, const mosquitto_message* message,
               const mosquitto_property* props) {
  tBridgeCommand command;
  command.payload.assign(static_cast<const char*>(message->payload),
                         static_cast<size_t>(message->payloadlen));
  if (BridgeNodesRetained(&Of(obj)->nodes, message->topic, command.payload, message->retain)) return;
  char* topic = nullptr;
  if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &topic, false)) {
    command.responseTopic = topic;
    free(topic);
  }
  void* data = nullptr;
  uint16_t length = 0;
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
    command.correlation.assign(static_cast<const char*>(data), length);
    free(data);
  }
  Of(obj)->arrived.push_back(std::move(command));
}

// The broker link is gone (or never came): retry after the backoff.
void LoseBroker(tBridgeSession* s) {
  s->connected = false;
  s->nextBrokerTryMs = IoMonotonicMs() + s->brokerBackoffMs;
  s->brokerBackoffMs = std::min(2 * s->brokerBackoffMs, kBrokerBackoffMaxMs);
}

void TryBroker(tBridgeSession* s) {
  if (mosquitto_reconnect(s->mqtt) != MOSQ_ERR_SUCCESS) LoseBroker(s);
}

// Every complete document of the receive port comes through here, once.
void HandleDoc(tBridgeSession* s, std::string doc) {
  ++s->stats.docsIn;
  BridgeNodesDoc(&s->nodes, doc);
  if (s->connected && s->queue.empty() &&
      Publish(s, s->base + "/rx/" + BridgeObjectType(doc), doc, false)) {
    ++s->stats.docsPublished;
    return;
  }
  if (s->queue.size() >= static_cast<size_t>(s->config->number[kQueueLimit])) {
    ++s->stats.docsDropped;
    if (!s->dropReported) {
      printf("Broker away: queue full at %zu documents, dropping the newest\n", s->queue.size());
      s->dropReported = true;
    }
    return;
  }
  s->queue.push_back(std::move(doc));
}

void FlushQueue(tBridgeSession* s) {
  while (s->connected && !s->queue.empty()) {
    const std::string& doc = s->queue.front();
    if (!Publish(s, s->base + "/rx/" + BridgeObjectType(doc), doc, false)) return;
    ++s->stats.docsPublished;
    s->queue.pop_front();
  }
}

// MOSQ_ERR_SUCCESS, or the library's error code.
int PublishReply(tBridgeSession* s, const tBridgeReply& r) {
  mosquitto_property* props = nullptr;
  if (!r.correlation.empty())
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, r.correlation.data(),
                                  static_cast<uint16_t>(r.correlation.size()));
  int rc = PublishRc(s, r.topic, r.payload, false, props);
  mosquitto_property_free_all(&props);
  if (rc == MOSQ_ERR_SUCCESS) ++s->stats.commandsAnswered;
  return rc;
}

// Replies held while the broker was away go out, in order, once it is back.
void FlushReplies(tBridgeSession* s) {
  while (s->connected && !s->heldReplies.empty()) {
    const tBridgeReply& r = s->heldReplies.front();
    int rc = PublishReply(s, r);
    if (rc != MOSQ_ERR_SUCCESS && WorthRetrying(rc)) return;
    if (rc != MOSQ_ERR_SUCCESS) {
      ++s->stats.errors;
      printf("Reply not published on %s: %s\n", r.topic.c_str(), mosquitto_strerror(rc));
    }
    s->heldReplies.pop_front();
  }
}

void CountError(tBridgeStats* st, tCommandError error) {
  switch (error) {
    case tCommandError::None:
      return;
    case tCommandError::TimeOut:
      ++st->commandTimeOuts;
      break;
    case tCommandError::Unavailable:
      ++st->commandsUnavailable;
      break;
    case tCommandError::Refused:
      ++st->commandsRefused;
      break;
  }
  ++st->commandErrors;
}

// The one reply of a command: the gateway's, or the bridge's own error
// reply with the reason. Held while the broker is away, never dropped.
void Answer(tBridgeSession* s, const tBridgeCommand& command) {
  tBridgeReply r;
  r.topic = command.responseTopic.empty() ? s->base + "/tx/reply" : command.responseTopic;
  r.correlation = command.correlation;
  tCommandError error = command.error;
  if (command.answered) {
    ++s->stats.commandsPassed;
    r.payload = command.result;
    error = CommandReplyError(r.payload);
  } else {
    ++s->stats.errors;
    printf("Command not passed: %s\n", command.result.c_str());
    r.payload = BridgeErrorReply(command.result);
  }
  CountError(&s->stats, error);
  s->heldReplies.push_back(std::move(r));
  FlushReplies(s);
}

// New commands from the broker each get their own connection, in arrival
// order, up to maxCommands in flight; past it the bridge answers at once.
void StartCommands(tBridgeSession* s) {
  const tBridgeConfig& c = *s->config;
  while (!s->arrived.empty()) {
    tBridgeCommand command = std::move(s->arrived.front());
    s->arrived.pop_front();
    if (s->inFlight.size() >= static_cast<size_t>(c.number[kMaxCommands])) {
      CommandAbandon(&command, kTooMany, tCommandError::Refused);
      Answer(s, command);
      continue;
    }
    s->inFlight.push_back(std::move(command));
    CommandStart(&s->inFlight.back(), c.text[kGatewayHost],
                 static_cast<uint16_t>(c.number[kSendPort]), c.delimiter);
  }
}

// The gateway serves commands one at a time, so only the oldest one in
// flight is on the clock; each later one starts its own when it gets there.
void ExpireOldest(tBridgeSession* s, int64_t now) {
  if (s->inFlight.empty()) return;
  tBridgeCommand& oldest = s->inFlight.front();
  if (oldest.deadlineMs == 0) oldest.deadlineMs = now + kCommandTimeoutMs;
  if (now >= oldest.deadlineMs) CommandExpire(&oldest);
}

// Answers and forgets every command that is done; the others keep their order.
void FinishCommands(tBridgeSession* s) {
  for (auto it = s->inFlight.begin(); it != s->inFlight.end();) {
    if (it->phase != tCommandPhase::Done) {
      ++it;
      continue;
    }
    Answer(s, *it);
    it = s->inFlight.erase(it);
  }
}

// The broker's socket: read, write what is pending, keep-alive.
void ServiceBroker(tBridgeSession* s, short revents) {
  int rc = MOSQ_ERR_SUCCESS;
  if (revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(s->mqtt, 1);
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(s->mqtt)) rc = mosquitto_loop_write(s->mqtt, 1);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(s->mqtt);
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(s->mqtt) >= 0) return;
  // Before the broker's CONNACK no disconnect callback reports the failure
  // (a TLS handshake that fails on a certificate ends here): say it once per
  // outage, or the retries would go on in silence.
  if (!s->connected && !s->failReported && rc != MOSQ_ERR_SUCCESS) {
    printf("Broker connection failed: %s\n", mosquitto_strerror(rc));
    s->failReported = true;
  }
  LoseBroker(s);
}

void CloseGateway(tBridgeSession* s) {
  if (s->gatewayPhase == tGatewayPhase::Open) {
    printf("Gateway receive port lost; trying again every %lld ms\n",
           static_cast<long long>(kGatewayRetryMs));
    if (!s->split.partial.empty())
      printf("Gateway stream ended inside a document: %zu bytes dropped\n", s->split.partial.size());
  }
  FdClose(&s->recvFd);
  DocSplitReset(&s->split);
  s->gatewayPhase = tGatewayPhase::Closed;
  s->nextGatewayTryMs = IoMonotonicMs() + kGatewayRetryMs;
}

// Reads what the receive port holds, a bounded amount per pass so that the
// broker and the commands are served in between, and hands every complete
// document on.
void ReadGateway(tBridgeSession* s) {
  s->readBuf.resize(kGatewayReadBytes);
  char* buf = s->readBuf.data();
  std::vector<std::string> docs;
  for (int reads = 0; reads < kGatewayReadsPerPass; ++reads) {
    long n = LinkRead(s->recvFd, buf, kGatewayReadBytes);
    if (n < 0) {
      CloseGateway(s);
      break;
    }
    if (n == 0) break;
    size_t dropped = DocSplitFeed(&s->split, buf, static_cast<size_t>(n), &docs);
    if (dropped > 0) {
      ++s->stats.errors;
      printf("Gateway stream: no document end within %zu bytes, %zu bytes dropped "
             "(does delimiter match the gateway's?)\n", kSplitMaxDoc, dropped);
    }
  }
  if (!docs.empty()) s->lastDocMs = IoMonotonicMs();
  for (std::string& d : docs) HandleDoc(s, std::move(d));
}

void ServiceGateway(tBridgeSession* s, short revents) {
  if (revents == 0) return;
  if (s->gatewayPhase == tGatewayPhase::Connecting) {
    if (!LinkConnected(s->recvFd)) {
      CloseGateway(s);
      return;
    }
    s->gatewayPhase = tGatewayPhase::Open;
    printf("Gateway connected at %s:%ld\n", s->config->text[kGatewayHost].c_str(),
           s->config->number[kRecvPort]);
  }
  ReadGateway(s);
}

void TryGateway(tBridgeSession* s, int64_t now) {
  if (s->gatewayPhase != tGatewayPhase::Closed || now < s->nextGatewayTryMs) return;
  const tBridgeConfig& c = *s->config;
  s->recvFd = LinkConnect(c.text[kGatewayHost], static_cast<uint16_t>(c.number[kRecvPort]));
  s->nextGatewayTryMs = now + kGatewayRetryMs;
  if (s->recvFd >= 0) s->gatewayPhase = tGatewayPhase::Connecting;
}

void AddPoll(tBridgeSession* s, int fd, short events, tBridgeCommand* owner) {
  s->fds.push_back({fd, events, 0});
  s->fdOwners.push_back(owner);
}

// The poll set of this pass: broker, receive port, then each command in
// flight. A command may write only once every earlier one has.
void BuildPoll(tBridgeSession* s) {
  s->fds.clear();
  s->fdOwners.clear();
  short broker = POLLIN;
  if (mosquitto_socket(s->mqtt) >= 0 && mosquitto_want_write(s->mqtt)) broker |= POLLOUT;
  AddPoll(s, mosquitto_socket(s->mqtt), broker, nullptr);
  AddPoll(s, s->recvFd, s->gatewayPhase == tGatewayPhase::Connecting ? POLLOUT : POLLIN, nullptr);
  bool maySend = true;
  for (tBridgeCommand& c : s->inFlight) {
    AddPoll(s, c.fd, CommandEvents(c, maySend), &c);
    maySend = maySend && CommandWritten(c);
  }
}

void ServiceCommands(tBridgeSession* s) {
  bool maySend = true;
  for (size_t i = kFirstCommandPoll; i < s->fds.size(); ++i) {
    tBridgeCommand* c = s->fdOwners[i];
    CommandService(c, s->fds[i].revents, maySend);
    maySend = maySend && CommandWritten(*c);
  }
}

void PublishStats(tBridgeSession* s, int64_t now) {
  tBridgeStats& st = s->stats;
  st.commandsWaiting = s->inFlight.size();
  st.gatewayConnected = s->gatewayPhase == tGatewayPhase::Open;
  st.secsSinceLastDoc = s->lastDocMs < 0 ? -1 : (now - s->lastDocMs) / 1000;
  st.nodesDropped = s->nodes.dropped;
  if (s->connected) Publish(s, s->base + "/stats", BridgeStatsJson(st), true);
  s->nextStatsMs = now + 1000 * s->config->number[kStatsSecs];
}

}  // namespace

std::string BridgeObjectType(const std::string& doc) {
  static const std::string key = "\"objectType\":\"";
  size_t at = doc.find(key);
  size_t end = at == std::string::npos ? at : doc.find('"', at + key.size());
  if (end == std::string::npos || end == at + key.size()) return "unknown";
  std::string type = doc.substr(at + key.size(), end - at - key.size());
  // A topic level never carries wildcards or separators.
  return type.find_first_of("/+#") == std::string::npos ? type : "unknown";
}

std::string BridgeErrorReply(const std::string& reason) {
  // The reason may be part of a reply cut off by the time-out, quotes and
  // all: it must be escaped, not pasted in.
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> writer(out);
  writer.StartObject();
  writer.Key("objectType");
  writer.String("replyMsg");
  writer.Key("status");
  writer.String("error");
  writer.Key("content");
  writer.String(reason.data(), static_cast<rapidjson::SizeType>(reason.size()));
  writer.EndObject();
  return std::string(out.GetString(), out.GetSize());
}

std::string BridgeStatsJson(const tBridgeStats& st) {
  auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  char since[24] = "null";
  if (st.secsSinceLastDoc >= 0)
    snprintf(since, sizeof since, "%lld", static_cast<long long>(st.secsSinceLastDoc));
  char text[768];
  snprintf(text, sizeof text,
           "{\"docsIn\":%llu,\"docsPublished\":%llu,\"docsDropped\":%llu,\"commandsPassed\":%llu,"
           "\"commandsAnswered\":%llu,\"errors\":%llu,\"reconnects\":%llu,\"commandsWaiting\":%llu,"
           "\"commandErrors\":%llu,\"commandTimeOuts\":%llu,\"commandsUnavailable\":%llu,"
           "\"commandsRefused\":%llu,\"gatewayConnected\":%s,\"secsSinceLastDoc\":%s,"
           "\"nodesDropped\":%llu}",
           n(st.docsIn), n(st.docsPublished), n(st.docsDropped), n(st.commandsPassed),
           n(st.commandsAnswered), n(st.errors), n(st.reconnects), n(st.commandsWaiting),
           n(st.commandErrors), n(st.commandTimeOuts), n(st.commandsUnavailable),
           n(st.commandsRefused), st.gatewayConnected ? "true" : "false", since, n(st.nodesDropped));
  return text;
}

int BridgeSessionStart(tBridgeSession* s, const tBridgeConfig* config) {
  const tBridgeConfig& c = *config;
  s->config = config;
  s->base = c.text[kTopicPrefix] + "/" + c.text[kGatewayId];
  BridgeNodesInit(&s->nodes, s->base, c.number[kMaxNodes], c.number[kNodeStateSecs]);
  s->mqtt = mosquitto_new(c.text[kClientId].c_str(), true, s);
  if (!s->mqtt) return PrintErr("Failed to create the MQTT client");
  mosquitto_int_option(s->mqtt, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  const std::string status = s->base + "/status";
  mosquitto_will_set_v5(s->mqtt, status.c_str(), 7, "offline", Qos(s), true, nullptr);
  if (!c.text[kUsername].empty())
    mosquitto_username_pw_set(s->mqtt, c.text[kUsername].c_str(),
                              c.password.empty() ? nullptr : c.password.c_str());
  auto orNull = [&](tBridgeKey k) { return c.text[k].empty() ? nullptr : c.text[k].c_str(); };
  if (!c.text[kCaFile].empty() &&
      mosquitto_tls_set(s->mqtt, orNull(kCaFile), nullptr, orNull(kCertFile), orNull(kKeyFile),
                        nullptr) != MOSQ_ERR_SUCCESS)
    return PrintErr("Invalid TLS files: caFile=%s", c.text[kCaFile].c_str());
  mosquitto_connect_v5_callback_set(s->mqtt, OnConnect);
  mosquitto_disconnect_v5_callback_set(s->mqtt, OnDisconnect);
  mosquitto_message_v5_callback_set(s->mqtt, OnMessage);
  s->brokerBackoffMs = kBrokerBackoffMinMs;
  DocSplitInit(&s->split, c.delimiter);
  if (mosquitto_connect_bind_v5(s->mqtt, c.text[kBrokerHost].c_str(),
                                static_cast<int>(c.number[kBrokerPort]),
                                static_cast<int>(c.number[kKeepAliveSecs]), nullptr,
                                nullptr) != MOSQ_ERR_SUCCESS) {
    printf("Broker %s:%ld not reachable yet\n", c.text[kBrokerHost].c_str(), c.number[kBrokerPort]);
    LoseBroker(s);
  }
  s->nextStatsMs = IoMonotonicMs() + 1000 * c.number[kStatsSecs];
  return 1;
}

void BridgeSessionStep(tBridgeSession* s, int timeoutMs) {
  BuildPoll(s);
  IoPoll(s->fds.data(), s->fds.size(), timeoutMs);
  if (s->fds[0].fd >= 0) ServiceBroker(s, s->fds[0].revents);
  if (s->recvFd >= 0) ServiceGateway(s, s->fds[1].revents);
  ServiceCommands(s);
  int64_t now = IoMonotonicMs();
  TryGateway(s, now);
  if (mosquitto_socket(s->mqtt) < 0 && now >= s->nextBrokerTryMs) TryBroker(s);
  StartCommands(s);
  ExpireOldest(s, now);
  FinishCommands(s);
  FlushReplies(s);
  FlushQueue(s);
  if (s->connected)
    BridgeNodesFlush(&s->nodes, now, [s](const std::string& topic, const std::string& payload) {
      return Publish(s, topic, payload, true);
    });
  if (now >= s->nextStatsMs) PublishStats(s, now);
}

void BridgeSessionStop(tBridgeSession* s) {
  // Every command still gets its one reply; what the gateway does with one
  // already passed is no longer seen.
  for (tBridgeCommand& c : s->inFlight) CommandAbandon(&c, kStopped, tCommandError::Unavailable);
  for (tBridgeCommand& c : s->arrived) CommandAbandon(&c, kStopped, tCommandError::Unavailable);
  if (s->mqtt) {
    FinishCommands(s);
    for (tBridgeCommand& c : s->arrived) Answer(s, c);
  }
  s->inFlight.clear();
  s->arrived.clear();
  if (!s->heldReplies.empty())
    printf("Stopping with %zu replies not published: the broker is away\n", s->heldReplies.size());
  s->heldReplies.clear();
  if (s->mqtt && s->connected) {
    // MQTT 5 lets the broker publish the will on an orderly stop too, so
    // "offline" has one source whichever way the bridge ends.
    mosquitto_disconnect_v5(s->mqtt, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    int64_t until = IoMonotonicMs() + kStopFlushMs;
    while (mosquitto_want_write(s->mqtt) && IoMonotonicMs() < until &&
           mosquitto_loop_write(s->mqtt, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
  if (s->mqtt) mosquitto_destroy(s->mqtt);
  s->mqtt = nullptr;
  s->connected = false;
  FdClose(&s->recvFd);
  s->gatewayPhase = tGatewayPhase::Closed;
}
