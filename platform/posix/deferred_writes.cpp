#include "platform/posix/deferred_writes.h"

#include <errno.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <iterator>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/extract.h"
#include "platform/posix/posix_destination.h"

namespace {

constexpr PlatFile FirstHandle = PlatFile{1} << 28;  // below the memory files' handles
constexpr PlatFile HandleCount = PlatFile{1} << 28;
constexpr size_t PieceBytes = size_t{1} << 20;    // a file goes to the writer in pieces of this size
constexpr size_t FirstBytes = size_t{64} << 10;    // a file's buffer to start with; it grows to a piece
constexpr size_t WaitingLimit = size_t{8} << 20;  // at most this much buffer waits for the writer
// Buffers come back from the writer for the next files, up to this much: no allocation,
// no fresh pages per small file.
constexpr size_t SpareLimit = WaitingLimit / 4;
// The decoding thread hands tasks over once this much buffer, or this many tasks, are
// ready, and only then takes the lock and wakes the writer: a lock, a wait or a wake a
// file would cost thousands of them for a tree of small files, and each one the other
// thread meets puts it to sleep. Whoever waits for the writer hands over first.
constexpr size_t HandOverBytes = PieceBytes;
constexpr size_t HandOverTasks = 64;
// A task counts its buffer's capacity, and at least this much for what else it holds
// (its names, its place in the queue): a million empty files wait no more than 2,048
// at a time.
constexpr size_t TaskCharge = size_t{4} << 10;

// One file, from its create to its name. Only the writer thread touches fd and failed.
struct Output {
    std::string path;  // the core's path of the final name
    std::string temp;
    int fd = -1;
    bool failed = false;
};

struct Task {
    enum Kind { Write, Finish, Drop } kind;
    std::shared_ptr<Output> file;
    std::vector<uint8_t> bytes;  // written before the task's other work
    timespec times[2];
    size_t charge = 0;  // what it counts against WaitingLimit
};

// A file the decoding thread has open.
struct Gathering {
    std::shared_ptr<Output> file;
    std::vector<uint8_t> bytes;
    timespec times[2]{};
    bool timesSet = false;
};

// The decoding thread's.
bool On = false;
PlatFile NextHandle = FirstHandle;
std::unordered_map<PlatFile, Gathering> Open;
std::vector<Task> Ready;  // tasks not yet handed over
size_t ReadyBytes = 0;    // their charge
uint64_t Numbered = 0;    // tasks made so far; the n-th is carried out when Carried >= n
// For each name a made task will take (by its hash: two names that meet there only
// make one wait for the other's task), the number of the last such task. A name is
// looked up, made or deleted only once that task is carried out. Swept of carried-out
// names as it grows.
std::unordered_map<size_t, uint64_t> Naming;
size_t NameKey(std::string_view path) { return std::hash<std::string_view>{}(path); }
size_t NamingSweep = 4096;
std::vector<std::vector<uint8_t>> Stash;  // spare buffers taken from the writer at once

// Shared, under Lock.
std::mutex Lock;
std::condition_variable Work;  // a task came, or the writer is to stop
std::condition_variable Done;  // a task was carried out
std::deque<Task> Queue;
// The charge of the tasks in the queue and in the batch being carried out (buffer
// capacity, not contents, and a least charge per task), so that memory stays bounded
// however small the files are.
size_t Waiting = 0;
bool Busy = false;
bool Stopping = false;
std::vector<std::vector<uint8_t>> Spare;
size_t SpareBytes = 0;
std::atomic<bool> SpareWaits{false};  // Spare is not empty: worth the lock
std::atomic<uint64_t> Carried{0};     // tasks the writer has carried out, in their order
std::string FailedPath;
int FailedError = 0;
std::atomic<bool> Failed{false};
std::thread Writer;

void WriteAll(int fd, const std::vector<uint8_t>& bytes, bool& ok) {
    const uint8_t* at = bytes.data();
    size_t n = bytes.size();
    while (ok && n > 0) {
        ssize_t w = write(fd, at, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            ok = false;
            break;
        }
        at += w;
        n -= static_cast<size_t>(w);
    }
}

// The writer thread's part of a task.
void CarryOut(Task& task) {
    Output& f = *task.file;
    auto fail = [&](int error) {
        if (f.failed) return;
        f.failed = true;
        std::lock_guard<std::mutex> hold(Lock);
        if (!Failed) {
            FailedPath = f.path;
            FailedError = error;
            Failed = true;
        }
    };
    if (task.kind != Task::Drop && f.fd < 0 && !f.failed) {
        if (Failed) {
            f.failed = true;  // the run stops at an earlier file: this one is not written
        } else {
            f.fd = DestinationCreateTemporary(f.path.c_str(), f.temp);
            if (f.fd < 0) fail(errno);
        }
    }
    if (f.fd < 0) return;
    bool ok = !f.failed;
    WriteAll(f.fd, task.bytes, ok);
    if (!ok && !f.failed) fail(errno);
    if (task.kind == Task::Write) return;
    if (task.kind == Task::Finish && !f.failed && futimens(f.fd, task.times) != 0) fail(errno);
    if (close(f.fd) != 0 && task.kind == Task::Finish) fail(errno);
    f.fd = -1;
    bool keep = task.kind == Task::Finish && !f.failed;
    if (!DestinationSettle(f.path.c_str(), f.temp, keep) && keep) fail(errno);
}

void WriterThread() {
    // Every task that waits is taken at once, so that the two threads meet once per
    // batch rather than once per file.
    std::deque<Task> batch;
    std::unique_lock<std::mutex> hold(Lock);
    for (;;) {
        Work.wait(hold, [] { return !Queue.empty() || Stopping; });
        if (Queue.empty()) break;
        batch.swap(Queue);
        Busy = true;
        hold.unlock();
        for (Task& task : batch) {
            CarryOut(task);
            Carried.fetch_add(1, std::memory_order_release);
        }
        hold.lock();
        Busy = false;
        for (Task& task : batch) {
            size_t held = task.bytes.capacity();
            Waiting -= task.charge;
            if (held >= FirstBytes && SpareBytes + held <= SpareLimit) {
                task.bytes.clear();
                Spare.push_back(std::move(task.bytes));
                SpareBytes += held;
            }
        }
        SpareWaits.store(!Spare.empty(), std::memory_order_relaxed);
        batch.clear();
        Done.notify_all();
    }
    hold.unlock();
    DestinationCloseWalk();
}

// Hands the ready tasks to the writer, once what waits for it leaves room.
void HandOver() {
    if (Ready.empty()) return;
    std::unique_lock<std::mutex> hold(Lock);
    if (!Writer.joinable()) {
        Stopping = false;
        Writer = std::thread(WriterThread);
    }
    auto room = [] { return Waiting < WaitingLimit || (Queue.empty() && !Busy); };
    if (!room()) Done.wait(hold, room);
    for (Task& task : Ready) Queue.push_back(std::move(task));
    Waiting += ReadyBytes;
    Ready.clear();
    ReadyBytes = 0;
    Work.notify_one();
}

void Submit(Task task) {
    ++Numbered;
    if (task.kind != Task::Write) {
        Naming[NameKey(task.file->path)] = Numbered;
        if (Naming.size() >= NamingSweep) {
            uint64_t carried = Carried.load(std::memory_order_acquire);
            for (auto n = Naming.begin(); n != Naming.end();) n = n->second <= carried ? Naming.erase(n) : std::next(n);
            NamingSweep = std::max(NamingSweep, 2 * Naming.size());
        }
    }
    task.charge = std::max(task.bytes.capacity(), TaskCharge);
    ReadyBytes += task.charge;
    Ready.push_back(std::move(task));
    if (ReadyBytes >= HandOverBytes || Ready.size() >= HandOverTasks) HandOver();
}

// An empty buffer that holds a piece without growing.
std::vector<uint8_t> TakeBuffer() {
    if (Stash.empty() && SpareWaits.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> hold(Lock);
        Stash.swap(Spare);
        SpareBytes = 0;
        SpareWaits.store(false, std::memory_order_relaxed);
    }
    std::vector<uint8_t> bytes;
    if (!Stash.empty()) {
        bytes = std::move(Stash.back());
        Stash.pop_back();
    }
    if (bytes.capacity() < FirstBytes) bytes.reserve(FirstBytes);
    return bytes;
}

// The buffers of waiting files come and go a file at a time, a few megabytes of them in
// all. By glibc's defaults a large one is a mapping of its own and the heap hands its
// free top back to the system, so nearly every buffer lands on pages touched for the
// first time: a fault for every 4 KB, which on a virtual machine costs about as much as
// decoding them. Kept in the heap instead, in a stretch offered for large pages, they
// reuse the same warm pages file after file (Python's library: 3,500 faults -> 300-700).
void KeepBuffersWarm() {
#if defined(__GLIBC__)
    static bool kept = false;
    if (kept) return;
    kept = true;
    constexpr size_t Stretch = WaitingLimit + 4 * PieceBytes;
    mallopt(M_MMAP_THRESHOLD, 2 * Stretch);
    mallopt(M_TRIM_THRESHOLD, 4 * Stretch);
    void* block = std::malloc(Stretch);
    if (block == nullptr) return;
    PlatHintLargePages(block, Stretch);
    std::free(block);
#endif
}

}  // namespace

void DeferWrites(bool on) {
    if (on) {
        KeepBuffersWarm();
        std::lock_guard<std::mutex> hold(Lock);
        Failed = false;
        FailedPath.clear();
        FailedError = 0;
    }
    On = on;
}

bool FinishDeferredWrites() {
    for (auto& [handle, g] : Open) {
        DestinationAbandoned(g.file->path);
        Submit({Task::Drop, g.file, {}, {}});
    }
    Open.clear();
    HandOver();
    {
        std::lock_guard<std::mutex> hold(Lock);
        Stopping = true;
        Work.notify_one();
    }
    if (Writer.joinable()) Writer.join();
    Naming.clear();
    NamingSweep = 4096;
    Stash.clear();
    Numbered = 0;
    std::lock_guard<std::mutex> hold(Lock);
    Carried = 0;
    Stopping = false;
    Spare.clear();
    SpareBytes = 0;
    SpareWaits = false;
    if (!Failed) return true;
    errno = FailedError;
    return false;
}

std::string DeferredFailedPath() {
    std::lock_guard<std::mutex> hold(Lock);
    return Failed ? FailedPath : std::string();
}

bool IsDeferredFile(PlatFile file) { return file >= FirstHandle && file < FirstHandle + HandleCount; }

bool DeferredCreateWrite(const char* path, PlatFile* result) {
    if (!On) return false;
    *result = PlatNoFile;
    if (Failed) {
        std::lock_guard<std::mutex> hold(Lock);
        errno = FailedError;
        return true;
    }
    PlatFile handle = NextHandle;
    NextHandle = NextHandle + 1 < FirstHandle + HandleCount ? NextHandle + 1 : FirstHandle;
    Gathering& g = Open[handle];
    g.file = std::make_shared<Output>();
    g.bytes = TakeBuffer();
    g.file->path = path;
    *result = handle;
    return true;
}

bool DeferredWrite(PlatFile file, const void* bytes, uint32_t n) {
    auto found = Open.find(file);
    if (found == Open.end()) {
        errno = EBADF;
        return false;
    }
    if (Failed) {
        std::lock_guard<std::mutex> hold(Lock);
        errno = FailedError;
        return false;
    }
    Gathering& g = found->second;
    const uint8_t* at = static_cast<const uint8_t*>(bytes);
    // A buffer grows by doubling, to a piece at most.
    if (g.bytes.size() + n > g.bytes.capacity())
        g.bytes.reserve(std::max(g.bytes.size() + n, std::min(PieceBytes, 2 * g.bytes.capacity())));
    g.bytes.insert(g.bytes.end(), at, at + n);
    if (g.bytes.size() >= PieceBytes) {
        Submit({Task::Write, g.file, std::move(g.bytes), {}});
        g.bytes = TakeBuffer();
    }
    return true;
}

void DeferredSetTimes(PlatFile file, const timespec times[2]) {
    auto found = Open.find(file);
    if (found == Open.end()) return;
    found->second.times[0] = times[0];
    found->second.times[1] = times[1];
    found->second.timesSet = true;
}

bool DeferredClose(PlatFile file) {
    auto found = Open.find(file);
    if (found == Open.end()) {
        errno = EBADF;
        return false;
    }
    Gathering g = std::move(found->second);
    Open.erase(found);
    // The core sets a file's times only when its body is complete; a file closed
    // without them, or after a cancel, is dropped and never takes its name.
    bool complete = g.timesSet && CancelRequested == 0;
    if (complete)
        DestinationMade(g.file->path.c_str(), false);
    else
        DestinationAbandoned(g.file->path);
    // A small file waits in a buffer of its own size, and its roomy one serves the next
    // file at once: what waits is counted by capacity, and a tree of small files should
    // not fill the limit with empty room.
    if (g.bytes.capacity() >= FirstBytes && g.bytes.size() <= g.bytes.capacity() / 4) {
        std::vector<uint8_t> exact(g.bytes.begin(), g.bytes.end());
        g.bytes.clear();
        Stash.push_back(std::move(g.bytes));
        g.bytes = std::move(exact);
    }
    Task task{complete ? Task::Finish : Task::Drop, g.file, std::move(g.bytes), {g.times[0], g.times[1]}};
    Submit(std::move(task));
    return true;
}

void DeferredWaitFor(const char* path) {
    if (Naming.empty()) return;
    auto named = Naming.find(NameKey(path));
    if (named == Naming.end()) return;
    uint64_t task = named->second;
    Naming.erase(named);
    auto carried = [task] { return Carried.load(std::memory_order_acquire) >= task; };
    if (carried()) return;
    HandOver();
    std::unique_lock<std::mutex> hold(Lock);
    Done.wait(hold, carried);
}
