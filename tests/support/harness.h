// Runs the core as one run of the stub would, inside a test: message boxes are
// recorded and answered from a script, and ending the process becomes an exception
// that the harness turns back into an exit code.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ProcessExit {
    int code;
};

struct BoxRecord {
    MessageId id;
    BoxOwner owner;
    unsigned flags;
    std::string text;     // code page 932, exactly as shown
    std::string subject;  // code page 932
};

// A fresh folder below the system's temporary folder, removed with everything in it.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string path;
    std::string operator/(const std::string& relative) const { return path + "/" + relative; }
};

class CoreHarness {
public:
    CoreHarness();
    ~CoreHarness();

    // Answers given to the boxes in turn; when they run out, OK boxes get OK and
    // questions get Cancel.
    std::deque<int> answers;
    std::vector<BoxRecord> boxes;
    std::vector<std::string> status;  // every status line text, code page 932
    std::function<void()> onPump;     // called where the stub would pump one message
    std::function<void(const BoxRecord&)> onBox;  // called as each box is shown
    bool removableDrives = false;     // what the drive type test answers
    std::map<char, std::string> drives;  // further drive letters and their native folders

    // Opens `programFile` (a native path) as the program's own file and, unless it is
    // the bare program, extracts into `destination` (a native folder that exists).
    // The program is seen as V:\setup.exe and the destination as T:\ (both drives
    // mapped), unless the paths are given in core form through the *As variants.
    // Returns the exit code, 0 when the run came to its normal end.
    int Extract(const std::string& programFile, const std::string& destination);
    int ExtractAs(const std::string& programFile, const std::string& corePath, const std::string& destination,
                  const std::string& coreTarget);
    // Decodes everything without writing.
    int Test(const std::string& programFile);

    bool bareProgram = false;  // set by the last run
    std::vector<MessageId> BoxIds() const;
    std::string BoxTextsUtf8() const;  // all box texts, one a line, for failure messages
};

std::string Utf8(const std::string& cp932);
std::string Cp932(const std::string& utf8);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
