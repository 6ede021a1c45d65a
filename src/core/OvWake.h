// The main thread's wake-up channel: a self-pipe that signal handlers and
// task threads write one byte into, and that the main thread waits on. It
// lets the handlers do nothing but post, while stop, reload and fatal exit
// run on the main thread in their proper order.
#pragma once

// A posted byte that is not a signal number: a task asks the process to end
// with exit status 1.
constexpr unsigned char WAKE_FATAL = 0xFF;

// Creates the pipe (both ends non-blocking, close-on-exec) once; later calls
// succeed at once. Non-zero on success, 0 with g_error.
int WakeInit();
// Posts one byte. Async-signal-safe; a full pipe drops the byte (the main
// thread is then awake anyway).
void WakePost(unsigned char reason);
// Waits up to timeoutMs (-1: forever) for a posted byte. Returns 1 with the
// byte in *reason, 0 when nothing came (time-out or interruption).
int WakeWait(unsigned char* reason, int timeoutMs);
