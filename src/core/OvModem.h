// The serial driver's modem-line ioctls, for watching the module's CTS line
// on the UART itself.
#pragma once

// Blocks until the CTS line of fd changes (TIOCMIWAIT). A cancellation
// point for the thread that calls it. Non-zero when a change was seen, 0 on
// failure (for example a closed descriptor).
int ModemWaitCtsChange(int fd);
// 1 when the CTS line of fd is asserted, 0 when clear or unreadable.
int ModemCtsAsserted(int fd);
