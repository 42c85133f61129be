// Files, directory search and local time: the only place that asks the file
// system or the clock's calendar anything.
//
// Paths are narrow byte strings handed to the system unchanged (the ANSI code
// page on Windows); a NUL byte inside a path ends it there. A path the system
// rejects counts as not existing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/net.h"

namespace kadrel::platform {

// The separator of local paths: '\\' on Windows, '/' elsewhere.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// True when the path names an existing file or directory (PathFileExistsA;
// stat succeeding elsewhere).
bool pathExists(const std::string& path);

// True for a file of a type the system runs: SHGetFileInfoA with
// SHGFI_EXETYPE on Windows; a regular file with any execute bit elsewhere.
bool isExecutable(const std::string& path);

// The size in bytes, or -1 when nothing is found (FindFirstFileA; stat
// elsewhere).
std::int64_t fileSize(const std::string& path);

// A local calendar time, field by field.
struct CalendarTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1 to 12
    std::uint16_t day = 0;    // 1 to 31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t millisecond = 0;
};

// The local time now (GetLocalTime).
CalendarTime localTimeNow();

struct DirectoryEntry {
    std::string name;  // long name, as the system returns it
    bool isDirectory = false;
    bool executable = false;  // what isExecutable says of the entry's path
    std::uint64_t size = 0;
    CalendarTime lastWrite;  // local time of the last write
};

// Every entry of a directory, "." and ".." included where the system returns
// them, in the order the system returns them; an entry that is gone before
// its facts could be read is left out. `directory` ends with the separator.
// Each entry costs one query of the system, which also gives `executable`
// where it can (see the backends). False when the directory cannot be
// searched (missing, a file, unreadable), when the search yields no entry at
// all, when a time cannot be converted, or when the search ends with an
// error; `entries` is then left empty.
bool readDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries);

// A file opened for sequential reading; closed when dropped.
class ReadOnlyFile {
  public:
    ReadOnlyFile() = default;
    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile() { close(); }

    // Opens an existing regular file for reading, sharing it with readers,
    // writers and deleters. Directories, devices (CON or NUL on Windows) and
    // FIFOs are refused; opening never blocks.
    bool open(const std::string& path);
    bool isOpen() const;
    void close();

    // The file's size now, or -1 when it cannot be read.
    std::int64_t size();
    // Reads up to `count` bytes from `offset` on; false on a read error.
    // `got` 0 with true: the file ends at or before `offset`.
    bool readAt(std::int64_t offset, void* buffer, std::uint32_t count, std::uint32_t& got);

  private:
    friend IoResult sendFileSome(Socket s, ReadOnlyFile& file, std::int64_t offset,
                                 std::size_t count);
    friend IoResult sendFileByCopy(Socket s, ReadOnlyFile& file, std::int64_t offset,
                                   std::size_t count);

#ifdef _WIN32
    void* handle_ = nullptr;  // INVALID_HANDLE_VALUE is kept as null
#else
    int fd_ = -1;
#endif
    // sendFileByCopy's buffer: made on its first use, dropped with the file.
    PageBuffer copyBuffer_;
};

}  // namespace kadrel::platform
