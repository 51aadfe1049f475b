// Packer and decoder must never disagree: a small tree made from the input is packed at
// the level the input picks, perhaps into volumes, and extracted again by the core; every
// file must come back byte for byte.
//
// Input: a switch byte (level, volumes), then records of a name byte, a length byte and
// that many content bytes. A name byte with its high bit set makes the file a copy of the
// one before with the record's bytes appended, which is what references and prefixes are for.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "container/archive.h"
#include "engine/extract.h"
#include "fuzz/fuzz_support.h"
#include "packer/pack.h"
#include "platform/posix/posix_platform.h"

namespace fs = std::filesystem;

namespace {

struct CoreExit {
    int code;
};

const char* const Folders[] = {"", "docs/", "docs/deep/", "表/", "tools/"};
const char* const Names[] = {"a.txt", "b.bin", "readme", "設定.ini", "x", "long name with spaces.dat", "c.txt", "z"};

// A folder of this process's own, removed when it ends.
const std::string& Root() {
    static const std::string* root = [] {
        std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string pattern = base + "/fuzz_round_trip.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        if (mkdtemp(name.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(*root, ignored);
        });
        return new std::string(name.data());
    }();
    return *root;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int level = data[0] % 9 + 1;
    bool volumes = (data[0] & 0x10) != 0;
    const std::string& root = Root();
    std::string source = root + "/src", output = root + "/out", destination = root + "/dst";
    fs::remove_all(source);
    fs::remove_all(output);
    fs::remove_all(destination);
    fs::create_directories(source);
    fs::create_directories(output);
    fs::create_directories(destination);

    std::map<std::string, std::vector<uint8_t>> tree;
    std::vector<uint8_t> previous;
    size_t at = 1;
    while (at + 2 <= size && tree.size() < 24) {
        uint8_t nameByte = data[at], length = data[at + 1];
        at += 2;
        size_t n = length < size - at ? length : size - at;
        std::vector<uint8_t> content = (nameByte & 0x80) ? previous : std::vector<uint8_t>();
        content.insert(content.end(), data + at, data + at + n);
        // A byte repeated: long runs and long matches from short inputs.
        if ((nameByte & 0x40) && n > 0) content.resize(content.size() + 40 * n, data[at]);
        at += n;
        std::string name = std::string(Folders[(nameByte >> 3) % 5]) + Names[nameByte & 7];
        if (tree.count(name) != 0) name += std::to_string(tree.size());
        tree[name] = content;
        previous = content;
    }
    for (const auto& [name, content] : tree) WriteFile(source + "/" + name, content);

    PackOptions options;
    options.sources = {source};
    options.output = output + "/setup.exe";
    options.level = level;
    options.identityStamp = 46000.5;
    if (volumes) options.volumeSize = StubSize + 64 + 512 * (data[0] >> 5 & 3);
    PackResult packed;
    try {
        packed = Pack(options);
    } catch (const PackError& e) {
        std::fprintf(stderr, "pack refused a tree it should take: %s\n", e.what());
        std::abort();
    }

    ResetForRun();
    PosixMapFile("V:\\setup.exe", options.output);
    PosixMapDrive('V', output);
    PosixMapDrive('T', destination);
    std::memcpy(ProgramPath, "V:\\setup.exe", sizeof "V:\\setup.exe");
    Hooks.exitProcess = [](int code) { throw CoreExit{code}; };
    Hooks.messageBox = [](const MessageBoxRequest& box) {
        std::fprintf(stderr, "extracting what was packed showed box %d\n", static_cast<int>(box.id));
        std::abort();
        return AnswerCancel;
    };
    try {
        if (OpenArchive() != ArchiveReady) std::abort();
        ExtractEntries("T:\\");
    } catch (const CoreExit& e) {
        std::fprintf(stderr, "extracting what was packed ended with code %d\n", e.code);
        std::abort();
    }
    for (const auto& [name, content] : tree) {
        if (ReadFile(destination + "/" + name) != content) {
            std::fprintf(stderr, "%s came back different (level %d, %zu volumes)\n", name.c_str(), level,
                         packed.volumePaths.size());
            std::abort();
        }
    }
    return 0;
}
