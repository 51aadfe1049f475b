#include "container/block_stream.h"

#include "container/archive.h"
#include "container/fatal.h"
#include "container/volumes.h"

// Block checks by carry-less multiplication: native x86-64 builds, chosen at run time.
#if !defined(DADUVIVU_COMPACT_CORE) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DADUVIVU_FOLDED_CRC 1
#include <immintrin.h>
#endif

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


// The CRC value is the remainder of the bytes read so far as one polynomial, so eight
// more bytes give value * x^64 plus each byte times its power of x, all modulo the
// polynomial. Each table holds one such product for every byte value: table d is
// (b * x^(72 - 8d)) mod P, for the value's high and low bytes (d = 0, 1) and the first
// six of the eight bytes; the last two bytes need no reduction.
#ifndef DADUVIVU_COMPACT_CORE
namespace {
struct CrcSlices {
    uint16_t entry[8][256];
    constexpr CrcSlices() : entry() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t v = b;
            for (int zeros = 1; zeros <= 9; ++zeros) {
                v = ((v << 8) & 0xFF00) ^ Table.entry[(v >> 8) & 0xFF];
                if (zeros >= 2) entry[9 - zeros][b] = static_cast<uint16_t>(v);
            }
        }
    }
};
constexpr CrcSlices Slices;
}  // namespace

#endif

#ifdef DADUVIVU_FOLDED_CRC
// Sixteen bytes at a time by carry-less multiplication. The bytes so far are a polynomial
// A of 128 bits, first byte highest; the next sixteen make it A * x^128 + D, and
// A * x^128 = A_high * x^192 + A_low * x^128, congruent to A_high * (x^192 mod P) +
// A_low * (x^128 mod P), which has at most 80 bits: so the 128 bits never grow, and stay
// congruent to the bytes read. Written out high byte first, they leave the same
// remainder as those bytes, which the table takes from there.
namespace {
// x^n mod P for n a multiple of eight: 1 shifted on by n / 8 zero bytes through the table.
constexpr uint64_t PowerModP(int n) {
    uint32_t v = 1;
    for (int i = 0; i < n / 8; ++i) v = ((v << 8) & 0xFF00) ^ Table.entry[(v >> 8) & 0xFF];
    return v;
}

__attribute__((target("pclmul,ssse3"))) uint32_t CrcFolded(const uint8_t* bytes, uint32_t n) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i k = _mm_set_epi64x(static_cast<long long>(PowerModP(192)), static_cast<long long>(PowerModP(128)));
    __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), reverse);
    uint32_t i = 16;
    for (; i + 16 <= n; i += 16) {
        __m128i high = _mm_clmulepi64_si128(a, k, 0x11);
        __m128i low = _mm_clmulepi64_si128(a, k, 0x00);
        __m128i next = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), reverse);
        a = _mm_xor_si128(_mm_xor_si128(high, low), next);
    }
    uint8_t written[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(written), _mm_shuffle_epi8(a, reverse));
    uint32_t value = 0;
    for (uint8_t b : written) value = Crc16Update(value, b);
    for (; i < n; ++i) value = Crc16Update(value, bytes[i]);
    return value;
}
}  // namespace

bool CrcByFolding = (__builtin_cpu_init(), __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"));
#elif !defined(DADUVIVU_COMPACT_CORE)
bool CrcByFolding = false;
#endif

uint32_t CrcOfBlock(const uint8_t* bytes, uint32_t n) {
    uint32_t value = 0;
    uint32_t i = 0;
#ifdef DADUVIVU_FOLDED_CRC
    if (CrcByFolding && n >= 32) return CrcFolded(bytes, n);
#endif
#ifndef DADUVIVU_COMPACT_CORE
    for (; i + 8 <= n; i += 8) {
        const uint8_t* b = bytes + i;
        value = Slices.entry[0][value >> 8] ^ Slices.entry[1][value & 0xFF] ^ Slices.entry[2][b[0]] ^
                Slices.entry[3][b[1]] ^ Slices.entry[4][b[2]] ^ Slices.entry[5][b[3]] ^ Slices.entry[6][b[4]] ^
                Slices.entry[7][b[5]] ^ static_cast<uint32_t>(b[6]) << 8 ^ b[7];
    }
#endif
    for (; i < n; ++i) value = Crc16Update(value, bytes[i]);
    return value;
}

uint32_t Crc16(const uint8_t* bytes, uint32_t n) {
    uint32_t value = CrcOfBlock(bytes, n);
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
    if (CrcOfBlock(BlockStream.buffer, n) != 0) CorruptArchive();
    BlockStream.position = 0;
    BlockStream.length = static_cast<int32_t>(n) - 2;
    PayloadFetched += BlockStream.length;
}
