// One archive opened through the core, with the core's message boxes turned into
// English lines on stderr and its process exit turned back into an exit code.
//
// The core keeps its state in globals, so only one session may exist at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/progress_bar.h"
#include "platform/platform.h"

struct EntryEvent;

struct EntryInfo {
    int index = 0;             // 1-based place in the archive, folders counted
    std::string name;          // UTF-8, '/' between folders, no trailing '/'
    std::string rawName;       // the stored code page 932 bytes
    bool isFolder = false;
    FileTime creation = 0, access = 0, write = 0;
    int64_t size = 0;
    int reference = 1;         // ring distance to the file that primes this one
    int64_t prefix = 0;        // bytes copied verbatim from that file
    int primer = 0;            // index of that file; 0: the stub image; -1: nothing
    int64_t packedSize = -1;   // bytes of its body in the entry stream; -1: not yet decoded
};

struct VolumeFile {
    int number;
    std::string path;  // native
    uint64_t size;
    bool belongs;      // identity stamp and number match the archive
};

class ArchiveSession {
public:
    // `volumeFolder` empty: volumes are looked for beside the archive.
    ArchiveSession(Console& io, std::string archivePath, std::string volumeFolder);
    ~ArchiveSession();
    ArchiveSession(const ArchiveSession&) = delete;
    ArchiveSession& operator=(const ArchiveSession&) = delete;

    // Opens the archive and reads its header. Anything but ExitOk has been reported.
    int Open();

    // Runs the extraction loop over every entry: into `destination` (a native folder
    // that exists), or, when it is empty, decoding only, creating nothing. The callbacks
    // below see the entries. Anything but ExitOk has been reported, except a cancel
    // (ExitCancelled), which the caller words.
    int Run(const std::string& destination);

    // Called when an entry's record has been read; its answer selects the entry.
    std::function<bool(const EntryInfo&)> onEntry;
    // Called when a selected file is complete (or was skipped) and for each selected folder.
    std::function<void(const EntryInfo&, bool skipped)> onDone;
    // Answers the overwrite question for a native path: AnswerYes, AnswerNo or AnswerCancel.
    std::function<int(const std::string& path)> onOverwrite;

    // Header values after Open.
    std::string messageText() const;  // UTF-8, line breaks as '\n'
    std::string runAfter() const;     // UTF-8
    std::string volumeBaseName() const;  // UTF-8
    uint32_t recordedSize() const;
    double identityStamp() const;
    uint64_t archiveSize() const { return archiveSize_; }

    // Volume files NAME_2.DAT, NAME_3.DAT, ... found in the volume folder, in order,
    // up to the first number missing.
    std::vector<VolumeFile> FindVolumes() const;
    // Whether the volume base name is a plain name, so that volume files stay in the folder.
    bool PlainVolumeBase() const;

    // Shows a progress bar on stderr while Run decodes (if stderr is a terminal).
    void ShowProgress(const std::string& verb);
    ProgressBar* progress() { return progress_.get(); }

    std::string archivePath() const { return archivePath_; }

    // After a Run that came to the end marker: the payload bytes that lie behind it in
    // the last block and in the rest of the volumes. A packer leaves none.
    int64_t PayloadBehindEnd() const;

private:
    friend struct SessionHooks;
    int Guarded(const std::function<void()>& body);
    int AnswerBox(const MessageBoxRequest& box);
    std::string Describe(const MessageBoxRequest& box) const;
    uint64_t BytesDone() const;
    bool OnEvent(const EntryEvent& e);

    Console& io_;
    std::string archivePath_, volumeFolder_;
    uint64_t archiveSize_ = 0;
    bool lastBoxSeen_ = false;
    MessageId lastBox_ = MsgFinished;
    std::unique_ptr<ProgressBar> progress_;
    std::vector<uint64_t> volumeStarts_;  // bytes of all earlier volumes, per volume
    std::string currentEntry_;            // UTF-8 name of the entry being handled
    bool currentEntryDone_ = false;       // and whether all of it has been read
    int entries_ = 0;
    int slotOwner_[256];
    // Where the stream stood after the last entry was read: the end marker comes next.
    int lastVolume_ = 1;
    int64_t lastFilePosition_ = 0;
    int32_t lastBuffered_ = 0;
    void NoteStreamPosition();
    int64_t bodyStart_ = 0;            // stream position where the pending body begins
    EntryInfo pending_;
    bool pendingSelected_ = false;
    bool pendingSkipped_ = false;      // the overwrite question was answered No
    std::string pendingPath_;          // the core's path of the entry being handled
};

// Puts the core and the POSIX seam back as a new process finds them.
void ResetCore();

// UTF-8 of a stored name, '/' between folders (what extraction creates on disk).
std::string DisplayName(const std::string& cp932);
std::string DisplayName(const char* cp932);

// The English line of a core message, without context.
const char* CoreMessageSummary(MessageId id);
