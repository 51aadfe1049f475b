// SIGTERM and SIGHUP stop pack and extract the way Ctrl-C does; SIGKILL leaves at most a
// temporary file, never a cut-short file under its final name. Each case runs the
// command in a child process and signals it while it is writing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "cli_runner.h"

namespace fs = std::filesystem;

namespace {

pid_t StartCli(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) _exit(RunCli(args).code);
    return pid;
}

// The exit code, or 128 + the signal that ended the child.
int Finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits until some name in `dir` containing `part` holds more than `bytes`: the child
// is writing it.
bool WaitForWriting(const std::string& dir, const std::string& part, uintmax_t bytes) {
    for (int i = 0; i < 20000; ++i) {
        std::error_code e;
        for (const auto& entry : fs::directory_iterator(dir, e)) {
            if (entry.path().filename().string().find(part) == std::string::npos) continue;
            // A name can be renamed between the listing and the size: file_size then gives
            // uintmax_t(-1), which must not count as a large file.
            std::error_code sizeError;
            uintmax_t size = fs::file_size(entry.path(), sizeError);
            if (!sizeError && size > bytes) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A small file, then one of about a gigabyte of zeros that takes a while to write.
std::string WriteSlowArchive(const TempFolder& folder) {
    constexpr int Matches = 240000, Longest = 4352;
    std::vector<Token> tokens{Token::Literal(0)};
    tokens.resize(1 + Matches, Token::Match(Longest, 1));
    EntryStream s;
    s.LiteralFile("first.txt", Bytes("first"));
    s.File("big.bin", 1 + Matches * Longest, EncodeTokens(tokens));
    s.End();
    return WriteSample(folder, s);
}

TEST(Signals, TermAndHangUpStopExtractLikeCtrlC) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        TempFolder folder;
        std::string archive = WriteSlowArchive(folder);
        std::string out = folder / "out";
        fs::create_directories(out);
        pid_t child = StartCli({"x", "-q", archive, "-d", out});
        ASSERT_TRUE(WaitForWriting(out, ".partial", 1 << 20));  // big.bin, not first.txt
        kill(child, signal);
        EXPECT_EQ(Finish(child), ExitCancelled) << strsignal(signal);
        // The file being written is gone, the one before it is kept.
        EXPECT_EQ(Names(out), std::vector<std::string>{"first.txt"}) << strsignal(signal);
    }
}

TEST(Signals, KillLeavesNoCutShortFileUnderItsName) {
    TempFolder folder;
    std::string archive = WriteSlowArchive(folder);
    std::string out = folder / "out";
    fs::create_directories(out);
    WriteWholeFile(out + "/big.bin", Bytes("old"));
    pid_t child = StartCli({"x", "-q", "-y", archive, "-d", out});
    ASSERT_TRUE(WaitForWriting(out, ".partial", 1 << 20));  // big.bin, not first.txt
    kill(child, SIGKILL);
    EXPECT_EQ(Finish(child), 128 + SIGKILL);
    EXPECT_EQ(FileText(out + "/big.bin"), "old");
    EXPECT_EQ(FileText(out + "/first.txt"), "first");
    EXPECT_EQ(Names(out).size(), 3u);  // and the temporary file
}

TEST(Signals, TermAndHangUpStopPackWithoutAPartialFile) {
    for (int signal : {SIGTERM, SIGHUP}) {
        TempFolder folder;
        fs::create_directories(folder / "src");
        WriteWholeFile(folder / "src/noise.bin", Noise(16 << 20, 7));
        fs::create_directories(folder / "out");
        pid_t child = StartCli({"pack", "-1", "-q", folder / "src", "-o", folder / "out/setup.exe"});
        ASSERT_TRUE(WaitForWriting(folder / "out", ".partial", 0));
        kill(child, signal);
        EXPECT_EQ(Finish(child), ExitCancelled) << strsignal(signal);
        EXPECT_TRUE(fs::is_empty(folder / "out")) << strsignal(signal);
    }
}

}  // namespace
