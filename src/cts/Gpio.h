// Access to the Linux sysfs GPIO interface under /sys/class/gpio, for the
// CTS monitor's GPIO mode. Each function opens one file, writes or opens it,
// and closes what it opened. Result convention of this module: null on
// success, g_error holding the message on failure.
#pragma once

// The sysfs root; tests point it elsewhere. Default "/sys/class/gpio".
void GpioSetRoot(const char* root);

const char* GpioUnExport(int pin);  // the write's result is ignored
const char* GpioExport(int pin);
const char* GpioDirection(int pin, const char* direction);
const char* GpioTriggerMode(int pin, const char* mode);
// Opens the pin's value file read-only; *fd receives open's result (negative
// on failure). The caller owns the descriptor.
const char* GpioOpenValue(int pin, int* fd);
