// The built sfx.exe as Windows and the packer see it: its size, its kind of image,
// the DLLs it may load and its icon. A build without mingw embeds a placeholder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "stub/embedded_stub.h"

namespace {

constexpr size_t ImageSize = 28672;

struct PeImage {
    std::vector<unsigned char> bytes;
    size_t header = 0;    // offset of "PE\0\0"
    size_t optional = 0;  // offset of the optional header
    size_t sections = 0;  // offset of the section table
    unsigned sectionCount = 0;

    uint32_t U32(size_t at) const {
        if (at + 4 > bytes.size()) throw std::out_of_range("past the image");
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    }
    uint16_t U16(size_t at) const {
        if (at + 2 > bytes.size()) throw std::out_of_range("past the image");
        return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    }
    // File offset of a relative virtual address, through the section table.
    size_t Offset(uint32_t rva) const {
        for (unsigned i = 0; i < sectionCount; ++i) {
            size_t s = sections + 40 * i;
            uint32_t address = U32(s + 12), rawSize = U32(s + 16), raw = U32(s + 20);
            if (rva >= address && rva < address + rawSize) return raw + (rva - address);
        }
        throw std::out_of_range("address outside every section");
    }
    std::string Text(size_t at) const {
        std::string s;
        while (at < bytes.size() && bytes[at] != 0) s += static_cast<char>(bytes[at++]);
        return s;
    }
    uint32_t Directory(int index, uint32_t* size = nullptr) const {
        if (size) *size = U32(optional + 96 + 8 * index + 4);
        return U32(optional + 96 + 8 * index);
    }
};

PeImage LoadImage() {
    PeImage pe;
    std::ifstream in(SFX_IMAGE_PATH, std::ios::binary);
    pe.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (pe.bytes.size() < 0x200) return pe;
    pe.header = pe.U32(0x3C);
    pe.sectionCount = pe.U16(pe.header + 6);
    pe.optional = pe.header + 24;
    pe.sections = pe.optional + pe.U16(pe.header + 20);
    return pe;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

class StubImage : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef SFX_IMAGE_BUILT
        GTEST_SKIP() << "built without the i686-w64-mingw32 toolchain";
#endif
        pe = LoadImage();
        ASSERT_EQ(pe.bytes.size(), ImageSize) << SFX_IMAGE_PATH;
    }
    PeImage pe;
};

TEST_F(StubImage, IsA32BitWindowsGuiProgram) {
    ASSERT_EQ(pe.bytes[0], 'M');
    ASSERT_EQ(pe.bytes[1], 'Z');
    ASSERT_EQ(pe.U32(pe.header), 0x4550u);                // "PE\0\0"
    EXPECT_EQ(pe.U16(pe.header + 4), 0x14C);              // i386
    EXPECT_TRUE(pe.U16(pe.header + 22) & 0x0002);         // executable image
    EXPECT_FALSE(pe.U16(pe.header + 22) & 0x2000);        // not a DLL
    ASSERT_EQ(pe.U16(pe.optional), 0x10B);                // PE32
    EXPECT_EQ(pe.U16(pe.optional + 68), 2);               // the Windows GUI subsystem
    EXPECT_EQ(pe.U16(pe.optional + 48), 5);               // subsystem version 5.0
    EXPECT_EQ(pe.U16(pe.optional + 50), 0);
    EXPECT_NE(pe.U32(pe.optional + 16), 0u);              // an entry point
    // Loaded at a random address and with data never executable.
    EXPECT_TRUE(pe.U16(pe.optional + 70) & 0x0040);
    EXPECT_TRUE(pe.U16(pe.optional + 70) & 0x0100);
    // No TLS callbacks: nothing of the image runs before the entry point.
    EXPECT_EQ(pe.Directory(9), 0u);
}

// The padding is all zeros and no section reaches into it, so the stub's behaviour
// depends only on the bytes the linker produced.
TEST_F(StubImage, SectionsEndBeforeThePadding) {
    size_t end = pe.U32(pe.optional + 60);  // size of headers
    for (unsigned i = 0; i < pe.sectionCount; ++i) {
        size_t s = pe.sections + 40 * i;
        end = std::max<size_t>(end, pe.U32(s + 20) + pe.U32(s + 16));
    }
    ASSERT_LE(end, ImageSize);
    for (size_t i = end; i < ImageSize; ++i) ASSERT_EQ(pe.bytes[i], 0) << "at " << i;
}

TEST_F(StubImage, ImportsOnlyFromTheFourSystemDlls) {
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll"};
    std::set<std::string> seen;
    size_t at = pe.Offset(pe.Directory(1));
    for (;; at += 20) {
        uint32_t name = pe.U32(at + 12);
        if (name == 0) break;
        std::string dll = Lower(pe.Text(pe.Offset(name)));
        EXPECT_TRUE(allowed.count(dll)) << "imports from " << dll;
        seen.insert(dll);
    }
    EXPECT_EQ(seen, allowed);
    // Delay-loaded imports would bypass the list above.
    EXPECT_EQ(pe.Directory(13), 0u);
}

// DIVISION_ICON: a group icon of one 32 by 32 image in 16 colours.
TEST_F(StubImage, CarriesTheDivisionIcon) {
    const size_t base = pe.Offset(pe.Directory(2));
    auto entries = [&](size_t dir) {
        std::vector<std::pair<uint32_t, uint32_t>> list;  // name or id, offset
        unsigned n = pe.U16(dir + 12) + pe.U16(dir + 14);
        for (unsigned i = 0; i < n; ++i) list.emplace_back(pe.U32(dir + 16 + 8 * i), pe.U32(dir + 20 + 8 * i));
        return list;
    };
    auto nameOf = [&](uint32_t id) {
        if (!(id & 0x80000000u)) return std::to_string(id);
        size_t s = base + (id & 0x7FFFFFFFu);
        std::string name;
        for (unsigned i = 0; i < pe.U16(s); ++i) name += static_cast<char>(pe.U16(s + 2 + 2 * i));
        return name;
    };
    // Type, then name, then language; returns the data's file offset and size.
    auto find = [&](uint32_t type, const std::string& name, uint32_t* size) -> size_t {
        for (auto& t : entries(base)) {
            if (t.first != type) continue;
            for (auto& n : entries(base + (t.second & 0x7FFFFFFFu))) {
                if (nameOf(n.first) != name) continue;
                auto languages = entries(base + (n.second & 0x7FFFFFFFu));
                if (languages.empty()) return 0;
                size_t data = base + languages[0].second;
                *size = pe.U32(data + 4);
                return pe.Offset(pe.U32(data));
            }
        }
        return 0;
    };
    uint32_t size = 0;
    size_t group = find(14, "DIVISION_ICON", &size);
    ASSERT_NE(group, 0u) << "no group icon DIVISION_ICON";
    ASSERT_EQ(pe.U16(group + 4), 1) << "one image";
    EXPECT_EQ(pe.bytes[group + 6], 32);
    EXPECT_EQ(pe.bytes[group + 7], 32);
    EXPECT_EQ(pe.bytes[group + 8], 16);
    EXPECT_EQ(pe.U16(group + 12), 4);
    uint16_t iconId = pe.U16(group + 18);

    size_t icon = find(3, std::to_string(iconId), &size);
    ASSERT_NE(icon, 0u) << "the group's image is missing";
    EXPECT_EQ(pe.U32(icon), 40u);              // BITMAPINFOHEADER
    EXPECT_EQ(pe.U32(icon + 4), 32u);
    EXPECT_EQ(pe.U32(icon + 8), 64u);          // colours and mask
    EXPECT_EQ(pe.U16(icon + 14), 4);           // 16 colours
    EXPECT_EQ(size, 40u + 64 + 512 + 128);
}

TEST_F(StubImage, IsTheStubThatDaduvivuEmbeds) {
    ASSERT_TRUE(EmbeddedStubIsReal());
    EXPECT_TRUE(std::equal(pe.bytes.begin(), pe.bytes.end(), EmbeddedStubImage()));
}

TEST(EmbeddedStub, PlaceholderIsNeverTakenForAProgram) {
    if (EmbeddedStubIsReal()) GTEST_SKIP() << "a real stub is embedded";
    const unsigned char* image = EmbeddedStubImage();
    // A stand-in must not carry a PE header a loader could follow.
    uint32_t peOffset = image[0x3C] | image[0x3D] << 8 | image[0x3E] << 16 | static_cast<uint32_t>(image[0x3F]) << 24;
    bool looksLikePe = peOffset + 4 <= ImageSize && image[peOffset] == 'P' && image[peOffset + 1] == 'E' &&
                       image[peOffset + 2] == 0 && image[peOffset + 3] == 0;
    EXPECT_FALSE(looksLikePe);
}

}  // namespace
