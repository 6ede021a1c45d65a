// The static table of the gateway's three long-running tasks (receive, send,
// CTS monitor) and the four walks over it that start-up, reload and
// shutdown use; they never name a task directly.
#pragma once
#include <pthread.h>

#include <cstdint>

constexpr int TASK_RESTART = 2;

struct tTask {
  // Prepares the task from the configuration; non-zero on success, 0 with
  // the reason in g_error.
  int (*init)(void* config);
  // Thread body; null for a task without a thread.
  void* (*run)(void* config);
  // Asks the task to stop. Non-zero: the thread ends by itself and is
  // joined. 0: the thread is cancelled, then joined as well, so that it has
  // really ended before its task can be initialised again.
  int (*shutdown)();
  // Hands a new configuration to the running task, which applies it where
  // it differs without stopping. 1 when applied, TASK_RESTART when the task
  // must be stopped and started again with it, 0 with the reason in g_error.
  int (*reload)(void* config);
  // The running thread, 0 when there is none.
  pthread_t thread;
};

extern tTask g_tasks[];
extern uint8_t g_numberOfTasks;

// Calls every init in row order, stopping at the first failure (earlier rows
// stay initialised). Non-zero when all succeeded.
int TaskInitAll(void* arg);
// Starts one thread per row that has a run function. A thread that cannot be
// created leaves its row idle (thread 0).
void TaskRunAll(void* arg);
// Hands config to every running task in row order, restarting the rows that
// ask for it, stopping at the first failure. Non-zero when all took it.
int TaskReloadAll(void* config);
// Asks every task to stop (cancelling those whose shutdown answers 0), then
// joins every thread in row order.
void TaskShutdownAll();
