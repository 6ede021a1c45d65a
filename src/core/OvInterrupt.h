// Waking one thread out of a blocking call that cancellation does not end,
// such as a serial driver's TIOCMIWAIT: a signal aimed at that thread, whose
// handler does nothing and is installed without SA_RESTART, makes the call
// return EINTR, and the thread then looks at its stop flag. The handler sets
// nothing and posts nothing, so it keeps the rule that handlers only raise
// flags or post to the self-pipe.
#pragma once
#include <pthread.h>
#include <signal.h>

// The signal used; a SIGUSR2 sent to the process from outside is ignored.
constexpr int OV_INTERRUPT_SIGNAL = SIGUSR2;

// Installs the handler (idempotent). Non-zero on success, 0 with g_error.
int InterruptInstall();
// Sends the signal to `thread`, which must not have been joined yet; a
// thread that has already ended is no error. Non-zero when it was sent.
int InterruptThread(pthread_t thread);
// Keeps the signal off the calling thread, and lets it through again (a
// signal that came meanwhile is delivered then): around a step that must not
// be cut short, such as writing a frame to the UART.
void InterruptHold();
void InterruptRelease();
