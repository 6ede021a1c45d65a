// The gateway process: start-up, the main loop, reload on SIGUSR1, orderly
// stop on SIGINT and SIGTERM, the usage text and the exit statuses. The
// signal handlers only raise a flag and post to the wake-up pipe; every
// stop and reload sequence runs here on the main thread.
//
// A reload never stops the tasks: the main thread reads the command line's
// configuration into a new object (starting from the values in force),
// hands it to each running task (OvTask, OvHandOver), which applies it
// between two passes of its loop, and only then retires the old object. The
// configuration a task holds is therefore never written while it reads it.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "config/Configuration.h"
#include "core/OvIo.h"
#include "core/OvNotify.h"
#include "core/OvPrintErr.h"
#include "core/OvTask.h"
#include "core/OvWake.h"
#include "ovapi/OvApi.h"
#include "recv/RecvEssentials.h"
#include "serializer/tSerializer.h"

tConfiguration g_config;
// The configuration in force: g_config until the first reload, then the
// newest one taken over by the tasks (owned here). `pending` is one a failed
// reload had handed over in part; it lives until the tasks have stopped.
tConfiguration* g_current = &g_config;
tConfiguration* g_pending = nullptr;
int g_argc = 0;
char** g_argv = nullptr;
// 1 while the process is to keep running. Lock-free, so the handler may
// store it.
std::atomic<int> DoLoop{0};

namespace {

void sigint_handler(int signal) {
  DoLoop.store(0);
  WakePost(static_cast<unsigned char>(signal));
}

void SignalHandler(int signal) { WakePost(static_cast<unsigned char>(signal)); }

// Callback table refilled and registered with a freshly cleared host API.
void ResetHostApi() {
  RecvEssentialsInstallCallbacks();
  OvApiInit();
  g_ovApi[0].callbacks.store(&g_ovRx);
}

int InstallReloadHandler() {
  if (signal(SIGUSR1, SignalHandler) == SIG_ERR) {
    return PrintErr("Failed to set signal handler for SIGUSR1. errno=%s", PrintErrNo(errno));
  }
  return 1;
}

int DoInit(tConfiguration* config) {
  ResetHostApi();
  if (!TaskInitAll(config)) {
    return 0;
  }
  if (!WakeInit()) {
    return 0;
  }
  return InstallReloadHandler();
}

void Retire(tConfiguration** config) {
  if (*config != &g_config) {
    delete *config;
  }
  *config = nullptr;
}

// Re-read and hand over. Non-zero on success; on failure the error has been
// printed and the tasks still run (the caller stops them).
int Reload(int signal) {
  printf("Caught signal %d: reloading config\n", signal);
  NotifyReloading();
  auto* next = new tConfiguration;
  ConfigCopy(g_current, next);
  int ok = GetConfig(g_argc, g_argv, next);
  if (!ok) {
    Retire(&next);
  } else {
    next->getSerializer()->SetStrictCommands(next->getStrictCommands() != 0);
    ok = TaskReloadAll(next) && InstallReloadHandler();
  }
  if (!ok) {
    g_pending = next;
    printf("ERROR: Failed initializing after reloading of config:\n%s\n", g_error);
    return 0;
  }
  PrintConfig(next);
  Retire(&g_current);
  g_current = next;
  NotifyReady();
  return 1;
}

void Stop() {
  NotifyStopping();
  TaskShutdownAll();
  Retire(&g_pending);
  Retire(&g_current);
}

// Runs until a stop; the exit status (0 after a stop, 1 when a reload or a
// task failed fatally).
int DoMain(tConfiguration* config) {
  // The stop handlers come first: a SIGTERM that arrives while the tasks
  // start must stop them in order, not kill the process outright.
  DoLoop.store(1);
  signal(SIGINT, sigint_handler);
  signal(SIGTERM, sigint_handler);
  PrintConfig(config);
  TaskRunAll(config);
  NotifyReady();
  int status = 0;
  while (DoLoop.load() != 0) {
    unsigned char reason = 0;
    if (!WakeWait(&reason, -1)) {
      continue;
    }
    if (reason == SIGUSR1 && DoLoop.load() != 0 && !Reload(SIGUSR1)) {
      Stop();  // STOPPING first: the service manager must not wait for READY
      return 1;
    }
    if (reason == WAKE_FATAL) {
      status = 1;
      break;
    }
  }
  Stop();
  return status;
}

int Usage(const char* prefix) {
  // Filling the defaults probes the UART, which may overwrite g_error.
  char error[OV_ERROR_SIZE];
  snprintf(error, sizeof error, "%s", g_error);
  tConfiguration defaults;
  GetConfigDefault(&defaults);
  printf("%s: %s\n", prefix, error);
  printf("OrvelGateway [-c config-file]\n");
  printf("OrvelGateway [-C key1=value1[,keyN=valueN...]]\n");
  printf("Default UART: %s\n", defaults.getUart());
  printf("Default Speed: %s\n", MapSpeed(defaults.getSpeed()));
  printf("Default Cts: %s\n", defaults.getCtsSource());
  printf("Default RecvPort: %d\n", defaults.getRecvPort());
  printf("Default SendPort: %d\n", defaults.getSendPort());
  printf("Default Serializer: %s\n", defaults.getSerializerName());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  setbuf(stdout, nullptr);
  // The log goes wherever the supervisor points it, often a pipe to a logger
  // that may go away; the next log line must not kill the gateway. Sockets
  // already send with MSG_NOSIGNAL, and a closed log only loses its lines.
  signal(SIGPIPE, SIG_IGN);
  g_argc = argc;
  g_argv = argv;
  printf("OrvelGateway %s %s\n", __DATE__, __TIME__);
  // Every client costs a descriptor: take all the system grants, so that the
  // soft default of 1024 is not what many clients run into first.
  if (!IoRaiseFdLimit()) {
    printf("%s\n", g_error);
  }
  if (!GetConfig(g_argc, g_argv, &g_config)) {
    return Usage("ERROR");
  }
  if (!DoInit(&g_config)) {
    return Usage("ERROR");
  }
  return DoMain(&g_config);
}
