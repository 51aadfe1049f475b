// The body coder against the decoder's rules: exact small bodies and long codes.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "engine/huffman.h"
#include "packer/body_encoder.h"
#include "packer/symbol_coder.h"

namespace {

std::vector<uint8_t> BodyOf(const std::vector<uint8_t>& bytes, int level) {
    std::vector<uint8_t> out;
    EncodeBody(bytes.data(), 0, static_cast<int32_t>(bytes.size()), SettingsForLevel(level), out);
    return out;
}

// Follows `bits` (least significant first) from the root to a leaf.
int WalkTree(const HuffmanModel& model, const std::vector<uint8_t>& bytes, size_t* bit) {
    int node = model.list[0];
    while (model.nodes[node].child0 != NoChild) {
        int b = (bytes.at(*bit >> 3) >> (*bit & 7)) & 1;
        ++*bit;
        node = b ? model.nodes[node].child1 : model.nodes[node].child0;
    }
    return model.nodes[node].symbol;
}

}  // namespace

TEST(BodyEncoder, SmallBodiesComeOutByteForByteAtEveryLevel) {
    for (int level = 1; level <= 9; ++level) {
        EXPECT_EQ(BodyOf({0x41}, level), (std::vector<uint8_t>{0xAE, 0x01})) << "level " << level;
        EXPECT_EQ(BodyOf({0x41, 0x41, 0x41, 0x41}, level), (std::vector<uint8_t>{0xAE, 0x57, 0x5B, 0x01}))
            << "level " << level;
    }
}

TEST(BodyEncoder, EmptyBodyHasNoBytes) {
    std::vector<uint8_t> history(100, 7);
    std::vector<uint8_t> out;
    EncodeBody(history.data(), 100, 100, SettingsForLevel(9), out);
    EXPECT_TRUE(out.empty());
}

TEST(BodyEncoder, MatchesNeverRunPastTheEndOfTheFile) {
    // A run the decoder would happily continue: the last match must stop at the end.
    std::vector<uint8_t> data(5000, 'z');
    for (int level = 1; level <= 9; ++level) {
        std::vector<uint8_t> out = BodyOf(data, level);
        EXPECT_LT(out.size(), 20u) << "level " << level;
    }
}

TEST(SymbolCodes, EveryCodeLeadsBackToItsSymbolEvenWhenLongerThan64Bits) {
    // Zero counts make a chain: the codes grow to hundreds of bits.
    auto coder = std::make_unique<SymbolCoder>();
    coder->Start();
    for (int s = 0; s < SymbolCount; ++s) coder->literal.frequency[s] = s == 300 ? 5 : 0;
    coder->Prepare();  // the first symbol builds the literal tree from these counts
    int longest = 0;
    for (int s = 0; s < SymbolCount; ++s) longest = std::max<int>(longest, coder->literalCodes.length[s]);
    ASSERT_GT(longest, 300);

    const HuffmanModel tree = coder->literal;
    std::vector<uint8_t> out;
    BitWriter bits(out);
    std::vector<int> sent = {0, 511, 300, 17, 256, 65};
    for (int s : sent) {
        // Literals and lengths share the tree; only literal symbols go through Literal.
        if (s < 256) {
            coder->Literal(&bits, static_cast<uint8_t>(s));
        } else {
            coder->Match(&bits, s == 511 ? 4352 : s - 254, 1);
        }
    }
    bits.Align();
    size_t bit = 0;
    for (int s : sent) {
        EXPECT_EQ(WalkTree(tree, out, &bit), s);
        if (s >= 256) {
            if (s == 511) {
                uint32_t extra = 0;
                for (int i = 0; i < 12; ++i, ++bit) extra |= ((out[bit >> 3] >> (bit & 7)) & 1u) << i;
                EXPECT_EQ(extra, 4352u - 257u);
            }
            EXPECT_EQ(WalkTree(coder->distance, out, &bit), 0);  // distance 1: symbol 0 ...
            bit += 5;                                               // ... and extra bits 0
        }
    }
}

TEST(SymbolCodes, APricingCoderKeepsTheLengthsOfTheWritingOne) {
    // Skewed symbols (long codes, past 64 bits once the counts chain) and every rebuild
    // of both trees along the way: the lengths-only coder must see the same lengths.
    auto full = std::make_unique<SymbolCoder>();
    auto pricing = std::make_unique<SymbolCoder>();
    pricing->lengthsOnly = true;
    full->Start();
    pricing->Start();
    for (int s = 0; s < SymbolCount; ++s) full->literal.frequency[s] = pricing->literal.frequency[s] = s == 40 ? 9 : 0;
    std::vector<uint8_t> out;
    BitWriter bits(out);
    uint32_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = x >> 8;
        if (r % 5 == 0) {
            const int32_t length = 2 + static_cast<int32_t>((r >> 3) % (i < 10000 ? 8 : 4351));
            const int32_t distance = 1 + static_cast<int32_t>((r >> 5) % (i % 3 == 0 ? 64 : 16384));
            full->Match(&bits, length, distance);
            pricing->Match(nullptr, length, distance);
        } else {
            const uint8_t byte = static_cast<uint8_t>(i < 5000 ? 'a' + (r >> 4) % 3 : r >> 4);
            full->Literal(&bits, byte);
            pricing->Literal(nullptr, byte);
        }
        full->Prepare();
        pricing->Prepare();
        ASSERT_EQ(full->generation, pricing->generation);
        ASSERT_TRUE(std::equal(full->literalCodes.length, full->literalCodes.length + SymbolCount,
                               pricing->literalCodes.length)) << "symbol " << i;
        ASSERT_TRUE(std::equal(full->distanceCodes.length, full->distanceCodes.length + SymbolCount,
                               pricing->distanceCodes.length)) << "symbol " << i;
    }
}

TEST(SymbolCodes, EstimatedLengthsAreTheRoundedShareOfTheCounts) {
    // Against floating point, away from the rounding points (the estimate's log2 is
    // good to about a hundredth of a bit): counts from 1 to 2^26, sums up to 2^31.
    uint32_t x = 777;
    auto next = [&x] { return x = x * 1103515245u + 12345u; };
    HuffmanModel model;
    SymbolCodes codes;
    int checked = 0;
    for (int round = 0; round < 200; ++round) {
        const int spread = 1 + round % 26;
        uint64_t total = 0;
        for (int s = 0; s < SymbolCount; ++s) {
            model.frequency[s] = 1 + static_cast<int32_t>((next() >> 4) & ((1u << spread) - 1)) * (s % 7 == 0 ? 1 : 0);
            total += static_cast<uint64_t>(model.frequency[s]);
        }
        EstimateLengths(model, codes);
        for (int s = 0; s < SymbolCount; ++s) {
            const double bits = std::log2(static_cast<double>(total) / model.frequency[s]);
            if (std::fabs(bits - std::floor(bits) - 0.5) < 1.0 / 64) continue;
            const int expected = std::max(1, static_cast<int>(std::floor(bits + 0.5)));
            ASSERT_EQ(codes.length[s], expected) << "round " << round << " symbol " << s;
            ++checked;
        }
    }
    EXPECT_GT(checked, 90000);
}

TEST(SymbolCodes, AnEstimatingCoderRebuildsWhenTheWritingOneDoesAndComesNearItsLengths) {
    auto full = std::make_unique<SymbolCoder>();
    auto pricing = std::make_unique<SymbolCoder>();
    pricing->lengthsOnly = true;
    pricing->estimated = true;
    full->Start();
    pricing->Start();
    std::vector<uint8_t> out;
    BitWriter bits(out);
    uint32_t x = 4321;
    uint32_t seen = full->generation;
    int rebuilds = 0;
    for (int i = 0; i < 20000; ++i) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = x >> 8;
        if (r % 4 == 0) {
            const int32_t length = 3 + static_cast<int32_t>((r >> 3) % 20);
            const int32_t distance = 1 + static_cast<int32_t>((r >> 5) % (r % 3 == 0 ? 64 : 4096));
            full->Match(&bits, length, distance);
            pricing->Match(nullptr, length, distance);
        } else {
            // Skewed text: a few letters most of the time.
            const uint8_t byte = static_cast<uint8_t>((r >> 4) % 4 != 0 ? 'a' + (r >> 6) % 6 : r >> 4);
            full->Literal(&bits, byte);
            pricing->Literal(nullptr, byte);
        }
        full->Prepare();
        pricing->Prepare();
        ASSERT_EQ(full->generation, pricing->generation) << "symbol " << i;
        if (full->generation == seen) continue;
        seen = full->generation;
        ++rebuilds;
        // Weighted by the counts, the estimate is within half a bit of the tree's lengths.
        for (const auto& [model, real, estimate] :
             {std::tuple(&full->literal, &full->literalCodes, &pricing->literalCodes),
              std::tuple(&full->distance, &full->distanceCodes, &pricing->distanceCodes)}) {
            double weighted = 0, counts = 0;
            for (int s = 0; s < SymbolCount; ++s) {
                weighted += model->frequency[s] * std::abs(real->length[s] - estimate->length[s]);
                counts += model->frequency[s];
            }
            EXPECT_LT(weighted / counts, 0.5) << "symbol " << i;
        }
    }
    EXPECT_GT(rebuilds, 20);
}

TEST(SymbolCodes, InitialLiteralTreeGivesNineBitCodes) {
    auto coder = std::make_unique<SymbolCoder>();
    coder->Start();
    coder->Prepare();
    // Symbol 65 is 0,1,1,1,0,1,0,1,1 from the root, so bit 0 of the word is the first.
    EXPECT_EQ(coder->literalCodes.length[65], 9);
    EXPECT_EQ(coder->literalCodes.bits[65][0], 0b110101110u);
    // Initial distance tree: 8 bits for 0..63, 10 for 128..255.
    EXPECT_EQ(coder->distanceCodes.length[0], 8);
    EXPECT_EQ(coder->distanceCodes.length[200], 10);
}
