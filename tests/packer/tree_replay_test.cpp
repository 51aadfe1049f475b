// Every tree build of real archives, replayed with the plain build: the packer and the
// decoder build with the fast one, so the counts each build saw are recorded while the
// archive is tested and built again the plain way, tree for tree and table for table.
#include <filesystem>
#include <memory>

#include "engine/lz_decoder.h"
#include "pack_fixture.h"
#include "plain_huffman.h"

namespace {

struct Replay {
    HuffmanModel plain[2];
    long builds = 0;
    std::string firstDifference;

    void Start() {
        InitModel(plain[0], LiteralInitialCounts);
        InitModel(plain[1], DistanceInitialCounts);
        ReferenceBuild(plain[0]);
        ReferenceBuild(plain[1]);
    }
    void Built(int tree, const HuffmanModel& fast) {
        ++builds;
        if (!firstDifference.empty()) return;
        HuffmanModel& p = plain[tree];
        std::copy(std::begin(fast.frequency), std::end(fast.frequency), p.frequency);
        ReferenceBuild(p);
        std::string d = ModelDifference(fast, p);
        if (d.empty()) d = FastTableDifference(fast, p);
        if (!d.empty()) firstDifference = "build " + std::to_string(builds) + " of tree " + std::to_string(tree) + ": " + d;
    }
};

Replay* current;

void Observe(int tree, const HuffmanModel* model) {
    if (model == nullptr)
        current->Start();
    else
        current->Built(tree, *model);
}

void ReplayTree(const std::string& folder, const std::string& program, long leastBuilds) {
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << folder << " is not on this machine";
    PackOptions options;
    options.sources = {folder};
    options.output = program;
    Pack(options);
    auto replay = std::make_unique<Replay>();
    current = replay.get();
    TreeObserver = Observe;
    CoreHarness harness;
    int code = harness.Test(program);
    TreeObserver = nullptr;
    ASSERT_EQ(code, 0) << harness.BoxTextsUtf8();
    EXPECT_EQ(replay->firstDifference, "");
    EXPECT_GE(replay->builds, leastBuilds);
}

}  // namespace

TEST_F(PackTest, EveryBuildOfThePackedCmakeModulesMatchesThePlainBuild) {
    ReplayTree("/usr/share/cmake-3.25", program, 5000);
}

TEST_F(PackTest, EveryBuildOfThePackedPythonLibraryMatchesThePlainBuild) {
    ReplayTree("/usr/lib/python3.11", program, 30000);
}
