// Hundreds of damaged copies of small archives (flipped bytes, cuts, zeroed and noisy
// runs) salvaged in the test process: no file called exact may differ from its source,
// in name or in bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include "cli/salvage_payload.h"
#include "cli/salvage_walk.h"
#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

// Keeps the bytes of every file and checks each exact one against the sound archive's.
class Checker : public SalvageOutput, public BodySink {
public:
    explicit Checker(const std::map<std::string, std::vector<uint8_t>>* sources) : sources_(sources) {}
    BodySink* BeginFile(const SalvagedEntry& e) override {
        current_ = &bytes_[e.index];
        return this;
    }
    void Put(const uint8_t* b, const uint8_t*, size_t n) override { current_->insert(current_->end(), b, b + n); }
    void Finish(const SalvagedEntry& e) override {
        if (e.status != SalvageStatus::Exact) return;
        ++exact;
        std::string key = (e.isFolder ? "D:" : "F:") + e.rawName;
        if (sources_ == nullptr) {
            found[key] = bytes_[e.index];
            return;
        }
        auto source = sources_->find(key);
        if (source == sources_->end() || source->second != bytes_[e.index]) wrong.push_back(e.rawName);
    }
    std::map<std::string, std::vector<uint8_t>> found;
    int exact = 0;
    std::vector<std::string> wrong;

private:
    const std::map<std::string, std::vector<uint8_t>>* sources_;
    std::map<int, std::vector<uint8_t>> bytes_;
    std::vector<uint8_t>* current_ = nullptr;
};

// Files with shared words, names that share prefixes, folders, a few files larger than
// a ring slot, some empty ones: what makes names and bodies hang on each other.
void MakeSmallTree(const std::string& root) {
    static const char* words[] = {"set(", "VAR_", ") ", "include ", "# note ", "alpha ", "beta\n", "0123 "};
    std::mt19937 random(99);
    const char* folders[] = {"a", "a/b", "c", "a/bc"};
    for (int f = 0; f < 24; ++f) {
        std::string folder = root + "/" + folders[f % 4];
        fs::create_directories(folder);
        size_t size = f % 9 == 0 ? 20000 : f % 5 == 0 ? 0 : 200 + random() % 3000;
        std::string text;
        while (text.size() < size) text += words[random() % 8];
        if (f % 6 == 1)
            for (int i = 0; i < 300; ++i) text += static_cast<char>('!' + random() % 90);
        WriteWholeFile(folder + "/setup_" + std::to_string(10 + f) + (f % 3 ? ".txt" : ".bat"),
                       std::vector<uint8_t>(text.begin(), text.end()));
    }
}

struct Sweep {
    int runs = 0, exact = 0, repaired = 0;  // repaired: blocks taken as put right by one byte
    std::vector<std::string> wrong;
};

// The payload's blocks start behind the program image and the header; damage falls
// anywhere from the image's end on.
constexpr size_t ImageEnd = 0x7000;

void Salvage(const std::string& path, const std::map<std::string, std::vector<uint8_t>>& sources, Sweep& sweep,
             const std::string& what) {
    GatheredPayload payload;
    std::string error;
    ++sweep.runs;
    if (!GatherPayload(path, fs::path(path).parent_path().string(), payload, error)) return;
    Checker checker(&sources);
    SalvageResult result = SalvageEntries(payload, checker);
    for (const PayloadDamage& d : result.damage) sweep.repaired += d.kind == "block repaired" ? 1 : 0;
    sweep.exact += checker.exact;
    for (const std::string& name : checker.wrong) sweep.wrong.push_back(what + ": " + name);
}

Sweep SweepArchive(const std::string& archive, uint32_t seed, int perPattern) {
    std::vector<uint8_t> original = ReadWholeFile(archive);
    std::map<std::string, std::vector<uint8_t>> sources;
    {
        GatheredPayload payload;
        std::string error;
        EXPECT_TRUE(GatherPayload(archive, fs::path(archive).parent_path().string(), payload, error)) << error;
        Checker sound(nullptr);
        SalvageResult r = SalvageEntries(payload, sound);
        EXPECT_TRUE(r.damage.empty());
        EXPECT_EQ(sound.exact, static_cast<int>(r.entries.size()));
        sources = sound.found;
    }
    std::string damaged = (fs::path(archive).parent_path() / "d.exe").string();
    std::mt19937 random(seed);
    size_t span = original.size() - ImageEnd;
    Sweep sweep;
    const bool nearOnly = std::getenv("DADUVIVU_SWEEP_NEAR_ONLY") != nullptr;
    for (int i = 0; i < perPattern; ++i) {
        for (int flips : {1, 2, 4}) {
            if (nearOnly) break;
            std::vector<uint8_t> bytes = original;
            std::string what = "seed " + std::to_string(seed) + " run " + std::to_string(i) + " flips";
            for (int k = 0; k < flips; ++k) {
                size_t at = ImageEnd + random() % span;
                bytes[at] = static_cast<uint8_t>(random());
                what += " " + std::to_string(at) + "=" + std::to_string(bytes[at]);
            }
            WriteWholeFile(damaged, bytes);
            Salvage(damaged, sources, sweep, what);
        }
        {
            // Two or three bytes of one block: a single-byte repair that fits the CRC is
            // then always wrong, however well the stream runs on.
            std::vector<uint8_t> bytes = original;
            std::string what = "seed " + std::to_string(seed) + " run " + std::to_string(i) + " near";
            size_t first = ImageEnd + random() % span;
            for (int k = 0, n = 2 + i % 2; k < n; ++k) {
                size_t at = std::min(first + (k == 0 ? 0 : random() % 3000), bytes.size() - 1);
                bytes[at] ^= static_cast<uint8_t>(1 + random() % 255);
                what += " " + std::to_string(at) + "=" + std::to_string(bytes[at]);
            }
            WriteWholeFile(damaged, bytes);
            Salvage(damaged, sources, sweep, what);
        }
        if (nearOnly) continue;
        {
            std::vector<uint8_t> bytes(original.begin(), original.begin() + ImageEnd + random() % span);
            WriteWholeFile(damaged, bytes);
            Salvage(damaged, sources, sweep, "cut at " + std::to_string(bytes.size()));
        }
        for (bool zeros : {true, false}) {
            std::vector<uint8_t> bytes = original;
            size_t at = ImageEnd + random() % span, length = 1 + random() % 6000;
            for (size_t j = at; j < std::min(at + length, bytes.size()); ++j)
                bytes[j] = zeros ? 0 : static_cast<uint8_t>(random());
            WriteWholeFile(damaged, bytes);
            Salvage(damaged, sources, sweep,
                    std::string(zeros ? "zeros" : "noise") + " at " + std::to_string(at) + "+" + std::to_string(length));
        }
    }
    return sweep;
}

void Report(const Sweep& sweep) {
    std::printf("salvage sweep: %d damaged copies, %d blocks repaired, %d exact entries checked, %zu wrong\n",
                sweep.runs, sweep.repaired, sweep.exact, sweep.wrong.size());
    for (const std::string& w : sweep.wrong) ADD_FAILURE() << "an exact entry differs from its source: " << w;
}

}  // namespace

TEST(SalvageSweep, NoExactFileOfTheSampleDiffersFromItsSource) {
    TempFolder folder;
    std::string archive = folder / "w.exe";
    ASSERT_EQ(RunCli({"pack", "-q", std::string(DADUVIVU_DOCS) + "/../samples/welcome", "-o", archive}).code, 0);
    Report(SweepArchive(archive, 1, 40));
}

TEST(SalvageSweep, NoExactFileOfATreeWithSharedNamesDiffersFromItsSource) {
    TempFolder folder;
    MakeSmallTree(folder / "tree");
    std::string archive = folder / "t.exe";
    ASSERT_EQ(RunCli({"pack", "-q", folder / "tree", "-o", archive}).code, 0);
    Report(SweepArchive(archive, 2, 40));
}

// A longer sweep over any archive: DADUVIVU_SWEEP_ARCHIVE names it (packed from a sound
// tree), DADUVIVU_SWEEP_RUNS how many rounds of the seven patterns, DADUVIVU_SWEEP_SEED the seed;
// DADUVIVU_SWEEP_NEAR_ONLY keeps only the bytes flipped within one block.
TEST(SalvageSweep, OfTheArchiveNamedInTheEnvironment) {
    const char* path = std::getenv("DADUVIVU_SWEEP_ARCHIVE");
    if (path == nullptr) GTEST_SKIP() << "DADUVIVU_SWEEP_ARCHIVE is not set";
    const char* runs = std::getenv("DADUVIVU_SWEEP_RUNS");
    const char* seed = std::getenv("DADUVIVU_SWEEP_SEED");
    TempFolder folder;
    std::string archive = folder / "a.exe";
    WriteWholeFile(archive, ReadWholeFile(path));
    Report(SweepArchive(archive, seed ? std::atoi(seed) : 3, runs ? std::atoi(runs) : 20));
}
