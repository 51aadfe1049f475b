// Stored names and texts reach the terminal with their control characters escaped.
#include <gtest/gtest.h>

#include "cli/terminal_text.h"
#include "cli_runner.h"

namespace {

TEST(Printable, EscapesControlsAndKeepsTheRest) {
    EXPECT_EQ(Printable("\x1b[31mred\x1b[0m"), "\\x1b[31mred\\x1b[0m");
    EXPECT_EQ(Printable("a\nb\tc\rd"), "a\\nb\\tc\\rd");
    EXPECT_EQ(Printable(std::string("\x00\x07\x7f", 3)), "\\x00\\x07\\x7f");
    EXPECT_EQ(Printable("\xc2\x9b" "2J"), "\\u009b2J");  // CSI in its one-character form
    // Printable text, other characters of two bytes and bytes that are no UTF-8 stay.
    EXPECT_EQ(Printable("docs/手引き/表.txt"), "docs/手引き/表.txt");
    EXPECT_EQ(Printable("\xc2\xa0\xc3\xa9 \xff\xc2"), "\xc2\xa0\xc3\xa9 \xff\xc2");
}

// An archive whose name, message and run-after texts carry terminal commands.
struct HostileTexts : ::testing::Test {
    TempFolder folder;
    const std::string evil = "evil\x1b]0;pwned\x07\x1b[2J";
    std::string archive;

    HostileTexts() {
        EntryStream s;
        s.Folder(evil);
        s.LiteralFile(evil + "\\f\x1b[1m.txt", Bytes("x"));
        s.End();
        ArchiveLayout layout;
        layout.volumeBase = "base\x1b[H";
        layout.message = "line one\x1b[5m\r\nline two";
        layout.runAfter = "run\x1b[K.exe";
        layout.payload = s.bytes;
        archive = folder / "setup.exe";
        WriteArchive(archive, layout);
    }

    static void ExpectNoEscape(const std::string& text) {
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
        EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
    }
};

TEST_F(HostileTexts, ListExtractAndInfoPrintThemEscaped) {
    CliRun list = RunCli({"list", archive});
    EXPECT_EQ(list.code, 0) << list.err;
    ExpectNoEscape(list.out);
    EXPECT_NE(list.out.find("evil\\x1b]0;pwned\\x07\\x1b[2J/f\\x1b[1m.txt"), std::string::npos) << list.out;

    CliRun extract = RunCli({"x", archive, "-d", folder / "out"});
    EXPECT_EQ(extract.code, 0) << extract.err;
    ExpectNoEscape(extract.out + extract.err);
    // Existing files are named on stderr, escaped too.
    CliRun again = RunCli({"x", archive, "-d", folder / "out"});
    ExpectNoEscape(again.out + again.err);
    EXPECT_NE(again.err.find("\\x1b[1m.txt exists"), std::string::npos) << again.err;

    CliRun info = RunCli({"info", archive});
    EXPECT_EQ(info.code, 0) << info.err;
    ExpectNoEscape(info.out);
    EXPECT_NE(info.out.find("  line one\\x1b[5m\n  line two\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("run\\x1b[K.exe"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("base\\x1b[H"), std::string::npos) << info.out;

    // JSON escapes in its own way.
    CliRun json = RunCli({"list", "--json", archive});
    ExpectNoEscape(json.out);
    EXPECT_NE(json.out.find("\\u001b"), std::string::npos) << json.out;
}

TEST_F(HostileTexts, ErrorsQuoteNamesEscaped) {
    EntryStream s;
    s.LiteralFile(evil + ".bin", Noise(6000, 3));
    s.End();
    std::string broken = WriteSample(folder, s);
    std::vector<uint8_t> bytes = ReadWholeFile(broken);
    bytes[bytes.size() - 10] ^= 0x10;  // in the second block, inside the file
    WriteWholeFile(broken, bytes);
    CliRun r = RunCli({"test", broken});
    EXPECT_EQ(r.code, ExitDamaged);
    ExpectNoEscape(r.err);
    EXPECT_NE(r.err.find("evil\\x1b"), std::string::npos) << r.err;
}

}  // namespace
