#include "cli/salvage_walk.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "cli/salvage_repair.h"

namespace {

using Regions = std::vector<std::pair<uint64_t, uint64_t>>;

// Records and bodies a scanned offset must chain before it is believed.
constexpr int ChainFiles = 2;
constexpr int ChainLinks = 16;
// Repairs that may fit a block at once before it is given up as too uncertain.
constexpr size_t MaxDoubtfulRepairs = 8;
// Files a repaired stream must decode behind the block.
constexpr int RepairFilesBehind = 6;

const SalvageSlot& UnknownSlot() {
    static const SalvageSlot* slot = [] {
        auto* s = new SalvageSlot;
        s->sizeKnown = false;
        std::memset(s->known, 0, sizeof s->known);
        return s;
    }();
    return *slot;
}

class Walk {
public:
    Walk(const GatheredPayload& payload, SalvageOutput& output)
        : payload_(payload), patched_(payload.bytes), bytes_(patched_.data()), output_(output),
          regions_(payload.SoundRegions()),
          slots_(new SalvageSlot[SlotCount]) {
        for (int i = 0; i < SlotCount; ++i) {
            slots_[i].size = 0;
            std::memset(slots_[i].known, 0, SlotCapacity);
        }
        slots_[0].size = SlotCapacity;
        std::memcpy(slots_[0].data, payload.stub.data(), SlotCapacity);
        std::memset(slots_[0].known, 1, SlotCapacity);
        result_.damage = payload.damage;
    }

    SalvageResult Run() {
        if (regions_.empty()) return result_;
        // Damage at the very front: an empty sound run before it lets it be repaired
        // like any other block.
        if (regions_[0].first != 0) regions_.insert(regions_.begin(), {0, 0});
        size_t region = 0;
        uint64_t pos = regions_[0].first;
        for (;;) {
            if (output_.Stopped()) {
                result_.stopped = true;
                break;
            }
            uint64_t end = regions_[region].second;
            EntryHeader h;
            ReadOutcome read = ReadEntryHeader(bytes_, pos, end, PreviousForReading(), false, h);
            // A record unlike any a packer writes is taken for damage even in blocks that
            // pass their check: a block of zeros does.
            EntryHeader strict;
            if (read == ReadOutcome::Done && !h.endMarker &&
                ReadEntryHeader(bytes_, pos, end, PreviousForReading(), true, strict) != ReadOutcome::Done)
                read = ReadOutcome::Invalid;
            if (read == ReadOutcome::OutOfData && Repair(region, pos)) continue;
            bool placeRefused = false;
            if (startInDoubt_ && read == ReadOutcome::Done && !h.endMarker) {
                // The entry before took bytes in doubt, so where it ended is in doubt too:
                // a decoder that falls back into step ends a body at a plausible place
                // that need not be the right one. The record found there is believed only
                // when a chain of records and bodies fits from it, as after a scan, and
                // its name may have lost its front.
                startInDoubt_ = false;
                budget_ = uint64_t{1} << 40;
                if (ChainStartsAt(pos, end)) {
                    nameMayBeCut_ = true;
                } else {
                    read = ReadOutcome::Invalid;
                    placeRefused = true;
                }
            }
            startInDoubt_ = false;
            if (read != ReadOutcome::Done) {
                FinishPending(read == ReadOutcome::Invalid);
                uint64_t doubt = pos;
                if (placeRefused) {
                    ++pos;
                } else if (read == ReadOutcome::Invalid) {
                    NoteFormatBreak(pos, "a record breaks the format");
                    ++pos;
                } else {
                    pos = end;
                }
                if (!Resync(region, pos, doubt, read == ReadOutcome::OutOfData ? doubt : NoGap)) break;
                continue;
            }
            if (h.endMarker && pos + 1 != payload_.bytes.size()) {
                // The end comes only at the very end: a 0 with payload behind it is damage
                // (a block of zeros passes its CRC check), and what lies before it is in doubt.
                FinishPending(true);
                NoteFormatBreak(pos, "the entry stream ends before the payload does");
                uint64_t doubt = pos++;
                if (!Resync(region, pos, doubt, NoGap)) break;
                continue;
            }
            FinishPending(false);
            if (h.endMarker) {
                result_.endReached = true;
                break;
            }
            if (!h.isFolder && RepairableAfter(region)) {
                // A body that runs into a damaged block is tried before it is written:
                // a repair lets it be decoded whole.
                BodyResult trial = DecodeSalvageBody(bytes_, end, h, UnknownSlot(), nullptr, nullptr);
                if (trial.outcome == ReadOutcome::OutOfData && Repair(region, pos)) continue;
            }
            SalvagedEntry e = Describe(h, NameDoubt(h));
            if (h.isFolder) {
                pending_ = std::make_unique<SalvagedEntry>(e);
                startInDoubt_ = Doubtful(h.start, h.bodyStart);
                pos = h.bodyStart;
                continue;
            }
            BodySink* sink = output_.BeginFile(e);
            SalvageSlot& current = slots_[current_];
            const SalvageSlot& reference = slots_[(current_ - h.reference) & (SlotCount - 1)];
            // Of a body with a byte in doubt, only what comes before that byte is known; of
            // one whose length, reference or prefix is in doubt, nothing.
            uint64_t nameEnd = h.start + (h.shared ? 2 : 0) + h.suffix.size() + 1;
            uint64_t timesEnd = nameEnd + 24;
            size_t trustedEnd = Doubtful(timesEnd, h.bodyStart) ? h.bodyStart : SIZE_MAX;
            auto firstDoubt = doubt_.lower_bound(h.bodyStart);
            if (trustedEnd == SIZE_MAX && firstDoubt != doubt_.end()) trustedEnd = *firstDoubt;
            BodyResult body = !views_.empty() && h.reference > sinceGap_
                                  ? DecodeAcrossViews(h, end, current, sink, trustedEnd)
                                  : DecodeSalvageBody(bytes_, end, h, reference, &current, sink, trustedEnd);
            current_ = (current_ + 1) & (SlotCount - 1);
            if (!views_.empty() && ++sinceGap_ == SlotCount - 1) {
                views_.clear();  // every reference now lies behind the gap
                snapshot_.reset();
            }
            output_.EndFile();
            if (body.outcome == ReadOutcome::Done) {
                e.length = body.length;
                e.unknownBytes = body.unknownBytes;
                e.contentKnown = body.unknownBytes == 0;
                if (trustedEnd == h.bodyStart) std::memset(current.known, 0, SlotCapacity);
                e.contentKnown = body.unknownBytes == 0 && trustedEnd != h.bodyStart;
                e.timesCertain = !Doubtful(nameEnd, timesEnd);
                pending_ = std::make_unique<SalvagedEntry>(e);
                startInDoubt_ = Doubtful(h.start, body.end);
                pos = body.end;
                continue;
            }
            e.bodyLost = true;
            e.reason = body.outcome == ReadOutcome::OutOfData ? "its body runs into damage"
                                                              : "its body breaks the format";
            Finish(e);
            if (body.outcome == ReadOutcome::Invalid) {
                NoteFormatBreak(h.start, "a body breaks the format");
                pos = h.start + 1;
            } else {
                pos = end;
            }
            if (!Resync(region, pos, h.start, body.outcome == ReadOutcome::OutOfData ? end : NoGap)) break;
        }
        FinishPending(false);
        ResolveNames();
        if (!result_.endReached && !result_.stopped) {
            PayloadDamage d;
            d.kind = "end missing";
            d.payloadOffset = payload_.bytes.size();
            d.detail = "the end of the entry stream was not found";
            result_.damage.push_back(d);
        }
        return std::move(result_);
    }

private:
    // The damaged block right behind `region` when it is a single block with sound
    // bytes behind it, or the last block of a payload that is all there; not yet tried.
    const DamagedBlock* RepairableAfter(size_t region) const {
        uint64_t end = regions_[region].second;
        for (const DamagedBlock& b : payload_.damagedBlocks) {
            if (b.payloadOffset != end || b.raw.size() < 3) continue;
            uint64_t blockEnd = end + b.raw.size() - 2;
            bool last = blockEnd == payload_.bytes.size() && payload_.lastVolumeKnown;
            if (region + 1 < regions_.size() ? regions_[region + 1].first != blockEnd : !last) return nullptr;
            if (tried_.count(end) != 0) return nullptr;
            return &b;
        }
        return nullptr;
    }

    // Whether the records and bodies from `at` on run through the damaged block into
    // the sound bytes behind it and on for some files there (or to the end marker);
    // `starts` gets where each record begins, twice the offset and 1 for a folder.
    // `*corroborated` tells whether that many files followed the block: the end marker
    // reached sooner proves little, since a decoder often falls back into step by itself.
    bool RunsThrough(uint64_t at, uint64_t blockEnd, uint64_t end, std::vector<uint64_t>& starts,
                     bool* corroborated = nullptr) const {
        std::string previous = PreviousForReading();
        starts.clear();
        if (corroborated != nullptr) *corroborated = false;
        // The sizes of the files the trial passes, so that every reference bounds its
        // distances as the engine's history would.
        std::vector<int32_t> sizes;
        static SalvageSlot* bound = new SalvageSlot;
        int filesBehind = 0;
        for (int link = 0; link < 4 * ChainLinks; ++link) {
            if (at < end && bytes_[at] == 0)
                return at + 1 == end && end == payload_.bytes.size() && payload_.lastVolumeKnown;
            // Every record on the way must look like a packer's.
            EntryHeader h;
            if (ReadEntryHeader(bytes_, at, end, previous, true, h) != ReadOutcome::Done) return false;
            starts.push_back(at * 2 + (h.isFolder ? 1 : 0));
            previous = h.name;
            uint64_t next = h.bodyStart;
            if (!h.isFolder) {
                size_t passed = sizes.size();
                const SalvageSlot& slot = slots_[(current_ + static_cast<int>(passed) - h.reference) & (SlotCount - 1)];
                bound->sizeKnown = static_cast<size_t>(h.reference) <= passed || slot.sizeKnown;
                bound->size = static_cast<size_t>(h.reference) <= passed ? sizes[passed - static_cast<size_t>(h.reference)]
                                                                      : slot.size;
                BodyResult body = DecodeSalvageBody(bytes_, end, h, *bound, nullptr, nullptr);
                if (body.outcome != ReadOutcome::Done) return false;
                sizes.push_back(std::min(h.fileSize, SlotCapacity));
                next = body.end;
                if (h.start >= blockEnd && ++filesBehind == RepairFilesBehind) {
                    if (corroborated != nullptr) *corroborated = true;
                    return true;
                }
            }
            at = next;
        }
        return false;
    }

    // Tries the single-byte repairs of the damaged block behind `region`, decoding from
    // the record at `pos`; takes a repair when it is the only one under which the stream
    // runs on through the block. The block then counts as sound. When a few repairs fit
    // and all of them put the records at the same places, one of them is right: the
    // stream goes on with any of them, and the bytes they change are held in doubt.
    bool Repair(size_t region, uint64_t pos) {
        const DamagedBlock* block = RepairableAfter(region);
        if (block == nullptr) return false;
        uint64_t start = block->payloadOffset;
        tried_.insert(start);
        uint64_t payloadLength = block->raw.size() - 2;
        uint64_t blockEnd = start + payloadLength;
        bool last = region + 1 == regions_.size();
        uint64_t end = last ? blockEnd : regions_[region + 1].second;
        std::vector<ByteRepair> fits;
        std::vector<std::vector<uint64_t>> starts;
        std::vector<uint64_t> trial;
        bool corroborated = true;  // by every repair that fits
        if (RunsThrough(pos, blockEnd, end, trial)) {
            // The entries run through the block as it is: the damage lies in bytes that
            // do not shape the stream (names, times, literals), and a repair could not be
            // told from damage to two bytes. Where the entries lie is kept; every byte of
            // the block is in doubt.
            for (uint64_t at = start; at < blockEnd; ++at) doubt_.insert(at);
            PayloadDamage& note = result_.damage[block->damage];
            note.kind = "block in doubt";
            note.detail = "fails its CRC check, but the entries run through it as they are: their places are "
                          "kept, what they hold in it is not trusted";
            regions_[region].second = end;
            if (!last) regions_.erase(regions_.begin() + static_cast<std::ptrdiff_t>(region) + 1);
            return true;
        }
        for (const ByteRepair& r : SingleByteRepairs(block->raw.data(), static_cast<uint32_t>(block->raw.size()))) {
            bool inPayload = r.index < payloadLength;
            if (inPayload) patched_[start + r.index] ^= r.mask;
            bool followed = false;
            bool fit = RunsThrough(pos, blockEnd, end, trial, &followed);
            if (inPayload) patched_[start + r.index] ^= r.mask;
            if (!fit) continue;
            corroborated = corroborated && followed;
            // As many records under every repair that fits, or the ring's place is lost.
            if (fits.size() == MaxDoubtfulRepairs || (!starts.empty() && trial.size() != starts[0].size()))
                return false;
            fits.push_back(r);
            starts.push_back(trial);
        }
        if (fits.empty()) return false;
        // Where the repairs agree on a record, as many files must lie before it under
        // each, or the ring's place is lost.
        std::vector<std::vector<int>> filesBefore(starts.size());
        for (size_t f = 0; f < starts.size(); ++f) {
            int files = 0;
            for (uint64_t& at : starts[f]) {
                filesBefore[f].push_back(files);
                files += (at & 1) ? 0 : 1;
                at /= 2;
            }
        }
        for (size_t i = 0; i < starts[0].size(); ++i)
            for (size_t f = 1; f < starts.size(); ++f)
                if (starts[f][i] == starts[0][i] && filesBefore[f][i] != filesBefore[0][i]) return false;
        // Where the repairs put a record in different places, every byte up to the next
        // record they agree on is in doubt as well.
        for (size_t i = 0; i < starts[0].size(); ++i) {
            uint64_t low = starts[0][i], high = low;
            for (const auto& s : starts) {
                low = std::min(low, s[i]);
                high = std::max(high, s[i]);
            }
            if (low == high) continue;
            uint64_t agreed = i + 1 < starts[0].size() ? starts[0][i + 1] : end;
            for (const auto& s : starts)
                if (i + 1 < s.size()) agreed = std::max(agreed, s[i + 1]);
            for (uint64_t at = low; at < agreed; ++at) doubt_.insert(at);
        }
        // Whatever fits, the block's bytes are not trusted: damage to two or more bytes
        // leaves some sixteen single-byte changes that agree with the CRC, all of them
        // wrong, and a decoder that falls back into step by itself can carry one of
        // them through the block and far behind it. A repair keeps the places of the
        // entries and the count of files; what the block holds stays in doubt.
        const ByteRepair& r = fits[0];
        PayloadDamage& note = result_.damage[block->damage];
        for (uint64_t at = start; at < blockEnd; ++at) doubt_.insert(at);
        if (r.index < payloadLength) patched_[start + r.index] ^= r.mask;
        note.kind = "block repaired in part";
        char detail[240];
        if (!corroborated) {
            std::snprintf(detail, sizeof detail,
                          "failed its CRC check; a single-byte change lets the entries run on to the end, but too "
                          "few files follow the block to prove it: what the block holds is not trusted");
        } else if (fits.size() > 1) {
            std::snprintf(detail, sizeof detail,
                          "failed its CRC check; %zu single-byte changes agree with the CRC and with where the "
                          "entries lie: their places are kept, what they hold in the block is not trusted",
                          fits.size());
        } else {
            note.kind = "block repaired";
            std::snprintf(detail, sizeof detail,
                          "failed its CRC check; one single-byte change (byte %u) lets the entries run on through "
                          "it: their places are kept, what they hold in the block is not trusted (damage to more "
                          "bytes would look the same)",
                          r.index);
        }
        note.detail = detail;
        regions_[region].second = end;
        if (!last) regions_.erase(regions_.begin() + static_cast<std::ptrdiff_t>(region) + 1);
        ++result_.repairs;
        return true;
    }

    // A name of unknown bytes, long enough for any shared prefix.
    static const std::string& Unknown() {
        static const std::string unknown(257, '_');
        return unknown;
    }

    // The previous name, or as much of it as is known with unknown bytes behind, so that
    // a shared prefix keeps its length.
    std::string PreviousForReading() const {
        if (previousFull_) return previous_;
        std::string guess = previous_.substr(0, previousKnown_);
        if (previous_.size() > guess.size()) guess = previous_;
        if (guess.size() < Unknown().size()) guess += Unknown().substr(guess.size());
        return guess;
    }

    bool Doubtful(uint64_t from, uint64_t to) const {
        auto it = doubt_.lower_bound(from);
        return it != doubt_.end() && *it < to;
    }

    // Where in the resolved name the first byte in doubt lies (npos: none).
    size_t NameDoubt(const EntryHeader& h) const {
        uint64_t own = h.start + (h.shared ? 2 : 0);
        if (!Doubtful(h.start, own + h.suffix.size() + 1)) return std::string::npos;
        if (Doubtful(h.start, own)) return 0;
        return h.name.size() - h.suffix.size() + (*doubt_.lower_bound(own) - own);
    }

    SalvagedEntry Describe(const EntryHeader& h, size_t nameDoubt) {
        SalvagedEntry e;
        e.index = ++entries_;
        e.rawName = h.name;
        e.isFolder = h.isFolder;
        e.offset = h.start;
        e.creation = h.creation;
        e.access = h.access;
        e.write = h.write;
        e.size = h.fileSize;
        e.reference = h.reference;
        e.prefix = h.prefix;
        // A shared prefix is known when the name it was taken from is known that far.
        bool certain = (!h.shared && !nameMayBeCut_) || (h.shared && (previousFull_ || h.sharedCount <= previousKnown_));
        size_t taken = h.shared ? std::min(h.sharedCount, previous_.size()) : 0;
        // A name of its own that may have lost its front is a name in doubt from its
        // first byte: how long it really is, is not known.
        if (!h.shared && nameMayBeCut_ && nameDoubt == std::string::npos) nameDoubt = 0;
        if (nameDoubt != std::string::npos) {
            // A name with a byte in doubt is known only before it; the names that
            // follow it are recovered like those that follow a lost name, in a chain
            // of their own: what they share with it says nothing of the names before.
            ResolveNames();
            chainOpen_ = true;
            chainPinnable_ = true;
            e.nameCertain = false;
            e.nameInDoubt = true;
            e.sharedUnknown = h.name.size();
            chainShared_ = h.name.size();
            chainOwn_.clear();
            previousKnown_ = certain ? nameDoubt : std::min(nameDoubt, previousKnown_);
            previousFull_ = false;
            nameMayBeCut_ = false;
            previous_ = h.name;
            return e;
        }
        e.nameCertain = certain;
        if (certain) {
            ResolveNames();
            previousKnown_ = h.name.size();
            previousFull_ = true;
            NoteFolders(h);
        } else {
            // The name is the lost name's first sharedUnknown bytes and bytes of its own.
            // One that shares more than the name before holds as read lacks bytes that
            // are unknown, and no folder can tell how many.
            if (chainOpen_ && h.shared && h.sharedCount > previous_.size()) chainPinnable_ = false;
            if (!chainOpen_) {
                chainOpen_ = true;
                chainPinnable_ = h.shared && !nameMayBeCut_;
                e.sharedUnknown = h.shared ? h.sharedCount : 0;
                e.ownBytes = h.suffix;
            } else if (taken <= chainShared_) {
                e.sharedUnknown = taken;
                e.ownBytes = h.suffix;
            } else {
                e.sharedUnknown = chainShared_;
                e.ownBytes = chainOwn_.substr(0, taken - chainShared_) + h.suffix;
            }
            chainShared_ = e.sharedUnknown;
            chainOwn_ = e.ownBytes;
            previousKnown_ = std::min(taken, previousKnown_);
            previousFull_ = false;
        }
        nameMayBeCut_ = false;
        previous_ = h.name;
        return e;
    }

    // The entry's status from what is known of its name, content and surroundings.
    static void Settle(SalvagedEntry& e) {
        e.reason.clear();
        if (e.bodyLost) {
            e.status = SalvageStatus::Lost;
            return;
        }
        e.status = e.nameCertain && e.contentKnown && e.followedWell && e.timesCertain ? SalvageStatus::Exact
                                                                                       : SalvageStatus::Unverified;
        if (!e.nameCertain)
            e.reason = "its name shares a prefix with a name that was lost (guessed from the last name known)";
        else if (!e.contentKnown)
            e.reason = "some of its bytes lie in damage or are copied from a file that is lost or unverified";
        else if (!e.followedWell)
            e.reason = "the record behind it breaks the format";
        else if (!e.timesCertain)
            e.reason = "its times hold a byte that a repair left in doubt";
    }

    void Finish(SalvagedEntry& e) {
        if (chainOpen_) {
            chain_.push_back(e);
            return;
        }
        std::string why = e.reason;
        Settle(e);
        if (e.bodyLost) e.reason = why;
        output_.Finish(e);
        result_.entries.push_back(e);
    }

    // The entry before a broken record is in doubt: the damage may have begun in it.
    void FinishPending(bool doubt) {
        if (!pending_) return;
        if (doubt) pending_->followedWell = false;
        Finish(*pending_);
        pending_.reset();
    }

    // Folders named by entries whose names are known, and whether every known file lay
    // in one of them (then the set can tell folders that are not there).
    void NoteFolders(const EntryHeader& h) {
        if (h.isFolder) {
            folders_.insert(h.name.substr(0, h.name.size() >= 2 ? h.name.size() - 2 : 0));
            return;
        }
        size_t slash = h.name.rfind('\\');
        if (slash != std::string::npos && folders_.count(h.name.substr(0, slash)) == 0) foldersComplete_ = false;
    }

    // The names that followed a lost one are that name's first bytes (a prefix of one
    // unknown string X, shorter or equal along the chain) and bytes of their own. A name
    // whose own bytes reach into a folder says which folder X leads to: when exactly one
    // known folder fits, X is known that far, and so is every name that took no more of
    // it. Names so recovered are certain; the rest keep their guess.
    void ResolveNames() {
        if (!chainOpen_) return;
        chainOpen_ = false;
        std::string pinned;
        bool usable = chainPinnable_ && foldersComplete_ && !folders_.empty();
        for (const SalvagedEntry& e : chain_) {
            size_t slash = e.ownBytes.rfind('\\');
            if (!usable || slash == std::string::npos) continue;
            std::string tail = e.ownBytes.substr(0, slash);
            std::set<std::string> fits;
            for (const std::string& f : folders_)
                if (f.size() == e.sharedUnknown + tail.size() && f.compare(e.sharedUnknown, std::string::npos, tail) == 0)
                    fits.insert(f.substr(0, e.sharedUnknown));
            if (fits.empty()) usable = false;  // its folder is not known: trust none of it
            if (fits.size() != 1) continue;
            const std::string& x = *fits.begin();
            size_t common = std::min(x.size(), pinned.size());
            if (x.compare(0, common, pinned, 0, common) != 0) usable = false;
            if (x.size() > pinned.size()) pinned = x;
        }
        // Every name recovered must lie in a known folder.
        for (const SalvagedEntry& e : chain_) {
            if (!usable || e.sharedUnknown > pinned.size()) continue;
            std::string name = pinned.substr(0, e.sharedUnknown) + e.ownBytes;
            if (e.isFolder) name = name.substr(0, name.size() - 2);
            size_t slash = name.rfind('\\');
            if (slash != std::string::npos && folders_.count(name.substr(0, slash)) == 0) usable = false;
        }
        for (SalvagedEntry& e : chain_) {
            // A name with a byte in doubt may be longer or shorter than it reads: the
            // front a folder gives the names behind it says nothing of its end.
            if (usable && !e.nameInDoubt && e.sharedUnknown <= pinned.size()) {
                e.rawName = pinned.substr(0, e.sharedUnknown) + e.ownBytes;
                e.nameCertain = true;
            }
            std::string why = e.reason;
            Settle(e);
            if (e.bodyLost) e.reason = why;
            output_.Finish(e);
            result_.entries.push_back(e);
        }
        chain_.clear();
    }

    void NoteFormatBreak(uint64_t at, const char* what) {
        PayloadDamage d;
        d.kind = "format";
        d.payloadOffset = at;
        d.detail = what;
        for (const PayloadPiece& p : payload_.pieces)
            if (p.length > 0 && at >= p.start && at < p.start + p.length) {
                d.volume = p.volume;
                d.fileOffset = p.fileOffset + (at - p.start) / MaxPayload * MaxBlock + (at - p.start) % MaxPayload;
            }
        result_.damage.push_back(d);
    }

    // Whether a chain of records and bodies that a packer could have written starts at
    // `at` and fits the sound bytes before `end` exactly.
    bool ChainStartsAt(uint64_t at, uint64_t end) const {
        uint8_t first = bytes_[at];
        if (first < 0x20 || first == '\\') return false;
        EntryHeader h;
        if (ReadEntryHeader(bytes_, at, end, Unknown(), true, h) != ReadOutcome::Done) return false;
        int files = 0;
        for (int link = 0; link < ChainLinks; ++link) {
            uint64_t next = h.bodyStart;
            if (!h.isFolder) {
                BodyResult body = DecodeSalvageBody(bytes_, end, h, UnknownSlot(), nullptr, nullptr);
                budget_ -= std::min<uint64_t>(budget_, body.consumed + 1);
                if (body.outcome != ReadOutcome::Done) return false;
                next = body.end;
                if (++files == ChainFiles) return true;
            }
            // The end marker as the very last byte of a complete payload closes a chain too.
            if (files > 0 && next + 1 == end && end == payload_.bytes.size() && payload_.lastVolumeKnown &&
                bytes_[next] == 0)
                return true;
            EntryHeader following;
            if (ReadEntryHeader(bytes_, next, end, h.name, true, following) != ReadOutcome::Done) return false;
            h = following;
        }
        return false;
    }

    // Finds the next offset from `pos` (in `region` or a later one) where entries can
    // be trusted again; everything known of the ring's position is lost with the gap.
    // A record found there may have begun as early as `doubt` (in damage or in a record
    // that was refused), so its name may have lost its front.
    // `gapFrom`, unless NoGap, is where the files lost in the gap begin, when nothing
    // but damaged blocks lies between it and what is found: then the ring's place may
    // be recovered (LostFiles).
    bool Resync(size_t& region, uint64_t& pos, uint64_t doubt, uint64_t gapFrom) {
        for (; region < regions_.size(); ++region) {
            uint64_t end = regions_[region].second;
            // Trials read a bounded share of the bytes scanned, so that bytes made to look
            // like records at every offset cost time in proportion to their length.
            budget_ = (end - regions_[region].first) * TrialBytesPerByte + (uint64_t{1} << 24);
            for (uint64_t at = std::max(pos, regions_[region].first); at < end && budget_ > 0; ++at) {
                if (!ChainStartsAt(at, end)) continue;
                ResolveNames();
                pos = at;
                ++result_.resyncs;
                // A name of its own found by a scan may have lost its front to the damage,
                // or taken on printable bytes of the body before it: every tail of a
                // plausible name is one too. Only a shared name (its marker cannot lie
                // inside a name) starts where it is found.
                nameMayBeCut_ = true;
                (void)doubt;
                Materialize();
                std::vector<int> counts;
                if (gapFrom != NoGap && !BreakBetween(gapFrom, at)) counts = LostFiles(gapFrom, at, end);
                int lost = counts.size() == 1 ? counts[0] : -1;
                if (counts.size() > 1) {
                    // A few counts remain: each file behind the gap is decoded under each,
                    // and a byte is known only where all of them agree.
                    snapshot_.reset(new SalvageSlot[SlotCount]);
                    std::memcpy(snapshot_.get(), slots_.get(), sizeof(SalvageSlot) * SlotCount);
                    views_ = counts;
                    gapSlot_ = current_;
                    sinceGap_ = 0;
                    ++result_.ringsKept;
                }
                for (int i = 0; i < SlotCount; ++i) {
                    if (lost >= 0 && ((i - current_) & (SlotCount - 1)) >= lost) continue;
                    slots_[i].sizeKnown = false;
                    std::memset(slots_[i].known, 0, SlotCapacity);
                }
                if (lost >= 0) {
                    current_ = (current_ + lost) & (SlotCount - 1);
                    ++result_.ringsKept;
                }
                previousKnown_ = 0;
                previousFull_ = false;
                return true;
            }
        }
        return false;
    }

    bool BreakBetween(uint64_t from, uint64_t to) const {
        for (const PayloadPiece& p : payload_.pieces)
            if (p.length == 0 && p.start >= from && p.start <= to) return true;
        return false;
    }

    // How many files were lost between `gapFrom` and the record at `at`, when the
    // files behind it allow only one count. Each lost file took at least 30 bytes (a
    // name, its 0, three times, a length and a reference byte), which bounds the count;
    // for each count, the files behind that name a file from before the gap must find
    // it long enough for their prefix and for every match into its history, as they
    // do in every archive a packer writes. When one count alone passes, the ring stays
    // in place: only the slots of the lost files are unknown.
    std::vector<int> LostFiles(uint64_t gapFrom, uint64_t at, uint64_t end) const {
        struct Need {
            int reference;
            int32_t prefix, reach;
        };
        std::vector<Need> needs;
        std::string previous = Unknown();
        for (uint64_t p = at; needs.size() < SlotCount - 1 && p < end && bytes_[p] != 0;) {
            EntryHeader h;
            if (ReadEntryHeader(bytes_, p, end, previous, false, h) != ReadOutcome::Done) break;
            previous = h.name;
            if (h.isFolder) {
                p = h.bodyStart;
                continue;
            }
            BodyResult body = DecodeSalvageBody(bytes_, end, h, UnknownSlot(), nullptr, nullptr);
            if (body.outcome != ReadOutcome::Done) break;
            needs.push_back({h.reference, h.prefix, body.reach});
            p = body.end;
        }
        uint64_t most = (at - gapFrom) / 30 + 1;
        std::vector<int> found;
        for (int lost = 0; lost < SlotCount && static_cast<uint64_t>(lost) <= most; ++lost) {
            bool fits = true;
            for (size_t j = 0; j < needs.size() && fits; ++j) {
                int back = needs[j].reference - static_cast<int>(j);  // files before the first one found
                if (back <= lost) continue;                           // a file behind the gap, or a lost one
                const SalvageSlot& slot = slots_[(current_ - (back - lost)) & (SlotCount - 1)];
                if (!slot.sizeKnown) continue;
                int32_t start, length;
                SalvageHistory(slot.size, std::min(needs[j].prefix, slot.size), &start, &length);
                fits = needs[j].prefix <= slot.size && needs[j].reach <= length;
            }
            if (!fits) continue;
            if (found.size() == MaxViews) return {};
            found.push_back(lost);
        }
        return found;
    }

    // The slot that the file D places before the first one behind the gap stands in,
    // were `lost` files lost in the gap.
    const SalvageSlot& BeforeGap(int back, int lost) const {
        if (back <= lost) return UnknownSlot();
        return snapshot_[(gapSlot_ - (back - lost)) & (SlotCount - 1)];
    }

    // Decodes a body primed from before the gap once for each count of lost files that
    // remains, and keeps a byte as known only where every decoding knows it alike.
    BodyResult DecodeAcrossViews(const EntryHeader& h, uint64_t end, SalvageSlot& current, BodySink* sink,
                                 size_t trustedEnd) {
        struct Collect : BodySink {
            std::vector<uint8_t> bytes, known;
            void Put(const uint8_t* b, const uint8_t* k, size_t n) override {
                bytes.insert(bytes.end(), b, b + n);
                known.insert(known.end(), k, k + n);
            }
        };
        int back = h.reference - sinceGap_;
        if (h.fileSize > MaxViewedFile)
            return DecodeSalvageBody(bytes_, end, h, UnknownSlot(), &current, sink, trustedEnd);
        std::vector<Collect> outputs(views_.size());
        std::unique_ptr<SalvageSlot> other(new SalvageSlot);
        BodyResult result;
        for (size_t v = 0; v < views_.size(); ++v) {
            SalvageSlot& slot = v == 0 ? current : *other;
            BodyResult r = DecodeSalvageBody(bytes_, end, h, BeforeGap(back, views_[v]), &slot, &outputs[v], trustedEnd);
            if (r.outcome != ReadOutcome::Done) return r;  // the structure is the same under every count
            if (v == 0) {
                result = r;
                continue;
            }
            for (size_t i = 0; i < outputs[0].bytes.size() && i < outputs[v].bytes.size(); ++i)
                if (outputs[v].bytes[i] != outputs[0].bytes[i] || !outputs[v].known[i]) outputs[0].known[i] = 0;
            for (int32_t i = 0; i < current.size && i < SlotCapacity; ++i)
                if (other->data[i] != current.data[i] || !other->known[i]) current.known[i] = 0;
        }
        result.unknownBytes = 0;
        for (uint8_t k : outputs[0].known) result.unknownBytes += k ? 0 : 1;
        if (sink != nullptr && !outputs[0].bytes.empty())
            sink->Put(outputs[0].bytes.data(), outputs[0].known.data(), outputs[0].bytes.size());
        return result;
    }

    // Folds the counts of an earlier gap into the ring, each slot known where all agree.
    void Materialize() {
        if (views_.empty()) return;
        for (int i = 0; i < SlotCount; ++i) {
            int back = (current_ - i) & (SlotCount - 1);
            if (back != 0 && back <= sinceGap_) continue;  // a file behind the gap
            SalvageSlot& slot = slots_[i];
            const SalvageSlot& first = back == 0 ? UnknownSlot() : BeforeGap(back - sinceGap_, views_[0]);
            std::memcpy(&slot, &first, sizeof slot);
            for (size_t v = 1; v < views_.size() && back != 0; ++v) {
                const SalvageSlot& s = BeforeGap(back - sinceGap_, views_[v]);
                if (!s.sizeKnown || s.size != slot.size) slot.sizeKnown = false;
                for (int32_t j = 0; j < SlotCapacity; ++j)
                    if (s.data[j] != slot.data[j] || !s.known[j] || !slot.sizeKnown) slot.known[j] = 0;
            }
        }
        views_.clear();
        snapshot_.reset();
    }

    static constexpr uint64_t NoGap = UINT64_MAX;
    static constexpr uint64_t TrialBytesPerByte = 64;
    mutable uint64_t budget_ = 0;  // body bytes the trials of a scan may still read
    static constexpr size_t MaxViews = 16;             // counts of lost files followed at once
    static constexpr int32_t MaxViewedFile = 1 << 20;  // larger files are not decoded more than once
    static constexpr uint64_t MaxPayload = 4096, MaxBlock = 4098;
    const GatheredPayload& payload_;
    std::vector<uint8_t> patched_;  // the payload with the repairs made
    const uint8_t* bytes_;
    std::set<uint64_t> tried_;      // damaged blocks whose repair was tried
    std::set<uint64_t> doubt_;      // bytes that one of several fitting repairs changes
    SalvageOutput& output_;
    Regions regions_;
    std::unique_ptr<SalvageSlot[]> slots_;
    int current_ = 1;
    std::string previous_;
    size_t previousKnown_ = 0;
    bool previousFull_ = true;
    bool nameMayBeCut_ = false;  // the record found by a scan may have begun in the damage
    bool startInDoubt_ = false;  // the entry before ended at a place decoded from bytes in doubt
    // Entries whose names hang on a lost name, held back until that is settled.
    bool chainOpen_ = false, chainPinnable_ = false;
    size_t chainShared_ = 0;
    std::string chainOwn_;
    std::vector<SalvagedEntry> chain_;
    std::set<std::string> folders_;
    bool foldersComplete_ = true;
    // After a gap that left a few possible counts of lost files: the ring as it was before
    // the gap, the slot the first lost file took, the counts, and the files since.
    std::unique_ptr<SalvageSlot[]> snapshot_;
    int gapSlot_ = 0;
    std::vector<int> views_;
    int sinceGap_ = 0;
    int entries_ = 0;
    std::unique_ptr<SalvagedEntry> pending_;
    SalvageResult result_;
};

}  // namespace

const char* StatusName(SalvageStatus status) {
    switch (status) {
    case SalvageStatus::Exact: return "exact";
    case SalvageStatus::Unverified: return "unverified";
    case SalvageStatus::Lost: return "lost";
    }
    return "lost";
}

SalvageResult SalvageEntries(const GatheredPayload& payload, SalvageOutput& output) {
    Walk walk(payload, output);
    return walk.Run();
}
