// Benchmark of the running gateway: throughput to 1, 10 and 100 receive
// clients with every document counted, CPU time per 10,000 frames, peak
// resident memory, frame-to-document latency and command round trip.
// Prints figures only; the machine is shared, so nothing here is a verdict.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Harness.h"

using namespace e2e;
using namespace bench;

namespace {

void Throughput(int nClients, long frames) {
  std::string dir = MakeTempDir();
  SimProcess sim;
  if (!sim.Start({"--no-cts", "--no-answer"})) {
    printf("simulator did not start\n");
    return;
  }
  uint16_t recv = PickFreePort(), send = PickFreePort();
  GatewayProcess gw;
  if (!gw.Start({"-C", GatewayConfig(sim, recv, send)}, &sim, dir) ||
      !PortOpens(recv)) {
    printf("gateway did not start\n");
    return;
  }
  Clients c;
  if (!c.Open(recv, nClients) || !WarmUp(sim, c)) {
    printf("clients could not be brought up\n");
    return;
  }
  double cpu0 = CpuSeconds(gw.Pid());
  double t0 = Now();
  // The simulator writes the frames as fast as the pseudo-terminal takes them.
  std::string batch;
  for (long i = 0; i < frames; ++i) batch += DataFrameHex(i) + "\n";
  sim.WriteLine(batch.substr(0, batch.size() - 1));
  bool open = true;
  Deadline d = In(120000);
  while (open && c.Min() < frames && Clock::now() < d) open = c.Pump(200);
  double t1 = Now();
  double cpu1 = CpuSeconds(gw.Pid());
  long total = c.Total();
  printf("clients %3d: %ld frames, %ld of %ld documents received%s, %.0f frames/s, "
         "%.3f CPU s per 10,000 frames, peak RSS %ld kB\n",
         nClients, frames, total, frames * nClients, open ? "" : " (a client was dropped)",
         frames / (t1 - t0), (cpu1 - cpu0) * 10000.0 / frames, StatusKb(gw.Pid(), "VmHWM:"));
  gw.Signal(SIGTERM);
  gw.WaitExit(In(5000));
  sim.Stop();
}

// The bench plays the module itself here, so the time of the frame's last
// byte on the pseudo-terminal is known exactly.
void Latency(int samples) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  termios t{};
  tcgetattr(master, &t);
  cfmakeraw(&t);
  tcsetattr(master, TCSANOW, &t);
  std::string slave = ptsname(master);
  int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);  // the master never sees a hang-up
  std::string dir = MakeTempDir();
  uint16_t recv = PickFreePort(), send = PickFreePort();
  GatewayProcess gw;
  std::string cfg = "uart=" + slave + ",recvPort=" + std::to_string(recv) + ",sendPort=" + std::to_string(send);
  if (!gw.Start({"-C", cfg}, nullptr, dir) ||
      !PortOpens(recv)) {
    printf("latency: gateway did not start\n");
    return;
  }
  Clients c;
  c.Open(recv, 1);
  std::vector<double> lat;
  std::vector<uint8_t> frame = Unhex(DataFrameHex(1));
  Deadline d = In(60000);
  while (static_cast<int>(lat.size()) < samples && Clock::now() < d) {
    long before = c.Min();
    if (write(master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) break;
    double t0 = Now();
    Deadline one = In(500);
    while (c.Min() == before && Clock::now() < one) c.Pump(50);
    if (c.Min() > before) lat.push_back((Now() - t0) * 1e6);
  }
  std::sort(lat.begin(), lat.end());
  if (!lat.empty()) {
    printf("latency (frame's last byte to document at a client), %zu samples: median %.0f us, p99 %.0f us\n",
           lat.size(), lat[lat.size() / 2], lat[std::min(lat.size() - 1, lat.size() * 99 / 100)]);
  }
  gw.Signal(SIGTERM);
  gw.WaitExit(In(5000));
  close(keep);
  close(master);
}

void RoundTrip(int samples) {
  std::string dir = MakeTempDir();
  SimProcess sim;
  if (!sim.Start({"--cts-interval-ms", "2", "--gap-ms", "1"})) return;
  uint16_t recv = PickFreePort(), send = PickFreePort();
  GatewayProcess gw;
  if (!gw.Start({"-C", GatewayConfig(sim, recv, send)}, &sim, dir)) return;
  std::vector<double> rt;
  const std::string cmd = "{\"objectType\":\"nodeInfoRequest\"}";
  SendCommand(send, cmd, In(10000));  // warm-up, waits for the port
  for (int i = 0; i < samples; ++i) {
    double t0 = Now();
    std::string reply = SendCommand(send, cmd, In(10000));
    if (reply.find("\"status\":\"ok\"") != std::string::npos) rt.push_back((Now() - t0) * 1e3);
  }
  std::sort(rt.begin(), rt.end());
  if (!rt.empty()) {
    printf("command round trip (connect to reply, CTS every 2 ms), %zu of %d ok: median %.1f ms\n", rt.size(),
           samples, rt[rt.size() / 2]);
  }
  gw.Signal(SIGTERM);
  gw.WaitExit(In(8000));
  sim.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  long frames = argc > 1 ? std::atol(argv[1]) : 10000;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("OrvelGateway benchmark, %ld frames per run\n", frames);
  for (int n : {1, 10, 100}) Throughput(n, frames);
  Latency(500);
  RoundTrip(20);
  return 0;
}
