// The allocator on Windows: the C runtime's heap.
#include <malloc.h>

#include "platform/memory.h"

namespace kadrel::platform {

void releaseFreeMemory() {
    ::_heapmin();
}

}  // namespace kadrel::platform
