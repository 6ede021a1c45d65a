// CTS monitor: init, thread body and shutdown.
#include "cts/CtsTask.h"

#include <cstring>

#include "core/OvClosers.h"
#include "core/OvInterrupt.h"
#include "core/OvIo.h"
#include "core/OvPrintErr.h"
#include "cts/CtsTaskGpio.h"
#include "cts/CtsTaskIoctl.h"
#include "core/OvTask.h"
#include "ovapi/OvApi.h"

tCtsState g_cts;

namespace {

// Between two interruptions at shutdown: one lands while the thread is in
// its wait even when the previous one came just before the wait began.
constexpr unsigned int kInterruptPauseMs = 5;

void CloseAtomic(std::atomic<int>* slot) {
  int fd = slot->exchange(-1);
  FdClose(&fd);
}

}  // namespace

void CtsTaskCloseDescriptors() {
  CloseAtomic(&g_cts.uartFd);
  CloseAtomic(&g_cts.valueFd);
}

void CtsTaskReportEvent() {
  InterruptHold();
  OvApiCtsActive(0);
  InterruptRelease();
}

bool CtsTaskStopping() { return g_cts.stop.load() != 0; }

bool CtsTaskPause(int ms) {
  if (!CtsTaskStopping() && ms > 0) {
    IoSleepMs(static_cast<unsigned int>(ms));
  }
  return !CtsTaskStopping();
}

int CtsTaskInit(void* config) { return CtsTaskInitInternal(static_cast<tConfiguration*>(config)); }

int CtsTaskInitInternal(tConfiguration* config) {
  // A run that never started leaves its descriptor behind.
  CtsTaskCloseDescriptors();
  g_cts.mainLoop = nullptr;
  g_cts.stop.store(0);
  const char* source = config->getCtsSource();
  g_cts.uart = config->getUart() != nullptr ? config->getUart() : "";
  g_cts.source = source != nullptr ? source : "";
  g_cts.gpioPin = config->getGpioPin();
  if (!InterruptInstall()) {
    return 0;
  }
  if (source != nullptr && strcmp(source, "gpio") == 0) {
    g_cts.mainLoop = CtsMainGpio;
    return 1;
  }
  if (source != nullptr && strcmp(source, "ioctl") == 0) {
    int fd = -1;
    if (!CtsUartOpen(config->getUart(), &fd)) {
      return 0;
    }
    g_cts.uartFd.store(fd);
    g_cts.mainLoop = CtsMainIoctl;
    return 1;
  }
  return PrintErr("Invalid ctsSource: %s", source != nullptr ? source : "(null)");
}

int CtsTaskReload(void* config) {
  auto* next = static_cast<tConfiguration*>(config);
  const char* source = next->getCtsSource() != nullptr ? next->getCtsSource() : "";
  const char* uart = next->getUart() != nullptr ? next->getUart() : "";
  bool same = g_cts.source == source;
  if (same && g_cts.source == "gpio") {
    same = g_cts.gpioPin == next->getGpioPin();
  } else if (same) {
    same = g_cts.uart == uart;
  }
  return same ? 1 : TASK_RESTART;
}

void* CtsTaskRun(void*) {
  g_cts.thread.store(pthread_self());
  // Announced before the stop flag is read, so that a shutdown either sees
  // the thread running and interrupts it, or the thread sees the stop.
  g_cts.running.store(1);
  if (!CtsTaskStopping() && g_cts.mainLoop != nullptr) {
    g_cts.mainLoop();
  }
  CtsTaskCloseDescriptors();
  g_cts.running.store(0);
  return nullptr;
}

int CtsTaskShutdown() {
  g_cts.stop.store(1);
  while (g_cts.running.load() != 0) {
    InterruptThread(g_cts.thread.load());
    IoSleepMs(kInterruptPauseMs);
  }
  return 1;
}
