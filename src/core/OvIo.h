// Thin wrappers over the descriptor, clock and pacing calls that the task
// threads make, so that the tasks read as protocol logic and the OS calls
// stay in one place.
#pragma once
#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Waits up to timeoutMs (-1: forever) for `events` on fd. Returns poll's
// result (1 ready, 0 time-out, -1 error) and stores the returned events in
// *revents (0 unless ready).
int IoPollOne(int fd, short events, int timeoutMs, short* revents);
// poll(2) over a caller-owned array; the result as poll's (-1 with errno,
// EINTR included).
int IoPoll(pollfd* fds, size_t count, int timeoutMs);
// read(2) and write(2) as they are; -1 with errno on failure.
ssize_t IoRead(int fd, void* buf, size_t length);
ssize_t IoWrite(int fd, const void* buf, size_t length);
// Moves fd's file offset back to 0; non-zero on success.
int IoRewind(int fd);
// Writes all of buf, continuing after partial writes and EINTR; true when
// every byte went out.
bool IoWriteAll(int fd, const void* buf, size_t length);
// As IoWriteAll for a non-blocking descriptor, but never past timeoutMs:
// while the device takes nothing, waits for room with poll. True when every
// byte went out; false with errno (ETIMEDOUT when the time ran out first).
bool IoWriteAllWithin(int fd, const void* buf, size_t length, int timeoutMs);
// Sets O_NONBLOCK on fd's open file description; non-zero on success.
int IoSetNonBlocking(int fd);
// The whole seconds of CLOCK_MONOTONIC_RAW, and its milliseconds (for
// waiting on a deadline kept in its seconds: CLOCK_MONOTONIC drifts from it
// under NTP's corrections, by seconds over days).
long IoMonotonicRawSeconds();
int64_t IoMonotonicRawMs();
// Milliseconds of CLOCK_MONOTONIC, for pacing retries; 64 bits, so that a
// board up for years never wraps.
int64_t IoMonotonicMs();
// Microseconds of CLOCK_MONOTONIC, for waits of a few character times.
int64_t IoMonotonicUs();
// Raises the soft descriptor limit to the hard one; non-zero on success, 0
// with g_error.
int IoRaiseFdLimit();
// Sleeps; a signal handled on the calling thread ends the sleep early.
void IoSleepMs(unsigned int ms);
void IoSleepUs(unsigned int us);
