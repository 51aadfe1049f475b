#include "cli/archive_probe.h"

#include <cmath>
#include <fstream>

namespace {

constexpr uint64_t ImageBytes = 0x7000;
// The header's fixed bytes (size, stamp, three string ends, the final zero) and the
// shortest block that carries a byte: no first volume is smaller than this.
constexpr uint64_t SmallestHeader = 16;
constexpr uint64_t SmallestBlock = 3;
// Identity stamps are dates as days since 1899-12-30; 9999-12-31 is day 2,958,465.
constexpr double LastStampDay = 2958466;

ProbeResult No(std::string why) { return {false, std::move(why)}; }

}  // namespace

ProbeResult ProbeArchive(const std::string& path, uint64_t size) {
    if (size < ImageBytes)
        return No("it is " + std::to_string(size) + " bytes, shorter than the " + std::to_string(ImageBytes) +
                  "-byte self-extractor");
    if (size == ImageBytes) return {};  // the bare program: the core says so
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};  // the core reports why it cannot read
    file.seekg(static_cast<std::streamoff>(ImageBytes));
    uint8_t head[4];
    if (!file.read(reinterpret_cast<char*>(head), 4))
        return No("only " + std::to_string(size - ImageBytes) + " bytes follow the program, too few for a header");
    uint32_t recorded = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                        static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
    // The size is compared as a signed 32-bit number: archives are below 2 GiB.
    if (recorded > 0x7FFFFFFFu || recorded < ImageBytes + SmallestHeader + SmallestBlock)
        return No("the size it would record, " + std::to_string(recorded) + " bytes, cannot be an archive's");
    bool sizeDiffers = recorded != size;
    // The header must end inside both the file and the size it records. Running into the
    // end of a file shorter than it records is a truncated archive, which the core reports.
    bool truncated = recorded > size;
    uint64_t end = truncated ? size : recorded;
    uint64_t at = ImageBytes + 4;
    auto missing = [&](const char* what) {
        if (truncated) return ProbeResult{};
        return No(std::string("its ") + what + " does not end within " +
                  (sizeDiffers ? "the size it records" : "the file"));
    };
    auto readString = [&]() {
        char c;
        while (at < end && file.get(c)) {
            ++at;
            if (c == 0) return true;
        }
        return false;
    };
    if (!readString()) return missing("volume name");
    double stamp;
    if (at + 8 > end || !file.read(reinterpret_cast<char*>(&stamp), 8)) return missing("identity stamp");
    at += 8;
    if (!readString()) return missing("message");
    if (!readString()) return missing("run-after name");
    char last;
    if (at + 1 > end || !file.get(last)) return missing("header");
    ++at;
    if (at + SmallestBlock > end && !truncated) return No("its header leaves no room for the archive's blocks");
    // Only a file whose size disagrees needs the closer look: one of the right size is
    // judged by its blocks' check bytes, and the stub reads it whatever these say.
    if (sizeDiffers) {
        if (last != 0) return No("the byte that ends its header is not zero");
        if (!std::isfinite(stamp) || stamp < 0 || stamp >= LastStampDay) return No("its identity stamp is no date");
    }
    return {};
}
