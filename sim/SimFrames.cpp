// Module-side frame encoder and command parser of the simulator.
#include "SimFrames.h"

namespace sim {
namespace {

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

void Put32(Bytes& b, uint32_t v) {
    Put16(b, static_cast<uint16_t>(v >> 16));
    Put16(b, static_cast<uint16_t>(v & 0xFFFF));
}

Bytes Finish(uint8_t opcode, const Bytes& body) {
    Bytes f;
    f.reserve(body.size() + 2);
    f.push_back(opcode);
    f.push_back(static_cast<uint8_t>(body.size()));
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

}  // namespace

Bytes RawFrame(uint8_t opcode, const Bytes& body) {
    Bytes b(body.begin(), body.size() > 255 ? body.begin() + 255 : body.end());
    return Finish(opcode, b);
}

Bytes AckFrame(uint16_t nodeId) {
    Bytes b;
    Put16(b, nodeId);
    return Finish(0x50, b);
}

Bytes NackFrame(uint16_t nodeId) {
    Bytes b;
    Put16(b, nodeId);
    return Finish(0x51, b);
}

Bytes DataFrame(uint16_t nodeId, uint16_t age, uint8_t port, const Bytes& payload) {
    Bytes b;
    Put16(b, nodeId);
    Put16(b, age);
    b.push_back(port);
    b.insert(b.end(), payload.begin(), payload.end());
    return Finish(0x52, b);
}

Bytes DataHapaFrame(uint16_t nodeId, uint32_t age, uint8_t port, const Bytes& payload) {
    Bytes b;
    Put16(b, nodeId);
    Put32(b, age);
    b.push_back(port);
    b.insert(b.end(), payload.begin(), payload.end());
    return Finish(0x53, b);
}

Bytes UappDataFrame(uint16_t nodeId, uint16_t age, uint8_t port, uint16_t seqWire,
                    const Bytes& payload) {
    Bytes b;
    Put16(b, nodeId);
    Put16(b, age);
    b.push_back(port);
    Put16(b, seqWire);
    b.insert(b.end(), payload.begin(), payload.end());
    return Finish(0x54, b);
}

Bytes UappDataHapaFrame(uint16_t nodeId, uint32_t age, uint8_t port, uint16_t seqWire,
                        const Bytes& payload) {
    Bytes b;
    Put16(b, nodeId);
    Put32(b, age);
    b.push_back(port);
    Put16(b, seqWire);
    b.insert(b.end(), payload.begin(), payload.end());
    return Finish(0x55, b);
}

Bytes UappStatusFrame(uint8_t opcode, uint16_t nodeId, uint16_t status) {
    Bytes b;
    Put16(b, nodeId);
    Put16(b, status);
    return Finish(opcode, b);
}

Bytes NodeInfoReplyFrame(uint16_t nodeId, const uint8_t uid[5], uint8_t nodeType) {
    Bytes b;
    Put16(b, nodeId);
    b.insert(b.end(), uid, uid + 5);
    b.push_back(nodeType);
    return Finish(0x58, b);
}

Bytes NeighborListFrame(const std::vector<Neighbor>& neighbors, bool long39) {
    Bytes b;
    for (size_t i = 0; i < 12; ++i) {
        if (i < neighbors.size()) {
            Put16(b, neighbors[i].nodeId);
            b.push_back(neighbors[i].rssi);
        } else {
            b.insert(b.end(), {0xFF, 0xFF, 0x00});
        }
    }
    if (long39) b.insert(b.end(), {0x00, 0x00, 0x00});
    return Finish(0x59, b);
}

Bytes NetCmdReplyFrame(uint16_t nodeId, uint8_t cmd, const Bytes& payload) {
    Bytes b;
    Put16(b, nodeId);
    b.push_back(cmd);
    b.insert(b.end(), payload.begin(), payload.end());
    return RawFrame(0x5A, b);
}

Bytes RouteInfoReplyFrame(const uint8_t data[16]) {
    return Finish(0x5C, Bytes(data, data + 16));
}

Bytes WesStatusFrame(uint8_t status) { return Finish(0x60, Bytes{status}); }

Bytes WesSetupRequestFrame(const uint8_t uid[5], uint8_t appFunctionType) {
    Bytes b(uid, uid + 5);
    b.push_back(appFunctionType);
    return Finish(0x61, b);
}

bool IsValidCommand(const Bytes& f) {
    if (f.size() < 2 || f.size() != static_cast<size_t>(f[1]) + 2) return false;
    const unsigned l = f[1];
    switch (f[0]) {
    case 0x02: return l >= 5 && l <= 32;
    case 0x03: return l >= 3 && l <= 30;
    case 0x0A: return l >= 3;
    case 0x08: case 0x09: case 0x0C: return l == 0;
    case 0x10: case 0x20: return l == 1;
    case 0x11: return l == 31;
    default: return false;
    }
}

void CommandParser::Feed(const uint8_t* data, size_t n, std::vector<Bytes>* frames) {
    for (size_t i = 0; i < n; ++i) {
        buf_.push_back(data[i]);
        if (buf_.size() >= 2 && buf_.size() == static_cast<size_t>(buf_[1]) + 2) {
            frames->push_back(buf_);
            buf_.clear();
        }
    }
}

Bytes CommandParser::TakePartial() {
    Bytes b;
    b.swap(buf_);
    return b;
}

}  // namespace sim
