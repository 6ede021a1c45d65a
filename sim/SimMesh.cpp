// Simulated mesh: builds the nodes from the seed and plays their traffic.
#include "SimMesh.h"

#include <algorithm>

namespace sim {

Mesh::Mesh(const MeshOptions& o) : opt_(o), rng_(o.seed) {
    if (opt_.nodeCount < 1) opt_.nodeCount = 1;
    for (unsigned i = 0; i < opt_.nodeCount; ++i) {
        Node n{};
        n.id = static_cast<uint16_t>(opt_.firstNodeId + i);
        for (auto& b : n.uid) b = static_cast<uint8_t>(Rand(256));
        n.type = static_cast<uint8_t>(i == 0 ? 1 : 2 + i % 3);
        nodes_.push_back(n);
    }
    // Every node hears up to 12 others, with a made-up RSSI.
    for (auto& n : nodes_)
        for (const auto& m : nodes_)
            if (m.id != n.id && n.neighbors.size() < 12)
                n.neighbors.push_back({m.id, static_cast<uint8_t>(30 + Rand(60))});
}

const Node* Mesh::Find(uint16_t id) const {
    for (const auto& n : nodes_)
        if (n.id == id) return &n;
    return nullptr;
}

Node& Mesh::RandomRemote() {
    if (nodes_.size() == 1) return nodes_[0];
    return nodes_[1 + Rand(static_cast<unsigned>(nodes_.size() - 1))];
}

Bytes Mesh::Payload() {
    return Garbage(1 + Rand(27));
}

Bytes Mesh::Garbage(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(Rand(256));
    return b;
}

uint16_t Mesh::NextSeq(Node& n) {
    uint16_t s = n.seq;
    n.seq = static_cast<uint16_t>((n.seq + 1) & 0x0FFF);
    if (opt_.seqNoise) s = static_cast<uint16_t>(s | (Rand(16) << 12));
    return s;
}

std::vector<Bytes> Mesh::Answer(const Bytes& c) {
    if (!IsValidCommand(c)) return {};
    const Node& self = nodes_[0];
    const uint16_t dest = c.size() >= 4 ? static_cast<uint16_t>(c[2] << 8 | c[3]) : 0;
    switch (c[0]) {
    case 0x03:
        return {Find(dest) ? AckFrame(dest) : NackFrame(dest)};
    case 0x08:
        return {NodeInfoReplyFrame(self.id, self.uid, self.type)};
    case 0x09:
        return {NeighborListFrame(self.neighbors, opt_.neighborList39)};
    case 0x0A:
        return {NetCmdReplyFrame(dest, c[4], Bytes(c.begin() + 5, c.end()))};
    case 0x0C: {
        uint8_t data[16] = {};
        for (size_t i = 0; i < nodes_.size() && i < 8; ++i) {
            data[2 * i] = static_cast<uint8_t>(nodes_[i].id >> 8);
            data[2 * i + 1] = static_cast<uint8_t>(nodes_[i].id);
        }
        return {RouteInfoReplyFrame(data)};
    }
    case 0x10:
    case 0x20:
        return {WesStatusFrame(c[2])};
    case 0x11: {
        bool known = false;
        for (const auto& n : nodes_)
            known = known || std::equal(n.uid, n.uid + 5, c.begin() + 2);
        return {WesStatusFrame(known ? 0x00 : 0x01)};
    }
    default:
        return {};
    }
}

Bytes Mesh::FrameOfKind(uint8_t op) {
    Node& n = RandomRemote();
    const uint8_t port = static_cast<uint8_t>(Rand(5));
    switch (op) {
    case 0x50: return AckFrame(n.id);
    case 0x51: return NackFrame(n.id);
    case 0x52: return DataFrame(n.id, static_cast<uint16_t>(Rand(800)), port, Payload());
    case 0x53: return DataHapaFrame(n.id, Rand(5u << 19), port, Payload());
    case 0x54: return UappDataFrame(n.id, static_cast<uint16_t>(Rand(800)), port, NextSeq(n), Payload());
    case 0x55: return UappDataHapaFrame(n.id, Rand(5u << 19), port, NextSeq(n), Payload());
    case 0x56:
    case 0x57: return UappStatusFrame(op, n.id, static_cast<uint16_t>(Rand(4)));
    case 0x58: return NodeInfoReplyFrame(n.id, n.uid, n.type);
    case 0x59: return NeighborListFrame(n.neighbors, opt_.neighborList39);
    case 0x5A: return NetCmdReplyFrame(n.id, static_cast<uint8_t>(Rand(256)), Payload());
    case 0x60: return WesStatusFrame(static_cast<uint8_t>(Rand(4)));
    case 0x61: return WesSetupRequestFrame(n.uid, static_cast<uint8_t>(Rand(8)));
    default: return RawFrame(op, Payload());
    }
}

Bytes Mesh::NextReport() {
    const unsigned r = Rand(100);
    if (r < 5) return FrameOfKind(0x61);
    if (r < 8) return FrameOfKind(r < 7 ? 0x56 : 0x57);
    return FrameOfKind(static_cast<uint8_t>(0x52 + Rand(4)));
}

Bytes Mesh::UnknownFrame() {
    static const uint8_t ops[] = {0x07, 0x5B, 0x5D, 0x5E, 0x5F, 0x62, 0x7F, 0xC3};
    return RawFrame(ops[Rand(sizeof ops)], Payload());
}

}  // namespace sim
