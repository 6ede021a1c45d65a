// Frame validation and the decoders of received messages.
#include <gtest/gtest.h>

#include "OvApiTestHooks.h"

namespace {

bool Valid(const Bytes& b, uint16_t* len = nullptr) {
  uint16_t start = 99, l = 0;
  bool ok = OvApiIsValidApiFrame(b.data(), static_cast<unsigned>(b.size()), &start, &l);
  EXPECT_EQ(start, 0);
  uint16_t l2 = 0;
  EXPECT_EQ(ok, OvApiIsValidFrameProtocol(b.data(), static_cast<unsigned>(b.size()), &l2));
  if (ok) {
    EXPECT_EQ(l, l2);
  }
  if (len) *len = l;
  return ok;
}

Bytes Frame(uint8_t op, uint8_t L, uint8_t fill = 0x11) {
  Bytes b{op, L};
  b.resize(L + 2u, fill);
  return b;
}

TEST(OvApiFrame, CompletesOnlyAtLastByteAndIgnoresTail) {
  uint16_t len = 0;
  EXPECT_FALSE(Valid({0x50, 0x02, 0x12}));
  EXPECT_TRUE(Valid({0x50, 0x02, 0x12, 0x34}, &len));
  EXPECT_EQ(len, 4);
  EXPECT_TRUE(Valid({0x50, 0x02, 0x12, 0x34, 0xFF, 0xEE}, &len));
  EXPECT_EQ(len, 4);
  EXPECT_TRUE(Valid({0x60, 0x01, 0x05}, &len));
  EXPECT_EQ(len, 3);
  EXPECT_TRUE(Valid({0x07, 0x01, 0x00}, &len));
  EXPECT_FALSE(Valid({0x07, 0x01}));
}

TEST(OvApiFrame, ShortCountsAndZeroLengthNeverValid) {
  uint16_t start = 7, len = 0;
  EXPECT_FALSE(OvApiIsValidApiFrame(nullptr, 0, &start, &len));
  EXPECT_EQ(start, 0);
  start = 7;
  const uint8_t one[] = {0x60};
  EXPECT_FALSE(OvApiIsValidApiFrame(one, 1, &start, &len));
  EXPECT_EQ(start, 0);
  for (int op = 0; op < 256; ++op) {
    Bytes b(40, 1);
    b[0] = uint8_t(op);
    b[1] = 0;
    EXPECT_FALSE(Valid(b));
  }
}

TEST(OvApiFrame, LengthRulesPerOpcode) {
  struct Rule {
    uint8_t op;
    int min, max; // accepted L range, other values within 1..253 refused
  } rules[] = {{0x50, 2, 2}, {0x51, 2, 2}, {0x52, 6, 253}, {0x53, 8, 253}, {0x54, 8, 253},
               {0x55, 10, 253}, {0x61, 6, 6}, {0x60, 1, 1}, {0x58, 8, 8}, {0x5C, 16, 16},
               {0x56, 1, 253}, {0x57, 1, 253}, {0x5A, 1, 253}, {0x5B, 1, 253}};
  for (const Rule& r : rules)
    for (int L = 1; L <= 253; ++L)
      EXPECT_EQ(Valid(Frame(r.op, uint8_t(L))), L >= r.min && L <= r.max)
          << std::hex << int(r.op) << " L=" << std::dec << L;
  for (int L = 1; L <= 253; ++L) EXPECT_EQ(Valid(Frame(0x59, uint8_t(L))), L == 36 || L == 39);
  // 0x50 0x03 never becomes valid, however many bytes follow.
  Bytes ack3(255, 0);
  ack3[0] = 0x50;
  ack3[1] = 3;
  for (size_t n = 2; n <= ack3.size(); ++n) EXPECT_FALSE(Valid(Bytes(ack3.begin(), ack3.begin() + n)));
  // 0x59 L=39 only with all 41 bytes.
  Bytes n = Frame(0x59, 39);
  EXPECT_FALSE(Valid(Bytes(n.begin(), n.end() - 1)));
  uint16_t len = 0;
  EXPECT_TRUE(Valid(n, &len));
  EXPECT_EQ(len, 41);
}

TEST(OvApiDecode, DataMessages) {
  const uint8_t d52[] = {0x52, 0x06, 0x01, 0x02, 0x00, 0x10, 0x03, 0xAB};
  OvApiHostData hd{};
  OvApiGetMsgAsHostData(d52, &hd);
  EXPECT_EQ(hd.nodeId, 0x0102);
  EXPECT_EQ(hd.packageAge, 16);
  EXPECT_EQ(hd.port, 3);
  ASSERT_EQ(hd.payloadLength, 1);
  EXPECT_EQ(hd.payload, d52 + 7);

  const uint8_t d53[] = {0x53, 0x09, 0x00, 0x09, 0x00, 0x08, 0x00, 0x00, 0x02, 0xC1, 0xC2};
  OvApiHostDataHapa hh{};
  OvApiGetMsgAsHostDataHapa(d53, &hh);
  EXPECT_EQ(hh.nodeId, 9);
  EXPECT_EQ(hh.packageAge, 524288u);
  EXPECT_EQ(hh.port, 2);
  EXPECT_EQ(hh.payloadLength, 2);
  EXPECT_EQ(hh.payload, d53 + 9);

  const uint8_t d54[] = {0x54, 0x08, 0x12, 0x34, 0x00, 0x01, 0x04, 0xF1, 0x23, 0x77};
  OvApiHostUappData ud{};
  OvApiGetMsgAsHostUappData(d54, &ud);
  EXPECT_EQ(ud.nodeId, 0x1234);
  EXPECT_EQ(ud.packageAge, 1);
  EXPECT_EQ(ud.port, 4);
  EXPECT_EQ(ud.sequenceNo, 0x123);
  EXPECT_EQ(ud.payloadLength, 1);
  EXPECT_EQ(*ud.payload, 0x77);

  const uint8_t d55[] = {0x55, 0x0A, 0xAB, 0xCD, 0x01, 0x02, 0x03, 0x04, 0x00, 0xFF, 0xFF, 0x5E};
  OvApiHostUappDataHapa uh{};
  OvApiGetMsgAsHostUappDataHapa(d55, &uh);
  EXPECT_EQ(uh.nodeId, 0xABCD);
  EXPECT_EQ(uh.packageAge, 0x01020304u);
  EXPECT_EQ(uh.port, 0);
  EXPECT_EQ(uh.sequenceNo, 0xFFF);
  EXPECT_EQ(uh.payloadLength, 1);
  EXPECT_EQ(*uh.payload, 0x5E);
}

TEST(OvApiDecode, ReplyMessages) {
  const uint8_t ack[] = {0x51, 0x02, 0xBE, 0xEF};
  OvApiHostAckNack a{};
  OvApiGetMsgAsHostAck(ack, &a);
  EXPECT_EQ(a.nodeId, 0xBEEF);

  const uint8_t st[] = {0x57, 0x04, 0x00, 0x05, 0x80, 0x01};
  OvApiHostUappStatus s{};
  OvApiGetMsgAsHostUappStatus(st, &s);
  EXPECT_EQ(s.nodeId, 5);
  EXPECT_EQ(s.status, 0x8001);

  const uint8_t ni[] = {0x58, 0x08, 0x00, 0x2A, 1, 2, 3, 4, 5, 0xF0};
  OvApiNodeInfoReply n{};
  OvApiGetMsgAsNodeInfoReply(ni, &n);
  EXPECT_EQ(n.nodeId, 42);
  EXPECT_EQ(Bytes(n.uidHex, n.uidHex + 5), (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(n.nodeType, 0xF0u);

  const uint8_t nc[] = {0x5A, 0x05, 0x00, 0x03, 0x99, 0xA1, 0xA2};
  OvApiNetCmdReply c{};
  OvApiGetMsgAsNetCmdResponse(nc, &c);
  EXPECT_EQ(c.nodeId, 3);
  EXPECT_EQ(c.command, 0x99u);
  EXPECT_EQ(c.payloadLength, 2);
  EXPECT_EQ(c.payload, nc + 5);

  Bytes ri = Frame(0x5C, 16);
  for (int i = 0; i < 16; ++i) ri[2 + i] = uint8_t(i * 3);
  OvApiRouteInfoRequestReply r{};
  OvApiGetMsgAsRouteInfoRequestReply(ri.data(), &r);
  EXPECT_EQ(Bytes(r.data, r.data + 16), Bytes(ri.begin() + 2, ri.end()));

  const uint8_t ws[] = {0x60, 0x01, 0x07};
  OvApiWesStatus w{};
  OvApiGetMsgAsWesStatus(ws, &w);
  EXPECT_EQ(w.status, 7);

  const uint8_t sr[] = {0x61, 0x06, 9, 8, 7, 6, 5, 0x33};
  OvApiWesSetupRequest q{};
  OvApiGetMsgAsWesSetupRequest(sr, &q);
  EXPECT_EQ(Bytes(q.uidHex, q.uidHex + 5), (Bytes{9, 8, 7, 6, 5}));
  EXPECT_EQ(q.appFunctionType, 0x33);
}

TEST(OvApiDecode, NeighborList) {
  Bytes f = Frame(0x59, 36, 0xFF);
  OvApiNeighborListReply r{};
  OvApiGetMsgAsNeighborListReply(f.data(), &r);
  EXPECT_EQ(r.neighborCount, 0);

  f[5] = 0x00, f[6] = 0x07, f[7] = 0x40;  // slot 1
  f[11] = 0xFF, f[12] = 0x00, f[13] = 1;  // slot 3: one 0xFF byte is a node
  OvApiGetMsgAsNeighborListReply(f.data(), &r);
  ASSERT_EQ(r.neighborCount, 2);
  EXPECT_EQ(r.neighbors[0].nodeId, 7);
  EXPECT_EQ(r.neighbors[0].RSSI, 64);
  EXPECT_EQ(r.neighbors[1].nodeId, 65280);

  Bytes f39 = f;
  f39[1] = 39;
  f39.insert(f39.end(), {0, 1, 2});
  OvApiNeighborListReply r39{};
  OvApiGetMsgAsNeighborListReply(f39.data(), &r39);
  ASSERT_EQ(r39.neighborCount, r.neighborCount);
  for (int i = 0; i < r.neighborCount; ++i) {
    EXPECT_EQ(r39.neighbors[i].nodeId, r.neighbors[i].nodeId);
    EXPECT_EQ(r39.neighbors[i].RSSI, r.neighbors[i].RSSI);
  }
}

} // namespace
