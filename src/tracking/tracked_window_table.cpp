// The tracked-window table: records for target windows, the activeList that
// decides which of them get ticks, the overlay handles that every capture
// leaves out, and the tick that suspends, resumes and runs each engine.
#include <algorithm>

#include "platform/clock.h"
#include "surfaces/overlay_layer.h"
#include "tracking/still_pacing.h"
#include "tracking/tracked_window.h"

namespace kestra {

std::deque<TrackedWindow> trackedWindows;
std::vector<int> activeList;
std::vector<HWND> overlayExclusions;
int effectCount = 0;

namespace {

constexpr std::size_t kReservedExclusions = 25;
constexpr RECT kUnknownRect{-1, -1, -1, -1};

// Wires a new record's engine to the record's own fields. The record lives in
// a deque and never moves, so the pointers stay valid for its whole life.
void wireRecord(TrackedWindow& record) {
    EffectEngine& engine = record.engine;
    engine.mainCapture.sourceRect = &record.captureRect;
    engine.mainCapture.filterMode = FilterMode::windowsInFront;
    engine.backdropCapture.sourceRect = &record.captureRect;
    engine.monitorCapture.sourceRect = &record.monitorRect;
    engine.overlay.layerRect = &record.captureRect;
    engine.targetRect = &record.captureRect;
    engine.monitorRect = &record.monitorRect;
    engine.placement = &record.placement;
}

void removeExclusion(HWND window) {
    if (window == nullptr) {
        return;
    }
    const auto found = std::find(overlayExclusions.begin(), overlayExclusions.end(), window);
    if (found != overlayExclusions.end()) {
        overlayExclusions.erase(found);
    }
}

// The engine holds an overlay window: it is attached, or suspended with its
// overlay kept hidden.
bool holdsOverlay(const EffectEngine& engine) {
    return engine.engineAttached || engine.overlay.layerWindow != nullptr;
}

BOOL readPlacement(TrackedWindow& record) {
    record.placement.length = sizeof(WINDOWPLACEMENT);
    return GetWindowPlacement(record.target, &record.placement);
}

}  // namespace

void initialiseTracking(HINSTANCE instance) {
    if (overlayExclusions.capacity() < kReservedExclusions) {
        overlayExclusions.reserve(kReservedExclusions);
    }
    if (!MagInitialize()) {
        return;
    }
    if (GetDesktopWindow() == nullptr) {
        return;
    }
    moduleInstance = instance;
    registerOverlayClass(instance);
}

int findTracked(HWND handle) {
    for (std::size_t i = 0; i < trackedWindows.size(); ++i) {
        if (trackedWindows[i].target == handle) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int addTracked(HWND handle) {
    const int existing = findTracked(handle);
    if (existing >= 0) {
        return existing;
    }
    const int freeSlot = findTracked(nullptr);
    if (freeSlot >= 0) {
        TrackedWindow& record = trackedWindows[static_cast<std::size_t>(freeSlot)];
        record.target = handle;
        // The slot's last rectangle belongs to another window: make the first
        // placement check take the new target over in every case.
        record.previousRect = kUnknownRect;
        activeList.push_back(freeSlot);
        return freeSlot;
    }
    TrackedWindow& record = trackedWindows.emplace_back();
    record.target = handle;
    record.captureRect = RECT{0, 0, 0, 0};
    record.windowRect = RECT{0, 0, 0, 0};
    record.previousRect = kUnknownRect;
    record.live = false;
    wireRecord(record);
    const int index = static_cast<int>(trackedWindows.size() - 1);
    activeList.push_back(index);
    return index;
}

int attach(TrackedWindow& record) {
    EffectEngine& engine = record.engine;
    if (engine.targetWindow != record.target) {
        engine.targetWindow = record.target;
    }
    // A suspended engine still keeps its hidden overlay: attaching anew would
    // create a second one and lose the first, so the kept one goes now.
    if (!engine.engineAttached && engine.overlay.layerWindow != nullptr) {
        removeExclusion(engine.overlay.layerWindow);
        engine.overlay.destroyLayer();
        engine.overlay.layerWindow = nullptr;
        engine.overlay.sourceBits = nullptr;
        engine.overlayHiddenDark = false;
        // It was counted when it was attached; the caller counts it again.
        if (effectCount > 0) {
            --effectCount;
        }
    }
    engine.mainCapture.exclusions = overlayExclusions;
    followPlacement(record, false);
    if (engine.attachEngine(true) != AttachResult::attached) {
        return -1;
    }
    // A new engine is live only from its first showable tick, which also
    // starts its glass when that is on. A record that kept live from before
    // (a failed resume, or a reused slot) would otherwise skip that start
    // and leave the new overlay without a frame.
    record.live = false;
    engine.noteActivity();
    // An engine that was attached already keeps its one entry.
    if (std::find(overlayExclusions.begin(), overlayExclusions.end(), engine.overlay.layerWindow) ==
        overlayExclusions.end()) {
        overlayExclusions.push_back(engine.overlay.layerWindow);
    }
    return 0;
}

void untrackRecord(TrackedWindow& record) {
    EffectEngine& engine = record.engine;
    if (holdsOverlay(engine)) {
        // Also a suspended engine: its kept overlay window must not outlive it.
        removeExclusion(engine.overlay.layerWindow);
        engine.releaseEngine();
    }
    record.target = nullptr;
}

namespace {

// While the target is the foreground window its overlay belongs at the top of
// the z-order. The system keeps an owned window above its owner, but a window
// system that stacks each process's windows apart (Wine's X11 driver without
// a window manager, for one) can leave the overlay under a target that was
// activated or restored while the overlay was hidden, though the z-order says
// otherwise. So once a follow period the tick looks whether the target is in
// front and, if so, raises the overlay. Not at every tick: the question is a
// round trip to the window server, which a still window should not pay for
// thirty times a second.
void raiseOverFrontTarget(TrackedWindow& record) {
    if (elapsedSince(record.lastFrontCheck) < kFollowPeriodMs) {
        return;
    }
    record.lastFrontCheck = nowMs();
    const EffectEngine& engine = record.engine;
    if (!engine.engineAttached || engine.overlayHiddenDark || GetForegroundWindow() != record.target ||
        !IsWindowVisible(engine.overlay.layerWindow)) {
        return;
    }
    SetWindowPos(engine.overlay.layerWindow, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

}  // namespace

void tick(TrackedWindow& record) {
    EffectEngine& engine = record.engine;
    // A window that rests is looked at again when its rest interval is over.
    if (!cycleDue(record)) {
        return;
    }
    record.lastCycle = nowMs();
    readPlacement(record);
    const bool showable =
        IsWindowVisible(record.target) && readPlacement(record) &&
        (record.placement.showCmd == SW_SHOWNORMAL || record.placement.showCmd == SW_SHOWMAXIMIZED);
    if (!showable) {
        // An engine attached to a target that was already hidden is suspended
        // too: its overlay would otherwise stay shown where the target was.
        if (record.live || engine.engineAttached) {
            if (engine.engineAttached) {
                engine.suspendEngine();
            }
            record.live = false;
            engine.noteActivity();
        }
        Sleep(1);
        return;
    }
    if (!record.live) {
        // Resumes a suspended engine; one that was never attached has no
        // overlay and stays unattached until an attach succeeds. Overlays that
        // came or went while it was suspended were not passed to its capture
        // (refreshExclusions reaches attached engines only), so it takes the
        // current list.
        if (!engine.engineAttached && engine.overlay.layerWindow != nullptr) {
            engine.mainCapture.exclusions = overlayExclusions;
        }
        // A failed resume leaves engineAttached clear, so no cycle runs; a
        // failed glass start leaves glass off and the dark cycle running.
        static_cast<void>(engine.attachEngine(false));
        // A new overlay whose target could not be shown when it was made
        // (hidden or minimised) comes up here, at the target's first showable
        // tick.
        if (engine.engineAttached && !engine.overlayHiddenDark &&
            !IsWindowVisible(engine.overlay.layerWindow)) {
            engine.overlay.showLayer();
        }
        if (engine.engineAttached && engine.glassEnabled) {
            static_cast<void>(engine.startGlass());
        }
        record.live = true;
        engine.noteActivity();
    }
    followPlacement(record, true);
    raiseOverFrontTarget(record);
    if (engine.engineAttached) {
        if (engine.glassEnabled) {
            engine.glassCycle();
        } else {
            engine.darkCycle();
        }
    }
}

void untrack(int index) {
    const auto found = std::find(activeList.begin(), activeList.end(), index);
    if (found == activeList.end()) {
        return;
    }
    if (index >= 0 && static_cast<std::size_t>(index) < trackedWindows.size()) {
        untrackRecord(trackedWindows[static_cast<std::size_t>(index)]);
    }
    activeList.erase(std::find(activeList.begin(), activeList.end(), index));
}

void refreshExclusions() {
    if (effectCount == 0) {
        return;
    }
    for (TrackedWindow& record : trackedWindows) {
        if (record.engine.engineAttached) {
            record.engine.mainCapture.exclusions = overlayExclusions;
        }
    }
}

void releaseTracked(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= trackedWindows.size()) {
        return;
    }
    EffectEngine& engine = trackedWindows[static_cast<std::size_t>(index)].engine;
    removeExclusion(engine.overlay.layerWindow);
    // Only an engine that holds an overlay (attached, or suspended with its
    // overlay kept) was counted by the attach that created it; discounting a
    // never-attached one could let the count drift below the number of
    // overlays and stop refreshExclusions from reaching every capture. The
    // count is a bound, not an exact tally: untrack releases an engine
    // without counting it down, so it may stay above the number of overlays.
    if (holdsOverlay(engine)) {
        engine.releaseEngine();
        --effectCount;
    }
    refreshExclusions();
}

void resetTrackingState() {
    for (TrackedWindow& record : trackedWindows) {
        if (holdsOverlay(record.engine)) {
            record.engine.releaseEngine();
        }
        record.engine.stopGlass(true);
    }
    trackedWindows.clear();
    activeList.clear();
    activeList.shrink_to_fit();
    overlayExclusions.clear();
    overlayExclusions.shrink_to_fit();
    effectCount = 0;
    engineActivity = 0;
    monitorRects.clear();
    monitorRects.shrink_to_fit();
    moduleInstance = nullptr;
}

}  // namespace kestra
