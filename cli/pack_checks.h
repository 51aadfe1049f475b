// What `pack` makes sure of before it compresses anything: where the output goes, what
// it would replace or leave stale, and whether the message and run-after name will do.
#pragma once

#include <string>
#include <vector>

#include "cli/commands.h"

// The volume base a pack uses: --volume-base, or the output's name without extension.
std::string VolumeBaseFor(const PackCommandOptions& options);

// Files NAME_n.DAT (n a number) in `folder`, NAME and .DAT in any case, as Windows
// finds them; sorted.
std::vector<std::string> VolumeFilesIn(const std::string& folder, const std::string& base);

struct OutputPlan {
    int code = 0;                      // ExitOk, or the exit code of a refusal already reported
    std::vector<std::string> volumes;  // volume files of the same base found beside the output
};

// Refuses (reporting on io.err) an output that is a folder, lies in a missing or
// unwritable folder, or exists without --force; and, without --force, any volume
// file of the same base beside it, which would be overwritten or left stale.
OutputPlan CheckOutput(const PackCommandOptions& options, Console& io);

// Removes the volume files that the new archive did not write; says which it could not.
void RemoveStaleVolumes(const std::vector<std::string>& found, const std::vector<std::string>& written, Console& io);

// Where the first character that code page 932 cannot hold is, as "line 3, column 7:
// 'X' (U+XXXX)"; empty when every character can be stored.
std::string UnencodableCharacter(const std::string& utf8);

// Whether a file stored from `sources` would have the stored name `runAfter` ('/' or
// '\' between folders, case ignored as Windows does).
bool StoresFile(const std::vector<std::string>& sources, const std::string& runAfter);

// The packer's messages name the temporary files it writes; people know the final names.
std::string WithoutTemporaryNames(std::string message);
