#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "cli/commands.h"
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

bool ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

}  // namespace

int PackCommand(const PackCommandOptions& options, Console& io) {
    PackOptions pack;
    pack.sources = options.sources;
    pack.output = options.output;
    if (options.level != 0) pack.level = options.level;
    pack.threads = options.threads;
    pack.runAfter = options.runAfter;
    pack.volumeBase = options.volumeBase;
    if (!options.messageFile.empty() && !ReadFile(options.messageFile, pack.messageUtf8)) {
        io.err << "daduvivu: cannot read message file " << options.messageFile << std::endl;
        return ExitDamaged;
    }
    if (!options.stubFile.empty()) {
        std::string stub;
        if (!ReadFile(options.stubFile, stub)) {
            io.err << "daduvivu: cannot read stub " << options.stubFile << std::endl;
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
        io.err << "daduvivu: --volume-size: " << e.what() << std::endl;
        return ExitUsage;
    }

    for (const std::string& source : options.sources) {
        std::error_code error;
        if (!std::filesystem::exists(source, error)) {
            io.err << "daduvivu: cannot read source " << source << ": no such file or folder" << std::endl;
            return ExitDamaged;
        }
    }

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
        io.err << "daduvivu: " << e.what() << std::endl;
        return PackFailureCode(e.what());
    }
    progress.reset();
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
