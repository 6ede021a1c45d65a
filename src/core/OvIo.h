// Thin wrappers over the descriptor, clock and pacing calls that the task
// threads make, so that the tasks read as protocol logic and the OS calls
// stay in one place.
#pragma once
#include <cstddef>
#include <poll.h>
#include <sys/types.h>

// Waits up to timeoutMs (-1: forever) for `events` on fd. Returns poll's
// result (1 ready, 0 time-out, -1 error) and stores the returned events in
// *revents (0 unless ready).
int IoPollOne(int fd, short events, int timeoutMs, short* revents);
// poll(2) over a table; entries with a negative fd are skipped. poll's
// result, -1 with errno on failure.
int IoPoll(pollfd* fds, unsigned count, int timeoutMs);
// read(2) and write(2) as they are; -1 with errno on failure.
ssize_t IoRead(int fd, void* buf, size_t length);
ssize_t IoWrite(int fd, const void* buf, size_t length);
// Moves fd's file offset back to 0; non-zero on success.
int IoRewind(int fd);
// The whole seconds of CLOCK_MONOTONIC_RAW.
long IoMonotonicRawSeconds();
// CLOCK_MONOTONIC_RAW in milliseconds.
long long IoMonotonicRawMs();
// Raises the soft descriptor limit to the hard one; non-zero on success, 0
// with g_error.
int IoRaiseFdLimit();
void IoSleepMs(unsigned int ms);
void IoSleepUs(unsigned int us);
