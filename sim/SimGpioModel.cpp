// Pin state, writes and edge events of the sysfs GPIO stand-in.
#include "SimGpioModel.h"

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

const char* ErrName(int err) {
    switch (err) {
    case EINVAL: return "EINVAL";
    case EBUSY: return "EBUSY";
    case EIO: return "EIO";
    case EPERM: return "EPERM";
    default: return "ENODEV";
    }
}

// Text as the log shows it: line ends visible, so a test can tell "in" from "in\n".
std::string Visible(const std::string& text) {
    std::string s;
    for (char c : text) s += c == '\n' ? std::string("\\n") : std::string(1, c);
    return s;
}

// sysfs compares words allowing one trailing line feed.
std::string Word(const std::string& text) {
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
}

// A GPIO number as the kernel parses it (any base, one trailing line feed);
// -1 when the text is no number of a pin.
int PinNumber(const std::string& text) {
    const std::string w = Word(text);
    char* end = nullptr;
    const long v = std::strtol(w.c_str(), &end, 0);
    if (w.empty() || *end != '\0' || v < 0 || v > 1023) return -1;
    return static_cast<int>(v);
}

// "gpio4" -> 4; -1 for anything else.
int PinDirName(const std::string& name) {
    if (name.rfind("gpio", 0) != 0 || name.size() == 4) return -1;
    for (size_t i = 4; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return -1;
    return std::atoi(name.c_str() + 4);
}

}  // namespace

bool ParseGpioFault(const std::string& name, GpioFault* fault) {
    static const struct {
        const char* name;
        GpioFault fault;
    } kFaults[] = {{"none", GpioFault::None},           {"unexport", GpioFault::Unexport},
                   {"export", GpioFault::Export},       {"direction", GpioFault::Direction},
                   {"edge", GpioFault::Edge},           {"value", GpioFault::Value},
                   {"no-edges", GpioFault::NoEdges}};
    for (const auto& f : kFaults) {
        if (name == f.name) {
            *fault = f.fault;
            return true;
        }
    }
    return false;
}

GpioModel::GpioModel(int ctsPin, Log log) : ctsPin_(ctsPin), log_(std::move(log)) {}

GpioWhere GpioModel::Resolve(const std::string& path) const {
    if (path == "/") return {GpioNode::Root, -1};
    if (path == "/export") return {GpioNode::Export, -1};
    if (path == "/unexport")
        return fault_ == GpioFault::Unexport ? GpioWhere{} : GpioWhere{GpioNode::Unexport, -1};
    const size_t slash = path.find('/', 1);
    const int pin = PinDirName(path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1));
    if (pin < 0 || !Exported(pin)) return {};
    if (slash == std::string::npos) return {GpioNode::PinDir, pin};
    const std::string file = path.substr(slash + 1);
    if (file == "direction") return {GpioNode::Direction, pin};
    if (file == "edge") return {GpioNode::Edge, pin};
    if (file == "value" && fault_ != GpioFault::Value) return {GpioNode::Value, pin};
    return {};
}

std::vector<std::string> GpioModel::List(const GpioWhere& dir) const {
    std::vector<std::string> names;
    if (dir.node == GpioNode::Root) {
        names.push_back("export");
        if (fault_ != GpioFault::Unexport) names.push_back("unexport");
        for (const auto& p : pins_) names.push_back("gpio" + std::to_string(p.first));
    } else if (dir.node == GpioNode::PinDir) {
        names = {"direction", "edge"};
        if (fault_ != GpioFault::Value) names.push_back("value");
    }
    return names;
}

int GpioModel::Refuse(const std::string& what, const std::string& text, int err) {
    log_("gpio-write " + what + " " + Visible(text) + " refused " + ErrName(err));
    return -err;
}

int GpioModel::Write(const GpioWhere& file, const std::string& text) {
    const int len = static_cast<int>(text.size());
    if (file.node == GpioNode::Export || file.node == GpioNode::Unexport) {
        const char* what = file.node == GpioNode::Export ? "export" : "unexport";
        const int pin = PinNumber(text);
        int err = pin < 0 ? EINVAL : file.node == GpioNode::Export ? ExportPin(pin) : UnexportPin(pin);
        if (err != 0) return Refuse(what, text, err);
        log_(std::string("gpio-write ") + what + " " + Visible(text));
        return len;
    }
    const std::string what = "gpio" + std::to_string(file.pin) + "/" +
        (file.node == GpioNode::Direction ? "direction" : file.node == GpioNode::Edge ? "edge" : "value");
    if (!Exported(file.pin)) return Refuse(what, text, ENODEV);
    const int err = WritePinFile(file, Word(text));
    if (err != 0) return Refuse(what, text, err);
    log_("gpio-write " + what + " " + Visible(text));
    return len;
}

int GpioModel::ExportPin(int pin) {
    if (fault_ == GpioFault::Export || Exported(pin)) return EBUSY;
    Pin p;
    p.id = nextPinId_++;
    p.high = pin == ctsPin_ ? ctsHigh_ : true;
    pins_[pin] = p;
    return 0;
}

int GpioModel::UnexportPin(int pin) {
    if (!Exported(pin)) return EINVAL;
    WakeHandlesOf(pin);
    pins_.erase(pin);
    return 0;
}

int GpioModel::WritePinFile(const GpioWhere& file, const std::string& word) {
    Pin& p = pins_[file.pin];
    switch (file.node) {
    case GpioNode::Direction:
        if (fault_ == GpioFault::Direction) return EIO;
        if (word != "in" && word != "out" && word != "high" && word != "low") return EINVAL;
        p.direction = word == "in" ? "in" : "out";
        if (word == "high" || word == "low") p.high = word == "high";
        return 0;
    case GpioNode::Edge:
        if (fault_ == GpioFault::Edge) return EIO;
        if (word != "none" && word != "rising" && word != "falling" && word != "both") return EINVAL;
        p.edge = word;
        return 0;
    case GpioNode::Value:
        if (p.direction != "out") return EPERM;
        if (word != "0" && word != "1") return EINVAL;
        p.high = word == "1";
        return 0;
    default:
        return EINVAL;
    }
}

std::string GpioModel::Read(const GpioWhere& file) const {
    auto it = pins_.find(file.pin);
    if (it == pins_.end()) return "";
    if (file.node == GpioNode::Direction) return it->second.direction + "\n";
    if (file.node == GpioNode::Edge) return it->second.edge + "\n";
    if (file.node == GpioNode::Value) return it->second.high ? "1\n" : "0\n";
    return "";
}

uint64_t GpioModel::OpenValue(int pin) {
    Handle h;
    h.pin = pin;
    auto it = pins_.find(pin);
    h.pinId = it == pins_.end() ? 0 : it->second.id;
    handles_[nextHandle_] = h;
    return nextHandle_++;
}

const GpioModel::Pin* GpioModel::PinOf(const Handle& h) const {
    auto it = pins_.find(h.pin);
    return it != pins_.end() && it->second.id == h.pinId ? &it->second : nullptr;
}

int GpioModel::ReadValue(uint64_t handle, std::string* text) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return -EBADF;
    const Pin* p = PinOf(it->second);
    if (!p) return -ENODEV;
    it->second.seen = p->events;
    *text = p->high ? "1\n" : "0\n";
    log_("gpio-read " + std::to_string(it->second.pin) + " " + Word(*text));
    return static_cast<int>(text->size());
}

unsigned GpioModel::PollValue(uint64_t handle, bool armed) {
    unsigned mask = POLLIN | POLLRDNORM;
    auto it = handles_.find(handle);
    if (it == handles_.end()) return mask | POLLERR;
    const Pin* p = PinOf(it->second);
    if (p && p->events == it->second.seen) {
        if (armed) log_("gpio-wait " + std::to_string(it->second.pin));
        return mask;
    }
    log_("gpio-poll " + std::to_string(it->second.pin) + " event");
    return mask | POLLPRI | POLLERR;
}

void GpioModel::CloseValue(uint64_t handle) { handles_.erase(handle); }

void GpioModel::WakeHandlesOf(int pin) {
    for (const auto& h : handles_)
        if (h.second.pin == pin) wakes_.push_back(h.first);
}

void GpioModel::SetCtsLevel(bool high) {
    ctsHigh_ = high;
    auto it = pins_.find(ctsPin_);
    if (it == pins_.end() || it->second.direction != "in" || it->second.high == high) return;
    Pin& p = it->second;
    p.high = high;
    log_("gpio-level " + std::to_string(ctsPin_) + (high ? " 1" : " 0"));
    const bool match = p.edge == "both" || p.edge == (high ? "rising" : "falling");
    if (!match || fault_ == GpioFault::NoEdges) return;
    ++p.events;
    log_("gpio-event " + std::to_string(ctsPin_));
    WakeHandlesOf(ctsPin_);
}

void GpioModel::RemoveCtsPin() {
    if (!Exported(ctsPin_)) return;
    log_("gpio-removed " + std::to_string(ctsPin_));
    UnexportPin(ctsPin_);
}

std::vector<uint64_t> GpioModel::TakeWakes() {
    std::vector<uint64_t> w;
    w.swap(wakes_);
    return w;
}

}  // namespace sim
