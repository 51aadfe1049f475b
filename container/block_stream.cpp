#include "container/block_stream.h"

#include "container/archive.h"
#include "container/fatal.h"
#include "container/volumes.h"

BlockStreamState BlockStream;
int64_t PayloadFetched;
int32_t VolumeNumber = 1;

namespace {

// The table holds the division of each byte value, shifted in from the high end.
struct CrcTable {
    uint16_t entry[256];
    constexpr CrcTable() : entry() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t v = b << 8;
            for (int i = 0; i < 8; ++i) v = (v & 0x8000) ? ((v << 1) ^ 0x8005) & 0xFFFF : (v << 1) & 0xFFFF;
            entry[b] = static_cast<uint16_t>(v);
        }
    }
};
constexpr CrcTable Table;

bool RemainingInVolume(int64_t* remaining) {
    int64_t size = 0, position = 0;
    if (!PlatSize(ArchiveFile, &size) || !PlatPosition(ArchiveFile, &position)) return false;
    *remaining = size - position;
    return true;
}

}  // namespace

// Shifting the byte in bit by bit behind the value is the same as feeding the value's
// high byte, xor the new byte, through the table and appending the byte.
uint32_t Crc16Update(uint32_t value, uint8_t byte) {
    return ((value << 8) & 0xFF00) ^ byte ^ Table.entry[(value >> 8) & 0xFF];
}

uint32_t Crc16(const uint8_t* bytes, uint32_t n) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < n; ++i) value = Crc16Update(value, bytes[i]);
    value = Crc16Update(value, 0);
    return Crc16Update(value, 0);
}

void FetchBlock() {
    int64_t remaining = 0;
    if (!RemainingInVolume(&remaining)) ReadFailure();
    if (remaining == 0) {
        OpenNextVolume();
        if (!RemainingInVolume(&remaining)) ReadFailure();
    }
    if (remaining > MaxBlockLength) remaining = MaxBlockLength;
    // Every block carries at least one payload byte; anything shorter (a volume that
    // ends in one or two stray bytes, or holds nothing behind its header) is damage.
    if (remaining < 3) CorruptArchive();
    uint32_t got = 0;
    uint32_t n = static_cast<uint32_t>(remaining);
    if (!PlatRead(ArchiveFile, BlockStream.buffer, n, &got) || got != n) ReadFailure();
    uint32_t crc = 0;
    for (uint32_t i = 0; i < n; ++i) crc = Crc16Update(crc, BlockStream.buffer[i]);
    if (crc != 0) CorruptArchive();
    BlockStream.position = 0;
    BlockStream.length = static_cast<int32_t>(n) - 2;
    PayloadFetched += BlockStream.length;
}
