// Text from an archive made safe for a terminal: control characters are shown as
// escapes, so that stored names and messages cannot move the cursor, retitle the
// window or send any other command to the terminal that prints them.
#pragma once

#include <string>
#include <string_view>

// Tab, line feed and carriage return become \t, \n and \r; the other C0 controls and
// DEL become \xHH; the C1 controls (U+0080 to U+009F, which some terminals obey
// like ESC sequences) become \uHHHH. Everything else, invalid UTF-8 included, is kept.
std::string Printable(std::string_view text);
