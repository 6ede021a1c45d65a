// CTS monitor, GPIO mode.
#include "cts/CtsTaskGpio.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "core/OvIo.h"
#include "core/OvPrintErr.h"
#include "core/OvWake.h"
#include "cts/CtsTask.h"
#include "cts/Gpio.h"

namespace {

constexpr int kPrepareAgainMs = 1000;

// First failing preparation step's message, or null. On success the value
// file is open in g_cts.valueFd and its opening event is taken.
const char* PreparePin(int pin) {
  int fd = -1;
  const char* failure = GpioUnExport(pin);
  if (failure == nullptr) failure = GpioExport(pin);
  if (failure == nullptr) failure = GpioDirection(pin, "in");
  if (failure == nullptr) failure = GpioTriggerMode(pin, "falling");
  if (failure == nullptr) failure = GpioOpenValue(pin, &fd);
  if (failure == nullptr) g_cts.valueFd.store(fd);
  return failure;
}

// Reads the value, which acknowledges the edges seen so far. False when the
// pin is gone (unexported by someone else): sysfs then flags an event on
// every wait, and going on would spin and report edges that never happened.
bool Acknowledge(int fd) {
  char value[4];
  return IoRead(fd, value, sizeof value) >= 0 || errno == EINTR;
}

// A value file flags an event from its opening until its first read; that is
// no edge, and taking it for one would release a queued command early. Null,
// or the failing call as WaitEdge gives it.
const char* TakeOpeningEvent() { return Acknowledge(g_cts.valueFd.load()) ? nullptr : "read()"; }

// Closes the value file and prepares the pin every second until that works;
// false when a stop came first.
bool PrepareAgain(int pin, const char* call, int err) {
  CtsTaskCloseDescriptors();
  printf("CtsMainGpio: GPIO pin %d lost: %s errno=%s; preparing it again every second\n", pin,
         call, PrintErrNo(err));
  do {
    if (!CtsTaskPause(kPrepareAgainMs)) {
      return false;
    }
  } while (PreparePin(pin) != nullptr);
  printf("CtsMainGpio: GPIO pin %d prepared again\n", pin);
  return true;
}

// Waits for one edge and acknowledges it. Null when the pin is fine (an edge
// is reported), else the call that failed, with errno.
const char* WaitEdge(int fd) {
  IoRewind(fd);
  short revents = 0;
  int rc = IoPollOne(fd, POLLPRI, -1, &revents);
  if (rc < 0 && errno == EINTR) {
    return nullptr;  // an interruption: the loop looks at the stop flag
  }
  if (rc < 0) {
    return "poll()";
  }
  // Acknowledged before it is reported, so that a pin gone away is not
  // taken for clear-to-send.
  if (!Acknowledge(fd)) {
    return "read()";
  }
  if (rc > 0) {
    CtsTaskReportEvent();
  }
  return nullptr;
}

}  // namespace

void CtsMainGpio() {
  int pin = g_cts.gpioPin;
  const char* failure = PreparePin(pin);
  if (failure != nullptr) {
    printf("CtsMainGpio: %s\n", failure);
    // Shutting down is the main thread's job; it ends the process with 1.
    // A stop that interrupted the preparation is no failure of the pin.
    if (!CtsTaskStopping()) {
      WakePost(WAKE_FATAL);
    }
    return;
  }
  const char* call = TakeOpeningEvent();
  while (!CtsTaskStopping()) {
    if (call == nullptr) {
      call = WaitEdge(g_cts.valueFd.load());
      continue;
    }
    int err = errno;  // of the failed call: the pin is gone
    if (!PrepareAgain(pin, call, err)) {
      return;
    }
    call = TakeOpeningEvent();
  }
}
