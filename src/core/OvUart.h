// Opening and configuring the serial port to the radio module.
#pragma once

// Opens `path` read-write, no controlling terminal, synchronous writes.
// Non-zero on success with *fd set; 0 with g_error and errno of the open,
// *fd untouched. Without O_NOCTTY a session leader would take the device as
// its controlling terminal and die of SIGHUP when the device hangs up.
int UartOpen(const char* path, int* fd);

// Raw 8N1 without flow control at termios `speed`; VTIME = timeoutMs / 100.
// Non-zero on success, 0 with g_error.
int UartConfigure(int fd, unsigned int speed, int timeoutMs);

// Microseconds one character (start bit, 8 data bits, stop bit) takes on the
// line at termios `speed`; that of the slowest speed the gateway accepts
// (B57600) for a code it does not know.
unsigned int UartCharTimeUs(unsigned int speed);
