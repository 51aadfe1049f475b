// The daduvivu commands. Each returns an exit code (exit_codes.h) and writes only to
// the console it is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/console.h"

struct ReadOptions {
    std::string archive;
    std::string volumes;              // folder of the volume files; empty: beside the archive
    std::vector<std::string> include, exclude;
    bool ignoreCase = false;
    bool quiet = false;
    bool salvage = false;             // recover what damage spared
    std::string report;               // with salvage: the JSON report's file
};

struct ListOptions : ReadOptions {
    bool json = false;
    bool names = false;  // names only, one a line
    bool null = false;   // names only, each ended by a NUL byte
};

struct TestOptions : ReadOptions {
    bool json = false;
};

enum class OverwritePolicy { Ask, Always, Never };

struct ExtractOptions : ReadOptions {
    std::string destination = ".";
    OverwritePolicy overwrite = OverwritePolicy::Ask;
    bool toStdout = false;  // the selected files' bytes on stdout, nothing on disk
};

struct InfoOptions {
    std::string archive;
    std::string volumes;
    bool json = false;
};

struct PackCommandOptions {
    std::vector<std::string> sources;
    std::string output;
    int level = 0;                    // 0: the packer's default
    int threads = 0;                  // 0: one per core
    std::string messageFile;
    std::string runAfter;
    std::string volumeSize;
    std::string volumeBase;
    std::string stubFile;
    bool quiet = false;
    bool force = false;                 // replace an existing output and its volume files
    std::vector<std::string> exclude;   // patterns of names to leave out
    std::vector<std::string> filesFrom; // files naming further sources, one a line; "-": stdin
    bool noFollow = false;              // skip symbolic links instead of following them
};

int ListCommand(const ListOptions& options, Console& io);
int TestCommand(const TestOptions& options, Console& io);
int ExtractCommand(const ExtractOptions& options, Console& io);
// extract -p: every selected file's bytes, one after the other, in archive order.
int ExtractToStdout(const ExtractOptions& options, Console& io);
int InfoCommand(const InfoOptions& options, Console& io);
int PackCommand(const PackCommandOptions& options, Console& io);

// The whole command line: parses `argv` and runs the command it names.
int RunCommandLine(int argc, const char* const* argv, Console& io);
