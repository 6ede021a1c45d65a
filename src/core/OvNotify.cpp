// sd_notify behind the gateway's own names; the reports are best effort, a
// service manager that cannot be reached changes nothing in the gateway.
#include "OvNotify.h"

#include <systemd/sd-daemon.h>

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyReloading() { sd_notify(0, "RELOADING=1"); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }
