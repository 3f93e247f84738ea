// Frame-sized buffers, masks and colour tables live on the process heap and
// are released explicitly by the operations that own them. Going through the
// process heap lets tests fail an allocation on demand and count what is
// still allocated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestra {

// Returns null when the allocation fails (or bytes is 0).
std::uint8_t* heapAllocate(std::size_t bytes, bool zeroed);
// Releasing null does nothing.
void heapRelease(void* memory);

}  // namespace kestra
