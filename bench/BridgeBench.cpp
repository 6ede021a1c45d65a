// Benchmark of the MQTT path: documents per second from the pseudo-terminal
// through gateway, bridge and a private mosquitto broker to one subscriber,
// the bridge's CPU time per document, and the latency from the gateway's
// reading of a frame (its gwTimestamp) to the subscriber, paced at 2,880
// frames/s and unthrottled, each run with commands waiting for a
// clear-to-send that never comes. Prints figures only; the machine is shared.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Harness.h"
#include "ToolProcess.h"

using namespace e2e;
using bench::CpuSeconds;
using bench::DataFrameHex;
using bench::Now;

namespace {

// Commands published before each run; with no clear-to-send they all wait
// in the bridge for the whole run.
constexpr int kWaitingCommands = 8;

// Seconds since the epoch of a gwTimestamp ("2026-12-09T15:04:05.123Z");
// -1 when the text holds none.
double StampSeconds(const std::string& line) {
  static const std::string key = "\"gwTimestamp\":\"";
  size_t at = line.find(key);
  tm t{};
  int ms = 0;
  if (at == std::string::npos ||
      sscanf(line.c_str() + at + key.size(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon,
             &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<double>(timegm(&t)) + ms / 1000.0;
}

// Milliseconds from the gateway's timestamp to the subscriber's arrival time
// ("%U|topic|payload" lines), for the measured documents on `topic`.
std::vector<double> LatenciesMs(const std::string& output, const std::string& topic) {
  std::vector<double> out;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    size_t bar = line.find('|');
    if (bar == std::string::npos || line.compare(bar + 1, topic.size(), topic) != 0) continue;
    double stamp = StampSeconds(line);
    if (stamp > 0) out.push_back((std::atof(line.c_str()) - stamp) * 1000.0);
  }
  std::sort(out.begin(), out.end());
  return out;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[i];
}

bool PublishWaitingCommands(uint16_t brokerPort, const std::string& dir) {
  for (int i = 0; i < kWaitingCommands; ++i) {
    ToolProcess pub;
    int status = -1;
    if (!pub.Start({"/usr/bin/mosquitto_pub", "-p", std::to_string(brokerPort), "-q", "1", "-t",
                    "orvel/b/tx", "-m", "{\"objectType\":\"altCmd\",\"cmd\":" + std::to_string(i) + "}"},
                   dir + "/pub.out") ||
        !pub.WaitExit(In(10000), &status) || status != 0)
      return false;
  }
  return true;
}

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
      !gw.Start({"-C", GatewayConfig(sim, recv, send,
                                     {"bindAddress=127.0.0.1", "logDocuments=0", "ctsTimeoutSecs=600"})},
                &sim, dir)) {
    printf("broker, simulator or gateway did not start\n");
    return;
  }
  std::string c = "brokerPort=" + std::to_string(brokerPort) + ",recvPort=" + std::to_string(recv) +
                  ",sendPort=" + std::to_string(send) + ",gatewayId=b,statsSecs=1";
  if (!bridge.Start({ORVEL_BRIDGE_PATH, "-C", c}, dir + "/bridge.out") ||
      !bridge.WaitForOutput("Connected to broker", In(10000)) ||
      !sub.Start({"/usr/bin/mosquitto_sub", "-p", std::to_string(brokerPort), "-q", "1", "-t",
                  "orvel/b/#", "-F", "%U|%t|%p"},
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
  if (!PublishWaitingCommands(brokerPort, dir) ||
      !sub.WaitForOutput("\"commandsWaiting\":" + std::to_string(kWaitingCommands) + ",", In(10000))) {
    printf("the commands did not get to wait\n");
    return;
  }
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
            In(120000), 100);
  double t1 = Now(), cpu1 = CpuSeconds(bridge.Pid());
  std::vector<double> latency = LatenciesMs(sub.Output(), topic);
  printf("%-12s %ld frames, %d commands waiting: %ld documents at the subscriber, "
         "%.0f documents/s, bridge %.1f us CPU per document, latency p50 %.1f ms p99 %.1f ms\n",
         perPause ? "2,880/s:" : "unthrottled:", frames, kWaitingCommands, seen, seen / (t1 - t0),
         seen ? (cpu1 - cpu0) * 1e6 / seen : 0.0, Percentile(latency, 0.5),
         Percentile(latency, 0.99));
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
  printf("OrvelMqttBridge benchmark, %ld frames per run, QoS 1, one subscriber; latency from the\n"
         "gateway's gwTimestamp (ms resolution) to the subscriber\n", frames);
  Run(frames, 144);  // 144 frames per 50 ms: 2,880 frames/s
  Run(frames, 0);
  return 0;
}
