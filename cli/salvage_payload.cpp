#include "cli/salvage_payload.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "container/archive.h"
#include "container/block_stream.h"
#include "platform/posix/codepage.h"

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(static_cast<size_t>(st.st_size), 0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return true;
}

uint64_t Little(const uint8_t* b, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
    return v;
}

// Appends the blocks of one volume from `at` on, one piece per run of sound or damaged
// blocks.
void AddBlocks(const std::vector<uint8_t>& file, uint64_t at, int volume, GatheredPayload& out) {
    while (at < file.size()) {
        uint64_t length = std::min<uint64_t>(MaxBlockLength, file.size() - at);
        bool sound = length >= 3 && Crc16(file.data() + at, static_cast<uint32_t>(length - 2)) ==
                                        (static_cast<uint32_t>(file[at + length - 2]) << 8 | file[at + length - 1]);
        uint64_t payload = length >= 2 ? length - 2 : length;
        // A block of zeros passes its check, but no packer writes one: it is a blanked
        // sector, not data.
        bool blank = std::all_of(file.begin() + static_cast<std::ptrdiff_t>(at),
                                 file.begin() + static_cast<std::ptrdiff_t>(at + length), [](uint8_t b) { return b == 0; });
        sound = sound && !blank;
        if (!sound) {
            PayloadDamage d;
            d.kind = "block";
            d.volume = volume;
            d.fileOffset = at;
            d.payloadOffset = out.bytes.size();
            d.length = length;
            d.detail = length < 3 ? "too short to be a block" : blank ? "holds only zeros" : "fails its CRC check";
            out.damage.push_back(d);
            DamagedBlock block;
            block.payloadOffset = out.bytes.size();
            block.raw.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                             file.begin() + static_cast<std::ptrdiff_t>(at + length));
            block.damage = out.damage.size() - 1;
            out.damagedBlocks.push_back(std::move(block));
        }
        PayloadPiece* last = out.pieces.empty() ? nullptr : &out.pieces.back();
        if (last != nullptr && last->sound == sound && last->volume == volume &&
            last->start + last->length == out.bytes.size()) {
            last->length += payload;
        } else {
            out.pieces.push_back({out.bytes.size(), payload, sound, volume, at});
        }
        out.bytes.insert(out.bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                         file.begin() + static_cast<std::ptrdiff_t>(at + payload));
        at += length;
    }
}

// A gap in the payload: the next piece begins a new sound region even if it is sound.
void AddBreak(GatheredPayload& out) {
    out.pieces.push_back({out.bytes.size(), 0, false, 0, 0});
}

// Volume numbers of the files named `base`_n.DAT in `folder`.
std::map<int, std::string> FindVolumeFiles(const std::string& folder, const std::string& base) {
    std::map<int, std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return found;
    std::string lead = base + "_";
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() <= lead.size() + 4 || name.compare(0, lead.size(), lead) != 0) continue;
        if (name.compare(name.size() - 4, 4, ".DAT") != 0) continue;
        std::string digits = name.substr(lead.size(), name.size() - lead.size() - 4);
        if (digits.empty() || digits.size() > 6 || digits[0] == '0') continue;
        bool numeric = true;
        for (char c : digits) numeric = numeric && c >= '0' && c <= '9';
        int n = numeric ? std::stoi(digits) : 0;
        if (n >= 2) found[n] = folder + "/" + name;
    }
    closedir(dir);
    return found;
}

}  // namespace

std::vector<std::pair<uint64_t, uint64_t>> GatheredPayload::SoundRegions() const {
    std::vector<std::pair<uint64_t, uint64_t>> regions;
    bool open = false;
    for (const PayloadPiece& p : pieces) {
        if (!p.sound || p.length == 0) {
            open = false;
            continue;
        }
        if (open && regions.back().second == p.start)
            regions.back().second += p.length;
        else
            regions.push_back({p.start, p.start + p.length});
        open = true;
    }
    return regions;
}

bool GatherPayload(const std::string& archive, const std::string& volumeFolder, GatheredPayload& out,
                   std::string& error) {
    out = GatheredPayload();
    std::vector<uint8_t> file;
    if (!ReadFile(archive, file)) {
        error = "cannot read " + archive + ": " + std::strerror(errno);
        return false;
    }
    // The header: recorded size, volume base name, stamp, message, program to run, a 0.
    size_t at = StubSize;
    std::string strings[3];
    uint8_t stamp[8] = {};
    bool headerRead = file.size() >= at + 4;
    uint64_t recorded = headerRead ? Little(file.data() + at, 4) : 0;
    at += 4;
    for (int i = 0; i < 3 && headerRead; ++i) {
        while (at < file.size() && file[at] != 0) strings[i] += static_cast<char>(file[at++]);
        headerRead = at < file.size();
        ++at;
        if (i == 0 && headerRead) {
            headerRead = at + 8 <= file.size();
            if (headerRead) std::memcpy(stamp, file.data() + at, 8);
            at += 8;
        }
    }
    headerRead = headerRead && at < file.size();
    ++at;
    if (!headerRead) {
        error = archive + ": no archive header could be read (not a Daduvivu archive, or cut inside its header)";
        return false;
    }
    out.volumesRead.push_back(archive);
    out.stub.assign(file.begin(), file.begin() + StubSize);
    bool cut = false;
    if (recorded != file.size()) {
        PayloadDamage d;
        d.volume = 1;
        d.fileOffset = file.size();
        if (recorded > file.size()) {
            d.kind = "cut";
            d.length = recorded - file.size();
            d.detail = "the program file is " + std::to_string(recorded - file.size()) + " bytes shorter than recorded";
            cut = true;
        } else {
            d.kind = "size";
            d.fileOffset = recorded;
            d.length = file.size() - recorded;
            d.detail = "bytes behind the recorded size are left out";
            // Blocks are counted from the header, so appended bytes would spoil only the
            // last one; they are not the archive's.
            if (recorded > at) file.resize(static_cast<size_t>(recorded));
        }
        out.damage.push_back(d);
    }
    AddBlocks(file, at, 1, out);

    double archiveStamp;
    std::memcpy(&archiveStamp, stamp, 8);
    std::map<int, std::string> volumes = FindVolumeFiles(volumeFolder, Cp932ToUtf8(strings[0]));
    int last = volumes.empty() ? 1 : volumes.rbegin()->first;
    bool lost = cut;  // something lies between what was read and what comes next
    for (int n = 2; n <= last; ++n) {
        auto found = volumes.find(n);
        std::vector<uint8_t> volume;
        PayloadDamage d;
        d.volume = n;
        d.payloadOffset = out.bytes.size();
        if (found == volumes.end() || !ReadFile(found->second, volume)) {
            d.kind = "volume missing";
            d.detail = Cp932ToUtf8(strings[0]) + "_" + std::to_string(n) + ".DAT is missing";
            out.damage.push_back(d);
            lost = true;
            continue;
        }
        double volumeStamp = 0;
        if (volume.size() >= 12) std::memcpy(&volumeStamp, volume.data(), 8);
        if (volume.size() < 12 || volumeStamp != archiveStamp || static_cast<int32_t>(Little(volume.data() + 8, 4)) != n) {
            d.kind = "volume foreign";
            d.detail = found->second + " belongs to another archive or is damaged in its header";
            out.damage.push_back(d);
            lost = true;
            continue;
        }
        if (lost) AddBreak(out);
        lost = false;
        out.volumesRead.push_back(found->second);
        AddBlocks(volume, 12, n, out);
    }
    // A missing last volume cannot be told from an archive that ends where it does;
    // the end marker says which.
    out.lastVolumeKnown = !lost;
    if (lost) AddBreak(out);
    return true;
}
