// Continuation across volume files and disks.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/texts.h"
#include "container/volumes.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

struct VolumeSet {
    TempFolder dir;
    TempFolder out;
    std::vector<uint8_t> content;
    std::vector<std::string> paths;
    ArchiveLayout layout;

    // One file spread over `count` volumes, plus a small first file that is complete
    // before the first volume change.
    explicit VolumeSet(int count) {
        content = PatternBytes(20000, 5, 6);
        EntryStream s;
        s.LiteralFile("first", {'1'});
        s.LiteralFile("spread", content);
        s.End();
        layout.payload = s.bytes;
        layout.volumeBase = "disk";
        size_t share = s.bytes.size() / static_cast<size_t>(count) + 1;
        for (int i = 1; i < count; ++i) layout.volumeShares.push_back(share);
        paths = WriteArchive(dir / "setup.exe", layout);
    }
    int Extract(CoreHarness& h) { return h.Extract(dir / "setup.exe", out.path); }
    void Rewrite(size_t volume, size_t offset, uint8_t value) {
        std::vector<uint8_t> bytes = ReadWholeFile(paths[volume]);
        bytes[offset] = value;
        WriteWholeFile(paths[volume], bytes);
    }
};

}  // namespace

TEST(Volumes, TwoAndThreeVolumesBesideTheProgramAreReadWithoutQuestions) {
    for (int count : {2, 3}) {
        VolumeSet v(count);
        ASSERT_EQ(v.paths.size(), static_cast<size_t>(count));
        EXPECT_TRUE(fs::exists(v.dir / "disk_2.DAT"));
        CoreHarness h;
        ASSERT_EQ(v.Extract(h), 0) << h.BoxTextsUtf8();
        EXPECT_TRUE(h.boxes.empty());
        EXPECT_EQ(ReadWholeFile(v.out / "spread"), v.content);
    }
}

TEST(Volumes, VolumeTenIsNamedWithoutLeadingZeros) {
    VolumeSet v(11);
    EXPECT_TRUE(fs::exists(v.dir / "disk_10.DAT"));
    EXPECT_TRUE(fs::exists(v.dir / "disk_11.DAT"));
    CoreHarness h;
    ASSERT_EQ(v.Extract(h), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(ReadWholeFile(v.out / "spread"), v.content);
}

TEST(Volumes, AMissingVolumeIsNamedAndThePartFileDeleted) {
    VolumeSet v(3);
    fs::remove(v.dir / "disk_3.DAT");
    CoreHarness h;
    EXPECT_EQ(v.Extract(h), 1);
    ASSERT_EQ(h.BoxIds(), std::vector<MessageId>{MsgVolumeMissing});
    EXPECT_EQ(h.boxes[0].text, std::string("disk_3") + TextVolumeMissing);
    EXPECT_EQ(h.boxes[0].owner, OwnerProgress);
    EXPECT_EQ(h.boxes[0].subject, "disk_3.DAT");
    EXPECT_EQ(ReadWholeFile(v.out / "first"), std::vector<uint8_t>{'1'});
    EXPECT_FALSE(fs::exists(v.out / "spread"));
}

TEST(Volumes, AForeignStampAWrongNumberOrAShortHeaderIsDamage) {
    for (int variant = 0; variant < 3; ++variant) {
        VolumeSet v(2);
        if (variant == 0) v.Rewrite(1, 3, 0x77);  // the stamp
        if (variant == 1) v.Rewrite(1, 8, 3);     // the number
        if (variant == 2) WriteWholeFile(v.paths[1], std::vector<uint8_t>(11, 0));
        CoreHarness h;
        EXPECT_EQ(v.Extract(h), 1) << variant;
        ASSERT_EQ(h.BoxIds(), std::vector<MessageId>{MsgVolumeDamaged}) << variant;
        EXPECT_EQ(h.boxes[0].text, std::string("disk_2") + TextVolumeDamaged);
        EXPECT_FALSE(fs::exists(v.out / "spread"));
    }
}

TEST(Volumes, AVolumeWithNothingBehindItsHeaderIsDamage) {
    VolumeSet v(2);
    std::vector<uint8_t> bytes = ReadWholeFile(v.paths[1]);
    bytes.resize(12);
    WriteWholeFile(v.paths[1], bytes);
    CoreHarness h;
    EXPECT_EQ(v.Extract(h), 1);
    EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgCorrupt});
}

TEST(Volumes, AnArchiveThatEndsInTheProgramNeverLooksForVolumes) {
    VolumeSet other(2);
    TempFolder out;
    EntryStream s;
    s.LiteralFile("only", {'x'});
    s.End();
    ArchiveLayout layout;
    layout.payload = s.bytes;
    layout.volumeBase = "disk";
    WriteArchive(other.dir / "setup.exe", layout);  // disk_2.DAT of another archive stays beside it
    CoreHarness h;
    EXPECT_EQ(h.Extract(other.dir / "setup.exe", out.path), 0);
    EXPECT_TRUE(h.boxes.empty());
}

TEST(RemovableMode, OnlyTheRootOfARemovableDriveAsks) {
    VolumeSet v(2);
    CoreHarness h;
    h.removableDrives = true;
    // In a subfolder of a removable drive: no questions, volumes beside the program.
    ASSERT_EQ(h.ExtractAs(v.dir / "setup.exe", "V:\\sub\\setup.exe", v.out.path, "T:\\"), 1);
    EXPECT_EQ(RemovableMode, 0);
    EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgVolumeMissing});  // V:\sub\ does not exist
}

TEST(RemovableMode, AsksForEveryDiskAndRetriesUntilTheRightOneIsIn) {
    VolumeSet v(3);
    fs::rename(v.dir / "disk_3.DAT", v.dir / "later.DAT");
    CoreHarness h;
    h.removableDrives = true;
    h.drives['A'] = v.dir.path;
    // The third disk goes in when the retry question is shown.
    h.onBox = [&](const BoxRecord& box) {
        if (box.id == MsgDiskRetry) fs::rename(v.dir / "later.DAT", v.dir / "disk_3.DAT");
    };
    h.answers = {AnswerOk, AnswerOk, AnswerOk};
    // A lower-case drive letter in the program's path: the messages say A.
    ASSERT_EQ(h.ExtractAs(v.dir / "setup.exe", "a:\\setup.exe", v.out.path, "T:\\"), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(RemovableMode, 1);
    ASSERT_EQ(h.BoxIds(), (std::vector<MessageId>{MsgInsertDisk, MsgInsertDisk, MsgDiskRetry}));
    EXPECT_EQ(h.boxes[0].text, "2" + std::string(TextInsertDiskA) + "A" + TextInsertDiskB);
    EXPECT_EQ(h.boxes[0].flags, 0x41u);
    EXPECT_EQ(h.boxes[0].owner, OwnerMain);
    EXPECT_EQ(h.boxes[2].text, std::string(TextDiskWrong) + "3" + TextInsertDiskAgain + "A" + TextInsertDiskB);
    EXPECT_EQ(h.boxes[2].flags, 0x11u);
    EXPECT_EQ(h.boxes[2].owner, OwnerProgress);
    EXPECT_EQ(ReadWholeFile(v.out / "spread"), v.content);
}

TEST(RemovableMode, CancelOnTheDiskQuestionSaysStoppedCancelOnTheRetrySaysNothing) {
    for (bool atRetry : {false, true}) {
        VolumeSet v(2);
        if (atRetry) fs::remove(v.dir / "disk_2.DAT");
        CoreHarness h;
        h.removableDrives = true;
        h.drives['A'] = v.dir.path;
        h.answers = atRetry ? std::deque<int>{AnswerOk, AnswerCancel} : std::deque<int>{AnswerCancel};
        EXPECT_EQ(h.ExtractAs(v.dir / "setup.exe", "A:\\setup.exe", v.out.path, "T:\\"), 1);
        if (atRetry)
            EXPECT_EQ(h.BoxIds(), (std::vector<MessageId>{MsgInsertDisk, MsgDiskRetry}));
        else
            EXPECT_EQ(h.BoxIds(), (std::vector<MessageId>{MsgInsertDisk, MsgStopped}));
        EXPECT_FALSE(fs::exists(v.out / "spread"));
        EXPECT_EQ(ReadWholeFile(v.out / "first"), std::vector<uint8_t>{'1'});
    }
}
