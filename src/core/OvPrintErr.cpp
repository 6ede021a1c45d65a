// The last-error buffer. Per thread, so that two tasks failing at the same
// moment each keep their own message for the line they print next.
#include "OvPrintErr.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char* OvErrorBuffer() {
  thread_local char buffer[OV_ERROR_SIZE];
  return buffer;
}

int PrintErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g_error, OV_ERROR_SIZE, format, args);
  va_end(args);
  return 0;
}

const char* PrintErrNo(int errnum) {
  // A message may carry a few errno texts; a small ring keeps each one valid
  // until PrintErr has copied it, without an allocation per call.
  constexpr int kRing = 4;
  thread_local char ring[kRing][OV_ERROR_SIZE];
  thread_local int next = 0;
  char* out = ring[next];
  next = (next + 1) % kRing;
  char text[256];
  // The GNU strerror_r may return a static text instead of filling ours.
  const char* description = strerror_r(errnum, text, sizeof text);
  snprintf(out, OV_ERROR_SIZE, "%d (%s)", errnum, description);
  return out;
}
