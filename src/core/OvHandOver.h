// Hands one item (a new configuration) from the main thread to a task thread
// that takes it at a safe point of its own loop, and the outcome back. The
// task's data stays its own: it changes only on the task's thread, between
// two passes, so no lock is needed and no pass sees half of a change.
//
// Phases (tHandOverPhase), one offer at a time:
//   Idle    -> Offered  main: HandOverOffer stores item, then the phase
//                       (release), then wakes the task
//   Offered -> Applied  task: HandOverTake (acquire) gave item; it applied it;
//                       HandOverFinish(ok 1)
//   Offered -> Failed   task: as above with ok 0; the reason is copied from
//                       the task's g_error before the phase (release)
//   Applied or Failed -> Idle  main: HandOverAwait saw the outcome (acquire)
#pragma once
#include <atomic>

#include "OvPrintErr.h"

enum class tHandOverPhase : int { Idle, Offered, Applied, Failed };

struct tHandOver {
  std::atomic<tHandOverPhase> phase{tHandOverPhase::Idle};
  void* item = nullptr;            // main thread writes, task reads after Offered
  char error[OV_ERROR_SIZE] = {};  // task writes, main reads after Failed
};

// Main thread: offers item, posts the task's wake-up eventfd and waits for
// the outcome (HandOverAwait).
int HandOverGive(tHandOver* handOver, void* item, int wakeFd, int timeoutMs);
// Task thread: applies the item on offer, if any, with apply (non-zero on
// success, else 0 with g_error) and finishes the hand-over.
void HandOverServe(tHandOver* handOver, int (*apply)(void* item));
// Main thread: offers item. The caller then wakes the task.
void HandOverOffer(tHandOver* handOver, void* item);
// Task thread: the item on offer, or null when none is.
void* HandOverTake(tHandOver* handOver);
// Task thread: the outcome of the item taken; ok 0 passes g_error back.
void HandOverFinish(tHandOver* handOver, int ok);
// Main thread: waits up to timeoutMs for the outcome. Non-zero when applied;
// 0 with the task's reason in g_error (or a time-out message). Back to Idle
// either way.
int HandOverAwait(tHandOver* handOver, int timeoutMs);
