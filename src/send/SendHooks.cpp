// Transmit hooks of the host API, run on the CTS thread.
#include "send/SendHooks.h"

#include "core/OvEvent.h"
#include "core/OvIo.h"
#include "send/SendTask.h"

int OvApiSupportTxData(uint8_t, const uint8_t* frame, uint8_t length) {
  int fd = g_send.uartFd.load();
  if (fd >= 0) {
    ssize_t ignored = IoWrite(fd, frame, length);
    (void)ignored;
  }
  return 0;
}

void OvApiSupportMessageWritten(uint8_t, uint32_t, const uint8_t*, uint8_t) {
  g_send.messageWritten.store(1, std::memory_order_release);
  EventPost(g_send.wakeFd.load());
}
