// Starts a fresh simulated helper process below its entry point, for tests
// and benchmarks that drive the tracking table, the engine or the surfaces
// directly: every process-wide state back to its start, the helper window
// class registered as the entry registers it (capture host windows use it),
// and, for the engine, the tracking globals initialised.
#pragma once

#include "analysis/frame_analyzer.h"
#include "platform/clock.h"
#include "platform/win32.h"
#include "platform/window_class.h"
#include "surfaces/overlay_layer.h"

namespace kestra::testing {

// Registers "KESTRAHELPER" with the default window procedure; 0 on failure.
inline ATOM registerHelperClassForTests() {
    return registerWindowClass(GetModuleHandleA(nullptr), kHelperClassName, DefWindowProcA, nullptr);
}

}  // namespace kestra::testing
