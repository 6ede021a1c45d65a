// CTS monitor, ioctl mode.
#include "cts/CtsTaskIoctl.h"

#include <cerrno>

#include "core/OvModem.h"
#include "core/OvPrintErr.h"
#include "core/OvUart.h"
#include "core/OvUartLink.h"
#include "cts/CtsTask.h"

namespace {

// Waits for the device to come back; its descriptor, or -1 after a stop.
int Reopen(tUartLink* link) {
  int fd = -1;
  while (!UartLinkReopen(link, &fd)) {
    if (!CtsTaskPause(UartLinkRetryInMs(link))) {
      return -1;
    }
  }
  g_cts.uartFd.store(fd);
  return fd;
}

}  // namespace

int CtsUartOpen(const char* path, int* fd) {
  if (!UartOpen(path, fd)) {
    return PrintErr("CtsTask failed to open UART. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

void CtsMainIoctl() {
  tUartLink link;
  // Only the modem lines are used here: the device is opened, not configured.
  UartLinkInit(&link, g_cts.uart.c_str(), 0, 0, UART_LINK_CTS);
  int fd = g_cts.uartFd.load();
  while (fd >= 0 && !CtsTaskStopping()) {
    if (ModemWaitCtsChange(fd)) {
      if (ModemCtsAsserted(fd)) {
        CtsTaskReportEvent();
      }
      continue;
    }
    int err = errno;
    if (err == EINTR) {
      continue;  // an interruption: the loop looks at the stop flag
    }
    if (!UartLinkIsGone(err)) {
      return;  // no modem lines to wait on
    }
    CtsTaskCloseDescriptors();
    UartLinkLost(&link, err);
    fd = Reopen(&link);
  }
}

int CtsGetHolding(int fd) { return ModemCtsAsserted(fd); }
