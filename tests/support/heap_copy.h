// Heap copies of test-made bytes, for the analyzer fields that own their
// buffers (masks, tables, the backdrop image): a test fills a vector and hands
// the analyzer a copy that it releases like one it allocated itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/heap.h"

namespace kestra::testing {

// Holds nothing for no bytes (or when the allocation fails).

inline HeapBuffer heapCopyOf(const std::uint8_t* bytes, std::size_t size) {
    HeapBuffer copy = heapAllocate(size, false);
    if (copy != nullptr) {
        std::memcpy(copy.get(), bytes, size);
    }
    return copy;
}

inline HeapBuffer heapCopyOf(const std::vector<std::uint8_t>& bytes) {
    return heapCopyOf(bytes.data(), bytes.size());
}

}  // namespace kestra::testing
