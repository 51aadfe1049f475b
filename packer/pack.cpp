#include "packer/pack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include <thread>

#include "container/archive.h"
#include "packer/encoding.h"
#include "packer/planning.h"
#include "packer/source_tree.h"
#include "packer/volume_writer.h"
#include "packer/writing.h"

namespace {

constexpr double UnixEpochInDays = 25569.0;  // 1970-01-01 counted from 1899-12-30
// Input bytes and bodies held in memory between planning and writing, at most.
constexpr uint64_t HeldBytesLimit = 16 << 20;
// Files planned and not yet written, at most (empty ones hold no bytes, but a record).
constexpr size_t PendingFilesLimit = 4096;
// Planning held back waits for this many changes (or the next body to write) before it
// goes on: a batch of small files planned per wake instead of one.
constexpr uint64_t WakeEvery = 32;

// SOURCE_DATE_EPOCH, when set, makes the archive a function of its input alone.
const char* SourceDateEpoch() {
    const char* v = std::getenv("SOURCE_DATE_EPOCH");
    return v && *v ? v : nullptr;
}

double IdentityStampFor(const PackOptions& options) {
    if (options.identityStamp) return *options.identityStamp;
    if (const char* epoch = SourceDateEpoch()) {
        char* end = nullptr;
        errno = 0;
        long long seconds = std::strtoll(epoch, &end, 10);
        if (errno || *end || seconds < 0)
            throw PackError(std::string("SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '") + epoch + "'");
        return static_cast<double>(seconds) / 86400.0 + UnixEpochInDays;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9) / 86400.0 + UnixEpochInDays;
}

// The message keeps its lines; Windows' edit control wants CR LF between them.
std::string WithCrLf(const std::string& text) {
    std::string out;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string BaseNameWithoutExtension(const std::string& path) {
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.erase(dot);
    return base;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int ThreadsFor(const PackOptions& options) {
    if (options.threads > 0) return options.threads;
    return std::max(1u, std::thread::hardware_concurrency());
}

// The archive being made, and its volume files, may lie inside a source folder (packing
// "." into ./setup.exe); an earlier archive of that name must not be packed into the new
// one.
void LeaveOutOwnFiles(std::vector<SourceEntry>& entries, const std::string& output, const std::string& volumeBase) {
    const std::string folder = FolderOf(output);  // "" or ending in '/'
    const std::string volumePrefix = volumeBase + "_";
    auto isVolume = [&](const std::string& name) {
        if (name.size() <= volumePrefix.size() + 4 || name.compare(0, volumePrefix.size(), volumePrefix) != 0 ||
            name.compare(name.size() - 4, 4, ".DAT") != 0)
            return false;
        std::string number = name.substr(volumePrefix.size(), name.size() - volumePrefix.size() - 4);
        return number.find_first_not_of("0123456789") == std::string::npos;
    };
    // The archive and its volumes that are there, as files (device and inode): an entry
    // that is one of them, by whatever path or link, is left out.
    std::set<std::pair<uint64_t, uint64_t>> ownFiles;
    auto note = [&](const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ownFiles.emplace(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino));
    };
    note(output);
    if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
        while (struct dirent* d = readdir(dir))
            if (isVolume(d->d_name)) note(folder + d->d_name);
        closedir(dir);
    }
    if (ownFiles.empty()) return;
    auto own = [&](const SourceEntry& e) { return !e.folder && ownFiles.count({e.device, e.inode}) != 0; };
    entries.erase(std::remove_if(entries.begin(), entries.end(), own), entries.end());
}

}  // namespace

PackResult Pack(const PackOptions& options) {
    if (options.level < PackMinLevel || options.level > PackMaxLevel)
        throw PackError("the level must be 1 to 9, not " + std::to_string(options.level));
    if (options.output.empty()) throw PackError("no output file given");
    const std::vector<uint8_t>& stub = options.stub.empty() ? DefaultStubImage() : options.stub;
    if (stub.size() != static_cast<size_t>(StubSize))
        throw PackError("the stub must be exactly 28,672 bytes, not " + std::to_string(stub.size()));

    std::string message, runAfter, volumeBase;
    if (!ToHeaderText(WithCrLf(options.messageUtf8), message))
        throw PackError("the message has characters that code page 932 (Shift-JIS) cannot hold");
    std::string runAfterText = options.runAfter;
    for (char& c : runAfterText)
        if (c == '/') c = '\\';
    if (!ToHeaderText(runAfterText, runAfter))
        throw PackError("the program to run after extraction, '" + options.runAfter +
                        "', has characters that code page 932 (Shift-JIS) cannot hold");
    std::string baseUtf8 = options.volumeBase.empty() ? BaseNameWithoutExtension(options.output) : options.volumeBase;
    std::string problem;
    volumeBase = StoredNamePart(baseUtf8, &problem);
    if (!problem.empty()) throw PackError("the volume base name '" + baseUtf8 + "' " + problem);
    const double stamp = IdentityStampFor(options);

    std::vector<SourceEntry> entries = CollectSources(options.sources, options.rules);
    LeaveOutOwnFiles(entries, options.output, baseUtf8);
    OrderEntries(entries);

    ProgramHead head = MakeProgramHead(stub, volumeBase, stamp, message, runAfter);
    if (options.volumeSize != 0 && options.volumeSize < head.bytes.size() + 3)
        throw PackError("the volume size " + std::to_string(options.volumeSize) +
                        " is too small: the program file alone needs " + std::to_string(head.bytes.size() + 3) +
                        " bytes");

    PackResult result;
    result.identityStamp = stamp;
    result.placeholderStub = options.stub.empty() && !DefaultStubIsReal();
    uint64_t total = 0;
    for (const SourceEntry& e : entries) total += e.size;

    VolumeWriter out(options.output, head.bytes, head.recordedSizeAt, options.volumeSize, stamp,
                     FolderOf(options.output) + baseUtf8 + "_");
    EntryWriter writer(out, SourceDateEpoch() != nullptr);

    // Planning runs ahead of writing by a bounded number of files and bytes held in
    // memory; the workers encode what is planned; bodies are written in archive order.
    Planner planner(stub.data(), options.level);
    const ReferenceRing& ring = planner.Ring();
    const int level = options.level;
    EncodingPool* running = nullptr;
    auto report = [&] {
        if (options.progress && running) options.progress(std::min(running->Fed(), total), total);
    };
    EncodingPool pool(
        ThreadsFor(options),
        [&](const FilePlan& plan, EncoderKit& kit, const FedBytes& fed, const RingDone& ringDone) {
            return EncodeFile(plan, entries[plan.entry], ring, level, kit, fed, ringDone);
        },
        report);
    running = &pool;

    uint64_t held = 0;
    auto heldBy = [](const FilePlan& plan) { return plan.head.size() + std::min<uint64_t>(plan.size, SpillBytes); };
    size_t nextToWrite = 0;
    auto writeFolders = [&] {
        for (; nextToWrite < entries.size() && entries[nextToWrite].folder; ++nextToWrite) {
            ++result.folders;
            // Every folder keeps its entry, also one that its files would make: the
            // entries are what lets a damaged archive's names be told again.
            writer.Folder(entries[nextToWrite]);
        }
    };
    auto writeNextFile = [&] {
        writeFolders();
        FilePlan plan;
        EncodedBody body = pool.Next(&plan);
        writer.File(entries[plan.entry], body);
        held -= heldBy(plan);
        nextToWrite = plan.entry + 1;
        ++result.files;
        result.inputBytes += plan.size;
        if (options.progress) options.progress(std::max(std::min(pool.Fed(), total), result.inputBytes), total);
    };
    // Planning a file overwrites the ring's copy of the file KeptFiles back, which a file
    // up to 255 after that one reads while it chooses its reference; one that has begun
    // its body reads the ring no more. So planning runs MaxAhead files ahead of the
    // first file still choosing, not of the first not yet written: while a large file is
    // encoded, the files after it keep the other workers busy, their bodies waiting in
    // memory (within the limits above) for it to be written.
    auto mustWait = [&] {
        return pool.Pending() > 0 && (pool.ReadingRing() >= static_cast<size_t>(ReferenceRing::MaxAhead) ||
                                      pool.Pending() >= PendingFilesLimit || held > HeldBytesLimit);
    };
    // Each folder's files are put in order of similarity just before they are planned,
    // while the workers encode the files before them. A worker reads only the entries
    // of files already planned, which stay where they are.
    size_t ordered = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].folder) continue;
        while (ordered <= i) ordered = planner.OrderRun(entries, ordered);
        for (;;) {
            const uint64_t seen = pool.Changes();
            while (pool.Pending() > 0 && pool.NextReady()) writeNextFile();
            if (!mustWait()) break;
            pool.WaitForChange(seen, WakeEvery);
        }
        FilePlan plan = planner.Plan(entries[i], i);
        held += heldBy(plan);
        pool.Submit(std::move(plan));
        while (pool.Pending() > 0 && pool.NextReady()) writeNextFile();
    }
    while (pool.Pending() > 0) writeNextFile();
    writeFolders();
    writer.End();
    out.Commit();

    result.volumePaths = out.Paths();
    result.volumeSizes = out.Sizes();
    for (uint64_t s : result.volumeSizes) result.outputBytes += s;
    return result;
}
