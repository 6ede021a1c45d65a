// Long randomised runs: a receive stream of every message kind mixed with
// garbage and idle notifications, and the transmit hand-over between a
// queuing/cancelling thread and a clear-to-send thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "OvApiTestHooks.h"

namespace {

using Rng = std::mt19937;

uint8_t Byte(Rng& r) { return static_cast<uint8_t>(r()); }
uint32_t Upto(Rng& r, uint32_t n) { return r() % (n + 1); }

void Put16(Bytes& f, uint32_t v) {
  f.push_back(uint8_t(v >> 8));
  f.push_back(uint8_t(v));
}

// One valid frame with the record the typed slot must receive (none for
// opcodes without a slot).
struct Expected {
  Bytes frame;
  bool typed = true;
  Delivery rec{0, {}};
};

Bytes Payload(Rng& r, unsigned n) {
  Bytes p(n);
  for (auto& b : p) b = Byte(r);
  return p;
}

Expected DataFrame(Rng& r, uint8_t op, int slot) {
  bool hapa = op == 0x53 || op == 0x55;
  bool uapp = op == 0x54 || op == 0x55;
  Expected e;
  uint32_t node = r() & 0xFFFF, age = hapa ? r() : r() & 0xFFFF, port = Byte(r), seq = r() & 0xFFFF;
  Bytes p = Payload(r, 1 + Upto(r, 30));
  Bytes& f = e.frame;
  f = {op, 0};
  Put16(f, node);
  if (hapa) Put16(f, age >> 16);
  Put16(f, age);
  f.push_back(uint8_t(port));
  if (uapp) Put16(f, seq);
  f.insert(f.end(), p.begin(), p.end());
  f[1] = uint8_t(f.size() - 2);
  e.rec = {slot, p, node, age, port, uapp ? (seq & 0xFFF) : 0, {}};
  return e;
}

Expected MakeFrame(Rng& r) {
  static const uint8_t ops[] = {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
                                0x59, 0x5A, 0x5B, 0x5C, 0x60, 0x61, 0x07, 0x70};
  uint8_t op = ops[r() % sizeof ops];
  Expected e;
  Bytes& f = e.frame;
  uint32_t node = r() & 0xFFFF;
  switch (op) {
  case 0x50:
  case 0x51:
    f = {op, 2};
    Put16(f, node);
    e.rec = {op == 0x50 ? 1 : 2, {}, node};
    return e;
  case 0x52: return DataFrame(r, op, 5);
  case 0x53: return DataFrame(r, op, 6);
  case 0x54: return DataFrame(r, op, 7);
  case 0x55: return DataFrame(r, op, 8);
  case 0x56:
  case 0x57: {
    uint32_t st = r() & 0xFFFF;
    f = {op, 0};
    Put16(f, node);
    Put16(f, st);
    Bytes tail = Payload(r, Upto(r, 4));
    f.insert(f.end(), tail.begin(), tail.end());
    f[1] = uint8_t(f.size() - 2);
    e.rec = {op == 0x56 ? 3 : 4, {}, node, st};
    return e;
  }
  case 0x58: {
    Bytes uid = Payload(r, 5);
    uint8_t type = Byte(r);
    f = {op, 8};
    Put16(f, node);
    f.insert(f.end(), uid.begin(), uid.end());
    f.push_back(type);
    e.rec = {9, {}, node, type, 0, 0, uid};
    return e;
  }
  case 0x59: {
    f = {op, uint8_t(r() % 2 ? 36 : 39)};
    Bytes list;
    for (int i = 0; i < 12; ++i) {
      if (r() % 3 == 0) {
        f.insert(f.end(), {0xFF, 0xFF, Byte(r)});
        continue;
      }
      uint32_t id = r() % 5 == 0 ? 0xFF00 : r() & 0xFEFF;
      uint8_t rssi = Byte(r);
      Put16(f, id);
      f.push_back(rssi);
      Put16(list, id);
      list.push_back(rssi);
    }
    if (f[1] == 39) f.insert(f.end(), {Byte(r), Byte(r), Byte(r)});
    e.rec = {10, {}, uint32_t(list.size() / 3), 0, 0, 0, list};
    return e;
  }
  case 0x5A: {
    uint8_t cmd = Byte(r);
    Bytes p = Payload(r, Upto(r, 20));
    f = {op, uint8_t(p.size() + 3)};
    Put16(f, node);
    f.push_back(cmd);
    f.insert(f.end(), p.begin(), p.end());
    e.rec = {12, p, node, cmd};
    return e;
  }
  case 0x5C: {
    Bytes d = Payload(r, 16);
    f = {op, 16};
    f.insert(f.end(), d.begin(), d.end());
    e.rec = {11, {}, 0, 0, 0, 0, d};
    return e;
  }
  case 0x60: {
    uint8_t st = Byte(r);
    f = {op, 1, st};
    e.rec = {14, {}, st};
    return e;
  }
  case 0x61: {
    Bytes uid = Payload(r, 5);
    uint8_t type = Byte(r);
    f = {op, 6};
    f.insert(f.end(), uid.begin(), uid.end());
    f.push_back(type);
    e.rec = {13, {}, 0, type, 0, 0, uid};
    return e;
  }
  default: { // no message of its own: slot 0 only
    Bytes p = Payload(r, 1 + Upto(r, 40));
    f = {op, uint8_t(p.size())};
    f.insert(f.end(), p.begin(), p.end());
    e.typed = false;
    return e;
  }
  }
}

void ExpectSame(const Delivery& got, const Delivery& want) {
  EXPECT_EQ(got.slot, want.slot);
  EXPECT_EQ(got.raw, want.raw);
  EXPECT_EQ(got.a, want.a);
  EXPECT_EQ(got.b, want.b);
  EXPECT_EQ(got.c, want.c);
  EXPECT_EQ(got.d, want.d);
  EXPECT_EQ(got.extra, want.extra);
}

TEST(OvApiStream, EveryFrameAfterIdleIsDeliveredOnceWithItsRecord) {
  ResetApi(false);
  UseRecordingTable();
  Rng rng(20261208);
  unsigned checked = 0;
  for (int round = 0; round < 4000 && !::testing::Test::HasFailure(); ++round) {
    OvApiCallbackNwuActive(0);
    for (uint32_t k = 1 + Upto(rng, 2); k > 0; --k) {
      Expected e = MakeFrame(rng);
      size_t before = g_deliveries.size();
      Feed(Bytes(e.frame.begin(), e.frame.end() - 1));
      ASSERT_EQ(g_deliveries.size(), before) << "delivered before its last byte";
      OvApiRxData(0, e.frame.back());
      ASSERT_EQ(g_deliveries.size(), before + (e.typed ? 2 : 1));
      ExpectSame(g_deliveries[before], Delivery{0, e.frame});
      if (e.typed) ExpectSame(g_deliveries[before + 1], e.rec);
      ++checked;
    }
    if (rng() % 2) Feed(Payload(rng, Upto(rng, 300))); // garbage, may slide
  }
  EXPECT_GT(checked, 4000u);
}

// ---- Transmit hand-over under two threads --------------------------------------

#ifdef ORVEL_EMULATED
// Under user-mode emulation every yield is a trip through the emulator, so
// the full run would outlast its deadline; a fifth still crosses the
// hand-over races thousands of times.
constexpr uint32_t kCommands = 20000;
#else
constexpr uint32_t kCommands = 100000;
#endif

struct HandOver {
  std::atomic<uint32_t> lastWritten{0};
  std::atomic<bool> done{false};
  // CTS thread only while running; read after join.
  std::vector<uint8_t> written = std::vector<uint8_t>(kCommands + 1, 0);
  Bytes lastOffered;
  uint32_t torn = 0, mismatched = 0, notOffered = 0, offers = 0;
} g_ho;

Bytes CommandPayload(uint32_t id) {
  Bytes p;
  for (int i = 0; i < 6; ++i)
    for (int s = 24; s >= 0; s -= 8) p.push_back(uint8_t(id >> s));
  return p;
}

Bytes CommandFrame(uint32_t id) {
  Bytes f{0x02, 24 + 5};
  Put16(f, (id & 0xFFFF) | 1);
  f.push_back(uint8_t(id % 5));
  Put16(f, id & 0x0FFF);
  Bytes p = CommandPayload(id);
  f.insert(f.end(), p.begin(), p.end());
  return f;
}

int HandOverTx(uint8_t, const uint8_t* frame, uint8_t len) {
  g_ho.lastOffered.assign(frame, frame + len);
  ++g_ho.offers;
  if (len != 31 || std::memcmp(frame + 7, frame + 11, 20) != 0) ++g_ho.torn;
  if (g_ho.offers % 3 == 0) std::this_thread::yield(); // widen the window
  // The bytes must stay put for as long as the hook may read them.
  if (!std::equal(g_ho.lastOffered.begin(), g_ho.lastOffered.end(), frame)) ++g_ho.torn;
  return g_ho.offers % 11 == 0 ? NotSent : 0;
}

void HandOverWritten(uint8_t, uint32_t id, const uint8_t* frame, uint8_t len) {
  Bytes f(frame, frame + len);
  if (id == 0 || id > kCommands) {
    ++g_ho.mismatched;
    return;
  }
  if (f != g_ho.lastOffered) ++g_ho.notOffered;
  if (f != CommandFrame(id)) ++g_ho.mismatched;
  ++g_ho.written[id];
  g_ho.lastWritten.store(id, std::memory_order_release);
}

TEST(OvApiStream, TransmitHandOverBetweenTwoThreads) {
  ResetApi();
  g_hooks.txData = HandOverTx;
  g_hooks.written = HandOverWritten;
  std::vector<uint8_t> cancelled(kCommands + 1, 0);
  std::thread cts([] {
    while (!g_ho.done.load(std::memory_order_acquire)) OvApiCtsActive(0);
  });
  Rng rng(42);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  bool timedOut = false;
  for (uint32_t id = 1; id <= kCommands && !timedOut; ++id) {
    Bytes p = CommandPayload(id);
    OvApiSendUnackMessage m{uint16_t((id & 0xFFFF) | 1), uint8_t(id % 5), uint16_t(id & 0x0FFF),
                            p.data(), uint8_t(p.size()), id};
    for (unsigned tries = 0; OvApiSendUnacknowledged(0, &m) != Ok; ++tries) {
      if (tries % 64 == 0 && std::chrono::steady_clock::now() > deadline) timedOut = true;
      if (timedOut) break;
      std::this_thread::yield();
    }
    if (timedOut) break;
    if (rng() % 4 == 0) { // give up at once, possibly while the hook runs
      OvApiCancelEnqueuedMessage(0);
      cancelled[id] = 1;
      continue;
    }
    for (unsigned spins = 0; g_ho.lastWritten.load(std::memory_order_acquire) != id; ++spins) {
      if (spins > 20000) { // the other thread is slow: cancel as the send task would
        OvApiCancelEnqueuedMessage(0);
        cancelled[id] = 1;
        break;
      }
      std::this_thread::yield();
    }
  }
  // Let an outstanding report land before stopping the CTS thread.
  while (OvApiStatus(0) == Pending && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  g_ho.done.store(true, std::memory_order_release);
  cts.join();
  ASSERT_FALSE(timedOut);

  EXPECT_EQ(g_ho.torn, 0u);
  EXPECT_EQ(g_ho.mismatched, 0u);
  EXPECT_EQ(g_ho.notOffered, 0u);
  uint32_t writtenTotal = 0, cancelledTotal = 0;
  for (uint32_t id = 1; id <= kCommands; ++id) {
    ASSERT_LE(g_ho.written[id], 1) << "id " << id << " reported twice";
    if (!cancelled[id]) {
      ASSERT_EQ(g_ho.written[id], 1) << "id " << id << " lost";
    }
    writtenTotal += g_ho.written[id];
    cancelledTotal += cancelled[id];
  }
  EXPECT_GT(writtenTotal, kCommands / 2);
  EXPECT_GT(cancelledTotal, 0u);
  EXPECT_GE(g_ho.offers, writtenTotal);
}

} // namespace

namespace {

// Clear-to-send asks for restarts from another thread while frames arrive in
// pieces of any size; the receive side reports the line settled only between
// frames, as a line that carries frames back to back does. No frame is cut
// and every delivery is a whole valid frame.
TEST(OvApiStream, RestartsAskedFromAnotherThreadNeverCutAFrame) {
  ResetApi();
  static std::atomic<uint32_t> bad{0};
  static std::atomic<uint32_t> seen{0};
  g_hooks.received = [](uint8_t, uint32_t, const uint8_t* f, uint8_t n) {
    uint16_t len = 0;
    if (!OvApiIsValidFrameProtocol(f, n, &len) || len != n) bad.fetch_add(1);
    seen.fetch_add(1);
  };
  std::atomic<bool> done{false};
  std::thread cts([&done] {
    while (!done.load(std::memory_order_acquire)) OvApiCtsActive(0);
  });
  Rng rng(7);
  constexpr uint32_t kFrames = 20000;
  uint32_t restarts = 0;
  for (uint32_t i = 0; i < kFrames; ++i) {
    Expected e = MakeFrame(rng);
    for (size_t at = 0; at < e.frame.size();) {
      size_t piece = std::min<size_t>(e.frame.size() - at, 1 + Upto(rng, 16));
      Feed(Bytes(e.frame.begin() + long(at), e.frame.begin() + long(at + piece)));
      at += piece;
      std::this_thread::yield();
    }
    if (i % 4 == 0) restarts += OvApiRxSettled(0);
  }
  done.store(true, std::memory_order_release);
  cts.join();
  EXPECT_EQ(bad.load(), 0u);
  EXPECT_EQ(seen.load(), kFrames);
  EXPECT_GT(restarts, 0u);
  EXPECT_EQ(g_ovApi[0].rxCount.load(), 0);
}

} // namespace
