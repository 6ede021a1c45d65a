// Receive parser (activation, window, resynchronisation) and dispatch.
#include <gtest/gtest.h>

#include "OvApiTestHooks.h"

namespace {

class OvApiRx : public ::testing::Test {
protected:
  void SetUp() override {
    ResetApi();
    UseRecordingTable();
  }
  std::vector<int> Slots() const {
    std::vector<int> s;
    for (const Delivery& d : g_deliveries) s.push_back(d.slot);
    return s;
  }
};

TEST_F(OvApiRx, InstancesAndInit) {
  EXPECT_EQ(g_numberOfOvApis, 1);
  EXPECT_EQ(OvApiGetInstance(0), &g_ovApi[0]);
  EXPECT_EQ(OvApiGetInstance(1), nullptr);
  EXPECT_EQ(OvApiGetInstance(255), nullptr);
  OvApiRxData(1, 0x60); // out of range: ignored
  Feed({0x60});
  OvApiInit();
  const OvApiInstance& in = g_ovApi[0];
  EXPECT_EQ(in.rxCount.load(), 0);
  EXPECT_EQ(in.active.load(), 0);
  EXPECT_EQ(in.callbacks.load(), nullptr);
  EXPECT_EQ(in.txLength.load(), 0);
  EXPECT_EQ(in.userData.load(), 0u);
}

TEST_F(OvApiRx, BytesBeforeActivationAreDropped) {
  ResetApi(false);
  UseRecordingTable();
  Feed({0x60, 0x01});
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 0);
  // Clear-to-send activates too, once the line has settled.
  OvApiCtsActive(0);
  Feed({0x60, 0x01, 0x07});
  EXPECT_FALSE(OvApiRxActive(0));
  EXPECT_TRUE(OvApiRxSettled(0));
  EXPECT_TRUE(OvApiRxActive(0));
  EXPECT_TRUE(g_deliveries.empty());
  Feed({0x60, 0x01, 0x07});
  EXPECT_EQ(Slots(), (std::vector<int>{0, 14}));
}

TEST_F(OvApiRx, DeliversRawThenTypedAndResets) {
  Feed({0x60, 0x01, 0x07});
  ASSERT_EQ(Slots(), (std::vector<int>{0, 14}));
  EXPECT_EQ(g_deliveries[0].raw, (Bytes{0x60, 0x01, 0x07}));
  EXPECT_EQ(g_deliveries[1].a, 7u);
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 0);
  Feed({0x50, 0x02, 0x00, 0x05, 0x51, 0x02, 0x00, 0x06});
  ASSERT_EQ(Slots(), (std::vector<int>{0, 14, 0, 1, 0, 2}));
  EXPECT_EQ(g_deliveries[3].a, 5u);
  EXPECT_EQ(g_deliveries[5].a, 6u);
}

TEST_F(OvApiRx, IdleLineDropsPartialFrames) {
  Feed({0x52, 0x06, 1, 2, 3});
  OvApiCallbackNwuActive(0);
  Feed({0x60, 0x01, 0x02});
  EXPECT_EQ(Slots(), (std::vector<int>{0, 14}));
}

// Clear-to-send only asks for a restart; it happens when the receive side
// reports the line settled, so a frame read in two pieces around the event
// is whole, and only a partial frame left at the settled line is dropped.
TEST_F(OvApiRx, ClearToSendRestartWaitsForTheSettledLine) {
  const Bytes data = {0x52, 0x06, 1, 2, 0, 0x10, 3, 0xAB};
  const struct {
    const char* name;
    Bytes before;     // fed before the event
    Bytes between;    // fed after the event, before the line settles
    bool settled;     // whether it then settles
    Bytes after;
    std::vector<int> slots;
  } cases[] = {
      {"frame straddles the event", {0x52, 0x06, 1}, {2, 0, 0x10, 3, 0xAB}, true, {}, {0, 5}},
      {"frame begins after it", {}, data, true, {}, {0, 5}},
      {"no settled line yet", {0x52, 0x06, 1}, {}, false, {2, 0, 0x10, 3, 0xAB}, {0, 5}},
      {"partial frame, then silence", {0x52, 0x06, 1}, {}, true, {0x50, 0x02, 0, 9}, {0, 1}},
      {"partial frame at the settled line", {}, {0x52, 0x06}, true, {0x60, 0x01, 2}, {0, 14}},
  };
  for (const auto& c : cases) {
    ResetApi();
    UseRecordingTable();
    Feed(c.before);
    OvApiCtsActive(0);
    EXPECT_TRUE(OvApiRxRestartRequested(0)) << c.name;
    Feed(c.between);
    if (c.settled) {
      EXPECT_TRUE(OvApiRxSettled(0)) << c.name;
    }
    Feed(c.after);
    EXPECT_EQ(Slots(), c.slots) << c.name;
    EXPECT_EQ(OvApiRxRestartRequested(0), !c.settled) << c.name;
  }
  // A settled line without a request leaves a partial frame alone; an idle
  // line answers a request.
  ResetApi();
  UseRecordingTable();
  Feed({0x60, 0x01});
  EXPECT_FALSE(OvApiRxSettled(0));
  OvApiCtsActive(0);
  OvApiCtsActive(0); // requests merge
  OvApiCallbackNwuActive(0);
  EXPECT_FALSE(OvApiRxRestartRequested(0));
  EXPECT_FALSE(OvApiRxSettled(0));
  EXPECT_EQ(OvApiRxHeld(0), 0);
  EXPECT_EQ(OvApiRxHeld(1), 0);
  EXPECT_FALSE(OvApiRxSettled(1));
}

TEST_F(OvApiRx, HookGetsQueuedUserData) {
  static uint32_t seen = 0;
  g_hooks.received = [](uint8_t, uint32_t ud, const uint8_t*, uint8_t) { seen = ud; };
  ASSERT_EQ(OvApiSendNeighborListRequest(0, 0xCAFE), Ok);
  Feed({0x60, 0x01, 0x00});
  EXPECT_EQ(seen, 0xCAFEu);
  OvApiCancelEnqueuedMessage(0);
  Feed({0x60, 0x01, 0x00});
  EXPECT_EQ(seen, 0u);
}

TEST_F(OvApiRx, TableGaps) {
  g_ovApi[0].callbacks.store(nullptr);
  Feed({0x60, 0x01, 0x07});
  EXPECT_TRUE(g_deliveries.empty());

  OvApiRxCallbacks table = g_recordingTable;
  table.neighborListReplyCallback = nullptr;
  g_ovApi[0].callbacks.store(&table);
  Bytes nl(38, 0xFF);
  nl[0] = 0x59, nl[1] = 36;
  Feed(nl);
  Feed({0x5B, 0x01, 0x00});
  Feed({0x20, 0x02, 0x00, 0x01});
  EXPECT_EQ(Slots(), (std::vector<int>{0, 0, 0}));
  table.readCallback = nullptr;
  Feed({0x60, 0x01, 0x07});
  EXPECT_EQ(Slots(), (std::vector<int>{0, 0, 0, 14}));
}

TEST_F(OvApiRx, ShortHeaderlessReplies) {
  Feed({0x56, 0x03, 0x00, 0x01, 0x02});
  Feed({0x57, 0x01, 0x00});
  EXPECT_EQ(Slots(), (std::vector<int>{0, 0}));
  Feed({0x56, 0x04, 0x00, 0x01, 0x00, 0x02});
  ASSERT_EQ(Slots(), (std::vector<int>{0, 0, 0, 3}));
  EXPECT_EQ(g_deliveries[3].b, 2u);
  // A network command reply shorter than its header is decoded: the fields
  // it holds whole, 0 for the rest, no payload.
  const struct {
    Bytes frame;
    uint32_t nodeId, command;
    Bytes payload;
  } replies[] = {
      {{0x5A, 0x01, 0x12}, 0, 0, {}},
      {{0x5A, 0x02, 0x12, 0x34}, 0x1234, 0, {}},
      {{0x5A, 0x03, 0x00, 0x01, 0x44}, 1, 0x44, {}},
      {{0x5A, 0x05, 0x00, 0x02, 0x45, 0xAA, 0xBB}, 2, 0x45, {0xAA, 0xBB}},
  };
  for (const auto& r : replies) {
    g_deliveries.clear();
    Feed(r.frame);
    ASSERT_EQ(Slots(), (std::vector<int>{0, 12})) << int(r.frame[1]);
    EXPECT_EQ(g_deliveries[1].a, r.nodeId);
    EXPECT_EQ(g_deliveries[1].b, r.command);
    EXPECT_EQ(g_deliveries[1].raw, r.payload);
  }
  // A length byte that contradicts the frame length given is not decoded.
  const uint8_t lying[] = {0x5A, 0x09, 0x00, 0x01, 0x44};
  OvApiExecuteCallbacks(0, lying, 5);
  EXPECT_EQ(g_deliveries.back().slot, 0);
}

TEST_F(OvApiRx, SlidingWindowResynchronises) {
  Bytes garbage(255, 0x00);
  garbage[0] = 0x50, garbage[1] = 0x05; // header that never becomes valid
  Feed(garbage);
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 255);
  EXPECT_TRUE(g_deliveries.empty());
  // Slide until the window starts at a WES status header planted inside.
  Bytes more(10, 0x00);
  Feed(more);
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 255);
  EXPECT_TRUE(g_deliveries.empty());

  ResetApi();
  UseRecordingTable();
  Bytes g2(255, 0x00);
  // Every header exposed on the way fails its rule until the WES status.
  g2[0] = 0x50, g2[1] = 0x50, g2[2] = 0x50;
  g2[3] = 0x60, g2[4] = 0x01, g2[5] = 0x09;
  Feed(g2);
  Feed({0xAA, 0xBB});
  EXPECT_TRUE(g_deliveries.empty());
  Feed({0xCC});
  ASSERT_EQ(Slots(), (std::vector<int>{0, 14}));
  EXPECT_EQ(g_deliveries[1].a, 9u);
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 0);
}

TEST_F(OvApiRx, LongestFrames) {
  Bytes f(255, 0x42);
  f[0] = 0x52, f[1] = 253;
  Feed(f);
  ASSERT_EQ(Slots(), (std::vector<int>{0, 5}));
  EXPECT_EQ(g_deliveries[0].raw.size(), 255u);
  EXPECT_EQ(g_deliveries[1].raw.size(), 248u);
  for (uint8_t L : {254, 255}) {
    g_deliveries.clear();
    OvApiCallbackNwuActive(0);
    Bytes x(255, 0x00);
    x[0] = 0x07, x[1] = L;
    Feed(x);
    EXPECT_EQ(g_ovApi[0].rxCount.load(), 255);
    Feed({0x00, 0x00});
    EXPECT_TRUE(g_deliveries.empty());
  }
}

TEST_F(OvApiRx, ShiftBufferDown) {
  OvApiInstance* in = OvApiGetInstance(0);
  OvApiShiftBufferDownAndAdjustPosition(in); // empty: unchanged
  EXPECT_EQ(in->rxCount.load(), 0);
  OvApiShiftBufferDownAndAdjustPosition(nullptr);
  Feed({0x52, 0x06, 0x01});
  OvApiShiftBufferDownAndAdjustPosition(in);
  EXPECT_EQ(in->rxCount.load(), 2);
  EXPECT_EQ(in->rxBuffer[0], 0x06);
  EXPECT_EQ(in->rxBuffer[1], 0x01);
  OvApiShiftBufferDownAndAdjustPosition(in);
  OvApiShiftBufferDownAndAdjustPosition(in);
  EXPECT_EQ(in->rxCount.load(), 0);
}

} // namespace
