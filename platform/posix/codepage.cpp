#include "platform/posix/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

namespace {

// One converter per direction and thread (an iconv handle keeps state: the writer
// thread of deferred writes converts names while the decoding thread does), opened on
// first use.
struct Converter {
    iconv_t handle;
    Converter(const char* to, const char* from) : handle(iconv_open(to, from)) {}
    ~Converter() {
        if (handle != reinterpret_cast<iconv_t>(-1)) iconv_close(handle);
    }
};

// Converts as much as possible; returns the number of input bytes taken. Stops at the
// first byte sequence that cannot be converted.
size_t ConvertRun(iconv_t cd, std::string_view in, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buffer[1024];
    while (left > 0) {
        char* dst = buffer;
        size_t room = sizeof buffer;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) break;
    }
    return in.size() - left;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view bytes) {
    // Bytes below 0x80 are ASCII in both: most names need no converter at all.
    bool ascii = true;
    for (char c : bytes) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(bytes);
    thread_local Converter toUtf8("UTF-8", "CP932");
    std::string plain, escaped;  // without and with '%' itself escaped
    bool anyEscape = false;
    size_t at = 0;
    while (at < bytes.size()) {
        std::string piece;
        at += ConvertRun(toUtf8.handle, bytes.substr(at), piece);
        plain += piece;
        for (char c : piece) escaped += c == '%' ? std::string("%25") : std::string(1, c);
        if (at < bytes.size()) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(bytes[at]));
            plain += hex;
            escaped += hex;
            anyEscape = true;
            ++at;
        }
    }
    return anyEscape ? escaped : plain;
}

bool Utf8ToCp932(std::string_view text, std::string& out) {
    thread_local Converter toCp932("CP932", "UTF-8");
    out.clear();
    return ConvertRun(toCp932.handle, text, out) == text.size();
}
