// Files, directory search and local time on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/files.h"

namespace kadrel::platform {
namespace {

bool statPath(const std::string& path, struct stat& info) {
    return ::stat(path.c_str(), &info) == 0;
}

// A regular file with any execute bit.
bool isExecutableMode(mode_t mode) {
    return S_ISREG(mode) && (mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

bool toCalendar(time_t seconds, long nanoseconds, CalendarTime& out) {
    tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return false;
    out.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    out.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    out.day = static_cast<std::uint16_t>(local.tm_mday);
    out.hour = static_cast<std::uint16_t>(local.tm_hour);
    out.minute = static_cast<std::uint16_t>(local.tm_min);
    // A leap second shows as 60; the calendar fields stop at 59.
    out.second = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    out.millisecond = static_cast<std::uint16_t>(nanoseconds / 1000000);
    return true;
}

// Closes a directory stream when dropped.
struct DirectoryStream {
    DIR* dir;
    ~DirectoryStream() {
        if (dir != nullptr) ::closedir(dir);
    }
};

}  // namespace

bool pathExists(const std::string& path) {
    struct stat info {};
    return statPath(path, info);
}

bool isExecutable(const std::string& path) {
    struct stat info {};
    return statPath(path, info) && isExecutableMode(info.st_mode);
}

std::int64_t fileSize(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info)) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

CalendarTime localTimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    CalendarTime result;
    toCalendar(now.tv_sec, now.tv_nsec, result);
    return result;
}

bool readDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return false;
    DirectoryStream stream{::fdopendir(descriptor)};
    if (stream.dir == nullptr) {
        ::close(descriptor);
        return false;
    }
    std::vector<DirectoryEntry> found;
    while (true) {
        errno = 0;
        dirent* item = ::readdir(stream.dir);
        if (item == nullptr) {
            if (errno != 0) return false;
            break;
        }
        // One query per entry, by its name relative to the open directory:
        // the kernel does not walk the directory's path again each time. A
        // dangling symbolic link is listed as itself; an entry that has gone
        // since the directory was read is left out.
        struct stat info {};
        if (::fstatat(descriptor, item->d_name, &info, 0) != 0 &&
            ::fstatat(descriptor, item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        DirectoryEntry entry;
        entry.name = item->d_name;
        entry.isDirectory = S_ISDIR(info.st_mode);
        entry.executable = isExecutableMode(info.st_mode);
        entry.size = static_cast<std::uint64_t>(info.st_size);
        if (!toCalendar(info.st_mtim.tv_sec, info.st_mtim.tv_nsec, entry.lastWrite)) return false;
        found.push_back(std::move(entry));
    }
    if (found.empty()) return false;
    entries = std::move(found);
    return true;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), copyBuffer_(std::move(other.copyBuffer_)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        copyBuffer_ = std::move(other.copyBuffer_);
    }
    return *this;
}

bool ReadOnlyFile::open(const std::string& path) {
    close();
    // Non-blocking so that opening a FIFO cannot hang the thread; only
    // regular files are served.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    fd_ = fd;
    return true;
}

bool ReadOnlyFile::isOpen() const {
    return fd_ >= 0;
}

void ReadOnlyFile::close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    copyBuffer_.reset();
}

std::int64_t ReadOnlyFile::size() {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

bool ReadOnlyFile::readAt(std::int64_t offset, void* buffer, std::uint32_t count,
                          std::uint32_t& got) {
    got = 0;
    while (true) {
        ssize_t n = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<std::uint32_t>(n);
            return true;
        }
        if (errno != EINTR) return false;
    }
}

}  // namespace kadrel::platform
