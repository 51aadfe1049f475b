// The POSIX seam answers a read file's position from its own count and reads the file
// it read last ahead of what is asked; what it delivers, and where it says it is, must
// be what plain reads from the start would give.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"
#include "platform/platform.h"
#include "platform/posix/posix_platform.h"

namespace {

TEST(PosixPosition, ReadsAheadDeliverTheFileAndCountItsPosition) {
    TempFolder dir;
    std::vector<uint8_t> bytes(2000000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    WriteWholeFile(dir / "a.bin", bytes);
    WriteWholeFile(dir / "b.bin", {1, 2, 3});
    PosixResetPlatform();
    PlatFile a = PlatOpenRead((dir / "a.bin").c_str());
    ASSERT_NE(a, PlatNoFile);
    int64_t size = 0;
    ASSERT_TRUE(PlatSize(a, &size));
    EXPECT_EQ(size, static_cast<int64_t>(bytes.size()));
    std::vector<uint8_t> buffer(100000);
    size_t expected = 0;  // where plain reads would be
    uint32_t seed = 1;
    for (int i = 0; i < 80; ++i) {
        seed = seed * 1103515245u + 12345u;
        // Mostly block-sized reads, some larger than a piece read ahead, some empty.
        uint32_t n = i % 9 == 4 ? 70000 + seed % 20000 : (seed >> 8) % 5000;
        uint32_t got = 0;
        ASSERT_TRUE(PlatRead(a, buffer.data(), n, &got));
        uint32_t left = static_cast<uint32_t>(bytes.size() - expected);
        ASSERT_EQ(got, std::min(n, left)) << "read " << i;
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + got, bytes.begin() + static_cast<long>(expected)))
            << "read " << i;
        expected += got;
        int64_t counted = -1;
        ASSERT_TRUE(PlatPosition(a, &counted));
        EXPECT_EQ(counted, static_cast<int64_t>(expected));
        if (i == 30) {
            // Another file opened in between is read and counted on its own; the first
            // is then read without the seam's help, from where its reads had got to.
            PlatFile b = PlatOpenRead((dir / "b.bin").c_str());
            ASSERT_TRUE(PlatRead(b, buffer.data(), 2, &got));
            int64_t at = -1;
            ASSERT_TRUE(PlatPosition(b, &at));
            EXPECT_EQ(at, 2);
            ASSERT_TRUE(PlatSize(b, &size));
            EXPECT_EQ(size, 3);
            ASSERT_TRUE(PlatPosition(a, &counted));
            EXPECT_EQ(counted, static_cast<int64_t>(expected));
            EXPECT_EQ(lseek(static_cast<int>(a), 0, SEEK_CUR), static_cast<off_t>(expected));
            PlatClose(b);
        }
        if (i == 50) {
            // A seek drops what was read ahead.
            expected = 12345;
            ASSERT_TRUE(PlatSeek(a, static_cast<int64_t>(expected)));
        }
    }
    // Block by block to the end, and a read there gets nothing.
    for (;;) {
        uint32_t got = 0;
        ASSERT_TRUE(PlatRead(a, buffer.data(), 4098, &got));
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + got, bytes.begin() + static_cast<long>(expected)));
        expected += got;
        if (got < 4098) break;
    }
    EXPECT_EQ(expected, bytes.size());
    int64_t counted = -1;
    ASSERT_TRUE(PlatPosition(a, &counted));
    EXPECT_EQ(counted, static_cast<int64_t>(bytes.size()));
    PlatClose(a);
}

TEST(PosixPosition, ASeekOfTheFileReadAheadStartsItsReadsThere) {
    TempFolder dir;
    std::vector<uint8_t> bytes(200000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    WriteWholeFile(dir / "a.bin", bytes);
    PosixResetPlatform();
    PlatFile a = PlatOpenRead((dir / "a.bin").c_str());
    ASSERT_NE(a, PlatNoFile);
    uint8_t buffer[4098];
    for (int64_t to : {int64_t{100}, int64_t{150000}, int64_t{3}, int64_t{199990}}) {
        ASSERT_TRUE(PlatSeek(a, to));
        uint32_t got = 0;
        ASSERT_TRUE(PlatRead(a, buffer, sizeof buffer, &got));
        ASSERT_EQ(got, std::min<uint32_t>(sizeof buffer, static_cast<uint32_t>(bytes.size() - to)));
        EXPECT_TRUE(std::equal(buffer, buffer + got, bytes.begin() + to)) << to;
        int64_t counted = -1;
        ASSERT_TRUE(PlatPosition(a, &counted));
        EXPECT_EQ(counted, to + got);
    }
    PlatClose(a);
}

}  // namespace
