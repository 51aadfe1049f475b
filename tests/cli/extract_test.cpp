// extract: destination, overwrite policies, patterns, timestamps, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

struct ExtractFixture : ::testing::Test {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    std::string out = folder / "out";

    void PlantExisting() {
        fs::create_directories(out + "/docs");
        WriteWholeFile(out + "/docs/readme.txt", Bytes("mine"));
        WriteWholeFile(out + "/top.txt", Bytes("mine too"));
    }
};

TEST_F(ExtractFixture, CreatesMissingDestinationAndWritesTree) {
    CliRun r = RunCli({"extract", archive, "-d", out + "/deeper/still"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(FileText(out + "/deeper/still/docs/readme.txt"), "read me first\n");
    EXPECT_EQ(FileText(out + "/deeper/still/top.txt"), "top level\n");
    EXPECT_NE(r.out.find("3 files"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is no terminal
}

TEST_F(ExtractFixture, AliasXAndQuietPrintNothing) {
    CliRun r = RunCli({"x", "-q", archive, "-d", out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(ExtractFixture, RestoresLastWriteAndAccessTimes) {
    ASSERT_EQ(RunCli({"x", archive, "-d", out}).code, 0);
    struct stat st;
    ASSERT_EQ(stat((out + "/top.txt").c_str(), &st), 0);
    // The builder's default times, as Windows file times.
    auto seconds = [](uint64_t t) { return static_cast<time_t>(t / 10000000 - 11644473600ULL); };
    EXPECT_EQ(st.st_mtim.tv_sec, seconds(0x01D2000000000000ULL));
    EXPECT_EQ(st.st_atim.tv_sec, seconds(0x01D1000000000000ULL));
}

TEST_F(ExtractFixture, OverwritePolicies) {
    PlantExisting();
    // Without a terminal nobody can be asked: existing files are kept and named.
    CliRun ask = RunCli({"x", archive, "-d", out});
    EXPECT_EQ(ask.code, 0) << ask.err;
    EXPECT_EQ(FileText(out + "/docs/readme.txt"), "mine");
    EXPECT_NE(ask.err.find("readme.txt exists"), std::string::npos) << ask.err;
    EXPECT_EQ(FileText(out + "/docs/notes.md"), "# notes\n");

    CliRun never = RunCli({"x", "-n", archive, "-d", out});
    EXPECT_EQ(never.code, 0);
    EXPECT_EQ(FileText(out + "/top.txt"), "mine too");
    EXPECT_EQ(never.err, "");

    CliRun always = RunCli({"x", "--overwrite=always", archive, "-d", out});
    EXPECT_EQ(always.code, 0);
    EXPECT_EQ(FileText(out + "/docs/readme.txt"), "read me first\n");
    EXPECT_EQ(FileText(out + "/top.txt"), "top level\n");
}

TEST_F(ExtractFixture, AnswersOnATerminal) {
    PlantExisting();
    // No to the first, then a reply that is not understood, then yes.
    CliRun r = RunCli({"x", archive, "-d", out}, "n\nwhat\ny\n", true);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(FileText(out + "/docs/readme.txt"), "mine");
    EXPECT_EQ(FileText(out + "/top.txt"), "top level\n");
    EXPECT_NE(r.err.find("replace " + out + "/docs/readme.txt?"), std::string::npos) << r.err;

    PlantExisting();
    CliRun all = RunCli({"x", archive, "-d", out}, "A\n", true);
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(FileText(out + "/top.txt"), "top level\n");

    PlantExisting();
    CliRun none = RunCli({"x", archive, "-d", out}, "N\n", true);
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(FileText(out + "/top.txt"), "mine too");
}

TEST_F(ExtractFixture, CancelAtTheQuestionStopsWithItsOwnCode) {
    PlantExisting();
    CliRun r = RunCli({"x", archive, "-d", out}, "c\n", true);
    EXPECT_EQ(r.code, ExitCancelled);
    EXPECT_EQ(FileText(out + "/docs/readme.txt"), "mine");
    EXPECT_FALSE(fs::exists(out + "/docs/notes.md"));
    // End of input counts as cancel, never as yes.
    CliRun eof = RunCli({"x", archive, "-d", out}, "", true);
    EXPECT_EQ(eof.code, ExitCancelled);
    EXPECT_EQ(FileText(out + "/docs/readme.txt"), "mine");
}

TEST_F(ExtractFixture, PatternsSelectFilesAndFolders) {
    CliRun one = RunCli({"x", archive, "-d", out + "/a", "*.md"});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_TRUE(fs::exists(out + "/a/docs/notes.md"));
    EXPECT_FALSE(fs::exists(out + "/a/docs/readme.txt"));
    EXPECT_FALSE(fs::exists(out + "/a/top.txt"));

    CliRun folder = RunCli({"x", archive, "-d", out + "/b", "docs/", "-x", "*.txt"});
    EXPECT_EQ(folder.code, 0) << folder.err;
    EXPECT_TRUE(fs::exists(out + "/b/docs/notes.md"));
    EXPECT_FALSE(fs::exists(out + "/b/docs/readme.txt"));
    EXPECT_FALSE(fs::exists(out + "/b/top.txt"));

    CliRun caseless = RunCli({"x", archive, "-d", out + "/c", "-C", "TOP.TXT"});
    EXPECT_EQ(caseless.code, 0);
    EXPECT_TRUE(fs::exists(out + "/c/top.txt"));
    CliRun cased = RunCli({"x", archive, "-d", out + "/d", "TOP.TXT"});
    EXPECT_EQ(cased.code, ExitNoMatch);
    EXPECT_NE(cased.err.find("no entry matches 'TOP.TXT'"), std::string::npos);
    EXPECT_FALSE(fs::exists(out + "/d/top.txt"));
}

TEST_F(ExtractFixture, FileInTheWayOfAFolderIsAWriteFailure) {
    fs::create_directories(out);
    WriteWholeFile(out + "/docs", Bytes("a file where a folder goes"));
    CliRun r = RunCli({"x", "-y", archive, "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("cannot create folder " + out + "/docs"), std::string::npos) << r.err;
    EXPECT_EQ(FileText(out + "/docs"), "a file where a folder goes");
}

TEST_F(ExtractFixture, DestinationThatIsAFileIsAWriteFailure) {
    WriteWholeFile(out, Bytes("x"));
    CliRun r = RunCli({"x", archive, "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("cannot create destination"), std::string::npos) << r.err;
}

TEST_F(ExtractFixture, UnwritableFileIsAWriteFailureNamingIt) {
    if (geteuid() == 0) {
        // Root writes anywhere; a folder standing where the file goes fails for everyone.
        fs::create_directories(out + "/top.txt");
    } else {
        fs::create_directories(out);
        chmod(out.c_str(), 0555);
    }
    CliRun r = RunCli({"x", "-y", archive, "-d", out, "top.txt"});
    chmod(out.c_str(), 0755);
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("cannot write " + out + "/top.txt"), std::string::npos) << r.err;
}

TEST(ExtractDamage, ANameLeavingTheDestinationWritesNothingOutside) {
    TempFolder folder;
    EntryStream s;
    s.LiteralFile("ok.txt", Bytes("fine"));
    s.LiteralFile("..\\escaped.txt", Bytes("bad"));
    s.End();
    std::string archive = WriteSample(folder, s);
    CliRun r = RunCli({"x", archive, "-d", folder / "out"});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(folder / "escaped.txt"));
    EXPECT_EQ(FileText(folder / "out/ok.txt"), "fine");
}

TEST(ExtractDamage, AFlippedBitKeepsEarlierFilesAndRemovesTheBrokenOne) {
    TempFolder folder;
    std::string archive = WriteDamagedInSecondFile(folder);

    CliRun r = RunCli({"x", archive, "-d", folder / "out"});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("CRC"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("second.bin"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(folder / "out/first.bin"));
    EXPECT_FALSE(fs::exists(folder / "out/second.bin"));
    EXPECT_EQ(RunCli({"test", "-q", archive}).code, ExitDamaged);
    // A listing cut short says so, in its exit code and in its JSON.
    CliRun list = RunCli({"list", "--json", archive});
    EXPECT_EQ(list.code, ExitDamaged);
    EXPECT_NE(list.out.find("\"complete\": false"), std::string::npos) << list.out;
}

}  // namespace
