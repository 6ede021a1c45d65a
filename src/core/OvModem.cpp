// Modem-line ioctls on the UART.
#include "OvModem.h"

#include <pthread.h>
#include <sys/ioctl.h>

#include <cerrno>

int ModemWaitCtsChange(int fd) {
  // The driver's wait may not honour cancellation by itself; test for a
  // pending cancel on both sides of it so a stop is seen at the latest on the
  // next change.
  int rc;
  do {  // a signal handled on this thread is no reason to stop watching
    pthread_testcancel();
    rc = ioctl(fd, TIOCMIWAIT, TIOCM_CTS);
    pthread_testcancel();
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

int ModemCtsAsserted(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) {
    return 0;
  }
  return (lines & TIOCM_CTS) != 0;
}
