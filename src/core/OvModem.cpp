// Modem-line ioctls on the UART.
#include "OvModem.h"

#include <sys/ioctl.h>

int ModemWaitCtsChange(int fd) { return ioctl(fd, TIOCMIWAIT, TIOCM_CTS) == 0; }

int ModemCtsAsserted(int fd) {
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) {
    return 0;
  }
  return (lines & TIOCM_CTS) != 0;
}
