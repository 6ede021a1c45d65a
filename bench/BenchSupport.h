// Pieces shared by the benchmarks: receive-port clients that count documents,
// the data frames they count, and the gateway's figures read from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Harness.h"

namespace bench {

// Seconds of the steady clock.
double Now();

// Receive-port clients read by one poll loop, counting line-delimited
// documents. Only documents of measured frames (port 1) count in `docs`;
// warm-up frames use port 2, so stragglers of a warm-up never inflate a run.
struct Clients {
  std::vector<int> fds;
  std::vector<long> docs;
  std::vector<std::string> partial;
  std::vector<long> all;  // every document, warm-up included
  std::vector<bool> closed;

  bool Open(uint16_t port, int n);
  // Reads for up to ms milliseconds; false when a client was closed.
  bool Pump(int ms);
  long Min() const;
  long MinAll() const;
  long Total() const;
  bool AllClosed() const;
  void Reset();
  void CloseAll();
  ~Clients() { CloseAll(); }
};

// True once the gateway accepts connections on port.
bool PortOpens(uint16_t port);
// User + system CPU seconds of the process.
double CpuSeconds(pid_t pid);
// One thread of a process: its CPU seconds and how often it went to sleep
// of its own accord (each such sleep ends in a wake-up).
struct ThreadFigures {
  long tid;
  double cpuSeconds;
  long voluntarySwitches;
};
// Every thread of the process, in the order of their ids (creation order
// until ids wrap).
std::vector<ThreadFigures> Threads(pid_t pid);
// A "Vm..." line of /proc/PID/status in kB ("VmHWM:", "VmRSS:"); -1 if absent.
long StatusKb(pid_t pid, const char* key);
// Open descriptors of the process.
int FdCount(pid_t pid);
// One data frame (0x52) with a 10-byte payload, node id from i, on port.
std::string DataFrameHex(unsigned i, unsigned port = 1);
// Writes warm-up frames until every client holds a document (the gateway is
// active), drains what is in flight and resets the counts. False on time-out.
bool WarmUp(e2e::SimProcess& sim, Clients& c);
// The same for any client set with Pump, MinAll and Reset, with `writeOne`
// writing one warm-up frame.
template <typename ClientSet, typename Write>
bool WarmUpWith(Write writeOne, ClientSet& c) {
  e2e::Deadline d = e2e::In(10000);
  while (e2e::Clock::now() < d) {
    writeOne();
    c.Pump(200);
    if (c.MinAll() > 0) {
      // Drain what is still in flight before counting starts.
      long before = -1;
      while (c.MinAll() != before && e2e::Clock::now() < d) {
        before = c.MinAll();
        c.Pump(300);
      }
      c.Reset();
      return true;
    }
  }
  return false;
}

}  // namespace bench
