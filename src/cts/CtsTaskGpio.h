// The CTS monitor's GPIO mode: prepares the configured pin as a
// falling-edge input and reports every edge.
#pragma once

// Prepares the pin; on failure prints "CtsMainGpio: %s\n" and asks the main
// thread to end the process with status 1. Then waits for edges until the
// wait fails ("ERROR CTS!! " and the thread ends).
void CtsMainGpio();
