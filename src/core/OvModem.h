// The serial driver's modem-line ioctls, for watching the module's CTS line
// on the UART itself.
#pragma once

// Blocks until the CTS line of fd changes (TIOCMIWAIT). On real hardware this
// is no cancellation point, and closing fd from another thread does not end
// it; a signal handled on the calling thread (installed without SA_RESTART)
// does, with EINTR. Non-zero when a change was seen, 0 on failure with errno
// (EINTR, EIO after a hang-up, ENOTTY or EINVAL without modem lines).
int ModemWaitCtsChange(int fd);
// 1 when the CTS line of fd is asserted, 0 when clear or unreadable.
int ModemCtsAsserted(int fd);
