#include "packer/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "container/archive.h"
#include "packer/body_encoder.h"
#include "packer/reference_ring.h"
#include "packer/source_tree.h"
#include "packer/volume_writer.h"

namespace {

constexpr double UnixEpochInDays = 25569.0;  // 1970-01-01 counted from 1899-12-30

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

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> ReadWhole(const SourceEntry& e) {
    int fd = ::open(e.nativePath.c_str(), O_RDONLY);
    if (fd < 0) throw PackError("cannot read " + e.nativePath + ": " + std::strerror(errno));
    std::vector<uint8_t> data(e.size);
    size_t got = 0;
    bool grew = false;
    for (;;) {
        if (got == data.size()) {
            // One byte more than expected tells a file that grew since it was listed.
            uint8_t extra;
            ssize_t r = ::read(fd, &extra, 1);
            grew = r > 0;
            if (r >= 0) break;
        } else {
            ssize_t r = ::read(fd, data.data() + got, data.size() - got);
            if (r == 0) break;
            if (r > 0) {
                got += static_cast<size_t>(r);
                continue;
            }
        }
        if (errno == EINTR) continue;
        int error = errno;
        ::close(fd);
        throw PackError("cannot read " + e.nativePath + ": " + std::strerror(error));
    }
    ::close(fd);
    if (grew || got != data.size())
        throw PackError(e.nativePath + " changed size while it was being packed (" + std::to_string(e.size) +
                        " bytes when listed); pack again when it is no longer being written");
    return data;
}

struct Header {
    std::vector<uint8_t> bytes;  // stub, then the archive header
    size_t recordedSizeAt;
};

Header MakeHeader(const std::vector<uint8_t>& stub, const std::string& volumeBase, double stamp,
                  const std::string& message, const std::string& runAfter) {
    Header h;
    h.bytes = stub;
    h.recordedSizeAt = h.bytes.size();
    PutLe(h.bytes, 0, 4);
    h.bytes.insert(h.bytes.end(), volumeBase.begin(), volumeBase.end());
    h.bytes.push_back(0);
    uint64_t stampBits;
    std::memcpy(&stampBits, &stamp, 8);
    PutLe(h.bytes, stampBits, 8);
    h.bytes.insert(h.bytes.end(), message.begin(), message.end());
    h.bytes.push_back(0);
    h.bytes.insert(h.bytes.end(), runAfter.begin(), runAfter.end());
    h.bytes.push_back(0);
    h.bytes.push_back(0);
    return h;
}

// Names share their first bytes with the name before them through the '*' marker,
// which costs two bytes and can take 2 to 257 bytes.
void PutName(VolumeWriter& out, const std::string& name, std::string& previous) {
    size_t shared = 0;
    while (shared < name.size() && shared < previous.size() && shared < 257 && name[shared] == previous[shared])
        ++shared;
    if (shared >= 3) {
        out.Put(0x2A);
        out.Put(static_cast<uint8_t>(shared - 2));
    } else {
        shared = 0;
    }
    out.Put(reinterpret_cast<const uint8_t*>(name.data()) + shared, name.size() - shared);
    out.Put(0);
    previous = name;
}

// The window the decoder will hold: the primed history, then the file after its prefix
// (up to `limit` bytes of the file).
std::vector<uint8_t> WindowFor(const FileSlot& reference, const ReferenceChoice& choice,
                               const std::vector<uint8_t>& data, int32_t limit, int32_t* history) {
    int32_t start;
    HistoryFor(reference, choice.prefix, &start, history);
    int32_t end = std::min<int32_t>(static_cast<int32_t>(data.size()), limit);
    std::vector<uint8_t> window(reference.data + start, reference.data + start + *history);
    window.insert(window.end(), data.begin() + choice.prefix, data.begin() + end);
    return window;
}

// Picks the reference by compressing the first part of the file against each
// candidate's history with a quick level; the prefix is free, its two bytes are not.
ReferenceChoice ChooseReference(const ReferenceRing& ring, const std::vector<uint8_t>& data, int level) {
    const int32_t size = static_cast<int32_t>(data.size());
    // Each trial parses up to 32K; the first few find most of the gain (on CMake's
    // modules: 2 trials 13 % smaller than always the previous file, 16 trials 1 % more).
    static const size_t trialsByLevel[] = {2, 2, 3, 4, 4, 6, 6, 10, 16};
    size_t trials = trialsByLevel[level - 1];
    std::vector<ReferenceChoice> candidates = ring.Candidates(data.data(), size, trials);
    if (candidates.size() == 1 || size == 0) return candidates[0];
    const LevelSettings quick = SettingsForLevel(level >= 7 ? 4 : 2);
    // The history only helps until a window's worth of bytes has followed it, so the
    // trials stop there for the longest prefix; all cover the same part of the file,
    // and a prefix is the part a trial need not encode.
    int32_t longestPrefix = 0;
    for (const ReferenceChoice& c : candidates) longestPrefix = std::max(longestPrefix, c.prefix);
    const int32_t limit = longestPrefix + WindowSize;
    ReferenceChoice best = candidates[0];
    uint64_t bestCost = UINT64_MAX;
    for (const ReferenceChoice& c : candidates) {
        int32_t history;
        std::vector<uint8_t> window = WindowFor(ring.Reference(c.reference), c, data, limit, &history);
        uint64_t cost = EstimateBodyBits(window.data(), history, static_cast<int32_t>(window.size()), quick) +
                        (c.Stored() ? 16 : 0);
        if (cost < bestCost) {
            bestCost = cost;
            best = c;
        }
    }
    return best;
}

// The archive being made, and its volume files, may lie inside a source folder (packing
// "." into ./setup.exe); an earlier archive of that name must not be packed into the new
// one.
void LeaveOutOwnFiles(std::vector<SourceEntry>& entries, const std::string& output, const std::string& volumeBase) {
    std::string folder = FolderOf(output);
    char* real = realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    if (!real) return;
    std::string realFolder = std::string(real) + "/";
    std::free(real);
    std::string ownName = output.substr(folder.size());
    std::string volumePrefix = volumeBase + "_";
    auto own = [&](const SourceEntry& e) {
        if (e.folder) return false;
        char* path = realpath(e.nativePath.c_str(), nullptr);
        if (!path) return false;
        std::string p(path);
        std::free(path);
        if (p.compare(0, realFolder.size(), realFolder) != 0) return false;
        std::string name = p.substr(realFolder.size());
        if (name == ownName) return true;
        if (name.size() <= volumePrefix.size() + 4 || name.compare(0, volumePrefix.size(), volumePrefix) != 0 ||
            name.compare(name.size() - 4, 4, ".DAT") != 0)
            return false;
        std::string number = name.substr(volumePrefix.size(), name.size() - volumePrefix.size() - 4);
        return number.find_first_not_of("0123456789") == std::string::npos;
    };
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

    Header header = MakeHeader(stub, volumeBase, stamp, message, runAfter);
    if (options.volumeSize != 0 && options.volumeSize < header.bytes.size() + 3)
        throw PackError("the volume size " + std::to_string(options.volumeSize) +
                        " is too small: the program file alone needs " + std::to_string(header.bytes.size() + 3) +
                        " bytes");

    PackResult result;
    result.identityStamp = stamp;
    result.placeholderStub = options.stub.empty() && !DefaultStubIsReal();
    uint64_t total = 0;
    for (const SourceEntry& e : entries) total += e.size;
    const bool reproducible = SourceDateEpoch() != nullptr;

    VolumeWriter out(options.output, header.bytes, header.recordedSizeAt, options.volumeSize, stamp,
                     FolderOf(options.output) + baseUtf8 + "_");
    ReferenceRing ring(stub.data());
    const LevelSettings settings = SettingsForLevel(options.level);
    std::string previous;
    std::vector<uint8_t> body;
    for (const SourceEntry& e : entries) {
        if (e.folder) {
            PutName(out, e.name + "\\.", previous);
            ++result.folders;
            continue;
        }
        std::vector<uint8_t> data = ReadWhole(e);
        PutName(out, e.name, previous);
        std::vector<uint8_t> record;
        // Reading the files moves their access times, and a fresh checkout gives them new
        // birth times: a reproducible archive keeps the last write time in both instead.
        PutLe(record, reproducible ? e.write : e.creation, 8);
        PutLe(record, reproducible ? e.write : e.access, 8);
        PutLe(record, e.write, 8);
        PutLe(record, data.size(), 4);
        ReferenceChoice choice = ChooseReference(ring, data, options.level);
        if (choice.Stored()) {
            record.push_back(static_cast<uint8_t>(choice.reference));
            PutLe(record, static_cast<uint64_t>(choice.prefix), 2);
        } else {
            record.push_back(0);
        }
        out.Put(record.data(), record.size());
        body.clear();
        int32_t history;
        std::vector<uint8_t> window = WindowFor(ring.Reference(choice.reference), choice, data,
                                                static_cast<int32_t>(data.size()), &history);
        BodyProgress within;
        if (options.progress)
            within = [&](int32_t done) { options.progress(result.inputBytes + choice.prefix + done, total); };
        EncodeBody(window.data(), history, static_cast<int32_t>(window.size()), settings, body, within);
        out.Put(body.data(), body.size());
        ring.Store(data.data(), static_cast<int32_t>(data.size()));
        ++result.files;
        result.inputBytes += data.size();
        if (options.progress) options.progress(result.inputBytes, total);
    }
    out.Put(0);  // the empty name ends the entry stream
    out.Commit();

    result.volumePaths = out.Paths();
    result.volumeSizes = out.Sizes();
    for (uint64_t s : result.volumeSizes) result.outputBytes += s;
    return result;
}
