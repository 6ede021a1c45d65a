// The serial port to the radio module: raw 8N1, no flow control of any kind,
// since clear-to-send is handled by the CTS task and not by the driver.
#include "OvUart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OvPrintErr.h"

int UartOpen(const char* path, int* fd) {
  int d = open(path, O_RDWR | O_NOCTTY | O_SYNC);
  if (d < 0) {
    int saved = errno;  // callers may word their own message from it
    PrintErr("Failed to open UART %s. errno=%s", path, PrintErrNo(saved));
    errno = saved;
    return 0;
  }
  *fd = d;
  return 1;
}

int UartConfigure(int fd, unsigned int speed, int timeoutMs) {
  termios tty;
  memset(&tty, 0, sizeof tty);
  if (tcgetattr(fd, &tty) != 0) {
    return PrintErr("tcgetattr failed. errno=%s", PrintErrNo(errno));
  }
  cfsetospeed(&tty, static_cast<speed_t>(speed));
  cfsetispeed(&tty, static_cast<speed_t>(speed));
  tty.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB | PARODD);
  tty.c_cflag |= CS8 | CREAD | CLOCAL;
  tty.c_iflag &= ~(IGNBRK | INLCR | ICRNL | IXON | IXOFF | IXANY);
  tty.c_oflag = 0;
  tty.c_lflag = 0;
  tty.c_cc[VMIN] = 0;
  tty.c_cc[VTIME] = static_cast<cc_t>(timeoutMs / 100);
  cfmakeraw(&tty);
  if (tcsetattr(fd, TCSANOW, &tty) != 0) {
    return PrintErr("tcsetattr failed. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

unsigned int UartCharTimeUs(unsigned int speed) {
  constexpr unsigned int kBitsPerChar = 10;
  unsigned int bitsPerSecond = 57600;
  if (speed == B115200) {
    bitsPerSecond = 115200;
  } else if (speed == B230400) {
    bitsPerSecond = 230400;
  }
  return (kBitsPerChar * 1000000U + bitsPerSecond - 1) / bitsPerSecond;
}
