// Opening the program file: the bare program, the size test and the header.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/archive.h"
#include "container/texts.h"
#include "harness.h"
#include "platform/posix/posix_platform.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> OneFileStream() {
    EntryStream s;
    s.File("A", 1, {0xAE, 0x01});
    s.End();
    return s.bytes;
}

}  // namespace

TEST(OpenArchive, TheBareProgramShowsNothingAndCannotExtract) {
    TempFolder dir;
    WriteWholeFile(dir / "setup.exe", TestStub());
    CoreHarness h;
    EXPECT_EQ(h.Extract(dir / "setup.exe", dir.path), 0);
    EXPECT_TRUE(h.bareProgram);
    EXPECT_TRUE(PosixExtractDisabled);
    EXPECT_TRUE(PosixMessageText.empty());
    EXPECT_TRUE(h.boxes.empty());
}

TEST(OpenArchive, ShortFilesAreReadFailures) {
    for (size_t size : {size_t{0}, size_t{100}, TestStubSize - 1, TestStubSize + 1, TestStubSize + 3}) {
        TempFolder dir;
        std::vector<uint8_t> bytes = TestStub();
        bytes.resize(size, 0);
        WriteWholeFile(dir / "setup.exe", bytes);
        CoreHarness h;
        EXPECT_EQ(h.Extract(dir / "setup.exe", dir.path), 1) << size;
        ASSERT_EQ(h.BoxIds(), std::vector<MessageId>{MsgReadFailed}) << size;
        EXPECT_EQ(h.boxes[0].text, TextReadFailed);
        EXPECT_EQ(h.boxes[0].flags, 0x10u);
        EXPECT_EQ(h.boxes[0].owner, OwnerMain);
    }
    CoreHarness missing;
    EXPECT_EQ(missing.Extract("/nonexistent/setup.exe", "/tmp"), 1);
    EXPECT_EQ(missing.BoxIds(), std::vector<MessageId>{MsgReadFailed});
}

TEST(OpenArchive, RecordedSizeOneOffGivesTheSizeMessagesAndExitCodeZero) {
    for (int delta : {+1, -1}) {
        TempFolder dir;
        ArchiveLayout layout;
        layout.payload = OneFileStream();
        layout.setRecordedSize = true;
        layout.recordedSize = static_cast<uint32_t>(TestStubSize + 16 + Blocks(layout.payload).size() + delta);
        WriteWholeFile(dir / "setup.exe", {});
        WriteArchive(dir / "setup.exe", layout);
        TempFolder out;
        CoreHarness h;
        EXPECT_EQ(h.Extract(dir / "setup.exe", out.path), 0);
        ASSERT_EQ(h.boxes.size(), 1u);
        EXPECT_EQ(h.boxes[0].id, delta > 0 ? MsgFileSmaller : MsgFileLarger);
        EXPECT_EQ(h.boxes[0].text, delta > 0 ? TextFileSmaller : TextFileLarger);
        EXPECT_EQ(h.boxes[0].owner, OwnerNone);
        EXPECT_EQ(h.boxes[0].flags, 0x10u);
        EXPECT_TRUE(fs::is_empty(out.path));
    }
}

TEST(OpenArchive, HeaderStringsAreReadInOrderAndTheFirstBlockFollowsTheZeroByte) {
    TempFolder dir;
    ArchiveLayout layout;
    layout.payload = OneFileStream();
    layout.volumeBase = "base";
    layout.message = Cp932("一行目\r\n二行目");
    layout.runAfter = "readme.txt";
    WriteArchive(dir / "setup.exe", layout);
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(h.Extract(dir / "setup.exe", out.path), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(PosixMessageText, layout.message);
    EXPECT_STREQ(ArchiveHeader.VolumeBaseName.text, "base");
    EXPECT_STREQ(ArchiveHeader.RunAfter.text, "readme.txt");
    EXPECT_EQ(ArchiveHeader.IdentityStamp, layout.stamp);
    EXPECT_EQ(ReadWholeFile(out / "A"), Bytes("A"));
}

TEST(OpenArchive, AllEmptyHeaderStringsAreValid) {
    TempFolder dir;
    ArchiveLayout layout;
    layout.payload = OneFileStream();
    WriteArchive(dir / "setup.exe", layout);
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(h.Extract(dir / "setup.exe", out.path), 0);
    EXPECT_TRUE(PosixMessageText.empty());
    EXPECT_STREQ(ArchiveHeader.RunAfter.text, "");
}

TEST(OpenArchive, AHeaderStringWithoutItsZeroIsAReadFailure) {
    TempFolder dir;
    std::vector<uint8_t> bytes = TestStub();
    std::vector<uint8_t> header{0, 0, 0, 0, 'n', 'o', ' ', 'e', 'n', 'd'};
    bytes.insert(bytes.end(), header.begin(), header.end());
    SetRecordedSize(bytes);
    WriteWholeFile(dir / "setup.exe", bytes);
    CoreHarness h;
    EXPECT_EQ(h.Extract(dir / "setup.exe", dir.path), 1);
    EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgReadFailed});
}

TEST(OpenArchive, ALongMessageIsReadWhole) {
    TempFolder dir;
    ArchiveLayout layout;
    layout.payload = OneFileStream();
    layout.message = std::string(300000, 'm');
    WriteArchive(dir / "setup.exe", layout);
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(h.Extract(dir / "setup.exe", out.path), 0);
    EXPECT_EQ(PosixMessageText.size(), 300000u);
}
