#include "harness.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "container/archive.h"
#include "container/block_stream.h"
#include "container/fatal.h"
#include "container/volumes.h"
#include "engine/extract.h"
#include "fsutil/text.h"
#include "platform/posix/codepage.h"
#include "platform/posix/posix_platform.h"

TempFolder::TempFolder() {
    char pattern[] = "/tmp/daduvivu-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

CoreHarness::CoreHarness() {}

CoreHarness::~CoreHarness() {
    PosixResetPlatform();
    EntryObserver = nullptr;
    DecodeOnly = false;
}

int CoreHarness::Extract(const std::string& programFile, const std::string& destination) {
    return ExtractAs(programFile, "V:\\setup.exe", destination, "T:\\");
}

int CoreHarness::ExtractAs(const std::string& programFile, const std::string& corePath,
                           const std::string& destination, const std::string& coreTarget) {
    // Everything a new process would start with.
    PosixResetPlatform();
    std::string folder = programFile.substr(0, programFile.find_last_of('/') + 1);
    PosixMapDrive('V', folder);
    PosixMapFile(corePath, programFile);
    PosixMapDrive('T', destination);
    for (const auto& [letter, folder] : drives) PosixMapDrive(letter, folder);
    ArchiveFile = PlatNoFile;
    OutputFile = PlatNoFile;
    VolumeNumber = 1;
    CancelRequested = 0;
    bareProgram = false;
    CopyBytes(ProgramPath, corePath.c_str(), corePath.size() + 1);

    Hooks.messageBox = [this](const MessageBoxRequest& box) {
        boxes.push_back({box.id, box.owner, box.flags, box.text, box.subject});
        if (onBox) onBox(boxes.back());
        if (!answers.empty()) {
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return (box.flags & 0x0F) == BoxOk ? AnswerOk : AnswerCancel;
    };
    Hooks.statusLine = [this](const char* text) { status.push_back(text); };
    Hooks.pumpOneMessage = [this] {
        if (onPump) onPump();
    };
    Hooks.driveIsRemovable = [this](const char*) { return removableDrives; };
    Hooks.exitProcess = [](int code) { throw ProcessExit{code}; };

    try {
        DetectRemovableMode();
        if (OpenArchive() == BareProgram) {
            bareProgram = true;
            PlatClose(ArchiveFile);
            ArchiveFile = PlatNoFile;
            return 0;
        }
        ExtractEntries(coreTarget.c_str());
    } catch (const ProcessExit& exit) {
        return exit.code;
    }
    return 0;
}

int CoreHarness::Test(const std::string& programFile) {
    DecodeOnly = true;
    TempFolder nowhere;
    int code = Extract(programFile, nowhere.path);
    DecodeOnly = false;
    return code;
}

std::vector<MessageId> CoreHarness::BoxIds() const {
    std::vector<MessageId> ids;
    for (const BoxRecord& b : boxes) ids.push_back(b.id);
    return ids;
}

std::string CoreHarness::BoxTextsUtf8() const {
    std::string all;
    for (const BoxRecord& b : boxes) all += Utf8(b.text) + "\n";
    return all;
}

std::string Utf8(const std::string& cp932) { return Cp932ToUtf8(cp932); }

std::string Cp932(const std::string& utf8) {
    std::string out;
    if (!Utf8ToCp932(utf8, out)) throw std::runtime_error("not representable in code page 932: " + utf8);
    return out;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}
