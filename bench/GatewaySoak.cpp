// Soak of the running gateway: a long stream of frames to receive clients
// that keep up, with commands, reloads (SIGUSR1) and short-lived receive-port
// connections going on around it. Reports documents lost, resident memory
// and descriptors at start and end, CPU, reload and stop times. The stream
// runs in rounds; halfway through each round but the last, with frames
// still flowing, the gateway gets SIGUSR1. The clients stay connected all
// through, so every frame is counted by every client. A reload's latency
// runs from the signal to the configuration printed, and on to the next
// document a client reads.
// Prints figures only; run by hand, never by ctest:
//   gateway_soak [--frames N] [--commands N] [--reloads N] [--connections N]
//                [--clients N] [--cts-ms N]
// Defaults: 1,000,000 frames, 10,000 commands, 100 reloads, 1,000
// connections, 3 clients, CTS raised by the module every 10 ms (0: only
// after a command it answered).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Harness.h"

using namespace e2e;
using namespace bench;

namespace {

struct Sizes {
  long frames = 1000000;
  long commands = 10000;
  long reloads = 100;
  long connections = 1000;
  long clients = 3;
  long ctsMs = 10;
};

bool ParseSizes(int argc, char** argv, Sizes* s) {
  const struct {
    const char* name;
    long* value;
  } options[] = {{"--frames", &s->frames},           {"--commands", &s->commands},
                 {"--reloads", &s->reloads},         {"--connections", &s->connections},
                 {"--clients", &s->clients},         {"--cts-ms", &s->ctsMs}};
  for (int i = 1; i < argc; i += 2) {
    bool known = false;
    for (const auto& o : options) {
      if (i + 1 < argc && std::strcmp(argv[i], o.name) == 0) {
        *o.value = std::atol(argv[i + 1]);
        known = *o.value >= 0;
      }
    }
    if (!known) return false;
  }
  return s->clients > 0;
}

// The share of `total` that round `r` of `rounds` gets.
long Share(long total, long r, long rounds) { return total * (r + 1) / rounds - total * r / rounds; }

struct Figures {
  long lost = 0;          // documents of measured frames that never arrived
  long commandsOk = 0;
  long commandsSent = 0;
  long connections = 0;   // short-lived connections made
  std::vector<double> printedSeconds;  // SIGUSR1 to the configuration printed
  std::vector<double> nextDocSeconds;  // SIGUSR1 to the next document read
  long clientsDropped = 0;
};

// Reads the gateway's output from `offset` on, in pieces, until `text` shows
// (the output grows by every logged document, so it is never read whole).
bool WaitForText(const std::string& path, off_t* offset, const std::string& text, Deadline d) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  std::string window;
  char buf[65536];
  bool found = false;
  while (!found && Clock::now() < d) {
    ssize_t n = pread(fd, buf, sizeof buf, *offset);
    if (n <= 0) {
      usleep(200);
      continue;
    }
    *offset += n;
    window.append(buf, static_cast<size_t>(n));
    found = window.find(text) != std::string::npos;
    if (window.size() > text.size()) window.erase(0, window.size() - text.size());
  }
  close(fd);
  return found;
}

// One reload while frames flow; the pump thread stamps the next document.
struct ReloadProbe {
  GatewayProcess* gw = nullptr;
  off_t offset = 0;  // of the gateway's output, read so far
  std::atomic<double> printedAt{0};
  std::atomic<double> nextDocAt{0};
};

// Commands and short-lived connections of one round, on their own threads.
class Background {
 public:
  Background(uint16_t recvPort, uint16_t sendPort, long commands, long connections, Figures* f)
      : commands_([=] {
          const std::string cmd = "{\"objectType\":\"nodeInfoRequest\"}";
          for (long i = 0; i < commands; ++i) {
            std::string reply = SendCommand(sendPort, cmd, In(15000));
            ok_ += reply.find("\"status\":\"ok\"") != std::string::npos;
          }
        }),
        connections_([=] {
          for (long i = 0; i < connections; ++i) {
            int fd = ConnectLoopback(recvPort, In(5000));
            if (fd >= 0) {
              close(fd);
              ++made_;
            }
          }
        }),
        figures_(f),
        sent_(commands) {}
  ~Background() {
    commands_.join();
    connections_.join();
    figures_->commandsOk += ok_.load();
    figures_->commandsSent += sent_;
    figures_->connections += made_.load();
  }

 private:
  std::atomic<long> ok_{0}, made_{0};
  std::thread commands_, connections_;
  Figures* figures_;
  long sent_;
};

// Streams `frames` measured frames and counts them at every client; the
// clients are read on their own thread so that they always keep up.
// With a probe, SIGUSR1 goes out once half the round's frames are queued.
void StreamRound(SimProcess& sim, Clients& c, long frames, long first, Figures* f,
                 ReloadProbe* probe) {
  std::atomic<bool> fed{false};
  std::thread pump([&] {
    long seen = -1;
    Deadline stall = In(10000);
    while (c.Min() < frames && Clock::now() < stall) {
      c.Pump(50);
      if (c.Total() != seen) {
        seen = c.Total();
        stall = In(fed.load() ? 5000 : 60000);
        if (probe != nullptr && probe->printedAt.load() > 0 && probe->nextDocAt.load() == 0) {
          probe->nextDocAt.store(Now());
        }
      }
    }
  });
  std::thread reload;
  constexpr long kBatch = 500;
  for (long i = 0; i < frames; i += kBatch) {
    if (probe != nullptr && i >= frames / 2 && !reload.joinable()) {
      reload = std::thread([probe, f] {
        const double t0 = Now();
        probe->gw->Signal(SIGUSR1);
        if (!WaitForText(probe->gw->OutputPath(), &probe->offset, "bindAddress=", In(30000))) {
          printf("reload: configuration not printed within 30 s\n");
          return;
        }
        probe->printedAt.store(Now());
        f->printedSeconds.push_back(Now() - t0);
        Deadline d = In(10000);
        while (probe->nextDocAt.load() == 0 && Clock::now() < d) usleep(100);
        if (probe->nextDocAt.load() > 0) f->nextDocSeconds.push_back(probe->nextDocAt.load() - t0);
      });
    }
    std::string batch;
    for (long k = i; k < std::min(frames, i + kBatch); ++k) {
      batch += DataFrameHex(static_cast<unsigned>(first + k)) + "\n";
    }
    batch.pop_back();
    sim.WriteLine(batch);
  }
  fed.store(true);
  pump.join();
  if (reload.joinable()) reload.join();
  f->clientsDropped = static_cast<long>(std::count(c.closed.begin(), c.closed.end(), true));
  f->lost += frames * static_cast<long>(c.fds.size()) - c.Total();
  c.Reset();
}

// p50 and p99 of the samples, in milliseconds.
void PrintLatency(const char* what, std::vector<double> seconds) {
  if (seconds.empty()) return;
  std::sort(seconds.begin(), seconds.end());
  auto at = [&](double q) { return 1000 * seconds[static_cast<size_t>(q * (seconds.size() - 1))]; };
  printf("reload, SIGUSR1 to %s: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%zu reloads)\n", what,
         at(0.5), at(0.99), 1000 * seconds.back(), seconds.size());
}

void Report(const char* when, pid_t pid) {
  printf("%-6s RSS %ld kB (peak %ld kB), %d descriptors\n", when, StatusKb(pid, "VmRSS:"),
         StatusKb(pid, "VmHWM:"), FdCount(pid));
}

int Soak(const Sizes& s) {
  SimProcess sim;
  // The module answers every command and raises CTS every ctsMs, never
  // within 2 ms of its own last byte.
  if (!sim.Start({"--cts-interval-ms", std::to_string(s.ctsMs), "--gap-ms", "2"})) {
    printf("simulator did not start\n");
    return 1;
  }
  std::string dir = MakeTempDir();
  uint16_t recv = PickFreePort(), send = PickFreePort();
  GatewayProcess gw;
  Clients c;
  if (!gw.Start({"-C", GatewayConfig(sim, recv, send)}, &sim, dir) || !PortOpens(recv) ||
      !c.Open(recv, static_cast<int>(s.clients)) || !WarmUp(sim, c)) {
    printf("gateway or clients did not come up\n");
    return 1;
  }
  Report("start", gw.Pid());
  const double t0 = Now(), cpu0 = CpuSeconds(gw.Pid());
  Figures f;
  const long rounds = s.reloads + 1;
  long first = 0;
  off_t offset = 0;
  for (long r = 0; r < rounds; ++r) {
    const long frames = Share(s.frames, r, rounds);
    ReloadProbe probe;
    probe.gw = &gw;
    probe.offset = offset;
    {
      Background around(recv, send, Share(s.commands, r, rounds), Share(s.connections, r, rounds), &f);
      StreamRound(sim, c, frames, first, &f, r + 1 < rounds ? &probe : nullptr);
    }
    offset = probe.offset;
    first += frames;
  }
  const double wall = Now() - t0, cpu = CpuSeconds(gw.Pid()) - cpu0;
  Report("end", gw.Pid());
  printf("documents lost: %ld of %ld (%ld frames x %ld clients)\n", f.lost, s.frames * s.clients,
         s.frames, s.clients);
  printf("commands answered ok: %ld of %ld; short-lived connections: %ld of %ld\n", f.commandsOk,
         f.commandsSent, f.connections, s.connections);
  printf("CPU: %.1f s in %.1f s wall (%.1f %% of a core), %.3f CPU s per 10,000 frames\n", cpu,
         wall, 100.0 * cpu / wall, s.frames ? cpu * 10000.0 / double(s.frames) : 0.0);
  printf("receive clients dropped: %ld\n", f.clientsDropped);
  PrintLatency("configuration printed", f.printedSeconds);
  PrintLatency("next document", f.nextDocSeconds);
  const double stop0 = Now();
  gw.Signal(SIGTERM);
  int status = -1;
  const bool stopped = gw.WaitExit(In(10000), &status);
  printf("SIGTERM to exit: %.0f ms, status %d%s\n", 1000 * (Now() - stop0), status,
         stopped ? "" : " (did not exit in 10 s)");
  unlink((dir + "/gateway.out").c_str());  // every document was logged there
  rmdir(dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Sizes s;
  if (!ParseSizes(argc, argv, &s)) {
    fprintf(stderr,
            "usage: gateway_soak [--frames N] [--commands N] [--reloads N] [--connections N] "
            "[--clients N] [--cts-ms N]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("OrvelGateway soak: %ld frames to %ld clients, %ld commands, %ld reloads, %ld "
         "short-lived connections\n",
         s.frames, s.clients, s.commands, s.reloads, s.connections);
  return Soak(s);
}
