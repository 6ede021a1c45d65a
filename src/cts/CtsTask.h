// The CTS flow-control monitor: a thread that waits for the module's
// clear-to-send events, on a GPIO input (CtsTaskGpio) or on the UART's CTS
// modem line (CtsTaskIoctl), and reports each to the host API with
// OvApiCtsActive(0). Row 2 of the task table.
//
// Stopping never waits on the module: a real UART's TIOCMIWAIT is no
// cancellation point, so shutdown raises `stop` and interrupts the thread
// with OV_INTERRUPT_SIGNAL (OvInterrupt) until it has left its loop; every
// wait and pause of the thread ends on that signal with EINTR.
#pragma once
#include <pthread.h>

#include <atomic>
#include <string>

#include "config/Configuration.h"

struct tCtsState {
  std::atomic<int> uartFd{-1};    // ioctl mode: the task's own UART descriptor
  std::atomic<int> valueFd{-1};   // gpio mode: the pin's value file
  void (*mainLoop)() = nullptr;   // CtsMainGpio or CtsMainIoctl
  // What the thread uses of the configuration, copied at init, so that a
  // reload may retire the configuration it came from while the thread runs.
  std::string uart;
  std::string source;
  int gpioPin = 0;
  std::atomic<int> stop{0};       // raised by shutdown, read by the thread
  std::atomic<int> running{0};    // 1 while the thread is inside CtsTaskRun
  std::atomic<pthread_t> thread{};  // the thread, valid while running is 1
};

extern tCtsState g_cts;

// Chooses the loop by ctsSource ("gpio" or "ioctl", exact) and, for ioctl,
// opens the UART; installs the interruption handler. Non-zero on success, 0
// with g_error ("Invalid ctsSource: %s", "CtsTask failed to open UART.
// errno=%s").
int CtsTaskInit(void* config);
int CtsTaskInitInternal(tConfiguration* config);
// Task-table reload: 1 when the new configuration changes nothing the
// monitor uses (it keeps running as it is), TASK_RESTART when ctsSource,
// gpioPin (gpio mode) or uart (ioctl mode) changed.
int CtsTaskReload(void* config);
// Thread body: runs mainLoop unless a stop came first, then closes the
// descriptors; they are never closed under a wait.
void* CtsTaskRun(void* arg);
// Raises the stop flag and interrupts the thread every few milliseconds until
// it has left its loop, so a wait that only a signal ends cannot hold a stop
// or reload. Answers non-zero: the task table then joins the thread.
int CtsTaskShutdown();
// True once shutdown has asked the thread to end.
bool CtsTaskStopping();
// Hands one clear-to-send event to the host API. The interruption signal is
// held off meanwhile, so a stop never cuts a frame write short.
void CtsTaskReportEvent();
// Sleeps up to ms, ended early by a stop. False when the thread is to end.
bool CtsTaskPause(int ms);
// Closes both descriptors (idempotent).
void CtsTaskCloseDescriptors();
