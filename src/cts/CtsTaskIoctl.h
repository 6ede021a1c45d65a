// The CTS monitor's ioctl mode: waits for changes of the UART's CTS modem
// line and reports every change to asserted.
#pragma once

// Opens the UART as the other tasks do (read-write, no controlling terminal,
// see UartOpen) for the modem-line waits. Non-zero with *fd set; 0 with
// "CtsTask failed to open UART. errno=%s".
int CtsUartOpen(const char* path, int* fd);
// Waits and reports until a stop. When the device goes away (the wait fails
// with EIO or the like), closes the descriptor and opens the configured path
// again every second (OvUartLink), then waits again. A wait that fails for
// another reason (ENOTTY, EINVAL: no modem lines) ends the loop silently.
void CtsMainIoctl();
// 1 when the CTS line of fd is asserted, else 0.
int CtsGetHolding(int fd);
