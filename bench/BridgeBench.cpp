// Benchmark of the MQTT path: documents per second from the pseudo-terminal
// through gateway, bridge and a private mosquitto broker to one subscriber,
// and the bridge's CPU time per document, paced at 2,880 frames/s and
// unthrottled. Prints figures only; the machine is shared.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "BenchSupport.h"
#include "Harness.h"
#include "ToolProcess.h"

using namespace e2e;
using bench::CpuSeconds;
using bench::DataFrameHex;
using bench::Now;

namespace {

// One run: `perPause` frames then a 50 ms pause (0: no pauses at all).
void Run(long frames, long perPause) {
  std::string dir = MakeTempDir();
  uint16_t brokerPort = PickFreePort(), recv = PickFreePort(), send = PickFreePort();
  std::ofstream(dir + "/broker.conf") << "listener " << brokerPort
                                      << " 127.0.0.1\nallow_anonymous true\nuser root\n"
                                         "persistence false\nmax_queued_messages 0\n";
  ToolProcess broker, bridge, sub;
  SimProcess sim;
  GatewayProcess gw;
  if (!broker.Start({"/usr/sbin/mosquitto", "-c", dir + "/broker.conf"}, dir + "/broker.out") ||
      !sim.Start({"--no-cts", "--no-answer"}) ||
      !gw.Start({"-C", GatewayConfig(sim, recv, send, {"bindAddress=127.0.0.1", "logDocuments=0"})},
                &sim, dir)) {
    printf("broker, simulator or gateway did not start\n");
    return;
  }
  std::string c = "brokerPort=" + std::to_string(brokerPort) + ",recvPort=" + std::to_string(recv) +
                  ",sendPort=" + std::to_string(send) + ",gatewayId=b";
  if (!bridge.Start({ORVEL_BRIDGE_PATH, "-C", c}, dir + "/bridge.out") ||
      !bridge.WaitForOutput("Connected to broker", In(10000)) ||
      !sub.Start({"/usr/bin/mosquitto_sub", "-p", std::to_string(brokerPort), "-q", "1", "-t",
                  "orvel/b/#", "-F", "%t"},
                 dir + "/sub.out") ||
      !sub.WaitForOutput("orvel/b/status", In(10000))) {
    printf("bridge or subscriber did not start\n");
    return;
  }
  // Warm-up until a document goes all the way through.
  WaitUntil([&] {
    sim.WriteLine("600105");
    return sub.WaitForOutput("orvel/b/rx/wesStatus", In(300));
  }, In(10000), 0);
  const std::string topic = "orvel/b/rx/receivedPayload";
  double cpu0 = CpuSeconds(bridge.Pid()), t0 = Now();
  std::string batch;
  for (long i = 0; i < frames; ++i) {
    batch += DataFrameHex(static_cast<unsigned>(i)) + "\n";
    if (perPause > 0 && (i + 1) % perPause == 0) batch += "pause 50\n";
  }
  sim.WriteLine(batch.substr(0, batch.size() - 1));
  long seen = 0;
  WaitUntil([&] { return (seen = static_cast<long>(sub.CountInOutput(topic))) >= frames; },
            In(120000), 20);
  double t1 = Now(), cpu1 = CpuSeconds(bridge.Pid());
  printf("%-12s %ld frames: %ld documents at the subscriber, %.0f documents/s, "
         "bridge %.1f us CPU per document\n",
         perPause ? "2,880/s:" : "unthrottled:", frames, seen, seen / (t1 - t0),
         seen ? (cpu1 - cpu0) * 1e6 / seen : 0.0);
  for (ChildProcess* p : {static_cast<ChildProcess*>(&sub), static_cast<ChildProcess*>(&bridge),
                          static_cast<ChildProcess*>(&gw), static_cast<ChildProcess*>(&broker)}) {
    p->Signal(SIGTERM);
    p->WaitExit(In(5000));
  }
  sim.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  long frames = argc > 1 ? std::atol(argv[1]) : 20000;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("OrvelMqttBridge benchmark, %ld frames per run, QoS 1, one subscriber\n", frames);
  Run(frames, 144);  // 144 frames per 50 ms: 2,880 frames/s
  Run(frames, 0);
  return 0;
}
