// sysfs GPIO access for the CTS monitor.
#include "cts/Gpio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/OvClosers.h"
#include "core/OvPrintErr.h"

namespace {

const char* s_root = "/sys/class/gpio";

void PinPath(char* path, size_t size, int pin, const char* file) {
  snprintf(path, size, "%s/gpio%d/%s", s_root, pin, file);
}

// Opens path write-only and writes text in one call. Returns null, or
// g_error with the open failure or, when `writeFailure` is given, the write
// failure built by it.
template <typename OnWriteFailure>
const char* WriteFile(const char* path, const char* text, OnWriteFailure writeFailure) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) {
    PrintErr("Failed to open: %s. errno=%s", path, PrintErrNo(errno));
    return g_error;
  }
  size_t length = strlen(text);
  ssize_t written = write(fd, text, length);
  int saved = errno;
  FdClose(&fd);
  if (written < 0 || static_cast<size_t>(written) != length) {
    return writeFailure(written < 0 ? saved : EIO);
  }
  return nullptr;
}

}  // namespace

void GpioSetRoot(const char* root) { s_root = root; }

const char* GpioUnExport(int pin) {
  char path[256];
  char text[16];
  snprintf(path, sizeof path, "%s/unexport", s_root);
  snprintf(text, sizeof text, "%d", pin);
  return WriteFile(path, text, [](int) -> const char* { return nullptr; });
}

const char* GpioExport(int pin) {
  char path[256];
  char text[16];
  snprintf(path, sizeof path, "%s/export", s_root);
  snprintf(text, sizeof text, "%d", pin);
  return WriteFile(path, text, [pin](int err) -> const char* {
    PrintErr("Failed to export GPIO pin %d. errno=%s", pin, PrintErrNo(err));
    return g_error;
  });
}

const char* GpioDirection(int pin, const char* direction) {
  char path[256];
  PinPath(path, sizeof path, pin, "direction");
  return WriteFile(path, direction, [pin](int err) -> const char* {
    PrintErr("Failed to set direction on GPIO pin %d. errno=%s", pin, PrintErrNo(err));
    return g_error;
  });
}

const char* GpioTriggerMode(int pin, const char* mode) {
  char path[256];
  PinPath(path, sizeof path, pin, "edge");
  return WriteFile(path, mode, [pin, mode](int err) -> const char* {
    PrintErr("Failed to set trigger mode on GPIO pin %d to '%s'. errno=%s", pin, mode,
             PrintErrNo(err));
    return g_error;
  });
}

const char* GpioOpenValue(int pin, int* fd) {
  char path[256];
  PinPath(path, sizeof path, pin, "value");
  *fd = open(path, O_RDONLY);
  if (*fd < 0) {
    PrintErr("Failed to open: %s. errno=%s", path, PrintErrNo(errno));
    return g_error;
  }
  return nullptr;
}
