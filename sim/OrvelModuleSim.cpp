// OrvelModuleSim: stands in for the mesh-radio module on a pseudo-terminal so
// that the gateway can be run and tested end to end without hardware. One
// thread, one poll loop: it reads the gateway's commands from the pty master,
// answers them from the simulated mesh, reports node traffic, and drives the
// CTS line published to the modem-line shim and, with --gpio-sysfs, the pin of
// the sysfs GPIO stand-in, whose requests this loop serves as well.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "SimFrames.h"
#include "SimGpioFs.h"
#include "SimGpioModel.h"
#include "SimMesh.h"
#include "SimOptions.h"
#include "SimPty.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char b = 's';
    ssize_t r = write(g_signalPipe[1], &b, 1);
    (void)r;
}

std::string Hex(const Bytes& b) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

// Parses a hex line; false when it holds anything else.
bool ParseHex(const std::string& line, Bytes* out) {
    std::string digits;
    for (char c : line)
        if (c != ' ' && c != '\t' && c != '\r') digits += c;
    if (digits.empty() || digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(digits.substr(i, 2).c_str(), "%2x", &v) != 1 ||
            !std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

struct Action {
    enum Kind { Write, Pause, Cts, Hold, Drop, GpioSwitch, GpioUnexport, Vanish } kind;
    Bytes data;
    int ms = 0;
    GpioFault fault = GpioFault::None;
    bool logged = false;  // "tx" line written for this frame
};

class Simulator {
public:
    explicit Simulator(const Options& o)
        : opt_(o), mesh_(o.mesh), gpio_(o.gpioPin, [this](const std::string& l) { Log(l); }),
          gpioFs_(&gpio_) {
        gpio_.SetFault(o.gpioFault);
    }
    int Run();

private:
    bool Setup();
    void Log(const std::string& line);
    bool ControlLine(const std::string& line);
    void ReadStdin();
    void ReadMaster();
    void Timers(Clock::time_point now);
    void QueueReport();
    void QueueFlood();
    bool Step(Clock::time_point now);  // false when the queue cannot move now
    Clock::time_point NextWake(Clock::time_point now) const;
    void SetCts(bool set);
    void RaiseCtsNow(Clock::time_point now);
    bool WriteFrame(const Bytes& frame);
    void WriteAtRealtimePriority();
    void ServeGpio();
    void Finish();

    Options opt_;
    Mesh mesh_;
    Pty pty_;
    CtsLine cts_;
    GpioModel gpio_;
    GpioFs gpioFs_;
    FILE* log_ = stderr;
    CommandParser parser_;
    std::deque<Action> queue_;
    size_t written_ = 0;  // bytes of the head Write already out
    std::string stdinBuf_;
    bool stdinOpen_ = false, running_ = true;
    unsigned long reports_ = 0, flooded_ = 0;
    Clock::time_point start_, lastWrite_, lastCts_, lastRx_, pauseUntil_;
    Clock::time_point nextCts_, nextReport_, dropAt_, floodStart_, floodEnd_;
    bool dropPending_ = false;
    bool ctsInFrame_ = false;  // --piece-bytes: a CTS due, raised after the next piece
};

void Simulator::Log(const std::string& line) {
    std::fprintf(log_, "%s\n", line.c_str());
    std::fflush(log_);
}

bool Simulator::Setup() {
    if (!opt_.logPath.empty()) {
        log_ = std::fopen(opt_.logPath.c_str(), "w");
        if (!log_) {
            std::perror(opt_.logPath.c_str());
            return false;
        }
    }
    // First, while this process has a single thread: the mount namespace.
    if (opt_.gpioSysfs && !gpioFs_.MountSysfs()) return false;
    if (!pty_.Open(opt_.link)) return false;
    if (!opt_.ctsSocket.empty() && !cts_.Listen(opt_.ctsSocket)) return false;
    if (pipe(g_signalPipe) != 0) return false;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%s\n", pty_.SlavePath().c_str());
    std::fflush(stdout);
    if (!opt_.scriptPath.empty()) {
        FILE* f = std::fopen(opt_.scriptPath.c_str(), "r");
        if (!f) {
            std::perror(opt_.scriptPath.c_str());
            return false;
        }
        char line[2048];
        while (std::fgets(line, sizeof line, f)) ControlLine(line);
        std::fclose(f);
    }
    stdinOpen_ = opt_.stdinFrames;
    start_ = lastRx_ = pauseUntil_ = Clock::now();
    lastWrite_ = lastCts_ = start_ - Ms(10000);
    nextCts_ = start_ + Ms(opt_.ctsIntervalMs);
    nextReport_ = start_ + Ms(opt_.rate ? 1000 / opt_.rate : 0);
    return true;
}

bool Simulator::ControlLine(const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty() || line[0] == '#') return true;
    int ms = 0;
    Bytes b;
    GpioFault fault = GpioFault::None;
    if (std::sscanf(line.c_str(), "pause %d", &ms) == 1) queue_.push_back({Action::Pause, {}, ms});
    else if (line == "cts") queue_.push_back({Action::Cts, {}, 0});
    else if (line == "hold") queue_.push_back({Action::Hold, {}, 0});
    else if (line == "drop") queue_.push_back({Action::Drop, {}, 0});
    else if (line == "gpio-unexport") queue_.push_back({Action::GpioUnexport, {}, 0});
    else if (line.rfind("gpio-fault ", 0) == 0 && ParseGpioFault(line.substr(11), &fault))
        queue_.push_back({Action::GpioSwitch, {}, 0, fault});
    else if (line == "vanish") queue_.push_back({Action::Vanish, {}, 0});
    else if (ParseHex(line, &b)) queue_.push_back({Action::Write, b, 0});
    else {
        std::fprintf(stderr, "OrvelModuleSim: bad control line: %s\n", line.c_str());
        return false;
    }
    return true;
}

void Simulator::ReadStdin() {
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
        stdinOpen_ = false;
        return;
    }
    stdinBuf_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = stdinBuf_.find('\n')) != std::string::npos) {
        ControlLine(stdinBuf_.substr(0, nl));
        stdinBuf_.erase(0, nl + 1);
    }
}

void Simulator::ReadMaster() {
    uint8_t buf[4096];
    ssize_t n = read(pty_.Master(), buf, sizeof buf);
    if (n <= 0) return;
    lastRx_ = Clock::now();
    std::vector<Bytes> frames;
    parser_.Feed(buf, static_cast<size_t>(n), &frames);
    for (const auto& f : frames) {
        Log("rx " + Hex(f));
        if (!opt_.answer) continue;
        for (auto& reply : mesh_.Answer(f)) queue_.push_back({Action::Write, reply, 0});
        if (!opt_.noCts) queue_.push_back({Action::Cts, {}, 0});
    }
}

void Simulator::QueueReport() {
    ++reports_;
    const bool fault = opt_.fault != Fault::None && reports_ % opt_.faultEvery == 0;
    Bytes f = mesh_.NextReport();
    if (!fault) {
        queue_.push_back({Action::Write, f, 0});
        return;
    }
    switch (opt_.fault) {
    case Fault::Garbage:
        queue_.push_back({Action::Write, mesh_.Garbage(opt_.garbageBytes), 0});
        queue_.push_back({Action::Write, f, 0});
        break;
    case Fault::Split: {
        const size_t half = f.size() / 2;
        queue_.push_back({Action::Write, Bytes(f.begin(), f.begin() + half), 0});
        queue_.push_back({Action::Pause, {}, opt_.splitPauseMs});
        queue_.push_back({Action::Write, Bytes(f.begin() + half, f.end()), 0});
        break;
    }
    case Fault::BadHeader:
        queue_.push_back({Action::Write, Bytes{0x50, 0x05}, 0});
        queue_.push_back({Action::Write, f, 0});
        break;
    default:
        queue_.push_back({Action::Write, mesh_.UnknownFrame(), 0});
        break;
    }
}

void Simulator::QueueFlood() {
    if (flooded_ == 0) floodStart_ = Clock::now();
    while (flooded_ < opt_.floodCount && queue_.size() < 64) {
        queue_.push_back({Action::Write, mesh_.FrameOfKind(static_cast<uint8_t>(opt_.floodOpcode)), 0});
        ++flooded_;
    }
}

void Simulator::Timers(Clock::time_point now) {
    if (parser_.HasPartial() && now - lastRx_ > Ms(100))
        Log("rx-partial " + Hex(parser_.TakePartial()));
    if (dropPending_ && now >= dropAt_) {
        dropPending_ = false;
        SetCts(false);
    }
    if (opt_.vanishAfterMs >= 0 && now - start_ >= Ms(opt_.vanishAfterMs)) {
        queue_.clear();
        queue_.push_back({Action::Vanish, {}, 0});
    }
    if (!opt_.noCts && opt_.ctsIntervalMs > 0 && now >= nextCts_) {
        nextCts_ = now + Ms(opt_.ctsIntervalMs);
        bool queued = false;
        for (const auto& a : queue_) queued = queued || a.kind == Action::Cts;
        if (opt_.pieceBytes == 0) {
            if (!queued) queue_.push_back({Action::Cts, {}, 0});
        } else if (queue_.empty() || queue_.front().kind != Action::Write) {
            RaiseCtsNow(now);  // an idle line; otherwise inside the next frame
        } else {
            ctsInFrame_ = true;
        }
    }
    if (opt_.rate && now >= nextReport_) {
        nextReport_ = now + Ms(1000 / opt_.rate);
        if (queue_.size() < 256) QueueReport();
    }
    if (opt_.floodOpcode >= 0 && flooded_ < opt_.floodCount) QueueFlood();
}

bool Simulator::Step(Clock::time_point now) {
    if (queue_.empty() || now < pauseUntil_) return false;
    Action& a = queue_.front();
    const Ms gap(opt_.gapMs);
    switch (a.kind) {
    case Action::Write: {
        if (now - lastCts_ < gap) return false;
        // Logged before the first byte goes out: a peer that has read the
        // frame must find its line in the log already.
        if (!a.logged) Log("tx " + Hex(a.data));
        a.logged = true;
        if (!WriteFrame(a.data)) return false;  // the rest on a later pass
        written_ = 0;
        if (opt_.floodOpcode >= 0 && flooded_ == opt_.floodCount) floodEnd_ = lastWrite_;
        break;
    }
    case Action::Pause:
        pauseUntil_ = now + Ms(a.ms);
        break;
    case Action::Cts:
    case Action::Hold:
        if (now - lastWrite_ < gap) return false;
        SetCts(true);
        lastCts_ = now;
        dropAt_ = now + Ms(5);
        dropPending_ = a.kind == Action::Cts;
        break;
    case Action::Drop:
        dropPending_ = false;
        SetCts(false);
        break;
    case Action::GpioSwitch:
        gpio_.SetFault(a.fault);
        break;
    case Action::GpioUnexport:
        gpio_.RemoveCtsPin();
        gpioFs_.NotifyWakes();
        break;
    case Action::Vanish:
        Log("vanish");
        pty_.Close();
        running_ = false;
        break;
    }
    queue_.pop_front();
    return true;
}

// The earliest moment a timer or the queue's front falls due, at most 5 ms
// ahead: the loop sleeps exactly that long, so a CTS interval of a few
// milliseconds is kept instead of being rounded up to the idle step.
Clock::time_point Simulator::NextWake(Clock::time_point now) const {
    Clock::time_point wake = now + Ms(5);
    auto sooner = [&wake](Clock::time_point t) { wake = std::min(wake, t); };
    if (!opt_.noCts && opt_.ctsIntervalMs > 0) sooner(nextCts_);
    if (dropPending_) sooner(dropAt_);
    if (opt_.rate) sooner(nextReport_);
    if (!queue_.empty()) {
        // A gap already over cannot be what holds the front back: a write
        // waits for the pty to take bytes (POLLOUT), not for the clock.
        const Ms gap(opt_.gapMs);
        const auto gapEnd = (queue_.front().kind == Action::Write ? lastCts_ : lastWrite_) + gap;
        if (now < pauseUntil_) sooner(pauseUntil_);
        else if (now < gapEnd) sooner(gapEnd);
    }
    return std::max(wake, now);
}

void Simulator::SetCts(bool set) {
    cts_.Publish(set);
    Log(set ? "cts 1" : "cts 0");
    gpio_.SetCtsLevel(!set);
    gpioFs_.NotifyWakes();
}

// Writes what is left of the frame: at once, or with --piece-bytes in
// pieces back to back, like a UART's FIFO, with a CTS that fell due raised
// between two of them. False while the pty takes no more (the rest waits for
// a later pass).
bool Simulator::WriteFrame(const Bytes& frame) {
    while (written_ < frame.size()) {
        size_t want = frame.size() - written_;
        if (opt_.pieceBytes != 0) want = std::min<size_t>(want, opt_.pieceBytes);
        ssize_t n = write(pty_.Master(), frame.data() + written_, want);
        if (n <= 0) return false;
        written_ += static_cast<size_t>(n);
        lastWrite_ = Clock::now();
        if (ctsInFrame_ && written_ < frame.size()) {
            ctsInFrame_ = false;
            RaiseCtsNow(lastWrite_);
        }
    }
    return true;
}

// The periodic CTS of --piece-bytes: raised at once, between two pieces of
// whatever is being written, and dropped after half the interval so that
// the next raise is an edge again.
void Simulator::RaiseCtsNow(Clock::time_point now) {
    if (dropPending_) SetCts(false);
    SetCts(true);
    lastCts_ = now;
    dropAt_ = now + std::max(Ms(1), Ms(opt_.ctsIntervalMs / 2));
    dropPending_ = true;
}

void Simulator::ServeGpio() {
    if (!gpioFs_.Serve()) {
        Log("gpio-unmounted");
        gpioFs_.Unmount();
    }
}

void Simulator::Finish() {
    if (opt_.floodOpcode >= 0) {
        const double s = std::chrono::duration<double>(
            (floodEnd_ > floodStart_ ? floodEnd_ : Clock::now()) - floodStart_).count();
        std::fprintf(stderr, "flood: %lu frames in %.3f s, %.0f frames/s\n", flooded_, s,
                     s > 0 ? static_cast<double>(flooded_) / s : 0.0);
    }
    pty_.Close();
    cts_.Close();
    gpioFs_.Unmount();
    if (log_ != stderr) std::fclose(log_);
}

// A UART hands a frame over without pausing in its middle, but a loaded
// machine can hold this process up there (between two pieces, or until the
// gateway has made room in the pty) for longer than the gateway's settling
// time. So --piece-bytes runs at real-time priority where that is allowed.
void Simulator::WriteAtRealtimePriority() {
    sched_param param{};
    param.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
        Log("realtime-refused " + std::string(strerror(errno)));
}

int Simulator::Run() {
    if (!Setup()) return 1;
    if (opt_.pieceBytes != 0) WriteAtRealtimePriority();
    while (running_) {
        pollfd p[5] = {{g_signalPipe[0], POLLIN, 0}, {pty_.Master(), POLLIN, 0},
                       {cts_.ListenFd(), POLLIN, 0}, {stdinOpen_ ? 0 : -1, POLLIN, 0},
                       {gpioFs_.Fd(), POLLIN, 0}};
        if (!queue_.empty() && queue_.front().kind == Action::Write) p[1].events |= POLLOUT;
        const bool busy = opt_.floodOpcode >= 0 && flooded_ < opt_.floodCount;
        const auto before = Clock::now();
        const auto wait = busy ? Ms(1) : NextWake(before) - before;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ppoll(p, 5, &timeout, nullptr);
        if (p[0].revents) break;
        if (p[1].revents & POLLIN) ReadMaster();
        if ((p[2].revents & POLLIN) && cts_.AcceptAll())
            Log("cts-client " + std::to_string(cts_.Clients()));
        if (p[3].revents) ReadStdin();
        if (p[4].revents) ServeGpio();
        const auto now = Clock::now();
        Timers(now);
        while (running_ && Step(Clock::now())) {
        }
    }
    Finish();
    return 0;
}

}  // namespace
}  // namespace sim

int main(int argc, char** argv) {
    sim::Options o;
    const int rc = sim::ParseOptions(argc, argv, &o);
    if (rc >= 0) return rc;
    sim::Simulator s(o);
    return s.Run();
}
