// extract into a destination that holds links, hard links, setuid files and deep trees:
// nothing below the destination is followed, replaced files are replaced whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "cli_runner.h"
#include "platform/posix/codepage.h"
#include "platform/posix/posix_destination.h"
#include "platform/posix/posix_platform.h"

namespace fs = std::filesystem;

namespace {

struct Destination : ::testing::Test {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    std::string out = folder / "out";
    std::string elsewhere = folder / "elsewhere";

    Destination() {
        fs::create_directories(out);
        fs::create_directories(elsewhere);
    }

    // Names in `dir` that a run left behind under a temporary name.
    static int Leftovers(const std::string& dir) {
        int n = 0;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.path().filename().string().find(".partial") != std::string::npos) ++n;
        return n;
    }
};

TEST_F(Destination, SymlinkedFolderIsAnErrorNamingItAndNothingIsWrittenThere) {
    fs::create_directory_symlink(elsewhere, out + "/docs");
    CliRun r = RunCli({"x", archive, "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("docs: a symbolic link is in the way"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // Without a folder entry the file's own folder walk meets the link the same way.
    EntryStream s;
    s.LiteralFile("docs\\x.txt", Bytes("x"));
    s.End();
    TempFolder other;
    CliRun bare = RunCli({"x", WriteSample(other, s), "-d", out});
    EXPECT_EQ(bare.code, ExitWriteFailed) << bare.err;
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(Destination, LinkDeeperDownIsNotFollowedEither) {
    fs::create_directories(out + "/docs");
    fs::create_directory_symlink(elsewhere, out + "/docs/sub");
    EntryStream s;
    s.LiteralFile("docs\\sub\\deeper\\x.txt", Bytes("x"));
    s.End();
    CliRun r = RunCli({"x", WriteSample(folder, s), "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("docs/sub"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(Destination, SymlinkAsTheFileIsReplacedNotWrittenThrough) {
    WriteWholeFile(elsewhere + "/target.txt", Bytes("outside"));
    fs::create_symlink(elsewhere + "/target.txt", out + "/top.txt");
    CliRun keep = RunCli({"x", "-n", archive, "-d", out});
    EXPECT_EQ(keep.code, 0) << keep.err;
    EXPECT_TRUE(fs::is_symlink(out + "/top.txt"));

    CliRun r = RunCli({"x", "-y", archive, "-d", out});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(out + "/top.txt"));
    EXPECT_EQ(FileText(out + "/top.txt"), "top level\n");
    EXPECT_EQ(FileText(elsewhere + "/target.txt"), "outside");
}

TEST_F(Destination, ReplacedFileLeavesItsHardLinkAndModeAlone) {
    WriteWholeFile(out + "/top.txt", Bytes("old"));
    ASSERT_EQ(chmod((out + "/top.txt").c_str(), 04755), 0);
    fs::create_hard_link(out + "/top.txt", elsewhere + "/other-name");
    CliRun r = RunCli({"x", "-y", archive, "-d", out});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(FileText(out + "/top.txt"), "top level\n");
    EXPECT_EQ(FileText(elsewhere + "/other-name"), "old");
    struct stat replaced, old;
    ASSERT_EQ(stat((out + "/top.txt").c_str(), &replaced), 0);
    ASSERT_EQ(stat((elsewhere + "/other-name").c_str(), &old), 0);
    EXPECT_EQ(replaced.st_mode & (S_ISUID | S_ISGID), 0u);
    EXPECT_EQ(old.st_mode & 07777, 04755u);
    EXPECT_EQ(old.st_nlink, 1u);
    EXPECT_EQ(Leftovers(out), 0);
}

TEST_F(Destination, DamageWhileReplacingKeepsTheOldFile) {
    std::string broken = WriteDamagedInSecondFile(folder);
    WriteWholeFile(out + "/second.bin", Bytes("precious"));

    CliRun r = RunCli({"x", "-y", broken, "-d", out});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_EQ(FileText(out + "/second.bin"), "precious");
    EXPECT_EQ(Noise(3000, 1), ReadWholeFile(out + "/first.bin"));
    EXPECT_EQ(Leftovers(out), 0);
}

TEST_F(Destination, AFolderWhereAFileGoesIsAWriteFailureAndStaysAFolder) {
    fs::create_directories(out + "/top.txt/inside");
    CliRun r = RunCli({"x", "-y", archive, "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("top.txt"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_directory(out + "/top.txt/inside"));
    EXPECT_EQ(Leftovers(out), 0);
}

// Folders deeper than a native path can name are made one level at a time from the
// folder above, and climbing back to a sibling of a deep folder finds the right one.
TEST_F(Destination, TreesDeeperThanAPathCanNameAreMadeAndClimbedBack) {
    constexpr int Levels = 2100;  // "a\" each: over 4,096 bytes
    std::string deep;
    for (int i = 0; i < Levels; ++i) deep += "a\\";
    EntryStream s;
    s.Folder(deep + "end");
    s.LiteralFile(deep + "end\\file.txt", Bytes("deep"));
    std::string mid;
    for (int i = 0; i < 100; ++i) mid += "a\\";
    s.LiteralFile(mid + "mid.txt", Bytes("mid"));
    s.LiteralFile(deep + "sibling\\file.txt", Bytes("sibling"));
    s.LiteralFile("top.txt", Bytes("top"));
    s.End();
    CliRun r = RunCli({"x", "-q", WriteSample(folder, s), "-d", out});
    ASSERT_EQ(r.code, 0) << r.err;

    int at = open(out.c_str(), O_RDONLY | O_DIRECTORY);
    std::string walked;
    for (int i = 0; i < Levels; ++i) {
        if (i == 100) {
            EXPECT_EQ(faccessat(at, "mid.txt", F_OK, 0), 0);
        }
        int next = openat(at, "a", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        ASSERT_GE(next, 0) << "level " << i;
        close(at);
        at = next;
    }
    EXPECT_EQ(faccessat(at, "end/file.txt", F_OK, 0), 0);
    EXPECT_EQ(faccessat(at, "sibling/file.txt", F_OK, 0), 0);
    close(at);
    EXPECT_EQ(FileText(out + "/top.txt"), "top");
    // What the standard library cannot remove by path.
    EXPECT_EQ(std::system(("rm -rf '" + out + "'").c_str()), 0);
}

// Names whose folders share bytes, hold a trail byte 0x5C ("表"), "." and empty elements,
// in random order: the kept folder handles must lead exactly where the plain path does.
TEST(DestinationWalk, EveryFileLandsWhereItsPlainPathSays) {
    const std::vector<std::string> elements = {"a", "b", "\x95\x5C", "\x95\x5C" "a", "a\x95\x5C", ".", ""};
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        TempFolder folder;
        EntryStream s;
        std::set<std::string> expected;
        uint32_t r = seed;
        auto next = [&](uint32_t n) {
            r = r * 1103515245u + 12345u;
            return (r >> 16) % n;
        };
        for (int i = 0; i < 120; ++i) {
            std::string name;
            for (uint32_t depth = next(4); depth > 0; --depth) {
                const std::string& element = elements[next(elements.size())];
                if (!name.empty() || !element.empty()) name += element + "\\";  // no leading '\'
            }
            if (next(5) == 0) {
                if (!name.empty()) s.Folder(name.substr(0, name.size() - 1));
                continue;
            }
            name += "f" + std::to_string(i);
            s.LiteralFile(name, Bytes(name));
            expected.insert(fs::weakly_canonical(folder / "out/" + PosixNativePath(name.c_str())).string());
        }
        s.End();
        CliRun run = RunCli({"x", "-q", WriteSample(folder, s), "-d", folder / "out"});
        ASSERT_EQ(run.code, 0) << run.err;
        std::set<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(folder / "out"))
            if (e.is_regular_file()) found.insert(e.path().string());
        EXPECT_EQ(found, expected) << "seed " << seed;
    }
}

TEST(TemporaryName, NoStoredNameConvertsToIt) {
    // The marker character is not among the conversions of any one- or two-byte name.
    const std::string marker = "\u00B7";
    ASSERT_NE(DestinationTemporaryName(0).find(marker), std::string::npos);
    for (int a = 1; a < 256; ++a) {
        std::string one(1, static_cast<char>(a));
        ASSERT_EQ(Cp932ToUtf8(one).find(marker), std::string::npos) << a;
        for (int b = 1; b < 256; ++b) {
            std::string two = one + static_cast<char>(b);
            ASSERT_EQ(Cp932ToUtf8(two).find(marker), std::string::npos) << a << " " << b;
        }
    }
}

}  // namespace
