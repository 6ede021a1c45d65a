// The main thread's offers to the task threads and their answers.
#include "OvHandOver.h"

#include <cstdio>

#include "OvEvent.h"
#include "OvIo.h"

namespace {
// The main thread's pause between looks; a task takes an offer within one
// pass of its loop, well under a millisecond when it is idle.
constexpr unsigned int kAwaitPauseUs = 100;
}  // namespace

void HandOverOffer(tHandOver* handOver, void* item) {
  handOver->item = item;
  handOver->phase.store(tHandOverPhase::Offered, std::memory_order_release);
}

void* HandOverTake(tHandOver* handOver) {
  if (handOver->phase.load(std::memory_order_acquire) != tHandOverPhase::Offered) {
    return nullptr;
  }
  return handOver->item;
}

void HandOverFinish(tHandOver* handOver, int ok) {
  if (!ok) {
    snprintf(handOver->error, sizeof handOver->error, "%s", g_error);
  }
  handOver->phase.store(ok ? tHandOverPhase::Applied : tHandOverPhase::Failed,
                        std::memory_order_release);
}

int HandOverAwait(tHandOver* handOver, int timeoutMs) {
  int64_t end = IoMonotonicMs() + timeoutMs;
  tHandOverPhase phase = handOver->phase.load(std::memory_order_acquire);
  while (phase == tHandOverPhase::Offered && IoMonotonicMs() < end) {
    IoSleepUs(kAwaitPauseUs);
    phase = handOver->phase.load(std::memory_order_acquire);
  }
  handOver->phase.store(tHandOverPhase::Idle, std::memory_order_relaxed);
  if (phase == tHandOverPhase::Applied) {
    return 1;
  }
  if (phase == tHandOverPhase::Failed) {
    return PrintErr("%s", handOver->error);
  }
  return PrintErr("A task did not take the new configuration within %d ms", timeoutMs);
}

int HandOverGive(tHandOver* handOver, void* item, int wakeFd, int timeoutMs) {
  HandOverOffer(handOver, item);
  EventPost(wakeFd);
  return HandOverAwait(handOver, timeoutMs);
}

void HandOverServe(tHandOver* handOver, int (*apply)(void* item)) {
  void* item = HandOverTake(handOver);
  if (item != nullptr) {
    HandOverFinish(handOver, apply(item));
  }
}
