// list --json writes its entries one at a time, in exactly the text a whole document
// dumped with an indent of two would be.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_runner.h"

namespace {

// The listing is what dumping its own parse gives back: nlohmann's layout, key order kept.
void ExpectCanonical(const CliRun& r) {
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(r.out);
    EXPECT_EQ(r.out, j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

TEST(ListJson, StreamedTextIsTheWholeDocumentsText) {
    TempFolder folder;
    EntryStream s;
    s.Folder("d");
    s.LiteralFile("d\\a", Bytes("AB"));
    s.File("d\\b", 3, EncodeLiterals(Bytes("C")), 1, 2);
    s.LiteralFile("\x95\x5C\\\x1b\"quoted\".txt", Bytes("x"));
    s.End();
    std::string archive = WriteSample(folder, s);
    CliRun all = RunCli({"list", "--json", archive});
    ASSERT_EQ(all.code, 0) << all.err;
    ExpectCanonical(all);
    EXPECT_NE(all.out.find("\n    {\n      \"index\": 1,\n"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("\n  ],\n  \"totals\": {\n"), std::string::npos) << all.out;

    // A file primed by one the patterns leave out still names it.
    CliRun some = RunCli({"list", "--json", archive, "d/b"});
    ASSERT_EQ(some.code, 0) << some.err;
    ExpectCanonical(some);
    nlohmann::json j = nlohmann::json::parse(some.out);
    ASSERT_EQ(j["entries"].size(), 1u);
    EXPECT_EQ(j["entries"][0]["primedBy"]["name"], "d/a");

    CliRun none = RunCli({"list", "--json", archive, "nothing"});
    EXPECT_EQ(none.code, ExitNoMatch);
    ExpectCanonical(none);
    EXPECT_NE(none.out.find("\"entries\": [],"), std::string::npos) << none.out;
}

TEST(ListJson, ACutShortListingSaysSoBeforeItsEntries) {
    TempFolder folder;
    CliRun r = RunCli({"list", "--json", WriteDamagedInSecondFile(folder)});
    EXPECT_EQ(r.code, ExitDamaged);
    ExpectCanonical(r);
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["entries"].size(), 2u);
}

// Many files, more than the ring of recent files holds, primed by files listed long ago.
TEST(ListJson, LongListingsMatchTheirParse) {
    TempFolder folder;
    EntryStream s;
    for (int i = 0; i < 700; ++i) s.LiteralFile("f" + std::to_string(i), Bytes(std::to_string(i)));
    s.End();
    CliRun r = RunCli({"list", "--json", WriteSample(folder, s), "f1*", "f6*"});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectCanonical(r);
    nlohmann::json j = nlohmann::json::parse(r.out);
    for (const auto& e : j["entries"]) {
        int index = e["index"];
        EXPECT_EQ(e["primedBy"]["index"], index - 1);
        EXPECT_EQ(e["primedBy"]["name"], "f" + std::to_string(index - 2));
    }
}

}  // namespace
