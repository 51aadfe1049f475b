// Code page 932 and UTF-8, through glibc's iconv.
#pragma once

#include <string>
#include <string_view>

// Converts code page 932 bytes to UTF-8. A byte that does not start a valid character
// is written as %HH (two upper-case hex digits); when the name holds such a byte, a
// '%' of its own is written as %25 as well, so that the original bytes can always be
// recovered.
std::string Cp932ToUtf8(std::string_view bytes);

// Converts UTF-8 to code page 932; false when some character has no code page 932 form.
bool Utf8ToCp932(std::string_view text, std::string& out);

// The lead bytes of double-byte characters.
inline bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
