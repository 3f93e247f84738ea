// A fresh simulated helper process for tests and benchmarks of the tracking
// table and the engine: every process-wide state back to its start, the
// helper class registered and the tracking globals initialised.
#pragma once

#include "support/engine_process.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

// True when the helper class was registered and tracking initialised.
inline bool startTrackingProcess() {
    resetTrackingState();
    resetSurfacesState();
    resetAnalysisState();
    resetClockOrigin();
    if (registerHelperClassForTests() == 0) {
        return false;
    }
    initialiseTracking(GetModuleHandleA(nullptr));
    return true;
}

}  // namespace kestra::testing
