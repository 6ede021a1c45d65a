// Shared benchmark pieces: counting clients, frames, /proc figures.
#include "BenchSupport.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace bench {

using e2e::Clock;
using e2e::Deadline;
using e2e::In;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Clients::Open(uint16_t port, int n) {
  for (int i = 0; i < n; ++i) {
    int fd = e2e::ConnectLoopback(port, In(5000));
    if (fd < 0) return false;
    fds.push_back(fd);
    docs.push_back(0);
    partial.emplace_back();
    all.push_back(0);
    closed.push_back(false);
  }
  return true;
}

bool Clients::Pump(int ms) {
  std::vector<pollfd> p;
  for (size_t i = 0; i < fds.size(); ++i) p.push_back({closed[i] ? -1 : fds[i], POLLIN, 0});
  if (poll(p.data(), p.size(), ms) <= 0) return true;
  char buf[65536];
  bool open = true;
  for (size_t i = 0; i < p.size(); ++i) {
    if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t r = read(fds[i], buf, sizeof buf);
    if (r <= 0) {
      closed[i] = true;
      open = false;
      continue;
    }
    partial[i].append(buf, r);
    size_t start = 0, end;
    while ((end = partial[i].find('\n', start)) != std::string::npos) {
      ++all[i];
      if (partial[i].find("\"port\":1,", start) < end) ++docs[i];
      start = end + 1;
    }
    partial[i].erase(0, start);
  }
  return open;
}

long Clients::Min() const { return docs.empty() ? 0 : *std::min_element(docs.begin(), docs.end()); }

long Clients::MinAll() const { return all.empty() ? 0 : *std::min_element(all.begin(), all.end()); }

long Clients::Total() const {
  long total = 0;
  for (long n : docs) total += n;
  return total;
}

bool Clients::AllClosed() const {
  return std::all_of(closed.begin(), closed.end(), [](bool c) { return c; });
}

void Clients::Reset() { std::fill(docs.begin(), docs.end(), 0); }

void Clients::CloseAll() {
  for (int fd : fds) close(fd);
  fds.clear();
  docs.clear();
  partial.clear();
  all.clear();
  closed.clear();
}

bool PortOpens(uint16_t port) {
  int fd = e2e::ConnectLoopback(port, In(10000));
  if (fd < 0) return false;
  close(fd);
  return true;
}

namespace {

// User + system CPU seconds from a /proc stat file (process or thread).
double StatCpuSeconds(const std::string& path) {
  std::ifstream f(path);
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

// A "name: number" line of a /proc status file; -1 if absent.
long StatusNumber(const std::string& path, const std::string& key) {
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  }
  return -1;
}

}  // namespace

double CpuSeconds(pid_t pid) { return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

std::vector<ThreadFigures> Threads(pid_t pid) {
  std::vector<ThreadFigures> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = dir + "/" + e->d_name;
    out.push_back({std::atol(e->d_name), StatCpuSeconds(task + "/stat"),
                   StatusNumber(task + "/status", "voluntary_ctxt_switches:")});
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const ThreadFigures& a, const ThreadFigures& b) { return a.tid < b.tid; });
  return out;
}

long StatusKb(pid_t pid, const char* key) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string k = key;
  while (std::getline(f, line)) {
    if (line.rfind(k, 0) == 0) return std::atol(line.c_str() + k.size());
  }
  return -1;
}

int FdCount(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

std::string DataFrameHex(unsigned i, unsigned port) {
  char hex[64];
  snprintf(hex, sizeof hex, "520f%04x0010%02x000102030405060708%02x", 0x100 + (i % 200), port, i & 0xff);
  return hex;
}

bool WarmUp(e2e::SimProcess& sim, Clients& c) {
  return WarmUpWith([&] { sim.WriteLine(DataFrameHex(0, 2)); }, c);
}

}  // namespace bench
