// Compression of one file body: the parse (greedy, lazy or optimal, by level) and its
// coding with the adaptive models.
#pragma once

#include <stdint.h>

#include <memory>
#include <vector>

struct LevelSettings {
    enum Strategy { Greedy, Lazy, Optimal } strategy;
    int chainDepth;     // hash chain links followed per search
    int32_t niceLength; // a match this long is taken without looking further
    int passes;         // optimal parse: pricing rounds
    bool priceShort = false;  // optimal parse: short chunks too by a trial coding
    bool textPairs = true;    // optimal parse: 2-byte matches in text too, not only in binary bodies
    // Optimal parse: code lengths estimated from the counts at each rebuild of the trees
    // that price the path, instead of the trees themselves (EstimateLengths).
    bool estimatedPrices = false;
};

// Whether the optimal parse looks for 2-byte matches in the body that starts with these
// bytes. They pay in binary files (Python's library at level 7: 0.14 % smaller with
// them); in text they hardly ever beat two literals (CMake's tree: 13 bytes) and cost a
// twentieth of the work. A body whose first 4 KB are at least one sixty-fourth control
// bytes is binary.
bool UsesPairs(const LevelSettings& settings, const uint8_t* body, int64_t bytes);

LevelSettings SettingsForLevel(int level);

class MatchFinder;

// Appends the body for window[history, total) to `out`. window[0, history) is the
// primed history the decoder will hold before the first symbol. The whole file in
// memory: the plain form of what BodyEncoder does in a stream, byte for byte the same.
void EncodeBody(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                std::vector<uint8_t>& out);

// A quick estimate of the body's size in bits (greedy or lazy parse, typical code
// lengths), for comparing histories; the finder is lent by the caller.
uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                          MatchFinder& finder);
uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings);
// The same parse over chains made beforehand (see TrialFinder). It stops as soon as
// the estimate reaches `enough` (a trial that can no longer win) and then returns at
// least that much.
class TrialFinder;
uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                          const TrialFinder& finder, uint64_t enough = UINT64_MAX);

// Encodes a body that arrives in pieces, holding only the last window and one chunk:
// memory does not grow with the file. One encoder serves body after body.
class BodyEncoder {
public:
    static constexpr int32_t DefaultChunk = 1 << 20;
    explicit BodyEncoder(int32_t chunk = DefaultChunk);
    ~BodyEncoder();
    BodyEncoder(const BodyEncoder&) = delete;
    BodyEncoder& operator=(const BodyEncoder&) = delete;

    // Starts a body of `bodyBytes` bytes primed with `history` (at most WindowSize
    // bytes); its bytes are appended to `out` as they are made.
    void Begin(const uint8_t* history, int32_t historyLength, int64_t bodyBytes, const LevelSettings& settings,
               std::vector<uint8_t>& out);
    // The next bytes of the body; `out` may be emptied by the caller between calls.
    void Feed(const uint8_t* bytes, size_t n);
    // After the announced bytes: the rest of the body, ending on a byte boundary.
    void Finish();

private:
    struct State;
    void Encode(bool final);
    std::unique_ptr<State> s_;
};
