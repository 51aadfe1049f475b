// The build step that holds the stub to its 28,672 bytes: a larger image must stop the
// build, and a smaller one must come out padded with zeros, its own bytes unchanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t Limit = 28672;

class PadTool : public ::testing::Test {
protected:
    void SetUp() override {
        // One folder per test: CTest runs the tests of this file side by side.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = ::testing::TempDir() + "pad_tool_" + test->name() + "_" + std::to_string(getpid()) + "/";
        ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string Write(const std::string& name, size_t size) {
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + i % 251);
        std::ofstream(dir + name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
        return dir + name;
    }
    int Pad(const std::string& in, const std::string& out) {
        std::string command = std::string("'") + STUB_IMAGE_TOOL + "' pad '" + in + "' '" + out + "' >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::vector<unsigned char> Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string dir;
};

TEST_F(PadTool, RefusesAnImageOverTheLimit) {
    std::string out = dir + "sfx.exe";
    EXPECT_NE(Pad(Write("big.exe", Limit + 1), out), 0);
    EXPECT_FALSE(std::ifstream(out).good()) << "no image may be left behind for the next step";
}

TEST_F(PadTool, PadsWithZerosKeepingTheImage) {
    std::string in = Write("small.exe", 1000);
    ASSERT_EQ(Pad(in, dir + "sfx.exe"), 0);
    std::vector<unsigned char> original = Read(in), padded = Read(dir + "sfx.exe");
    ASSERT_EQ(padded.size(), Limit);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), padded.begin()));
    for (size_t i = original.size(); i < Limit; ++i) ASSERT_EQ(padded[i], 0) << "at " << i;
}

TEST_F(PadTool, TakesAnImageOfExactlyTheLimit) {
    std::string in = Write("exact.exe", Limit);
    ASSERT_EQ(Pad(in, dir + "sfx.exe"), 0);
    EXPECT_EQ(Read(dir + "sfx.exe"), Read(in));
}

}  // namespace
