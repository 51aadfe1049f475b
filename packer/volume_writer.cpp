#include "packer/volume_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "container/block_stream.h"
#include "packer/pack_error.h"

namespace {

constexpr uint64_t VolumeHeaderSize = 12;  // identity stamp and volume number
constexpr uint64_t LargestFirstVolume = 0x7FFFFFFF;  // RecordedSize is read as signed

std::string TempName(const std::string& path) { return path + ".partial-" + std::to_string(getpid()); }

std::string Failure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

VolumeWriter::VolumeWriter(const std::string& programPath, const std::vector<uint8_t>& head, size_t recordedSizeAt,
                           uint64_t volumeSize, double identityStamp, const std::string& volumePrefix)
    : volumeSize_(volumeSize), stamp_(identityStamp), volumePrefix_(volumePrefix), recordedSizeAt_(recordedSizeAt) {
    block_.reserve(MaxBlockPayload);
    OpenVolume(programPath, head.data(), head.size());
}

VolumeWriter::~VolumeWriter() {
    if (!committed_) Abandon();
}

void VolumeWriter::OpenVolume(const std::string& path, const uint8_t* head, size_t n) {
    finalPaths_.push_back(path);
    tempPaths_.push_back(TempName(path));
    sizes_.push_back(0);
    file_ = std::fopen(tempPaths_.back().c_str(), "wb");
    if (!file_) throw PackError(Failure("cannot create", tempPaths_.back()));
    written_ = 0;
    Write(head, n);
}

void VolumeWriter::CloseVolume() {
    if (!file_) return;
    FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) throw PackError(Failure("cannot write", tempPaths_.back()));
}

uint64_t VolumeWriter::Room() const {
    return volumeSize_ == 0 ? UINT64_MAX : (written_ < volumeSize_ ? volumeSize_ - written_ : 0);
}

void VolumeWriter::Write(const uint8_t* bytes, size_t n) {
    if (std::fwrite(bytes, 1, n, file_) != n) throw PackError(Failure("cannot write", tempPaths_.back()));
    written_ += n;
    sizes_.back() = written_;
    if (finalPaths_.size() == 1 && written_ > LargestFirstVolume)
        throw PackError("the archive would be larger than 2 GiB, the most its program file can be; "
                        "split it into volumes with a volume size below 2 GiB");
}

void VolumeWriter::Put(const uint8_t* bytes, size_t n) {
    while (n > 0) {
        if (blockCapacity_ == 0) {
            // A block needs its check bytes and at least one payload byte.
            if (Room() < 3) {
                CloseVolume();
                int number = static_cast<int>(finalPaths_.size()) + 1;
                uint8_t head[VolumeHeaderSize];
                std::memcpy(head, &stamp_, 8);
                int32_t n32 = number;
                std::memcpy(head + 8, &n32, 4);
                OpenVolume(volumePrefix_ + std::to_string(number) + ".DAT", head, sizeof head);
            }
            uint64_t room = Room() - 2;
            blockCapacity_ = room < static_cast<uint64_t>(MaxBlockPayload) ? static_cast<size_t>(room)
                                                                          : static_cast<size_t>(MaxBlockPayload);
        }
        size_t take = blockCapacity_ - block_.size();
        if (take > n) take = n;
        block_.insert(block_.end(), bytes, bytes + take);
        bytes += take;
        n -= take;
        if (block_.size() == blockCapacity_) WriteBlock();
    }
}

void VolumeWriter::WriteBlock() {
    uint32_t crc = Crc16(block_.data(), static_cast<uint32_t>(block_.size()));
    block_.push_back(static_cast<uint8_t>(crc >> 8));
    block_.push_back(static_cast<uint8_t>(crc));
    Write(block_.data(), block_.size());
    block_.clear();
    blockCapacity_ = 0;
}

void VolumeWriter::Commit() {
    if (!block_.empty()) WriteBlock();
    CloseVolume();
    uint32_t recorded = static_cast<uint32_t>(sizes_[0]);
    FILE* f = std::fopen(tempPaths_[0].c_str(), "r+b");
    if (!f) throw PackError(Failure("cannot write", tempPaths_[0]));
    bool ok = std::fseek(f, static_cast<long>(recordedSizeAt_), SEEK_SET) == 0 &&
              std::fwrite(&recorded, 1, 4, f) == 4;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) throw PackError(Failure("cannot write", tempPaths_[0]));
    // Volumes first, the program file last: a program file in place means a whole set.
    for (size_t i = tempPaths_.size(); i-- > 0;) {
        if (std::rename(tempPaths_[i].c_str(), finalPaths_[i].c_str()) != 0)
            throw PackError(Failure("cannot rename the finished file to", finalPaths_[i]));
    }
    committed_ = true;
}

void VolumeWriter::Abandon() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    for (const std::string& p : tempPaths_) std::remove(p.c_str());
    committed_ = true;
}
