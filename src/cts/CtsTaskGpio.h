// The CTS monitor's GPIO mode: prepares the configured pin as a
// falling-edge input and reports every edge.
#pragma once

// Prepares the pin; on failure prints "CtsMainGpio: %s\n" and asks the main
// thread to end the process with status 1 (not when a stop came first). Then
// waits for edges until a stop. When the pin goes away under the thread (a
// wait or a read fails, as after someone else unexported it), prints
// "CtsMainGpio: GPIO pin N lost: ...; preparing it again every second",
// prepares it again every second and, once that succeeds, prints
// "CtsMainGpio: GPIO pin N prepared again" and waits again.
void CtsMainGpio();
