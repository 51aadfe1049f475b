#include "packer/encoding.h"

#include <algorithm>
#include <chrono>

#include "packer/pack_error.h"
#include "packer/source_reader.h"

namespace {

// Pieces in which a large file is read and fed; progress is told after each.
constexpr size_t FeedBytes = 1 << 16;

void SpillIfLong(EncodedBody& body) {
    if (body.bytes.size() < SpillBytes) return;
    if (!body.spill) {
        body.spill.reset(std::tmpfile());
        if (!body.spill) throw PackError("cannot create a temporary file for a long body");
    }
    if (std::fwrite(body.bytes.data(), 1, body.bytes.size(), body.spill.get()) != body.bytes.size())
        throw PackError("cannot write a temporary file for a long body");
    body.spilled += body.bytes.size();
    body.bytes.clear();
}

// References whose bodies are encoded in full at each level, the smallest kept: the
// trials' estimate ranks them well but not exactly. Only files read whole while
// planning get more than one.
size_t FinalistsForLevel(int level) {
    return level >= 9 ? 3 : 1;
}

}  // namespace

EncodedBody EncodeFile(const FilePlan& plan, const SourceEntry& entry, const ReferenceRing& ring, int level,
                       EncoderKit& kit, const FedBytes& fed, const RingDone& ringDone) {
    EncodedBody body;
    const size_t finalists = plan.Whole() ? FinalistsForLevel(level) : 1;
    if (finalists > 1) {
        std::vector<ReferenceChoice> ranked = RankReferences(plan, ring, level, kit.chains, kit.window, finalists);
        if (ranked.size() > 1) {
            uint64_t bestBits = UINT64_MAX;
            std::vector<uint8_t> trial;
            for (const ReferenceChoice& c : ranked) {
                int32_t start, history;
                const FileSlot& reference = ring.File(plan.number - c.reference);
                HistoryFor(reference, c.prefix, &start, &history);
                trial.clear();
                kit.encoder.Begin(reference.data + start, history, static_cast<int64_t>(plan.size) - c.prefix,
                                  SettingsForLevel(level), trial);
                kit.encoder.Feed(plan.head.data() + c.prefix, plan.head.size() - static_cast<size_t>(c.prefix));
                kit.encoder.Finish();
                // A stored reference costs the record two bytes.
                const uint64_t bits = 8 * static_cast<uint64_t>(trial.size()) + (c.Stored() ? 16 : 0);
                if (bits < bestBits) {
                    bestBits = bits;
                    body.choice = c;
                    body.bytes.swap(trial);
                }
            }
            if (ringDone) ringDone();
            fed(plan.size);
            return body;
        }
    }
    body.choice = ChooseReference(plan, ring, level, kit.chains, kit.window);
    const ReferenceChoice& c = body.choice;
    int32_t start, history;
    const FileSlot& reference = ring.File(plan.number - c.reference);
    HistoryFor(reference, c.prefix, &start, &history);
    kit.encoder.Begin(reference.data + start, history, static_cast<int64_t>(plan.size) - c.prefix,
                      SettingsForLevel(level), body.bytes);
    if (ringDone) ringDone();
    // The prefix comes from the reference; what follows it is fed in pieces.
    uint64_t at = static_cast<uint64_t>(c.prefix);
    fed(at);
    auto feed = [&](const uint8_t* bytes, size_t n) {
        kit.encoder.Feed(bytes, n);
        SpillIfLong(body);
        fed(n);
    };
    while (at < plan.head.size()) {
        size_t n = std::min<uint64_t>(FeedBytes, plan.head.size() - at);
        feed(plan.head.data() + at, n);
        at += n;
    }
    if (at < plan.size) {
        SourceReader reader(entry, at);
        kit.chunk.resize(FeedBytes);
        while (at < plan.size) {
            size_t n = std::min<uint64_t>(FeedBytes, plan.size - at);
            reader.Read(kit.chunk.data(), n);
            feed(kit.chunk.data(), n);
            at += n;
        }
        reader.ExpectEnd();
    }
    kit.encoder.Finish();
    return body;
}

EncodingPool::EncodingPool(int threads, Work work, std::function<void()> report)
    : work_(std::move(work)), report_(std::move(report)) {
    if (threads <= 1) {
        inlineKit_.reset(new EncoderKit);
        return;
    }
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Worker(); });
}

EncodingPool::~EncodingPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_ = true;
    jobReady_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void EncodingPool::Changed() {
    ++changes_;
    if (changes_ >= wakeAt_ || jobs_.front()->done) progress_.notify_one();
}

void EncodingPool::Run(Job& job, EncoderKit& kit) {
    auto fed = [this](uint64_t n) {
        fed_ += n;
        if (stop_) throw Stopped{};
    };
    auto ringDone = [this, &job] {
        std::lock_guard<std::mutex> lock(mutex_);
        job.ringDone = true;
        Changed();
    };
    try {
        job.result = work_(job.plan, kit, fed, ringDone);
    } catch (const Stopped&) {
    } catch (...) {
        job.error = std::current_exception();
    }
}

void EncodingPool::Submit(FilePlan plan) {
    std::unique_ptr<Job> job(new Job);
    job->plan = std::move(plan);
    ++submitted_;
    if (inlineKit_) {
        // On the calling thread: what the progress report throws goes straight up.
        job->result = work_(
            job->plan, *inlineKit_,
            [this](uint64_t n) {
                fed_ += n;
                if (report_) report_();
            },
            nullptr);
        job->started = job->ringDone = job->done = true;
        jobs_.push_back(std::move(job));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    jobReady_.notify_one();
}

void EncodingPool::Worker() {
    std::unique_ptr<EncoderKit> kit(new EncoderKit);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Job* job = nullptr;
        jobReady_.wait(lock, [&] {
            if (stopping_) return true;
            job = nullptr;
            // The largest file not started; of equal ones the first.
            for (auto& j : jobs_)
                if (!j->started && (!job || j->plan.size > job->plan.size)) job = j.get();
            return job != nullptr;
        });
        if (stopping_) return;
        job->started = true;
        lock.unlock();
        Run(*job, *kit);
        lock.lock();
        job->ringDone = job->done = true;
        Changed();
    }
}

size_t EncodingPool::ReadingRing() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t i = 0;
    while (i < jobs_.size() && jobs_[i]->ringDone) ++i;
    return jobs_.size() - i;
}

uint64_t EncodingPool::Changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
}

void EncodingPool::WaitForChange(uint64_t seen, uint64_t enough) {
    std::unique_lock<std::mutex> lock(mutex_);
    wakeAt_ = seen + enough;
    auto moved = [&] { return changes_ >= wakeAt_ || (!jobs_.empty() && jobs_.front()->done); };
    while (!moved()) {
        if (progress_.wait_for(lock, std::chrono::milliseconds(50), moved)) break;
        lock.unlock();
        if (report_) report_();
        lock.lock();
    }
    wakeAt_ = UINT64_MAX;
}

bool EncodingPool::NextReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !jobs_.empty() && jobs_.front()->done;
}

EncodedBody EncodingPool::Next(FilePlan* plan) {
    std::unique_ptr<Job> job;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!jobs_.front()->done) {
            progress_.wait_for(lock, std::chrono::milliseconds(50));
            if (jobs_.front()->done) break;
            lock.unlock();
            if (report_) report_();
            lock.lock();
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
    }
    ++delivered_;
    if (job->error) std::rethrow_exception(job->error);
    if (plan) *plan = std::move(job->plan);
    return std::move(job->result);
}
