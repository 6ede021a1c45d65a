// CTS monitor, ioctl mode.
#include "cts/CtsTaskIoctl.h"

#include <fcntl.h>

#include <cerrno>

#include "core/OvModem.h"
#include "core/OvPrintErr.h"
#include "cts/CtsTask.h"

int CtsUartOpen(const char* path, int* fd) {
  int opened = open(path, O_RDWR);
  if (opened < 0) {
    return PrintErr("CtsTask failed to open UART. errno=%s", PrintErrNo(errno));
  }
  *fd = opened;
  return 1;
}

void CtsMainIoctl() {
  int fd = g_cts.uartFd.load();
  while (ModemWaitCtsChange(fd)) {
    if (ModemCtsAsserted(fd)) {
      CtsTaskReportEvent();
    }
  }
}

int CtsGetHolding(int fd) { return ModemCtsAsserted(fd); }
