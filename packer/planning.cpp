#include "packer/planning.h"

#include <algorithm>

#include "packer/body_encoder.h"
#include "packer/source_reader.h"

namespace {

// Trials per level. Each parses up to 32K; the first few find most of the gain (on
// CMake's modules: 2 trials 13 % smaller than always the previous file, 16 trials 1 %
// more).
constexpr size_t TrialsByLevel[] = {2, 2, 3, 4, 4, 6, 6, 10, 16};

}  // namespace

FilePlan Planner::Plan(const SourceEntry& entry, size_t index) {
    FilePlan plan;
    plan.entry = index;
    plan.number = ring_.Next();
    plan.size = entry.size;
    plan.head = ReadHead(entry, entry.size <= WholeFileLimit ? WholeFileLimit : HeadBytes);
    const int32_t known = static_cast<int32_t>(plan.head.size());
    plan.candidates = ring_.Candidates(plan.head.data(), known, TrialsByLevel[level_ - 1]);
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

ReferenceChoice ChooseReference(const FilePlan& plan, const ReferenceRing& ring, int level, MatchFinder& finder,
                                std::vector<uint8_t>& scratch) {
    const std::vector<ReferenceChoice>& candidates = plan.candidates;
    if (candidates.size() == 1 || plan.size == 0) return candidates[0];
    const LevelSettings quick = SettingsForLevel(level >= 7 ? 4 : 2);
    // The history only helps until a window's worth of bytes has followed it, so the
    // trials stop there for the longest prefix; all cover the same part of the file,
    // and a prefix is the part a trial need not encode.
    int32_t longestPrefix = 0;
    for (const ReferenceChoice& c : candidates) longestPrefix = std::max(longestPrefix, c.prefix);
    const int32_t limit = std::min<int32_t>(static_cast<int32_t>(plan.head.size()), longestPrefix + WindowSize);
    ReferenceChoice best = candidates[0];
    uint64_t bestCost = UINT64_MAX;
    for (const ReferenceChoice& c : candidates) {
        int32_t history;
        WindowFor(ring.File(plan.number - c.reference), c, plan.head.data(), limit, scratch, &history);
        uint64_t cost = EstimateBodyBits(scratch.data(), history, static_cast<int32_t>(scratch.size()), quick, finder) +
                        (c.Stored() ? 16 : 0);
        if (cost < bestCost) {
            bestCost = cost;
            best = c;
        }
    }
    return best;
}
