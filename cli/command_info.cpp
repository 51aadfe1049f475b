#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/archive_session.h"
#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "cli/time_text.h"

int InfoCommand(const InfoOptions& options, Console& io) {
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;
    std::vector<VolumeFile> volumes = session.FindVolumes();
    char raw[40];
    std::snprintf(raw, sizeof raw, "%.17g", session.identityStamp());

    if (options.json) {
        nlohmann::ordered_json root;
        root["archive"] = options.archive;
        root["fileSize"] = session.archiveSize();
        root["recordedSize"] = session.recordedSize();
        root["message"] = session.messageText();
        root["runAfter"] = session.runAfter();
        root["volumeBaseName"] = session.volumeBaseName();
        root["identityStamp"] = {{"days", session.identityStamp()}, {"text", OleDateText(session.identityStamp())}};
        nlohmann::ordered_json found = nlohmann::ordered_json::array();
        for (const VolumeFile& v : volumes)
            found.push_back({{"number", v.number}, {"path", v.path}, {"size", v.size}, {"belongs", v.belongs}});
        root["volumeFiles"] = found;
        io.out << root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
        return ExitOk;
    }

    io.out << "Archive:         " << options.archive << "\n";
    io.out << "Size:            " << session.archiveSize() << " bytes (recorded " << session.recordedSize()
           << ")\n";
    io.out << "Identity stamp:  " << OleDateText(session.identityStamp()) << " (" << raw << " days)\n";
    io.out << "Run after:       " << (session.runAfter().empty() ? "(none)" : Printable(session.runAfter())) << "\n";
    std::string base = Printable(session.volumeBaseName());
    io.out << "Volume base:     " << base << " (files " << base
           << "_2.DAT, _3.DAT, ...)\n";
    io.out << "Volume files:    " << volumes.size() << " found";
    if (!volumes.empty()) io.out << " in " << Printable(volumes.front().path.substr(0, volumes.front().path.rfind('/')));
    io.out << "\n";
    for (const VolumeFile& v : volumes)
        io.out << "  " << Printable(v.path) << "  " << v.size << " bytes" << (v.belongs ? "" : "  (foreign or damaged)")
               << "\n";
    io.out << "Message:\n";
    std::string message = session.messageText();
    size_t at = 0;
    while (at < message.size()) {
        size_t end = message.find('\n', at);
        if (end == std::string::npos) end = message.size();
        io.out << "  " << Printable(std::string_view(message).substr(at, end - at)) << "\n";
        at = end + 1;
    }
    return ExitOk;
}
