// Transmit hooks of the host API, run on the CTS thread.
#include "send/SendHooks.h"

#include <cerrno>

#include "core/OvEvent.h"
#include "core/OvFdLease.h"
#include "core/OvIo.h"
#include "send/SendTask.h"

int OvApiSupportTxData(uint8_t index, const uint8_t* frame, uint8_t length) {
  // Read while the host API keeps the slot for this call: the command's
  // number, which the failure report carries.
  uint32_t id = g_ovApi[index].userData.load(std::memory_order_relaxed);
  int fd = FdLeaseBorrow(&g_send.uart);
  bool written = fd >= 0 && IoWriteAllWithin(fd, frame, length, SEND_TX_BOUND_MS);
  int err = fd < 0 ? ENODEV : errno;
  FdLeaseReturn(&g_send.uart);
  if (written) {
    return Ok;
  }
  g_send.failedErrno.store(err, std::memory_order_relaxed);
  g_send.failedId.store(id, std::memory_order_release);
  EventPost(g_send.wakeFd.load());
  return NotSent;
}

void OvApiSupportMessageWritten(uint8_t, uint32_t userData, const uint8_t*, uint8_t) {
  g_send.writtenId.store(userData, std::memory_order_release);
  EventPost(g_send.wakeFd.load());
}
