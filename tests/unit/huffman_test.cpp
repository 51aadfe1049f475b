#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/block_stream.h"
#include "engine/huffman.h"
#include "plain_huffman.h"

namespace {

// Puts bytes straight into the block buffer, so that the bit reader takes them as
// payload without any file behind it.
void FeedBytes(const std::vector<uint8_t>& bytes) {
    ASSERT_LE(bytes.size(), sizeof BlockStream.buffer);
    std::copy(bytes.begin(), bytes.end(), BlockStream.buffer);
    BlockStream.position = 0;
    BlockStream.length = static_cast<int32_t>(bytes.size());
    Bits.used = 0;
}

void FeedBits(const std::string& bits) {
    std::vector<uint8_t> bytes((bits.size() + 7) / 8 + 1, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') bytes[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
    FeedBytes(bytes);
}

// The code of a symbol as the string of bits read from the root.
std::string CodeOf(const HuffmanModel& m, int symbol) {
    std::string code;
    int node = symbol;
    // Walks up by searching for each parent; the tree is small enough for that.
    while (node != m.list[0]) {
        for (int p = SymbolCount; p < NodeCount; ++p) {
            if (m.nodes[p].child0 == node) {
                code.insert(code.begin(), '0');
                node = p;
                break;
            }
            if (m.nodes[p].child1 == node) {
                code.insert(code.begin(), '1');
                node = p;
                break;
            }
        }
    }
    return code;
}

HuffmanModel Fresh(const int32_t* counts) {
    static HuffmanModel m;
    InitModel(m, counts);
    BuildTree(m);
    return m;
}

}  // namespace

TEST(HuffmanModel, InitialLiteralCodesAreTheKnownNineBitCodes) {
    HuffmanModel m = Fresh(LiteralInitialCounts);
    EXPECT_EQ(m.list[0], RootNode);
    EXPECT_EQ(CodeOf(m, 0), "010101010");
    EXPECT_EQ(CodeOf(m, 1), "010101011");
    EXPECT_EQ(CodeOf(m, 2), "010101000");
    EXPECT_EQ(CodeOf(m, 255), "001010101");
    EXPECT_EQ(CodeOf(m, 511), "101010101");
    EXPECT_EQ(CodeOf(m, 65), "011101011");
    for (int s = 0; s < SymbolCount; ++s) ASSERT_EQ(CodeOf(m, s).size(), 9u) << s;
}

TEST(HuffmanModel, InitialDistanceCodesHaveTheKnownLengths) {
    HuffmanModel m = Fresh(DistanceInitialCounts);
    EXPECT_EQ(CodeOf(m, 0), "01101010");
    EXPECT_EQ(CodeOf(m, 63), "01010101");
    EXPECT_EQ(CodeOf(m, 64), "001101010");
    for (int s = 0; s < SymbolCount; ++s) {
        size_t expected = s < 64 ? 8 : (s < 128 || s >= 256) ? 9 : 10;
        ASSERT_EQ(CodeOf(m, s).size(), expected) << s;
    }
}

TEST(HuffmanModel, EqualCountsKeepThePreviousBuildsOrderNotSymbolOrder) {
    static HuffmanModel m;
    InitModel(m, LiteralInitialCounts);
    m.frequency[7] = 5;  // 7 moves in front of 3
    BuildTree(m);
    ASSERT_LT(m.rank[7], m.rank[3]);
    m.frequency[3] = 5;  // now equal: 7 stays in front
    BuildTree(m);
    EXPECT_LT(m.rank[7], m.rank[3]);
    std::string code7 = CodeOf(m, 7);
    // And building again from the same counts gives the same tree.
    BuildTree(m);
    EXPECT_EQ(CodeOf(m, 7), code7);
    EXPECT_LT(m.rank[7], m.rank[3]);
}

TEST(HuffmanModel, SkewedCountsGiveLongCodesWithoutLimit) {
    static HuffmanModel m;
    int32_t counts[SymbolCount];
    // Doubling counts make a tree as deep as it can be.
    for (int s = 0; s < SymbolCount; ++s) counts[s] = s < 26 ? (1 << (26 - s)) : 1;
    InitModel(m, counts);
    BuildTree(m);
    EXPECT_EQ(CodeOf(m, 0).size(), 1u);
    EXPECT_GT(CodeOf(m, 40).size(), 26u);
    // Every symbol still decodes from its own code.
    for (int s : {0, 1, 25, 26, 300, 511}) {
        FeedBits(CodeOf(m, s));
        EXPECT_EQ(DecodeSymbol(m), s);
    }
}

TEST(BitReader, BitsComeLeastSignificantFirstAndReadBitsIsLittleEndian) {
    FeedBytes({0x01, 0x00});
    std::string bits;
    for (int i = 0; i < 16; ++i) bits += static_cast<char>('0' + ReadBit());
    EXPECT_EQ(bits, "1000000000000000");
    FeedBits("10100");
    EXPECT_EQ(ReadBits(5), 5u);
    FeedBits("111111111111");
    EXPECT_EQ(ReadBits(12), 4095u);
}

TEST(BitReader, DecodesTheOneByteFileBody) {
    HuffmanModel m = Fresh(LiteralInitialCounts);
    FeedBytes({0xAE, 0x01});
    EXPECT_EQ(DecodeSymbol(m), 65);
    EXPECT_EQ(BlockStream.position, 2);  // the body's last bit is in the second byte
}

TEST(RebuildSchedules, MatchTheFixedPoints) {
    std::vector<int> literal, distance;
    for (int i = 0; i <= 5000; ++i) {
        if (LiteralRebuildDue(i)) literal.push_back(i);
        if (DistanceRebuildDue(i) && i > 0) distance.push_back(i);
    }
    EXPECT_EQ(literal, (std::vector<int>{0, 256, 512, 768, 1024, 1280, 1536, 1792, 2048, 3072, 4096}));
    ASSERT_GE(distance.size(), 18u);
    EXPECT_EQ(distance[0], 64);
    EXPECT_EQ(distance[14], 960);
    EXPECT_EQ(distance[15], 1024);
    EXPECT_EQ(distance[16], 1536);
}

TEST(HuffmanModel, BuildTreeGivesTheTreeOfThePlainAlgorithmBuildAfterBuild) {
    static HuffmanModel fast, plain;
    uint32_t x = 7;
    auto next = [&x] {
        x = x * 1103515245 + 12345;
        return x >> 8;
    };
    // Fresh models of both kinds, and arbitrary starting counts: wide, narrow, zeros.
    for (int start = 0; start < 6; ++start) {
        int32_t initial[SymbolCount];
        for (int s = 0; s < SymbolCount; ++s) {
            switch (start) {
                case 0: initial[s] = LiteralInitialCounts[s]; break;
                case 1: initial[s] = DistanceInitialCounts[s]; break;
                case 2: initial[s] = static_cast<int32_t>(next() % 4); break;          // zeros and ties
                case 3: initial[s] = static_cast<int32_t>(next() % 100000) + 1; break;  // wide
                case 4: initial[s] = s % 7 == 0 ? 0 : 1 + s % 3; break;
                default: initial[s] = s < 20 ? 1 << (20 - s) : 1; break;               // deep
            }
        }
        InitModel(fast, initial);
        InitModel(plain, initial);
        for (int round = 0; round < 80; ++round) {
            BuildTree(fast);
            ReferenceBuild(plain);
            ASSERT_EQ(ModelDifference(fast, plain), "") << "start " << start << " round " << round;
            ASSERT_EQ(FastTableDifference(fast, plain), "") << "start " << start << " round " << round;
            // Counts grow as a body goes on: skewed, flat, a few symbols, nothing at all,
            // and many ties.
            int added = round % 5 == 4 ? 0 : round < 10 ? 256 : 1024;
            for (int i = 0; i < added; ++i) {
                uint32_t r = next();
                int s = round % 3 == 0   ? static_cast<int>(r % 512)
                        : round % 3 == 1 ? static_cast<int>((r % 64) * ((r >> 6) % 8))
                                         : static_cast<int>(r % 9) * 40;
                ++fast.frequency[s];
                ++plain.frequency[s];
            }
        }
    }
}

TEST(HuffmanModel, CountsAtTheTopOfTheRangeStillMakeAWholeTree) {
    // Sums wrap past 2^31 as on the format's own machines; the tree must still hold every
    // symbol once, and nothing may be read outside the model.
    static HuffmanModel m;
    int32_t counts[SymbolCount];
    for (int s = 0; s < SymbolCount; ++s) counts[s] = s % 3 == 0 ? 0x7FFFFFFF : s % 3 == 1 ? 1 : 0x40000000;
    InitModel(m, counts);
    BuildTree(m);
    std::vector<int> seen(NodeCount, 0);
    std::vector<int> stack{m.list[0]};
    while (!stack.empty()) {
        int node = stack.back();
        stack.pop_back();
        ASSERT_GE(node, 0);
        ASSERT_LT(node, NodeCount);
        ASSERT_EQ(++seen[node], 1) << node;
        if (m.nodes[node].child0 != NoChild) {
            stack.push_back(m.nodes[node].child0);
            stack.push_back(m.nodes[node].child1);
        }
    }
    for (int s = 0; s < SymbolCount; ++s) ASSERT_EQ(seen[s], 1) << s;
    for (int s : {0, 1, 2, 300, 511}) {
        FeedBits(CodeOf(m, s));
        EXPECT_EQ(DecodeSymbol(m), s);
    }
}

TEST(HuffmanModel, ACountThatWrapsBetweenBuildsStillGivesThePlainTree) {
    // A count that passes 2^31 goes negative and so moves back, against the usual way.
    static HuffmanModel fast, plain;
    int32_t counts[SymbolCount];
    for (int s = 0; s < SymbolCount; ++s) counts[s] = s < 8 ? 0x7FFFFFFF - s : 1 + s % 5;
    InitModel(fast, counts);
    InitModel(plain, counts);
    for (int round = 0; round < 4; ++round) {
        BuildTree(fast);
        ReferenceBuild(plain);
        ASSERT_EQ(ModelDifference(fast, plain), "") << "round " << round;
        ASSERT_EQ(FastTableDifference(fast, plain), "") << "round " << round;
        for (int s = round; s < 8; s += 2) {
            fast.frequency[s] = WrappingSum(fast.frequency[s], 3);
            plain.frequency[s] = WrappingSum(plain.frequency[s], 3);
        }
        ++fast.frequency[100 + round];
        ++plain.frequency[100 + round];
    }
}

TEST(HuffmanModel, TieHeavyCountsGiveThePlainTreeWhateverPathTheBuildTakes) {
    // Counts from a few values (zeros, equal runs, powers of two) make equal leaves and
    // equal nodes meet at every frequency: runs that pair off, sums that join a run of
    // nodes, zero-count nodes taken newest first. Small additions keep half the leaves at
    // the lowest count (a body's early builds); large ones spread them (its later builds).
    static HuffmanModel fast, plain;
    uint32_t x = 12345;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const std::vector<std::vector<int32_t>> palettes = {
        {0, 1}, {1, 2}, {1, 2, 4, 8}, {0, 0, 0, 3}, {2, 2, 2, 5}, {1, 3, 7, 15, 31}};
    for (int trial = 0; trial < 60; ++trial) {
        const auto& palette = palettes[trial % palettes.size()];
        int32_t initial[SymbolCount];
        for (int s = 0; s < SymbolCount; ++s) initial[s] = palette[next() % palette.size()];
        InitModel(fast, initial);
        InitModel(plain, initial);
        for (int round = 0; round < 24; ++round) {
            BuildTree(fast);
            ReferenceBuild(plain);
            ASSERT_EQ(ModelDifference(fast, plain), "") << "trial " << trial << " round " << round;
            ASSERT_EQ(FastTableDifference(fast, plain), "") << "trial " << trial << " round " << round;
            int added = round < 8 ? 64 : 2048;
            int spread = trial % 3 == 0 ? 512 : trial % 3 == 1 ? 24 : 128;
            for (int i = 0; i < added; ++i) {
                int s = static_cast<int>(next() % static_cast<uint32_t>(spread));
                int32_t step = trial % 2 == 0 ? 1 : palette[next() % palette.size()];
                fast.frequency[s] += step;
                plain.frequency[s] += step;
            }
        }
    }
}

TEST(HuffmanModel, CountsWhoseSumReachesTheTopStillGiveThePlainTree) {
    // All counts together at 2^31 - 2, 2^31 - 1 and 2^31: the last sum stays below 2^31,
    // meets its largest value, or wraps.
    static HuffmanModel fast, plain;
    for (int32_t extra : {-2, -1, 0}) {
        int32_t counts[SymbolCount];
        int64_t total = 0;
        for (int s = 1; s < SymbolCount; ++s) total += counts[s] = 1 + s % 4;
        counts[0] = static_cast<int32_t>((int64_t{1} << 31) + extra - total);
        InitModel(fast, counts);
        InitModel(plain, counts);
        BuildTree(fast);
        ReferenceBuild(plain);
        ASSERT_EQ(ModelDifference(fast, plain), "") << extra;
        ASSERT_EQ(FastTableDifference(fast, plain), "") << extra;
    }
}

TEST(HuffmanModel, CountsJustInsideAndJustPastTheCountingSpanGiveThePlainTree) {
    // While most leaves keep the lowest count, a build sorts by counting when the largest
    // count lies less than 1024 above the lowest, and by moving the changed leaves
    // otherwise. One symbol climbs across that edge a step at a time; others tie with it
    // and with each other on the way, and one round changes nothing.
    static HuffmanModel fast, plain;
    for (int32_t lowest : {1, 2, 7}) {
        int32_t initial[SymbolCount];
        for (int s = 0; s < SymbolCount; ++s) initial[s] = lowest;
        InitModel(fast, initial);
        InitModel(plain, initial);
        for (int32_t above : {0, 500, 1021, 1022, 1023, 1023, 1024, 1025, 1030}) {
            auto set = [&](int s, int32_t count) {
                if (fast.frequency[s] < count) fast.frequency[s] = plain.frequency[s] = count;
            };
            set(300, lowest + above);
            set(17, lowest + above / 2);
            set(18, lowest + above / 2);
            set(400 + above % 7, lowest + above - 1);
            BuildTree(fast);
            ReferenceBuild(plain);
            ASSERT_EQ(ModelDifference(fast, plain), "") << "lowest " << lowest << " above " << above;
            ASSERT_EQ(FastTableDifference(fast, plain), "") << "lowest " << lowest << " above " << above;
        }
    }
}
