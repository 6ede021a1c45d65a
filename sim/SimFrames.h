// Frame building and parsing on the module's side of the host protocol: the
// simulator's own encoder of module-to-host frames and decoder of the
// commands the gateway writes. Written independently of the gateway's host
// API so that a mistake on one side shows up on the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct Neighbor {
    uint16_t nodeId;
    uint8_t rssi;
};

// Each builder returns the complete frame: opcode, length byte, body.
Bytes AckFrame(uint16_t nodeId);                       // 0x50
Bytes NackFrame(uint16_t nodeId);                      // 0x51
Bytes DataFrame(uint16_t nodeId, uint16_t age, uint8_t port, const Bytes& payload);      // 0x52
Bytes DataHapaFrame(uint16_t nodeId, uint32_t age, uint8_t port, const Bytes& payload);  // 0x53
Bytes UappDataFrame(uint16_t nodeId, uint16_t age, uint8_t port, uint16_t seqWire,
                    const Bytes& payload);             // 0x54, seqWire sent as given
Bytes UappDataHapaFrame(uint16_t nodeId, uint32_t age, uint8_t port, uint16_t seqWire,
                        const Bytes& payload);         // 0x55
Bytes UappStatusFrame(uint8_t opcode, uint16_t nodeId, uint16_t status);  // 0x56 / 0x57
Bytes NodeInfoReplyFrame(uint16_t nodeId, const uint8_t uid[5], uint8_t nodeType);  // 0x58
// 0x59: up to 12 neighbours, the other slots 0xFF 0xFF 0x00; L = 39 adds 3 zero bytes.
Bytes NeighborListFrame(const std::vector<Neighbor>& neighbors, bool long39);
Bytes NetCmdReplyFrame(uint16_t nodeId, uint8_t cmd, const Bytes& payload);  // 0x5A
Bytes RouteInfoReplyFrame(const uint8_t data[16]);     // 0x5C
Bytes WesStatusFrame(uint8_t status);                  // 0x60
Bytes WesSetupRequestFrame(const uint8_t uid[5], uint8_t appFunctionType);  // 0x61
// Any opcode with the body as given (length byte = body size, at most 255).
Bytes RawFrame(uint8_t opcode, const Bytes& body);

// True when a host-to-module frame (opcode, L, body) has the length its
// opcode requires; unknown opcodes answer false.
bool IsValidCommand(const Bytes& frame);

// Cuts the gateway's byte stream into frames by their length byte.
class CommandParser {
public:
    // Feeds bytes; every complete frame is appended to *frames.
    void Feed(const uint8_t* data, size_t n, std::vector<Bytes>* frames);
    // Drops and returns a partial frame (after a quiet spell).
    Bytes TakePartial();
    bool HasPartial() const { return !buf_.empty(); }

private:
    Bytes buf_;
};

}  // namespace sim
