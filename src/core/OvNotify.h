// Readiness reports to the service manager: systemd's notify protocol
// through libsystemd's sd_notify. Outside systemd (no NOTIFY_SOCKET) every
// call does nothing, so the gateway runs the same from a shell.
#pragma once

// The tasks run: the service is up.
void NotifyReady();
// A reload begins; NotifyReady follows once the tasks run again.
void NotifyReloading();
// An orderly stop begins.
void NotifyStopping();
