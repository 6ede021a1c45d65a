// The CTS monitor's ioctl mode: waits for changes of the UART's CTS modem
// line and reports every change to asserted.
#pragma once

// Opens the UART read-write for the modem-line waits. Non-zero with *fd
// set; 0 with "CtsTask failed to open UART. errno=%s".
int CtsUartOpen(const char* path, int* fd);
// Loop until the wait fails (closed descriptor, no modem lines); the thread
// may be cancelled inside the wait.
void CtsMainIoctl();
// 1 when the CTS line of fd is asserted, else 0.
int CtsGetHolding(int fd);
