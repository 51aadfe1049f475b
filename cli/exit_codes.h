// The process exit codes of daduvivu. Scripts depend on them: never renumber.
#pragma once

enum ExitCode {
    ExitOk = 0,
    ExitNoMatch = 1,     // a name pattern selected nothing; everything else went well
    ExitUsage = 2,       // bad command line
    ExitDamaged = 3,     // archive (or a source) unreadable, damaged, truncated, or a volume missing
    ExitWriteFailed = 4, // a file or folder could not be created or written
    ExitCancelled = 5,   // the user cancelled, or Ctrl-C
    ExitNotArchive = 6,  // the archive cannot be opened, or the file is no archive at all
};
