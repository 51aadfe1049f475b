// extract, test and list with --salvage: every entry that damage spared, each with its
// status, the exact ones under their names and the unverified ones beside them.
#include "cli/command_salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/archive_session.h"
#include "cli/name_filter.h"
#include "cli/scoped_interrupt.h"
#include "cli/salvage_walk.h"
#include "cli/time_text.h"

namespace {

constexpr int64_t UnixEpochInFileTime = 11644473600LL;

volatile sig_atomic_t Interrupted = 0;
void OnInterrupt(int) { Interrupted = 1; }

// The name as list --json gives it; folders end with '/'.
std::string ShownName(const SalvagedEntry& e) {
    if (!e.isFolder) return DisplayName(e.rawName);
    std::string raw = e.rawName.substr(0, e.rawName.size() >= 2 ? e.rawName.size() - 2 : 0);
    return raw.empty() ? std::string("/") : DisplayName(raw) + "/";
}

timespec TimeSpec(FileTime t) {
    timespec ts{};
    if (t == 0) {
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    int64_t units = static_cast<int64_t>(t / 10000000u) - UnixEpochInFileTime;
    ts.tv_sec = static_cast<time_t>(units);
    ts.tv_nsec = static_cast<long>(t % 10000000u) * 100;
    return ts;
}

// Writes what the walk decodes: each file first into a staging folder inside the
// destination, then, once its status is known, moved to NAME (exact) or NAME.unverified,
// or removed (lost).
class SalvageFiles : public SalvageOutput, public BodySink {
public:
    SalvageFiles(const SalvageOptions& options, Console& io, NameFilter& filter)
        : options_(options), io_(io), filter_(filter), writing_(options.mode == SalvageMode::Extract) {
        if (!writing_) return;
        std::string pattern = options.destination + "/.daduvivu-salvage-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        if (mkdtemp(name.data()) != nullptr) staging_ = name.data();
        else Fail("cannot write in " + options.destination + ": " + std::strerror(errno));
    }
    ~SalvageFiles() override {
        EndFile();
        for (const auto& [index, path] : staged_) std::remove(path.c_str());
        if (!staging_.empty()) rmdir(staging_.c_str());
    }

    BodySink* BeginFile(const SalvagedEntry& e) override {
        if (!writing_ || staging_.empty()) return nullptr;
        temporary_ = staging_ + "/" + std::to_string(e.index);
        file_ = std::fopen(temporary_.c_str(), "wb");
        if (file_ == nullptr) {
            Fail("cannot write " + temporary_ + ": " + std::strerror(errno));
            return nullptr;
        }
        staged_[e.index] = temporary_;
        return this;
    }

    void Put(const uint8_t* bytes, const uint8_t*, size_t n) override {
        if (file_ != nullptr && std::fwrite(bytes, 1, n, file_) != n) {
            Fail("cannot write " + temporary_ + ": " + std::strerror(errno));
            EndFile();
        }
    }

    void EndFile() override {
        if (file_ == nullptr) return;
        if (std::fclose(file_) != 0) Fail("cannot write " + temporary_ + ": " + std::strerror(errno));
        file_ = nullptr;
    }

    void Finish(const SalvagedEntry& e) override {
        bool selected = filter_.Selects(ShownName(e));
        if (selected) ++counts_[e.status];
        auto staged = staged_.find(e.index);
        std::string temporary = staged == staged_.end() ? std::string() : staged->second;
        if (staged != staged_.end()) staged_.erase(staged);
        if (!selected || !writing_ || e.status == SalvageStatus::Lost) {
            if (!temporary.empty()) std::remove(temporary.c_str());
            return Say(e, "");
        }
        std::string target = options_.destination + "/" + ShownName(e);
        std::error_code error;
        if (e.isFolder) {
            std::filesystem::create_directories(target, error);
            return Say(e, "");
        }
        if (temporary.empty()) return Say(e, "");
        std::filesystem::create_directories(std::filesystem::path(target).parent_path(), error);
        std::string final = e.status == SalvageStatus::Exact ? target : target + ".unverified";
        struct stat st;
        if (lstat(final.c_str(), &st) == 0 && options_.overwrite != OverwritePolicy::Always) {
            std::remove(temporary.c_str());
            return Say(e, " (exists, kept; -y replaces it)");
        }
        if (std::rename(temporary.c_str(), final.c_str()) != 0) {
            Fail("cannot write " + final + ": " + std::strerror(errno));
            std::remove(temporary.c_str());
            return;
        }
        timespec times[2] = {TimeSpec(e.access), TimeSpec(e.write)};
        utimensat(AT_FDCWD, final.c_str(), times, 0);
        Say(e, e.status == SalvageStatus::Unverified ? " -> " + ShownName(e) + ".unverified" : "");
    }

    bool Stopped() override { return Interrupted != 0; }

    std::map<SalvageStatus, uint64_t> counts_;
    bool failed_ = false;

private:
    void Say(const SalvagedEntry& e, const std::string& note) {
        if (options_.quiet || options_.mode == SalvageMode::List) return;
        if (options_.mode == SalvageMode::Test && e.status == SalvageStatus::Exact) return;
        char status[16];
        std::snprintf(status, sizeof status, "%10s: ", StatusName(e.status));
        io_.out << status << ShownName(e) << note << "\n";
    }
    void Fail(const std::string& why) {
        io_.err << "daduvivu: " << why << std::endl;
        failed_ = true;
    }

    const SalvageOptions& options_;
    Console& io_;
    NameFilter& filter_;
    bool writing_;
    std::string staging_, temporary_;
    std::map<int, std::string> staged_;  // bodies written, by entry, awaiting their status
    std::FILE* file_ = nullptr;
};

nlohmann::ordered_json ReportJson(const SalvageOptions& options, const GatheredPayload& payload,
                                  const SalvageResult& result) {
    nlohmann::ordered_json root;
    root["archive"] = options.archive;
    root["damaged"] = !result.damage.empty();
    root["endReached"] = result.endReached;
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    uint64_t counts[3] = {}, exactBytes = 0;
    for (const SalvagedEntry& e : result.entries) {
        nlohmann::ordered_json j;
        j["index"] = e.index;
        j["name"] = ShownName(e);
        j["type"] = e.isFolder ? "folder" : "file";
        j["status"] = StatusName(e.status);
        ++counts[static_cast<int>(e.status)];
        if (!e.isFolder) {
            j["size"] = e.size;
            j["modified"] = FileTimeText(e.write);
            j["bytesDecoded"] = e.length;
            j["unknownBytes"] = e.unknownBytes;
            if (e.status == SalvageStatus::Exact) exactBytes += static_cast<uint64_t>(e.length);
        }
        j["nameCertain"] = e.nameCertain;
        if (!e.nameCertain) j["nameUnknownBytes"] = e.sharedUnknown;
        j["payloadOffset"] = e.offset;
        if (!e.reason.empty()) j["reason"] = e.reason;
        entries.push_back(j);
    }
    root["entries"] = entries;
    nlohmann::ordered_json damage = nlohmann::ordered_json::array();
    for (const PayloadDamage& d : result.damage) {
        nlohmann::ordered_json j;
        j["kind"] = d.kind;
        if (d.volume > 0) j["volume"] = d.volume;
        j["fileOffset"] = d.fileOffset;
        j["payloadOffset"] = d.payloadOffset;
        if (d.length > 0) j["length"] = d.length;
        j["detail"] = d.detail;
        damage.push_back(j);
    }
    root["damage"] = damage;
    root["volumesRead"] = payload.volumesRead;
    uint64_t sound = 0;
    for (const PayloadPiece& p : payload.pieces)
        if (p.sound) sound += p.length;
    root["totals"] = {{"exact", counts[0]},          {"unverified", counts[1]}, {"lost", counts[2]},
                      {"exactBytes", exactBytes},    {"payloadBytes", payload.bytes.size()},
                      {"soundPayloadBytes", sound}, {"resyncs", result.resyncs},
                      {"ringPlacesRecovered", result.ringsKept}};
    return root;
}

}  // namespace

int SalvageCommand(const SalvageOptions& options, Console& io) {
    std::string folder = options.volumes;
    if (folder.empty()) {
        std::string parent = std::filesystem::path(options.archive).parent_path().string();
        folder = parent.empty() ? "." : parent;
    }
    GatheredPayload payload;
    std::string error;
    if (!GatherPayload(options.archive, folder, payload, error)) {
        io.err << "daduvivu: " << error << std::endl;
        return ExitDamaged;
    }
    if (options.mode == SalvageMode::Extract) {
        std::error_code ec;
        std::filesystem::create_directories(options.destination, ec);
        struct stat st;
        if (stat(options.destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            io.err << "daduvivu: cannot create destination " << options.destination << std::endl;
            return ExitWriteFailed;
        }
    }
    NameFilter filter(options.include, options.exclude, options.ignoreCase);
    SalvageFiles files(options, io, filter);
    Interrupted = 0;
    SalvageResult result;
    {
        // Ctrl-C stops between entries; the files settled so far stay, the rest of the
        // staging folder goes.
        ScopedInterrupt interrupt(OnInterrupt);
        result = SalvageEntries(payload, files);
    }
    if (result.stopped) {
        io.err << "daduvivu: salvage interrupted; the files settled before it are kept" << std::endl;
        return ExitCancelled;
    }

    if (options.mode == SalvageMode::List && !options.quiet && options.report != "-") {
        io.out << "Archive: " << options.archive << " (salvaged)\n";
        io.out << "    #  Status            Size  Name\n";
        char line[96];
        for (const SalvagedEntry& e : result.entries) {
            if (!filter.Selects(ShownName(e))) continue;
            std::snprintf(line, sizeof line, "%5d  %-10s  %10s  ", e.index, StatusName(e.status),
                          e.isFolder ? "<dir>" : std::to_string(e.size).c_str());
            io.out << line << ShownName(e) << "\n";
        }
    }
    io.out.flush();

    nlohmann::ordered_json report = ReportJson(options, payload, result);
    if (options.report == "-") {
        io.out << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else if (!options.report.empty()) {
        std::ofstream out(options.report);
        out << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
        if (!out) {
            io.err << "daduvivu: cannot write the report " << options.report << std::endl;
            return ExitWriteFailed;
        }
    }

    const auto& totals = report["totals"];
    io.err << "daduvivu: salvage: " << totals["exact"].get<uint64_t>() << " exact, "
           << totals["unverified"].get<uint64_t>() << " unverified, " << totals["lost"].get<uint64_t>() << " lost";
    std::map<std::string, int> kinds;
    for (const PayloadDamage& d : result.damage) ++kinds[d.kind];
    if (kinds.empty()) {
        io.err << "; no damage found" << std::endl;
    } else {
        io.err << "; damage:";
        const char* separator = " ";
        for (const auto& [kind, n] : kinds) {
            io.err << separator << n << " " << kind;
            separator = ", ";
        }
        io.err << std::endl;
    }
    if (files.failed_) return ExitWriteFailed;
    bool allExact = totals["unverified"].get<uint64_t>() == 0 && totals["lost"].get<uint64_t>() == 0;
    return result.damage.empty() && allExact ? ExitOk : ExitDamaged;
}
