#include "packer/planning.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "packer/body_encoder.h"
#include "packer/source_reader.h"

namespace {

// Trials per level. Each parses up to 32K; the first few find most of the gain (on
// CMake's modules: 2 trials 13 % smaller than always the previous file, 16 trials 1 %
// more). At level 9, 128 trials take 0.27 % off CMake's files; at level 7 the eighth
// trial took 0.03 % off CMake's tree for 1.6 % of the work.
constexpr size_t TrialsByLevel[] = {2, 2, 3, 4, 4, 6, 7, 10, 128};

// The parse of a trial. A greedy parse ranks the candidates nearly as a lazy one does
// for about two thirds of the work: at level 7 on CMake's modules the trials then take
// a tenth less of the time for 0.02 % more bytes. Level 9 keeps the lazy parse. Level 7
// follows 8 links a search: more trials of half the depth rank better for the same work
// (CMake's tree: 8 trials of 8 links 0.09 % smaller than 6 of 16).
LevelSettings TrialSettings(int level) {
    if (level >= 9) return SettingsForLevel(4);
    if (level == 8) return {LevelSettings::Greedy, 16, 128, 0};
    if (level == 7) return {LevelSettings::Greedy, 8, 128, 0};
    return SettingsForLevel(2);
}

}  // namespace

namespace {

// Files ordered together at most; a larger folder is ordered in runs of this many.
constexpr size_t OrderedRun = 1024;
// A sample found in more files than this says little about which are alike.
constexpr size_t CommonSample = 64;
constexpr int SampleWorth = 4;  // in bytes of shared name

std::string FolderPart(const std::string& name) {
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// Greedy chaining over the files [first, last): each next file is the unplaced one
// sharing most samples with the one placed last; ties and strangers go by name. What is
// learnt of each file is kept in `seen` (in the new order): its samples, and the file
// itself when it was read whole, up to KeptReadBytes in all.
void ChainBySimilarity(std::vector<SourceEntry>& entries, size_t first, size_t last, std::vector<SeenFile>& seen) {
    const size_t n = last - first;
    seen.clear();
    if (n < 3) return;
    seen.resize(n);
    std::unordered_map<uint32_t, std::vector<uint32_t>> postings;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        std::vector<uint8_t> head = ReadHead(entries[first + i], WindowSize);
        Samples(head.data(), static_cast<int32_t>(head.size()), seen[i].samples);
        for (uint32_t key : seen[i].samples) postings[key].push_back(static_cast<uint32_t>(i));
        if (head.size() == entries[first + i].size && kept + head.size() <= KeptReadBytes) {
            kept += head.size();
            seen[i].whole = std::move(head);
        }
    }
    std::vector<bool> placed(n, false);
    std::vector<uint32_t> order, shared(n, 0), touched;
    size_t nextByName = 0;
    size_t current = 0;
    for (;;) {
        placed[current] = true;
        order.push_back(static_cast<uint32_t>(current));
        if (order.size() == n) break;
        touched.clear();
        for (uint32_t key : seen[current].samples) {
            const std::vector<uint32_t>& files = postings[key];
            if (files.size() > CommonSample) continue;
            for (uint32_t j : files)
                if (!placed[j]) {
                    if (shared[j]++ == 0) touched.push_back(j);
                }
        }
        // Names are stored as they are, so each byte that the next name shares with
        // this one is a byte saved; a shared sample stands for more, and 4 bytes of name
        // per sample did best on CMake's files (0.1 % smaller than samples alone).
        size_t best = n;
        int64_t bestScore = -1;
        const std::string& name = entries[first + current].name;
        for (uint32_t j : touched) {
            const std::string& other = entries[first + j].name;
            size_t common = 0;
            while (common < other.size() && common < name.size() && other[common] == name[common]) ++common;
            const int64_t score = int64_t{SampleWorth} * shared[j] + static_cast<int64_t>(common);
            if (score > bestScore || (score == bestScore && j < best)) {
                best = j;
                bestScore = score;
            }
        }
        for (uint32_t j : touched) shared[j] = 0;
        if (best == n) {
            while (placed[nextByName]) ++nextByName;
            best = nextByName;
        }
        current = best;
    }
    std::vector<SourceEntry> run(entries.begin() + first, entries.begin() + last);
    std::vector<SeenFile> seenBefore(std::move(seen));
    seen.resize(n);
    for (size_t i = 0; i < n; ++i) {
        entries[first + i] = std::move(run[order[i]]);
        seen[i] = std::move(seenBefore[order[i]]);
    }
}

}  // namespace

size_t OrderRunBySimilarity(std::vector<SourceEntry>& entries, size_t first, std::vector<SeenFile>& seen) {
    seen.clear();
    if (entries[first].folder || entries[first].size == 0) return first + 1;
    const std::string folder = FolderPart(entries[first].name);
    size_t last = first + 1;
    while (last < entries.size() && last - first < OrderedRun && !entries[last].folder && entries[last].size != 0 &&
           FolderPart(entries[last].name) == folder)
        ++last;
    ChainBySimilarity(entries, first, last, seen);
    return last;
}

void OrderBySimilarity(std::vector<SourceEntry>& entries) {
    std::vector<SeenFile> seen;
    for (size_t first = 0; first < entries.size();) first = OrderRunBySimilarity(entries, first, seen);
}

size_t Planner::OrderRun(std::vector<SourceEntry>& entries, size_t first) {
    runFirst_ = first;
    return OrderRunBySimilarity(entries, first, seen_);
}

FilePlan Planner::Plan(const SourceEntry& entry, size_t index) {
    FilePlan plan;
    plan.entry = index;
    plan.number = ring_.Next();
    plan.size = entry.size;
    SeenFile* seen = index >= runFirst_ && index - runFirst_ < seen_.size() ? &seen_[index - runFirst_] : nullptr;
    if (seen && seen->whole.size() == entry.size && entry.size != 0)
        plan.head = std::move(seen->whole);
    else
        plan.head = ReadHead(entry, entry.size <= WholeFileLimit ? WholeFileLimit : HeadBytes);
    const int32_t known = static_cast<int32_t>(plan.head.size());
    // The ordering sampled the same first bytes.
    plan.candidates =
        ring_.Candidates(plan.head.data(), known, TrialsByLevel[level_ - 1], seen ? &seen->samples : nullptr);
    ring_.Store(plan.head.data(), known);
    return plan;
}

void WindowFor(const FileSlot& reference, const ReferenceChoice& choice, const uint8_t* data, int32_t limit,
               std::vector<uint8_t>& window, int32_t* history) {
    int32_t start;
    HistoryFor(reference, choice.prefix, &start, history);
    window.assign(reference.data + start, reference.data + start + *history);
    if (limit > choice.prefix) window.insert(window.end(), data + choice.prefix, data + limit);
}

std::vector<ReferenceChoice> RankReferences(const FilePlan& plan, const ReferenceRing& ring, int level,
                                            FileChains& chains, std::vector<uint8_t>& scratch, size_t keep) {
    const std::vector<ReferenceChoice>& candidates = plan.candidates;
    if (candidates.size() == 1 || plan.size == 0 || keep == 0) return {candidates[0]};
    const LevelSettings quick = TrialSettings(level);
    // The history only helps until a window's worth of bytes has followed it, so the
    // trials stop there for the longest prefix; all cover the same part of the file,
    // and a prefix is the part a trial need not encode.
    int32_t longestPrefix = 0;
    for (const ReferenceChoice& c : candidates) longestPrefix = std::max(longestPrefix, c.prefix);
    const int32_t limit = std::min<int32_t>(static_cast<int32_t>(plan.head.size()), longestPrefix + WindowSize);
    // The ring made chains over the file's first bytes when it was planned: where they
    // reach as far as the trials go, they serve (a chain only leads back, so chains over
    // more bytes give the same walks before `limit`).
    const FileChains* own = &chains;
    if (limit <= ring.File(plan.number).size)
        own = &ring.Chains(plan.number);
    else
        chains.Build(plan.head.data(), limit);
    keep = std::min(keep, candidates.size());
    std::vector<std::pair<uint64_t, size_t>> costs;
    costs.reserve(candidates.size());
    // The largest of the `keep` smallest costs so far: a later candidate that costs as
    // much ranks behind all of them, so its trial stops there.
    std::vector<uint64_t> kept;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const ReferenceChoice& c = candidates[i];
        const int64_t number = plan.number - c.reference;
        int32_t start, history;
        HistoryFor(ring.File(number), c.prefix, &start, &history);
        WindowFor(ring.File(number), c, plan.head.data(), limit, scratch, &history);
        TrialFinder finder(scratch.data(), history, ring.Chains(number), start, start + history, *own, c.prefix);
        const uint64_t stored = c.Stored() ? 16 : 0;
        const uint64_t enough = kept.size() < keep ? UINT64_MAX : kept.front() - std::min(kept.front(), stored);
        const uint64_t cost =
            EstimateBodyBits(scratch.data(), history, static_cast<int32_t>(scratch.size()), quick, finder, enough) +
            stored;
        costs.emplace_back(cost, i);
        if (kept.size() < keep || cost < kept.front()) {
            if (kept.size() == keep) {
                std::pop_heap(kept.begin(), kept.end());
                kept.pop_back();
            }
            kept.push_back(cost);
            std::push_heap(kept.begin(), kept.end());
        }
    }
    // Equal estimates keep the order of the candidates, so the choice never depends on
    // the sort.
    std::partial_sort(costs.begin(), costs.begin() + keep, costs.end());
    std::vector<ReferenceChoice> ranked;
    for (size_t i = 0; i < keep; ++i) ranked.push_back(candidates[costs[i].second]);
    return ranked;
}

ReferenceChoice ChooseReference(const FilePlan& plan, const ReferenceRing& ring, int level, FileChains& chains,
                                std::vector<uint8_t>& scratch) {
    return RankReferences(plan, ring, level, chains, scratch, 1)[0];
}
