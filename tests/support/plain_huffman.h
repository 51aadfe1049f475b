// The tree build and the shortcut written the plain way, as the oracle that the fast
// ones must equal.
#pragma once

#include <string>

#include "engine/huffman.h"

// Steps 1 to 5 as written: a bubble sort whose passes restart behind their first swap,
// and each new node walked to the front one place at a time.
void ReferenceBuild(HuffmanModel& m);

// The shortcut entry for the bits `value` (first bit lowest), walking the tree a bit at
// a time: the node reached after FastBits bits or at a leaf, and the bits taken.
uint16_t PlainFastEntry(const HuffmanModel& m, uint32_t value);

// "" when the two agree in ranks, root and every node; otherwise the first difference.
std::string ModelDifference(const HuffmanModel& fast, const HuffmanModel& plain);

// "" when the shortcut of `fast` (filled whole, and filled a code at a time as the
// decoder does) gives for every value what the plain walk of `plain` gives.
std::string FastTableDifference(const HuffmanModel& fast, const HuffmanModel& plain);
