// The streamed body encoder against the plain one that holds the whole file: the same
// bytes for every level, history, chunk size and way of cutting the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/lz_decoder.h"
#include "packer/body_encoder.h"
#include "packer/match_finder.h"
#include "packer/reference_ring.h"
#include "packer/trial_finder.h"
#include "pack_fixture.h"

namespace {

std::vector<uint8_t> Whole(const std::vector<uint8_t>& history, const std::vector<uint8_t>& data, int level) {
    std::vector<uint8_t> window = history;
    window.insert(window.end(), data.begin(), data.end());
    std::vector<uint8_t> out;
    EncodeBody(window.data(), static_cast<int32_t>(history.size()), static_cast<int32_t>(window.size()),
               SettingsForLevel(level), out);
    return out;
}

std::vector<uint8_t> Streamed(BodyEncoder& encoder, const std::vector<uint8_t>& history,
                              const std::vector<uint8_t>& data, int level, size_t piece) {
    std::vector<uint8_t> out, collected;
    encoder.Begin(history.data(), static_cast<int32_t>(history.size()), static_cast<int64_t>(data.size()),
                  SettingsForLevel(level), out);
    for (size_t at = 0; at < data.size(); at += piece) {
        encoder.Feed(data.data() + at, std::min(piece, data.size() - at));
        // The caller may take the finished bytes away at any time.
        collected.insert(collected.end(), out.begin(), out.end());
        out.clear();
    }
    encoder.Finish();
    collected.insert(collected.end(), out.begin(), out.end());
    return collected;
}

// Text with long runs and repeats far apart: matches of every length, some as long as
// a match can be, cross the places where the stream slides.
std::vector<uint8_t> Mixed(size_t n, uint32_t seed) {
    std::vector<uint8_t> text = PackTest::TextBytes(n, seed);
    for (size_t at = 50000; at + 6000 < n; at += 70001) std::fill(text.begin() + at, text.begin() + at + 6000, 'x');
    for (size_t at = 100000; at + 9000 < n; at += 90000)
        std::copy(text.begin() + at - 100000 + 5, text.begin() + at - 100000 + 9005, text.begin() + at);
    return text;
}

}  // namespace

TEST(BodyStream, SameBytesAsTheWholeFileAtEveryLevel) {
    // The smallest chunk the encoder takes, so that 220K slide twice; one encoder
    // serves every body, as in a worker.
    BodyEncoder encoder(1);
    const std::vector<uint8_t> data = Mixed(220000, 3);
    const std::vector<uint8_t> random = PackTest::RandomBytes(160000, 4);
    const std::vector<uint8_t> fullHistory = PackTest::TextBytes(WindowSize, 3);
    for (int level = 1; level <= 9; ++level) {
        EXPECT_EQ(Streamed(encoder, {}, data, level, 65536), Whole({}, data, level)) << "level " << level;
        EXPECT_EQ(Streamed(encoder, fullHistory, data, level, 100003), Whole(fullHistory, data, level))
            << "level " << level;
        EXPECT_EQ(Streamed(encoder, {1, 2, 3}, random, level, 4099), Whole({1, 2, 3}, random, level))
            << "level " << level;
    }
}

TEST(BodyStream, TinyPiecesShortBodiesAndEmptyOnes) {
    BodyEncoder encoder(1);
    const std::vector<uint8_t> data = Mixed(140000, 5);
    for (int level : {1, 5, 7}) {
        EXPECT_EQ(Streamed(encoder, {}, data, level, 1), Whole({}, data, level)) << "level " << level;
        std::vector<uint8_t> shortBody(data.begin(), data.begin() + 3);
        EXPECT_EQ(Streamed(encoder, {'a', 'b'}, shortBody, level, 1), Whole({'a', 'b'}, shortBody, level));
        EXPECT_TRUE(Streamed(encoder, {'a', 'b'}, {}, level, 1).empty());
    }
}

TEST(BodyStream, TwoByteMatchesAreChosenByTheBodysFirstBytesNotByItsHistory) {
    const std::vector<uint8_t> text = Mixed(20000, 7);
    std::vector<uint8_t> binary = PackTest::RandomBytes(20000, 8);
    // Text for its first 4 KB, binary after: still a text body.
    std::vector<uint8_t> textThenBinary(text.begin(), text.begin() + 4096);
    textThenBinary.insert(textThenBinary.end(), binary.begin(), binary.end());
    const std::vector<uint8_t> textHistory(text.begin(), text.begin() + WindowSize);
    const std::vector<uint8_t> binaryHistory(binary.begin(), binary.begin() + WindowSize);

    const LevelSettings seven = SettingsForLevel(7), eight = SettingsForLevel(8);
    EXPECT_FALSE(UsesPairs(seven, text.data(), static_cast<int64_t>(text.size())));
    EXPECT_FALSE(UsesPairs(seven, textThenBinary.data(), static_cast<int64_t>(textThenBinary.size())));
    EXPECT_TRUE(UsesPairs(seven, binary.data(), static_cast<int64_t>(binary.size())));
    EXPECT_TRUE(UsesPairs(eight, text.data(), static_cast<int64_t>(text.size())));
    std::vector<uint8_t> fewControls(text.begin(), text.begin() + 4096);
    for (size_t i = 0; i < fewControls.size(); i += 64) fewControls[i] = 0;
    EXPECT_TRUE(UsesPairs(seven, fewControls.data(), static_cast<int64_t>(fewControls.size())));
    fewControls[0] = 'a';
    EXPECT_FALSE(UsesPairs(seven, fewControls.data(), static_cast<int64_t>(fewControls.size())));

    // Fed a byte at a time, the stream decides as the whole file does.
    BodyEncoder encoder(1);
    for (int level : {7, 8}) {
        EXPECT_EQ(Streamed(encoder, binaryHistory, text, level, 1), Whole(binaryHistory, text, level));
        EXPECT_EQ(Streamed(encoder, textHistory, binary, level, 1), Whole(textHistory, binary, level));
        EXPECT_EQ(Streamed(encoder, {}, textThenBinary, level, 1), Whole({}, textThenBinary, level));
    }
}

TEST(BodyStream, MoreOrFewerBytesThanAnnouncedAreRefused) {
    BodyEncoder encoder;
    std::vector<uint8_t> out;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    encoder.Begin(bytes, 0, 3, SettingsForLevel(1), out);
    EXPECT_THROW(encoder.Feed(bytes, 4), std::logic_error);
    encoder.Feed(bytes, 2);
    EXPECT_THROW(encoder.Finish(), std::logic_error);
}

TEST(MatchFinderReuse, ResetForgetsEveryPositionAlsoWhenItClearsItsTables) {
    const std::vector<uint8_t> a = PackTest::TextBytes(40000, 1);
    const std::vector<uint8_t> b = PackTest::TextBytes(30000, 2);
    const LevelSettings quick = SettingsForLevel(4);
    const uint64_t freshA = EstimateBodyBits(a.data(), 10000, 40000, quick);
    const uint64_t freshB = EstimateBodyBits(b.data(), 0, 30000, quick);
    MatchFinder finder;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(EstimateBodyBits(a.data(), 10000, 40000, quick, finder), freshA);
        EXPECT_EQ(EstimateBodyBits(b.data(), 0, 30000, quick, finder), freshB);
        // A window end near the limit of the stored positions: the next Reset must clear.
        finder.Reset(a.data(), 0x7FFF0000);
    }
}

namespace {

// The longest match at `position` of the window by looking at every earlier position,
// leaving out those that start in the last two bytes of the history (their chains were
// made from the reference's own following bytes, not the window's).
int32_t LongestByScanning(const std::vector<uint8_t>& window, int32_t history, int32_t position) {
    const int32_t limit = std::min<int32_t>(4352, static_cast<int32_t>(window.size()) - position);
    int32_t best = 0;
    for (int32_t at = std::max(0, position - WindowSize); at < position; ++at) {
        if (at >= history - 2 && at < history) continue;
        int32_t n = 0;
        while (n < limit && window[at + n] == window[position + n]) ++n;
        best = std::max(best, n);
    }
    return best >= 3 ? best : 0;
}

}  // namespace

TEST(TrialFinder, FindsTheLongestMatchOfTheHistoryAndTheFileItself) {
    // A reference and a file that shares its first 700 bytes and stretches after them.
    std::vector<uint8_t> reference = PackTest::TextBytes(9000, 21);
    std::vector<uint8_t> file(reference.begin(), reference.begin() + 700);
    std::vector<uint8_t> own = PackTest::TextBytes(6000, 22);
    file.insert(file.end(), own.begin(), own.end());
    file.insert(file.end(), reference.begin() + 3000, reference.begin() + 5000);
    file.insert(file.end(), own.begin() + 100, own.begin() + 900);
    FileSlot slot;
    slot.size = static_cast<int32_t>(reference.size());
    std::copy(reference.begin(), reference.end(), slot.data);
    FileChains referenceChains, fileChains;
    referenceChains.Build(slot.data, slot.size);
    fileChains.Build(file.data(), static_cast<int32_t>(file.size()));
    for (int32_t prefix : {0, 700, 300}) {
        int32_t start, history;
        HistoryFor(slot, prefix, &start, &history);
        std::vector<uint8_t> window(slot.data + start, slot.data + start + history);
        window.insert(window.end(), file.begin() + prefix, file.end());
        TrialFinder finder(window.data(), history, referenceChains, start, start + history, fileChains, prefix);
        int mismatches = 0;
        for (int32_t position = history; position < static_cast<int32_t>(window.size()); position += 3) {
            const int32_t limit = std::min<int32_t>(4352, static_cast<int32_t>(window.size()) - position);
            int32_t distance = 0;
            int32_t n = finder.Longest(position, limit, 1 << 30, &distance);
            if (n < 3) n = 0;
            if (n != LongestByScanning(window, history, position)) ++mismatches;
            if (n > 0) {
                ASSERT_GE(position - distance, 0);
                ASSERT_TRUE(std::equal(window.begin() + position, window.begin() + position + n,
                                       window.begin() + position - distance));
            }
        }
        EXPECT_EQ(mismatches, 0) << "prefix " << prefix;
    }
}

TEST(MatchFinder, FollowedToTheEndItsChainsGiveTheLongestMatchWithinTheWindow) {
    // Text that repeats itself from far and near, over several windows, so that the
    // finder's ring of links goes round many times; then the same after a Reset, with
    // the first window's positions still in the tables.
    std::vector<uint8_t> text = PackTest::TextBytes(70000, 31);
    for (int32_t at : {20000, 36385, 52770})  // a copy from exactly a window back, and one from a byte farther
        std::copy(text.begin() + at - WindowSize, text.begin() + at - WindowSize + 300, text.begin() + at);
    std::copy(text.begin() + 36385 - WindowSize - 1, text.begin() + 36385 - WindowSize + 499, text.begin() + 40000);
    MatchFinder finder;
    for (int round = 0; round < 2; ++round) {
        finder.Reset(text.data(), static_cast<int32_t>(text.size()));
        int mismatches = 0, atWindow = 0;
        for (int32_t position = 0; position < static_cast<int32_t>(text.size()); ++position) {
            if (position % 61 == 0 || (position >= 36380 && position < 36390) || position == 52770) {
                const int32_t limit = std::min<int32_t>(4352, static_cast<int32_t>(text.size()) - position);
                MatchCandidate found[64];
                const int k = finder.Collect(position, limit, 1 << 30, found);
                const int32_t n = k > 0 && found[k - 1].length >= 3 ? found[k - 1].length : 0;
                if (n != LongestByScanning(text, 0, position)) ++mismatches;
                for (int i = 0; i < k; ++i) {
                    ASSERT_LE(found[i].distance, WindowSize);
                    ASSERT_LE(found[i].distance, position);
                    ASSERT_TRUE(std::equal(text.begin() + position, text.begin() + position + found[i].length,
                                           text.begin() + position - found[i].distance));
                    if (i > 0) {
                        ASSERT_GT(found[i].length, found[i - 1].length);
                    }
                }
                atWindow += k > 0 && found[k - 1].distance == WindowSize;
            }
            finder.Insert(position);
        }
        EXPECT_EQ(mismatches, 0) << "round " << round;
        EXPECT_GE(atWindow, 2) << "round " << round;
    }
}

namespace {

// Text of the machine's own, when it has some, else made up: both kinds of input.
std::vector<uint8_t> SomeInput(uint32_t seed) {
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen("/usr/share/common-licenses/GPL-3", "rb")) {
        bytes.resize(40000);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
    }
    std::vector<uint8_t> text = PackTest::TextBytes(30000, seed);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

}  // namespace

TEST(MatchFinder, TheFourByteTestFindsWhatTheOneByteTestFinds) {
    for (uint32_t seed : {41u, 42u}) {
        std::vector<uint8_t> text = SomeInput(seed);
        const int32_t size = static_cast<int32_t>(text.size());
        MatchFinder fast(text.data(), size), plain(text.data(), size);
        plain.CheckOneByte();
        int differences = 0;
        for (int32_t position = 0; position < size; ++position) {
            const int32_t limit = std::min<int32_t>(4352, size - position);
            for (int depth : {16, 128}) {
                MatchCandidate a[64], b[64];
                const int ka = fast.Collect(position, limit, depth, a), kb = plain.Collect(position, limit, depth, b);
                bool same = ka == kb;
                for (int i = 0; same && i < ka; ++i) same = a[i].length == b[i].length && a[i].distance == b[i].distance;
                differences += !same;
            }
            fast.Insert(position);
            plain.Insert(position);
        }
        EXPECT_EQ(differences, 0) << "seed " << seed;
    }
}

TEST(MatchFinder, FollowedToTheEndTheChainOfSixBytesFindsWhatTheChainOfThreeFinds) {
    // The plain walk: every position of the three-byte chain, each tested at its one
    // byte. Same matches, same order, same nearer ones kept or dropped.
    for (uint32_t seed : {43u, 44u}) {
        std::vector<uint8_t> text = SomeInput(seed);
        // Runs of one byte and of a short pattern: long chains that share six bytes.
        std::fill(text.begin() + 5000, text.begin() + 5600, ' ');
        for (int i = 30000; i < 31000; ++i) text[i] = "ab\tab"[i % 5];
        const int32_t size = static_cast<int32_t>(text.size());
        MatchFinder fast(text.data(), size), plain(text.data(), size);
        plain.CheckOneByte();
        plain.FollowOneChain();
        int differences = 0, switched = 0;
        for (int32_t position = 0; position < size; ++position) {
            if (position % 5 == 0) {
                const int32_t limit = std::min<int32_t>(4352, size - position);
                MatchCandidate a[64], b[64];
                const int ka = fast.Collect(position, limit, 1 << 30, a), kb = plain.Collect(position, limit, 1 << 30, b);
                bool same = ka == kb;
                for (int i = 0; same && i < ka; ++i) same = a[i].length == b[i].length && a[i].distance == b[i].distance;
                differences += !same;
                switched += ka > 1 && a[ka - 1].length > 6;
            }
            fast.Insert(position);
            plain.Insert(position);
        }
        EXPECT_EQ(differences, 0) << "seed " << seed;
        EXPECT_GT(switched, 1000) << "seed " << seed;
    }
}

TEST(MatchFinder, InsertRangeFillsTheTablesAsInsertDoes) {
    // Runs of every length, from a random point, to the end of the valid bytes and
    // across a top-up of them; with and without pairs, and again after a Reset.
    std::mt19937 random(61);
    for (uint32_t seed : {45u, 46u}) {
        std::vector<uint8_t> text = SomeInput(seed);
        std::fill(text.begin() + 7000, text.begin() + 7400, 'x');
        const int32_t size = static_cast<int32_t>(text.size());
        for (bool pairs : {true, false}) {
            MatchFinder ranged, single;
            for (int round = 0; round < 2; ++round) {
                const int32_t firstEnd = size / 2 + static_cast<int32_t>(random() % 8);
                ranged.Reset(text.data(), firstEnd, pairs);
                single.Reset(text.data(), firstEnd, pairs);
                int differences = 0;
                for (int32_t position = 0; position < size;) {
                    int32_t end = firstEnd;
                    if (position >= firstEnd - 20) {
                        end = size;
                        ranged.SetEnd(size);
                        single.SetEnd(size);
                    }
                    const int32_t run = std::min<int32_t>(1 + static_cast<int32_t>(random() % 40), end - position);
                    ranged.InsertRange(position, position + run);
                    for (int32_t p = position; p < position + run; ++p) single.Insert(p);
                    position += run;
                    if (position < end) {
                        const int32_t limit = std::min<int32_t>(4352, end - position);
                        MatchCandidate a[64], b[64];
                        const int depth = position % 2 ? 12 : 1 << 30;  // short walks see the chains' order
                        const int ka = ranged.Collect(position, limit, depth, a);
                        const int kb = single.Collect(position, limit, depth, b);
                        bool same = ka == kb;
                        for (int i = 0; same && i < ka; ++i)
                            same = a[i].length == b[i].length && a[i].distance == b[i].distance;
                        differences += !same;
                    }
                }
                EXPECT_EQ(differences, 0) << "seed " << seed << " pairs " << pairs << " round " << round;
            }
        }
    }
}

TEST(MatchFinder, TwoSearchesInTurnFindWhatOneAfterTheOtherFinds) {
    // Long chains (runs of one byte and of a short pattern), copies from exactly a
    // window back (the one link that Insert changes under the first walk), depths that
    // cut walks short and limits that end at the last bytes; in both quick-test modes.
    for (uint32_t seed : {47u, 48u}) {
        std::vector<uint8_t> text = SomeInput(seed);
        std::fill(text.begin() + 5000, text.begin() + 5600, ' ');
        for (int i = 30000; i < 31000; ++i) text[i] = "ab\tab"[i % 5];
        for (int32_t at : {25000, 40001, 52770})
            std::copy(text.begin() + at - WindowSize, text.begin() + at - WindowSize + 300, text.begin() + at);
        const int32_t size = static_cast<int32_t>(text.size());
        for (bool oneByte : {false, true}) {
            MatchFinder paired(text.data(), size), single(text.data(), size);
            if (oneByte) {
                paired.CheckOneByte();
                single.CheckOneByte();
            }
            int differences = 0, found = 0;
            for (int32_t position = 0; position + 1 < size; position += 2) {
                const int depth = position % 3 == 0 ? 12 : position % 3 == 1 ? 128 : 1 << 30;
                const int32_t limit[2] = {std::min<int32_t>(4352, size - position),
                                          std::min<int32_t>(4352, size - position - 1)};
                MatchCandidate a0[64], a1[64], b0[64], b1[64];
                MatchCandidate* out[2] = {a0, a1};
                int ka[2];
                paired.CollectTwo(position, limit, depth, out, ka);
                paired.Insert(position + 1);
                const int kb0 = single.Collect(position, limit[0], depth, b0);
                single.Insert(position);
                const int kb1 = single.Collect(position + 1, limit[1], depth, b1);
                single.Insert(position + 1);
                auto same = [](const MatchCandidate* x, int kx, const MatchCandidate* y, int ky) {
                    bool equal = kx == ky;
                    for (int i = 0; equal && i < kx; ++i)
                        equal = x[i].length == y[i].length && x[i].distance == y[i].distance;
                    return equal;
                };
                differences += !same(a0, ka[0], b0, kb0) + !same(a1, ka[1], b1, kb1);
                found += ka[0] + ka[1];
            }
            EXPECT_EQ(differences, 0) << "seed " << seed << " one byte " << oneByte;
            EXPECT_GT(found, size / 4) << "seed " << seed;
        }
    }
}

TEST(FileChains, HeadsBeforeAHistorysEndAreTheLastPositionsInFrontOfIt) {
    std::vector<uint8_t> bytes = SomeInput(53);
    bytes.resize(SlotCapacity);
    FileChains chains;
    chains.Build(bytes.data(), SlotCapacity);
    for (int32_t end : {HistoryAfterPrefix, HistoryAfterPrefix + 1, HistoryAfterPrefix + 40, HistoryAfterPrefix + 5000,
                        SlotCapacity - 216, SlotCapacity - 3, SlotCapacity - 1, SlotCapacity}) {
        std::vector<uint16_t> expected(4096, 0), scratch;
        for (int32_t p = 0; p < end && p + 3 <= SlotCapacity; ++p)
            expected[FileChains::Hash(bytes.data() + p)] = static_cast<uint16_t>(p + 1);
        const uint16_t* heads = chains.HeadsBefore(end, scratch);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heads)) << "end " << end;
    }
}

TEST(TrialFinder, EnteringTheReferenceWhereTheHistoryEndsFindsTheSame) {
    // A reference longer than any history, so that its chains run past the history.
    std::vector<uint8_t> reference = SomeInput(51);
    reference.resize(SlotCapacity);
    std::vector<uint8_t> file(reference.begin() + 100, reference.begin() + 9000);
    std::vector<uint8_t> own = PackTest::TextBytes(8000, 52);
    file.insert(file.end(), own.begin(), own.end());
    file.insert(file.end(), reference.begin() + 18000, reference.begin() + 21000);
    FileSlot slot;
    slot.size = SlotCapacity;
    std::copy(reference.begin(), reference.end(), slot.data);
    FileChains referenceChains, fileChains;
    referenceChains.Build(slot.data, slot.size);
    fileChains.Build(file.data(), static_cast<int32_t>(file.size()));
    // Heads where the usual history ends, heads made from those (40), from the last ones
    // (5000, 9000), the last ones (12000).
    for (int32_t prefix : {0, 0, 40, 5000, 9000, 12000}) {
        int32_t start, history;
        HistoryFor(slot, prefix, &start, &history);
        std::vector<uint8_t> window(slot.data + start, slot.data + start + history);
        window.insert(window.end(), file.begin() + prefix, file.end());
        TrialFinder fast(window.data(), history, referenceChains, start, start + history, fileChains, prefix);
        TrialFinder whole(window.data(), history, referenceChains, start, start + history, fileChains, prefix);
        whole.WalkWholeChain();
        int differences = 0;
        for (int32_t position = history; position < static_cast<int32_t>(window.size()); ++position) {
            const int32_t limit = std::min<int32_t>(4352, static_cast<int32_t>(window.size()) - position);
            for (int depth : {8, 48}) {
                int32_t da = -1, db = -1;
                const int32_t a = fast.Longest(position, limit, depth, &da), b = whole.Longest(position, limit, depth, &db);
                differences += a != b || (a > 0 && da != db);
            }
        }
        EXPECT_EQ(differences, 0) << "prefix " << prefix;
    }
}
