// Memory on Windows.
#include <malloc.h>

#include "platform/memory.h"
#include "platform/windows_headers.h"

namespace kadrel::platform {

PageBuffer::PageBuffer(std::size_t bytes) {
    data_ = static_cast<char*>(
        ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (data_ != nullptr) size_ = bytes;
}

void PageBuffer::reset() {
    if (data_ != nullptr) ::VirtualFree(std::exchange(data_, nullptr), 0, MEM_RELEASE);
    size_ = 0;
}

void releaseFreeMemory() {
    ::_heapmin();
}

}  // namespace kadrel::platform
