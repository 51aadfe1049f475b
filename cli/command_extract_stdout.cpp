// extract -p: the selected files' bytes on stdout, in archive order. The seam's output
// sink takes what the core writes, so nothing is made in any folder.
#include "cli/archive_session.h"
#include "cli/commands.h"
#include "cli/name_filter.h"
#include "cli/terminal_text.h"
#include "platform/posix/output_sink.h"

namespace {

// Turns the sink off on every way out.
struct ScopedSink {
    explicit ScopedSink(OutputSink sink) { PosixSetOutputSink(std::move(sink)); }
    ~ScopedSink() { PosixSetOutputSink(nullptr); }
};

}  // namespace

int ExtractToStdout(const ExtractOptions& options, Console& io) {
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;
    NameFilter filter(options.include, options.exclude, options.ignoreCase);
    bool sent = true;
    std::string current;
    session.onEntry = [&](const EntryInfo& e) {
        current = e.name;
        return filter.Selects(e.name);
    };
    ScopedSink sink([&](const void* bytes, uint32_t n) {
        io.out.write(static_cast<const char*>(bytes), n);
        sent = sent && static_cast<bool>(io.out);
        return sent;
    });
    // Any name serves: the sink stands in for the folder and nothing is made there.
    code = session.Run("/nonexistent/daduvivu-stdout");
    io.out.flush();
    if (!sent || !io.out) {
        io.err << "daduvivu: cannot write '" << Printable(current) << "' to stdout" << std::endl;
        return ExitWriteFailed;
    }
    if (code == ExitCancelled)
        io.err << "daduvivu: cancelled; stdout holds the files before '" << Printable(current)
               << "' and the part of it decoded by then" << std::endl;
    if (code != ExitOk) return code;
    for (const std::string& p : filter.Unmatched()) io.err << "daduvivu: no entry matches '" << p << "'\n";
    return filter.Unmatched().empty() ? ExitOk : ExitNoMatch;
}
