#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/archive_session.h"
#include "cli/command_salvage.h"
#include "cli/commands.h"
#include "cli/name_filter.h"
#include "cli/terminal_text.h"

namespace {

struct Totals {
    uint64_t files = 0, folders = 0, bytes = 0, skipped = 0;
};

std::string Plural(uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// The answer to "replace this file?" by policy, asking on a terminal.
class OverwriteChooser {
public:
    OverwriteChooser(OverwritePolicy policy, Console& io) : policy_(policy), io_(io) {}

    int Answer(const std::string& path) {
        if (policy_ == OverwritePolicy::Always) return AnswerYes;
        if (policy_ == OverwritePolicy::Never) return AnswerNo;
        if (!io_.inputIsTerminal) {
            // Nobody to ask: keep what is there, and say so once.
            if (!warned_)
                io_.err << "daduvivu: " << Printable(path) << " exists; existing files are kept (no terminal to ask: "
                        << "-y replaces them, -n keeps them quietly)" << std::endl;
            warned_ = true;
            return AnswerNo;
        }
        for (;;) {
            io_.err << "replace " << Printable(path) << "? [y]es, [n]o, [A]ll, [N]one, [c]ancel: " << std::flush;
            std::string reply;
            if (!std::getline(io_.in, reply)) {
                io_.err << "\n";
                return AnswerCancel;
            }
            if (reply == "y" || reply == "yes") return AnswerYes;
            if (reply == "n" || reply == "no") return AnswerNo;
            if (reply == "A" || reply == "all") {
                policy_ = OverwritePolicy::Always;
                return AnswerYes;
            }
            if (reply == "N" || reply == "none") {
                policy_ = OverwritePolicy::Never;
                return AnswerNo;
            }
            if (reply == "c" || reply == "cancel") return AnswerCancel;
        }
    }

private:
    OverwritePolicy policy_;
    Console& io_;
    bool warned_ = false;
};

int MakeDestination(const std::string& folder, Console& io) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::string why = error ? error.message() : "not a folder";
        io.err << "daduvivu: cannot create destination " << folder << ": " << why << std::endl;
        return ExitWriteFailed;
    }
    return ExitOk;
}

}  // namespace

int ExtractCommand(const ExtractOptions& options, Console& io) {
    if (options.salvage) {
        SalvageOptions salvage = SalvageOptionsFor(options, SalvageMode::Extract);
        salvage.destination = options.destination;
        salvage.overwrite = options.overwrite;
        return SalvageCommand(salvage, io);
    }
    if (options.toStdout) return ExtractToStdout(options, io);
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;
    code = MakeDestination(options.destination, io);
    if (code != ExitOk) return code;

    NameFilter filter(options.include, options.exclude, options.ignoreCase);
    OverwriteChooser chooser(options.overwrite, io);
    Totals totals;
    session.onEntry = [&](const EntryInfo& e) { return filter.Selects(e.name); };
    session.onOverwrite = [&](const std::string& path) { return chooser.Answer(path); };
    session.onDone = [&](const EntryInfo& e, bool skipped) {
        if (e.isFolder)
            ++totals.folders;
        else if (skipped)
            ++totals.skipped;
        else {
            ++totals.files;
            totals.bytes += static_cast<uint64_t>(e.size);
        }
        if (options.quiet) return;
        if (session.progress()) session.progress()->Clear();
        if (e.isFolder)
            io.out << "   creating: " << Printable(e.name) << "/\n";
        else
            io.out << (skipped ? "   skipping: " : " extracting: ") << Printable(e.name) << (skipped ? " (exists)\n" : "\n");
        io.out.flush();
    };
    if (!options.quiet) session.ShowProgress("Extracting");
    code = session.Run(options.destination);
    if (code == ExitCancelled) {
        io.err << "daduvivu: cancelled; the file being written was removed, " << Plural(totals.files, "file")
               << " extracted before it " << (totals.files == 1 ? "is" : "are") << " kept" << std::endl;
        return code;
    }
    if (code != ExitOk) return code;
    if (!options.quiet) {
        io.out << Plural(totals.files, "file") << " (" << totals.bytes << " bytes) and "
               << Plural(totals.folders, "folder") << " extracted to " << options.destination;
        if (totals.skipped > 0) io.out << "; " << totals.skipped << " existing kept";
        io.out << "\n";
    }
    for (const std::string& p : filter.Unmatched()) io.err << "daduvivu: no entry matches '" << p << "'\n";
    return filter.Unmatched().empty() ? ExitOk : ExitNoMatch;
}

namespace {

int RunTest(const TestOptions& options, Console& io, Totals& totals) {
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;
    session.onDone = [&](const EntryInfo& e, bool) {
        if (e.isFolder) {
            ++totals.folders;
            return;
        }
        ++totals.files;
        totals.bytes += static_cast<uint64_t>(e.size);
    };
    if (!options.quiet) session.ShowProgress("Testing");
    code = session.Run("");
    if (code == ExitCancelled) io.err << "daduvivu: test interrupted" << std::endl;
    if (code != ExitOk) return code;
    // The end marker is the archive's last byte: anything behind it, in its block, its
    // volume or a further volume of this archive, was not written by a packer.
    int64_t behind = session.PayloadBehindEnd();
    if (behind != 0) {
        io.err << "daduvivu: " << options.archive << ": data follow the end of the archive (" << behind
               << " bytes)" << std::endl;
        return ExitDamaged;
    }
    if (!options.quiet)
        io.out << options.archive << ": OK, " << Plural(totals.files, "file") << " (" << totals.bytes
               << " bytes) and " << Plural(totals.folders, "folder") << " sound\n";
    return ExitOk;
}

// The same test, its messages kept for the object as well as shown on stderr.
int TestAsJson(const TestOptions& options, Console& io) {
    std::ostringstream messages;
    Console captured{io.out, messages, io.in, false, false};
    TestOptions plain = options;
    plain.quiet = true;
    Totals totals;
    int code = RunTest(plain, captured, totals);
    nlohmann::ordered_json root;
    root["archive"] = options.archive;
    root["sound"] = code == ExitOk;
    root["exitCode"] = code;
    root["files"] = totals.files;
    root["folders"] = totals.folders;
    root["bytes"] = totals.bytes;
    nlohmann::ordered_json errors = nlohmann::ordered_json::array();
    std::istringstream lines(messages.str());
    for (std::string line; std::getline(lines, line);) {
        io.err << line << "\n";
        errors.push_back(line.rfind("daduvivu: ", 0) == 0 ? line.substr(10) : line);
    }
    root["errors"] = errors;
    io.out << root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    return code;
}

}  // namespace

int TestCommand(const TestOptions& options, Console& io) {
    if (options.salvage) return SalvageCommand(SalvageOptionsFor(options, SalvageMode::Test), io);
    if (options.json) return TestAsJson(options, io);
    Totals totals;
    return RunTest(options, io, totals);
}
