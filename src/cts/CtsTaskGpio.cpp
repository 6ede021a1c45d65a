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

void Acknowledge(int fd) {
  char value[4];
  ssize_t ignored = IoRead(fd, value, sizeof value);
  (void)ignored;
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
  for (;;) {
    IoRewind(fd);
    short revents = 0;
    int rc = IoPollOne(fd, POLLPRI, -1, &revents);
    if (rc < 0 && errno == EINTR) {
      continue;  // a signal handled on this thread, not a failed wait
    }
    if (rc < 0) {
      perror("poll()");
      CtsTaskCloseDescriptors();
      printf("ERROR CTS!! \n\n");
      return;
    }
    if (rc > 0) {
      CtsTaskReportEvent();
    }
    Acknowledge(fd);
  }
}
