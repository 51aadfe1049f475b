#include "cli/salvage_repair.h"

#include "container/block_stream.h"

namespace {

// The CRC register over the whole block, check bytes included: 0 for a sound block.
uint32_t Residue(const uint8_t* block, uint32_t length) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < length; ++i) value = Crc16Update(value, block[i]);
    return value;
}

}  // namespace

std::vector<ByteRepair> SingleByteRepairs(const uint8_t* block, uint32_t length) {
    std::vector<ByteRepair> repairs;
    uint32_t residue = Residue(block, length);
    if (residue == 0 || length == 0) return repairs;
    // What one set bit at the current position leaves in the register at the end,
    // for each of the 8 bits; moving one byte towards the front runs one zero byte more.
    uint32_t bit[8];
    for (int b = 0; b < 8; ++b) bit[b] = Crc16Update(0, static_cast<uint8_t>(1u << b));
    uint32_t effect[256];
    for (uint32_t index = length; index-- > 0;) {
        effect[0] = 0;
        for (uint32_t e = 1; e < 256; ++e) {
            effect[e] = effect[e & (e - 1)] ^ bit[__builtin_ctz(e)];
            if (effect[e] == residue) repairs.push_back({index, static_cast<uint8_t>(e)});
        }
        for (int b = 0; b < 8; ++b) bit[b] = Crc16Update(bit[b], 0);
    }
    return repairs;
}

std::vector<ByteRepair> SingleByteRepairsByTrial(const uint8_t* block, uint32_t length) {
    std::vector<ByteRepair> repairs;
    std::vector<uint8_t> copy(block, block + length);
    for (uint32_t index = length; index-- > 0;) {
        for (uint32_t e = 1; e < 256; ++e) {
            copy[index] ^= static_cast<uint8_t>(e);
            if (Residue(copy.data(), length) == 0) repairs.push_back({index, static_cast<uint8_t>(e)});
            copy[index] ^= static_cast<uint8_t>(e);
        }
    }
    return repairs;
}
