// Process services of the simulated desktop: the performance counter and Sleep
// on the desktop's clock, the working-set trim counter, and a counted,
// malloc-backed process heap that can fail on demand.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/sim/programs.h"
#include "platform/sim/sim_state.h"

using sim::CallEntry;
using sim::currentState;
using sim::DesktopState;

namespace {

constexpr LONGLONG kCounterFrequency = 10'000'000;  // 100 ns ticks, as on most Windows machines

struct Block {
    std::size_t bytes = 0;
    std::uint64_t generation = 0;  // the desktop current at allocation (0: none)
};

struct Heap {
    std::mutex lock;
    std::unordered_map<void*, Block> blocks;
};

// Never destroyed: buffers held by globals of the helper are handed back
// while static objects are destroyed at exit, and must still find the heap.
Heap& heap() {
    static Heap* h = new Heap;
    return *h;
}

const auto g_processStart = std::chrono::steady_clock::now();

HANDLE processHeapHandle() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x00A10000));
}

}  // namespace

namespace sim {

HeapTotals heapTotals(std::uint64_t generation) {
    Heap& h = heap();
    std::lock_guard<std::mutex> guard(h.lock);
    HeapTotals t;
    for (const auto& [ptr, block] : h.blocks) {
        if (block.generation == generation) {
            ++t.blocks;
            t.bytes += block.bytes;
        }
    }
    return t;
}

}  // namespace sim

void WINAPI Sleep(DWORD milliseconds) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "Sleep";
        e.code = milliseconds;
        s->record(std::move(e));
    }
    // A sleeping thread handles no sent message: external events wait for the
    // next PeekMessageA. Started programs run while their starter sleeps, one
    // turn after another until the sleep is over; a program's own sleep ends
    // its turn.
    const std::int64_t wakeUs = s->nowUs() + static_cast<std::int64_t>(milliseconds) * 1000;
    if (sim::onProgramThread()) {
        s->advanceUs(wakeUs - s->nowUs());
        sim::programTurnBoundary();
        return;
    }
    // A turn may take no time (a program that wakes from its own sleep and
    // peeks again); many in a row mean that no program moves the clock.
    int stillTurns = 0;
    while (s->nowUs() < wakeUs && stillTurns < sim::kStillTurnLimit) {
        const std::int64_t before = s->nowUs();
        if (!sim::programTurnBoundary()) {
            break;
        }
        stillTurns = s->nowUs() == before ? stillTurns + 1 : 0;
    }
    if (s->nowUs() < wakeUs) {
        s->advanceUs(wakeUs - s->nowUs());
    }
}

DWORD WINAPI GetCurrentProcessId() {
    return DesktopState::processIdOf(sim::kHelperProcess);
}

DWORD WINAPI GetCurrentThreadId() {
    return DesktopState::threadIdOf(sim::kHelperProcess);
}

HANDLE WINAPI GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL WINAPI K32EmptyWorkingSet(HANDLE process) {
    DesktopState* s = currentState();
    if (s == nullptr) {
        return TRUE;
    }
    if (s->log.enabled()) {
        CallEntry e;
        e.function = "K32EmptyWorkingSet";
        s->record(std::move(e));
    }
    ++s->emptyWorkingSetCalls;
    if (process != GetCurrentProcess() || s->shouldFail("K32EmptyWorkingSet")) {
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) {
        return FALSE;
    }
    DesktopState* s = currentState();
    std::int64_t us = 0;
    if (s != nullptr) {
        us = s->nowUs();
    } else {
        us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                   g_processStart)
                 .count();
    }
    count->QuadPart = us * (kCounterFrequency / 1'000'000);
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) {
        return FALSE;
    }
    frequency->QuadPart = kCounterFrequency;
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName != nullptr) {
        return nullptr;  // no other module is loaded in the simulation
    }
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x00400000));
}

HANDLE WINAPI GetProcessHeap() {
    return processHeapHandle();
}

LPVOID WINAPI HeapAlloc(HANDLE heapHandle, DWORD flags, SIZE_T bytes) {
    DesktopState* s = currentState();
    if (heapHandle != processHeapHandle()) {
        return nullptr;
    }
    if (s != nullptr && s->shouldFail("HeapAlloc", {}, bytes)) {
        return nullptr;
    }
    // Zeroed blocks come from calloc: a large one is fresh pages from the
    // system, zero without being written, as a large heap block is on Windows.
    const bool zeroed = (flags & HEAP_ZERO_MEMORY) != 0;
    void* p = zeroed ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) {
        return nullptr;
    }
    if (!zeroed && bytes > 0) {
        // Fresh heap memory is not zero: make code that relies on it show.
        std::memset(p, 0xCD, bytes);
    }
    Heap& h = heap();
    std::lock_guard<std::mutex> guard(h.lock);
    h.blocks[p] = Block{bytes, s == nullptr ? 0 : s->generation};
    return p;
}

BOOL WINAPI HeapFree(HANDLE heapHandle, DWORD, LPVOID memory) {
    if (heapHandle != processHeapHandle()) {
        return FALSE;
    }
    if (memory == nullptr) {
        return TRUE;
    }
    Heap& h = heap();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        auto it = h.blocks.find(memory);
        if (it == h.blocks.end()) {
            // Not a live block of this heap (double free or foreign pointer):
            // refuse it instead of corrupting memory.
            if (DesktopState* s = currentState()) {
                ++s->badHeapFrees;
            }
            return FALSE;
        }
        h.blocks.erase(it);
    }
    std::free(memory);
    return TRUE;
}
