// Archives in several volume files: found beside the archive or in --volumes DIR, and
// named in the error when one is missing or belongs to another archive.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

struct Volumes : ::testing::Test {
    TempFolder folder;
    ArchiveLayout layout;
    std::vector<std::string> paths;

    void SetUp() override {
        EntryStream s;
        s.LiteralFile("one.bin", Noise(5000, 1));
        s.LiteralFile("two.bin", Noise(5000, 2));
        s.End();
        layout.volumeBase = "disk";
        layout.payload = s.bytes;
        layout.volumeShares = {3000, 5000};  // three volumes, two.bin across the last boundary
        paths = WriteArchive(folder / "setup.exe", layout);
        ASSERT_EQ(paths.size(), 3u);
    }
};

TEST_F(Volumes, BesideTheArchive) {
    CliRun r = RunCli({"x", "-q", paths[0], "-d", folder / "out"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(folder / "out/two.bin"), Noise(5000, 2));
    EXPECT_EQ(RunCli({"test", "-q", paths[0]}).code, 0);
}

TEST_F(Volumes, InAnotherFolder) {
    fs::create_directories(folder / "vols");
    for (size_t i = 1; i < paths.size(); ++i)
        fs::rename(paths[i], folder / "vols/" + fs::path(paths[i]).filename().string());
    EXPECT_EQ(RunCli({"test", "-q", paths[0]}).code, ExitDamaged);
    CliRun r = RunCli({"test", paths[0], "--volumes", folder / "vols"});
    EXPECT_EQ(r.code, 0) << r.err;
    CliRun info = RunCli({"info", paths[0], "--volumes", folder / "vols"});
    EXPECT_NE(info.out.find("2 found"), std::string::npos) << info.out;
    CliRun typo = RunCli({"test", paths[0], "--volumes", folder / "volz"});
    EXPECT_EQ(typo.code, ExitUsage);
    EXPECT_NE(typo.err.find("volz: no such folder"), std::string::npos) << typo.err;
}

TEST_F(Volumes, MissingVolumeIsNamed) {
    fs::remove(paths[2]);
    CliRun r = RunCli({"x", paths[0], "-d", folder / "out"});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("goes on in volume file disk_3.DAT, which is not in " + folder.path), std::string::npos) << r.err;
    // The file cut at the volume boundary is not left behind.
    EXPECT_FALSE(fs::exists(folder / "out/two.bin"));
}

TEST_F(Volumes, ForeignVolumeIsNamed) {
    std::vector<uint8_t> bytes = ReadWholeFile(paths[1]);
    bytes[0] ^= 1;  // another archive's identity stamp
    WriteWholeFile(paths[1], bytes);
    CliRun r = RunCli({"test", paths[0]});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("disk_2.DAT belongs to another archive"), std::string::npos) << r.err;
    CliRun info = RunCli({"info", paths[0]});
    EXPECT_NE(info.out.find("(foreign or damaged)"), std::string::npos) << info.out;
}

}  // namespace
