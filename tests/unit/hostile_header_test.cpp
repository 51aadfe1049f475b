// Hostile program files and bodies that try to make a file longer than its record:
// header strings cut short or longer than anything left of the file, a size that is
// right only modulo 4 GiB, bodies that run past the recorded length.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/archive.h"
#include "container/texts.h"
#include "engine/extract.h"
#include "harness.h"
#include "platform/posix/posix_platform.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Outcome {
    int code;
    std::vector<MessageId> boxes;
};

Outcome ExtractPayload(const TempFolder& dir, const std::vector<uint8_t>& payload) {
    fs::create_directories(dir / "dest");
    ArchiveLayout layout;
    layout.payload = payload;
    WriteArchive(dir / "setup.exe", layout);
    CoreHarness h;
    int code = h.Extract(dir / "setup.exe", dir / "dest");
    return {code, h.BoxIds()};
}

const std::vector<MessageId> Damaged{MsgCorrupt};
const std::vector<MessageId> ReadFailed{MsgReadFailed};

}  // namespace

TEST(HeaderStrings, ACutShortHeaderIsAReadFailureWhateverIsMissing) {
    // Recorded size, then "DISK" with no zero byte: the file ends inside the first string.
    std::vector<uint8_t> head{0x08, 0x70, 0x00, 0x00, 'D', 'I', 'S', 'K'};
    std::vector<uint8_t> program = Cat(TestStub(), head);
    // And every shorter cut of a full header: inside each string, the stamp, the last byte.
    ArchiveLayout layout;
    layout.volumeBase = "base";
    layout.message = "message";
    layout.runAfter = "run.exe";
    layout.payload = {0};
    TempFolder dir;
    WriteArchive(dir / "full.exe", layout);
    std::vector<uint8_t> full = ReadWholeFile(dir / "full.exe");
    size_t header = 4 + 5 + 8 + 8 + 8 + 1;
    std::vector<std::vector<uint8_t>> cuts{program};
    for (size_t keep = 5; keep < header; ++keep) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(TestStubSize + keep));
        SetRecordedSize(cut);
        cuts.push_back(cut);
    }
    for (const std::vector<uint8_t>& bytes : cuts) {
        WriteWholeFile(dir / "cut.exe", bytes);
        CoreHarness h;
        EXPECT_EQ(h.Test(dir / "cut.exe"), 1) << bytes.size();
        EXPECT_EQ(h.BoxIds(), ReadFailed) << bytes.size();
    }
}

TEST(HeaderStrings, LongStringsAcrossReadChunksLeaveTheFirstBlockInPlace) {
    for (size_t n : {size_t{0}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{8192}, size_t{300000}}) {
        TempFolder dir;
        ArchiveLayout layout;
        layout.volumeBase = std::string(n, 'v');
        layout.message = std::string(n / 2, 'm') + "\r\n" + std::string(n / 3, 'n');
        layout.runAfter = std::string(n + 1, 'r');
        EntryStream s;
        s.LiteralFile("after-the-header", Bytes("payload"));
        s.End();
        layout.payload = s.bytes;
        fs::create_directories(dir / "dest");
        WriteArchive(dir / "setup.exe", layout);
        CoreHarness h;
        ASSERT_EQ(h.Extract(dir / "setup.exe", dir / "dest"), 0) << n << h.BoxTextsUtf8();
        EXPECT_EQ(ArchiveHeader.VolumeBaseName.length, n);
        EXPECT_EQ(std::string(ArchiveHeader.VolumeBaseName.text), layout.volumeBase);
        EXPECT_EQ(std::string(ArchiveHeader.RunAfter.text), layout.runAfter);
        EXPECT_EQ(PosixMessageText, layout.message);
        EXPECT_EQ(ReadWholeFile(dir / "dest/after-the-header"), Bytes("payload")) << n;
    }
}

TEST(RecordedSize, FourGibibytesAppendedAreNotNothingAppended) {
    TempFolder dir;
    EntryStream s;
    s.LiteralFile("f", Bytes("x"));
    s.End();
    ArchiveLayout layout;
    layout.payload = s.bytes;
    std::string program = dir / "setup.exe";
    WriteArchive(program, layout);
    off_t size = static_cast<off_t>(fs::file_size(program));
    for (off_t extra : {off_t{1} << 32, (off_t{1} << 33)}) {
        // A sparse tail: the low 32 bits of the size still match the record.
        ASSERT_EQ(truncate(program.c_str(), size + extra), 0);
        fs::create_directories(dir / "dest");
        CoreHarness h;
        EXPECT_EQ(h.Extract(program, dir / "dest"), 0);
        EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgFileLarger});
        EXPECT_FALSE(fs::exists(dir / "dest/f"));
    }
}

TEST(OverrunningBodies, ALastMatchPastTheRecordedLengthIsDamage) {
    // 5 bytes recorded; the body makes 1,000: one literal and a match of 999.
    TempFolder dir;
    EntryStream s;
    s.LiteralFile("before", Bytes("kept"));
    s.File("overrun", 5, EncodeTokens({Token::Literal('a'), Token::Match(999, 1)}));
    s.End();
    Outcome r = ExtractPayload(dir, s.bytes);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.boxes, Damaged);
    EXPECT_EQ(ReadWholeFile(dir / "dest/before"), Bytes("kept"));
    EXPECT_FALSE(fs::exists(dir / "dest/overrun"));
    CoreHarness test;
    EXPECT_EQ(test.Test(dir / "setup.exe"), 1);
    EXPECT_EQ(test.BoxIds(), Damaged);
}

TEST(OverrunningBodies, AMatchByOneByteIsDamageAndAnExactOneIsNot) {
    for (int32_t recorded : {10, 11}) {
        TempFolder dir;
        EntryStream s;
        s.File("f", recorded, EncodeTokens({Token::Literal('a'), Token::Match(10, 1)}));
        s.End();
        Outcome r = ExtractPayload(dir, s.bytes);
        if (recorded == 11) {
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(ReadWholeFile(dir / "dest/f"), std::vector<uint8_t>(11, 'a'));
        } else {
            EXPECT_EQ(r.boxes, Damaged);
            EXPECT_FALSE(fs::exists(dir / "dest/f"));
        }
    }
}

TEST(OverrunningBodies, APrefixLongerThanTheFileIsDamageBeforeTheFileIsMade) {
    // Size 0 with a prefix of 0x5000 from slot 0: 20,480 bytes of the stub.
    TempFolder dir;
    EntryStream s;
    s.File("stub-bytes", 0, {}, 1, 0x5000);
    s.End();
    Outcome r = ExtractPayload(dir, s.bytes);
    EXPECT_EQ(r.boxes, Damaged);
    EXPECT_FALSE(fs::exists(dir / "dest/stub-bytes"));

    // A prefix of exactly the file's length is the whole file.
    TempFolder exact;
    EntryStream t;
    t.File("stub-bytes", 0x5000, {}, 1, 0x5000);
    t.End();
    ASSERT_EQ(ExtractPayload(exact, t.bytes).code, 0);
    std::vector<uint8_t> stub = TestStub();
    EXPECT_EQ(ReadWholeFile(exact / "dest/stub-bytes"), std::vector<uint8_t>(stub.begin(), stub.begin() + 0x5000));
}

TEST(EndMarker, TheSharedPrefixFormTakesThreeBytes) {
    // With nothing before it, "*", a count and a zero byte is an empty name: the end.
    TempFolder dir;
    Outcome r = ExtractPayload(dir, {'*', 7, 0});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(StoredNameBytes, 3u);
    TempFolder plain;
    EXPECT_EQ(ExtractPayload(plain, {0}).code, 0);
    EXPECT_EQ(StoredNameBytes, 1u);
}
