// The manual page and the bash completion say what --help says: every command and
// every option of each.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "cli_runner.h"

namespace {

// The options --help lists: "-x,--exclude PATTERN ..." gives -x and --exclude.
std::set<std::string> OptionsInHelp(const std::string& help) {
    std::set<std::string> options;
    static const std::regex line("^  (-[^ ]+)");
    std::istringstream lines(help);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (!std::regex_search(text, m, line)) continue;
        std::string names = m[1];
        size_t start = 0;
        for (;;) {
            size_t comma = names.find(',', start);
            options.insert(names.substr(start, comma - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    return options;
}

// troff writes a hyphen of an option as "\-".
std::string InTroff(const std::string& option) {
    std::string out;
    for (char c : option) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(Manual, EveryCommandAndOptionOfHelpIsInTheManPageAndCompletion) {
    std::string man = FileText(std::string(DADUVIVU_DOCS) + "/daduvivu.1");
    std::string completion = FileText(std::string(DADUVIVU_DOCS) + "/daduvivu.bash-completion");
    ASSERT_FALSE(man.empty());
    size_t checked = 0;
    for (const char* command : {"pack", "list", "test", "extract", "info"}) {
        EXPECT_TRUE(man.find("\n.B " + std::string(command) + "\n") != std::string::npos ||
                    man.find("\n.BR " + std::string(command) + " ") != std::string::npos)
            << command;
        EXPECT_NE(completion.find(command), std::string::npos) << command;
        std::set<std::string> options = OptionsInHelp(RunCli({command, "--help"}).out);
        EXPECT_GT(options.size(), 2u) << command;
        for (const std::string& o : options) {
            ++checked;
            EXPECT_NE(man.find(InTroff(o)), std::string::npos) << command << " " << o << " is not in the man page";
            EXPECT_NE(completion.find(o), std::string::npos) << command << " " << o << " is not completed";
        }
    }
    EXPECT_GT(checked, 40u);
    for (const std::string& o : OptionsInHelp(RunCli({"--help"}).out))
        EXPECT_NE(man.find(InTroff(o)), std::string::npos) << o;
    // The exit codes of --help are all explained.
    for (int code = 0; code <= 6; ++code) EXPECT_NE(man.find(".B " + std::to_string(code) + "\n"), std::string::npos);
}

}  // namespace
