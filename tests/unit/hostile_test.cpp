// Archives that break the format's rules: each is refused as damaged, with nothing
// written outside the destination and no partly written file left behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/texts.h"
#include "engine/extract.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct Outcome {
    int code;
    std::vector<MessageId> boxes;
};

// Extracts into <root>/dest, so that anything escaping lands in <root>.
Outcome ExtractInto(const TempFolder& root, const std::vector<uint8_t>& payload) {
    fs::create_directories(root / "dest");
    fs::create_directories(root / "program");
    ArchiveLayout layout;
    layout.payload = payload;
    WriteArchive(root / "program/setup.exe", layout);
    CoreHarness h;
    int code = h.Extract(root / "program/setup.exe", root / "dest");
    return {code, h.BoxIds()};
}

// Writes the one-volume archive of `payload` into root, with one bit of the blocks'
// bytes (counted from the first block) flipped by `mask`; returns the program file.
std::string WriteWithFlippedBit(const TempFolder& root, const std::vector<uint8_t>& payload, size_t at, uint8_t mask) {
    fs::create_directories(root / "dest");
    ArchiveLayout layout;
    layout.payload = payload;
    std::string program = root / "setup.exe";
    WriteArchive(program, layout);
    std::vector<uint8_t> bytes = ReadWholeFile(program);
    size_t headerEnd = TestStubSize + 4 + 1 + 8 + 1 + 1 + 1;
    bytes[headerEnd + at] ^= mask;
    WriteWholeFile(program, bytes);
    return program;
}

void ExpectDamaged(const Outcome& o) {
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.boxes, std::vector<MessageId>{MsgCorrupt});
}

}  // namespace

TEST(HostileNames, AreRecognised) {
    for (const char* bad : {"..", "..\\x", "a\\..\\..\\x", "a/../../x", "\\x", "/x", "C:x", "a\\b:c", "...",
                            ". .\\x", "a\\.. \\x"})
        EXPECT_TRUE(NameLeavesDestination(bad)) << bad;
    for (const char* good : {"a", "a..b", "..a", "a\\.", "dir\\.\\x", ".hidden", "a\\b\\c.txt",
                             "\x95\x5C" "\\x"})
        EXPECT_FALSE(NameLeavesDestination(good)) << good;
}

TEST(HostileNames, StopTheRunBeforeAnythingOfTheEntryIsCreated) {
    for (std::string name : {"..\\escaped", "sub\\..\\..\\escaped", "sub/../../escaped", "\\escaped",
                             "C:escaped", "..\\.", "sub\\..\\..\\dir\\."}) {
        TempFolder root;
        EntryStream s;
        s.LiteralFile("fine", Bytes("kept"));
        s.LiteralFile(name, Bytes("bad"));
        s.End();
        Outcome o = ExtractInto(root, s.bytes);
        ExpectDamaged(o);
        EXPECT_EQ(ReadWholeFile(root / "dest/fine"), Bytes("kept")) << name;
        EXPECT_FALSE(fs::exists(root / "escaped")) << name;
        EXPECT_FALSE(fs::exists(root / "dir")) << name;
        EXPECT_FALSE(fs::exists(root / "dest/sub")) << name;
    }
}

TEST(HostileBodies, ADistanceInFrontOfTheHistoryIsDamageAndThePartFileGoes) {
    TempFolder root;
    EntryStream s;
    s.LiteralFile("first", Bytes("ok"));
    // Reference 1 is "first" with 2 bytes and no prefix: the history is 2 bytes long.
    std::vector<Token> tokens(40000, Token::Literal('z'));
    tokens.push_back(Token::Match(5, 16000));  // fine: inside what was produced
    tokens.push_back(Token::Match(4, 16384));  // fine
    std::vector<uint8_t> body = EncodeTokens(tokens);
    s.File("second", 40009, body);
    // Primed from "first" (two bytes, three files back): at the match 3 bytes stand in
    // the window, and distance 4 reaches in front of them.
    s.File("third", 10, EncodeTokens({Token::Literal('a'), Token::Match(9, 4)}), 2, 0);
    s.End();
    Outcome o = ExtractInto(root, s.bytes);
    ExpectDamaged(o);
    EXPECT_EQ(fs::file_size(root / "dest/second"), 40009u);
    EXPECT_FALSE(fs::exists(root / "dest/third"));
}

TEST(HostileBodies, AMatchRunningPastTheRecordedSizeIsDamage) {
    // Near the start, where the window has room, and near a slide of the window, where
    // matches go the slow way: the file never gets more than its recorded bytes.
    for (size_t before : {size_t{10}, size_t{0xC000 - 30}}) {
        TempFolder root;
        EntryStream s;
        s.LiteralFile("fine", Bytes("kept"));
        std::vector<Token> tokens(before, Token::Literal('x'));
        tokens.push_back(Token::Match(40, 1));
        s.File("long", static_cast<int32_t>(before + 39), EncodeTokens(tokens));
        s.End();
        ExpectDamaged(ExtractInto(root, s.bytes));
        EXPECT_EQ(ReadWholeFile(root / "dest/fine"), Bytes("kept"));
        EXPECT_FALSE(fs::exists(root / "dest/long")) << before;
    }
    // Exactly the recorded size is sound.
    TempFolder root;
    EntryStream s;
    s.File("exact", 41, EncodeTokens({Token::Literal('x'), Token::Match(40, 1)}));
    s.End();
    Outcome o = ExtractInto(root, s.bytes);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(ReadWholeFile(root / "dest/exact"), std::vector<uint8_t>(41, 'x'));
}

TEST(HostileBodies, APrefixLongerThanTheReferenceIsDamage) {
    TempFolder root;
    EntryStream s;
    s.LiteralFile("small", Bytes("abc"));
    s.File("long", 10, {}, 1, 4);
    s.End();
    ExpectDamaged(ExtractInto(root, s.bytes));
    EXPECT_FALSE(fs::exists(root / "dest/long"));
}

TEST(HostileBodies, AReferenceToASlotNotYetFilledPrimesNothing) {
    TempFolder root;
    EntryStream s;
    s.File("a", 3, {}, 200, 1);  // slot (1 - 200) mod 256 is empty
    s.End();
    ExpectDamaged(ExtractInto(root, s.bytes));
    TempFolder again;
    EntryStream t;
    t.File("b", 1, EncodeTokens({Token::Match(2, 1)}), 200, 0);  // nothing to copy from
    t.End();
    ExpectDamaged(ExtractInto(again, t.bytes));
    EXPECT_FALSE(fs::exists(again / "dest/b"));
}

TEST(HostileBodies, ANegativeLengthIsDamage) {
    TempFolder root;
    EntryStream s;
    s.File("neg", -5, {});
    s.End();
    ExpectDamaged(ExtractInto(root, s.bytes));
    EXPECT_FALSE(fs::exists(root / "dest/neg"));
}

TEST(HostileBodies, ANameLongerThanAnyPathIsDamage) {
    TempFolder root;
    EntryStream s;
    s.LiteralFile(std::string(NameCapacity + 10, 'n'), Bytes("x"));
    s.End();
    ExpectDamaged(ExtractInto(root, s.bytes));
}

TEST(HostileBlocks, ATrailingBlockOfOneOrTwoBytesIsDamage) {
    std::vector<uint8_t> content(6000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 11);
    EntryStream s;
    s.LiteralFile("f", content);
    for (int stray : {1, 2}) {
        TempFolder root;
        fs::create_directories(root / "dest");
        ArchiveLayout layout;
        // One full block of the stream; what should follow it is only one or two bytes.
        layout.payload.assign(s.bytes.begin(), s.bytes.begin() + 4096);
        std::string program = root / "setup.exe";
        WriteArchive(program, layout);
        std::vector<uint8_t> bytes = ReadWholeFile(program);
        bytes.insert(bytes.end(), s.bytes.begin() + 4096, s.bytes.begin() + 4096 + stray);
        SetRecordedSize(bytes);
        WriteWholeFile(program, bytes);
        CoreHarness h;
        EXPECT_EQ(h.Extract(program, root / "dest"), 1);
        EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgCorrupt});
        EXPECT_FALSE(fs::exists(root / "dest/f"));
    }
}

TEST(HostileBlocks, ABodyEndingWithItsBlockIsWholeBeforeTheNextBlockIsRead) {
    // The first body ends in the last byte of the first block, its last codes one bit
    // long, so fewer bits are left than a table lookup takes; the second block is
    // damaged. The decoder must not read into it for the first file, which is complete.
    EntryStream s;
    std::vector<uint8_t> content;
    size_t low = 1000, high = 60000;  // the stream grows with n: look for 4,096 bytes
    while (low < high) {
        size_t n = (low + high) / 2;
        EntryStream t;
        content.assign(n, 'x');
        t.LiteralFile("a", content);
        if (t.bytes.size() == 4096) {
            s = t;
            break;
        }
        if (t.bytes.size() < 4096)
            low = n + 1;
        else
            high = n;
    }
    ASSERT_EQ(s.bytes.size(), 4096u);
    s.LiteralFile("b", Bytes("after the end of the block"));
    s.End();
    TempFolder root;
    std::string program = WriteWithFlippedBit(root, s.bytes, 4098 + 5, 0x01);
    CoreHarness h;
    EXPECT_EQ(h.Extract(program, root / "dest"), 1);
    EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgCorrupt});
    EXPECT_EQ(ReadWholeFile(root / "dest/a"), content);
    EXPECT_FALSE(fs::exists(root / "dest/b"));
}

TEST(HostileBlocks, AFlippedBitInALaterBlockKeepsEarlierFilesAndDeletesTheCurrentOne) {
    std::vector<uint8_t> big = PatternBytes(30000, 7, 8);
    EntryStream s;
    s.LiteralFile("early", Bytes("whole"));
    s.LiteralFile("big", big);
    s.End();
    for (size_t flip : {size_t{2 * 4098 + 17}, size_t{3 * 4098 + 4097}}) {  // a payload bit, a check bit
        TempFolder root;
        std::string program = WriteWithFlippedBit(root, s.bytes, flip, 0x10);
        CoreHarness h;
        EXPECT_EQ(h.Extract(program, root / "dest"), 1);
        EXPECT_EQ(h.BoxIds(), std::vector<MessageId>{MsgCorrupt});
        EXPECT_EQ(h.boxes[0].text, TextCorrupt);
        EXPECT_EQ(ReadWholeFile(root / "dest/early"), Bytes("whole"));
        EXPECT_FALSE(fs::exists(root / "dest/big"));
    }
}
