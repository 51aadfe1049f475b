#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "archive_builder.h"
#include "container/texts.h"
#include "engine/extract.h"
#include "engine/lz_decoder.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

constexpr FileTime Creation = 0x01D0000000000000ULL;
constexpr FileTime Access = 0x01D1000000000000ULL;
constexpr FileTime Write = 0x01D2000000000000ULL;

int64_t UnixSeconds(FileTime t) { return static_cast<int64_t>((t - 116444736000000000ULL) / 10000000ULL); }

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Writes an archive holding `stream` and extracts it; returns the exit code.
int ExtractStream(CoreHarness& h, const EntryStream& stream, const std::string& destination,
                  ArchiveLayout layout = {}) {
    static TempFolder programs;
    static int counter = 0;
    layout.payload = stream.bytes;
    std::string program = programs / ("setup" + std::to_string(++counter) + ".exe");
    WriteArchive(program, layout);
    return h.Extract(program, destination);
}

// The bytes extracted from a one-file archive whose body is `tokens`.
std::vector<uint8_t> ExtractTokens(const std::vector<Token>& tokens, size_t size) {
    EntryStream s;
    s.File("x", static_cast<int32_t>(size), EncodeTokens(tokens));
    s.End();
    TempFolder out;
    CoreHarness h;
    EXPECT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    return ReadWholeFile(out / "x");
}

// Random literals and matches of up to `longest` bytes from up to `farthest` back, with
// the bytes they stand for, copied a byte at a time.
void RandomTokens(size_t size, int farthest, int longest, uint32_t x, std::vector<Token>& tokens,
                  std::vector<uint8_t>& expected) {
    while (expected.size() < size) {
        x = x * 1103515245 + 12345;
        if (expected.size() > 20000 && (x >> 8) % 3 == 0) {
            int distance = 1 + static_cast<int>((x >> 10) % farthest);
            int length = 2 + static_cast<int>((x >> 4) % (longest - 1));
            tokens.push_back(Token::Match(length, distance));
            for (int i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
        } else {
            tokens.push_back(Token::Literal(static_cast<uint8_t>(x >> 16)));
            expected.push_back(static_cast<uint8_t>(x >> 16));
        }
    }
}

}  // namespace

TEST(ExtractEntries, TheOneFileStreamGivesFileAWithItsTimes) {
    EntryStream s;
    s.File("A", 1, {0xAE, 0x01});
    s.End();
    ASSERT_EQ(s.bytes.size(), 2u + 24 + 4 + 1 + 2 + 1);
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    struct stat st;  // before reading, which may move the access time
    ASSERT_EQ(stat((out / "A").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, UnixSeconds(Write));
    EXPECT_EQ(st.st_atime, UnixSeconds(Access));
    EXPECT_EQ(ReadWholeFile(out / "A"), Bytes("A"));
    EXPECT_TRUE(h.boxes.empty());
    EXPECT_EQ(h.status, (std::vector<std::string>{std::string(TextProcessing) + "T:\\A",
                                                  std::string(TextExtracting) + "T:\\A"}));
}

TEST(ExtractEntries, TheFourByteBodyUsesAMatchAtDistanceOne) {
    EXPECT_EQ(EncodeTokens({Token::Literal('A'), Token::Match(3, 1)}), (std::vector<uint8_t>{0xAE, 0x57, 0x5B, 0x01}));
    EntryStream s;
    s.File("AAAA", 4, {0xAE, 0x57, 0x5B, 0x01});
    s.End();
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0);
    EXPECT_EQ(ReadWholeFile(out / "AAAA"), Bytes("AAAA"));
}

TEST(ExtractEntries, AStreamThatStartsWithItsEndExtractsNothing) {
    EntryStream s;
    s.End();
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0);
    EXPECT_TRUE(fs::is_empty(out.path));
    EXPECT_TRUE(h.status.empty());
}

TEST(ExtractEntries, FoldersSharedPrefixNamesAndEmptyFiles) {
    EntryStream s;
    s.Folder("data");
    s.Folder("data\\empty");
    s.LiteralFile("abcdef", Bytes("first"));
    s.SharedName(3, "x");  // abcdex: five bytes of abcdef, then x
    s.bytes.insert(s.bytes.end(), 24, 0);
    s.bytes.insert(s.bytes.end(), {0, 0, 0, 0, 0});  // length 0, reference 0
    s.SharedName(250, "");  // reaches beyond the previous name: all of it, so abcdex again
    s.bytes.insert(s.bytes.end(), 24, 0);
    s.bytes.insert(s.bytes.end(), {2, 0, 0, 0});
    s.bytes.push_back(0);
    std::vector<uint8_t> body = EncodeLiterals(Bytes("zz"));
    s.bytes.insert(s.bytes.end(), body.begin(), body.end());
    s.LiteralFile("data\\deep\\er\\file.txt", Bytes("deep"));
    s.End();
    TempFolder out;
    CoreHarness h;
    h.answers = {AnswerYes};  // abcdex exists the second time round
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    EXPECT_TRUE(fs::is_directory(out / "data/empty"));
    EXPECT_EQ(ReadWholeFile(out / "abcdef"), Bytes("first"));
    EXPECT_EQ(ReadWholeFile(out / "abcdex"), Bytes("zz"));
    EXPECT_EQ(ReadWholeFile(out / "data/deep/er/file.txt"), Bytes("deep"));
    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0].text, std::string("T:\\abcdex") + TextOverwrite);
}

TEST(ExtractEntries, ReferencePrefixAndHistoryComeFromTheNamedSlot) {
    std::vector<uint8_t> first(30000), second(20000);
    for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>((i * 31) ^ (i >> 7));
    for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(i);
    EntryStream s;
    s.LiteralFile("one", first);     // slot 1
    s.LiteralFile("two", second);    // slot 2
    s.LiteralFile("three", Bytes("x"));  // slot 3
    // Slot 4: r = 3 names slot 1; L = 1000 bytes of it as prefix, then a match that
    // reaches back into the primed history (the bytes of "one" that follow its prefix).
    std::vector<uint8_t> expected(first.begin(), first.begin() + 1000);
    expected.insert(expected.end(), first.begin() + 1000, first.begin() + 1100);
    expected.push_back('!');
    std::vector<uint8_t> body = EncodeTokens({Token::Match(100, 15360), Token::Literal('!')});
    s.File("four", static_cast<int32_t>(expected.size()), body, 3, 1000);
    s.End();
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(ReadWholeFile(out / "four"), expected);
    EXPECT_EQ(RecentFileSlots[1].size, SlotCapacity);
    EXPECT_EQ(RecentFileSlots[2].size, 20000);
    EXPECT_EQ(RecentFileSlots[4].size, 1101);
}

TEST(ExtractEntries, FirstFileIsPrimedFromTheStubImage) {
    std::vector<uint8_t> stub = TestStub();
    EntryStream s;
    // Distance 15,360 from the first produced byte is the stub's first byte.
    s.File("f", 300, EncodeTokens({Token::Match(300, 15360)}));
    s.End();
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(ReadWholeFile(out / "f"), std::vector<uint8_t>(stub.begin(), stub.begin() + 300));
}

TEST(ExtractEntries, RingWrapsAfter255FilesAndReplacesTheImage) {
    EntryStream s;
    for (int i = 1; i <= 300; ++i) s.LiteralFile("f" + std::to_string(i), Bytes("file " + std::to_string(i)));
    // Reference 1 from the 301st file (slot 45) is slot 44, the 300th file.
    s.File("last", 8, EncodeTokens({Token::Literal('>')}), 1, 7);
    s.End();
    TempFolder out;
    CoreHarness h;
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(ReadWholeFile(out / "last"), Bytes("file 30>"));
    EXPECT_EQ(RecentFileSlots[0].size, 8);  // the 256th file took slot 0
    EXPECT_EQ(std::string(RecentFileSlots[0].data, RecentFileSlots[0].data + 8), "file 256");
    EXPECT_EQ(currentSlot, 46);
}

TEST(ExtractEntries, LengthAndDistanceExtremes) {
    std::vector<Token> tokens{Token::Literal('q'), Token::Match(4352, 1), Token::Match(256, 16384),
                              Token::Match(2, 2)};
    std::vector<uint8_t> expected(1 + 4352, 'q');
    // Distance 16,384 from position 15,360 + 4,353 reaches into the stub's history.
    std::vector<uint8_t> stub = TestStub();
    int32_t start = 15360 + 4353 - 16384;
    expected.insert(expected.end(), stub.begin() + start, stub.begin() + start + 256);
    expected.push_back(expected[expected.size() - 2]);
    expected.push_back(expected[expected.size() - 2]);
    EXPECT_EQ(ExtractTokens(tokens, expected.size()), expected);
}

// Long bodies slide the output window many times; matches that reach across a slide
// must still see the right bytes. Near ones, shorter than what the decoder copies at a
// time, must repeat their last bytes as a byte-at-a-time copy does.
TEST(ExtractEntries, LongBodiesAcrossManyWindowSlides) {
    for (auto [farthest, longest] : {std::pair{16384, 301}, std::pair{24, 40}}) {
        std::vector<Token> tokens;
        std::vector<uint8_t> expected;
        RandomTokens(200000, farthest, longest, 99, tokens, expected);
        EXPECT_EQ(ExtractTokens(tokens, expected.size()), expected) << farthest;
    }
}

TEST(OverwriteQuestion, YesReplacesNoKeepsAndStillFillsTheSlotCancelStops) {
    TempFolder out;
    WriteWholeFile(out / "a", Bytes("old a"));
    WriteWholeFile(out / "b", Bytes("old b"));
    WriteWholeFile(out / "c", Bytes("old c"));
    struct stat before;
    stat((out / "b").c_str(), &before);
    EntryStream s;
    s.LiteralFile("a", Bytes("new a"));
    s.LiteralFile("sub\\b", Bytes("never"));  // not there: no question
    s.LiteralFile("b", Bytes("new b"));
    // Primed from the skipped b: its slot must hold "new b" all the same.
    s.File("copy", 5, {}, 1, 5);
    s.LiteralFile("c", Bytes("new c"));
    s.LiteralFile("d", Bytes("new d"));
    s.End();
    CoreHarness h;
    h.answers = {AnswerYes, AnswerNo, AnswerCancel};
    ASSERT_EQ(ExtractStream(h, s, out.path), 0) << h.BoxTextsUtf8();
    EXPECT_EQ(ReadWholeFile(out / "a"), Bytes("new a"));
    EXPECT_EQ(ReadWholeFile(out / "b"), Bytes("old b"));
    EXPECT_EQ(ReadWholeFile(out / "copy"), Bytes("new b"));
    EXPECT_EQ(ReadWholeFile(out / "c"), Bytes("old c"));
    EXPECT_FALSE(fs::exists(out / "d"));
    EXPECT_EQ(CancelRequested, 1);
    struct stat after;
    stat((out / "b").c_str(), &after);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    ASSERT_EQ(h.boxes.size(), 3u);
    for (const BoxRecord& b : h.boxes) {
        EXPECT_EQ(b.flags, 0x23u);
        EXPECT_EQ(b.owner, OwnerMain);
    }
    EXPECT_EQ(h.status[h.status.size() - 1], std::string(TextProcessing) + "T:\\c");
    EXPECT_NE(std::find(h.status.begin(), h.status.end(), std::string(TextSkipping) + "T:\\b"), h.status.end());
}

TEST(Cancel, DuringABodyDeletesThePartFileAndKeepsEarlierOnes) {
    std::vector<uint8_t> big = PatternBytes(100000, 13, 9);
    EntryStream s;
    s.LiteralFile("done", Bytes("complete"));
    s.LiteralFile("big", big);
    s.LiteralFile("after", Bytes("never"));
    s.End();
    TempFolder out;
    CoreHarness h;
    int pumps = 0;
    h.onPump = [&] {
        if (++pumps == 20) CancelRequested = 1;
    };
    ASSERT_EQ(ExtractStream(h, s, out.path), 0);
    EXPECT_EQ(CancelRequested, 1);
    EXPECT_EQ(ReadWholeFile(out / "done"), Bytes("complete"));
    EXPECT_FALSE(fs::exists(out / "big"));
    EXPECT_FALSE(fs::exists(out / "after"));
}

TEST(DecodeOnly, DecodesEverythingAndWritesNothing) {
    EntryStream s;
    s.Folder("dir");
    s.LiteralFile("dir\\f", Bytes("content"));
    s.End();
    TempFolder dir;
    ArchiveLayout layout;
    layout.payload = s.bytes;
    WriteArchive(dir / "setup.exe", layout);
    std::vector<std::string> seen;
    static std::vector<std::string>* sink;
    sink = &seen;
    EntryObserver = [](const EntryEvent& e) {
        sink->push_back(std::string(e.name) + (e.decoded ? " decoded" : " read"));
        return true;
    };
    CoreHarness h;
    ASSERT_EQ(h.Test(dir / "setup.exe"), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"dir\\. read", "dir\\f read", "dir\\f decoded"}));
    EXPECT_FALSE(fs::exists(dir / "dir"));
}

TEST(WriteFailure, AFolderInThePlaceOfAFileAnsweredYesEndsTheRun) {
    TempFolder out;
    fs::create_directories(out / "taken");
    EntryStream s;
    s.LiteralFile("before", Bytes("kept"));
    s.LiteralFile("taken", Bytes("new"));
    s.End();
    CoreHarness h;
    h.answers = {AnswerYes};
    EXPECT_EQ(ExtractStream(h, s, out.path), 1);
    EXPECT_EQ(h.BoxIds(), (std::vector<MessageId>{MsgOverwrite, MsgWriteFailed}));
    EXPECT_EQ(h.boxes[1].text, TextWriteFailed);
    EXPECT_TRUE(fs::is_directory(out / "taken"));
    EXPECT_EQ(ReadWholeFile(out / "before"), Bytes("kept"));
}

TEST(Cancel, DuringABodyNeverReadsOnIntoTheRestOfIt) {
    // Cancel comes with the pump before symbol 256, so the decoder stops after symbol
    // 256, and the first volume ends right behind the byte that holds its last bit.
    // The rest of the body lies in a second volume that is not there: nothing of it
    // may be asked for once the user has stopped.
    std::vector<uint8_t> big = PatternBytes(60000, 29, 7);
    EntryStream s;
    s.LiteralFile("big", big);
    s.End();
    size_t bodyStart = 4 + 24 + 4 + 1;
    size_t decoded = EncodeLiterals(std::vector<uint8_t>(big.begin(), big.begin() + 257)).size();
    TempFolder dir, out;
    ArchiveLayout layout;
    layout.payload = s.bytes;
    layout.volumeBase = "part";
    layout.volumeShares = {bodyStart + decoded};
    std::vector<std::string> paths = WriteArchive(dir / "setup.exe", layout);
    fs::remove(paths[1]);
    CoreHarness h;
    int pumps = 0;
    h.onPump = [&] {
        if (++pumps == 2) CancelRequested = 1;
    };
    EXPECT_EQ(h.Extract(dir / "setup.exe", out.path), 0);
    EXPECT_TRUE(h.boxes.empty()) << h.BoxTextsUtf8();
    EXPECT_FALSE(fs::exists(out / "big"));
}
