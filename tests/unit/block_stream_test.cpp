#include <gtest/gtest.h>

#include <cstring>

#include "archive_builder.h"
#include "container/block_stream.h"
#include "harness.h"

namespace {

uint32_t CrcOf(const char* text) {
    return Crc16(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

uint32_t RunningValue(const std::vector<uint8_t>& bytes) {
    uint32_t v = 0;
    for (uint8_t b : bytes) v = Crc16Update(v, b);
    return v;
}

// The reference definition: the block divided by the polynomial one bit at a time.
uint32_t BitwiseUpdate(uint32_t value, uint8_t byte) {
    for (int i = 7; i >= 0; --i) {
        value = value * 2 + ((byte >> i) & 1);
        if (value & 0x10000) value ^= 0x18005;
    }
    return value;
}

}  // namespace

TEST(Crc16, KnownCheckValues) {
    EXPECT_EQ(CrcOf("123456789"), 0xFEE8u);
    EXPECT_EQ(CrcOf("abc"), 0xCADBu);
    EXPECT_EQ(CrcOf(""), 0u);
}

TEST(Crc16, TableMatchesBitwiseDivisionForEveryByteAndValue) {
    for (uint32_t value = 0; value < 0x10000; value += 251)
        for (int b = 0; b < 256; ++b)
            ASSERT_EQ(Crc16Update(value, static_cast<uint8_t>(b)), BitwiseUpdate(value, static_cast<uint8_t>(b)))
                << value << " " << b;
}

// Both fast ways, by tables and by folding (where the processor has it), against the
// bitwise division.
class CrcWays : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        saved = CrcByFolding;
        if (GetParam() && !CrcByFolding) GTEST_SKIP() << "this processor cannot fold";
        CrcByFolding = GetParam();
    }
    void TearDown() override { CrcByFolding = saved; }
    bool saved = false;
};
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
TEST(Crc16, FoldsWhereTheProcessorCan) {
    // A folding path compiled out by mistake would only show as a skipped test below.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("ssse3")) GTEST_SKIP() << "no carry-less multiply";
    EXPECT_TRUE(CrcByFolding);
}
#endif

INSTANTIATE_TEST_SUITE_P(Crc16, CrcWays, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Folding" : "Tables"; });

TEST_P(CrcWays, GiveTheBitwiseValueForEveryLengthAndOffset) {
    std::vector<uint8_t> bytes(MaxBlockLength + 16);
    uint32_t x = 5;
    for (uint8_t& b : bytes) {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 16);
    }
    auto bitwise = [&](size_t from, size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v = BitwiseUpdate(v, bytes[from + i]);
        return v;
    };
    for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 49, 64, 1000, 4095, 4096, 4097, 4098})
        for (size_t from : {0, 1, 3, 8, 15})
            ASSERT_EQ(CrcOfBlock(bytes.data() + from, static_cast<uint32_t>(n)), bitwise(from, n)) << n << " " << from;
    // Zeros and ones throughout, where a table slip would show least.
    std::vector<uint8_t> ff(4098, 0xFF), zero(4098, 0);
    uint32_t v = 0;
    for (uint8_t b : ff) v = BitwiseUpdate(v, b);
    EXPECT_EQ(CrcOfBlock(ff.data(), 4098), v);
    EXPECT_EQ(CrcOfBlock(zero.data(), 4098), 0u);
    // A sound block divides to zero.
    std::vector<uint8_t> block = Blocks(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4096));
    EXPECT_EQ(CrcOfBlock(block.data(), 4098), 0u);
}

TEST(Crc16, BlockWithItsCheckBytesDividesToZeroAndSwappedBytesDoNot) {
    std::vector<uint8_t> block = Blocks({'a', 'b', 'c'});
    ASSERT_EQ(block.size(), 5u);
    EXPECT_EQ(block[3], 0xCA);
    EXPECT_EQ(block[4], 0xDB);
    EXPECT_EQ(RunningValue(block), 0u);
    std::swap(block[3], block[4]);
    EXPECT_NE(RunningValue(block), 0u);
}

TEST(Blocks, PayloadOf4096Is1BlockAnd4097IsAFullBlockPlusAThreeByteOne) {
    EXPECT_EQ(Blocks(std::vector<uint8_t>(4096, 7)).size(), 4098u);
    std::vector<uint8_t> two = Blocks(std::vector<uint8_t>(4097, 7));
    ASSERT_EQ(two.size(), 4098u + 3u);
    EXPECT_EQ(two[4098], 7);
}

// The second record starts a few bytes in front of the first block boundary, so the
// boundary falls inside its name, its times, its length or its body in turn; the check
// bytes must never show through.
TEST(Blocks, RecordsCrossBlockBoundariesUnchanged) {
    std::vector<uint8_t> content(9000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
    // A first file whose body is a little under 4,096 bytes; its name's length then
    // places the next record.
    std::vector<uint8_t> pad;
    std::vector<uint8_t> padBody;
    for (uint32_t x = 1; padBody.size() < 3900; padBody = EncodeLiterals(pad)) {
        for (int i = 0; i < 64; ++i) {
            x = x * 1103515245 + 12345;
            pad.push_back(static_cast<uint8_t>(x >> 16));
        }
    }
    for (size_t start = 4060; start <= 4097; ++start) {
        TempFolder dir;
        EntryStream s;
        std::string padName(start - 30 - padBody.size(), 'x');  // NUL, 24 + 4 + 1 bytes
        s.File(padName, static_cast<int32_t>(pad.size()), padBody);
        ASSERT_EQ(s.bytes.size(), start);
        s.LiteralFile("folder\\second", content);
        s.End();
        ArchiveLayout layout;
        layout.payload = s.bytes;
        WriteArchive(dir / "setup.exe", layout);
        TempFolder out;
        CoreHarness h;
        ASSERT_EQ(h.Extract(dir / "setup.exe", out.path), 0) << h.BoxTextsUtf8();
        EXPECT_EQ(ReadWholeFile(out / "folder/second"), content) << start;
        EXPECT_EQ(ReadWholeFile(out / padName), pad);
    }
}
