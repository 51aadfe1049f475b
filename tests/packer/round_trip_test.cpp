// Archives made by the packer, extracted by the core: every tree must come back.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "container/block_stream.h"
#include "engine/extract.h"
#include "pack_fixture.h"

namespace fs = std::filesystem;

TEST_F(PackTest, SizesAroundTheWindowTheSlotAndTheOutputChunks) {
    for (size_t size : {0, 1, 2, 0x3FFF, 0x4000, 0x4001, 0x6000, 0x6001, 0x8000, 0xC000, 0x10000}) {
        MakeFile("text/" + std::to_string(size) + ".txt", TextBytes(size, static_cast<uint32_t>(size)));
        MakeFile("random/" + std::to_string(size) + ".bin", RandomBytes(size, static_cast<uint32_t>(size)));
    }
    PackSource(Options());
    ExpectRestored();
}

TEST_F(PackTest, LargeRandomAndRepetitiveFiles) {
    MakeFile("random.bin", RandomBytes(1500000, 1));
    std::vector<uint8_t> repetitive(3000000);
    for (size_t i = 0; i < repetitive.size(); ++i) repetitive[i] = static_cast<uint8_t>(i % 5000 < 4000 ? 0 : i % 7);
    MakeFile("repetitive.bin", repetitive);
    MakeFile("text.txt", TextBytes(700000, 2));
    PackResult result = PackSource(Options(PackMaxLevel));
    // Random bytes cannot shrink, but must not grow by more than the codes' overhead.
    EXPECT_LT(result.outputBytes, 0x7000 + 1500000 * 101 / 100 + 200000);
    ExpectRestored();
}

TEST_F(PackTest, EveryLevelRestoresTheSameTree) {
    for (int i = 0; i < 12; ++i) {
        MakeFile("src/module" + std::to_string(i) + ".py", TextBytes(3000 + 977 * i, i));
        MakeFile("data/blob" + std::to_string(i) + ".bin", RandomBytes(100 + 300 * i, i));
    }
    MakeFile("copy/module3.py", TextBytes(3000 + 977 * 3, 3));
    uint64_t previous = 0;
    for (int level = PackMinLevel; level <= PackMaxLevel; ++level) {
        PackResult result = PackSource(Options(level));
        ExpectRestored();
        if (level == PackMinLevel) previous = result.outputBytes;
        EXPECT_LE(result.outputBytes, previous * 102 / 100) << "level " << level << " is much larger than level 1";
    }
}

namespace {
std::vector<EntryEvent> Seen;
bool Record(const EntryEvent& e) {
    if (e.decoded) Seen.push_back(e);
    return true;
}
}  // namespace

TEST_F(PackTest, HundredsOfSimilarFilesWrapTheRingAndUseReferences) {
    // 600 files: the ring of 256 slots wraps twice, replacing the stub's slot 0.
    std::vector<uint8_t> base = TextBytes(9000, 42);
    for (int i = 0; i < 600; ++i) {
        std::vector<uint8_t> v = base;
        v[static_cast<size_t>(i * 13) % v.size()] = static_cast<uint8_t>('A' + i % 26);
        v.resize(v.size() - static_cast<size_t>(i % 50));
        if (i % 3 == 0) v = TextBytes(4000 + i, static_cast<uint32_t>(i));
        MakeFile("f" + std::to_string(i % 7) + "/file" + std::to_string(i) + (i % 2 ? ".txt" : ".log"), v);
    }
    PackResult result = PackSource(Options(5));
    EXPECT_EQ(result.files, 600u);
    EXPECT_EQ(result.folders, 7u);
    ExpectRestored();

    Seen.clear();
    CoreHarness harness;
    EntryObserver = Record;
    ASSERT_EQ(harness.Test(program), 0) << harness.BoxTextsUtf8();
    ASSERT_EQ(Seen.size(), 600u);
    int far = 0, prefixed = 0;
    for (const EntryEvent& e : Seen) {
        far += e.reference > 1;
        prefixed += e.prefix > 0;
    }
    EXPECT_GT(far, 10);
    EXPECT_GT(prefixed, 100);
}

TEST_F(PackTest, DeepAndEmptyFoldersAreRestored) {
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += "level" + std::to_string(i) + "/";
    MakeFile(deep + "bottom.txt", TextBytes(100, 1));
    MakeFolder("empty");
    MakeFolder("nested/empty/inside");
    MakeFolder(deep + "also-empty");
    MakeFile("nested/file.txt", {});
    PackResult result = PackSource(Options());
    EXPECT_EQ(result.folders, 40u + 1 + 3 + 1);
    ExpectRestored();
}

TEST_F(PackTest, DoubleByteNamesIncludingTrailByte5C) {
    MakeFile("\xE8\xA1\xA8.txt", TextBytes(500, 1));                      // 表: 0x95 0x5C
    MakeFile("\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88/\xE8\x83\xBD.bin", RandomBytes(300, 2));  // ソフト\能
    MakeFile("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/\xEF\xBD\xB1\xEF\xBD\xB2.txt", TextBytes(50, 3));  // 日本語\ｱｲ
    MakeFolder("\xE8\xA1\xA8/\xE3\x82\xBD");  // 表\ソ, empty
    PackSource(Options());
    ExpectRestored();
}

TEST_F(PackTest, TinyVolumesSplitNamesAndBodiesAcrossManyFiles) {
    // Volume files are as large as the program file's head and a little more, so it
    // takes a lot of incompressible data to make many; long names catch a few cuts.
    for (int i = 0; i < 800; ++i)
        MakeFile("a-rather-long-folder-name/and-a-long-file-name-number-" + std::to_string(i) + ".bin",
                 RandomBytes(1000 + i % 200, i));
    PackOptions options = Options();
    options.volumeBase = "DISK";
    options.volumeSize = 112;
    ASSERT_THROW(PackSource(options), PackError) << "the program file cannot be that small";
    const uint64_t programHead = 0x7000 + 4 + 5 + 8 + 1 + 1 + 1;
    // 100 bytes of blocks in the program file.
    options.volumeSize = programHead + 100;
    PackResult result = PackSource(options);
    ASSERT_GT(result.volumePaths.size(), 30u);
    for (size_t i = 0; i < result.volumePaths.size(); ++i) {
        EXPECT_LE(result.volumeSizes[i], options.volumeSize);
        if (i > 0) {
            EXPECT_EQ(result.volumePaths[i], temp / ("DISK_" + std::to_string(i + 1) + ".DAT"));
        }
        EXPECT_EQ(fs::file_size(result.volumePaths[i]), result.volumeSizes[i]);
    }
    ExpectRestored();
}

TEST_F(PackTest, VolumesEndWithFullBlocksOrAShortLastOne) {
    MakeFile("big.bin", RandomBytes(100000, 9));
    // Seven full blocks per volume file, then 1 to 4 bytes of room: below 3 bytes no
    // block fits, at 3 a block of one payload byte.
    for (uint64_t spare : {1, 2, 3, 4}) {
        PackOptions options = Options(1);
        options.volumeSize = 12 + 4098 * 7 + spare;
        PackResult result = PackSource(options);
        ASSERT_GT(result.volumePaths.size(), 3u);
        for (size_t i = 1; i + 1 < result.volumePaths.size(); ++i) {
            uint64_t expected = spare < 3 ? 12 + 4098 * 7 : options.volumeSize;
            EXPECT_EQ(result.volumeSizes[i], expected) << "volume " << i + 1 << ", spare " << spare;
        }
        ExpectRestored();
    }
}

TEST_F(PackTest, HeaderCarriesMessageRunAfterStampAndRecordedSize) {
    MakeFile("setup/readme.txt", TextBytes(100, 1));
    PackOptions options = Options();
    options.messageUtf8 = "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\nsecond line\r\nthird";
    options.runAfter = "setup/readme.txt";
    options.volumeBase = "PARTS";
    PackResult result = PackSource(options);
    ASSERT_EQ(result.volumePaths.size(), 1u);
    std::vector<uint8_t> file = ReadWholeFile(program);
    std::vector<uint8_t> stub = DefaultStubImage();
    ASSERT_TRUE(std::equal(stub.begin(), stub.end(), file.begin()));
    uint32_t recorded = file[0x7000] | file[0x7001] << 8 | file[0x7002] << 16 | static_cast<uint32_t>(file[0x7003]) << 24;
    EXPECT_EQ(recorded, file.size());
    std::string rest(file.begin() + 0x7004, file.begin() + 0x7004 + 80);
    EXPECT_EQ(rest.substr(0, 6), std::string("PARTS\0", 6));
    double stamp;
    std::memcpy(&stamp, rest.data() + 6, 8);
    EXPECT_EQ(stamp, 46000.5);
    std::string message = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\r\nsecond line\r\nthird";
    EXPECT_EQ(rest.substr(14, message.size() + 1), message + '\0');
    EXPECT_EQ(rest.substr(15 + message.size(), 18), std::string("setup\\readme.txt\0\0", 18));
}

TEST_F(PackTest, EntryStreamOfASingleLetterFile) {
    MakeFile("A", {0x41}, 1600000000);
    PackSource(Options());
    std::vector<uint8_t> s = EntryStreamOf(program);
    ASSERT_EQ(s.size(), 2 + 24 + 4 + 1 + 2 + 1u);
    EXPECT_EQ(s[0], 0x41);
    EXPECT_EQ(s[1], 0x00);
    uint64_t write = 0;
    for (int i = 0; i < 8; ++i) write |= static_cast<uint64_t>(s[2 + 16 + i]) << (8 * i);
    EXPECT_EQ(write, (1600000000ull + 11644473600ull) * 10000000ull + 5000000);
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 26, s.end()),
              (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00, 0x00, 0xAE, 0x01, 0x00}));
}

TEST_F(PackTest, NamesShareTheirFirstBytesWithThePreviousName) {
    MakeFile("documentation/chapter-one.txt", TextBytes(10, 1));
    MakeFile("documentation/chapter-two.txt", TextBytes(10, 2));
    PackSource(Options());
    std::vector<uint8_t> s = EntryStreamOf(program);
    std::string text(s.begin(), s.end());
    EXPECT_EQ(text.find("documentation\\.", 0), 0u);
    // The second name takes "documentation\chapter-" (22 bytes) from the first.
    EXPECT_NE(text.find(std::string("*\x14two.txt\0", 10)), std::string::npos);
    ExpectRestored();
}

TEST_F(PackTest, SameInputAndSourceDateEpochGiveTheSameBytes) {
    MakeFile("a/one.txt", TextBytes(20000, 1));
    MakeFile("b/two.bin", RandomBytes(5000, 2));
    PackOptions options = Options();
    options.identityStamp.reset();
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    PackResult first = PackSource(options);
    std::vector<uint8_t> bytes = ReadWholeFile(program);
    PackResult second = PackSource(options);
    unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(first.identityStamp, 1700000000.0 / 86400 + 25569);
    EXPECT_EQ(second.identityStamp, first.identityStamp);
    EXPECT_TRUE(ReadWholeFile(program) == bytes);
}

TEST_F(PackTest, AnEarlierArchiveInsideTheSourceIsNotPackedAgain) {
    MakeFile("readme.txt", TextBytes(1000, 1));
    PackOptions options = Options(1);
    options.output = source + "/setup.exe";
    options.volumeSize = 30000;
    MakeFile("big.bin", RandomBytes(40000, 2));
    PackResult first = PackSource(options);
    ASSERT_GT(first.volumePaths.size(), 1u);
    // Reached through a link, a volume is still one of the archive's own files.
    fs::create_symlink("setup_2.DAT", source + "/second-volume.lnk");
    PackResult second = PackSource(options);
    EXPECT_EQ(second.files, 2u);
    EXPECT_EQ(second.volumeSizes, first.volumeSizes);
}

TEST_F(PackTest, ACopyOfARecentFileIsStoredAsItsPrefix) {
    std::vector<uint8_t> bytes = RandomBytes(20000, 5);
    MakeFile("a/original.bin", bytes);
    MakeFile("b/unrelated.txt", TextBytes(3000, 6));
    MakeFile("c/copy.bin", bytes);
    PackResult result = PackSource(Options());
    EXPECT_LT(result.outputBytes, 0x7000 + 20000 + 3000 / 2 + 300u);
    ExpectRestored();
}

TEST_F(PackTest, ProgressRisesToTheTotalAlsoWithinLongFiles) {
    MakeFile("long.txt", TextBytes(400000, 1));
    MakeFile("short.txt", TextBytes(1000, 2));
    for (int threads : {1, 2}) {
        for (int level : {1, PackMaxLevel}) {
            PackOptions options = Options(level);
            options.threads = threads;
            std::vector<uint64_t> seen;
            options.progress = [&](uint64_t done, uint64_t total) {
                EXPECT_EQ(total, 401000u);
                seen.push_back(done);
            };
            PackSource(options);
            // With workers the reports come as the writer waits, so how many depends on timing.
            if (threads == 1) {
                ASSERT_GT(seen.size(), 4u) << "level " << level;
            }
            EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
            EXPECT_EQ(seen.back(), 401000u);
        }
    }
}

namespace {
std::vector<std::string> StoredNames;
bool RecordName(const EntryEvent& e) {
    if (!e.decoded) StoredNames.push_back(e.name);
    return true;
}
}  // namespace

TEST_F(PackTest, LookAlikeCharactersAreStoredAsTheirCodePage932Form) {
    MakeFile("wave\xE3\x80\x9C" "dash.txt", TextBytes(10, 1));  // U+301C WAVE DASH
    PackSource(Options());
    StoredNames.clear();
    CoreHarness harness;
    EntryObserver = RecordName;
    ASSERT_EQ(harness.Test(program), 0) << harness.BoxTextsUtf8();
    EXPECT_EQ(StoredNames, std::vector<std::string>{"wave\x81\x60" "dash.txt"});
}

TEST_F(PackTest, TheGivenStubGoesInFrontAndPrimesTheFirstFile) {
    std::vector<uint8_t> stub = RandomBytes(0x7000, 77);
    // The first file repeats a stretch of the stub's first 15,360 bytes, its history.
    MakeFile("from-stub.bin", std::vector<uint8_t>(stub.begin() + 1000, stub.begin() + 9000));
    PackOptions options = Options();
    options.stub = stub;
    PackResult result = PackSource(options);
    EXPECT_LT(result.outputBytes, 0x7000 + 100u);
    std::vector<uint8_t> file = ReadWholeFile(program);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), file.begin()));
    ExpectRestored();
}
