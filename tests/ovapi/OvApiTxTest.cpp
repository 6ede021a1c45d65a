// Command builders, result codes and the single transmit slot.
#include <gtest/gtest.h>

#include "OvApiTestHooks.h"

namespace {

class OvApiTx : public ::testing::Test {
protected:
  void SetUp() override { ResetApi(); }
};

Bytes Seq(uint8_t n, uint8_t first = 0xA0) {
  Bytes b(n);
  for (uint8_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

TEST_F(OvApiTx, DataSendChecksInOrder) {
  Bytes p = Seq(28);
  OvApiSendUnackMessage u{0, 9, 0, nullptr, 28, 0};
  EXPECT_EQ(OvApiSendUnacknowledged(0, nullptr), MessageMissing);
  ASSERT_EQ(OvApiSendNeighborListRequest(0, 1), Ok); // slot taken from here on
  EXPECT_EQ(OvApiSendUnacknowledged(0, &u), InvalidNodeId);
  u.nodeId = 1;
  EXPECT_EQ(OvApiSendUnacknowledged(0, &u), InvalidPort);
  u.port = 4;
  EXPECT_EQ(OvApiSendUnacknowledged(0, &u), PayloadTooLong);
  u.payloadLength = 27;
  EXPECT_EQ(OvApiSendUnacknowledged(0, &u), PayloadMissing);
  u.payload = p.data();
  EXPECT_EQ(OvApiSendUnacknowledged(0, &u), Busy);
  OvApiSendAckMessage a{0, 5, 28, nullptr, 0};
  EXPECT_EQ(OvApiSendAcknowledged(0, nullptr), MessageMissing);
  EXPECT_EQ(OvApiSendAcknowledged(0, &a), InvalidNodeId);
  a.nodeId = 2;
  EXPECT_EQ(OvApiSendAcknowledged(0, &a), InvalidPort);
  a.port = 0;
  EXPECT_EQ(OvApiSendAcknowledged(0, &a), PayloadTooLong);
  a.payloadLength = 1;
  EXPECT_EQ(OvApiSendAcknowledged(0, &a), PayloadMissing);
  a.payload = p.data();
  EXPECT_EQ(OvApiSendAcknowledged(0, &a), Busy);
  EXPECT_EQ(Queued(), (Bytes{0x09, 0x00}));
  EXPECT_EQ(OvApiSendUnacknowledged(1, &u), MessageMissing);
}

TEST_F(OvApiTx, LongestUnacknowledgedFrame) {
  Bytes p = Seq(27);
  OvApiSendUnackMessage u{0x0102, 1, 0x1234, p.data(), 27, 77};
  ASSERT_EQ(OvApiSendUnacknowledged(0, &u), Ok);
  p.assign(27, 0); // the payload was copied
  Bytes want{0x02, 0x20, 0x01, 0x02, 0x01, 0x02, 0x34};
  Bytes orig = Seq(27);
  want.insert(want.end(), orig.begin(), orig.end());
  EXPECT_EQ(Queued(), want);
  EXPECT_EQ(g_ovApi[0].userData.load(), 77u);
  EXPECT_EQ(OvApiStatus(0), Pending);
  // A second send is refused and leaves the frame as it was.
  EXPECT_EQ(OvApiSendNeighborListRequest(0, 5), Busy);
  EXPECT_EQ(Queued(), want);
  EXPECT_EQ(g_ovApi[0].userData.load(), 77u);
}

TEST_F(OvApiTx, FrameLayouts) {
  struct Case {
    OvApiResult (*send)();
    Bytes want;
    uint32_t userData;
  };
  static uint8_t pl[29];
  for (int i = 0; i < 29; ++i) pl[i] = uint8_t(i + 1);
  const Case cases[] = {
      {[] { OvApiSendAckMessage m{0x0A0B, 2, 0, nullptr, 3}; return OvApiSendAcknowledged(0, &m); },
       {0x03, 0x03, 0x0A, 0x0B, 0x02}, 3},
      {[] { OvApiSendAckMessage m{7, 0, 2, pl, 4}; return OvApiSendAcknowledged(0, &m); },
       {0x03, 0x05, 0x00, 0x07, 0x00, 1, 2}, 4},
      {[] { OvApiNodeInfoRequestMessage m{5}; return OvApiSendNodeInfoRequest(0, &m); }, {0x08, 0x00}, 5},
      {[] { return OvApiSendNeighborListRequest(0, 6); }, {0x09, 0x00}, 6},
      {[] { return OvApiSendRouteInfoRequest(0, 7); }, {0x0C, 0x00}, 7},
      {[] { OvApiWesCmdMessage m{0x1234, 8}; return OvApiSendWesCmd(0, &m); }, {0x10, 0x01, 0x34}, 8},
      {[] { OvApiAltCmdMessage m{0xFF01, 9}; return OvApiSendAltCmd(0, &m); }, {0x20, 0x01, 0x01}, 9},
      {[] { OvApiNetCmdMessage m{0x0304, 0x42, pl, 2, 10}; return OvApiSendNetCmd(0, &m); },
       {0x0A, 0x05, 0x03, 0x04, 0x42, 1, 2}, 10},
      {[] { OvApiSendRawMessage m{3, pl, 11}; return OvApiSendRaw(0, &m); }, {1, 2, 3}, 11},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.send(), Ok);
    EXPECT_EQ(Queued(), c.want);
    EXPECT_EQ(g_ovApi[0].userData.load(), c.userData);
    OvApiCancelEnqueuedMessage(0);
  }
  OvApiNetCmdMessage longest{1, 2, pl, 29, 0};
  ASSERT_EQ(OvApiSendNetCmd(0, &longest), Ok);
  EXPECT_EQ(Queued().size(), 34u);
  EXPECT_EQ(Queued().back(), 29);
}

TEST_F(OvApiTx, WesResponseIsAlways33Bytes) {
  OvApiWesResponseMessage m{{1, 2, 3, 4, 5}, 0xBEEF, {}, 12};
  for (int i = 0; i < 24; ++i) m.appSettings[i] = uint8_t(0x80 + i);
  ASSERT_EQ(OvApiSendWesResponse(0, &m), Ok);
  Bytes q = Queued();
  ASSERT_EQ(q.size(), 33u);
  EXPECT_EQ(Bytes(q.begin(), q.begin() + 9), (Bytes{0x11, 0x1F, 1, 2, 3, 4, 5, 0xBE, 0xEF}));
  EXPECT_EQ(Bytes(q.begin() + 9, q.end()), Bytes(m.appSettings, m.appSettings + 24));
}

TEST_F(OvApiTx, NetCmdAndRawRefuseWhatDoesNotFit) {
  uint8_t big[40] = {};
  OvApiNetCmdMessage n{1, 2, big, 30, 0};
  EXPECT_EQ(OvApiSendNetCmd(0, nullptr), MessageMissing);
  EXPECT_EQ(OvApiSendNetCmd(0, &n), PayloadTooLong);
  n.payloadLength = 1;
  n.payload = nullptr;
  EXPECT_EQ(OvApiSendNetCmd(0, &n), PayloadMissing);
  OvApiSendRawMessage r{35, big, 0};
  EXPECT_EQ(OvApiSendRaw(0, nullptr), MessageMissing);
  EXPECT_EQ(OvApiSendRaw(0, &r), PayloadTooLong);
  r.payload = nullptr;
  EXPECT_EQ(OvApiSendRaw(0, &r), PayloadMissing);
  EXPECT_EQ(OvApiStatus(0), Ok);
  EXPECT_EQ(g_ovApi[0].userData.load(), 0u);
  // Raw: busy is tested before the missing payload.
  ASSERT_EQ(OvApiSendRouteInfoRequest(0, 1), Ok);
  EXPECT_EQ(OvApiSendRaw(0, &r), Busy);
  OvApiCancelEnqueuedMessage(0);
  // A raw send of nothing keeps only the user value.
  OvApiSendRawMessage none{0, nullptr, 99};
  EXPECT_EQ(OvApiSendRaw(0, &none), Ok);
  EXPECT_EQ(OvApiStatus(0), Ok);
  EXPECT_EQ(g_ovApi[0].userData.load(), 99u);
}

TEST_F(OvApiTx, ClearToSendHandsOverAndReports) {
  Feed({0x52, 0x06, 1}); // partial frame, dropped once the line settles
  OvApiCtsActive(0);
  EXPECT_TRUE(g_hooks.offered.empty());
  EXPECT_TRUE(g_hooks.reports.empty());
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 3);
  EXPECT_TRUE(OvApiRxSettled(0));
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 0);

  ASSERT_EQ(OvApiSendNeighborListRequest(0, 0x55), Ok);
  OvApiCtsActive(0);
  ASSERT_EQ(g_hooks.offered.size(), 1u);
  EXPECT_EQ(g_hooks.offered[0], (Bytes{0x09, 0x00}));
  ASSERT_EQ(g_hooks.reports.size(), 1u);
  EXPECT_EQ(g_hooks.reports[0].userData, 0x55u);
  EXPECT_EQ(g_hooks.reports[0].frame, (Bytes{0x09, 0x00}));
  EXPECT_EQ(OvApiStatus(0), Ok);
  EXPECT_EQ(g_ovApi[0].userData.load(), 0u);
  OvApiCtsActive(0); // nothing queued any more
  EXPECT_EQ(g_hooks.offered.size(), 1u);
}

TEST_F(OvApiTx, NotSentStaysQueuedUntilDoneOrCancel) {
  g_hooks.txResult = NotSent;
  OvApiWesCmdMessage w{3, 0x77};
  ASSERT_EQ(OvApiSendWesCmd(0, &w), Ok);
  OvApiCtsActive(0);
  OvApiCtsActive(0);
  ASSERT_EQ(g_hooks.offered.size(), 2u);
  EXPECT_EQ(g_hooks.offered[0], g_hooks.offered[1]);
  EXPECT_TRUE(g_hooks.reports.empty());
  EXPECT_EQ(OvApiStatus(0), Pending);
  OvApiTxDataDone(0);
  ASSERT_EQ(g_hooks.reports.size(), 1u);
  EXPECT_EQ(g_hooks.reports[0].userData, 0x77u);
  EXPECT_EQ(g_hooks.reports[0].frame, (Bytes{0x10, 0x01, 0x03}));
  EXPECT_EQ(OvApiStatus(0), Ok);
  OvApiTxDataDone(0); // free slot: reported with nothing
  ASSERT_EQ(g_hooks.reports.size(), 2u);
  EXPECT_EQ(g_hooks.reports[1].userData, 0u);
  EXPECT_TRUE(g_hooks.reports[1].frame.empty());

  ASSERT_EQ(OvApiSendWesCmd(0, &w), Ok);
  OvApiCancelEnqueuedMessage(0);
  EXPECT_EQ(OvApiStatus(0), Ok);
  EXPECT_EQ(g_ovApi[0].userData.load(), 0u);
  OvApiCtsActive(0);
  EXPECT_EQ(g_hooks.offered.size(), 2u);
  EXPECT_EQ(g_hooks.reports.size(), 2u);
}

// The transmit hook runs while the send thread cancels and tries to queue a
// replacement: the replacement is refused, nothing is reported.
TEST_F(OvApiTx, CancelDuringHookIsNeverReportedAndBlocksReplacement) {
  static OvApiResult replaced;
  static Bytes seen;
  g_hooks.txData = [](uint8_t, const uint8_t* f, uint8_t n) {
    OvApiCancelEnqueuedMessage(0);
    replaced = OvApiSendNeighborListRequest(0, 2);
    seen.assign(f, f + n); // the frame is still intact
    return 0;
  };
  ASSERT_EQ(OvApiSendRouteInfoRequest(0, 1), Ok);
  OvApiCtsActive(0);
  EXPECT_EQ(replaced, Busy);
  EXPECT_EQ(seen, (Bytes{0x0C, 0x00}));
  EXPECT_TRUE(g_hooks.reports.empty());
  EXPECT_EQ(OvApiStatus(0), Ok);
  EXPECT_EQ(OvApiSendNeighborListRequest(0, 2), Ok);
}

// A frame completed by OvApiTxDataDone while it is being offered is
// reported once, by OvApiTxDataDone.
TEST_F(OvApiTx, DoneDuringHookReportsOnce) {
  g_hooks.txData = [](uint8_t, const uint8_t*, uint8_t) {
    OvApiTxDataDone(0);
    return 0;
  };
  ASSERT_EQ(OvApiSendNeighborListRequest(0, 21), Ok);
  OvApiCtsActive(0);
  ASSERT_EQ(g_hooks.reports.size(), 1u);
  EXPECT_EQ(g_hooks.reports[0].userData, 21u);
  EXPECT_EQ(g_hooks.reports[0].frame, (Bytes{0x09, 0x00}));
  EXPECT_EQ(OvApiStatus(0), Ok);
}

// The written hook may queue the next command at once.
TEST_F(OvApiTx, WrittenHookMayQueueNext) {
  static OvApiResult next;
  g_hooks.written = [](uint8_t, uint32_t, const uint8_t*, uint8_t) {
    next = OvApiSendNeighborListRequest(0, 3);
  };
  ASSERT_EQ(OvApiSendRouteInfoRequest(0, 1), Ok);
  OvApiCtsActive(0);
  EXPECT_EQ(next, Ok);
  EXPECT_EQ(Queued(), (Bytes{0x09, 0x00}));
}

} // namespace
