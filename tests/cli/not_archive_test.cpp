// Telling a foreign file from an altered archive: what lies behind the program image
// decides between "not a Daduvivu archive" (6) and the size messages (3).
#include <gtest/gtest.h>

#include "cli/archive_probe.h"
#include "cli_runner.h"

namespace {

std::vector<uint8_t> WithHeaderBytes(std::vector<uint8_t> header, size_t tail) {
    std::vector<uint8_t> file = TestStub();
    file.insert(file.end(), header.begin(), header.end());
    file.resize(file.size() + tail, 0x41);
    return file;
}

void PutSize(std::vector<uint8_t>& file, uint32_t size) {
    for (int i = 0; i < 4; ++i) file[TestStubSize + i] = static_cast<uint8_t>(size >> (8 * i));
}

CliRun ListFile(const TempFolder& folder, const std::vector<uint8_t>& bytes) {
    WriteWholeFile(folder / "f.exe", bytes);
    return RunCli({"list", folder / "f.exe"});
}

TEST(NotAnArchive, ForeignFilesAreNamedSo) {
    TempFolder folder;
    // A program with text behind its image: the size it would record is absurd.
    std::vector<uint8_t> program = WithHeaderBytes({}, 65536 - TestStubSize);
    PutSize(program, 0xFF504D4F);
    CliRun r = ListFile(folder, program);
    EXPECT_EQ(r.code, ExitNotArchive);
    EXPECT_NE(r.err.find("not a Daduvivu archive (the size it would record, 4283452751 bytes"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("altered"), std::string::npos);
    EXPECT_EQ(r.out, "");

    // A plausible size, but no zero ends the volume name within the file.
    PutSize(program, 60000);
    r = ListFile(folder, program);
    EXPECT_EQ(r.code, ExitNotArchive);
    EXPECT_NE(r.err.find("volume name does not end"), std::string::npos) << r.err;

    // Random bytes of every kind, for info too: never the size messages.
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        std::vector<uint8_t> random = TestStub();
        std::vector<uint8_t> noise = Noise(4000 + seed * 97, seed);
        random.insert(random.end(), noise.begin(), noise.end());
        WriteWholeFile(folder / "r.exe", random);
        CliRun info = RunCli({"info", folder / "r.exe"});
        EXPECT_EQ(info.code, ExitNotArchive) << seed << info.err;
        EXPECT_EQ(info.err.find("altered"), std::string::npos) << seed << info.err;
    }

    // Too short for a header behind the image; shorter than the image.
    r = ListFile(folder, WithHeaderBytes({1, 2}, 0));
    EXPECT_EQ(r.code, ExitNotArchive);
    EXPECT_NE(r.err.find("too few for a header"), std::string::npos) << r.err;
    r = ListFile(folder, std::vector<uint8_t>(100, 'M'));
    EXPECT_NE(r.err.find("shorter than the 28672-byte self-extractor"), std::string::npos) << r.err;
}

TEST(NotAnArchive, PlausibleHeadersKeepTheSizeMessages) {
    TempFolder folder;
    std::string archive = WriteSample(folder);
    std::vector<uint8_t> good = ReadWholeFile(archive);
    EXPECT_TRUE(ProbeArchive(archive, good.size()).archive);

    std::vector<uint8_t> longer = good;
    longer.insert(longer.end(), 5000, 'v');
    CliRun appended = ListFile(folder, longer);
    EXPECT_EQ(appended.code, ExitDamaged);
    EXPECT_NE(appended.err.find("appended"), std::string::npos) << appended.err;

    // Cut inside the header itself: still our archive, cut short.
    std::vector<uint8_t> cut(good.begin(), good.begin() + TestStubSize + 7);
    CliRun truncated = ListFile(folder, cut);
    EXPECT_EQ(truncated.code, ExitDamaged);
    EXPECT_NE(truncated.err.find("truncated"), std::string::npos) << truncated.err;

    // A nonzero last header byte in a file of the right size is the stub's business:
    // it reads such an archive, and so do we.
    ArchiveLayout layout;
    layout.payload = SampleEntries().bytes;
    WriteArchive(folder / "odd.exe", layout);
    std::vector<uint8_t> odd = ReadWholeFile(folder / "odd.exe");
    size_t last = TestStubSize + 4 + 1 + 8 + 1 + 1;  // three empty strings
    ASSERT_EQ(odd[last], 0);
    odd[last] = 7;
    WriteWholeFile(folder / "odd.exe", odd);
    EXPECT_EQ(RunCli({"test", folder / "odd.exe"}).code, ExitOk);
    // With data appended the same byte tells it from an archive.
    odd.push_back(0);
    CliRun foreign = ListFile(folder, odd);
    EXPECT_EQ(foreign.code, ExitNotArchive);
    EXPECT_NE(foreign.err.find("ends its header is not zero"), std::string::npos) << foreign.err;
}

}  // namespace
