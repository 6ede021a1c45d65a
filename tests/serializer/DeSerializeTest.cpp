// Incoming commands: the example commands, the kind checks, every failure
// text, the member readers' arithmetic and refusal of malformed texts.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <atomic>

#include <gtest/gtest.h>

#include "serializer/tSerializerJson.h"

namespace {

// Runs one DeSerialize on a whole text and returns the result as a string,
// with "<null>" for success.
template <typename Record>
std::string Try(tSerializerJson& json, const std::string& text, Record* record) {
  const char* r = json.DeSerialize(text.c_str(), static_cast<int>(text.size()), record);
  return r ? std::string(r) : std::string("<null>");
}

// All eight operations on one text, each with a zeroed record; payload
// buffers are released.
std::vector<std::string> RunAll(tSerializerJson& json, const std::string& text) {
  std::vector<std::string> out;
  OvApiSendUnackMessage a{};
  out.push_back(Try(json, text, &a));
  free(a.payload);
  OvApiSendAckMessage b{};
  out.push_back(Try(json, text, &b));
  free(b.payload);
  OvApiNodeInfoRequestMessage c{};
  out.push_back(Try(json, text, &c));
  OvApiNeighborListRequestMessage d{};
  out.push_back(Try(json, text, &d));
  OvApiNetCmdMessage e{};
  out.push_back(Try(json, text, &e));
  free(e.payload);
  OvApiWesCmdMessage f{};
  out.push_back(Try(json, text, &f));
  OvApiWesResponseMessage g{};
  out.push_back(Try(json, text, &g));
  OvApiAltCmdMessage h{};
  out.push_back(Try(json, text, &h));
  return out;
}

const char* kAppSettings48 = "000102030405060708090a0b0c0d0e0f1011121314151617";

class DeSerializeTest : public ::testing::Test {
protected:
  tSerializerJson json;
};

} // namespace

// ---- The example commands -----------------------------------------------------

TEST_F(DeSerializeTest, UnacknowledgedExample) {
  OvApiSendUnackMessage m{};
  m.userData = 77;
  EXPECT_EQ(Try(json,
                "{\"objectType\":\"sendPayload\",\"payloadType\":\"unacknowledged\",\"nodeId\":4660,"
                "\"port\":1,\"sequenceNo\":17,\"payload\":[1,2,255]}",
                &m),
            "<null>");
  EXPECT_EQ(m.nodeId, 4660);
  EXPECT_EQ(m.port, 1);
  EXPECT_EQ(m.sequenceNo, 17);
  ASSERT_EQ(m.payloadLength, 3);
  ASSERT_NE(m.payload, nullptr);
  EXPECT_EQ(m.payload[0], 0x01);
  EXPECT_EQ(m.payload[1], 0x02);
  EXPECT_EQ(m.payload[2], 0xFF);
  EXPECT_EQ(m.userData, 77u);
  free(m.payload);
}

TEST_F(DeSerializeTest, AcknowledgedExampleWithEmptyPayload) {
  OvApiSendAckMessage m{};
  m.payload = reinterpret_cast<uint8_t*>(&m); // must be replaced by null
  m.payloadLength = 9;
  EXPECT_EQ(Try(json,
                "{\"objectType\":\"sendPayload\",\"payloadType\":\"acknowledged\",\"nodeId\":4660,"
                "\"port\":2,\"payload\":[]}",
                &m),
            "<null>");
  EXPECT_EQ(m.payloadLength, 0);
  EXPECT_EQ(m.payload, nullptr);
  EXPECT_EQ(m.nodeId, 4660);
  EXPECT_EQ(m.port, 2);
}

TEST_F(DeSerializeTest, NetworkCommandExample) {
  OvApiNetCmdMessage m{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"networkCommand\",\"nodeId\":5,\"cmd\":3,\"payload\":[7]}", &m),
            "<null>");
  EXPECT_EQ(m.nodeId, 5);
  EXPECT_EQ(m.cmd, 3);
  ASSERT_EQ(m.payloadLength, 1);
  EXPECT_EQ(m.payload[0], 7);
  free(m.payload);
}

TEST_F(DeSerializeTest, WesResponseDecodesMixedCaseHex) {
  OvApiWesResponseMessage m{};
  std::string text = std::string("{\"objectType\":\"wesResponse\",\"nodeId\":9,\"uidHex\":\"01A203b4ff\","
                                 "\"appSettings\":\"") + kAppSettings48 + "\"}";
  EXPECT_EQ(Try(json, text, &m), "<null>");
  const uint8_t uid[] = {0x01, 0xA2, 0x03, 0xB4, 0xFF};
  EXPECT_EQ(memcmp(m.uidHex, uid, 5), 0);
  EXPECT_EQ(m.nodeId, 9);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(m.appSettings[i], i);
}

TEST_F(DeSerializeTest, WesAndAltCmdZeroExtendTheByte) {
  OvApiWesCmdMessage w{};
  w.cmd = 0xFFFFFFFF;
  EXPECT_EQ(Try(json, "{\"objectType\":\"wesCmd\",\"cmd\":258}", &w), "<null>");
  EXPECT_EQ(w.cmd, 2u);
  OvApiAltCmdMessage a{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\",\"cmd\":255}", &a), "<null>");
  EXPECT_EQ(a.cmd, 255u);
}

TEST_F(DeSerializeTest, RequestsReadOnlyTheKindAndLeaveTheRecord) {
  OvApiNodeInfoRequestMessage n{1234};
  EXPECT_EQ(Try(json, "{\"objectType\":\"nodeInfoRequest\",\"nodeId\":\"x\",\"payload\":7}", &n),
            "<null>");
  EXPECT_EQ(n.userData, 1234u);
  OvApiNeighborListRequestMessage l{99};
  EXPECT_EQ(Try(json, "{\"payloadType\":5,\"objectType\":\"neighborListRequest\"}", &l), "<null>");
  EXPECT_EQ(l.userData, 99u);
}

// ---- Kind recognition ---------------------------------------------------------

TEST_F(DeSerializeTest, EachKindAcceptsOnlyItsOwnObjectType) {
  const char* texts[] = {
      "{\"objectType\":\"sendPayload\",\"payloadType\":\"unacknowledged\",\"nodeId\":1,\"port\":1,"
      "\"sequenceNo\":1,\"payload\":[]}",
      "{\"objectType\":\"sendPayload\",\"payloadType\":\"acknowledged\",\"nodeId\":1,\"port\":1,"
      "\"payload\":[]}",
      "{\"objectType\":\"nodeInfoRequest\"}",
      "{\"objectType\":\"neighborListRequest\"}",
      "{\"objectType\":\"networkCommand\",\"nodeId\":1,\"cmd\":1,\"payload\":[]}",
      "{\"objectType\":\"wesCmd\",\"cmd\":1}",
      "{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"0000000000\",\"appSettings\":"
      "\"000102030405060708090a0b0c0d0e0f1011121314151617\"}",
      "{\"objectType\":\"altCmd\",\"cmd\":1}",
  };
  for (int kind = 0; kind < 8; ++kind) {
    std::vector<std::string> results = RunAll(json, texts[kind]);
    for (int op = 0; op < 8; ++op)
      EXPECT_EQ(results[op], op == kind ? "<null>" : "") << "text " << kind << " op " << op;
  }
}

TEST_F(DeSerializeTest, UnknownMissingOrMiscasedObjectTypeIsNotAnyKind) {
  for (const char* text :
       {"{}", "{\"objectType\":\"somethingElse\"}", "{\"objectType\":\"ALTCMD\",\"cmd\":1}",
        "{\"objecttype\":\"altCmd\",\"cmd\":1}", "{\"objectType\":\"altCmdX\",\"cmd\":1}",
        "{\"objectType\":\"\"}"}) {
    for (const std::string& r : RunAll(json, text)) EXPECT_EQ(r, "") << text;
  }
}

TEST_F(DeSerializeTest, SendPayloadNeedsItsPayloadType) {
  for (const char* text : {"{\"objectType\":\"sendPayload\",\"nodeId\":1,\"port\":1,\"payload\":[]}",
                           "{\"objectType\":\"sendPayload\",\"payloadType\":\"Acknowledged\"}"}) {
    OvApiSendUnackMessage u{};
    OvApiSendAckMessage a{};
    EXPECT_EQ(Try(json, text, &u), "");
    EXPECT_EQ(Try(json, text, &a), "");
  }
}

TEST_F(DeSerializeTest, NonStringKindMembersAreRefused) {
  for (const std::string& r : RunAll(json, "{\"objectType\":7}"))
    EXPECT_EQ(r, "Invalid member: objectType");
  OvApiSendAckMessage a{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"sendPayload\",\"payloadType\":[\"acknowledged\"]}", &a),
            "Invalid member: payloadType");
  OvApiAltCmdMessage alt{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"sendPayload\",\"payloadType\":1}", &alt), "");
}

TEST_F(DeSerializeTest, FirstOfTwoSameNamedMembersCounts) {
  OvApiAltCmdMessage a{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\",\"objectType\":\"wesCmd\",\"cmd\":4,\"cmd\":5}", &a),
            "<null>");
  EXPECT_EQ(a.cmd, 4u);
  OvApiWesCmdMessage w{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\",\"objectType\":\"wesCmd\",\"cmd\":4}", &w), "");
}

// ---- Not JSON -----------------------------------------------------------------

TEST_F(DeSerializeTest, TextNotStartingWithBraceIsFormatError1) {
  for (const char* text : {"", " {\"objectType\":\"altCmd\",\"cmd\":1}", "[1,2]", "null", "\"x\"", "x{}"}) {
    for (const std::string& r : RunAll(json, text))
      EXPECT_EQ(r, "Message is not JSON-formatted (#1)") << text;
  }
  OvApiAltCmdMessage a{};
  EXPECT_STREQ(json.DeSerialize(nullptr, 10, &a), "Message is not JSON-formatted (#1)");
  EXPECT_STREQ(json.DeSerialize("{}", -1, &a), "Message is not JSON-formatted (#1)");
}

TEST_F(DeSerializeTest, MalformedTextStartingWithBraceIsFormatError2) {
  const char* texts[] = {
      "{",
      "{\"objectType\":\"altCmd\",\"cmd\":1",
      "{\"objectType\":\"altCmd\",\"cmd\":1,}",
      "{\"objectType\":\"altCmd\",\"cmd\":[1,]}",
      "{'objectType':'altCmd','cmd':1}",
      "{\"objectType\":\"altCmd\",\"cmd\":1 /* c */}",
      "{\"objectType\":\"altCmd\",\"cmd\":1} // c",
      "{objectType:\"altCmd\",\"cmd\":1}",
      "{\"objectType\":\"alt\nCmd\",\"cmd\":1}",
      "{\"objectType\":\"alt\tCmd\",\"cmd\":1}",
      "{\"objectType\":\"altCmd\",\"cmd\":01}",
      "{\"objectType\":\"altCmd\",\"cmd\":-}",
      "{\"objectType\":\"altCmd\",\"cmd\":NaN}",
      "{\"objectType\":\"altCmd\",\"cmd\":Infinity}",
      "{\"objectType\":\"altCmd\",\"cmd\":1}{}",
      "{\"objectType\":\"altCmd\",\"cmd\":1} x",
      "{\"objectType\":\"altCmd\",\"cmd\":1.}",
      "{\"objectType\":\"a\\qb\"}",
  };
  for (const char* text : texts) {
    for (const std::string& r : RunAll(json, text))
      EXPECT_EQ(r, "Message is not JSON-formatted (#2)") << text;
  }
}

TEST_F(DeSerializeTest, LengthAndEmbeddedNulBoundTheText) {
  OvApiAltCmdMessage a{};
  const char text[] = "{\"objectType\":\"altCmd\",\"cmd\":12}garbage";
  // Only the object itself is handed over: the garbage is beyond `length`.
  EXPECT_EQ(json.DeSerialize(text, 32, &a), nullptr);
  EXPECT_EQ(a.cmd, 12u);
  // One byte short: the object is cut.
  EXPECT_STREQ(json.DeSerialize(text, 31, &a), "Message is not JSON-formatted (#2)");
  const char nul[] = "{\"objectType\":\"altCmd\",\"cmd\":13}\0xx";
  EXPECT_EQ(json.DeSerialize(nul, sizeof nul, &a), nullptr);
  EXPECT_EQ(a.cmd, 13u);
  // Trailing white space is allowed.
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\",\"cmd\":14} \r\n\t", &a), "<null>");
}

// ---- Members and their failures -------------------------------------------------

TEST_F(DeSerializeTest, MissingSequenceNoAfterOtherFieldsWereFilled) {
  OvApiSendUnackMessage m{};
  EXPECT_EQ(Try(json,
                "{\"objectType\":\"sendPayload\",\"payloadType\":\"unacknowledged\",\"nodeId\":3,"
                "\"port\":2,\"payload\":[9]}",
                &m),
            "Missing member: sequenceNo");
  EXPECT_EQ(m.nodeId, 3);
  EXPECT_EQ(m.port, 2);
  ASSERT_EQ(m.payloadLength, 1);
  EXPECT_EQ(m.payload[0], 9);
  free(m.payload);
}

TEST_F(DeSerializeTest, MembersAreReadInVocabularyOrder) {
  OvApiNetCmdMessage m{};
  // Both payload and nodeId are wrong: payload is read first.
  EXPECT_EQ(Try(json, "{\"objectType\":\"networkCommand\",\"nodeId\":\"x\",\"payload\":1}", &m),
            "Missing member: payload");
  EXPECT_EQ(Try(json, "{\"objectType\":\"networkCommand\",\"payload\":[]}", &m), "Missing member: nodeId");
  EXPECT_EQ(Try(json, "{\"objectType\":\"networkCommand\",\"nodeId\":1,\"payload\":[]}", &m),
            "Missing member: cmd");
  OvApiWesResponseMessage w{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"wesResponse\",\"uidHex\":\"0\"}", &w), "Missing member: nodeId");
  EXPECT_EQ(Try(json, "{\"objectType\":\"wesResponse\",\"nodeId\":1}", &w), "Missing member: uidHex");
  EXPECT_EQ(Try(json, "{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"0000000000\"}", &w),
            "Missing member: appSettings");
  OvApiAltCmdMessage a{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\"}", &a), "Missing member: cmd");
}

TEST_F(DeSerializeTest, PayloadThatIsNotAnArrayIsMissing) {
  for (const char* payload : {"\"1,2\"", "5", "{}", "null"}) {
    OvApiSendAckMessage m{};
    std::string text = std::string("{\"objectType\":\"sendPayload\",\"payloadType\":\"acknowledged\","
                                   "\"nodeId\":1,\"port\":1,\"payload\":") + payload + "}";
    EXPECT_EQ(Try(json, text, &m), "Missing member: payload") << payload;
    EXPECT_EQ(m.payload, nullptr);
  }
}

TEST_F(DeSerializeTest, WrongTypedNumbersAreInvalidMembers) {
  for (const char* value : {"\"5\"", "-1", "1.5", "1e2", "2.0", "4294967296", "true", "null", "[1]"}) {
    OvApiSendAckMessage m{};
    m.nodeId = 777;
    std::string text = std::string("{\"objectType\":\"sendPayload\",\"payloadType\":\"acknowledged\","
                                   "\"port\":1,\"payload\":[],\"nodeId\":") + value + "}";
    EXPECT_EQ(Try(json, text, &m), "Invalid member: nodeId") << value;
    EXPECT_EQ(m.nodeId, 777) << value;
  }
  OvApiAltCmdMessage a{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"altCmd\",\"cmd\":-0.0}", &a), "Invalid member: cmd");
}

TEST_F(DeSerializeTest, NumbersAreReducedToTheFieldWidth) {
  OvApiSendUnackMessage m{};
  EXPECT_EQ(Try(json,
                "{\"objectType\":\"sendPayload\",\"payloadType\":\"unacknowledged\",\"nodeId\":65536,"
                "\"port\":300,\"sequenceNo\":4294967295,\"payload\":[]}",
                &m),
            "<null>");
  EXPECT_EQ(m.nodeId, 0);
  EXPECT_EQ(m.port, 44);
  EXPECT_EQ(m.sequenceNo, 65535);
}

TEST_F(DeSerializeTest, PayloadElementsKeepTheirLowByte) {
  OvApiNetCmdMessage m{};
  EXPECT_EQ(Try(json,
                "{\"objectType\":\"networkCommand\",\"nodeId\":1,\"cmd\":1,"
                "\"payload\":[1,-1,256,300,2147483647,-2147483648]}",
                &m),
            "<null>");
  ASSERT_EQ(m.payloadLength, 6);
  const uint8_t expected[] = {1, 255, 0, 44, 255, 0};
  EXPECT_EQ(memcmp(m.payload, expected, 6), 0);
  free(m.payload);
}

TEST_F(DeSerializeTest, BadPayloadElementsAreRefusedWithoutBuffer) {
  for (const char* payload : {"[1,2.5]", "[1,\"2\"]", "[2147483648]", "[-2147483649]", "[[1]]", "[1e1]"}) {
    OvApiNetCmdMessage m{};
    std::string text = std::string("{\"objectType\":\"networkCommand\",\"nodeId\":1,\"cmd\":1,\"payload\":") +
                       payload + "}";
    EXPECT_EQ(Try(json, text, &m), "Invalid member: payload") << payload;
    EXPECT_EQ(m.payload, nullptr);
    EXPECT_EQ(m.payloadLength, 0);
  }
}

namespace {
std::string ArrayOf(int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(i);
  return s + "]";
}
} // namespace

TEST_F(DeSerializeTest, PayloadOf255IsReadAnd256IsRefused) {
  OvApiSendAckMessage m{};
  std::string head = "{\"objectType\":\"sendPayload\",\"payloadType\":\"acknowledged\",\"nodeId\":1,"
                     "\"port\":1,\"payload\":";
  EXPECT_EQ(Try(json, head + ArrayOf(255) + "}", &m), "<null>");
  ASSERT_EQ(m.payloadLength, 255);
  EXPECT_EQ(m.payload[254], 254);
  free(m.payload);
  OvApiSendAckMessage big{};
  EXPECT_EQ(Try(json, head + ArrayOf(256) + "}", &big), "Payload too long: payload");
  EXPECT_EQ(big.payload, nullptr);
}

TEST_F(DeSerializeTest, HexLengthRules) {
  struct {
    const char* uid;
    const char* result;
  } cases[] = {{"01a203b4", "HexString length mismatch"},
               {"01a203b4ff", "<null>"},
               {"01a203b4ffZ", "<null>"},
               {"01a203b4ff00", "HexString length mismatch"},
               {"", "HexString length mismatch"}};
  for (const auto& c : cases) {
    OvApiWesResponseMessage m{};
    std::string text = std::string("{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"") + c.uid +
                       "\",\"appSettings\":\"" + kAppSettings48 + "\"}";
    EXPECT_EQ(Try(json, text, &m), c.result) << c.uid;
  }
  OvApiWesResponseMessage m{};
  std::string text = std::string("{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"0000000000\","
                                 "\"appSettings\":\"") + kAppSettings48 + "f\"}";
  EXPECT_EQ(Try(json, text, &m), "<null>");
  text = std::string("{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"0000000000\","
                     "\"appSettings\":\"") + kAppSettings48 + "ff\"}";
  EXPECT_EQ(Try(json, text, &m), "HexString length mismatch");
}

TEST_F(DeSerializeTest, NonStringHexIsInvalidMember) {
  OvApiWesResponseMessage m{};
  EXPECT_EQ(Try(json, "{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":1234567890}", &m),
            "Invalid member: uidHex");
  std::string text = "{\"objectType\":\"wesResponse\",\"nodeId\":1,\"uidHex\":\"0000000000\","
                     "\"appSettings\":[1,2]}";
  EXPECT_EQ(Try(json, text, &m), "Invalid member: appSettings");
}

// ---- The readers directly ---------------------------------------------------------

namespace {
rapidjson::Document Parse(const char* text) {
  rapidjson::Document doc;
  doc.Parse(text);
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}
} // namespace

// ---- Strict commands ------------------------------------------------------

// Each text passes the lenient reading; strict reading refuses it naming the
// member, and values at the edge of their field still pass.
TEST_F(DeSerializeTest, StrictCommandsRefuseWhatLenientReadingWraps) {
  const std::string ack = R"({"objectType":"sendPayload","payloadType":"acknowledged",)";
  const std::string unack = R"({"objectType":"sendPayload","payloadType":"unacknowledged",)";
  const std::string wes = R"({"objectType":"wesResponse","nodeId":1,)";
  struct Case {
    std::string text;
    int kind;             // index of the operation in RunAll
    const char* refused;  // strict result; null when strict accepts it too
  } cases[] = {
      {ack + R"("payload":[1],"nodeId":65536,"port":1})", 1, "Invalid member: nodeId"},
      {ack + R"("payload":[1],"nodeId":65535,"port":255})", 1, nullptr},
      {ack + R"("payload":[1],"nodeId":1,"port":256})", 1, "Invalid member: port"},
      {unack + R"("payload":[1],"nodeId":1,"port":1,"sequenceNo":65536})", 0,
       "Invalid member: sequenceNo"},
      {ack + R"("payload":[-129],"nodeId":1,"port":1})", 1, "Invalid member: payload"},
      {ack + R"("payload":[256],"nodeId":1,"port":1})", 1, "Invalid member: payload"},
      {ack + R"("payload":[-128,255],"nodeId":1,"port":1})", 1, nullptr},
      {R"({"objectType":"networkCommand","payload":[],"nodeId":1,"cmd":256})", 4,
       "Invalid member: cmd"},
      {R"({"objectType":"wesCmd","cmd":300})", 5, "Invalid member: cmd"},
      {R"({"objectType":"altCmd","cmd":4294967295})", 7, "Invalid member: cmd"},
      {wes + R"("uidHex":"01020304zz","appSettings":")" + kAppSettings48 + "\"}", 6,
       "Invalid member: uidHex"},
      {wes + R"("uidHex":"0102030405f","appSettings":")" + kAppSettings48 + "\"}", 6,
       "Invalid member: uidHex"},
      {wes + R"("uidHex":"0102030405","appSettings":")" + std::string(47, '0') + "g\"}",
       6, "Invalid member: appSettings"},
      {wes + R"("uidHex":"0A0b0C0d0E","appSettings":")" + kAppSettings48 + "\"}", 6, nullptr},
  };
  for (const Case& c : cases) {
    json.SetStrictCommands(false);
    EXPECT_EQ("<null>", RunAll(json, c.text)[c.kind]) << c.text;
    json.SetStrictCommands(true);
    EXPECT_EQ(c.refused ? c.refused : "<null>", RunAll(json, c.text)[c.kind]) << c.text;
  }
}

TEST(JsonReaders, ReadString) {
  rapidjson::Document doc = Parse("{\"a\":\"x\",\"b\":1,\"a\":\"y\"}");
  EXPECT_STREQ(tSerializerJson::ReadString(doc, "a"), "x");
  EXPECT_EQ(tSerializerJson::ReadString(doc, "b"), nullptr);
  EXPECT_EQ(tSerializerJson::ReadString(doc, "c"), nullptr);
}

TEST(JsonReaders, ReadHexStringNibbleArithmetic) {
  // 'g' (103) decodes as 16, 'G' (71, above 'F') as 71-87 = -16, ':' (58,
  // above '9') as 58-55 = 3.
  rapidjson::Document doc = Parse("{\"h\":\"FfgG:0\"}");
  uint8_t bytes[3] = {};
  EXPECT_EQ(tSerializerJson::ReadHexString(doc, "h", bytes, 3, true), nullptr);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], static_cast<uint8_t>(((16 * 16) % 256) | static_cast<unsigned>(71 - 87)));
  EXPECT_EQ(bytes[2], 0x30);
}

TEST(JsonReaders, OptionalMembersMayBeAbsent) {
  rapidjson::Document doc = Parse("{}");
  uint8_t* buffer = reinterpret_cast<uint8_t*>(&doc);
  uint8_t length = 7;
  EXPECT_EQ(tSerializerJson::ReadIntArray(doc, "p", &buffer, &length, false), nullptr);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(buffer, reinterpret_cast<uint8_t*>(&doc));
  uint8_t hex[2] = {1, 2};
  EXPECT_EQ(tSerializerJson::ReadHexString(doc, "h", hex, 2, false), nullptr);
  EXPECT_EQ(hex[0], 1);
  EXPECT_STREQ(tSerializerJson::ReadHexString(doc, "h", hex, 2, true), "Missing member: h");
  EXPECT_STREQ(tSerializerJson::ReadIntArray(doc, "p", &buffer, &length, true), "Missing member: p");
  rapidjson::Document zero = Parse("{\"h\":\"x\"}");
  EXPECT_EQ(tSerializerJson::ReadHexString(zero, "h", hex, 0, true), nullptr);
}

TEST(JsonReaders, FailureTextsSurviveOneDispatchPass) {
  rapidjson::Document doc = Parse("{}");
  uint8_t v = 0;
  const char* first = tSerializerJson::ReadUInt8(doc, "first", &v);
  for (int i = 0; i < 7; ++i) tSerializerJson::ReadUInt8(doc, "other", &v);
  EXPECT_STREQ(first, "Missing member: first");
}

// ---- Two threads at once ------------------------------------------------------------

namespace {
template <typename Record>
const char* Whole(tSerializerJson& json, const char* text, Record* record) {
  return json.DeSerialize(text, static_cast<int>(strlen(text)), record);
}
} // namespace

TEST(SerializerThreads, ReadAndWriteFromTwoThreads) {
  tSerializerJson json;
  std::atomic<int> failures{0};
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      OvApiNetCmdMessage m{};
      const char* r = Whole(json, "{\"objectType\":\"networkCommand\",\"nodeId\":5,\"cmd\":3,"
                                  "\"payload\":[7,8]}",
                            &m);
      if (r || m.payloadLength != 2 || m.payload[1] != 8) ++failures;
      free(m.payload);
      OvApiAltCmdMessage a{};
      const char* missing = Whole(json, "{\"objectType\":\"altCmd\"}", &a);
      if (!missing || strcmp(missing, "Missing member: cmd") != 0) ++failures;
    }
  });
  std::thread writer([&] {
    uint8_t bytes[] = {1, 2, 3};
    for (int i = 0; i < 2000; ++i) {
      OvApiHostData d{static_cast<uint16_t>(i), 1, 2, 3, bytes};
      char* doc = json.Serialize(&d);
      std::string expect = "\"nodeId\":" + std::to_string(i) + ",";
      if (!doc || !strstr(doc, expect.c_str())) ++failures;
      free(doc);
      OvApiWesResponseMessage w{};
      const char* r = Whole(json, "{\"objectType\":\"wesResponse\",\"nodeId\":1}", &w);
      if (!r || strcmp(r, "Missing member: uidHex") != 0) ++failures;
    }
  });
  reader.join();
  writer.join();
  EXPECT_EQ(failures.load(), 0);
}
