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
};

struct ListOptions : ReadOptions {
    bool json = false;
};

enum class OverwritePolicy { Ask, Always, Never };

struct ExtractOptions : ReadOptions {
    std::string destination = ".";
    OverwritePolicy overwrite = OverwritePolicy::Ask;
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
};

int ListCommand(const ListOptions& options, Console& io);
int TestCommand(const ReadOptions& options, Console& io);
int ExtractCommand(const ExtractOptions& options, Console& io);
int InfoCommand(const InfoOptions& options, Console& io);
int PackCommand(const PackCommandOptions& options, Console& io);

// The whole command line: parses `argv` and runs the command it names.
int RunCommandLine(int argc, const char* const* argv, Console& io);
