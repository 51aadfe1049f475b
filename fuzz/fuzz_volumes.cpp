// A program file and its volume files, served from memory. After the switch byte the
// input holds the tail of the program file and then each volume file, every one
// introduced by the four bytes of VolumeSeparator.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/posix/memory_files.h"

namespace {

constexpr uint8_t VolumeSeparator[4] = {0xFF, 'V', 'O', 'L'};
constexpr int MaxVolumes = 12;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzSwitches switches = ReadSwitches(data[0]);
    std::vector<std::vector<uint8_t>> parts(1);
    const uint8_t* end = data + size;
    const uint8_t* at = data + 1;
    for (;;) {
        const uint8_t* next = std::search(at, end, VolumeSeparator, VolumeSeparator + 4);
        parts.back().assign(at, next);
        if (next == end || parts.size() == MaxVolumes) break;
        at = next + 4;
        parts.emplace_back();
    }
    std::vector<uint8_t> program = ProgramWithTail(parts[0].data(), parts[0].size());
    HeaderFields header = ParseHeader(program);
    if (switches.repairBlocks && header.firstBlock != 0) RepairBlocks(program, header.firstBlock);
    if (switches.repairSize) RepairRecordedSize(program);
    for (size_t v = 1; v < parts.size(); ++v) {
        std::vector<uint8_t>& volume = parts[v];
        if (switches.repairVolumeHeads) {
            if (volume.size() < 12) volume.resize(12);
            std::memcpy(volume.data(), header.stamp, 8);
            uint32_t number = static_cast<uint32_t>(v + 1);
            for (int i = 0; i < 4; ++i) volume[8 + i] = static_cast<uint8_t>(number >> (8 * i));
        }
        if (switches.repairBlocks) RepairBlocks(volume, 12);
    }
    ResetForRun();
    PosixServeMemoryFile(FuzzProgramPath, program.data(), program.size());
    for (size_t v = 1; v < parts.size(); ++v)
        PosixServeMemoryFile(FuzzVolumePath(header.volumeBase, static_cast<int>(v + 1)), parts[v].data(),
                             parts[v].size());
    RunServedArchive(switches.removable);
    return 0;
}
