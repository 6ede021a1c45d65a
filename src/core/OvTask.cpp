// The task table and its walks.
#include "OvTask.h"

#include "cts/CtsTask.h"
#include "recv/RecvTask.h"
#include "send/SendTask.h"

tTask g_tasks[] = {
    {RecvTaskInit, RecvTaskRun, RecvTaskShutdown, RecvTaskReload, 0},
    {SendTaskInit, SendTaskRun, SendTaskShutdown, SendTaskReload, 0},
    {CtsTaskInit, CtsTaskRun, CtsTaskShutdown, CtsTaskReload, 0},
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

namespace {

void Start(tTask* task, void* arg) {
  task->thread = 0;
  if (task->run != nullptr && pthread_create(&task->thread, nullptr, task->run, arg) != 0) {
    task->thread = 0;
  }
}

void AskToStop(tTask* task) {
  if (!task->shutdown() && task->thread != 0) {
    pthread_cancel(task->thread);
  }
}

void Join(tTask* task) {
  if (task->thread != 0) {
    pthread_join(task->thread, nullptr);
    task->thread = 0;
  }
}

}  // namespace

void TaskRunAll(void* arg) {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    Start(&g_tasks[i], arg);
  }
}

int TaskReloadAll(void* arg) {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    tTask& task = g_tasks[i];
    int result = task.reload(arg);
    if (result == TASK_RESTART) {
      AskToStop(&task);
      Join(&task);
      result = task.init(arg);
      if (result) Start(&task, arg);
    }
    if (!result) {
      return 0;
    }
  }
  return 1;
}

void TaskShutdownAll() {
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    AskToStop(&g_tasks[i]);
  }
  for (uint8_t i = 0; i < g_numberOfTasks; ++i) {
    Join(&g_tasks[i]);
  }
}
