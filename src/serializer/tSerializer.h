// Format-neutral serializer interface between the radio module's records and
// the texts of the gateway's two TCP ports. The configuration selects the
// implementation by name (tSerializerJson for "json"); the receive callbacks,
// the send task and the command dispatch call it without knowing the format.
//
// Implementations hold no state but the strictness switch: one instance may
// be used by several threads at once.
#pragma once

#include "ovapi/OvApi.h"
#include "serializer/tReplyMsg.h"

class tSerializer {
public:
  virtual ~tSerializer() = default;

  // Strict reading of commands (the strictCommands key), off by default:
  // when on, values that today's reading would wrap or guess at are refused
  // (see the implementation). Set before the send thread starts.
  virtual void SetStrictCommands(bool on) { (void)on; }

  // Reading one command text. `text` need not be NUL-terminated: at most
  // `length` bytes are used, fewer when a NUL comes first. Result:
  //   null            the text is a command of this kind; `msg` is filled
  //   "" (empty)      well-formed, but not this kind; `msg` untouched
  //   any other text  failure message (not JSON, or a member unreadable);
  //                   members read before the failure keep their values
  // The caller never releases the result; see the implementation for how
  // long it stays valid. A payload buffer stored in `msg` is malloc'd and
  // belongs to the caller from then on (even when a later member fails).
  virtual const char* DeSerialize(const char* text, int length, OvApiSendUnackMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length, OvApiSendAckMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length,
                                  OvApiNodeInfoRequestMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length,
                                  OvApiNeighborListRequestMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length, OvApiNetCmdMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length, OvApiWesCmdMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length, OvApiWesResponseMessage* msg) = 0;
  virtual const char* DeSerialize(const char* text, int length, OvApiAltCmdMessage* msg) = 0;

  // Writing one document. Each returns a new NUL-terminated text from malloc
  // holding exactly one document (no delimiter); the caller frees it. The
  // input is only read. Null only when memory runs out.
  virtual char* SerializeAck(const OvApiHostAckNack* msg) = 0;
  virtual char* SerializeNAck(const OvApiHostAckNack* msg) = 0;
  // One complete frame (opcode, length byte, body): `count` bytes at `frame`.
  virtual char* SerializeRaw(const unsigned char* frame, unsigned char count) = 0;
  virtual char* Serialize(const OvApiHostData* msg) = 0;
  virtual char* Serialize(const OvApiHostDataHapa* msg) = 0;
  virtual char* Serialize(const OvApiHostUappData* msg) = 0;
  virtual char* Serialize(const OvApiHostUappDataHapa* msg) = 0;
  virtual char* Serialize(const OvApiNodeInfoReply* msg) = 0;
  virtual char* Serialize(const OvApiNeighborListReply* msg) = 0;
  virtual char* Serialize(const OvApiNetCmdReply* msg) = 0;
  virtual char* Serialize(const OvApiWesSetupRequest* msg) = 0;
  virtual char* Serialize(const OvApiWesStatus* msg) = 0;
  virtual char* Serialize(const tReplyMsg* msg) = 0;
};
