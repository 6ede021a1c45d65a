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

#include "Harness.h"

using namespace e2e;

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Receive-port clients read by one poll loop, counting line-delimited documents.
struct Clients {
  std::vector<int> fds;
  std::vector<long> docs;
  std::vector<std::string> partial;
  std::vector<long> all;  // every document, warm-up included

  bool Open(uint16_t port, int n) {
    for (int i = 0; i < n; ++i) {
      int fd = ConnectLoopback(port, In(5000));
      if (fd < 0) return false;
      fds.push_back(fd);
      docs.push_back(0);
      partial.emplace_back();
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
      // Only documents of measured frames count (port 1); warm-up frames use
      // port 2, so stragglers of the warm-up never inflate a run.
      partial[i].append(buf, r);
      size_t start = 0, end;
      while ((end = partial[i].find('\n', start)) != std::string::npos) {
        ++all[i];
        if (partial[i].find("\"port\":1,", start) < end) ++docs[i];
        start = end + 1;
      }
      partial[i].erase(0, start);
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

// True once the gateway accepts connections on port.
bool PortOpens(uint16_t port) {
  int fd = ConnectLoopback(port, In(10000));
  if (fd < 0) return false;
  close(fd);
  return true;
}

double CpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

long PeakRssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// One data frame (0x52) with a 10-byte payload, node id from i, on port.
std::string DataFrameHex(unsigned i, unsigned port = 1) {
  char hex[64];
  snprintf(hex, sizeof hex, "520f%04x0010%02x000102030405060708%02x", 0x100 + (i % 200), port, i & 0xff);
  return hex;
}

// Writes frames until every client holds a document: the gateway is active.
bool WarmUp(SimProcess& sim, Clients& c) {
  Deadline d = In(10000);
  while (Clock::now() < d) {
    sim.WriteLine(DataFrameHex(0, 2));
    c.Pump(200);
    if (c.MinAll() > 0) {
      // Drain what is still in flight before counting starts.
      long before = -1;
      while (c.MinAll() != before && Clock::now() < d) {
        before = c.MinAll();
        c.Pump(300);
      }
      c.Reset();
      return true;
    }
  }
  return false;
}

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
  long total = 0;
  for (long n : c.docs) total += n;
  printf("clients %3d: %ld frames, %ld of %ld documents received%s, %.0f frames/s, "
         "%.3f CPU s per 10,000 frames, peak RSS %ld kB\n",
         nClients, frames, total, frames * nClients, open ? "" : " (a client was dropped)",
         frames / (t1 - t0), (cpu1 - cpu0) * 10000.0 / frames, PeakRssKb(gw.Pid()));
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
