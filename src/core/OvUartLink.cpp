// Reopening a serial device that went away, once a second, with one line on
// standard output for the loss and one for the return.
#include "OvUartLink.h"

#include <cerrno>
#include <cstdio>

#include <atomic>

#include "OvClosers.h"
#include "OvIo.h"
#include "OvPrintErr.h"
#include "OvUart.h"

namespace {

constexpr int64_t kRetryMs = 1000;

// Owner bits of the tasks that have lost the device and not yet reopened it.
std::atomic<unsigned int> s_lostBy{0};

// Clears the owner's bit; the last one out prints the "back" line.
void MarkBack(const tUartLink* link) {
  unsigned int before = s_lostBy.fetch_and(~link->owner);
  if (before == link->owner) {
    printf("Serial device %s is back\n", link->path);
  }
}

}  // namespace

int UartLinkOpenDevice(const char* path, unsigned int speed, int timeoutMs, int* fd) {
  int opened = -1;
  if (!UartOpen(path, &opened)) {
    return 0;
  }
  if (speed != 0 && !UartConfigure(opened, speed, timeoutMs)) {
    FdClose(&opened);
    return 0;
  }
  *fd = opened;
  return 1;
}

void UartLinkInit(tUartLink* link, const char* path, unsigned int speed, int timeoutMs,
                  unsigned int owner) {
  *link = tUartLink{};
  link->path = path;
  link->speed = speed;
  link->timeoutMs = timeoutMs;
  link->owner = owner;
  if ((s_lostBy.load() & owner) != 0) {
    MarkBack(link);
  }
}

int UartLinkIsGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == ESHUTDOWN;
}

void UartLinkLost(tUartLink* link, int err) {
  if (link->lost) {
    return;
  }
  link->lost = 1;
  link->nextTryMs = IoMonotonicMs() + kRetryMs;
  if (s_lostBy.fetch_or(link->owner) == 0) {
    printf("Serial device %s lost: errno=%s; opening it again every second\n", link->path,
           PrintErrNo(err));
  }
}

int UartLinkReopen(tUartLink* link, int* fd) {
  if (!link->lost) {
    return 1;
  }
  int64_t now = IoMonotonicMs();
  if (now < link->nextTryMs) {
    return 0;
  }
  link->nextTryMs = now + kRetryMs;
  if (!UartLinkOpenDevice(link->path, link->speed, link->timeoutMs, fd)) {
    return 0;
  }
  link->lost = 0;
  MarkBack(link);
  return 1;
}

int UartLinkRetryInMs(const tUartLink* link) {
  if (!link->lost) {
    return 0;
  }
  int64_t left = link->nextTryMs - IoMonotonicMs();
  return left <= 0 ? 0 : static_cast<int>(left < kRetryMs ? left : kRetryMs);
}

int UartLinkIsLost(const tUartLink* link) { return link->lost; }
