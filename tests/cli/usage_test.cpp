// The command line itself: help, version, bad usage; and the pieces it is made of.
#include <gtest/gtest.h>

#include <algorithm>

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

// Every refusal of the command line is one line that starts with our name and says
// which --help to read.
TEST(Usage, RefusalsAreOneLineNamingTheHelp) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
        const char* help;
    };
    std::vector<Case> cases = {
        {{"-v"}, "unknown option -v", "'daduvivu --help'"},
        {{}, "no command given", "'daduvivu --help'"},
        {{"frobnicate", "x"}, "unknown command 'frobnicate'", "'daduvivu --help'"},
        {{"list", "--bogus", "a.exe"}, "unknown option --bogus", "'daduvivu list --help'"},
        {{"x", "a.exe", "-y", "-n"}, "--yes excludes --no", "'daduvivu extract --help'"},
        {{"pack", "src", "-o", "a.exe", "-0"}, "unknown option -0: the levels are -1", "'daduvivu pack --help'"},
        {{"pack", "src", "-o", "a.exe", "-10"}, "unknown option -10", "'daduvivu pack --help'"},
        {{"test"}, "ARCHIVE is required", "'daduvivu test --help'"},
        {{"pack", "-o", "a.exe"}, "no SOURCE given", "'daduvivu pack --help'"},
    };
    for (const Case& c : cases) {
        CliRun r = RunCli(c.args);
        EXPECT_EQ(r.code, ExitUsage) << c.says;
        EXPECT_EQ(r.err.rfind("daduvivu: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.help), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // After "--" a name that looks like a level is a source.
    CliRun source = RunCli({"pack", "-o", "a.exe", "--", "-0"});
    EXPECT_NE(source.code, ExitUsage) << source.err;
    EXPECT_NE(RunCli({"--help"}).out.find("  6  the archive cannot be opened"), std::string::npos);
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
