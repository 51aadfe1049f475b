// pack before it compresses: the output and what it would replace, the sources it
// walks (exclusions, lists, links), and refusals that say exactly what is wrong.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/pack_checks.h"
#include "cli/progress_bar.h"
#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

struct PackSafety : ::testing::Test {
    TempFolder folder;
    std::string source = folder / "site";
    std::string out = folder / "setup.exe";
    void SetUp() override {
        fs::create_directories(source + "/Docs");
        WriteWholeFile(source + "/index.html", Bytes("<html>hello</html>\n"));
        WriteWholeFile(source + "/Docs/Start.bat", Bytes("@echo off\n"));
        WriteWholeFile(source + "/noise.bin", Noise(90000, 5));
    }
    std::vector<std::string> Names(const std::string& archive) {
        std::istringstream lines(RunCli({"list", "--names", archive}).out);
        std::vector<std::string> names;
        for (std::string line; std::getline(lines, line);) names.push_back(line);
        return names;
    }
    std::vector<std::string> FilesInFolder() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder.path)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PackSafety, ExistingOutputIsReplacedOnlyWithForce) {
    ASSERT_EQ(RunCli({"pack", source, "-o", out, "-q"}).code, 0);
    std::vector<uint8_t> first = ReadWholeFile(out);
    WriteWholeFile(source + "/index.html", Bytes("changed"));
    CliRun again = RunCli({"pack", source, "-o", out});
    EXPECT_EQ(again.code, ExitWriteFailed);
    EXPECT_NE(again.err.find(out + " exists; --force (-f) replaces it"), std::string::npos) << again.err;
    EXPECT_EQ(ReadWholeFile(out), first);
    CliRun forced = RunCli({"pack", source, "-o", out, "-f", "-q"});
    EXPECT_EQ(forced.code, 0) << forced.err;
    EXPECT_NE(ReadWholeFile(out), first);
    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"setup.exe", "site"}));  // no temporary left
}

TEST_F(PackSafety, OutputLocationIsCheckedBeforeCompressing) {
    CliRun folderOut = RunCli({"pack", source, "-o", folder.path});
    EXPECT_EQ(folderOut.code, ExitWriteFailed);
    EXPECT_NE(folderOut.err.find("it is a folder"), std::string::npos) << folderOut.err;
    CliRun slash = RunCli({"pack", source, "-o", folder / "new/"});
    EXPECT_NE(slash.err.find("it is a folder"), std::string::npos) << slash.err;
    CliRun missing = RunCli({"pack", source, "-o", folder / "no/such/a.exe", "-f"});
    EXPECT_EQ(missing.code, ExitWriteFailed);
    EXPECT_NE(missing.err.find("the folder " + folder / "no/such does not exist"), std::string::npos)
        << missing.err;
    WriteWholeFile(folder / "file", Bytes("x"));
    CliRun notFolder = RunCli({"pack", source, "-o", folder / "file/a.exe"});
    EXPECT_NE(notFolder.err.find("is not a folder"), std::string::npos) << notFolder.err;
    if (geteuid() != 0) {  // root may write anywhere
        fs::create_directories(folder / "locked");
        fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        CliRun locked = RunCli({"pack", source, "-o", folder / "locked/a.exe"});
        EXPECT_NE(locked.err.find("no permission"), std::string::npos) << locked.err;
    }
    for (const CliRun& r : {folderOut, missing, notFolder}) EXPECT_EQ(r.err.find(".partial-"), std::string::npos);
    EXPECT_EQ(WithoutTemporaryNames("cannot write a/b.exe.partial-4711: No space left on device"),
              "cannot write a/b.exe: No space left on device");
}

TEST_F(PackSafety, NoStaleVolumesAreLeft) {
    ASSERT_EQ(RunCli({"pack", source, "-o", out, "-1", "--volume-size", "40k", "-q"}).code, 0);
    ASSERT_TRUE(fs::exists(folder / "setup_3.DAT"));
    WriteWholeFile(folder / "SETUP_9.dat", Bytes("stale, other case"));
    WriteWholeFile(folder / "setup_x.DAT", Bytes("not a volume name"));
    fs::remove(out);
    CliRun refused = RunCli({"pack", source, "-o", out, "-q"});
    EXPECT_EQ(refused.code, ExitWriteFailed);
    EXPECT_NE(refused.err.find("volume files of an earlier archive are in the way: " + folder / "SETUP_9.dat" +
                               ", " + folder / "setup_2.DAT"),
              std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(out));

    // Smaller now: one volume more than needed would be stale, and is removed.
    WriteWholeFile(source + "/noise.bin", Noise(50000, 5));
    CliRun forced = RunCli({"pack", source, "-o", out, "-1", "--volume-size", "40k", "-f", "-q"});
    ASSERT_EQ(forced.code, 0) << forced.err;
    EXPECT_EQ(FilesInFolder(), (std::vector<std::string>{"setup.exe", "setup_2.DAT", "setup_x.DAT", "site"}));
    EXPECT_EQ(RunCli({"test", "-q", out}).code, 0);
    // A base of its own leaves other sets alone.
    ASSERT_EQ(RunCli({"pack", source, "-o", folder / "other.exe", "-1", "--volume-size", "40k", "-q"}).code, 0);
    EXPECT_TRUE(fs::exists(folder / "setup_2.DAT"));
}

TEST_F(PackSafety, RunAfterThatNamesNoStoredFileIsWarnedOf) {
    CliRun stored = RunCli({"pack", source, "-o", out, "-q", "--run-after", "docs/start.BAT"});
    ASSERT_EQ(stored.code, 0) << stored.err;
    EXPECT_EQ(stored.err.find("--run-after"), std::string::npos) << stored.err;
    CliRun info = RunCli({"info", "--json", out});
    EXPECT_EQ(nlohmann::json::parse(info.out)["runAfter"], "docs\\start.BAT");  // Windows' separator
    CliRun other = RunCli({"pack", source, "-o", out, "-f", "-q", "--run-after", "notepad.exe"});
    EXPECT_EQ(other.code, 0);
    EXPECT_NE(other.err.find("warning: --run-after notepad.exe names no file in the archive"), std::string::npos)
        << other.err;
    EXPECT_TRUE(StoresFile({source + "/index.html"}, "INDEX.html"));
    EXPECT_FALSE(StoresFile({source}, "Docs"));  // a folder is not opened
}

TEST_F(PackSafety, ExcludeFilesFromAndLinks) {
    fs::create_directories(source + "/.git/objects");
    WriteWholeFile(source + "/.git/objects/a", Bytes("git"));
    WriteWholeFile(source + "/Docs/draft.tmp", Bytes("tmp"));
    CliRun excluded = RunCli({"pack", source, "-o", out, "-q", "--exclude", ".git", "--exclude", "*.tmp",
                              "--exclude", "Docs/Start*"});
    ASSERT_EQ(excluded.code, 0) << excluded.err;
    EXPECT_EQ(Names(out), (std::vector<std::string>{"Docs/", "index.html", "noise.bin"}));

    WriteWholeFile(folder / "list.txt", Bytes(source + "/index.html\r\n\n" + source + "/Docs\n"));
    CliRun listed = RunCli({"pack", "-T", folder / "list.txt", "-o", out, "-f", "-q"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_EQ(Names(out), (std::vector<std::string>{"Start.bat", "draft.tmp", "index.html"}));
    CliRun piped = RunCli({"pack", "--files-from", "-", "-o", out, "-f", "-q"}, source + "/noise.bin\n");
    ASSERT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(Names(out), (std::vector<std::string>{"noise.bin"}));
    CliRun emptyList = RunCli({"pack", "-T", "-", "-o", out, "-f"}, "\n");
    EXPECT_EQ(emptyList.code, ExitUsage);
    EXPECT_NE(emptyList.err.find("no SOURCE given"), std::string::npos) << emptyList.err;
    CliRun noList = RunCli({"pack", "-T", folder / "none.txt", "-o", out, "-f"});
    EXPECT_EQ(noList.code, ExitDamaged);
    EXPECT_NE(noList.err.find("none.txt: No such file"), std::string::npos) << noList.err;

    fs::remove_all(source + "/.git");
    fs::remove(source + "/Docs/draft.tmp");
    WriteWholeFile(folder / "outside.txt", Bytes("from elsewhere"));
    fs::create_symlink(folder / "outside.txt", source + "/outside-link");
    fs::create_symlink("index.html", source + "/inside-link");
    CliRun followed = RunCli({"pack", source, "-o", out, "-f", "-q"});
    ASSERT_EQ(followed.code, 0) << followed.err;
    EXPECT_NE(followed.err.find("outside-link is a symbolic link to " + fs::canonical(folder / "outside.txt").string() +
                                ", outside the sources"),
              std::string::npos)
        << followed.err;
    EXPECT_EQ(followed.err.find("inside-link"), std::string::npos) << followed.err;
    EXPECT_EQ(Names(out).size(), 6u);
    CliRun skipped = RunCli({"pack", source, "-o", out, "-f", "-q", "--no-follow"});
    ASSERT_EQ(skipped.code, 0) << skipped.err;
    EXPECT_NE(skipped.err.find("skipped the symbolic link " + source + "/inside-link"), std::string::npos);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"Docs/", "Docs/Start.bat", "index.html", "noise.bin"}));
}

TEST_F(PackSafety, EachNameProblemIsListedOnce) {
    for (const char* bad : {"a:b", "c*d"}) {
        fs::create_directories(source + "/" + bad);
        WriteWholeFile(source + "/" + bad + "/same.txt", Bytes("x"));
    }
    CliRun r = RunCli({"pack", source, "-o", out});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("cannot pack, 2 problems:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("same name as"), std::string::npos) << r.err;
    fs::remove_all(source + "/a:b");
    fs::remove_all(source + "/c*d");

    CliRun twice = RunCli({"pack", source, source + "/", "-o", out});
    EXPECT_EQ(twice.code, ExitDamaged);
    EXPECT_NE(twice.err.find("cannot pack:\n  " + source + "/: is given twice as a source (also as " + source + ")"),
              std::string::npos)
        << twice.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(PackSafety, MessageAndVolumeSizeRefusalsSayWhere) {
    WriteWholeFile(folder / "m.txt", Bytes("ようこそ\nab\xf0\x9f\x98\x80" "c\n"));
    CliRun emoji = RunCli({"pack", source, "-o", out, "--message", folder / "m.txt"});
    EXPECT_EQ(emoji.code, ExitUsage);
    EXPECT_NE(emoji.err.find("line 2, column 3: '\xf0\x9f\x98\x80' (U+1F600)"), std::string::npos) << emoji.err;
    EXPECT_EQ(UnencodableCharacter("\xEF\xBB\xBFok\r\nfine\n"), "");
    EXPECT_EQ(UnencodableCharacter("x\xff"), "line 1, column 2: the byte 0xFF, which is not UTF-8");
    EXPECT_EQ(UnencodableCharacter(std::string("a\0b", 3)), "line 1, column 2: a NUL byte");

    CliRun stub = RunCli({"pack", source, "-o", out, "--stub", folder / "none.exe"});
    EXPECT_NE(stub.err.find("none.exe: No such file or directory"), std::string::npos) << stub.err;
    fs::create_directories(folder / "dir.txt");
    CliRun dir = RunCli({"pack", source, "-o", out, "--message", folder / "dir.txt"});
    EXPECT_NE(dir.err.find("dir.txt: Is a directory"), std::string::npos) << dir.err;

    CliRun size = RunCli({"pack", source, "-o", out, "--volume-size", "two disks"});
    EXPECT_EQ(size.code, ExitUsage);
    EXPECT_NE(size.err.find("'floppy'"), std::string::npos) << size.err;
    EXPECT_EQ(size.err.find("1440k"), std::string::npos) << size.err;
    CliRun raw = RunCli({"pack", source, "-o", out, "-q", "-f", "--volume-size", "1440k"});
    EXPECT_EQ(raw.code, 0);
    EXPECT_NE(raw.err.find("do not fit on a 1.44 MB floppy"), std::string::npos) << raw.err;
    EXPECT_NE(RunCli({"pack", "--help"}).out.find("'floppy': 1,457,664"), std::string::npos);
}

TEST(ProgressBarTest, KeepsOneWidthAndPausesForQuestions) {
    std::ostringstream err;
    ProgressBar bar(err, true, 5000000000ULL, "Testing");
    std::this_thread::sleep_for(std::chrono::milliseconds(320));
    std::vector<size_t> widths;
    for (uint64_t done : {1ULL, 999ULL, 123456789ULL, 4999999999ULL}) {
        err.str("");
        bar.Update(done);
        std::string line = err.str();
        ASSERT_EQ(line.rfind("\r", 0), 0u) << line;
        widths.push_back(line.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(110));
    }
    EXPECT_EQ(std::count(widths.begin(), widths.end(), widths[0]), 4) << widths[0] << " " << widths[3];
    bar.Pause();
    err.str("");
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    bar.Update(5);
    EXPECT_EQ(err.str(), "");  // nothing drawn under a question
    bar.Resume();
    bar.Update(6);
    EXPECT_NE(err.str(), "");
}

TEST(ExtractCancel, OneKeptFileIsSingular) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    ASSERT_EQ(RunCli({"x", "-q", archive, "-d", folder / "out"}).code, 0);
    CliRun r = RunCli({"x", archive, "-d", folder / "out"}, "y\nc\n", true);
    EXPECT_EQ(r.code, ExitCancelled);
    EXPECT_NE(r.err.find("1 file extracted before it is kept"), std::string::npos) << r.err;
}

}  // namespace

namespace {

// Two checkouts of one tree differ in their files' birth (and access) times only:
// with SOURCE_DATE_EPOCH their archives are the same bytes.
TEST(Reproducible, FreshCopiesOfATreeGiveTheSameArchive) {
    TempFolder folder;
    for (const char* copy : {"one", "two"}) {
        std::string base = folder / copy;
        fs::create_directories(base + "/sub");
        WriteWholeFile(base + "/sub/a.txt", Bytes("same content"));
        WriteWholeFile(base + "/b.bin", Noise(3000, 4));
        for (const char* f : {"/sub/a.txt", "/b.bin"})
            fs::last_write_time(base + f, fs::last_write_time(folder / "one" + f));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    CliRun one = RunCli({"pack", "-q", folder / "one", "-o", folder / "one.exe", "--volume-base", "setup"});
    CliRun two = RunCli({"pack", "-q", folder / "two", "-o", folder / "two.exe", "--volume-base", "setup"});
    unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_EQ(one.code, 0) << one.err;
    ASSERT_EQ(two.code, 0) << two.err;
    EXPECT_TRUE(ReadWholeFile(folder / "one.exe") == ReadWholeFile(folder / "two.exe"));
}

}  // namespace
