#include "archive_builder.h"

#include <cstring>
#include <stdexcept>

#include "container/block_stream.h"
#include "engine/huffman.h"
#include "harness.h"

std::vector<uint8_t> TestStub() {
    std::vector<uint8_t> stub(TestStubSize);
    uint32_t x = 12345;
    for (size_t i = 0; i < stub.size(); ++i) {
        x = x * 1103515245 + 12345;
        stub[i] = static_cast<uint8_t>(x >> 16);
    }
    stub[0] = 'M';
    stub[1] = 'Z';
    return stub;
}

std::vector<uint8_t> PatternBytes(size_t n, unsigned step, unsigned shift) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * step + (i >> shift));
    return bytes;
}

void SetRecordedSize(std::vector<uint8_t>& program) {
    uint32_t size = static_cast<uint32_t>(program.size());
    for (int i = 0; i < 4; ++i) program[TestStubSize + i] = static_cast<uint8_t>(size >> (8 * i));
}

std::vector<uint8_t> Blocks(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < payload.size(); at += MaxBlockPayload) {
        size_t n = std::min<size_t>(MaxBlockPayload, payload.size() - at);
        out.insert(out.end(), payload.begin() + static_cast<long>(at), payload.begin() + static_cast<long>(at + n));
        uint32_t crc = Crc16(payload.data() + at, static_cast<uint32_t>(n));
        out.push_back(static_cast<uint8_t>(crc >> 8));
        out.push_back(static_cast<uint8_t>(crc));
    }
    return out;
}

namespace {

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutString(std::vector<uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

void PutDouble(std::vector<uint8_t>& out, double d) {
    uint8_t raw[8];
    std::memcpy(raw, &d, 8);
    out.insert(out.end(), raw, raw + 8);
}

// The code of every symbol under the model's current tree, first bit first.
std::vector<std::vector<bool>> Codes(const HuffmanModel& model) {
    std::vector<std::vector<bool>> codes(SymbolCount);
    std::vector<std::pair<int, std::vector<bool>>> stack{{model.list[0], {}}};
    while (!stack.empty()) {
        auto [node, code] = stack.back();
        stack.pop_back();
        const HuffmanNode& n = model.nodes[node];
        if (n.child0 == NoChild) {
            codes[n.symbol] = code;
            continue;
        }
        auto zero = code, one = code;
        zero.push_back(false);
        one.push_back(true);
        stack.push_back({n.child0, zero});
        stack.push_back({n.child1, one});
    }
    return codes;
}

struct BitWriter {
    std::vector<uint8_t> bytes;
    int used = 0;
    void Bit(bool b) {
        if (used == 0) bytes.push_back(0);
        if (b) bytes.back() |= static_cast<uint8_t>(1 << used);
        used = (used + 1) & 7;
    }
    void Bits(uint32_t value, int count) {
        for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
    }
    void Code(const std::vector<bool>& code) {
        for (bool b : code) Bit(b);
    }
};

}  // namespace

std::vector<std::string> WriteArchive(const std::string& path, const ArchiveLayout& layout) {
    std::vector<std::vector<uint8_t>> shares;
    size_t at = 0;
    for (size_t share : layout.volumeShares) {
        shares.emplace_back(layout.payload.begin() + static_cast<long>(at),
                            layout.payload.begin() + static_cast<long>(at + share));
        at += share;
    }
    shares.emplace_back(layout.payload.begin() + static_cast<long>(at), layout.payload.end());

    std::vector<uint8_t> program = layout.stub;
    std::vector<uint8_t> header;
    PutLe(header, 0, 4);
    PutString(header, layout.volumeBase);
    PutDouble(header, layout.stamp);
    PutString(header, layout.message);
    PutString(header, layout.runAfter);
    header.push_back(0);
    program.insert(program.end(), header.begin(), header.end());
    std::vector<uint8_t> first = Blocks(shares[0]);
    program.insert(program.end(), first.begin(), first.end());
    SetRecordedSize(program);
    if (layout.setRecordedSize)
        for (int i = 0; i < 4; ++i) program[TestStubSize + i] = static_cast<uint8_t>(layout.recordedSize >> (8 * i));

    std::vector<std::string> paths{path};
    WriteWholeFile(path, program);
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    for (size_t v = 1; v < shares.size(); ++v) {
        std::vector<uint8_t> volume;
        PutDouble(volume, layout.stamp);
        PutLe(volume, v + 1, 4);
        std::vector<uint8_t> blocks = Blocks(shares[v]);
        volume.insert(volume.end(), blocks.begin(), blocks.end());
        std::string name = folder + Utf8(layout.volumeBase) + "_" + std::to_string(v + 1) + ".DAT";
        WriteWholeFile(name, volume);
        paths.push_back(name);
    }
    return paths;
}

std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens) {
    static HuffmanModel literal, distance;
    InitModel(literal, LiteralInitialCounts);
    InitModel(distance, DistanceInitialCounts);
    BuildTree(distance);
    auto distanceCodes = Codes(distance);
    std::vector<std::vector<bool>> literalCodes;
    BitWriter out;
    int32_t symbols = 0, matches = 0;
    for (const Token& t : tokens) {
        if (LiteralRebuildDue(symbols)) {
            BuildTree(literal);
            literalCodes = Codes(literal);
        }
        if (t.length == 0) {
            out.Code(literalCodes[t.value]);
            ++literal.frequency[t.value];
        } else {
            int s = t.length <= 256 ? t.length + 254 : 511;
            out.Code(literalCodes[s]);
            ++literal.frequency[s];
            if (s == 511) out.Bits(static_cast<uint32_t>(t.length - 257), 12);
            int d = (t.value - 1) / 32;
            out.Code(distanceCodes[d]);
            ++distance.frequency[d];
            out.Bits(static_cast<uint32_t>((t.value - 1) % 32), 5);
            ++matches;
            if (DistanceRebuildDue(matches)) {
                BuildTree(distance);
                distanceCodes = Codes(distance);
            }
        }
        ++symbols;
    }
    return out.bytes;
}

std::vector<uint8_t> EncodeLiterals(const std::vector<uint8_t>& bytes) {
    std::vector<Token> tokens;
    for (uint8_t b : bytes) tokens.push_back(Token::Literal(b));
    return EncodeTokens(tokens);
}

void EntryStream::Name(const std::string& cp932Name) { PutString(bytes, cp932Name); }

void EntryStream::SharedName(uint8_t count, const std::string& rest) {
    bytes.push_back('*');
    bytes.push_back(count);
    PutString(bytes, rest);
}

void EntryStream::File(const std::string& cp932Name, int32_t fileSize, const std::vector<uint8_t>& body,
                       int reference, uint16_t prefix, FileTime creation, FileTime access, FileTime write) {
    Name(cp932Name);
    PutLe(bytes, creation, 8);
    PutLe(bytes, access, 8);
    PutLe(bytes, write, 8);
    PutLe(bytes, static_cast<uint32_t>(fileSize), 4);
    bytes.push_back(static_cast<uint8_t>(reference));
    if (reference != 0) PutLe(bytes, prefix, 2);
    bytes.insert(bytes.end(), body.begin(), body.end());
}

void EntryStream::LiteralFile(const std::string& cp932Name, const std::vector<uint8_t>& content) {
    File(cp932Name, static_cast<int32_t>(content.size()), EncodeLiterals(content));
}
