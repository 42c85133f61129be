#include "vfs/listing.h"

#include <algorithm>
#include <cstdio>

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

// "Mar  3 14:05" for recent entries, "Nov 17  2004" for those older than
// the cutoff.
std::string dateText(const platform::CalendarTime& time, const platform::CalendarTime& cutoff) {
    char text[40];
    const char* month = time.month >= 1 && time.month <= 12 ? kMonths[time.month - 1] : "???";
    if (compareSystemTimes(time, cutoff) < 0) {
        std::snprintf(text, sizeof text, "%s %2u  %u", month, unsigned{time.day},
                      unsigned{time.year});
    } else {
        std::snprintf(text, sizeof text, "%s %2u %02u:%02u", month, unsigned{time.day},
                      unsigned{time.hour}, unsigned{time.minute});
    }
    return text;
}

std::string permissions(bool isDirectory, bool writable, bool executable) {
    std::string text = "----------";
    if (isDirectory) text[0] = 'd';
    text[1] = 'r';
    if (writable) text[2] = 'w';
    if (isDirectory || executable) text[3] = 'x';
    return text;
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

    const platform::CalendarTime cutoff = recentCutoff(now);
    std::vector<ListingEntry> entries;
    entries.reserve(found.size());
    std::size_t sizeWidth = 0;
    for (platform::DirectoryEntry& item : found) {
        if (item.name == "." || item.name == "..") continue;
        ListingEntry entry;
        entry.isDirectory = item.isDirectory;
        // A directory always shows "x": only files need the (costly) question.
        entry.executable = !item.isDirectory && isExecutable(fs.localDir + item.name);
        entry.sizeText = item.isDirectory ? "0" : std::to_string(item.size);
        entry.dateText = dateText(item.lastWrite, cutoff);
        entry.permissions = permissions(entry.isDirectory, fs.writable, entry.executable);
        entry.lowerName = lowerAsciiLetters(item.name);
        entry.name = std::move(item.name);
        sizeWidth = std::max(sizeWidth, entry.sizeText.size());
        entries.push_back(std::move(entry));
    }
    // Stable: equal keys keep the order in which the search returned them.
    std::stable_sort(entries.begin(), entries.end(), listedBefore);

    std::vector<std::string> result;
    result.reserve(entries.size());
    for (const ListingEntry& entry : entries) {
        std::string line = entry.permissions;
        line.append(" 1 ").append(loginName).append(" ftp ");
        line.append(sizeWidth - entry.sizeText.size(), ' ').append(entry.sizeText);
        line.append(" ").append(entry.dateText).append(" ").append(entry.name).append("\r\n");
        result.push_back(std::move(line));
    }
    lines = std::move(result);
    return true;
}

}  // namespace kadrel
