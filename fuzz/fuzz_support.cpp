#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/archive_session.h"
#include "cli/time_text.h"
#include "container/archive.h"
#include "container/block_stream.h"
#include "container/volumes.h"
#include "engine/extract.h"
#include "packer/pack.h"
#include "platform/posix/codepage.h"
#include "platform/posix/memory_files.h"
#include "platform/posix/posix_platform.h"

const char FuzzProgramPath[] = "V:\\archive.exe";

namespace {

struct CoreExit {
    int code;
};

RunResult* Current = nullptr;
volatile size_t Sink;  // keeps the conversions of names and times from being left out

bool Observe(const EntryEvent& e) {
    if (e.decoded) return true;
    Sink = Sink + DisplayName(e.name).size();
    if (e.isFolder) {
        ++Current->folders;
    } else {
        ++Current->files;
        Current->bytes += static_cast<uint64_t>(e.fileSize);
        Sink = Sink + FileTimeText(e.write).size() + FileTimeText(e.creation, false).size();
    }
    return true;
}

}  // namespace

FuzzSwitches ReadSwitches(uint8_t byte) {
    return {(byte & 1) != 0, (byte & 2) != 0, (byte & 4) != 0, (byte & 0x80) != 0};
}

std::vector<uint8_t> ProgramWithTail(const uint8_t* tail, size_t size) {
    const std::vector<uint8_t>& stub = DefaultStubImage();
    std::vector<uint8_t> program(stub);
    program.insert(program.end(), tail, tail + size);
    return program;
}

HeaderFields ParseHeader(const std::vector<uint8_t>& program) {
    HeaderFields h;
    size_t at = StubSize + 4;
    auto string = [&](std::string* into) {
        size_t start = at;
        while (at < program.size() && program[at] != 0) ++at;
        if (at >= program.size()) return false;
        if (into) into->assign(program.begin() + static_cast<long>(start), program.begin() + static_cast<long>(at));
        ++at;
        return true;
    };
    if (at > program.size() || !string(&h.volumeBase)) return h;
    if (program.size() - at < 8) return h;
    std::memcpy(h.stamp, program.data() + at, 8);
    at += 8;
    if (!string(nullptr) || !string(nullptr) || at >= program.size()) return h;
    h.firstBlock = at + 1;
    return h;
}

void RepairRecordedSize(std::vector<uint8_t>& program) {
    if (program.size() < StubSize + 4) return;
    uint32_t size = static_cast<uint32_t>(program.size());
    for (int i = 0; i < 4; ++i) program[StubSize + i] = static_cast<uint8_t>(size >> (8 * i));
}

void RepairBlocks(std::vector<uint8_t>& file, size_t from) {
    for (size_t at = from; at + 3 <= file.size(); at += MaxBlockLength) {
        size_t n = file.size() - at < static_cast<size_t>(MaxBlockLength) ? file.size() - at : MaxBlockLength;
        uint32_t crc = Crc16(file.data() + at, static_cast<uint32_t>(n - 2));
        file[at + n - 2] = static_cast<uint8_t>(crc >> 8);
        file[at + n - 1] = static_cast<uint8_t>(crc);
    }
}

std::string FuzzVolumePath(const std::string& volumeBase, int number) {
    return "V:\\" + volumeBase + "_" + std::to_string(number) + ".DAT";
}

void ResetForRun() {
    ResetCore();
    // A volume that is not served is missing: no path of the archive reaches the disk.
    PosixMapDrive('V', "/dev/null/served-from-memory");
}

RunResult RunServedArchive(bool removable) {
    RunResult result;
    Current = &result;
    int promptsLeft = 2;  // disks "inserted" before the prompts are cancelled
    Hooks.exitProcess = [](int code) { throw CoreExit{code}; };
    Hooks.messageBox = [&promptsLeft](const MessageBoxRequest& box) {
        unsigned type = box.flags & 0x0F;
        if (type == BoxOk) return AnswerOk;
        if (type == BoxOkCancel && promptsLeft-- > 0) return AnswerOk;
        return AnswerCancel;
    };
    Hooks.driveIsRemovable = [removable](const char*) { return removable; };
    std::memcpy(ProgramPath, FuzzProgramPath, sizeof FuzzProgramPath);
    try {
        DetectRemovableMode();
        if (OpenArchive() == BareProgram) {
            PlatClose(ArchiveFile);
            ArchiveFile = PlatNoFile;
            return result;
        }
        // What info shows.
        Sink = Sink + Cp932ToUtf8(ArchiveHeader.VolumeBaseName.text).size() +
               Cp932ToUtf8(ArchiveHeader.RunAfter.text).size() + Cp932ToUtf8(PosixMessageText).size() +
               OleDateText(ArchiveHeader.IdentityStamp).size();
        // What list and test do: every entry decoded, nothing written.
        DecodeOnly = true;
        EntryObserver = &Observe;
        ExtractEntries("X:\\");
        result.reachedEnd = !CancelRequested;
    } catch (const CoreExit& e) {
        result.exitCode = e.code;
    }
    if (ArchiveFile != PlatNoFile) PlatClose(ArchiveFile);
    ArchiveFile = PlatNoFile;
    EntryObserver = nullptr;
    DecodeOnly = false;
    Current = nullptr;
    // DADUVIVU_FUZZ_TRACE=1 says how each input ended, to check seeds and findings.
    static const bool trace = std::getenv("DADUVIVU_FUZZ_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "exit %d, end marker %s, %llu files (%llu bytes), %llu folders\n", result.exitCode,
                     result.reachedEnd ? "reached" : "not reached", static_cast<unsigned long long>(result.files),
                     static_cast<unsigned long long>(result.bytes), static_cast<unsigned long long>(result.folders));
    return result;
}
