#include "pack_fixture.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <map>

#include "container/block_stream.h"
#include "engine/extract.h"

namespace fs = std::filesystem;

PackTest::PackTest() { fs::create_directories(source); }

void PackTest::MakeFile(const std::string& relative, const std::vector<uint8_t>& bytes, int64_t mtime) {
    std::string path = source + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    WriteWholeFile(path, bytes);
    struct timeval times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 500000}};
    utimes(path.c_str(), times);
}

void PackTest::MakeFolder(const std::string& relative) { fs::create_directories(source + "/" + relative); }

PackOptions PackTest::Options(int level) const {
    PackOptions o;
    o.sources = {source};
    o.output = program;
    o.level = level;
    o.identityStamp = 46000.5;
    return o;
}

PackResult PackTest::PackSource(const PackOptions& options) { return Pack(options); }

namespace {

struct Item {
    bool folder;
    std::vector<uint8_t> bytes;
    int64_t mtimeNs;
};

std::map<std::string, Item> Tree(const std::string& root) {
    std::map<std::string, Item> items;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).string();
        struct stat st;
        stat(it->path().c_str(), &st);
        Item item{it->is_directory(), {}, 0};
        if (!item.folder) {
            item.bytes = ReadWholeFile(it->path().string());
            item.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        items[rel] = item;
    }
    return items;
}

}  // namespace

void PackTest::ExpectRestored() {
    std::string destination = temp / "out";
    fs::remove_all(destination);
    fs::create_directories(destination);
    CoreHarness harness;
    ASSERT_EQ(harness.Extract(program, destination), 0) << harness.BoxTextsUtf8();
    EXPECT_TRUE(harness.boxes.empty()) << harness.BoxTextsUtf8();
    auto want = Tree(source);
    auto got = Tree(destination);
    ASSERT_EQ(want.size(), got.size());
    for (const auto& [name, item] : want) {
        auto found = got.find(name);
        ASSERT_NE(found, got.end()) << name << " was not restored";
        EXPECT_EQ(found->second.folder, item.folder) << name;
        EXPECT_TRUE(found->second.bytes == item.bytes) << name << " differs";
        // Windows file times count 100 ns.
        EXPECT_EQ(found->second.mtimeNs / 100, item.mtimeNs / 100) << name;
    }
}

std::vector<uint8_t> PackTest::RandomBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

std::vector<uint8_t> PackTest::TextBytes(size_t n, uint32_t seed) {
    static const char* words[] = {"the ", "archive ", "stub ", "folder ", "extract ", "volume ", "code ",
                                  "page ", "window ", "history ", "prefix ", "\n", "match ", "literal ",
                                  "def ", "return ", "self", ".", "(", ")", ":\n    ", "import "};
    std::vector<uint8_t> out;
    uint32_t x = seed * 2654435761u + 7;
    while (out.size() < n) {
        x = x * 1103515245 + 12345;
        const char* w = words[(x >> 16) % (sizeof words / sizeof *words)];
        while (*w && out.size() < n) out.push_back(static_cast<uint8_t>(*w++));
    }
    return out;
}

std::vector<uint8_t> EntryStreamOf(const std::string& programFile) {
    std::vector<uint8_t> file = ReadWholeFile(programFile);
    size_t at = 0x7000 + 4;
    for (int strings = 0; strings < 3; ++strings) {
        while (file.at(at) != 0) ++at;
        at += strings == 0 ? 9 : 1;  // the zero, and after the base name the identity stamp
    }
    ++at;  // the single 0 byte
    std::vector<uint8_t> payload;
    while (at < file.size()) {
        size_t n = std::min<size_t>(MaxBlockLength, file.size() - at);
        payload.insert(payload.end(), file.begin() + at, file.begin() + at + n - 2);
        at += n;
    }
    return payload;
}

namespace {
std::vector<DecodedFile>* Decoded;
bool RecordDecoded(const EntryEvent& e) {
    if (e.decoded && !e.isFolder) Decoded->push_back({e.name, e.reference, e.prefix});
    return true;
}
}  // namespace

std::vector<DecodedFile> DecodedFiles(const std::string& programFile) {
    std::vector<DecodedFile> files;
    Decoded = &files;
    CoreHarness harness;
    EntryObserver = RecordDecoded;
    int code = harness.Test(programFile);
    EntryObserver = nullptr;
    EXPECT_EQ(code, 0) << harness.BoxTextsUtf8();
    return files;
}
