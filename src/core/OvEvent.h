// A wake-up counter between threads over an eventfd: one thread posts, the
// other polls the descriptor together with its sockets, so a hand-over ends
// a wait at once instead of being found by periodic looks.
#pragma once

// Creates a non-blocking, close-on-exec eventfd into *fd. Non-zero on
// success, 0 with g_error.
int EventOpen(int* fd);
// Adds one to the counter (ignored when fd is negative). Async-signal-safe,
// leaves errno as it was.
void EventPost(int fd);
// Resets the counter to 0 so the descriptor is no longer readable.
void EventDrain(int fd);
