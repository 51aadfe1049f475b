// Dates of the archive as text.
#pragma once

#include <string>

#include "platform/platform.h"

// A Windows file time as ISO 8601 in UTC ("2024-05-01T12:00:00Z"); `withT` false puts a
// space between date and time for tables. An empty string for the zero time.
std::string FileTimeText(FileTime time, bool withT = true);

// An OLE automation date (days since 1899-12-30, the time of day as the fraction) as
// ISO 8601 without a zone: the stamp carries none.
std::string OleDateText(double days);
