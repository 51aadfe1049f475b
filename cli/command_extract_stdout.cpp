// extract -p: the selected files' bytes on stdout, in archive order. The core writes
// files, so each passes through a private temporary folder and is sent on and deleted
// as soon as it is complete; nothing appears anywhere else.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/archive_session.h"
#include "cli/commands.h"
#include "cli/name_filter.h"

namespace {

class PrivateFolder {
public:
    PrivateFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/daduvivu-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        if (mkdtemp(name.data())) path_ = name.data();
        else error_ = std::strerror(errno);
    }
    ~PrivateFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    std::string path_, error_;
};

bool SendOn(const std::string& path, std::ostream& out) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        out.write(buffer, file.gcount());
        if (!out) return false;
    }
    return !file.bad();
}

}  // namespace

int ExtractToStdout(const ExtractOptions& options, Console& io) {
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;
    PrivateFolder folder;
    if (folder.path().empty()) {
        io.err << "daduvivu: cannot make a temporary folder: " << folder.error() << std::endl;
        return ExitWriteFailed;
    }
    NameFilter filter(options.include, options.exclude, options.ignoreCase);
    bool sent = true;
    std::string failed;
    session.onEntry = [&](const EntryInfo& e) { return sent && filter.Selects(e.name); };
    session.onOverwrite = [](const std::string&) { return AnswerYes; };
    session.onDone = [&](const EntryInfo& e, bool) {
        if (e.isFolder || !sent) return;
        std::string path = folder.path() + "/" + e.name;
        sent = SendOn(path, io.out);
        if (!sent) failed = e.name;
        unlink(path.c_str());
    };
    code = session.Run(folder.path());
    io.out.flush();
    if (!failed.empty() || !io.out) {
        io.err << "daduvivu: cannot write " << (failed.empty() ? "the output" : "'" + failed + "'")
               << " to stdout" << std::endl;
        return ExitWriteFailed;
    }
    if (code == ExitCancelled) io.err << "daduvivu: cancelled; stdout holds the whole files before the one being decoded" << std::endl;
    if (code != ExitOk) return code;
    for (const std::string& p : filter.Unmatched()) io.err << "daduvivu: no entry matches '" << p << "'\n";
    return filter.Unmatched().empty() ? ExitOk : ExitNoMatch;
}
