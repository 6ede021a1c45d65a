// The last-error buffer and the functions that fill it. A function that can
// fail returns non-zero on success and, on failure, `return PrintErr(...)`:
// the message lands in g_error and the result is 0.
#pragma once

constexpr int OV_ERROR_SIZE = 1024;

// One buffer per thread, so that threads failing at once never mix their
// messages; a message reads right after the failing call on the same thread.
// Reached through a function: a thread-local array shared across translation
// units is not reliably addressable under the sanitizer builds.
char* OvErrorBuffer();
#define g_error (OvErrorBuffer())

// Formats into g_error (cut at 1023 characters); always returns 0.
int PrintErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%d (%s)" with errnum and its system text, for the "errno=%s" placeholders.
// The text lives in a per-thread ring of buffers reclaimed by later calls, so
// callers never release it; it stays valid for the next few calls.
const char* PrintErrNo(int errnum);
