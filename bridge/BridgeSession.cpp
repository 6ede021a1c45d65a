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
#include "core/OvClosers.h"
#include "core/OvIo.h"
#include "core/OvPrintErr.h"

namespace {

// A gateway that comes back is found within this; well under a second.
constexpr int64_t kGatewayRetryMs = 200;
constexpr int64_t kBrokerBackoffMinMs = 250;
constexpr int64_t kBrokerBackoffMaxMs = 4000;
// A command may wait for clear-to-send and for the commands before it.
constexpr int kCommandTimeoutMs = 15000;
constexpr int kStopFlushMs = 1000;

tBridgeSession* Of(void* obj) { return static_cast<tBridgeSession*>(obj); }

int Qos(const tBridgeSession* s) { return static_cast<int>(s->config->number[kQos]); }

int Publish(tBridgeSession* s, const std::string& topic, const std::string& payload, bool retain,
            const mosquitto_property* props = nullptr) {
  return mosquitto_publish_v5(s->mqtt, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), Qos(s), retain, props) == MOSQ_ERR_SUCCESS;
}

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
  Of(obj)->commands.push_back(std::move(command));
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

void PassCommand(tBridgeSession* s) {
  tBridgeCommand command = std::move(s->commands.front());
  s->commands.pop_front();
  std::string reply;
  const tBridgeConfig& c = *s->config;
  if (LinkCommand(c.text[kGatewayHost], static_cast<uint16_t>(c.number[kSendPort]),
                  command.payload, kCommandTimeoutMs, &reply)) {
    ++s->stats.commandsPassed;
  } else {
    ++s->stats.errors;
    printf("Command not passed: %s\n", reply.c_str());
    reply = BridgeErrorReply(reply);
  }
  mosquitto_property* props = nullptr;
  if (!command.correlation.empty())
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, command.correlation.data(),
                                  static_cast<uint16_t>(command.correlation.size()));
  const std::string& topic =
      command.responseTopic.empty() ? s->base + "/tx/reply" : command.responseTopic;
  if (Publish(s, topic, reply, false, props)) ++s->stats.commandsAnswered;
  mosquitto_property_free_all(&props);
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

void ServiceGateway(tBridgeSession* s, short revents) {
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
  std::vector<std::string> docs;
  int open = LinkReadDocs(s->recvFd, &s->partial, &docs);
  for (std::string& d : docs) HandleDoc(s, std::move(d));
  if (!open) {
    FdClose(&s->recvFd);
    s->partial.clear();
    s->nextGatewayTryMs = IoMonotonicMs() + kGatewayRetryMs;
  }
}

void PublishStats(tBridgeSession* s) {
  s->stats.nodesDropped = s->nodes.dropped;
  if (s->connected) Publish(s, s->base + "/stats", BridgeStatsJson(s->stats), true);
  s->nextStatsMs = IoMonotonicMs() + 1000 * s->config->number[kStatsSecs];
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
  char text[512];
  snprintf(text, sizeof text,
           "{\"docsIn\":%llu,\"docsPublished\":%llu,\"docsDropped\":%llu,\"commandsPassed\":%llu,"
           "\"commandsAnswered\":%llu,\"errors\":%llu,\"reconnects\":%llu,\"nodesDropped\":%llu}",
           static_cast<unsigned long long>(st.docsIn), static_cast<unsigned long long>(st.docsPublished),
           static_cast<unsigned long long>(st.docsDropped),
           static_cast<unsigned long long>(st.commandsPassed),
           static_cast<unsigned long long>(st.commandsAnswered),
           static_cast<unsigned long long>(st.errors), static_cast<unsigned long long>(st.reconnects),
           static_cast<unsigned long long>(st.nodesDropped));
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
  pollfd fds[2] = {{mosquitto_socket(s->mqtt), POLLIN, 0}, {s->recvFd, POLLIN, 0}};
  if (fds[0].fd >= 0 && mosquitto_want_write(s->mqtt)) fds[0].events |= POLLOUT;
  IoPoll(fds, 2, timeoutMs);
  if (fds[0].fd >= 0) ServiceBroker(s, fds[0].revents);
  if (s->recvFd >= 0) ServiceGateway(s, fds[1].revents);
  int64_t now = IoMonotonicMs();
  if (s->recvFd < 0 && now >= s->nextGatewayTryMs) {
    const tBridgeConfig& c = *s->config;
    s->recvFd = LinkConnect(c.text[kGatewayHost], static_cast<uint16_t>(c.number[kRecvPort]));
    s->nextGatewayTryMs = now + kGatewayRetryMs;
  }
  if (mosquitto_socket(s->mqtt) < 0 && now >= s->nextBrokerTryMs) TryBroker(s);
  FlushQueue(s);
  if (!s->commands.empty()) PassCommand(s);
  if (s->connected)
    BridgeNodesFlush(&s->nodes, now, [s](const std::string& topic, const std::string& payload) {
      return Publish(s, topic, payload, true);
    });
  if (now >= s->nextStatsMs) PublishStats(s);
}

void BridgeSessionStop(tBridgeSession* s) {
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
}
