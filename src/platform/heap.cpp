#include "platform/heap.h"

#include "platform/win32.h"

namespace kestra {

HeapBuffer heapAllocate(std::size_t bytes, bool zeroed) {
    if (bytes == 0) {
        return nullptr;
    }
    return HeapBuffer(
        static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), zeroed ? HEAP_ZERO_MEMORY : 0, bytes)));
}

void heapRelease(void* memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}

}  // namespace kestra
