// The archive's payload as one sequence of bytes across blocks and volumes. Each block
// is up to 4,096 payload bytes followed by their CRC-16, stored high byte first.
#pragma once

#include <stdint.h>

constexpr int32_t MaxBlockLength = 0x1002;
constexpr int32_t MaxBlockPayload = MaxBlockLength - 2;

struct BlockStreamState {
    uint8_t buffer[MaxBlockLength];
    int32_t position;  // next byte to deliver
    int32_t length;    // payload bytes in the buffer
};

extern BlockStreamState BlockStream;
// Payload bytes of every block fetched since the program started: with the bytes still
// in the buffer it places the stream, so a reader can tell what a body took.
extern int64_t PayloadFetched;
extern int32_t VolumeNumber;  // 1 is the program file

// CRC-16 with polynomial 0x8005, initial value 0, no reflection, no final XOR.
uint32_t Crc16Update(uint32_t value, uint8_t byte);
uint32_t Crc16(const uint8_t* bytes, uint32_t n);
// Crc16Update from 0 over n bytes (check bytes included: 0 for a sound block).
uint32_t CrcOfBlock(const uint8_t* bytes, uint32_t n);
#ifndef DADUVIVU_COMPACT_CORE
// Whether CrcOfBlock folds sixteen bytes at a time by carry-less multiplication (the
// processor can); otherwise it takes eight at a time through tables. Tests try both.
extern bool CrcByFolding;
#endif

// Reads the next block, moving to the next volume when this one is used up.
void FetchBlock();

inline void ResetBlockStream() {
    BlockStream.position = 0;
    BlockStream.length = 0;
}

// Delivers the next payload byte; never returns without one (failures end the process).
inline uint8_t NextByte() {
    if (BlockStream.position == BlockStream.length) FetchBlock();
    return BlockStream.buffer[BlockStream.position++];
}
