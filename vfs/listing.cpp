#include "vfs/listing.h"

#include <algorithm>
#include <cstdint>

#include "vfs/file_queries.h"
#include "vfs/virtual_fs.h"

namespace kadrel {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string lowerAsciiLetters(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// `value` in decimal, padded on the left with `fill` to `width` characters
// (as printf's %2u and %02u would write it).
void appendPadded(std::string& text, std::uint64_t value, std::size_t width, char fill) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    if (count < width) text.append(width - count, fill);
    while (count > 0) text += digits[--count];
}

// Appends "Mar  3 14:05" for recent entries, "Nov 17  2004" for those older
// than the cutoff.
void appendDate(std::string& text, const platform::CalendarTime& time,
                const platform::CalendarTime& cutoff) {
    text += time.month >= 1 && time.month <= 12 ? kMonths[time.month - 1] : "???";
    text += ' ';
    appendPadded(text, time.day, 2, ' ');
    text += ' ';
    if (compareSystemTimes(time, cutoff) < 0) {
        text += ' ';
        appendPadded(text, time.year, 1, ' ');
    } else {
        appendPadded(text, time.hour, 2, '0');
        text += ':';
        appendPadded(text, time.minute, 2, '0');
    }
}

// Appends the ten permission characters.
void appendPermissions(std::string& text, bool isDirectory, bool writable, bool executable) {
    text += isDirectory ? 'd' : '-';
    text += 'r';
    text += writable ? 'w' : '-';
    text += isDirectory || executable ? 'x' : '-';
    text += "------";
}

std::size_t decimalDigits(std::uint64_t value) {
    std::size_t count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

// "." and ".." are never listed; every other entry is, hidden ones too.
bool isDotEntry(const std::string& name) {
    return name == "." || name == "..";
}

// Directories first; then ascending bytes of the folded name, compared as
// unsigned values (std::string compares that way).
bool listedBefore(const ListingEntry& a, const ListingEntry& b) {
    if (a.isDirectory != b.isDirectory) return a.isDirectory;
    return a.lowerName < b.lowerName;
}

}  // namespace

int compareSystemTimes(const platform::CalendarTime& a, const platform::CalendarTime& b) {
    const std::uint16_t left[] = {a.year,   a.month,  a.day,        a.hour,
                                  a.minute, a.second, a.millisecond};
    const std::uint16_t right[] = {b.year,   b.month,  b.day,        b.hour,
                                   b.minute, b.second, b.millisecond};
    for (std::size_t i = 0; i < std::size(left); ++i) {
        if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

platform::CalendarTime recentCutoff(const platform::CalendarTime& now) {
    platform::CalendarTime cutoff = now;
    if (now.month >= 7) {
        cutoff.month = static_cast<std::uint16_t>(now.month - 6);
    } else {
        cutoff.month = static_cast<std::uint16_t>(now.month + 6);
        cutoff.year = static_cast<std::uint16_t>(now.year - 1);
    }
    return cutoff;
}

bool listDirectory(VirtualFs& fs, std::string loginName, std::vector<std::string>& lines) {
    return listDirectoryAt(fs, std::move(loginName), lines, platform::localTimeNow());
}

bool listDirectoryAt(VirtualFs& fs, std::string loginName, std::vector<std::string>& lines,
                     const platform::CalendarTime& now) {
    lines.clear();
    if (!pathExists(fs.localDir)) return false;
    ensureTrailingBackslash(fs);
    std::vector<platform::DirectoryEntry> found;
    if (!platform::readDirectory(fs.localDir, found)) return false;

    // The size column is as wide as the longest size: known before any line
    // is written, so each line is written once, whole.
    std::size_t sizeWidth = 0;
    for (const platform::DirectoryEntry& item : found) {
        if (isDotEntry(item.name)) continue;
        sizeWidth = std::max(sizeWidth, item.isDirectory ? 1 : decimalDigits(item.size));
    }
    const platform::CalendarTime cutoff = recentCutoff(now);
    std::vector<ListingEntry> entries;
    entries.reserve(found.size());
    for (platform::DirectoryEntry& item : found) {
        if (isDotEntry(item.name)) continue;
        ListingEntry entry;
        entry.isDirectory = item.isDirectory;
        entry.lowerName = lowerAsciiLetters(item.name);
        std::string& line = entry.line;
        line.reserve(loginName.size() + sizeWidth + item.name.size() + 40);  // 40: the rest
        appendPermissions(line, item.isDirectory, fs.writable, item.executable);
        line.append(" 1 ").append(loginName).append(" ftp ");
        const std::uint64_t size = item.isDirectory ? 0 : item.size;
        appendPadded(line, size, sizeWidth, ' ');
        line += ' ';
        appendDate(line, item.lastWrite, cutoff);
        line += ' ';
        line.append(item.name).append("\r\n");
        entries.push_back(std::move(entry));
    }
    // Stable: equal keys keep the order in which the search returned them.
    std::stable_sort(entries.begin(), entries.end(), listedBefore);

    std::vector<std::string> result;
    result.reserve(entries.size());
    for (ListingEntry& entry : entries) result.push_back(std::move(entry.line));
    lines = std::move(result);
    return true;
}

}  // namespace kadrel
