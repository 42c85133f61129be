// The allocator's hold on memory the process has freed.
#pragma once

namespace kadrel::platform {

// Gives memory that is free inside the allocator back to the system. glibc
// keeps what a thread freed in that thread's arena, so a few large listings
// served side by side would otherwise leave tens of megabytes resident with
// no client left (malloc_trim there; _heapmin on Windows; nothing where the
// allocator offers no such call). It walks the allocator's free lists and
// briefly locks each arena: for after large frees, not after every one.
void releaseFreeMemory();

}  // namespace kadrel::platform
