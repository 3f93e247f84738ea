// Commands for tests that drive the tracked windows through the product's own
// command step (applyCommand) rather than through the channel.
#pragma once

#include <cstddef>

#include "channel/command_set.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {

// The glass command that starts glass on `target` with the settings its
// record holds now, or a new record's defaults when it is not tracked, so
// that applying it changes no setting.
inline StartGlassCommand glassStartKeepingSettings(HWND target) {
    const int index = findTracked(target);
    const EffectEngine fresh;
    const EffectEngine& engine = index >= 0 ? trackedWindows[static_cast<std::size_t>(index)].engine : fresh;
    StartGlassCommand start;
    start.target = target;
    start.blurRadius = engine.blurRadius;
    start.backdropBrightness = engine.backdropBuffer.backdropBrightness;
    start.wallpaperOnly = engine.wallpaperOnlyBackdrop;
    start.contentOpacity = engine.analyzer.contentOpacity;
    start.glassDarkMode = engine.glassDarkMode;
    start.photoOpacity = engine.analyzer.photoOpacity;
    start.foregroundOpacity = engine.analyzer.foregroundOpacity;
    return start;
}

}  // namespace kestra::testing
