// A serial device that may go away and come back, such as a USB serial
// adapter unplugged and plugged in again. Every task that holds its own
// descriptor on the module's UART keeps one tUartLink:
//
//   UartLinkInit(&link, path, speed, timeoutMs, UART_LINK_RECV);  // at start
//   ... a read, write or wait on fd fails:
//   if (UartLinkIsGone(errno)) { FdClose(&fd); UartLinkLost(&link, errno); }
//   ... then on every pass of the task's loop while UartLinkIsLost(&link):
//   if (UartLinkReopen(&link, &fd)) { resume with fd }
//   ... and wait at most UartLinkRetryInMs(&link) for anything else.
//
// UartLinkReopen opens the configured path at most once a second, with the
// same steps as at start (UartOpen, then UartConfigure unless speed is 0), so
// a loop that waits with that time-out never spins. Standard output gets one
// line when the first task loses the device and one when the last task that
// lost it has it open again (not one per task):
//   "Serial device PATH lost: errno=N (text); opening it again every second"
//   "Serial device PATH is back"
// A link belongs to one thread; only the line bookkeeping is shared (atomic).
#pragma once
#include <cstdint>

// Owner bits, one per task, for the shared bookkeeping of the two lines.
constexpr unsigned int UART_LINK_RECV = 1U;
constexpr unsigned int UART_LINK_SEND = 2U;
constexpr unsigned int UART_LINK_CTS = 4U;

struct tUartLink {
  const char* path = nullptr;  // the configured device; not owned
  unsigned int speed = 0;      // termios speed for UartConfigure; 0: open only
  int timeoutMs = 0;           // VTIME of UartConfigure, as UartConfigure takes it
  unsigned int owner = 0;      // one UART_LINK_* bit
  int64_t nextTryMs = 0;       // monotonic time of the next attempt (IoMonotonicMs)
  int lost = 0;                // 1 from UartLinkLost until a reopen succeeds
};

// Opens path (read-write, no controlling terminal) and, unless speed is 0,
// configures it. Non-zero with *fd set; 0 with g_error and nothing left open.
int UartLinkOpenDevice(const char* path, unsigned int speed, int timeoutMs, int* fd);
// Starts a link for a task whose descriptor is open. A loss this owner had
// reported before (its thread stopped while the device was gone) ends here,
// with the "back" line when it was the last one.
void UartLinkInit(tUartLink* link, const char* path, unsigned int speed, int timeoutMs,
                  unsigned int owner);
// True (non-zero) when errno `err` of a failed read, write or modem-line wait
// means the device went away: EIO, ENXIO, ENODEV, EPIPE, ESHUTDOWN. Other
// failures (ENOTTY: no modem lines; EINTR; EAGAIN) are not a lost device.
int UartLinkIsGone(int err);
// Records the loss (the caller has closed its descriptor); the first attempt
// to reopen comes a second later. Prints the "lost" line when no other task
// had lost the device. Repeated calls while lost do nothing.
void UartLinkLost(tUartLink* link, int err);
// While lost: when the second since the last attempt has passed, opens the
// device again. Non-zero with *fd set when it is open again (the link is no
// longer lost); 0 otherwise (not yet due, or the attempt failed; g_error
// then holds the reason). Non-zero at once when the link is not lost.
int UartLinkReopen(tUartLink* link, int* fd);
// Milliseconds until the next attempt (0 when due or not lost), at most 1000:
// the time-out of the task's wait while the device is gone.
int UartLinkRetryInMs(const tUartLink* link);
// Non-zero between UartLinkLost and the successful reopen.
int UartLinkIsLost(const tUartLink* link);
