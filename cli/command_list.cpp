#include <cstdio>
#include <algorithm>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/archive_session.h"
#include "cli/command_salvage.h"
#include "cli/commands.h"
#include "cli/name_filter.h"
#include "cli/terminal_text.h"
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

nlohmann::ordered_json EntryJson(const EntryInfo& e, const std::string& primerName) {
    nlohmann::ordered_json j;
    j["index"] = e.index;
    j["name"] = e.name;
    j["rawName"] = Hex(e.rawName);
    j["type"] = e.isFolder ? "folder" : "file";
    if (e.isFolder) return j;
    j["size"] = e.size;
    if (e.packedSize >= 0) j["packedSize"] = e.packedSize;
    j["modified"] = TimeValue(e.write);
    j["accessed"] = TimeValue(e.access);
    j["created"] = TimeValue(e.creation);
    j["reference"] = e.reference;
    j["prefix"] = e.prefix;
    nlohmann::ordered_json primer;
    if (e.primer == 0) {
        primer = {{"stub", true}};
    } else if (e.primer > 0) {
        primer = {{"index", e.primer}, {"name", primerName}};
    }
    j["primedBy"] = primer;
    return j;
}

// The listing says whether it is complete before its entries, so the JSON form keeps
// each entry until the end; compactly, for archives of millions of entries.
class KeptEntries {
public:
    void Add(const EntryInfo& e) {
        Kept k{e.index,
               e.primer,
               static_cast<uint8_t>(e.reference),
               e.isFolder,
               static_cast<int32_t>(e.size),
               static_cast<int32_t>(e.prefix),
               e.packedSize,
               e.creation,
               e.access,
               e.write,
               texts_.size(),
               static_cast<uint32_t>(e.name.size()),
               static_cast<uint32_t>(e.rawName.size())};
        texts_ += e.name;
        texts_ += e.rawName;
        kept_.push_back(k);
    }
    size_t size() const { return kept_.size(); }
    // The body of the last entry kept has been read: its packed size is known.
    void SetLastPackedSize(int index, int64_t packedSize) {
        if (!kept_.empty() && kept_.back().index == index) kept_.back().packedSize = packedSize;
    }
    // The name of a kept entry by its index, or null.
    const std::string* NameOf(int index) {
        auto found = std::lower_bound(kept_.begin(), kept_.end(), index,
                                      [](const Kept& k, int i) { return k.index < i; });
        if (found == kept_.end() || found->index != index) return nullptr;
        name_ = texts_.substr(found->textAt, found->nameLength);
        return &name_;
    }
    EntryInfo operator[](size_t i) const {
        const Kept& k = kept_[i];
        EntryInfo e;
        e.index = k.index;
        e.primer = k.primer;
        e.reference = k.reference;
        e.isFolder = k.isFolder;
        e.size = k.size;
        e.prefix = k.prefix;
        e.packedSize = k.packedSize;
        e.creation = k.creation;
        e.access = k.access;
        e.write = k.write;
        e.name = texts_.substr(k.textAt, k.nameLength);
        e.rawName = texts_.substr(k.textAt + k.nameLength, k.rawLength);
        return e;
    }

private:
    // A stored file is shorter than 2 GiB and its reference is 1 to 255; a name is
    // at most 32 KiB, and three times that in UTF-8.
    struct Kept {
        int32_t index, primer;
        uint8_t reference;
        bool isFolder;
        int32_t size, prefix;
        int64_t packedSize;
        FileTime creation, access, write;
        uint64_t textAt;
        uint32_t nameLength, rawLength;
    };
    std::deque<Kept> kept_;  // grows without copying what it holds
    std::string texts_;  // each entry's name, then its stored bytes
    std::string name_;
};

// The files that may still prime a later one (the last of the ring): their names and
// whether they were selected.
class RecentNames {
public:
    void Add(const EntryInfo& e, bool selected) {
        if (e.isFolder) return;
        names_[e.index] = {e.name, selected};
        if (names_.size() > 256) names_.erase(names_.begin());
    }
    std::string Of(int index) const {
        auto found = names_.find(index);
        return found == names_.end() ? std::string() : found->second.first;
    }
    bool Selected(int index) const {
        auto found = names_.find(index);
        return found != names_.end() && found->second.second;
    }

private:
    std::map<int, std::pair<std::string, bool>> names_;
};

std::string Dump(const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Writes what one document {"archive", "complete", "entries", "totals"} dumped with an
// indent of two would, without holding the entries as JSON all at once.
void WriteJson(std::ostream& out, const ListOptions& options, bool complete, KeptEntries& kept,
               const std::map<int, std::string>& primerNames, const nlohmann::ordered_json& totals) {
    nlohmann::ordered_json root;
    root["archive"] = options.archive;
    root["complete"] = complete;
    root["entries"] = nlohmann::ordered_json::array();
    root["totals"] = totals;
    std::string whole = Dump(root);
    // A JSON string never holds a raw line break, so this is the key and nothing else.
    const std::string emptyEntries = "\n  \"entries\": []";
    size_t at = whole.find(emptyEntries);
    size_t after = at + emptyEntries.size();
    if (kept.size() == 0) {
        out << whole << "\n";
        return;
    }
    out << whole.substr(0, after - 1) << "\n";
    for (size_t i = 0; i < kept.size(); ++i) {
        EntryInfo e = kept[i];
        std::string primerName;
        if (e.primer > 0) {
            const std::string* name = kept.NameOf(e.primer);
            primerName = name != nullptr ? *name : primerNames.at(e.primer);
        }
        std::string entry = Dump(EntryJson(e, primerName));
        // Two levels deeper in the document than on its own.
        size_t from = 0;
        while (from < entry.size()) {
            size_t end = entry.find('\n', from);
            if (end == std::string::npos) end = entry.size();
            out << "    " << std::string_view(entry).substr(from, end - from);
            if (end < entry.size()) out << "\n";
            from = end + 1;
        }
        out << (i + 1 < kept.size() ? ",\n" : "\n");
    }
    out << "  ]" << whole.substr(after) << "\n";
}

std::string PackedText(int64_t packed) { return packed < 0 ? "?" : std::to_string(packed); }

// The body's bytes as a share of the file's: "12.5%", "-" for an empty file.
std::string RatioText(int64_t packed, int64_t size) {
    if (packed < 0 || size <= 0) return "-";
    char text[16];
    double percent = 100.0 * static_cast<double>(packed) / static_cast<double>(size);
    std::snprintf(text, sizeof text, percent < 99.95 ? "%.1f%%" : percent < 999.5 ? "%.0f%%" : ">999%%", percent);
    return text;
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
    uint64_t files = 0, folders = 0, bytes = 0, packed = 0;
    KeptEntries kept;
    RecentNames recent;
    std::map<int, std::string> primerNames;  // of files that prime a kept entry but are not kept
    const bool namesOnly = options.names || options.null;
    const bool table = !options.json && !namesOnly;
    char line[200];
    if (table) {
        io.out << "Archive: " << options.archive << "\n";
        io.out << "    #        Size      Packed   Ratio  Modified (UTC)       Primed by  Prefix  Name\n";
    }
    // A file's line waits for its body, whose packed size it shows.
    auto printFile = [&](const EntryInfo& e) {
        if (session.progress()) session.progress()->Clear();
        std::string primer = e.primer == 0 ? "stub" : e.primer < 0 ? "none" : "#" + std::to_string(e.primer);
        std::string when = FileTimeText(e.write, false);
        std::snprintf(line, sizeof line, "%5d  %10lld  %10s  %6s  %-19s  %9s  %6lld  ", e.index,
                      static_cast<long long>(e.size), PackedText(e.packedSize).c_str(),
                      RatioText(e.packedSize, e.size).c_str(), when.empty() ? "-" : when.c_str(), primer.c_str(),
                      static_cast<long long>(e.prefix));
        io.out << line << Printable(e.name) << "\n";
    };
    EntryInfo waiting;
    bool fileWaits = false;
    session.onEntry = [&](const EntryInfo& e) {
        bool selected = filter.Selects(e.name);
        if (selected) {
            if (e.isFolder) {
                ++folders;
            } else {
                ++files;
                bytes += static_cast<uint64_t>(e.size);
            }
        }
        if (selected && options.json) {
            kept.Add(e);
            if (e.primer > 0 && !recent.Selected(e.primer)) primerNames.emplace(e.primer, recent.Of(e.primer));
        } else if (selected && namesOnly) {
            // For pipelines: names only, folders ending in '/', one per line or NUL-ended.
            io.out << e.name << (e.isFolder ? "/" : "") << (options.null ? '\0' : '\n');
        } else if (selected && e.isFolder) {
            if (session.progress()) session.progress()->Clear();
            std::snprintf(line, sizeof line, "%5d  %10s  %10s  %6s  %-19s  %9s  %6s  ", e.index, "<dir>", "", "", "",
                          "", "");
            io.out << line << Printable(e.name) << "/\n";
        } else if (selected && table) {
            waiting = e;
            fileWaits = true;
        }
        recent.Add(e, selected);
        return selected;
    };
    session.onDone = [&](const EntryInfo& e, bool) {
        if (e.isFolder) return;
        if (e.packedSize > 0) packed += static_cast<uint64_t>(e.packedSize);
        if (options.json) kept.SetLastPackedSize(e.index, e.packedSize);
        if (fileWaits && waiting.index == e.index) {
            printFile(e);
            fileWaits = false;
        }
    };
    session.ShowProgress("Reading");
    code = session.Run("");
    if (fileWaits) printFile(waiting);  // its body was cut short: the packed size stays unknown

    if (options.json) {
        nlohmann::ordered_json totals = {
            {"files", files}, {"folders", folders}, {"bytes", bytes}, {"packedBytes", packed}};
        WriteJson(io.out, options, code == ExitOk, kept, primerNames, totals);
    } else if (table) {
        std::snprintf(line, sizeof line, "       %10llu  %10llu  %6s  %llu file%s, %llu folder%s\n",
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(packed),
                      RatioText(static_cast<int64_t>(packed), static_cast<int64_t>(bytes)).c_str(),
                      static_cast<unsigned long long>(files), files == 1 ? "" : "s",
                      static_cast<unsigned long long>(folders), folders == 1 ? "" : "s");
        io.out << "       ----------  ----------\n" << line;
    }
    io.out.flush();
    if (code != ExitOk) {
        if (code == ExitCancelled) io.err << "daduvivu: listing interrupted" << std::endl;
        return code;
    }
    for (const std::string& p : filter.Unmatched()) io.err << "daduvivu: no entry matches '" << p << "'\n";
    return filter.Unmatched().empty() ? ExitOk : ExitNoMatch;
}
