#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli/commands.h"
#include "cli/pack_checks.h"
#include "cli/exit_codes.h"
#include "cli/progress_bar.h"
#include "cli/scoped_interrupt.h"
#include "packer/pack.h"

namespace {

// What a DOS-formatted 1.44 MB floppy holds for files: 2,847 clusters of 512 bytes.
constexpr uint64_t FormattedFloppyBytes = 1457664;
constexpr size_t StubBytes = 0x7000;

volatile sig_atomic_t Interrupted = 0;
void OnInterrupt(int) { Interrupted = 1; }

// Thrown from the progress report: the packer removes its unfinished files on the way out.
struct PackInterrupted {};

// The packer's refusals carry no kind, only words: failures to write the output start
// with these, troubles with the sources name them, and the rest are about the options.
int PackFailureCode(const std::string& what) {
    auto startsWith = [&](const char* prefix) { return what.rfind(prefix, 0) == 0; };
    if (startsWith("cannot create") || startsWith("cannot write") || startsWith("cannot rename"))
        return ExitWriteFailed;
    if (startsWith("cannot read") || startsWith("cannot pack") || what.find("changed size") != std::string::npos ||
        what.find("larger than 2 GiB") != std::string::npos)
        return ExitDamaged;
    return ExitUsage;
}

// Reads a whole file; on failure `why` says why, as the system words it.
bool ReadFile(const std::string& path, std::string& bytes, std::string* why = nullptr) {
    std::ifstream file(path, std::ios::binary);
    struct stat st;
    if (file && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) errno = EISDIR;
    else if (file) {
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (!file.bad()) return true;
    }
    if (why) *why = std::strerror(errno ? errno : EIO);
    return false;
}

// -T: sources one a line; blank lines are skipped, a CR before the line end dropped.
bool ReadSourceList(const std::string& from, Console& io, std::vector<std::string>& sources) {
    std::string text, why;
    if (from == "-") {
        text.assign(std::istreambuf_iterator<char>(io.in), std::istreambuf_iterator<char>());
    } else if (!ReadFile(from, text, &why)) {
        io.err << "daduvivu: cannot read the list of sources " << from << ": " << why << std::endl;
        return false;
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) sources.push_back(line);
    }
    return true;
}

// --exclude: a pattern without '/' is matched against every name part, one with '/'
// against the whole name below the source.
bool LeftOut(const std::vector<std::string>& patterns, const std::string& name) {
    std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    for (const std::string& p : patterns) {
        bool whole = p.find('/') != std::string::npos;
        if (fnmatch(p.c_str(), whole ? name.c_str() : base.c_str(), 0) == 0) return true;
    }
    return false;
}

}  // namespace

int PackCommand(const PackCommandOptions& options, Console& io) {
    PackOptions pack;
    pack.sources = options.sources;
    for (const std::string& list : options.filesFrom)
        if (!ReadSourceList(list, io, pack.sources)) return ExitDamaged;
    if (pack.sources.empty()) {
        io.err << "daduvivu: no SOURCE given: name the files and folders to pack (see 'daduvivu pack --help')"
               << std::endl;
        return ExitUsage;
    }
    pack.output = options.output;
    if (options.level != 0) pack.level = options.level;
    pack.threads = options.threads;
    pack.runAfter = options.runAfter;
    pack.volumeBase = options.volumeBase;
    std::string why;
    if (!options.messageFile.empty() && !ReadFile(options.messageFile, pack.messageUtf8, &why)) {
        io.err << "daduvivu: cannot read message file " << options.messageFile << ": " << why << std::endl;
        return ExitDamaged;
    }
    std::string where = UnencodableCharacter(pack.messageUtf8);
    if (!where.empty()) {
        io.err << "daduvivu: --message " << options.messageFile << ", " << where
               << ": code page 932 (Shift-JIS), which the dialog shows, cannot hold it" << std::endl;
        return ExitUsage;
    }
    if (!options.stubFile.empty()) {
        std::string stub;
        if (!ReadFile(options.stubFile, stub, &why)) {
            io.err << "daduvivu: cannot read stub " << options.stubFile << ": " << why << std::endl;
            return ExitDamaged;
        }
        if (stub.size() != StubBytes) {
            io.err << "daduvivu: --stub " << options.stubFile << " is " << stub.size()
                   << " bytes; a self-extractor stub is exactly " << StubBytes << std::endl;
            return ExitUsage;
        }
        pack.stub.assign(stub.begin(), stub.end());
    }
    try {
        if (options.volumeSize == "floppy")
            pack.volumeSize = FormattedFloppyBytes;
        else if (!options.volumeSize.empty())
            pack.volumeSize = ParseVolumeSize(options.volumeSize);
    } catch (const PackError& e) {
        io.err << "daduvivu: --volume-size: " << e.what() << " (see 'daduvivu pack --help')" << std::endl;
        return ExitUsage;
    }
    if (pack.volumeSize > FormattedFloppyBytes && pack.volumeSize <= 1440 * 1024)
        io.err << "daduvivu: warning: volumes of " << pack.volumeSize
               << " bytes do not fit on a 1.44 MB floppy, which holds 1,457,664 bytes of files ('--volume-size "
                  "floppy')"
               << std::endl;

    for (const std::string& source : pack.sources) {
        std::error_code error;
        if (!std::filesystem::exists(source, error)) {
            io.err << "daduvivu: cannot read source " << source << ": no such file or folder" << std::endl;
            return ExitDamaged;
        }
    }
    OutputPlan plan = CheckOutput(options, io);
    if (plan.code != ExitOk) return plan.code;
    if (!options.runAfter.empty() && !StoresFile(pack.sources, options.runAfter))
        io.err << "daduvivu: warning: --run-after " << options.runAfter
               << " names no file in the archive; Windows will look for a program of that name after extracting"
               << std::endl;
    std::vector<std::string> warnings;
    pack.rules.followLinks = !options.noFollow;
    pack.rules.warn = [&](const std::string& w) { warnings.push_back(w); };
    if (!options.exclude.empty())
        pack.rules.leaveOut = [&](const std::string& name, bool) { return LeftOut(options.exclude, name); };

    std::unique_ptr<ProgressBar> progress;
    pack.progress = [&](uint64_t done, uint64_t total) {
        if (Interrupted) throw PackInterrupted{};
        if (!progress) progress = std::make_unique<ProgressBar>(io.err, io.errorIsTerminal && !options.quiet,
                                                                 total, "Packing");
        progress->Update(done);
    };
    PackResult result;
    // Ctrl-C ends the run at the next progress report, without a half-written archive.
    Interrupted = 0;
    ScopedInterrupt interrupt(OnInterrupt);
    try {
        result = Pack(pack);
    } catch (const PackInterrupted&) {
        progress.reset();
        io.err << "daduvivu: cancelled; nothing was written" << std::endl;
        return ExitCancelled;
    } catch (const PackError& e) {
        progress.reset();
        for (const std::string& w : warnings) io.err << "daduvivu: warning: " << w << std::endl;
        io.err << "daduvivu: " << WithoutTemporaryNames(e.what()) << std::endl;
        return PackFailureCode(e.what());
    }
    progress.reset();
    for (const std::string& w : warnings) io.err << "daduvivu: warning: " << w << std::endl;
    RemoveStaleVolumes(plan.volumes, result.volumePaths, io);
    if (result.placeholderStub)
        io.err << "daduvivu: warning: the built-in stub is a stand-in; " << options.output
               << " will not run on Windows (give the real one with --stub)" << std::endl;
    if (options.quiet) return ExitOk;
    uint64_t stored = result.outputBytes > StubBytes ? result.outputBytes - StubBytes : 0;
    char ratio[32] = "";
    if (result.inputBytes > 0)
        std::snprintf(ratio, sizeof ratio, ", %.1f%% of the input", 100.0 * stored / result.inputBytes);
    io.out << "packed " << result.files << " file" << (result.files == 1 ? "" : "s") << " and " << result.folders
           << " folder" << (result.folders == 1 ? "" : "s") << " (" << result.inputBytes << " bytes) into "
           << result.outputBytes << " bytes: the " << StubBytes << "-byte stub and " << stored
           << " bytes of archive" << ratio << "\n";
    for (size_t i = 0; i < result.volumePaths.size(); ++i)
        io.out << "  " << result.volumePaths[i] << "  " << result.volumeSizes[i] << " bytes\n";
    return ExitOk;
}
