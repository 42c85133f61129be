// The listing sent for LIST: one UNIX-style long-format line per entry of
// the client's current directory, directories first, each group sorted by
// name with A to Z folded to lower case.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace kadrel {

struct VirtualFs;

// One entry while a listing is built: where it goes, and its line.
struct ListingEntry {
    bool isDirectory = false;
    std::string lowerName;  // sort key: the name with A to Z folded to a to z
    std::string line;       // permissions, links, owner, group, size, date, name, CR LF
};

// -1, 0 or +1: the first of year, month, day, hour, minute, second and
// millisecond that differs decides.
int compareSystemTimes(const platform::CalendarTime& a, const platform::CalendarTime& b);

// Six calendar months before `now`, field by field (31 August gives
// 31 February: the cutoff is only ever compared, never normalised).
platform::CalendarTime recentCutoff(const platform::CalendarTime& now);

// The lines of the current directory's listing, each ending in CR LF, into
// `lines` (left empty on failure). False when the current directory is
// missing, not a directory, or cannot be read to its end. The owner column
// shows `loginName`. Adds a final separator to the local directory.
bool listDirectory(VirtualFs& fs, std::string loginName, std::vector<std::string>& lines);

// The same, with the local time taken as `now`.
bool listDirectoryAt(VirtualFs& fs, std::string loginName, std::vector<std::string>& lines,
                     const platform::CalendarTime& now);

}  // namespace kadrel
