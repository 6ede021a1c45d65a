// The JSON serializer: writes every outgoing document of the gateway with a
// RapidJSON Writer and reads the send port's commands with a RapidJSON
// document. It holds no state, so one instance may serve the receive thread
// and the send thread at the same time.
//
// Failure texts of DeSerialize (never released by the caller):
//   "Message is not JSON-formatted (#1)"  text does not begin with "{"
//   "Message is not JSON-formatted (#2)"  "{" but not exactly one JSON value
//   "Missing member: <name>"              a required member is absent
//                                         ("payload" also when not an array)
//   "Invalid member: <name>"              a member of the wrong JSON type: a
//                                         non-string "objectType",
//                                         "payloadType", "uidHex" or
//                                         "appSettings"; a number that is not
//                                         an integer 0..4294967295; a
//                                         "payload" element that is not an
//                                         integer in the signed 32-bit range
//   "Payload too long: <name>"            an array of more than 255 elements
//   "HexString length mismatch"           a hex text of the wrong length
// With strict commands on, "Invalid member: <name>" also refuses a number
// too large for its field ("nodeId" and "sequenceNo" above 65535, "port" and
// "cmd" above 255), a "payload" element outside -128..255, and a hex text
// that holds a character other than a hex digit or has one character more
// than its bytes need.
// The constant texts live forever. The member texts are formatted into a
// small per-thread ring of buffers: each stays valid on its thread for the
// next seven failing reads, enough for one full pass of the dispatcher over
// the eight command kinds.
#pragma once

#include <atomic>
#include <ctime>

#include <rapidjson/document.h>

#include "serializer/tSerializer.h"

class tSerializerJson : public tSerializer {
public:
  // Source of the "gwTimestamp" reading; the same shape as timespec_get,
  // which is the default. Tests install a fixed clock; null restores the
  // default. Process-wide, so set it before documents are built.
  using tClock = int (*)(timespec* ts, int base);
  static void SetClock(tClock clock);

  void SetStrictCommands(bool on) override;

  const char* DeSerialize(const char* text, int length, OvApiSendUnackMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiSendAckMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiNodeInfoRequestMessage* msg) override;
  const char* DeSerialize(const char* text, int length,
                          OvApiNeighborListRequestMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiNetCmdMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiWesCmdMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiWesResponseMessage* msg) override;
  const char* DeSerialize(const char* text, int length, OvApiAltCmdMessage* msg) override;

  char* SerializeAck(const OvApiHostAckNack* msg) override;
  char* SerializeNAck(const OvApiHostAckNack* msg) override;
  char* SerializeRaw(const unsigned char* frame, unsigned char count) override;
  char* Serialize(const OvApiHostData* msg) override;
  char* Serialize(const OvApiHostDataHapa* msg) override;
  char* Serialize(const OvApiHostUappData* msg) override;
  char* Serialize(const OvApiHostUappDataHapa* msg) override;
  char* Serialize(const OvApiNodeInfoReply* msg) override;
  char* Serialize(const OvApiNeighborListReply* msg) override;
  char* Serialize(const OvApiNetCmdReply* msg) override;
  char* Serialize(const OvApiWesSetupRequest* msg) override;
  char* Serialize(const OvApiWesStatus* msg) override;
  char* Serialize(const tReplyMsg* msg) override;

  // ---- Member readers over the root object of a parsed command. Each looks
  // at the first member called `name` only. Results as for DeSerialize:
  // null on success, else one of the failure texts above; on failure the
  // fields are left untouched. `strict` adds the refusals of strict commands.

  // The text of member `name`, or null when absent or not a string.
  static const char* ReadString(const rapidjson::Value& object, const char* name);
  // Integer 0..4294967295 stored modulo 256 / 65536.
  static const char* ReadUInt8(const rapidjson::Value& object, const char* name, uint8_t* field,
                               bool strict = false);
  static const char* ReadUInt16(const rapidjson::Value& object, const char* name, uint16_t* field,
                                bool strict = false);
  // Array of at most 255 signed 32-bit integers, each stored as its low 8
  // bits into a new malloc'd buffer (null for an empty array). An absent
  // member is a success without effect unless `required`.
  static const char* ReadIntArray(const rapidjson::Value& object, const char* name,
                                  uint8_t** bufferField, uint8_t* lengthField, bool required,
                                  bool strict = false);
  // Hex text of 2*byteCount or 2*byteCount+1 characters into byteCount bytes
  // (c-48 up to '9', c-55 up to 'F', c-87 above; high nibble first).
  static const char* ReadHexString(const rapidjson::Value& object, const char* name,
                                   uint8_t* bytesField, unsigned byteCount, bool required,
                                   bool strict = false);

private:
  bool Strict() const { return strict_.load(std::memory_order_relaxed); }

  static std::atomic<tClock> s_clock;
  std::atomic<bool> strict_{false};
};
