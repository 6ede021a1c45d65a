// End-to-end test harness: starts the module simulator and the gateway as real
// processes, talks to the gateway's TCP ports on 127.0.0.1 and reads the
// simulator's log of the bytes the gateway wrote to the UART. Every wait is
// bounded by a deadline; nothing here sleeps a fixed time to "let things settle".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// A deadline `ms` milliseconds from now.
Deadline In(int ms);

// Calls pred every `stepMs` until it answers true (→ true) or the deadline
// passes (→ false; pred is tried one last time at the deadline).
bool WaitUntil(const std::function<bool()>& pred, Deadline deadline, int stepMs = 10);

// A TCP port on 127.0.0.1 that was free a moment ago (bind port 0, read back)
// and never given to this process before. 0 on failure.
uint16_t PickFreePort();

// A new, empty, private directory under $TMPDIR or /tmp; "" on failure.
std::string MakeTempDir();

// Lowercase hex without separators, and back (spaces ignored; "" on bad input).
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Unhex(const std::string& hex);

// Whole text of a file ("" when missing).
std::string ReadFile(const std::string& path);

// The command line that runs a program of this build: argv itself, or in a
// cross build argv behind the emulator (ORVEL_EMULATOR). There, LD_PRELOAD
// entries of *env move to the emulator's -E option, since the host loader of
// the emulator would refuse a library of the target.
// Only programs built for 32-bit ARM are wrapped; host tools run as they are.
std::vector<std::string> Emulated(std::vector<std::string> argv, std::vector<std::string>* env);

// True when the gateway binary was built in this tree.
bool GatewayAvailable();

// Why the simulator's sysfs GPIO stand-in cannot run here ("" when it can):
// it needs root, for a private mount namespace, and /dev/fuse.
std::string GpioSysfsUnavailable();

// A child process with stdout+stderr captured to a file; base of the two below.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills (SIGKILL) and reaps a child that is still running.
    virtual ~ChildProcess();

    pid_t Pid() const { return pid_; }
    // True while the child has not been reaped.
    bool Running();
    bool Signal(int sig);
    // Waits for the exit; true when it exited before the deadline. *status gets
    // the exit code, or 128 + signal number when it was killed by a signal.
    bool WaitExit(Deadline deadline, int* status = nullptr);
    // Captured stdout+stderr so far.
    std::string Output() const;
    const std::string& OutputPath() const { return outPath_; }
    // True once `text` appears in the output before the deadline.
    bool WaitForOutput(const std::string& text, Deadline deadline);
    // Number of times `text` occurs in the output.
    size_t CountInOutput(const std::string& text) const;

protected:
    // Forks and execs argv[0] with extra environment entries "NAME=value";
    // stdin from a pipe when wantStdin (kept in stdinFd_). argv[0] is a
    // program of this build: in a cross build it runs under the emulator
    // (see Emulated), and a host launcher (e.g. nsenter ... --) may come
    // before it. False on failure.
    bool Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& outPath, bool wantStdin,
               const std::vector<std::string>& launcher = {});
    int stdinFd_ = -1;
    bool newSession_ = false;  // the child calls setsid() before exec
    // The child's stdout is a pipe whose reader is gone, with SIGPIPE at its
    // default (stderr still goes to the output file).
    bool deadStdout_ = false;
    int exitStatus_ = -1;

private:
    pid_t pid_ = -1;
    std::string outPath_;
};

// OrvelModuleSim playing the module on a pseudo-terminal. Start() always adds
// --log, --cts-socket and --stdin-frames, so tests can inject frames and read
// every frame the gateway wrote.
class SimProcess : public ChildProcess {
public:
    SimProcess();
    ~SimProcess() override;

    // Starts the simulator with extra options (see OrvelModuleSim --help) and
    // waits for the slave path on its first stdout line. False on failure.
    bool Start(const std::vector<std::string>& args = {}, Deadline deadline = In(10000));
    const std::string& SlavePath() const { return slave_; }
    // The path the gateway is given: the --link path when started with one
    // (a simulator started later with the same link is the same device),
    // else the slave.
    const std::string& DevicePath() const { return link_.empty() ? slave_ : link_; }
    // Before Start: publish CTS on this socket instead of a private one, so
    // a simulator replacing a vanished one reaches the shim of the running
    // gateway.
    void UseCtsSocket(const std::string& path) { ctsSocket_ = path; }
    const std::string& CtsSocketPath() const { return ctsSocket_; }
    const std::string& LogPath() const { return logPath_; }
    // Private directory of this simulator, removed with everything in it.
    const std::string& Dir() const { return dir_; }
    // True when started with --gpio-sysfs: the gateway must then run in the
    // simulator's mount namespace, where the stand-in is mounted.
    bool ServesGpio() const { return servesGpio_; }

    // One control line to the simulator's stdin: hex bytes (written raw to the
    // pty), "pause N", "cts", "hold", "drop", "gpio-fault KIND",
    // "gpio-unexport", "vanish". True when the line was written.
    bool WriteLine(const std::string& line);
    bool SendFrame(const std::vector<uint8_t>& frame) { return WriteLine(Hex(frame)); }
    bool RaiseCts() { return WriteLine("cts"); }

    // Log lines with the given prefix ("rx", "tx", "cts", "gpio-write"...),
    // prefix stripped;
    // "rx" lines are the frames the gateway wrote, as lowercase hex.
    std::vector<std::string> LogLines(const std::string& prefix) const;
    std::vector<std::string> ReceivedFrames() const { return LogLines("rx"); }
    // True once at least n frames from the gateway are logged.
    bool WaitForReceived(size_t n, Deadline deadline);

    // SIGTERM and wait; true when it exited with status 0 before the deadline.
    bool Stop(Deadline deadline = In(5000));

private:
    std::string dir_, slave_, link_, ctsSocket_, logPath_;
    bool servesGpio_ = false;
};

// OrvelGateway with the CTS shim preloaded (sanitizer runtime first when the
// tree is built with a sanitizer) and ORVEL_SIM_PTY / ORVEL_CTS_SOCKET set from
// the simulator; ORVEL_CTS_WAIT=uart makes the shim's wait end only as a real
// UART's does (a CTS change, a signal, a hang-up), never on cancellation. When the simulator serves the GPIO stand-in the gateway runs
// in its mount namespace instead, entered through nsenter, without the shim.
// Output is captured to a file.
class GatewayProcess : public ChildProcess {
public:
    // args: the gateway's command line after the program name, e.g.
    // {"-C", "uart=/dev/pts/3,recvPort=4000,..."}. sim may be null (no shim env).
    // env: extra "NAME=value" entries for the gateway.
    bool Start(const std::vector<std::string>& args, const SimProcess* sim,
               const std::string& outputDir, const std::vector<std::string>& env = {});
    // Before Start: run the gateway as the leader of a new session (setsid),
    // as a service manager starts it.
    void AsSessionLeader() { newSession_ = true; }
    // Before Start: standard output to a pipe nobody reads any more, as when
    // the logger a supervisor pipes it to has died. Nothing it prints is
    // captured then, so its readiness shows only on its ports.
    void StdoutToAGoneReader() { deadStdout_ = true; }
};

// "-C" argument text for the gateway: uart from the simulator (DevicePath), the two ports,
// ctsSource=ioctl, plus "key=value" extras appended in order.
std::string GatewayConfig(const SimProcess& sim, uint16_t recvPort, uint16_t sendPort,
                          const std::vector<std::string>& extras = {});

// Length of the first whole JSON object at the start of text (braces
// counted outside strings), npos while it is incomplete.
size_t ObjectEnd(const std::string& text);

// Client of the receive port collecting documents split by the delimiter;
// with an empty delimiter, split into whole JSON objects.
class RecvClient {
public:
    explicit RecvClient(std::string delimiter = "\n") : delim_(std::move(delimiter)) {}
    ~RecvClient();
    RecvClient(const RecvClient&) = delete;
    RecvClient& operator=(const RecvClient&) = delete;

    // Connects to 127.0.0.1:port, retrying until the deadline.
    bool Connect(uint16_t port, Deadline deadline);
    // Reads until at least n documents are held or the deadline passes.
    bool WaitForDocs(size_t n, Deadline deadline);
    // Documents so far, delimiter removed, in arrival order.
    const std::vector<std::string>& Docs() const { return docs_; }
    void ClearDocs() { docs_.clear(); }
    // True once the peer closed the connection (seen by a read).
    bool PeerClosed() const { return closed_; }

private:
    void Pump(int timeoutMs);
    std::string delim_, partial_;
    std::vector<std::string> docs_;
    int fd_ = -1;
    bool closed_ = false;
};

// A TCP connection to 127.0.0.1:port, retried until the deadline; -1 when
// none could be made. The caller closes it.
int ConnectLoopback(uint16_t port, Deadline deadline);

// Connects to the send port (retrying until the deadline), sends text, and
// returns everything the gateway answers until it closes the connection or the
// deadline passes ("" when the connection could not be made).
std::string SendCommand(uint16_t port, const std::string& text, Deadline deadline);

}  // namespace e2e
