// Process, socket and file helpers of the end-to-end harness.
#include "Harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace e2e {

Deadline In(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

bool WaitUntil(const std::function<bool()>& pred, Deadline deadline, int stepMs) {
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

uint16_t PickFreePort() {
    // The kernel may hand a just-closed port out again: a test asking for
    // two ports must never get one twice, or its second bind fails.
    static std::set<uint16_t> given;
    std::vector<int> held;
    uint16_t port = 0;
    for (int tries = 0; tries < 16 && port == 0; ++tries) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0) break;
        held.push_back(s);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            break;
        if (given.insert(ntohs(a.sin_port)).second) port = ntohs(a.sin_port);
    }
    for (int s : held) close(s);
    return port;
}

std::string MakeTempDir() {
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/orvel-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

std::vector<uint8_t> Unhex(const std::string& hex) {
    std::string digits;
    for (char c : hex)
        if (c != ' ') digits += c;
    std::vector<uint8_t> out;
    if (digits.size() % 2) return {};
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string two = digits.substr(i, 2);
        const unsigned long v = std::strtoul(two.c_str(), &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(two[0]))) return {};
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

namespace {

// True when the program is an ELF file for 32-bit ARM: only the tree's own
// programs are; host tools (a broker, nsenter) run as they are.
bool IsArmProgram(const std::string& path) {
    unsigned char header[20] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read20 = read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    close(fd);
    constexpr unsigned kMachineArm = 40;
    return read20 && std::memcmp(header, "\x7f" "ELF", 4) == 0 &&
           (header[18] | header[19] << 8) == kMachineArm;
}

}  // namespace

std::vector<std::string> Emulated(std::vector<std::string> argv, std::vector<std::string>* env) {
#ifdef ORVEL_EMULATOR
    const std::string emulator = ORVEL_EMULATOR;
#else
    const std::string emulator;
#endif
    if (emulator.empty() || argv.empty() || !IsArmProgram(argv[0])) return argv;
    std::vector<std::string> front{emulator};
    for (auto e = env->begin(); e != env->end();) {
        if (e->rfind("LD_PRELOAD=", 0) != 0) {
            ++e;
            continue;
        }
        front.insert(front.end(), {"-E", *e});
        e = env->erase(e);
    }
    argv.insert(argv.begin(), front.begin(), front.end());
    return argv;
}

bool GatewayAvailable() {
#ifdef ORVEL_GATEWAY_PATH
    return access(ORVEL_GATEWAY_PATH, X_OK) == 0;
#else
    return false;
#endif
}

std::string GpioSysfsUnavailable() {
    if (geteuid() != 0) return "needs root for a private mount namespace";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
    return "";
}

// ---- ChildProcess ----

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdinFd_ >= 0) close(stdinFd_);
}

bool ChildProcess::Spawn(const std::vector<std::string>& program, const std::vector<std::string>& extraEnv,
                         const std::string& outPath, bool wantStdin,
                         const std::vector<std::string>& launcher) {
    std::vector<std::string> env = extraEnv;
    std::vector<std::string> argv = launcher;
    const std::vector<std::string> run = Emulated(program, &env);
    argv.insert(argv.end(), run.begin(), run.end());
    outPath_ = outPath;
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    int in[2] = {-1, -1};
    if (out < 0 || (wantStdin && pipe2(in, O_CLOEXEC) != 0)) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        if (wantStdin) dup2(in[0], 0);
        if (newSession_) setsid();
        int gone[2];
        if (deadStdout_ && pipe(gone) == 0) {
            close(gone[0]);
            dup2(gone[1], 1);
            close(gone[1]);
            signal(SIGPIPE, SIG_DFL);
        }
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    if (wantStdin) {
        close(in[0]);
        stdinFd_ = in[1];
    }
    pid_ = pid;
    return pid > 0;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
        exitStatus_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
        return false;
    }
    return true;
}

bool ChildProcess::Signal(int sig) { return pid_ > 0 && kill(pid_, sig) == 0; }

bool ChildProcess::WaitExit(Deadline deadline, int* status) {
    const bool done = WaitUntil([this] { return !Running(); }, deadline, 5);
    if (done && status) *status = exitStatus_;
    return done;
}

std::string ChildProcess::Output() const { return ReadFile(outPath_); }

bool ChildProcess::WaitForOutput(const std::string& text, Deadline deadline) {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, deadline);
}

size_t ChildProcess::CountInOutput(const std::string& text) const {
    const std::string o = Output();
    size_t n = 0;
    for (size_t p = o.find(text); !text.empty() && p != std::string::npos; p = o.find(text, p + 1)) ++n;
    return n;
}

// ---- SimProcess ----

namespace {

// Removes a flat directory of test files (the simulator's and its helpers').
void RemoveDir(const std::string& dir) {
    if (dir.empty()) return;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

}  // namespace

SimProcess::SimProcess() : dir_(MakeTempDir()) {}

SimProcess::~SimProcess() {
    if (Running()) Stop(In(3000));
    RemoveDir(dir_);
}

bool SimProcess::Start(const std::vector<std::string>& args, Deadline deadline) {
    if (dir_.empty()) return false;
    logPath_ = dir_ + "/sim.log";
    if (ctsSocket_.empty()) ctsSocket_ = dir_ + "/cts.sock";
    std::vector<std::string> argv{ORVEL_SIM_PATH, "--log", logPath_, "--cts-socket", ctsSocket_,
                                  "--stdin-frames"};
    argv.insert(argv.end(), args.begin(), args.end());
    for (size_t i = 0; i < args.size(); ++i) {
        servesGpio_ = servesGpio_ || args[i] == "--gpio-sysfs";
        if (args[i] == "--link" && i + 1 < args.size()) link_ = args[i + 1];
    }
    if (!Spawn(argv, {}, dir_ + "/sim.out", true)) return false;
    // The first output line is the slave path; the log file exists once set-up is done.
    const bool ok = WaitUntil([&] {
        const std::string o = Output();
        const size_t nl = o.find('\n');
        if (nl == std::string::npos || access(logPath_.c_str(), F_OK) != 0) return false;
        slave_ = o.substr(0, nl);
        return true;
    }, deadline);
    return ok && slave_.rfind("/dev/", 0) == 0;
}

bool SimProcess::WriteLine(const std::string& line) {
    if (stdinFd_ < 0) return false;
    const std::string l = line + "\n";
    return write(stdinFd_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

std::vector<std::string> SimProcess::LogLines(const std::string& prefix) const {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(logPath_));
    std::string line;
    const std::string p = prefix + " ";
    while (std::getline(in, line))
        if (line.rfind(p, 0) == 0) out.push_back(line.substr(p.size()));
    return out;
}

bool SimProcess::WaitForReceived(size_t n, Deadline deadline) {
    return WaitUntil([&] { return ReceivedFrames().size() >= n; }, deadline);
}

bool SimProcess::Stop(Deadline deadline) {
    int st = -1;
    if (Running()) Signal(SIGTERM);
    return WaitExit(deadline, &st) && st == 0;
}

// ---- GatewayProcess ----

bool GatewayProcess::Start(const std::vector<std::string>& args, const SimProcess* sim,
                           const std::string& outputDir, const std::vector<std::string>& extraEnv) {
#ifdef ORVEL_GATEWAY_PATH
    std::vector<std::string> argv{ORVEL_GATEWAY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = extraEnv;
    std::vector<std::string> launcher;
    if (sim && sim->ServesGpio()) {
        // Joined by a single-threaded helper that then execs the gateway: a
        // forked child of a sanitized test may already share its file-system
        // state with a runtime thread, and setns refuses such a process.
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return false;
        launcher = {"/usr/bin/nsenter", "--mount=/proc/" + std::to_string(sim->Pid()) + "/ns/mnt",
                    std::string("--wd=") + cwd, "--"};
    } else if (sim) {
        std::string preload = ORVEL_SANITIZER_RUNTIME;
        if (!preload.empty()) preload += " ";
        env.push_back("LD_PRELOAD=" + preload + ORVEL_SHIM_PATH);
        env.push_back("ORVEL_SIM_PTY=" + sim->DevicePath());
        env.push_back("ORVEL_CTS_SOCKET=" + sim->CtsSocketPath());
        env.push_back("ORVEL_CTS_WAIT=uart");
    }
    return Spawn(argv, env, outputDir + "/gateway.out", false, launcher);
#else
    (void)args;
    (void)sim;
    (void)outputDir;
    (void)extraEnv;
    return false;
#endif
}

std::string GatewayConfig(const SimProcess& sim, uint16_t recvPort, uint16_t sendPort,
                          const std::vector<std::string>& extras) {
    std::string s = "uart=" + sim.DevicePath() + ",recvPort=" + std::to_string(recvPort) +
                    ",sendPort=" + std::to_string(sendPort) + ",ctsSource=ioctl";
    for (const auto& e : extras) s += "," + e;
    return s;
}

// ---- sockets ----

int ConnectLoopback(uint16_t port, Deadline deadline) {
    int fd = -1;
    WaitUntil([&] {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
        if (fd >= 0) close(fd);
        fd = -1;
        return false;
    }, deadline, 20);
    return fd;
}

namespace {

int MsLeft(Deadline d) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

RecvClient::~RecvClient() {
    if (fd_ >= 0) close(fd_);
}

bool RecvClient::Connect(uint16_t port, Deadline deadline) {
    fd_ = ConnectLoopback(port, deadline);
    return fd_ >= 0;
}

void RecvClient::Pump(int timeoutMs) {
    if (fd_ < 0 || closed_) return;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        closed_ = true;
        return;
    }
    partial_.append(buf, static_cast<size_t>(n));
    size_t at;
    while ((at = delim_.empty() ? ObjectEnd(partial_) : partial_.find(delim_)) != std::string::npos) {
        docs_.push_back(partial_.substr(0, at));
        partial_.erase(0, at + delim_.size());
    }
}

size_t ObjectEnd(const std::string& text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return i + 1;
        }
    }
    return std::string::npos;
}

bool RecvClient::WaitForDocs(size_t n, Deadline deadline) {
    while (docs_.size() < n && !closed_ && Clock::now() < deadline) Pump(std::min(50, MsLeft(deadline)));
    Pump(0);
    return docs_.size() >= n;
}

std::string SendCommand(uint16_t port, const std::string& text, Deadline deadline) {
    const int fd = ConnectLoopback(port, deadline);
    if (fd < 0) return "";
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string reply;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, std::min(50, MsLeft(deadline))) <= 0) continue;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

}  // namespace e2e
