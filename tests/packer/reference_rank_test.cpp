// The reference choice at the top level: the trials rank the candidates, the best few
// are encoded in full and the smallest body wins.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "pack_fixture.h"
#include "packer/body_encoder.h"
#include "packer/encoding.h"
#include "packer/pack.h"
#include "packer/planning.h"

namespace {

// Bits of a file's body and its reference record beyond the single byte of "none".
uint64_t CostBits(const EncodedBody& body) { return 8 * body.bytes.size() + (body.choice.Stored() ? 16 : 0); }

// A file of the source tree, made and listed as the tree's scan lists it.
class RankTest : public PackTest {
protected:
    SourceEntry AddFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        MakeFile(name, bytes);
        SourceEntry e;
        e.nativePath = source + "/" + name;
        e.name = name;
        e.size = bytes.size();
        return e;
    }
};

}  // namespace

TEST_F(RankTest, RankedReferencesStartWithTheChoiceAndTheWinnerIsNeverLarger) {
    // Variants of a few texts, so that several earlier files are plausible references.
    std::vector<SourceEntry> entries;
    for (int i = 0; i < 40; ++i) {
        std::vector<uint8_t> v = TextBytes(2000 + 300 * (i % 5), static_cast<uint32_t>(i % 3));
        for (int k = 0; k < 6; ++k) v[static_cast<size_t>(i * 37 + k * 211) % v.size()] ^= 0x11;
        entries.push_back(AddFile("f" + std::to_string(i) + ".txt", v));
    }
    const std::vector<uint8_t> stub(28672, 0x4D);
    int ranked = 0;
    for (int level : {PackDefaultLevel, PackMaxLevel}) {
        Planner planner(stub.data(), level);
        EncoderKit kit;
        FileChains chains;
        std::vector<uint8_t> scratch;
        for (size_t i = 0; i < entries.size(); ++i) {
            FilePlan plan = planner.Plan(entries[i], i);
            const ReferenceRing& ring = planner.Ring();
            const ReferenceChoice first = ChooseReference(plan, ring, level, chains, scratch);
            const std::vector<ReferenceChoice> top = RankReferences(plan, ring, level, chains, scratch, 3);
            ASSERT_FALSE(top.empty());
            EXPECT_EQ(top[0].reference, first.reference);
            EXPECT_EQ(top[0].prefix, first.prefix);
            for (size_t a = 0; a < top.size(); ++a) {
                EXPECT_TRUE(std::any_of(plan.candidates.begin(), plan.candidates.end(), [&](const ReferenceChoice& c) {
                    return c.reference == top[a].reference && c.prefix == top[a].prefix;
                }));
                for (size_t b = a + 1; b < top.size(); ++b) EXPECT_NE(top[a].reference, top[b].reference);
            }
            ranked += top.size() > 1;

            // What the encoder chose costs no more than the first ranked reference.
            uint64_t fed = 0;
            EncodedBody chosen = EncodeFile(plan, entries[i], ring, level, kit, [&](uint64_t n) { fed += n; });
            EXPECT_EQ(fed, plan.size);
            FilePlan only = plan;
            only.candidates = {first};
            EncodedBody plain = EncodeFile(only, entries[i], ring, level, kit, [](uint64_t) {});
            EXPECT_LE(CostBits(chosen), CostBits(plain)) << "file " << i << ", level " << level;
            if (level == PackDefaultLevel) {
                EXPECT_TRUE(chosen.bytes == plain.bytes);
            }
        }
    }
    EXPECT_GT(ranked, 20);
}

TEST_F(RankTest, TrialsThatStopOnceTheyCannotWinRankTheFirstFewAsTheFullTrialsDo) {
    // Some files come twice, byte for byte, so that trials tie; the ranking of the
    // best `keep` must be the start of the full ranking for every `keep`.
    std::vector<SourceEntry> entries;
    for (int i = 0; i < 60; ++i) {
        std::vector<uint8_t> v = TextBytes(1500 + 400 * (i % 4), static_cast<uint32_t>(i % 5));
        if (i % 3 != 0)
            for (int k = 0; k < 4; ++k) v[static_cast<size_t>(i * 53 + k * 331) % v.size()] ^= 0x21;
        entries.push_back(AddFile("g" + std::to_string(i) + ".txt", v));
    }
    const std::vector<uint8_t> stub(28672, 0x4D);
    Planner planner(stub.data(), PackMaxLevel);
    FileChains chains;
    std::vector<uint8_t> scratch;
    size_t compared = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        FilePlan plan = planner.Plan(entries[i], i);
        const size_t n = plan.candidates.size();
        // Keeping them all, no trial can stop early.
        const std::vector<ReferenceChoice> full = RankReferences(plan, planner.Ring(), PackMaxLevel, chains, scratch, n);
        ASSERT_EQ(full.size(), n);
        for (size_t keep = 1; keep < n; ++keep) {
            const std::vector<ReferenceChoice> top =
                RankReferences(plan, planner.Ring(), PackMaxLevel, chains, scratch, keep);
            ASSERT_EQ(top.size(), keep);
            for (size_t k = 0; k < keep; ++k) {
                EXPECT_EQ(top[k].reference, full[k].reference) << "file " << i << ", keep " << keep << ", rank " << k;
                EXPECT_EQ(top[k].prefix, full[k].prefix) << "file " << i << ", keep " << keep << ", rank " << k;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 500u);
}

TEST(ReferenceCandidates, ASampleFewFilesShareWeighsMoreThanOneThatMostShare) {
    // 130 files share a boilerplate text; one earlier file alone has a rarer text. A new
    // file holding more of the boilerplate than of the rare text resembles the lone file
    // most: what it shares with the 130 says little about any one of them.
    const std::vector<uint8_t> stub(28672, 0x4D);
    ReferenceRing ring(stub.data());
    // Random bytes: no 8-byte string in one part turns up in another.
    const std::vector<uint8_t> boilerplate = PackTest::RandomBytes(2048, 71);
    const std::vector<uint8_t> rare = PackTest::RandomBytes(1700, 72);
    std::vector<uint8_t> lone = PackTest::RandomBytes(100, 73);
    lone.insert(lone.end(), rare.begin(), rare.end());
    ring.Store(lone.data(), static_cast<int32_t>(lone.size()));
    for (uint32_t i = 0; i < 130; ++i) {
        std::vector<uint8_t> file = PackTest::RandomBytes(200, 100 + i);
        file.insert(file.end(), boilerplate.begin(), boilerplate.end());
        const std::vector<uint8_t> own = PackTest::RandomBytes(500, 300 + i);
        file.insert(file.end(), own.begin(), own.end());
        ring.Store(file.data(), static_cast<int32_t>(file.size()));
    }
    std::vector<uint8_t> next = PackTest::RandomBytes(30, 74);
    next.insert(next.end(), boilerplate.begin(), boilerplate.end());
    next.insert(next.end(), rare.begin(), rare.begin() + 1500);
    const std::vector<ReferenceChoice> candidates = ring.Candidates(next.data(), static_cast<int32_t>(next.size()), 4);
    ASSERT_FALSE(candidates.empty());
    EXPECT_EQ(candidates[0].reference, 131);
}
