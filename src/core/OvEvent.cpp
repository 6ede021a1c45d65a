// Eventfd wake-ups between threads.
#include "OvEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "OvPrintErr.h"

int EventOpen(int* fd) {
  *fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (*fd < 0) {
    return PrintErr("Failed to create event descriptor. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

void EventPost(int fd) {
  if (fd < 0) {
    return;
  }
  int saved = errno;
  uint64_t one = 1;
  ssize_t ignored = write(fd, &one, sizeof one);
  (void)ignored;
  errno = saved;
}

void EventDrain(int fd) {
  uint64_t count = 0;
  ssize_t ignored = read(fd, &count, sizeof count);
  (void)ignored;
}
