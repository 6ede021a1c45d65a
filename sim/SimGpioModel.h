// The pins behind the simulator's sysfs GPIO stand-in: what the kernel's
// /sys/class/gpio tree would hold and answer, without any file system. The
// FUSE server (SimGpioFs) maps paths and open files onto this model; the
// simulator drives the CTS pin's level from its CTS line. Results follow the
// kernel: byte counts on success, negative errno values on refusal.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

// Fault switches of the stand-in.
enum class GpioFault {
    None,
    Unexport,   // the unexport file is missing
    Export,     // writes to export are refused (EBUSY, as for a pin a driver holds)
    Direction,  // writes to direction are refused (EIO)
    Edge,       // writes to edge are refused (EIO, as for a pin without interrupt)
    Value,      // the value file is missing
    NoEdges,    // level changes raise no events
};

// "unexport", "export", "direction", "edge", "value", "no-edges", "none";
// false for anything else.
bool ParseGpioFault(const std::string& name, GpioFault* fault);

// What a path of the tree names.
enum class GpioNode { None, Root, Export, Unexport, PinDir, Direction, Edge, Value };

struct GpioWhere {
    GpioNode node = GpioNode::None;
    int pin = -1;
};

class GpioModel {
public:
    using Log = std::function<void(const std::string&)>;
    // ctsPin is the pin the simulator's CTS line drives; log receives one
    // line per write, level change and acknowledged read.
    GpioModel(int ctsPin, Log log);

    // Resolves a path relative to the tree's root ("/", "/export",
    // "/gpio4/value"); GpioNode::None for anything that does not exist now.
    GpioWhere Resolve(const std::string& path) const;
    // Entry names of a directory node.
    std::vector<std::string> List(const GpioWhere& dir) const;
    // Writes text to a file node: its length, or -EINVAL, -EBUSY, -EIO,
    // -EPERM as the kernel would answer.
    int Write(const GpioWhere& file, const std::string& text);
    // Contents of a readable file node other than value ("" for export and
    // unexport).
    std::string Read(const GpioWhere& file) const;

    // Value files are read through handles, one per open file, because
    // events are acknowledged per open file. A fresh handle reports one
    // event until its first read, as sysfs does.
    uint64_t OpenValue(int pin);
    // "0\n" or "1\n" into *text and acknowledges pending events; -ENODEV once
    // the pin was unexported.
    int ReadValue(uint64_t handle, std::string* text);
    // Poll mask: POLLIN|POLLRDNORM, plus POLLPRI|POLLERR while an event is
    // unacknowledged or the pin is gone (logged as "gpio-poll PIN event").
    // `armed` tells that the poller asked to be notified, so that without
    // an event it now sleeps until the next one (logged as "gpio-wait PIN"):
    // only after that line can an edge be told apart from the last one.
    unsigned PollValue(uint64_t handle, bool armed = false);
    void CloseValue(uint64_t handle);

    // Drives the CTS pin: high is CTS dropped, low is clear-to-send, so
    // clear-to-send is a falling edge.
    void SetCtsLevel(bool high);
    // Unexports the CTS pin as another process would.
    void RemoveCtsPin();
    void SetFault(GpioFault fault) { fault_ = fault; }
    bool Exported(int pin) const { return pins_.count(pin) != 0; }
    // Handles whose poll state changed since the last call, for the server
    // to notify their waiting pollers.
    std::vector<uint64_t> TakeWakes();

private:
    struct Pin {
        uint64_t id = 0;  // distinguishes a re-export from the pin it replaced
        std::string direction = "in";
        std::string edge = "none";
        bool high = true;
        uint64_t events = 1;  // sysfs counts from 1; handles start at 0
    };
    struct Handle {
        int pin = -1;
        uint64_t pinId = 0;
        uint64_t seen = 0;
    };
    const Pin* PinOf(const Handle& h) const;
    void WakeHandlesOf(int pin);
    int ExportPin(int pin);
    int UnexportPin(int pin);
    int WritePinFile(const GpioWhere& file, const std::string& word);
    int Refuse(const std::string& what, const std::string& text, int err);

    int ctsPin_;
    bool ctsHigh_ = true;
    Log log_;
    GpioFault fault_ = GpioFault::None;
    std::map<int, Pin> pins_;
    std::map<uint64_t, Handle> handles_;
    std::vector<uint64_t> wakes_;
    uint64_t nextHandle_ = 1, nextPinId_ = 1;
};

}  // namespace sim
