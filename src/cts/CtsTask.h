// The CTS flow-control monitor: a thread that waits for the module's
// clear-to-send events, on a GPIO input (CtsTaskGpio) or on the UART's CTS
// modem line (CtsTaskIoctl), and reports each to the host API with
// OvApiCtsActive(0). Row 2 of the task table.
#pragma once
#include <atomic>

#include "config/Configuration.h"

struct tCtsState {
  std::atomic<int> uartFd{-1};    // ioctl mode: the task's own UART descriptor
  std::atomic<int> valueFd{-1};   // gpio mode: the pin's value file
  void (*mainLoop)() = nullptr;   // CtsMainGpio or CtsMainIoctl
  tConfiguration* config = nullptr;
};

extern tCtsState g_cts;

// Chooses the loop by ctsSource ("gpio" or "ioctl", exact) and, for ioctl,
// opens the UART. Non-zero on success, 0 with g_error ("Invalid ctsSource:
// %s", "CtsTask failed to open UART. errno=%s").
int CtsTaskInit(void* config);
int CtsTaskInitInternal(tConfiguration* config);
// Thread body: runs mainLoop. The descriptors are closed when the thread
// ends, also when it is cancelled, so they are never closed under a wait.
void* CtsTaskRun(void* arg);
// Answers 0: the task table cancels the thread and then joins it.
int CtsTaskShutdown();
// Hands one clear-to-send event to the host API. Cancellation is held off
// meanwhile, so a stop never cuts a frame write short; the thread is only
// cancelled inside its wait.
void CtsTaskReportEvent();
// Closes both descriptors (idempotent).
void CtsTaskCloseDescriptors();
