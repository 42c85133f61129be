// Files, directory search and local time on Windows. Every call is the
// narrow (ANSI code page) variant: paths arrive as the host's bytes.
#include <string_view>
#include <utility>

#include "platform/files.h"
#include "platform/windows_headers.h"

namespace kadrel::platform {
namespace {

std::uint64_t joinHalves(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

CalendarTime toCalendar(const SYSTEMTIME& time) {
    CalendarTime out;
    out.year = time.wYear;
    out.month = time.wMonth;
    out.day = time.wDay;
    out.hour = time.wHour;
    out.minute = time.wMinute;
    out.second = time.wSecond;
    out.millisecond = time.wMilliseconds;
    return out;
}

// A file time (UTC) as local calendar fields, with the daylight saving rule
// of that date rather than of today.
bool toLocalCalendar(const FILETIME& utcFileTime, CalendarTime& out) {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utcFileTime, &utc) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return false;
    }
    out = toCalendar(local);
    return true;
}

// Closes a directory search when dropped.
struct FindHandle {
    HANDLE handle;
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE) ::FindClose(handle);
    }
};

// Asking SHGetFileInfoA whether a file is executable opens the file: in a
// listing, one open per entry, the bulk of its time. The question is asked
// only where the answer can be yes, and every other entry is a no without
// asking, exactly what the question would have said:
// - A file's content makes it executable (an MZ image, whatever its name:
//   Wine answers by content alone) only if it holds at least a DOS header,
//   64 bytes.
// - Below that, only a name can make it so: .com and .pif (which Wine reports
//   by name alone), .bat and .cmd (reported by name on Windows), .exe and .scr
//   for good measure; an extension of three characters with bytes beyond
//   ASCII is asked too, since case folding there is the system's.
// - A reparse point (a link) has the size of the link, not of what it leads
//   to, and a name with a final dot or space names another file once the
//   system has trimmed it: both are always asked.
constexpr std::uint64_t kDosHeaderBytes = 64;

bool isRunByName(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    std::string_view extension = name.substr(dot + 1);
    if (extension.size() != 3) return false;
    std::string folded;
    for (char c : extension) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
        folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (const char* known : {"bat", "cmd", "com", "exe", "pif", "scr"}) {
        if (folded == known) return true;
    }
    return false;
}

bool mayBeExecutable(const WIN32_FIND_DATAA& found) {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
    if (joinHalves(found.nFileSizeHigh, found.nFileSizeLow) >= kDosHeaderBytes) return true;
    std::string_view name = found.cFileName;
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) return true;
    return isRunByName(name);
}

DirectoryEntry toEntry(const WIN32_FIND_DATAA& found) {
    DirectoryEntry entry;
    entry.name = found.cFileName;
    entry.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = joinHalves(found.nFileSizeHigh, found.nFileSizeLow);
    return entry;
}

}  // namespace

bool pathExists(const std::string& path) {
    return ::PathFileExistsA(path.c_str()) != FALSE;
}

bool isExecutable(const std::string& path) {
    SHFILEINFOA info{};
    return ::SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_EXETYPE) != 0;
}

std::int64_t fileSize(const std::string& path) {
    WIN32_FIND_DATAA found{};
    FindHandle search{::FindFirstFileA(path.c_str(), &found)};
    if (search.handle == INVALID_HANDLE_VALUE) return -1;
    return static_cast<std::int64_t>(joinHalves(found.nFileSizeHigh, found.nFileSizeLow));
}

CalendarTime localTimeNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return toCalendar(now);
}

bool readDirectory(const std::string& directory, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    WIN32_FIND_DATAA found{};
    FindHandle search{::FindFirstFileA((directory + "*").c_str(), &found)};
    if (search.handle == INVALID_HANDLE_VALUE) return false;
    std::vector<DirectoryEntry> collected;
    while (true) {
        DirectoryEntry entry = toEntry(found);
        if (!toLocalCalendar(found.ftLastWriteTime, entry.lastWrite)) return false;
        entry.executable = mayBeExecutable(found) && isExecutable(directory + entry.name);
        collected.push_back(std::move(entry));
        if (!::FindNextFileA(search.handle, &found)) {
            // Read at once: nothing may run between the call and its error.
            if (::GetLastError() != ERROR_NO_MORE_FILES) return false;
            break;
        }
    }
    entries = std::move(collected);
    return true;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), copyBuffer_(std::move(other.copyBuffer_)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        copyBuffer_ = std::move(other.copyBuffer_);
    }
    return *this;
}

bool ReadOnlyFile::open(const std::string& path) {
    close();
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // Device names such as CON, NUL or COM1 open as devices in any folder,
    // and a read from the console would block the thread: only disk files
    // are served.
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return false;
    }
    handle_ = file;
    return true;
}

bool ReadOnlyFile::isOpen() const {
    return handle_ != nullptr;
}

void ReadOnlyFile::close() {
    if (handle_ != nullptr) ::CloseHandle(std::exchange(handle_, nullptr));
    copyBuffer_.reset();
}

std::int64_t ReadOnlyFile::size() {
    LARGE_INTEGER size{};
    if (handle_ == nullptr || !::GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) return -1;
    return static_cast<std::int64_t>(size.QuadPart);
}

bool ReadOnlyFile::readAt(std::int64_t offset, void* buffer, std::uint32_t count,
                          std::uint32_t& got) {
    got = 0;
    if (handle_ == nullptr) return false;
    // The pointer is moved, then a plain read follows: a read at an offset
    // given in an OVERLAPPED record costs a round trip to the server under
    // Wine, ten times a plain read. The handle serves one thread only.
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    DWORD n = 0;
    if (!::SetFilePointerEx(static_cast<HANDLE>(handle_), distance, nullptr, FILE_BEGIN) ||
        !::ReadFile(static_cast<HANDLE>(handle_), buffer, count, &n, nullptr)) {
        return false;
    }
    got = n;
    return true;
}

}  // namespace kadrel::platform
