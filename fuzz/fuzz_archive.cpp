// One program file, served from memory, through opening, info, list and test. The
// first input byte holds the switches (repairs, removable drive); the rest is what lies
// behind the 28,672-byte image: the header and the blocks.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/posix/memory_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzSwitches switches = ReadSwitches(data[0]);
    std::vector<uint8_t> program = ProgramWithTail(data + 1, size - 1);
    if (switches.repairBlocks) {
        HeaderFields header = ParseHeader(program);
        if (header.firstBlock != 0) RepairBlocks(program, header.firstBlock);
    }
    if (switches.repairSize) RepairRecordedSize(program);
    ResetForRun();
    PosixServeMemoryFile(FuzzProgramPath, program.data(), program.size());
    RunServedArchive(switches.removable);
    return 0;
}
