// CTS monitor, GPIO mode.
#include "cts/CtsTaskGpio.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "core/OvIo.h"
#include "core/OvWake.h"
#include "cts/CtsTask.h"
#include "cts/Gpio.h"

namespace {

// First failing preparation step's message, or null.
const char* PreparePin(int pin, int* fd) {
  const char* failure = GpioUnExport(pin);
  if (failure == nullptr) failure = GpioExport(pin);
  if (failure == nullptr) failure = GpioDirection(pin, "in");
  if (failure == nullptr) failure = GpioTriggerMode(pin, "falling");
  if (failure == nullptr) failure = GpioOpenValue(pin, fd);
  return failure;
}

// Reads the value, which acknowledges the edges seen so far. False when the
// pin is gone (unexported by someone else): sysfs then flags an event on
// every wait, and going on would spin and report edges that never happened.
bool Acknowledge(int fd) {
  char value[4];
  return IoRead(fd, value, sizeof value) >= 0 || errno == EINTR;
}

void EndWait(const char* call) {
  perror(call);
  CtsTaskCloseDescriptors();
  printf("ERROR CTS!! \n\n");
}

}  // namespace

void CtsMainGpio() {
  int fd = -1;
  const char* failure = PreparePin(g_cts.config->getGpioPin(), &fd);
  if (failure != nullptr) {
    printf("CtsMainGpio: %s\n", failure);
    // Shutting down is the main thread's job; it ends the process with 1.
    WakePost(WAKE_FATAL);
    return;
  }
  g_cts.valueFd.store(fd);
  // A value file flags an event from its opening until its first read; that
  // is no edge, and taking it for one would release a queued command early.
  if (!Acknowledge(fd)) {
    EndWait("read()");
    return;
  }
  for (;;) {
    IoRewind(fd);
    short revents = 0;
    int rc = IoPollOne(fd, POLLPRI, -1, &revents);
    if (rc < 0 && errno == EINTR) {
      continue;  // a signal handled on this thread, not a failed wait
    }
    if (rc < 0) {
      EndWait("poll()");
      return;
    }
    // Acknowledged before it is reported, so that a pin gone away is not
    // taken for clear-to-send.
    if (!Acknowledge(fd)) {
      EndWait("read()");
      return;
    }
    if (rc > 0) {
      CtsTaskReportEvent();
    }
  }
}
