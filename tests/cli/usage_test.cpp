// The command line itself: help, version, bad usage; and the pieces it is made of.
#include <gtest/gtest.h>

#include "cli/name_filter.h"
#include "cli/time_text.h"
#include "cli_runner.h"

namespace {

TEST(Usage, HelpAndVersionSucceed) {
    CliRun help = RunCli({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(help.out.find("%HH"), std::string::npos);
    for (const char* command : {"list", "test", "extract", "x", "info", "pack"}) {
        CliRun r = RunCli({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << command;
    }
    CliRun version = RunCli({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_NE(version.out.find("daduvivu 1."), std::string::npos);
}

TEST(Usage, MistakesGiveExitCodeTwo) {
    EXPECT_EQ(RunCli({}).code, ExitUsage);
    CliRun unknown = RunCli({"frobnicate", "x"});  // not taken for the command x
    EXPECT_EQ(unknown.code, ExitUsage);
    EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos) << unknown.err;
    EXPECT_EQ(RunCli({"list"}).code, ExitUsage);
    EXPECT_EQ(RunCli({"x", "a.exe", "--overwrite=sometimes"}).code, ExitUsage);
    EXPECT_EQ(RunCli({"x", "a.exe", "-y", "-n"}).code, ExitUsage);
    EXPECT_EQ(RunCli({"x", "a.exe", "-y", "--overwrite=never"}).code, ExitUsage);
    EXPECT_EQ(RunCli({"pack", "src", "-o", "a.exe", "--level", "10"}).code, ExitUsage);
    EXPECT_EQ(RunCli({"pack", "src"}).code, ExitUsage);
    CliRun size = RunCli({"pack", "src", "-o", "a.exe", "--volume-size", "lots"});
    EXPECT_EQ(size.code, ExitUsage);
    EXPECT_NE(size.err.find("--volume-size"), std::string::npos);
}

TEST(NameFilterTest, FoldersStarsAndExclusions) {
    NameFilter all({}, {}, false);
    EXPECT_TRUE(all.Selects("anything/at/all"));

    NameFilter f({"docs", "*.md", "img/?.png"}, {"docs/private*"}, false);
    EXPECT_TRUE(f.Selects("docs"));
    EXPECT_TRUE(f.Selects("docs/a/b.txt"));
    EXPECT_FALSE(f.Selects("docs/private/key"));
    EXPECT_TRUE(f.Selects("deep/down/x.md"));  // '*' crosses folders
    EXPECT_TRUE(f.Selects("img/a.png"));
    EXPECT_FALSE(f.Selects("img/ab.png"));
    EXPECT_FALSE(f.Selects("docsmore/x"));
    EXPECT_TRUE(f.Unmatched().empty());

    NameFilter unused({"nothing*", "a"}, {}, false);
    unused.Selects("a");
    EXPECT_EQ(unused.Unmatched(), std::vector<std::string>{"nothing*"});
}

TEST(TimeText, FileTimesAndOleDates) {
    EXPECT_EQ(FileTimeText(0), "");
    EXPECT_EQ(FileTimeText(116444736000000000ULL), "1970-01-01T00:00:00Z");
    EXPECT_EQ(FileTimeText(116444736000000000ULL + 10000000ULL * 86399, false), "1970-01-01 23:59:59");
    EXPECT_EQ(OleDateText(0), "1899-12-30T00:00:00");
    EXPECT_EQ(OleDateText(45000.5), "2023-03-15T12:00:00");
    EXPECT_EQ(OleDateText(-1.25), "1899-12-29T06:00:00");  // days back, time forward
    EXPECT_EQ(OleDateText(std::numeric_limits<double>::quiet_NaN()).substr(0, 3), "nan");
}

}  // namespace
