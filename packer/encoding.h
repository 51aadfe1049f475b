// Encoding, the parallel part of packing: each planned file gets its reference chosen
// and its body encoded by one of the workers; the results come back in archive order.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "packer/body_encoder.h"
#include "packer/planning.h"

// A body kept in memory up to SpillBytes; a longer one goes on to an unnamed temporary
// file (gone with the process, whatever happens) so that memory does not grow with it.
constexpr size_t SpillBytes = 1 << 20;

struct EncodedBody {
    ReferenceChoice choice{1, 0};
    struct Closer {
        void operator()(FILE* f) const { fclose(f); }
    };
    std::unique_ptr<FILE, Closer> spill;  // the body's first `spilled` bytes, when it is long
    uint64_t spilled = 0;
    std::vector<uint8_t> bytes;           // the rest of the body
};

// What one worker keeps from file to file.
struct EncoderKit {
    explicit EncoderKit(int32_t chunk = BodyEncoder::DefaultChunk) : encoder(chunk) {}
    BodyEncoder encoder;
    FileChains chains;            // over the first bytes of the file being encoded
    std::vector<uint8_t> window;  // trial windows
    std::vector<uint8_t> chunk;   // pieces of a large file
};

// Told how many more bytes of input have been encoded; may throw to stop.
using FedBytes = std::function<void(uint64_t)>;
// Told once the ring is no longer read for the file: its reference is chosen and the
// history copied.
using RingDone = std::function<void()>;

// Chooses the reference and encodes the file's body after its prefix, reading the rest
// of a large file in chunks. Throws PackError on read failures.
EncodedBody EncodeFile(const FilePlan& plan, const SourceEntry& entry, const ReferenceRing& ring, int level,
                       EncoderKit& kit, const FedBytes& fed, const RingDone& ringDone = nullptr);

// Runs the files on `threads` workers (none when 1: each file is then encoded on the
// calling thread as it is submitted) and hands the results back in submission order.
// A free worker takes the largest file not yet started, so that a large file starts as
// soon as it is planned and the small files around it keep the other workers busy
// while it runs; which worker encodes what never shows in the results.
class EncodingPool {
public:
    using Work = std::function<EncodedBody(const FilePlan&, EncoderKit&, const FedBytes&, const RingDone&)>;
    // `report` is called on the submitting thread now and then while work goes on; what
    // it throws ends the packing.
    EncodingPool(int threads, Work work, std::function<void()> report);
    // Stops the workers; files not yet handed back are dropped.
    ~EncodingPool();

    void Submit(FilePlan plan);
    size_t Pending() const { return submitted_ - delivered_; }
    // Submitted files from the oldest that may still read the ring on: planning must
    // not run further ahead of that one than the ring keeps files.
    size_t ReadingRing() const;
    // Counts the changes (a file no longer reads the ring, or is done); WaitForChange
    // returns once the count has moved `enough` past `seen`, or the next result in
    // order is done, telling progress meanwhile. (Waking the submitting thread for
    // every small file costs more than the waits save.)
    uint64_t Changes() const;
    void WaitForChange(uint64_t seen, uint64_t enough = 1);
    // True when the next result in order is done.
    bool NextReady();
    // Waits for the next result in order and rethrows what its work threw. Its plan is
    // given back too.
    EncodedBody Next(FilePlan* plan);

    // Input bytes encoded so far over all workers.
    uint64_t Fed() const { return fed_.load(); }

private:
    struct Job {
        FilePlan plan;
        bool started = false, ringDone = false, done = false;
        EncodedBody result;
        std::exception_ptr error;
    };
    struct Stopped {};
    void Worker();
    void Run(Job& job, EncoderKit& kit);
    void Changed();  // counts a change and wakes the submitting thread if it waits for it; lock held

    Work work_;
    std::function<void()> report_;
    std::vector<std::thread> threads_;
    std::unique_ptr<EncoderKit> inlineKit_;
    mutable std::mutex mutex_;
    std::condition_variable jobReady_;  // workers wait on it for files
    std::condition_variable progress_;  // the submitting thread waits on it
    uint64_t wakeAt_ = UINT64_MAX;      // the change count it waits for
    std::deque<std::unique_ptr<Job>> jobs_;  // from the next to deliver on
    size_t submitted_ = 0, delivered_ = 0;
    uint64_t changes_ = 0;
    bool stopping_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> fed_{0};
};
