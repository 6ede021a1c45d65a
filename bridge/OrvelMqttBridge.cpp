// OrvelMqttBridge: carries the gateway's documents to an MQTT broker and the
// broker's commands to the gateway. Start-up, reload on SIGUSR1 and the
// orderly stop on SIGINT/SIGTERM live here; the signal handlers only post
// to the wake-up pipe, and every sequence runs on the one thread.
#include <mosquitto.h>

#include <csignal>
#include <cstdio>

#include "BridgeConfig.h"
#include "BridgeSession.h"
#include "core/OvPrintErr.h"
#include "core/OvWake.h"

#if defined(__SANITIZE_THREAD__)
// libmosquitto takes its internal mutexes in differing orders (publish
// against its own write path). The bridge drives the client from one thread
// only, so the cycle can never deadlock; ThreadSanitizer still reports it as
// a potential one. The suppression is scoped to that library alone.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libmosquitto.so.1\n"; }
#endif

namespace {

// A pass waits at most this long, so a posted signal is seen promptly.
constexpr int kStepMs = 100;

void OnSignal(int signal) { WakePost(static_cast<unsigned char>(signal)); }

int Usage() {
  printf("ERROR: %s\n", g_error);
  printf("OrvelMqttBridge [-c config-file]\n");
  printf("OrvelMqttBridge [-C key1=value1[,keyN=valueN...]]\n");
  return 1;
}

// Runs one session until a signal; the signal that ended it.
int RunSession(const tBridgeConfig& config) {
  tBridgeSession session;
  if (!BridgeSessionStart(&session, &config)) {
    BridgeSessionStop(&session);
    return -1;
  }
  unsigned char reason = 0;
  while (!WakeWait(&reason, 0)) BridgeSessionStep(&session, kStepMs);
  BridgeSessionStop(&session);
  return reason;
}

}  // namespace

int main(int argc, char** argv) {
  setbuf(stdout, nullptr);
  printf("OrvelMqttBridge %s %s\n", __DATE__, __TIME__);
  if (!WakeInit()) return Usage();
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGUSR1, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  mosquitto_lib_init();
  int status = 0;
  for (;;) {
    tBridgeConfig config;
    if (!BridgeConfigLoad(argc, argv, &config)) {
      status = Usage();
      break;
    }
    BridgeConfigPrint(config);
    int reason = RunSession(config);
    if (reason < 0) {
      status = Usage();
      break;
    }
    if (reason != SIGUSR1) break;
    printf("Caught signal %d: reloading config\n", reason);
  }
  mosquitto_lib_cleanup();
  return status;
}
