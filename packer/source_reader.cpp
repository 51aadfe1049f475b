#include "packer/source_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "packer/pack_error.h"

SourceReader::SourceReader(const SourceEntry& entry, uint64_t from) : entry_(entry) {
    fd_ = ::open(entry.nativePath.c_str(), O_RDONLY);
    if (fd_ < 0) throw PackError("cannot read " + entry.nativePath + ": " + std::strerror(errno));
    if (from != 0 && ::lseek(fd_, static_cast<off_t>(from), SEEK_SET) < 0) {
        int error = errno;
        ::close(fd_);
        throw PackError("cannot read " + entry.nativePath + ": " + std::strerror(error));
    }
}

SourceReader::~SourceReader() { ::close(fd_); }

size_t SourceReader::ReadSome(uint8_t* buffer, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd_, buffer + got, n - got);
        if (r == 0) break;
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (errno == EINTR) continue;
        throw PackError("cannot read " + entry_.nativePath + ": " + std::strerror(errno));
    }
    return got;
}

void SourceReader::ChangedSize() const {
    throw PackError(entry_.nativePath + " changed size while it was being packed (" + std::to_string(entry_.size) +
                    " bytes when listed); pack again when it is no longer being written");
}

void SourceReader::Read(uint8_t* buffer, size_t n) {
    if (ReadSome(buffer, n) != n) ChangedSize();
}

void SourceReader::ExpectEnd() {
    // One byte more than expected tells a file that grew since it was listed.
    uint8_t extra;
    if (ReadSome(&extra, 1) != 0) ChangedSize();
}

std::vector<uint8_t> ReadHead(const SourceEntry& entry, size_t n) {
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(entry.size, n)));
    SourceReader reader(entry);
    reader.Read(head.data(), head.size());
    if (head.size() == entry.size) reader.ExpectEnd();
    return head;
}
