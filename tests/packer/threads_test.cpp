// Packing on several threads: the same archive for any number, references that reach
// across files encoded by different workers, and large files streamed in chunks.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/lz_decoder.h"
#include "pack_fixture.h"

class ThreadsTest : public PackTest {
protected:
    // Many small files that resemble files far back, and large ones among them.
    void MakeMixedTree() {
        std::vector<uint8_t> base = TextBytes(12000, 7);
        for (int i = 0; i < 300; ++i) {
            std::vector<uint8_t> v = i % 4 == 0 ? TextBytes(3000 + i * 7, i) : base;
            v[static_cast<size_t>(i * 31) % v.size()] ^= 0x20;
            MakeFile("m" + std::to_string(i % 9) + "/f" + std::to_string(i) + ".txt", v);
            if (i % 97 == 5) MakeFile("m" + std::to_string(i % 9) + "/large" + std::to_string(i) + ".bin",
                                      i % 2 ? RandomBytes(270000, i) : TextBytes(300000, i));
        }
    }

    std::vector<uint8_t> PackWith(int level, int threads) {
        PackOptions options = Options(level);
        options.threads = threads;
        PackSource(options);
        return ReadWholeFile(program);
    }
};

TEST_F(ThreadsTest, AnyNumberOfThreadsGivesTheSameArchive) {
    MakeMixedTree();
    // Reading the files moves their access times; this keeps them out of the archive.
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    for (int level : {1, PackDefaultLevel, PackMaxLevel}) {
        const std::vector<uint8_t> one = PackWith(level, 1);
        ExpectRestored();
        for (int threads : {2, 8})
            EXPECT_TRUE(PackWith(level, threads) == one) << "level " << level << ", " << threads << " threads";
    }
    unsetenv("SOURCE_DATE_EPOCH");
    // The references reach back across many files, so across what the workers held.
    int far = 0;
    for (const DecodedFile& f : DecodedFiles(program)) far += f.reference > 8;
    EXPECT_GT(far, 20);
}

TEST_F(ThreadsTest, PlanningRunsFarPastALargeFileWithoutLosingReferences) {
    // While the large file is encoded, the small files after it are planned and
    // encoded hundreds ahead of it; planning must still not overwrite the ring's copy
    // of a file that a file not yet started will read.
    std::vector<std::vector<uint8_t>> kinds;
    for (int k = 0; k < 7; ++k) kinds.push_back(TextBytes(2500 + 300 * k, 40 + k));
    auto small = [&](int i) {
        std::vector<uint8_t> v = i % 50 == 0 ? TextBytes(2000, 90 + i) : kinds[i % kinds.size()];
        v[static_cast<size_t>(i * 13) % v.size()] ^= 0x11;
        return v;
    };
    for (int i = 0; i < 100; ++i) MakeFile("a/f" + std::to_string(1000 + i) + ".txt", small(i));
    MakeFile("b/large.bin", TextBytes(1500000, 77));
    for (int i = 0; i < 900; ++i) MakeFile("c/g" + std::to_string(1000 + i) + ".txt", small(i));
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    const std::vector<uint8_t> one = PackWith(PackDefaultLevel, 1);
    for (int threads : {2, 3})
        EXPECT_TRUE(PackWith(PackDefaultLevel, threads) == one) << threads << " threads";
    unsetenv("SOURCE_DATE_EPOCH");
    ExpectRestored();
}

TEST_F(ThreadsTest, LargeFilesAreStreamedAndKeepTheirPrefixAndHistory) {
    // The large file starts with all of an earlier file's kept bytes (the longest
    // prefix there is), and goes on past several chunks of reading and encoding.
    std::vector<uint8_t> start = TextBytes(SlotCapacity + 5000, 11);
    MakeFile("a/start.txt", start);
    std::vector<uint8_t> large = start;
    std::vector<uint8_t> rest = TextBytes(2500000, 12);
    large.insert(large.end(), rest.begin(), rest.end());
    MakeFile("b/large.txt", large);
    MakeFile("c/after.txt", std::vector<uint8_t>(large.begin(), large.begin() + 40000));
    for (int threads : {1, 2}) {
        PackOptions options = Options(1);
        options.threads = threads;
        PackSource(options);
        ExpectRestored();
    }
    std::vector<DecodedFile> decoded = DecodedFiles(program);
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_EQ(decoded[1].prefix, SlotCapacity);
    EXPECT_EQ(decoded[2].prefix, SlotCapacity);
}

TEST_F(ThreadsTest, StoppingFromTheProgressReportLeavesNothingBehind) {
    // What Ctrl-C does: the report throws while workers are busy with later files.
    MakeMixedTree();
    struct Stop {};
    for (int threads : {1, 2, 8}) {
        PackOptions options = Options();
        options.threads = threads;
        int calls = 0;
        options.progress = [&](uint64_t, uint64_t) {
            if (++calls == 3) throw Stop{};
        };
        EXPECT_THROW(PackSource(options), Stop) << threads << " threads";
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(std::string(temp / "")))
            if (e.path().filename() != "src") left.push_back(e.path().filename());
        EXPECT_TRUE(left.empty()) << left.front();
    }
}
