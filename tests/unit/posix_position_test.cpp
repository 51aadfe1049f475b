// The POSIX seam answers a read file's position from its own count; the system's
// answer (lseek) must always be the same.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness.h"
#include "platform/platform.h"
#include "platform/posix/posix_platform.h"

namespace {

TEST(PosixPosition, CountedPositionIsTheSystems) {
    TempFolder dir;
    std::vector<uint8_t> bytes(100000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    WriteWholeFile(dir / "a.bin", bytes);
    WriteWholeFile(dir / "b.bin", {1, 2, 3});
    PosixResetPlatform();
    PlatFile a = PlatOpenRead((dir / "a.bin").c_str());
    ASSERT_NE(a, PlatNoFile);
    uint8_t buffer[5000];
    uint32_t seed = 1;
    for (int i = 0; i < 60; ++i) {
        seed = seed * 1103515245u + 12345u;
        uint32_t got = 0;
        ASSERT_TRUE(PlatRead(a, buffer, (seed >> 8) % sizeof buffer, &got));
        int64_t counted = -1;
        ASSERT_TRUE(PlatPosition(a, &counted));
        EXPECT_EQ(counted, lseek(static_cast<int>(a), 0, SEEK_CUR));
        if (i == 30) {
            // Another file read in between is asked of the system, and counts its own.
            PlatFile b = PlatOpenRead((dir / "b.bin").c_str());
            ASSERT_TRUE(PlatRead(b, buffer, 2, &got));
            int64_t at = -1;
            ASSERT_TRUE(PlatPosition(b, &at));
            EXPECT_EQ(at, 2);
            ASSERT_TRUE(PlatPosition(a, &counted));
            EXPECT_EQ(counted, lseek(static_cast<int>(a), 0, SEEK_CUR));
            PlatClose(b);
        }
    }
    PlatClose(a);
}

}  // namespace
