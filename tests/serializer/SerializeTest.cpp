// Outgoing documents: exact text of every kind, timestamp arithmetic, number
// widths, hex identifiers and escaping.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "SerializerTestClock.h"

namespace {

// Takes ownership of a serialized text and returns it as a string.
std::string Take(char* text) {
  EXPECT_NE(text, nullptr);
  std::string s = text ? text : "";
  free(text);
  return s;
}

const std::string kStamp = "\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\"";

} // namespace

// ---- The six example documents ---------------------------------------------

TEST_F(SerializerTest, UappDataExample) {
  uint8_t bytes[] = {0x01, 0x02, 0xFF};
  OvApiHostUappData m{4660, 3, 1, 17, 3, bytes};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"receivedPayload\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"payloadType\":\"unacknowledged\",\"sequenceNo\":17,\"nodeId\":4660,\"port\":1,"
            "\"packageAgeMicroSecs\":375000,\"packageAgeType\":\"normal\",\"payload\":[1,2,255]}");
}

TEST_F(SerializerTest, DataHapaExample) {
  OvApiHostDataHapa m{2, 524288, 0, 0, nullptr};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"receivedPayload\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"payloadType\":\"acknowledged\",\"nodeId\":2,\"port\":0,"
            "\"packageAgeMicroSecs\":1000000,\"packageAgeType\":\"hapa\",\"payload\":[]}");
}

TEST_F(SerializerTest, NeighborListExample) {
  OvApiNeighborListReply m{};
  m.neighborCount = 2;
  m.neighbors[0] = {12, 200};
  m.neighbors[1] = {7, 181};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"neighborListReply\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"neighbors\":[{\"nodeId\":12,\"RSSI\":200},{\"nodeId\":7,\"RSSI\":181}]}");
}

TEST_F(SerializerTest, NodeInfoExample) {
  OvApiNodeInfoReply m{1, {0x01, 0xA2, 0x03, 0xB4, 0xFF}, 3};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"nodeInfoReply\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"nodeId\":1,\"uidHex\":\"01a203b4ff\",\"nodeType\":3}");
}

TEST_F(SerializerTest, ReplyMsgExample) {
  tReplyMsg m{"ok", nullptr};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"replyMsg\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"status\":\"ok\",\"content\":\"\"}");
}

TEST_F(SerializerTest, RawExample) {
  unsigned char frame[] = {0x57, 1, 9};
  EXPECT_EQ(Take(json.SerializeRaw(frame, 3)),
            "{\"objectType\":\"unknown\",\"gwTimestamp\":\"2024-02-29T23:59:59.045Z\","
            "\"payload\":[87,1,9]}");
}

// ---- The other kinds ------------------------------------------------------

TEST_F(SerializerTest, AckAndNack) {
  OvApiHostAckNack m{65535};
  EXPECT_EQ(Take(json.SerializeAck(&m)), "{\"objectType\":\"ack\"," + kStamp + ",\"nodeId\":65535}");
  EXPECT_EQ(Take(json.SerializeNAck(&m)), "{\"objectType\":\"nack\"," + kStamp + ",\"nodeId\":65535}");
}

TEST_F(SerializerTest, PlainDataAndUappHapa) {
  uint8_t b[] = {0, 128};
  OvApiHostData d{7, 65535, 4, 2, b};
  EXPECT_EQ(Take(json.Serialize(&d)),
            "{\"objectType\":\"receivedPayload\"," + kStamp +
                ",\"payloadType\":\"acknowledged\",\"nodeId\":7,\"port\":4,"
                "\"packageAgeMicroSecs\":8191875000,\"packageAgeType\":\"normal\",\"payload\":[0,128]}");
  OvApiHostUappDataHapa u{9, 0xFFFFFFFFu, 3, 4095, 1, b + 1};
  EXPECT_EQ(Take(json.Serialize(&u)),
            "{\"objectType\":\"receivedPayload\"," + kStamp +
                ",\"payloadType\":\"unacknowledged\",\"sequenceNo\":4095,\"nodeId\":9,\"port\":3,"
                "\"packageAgeMicroSecs\":8191999998,\"packageAgeType\":\"hapa\",\"payload\":[128]}");
}

TEST_F(SerializerTest, HapaAgeTruncates) {
  struct {
    uint32_t age;
    const char* micro;
  } cases[] = {{524287, "999998"}, {1, "1"}, {0, "0"}, {524288, "1000000"}};
  for (const auto& c : cases) {
    OvApiHostDataHapa m{1, c.age, 0, 0, nullptr};
    std::string doc = Take(json.Serialize(&m));
    EXPECT_NE(doc.find(std::string("\"packageAgeMicroSecs\":") + c.micro + ","), std::string::npos)
        << c.age << " -> " << doc;
  }
}

TEST_F(SerializerTest, NetCmdReplyKeepsLowByteOfCommand) {
  uint8_t b[] = {5};
  OvApiNetCmdReply m{3, 300, 1, b};
  EXPECT_EQ(Take(json.Serialize(&m)), "{\"objectType\":\"networkCommandReply\"," + kStamp +
                                          ",\"nodeId\":3,\"command\":44,\"payload\":[5]}");
}

TEST_F(SerializerTest, NodeTypeKeepsLowByte) {
  OvApiNodeInfoReply m{2, {0, 0, 0, 0, 0}, 300};
  EXPECT_EQ(Take(json.Serialize(&m)), "{\"objectType\":\"nodeInfoReply\"," + kStamp +
                                          ",\"nodeId\":2,\"uidHex\":\"0000000000\",\"nodeType\":44}");
}

TEST_F(SerializerTest, WesSetupRequestAndStatus) {
  OvApiWesSetupRequest r{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 17};
  EXPECT_EQ(Take(json.Serialize(&r)), "{\"objectType\":\"wesSetupRequest\"," + kStamp +
                                          ",\"uidHex\":\"ffffffffff\",\"appFunctionType\":17}");
  OvApiWesStatus s{200};
  EXPECT_EQ(Take(json.Serialize(&s)), "{\"objectType\":\"wesStatus\"," + kStamp + ",\"status\":200}");
}

TEST_F(SerializerTest, EmptyNeighborList) {
  OvApiNeighborListReply m{};
  EXPECT_EQ(Take(json.Serialize(&m)),
            "{\"objectType\":\"neighborListReply\"," + kStamp + ",\"neighbors\":[]}");
}

TEST_F(SerializerTest, ReplyEscapesStatusAndContent) {
  tReplyMsg m{"er\"ror", "a\\b\nc\x01"};
  EXPECT_EQ(Take(json.Serialize(&m)), "{\"objectType\":\"replyMsg\"," + kStamp +
                                          ",\"status\":\"er\\\"ror\",\"content\":\"a\\\\b\\nc\\u0001\"}");
  tReplyMsg empty{"ok", ""};
  tReplyMsg null{"ok", nullptr};
  EXPECT_EQ(Take(json.Serialize(&empty)), Take(json.Serialize(&null)));
}

TEST_F(SerializerTest, RawObjectTypeByOpcode) {
  struct {
    unsigned char op;
    const char* type;
  } cases[] = {{0x50, "ack"},          {0x51, "nack"},          {0x52, "receivedPayload"},
               {0x53, "receivedPayload"}, {0x54, "receivedPayload"}, {0x55, "receivedPayload"},
               {0x56, "unknown"},      {0x57, "unknown"},       {0x58, "nodeInfoReply"},
               {0x59, "neighborListReply"}, {0x5A, "networkCommandReply"}, {0x5B, "unknown"},
               {0x5F, "unknown"},      {0x60, "wesStatus"},     {0x61, "wesSetupRequest"},
               {0x00, "unknown"}};
  for (const auto& c : cases) {
    unsigned char frame[] = {c.op, 0};
    EXPECT_EQ(Take(json.SerializeRaw(frame, 2)),
              std::string("{\"objectType\":\"") + c.type + "\"," + kStamp + ",\"payload\":[" +
                  std::to_string(c.op) + ",0]}");
  }
}

// ---- Timestamp --------------------------------------------------------------

TEST_F(SerializerTest, TimestampMillisecondsTruncate) {
  struct {
    long nsec;
    const char* stamp;
  } cases[] = {{999999999, "2024-02-29T23:59:59.999Z"},
               {5000000, "2024-02-29T23:59:59.005Z"},
               {999999, "2024-02-29T23:59:59.000Z"},
               {0, "2024-02-29T23:59:59.000Z"}};
  OvApiWesStatus s{1};
  for (const auto& c : cases) {
    testclock::Set(testclock::kLeapDaySecond, c.nsec);
    EXPECT_EQ(Take(json.Serialize(&s)), std::string("{\"objectType\":\"wesStatus\",\"gwTimestamp\":\"") +
                                            c.stamp + "\",\"status\":1}");
  }
}

TEST_F(SerializerTest, TimestampIsUtcWhateverTheZone) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  testclock::Set(0, 0);
  OvApiWesStatus s{1};
  std::string doc = Take(json.Serialize(&s));
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_NE(doc.find("\"gwTimestamp\":\"1970-01-01T00:00:00.000Z\""), std::string::npos) << doc;
}

TEST_F(SerializerTest, SameMillisecondSameStamp) {
  OvApiHostAckNack m{1};
  testclock::Set(testclock::kLeapDaySecond, 123000001);
  std::string a = Take(json.SerializeAck(&m));
  testclock::Set(testclock::kLeapDaySecond, 123999999);
  std::string b = Take(json.SerializeAck(&m));
  EXPECT_EQ(a, b);
  EXPECT_NE(a.find(".123Z"), std::string::npos);
}

TEST(SerializerRealClock, StampHasTheUtcShape) {
  tSerializerJson json;
  OvApiHostAckNack m{1};
  std::string doc = Take(json.SerializeAck(&m));
  const std::string head = "{\"objectType\":\"ack\",\"gwTimestamp\":\"";
  ASSERT_EQ(doc.compare(0, head.size(), head), 0) << doc;
  std::string stamp = doc.substr(head.size(), 24);
  // YYYY-MM-DDThh:mm:ss.mmmZ
  const char* shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  for (size_t i = 0; i < 24; ++i) {
    if (shape[i] == 'd')
      EXPECT_TRUE(isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
    else
      EXPECT_EQ(stamp[i], shape[i]) << stamp;
  }
  EXPECT_EQ(doc.substr(head.size() + 24), "\",\"nodeId\":1}");
}
