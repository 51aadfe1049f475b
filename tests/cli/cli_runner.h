// Runs the daduvivu command line inside the test process and keeps what it printed.
#pragma once

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "tests/support/archive_builder.h"
#include "tests/support/harness.h"

struct CliRun {
    int code;
    std::string out, err;
};

// `input` is what the user types; `terminal` says whether questions may be asked.
inline CliRun RunCli(std::vector<std::string> args, const std::string& input = "", bool terminal = false) {
    args.insert(args.begin(), "daduvivu");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    std::istringstream in(input);
    Console io{out, err, in, terminal, false};
    int code = RunCommandLine(static_cast<int>(argv.size()), argv.data(), io);
    return {code, out.str(), err.str()};
}

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Bytes that stay about a byte each when stored as literals, so that a file spans
// blocks and volumes as its length says.
inline std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

inline std::string FileText(const std::string& path) {
    std::vector<uint8_t> bytes = ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

// A small tree: a folder, two files in it and one at the top.
inline EntryStream SampleEntries() {
    EntryStream s;
    s.Folder("docs");
    s.LiteralFile("docs\\readme.txt", Bytes("read me first\n"));
    s.LiteralFile("docs\\notes.md", Bytes("# notes\n"));
    s.LiteralFile("top.txt", Bytes("top level\n"));
    s.End();
    return s;
}

inline std::string WriteSample(const TempFolder& folder, const EntryStream& entries = SampleEntries()) {
    ArchiveLayout layout;
    layout.volumeBase = "setup";
    layout.payload = entries.bytes;
    std::string path = folder / "setup.exe";
    WriteArchive(path, layout);
    return path;
}

// first.bin (Noise(3000, 1)), then second.bin (Noise(6000, 2)) with a bit flipped in
// its last block: the archive is damaged inside the second file.
inline std::string WriteDamagedInSecondFile(const TempFolder& folder) {
    EntryStream s;
    s.LiteralFile("first.bin", Noise(3000, 1));
    s.LiteralFile("second.bin", Noise(6000, 2));
    s.End();
    std::string archive = WriteSample(folder, s);
    std::vector<uint8_t> bytes = ReadWholeFile(archive);
    bytes[bytes.size() - 10] ^= 0x04;
    WriteWholeFile(archive, bytes);
    return archive;
}
