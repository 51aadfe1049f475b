// Archives made to mislead or stall the command: bodies longer than their record, a
// tail of 4 GiB, FIFOs where files should be, volume base names that leave the folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

// A run that would wait on a FIFO ends the test program instead of holding ctest.
struct Deadline {
    Deadline() { alarm(60); }
    ~Deadline() { alarm(0); }
};

// One file across two volumes named after `base`.
std::vector<std::string> TwoVolumes(const std::string& program, const std::string& base) {
    EntryStream s;
    s.LiteralFile("one.bin", Noise(5000, 1));
    s.End();
    ArchiveLayout layout;
    layout.volumeBase = base;
    layout.payload = s.bytes;
    layout.volumeShares = {3000};
    return WriteArchive(program, layout);
}

TEST(HostileArchive, ABodyLongerThanItsRecordIsDamageForEveryCommand) {
    TempFolder folder;
    EntryStream s;
    s.LiteralFile("fine.txt", Bytes("fine"));
    s.File("overrun.bin", 5, EncodeTokens({Token::Literal('a'), Token::Match(999, 1)}));
    s.End();
    std::string archive = WriteSample(folder, s);
    for (const char* command : {"test", "list"}) {
        CliRun r = RunCli({command, archive});
        EXPECT_EQ(r.code, ExitDamaged) << command;
        EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("overrun.bin"), std::string::npos) << r.err;
    }
    CliRun x = RunCli({"x", archive, "-d", folder / "out"});
    EXPECT_EQ(x.code, ExitDamaged);
    EXPECT_EQ(FileText(folder / "out/fine.txt"), "fine");
    EXPECT_FALSE(fs::exists(folder / "out/overrun.bin"));

    TempFolder prefix;
    EntryStream p;
    p.File("stub.bin", 0, {}, 1, 0x5000);
    p.End();
    std::string stubArchive = WriteSample(prefix, p);
    EXPECT_EQ(RunCli({"test", stubArchive}).code, ExitDamaged);
    EXPECT_EQ(RunCli({"x", stubArchive, "-d", prefix / "out"}).code, ExitDamaged);
    EXPECT_FALSE(fs::exists(prefix / "out/stub.bin"));
}

TEST(HostileArchive, FourGibibytesAppendedAreRefusedByExtractAsByTest) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    off_t size = static_cast<off_t>(fs::file_size(archive));
    ASSERT_EQ(truncate(archive.c_str(), size + (off_t{1} << 32)), 0);  // sparse
    for (const char* command : {"x", "test", "list"}) {
        CliRun r = command == std::string("x") ? RunCli({command, archive, "-d", folder / "out"})
                                               : RunCli({command, archive});
        EXPECT_EQ(r.code, ExitDamaged) << command;
        EXPECT_NE(r.err.find("appended"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::to_string(size + (off_t{1} << 32)) + " bytes"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(folder / "out/top.txt"));
}

TEST(HostileArchive, AnEndMarkerInTheSharedPrefixFormIsASoundEnd) {
    TempFolder folder;
    EntryStream s;
    s.bytes = {'*', 9, 0};
    CliRun r = RunCli({"test", WriteSample(folder, s)});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("follow"), std::string::npos) << r.err;
    // What does follow is still counted from behind the marker.
    s.bytes.push_back('!');
    CliRun behind = RunCli({"test", WriteSample(folder, s)});
    EXPECT_EQ(behind.code, ExitDamaged);
    EXPECT_NE(behind.err.find("(1 bytes)"), std::string::npos) << behind.err;
}

TEST(HostileArchive, AFifoIsNeverWaitedOnAsArchiveOrVolume) {
    Deadline deadline;
    TempFolder folder;
    ASSERT_EQ(mkfifo((folder / "pipe.exe").c_str(), 0600), 0);
    for (const char* command : {"info", "list", "test"}) {
        CliRun r = RunCli({command, folder / "pipe.exe"});
        EXPECT_EQ(r.code, ExitNotArchive) << command;
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    }

    std::vector<std::string> paths = TwoVolumes(folder / "setup.exe", "disk");
    ASSERT_EQ(paths.size(), 2u);
    fs::remove(paths[1]);
    ASSERT_EQ(mkfifo(paths[1].c_str(), 0600), 0);
    for (const char* command : {"info", "list", "test", "x"}) {
        CliRun r = command == std::string("x") ? RunCli({command, paths[0], "-d", folder / "out"})
                                               : RunCli({command, paths[0]});
        if (command == std::string("info")) {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_NE(r.out.find("Volume files:    0 found"), std::string::npos) << r.out;
            continue;
        }
        EXPECT_EQ(r.code, ExitDamaged) << command;
        EXPECT_NE(r.err.find("disk_2.DAT is not a regular file"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(folder / "out/one.bin"));
}

TEST(HostileArchive, AVolumeBaseNameThatLeavesTheFolderIsRefused) {
    for (std::string base : {"..\\outside", "sub\\disk", "sub/disk", "..", "C:disk"}) {
        TempFolder folder;
        fs::create_directories(folder / "archive");
        std::vector<std::string> paths = TwoVolumes(folder / "archive/setup.exe", "disk");
        // The same archive again, its base name changed, with a volume where that name leads.
        std::vector<uint8_t> program = ReadWholeFile(paths[0]);
        std::vector<uint8_t> bytes(program.begin(), program.begin() + 0x7004);
        for (char c : base) bytes.push_back(static_cast<uint8_t>(c));
        bytes.insert(bytes.end(), program.begin() + 0x7008, program.end());
        SetRecordedSize(bytes);
        WriteWholeFile(paths[0], bytes);
        fs::copy_file(paths[1], folder / "outside_2.DAT");
        for (const char* command : {"info", "list", "test"}) {
            CliRun r = RunCli({command, paths[0]});
            EXPECT_EQ(r.code, ExitDamaged) << command << " " << base;
            EXPECT_NE(r.err.find("is not a plain file name"), std::string::npos) << r.err;
        }
    }
    // A base name of code page 932 characters whose second byte is 0x5C is plain.
    TempFolder folder;
    std::vector<std::string> paths = TwoVolumes(folder / "setup.exe", "\x95\x5C");  // 表
    CliRun r = RunCli({"test", paths[0]});
    EXPECT_EQ(r.code, 0) << r.err;
}

}  // namespace
