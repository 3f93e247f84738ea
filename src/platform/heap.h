// Frame-sized buffers, masks and colour tables live on the process heap. Each
// is held by a HeapBuffer, which hands it back to the heap when it is reset,
// replaced or destroyed, so no path can forget a release or release twice.
// Going through the process heap lets tests fail an allocation on demand and
// count what is still allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestra {

// Releasing null does nothing.
void heapRelease(void* memory);

struct HeapReleaser {
    void operator()(std::uint8_t* memory) const noexcept { heapRelease(memory); }
};

// An owned block of the process heap; null when it holds nothing.
using HeapBuffer = std::unique_ptr<std::uint8_t[], HeapReleaser>;

// Holds nothing when the allocation fails (or bytes is 0).
[[nodiscard]] HeapBuffer heapAllocate(std::size_t bytes, bool zeroed);

}  // namespace kestra
