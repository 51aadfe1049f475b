// Bits go out least significant first, eight to a byte, as the decoder's BitReader
// takes them.
#pragma once

#include <stdint.h>

#include <vector>

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    // Appends the low `count` bits of `value` (count at most 32), bit 0 first.
    void Put(uint32_t value, int count) {
        pending_ |= static_cast<uint64_t>(value & ((count == 32) ? 0xFFFFFFFFu : ((1u << count) - 1))) << filled_;
        filled_ += count;
        while (filled_ >= 8) {
            out_.push_back(static_cast<uint8_t>(pending_));
            pending_ >>= 8;
            filled_ -= 8;
        }
    }

    // Ends a body: the last byte's unused high bits stay 0, so the next body starts on
    // a byte boundary as the decoder expects.
    void Align() {
        if (filled_ > 0) out_.push_back(static_cast<uint8_t>(pending_));
        pending_ = 0;
        filled_ = 0;
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t pending_ = 0;
    int filled_ = 0;
};
