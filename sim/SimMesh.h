// The simulated mesh behind the module: nodes with ids, unique ids, types and
// neighbour lists, the module's answers to the gateway's commands, and the
// traffic the nodes report on their own. Deterministic for a given seed.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "SimFrames.h"

namespace sim {

struct Node {
    uint16_t id;
    uint8_t uid[5];
    uint8_t type;
    std::vector<Neighbor> neighbors;
    uint16_t seq;  // next uapp sequence number (12 bits)
};

struct MeshOptions {
    unsigned nodeCount = 4;       // node 0 is the module's own node
    uint16_t firstNodeId = 0x0101;
    uint32_t seed = 1;
    bool neighborList39 = false;  // 0x59 replies with L = 39
    bool seqNoise = false;        // set the top 4 bits of sequence fields at random
};

class Mesh {
public:
    explicit Mesh(const MeshOptions& o);

    // The frames answering one command frame from the gateway (none for 0x02,
    // unknown opcodes and malformed commands).
    std::vector<Bytes> Answer(const Bytes& command);
    // One spontaneous report: mostly 0x52..0x55 data, now and then 0x61 and
    // 0x56 / 0x57.
    Bytes NextReport();
    // A frame of an opcode the gateway has no message for.
    Bytes UnknownFrame();
    // n pseudo-random bytes.
    Bytes Garbage(size_t n);
    // A frame of the given opcode with plausible content (for floods).
    Bytes FrameOfKind(uint8_t opcode);

    const std::vector<Node>& Nodes() const { return nodes_; }
    const Node* Find(uint16_t id) const;

private:
    unsigned Rand(unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound - 1)(rng_); }
    Node& RandomRemote();
    Bytes Payload();
    uint16_t NextSeq(Node& n);

    MeshOptions opt_;
    std::mt19937 rng_;
    std::vector<Node> nodes_;
};

}  // namespace sim
