// What scripts rely on: packed sizes, bare name lists, bytes on stdout, test verdicts
// as JSON.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

// Files whose bodies are all literals, so that each body's length is known; the big
// one spans blocks and, with `shares`, volumes.
struct KnownBodies {
    EntryStream stream;
    std::vector<std::vector<uint8_t>> contents;
    std::vector<size_t> bodySizes;
    KnownBodies() {
        stream.Folder("d");
        Add("d\\a.txt", Bytes("alpha"));
        Add("big.bin", Noise(9000, 7));
        Add("empty", {});
        Add("d\\z.txt", Bytes("zeta\n"));
        stream.End();
    }
    void Add(const std::string& name, std::vector<uint8_t> content) {
        stream.LiteralFile(name, content);
        bodySizes.push_back(EncodeLiterals(content).size());
        contents.push_back(std::move(content));
    }
};

TEST(Scripting, ListGivesEachBodysPackedSize) {
    TempFolder folder;
    KnownBodies known;
    for (bool split : {false, true}) {
        ArchiveLayout layout;
        layout.payload = known.stream.bytes;
        if (split) layout.volumeShares = {3000, 2500};
        std::string archive = WriteArchive(folder / (split ? "v.exe" : "a.exe"), layout)[0];
        CliRun r = RunCli({"list", "--json", archive});
        ASSERT_EQ(r.code, 0) << r.err;
        nlohmann::json j = nlohmann::json::parse(r.out);
        ASSERT_EQ(j["entries"].size(), 5u);
        EXPECT_FALSE(j["entries"][0].contains("packedSize"));  // a folder
        uint64_t total = 0;
        for (size_t i = 0; i < known.bodySizes.size(); ++i) {
            EXPECT_EQ(j["entries"][i + 1]["packedSize"], known.bodySizes[i]) << split << " " << i;
            total += known.bodySizes[i];
        }
        EXPECT_EQ(j["totals"]["packedBytes"], total);

        // Patterns that skip the big body still measure the ones after it.
        CliRun some = RunCli({"list", "--json", archive, "d/z.txt"});
        nlohmann::json one = nlohmann::json::parse(some.out);
        ASSERT_EQ(one["entries"].size(), 1u);
        EXPECT_EQ(one["entries"][0]["packedSize"], known.bodySizes[3]);
    }
    CliRun table = RunCli({"list", folder / "a.exe"});
    EXPECT_NE(table.out.find("   Packed   Ratio  "), std::string::npos) << table.out;
    // 9000 literals of noise take more than 9000 bytes; an empty file has no ratio.
    EXPECT_NE(table.out.find("9000  " + std::string(10 - std::to_string(known.bodySizes[1]).size(), ' ') +
                             std::to_string(known.bodySizes[1]) + "    1"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("           0       -  "), std::string::npos) << table.out;
}

TEST(Scripting, NamesAndNulSeparatedNames) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    CliRun names = RunCli({"list", "--names", archive});
    ASSERT_EQ(names.code, 0) << names.err;
    EXPECT_EQ(names.out, "docs/\ndocs/readme.txt\ndocs/notes.md\ntop.txt\n");
    CliRun nul = RunCli({"list", "--null", archive, "docs/*"});
    EXPECT_EQ(nul.out, std::string("docs/readme.txt\0docs/notes.md\0", 30));
    CliRun none = RunCli({"list", "-0", archive, "nothing"});
    EXPECT_EQ(none.code, ExitNoMatch);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(RunCli({"list", "--json", "--names", archive}).code, ExitUsage);
}

TEST(Scripting, StdoutGetsSelectedFilesInArchiveOrderAndNothingTouchesDisk) {
    TempFolder folder, temp;
    KnownBodies known;
    ArchiveLayout layout;
    layout.payload = known.stream.bytes;
    layout.volumeShares = {4000};
    std::string archive = WriteArchive(folder / "a.exe", layout)[0];
    const char* saved = getenv("TMPDIR");
    std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", temp.path.c_str(), 1);
    auto entriesIn = [](const std::string& dir) {
        return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
    };
    auto before = entriesIn(folder.path);

    CliRun all = RunCli({"x", "-p", archive});
    EXPECT_EQ(all.code, 0) << all.err;
    std::string expected;
    for (const auto& c : known.contents) expected.append(c.begin(), c.end());
    EXPECT_EQ(all.out, expected);
    EXPECT_EQ(all.err, "");

    // Patterns choose; the order stays the archive's, not the patterns'.
    CliRun some = RunCli({"extract", "--stdout", archive, "d/z.txt", "d/a.txt", "missing"});
    EXPECT_EQ(some.code, ExitNoMatch);
    EXPECT_EQ(some.out, "alphazeta\n");
    EXPECT_NE(some.err.find("no entry matches 'missing'"), std::string::npos);

    EXPECT_EQ(entriesIn(folder.path), before);
    EXPECT_EQ(entriesIn(temp.path), 0);  // the private folder is gone again
    EXPECT_FALSE(fs::exists("d"));
    EXPECT_EQ(RunCli({"x", "-p", archive, "-d", folder / "out"}).code, ExitUsage);

    // Damage stops the stream with the usual message and code.
    std::vector<uint8_t> bytes = ReadWholeFile(archive);
    bytes[bytes.size() - 100] ^= 1;
    WriteWholeFile(archive, bytes);
    CliRun damaged = RunCli({"x", "-p", archive});
    EXPECT_EQ(damaged.code, ExitDamaged);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
    EXPECT_EQ(entriesIn(temp.path), 0);
    if (saved) setenv("TMPDIR", savedValue.c_str(), 1);
    else unsetenv("TMPDIR");
}

TEST(Scripting, TestVerdictAsJson) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    CliRun good = RunCli({"test", "--json", archive});
    ASSERT_EQ(good.code, 0) << good.err;
    nlohmann::json j = nlohmann::json::parse(good.out);
    EXPECT_EQ(j["sound"], true);
    EXPECT_EQ(j["files"], 3);
    EXPECT_EQ(j["folders"], 1);
    EXPECT_EQ(j["bytes"], 32);
    EXPECT_TRUE(j["errors"].empty());

    std::vector<uint8_t> bytes = ReadWholeFile(archive);
    bytes.back() ^= 0x40;
    WriteWholeFile(archive, bytes);
    CliRun bad = RunCli({"test", "--json", archive});
    EXPECT_EQ(bad.code, ExitDamaged);
    nlohmann::json b = nlohmann::json::parse(bad.out);
    EXPECT_EQ(b["sound"], false);
    EXPECT_EQ(b["exitCode"], ExitDamaged);
    ASSERT_EQ(b["errors"].size(), 1u);
    EXPECT_NE(b["errors"][0].get<std::string>().find("damaged"), std::string::npos);
    EXPECT_NE(bad.err.find("daduvivu: "), std::string::npos);  // and still on stderr

    CliRun foreign = RunCli({"test", "--json", folder / "none.exe"});
    EXPECT_EQ(foreign.code, ExitNotArchive);
    EXPECT_EQ(nlohmann::json::parse(foreign.out)["exitCode"], ExitNotArchive);
}

}  // namespace
