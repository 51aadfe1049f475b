#include "packer/writing.h"

#include <cstring>

#include "packer/pack_error.h"

namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

ProgramHead MakeProgramHead(const std::vector<uint8_t>& stub, const std::string& volumeBase, double stamp,
                            const std::string& message, const std::string& runAfter) {
    ProgramHead h;
    h.bytes = stub;
    h.recordedSizeAt = h.bytes.size();
    PutLe(h.bytes, 0, 4);
    h.bytes.insert(h.bytes.end(), volumeBase.begin(), volumeBase.end());
    h.bytes.push_back(0);
    uint64_t stampBits;
    std::memcpy(&stampBits, &stamp, 8);
    PutLe(h.bytes, stampBits, 8);
    h.bytes.insert(h.bytes.end(), message.begin(), message.end());
    h.bytes.push_back(0);
    h.bytes.insert(h.bytes.end(), runAfter.begin(), runAfter.end());
    h.bytes.push_back(0);
    h.bytes.push_back(0);
    return h;
}

// Names share their first bytes with the name before them through the '*' marker,
// which costs two bytes and can take 2 to 257 bytes.
void EntryWriter::Name(const std::string& name) {
    size_t shared = 0;
    while (shared < name.size() && shared < previous_.size() && shared < 257 && name[shared] == previous_[shared])
        ++shared;
    if (shared >= 3) {
        out_.Put(0x2A);
        out_.Put(static_cast<uint8_t>(shared - 2));
    } else {
        shared = 0;
    }
    out_.Put(reinterpret_cast<const uint8_t*>(name.data()) + shared, name.size() - shared);
    out_.Put(0);
    previous_ = name;
}

void EntryWriter::Folder(const SourceEntry& folder) { Name(folder.name + "\\."); }

void EntryWriter::File(const SourceEntry& file, EncodedBody& body) {
    Name(file.name);
    std::vector<uint8_t> record;
    PutLe(record, reproducible_ ? file.write : file.creation, 8);
    PutLe(record, reproducible_ ? file.write : file.access, 8);
    PutLe(record, file.write, 8);
    PutLe(record, file.size, 4);
    if (body.choice.Stored()) {
        record.push_back(static_cast<uint8_t>(body.choice.reference));
        PutLe(record, static_cast<uint64_t>(body.choice.prefix), 2);
    } else {
        record.push_back(0);
    }
    out_.Put(record.data(), record.size());
    if (body.spill) {
        FILE* f = body.spill.get();
        std::vector<uint8_t> piece(SpillBytes);
        std::rewind(f);
        for (uint64_t left = body.spilled; left > 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
            if (std::fread(piece.data(), 1, n, f) != n) throw PackError("cannot read back a temporary file");
            out_.Put(piece.data(), n);
            left -= n;
        }
    }
    out_.Put(body.bytes.data(), body.bytes.size());
}
