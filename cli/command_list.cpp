#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/archive_session.h"
#include "cli/command_salvage.h"
#include "cli/commands.h"
#include "cli/name_filter.h"
#include "cli/time_text.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

nlohmann::ordered_json TimeValue(FileTime t) {
    std::string text = FileTimeText(t);
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

nlohmann::ordered_json EntryJson(const EntryInfo& e, const std::vector<std::string>& names) {
    nlohmann::ordered_json j;
    j["index"] = e.index;
    j["name"] = e.name;
    j["rawName"] = Hex(e.rawName);
    j["type"] = e.isFolder ? "folder" : "file";
    if (e.isFolder) return j;
    j["size"] = e.size;
    j["modified"] = TimeValue(e.write);
    j["accessed"] = TimeValue(e.access);
    j["created"] = TimeValue(e.creation);
    j["reference"] = e.reference;
    j["prefix"] = e.prefix;
    nlohmann::ordered_json primer;
    if (e.primer == 0) {
        primer = {{"stub", true}};
    } else if (e.primer > 0) {
        primer = {{"index", e.primer}, {"name", names[static_cast<size_t>(e.primer)]}};
    }
    j["primedBy"] = primer;
    return j;
}

}  // namespace

int ListCommand(const ListOptions& options, Console& io) {
    if (options.salvage) {
        SalvageOptions salvage = SalvageOptionsFor(options, SalvageMode::List);
        if (options.json) salvage.report = "-";  // the report is the listing
        return SalvageCommand(salvage, io);
    }
    ArchiveSession session(io, options.archive, options.volumes);
    int code = session.Open();
    if (code != ExitOk) return code;

    NameFilter filter(options.include, options.exclude, options.ignoreCase);
    std::vector<EntryInfo> listed;
    std::vector<std::string> names(1);  // by index; 0 stands for the stub
    session.onEntry = [&](const EntryInfo& e) {
        names.push_back(e.name);
        if (!filter.Selects(e.name)) return false;
        listed.push_back(e);
        return true;
    };
    session.ShowProgress("Reading");
    code = session.Run("");

    uint64_t files = 0, folders = 0, bytes = 0;
    for (const EntryInfo& e : listed) {
        if (e.isFolder) {
            ++folders;
        } else {
            ++files;
            bytes += static_cast<uint64_t>(e.size);
        }
    }

    if (options.json) {
        nlohmann::ordered_json root;
        root["archive"] = options.archive;
        root["complete"] = code == ExitOk;
        nlohmann::ordered_json entries = nlohmann::ordered_json::array();
        for (const EntryInfo& e : listed) entries.push_back(EntryJson(e, names));
        root["entries"] = entries;
        root["totals"] = {{"files", files}, {"folders", folders}, {"bytes", bytes}};
        io.out << root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else {
        io.out << "Archive: " << options.archive << "\n";
        io.out << "    #        Size  Modified (UTC)       Primed by  Prefix  Name\n";
        char line[160];
        for (const EntryInfo& e : listed) {
            if (e.isFolder) {
                std::snprintf(line, sizeof line, "%5d  %10s  %-19s  %9s  %6s  ", e.index, "<dir>", "", "", "");
                io.out << line << e.name << "/\n";
                continue;
            }
            std::string primer = e.primer == 0 ? "stub" : e.primer < 0 ? "none" : "#" + std::to_string(e.primer);
            std::string when = FileTimeText(e.write, false);
            std::snprintf(line, sizeof line, "%5d  %10lld  %-19s  %9s  %6lld  ", e.index,
                          static_cast<long long>(e.size), when.empty() ? "-" : when.c_str(), primer.c_str(),
                          static_cast<long long>(e.prefix));
            io.out << line << e.name << "\n";
        }
        std::snprintf(line, sizeof line, "       %10llu  %llu file%s, %llu folder%s\n",
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(files),
                      files == 1 ? "" : "s", static_cast<unsigned long long>(folders), folders == 1 ? "" : "s");
        io.out << "       ----------\n" << line;
    }
    io.out.flush();
    if (code != ExitOk) {
        if (code == ExitCancelled) io.err << "daduvivu: listing interrupted" << std::endl;
        return code;
    }
    for (const std::string& p : filter.Unmatched()) io.err << "daduvivu: no entry matches '" << p << "'\n";
    return filter.Unmatched().empty() ? ExitOk : ExitNoMatch;
}
