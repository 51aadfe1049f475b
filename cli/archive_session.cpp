#include "cli/archive_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/archive_probe.h"
#include "cli/scoped_interrupt.h"
#include "cli/terminal_text.h"
#include "container/archive.h"
#include "container/block_stream.h"
#include "container/fatal.h"
#include "container/volumes.h"
#include "engine/extract.h"
#include "engine/lz_decoder.h"
#include "platform/posix/codepage.h"
#include "platform/posix/deferred_writes.h"
#include "platform/posix/posix_platform.h"

namespace {

// The core ends the process on every fatal error; inside a session that becomes this
// exception, so that the command can finish its output and choose the exit code.
struct CoreExit {
    int code;
};

ArchiveSession* Active = nullptr;
constexpr char CoreProgramPath[] = "V:\\archive.exe";

void OnInterrupt(int) { CancelRequested = 1; }

std::string Folder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

uint32_t LittleEndian32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

}  // namespace

void ResetCore() {
    PosixResetPlatform();
    EntryObserver = nullptr;
    DecodeOnly = false;
    CancelRequested = 0;
    RemovableMode = 0;
    ArchiveFile = PlatNoFile;
    OutputFile = PlatNoFile;
    OutputPath = "";
    VolumeNumber = 1;
}

std::string DisplayName(const char* cp932) {
    // A stored name never holds a drive (that is damage), so the platform takes it as a
    // relative path and names it exactly as it names the file on disk.
    return PosixNativePath(cp932);
}
std::string DisplayName(const std::string& cp932) { return DisplayName(cp932.c_str()); }

struct SessionHooks {
    static bool Observe(const EntryEvent& e) { return Active->OnEvent(e); }
};

ArchiveSession::ArchiveSession(Console& io, std::string archivePath, std::string volumeFolder)
    : io_(io), archivePath_(std::move(archivePath)), volumeFolder_(std::move(volumeFolder)) {
    ResetCore();
    Active = this;
    if (volumeFolder_.empty()) volumeFolder_ = Folder(archivePath_);
}

ArchiveSession::~ArchiveSession() {
    progress_.reset();
    if (ArchiveFile != PlatNoFile) PlatClose(ArchiveFile);
    ResetCore();
    Active = nullptr;
}

const char* CoreMessageSummary(MessageId id) {
    switch (id) {
    case MsgFileSmaller: return "the archive is truncated";
    case MsgFileLarger: return "the archive is longer than recorded";
    case MsgReadFailed: return "reading the archive failed";
    case MsgWriteFailed: return "writing a file failed";
    case MsgCorrupt: return "the archive is damaged";
    case MsgStopped: return "extraction stopped";
    case MsgInsertDisk: return "the next disk is needed";
    case MsgDiskRetry: return "the disk is wrong or missing";
    case MsgVolumeMissing: return "a volume file is missing";
    case MsgVolumeDamaged: return "a volume file is foreign or damaged";
    case MsgOverwrite: return "the file exists";
    case MsgFolderFailed: return "a folder cannot be created";
    case MsgCreateFolderAsk: return "the destination folder is missing";
    case MsgCannotMakeFolder: return "the destination folder cannot be made";
    case MsgFinished: return "extraction finished";
    case MsgRunAfterFailed: return "the program to run afterwards failed";
    }
    return "unknown message";
}

std::string ArchiveSession::Describe(const MessageBoxRequest& box) const {
    int saved = errno;
    std::string reason = saved != 0 ? std::string(": ") + std::strerror(saved) : std::string();
    std::string subject = DisplayName(box.subject);
    std::string volume = VolumeNumber > 1 ? " (volume " + std::to_string(VolumeNumber) + ")" : "";
    std::string entry = currentEntry_.empty()   ? ""
                        : currentEntryDone_ ? ", after '" + currentEntry_ + "'"
                                            : ", while reading '" + currentEntry_ + "'";
    switch (box.id) {
    case MsgFileSmaller:
        return archivePath_ + ": the file is " + std::to_string(archiveSize_) + " bytes but its archive records " +
               std::to_string(ArchiveHeader.RecordedSize) + ": it is truncated and cannot be extracted";
    case MsgFileLarger:
        return archivePath_ + ": the file is " + std::to_string(archiveSize_) + " bytes but its archive records " +
               std::to_string(ArchiveHeader.RecordedSize) +
               ": it was altered or has data appended (perhaps a virus) and is not extracted";
    case MsgReadFailed:
        if (entries_ == 0 && volumeStarts_.empty())
            return archivePath_ + ": not a Daduvivu archive, or its header is cut short";
        return archivePath_ + volume + ": reading failed: the archive is cut short or unreadable" + entry;
    case MsgCorrupt:
        return archivePath_ + volume + ": the archive is damaged (a block fails its CRC check or the data breaks " +
               "the format)" + entry;
    case MsgWriteFailed: {
        // A file handed to the writer thread may fail while a later one is decoded.
        std::string failed = DeferredFailedPath();
        return "cannot write " + PosixNativePath(failed.empty() ? pendingPath_.c_str() : failed.c_str()) + reason;
    }
    case MsgFolderFailed: {
        std::string native = PosixNativePath(box.subject);
        struct stat st;
        if (lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return "cannot create folder " + native +
                   ": a symbolic link is in the way (links below the destination are never followed)";
        if (lstat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            return "cannot create folder " + native + ": a file of that name is in the way";
        return "cannot create folder " + native + reason;
    }
    case MsgVolumeMissing: {
        struct stat st;
        if (stat(PosixNativePath((std::string("V:\\") + box.subject).c_str()).c_str(), &st) == 0 &&
            !S_ISREG(st.st_mode))
            return archivePath_ + " goes on in volume file " + subject + ", but " + volumeFolder_ + "/" + subject +
                   " is not a regular file";
        return archivePath_ + " goes on in volume file " + subject + ", which is not in " + volumeFolder_ +
               " (--volumes DIR says where the volumes are)";
    }
    case MsgVolumeDamaged:
        return "volume file " + volumeFolder_ + "/" + subject +
               " belongs to another archive or is damaged (its identity stamp or number does not match)";
    case MsgInsertDisk:
    case MsgDiskRetry:
        return "volume " + subject + " is needed from a removable disk; extraction stopped";
    default:
        return std::string(CoreMessageSummary(box.id)) + ": " + DisplayName(box.text);
    }
}

int ArchiveSession::AnswerBox(const MessageBoxRequest& box) {
    if (box.id == MsgOverwrite) {
        if (progress_) progress_->Pause();
        int answer = onOverwrite ? onOverwrite(PosixNativePath(box.subject)) : AnswerNo;
        if (progress_) progress_->Resume();
        if (answer == AnswerNo) pendingSkipped_ = true;
        return answer;
    }
    // Messages quote stored names and the archive's own texts.
    std::string line = Printable(Describe(box));
    lastBoxSeen_ = true;
    lastBox_ = box.id;
    if (progress_) progress_->Clear();
    io_.err << "daduvivu: " << line << std::endl;
    return (box.flags & 0x0F) == BoxOk ? AnswerOk : AnswerCancel;
}

int ArchiveSession::Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (const CoreExit& e) {
        if (progress_) progress_->Clear();
        if (!lastBoxSeen_) return e.code == 0 ? ExitOk : ExitDamaged;
        switch (lastBox_) {
        case MsgWriteFailed:
        case MsgFolderFailed:
        case MsgCannotMakeFolder: return ExitWriteFailed;
        case MsgStopped:
        case MsgInsertDisk:
        case MsgDiskRetry: return ExitCancelled;
        default: return ExitDamaged;  // the size messages end with 0, but nothing was read
        }
    }
    return ExitOk;
}

int ArchiveSession::Open() {
    struct stat st;
    if (stat(archivePath_.c_str(), &st) != 0) {
        io_.err << "daduvivu: cannot open " << archivePath_ << ": " << std::strerror(errno) << std::endl;
        return ExitNotArchive;
    }
    if (!S_ISREG(st.st_mode)) {
        io_.err << "daduvivu: " << archivePath_ << " is not a regular file" << std::endl;
        return ExitNotArchive;
    }
    archiveSize_ = static_cast<uint64_t>(st.st_size);
    ProbeResult probe = ProbeArchive(archivePath_, archiveSize_);
    if (!probe.archive) {
        io_.err << "daduvivu: " << archivePath_ << ": not a Daduvivu archive (" << probe.why << ")" << std::endl;
        return ExitNotArchive;
    }
    if (stat(volumeFolder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        io_.err << "daduvivu: --volumes " << volumeFolder_ << ": no such folder" << std::endl;
        return ExitUsage;
    }
    std::memcpy(ProgramPath, CoreProgramPath, sizeof CoreProgramPath);
    PosixMapFile(CoreProgramPath, archivePath_);
    PosixMapDrive('V', volumeFolder_);
    Hooks.messageBox = [this](const MessageBoxRequest& box) { return AnswerBox(box); };
    Hooks.exitProcess = [](int code) { throw CoreExit{code}; };
    // Volumes are always looked for in a folder, never on a disk to be swapped.
    Hooks.driveIsRemovable = [](const char*) { return false; };
    Hooks.pumpOneMessage = [this] {
        if (progress_) progress_->Update(BytesDone());
    };
    bool bare = false;
    int code = Guarded([&] {
        DetectRemovableMode();
        bare = OpenArchive() == BareProgram;
    });
    if (code != ExitOk) return code;
    if (!bare && !PlainVolumeBase()) {
        PlatClose(ArchiveFile);
        ArchiveFile = PlatNoFile;
        io_.err << "daduvivu: " << archivePath_ << ": the archive's volume base name '" << volumeBaseName()
                << "' is not a plain file name (volume files are only taken from the volume folder, by name); "
                << "the archive is refused" << std::endl;
        return ExitDamaged;
    }
    if (bare) {
        PlatClose(ArchiveFile);
        ArchiveFile = PlatNoFile;
        io_.err << "daduvivu: " << archivePath_ << " is a bare self-extractor with no archive behind it"
                << std::endl;
        return ExitNotArchive;
    }
    return ExitOk;
}

std::vector<VolumeFile> ArchiveSession::FindVolumes() const {
    std::vector<VolumeFile> found;
    if (!PlainVolumeBase()) return found;
    for (int n = 2;; ++n) {
        std::string core = std::string("V:\\") + ArchiveHeader.VolumeBaseName.text + "_" + std::to_string(n) + ".DAT";
        std::string path = PosixNativePath(core.c_str());
        // Never waits on a FIFO or a device of the volume's name: only regular files count.
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) break;
        struct stat st;
        uint8_t head[12] = {};
        ssize_t got = -1;
        bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (regular) got = pread(fd, head, sizeof head, 0);
        close(fd);
        if (!regular) break;
        double stamp;
        std::memcpy(&stamp, head, 8);
        bool belongs = got == 12 && stamp == ArchiveHeader.IdentityStamp &&
                       static_cast<int32_t>(LittleEndian32(head + 8)) == n;
        found.push_back({n, path, static_cast<uint64_t>(st.st_size), belongs});
    }
    return found;
}

bool ArchiveSession::PlainVolumeBase() const {
    // Volume files are taken from the volume folder by name: a base name that holds a
    // separator, a drive or a ".." would reach outside it.
    const char* base = ArchiveHeader.VolumeBaseName.text;
    if (base == nullptr || NameLeavesDestination(base)) return false;
    for (const char* p = base; *p != 0; p = PlatCharNext(p))
        if (*p == '\\' || *p == '/') return false;
    return true;
}

void ArchiveSession::ShowProgress(const std::string& verb) {
    uint64_t total = archiveSize_;
    for (const VolumeFile& v : FindVolumes()) total += v.size;
    progress_ = std::make_unique<ProgressBar>(io_.err, io_.errorIsTerminal, total, verb);
}

uint64_t ArchiveSession::BytesDone() const {
    int64_t position = 0;
    if (ArchiveFile == PlatNoFile || !PlatPosition(ArchiveFile, &position)) position = 0;
    size_t volume = static_cast<size_t>(VolumeNumber - 1);
    uint64_t before = volume < volumeStarts_.size() ? volumeStarts_[volume] : 0;
    return before + static_cast<uint64_t>(position);
}

void ArchiveSession::NoteStreamPosition() {
    lastVolume_ = VolumeNumber;
    if (ArchiveFile == PlatNoFile || !PlatPosition(ArchiveFile, &lastFilePosition_)) lastFilePosition_ = 0;
    lastBuffered_ = BlockStream.length - BlockStream.position;
}

int64_t ArchiveSession::PayloadBehindEnd() const {
    // Bytes of blocks to payload bytes: every block of up to 4,098 carries two check bytes.
    auto payload = [](int64_t bytes) {
        int64_t blocks = (bytes + MaxBlockLength - 1) / MaxBlockLength;
        return bytes - 2 * blocks;
    };
    int64_t volumeSize = static_cast<int64_t>(archiveSize_);
    int64_t later = 0;
    for (const VolumeFile& v : FindVolumes()) {
        if (v.number == lastVolume_) volumeSize = static_cast<int64_t>(v.size);
        if (v.number > lastVolume_ && v.belongs) later += payload(static_cast<int64_t>(v.size) - 12);
    }
    // The end marker itself belongs there: one zero byte, or an empty shared-prefix form.
    return lastBuffered_ + payload(volumeSize - lastFilePosition_) + later - static_cast<int64_t>(StoredNameBytes);
}

bool ArchiveSession::OnEvent(const EntryEvent& e) {
    NoteStreamPosition();
    currentEntryDone_ = e.decoded || e.isFolder;
    int64_t streamPosition = PayloadFetched - (BlockStream.length - BlockStream.position);
    if (e.decoded) {
        pending_.packedSize = streamPosition - bodyStart_;
        // A body cut short by Ctrl-C has been deleted again: it is not done.
        if (pendingSelected_ && onDone && !CancelRequested) onDone(pending_, pendingSkipped_);
        return true;
    }
    EntryInfo info;
    info.index = ++entries_;
    info.rawName = e.name;
    info.isFolder = e.isFolder;
    if (info.isFolder) {
        std::string name = info.rawName;
        name.resize(name.size() >= 2 ? name.size() - 2 : 0);  // the "\." ending
        info.name = DisplayName(name);
    } else {
        info.name = DisplayName(e.name);
    }
    currentEntry_ = info.name;
    pendingSkipped_ = false;
    pendingPath_ = e.path;  // converted only for a message
    if (!info.isFolder) {
        info.creation = e.creation;
        info.access = e.access;
        info.write = e.write;
        info.size = e.fileSize;
        info.reference = e.reference;
        info.prefix = e.prefix;
        info.primer = slotOwner_[(currentSlot - e.reference) & 255];
        bodyStart_ = streamPosition;
        slotOwner_[currentSlot & 255] = info.index;
    }
    bool selected = onEntry ? onEntry(info) : true;
    if (info.isFolder) {
        if (selected && onDone) onDone(info, false);
    } else {
        pending_ = std::move(info);
        pendingSelected_ = selected;
    }
    return selected;
}

int ArchiveSession::Run(const std::string& destination) {
    uint64_t start = 0;
    volumeStarts_.assign(1, 0);
    start = archiveSize_;
    for (const VolumeFile& v : FindVolumes()) {
        volumeStarts_.push_back(start);
        start += v.size;
    }
    slotOwner_[0] = 0;
    for (int i = 1; i < 256; ++i) slotOwner_[i] = -1;
    entries_ = 0;
    EntryObserver = &SessionHooks::Observe;
    std::string target = "X:\\";
    if (destination.empty()) {
        DecodeOnly = true;
    } else {
        PosixMapDrive('T', destination);
        target = "T:\\";
        // Files are written by a thread of their own while the next ones are decoded.
        DeferWrites(true);
    }

    int code = ExitOk;
    {
        // Ctrl-C stops the loop the way the stub's Cancel button does: the file being
        // written is removed and the files before it stay.
        ScopedInterrupt interrupt(OnInterrupt);
        NoteStreamPosition();
        code = Guarded([&] { ExtractEntries(target.c_str()); });
        if (!destination.empty()) {
            // Every file the core closed is written (or the run stops at the one that
            // failed) before the command says how it went.
            bool written = FinishDeferredWrites();
            if (!written && (code == ExitOk || code == ExitCancelled)) {
                if (progress_) progress_->Clear();
                int error = errno;
                io_.err << "daduvivu: " << Printable("cannot write " + PosixNativePath(DeferredFailedPath().c_str()))
                        << ": " << std::strerror(error) << std::endl;
                code = ExitWriteFailed;
            }
            DeferWrites(false);
        }
    }
    if (progress_) progress_->Clear();
    EntryObserver = nullptr;
    DecodeOnly = false;
    if (code == ExitOk && CancelRequested) return ExitCancelled;
    return code;
}

std::string ArchiveSession::messageText() const {
    std::string text = Cp932ToUtf8(PosixMessageText);
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    return lines;
}
std::string ArchiveSession::runAfter() const { return Cp932ToUtf8(ArchiveHeader.RunAfter.text); }
std::string ArchiveSession::volumeBaseName() const { return Cp932ToUtf8(ArchiveHeader.VolumeBaseName.text); }
uint32_t ArchiveSession::recordedSize() const { return ArchiveHeader.RecordedSize; }
double ArchiveSession::identityStamp() const { return ArchiveHeader.IdentityStamp; }
