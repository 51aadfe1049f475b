#include "cli/salvage_decoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/extract.h"
#include "engine/huffman.h"
#include "platform/posix/codepage.h"

namespace {

constexpr int64_t UnixEpochInFileTime = 11644473600LL;
constexpr FileTime Year1970 = static_cast<FileTime>(UnixEpochInFileTime) * 10000000u;
constexpr FileTime Year2200 = Year1970 + static_cast<FileTime>(7258118400LL) * 10000000u;
// Longest name a scanned record may have; real names are far shorter.
constexpr size_t ScannedNameLimit = 1024;
// The most bytes one bit of a body can produce: a match of 4,352 bytes costs at least
// 19 bits (a 1-bit length code, 12 extra bits, a 1-bit distance code, 5 extra bits).
constexpr int64_t MostBytesPerInputByte = 4352 * 8 / 19 + 1;

bool PlausibleTime(FileTime t) { return t == 0 || (t >= Year1970 && t < Year2200); }

// Printable code page 932: ASCII without controls and the characters Windows refuses
// in names, half-width katakana, and double-byte characters with a valid trail byte.
bool PlausibleName(const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (IsCp932LeadByte(c)) {
            if (i + 1 >= bytes.size()) return false;
            unsigned char t = static_cast<unsigned char>(bytes[++i]);
            if (t < 0x40 || t == 0x7F || t > 0xFC) return false;
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == 0x80 || c == 0xA0 || c > 0xDF) return false;
        if (std::strchr("*?\"<>|:/", c) != nullptr) return false;
    }
    return true;
}

struct ByteReader {
    const uint8_t* bytes;
    size_t at, end;
    bool Get(uint8_t& b) {
        if (at >= end) return false;
        b = bytes[at++];
        return true;
    }
    bool Little(int n, uint64_t& value) {
        value = 0;
        for (int i = 0; i < n; ++i) {
            uint8_t b;
            if (!Get(b)) return false;
            value |= static_cast<uint64_t>(b) << (8 * i);
        }
        return true;
    }
};

struct BodyBits {
    const uint8_t* bytes;
    size_t at, end;
    uint32_t current = 0;
    int left = 0;
    bool Bit(int& bit) {
        if (left == 0) {
            if (at >= end) return false;
            current = bytes[at++];
            left = 8;
        }
        bit = static_cast<int>(current & 1);
        current >>= 1;
        --left;
        return true;
    }
    bool Value(int n, uint32_t& value) {
        value = 0;
        for (int i = 0; i < n; ++i) {
            int bit;
            if (!Bit(bit)) return false;
            value |= static_cast<uint32_t>(bit) << i;
        }
        return true;
    }
    // The tree walk of DecodeSymbol, one bit at a time from the root.
    bool Symbol(const HuffmanModel& model, int& symbol) {
        int node = RootNode;
        while (model.nodes[node].child0 != NoChild) {
            int bit;
            if (!Bit(bit)) return false;
            node = bit ? model.nodes[node].child1 : model.nodes[node].child0;
        }
        symbol = model.nodes[node].symbol;
        return true;
    }
};

struct StartModels {
    HuffmanModel literal, distance;
    StartModels() {
        InitModel(literal, LiteralInitialCounts);
        BuildTree(literal);
        InitModel(distance, DistanceInitialCounts);
        BuildTree(distance);
    }
};

const StartModels& Starts() {
    static const StartModels* starts = new StartModels;
    return *starts;
}

// The decoder's window: the history and every produced byte, with what is known of
// each, in a ring of 32 KiB (twice the farthest distance); produced bytes go out in
// chunks.
class Window {
public:
    Window(BodySink* sink, SalvageSlot* current, int32_t prefix) : sink_(sink), current_(current), prefix_(prefix) {}
    void Prime(const uint8_t* data, const uint8_t* known, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
            data_[position_ & Mask] = data[i];
            known_[position_ & Mask] = known[i];
            ++position_;
        }
        history_ = position_;
    }
    void Put(uint8_t b, uint8_t known) {
        data_[position_ & Mask] = b;
        known_[position_ & Mask] = known;
        int64_t offset = position_ - history_ + prefix_;
        if (current_ != nullptr && offset < SlotCapacity) {
            current_->data[offset] = b;
            current_->known[offset] = known;
        }
        if (!known) ++unknown_;
        if (sink_ != nullptr) {
            chunk_.push_back(b);
            chunkKnown_.push_back(known);
            if (chunk_.size() == ChunkSize) Flush();
        }
        ++position_;
    }
    void Copy(int32_t distance, uint8_t trusted) {
        int64_t from = (position_ - distance) & Mask;
        Put(data_[from], known_[from] & trusted);
    }
    void Flush() {
        if (sink_ != nullptr && !chunk_.empty()) sink_->Put(chunk_.data(), chunkKnown_.data(), chunk_.size());
        chunk_.clear();
        chunkKnown_.clear();
    }
    int64_t unknown() const { return unknown_; }

private:
    static constexpr int64_t Mask = 0x7FFF;
    static constexpr size_t ChunkSize = 0x10000;
    BodySink* sink_;
    SalvageSlot* current_;
    int32_t prefix_;
    int64_t position_ = 0, history_ = 0, unknown_ = 0;
    uint8_t data_[Mask + 1] = {};
    uint8_t known_[Mask + 1] = {};
    std::vector<uint8_t> chunk_, chunkKnown_;
};

}  // namespace

void SalvageHistory(int32_t size, int32_t prefix, int32_t* start, int32_t* length) {
    int32_t h = size - prefix;
    if (h > HistoryAfterPrefix) h = HistoryAfterPrefix;
    int32_t t = WindowSize - h;
    if (t > prefix) t = prefix;
    *start = prefix - t;
    *length = h + t;
}

ReadOutcome ReadEntryHeader(const uint8_t* bytes, size_t at, size_t end, const std::string& previousName,
                            bool strict, EntryHeader& header) {
    header = EntryHeader();
    header.start = at;
    ByteReader in{bytes, at, end};
    uint8_t b;
    if (!in.Get(b)) return ReadOutcome::OutOfData;
    if (b == '*') {
        uint8_t count;
        if (!in.Get(count)) return ReadOutcome::OutOfData;
        header.shared = true;
        header.sharedCount = static_cast<size_t>(count) + 2;
        if (!in.Get(b)) return ReadOutcome::OutOfData;
    }
    size_t limit = strict ? ScannedNameLimit : NameCapacity - 1;
    while (b != 0) {
        if (header.suffix.size() == limit) return ReadOutcome::Invalid;
        header.suffix += static_cast<char>(b);
        if (!in.Get(b)) return ReadOutcome::OutOfData;
    }
    size_t kept = header.shared ? std::min(header.sharedCount, previousName.size()) : 0;
    header.name = previousName.substr(0, kept) + header.suffix;
    if (header.name.size() > NameCapacity - 1) return ReadOutcome::Invalid;
    if (header.name.empty()) {
        // A scanned offset is never taken for the end: a lone 0 byte is too common.
        if (strict) return ReadOutcome::Invalid;
        header.endMarker = true;
        header.bodyStart = in.at;
        return ReadOutcome::Done;
    }
    if (NameLeavesDestination(header.name.c_str())) return ReadOutcome::Invalid;
    // A shared name's own part may begin with a backslash; a name of its own may not.
    if (strict && (!PlausibleName(header.suffix) || header.suffix.empty() || header.name[0] == '\\'))
        return ReadOutcome::Invalid;
    const std::string& n = header.name;
    header.isFolder = n == "." || (n.size() >= 2 && n[n.size() - 2] == '\\' && n.back() == '.');
    if (header.isFolder) {
        header.bodyStart = in.at;
        return ReadOutcome::Done;
    }
    uint64_t creation, access, write, size, reference, prefix = 0;
    if (!in.Little(8, creation) || !in.Little(8, access) || !in.Little(8, write) || !in.Little(4, size) ||
        !in.Little(1, reference))
        return ReadOutcome::OutOfData;
    if (reference != 0 && !in.Little(2, prefix)) return ReadOutcome::OutOfData;
    header.creation = creation;
    header.access = access;
    header.write = write;
    header.fileSize = static_cast<int32_t>(static_cast<uint32_t>(size));
    header.reference = reference == 0 ? 1 : static_cast<int>(reference);
    header.prefix = static_cast<int32_t>(prefix);
    header.bodyStart = in.at;
    if (header.fileSize < 0 || header.fileSize > MaxFileSize) return ReadOutcome::Invalid;
    if (header.prefix > SlotCapacity) return ReadOutcome::Invalid;
    if (strict) {
        if (!PlausibleTime(creation) || !PlausibleTime(access) || !PlausibleTime(write)) return ReadOutcome::Invalid;
        if (header.prefix > header.fileSize) return ReadOutcome::Invalid;
    }
    return ReadOutcome::Done;
}

BodyResult DecodeSalvageBody(const uint8_t* bytes, size_t end, const EntryHeader& header,
                             const SalvageSlot& reference, SalvageSlot* current, BodySink* sink,
                             size_t trustedEnd) {
    BodyResult result;
    const int32_t prefix = header.prefix;
    const int64_t target = static_cast<int64_t>(header.fileSize) - prefix;
    const bool structureOnly = current == nullptr && sink == nullptr;
    if (reference.sizeKnown && prefix > reference.size) return result;  // the engine refuses it too
    // More bytes than the rest of the data can produce: not this offset, or cut short.
    size_t available = end > header.bodyStart ? end - header.bodyStart : 0;
    if (target > 0 && static_cast<uint64_t>(target) > static_cast<uint64_t>(available) * MostBytesPerInputByte) {
        result.outcome = ReadOutcome::OutOfData;
        return result;
    }

    // The history's length bounds every distance; of an unknown file only the most it
    // could be is known.
    int32_t historyStart = 0, history = WindowSize;
    if (reference.sizeKnown) SalvageHistory(reference.size, prefix, &historyStart, &history);

    std::unique_ptr<Window> window;
    if (!structureOnly) {
        window = std::make_unique<Window>(sink, current, prefix);
        if (current != nullptr) {
            current->size = header.fileSize > SlotCapacity ? SlotCapacity : header.fileSize;
            current->sizeKnown = true;
            std::memset(current->known, 0, sizeof current->known);
        }
        static const uint8_t zeros[SlotCapacity] = {};
        const uint8_t* prefixData = reference.sizeKnown ? reference.data : zeros;
        const uint8_t* prefixKnown = reference.sizeKnown ? reference.known : zeros;
        for (int32_t i = 0; i < prefix; ++i) {
            if (current != nullptr) {
                current->data[i] = prefixData[i];
                current->known[i] = prefixKnown[i];
            }
            if (!prefixKnown[i]) ++result.unknownBytes;
        }
        if (sink != nullptr && prefix > 0) sink->Put(prefixData, prefixKnown, static_cast<size_t>(prefix));
        if (reference.sizeKnown) {
            window->Prime(reference.data + historyStart, reference.known + historyStart, history);
        } else {
            window->Prime(zeros, zeros, history);
        }
    }

    HuffmanModel literal, distance;
    literal = Starts().literal;
    distance = Starts().distance;
    BodyBits in{bytes, header.bodyStart, end};
    auto done = [&]() -> BodyResult& {
        result.consumed = in.at - header.bodyStart;
        return result;
    };
    int64_t produced = 0;
    int32_t symbolsDecoded = 0, matchesDecoded = 0;
    result.outcome = ReadOutcome::OutOfData;
    while (produced < target) {
        if (LiteralRebuildDue(symbolsDecoded) && symbolsDecoded != 0) BuildTree(literal);
        int s;
        if (!in.Symbol(literal, s)) return done();
        uint8_t trusted = in.at <= trustedEnd;
        ++literal.frequency[s];
        if (s < 256) {
            if (window) window->Put(static_cast<uint8_t>(s), trusted);
            ++produced;
        } else {
            uint32_t extra = 0;
            if (s == 511 && !in.Value(12, extra)) return done();
            int32_t length = s < 511 ? s - 254 : 257 + static_cast<int32_t>(extra);
            int d;
            if (!in.Symbol(distance, d)) return done();
            ++distance.frequency[d];
            uint32_t low;
            if (!in.Value(5, low)) return done();
            int32_t dist = 32 * d + 1 + static_cast<int32_t>(low);
            // No match reaches in front of the first history byte.
            if (dist - produced > result.reach) result.reach = static_cast<int32_t>(dist - produced);
            if (dist > history + produced) {
                result.outcome = ReadOutcome::Invalid;
                return done();
            }
            trusted = in.at <= trustedEnd;
            if (window)
                for (int32_t i = 0; i < length; ++i) window->Copy(dist, trusted);
            produced += length;
            ++matchesDecoded;
            if (DistanceRebuildDue(matchesDecoded)) BuildTree(distance);
        }
        ++symbolsDecoded;
    }
    if (window) {
        window->Flush();
        result.unknownBytes += window->unknown();
    }
    result.outcome = ReadOutcome::Done;
    result.end = target > 0 ? in.at : header.bodyStart;
    result.length = prefix + produced;
    return done();
}
