// Descriptor, clock and pacing wrappers used by the task threads.
#include "OvIo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "OvPrintErr.h"

int IoPollOne(int fd, short events, int timeoutMs, short* revents) {
  pollfd p{fd, events, 0};
  int rc = poll(&p, 1, timeoutMs);
  *revents = rc > 0 ? p.revents : 0;
  return rc;
}

int IoPoll(pollfd* fds, size_t count, int timeoutMs) {
  return poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

ssize_t IoRead(int fd, void* buf, size_t length) { return read(fd, buf, length); }

ssize_t IoWrite(int fd, const void* buf, size_t length) { return write(fd, buf, length); }

bool IoWriteAll(int fd, const void* buf, size_t length) {
  const char* bytes = static_cast<const char*>(buf);
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool IoWriteAllWithin(int fd, const void* buf, size_t length, int timeoutMs) {
  const char* bytes = static_cast<const char*>(buf);
  int64_t end = IoMonotonicMs() + timeoutMs;
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n > 0) {
      bytes += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      if (n == 0) errno = EIO;
      return false;
    }
    int64_t left = end - IoMonotonicMs();
    short revents = 0;
    if (left <= 0 || IoPollOne(fd, POLLOUT, static_cast<int>(left), &revents) == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    // A hang-up or error shows in the next write's errno.
  }
  return true;
}

int IoSetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int IoRewind(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

long IoMonotonicRawSeconds() { return static_cast<long>(IoMonotonicRawMs() / 1000); }

int64_t IoMonotonicRawMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t IoMonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t IoMonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int IoRaiseFdLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return PrintErr("Failed to read the descriptor limit. errno=%s", PrintErrNo(errno));
  }
  if (limit.rlim_cur == limit.rlim_max) {
    return 1;
  }
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return PrintErr("Failed to raise the descriptor limit. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

void IoSleepMs(unsigned int ms) { usleep(ms * 1000U); }

void IoSleepUs(unsigned int us) { usleep(us); }
