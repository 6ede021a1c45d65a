// JSON serializer: the outgoing documents and the incoming commands of the
// gateway's TCP ports, over RapidJSON. Every call builds and releases its own
// writer or document, so the receive and send threads can share one instance.
#include "serializer/tSerializerJson.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

std::atomic<tSerializerJson::tClock> tSerializerJson::s_clock{nullptr};

void tSerializerJson::SetClock(tClock clock) { s_clock.store(clock, std::memory_order_release); }

void tSerializerJson::SetStrictCommands(bool on) { strict_.store(on, std::memory_order_relaxed); }

// ---- Writing ------------------------------------------------------------------

namespace {

using tBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>>;
using tWriter = rapidjson::Writer<tBuffer>;

constexpr char Nibbles[] = "0123456789abcdef";

// "YYYY-MM-DDThh:mm:ss.mmmZ" in UTC, milliseconds truncated, into out[64].
void FormatTimestamp(tSerializerJson::tClock clock, char* out, size_t size) {
  timespec ts{};
  clock(&ts, TIME_UTC);
  long ms = static_cast<long>(static_cast<double>(ts.tv_nsec) / 1000000.0);
  tm utc{};
  gmtime_r(&ts.tv_sec, &utc);
  char seconds[32];
  if (strftime(seconds, sizeof seconds, "%FT%T", &utc) == 0) seconds[0] = '\0';
  snprintf(out, size, "%s.%03ldZ", seconds, ms % 1000);
}

// One document under construction: opened with its "objectType" and
// "gwTimestamp", closed and copied by Finish.
class tDocument {
public:
  tDocument(const char* objectType, tSerializerJson::tClock clock) : writer(buffer) {
    char stamp[64];
    FormatTimestamp(clock, stamp, sizeof stamp);
    writer.StartObject();
    Text("objectType", objectType);
    Text("gwTimestamp", stamp);
  }
  void Text(const char* name, const char* value) {
    writer.Key(name);
    writer.String(value);
  }
  void Number(const char* name, uint64_t value) {
    writer.Key(name);
    writer.Uint64(value);
  }
  void Uid(const char* name, const uint8_t* bytes) {
    char hex[11];
    for (int i = 0; i < 5; ++i) {
      hex[2 * i] = Nibbles[bytes[i] >> 4];
      hex[2 * i + 1] = Nibbles[bytes[i] & 0x0F];
    }
    hex[10] = '\0';
    Text(name, hex);
  }
  tWriter& Writer() { return writer; }
  char* Finish() {
    writer.EndObject();
    return strdup(buffer.GetString());
  }

private:
  tBuffer buffer;
  tWriter writer;
};

void WritePayloadRaw(tWriter& writer, const uint8_t* bytes, unsigned count) {
  writer.Key("payload");
  writer.StartArray();
  for (unsigned i = 0; i < count; ++i) writer.Uint(bytes[i]);
  writer.EndArray();
}

tSerializerJson::tClock ClockInForce(const std::atomic<tSerializerJson::tClock>& hook) {
  tSerializerJson::tClock clock = hook.load(std::memory_order_acquire);
  return clock ? clock : timespec_get;
}

// The shared shape of the four received-payload documents.
struct tPayloadFields {
  const char* payloadType;
  bool hasSequenceNo;
  uint16_t sequenceNo;
  uint16_t nodeId;
  uint8_t port;
  uint64_t ageMicroSecs;
  const char* ageType;
  const uint8_t* payload;
  uint8_t payloadLength;
};

char* WriteReceivedPayload(const tPayloadFields& f, tSerializerJson::tClock clock) {
  tDocument doc("receivedPayload", clock);
  doc.Text("payloadType", f.payloadType);
  if (f.hasSequenceNo) doc.Number("sequenceNo", f.sequenceNo);
  doc.Number("nodeId", f.nodeId);
  doc.Number("port", f.port);
  doc.Number("packageAgeMicroSecs", f.ageMicroSecs);
  doc.Text("packageAgeType", f.ageType);
  WritePayloadRaw(doc.Writer(), f.payload, f.payloadLength);
  return doc.Finish();
}

uint64_t NormalAge(uint16_t age) { return static_cast<uint64_t>(age) * 125000u; }
uint64_t HapaAge(uint32_t age) { return (static_cast<uint64_t>(age) * 1000000u) >> 19; }

const char* RawObjectType(const unsigned char* frame, unsigned char count) {
  if (count == 0) return "unknown";
  switch (frame[0]) {
  case OVAPI_OP_HOST_ACK: return "ack";
  case OVAPI_OP_HOST_NACK: return "nack";
  case OVAPI_OP_HOST_DATA:
  case OVAPI_OP_HOST_DATA_HAPA:
  case OVAPI_OP_HOST_UAPP_DATA:
  case OVAPI_OP_HOST_UAPP_DATA_HAPA: return "receivedPayload";
  case OVAPI_OP_NODE_INFO_REPLY: return "nodeInfoReply";
  case OVAPI_OP_NEIGHBOR_LIST_REPLY: return "neighborListReply";
  case OVAPI_OP_NET_CMD_REPLY: return "networkCommandReply";
  case OVAPI_OP_WES_STATUS: return "wesStatus";
  case OVAPI_OP_WES_SETUP_REQUEST: return "wesSetupRequest";
  default: return "unknown";
  }
}

char* WriteNodeIdOnly(const char* objectType, uint16_t nodeId, tSerializerJson::tClock clock) {
  tDocument doc(objectType, clock);
  doc.Number("nodeId", nodeId);
  return doc.Finish();
}

} // namespace

char* tSerializerJson::SerializeAck(const OvApiHostAckNack* msg) {
  return WriteNodeIdOnly("ack", msg->nodeId, ClockInForce(s_clock));
}

char* tSerializerJson::SerializeNAck(const OvApiHostAckNack* msg) {
  return WriteNodeIdOnly("nack", msg->nodeId, ClockInForce(s_clock));
}

char* tSerializerJson::SerializeRaw(const unsigned char* frame, unsigned char count) {
  tDocument doc(RawObjectType(frame, count), ClockInForce(s_clock));
  WritePayloadRaw(doc.Writer(), frame, count);
  return doc.Finish();
}

char* tSerializerJson::Serialize(const OvApiHostData* m) {
  return WriteReceivedPayload({"acknowledged", false, 0, m->nodeId, m->port, NormalAge(m->packageAge),
                               "normal", m->payload, m->payloadLength},
                              ClockInForce(s_clock));
}

char* tSerializerJson::Serialize(const OvApiHostDataHapa* m) {
  return WriteReceivedPayload({"acknowledged", false, 0, m->nodeId, m->port, HapaAge(m->packageAge),
                               "hapa", m->payload, m->payloadLength},
                              ClockInForce(s_clock));
}

char* tSerializerJson::Serialize(const OvApiHostUappData* m) {
  return WriteReceivedPayload({"unacknowledged", true, m->sequenceNo, m->nodeId, m->port,
                               NormalAge(m->packageAge), "normal", m->payload, m->payloadLength},
                              ClockInForce(s_clock));
}

char* tSerializerJson::Serialize(const OvApiHostUappDataHapa* m) {
  return WriteReceivedPayload({"unacknowledged", true, m->sequenceNo, m->nodeId, m->port,
                               HapaAge(m->packageAge), "hapa", m->payload, m->payloadLength},
                              ClockInForce(s_clock));
}

char* tSerializerJson::Serialize(const OvApiNodeInfoReply* msg) {
  tDocument doc("nodeInfoReply", ClockInForce(s_clock));
  doc.Number("nodeId", msg->nodeId);
  doc.Uid("uidHex", msg->uidHex);
  doc.Number("nodeType", msg->nodeType & 0xFFu);
  return doc.Finish();
}

char* tSerializerJson::Serialize(const OvApiNeighborListReply* msg) {
  tDocument doc("neighborListReply", ClockInForce(s_clock));
  tWriter& w = doc.Writer();
  w.Key("neighbors");
  w.StartArray();
  for (unsigned i = 0; i < msg->neighborCount && i < OVAPI_MAX_NEIGHBORS; ++i) {
    w.StartObject();
    w.Key("nodeId");
    w.Uint(msg->neighbors[i].nodeId);
    w.Key("RSSI");
    w.Uint(msg->neighbors[i].RSSI);
    w.EndObject();
  }
  w.EndArray();
  return doc.Finish();
}

char* tSerializerJson::Serialize(const OvApiNetCmdReply* msg) {
  tDocument doc("networkCommandReply", ClockInForce(s_clock));
  doc.Number("nodeId", msg->nodeId);
  doc.Number("command", msg->command & 0xFFu);
  WritePayloadRaw(doc.Writer(), msg->payload, msg->payloadLength);
  return doc.Finish();
}

char* tSerializerJson::Serialize(const OvApiWesSetupRequest* msg) {
  tDocument doc("wesSetupRequest", ClockInForce(s_clock));
  doc.Uid("uidHex", msg->uidHex);
  doc.Number("appFunctionType", msg->appFunctionType);
  return doc.Finish();
}

char* tSerializerJson::Serialize(const OvApiWesStatus* msg) {
  tDocument doc("wesStatus", ClockInForce(s_clock));
  doc.Number("status", msg->status);
  return doc.Finish();
}

char* tSerializerJson::Serialize(const tReplyMsg* msg) {
  tDocument doc("replyMsg", ClockInForce(s_clock));
  doc.Text("status", msg->status ? msg->status : "");
  doc.Text("content", msg->content ? msg->content : "");
  return doc.Finish();
}

// ---- Reading ------------------------------------------------------------------

namespace {

constexpr const char* kNotJson1 = "Message is not JSON-formatted (#1)";
constexpr const char* kNotJson2 = "Message is not JSON-formatted (#2)";
constexpr const char* kHexMismatch = "HexString length mismatch";
constexpr const char* kMissing = "Missing member: ";
constexpr const char* kInvalid = "Invalid member: ";
constexpr const char* kTooLong = "Payload too long: ";

// "<prefix><name>" in the next buffer of this thread's ring.
const char* MemberText(const char* prefix, const char* name) {
  constexpr int kRing = 8;
  constexpr int kSize = 1024;
  thread_local char ring[kRing][kSize];
  thread_local int next = 0;
  char* out = ring[next];
  next = (next + 1) % kRing;
  snprintf(out, kSize, "%s%s", prefix, name);
  return out;
}

const rapidjson::Value* FindFirst(const rapidjson::Value& object, const char* name) {
  auto member = object.FindMember(name);
  return member == object.MemberEnd() ? nullptr : &member->value;
}

// Null when the text-valued member `name` equals `expected`; "" when it is
// absent or different; a failure text when it is not a string.
const char* MatchText(const rapidjson::Value& object, const char* name, const char* expected) {
  const rapidjson::Value* value = FindFirst(object, name);
  if (!value) return "";
  if (!value->IsString()) return MemberText(kInvalid, name);
  size_t n = strlen(expected);
  if (value->GetStringLength() != n || memcmp(value->GetString(), expected, n) != 0) return "";
  return nullptr;
}

// Parses the command and checks its kind; null when `doc` holds a command of
// this kind, else the operation's result. `payloadType` may be null.
const char* OpenCommand(const char* text, int length, rapidjson::Document& doc,
                        const char* objectType, const char* payloadType) {
  size_t n = (text && length > 0) ? strnlen(text, static_cast<size_t>(length)) : 0;
  std::string copy(text ? text : "", n);
  if (copy.empty() || copy[0] != '{') return kNotJson1;
  doc.Parse(copy.c_str());
  if (doc.HasParseError() || !doc.IsObject()) return kNotJson2;
  const char* kind = MatchText(doc, "objectType", objectType);
  if (kind || !payloadType) return kind;
  return MatchText(doc, "payloadType", payloadType);
}

// An integer 0..max (0..4294967295 unless strict narrows it).
const char* ReadUInt32(const rapidjson::Value& object, const char* name, uint32_t* out,
                       uint32_t max) {
  const rapidjson::Value* value = FindFirst(object, name);
  if (!value) return MemberText(kMissing, name);
  if (!value->IsUint() || value->GetUint() > max) return MemberText(kInvalid, name);
  *out = value->GetUint();
  return nullptr;
}

uint32_t FieldMax(bool strict, uint32_t fieldMax) { return strict ? fieldMax : 0xFFFFFFFFu; }

bool IsHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Strict: every character a hex digit and no spare character.
bool IsStrictHex(const rapidjson::Value& value, unsigned byteCount) {
  if (value.GetStringLength() != 2 * byteCount) return false;
  const char* text = value.GetString();
  for (unsigned i = 0; i < 2 * byteCount; ++i)
    if (!IsHexDigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

unsigned HexNibble(unsigned char c) {
  if (c <= '9') return c - 48u;
  if (c <= 'F') return c - 55u;
  return c - 87u;
}

} // namespace

const char* tSerializerJson::ReadString(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* value = FindFirst(object, name);
  return value && value->IsString() ? value->GetString() : nullptr;
}

const char* tSerializerJson::ReadUInt8(const rapidjson::Value& object, const char* name,
                                       uint8_t* field, bool strict) {
  uint32_t v = 0;
  if (const char* failure = ReadUInt32(object, name, &v, FieldMax(strict, 0xFFu))) return failure;
  *field = static_cast<uint8_t>(v);
  return nullptr;
}

const char* tSerializerJson::ReadUInt16(const rapidjson::Value& object, const char* name,
                                        uint16_t* field, bool strict) {
  uint32_t v = 0;
  if (const char* failure = ReadUInt32(object, name, &v, FieldMax(strict, 0xFFFFu)))
    return failure;
  *field = static_cast<uint16_t>(v);
  return nullptr;
}

const char* tSerializerJson::ReadIntArray(const rapidjson::Value& object, const char* name,
                                          uint8_t** bufferField, uint8_t* lengthField,
                                          bool required, bool strict) {
  const rapidjson::Value* value = FindFirst(object, name);
  if (!value || !value->IsArray()) return required ? MemberText(kMissing, name) : nullptr;
  rapidjson::SizeType count = value->Size();
  if (count > 255) return MemberText(kTooLong, name);
  for (const rapidjson::Value& element : value->GetArray()) {
    if (!element.IsInt()) return MemberText(kInvalid, name);
    if (strict && (element.GetInt() < -128 || element.GetInt() > 255))
      return MemberText(kInvalid, name);
  }
  uint8_t* buffer = nullptr;
  if (count > 0) {
    buffer = static_cast<uint8_t*>(malloc(count));
    if (!buffer) return MemberText(kTooLong, name);
    for (rapidjson::SizeType i = 0; i < count; ++i)
      buffer[i] = static_cast<uint8_t>((*value)[i].GetInt());
  }
  *lengthField = static_cast<uint8_t>(count);
  *bufferField = buffer;
  return nullptr;
}

const char* tSerializerJson::ReadHexString(const rapidjson::Value& object, const char* name,
                                           uint8_t* bytesField, unsigned byteCount,
                                           bool required, bool strict) {
  const rapidjson::Value* value = FindFirst(object, name);
  if (!value) return required ? MemberText(kMissing, name) : nullptr;
  if (!value->IsString()) return MemberText(kInvalid, name);
  if (value->GetStringLength() / 2 != byteCount) return kHexMismatch;
  if (strict && !IsStrictHex(*value, byteCount)) return MemberText(kInvalid, name);
  const unsigned char* text = reinterpret_cast<const unsigned char*>(value->GetString());
  for (unsigned i = 0; i < byteCount; ++i) {
    unsigned high = HexNibble(text[2 * i]);
    unsigned low = HexNibble(text[2 * i + 1]);
    bytesField[i] = static_cast<uint8_t>(((high * 16u) % 256u) | low);
  }
  return nullptr;
}

// ---- The eight commands -------------------------------------------------------

const char* tSerializerJson::DeSerialize(const char* text, int length, OvApiSendUnackMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "sendPayload", "unacknowledged");
  if (!r) r = ReadIntArray(doc, "payload", &msg->payload, &msg->payloadLength, true, Strict());
  if (!r) r = ReadUInt16(doc, "nodeId", &msg->nodeId, Strict());
  if (!r) r = ReadUInt8(doc, "port", &msg->port, Strict());
  if (!r) r = ReadUInt16(doc, "sequenceNo", &msg->sequenceNo, Strict());
  return r;
}

const char* tSerializerJson::DeSerialize(const char* text, int length, OvApiSendAckMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "sendPayload", "acknowledged");
  if (!r) r = ReadIntArray(doc, "payload", &msg->payload, &msg->payloadLength, true, Strict());
  if (!r) r = ReadUInt16(doc, "nodeId", &msg->nodeId, Strict());
  if (!r) r = ReadUInt8(doc, "port", &msg->port, Strict());
  return r;
}

const char* tSerializerJson::DeSerialize(const char* text, int length,
                                         OvApiNodeInfoRequestMessage*) {
  rapidjson::Document doc;
  return OpenCommand(text, length, doc, "nodeInfoRequest", nullptr);
}

const char* tSerializerJson::DeSerialize(const char* text, int length,
                                         OvApiNeighborListRequestMessage*) {
  rapidjson::Document doc;
  return OpenCommand(text, length, doc, "neighborListRequest", nullptr);
}

const char* tSerializerJson::DeSerialize(const char* text, int length, OvApiNetCmdMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "networkCommand", nullptr);
  if (!r) r = ReadIntArray(doc, "payload", &msg->payload, &msg->payloadLength, true, Strict());
  if (!r) r = ReadUInt16(doc, "nodeId", &msg->nodeId, Strict());
  if (!r) r = ReadUInt8(doc, "cmd", &msg->cmd, Strict());
  return r;
}

namespace {
// "cmd" of the setup and alternate commands: 8 bits into a 32-bit field.
const char* ReadCmd32(const rapidjson::Value& doc, uint32_t* field, bool strict) {
  uint8_t cmd = 0;
  const char* r = tSerializerJson::ReadUInt8(doc, "cmd", &cmd, strict);
  if (!r) *field = cmd;
  return r;
}
} // namespace

const char* tSerializerJson::DeSerialize(const char* text, int length, OvApiWesCmdMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "wesCmd", nullptr);
  return r ? r : ReadCmd32(doc, &msg->cmd, Strict());
}

const char* tSerializerJson::DeSerialize(const char* text, int length,
                                         OvApiWesResponseMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "wesResponse", nullptr);
  if (!r) r = ReadUInt16(doc, "nodeId", &msg->nodeId, Strict());
  if (!r) r = ReadHexString(doc, "uidHex", msg->uidHex, sizeof msg->uidHex, true, Strict());
  if (!r) r = ReadHexString(doc, "appSettings", msg->appSettings, sizeof msg->appSettings, true,
                             Strict());
  return r;
}

const char* tSerializerJson::DeSerialize(const char* text, int length, OvApiAltCmdMessage* msg) {
  rapidjson::Document doc;
  const char* r = OpenCommand(text, length, doc, "altCmd", nullptr);
  return r ? r : ReadCmd32(doc, &msg->cmd, Strict());
}
