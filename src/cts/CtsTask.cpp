// CTS monitor: init, thread body and shutdown.
#include "cts/CtsTask.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "core/OvClosers.h"
#include "core/OvPrintErr.h"
#include "core/OvUart.h"
#include "cts/CtsTaskGpio.h"
#include "cts/CtsTaskIoctl.h"
#include "ovapi/OvApi.h"

tCtsState g_cts;

namespace {

void CloseAtomic(std::atomic<int>* slot) {
  int fd = slot->exchange(-1);
  FdClose(&fd);
}

// Runs when the loop returns or the thread is cancelled. close() is a
// cancellation point: a cancel arriving inside this handler would unwind
// through it, so cancellation is switched off first.
void CloseOnExit(void*) {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  CtsTaskCloseDescriptors();
}

}  // namespace

void CtsTaskCloseDescriptors() {
  CloseAtomic(&g_cts.uartFd);
  CloseAtomic(&g_cts.valueFd);
}

void CtsTaskReportEvent() {
  int previous = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  OvApiCtsActive(0);
  pthread_setcancelstate(previous, nullptr);
}

int CtsTaskInit(void* config) { return CtsTaskInitInternal(static_cast<tConfiguration*>(config)); }

int CtsTaskInitInternal(tConfiguration* config) {
  // A run that never started leaves its descriptor behind.
  CtsTaskCloseDescriptors();
  g_cts.mainLoop = nullptr;
  g_cts.config = config;
  const char* source = config->getCtsSource();
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

void* CtsTaskRun(void*) {
  pthread_cleanup_push(CloseOnExit, nullptr);
  if (g_cts.mainLoop != nullptr) {
    g_cts.mainLoop();
  }
  pthread_cleanup_pop(1);
  return nullptr;
}

int CtsTaskShutdown() { return 0; }
