#include <CLI/CLI.hpp>

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
     broken data, cut short, size different from the recorded one, not an
     archive, a volume file missing or belonging to another archive
  4  a file or folder could not be created or written
  5  cancelled: the overwrite question answered 'cancel', or Ctrl-C

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
decoded (nothing is written); the totals count the listed entries.

--json prints one object: {"archive", "complete", "entries": [{"index", "name",
"rawName" (stored bytes in hex), "type": "file"|"folder", and for files "size",
"modified", "accessed", "created" (ISO 8601 UTC or null), "reference",
"prefix", "primedBy": {"stub": true} | {"index", "name"}}], "totals": {"files",
"folders", "bytes"}}.
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

Ctrl-C stops cleanly: the file being written is removed, the files before it
stay. Names that would lead outside DIR ('..', a leading '\', a drive or any
':') are refused: the archive counts as damaged and nothing of that entry is
written.
)";

constexpr char TestHelp[] = R"(
Decodes every file and checks every block's CRC across all volumes, writing
nothing. Exit code 0 means the whole archive is sound.
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

SIZE for --volume-size is a number of bytes with an optional suffix k
(1,024), M (1,024 k) or G (1,024 M), fractions allowed ("2.5M"), or 'floppy'
(also written 1.44M): 1,457,664 bytes, what a DOS-formatted 1.44 MB floppy
disk holds for files, so that each volume fits on one disk. The first
volume is OUT.exe; the rest are NAME_2.DAT, NAME_3.DAT, ... beside it, NAME
being --volume-base (default: OUT without .exe).
)";

void AddReadOptions(CLI::App* command, ReadOptions& o, bool patterns) {
    command->add_option("ARCHIVE", o.archive, "the self-extracting archive (.exe)")->required();
    command->add_option("--volumes", o.volumes, "folder holding the volume files (default: beside ARCHIVE)")
        ->type_name("DIR");
    if (!patterns) return;
    command->add_option("PATTERN", o.include, "select entries by name (default: all)");
    command->add_option("-x,--exclude", o.exclude, "leave out entries matching PATTERN")->type_name("PATTERN");
    command->add_flag("-C,--ignore-case", o.ignoreCase, "match patterns regardless of case");
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
    listCommand->add_flag("--json", list.json, "print JSON for programs");
    listCommand->footer(ListHelp);

    ReadOptions test;
    CLI::App* testCommand = app.add_subcommand("test", "decode everything, check every block");
    AddReadOptions(testCommand, test, false);
    testCommand->add_flag("-q,--quiet", test.quiet, "print nothing but errors");
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
    packCommand->add_option("SOURCE", pack.sources, "files and folders to store")->required();
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
    packCommand->add_option("--volume-size", pack.volumeSize, "split into volumes of at most SIZE bytes")
        ->type_name("SIZE");
    packCommand->add_option("--volume-base", pack.volumeBase, "base name of the volume files")->type_name("NAME");
    packCommand->add_option("--stub", pack.stubFile, "the 28,672-byte self-extractor image to put in front")
        ->type_name("FILE");
    packCommand->add_flag("-q,--quiet", pack.quiet, "print nothing but errors");
    packCommand->footer(PackHelp);

    // A mistyped command would otherwise be taken for an argument of a later word.
    bool known = true;
    if (argc > 1 && argv[1][0] != '-') {
        try {
            app.get_subcommand_ptr(std::string(argv[1]));
        } catch (const CLI::OptionNotFound&) {
            known = false;
        }
    }
    if (!known) {
        io.err << "daduvivu: unknown command '" << argv[1] << "' (commands: pack, list, test, extract or x, info)\n"
               << "Run 'daduvivu --help' for more information.\n";
        return ExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, io.out, io.err);
        return code == 0 ? ExitOk : ExitUsage;
    }

    if (*listCommand) return ListCommand(list, io);
    if (*testCommand) return TestCommand(test, io);
    if (*infoCommand) return InfoCommand(info, io);
    if (*packCommand) return PackCommand(pack, io);
    if (always || overwrite == "always") extract.overwrite = OverwritePolicy::Always;
    if (never || overwrite == "never") extract.overwrite = OverwritePolicy::Never;
    return ExtractCommand(extract, io);
}
