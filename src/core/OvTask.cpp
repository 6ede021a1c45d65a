// The task table and its walks.
#include "OvTask.h"

#include "cts/CtsTask.h"
#include "recv/RecvTask.h"
#include "send/SendTask.h"

tTask g_tasks[] = {
    {RecvTaskInit, RecvTaskRun, RecvTaskShutdown, 0},
    {SendTaskInit, SendTaskRun, SendTaskShutdown, 0},
    {CtsTaskInit, CtsTaskRun, CtsTaskShutdown, 0},
};
uint8_t g_numberOfTasks = 3;

int TaskInitAll(void* arg) {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    if (!g_tasks[i].init(arg)) {
      return 0;
    }
  }
  return 1;
}

void TaskRunAll(void* arg) {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    tTask& task = g_tasks[i];
    task.thread = 0;
    if (task.run != nullptr && pthread_create(&task.thread, nullptr, task.run, arg) != 0) {
      task.thread = 0;
    }
  }
}

void TaskShutdownAll() {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    tTask& task = g_tasks[i];
    if (!task.shutdown() && task.thread != 0) {
      pthread_cancel(task.thread);
    }
  }
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    tTask& task = g_tasks[i];
    if (task.thread != 0) {
      pthread_join(task.thread, nullptr);
      task.thread = 0;
    }
  }
}
