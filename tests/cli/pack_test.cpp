// pack through the command line, and back again with list, test and extract.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

struct PackFixture : ::testing::Test {
    TempFolder folder;
    std::string source = folder / "site";
    void SetUp() override {
        fs::create_directories(source + "/img");
        WriteWholeFile(source + "/index.html", Bytes("<html>hello</html>\n"));
        WriteWholeFile(source + "/img/logo.bin", Noise(70000, 7));
        WriteWholeFile(source + "/img/copy.bin", Noise(70000, 7));
        WriteWholeFile(folder / "message.txt", Bytes("ようこそ\nSecond line\n"));
    }
};

TEST_F(PackFixture, RoundTripWithHeaderOptions) {
    std::string archive = folder / "setup.exe";
    CliRun pack = RunCli({"pack", source, "-o", archive, "-1", "--message", folder / "message.txt", "--run-after",
                          "index.html"});
    ASSERT_EQ(pack.code, 0) << pack.err;
    EXPECT_NE(pack.out.find("3 files"), std::string::npos) << pack.out;

    CliRun info = RunCli({"info", "--json", archive});
    ASSERT_EQ(info.code, 0) << info.err;
    nlohmann::json j = nlohmann::json::parse(info.out);
    EXPECT_NE(j["message"].get<std::string>().find("ようこそ"), std::string::npos);
    EXPECT_EQ(j["runAfter"], "index.html");

    EXPECT_EQ(RunCli({"test", "-q", archive}).code, 0);
    CliRun x = RunCli({"x", "-q", archive, "-d", folder / "out"});
    ASSERT_EQ(x.code, 0) << x.err;
    EXPECT_EQ(ReadWholeFile(folder / "out/img/logo.bin"), Noise(70000, 7));
    EXPECT_EQ(FileText(folder / "out/index.html"), "<html>hello</html>\n");
}

TEST_F(PackFixture, VolumesOfTheGivenSizeAndBase) {
    std::string archive = folder / "setup.exe";
    CliRun pack = RunCli({"pack", source, "-o", archive, "--volume-size", "40k", "--volume-base", "part"});
    ASSERT_EQ(pack.code, 0) << pack.err;
    EXPECT_TRUE(fs::exists(folder / "part_2.DAT"));
    EXPECT_LE(fs::file_size(folder / "part_2.DAT"), 40u * 1024);
    EXPECT_EQ(RunCli({"test", "-q", archive}).code, 0);
    fs::remove(folder / "part_2.DAT");
    CliRun broken = RunCli({"test", archive});
    EXPECT_EQ(broken.code, ExitDamaged);
    EXPECT_NE(broken.err.find("volume file part_2.DAT, which is not in"), std::string::npos) << broken.err;
}

TEST_F(PackFixture, RefusalsAreClearAndLeaveNothing) {
    CliRun missing = RunCli({"pack", folder / "no-such-folder", "-o", folder / "a.exe"});
    EXPECT_EQ(missing.code, ExitDamaged);
    EXPECT_NE(missing.err.find("no-such-folder"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(folder / "a.exe"));

    CliRun stub = RunCli({"pack", source, "-o", folder / "b.exe", "--stub", folder / "message.txt"});
    EXPECT_EQ(stub.code, ExitUsage);
    EXPECT_NE(stub.err.find("exactly 28672"), std::string::npos) << stub.err;
    EXPECT_FALSE(fs::exists(folder / "b.exe"));

    CliRun unwritable = RunCli({"pack", source, "-o", folder / "no-such-folder/d.exe"});
    EXPECT_EQ(unwritable.code, ExitWriteFailed);
    EXPECT_NE(unwritable.err.find("does not exist"), std::string::npos) << unwritable.err;

    WriteWholeFile(source + "/\xf0\x9f\x98\x80.txt", Bytes("no code page 932 name"));
    CliRun name = RunCli({"pack", source, "-o", folder / "e.exe"});
    EXPECT_EQ(name.code, ExitDamaged);
    EXPECT_NE(name.err.find("code page 932"), std::string::npos) << name.err;
    EXPECT_FALSE(fs::exists(folder / "e.exe"));

    CliRun message = RunCli({"pack", source, "-o", folder / "c.exe", "--message", folder / "none.txt"});
    EXPECT_EQ(message.code, ExitDamaged);
    EXPECT_NE(message.err.find("none.txt"), std::string::npos);
}

}  // namespace
