// Buffers served as files through the POSIX seam (what the fuzz targets read archives from).
#include <gtest/gtest.h>

#include <cstring>

#include "archive_builder.h"
#include "container/archive.h"
#include "container/block_stream.h"
#include "engine/extract.h"
#include "harness.h"
#include "platform/posix/memory_files.h"
#include "platform/posix/posix_platform.h"

TEST(MemoryFiles, ReadSizePositionSeekAndCloseLikeFiles) {
    PosixResetPlatform();
    const uint8_t bytes[] = {'0', '1', '2', '3', '4', '5'};
    PosixServeMemoryFile("M:\\six", bytes, sizeof bytes);
    PlatFile a = PlatOpenRead("M:\\six");
    PlatFile b = PlatOpenRead("M:\\six");
    ASSERT_NE(a, PlatNoFile);
    ASSERT_NE(b, a);
    char buffer[8] = {};
    uint32_t got = 0;
    EXPECT_TRUE(PlatRead(a, buffer, 4, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::memcmp(buffer, "0123", 4), 0);
    EXPECT_TRUE(PlatRead(a, buffer, 8, &got));  // short at the end, as a file reads
    EXPECT_EQ(got, 2u);
    EXPECT_TRUE(PlatRead(a, buffer, 1, &got));
    EXPECT_EQ(got, 0u);
    int64_t size = 0, at = 0;
    EXPECT_TRUE(PlatSize(a, &size));
    EXPECT_EQ(size, 6);
    EXPECT_TRUE(PlatPosition(b, &at));  // each open has its own position
    EXPECT_EQ(at, 0);
    EXPECT_TRUE(PlatSeek(a, 5));
    EXPECT_TRUE(PlatRead(a, buffer, 4, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], '5');
    EXPECT_TRUE(PlatClose(a));
    EXPECT_FALSE(PlatRead(a, buffer, 1, &got));
    EXPECT_FALSE(PlatClose(a));
    EXPECT_TRUE(PlatClose(b));
    // Other paths still reach the file system; a reset forgets the buffers.
    EXPECT_EQ(PlatOpenRead("M:\\other"), PlatNoFile);
    PosixResetPlatform();
    EXPECT_EQ(PlatOpenRead("M:\\six"), PlatNoFile);
}

TEST(MemoryFiles, AnArchiveAndItsVolumeDecodeFromMemory) {
    TempFolder dir;
    ArchiveLayout layout;
    layout.volumeBase = "disk";
    std::vector<uint8_t> content = PatternBytes(9000, 3, 5);
    EntryStream s;
    s.LiteralFile("spread", content);
    s.End();
    layout.payload = s.bytes;
    layout.volumeShares = {2000};
    std::vector<std::string> paths = WriteArchive(dir / "setup.exe", layout);
    ASSERT_EQ(paths.size(), 2u);
    std::vector<uint8_t> program = ReadWholeFile(paths[0]), volume = ReadWholeFile(paths[1]);

    PosixResetPlatform();
    PosixServeMemoryFile("V:\\setup.exe", program.data(), program.size());
    PosixServeMemoryFile("V:\\disk_2.DAT", volume.data(), volume.size());
    std::memcpy(ProgramPath, "V:\\setup.exe", sizeof "V:\\setup.exe");
    Hooks.exitProcess = [](int code) { throw ProcessExit{code}; };
    static int32_t decodedSize;
    decodedSize = -1;
    EntryObserver = [](const EntryEvent& e) {
        if (e.decoded) decodedSize = e.fileSize;
        return true;
    };
    DecodeOnly = true;
    VolumeNumber = 1;
    int code = 0;
    try {
        ASSERT_EQ(OpenArchive(), ArchiveReady);
        ExtractEntries("X:\\");
    } catch (const ProcessExit& e) {
        code = e.code;
    }
    DecodeOnly = false;
    EntryObserver = nullptr;
    EXPECT_EQ(code, 0);
    EXPECT_EQ(VolumeNumber, 2);
    EXPECT_EQ(decodedSize, 9000);
    PosixResetPlatform();
}
