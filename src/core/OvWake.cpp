// Self-pipe for waking the main thread from signal handlers and tasks.
#include "OvWake.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "OvIo.h"
#include "OvPrintErr.h"

namespace {
// Read end and write end; -1 until WakeInit. Atomic because the handlers may
// run on any thread.
std::atomic<int> s_readFd{-1};
std::atomic<int> s_writeFd{-1};
}  // namespace

int WakeInit() {
  if (s_readFd.load() >= 0) {
    return 1;
  }
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    return PrintErr("Failed to create wake-up pipe. errno=%s", PrintErrNo(errno));
  }
  s_writeFd.store(fds[1]);
  s_readFd.store(fds[0]);
  return 1;
}

void WakePost(unsigned char reason) {
  int saved = errno;  // a handler must leave errno as it found it
  int fd = s_writeFd.load();
  if (fd >= 0) {
    ssize_t ignored = write(fd, &reason, 1);
    (void)ignored;
  }
  errno = saved;
}

int WakeWait(unsigned char* reason, int timeoutMs) {
  int fd = s_readFd.load();
  if (fd < 0) {
    return 0;
  }
  short revents = 0;
  if (IoPollOne(fd, POLLIN, timeoutMs, &revents) <= 0) {
    return 0;
  }
  return IoRead(fd, reason, 1) == 1;
}
