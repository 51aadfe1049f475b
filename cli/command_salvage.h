// The --salvage form of extract, test and list.
#pragma once

#include "cli/commands.h"

enum class SalvageMode { Extract, Test, List };

struct SalvageOptions : ReadOptions {
    SalvageMode mode = SalvageMode::Test;
    std::string destination = ".";
    OverwritePolicy overwrite = OverwritePolicy::Ask;
};

inline SalvageOptions SalvageOptionsFor(const ReadOptions& read, SalvageMode mode) {
    SalvageOptions options;
    static_cast<ReadOptions&>(options) = read;
    options.mode = mode;
    return options;
}

int SalvageCommand(const SalvageOptions& options, Console& io);
