// Memory on POSIX systems.
#include <sys/mman.h>

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/memory.h"

namespace kadrel::platform {

PageBuffer::PageBuffer(std::size_t bytes) {
    void* pages =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return;
    data_ = static_cast<char*>(pages);
    size_ = bytes;
}

void PageBuffer::reset() {
    if (data_ != nullptr) ::munmap(std::exchange(data_, nullptr), std::exchange(size_, 0));
}

void releaseFreeMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace kadrel::platform
