// Benchmark of the running gateway: throughput to 1, 10 and 100 receive
// clients with every document counted, CPU per frame, peak resident memory,
// frame-to-document latency at one frame per millisecond, command round
// trip with a prompt CTS, idle CPU, and the CPU share at the UART's own
// frame rate to 100 clients. The bench plays the module on its own
// pseudo-terminal, so the simulator's speed never limits a run.
// Prints figures only; the machine is shared, so nothing here is a verdict.
//   gateway_bench [frames per throughput run] [idle seconds] [paced seconds]
//   gateway_bench idle [seconds]     (the idle figures only)
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
using bench::CpuSeconds;
using bench::DataFrameHex;
using bench::Now;
using bench::PortOpens;

namespace {

// Receive-port clients read by one poll loop that only counts line ends,
// so that the bench, not the gateway, is never what limits a run with 100
// clients (the soak's clients check every document instead).
struct Clients {
  std::vector<int> fds;
  std::vector<long> docs;
  std::vector<long> all;  // every document, warm-up included

  bool Open(uint16_t port, int n) {
    for (int i = 0; i < n; ++i) {
      int fd = ConnectLoopback(port, In(5000));
      if (fd < 0) return false;
      fds.push_back(fd);
      docs.push_back(0);
      all.push_back(0);
    }
    return true;
  }
  // Reads for up to ms milliseconds; returns false when a client was closed.
  bool Pump(int ms) {
    std::vector<pollfd> p;
    for (int fd : fds) p.push_back({fd, POLLIN, 0});
    if (poll(p.data(), p.size(), ms) <= 0) return true;
    char buf[65536];
    for (size_t i = 0; i < p.size(); ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t r = read(fds[i], buf, sizeof buf);
      if (r <= 0) return false;
      // WarmUp drains the warm-up documents before counting starts.
      long n = std::count(buf, buf + r, '\n');
      all[i] += n;
      docs[i] += n;
    }
    return true;
  }
  long Min() const { return docs.empty() ? 0 : *std::min_element(docs.begin(), docs.end()); }
  long MinAll() const { return all.empty() ? 0 : *std::min_element(all.begin(), all.end()); }
  void Reset() { std::fill(docs.begin(), docs.end(), 0); }
  ~Clients() {
    for (int fd : fds) close(fd);
  }
};

// A pseudo-terminal the bench writes frames into as the module would.
struct PtyModule {
  int master = -1;
  int keep = -1;  // the slave stays open here, so the master never sees a hang-up
  std::string slave;

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    slave = ptsname(master);
    keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
    fcntl(master, F_SETFL, O_NONBLOCK);
    return keep >= 0;
  }
  ~PtyModule() {
    if (keep >= 0) close(keep);
    if (master >= 0) close(master);
  }
};

// A gateway on free ports reading the bench's pseudo-terminal.
struct Bench {
  PtyModule pty;
  GatewayProcess gw;
  uint16_t recv = 0, send = 0;
  std::string dir = MakeTempDir();

  bool Start(const std::string& extras = "") {
    recv = PickFreePort();
    send = PickFreePort();
    if (!pty.Open()) return false;
    std::string cfg = "uart=" + pty.slave + ",recvPort=" + std::to_string(recv) +
                      ",sendPort=" + std::to_string(send) + extras;
    return gw.Start({"-C", cfg}, nullptr, dir) && PortOpens(recv);
  }
  void WriteAll(const std::vector<uint8_t>& bytes, Clients* c) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = write(pty.master, bytes.data() + at, bytes.size() - at);
      if (n > 0) at += static_cast<size_t>(n);
      else c->Pump(1);
    }
  }
  ~Bench() {
    gw.Signal(SIGTERM);
    gw.WaitExit(In(5000));
  }
};

std::vector<uint8_t> Frames(long first, long count, unsigned port) {
  std::vector<uint8_t> bytes;
  for (long i = first; i < first + count; ++i) {
    std::vector<uint8_t> f = Unhex(DataFrameHex(static_cast<unsigned>(i), port));
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  return bytes;
}

// Writes warm-up frames (port 2) until every client holds a document: the
// gateway is active and every client accepted.
bool WarmUp(Bench& b, Clients& c) {
  return bench::WarmUpWith([&] { b.WriteAll(Frames(0, 1, 2), &c); }, c);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(v.size() * p))];
}

void Throughput(int nClients, long frames, const std::string& extras = "") {
  Bench b;
  Clients c;
  if (!b.Start(extras) || !c.Open(b.recv, nClients) || !WarmUp(b, c)) {
    printf("clients %3d: gateway or clients could not be brought up\n", nClients);
    return;
  }
  std::vector<uint8_t> bytes = Frames(0, frames, 1);
  double cpu0 = CpuSeconds(b.gw.Pid());
  double t0 = Now();
  b.WriteAll(bytes, &c);
  bool open = true;
  Deadline d = In(120000);
  while (open && c.Min() < frames && Clock::now() < d) open = c.Pump(200);
  double t1 = Now();
  double cpu1 = CpuSeconds(b.gw.Pid());
  long least = c.Min();
  long most = *std::max_element(c.docs.begin(), c.docs.end());
  printf("clients %3d%s: %ld frames, %.0f frames/s, %.2f us CPU per frame, documents per client "
         "%ld..%ld of %ld%s, peak RSS %ld kB\n",
         nClients, extras.c_str(), frames, frames / (t1 - t0), (cpu1 - cpu0) * 1e6 / frames, least,
         most, frames, open ? "" : " (a client was dropped)", bench::StatusKb(b.gw.Pid(), "VmHWM:"));
}

// One frame per millisecond; latency from the frame's last byte on the
// pseudo-terminal to its document at the client (documents arrive in order).
void Latency(int samples) {
  Bench b;
  Clients c;
  if (!b.Start() || !c.Open(b.recv, 1) || !WarmUp(b, c)) {
    printf("latency: gateway did not start\n");
    return;
  }
  std::vector<double> sentAt, lat;
  double next = Now();
  Deadline d = In(samples + 10000);
  while ((c.Min() < samples) && Clock::now() < d) {
    if (static_cast<int>(sentAt.size()) < samples && Now() >= next) {
      b.WriteAll(Frames(static_cast<long>(sentAt.size()), 1, 1), &c);
      sentAt.push_back(Now());
      next += 0.001;
    }
    long before = c.Min();
    c.Pump(0);
    for (long k = before; k < c.Min(); ++k) lat.push_back((Now() - sentAt[k]) * 1e6);
  }
  printf("latency at 1 frame/ms, %zu of %d documents: p50 %.0f us, p99 %.0f us\n", lat.size(), samples,
         Percentile(lat, 0.5), Percentile(lat, 0.99));
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
  printf("command round trip (connect to reply, CTS every 2 ms), %zu of %d ok: p50 %.2f ms, p99 %.2f ms\n",
         rt.size(), samples, Percentile(rt, 0.5), Percentile(rt, 0.99));
  gw.Signal(SIGTERM);
  gw.WaitExit(In(8000));
  sim.Stop();
}

// The whole process, then each thread: the task threads are started in the
// task table's order (receive, send, CTS) right after the main thread, so
// their ids follow in that order.
void IdleCpu(int seconds) {
  Bench b;
  Clients c;
  if (!b.Start() || !c.Open(b.recv, 1)) return;
  c.Pump(300);  // past the start-up's quiet line
  std::vector<bench::ThreadFigures> before = bench::Threads(b.gw.Pid());
  double cpu0 = CpuSeconds(b.gw.Pid()), t0 = Now();
  while (Now() - t0 < seconds) c.Pump(1000);
  double elapsed = Now() - t0;
  printf("idle CPU over %d s with one client: %.3f %% of a core\n", seconds,
         (CpuSeconds(b.gw.Pid()) - cpu0) * 100 / elapsed);
  std::vector<bench::ThreadFigures> after = bench::Threads(b.gw.Pid());
  const char* names[] = {"main", "receive", "send", "CTS"};
  for (size_t i = 0; i < after.size() && i < before.size() && i < 4; ++i) {
    if (after[i].tid != before[i].tid) break;  // a thread ended meanwhile
    printf("  %s thread: %.3f %% of a core, %ld wake-ups\n", names[i],
           (after[i].cpuSeconds - before[i].cpuSeconds) * 100 / elapsed,
           after[i].voluntarySwitches - before[i].voluntarySwitches);
  }
}

// 2,880 frames/s, the UART's limit for these frames at 230400 baud, written
// every burstMs: 10 ms is how the tty layer commonly hands a UART's input
// on, 0 writes each frame as it falls due (one frame per read, the worst
// case for batching).
void PacedCpu(int nClients, int seconds, int burstMs) {
  Bench b;
  Clients c;
  if (!b.Start() || !c.Open(b.recv, nClients) || !WarmUp(b, c)) return;
  double cpu0 = CpuSeconds(b.gw.Pid()), t0 = Now(), last = 0;
  long sent = 0;
  while (Now() - t0 < seconds) {
    double at = Now() - t0;
    long due = static_cast<long>(at * 2880);
    if (due > sent && at - last >= burstMs / 1000.0) {
      b.WriteAll(Frames(sent, due - sent, 1), &c);
      sent = due;
      last = at;
    }
    c.Pump(1);
  }
  Deadline d = In(5000);
  while (c.Min() < sent && Clock::now() < d) c.Pump(50);
  double elapsed = Now() - t0;
  printf("2,880 frames/s to %d clients for %d s, written every %d ms: %.1f %% of a core, "
         "documents per client %ld of %ld\n",
         nClients, seconds, burstMs, (CpuSeconds(b.gw.Pid()) - cpu0) * 100 / elapsed, c.Min(), sent);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc > 1 && std::strcmp(argv[1], "idle") == 0) {
    IdleCpu(argc > 2 ? std::atoi(argv[2]) : 60);
    return 0;
  }
  long frames = argc > 1 ? std::atol(argv[1]) : 50000;
  int idle = argc > 2 ? std::atoi(argv[2]) : 60;
  int paced = argc > 3 ? std::atoi(argv[3]) : 20;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("OrvelGateway benchmark, %ld frames per throughput run\n", frames);
  for (int n : {1, 10, 100}) Throughput(n, frames);
  Throughput(100, frames, ",logDocuments=0");
  Latency(5000);
  RoundTrip(200);
  PacedCpu(100, paced, 10);
  PacedCpu(100, paced, 0);
  IdleCpu(idle);
  return 0;
}
