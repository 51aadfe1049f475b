#include <CLI/CLI.hpp>
#include <optional>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace {

constexpr char Version[] = "daduvivu 1.0.0 (archives for Brisvale Daduvivu 32D Ver 1.58 self-extractors)";

constexpr char Overview[] = R"(
Daduvivu makes and opens self-extracting archives for 32-bit Windows: a small
program (the stub) followed by the compressed files, split into volume files
NAME_2.DAT, NAME_3.DAT, ... when asked. On Linux this command packs them and
lists, tests and extracts them without Windows.

Commands:
  pack SOURCE... -o OUT.exe   make a self-extracting archive
  list ARCHIVE [PATTERN...]   show the stored files (decodes, writes nothing)
  test ARCHIVE                decode everything and check every block
  extract ARCHIVE [PATTERN...] (alias x)  write the files to a folder
  info ARCHIVE                show the archive header and the volume files found
Run 'daduvivu COMMAND --help' for the options of each.

Names: stored names are code page 932 (Shift-JIS) and become UTF-8, with '/'
between folders. A byte that does not form a code page 932 character is written
as %HH (its value in hex), and in such a file or folder name a '%' of its own is
written as %25, so the stored bytes can always be recovered by undoing every
%HH. A name without such bytes is converted as it is, '%' included; each folder
and file name along a path is judged on its own. 'list --json' also gives the
stored bytes in hex (rawName).

Volumes are looked for beside the archive, or in the folder given by
--volumes DIR; a missing or foreign volume is named in the error.

Exit codes:
  0  success
  1  a name pattern matched no entry (everything else was done)
  2  bad usage: unknown option, missing argument, bad value
  3  the archive (or a source to pack) is unreadable or damaged: CRC error,
     broken data, cut short, size different from the recorded one, a
     volume file missing or belonging to another archive
  4  a file or folder could not be created or written (or pack would
     replace a file without --force)
  5  cancelled: the overwrite question answered 'cancel', or Ctrl-C
  6  the archive cannot be opened (missing, a folder, no permission) or is
     not a Daduvivu archive at all (another program, a random file, a bare
     self-extractor with nothing behind it)

Examples:
  daduvivu pack site/ -o setup.exe --message readme.txt --run-after index.html
  daduvivu list setup.exe
  daduvivu extract setup.exe -d out/ 'docs/*'
)";

constexpr char ListHelp[] = R"(
Lists every folder and file: its number in the archive, size, last write time
(UTC), the earlier file that primes it ('stub' for the self-extractor's own
image, '#N' for entry N), the length of the prefix copied verbatim from that
file, and the name. The archive keeps no directory, so the whole archive is
decoded (nothing is written); the totals count the listed entries. Packed is
the bytes the file's compressed body takes in the archive, Ratio that as a
share of its size.

--names prints only the names, one a line, folders ending in '/'; --null
(-0) ends each name with a NUL byte instead, for 'xargs -0' and the like.

--json prints one object: {"archive", "complete", "entries": [{"index", "name",
"rawName" (stored bytes in hex), "type": "file"|"folder", and for files "size",
"packedSize", "modified", "accessed", "created" (ISO 8601 UTC or null),
"reference", "prefix", "primedBy": {"stub": true} | {"index", "name"}}],
"totals": {"files", "folders", "bytes", "packedBytes"}}.
)";

constexpr char ExtractHelp[] = R"(
Writes the stored folders and files below DIR (default: the current folder),
creating DIR if it is missing, and restores each file's last write and last
access times (Linux keeps no creation time).

PATTERN selects entries by name, shell style ('*', '?', '[...]'; '*' also
matches '/'), quoted so that the shell leaves them alone. A pattern selects a
name or everything below a folder of that name ('docs' selects docs/...).
Names are matched in UTF-8 with '/' between folders.

Existing files: --overwrite=ask (the default) asks on a terminal: y(es),
n(o), A(ll: yes to the rest), N(one: no to the rest), c(ancel); without a
terminal an existing file is kept and named on stderr. -y replaces every one,
-n keeps every one.

-p (--stdout) writes the bytes of the selected files to stdout instead, one
after the other in archive order, and creates nothing on disk; messages go to
stderr. A file cut short by damage or Ctrl-C has sent what was decoded of it.

Ctrl-C, SIGTERM and SIGHUP stop cleanly: the file being written is removed,
the files before it stay. Files are written under a temporary name and renamed
when complete, so a replaced file's hard links keep the old content. Symbolic
links below DIR are never followed: one where a folder must be is an error.
Names that would lead outside DIR ('..', a leading '\', a drive or any
':') are refused: the archive counts as damaged and nothing of that entry is
written.
)";

constexpr char TestHelp[] = R"(
Decodes every file and checks every block's CRC across all volumes, writing
nothing. Exit code 0 means the whole archive is sound.

--json prints one object: {"archive", "sound": true|false, "exitCode",
"files", "folders", "bytes" (what was decoded before any error), "errors":
[the messages, as on stderr]}.
)";

constexpr char InfoHelp[] = R"(
Shows the archive header: the file's size and the size it records, the
identity stamp (a date and time, also in every volume file), the program run
after extraction, the volume base name and the volume files found (each
checked for the archive's identity stamp and its number), and the message
text shown by the self-extractor, converted to UTF-8.
)";

constexpr char PackHelp[] = R"(
Packs SOURCE files and folders into OUT.exe: the self-extractor stub, the
header and the compressed files. A folder stores its contents (names relative
to it); a file is stored under its own name. Names must be representable in
code page 932 and files must be smaller than 2 GiB.

OUT.exe is not replaced unless --force (-f) is given, and neither are volume
files NAME_n.DAT of the same base beside it; with --force, the ones the new
archive does not need are removed, so that no stale volume is left. The
output's folder is checked before anything is compressed.

--exclude PATTERN leaves out names matching it, shell style ('*', '?',
'[...]'): a pattern without '/' is matched against each file and folder name
at any depth ('*.o', '.git'), one with '/' against the whole name below the
source ('docs/drafts/*'). A folder left out leaves out everything in it.
-T FILE (--files-from) reads further sources from FILE, one a line ('-' reads
standard input). Symbolic links are followed, as zip does, with a warning for
a link that leads outside every source given; --no-follow skips them.

--run-after NAME is the stored file opened after extraction ('/' or ''
between folders; it is stored with '', as Windows writes it). A NAME that
matches no stored file gets a warning: Windows may still find a program of
that name on its search path.

SIZE for --volume-size is a number of bytes with an optional suffix k
(1,024), M (1,024 k) or G (1,024 M), fractions allowed ("2.5M"), or 'floppy'
(also written 1.44M): 1,457,664 bytes, what a DOS-formatted 1.44 MB floppy
disk holds for files, so that each volume fits on one disk (1440k does not).
The first volume is OUT.exe; the rest are NAME_2.DAT, NAME_3.DAT, ... beside
it, NAME being --volume-base (default: OUT without .exe).
)";

void AddReadOptions(CLI::App* command, ReadOptions& o, bool patterns) {
    command->add_option("ARCHIVE", o.archive, "the self-extracting archive (.exe)")->required();
    command->add_option("--volumes", o.volumes, "folder holding the volume files (default: beside ARCHIVE)")
        ->type_name("DIR");
    auto* salvage = command->add_flag("--salvage", o.salvage, "go on past damage and recover what it spared");
    command->add_option("--report", o.report, "with --salvage: write a JSON report of every entry to FILE")
        ->type_name("FILE")
        ->needs(salvage);
    if (!patterns) return;
    command->add_option("PATTERN", o.include, "select entries by name (default: all)");
    command->add_option("-x,--exclude", o.exclude, "leave out entries matching PATTERN")->type_name("PATTERN")->allow_extra_args(false);
    command->add_flag("-C,--ignore-case", o.ignoreCase, "match patterns regardless of case");
}

// The command the words name ("extract" for x), or empty when none is given.
std::string CommandWord(int argc, const char* const* argv, CLI::App& app) {
    if (argc < 2 || argv[1][0] == '-') return std::string();
    try {
        return app.get_subcommand_ptr(std::string(argv[1]))->get_name();
    } catch (const CLI::OptionNotFound&) {
        return std::string();
    }
}

std::string SeeHelp(const std::string& command) {
    return " (see 'daduvivu " + (command.empty() ? std::string() : command + " ") + "--help')";
}

// CLI11's words for a refusal, made one line that names the right --help.
std::string UsageLine(const CLI::ParseError& e, const std::string& command) {
    std::string what = e.what();
    if (what.find(" not expected:") != std::string::npos) {
        // "The following argument(s) was/were not expected: A B"
        std::istringstream words(what.substr(what.find(':') + 1));
        std::string word, text;
        while (words >> word) {
            if (!text.empty()) text += "; ";
            text += (word.size() > 1 && word[0] == '-' ? "unknown option " : "unexpected argument ") + word;
        }
        what = text;
    } else if (what == "A subcommand is required") {
        what = "no command given (commands: pack, list, test, extract or x, info)";
    }
    return what + SeeHelp(command);
}

// What CLI11 would word wrongly, found before it parses: a mistyped command would be
// taken for an argument of a later word, an unknown option before the command for a
// missing command, and a level such as -0 for the name of a source.
std::optional<std::string> EarlyUsageError(int argc, const char* const* argv, CLI::App& app) {
    if (argc < 2) return std::nullopt;
    std::string first = argv[1];
    if (first[0] == '-') {
        if (first == "-h" || first == "--help" || first == "--version") return std::nullopt;
        return "unknown option " + first + SeeHelp("");
    }
    std::string command = CommandWord(argc, argv, app);
    if (command.empty())
        return "unknown command '" + first + "' (commands: pack, list, test, extract or x, info)" + SeeHelp("");
    if (command != "pack") return std::nullopt;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") break;
        bool digits = word.size() >= 2 && word[0] == '-' &&
                      word.find_first_not_of("0123456789", 1) == std::string::npos;
        if (digits && !(word.size() == 2 && word[1] >= '1' && word[1] <= '9'))
            return "unknown option " + word + ": the levels are -1 (fastest) to -9 (smallest)" + SeeHelp(command);
    }
    return std::nullopt;
}

}  // namespace

int RunCommandLine(int argc, const char* const* argv, Console& io) {
    CLI::App app{"daduvivu: make, list, test and extract self-extracting archives", "daduvivu"};
    app.footer(Overview);
    app.set_version_flag("--version", Version);
    app.require_subcommand(1);

    ListOptions list;
    CLI::App* listCommand = app.add_subcommand("list", "show the stored files");
    AddReadOptions(listCommand, list, true);
    auto* listJson = listCommand->add_flag("--json", list.json, "print JSON for programs");
    auto* listNames = listCommand->add_flag("--names", list.names, "print only the names, one a line (folders end in /)");
    auto* listNull = listCommand->add_flag("-0,--null", list.null, "print only the names, each ended by a NUL byte");
    listJson->excludes(listNames)->excludes(listNull);
    listCommand->footer(ListHelp);

    TestOptions test;
    CLI::App* testCommand = app.add_subcommand("test", "decode everything, check every block");
    AddReadOptions(testCommand, test, false);
    testCommand->add_flag("-q,--quiet", test.quiet, "print nothing but errors");
    testCommand->add_flag("--json", test.json, "print the verdict as JSON for programs");
    testCommand->footer(TestHelp);

    ExtractOptions extract;
    std::string overwrite;
    bool always = false, never = false;
    CLI::App* extractCommand = app.add_subcommand("extract", "write the files to a folder");
    extractCommand->alias("x");
    AddReadOptions(extractCommand, extract, true);
    extractCommand->add_option("-d,--dest", extract.destination, "destination folder, created if missing")
        ->type_name("DIR");
    auto* policy = extractCommand->add_option("--overwrite", overwrite, "existing files: ask, always or never")
                       ->check(CLI::IsMember({"ask", "always", "never"}))
                       ->type_name("WHEN");
    auto* yes = extractCommand->add_flag("-y,--yes", always, "replace existing files (--overwrite=always)");
    auto* no = extractCommand->add_flag("-n,--no", never, "keep existing files (--overwrite=never)");
    yes->excludes(no)->excludes(policy);
    no->excludes(policy);
    extractCommand->add_flag("-q,--quiet", extract.quiet, "print nothing but errors and questions");
    auto* toStdout = extractCommand->add_flag("-p,--stdout", extract.toStdout,
                                              "write the selected files' bytes to stdout, nothing to disk");
    auto* dest = extractCommand->get_option("--dest");
    toStdout->excludes(dest)->excludes(yes)->excludes(no)->excludes(policy);
    extractCommand->footer(ExtractHelp);

    InfoOptions info;
    CLI::App* infoCommand = app.add_subcommand("info", "show the archive header and volume files");
    infoCommand->add_option("ARCHIVE", info.archive, "the self-extracting archive (.exe)")->required();
    infoCommand->add_option("--volumes", info.volumes, "folder holding the volume files (default: beside ARCHIVE)")
        ->type_name("DIR");
    infoCommand->add_flag("--json", info.json, "print JSON for programs");
    infoCommand->footer(InfoHelp);

    PackCommandOptions pack;
    CLI::App* packCommand = app.add_subcommand("pack", "make a self-extracting archive");
    packCommand->add_option("SOURCE", pack.sources, "files and folders to store");
    packCommand->add_option("-o,--output", pack.output, "the program file to write")->required()->type_name(
        "OUT.exe");
    for (int level = 1; level <= 9; ++level) {
        auto* flag = packCommand->add_flag_callback(
            "-" + std::to_string(level), [&pack, level] { pack.level = level; },
            level == 1 ? "fastest" : "smallest (-2 ... -8 lie between; the default is -7)");
        if (level != 1 && level != 9) flag->group("");
    }
    packCommand->add_option("--level", pack.level, "the same as -1 ... -9")->check(CLI::Range(1, 9));
    packCommand->add_option("-j,--threads", pack.threads, "encode on N threads (default: one per core); the archive is the same for any N")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    packCommand->add_option("--message", pack.messageFile, "UTF-8 text file shown in the dialog")
        ->type_name("FILE");
    packCommand->add_option("--run-after", pack.runAfter, "program or document opened after extraction")
        ->type_name("NAME");
    packCommand->add_option("--volume-size", pack.volumeSize,
                            "split into volumes of at most SIZE bytes ('floppy': 1,457,664, what a 1.44 MB disk holds)")
        ->type_name("SIZE");
    packCommand->add_option("--volume-base", pack.volumeBase, "base name of the volume files")->type_name("NAME");
    packCommand->add_option("--stub", pack.stubFile, "the 28,672-byte self-extractor image to put in front")
        ->type_name("FILE");
    packCommand->add_flag("-f,--force", pack.force, "replace an existing OUT.exe and volume files of its name");
    packCommand->add_option("--exclude", pack.exclude, "leave out names matching PATTERN (repeatable)")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
    packCommand->add_option("-T,--files-from", pack.filesFrom, "read more sources from FILE, one a line ('-': stdin)")
        ->type_name("FILE")
        ->allow_extra_args(false);
    packCommand->add_flag("--no-follow", pack.noFollow, "skip symbolic links (by default they are followed)");
    packCommand->add_flag("-q,--quiet", pack.quiet, "print nothing but errors");
    packCommand->footer(PackHelp);

    if (auto complaint = EarlyUsageError(argc, argv, app)) {
        io.err << "daduvivu: " << *complaint << "\n";
        return ExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {  // --help and --version
            app.exit(e, io.out, io.err);
            return ExitOk;
        }
        io.err << "daduvivu: " << UsageLine(e, CommandWord(argc, argv, app)) << "\n";
        return ExitUsage;
    }

    if (*listCommand) return ListCommand(list, io);
    if (*testCommand) return TestCommand(test, io);
    if (*infoCommand) return InfoCommand(info, io);
    if (*packCommand) return PackCommand(pack, io);
    if (always || overwrite == "always") extract.overwrite = OverwritePolicy::Always;
    if (never || overwrite == "never") extract.overwrite = OverwritePolicy::Never;
    return ExtractCommand(extract, io);
}
