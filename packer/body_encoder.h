// Compression of one file body: the parse (greedy, lazy or optimal, by level) and its
// coding with the adaptive models.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

struct LevelSettings {
    enum Strategy { Greedy, Lazy, Optimal } strategy;
    int chainDepth;     // hash chain links followed per search
    int32_t niceLength; // a match this long is taken without looking further
    int passes;         // optimal parse: pricing rounds
};

LevelSettings SettingsForLevel(int level);

// Told now and then how many bytes of the body are done, for long files.
using BodyProgress = std::function<void(int32_t done)>;

// Appends the body for window[history, total) to `out`. window[0, history) is the
// primed history the decoder will hold before the first symbol.
void EncodeBody(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings,
                std::vector<uint8_t>& out, const BodyProgress& progress = nullptr);

// A quick estimate of the body's size in bits (greedy or lazy parse, typical code
// lengths), for comparing histories.
uint64_t EstimateBodyBits(const uint8_t* window, int32_t history, int32_t total, const LevelSettings& settings);
