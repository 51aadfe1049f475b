// list, info and test, and how damaged or foreign files are reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

TEST(List, TableShowsSizesTimesPrimersAndTotals) {
    TempFolder folder;
    CliRun r = RunCli({"list", WriteSample(folder)});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("<dir>"), std::string::npos);
    EXPECT_NE(r.out.find("docs/\n"), std::string::npos);
    // readme.txt is the first file, primed by the stub; notes.md by entry 2.
    EXPECT_NE(r.out.find("    2          14          16    114%  2016-08-27 01:11:54       stub       0  docs/readme.txt"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("#2       0  docs/notes.md"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  3 files, 1 folder"), std::string::npos) << r.out;
}

TEST(List, JsonShape) {
    TempFolder folder;
    EntryStream s;
    s.Folder("d");
    s.LiteralFile("d\\a", Bytes("AB"));
    // Two bytes of "a" as prefix, then one literal.
    s.File("d\\b", 3, EncodeLiterals(Bytes("C")), 1, 2);
    s.End();
    CliRun r = RunCli({"list", "--json", WriteSample(folder, s)});
    ASSERT_EQ(r.code, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["complete"], true);
    ASSERT_EQ(j["entries"].size(), 3u);
    const auto& dir = j["entries"][0];
    EXPECT_EQ(dir["type"], "folder");
    EXPECT_EQ(dir["name"], "d");
    EXPECT_FALSE(dir.contains("size"));
    const auto& a = j["entries"][1];
    EXPECT_EQ(a["name"], "d/a");
    EXPECT_EQ(a["size"], 2);
    EXPECT_EQ(a["primedBy"], nlohmann::json({{"stub", true}}));
    EXPECT_EQ(a["modified"], "2016-08-27T01:11:54Z");
    EXPECT_EQ(a["rawName"], "645c61");
    const auto& b = j["entries"][2];
    EXPECT_EQ(b["prefix"], 2);
    EXPECT_EQ(b["reference"], 1);
    EXPECT_EQ(b["primedBy"]["index"], 2);
    EXPECT_EQ(b["primedBy"]["name"], "d/a");
    EXPECT_EQ(j["totals"], nlohmann::json({{"files", 2}, {"folders", 1}, {"bytes", 5}, {"packedBytes", 5}}));
}

TEST(List, PatternsNarrowTheListingAndTotals) {
    TempFolder folder;
    CliRun r = RunCli({"list", "--json", WriteSample(folder), "docs/*", "-x", "*.md"});
    ASSERT_EQ(r.code, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["entries"].size(), 1u);
    EXPECT_EQ(j["entries"][0]["name"], "docs/readme.txt");
    EXPECT_EQ(j["totals"]["files"], 1);
}

TEST(Names, UnconvertibleBytesBecomeRecoverableEscapes) {
    TempFolder folder;
    EntryStream s;
    s.LiteralFile("100%.txt", Bytes("plain"));          // nothing to escape: '%' stays
    s.LiteralFile("bad\x80%.txt", Bytes("escaped"));    // 0x80 is no character of code page 932
    s.LiteralFile("\x95\x5C\\in.txt", Bytes("trail"));  // 表: a trail byte 0x5C is no separator
    s.End();
    std::string archive = WriteSample(folder, s);
    CliRun list = RunCli({"list", "--json", archive});
    ASSERT_EQ(list.code, 0) << list.err;
    nlohmann::json j = nlohmann::json::parse(list.out);
    EXPECT_EQ(j["entries"][0]["name"], "100%.txt");
    EXPECT_EQ(j["entries"][1]["name"], "bad%80%25.txt");
    EXPECT_EQ(j["entries"][1]["rawName"], "62616480252e747874");
    EXPECT_EQ(j["entries"][2]["name"], "\xe8\xa1\xa8/in.txt");

    CliRun x = RunCli({"x", archive, "-d", folder / "out"});
    ASSERT_EQ(x.code, 0) << x.err;
    EXPECT_EQ(FileText(folder / "out/100%.txt"), "plain");
    EXPECT_EQ(FileText(folder / "out/bad%80%25.txt"), "escaped");
    EXPECT_EQ(FileText(folder / "out/\xe8\xa1\xa8/in.txt"), "trail");
}

TEST(Names, EscapedFolderHoldsItsFiles) {
    // Every path through one folder must name it the same way on disk.
    TempFolder folder;
    EntryStream s;
    s.LiteralFile("50%\\plain.txt", Bytes("1"));
    s.LiteralFile("50%\\odd\x80.txt", Bytes("2"));
    s.End();
    std::string archive = WriteSample(folder, s);
    CliRun x = RunCli({"x", archive, "-d", folder / "out"});
    ASSERT_EQ(x.code, 0) << x.err;
    EXPECT_EQ(FileText(folder / "out/50%/plain.txt"), "1");
    EXPECT_EQ(FileText(folder / "out/50%/odd%80.txt"), "2");
}

TEST(Info, HeaderFieldsAndVolumeCount) {
    TempFolder folder;
    ArchiveLayout layout;
    layout.volumeBase = "\x83\x66\x81\x5B\x83\x5E";  // データ
    layout.message = "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\r\nline two";  // こんにちは
    layout.runAfter = "setup\\start.bat";
    layout.stamp = 45000.5;
    layout.payload = SampleEntries().bytes;
    layout.volumeShares = {20};
    WriteArchive(folder / "a.exe", layout);

    CliRun text = RunCli({"info", folder / "a.exe"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_NE(text.out.find("2023-03-15T12:00:00"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  こんにちは\n  line two\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1 found"), std::string::npos) << text.out;

    CliRun json = RunCli({"info", "--json", folder / "a.exe"});
    ASSERT_EQ(json.code, 0);
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["message"], "こんにちは\nline two");
    EXPECT_EQ(j["runAfter"], "setup\\start.bat");
    EXPECT_EQ(j["volumeBaseName"], "データ");
    EXPECT_EQ(j["identityStamp"]["text"], "2023-03-15T12:00:00");
    EXPECT_EQ(j["recordedSize"], j["fileSize"]);
    ASSERT_EQ(j["volumeFiles"].size(), 1u);
    EXPECT_EQ(j["volumeFiles"][0]["belongs"], true);
}

TEST(Test, SoundArchivePassesQuietly) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    CliRun r = RunCli({"test", archive});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("OK, 3 files (32 bytes) and 1 folder"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(folder / "docs"));
    EXPECT_EQ(RunCli({"test", "-q", archive}).out, "");
}

TEST(Test, DataBehindTheEndMarkerFails) {
    TempFolder folder;
    EntryStream s = SampleEntries();
    s.bytes.push_back('!');
    CliRun r = RunCli({"test", WriteSample(folder, s)});
    EXPECT_EQ(r.code, ExitDamaged);
    EXPECT_NE(r.err.find("follow the end of the archive (1 bytes)"), std::string::npos) << r.err;

    // Whole blocks behind the full last block of the last volume, which has no size
    // record of its own (behind a short block they would break its CRC instead).
    EntryStream big;
    big.LiteralFile("noise.bin", Noise(9000, 3));
    big.End();
    ArchiveLayout layout;
    layout.payload = big.bytes;
    layout.volumeShares = {big.bytes.size() - 4096};
    std::vector<std::string> paths = WriteArchive(folder / "v.exe", layout);
    EXPECT_EQ(RunCli({"test", "-q", paths[0]}).code, 0);
    std::vector<uint8_t> volume = ReadWholeFile(paths[1]);
    std::vector<uint8_t> junk = Blocks(std::vector<uint8_t>(5000, 'j'));
    volume.insert(volume.end(), junk.begin(), junk.end());
    WriteWholeFile(paths[1], volume);
    CliRun appended = RunCli({"test", paths[0]});
    EXPECT_EQ(appended.code, ExitDamaged);
    EXPECT_NE(appended.err.find("(5000 bytes)"), std::string::npos) << appended.err;
}

// Every way an archive can fail to open: damage (3) when it holds together as an
// archive, "not an archive" (6) when it cannot be opened or is something else.
TEST(OpenFailures, AreDamageWithAClearLine) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    std::vector<uint8_t> good = ReadWholeFile(archive);

    CliRun missing = RunCli({"list", folder / "nothing.exe"});
    EXPECT_EQ(missing.code, ExitNotArchive);
    EXPECT_NE(missing.err.find("cannot open " + folder / "nothing.exe" + ": No such file"), std::string::npos);

    std::vector<uint8_t> cut(good.begin(), good.end() - 1);
    WriteWholeFile(folder / "cut.exe", cut);
    CliRun truncated = RunCli({"test", folder / "cut.exe"});
    EXPECT_EQ(truncated.code, ExitDamaged);
    EXPECT_NE(truncated.err.find("truncated"), std::string::npos) << truncated.err;

    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    WriteWholeFile(folder / "long.exe", longer);
    CliRun appended = RunCli({"x", folder / "long.exe", "-d", folder / "out"});
    EXPECT_EQ(appended.code, ExitDamaged);
    EXPECT_NE(appended.err.find("appended"), std::string::npos) << appended.err;
    EXPECT_FALSE(fs::exists(folder / "out/top.txt"));

    WriteWholeFile(folder / "bare.exe", std::vector<uint8_t>(good.begin(), good.begin() + 0x7000));
    CliRun bare = RunCli({"info", folder / "bare.exe"});
    EXPECT_EQ(bare.code, ExitNotArchive);
    EXPECT_NE(bare.err.find("no archive"), std::string::npos) << bare.err;

    WriteWholeFile(folder / "tiny.exe", Bytes("MZ not an archive"));
    CliRun tiny = RunCli({"list", folder / "tiny.exe"});
    EXPECT_EQ(tiny.code, ExitNotArchive);
    EXPECT_NE(tiny.err.find("not a Daduvivu archive"), std::string::npos) << tiny.err;

    CliRun dir = RunCli({"test", folder.path});
    EXPECT_EQ(dir.code, ExitNotArchive);
}

}  // namespace
