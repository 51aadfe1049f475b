#include "cli/time_text.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

std::string CalendarText(int64_t seconds, bool withT, const char* zone) {
    time_t t = static_cast<time_t>(seconds);
    tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d%s", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, withT ? 'T' : ' ', parts.tm_hour, parts.tm_min, parts.tm_sec, zone);
    return text;
}

}  // namespace

std::string FileTimeText(FileTime time, bool withT) {
    if (time == 0) return "";
    constexpr int64_t TicksPerSecond = 10000000;
    constexpr int64_t SecondsFrom1601To1970 = 11644473600LL;
    int64_t seconds = static_cast<int64_t>(time / TicksPerSecond) - SecondsFrom1601To1970;
    return CalendarText(seconds, withT, withT ? "Z" : "");
}

std::string OleDateText(double days) {
    // Beyond this gmtime and the calendar stop making sense; show the raw number.
    if (!std::isfinite(days) || std::fabs(days) > 2.9e6) {
        char raw[64];
        std::snprintf(raw, sizeof raw, "%.17g days", days);
        return raw;
    }
    // OLE dates before 1899-12-30 count whole days backwards but the time of day
    // forwards: -1.25 is 1899-12-29 06:00.
    double whole = std::trunc(days);
    double fraction = std::fabs(days - whole);
    int64_t seconds = static_cast<int64_t>(std::llround(fraction * 86400.0));
    constexpr int64_t SecondsFrom1899To1970 = 25569LL * 86400;
    return CalendarText(static_cast<int64_t>(whole) * 86400 + seconds - SecondsFrom1899To1970, true, "");
}
