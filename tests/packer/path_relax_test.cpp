// The optimal parse tries the lengths of a match four at a time; it must leave the
// same costs and ways as the plain loop, whatever the run's length and alignment, with
// ties (the earlier way stays), unreached ends and costs above 2^31.
#include <gtest/gtest.h>

#include <vector>

#include "packer/path_relax.h"

namespace {

struct Tables {
    std::vector<uint32_t> cost;
    std::vector<uint16_t> length, distance;
    explicit Tables(size_t n) : cost(n), length(n), distance(n) {}
    PathTables View() { return {cost.data(), length.data(), distance.data()}; }
};

TEST(PathRelax, FourAtATimeLeavesWhatThePlainLoopLeaves) {
    uint32_t x = 2463534242u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    constexpr size_t Size = 700;
    for (int trial = 0; trial < 3000; ++trial) {
        Tables fast(Size), plain(Size);
        // Costs from a narrow range make ties common; some ends are not reached yet,
        // and some costs have the top bit set, which a signed comparison would get wrong.
        const uint32_t spread = trial % 3 == 0 ? 8 : trial % 3 == 1 ? 1000 : 0x7FFFFFFF;
        for (size_t k = 0; k < Size; ++k) {
            uint32_t c = next() % 7 == 0 ? 0xFFFFFFFFu : (trial % 5 == 0 ? 0x80000000u : 100u) + next() % spread;
            fast.cost[k] = plain.cost[k] = c;
            fast.length[k] = plain.length[k] = static_cast<uint16_t>(next());
            fast.distance[k] = plain.distance[k] = static_cast<uint16_t>(next());
        }
        uint16_t prices[257 + RelaxPadding];
        for (uint16_t& p : prices) p = static_cast<uint16_t>(next() % (trial % 2 == 0 ? 4 : 40));
        // Several runs from different places, as one position's candidates give them.
        for (int run = 0; run < 4; ++run) {
            const int32_t i = static_cast<int32_t>(next() % 300);
            int32_t first = 2 + static_cast<int32_t>(next() % 40);
            int32_t last = first - 1 + static_cast<int32_t>(next() % (258 - first));  // may be empty
            // After a match longer than 256 the next one's run starts past 256: empty,
            // and nothing that far may be read.
            if (run == 3 && trial % 4 == 0) {
                first = 257 + static_cast<int32_t>(next() % 40);
                last = 256;
            }
            const uint32_t base = (trial % 5 == 0 ? 0x80000000u : 100u) + next() % (spread + 1);
            const uint16_t d = static_cast<uint16_t>(1 + next() % 16384);
            RelaxLengths(fast.View(), i, first, last, base, prices, d);
            RelaxLengthsPlain(plain.View(), i, first, last, base, prices, d);
        }
        ASSERT_EQ(fast.cost, plain.cost) << "trial " << trial;
        ASSERT_EQ(fast.length, plain.length) << "trial " << trial;
        ASSERT_EQ(fast.distance, plain.distance) << "trial " << trial;
    }
}

}  // namespace
