// extract into a destination that holds links, hard links, setuid files and deep trees:
// nothing below the destination is followed, replaced files are replaced whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

    // A name the archive gives twice, the text of its first entry and of its last.
    struct Twice {
        std::string name, first, last;
    };
    // Extracts `twice` with -y, then afresh with -n: each name holds its last text, then
    // its first. Returns the second run.
    CliRun ReplacedThenKept(const std::string& twice, const std::vector<Twice>& names) {
        CliRun replace = RunCli({"x", "-q", "-y", twice, "-d", out});
        EXPECT_EQ(replace.code, 0) << replace.err;
        for (const Twice& n : names) EXPECT_EQ(FileText(out + "/" + n.name), n.last) << n.name;
        fs::remove_all(out);
        CliRun keep = RunCli({"x", "-n", twice, "-d", out});
        EXPECT_EQ(keep.code, 0) << keep.err;
        for (const Twice& n : names) EXPECT_EQ(FileText(out + "/" + n.name), n.first) << n.name;
        return keep;
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

// Files are written by a thread of their own while later ones are decoded: a name the
// archive gives twice, or a file where a later entry wants a folder, must meet the
// first file as if it had been written at once.
TEST_F(Destination, ALaterEntryMeetsTheFilesWrittenBeforeIt) {
    EntryStream s;
    s.LiteralFile("dup.txt", Bytes("first"));
    s.Folder("made");
    s.LiteralFile("made\\dup.txt", Bytes("first inside"));
    s.LiteralFile("dup.txt", Bytes("second"));
    s.LiteralFile("made\\dup.txt", Bytes("second inside"));
    s.End();
    CliRun keep = ReplacedThenKept(WriteSample(folder, s), {{"dup.txt", "first", "second"},
                                                            {"made/dup.txt", "first inside", "second inside"}});
    EXPECT_NE(keep.out.find("skipping: made/dup.txt"), std::string::npos) << keep.out;

    EntryStream clash;
    clash.Folder("made");
    clash.LiteralFile("made\\x", Bytes("a file"));
    clash.LiteralFile("made\\x\\y.txt", Bytes("wants x to be a folder"));
    clash.End();
    fs::remove_all(out);
    CliRun r = RunCli({"x", "-q", WriteSample(folder, clash), "-d", out});
    EXPECT_EQ(r.code, ExitWriteFailed) << r.err;
    EXPECT_EQ(FileText(out + "/made/x"), "a file");
    EXPECT_EQ(Leftovers(out), 0);
}

// Thousands of small files go to the writer in hand-overs, and the names it has still to
// give are forgotten as it gives them: a name met again far later, and one met again
// while its first file has not yet left the decoding thread, still meet their first file.
TEST_F(Destination, NamesMetAgainAfterThousandsOfFilesMeetTheirFirstFile) {
    constexpr int Files = 4200;  // past the first sweep of the names, at 4,096
    EntryStream s;
    for (int i = 0; i < Files; ++i) s.LiteralFile("f" + std::to_string(i), Bytes("a" + std::to_string(i)));
    s.LiteralFile("f0", Bytes("again 0"));
    s.LiteralFile("f4199", Bytes("again 4199"));
    s.End();
    ReplacedThenKept(WriteSample(folder, s), {{"f0", "a0", "again 0"}, {"f4199", "a4199", "again 4199"}});
    EXPECT_EQ(FileText(out + "/f4198"), "a4198");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator{}), Files);
}

// A write that fails on the writer thread (here: past the file size limit) stops the
// run at that file: it is named, it keeps no name (an older file of that name stays),
// nothing after it is written, and no temporary file is left.
struct SizeLimit {
    rlimit saved{};
    void (*handler)(int);
    explicit SizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
        handler = signal(SIGXFSZ, SIG_IGN);
    }
    ~SizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, handler);
    }
};

TEST_F(Destination, AFailedWriteBehindTheDecoderStopsTheRunAtItsFile) {
    EntryStream s;
    s.LiteralFile("before.txt", Bytes("before"));
    s.LiteralFile("big.bin", Noise(3 << 20, 7));  // handed over in pieces while decoded
    s.LiteralFile("after.txt", Bytes("after"));
    s.LiteralFile("last.txt", Bytes("last"));
    s.End();
    std::string archive = WriteSample(folder, s);
    WriteWholeFile(out + "/big.bin", Bytes("precious"));
    CliRun r;
    {
        SizeLimit limit(1 << 20);
        r = RunCli({"x", "-q", "-y", archive, "-d", out});
    }
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("cannot write " + out + "/big.bin: File too large"), std::string::npos) << r.err;
    EXPECT_EQ(FileText(out + "/before.txt"), "before");
    EXPECT_EQ(FileText(out + "/big.bin"), "precious");
    EXPECT_FALSE(fs::exists(out + "/after.txt"));
    EXPECT_FALSE(fs::exists(out + "/last.txt"));
    EXPECT_EQ(Leftovers(out), 0);

    // The same failure met only when the decoder has already finished.
    EntryStream tail;
    tail.LiteralFile("small.txt", Bytes("small"));
    tail.LiteralFile("big.bin", Noise((1 << 20) + 10, 8));  // one piece, handed over at its close
    tail.End();
    std::string second = WriteSample(folder, tail);
    fs::remove_all(out);
    {
        SizeLimit limit(1 << 20);
        r = RunCli({"x", "-q", second, "-d", out});
    }
    EXPECT_EQ(r.code, ExitWriteFailed);
    EXPECT_NE(r.err.find("cannot write " + out + "/big.bin"), std::string::npos) << r.err;
    EXPECT_EQ(FileText(out + "/small.txt"), "small");
    EXPECT_FALSE(fs::exists(out + "/big.bin"));
    EXPECT_EQ(Leftovers(out), 0);
}
