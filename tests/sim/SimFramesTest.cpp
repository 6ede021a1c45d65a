// The simulator's encoder, command parser and mesh answers against frames
// written out by hand from the host protocol's tables.
#include <gtest/gtest.h>

#include "Harness.h"
#include "SimFrames.h"
#include "SimMesh.h"

using e2e::Hex;
using namespace sim;

TEST(SimFrames, EncodesModuleFramesByTheTable) {
    EXPECT_EQ(Hex(AckFrame(0x0005)), "50020005");
    EXPECT_EQ(Hex(NackFrame(0x1234)), "51021234");
    EXPECT_EQ(Hex(DataFrame(0x0102, 16, 3, {0xAB})), "52060102001003ab");
    EXPECT_EQ(Hex(DataHapaFrame(0x0102, 524288, 1, {0x01})), "5308010200080000" "0101");
    EXPECT_EQ(Hex(UappDataFrame(0x0007, 8, 2, 0xF123, {0xEE})), "540800070008" "02f123ee");
    EXPECT_EQ(Hex(UappDataHapaFrame(0x0007, 1, 4, 0x0123, {0xEE, 0xFF})), "550b000700000001" "040123eeff");
    EXPECT_EQ(Hex(UappStatusFrame(0x57, 0x0009, 0x0203)), "570400090203");
    const uint8_t uid[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(Hex(NodeInfoReplyFrame(0x0101, uid, 7)), "5808010101020304" "0507");
    EXPECT_EQ(Hex(WesSetupRequestFrame(uid, 9)), "6106010203040509");
    EXPECT_EQ(Hex(WesStatusFrame(7)), "600107");
    EXPECT_EQ(Hex(NetCmdReplyFrame(0x0102, 0x33, {0x44})), "5a04010233" "44");
    EXPECT_EQ(Hex(RawFrame(0x5B, {0x01})), "5b0101");
}

TEST(SimFrames, NeighborListHasTwelveSlotsAndOptionalTail) {
    const Bytes f36 = NeighborListFrame({{0x0007, 0x40}}, false);
    ASSERT_EQ(f36.size(), 38u);
    EXPECT_EQ(Hex(Bytes(f36.begin(), f36.begin() + 8)), "5924000740ffff00");
    EXPECT_EQ(f36[37], 0x00);
    const Bytes f39 = NeighborListFrame({{0x0007, 0x40}}, true);
    ASSERT_EQ(f39.size(), 41u);
    EXPECT_EQ(f39[1], 39);
    EXPECT_TRUE(std::equal(f36.begin() + 2, f36.end(), f39.begin() + 2));
}

TEST(SimFrames, ParsesCommandStreamByLength) {
    CommandParser p;
    std::vector<Bytes> frames;
    const Bytes stream = {0x08, 0x00, 0x03, 0x03, 0x00, 0x05, 0x01, 0x10};
    p.Feed(stream.data(), stream.size(), &frames);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Hex(frames[0]), "0800");
    EXPECT_EQ(Hex(frames[1]), "0303000501");
    EXPECT_TRUE(p.HasPartial());
    EXPECT_EQ(Hex(p.TakePartial()), "10");
    EXPECT_FALSE(p.HasPartial());
}

TEST(SimFrames, ValidatesCommandLengthRules) {
    EXPECT_TRUE(IsValidCommand({0x08, 0x00}));
    EXPECT_FALSE(IsValidCommand({0x08, 0x01, 0x00}));
    EXPECT_TRUE(IsValidCommand({0x03, 0x03, 0x00, 0x01, 0x00}));
    EXPECT_FALSE(IsValidCommand({0x02, 0x04, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(IsValidCommand({0x10, 0x01, 0x05}));
    EXPECT_FALSE(IsValidCommand({0x07, 0x01, 0x05}));
}

TEST(SimMesh, AnswersCommands) {
    MeshOptions o;
    o.nodeCount = 3;
    Mesh m(o);
    const auto info = m.Answer({0x08, 0x00});
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0][0], 0x58);
    EXPECT_EQ(info[0][1], 8);
    EXPECT_EQ(info[0][2] << 8 | info[0][3], 0x0101);
    EXPECT_EQ(Hex(m.Answer({0x03, 0x03, 0x01, 0x02, 0x00})[0]), "50020102");
    EXPECT_EQ(Hex(m.Answer({0x03, 0x03, 0x0F, 0x02, 0x00})[0]), "51020f02");
    EXPECT_TRUE(m.Answer({0x02, 0x05, 0x01, 0x02, 0x00, 0x00, 0x01}).empty());
    EXPECT_EQ(Hex(m.Answer({0x20, 0x01, 0x09})[0]), "600109");
    Bytes wes(33, 0);
    wes[0] = 0x11;
    wes[1] = 31;
    for (int i = 0; i < 5; ++i) wes[2 + i] = m.Nodes()[2].uid[i];
    EXPECT_EQ(Hex(m.Answer(wes)[0]), "600100");
    wes[2] ^= 0xFF;
    EXPECT_EQ(Hex(m.Answer(wes)[0]), "600101");
    const auto nl = m.Answer({0x09, 0x00});
    ASSERT_EQ(nl[0].size(), 38u);
    EXPECT_EQ(nl[0][2] << 8 | nl[0][3], 0x0102);
    EXPECT_EQ(nl[0][5] << 8 | nl[0][6], 0x0103);
    EXPECT_EQ(nl[0][8], 0xFF);
}

TEST(SimMesh, SameSeedSameTraffic) {
    MeshOptions o;
    o.seed = 42;
    Mesh a(o), b(o);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(a.NextReport(), b.NextReport());
}
