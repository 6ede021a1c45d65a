// The thread-directed wake-up signal and its do-nothing handler.
#include "OvInterrupt.h"

#include <cerrno>
#include <cstring>

#include "OvPrintErr.h"

namespace {

// Only the interruption of the call matters.
void IgnoreInterrupt(int) {}

void MaskInterrupt(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, OV_INTERRUPT_SIGNAL);
  pthread_sigmask(how, &set, nullptr);
}

}  // namespace

int InterruptInstall() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = IgnoreInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the interrupted call must return
  if (sigaction(OV_INTERRUPT_SIGNAL, &action, nullptr) != 0) {
    return PrintErr("Failed to set signal handler for SIGUSR2. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

int InterruptThread(pthread_t thread) { return pthread_kill(thread, OV_INTERRUPT_SIGNAL) == 0; }

void InterruptHold() { MaskInterrupt(SIG_BLOCK); }

void InterruptRelease() { MaskInterrupt(SIG_UNBLOCK); }
