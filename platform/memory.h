// Memory straight from the system, and the allocator's hold on memory the
// process has freed.
#pragma once

#include <cstddef>
#include <utility>

namespace kadrel::platform {

// Memory taken from the system in whole pages (mmap, VirtualAlloc) and given
// back the moment it is dropped, where a freed heap block could stay with the
// allocator. For buffers that live as long as one transfer.
class PageBuffer {
  public:
    PageBuffer() = default;
    // Empty when the system refuses.
    explicit PageBuffer(std::size_t bytes);
    PageBuffer(PageBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    PageBuffer& operator=(PageBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer() { reset(); }

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return data_ == nullptr; }
    void reset();

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Gives memory that is free inside the allocator back to the system. glibc
// keeps what a thread freed in that thread's arena, so a few large listings
// served side by side would otherwise leave tens of megabytes resident with
// no client left (malloc_trim there; _heapmin on Windows; nothing where the
// allocator offers no such call). It walks the allocator's free lists and
// briefly locks each arena: for after large frees, not after every one.
void releaseFreeMemory();

}  // namespace kadrel::platform
