// Single-byte repairs of a block that fails its CRC check. The CRC is linear, so the
// check value of a damaged block differs from the stored one by the check value of the
// error alone; each byte position admits at most one error byte that explains the
// difference (two would make a burst of at most 8 bits, which the CRC never misses).
// About one position in 257 does, so a block has some sixteen candidates, of which the
// decoding of the stream must single out one.
#pragma once

#include <cstdint>
#include <vector>

struct ByteRepair {
    uint32_t index;  // in the block, check bytes included
    uint8_t mask;    // XOR that puts the byte right
};

std::vector<ByteRepair> SingleByteRepairs(const uint8_t* block, uint32_t length);

// The same by trying every position and byte: the slow and obviously right version.
std::vector<ByteRepair> SingleByteRepairsByTrial(const uint8_t* block, uint32_t length);
