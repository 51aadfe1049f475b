// extract/test/list --salvage: damaged archives give back every file the damage spared,
// and a file called exact is always its source byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>

#include "cli/salvage_decoder.h"
#include "cli/salvage_repair.h"
#include "cli_runner.h"
#include "container/block_stream.h"

namespace fs = std::filesystem;

namespace {

// Text-like files of shared words in a few folders: they compress, prime each other
// and their names share prefixes, as in a real tree; a few are larger than a ring slot.
void MakeTree(const std::string& root) {
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "module ", "find_package(", ") ",
                                  "set(", "VAR_", "include ", "# comment ", "0123 "};
    std::mt19937 random(12345);
    const char* folders[] = {"docs", "docs/api", "src", "src/util"};
    for (int f = 0; f < 48; ++f) {
        std::string folder = root + "/" + folders[f % 4];
        fs::create_directories(folder);
        size_t size = f % 11 == 0 ? 30000 : 800 + random() % 5000;
        std::string text;
        while (text.size() < size) text += words[random() % 12];
        if (f % 7 == 0)  // some files keep a stretch of noise
            for (int i = 0; i < 600; ++i) text += static_cast<char>('!' + random() % 90);
        std::vector<uint8_t> bytes(text.begin(), text.end());
        WriteWholeFile(folder + "/file_" + std::to_string(100 + f) + ".txt", bytes);
    }
    // Files named like folders: the names behind them share all of theirs but ".txt",
    // and their own part begins with a backslash.
    WriteWholeFile(root + "/docs/api.txt", Bytes("api notes\n"));
    WriteWholeFile(root + "/src/util.txt", Bytes("util notes\n"));
}

// File offsets of the program file's blocks: behind the image, recorded size, three
// strings, the stamp and a 0 byte.
std::vector<size_t> BlockOffsets(const std::vector<uint8_t>& file) {
    size_t at = 0x7000 + 4;
    for (int i = 0; i < 3; ++i) {
        while (file[at] != 0) ++at;
        at += i == 0 ? 9 : 1;
    }
    std::vector<size_t> blocks;
    for (++at; at < file.size(); at += 4098) blocks.push_back(at);
    return blocks;
}

constexpr int Files = 50;  // in the tree MakeTree makes

struct Shares {
    int exact = 0, unverified = 0, lost = 0;
};

struct Salvage : ::testing::Test {
    TempFolder folder;
    std::string tree, archive;
    std::vector<uint8_t> original;

    void SetUp() override {
        tree = folder / "tree";
        MakeTree(tree);
        archive = folder / "a.exe";
        CliRun r = RunCli({"pack", "-q", tree, "-o", archive});
        ASSERT_EQ(r.code, 0) << r.err;
        original = ReadWholeFile(archive);
    }

    // Runs extract --salvage into a fresh folder and checks what it wrote against the
    // tree: exact files equal their source, unverified ones lie beside under
    // NAME.unverified, lost ones are not there.
    Shares Recover(const std::string& path, int expectedCode = ExitDamaged) {
        std::string out = folder / "out";
        fs::remove_all(out);
        std::string report = folder / "report.json";
        CliRun r = RunCli({"extract", "--salvage", "-q", "--report", report, path, "-d", out});
        EXPECT_EQ(r.code, expectedCode) << r.err;
        EXPECT_NE(r.err.find("salvage: "), std::string::npos) << r.err;
        nlohmann::json j = nlohmann::json::parse(FileText(report));
        Shares shares;
        for (const auto& e : j["entries"]) {
            std::string name = e["name"];
            if (e["type"] == "folder") {
                EXPECT_EQ(name.back(), '/');
                continue;
            }
            if (e["status"] == "exact") {
                ++shares.exact;
                EXPECT_TRUE(fs::exists(tree + "/" + name)) << name;
                EXPECT_EQ(ReadWholeFile(out + "/" + name), ReadWholeFile(tree + "/" + name)) << name;
            } else if (e["status"] == "unverified") {
                ++shares.unverified;
                EXPECT_TRUE(fs::exists(out + "/" + name + ".unverified")) << name;
            } else {
                ++shares.lost;
                EXPECT_FALSE(fs::exists(out + "/" + name)) << name;
            }
        }
        for (const auto& f : fs::recursive_directory_iterator(out))
            EXPECT_EQ(f.path().string().find(".daduvivu-salvage"), std::string::npos) << f.path();
        return shares;
    }

    std::string Damaged(std::vector<uint8_t> bytes) {
        std::string path = folder / "damaged.exe";
        WriteWholeFile(path, bytes);
        return path;
    }
};

TEST_F(Salvage, SoundArchiveComesBackWholeAsTheEngineDecodesIt) {
    // Every file decoded by the careful decoder equals what the engine extracts.
    ASSERT_EQ(RunCli({"extract", "-q", archive, "-d", folder / "engine"}).code, 0);
    Shares s = Recover(archive, ExitOk);
    EXPECT_EQ(s.exact, Files);
    EXPECT_EQ(s.unverified + s.lost, 0);
    for (const auto& f : fs::recursive_directory_iterator(folder / "engine")) {
        if (!f.is_regular_file()) continue;
        std::string relative = fs::relative(f.path(), folder / "engine").string();
        EXPECT_EQ(ReadWholeFile(f.path()), ReadWholeFile(folder / "out/" + relative)) << relative;
    }
    CliRun t = RunCli({"test", "--salvage", archive});
    EXPECT_EQ(t.code, ExitOk) << t.err;
    EXPECT_NE(t.err.find("54 exact, 0 unverified, 0 lost; no damage found"), std::string::npos) << t.err;
}

TEST_F(Salvage, SingleFlippedBytesAreRepairedOrSteppedOver) {
    std::vector<size_t> blocks = BlockOffsets(original);
    ASSERT_GE(blocks.size(), 10u);  // the sweep must cross many blocks
    // Every block in turn, a byte flipped near its front and one near its middle. A
    // repair keeps the places of the entries through the block, so no file is lost and
    // none behind it loses its name; what the block holds is not trusted (damage to
    // more bytes would fit the CRC as well), so the files with bytes in it and those
    // that copy from them are unverified.
    for (size_t b = 0; b < blocks.size(); ++b) {
        for (size_t where : {size_t{37}, size_t{2011}}) {
            std::vector<uint8_t> bytes = original;
            size_t at = std::min(blocks[b] + where, bytes.size() - 1);
            bytes[at] ^= 0x5A;
            Shares s = Recover(Damaged(bytes));
            EXPECT_EQ(s.lost, 0) << "block " << b;
            EXPECT_EQ(s.exact + s.unverified, Files) << "block " << b;
            if (b >= 3) EXPECT_GE(s.exact, 25) << "block " << b;
        }
    }
}

TEST_F(Salvage, RunsOfBlocksCutsAndGarbage) {
    std::vector<size_t> blocks = BlockOffsets(original);
    std::mt19937 random(7);
    {
        std::vector<uint8_t> bytes = original;  // three blocks in a row overwritten
        for (size_t i = blocks[blocks.size() / 2]; i < blocks[blocks.size() / 2 + 3]; ++i) bytes[i] = random();
        Shares s = Recover(Damaged(bytes));
        // What copies from the wiped blocks is unverified; a good share still comes back.
        EXPECT_GT(s.exact, 15);
        EXPECT_LT(s.exact, Files);
    }
    {
        std::vector<uint8_t> bytes = original;  // cut short
        bytes.resize(blocks[blocks.size() * 2 / 3] + 1000);
        Shares s = Recover(Damaged(bytes));
        EXPECT_GT(s.exact, 24);
        EXPECT_GE(s.lost, 1);
    }
    {
        std::vector<uint8_t> bytes = original;  // all but the first block replaced by noise
        for (size_t i = blocks[1]; i < bytes.size(); ++i) bytes[i] = random();
        Recover(Damaged(bytes));
    }
    {
        std::vector<uint8_t> bytes(original.begin(), original.begin() + 0x7000 + 6);  // cut in the header
        CliRun r = RunCli({"test", "--salvage", Damaged(bytes)});
        EXPECT_EQ(r.code, ExitDamaged);
        EXPECT_NE(r.err.find("no archive header"), std::string::npos) << r.err;
    }
}

TEST_F(Salvage, WipedBlocksAreDamageEvenWhenTheyPassTheirCheck) {
    // Each block in turn blanked (zeros pass the CRC) or filled with noise: the files
    // called exact are their sources (Recover), nothing stops at a false end.
    std::vector<size_t> blocks = BlockOffsets(original);
    std::mt19937 random(5);
    for (size_t b = 1; b + 1 < blocks.size(); ++b) {
        std::vector<uint8_t> bytes = original;
        for (size_t i = blocks[b]; i < blocks[b] + 4098; ++i) bytes[i] = b % 2 ? 0 : random();
        Shares s = Recover(Damaged(bytes));
        EXPECT_GT(s.exact + s.unverified, 24) << "block " << b;
        nlohmann::json j = nlohmann::json::parse(FileText(folder / "report.json"));
        EXPECT_EQ(j["damage"][0]["kind"], "block");
    }
}

TEST(SalvageRing, BehindAWipedBlockTheRingKeepsItsPlace) {
    // Over 256 small files, so that files behind a wiped block name files before it
    // from far back: the count of files lost is then the only one (or one of a few)
    // that their references allow, and the ring keeps its place.
    TempFolder folder;
    std::string tree = folder / "tree";
    std::mt19937 random(3);
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "module ", "set(", "VAR_", "0123 "};
    for (int f = 0; f < 320; ++f) {
        std::string text;
        size_t size = 200 + random() % 1500;
        while (text.size() < size) text += words[random() % 8];
        // Subfolders numbered across the tree, so that a subfolder's number tells its folder.
        std::string dir = tree + "/" + std::string(1, static_cast<char>('a' + f % 4)) + "/p" +
                          std::to_string(f / 4 % 8 + 8 * (f % 4));
        fs::create_directories(dir);
        WriteWholeFile(dir + "/f" + std::to_string(1000 + f) + ".txt", Bytes(text));
    }
    std::string archive = folder / "a.exe";
    ASSERT_EQ(RunCli({"pack", "-q", tree, "-o", archive}).code, 0);
    std::vector<uint8_t> original = ReadWholeFile(archive);
    std::vector<size_t> blocks = BlockOffsets(original);
    ASSERT_GT(blocks.size(), 12u);
    int kept = 0;
    for (size_t b : {size_t{7}, size_t{8}, size_t{12}}) {
        std::vector<uint8_t> bytes = original;
        for (size_t i = blocks[b]; i < blocks[b] + 4098; ++i) bytes[i] = static_cast<uint8_t>(random());
        std::string damaged = folder / "d.exe", report = folder / "r.json", out = folder / "out";
        WriteWholeFile(damaged, bytes);
        fs::remove_all(out);
        EXPECT_EQ(RunCli({"extract", "--salvage", "-q", "--report", report, damaged, "-d", out}).code, ExitDamaged);
        nlohmann::json j = nlohmann::json::parse(FileText(report));
        kept += j["totals"]["ringPlacesRecovered"].get<int>();
        int exact = 0;
        for (const auto& e : j["entries"]) {
            if (e["type"] != "file" || e["status"] != "exact") continue;
            ++exact;
            std::string name = e["name"];
            EXPECT_EQ(ReadWholeFile(out + "/" + name), ReadWholeFile(tree + "/" + name)) << name;
        }
        EXPECT_GT(exact, 100) << "block " << b;
    }
    EXPECT_EQ(kept, 3);
}

TEST_F(Salvage, MissingAndForeignVolumes) {
    // The two archives must have identities of their own, also where SOURCE_DATE_EPOCH
    // is set for the whole run (as a reproducible package build sets it).
    struct Epoch {
        std::optional<std::string> inherited;
        Epoch() {
            if (const char* v = std::getenv("SOURCE_DATE_EPOCH")) inherited = v;
        }
        ~Epoch() {
            if (inherited)
                setenv("SOURCE_DATE_EPOCH", inherited->c_str(), 1);
            else
                unsetenv("SOURCE_DATE_EPOCH");
        }
    } restore;
    std::string split = folder / "split";
    fs::create_directories(split);
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    ASSERT_EQ(RunCli({"pack", "-q", tree, "-o", split + "/v.exe", "--volume-size", "33k"}).code, 0);
    ASSERT_TRUE(fs::exists(split + "/v_3.DAT"));
    std::string other = folder / "other";
    fs::create_directories(other + "/t");
    WriteWholeFile(other + "/t/x.txt", Noise(120000, 3));
    setenv("SOURCE_DATE_EPOCH", "1700086400", 1);
    ASSERT_EQ(RunCli({"pack", "-q", other + "/t", "-o", other + "/v.exe", "--volume-size", "40k"}).code, 0);

    fs::rename(split + "/v_2.DAT", folder / "v_2.DAT");
    Shares missing = Recover(split + "/v.exe");
    // Files behind the gap mostly copy from files in it: the ones before come back.
    EXPECT_GE(missing.exact, 2);
    nlohmann::json j = nlohmann::json::parse(FileText(folder / "report.json"));
    EXPECT_EQ(j["damage"][0]["kind"], "volume missing");
    EXPECT_EQ(j["damage"][0]["volume"], 2);
    int behind = 0;
    for (const auto& e : j["entries"])
        if (e["payloadOffset"].get<uint64_t>() >= j["damage"][0]["payloadOffset"].get<uint64_t>()) ++behind;
    EXPECT_GT(behind, 0);

    fs::rename(folder / "v_2.DAT", split + "/v_2.DAT");
    fs::copy_file(other + "/v_2.DAT", split + "/v_2.DAT", fs::copy_options::overwrite_existing);
    Shares foreign = Recover(split + "/v.exe");
    EXPECT_GE(foreign.exact, 2);
    j = nlohmann::json::parse(FileText(folder / "report.json"));
    EXPECT_EQ(j["damage"][0]["kind"], "volume foreign");
}

TEST_F(Salvage, BytesAppendedAreLeftOutAndNamed) {
    std::vector<uint8_t> bytes = original;
    bytes.insert(bytes.end(), 100, 0x41);
    Shares s = Recover(Damaged(bytes));
    EXPECT_EQ(s.exact, Files);
    nlohmann::json j = nlohmann::json::parse(FileText(folder / "report.json"));
    ASSERT_EQ(j["damage"].size(), 1u);
    EXPECT_EQ(j["damage"][0]["kind"], "size");
    EXPECT_EQ(j["damage"][0]["length"], 100);
}

TEST_F(Salvage, WithoutTheOptionNothingChanges) {
    std::vector<size_t> blocks = BlockOffsets(original);
    std::vector<uint8_t> bytes = original;
    bytes[blocks[3] + 100] ^= 1;
    std::string path = Damaged(bytes);
    CliRun plain = RunCli({"test", path});
    EXPECT_EQ(plain.code, ExitDamaged);
    EXPECT_NE(plain.err.find("damaged"), std::string::npos);
    EXPECT_EQ(plain.err.find("salvage"), std::string::npos);
    EXPECT_EQ(RunCli({"test", "--report", folder / "r.json", path}).code, ExitUsage);
    // list --salvage shows each entry with its status and writes nothing.
    CliRun list = RunCli({"list", "--salvage", path});
    EXPECT_EQ(list.code, ExitDamaged);
    EXPECT_NE(list.out.find("exact"), std::string::npos) << list.out;
    EXPECT_NE(list.err.find("damage: 1 block"), std::string::npos) << list.err;
    CliRun json = RunCli({"list", "--salvage", "--json", path});
    EXPECT_GT(nlohmann::json::parse(json.out)["totals"]["exact"].get<int>(), 0) << json.out;
}

TEST(SalvageHostile, RecordsAtEveryOffsetAreScannedInBoundedWork) {
    // Sound blocks full of records that each claim a long body: every offset is worth
    // a trial, and each trial reads far; the scan still ends, reporting damage.
    TempFolder folder;
    std::vector<uint8_t> record = {'A', 0};
    for (int t = 0; t < 3; ++t)
        for (uint8_t b : {0x00, 0xA0, 0xB8, 0xF0, 0xCE, 0x4B, 0xD9, 0x01}) record.push_back(b);
    for (uint8_t b : {0x40, 0x42, 0x0F, 0x00, 0x00}) record.push_back(b);  // 1,000,000 bytes, no reference
    for (int i = 0; i < 20; ++i) record.insert(record.end(), {0x55, 0xAA});
    ArchiveLayout layout;
    for (int i = 0; i < 1000; ++i) layout.payload.insert(layout.payload.end(), record.begin(), record.end());
    std::string path = folder / "hostile.exe";
    WriteArchive(path, layout);
    CliRun r = RunCli({"test", "--salvage", "-q", path});
    EXPECT_EQ(r.code, ExitDamaged) << r.err;
    EXPECT_NE(r.err.find("0 exact"), std::string::npos) << r.err;
}

TEST(SalvageDecoder, RandomBodiesDecodeAsTheEngineDecodesThem) {
    // Random literals and matches, prefixes and references (matches reaching deep into
    // the primed history too): the careful decoder writes what the engine writes.
    std::mt19937 random(2024);
    for (int round = 0; round < 3; ++round) {
        TempFolder folder;
        EntryStream s;
        std::vector<int32_t> sizes;  // of the files so far, as their slots hold them
        for (int f = 0; f < 12; ++f) {
            int reference = f >= 2 && random() % 3 == 0 ? 2 : 1;
            // The first file's reference is the stub's slot, always full.
            int32_t slotSize = f - reference < 0 ? SlotCapacity : sizes[static_cast<size_t>(f - reference)];
            int32_t prefix = random() % 2 ? static_cast<int32_t>(random() % (slotSize + 1)) : 0;
            int32_t start, history;
            SalvageHistory(slotSize, prefix, &start, &history);
            std::vector<Token> tokens;
            int32_t produced = 0;
            for (int t = 0, n = 1 + random() % 2500; t < n; ++t) {
                int32_t reach = history + produced;
                if (reach > 0 && random() % 3 == 0) {
                    int length = 2 + random() % (random() % 8 == 0 ? 4351 : 40);
                    int distance = 1 + static_cast<int>(random() % std::min(reach, WindowSize));
                    tokens.push_back(Token::Match(length, distance));
                    produced += length;
                } else {
                    tokens.push_back(Token::Literal(static_cast<uint8_t>(random())));
                    ++produced;
                }
            }
            int32_t size = prefix + produced;
            if (reference == 1 && prefix == 0)
                s.File("f" + std::to_string(f), size, EncodeTokens(tokens));
            else
                s.File("f" + std::to_string(f), size, EncodeTokens(tokens), reference, static_cast<uint16_t>(prefix));
            sizes.push_back(std::min(size, SlotCapacity));
        }
        s.End();
        ArchiveLayout layout;
        layout.payload = s.bytes;
        std::string archive = folder / "r.exe";
        WriteArchive(archive, layout);
        ASSERT_EQ(RunCli({"extract", "-q", archive, "-d", folder / "engine"}).code, ExitOk);
        CliRun r = RunCli({"extract", "--salvage", "-q", archive, "-d", folder / "salvage"});
        ASSERT_EQ(r.code, ExitOk) << r.err;
        for (int f = 0; f < 12; ++f) {
            std::string name = "/f" + std::to_string(f);
            EXPECT_EQ(ReadWholeFile(folder / "salvage" + name), ReadWholeFile(folder / "engine" + name)) << name;
        }
    }
}

TEST(SalvageRepair, FastCandidatesEqualTheTrialOfEveryByte) {
    std::mt19937 random(99);
    for (uint32_t length : {3u, 40u, 300u}) {
        for (int round = 0; round < 3; ++round) {
            std::vector<uint8_t> block(length);
            for (uint8_t& b : block) b = random();
            uint32_t crc = Crc16(block.data(), length - 2);
            block[length - 2] = static_cast<uint8_t>(crc >> 8);
            block[length - 1] = static_cast<uint8_t>(crc);
            EXPECT_TRUE(SingleByteRepairs(block.data(), length).empty());
            block[random() % length] ^= static_cast<uint8_t>(1 + random() % 255);
            std::vector<ByteRepair> fast = SingleByteRepairs(block.data(), length);
            std::vector<ByteRepair> slow = SingleByteRepairsByTrial(block.data(), length);
            ASSERT_EQ(fast.size(), slow.size());
            ASSERT_FALSE(fast.empty());
            for (size_t i = 0; i < fast.size(); ++i) {
                EXPECT_EQ(fast[i].index, slow[i].index);
                EXPECT_EQ(fast[i].mask, slow[i].mask);
            }
        }
    }
}

TEST(SalvageDecoder, BoundsAndHostileRecords) {
    SalvageSlot unknown;
    unknown.sizeKnown = false;
    EntryHeader h;
    // The engine's single-literal body: 0xAE 0x01 is the byte 0x41.
    std::vector<uint8_t> record = {'A', 0};
    record.insert(record.end(), 24, 0);
    for (uint8_t b : {1, 0, 0, 0, 0, 0xAE, 0x01}) record.push_back(b);
    ASSERT_EQ(ReadEntryHeader(record.data(), 0, record.size(), "", false, h), ReadOutcome::Done);
    BodyResult body = DecodeSalvageBody(record.data(), record.size(), h, unknown, nullptr, nullptr);
    EXPECT_EQ(body.outcome, ReadOutcome::Done);
    EXPECT_EQ(body.end, record.size());
    // Every shorter cut runs out of data, never past the buffer.
    for (size_t n = 0; n < record.size(); ++n) {
        ReadOutcome read = ReadEntryHeader(record.data(), 0, n, "", false, h);
        if (read == ReadOutcome::Done)
            EXPECT_EQ(DecodeSalvageBody(record.data(), n, h, unknown, nullptr, nullptr).outcome,
                      ReadOutcome::OutOfData);
        else
            EXPECT_EQ(read, ReadOutcome::OutOfData);
    }
    // A length no body of these bytes could produce, and a name that leaves the folder.
    record[26 + 3] = 0x7F;
    ASSERT_EQ(ReadEntryHeader(record.data(), 0, record.size(), "", false, h), ReadOutcome::Done);
    EXPECT_EQ(DecodeSalvageBody(record.data(), record.size(), h, unknown, nullptr, nullptr).outcome,
              ReadOutcome::OutOfData);
    std::vector<uint8_t> parent = {'.', '.', '\\', 'x', 0};
    EXPECT_EQ(ReadEntryHeader(parent.data(), 0, parent.size(), "", false, h), ReadOutcome::Invalid);
}

}  // namespace
