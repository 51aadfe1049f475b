// Names from code page 932 to UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/codepage.h"

TEST(Codepage, AsciiNamesComeOutAsTheyAreAndAsTheConverterGivesThem) {
    // Behind a two-byte character the converter takes every byte; alone, a name of bytes
    // below 0x80 skips it: both must give the same text.
    const std::string a = "\x82\xa0", aUtf8 = "\xe3\x81\x82";  // あ
    for (int c = 1; c < 0x80; ++c) {
        std::string one(1, static_cast<char>(c));
        ASSERT_EQ(Cp932ToUtf8(a + one), aUtf8 + one) << c;
        ASSERT_EQ(Cp932ToUtf8(one), one) << c;
    }
    EXPECT_EQ(Cp932ToUtf8(""), "");
    EXPECT_EQ(Cp932ToUtf8("100%.txt"), "100%.txt");
    EXPECT_EQ(Cp932ToUtf8("bad\x80%.txt"), "bad%80%25.txt");
}
