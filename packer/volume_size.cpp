#include <cctype>
#include <cmath>
#include <cstdlib>

#include "packer/pack.h"

uint64_t ParseVolumeSize(const std::string& text) {
    auto refuse = [&]() -> PackError {
        return PackError("invalid volume size '" + text +
                         "': give a number of bytes, optionally with k, M or G (for example 700k or 2.5M), or 'floppy' "
                         "(1,457,664 bytes, what a formatted 1.44 MB floppy disk holds)");
    };
    std::string t;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) t += c;
    if (t.empty()) throw refuse();
    if (t == "floppy") return FloppyVolumeSize;
    if (t.size() > 1 && (t.back() == 'b' || t.back() == 'B') &&
        std::isalpha(static_cast<unsigned char>(t[t.size() - 2])))
        t.pop_back();

    uint64_t unit = 1;
    switch (t.back()) {
        case 'k': case 'K': unit = 1024; break;
        case 'm': case 'M': unit = 1024 * 1024; break;
        case 'g': case 'G': unit = 1024ull * 1024 * 1024; break;
        default: break;
    }
    if (unit != 1) t.pop_back();
    if (t.empty()) throw refuse();

    size_t dots = 0;
    for (char c : t) {
        if (c == '.') ++dots;
        else if (!std::isdigit(static_cast<unsigned char>(c))) throw refuse();
    }
    if (dots > 1 || t == ".") throw refuse();
    // The floppy's label is no arithmetic: whoever types it means the disk.
    if (unit == 1024 * 1024 && (t == "1.44" || t == "1.440")) return FloppyVolumeSize;
    if (t.size() > 18) throw refuse();
    double value = std::strtod(t.c_str(), nullptr) * static_cast<double>(unit);
    if (!(value >= 1) || value > 1e18) throw refuse();
    if (dots == 0 && unit == 1) return std::strtoull(t.c_str(), nullptr, 10);
    return static_cast<uint64_t>(std::floor(value));
}
