#include "host/command_apply.h"

#include <cstddef>
#include <optional>

#include "channel/framing.h"
#include "platform/clock.h"
#include "tracking/tracked_window.h"

namespace kestra {

namespace {

TrackedWindow& recordAt(int index) {
    return trackedWindows[static_cast<std::size_t>(index)];
}

// The engine of the tracked record of `target`; null when it is not tracked.
EffectEngine* trackedEngine(HWND target) {
    const int index = findTracked(target);
    return index < 0 ? nullptr : &recordAt(index).engine;
}

// Attaches the record's engine and counts it. Once two or more engines are
// counted, every attached engine is given the current overlayExclusions, so
// that none of their captures sees the new overlay window.
bool attachAndCount(int index) {
    if (attach(recordAt(index)) != 0) {
        return false;
    }
    effectCount += 1;
    if (effectCount >= 2) {
        refreshExclusions();
    }
    return true;
}

// Ends tracking of a record whose effects are both off.
void releaseAndUntrack(int index) {
    releaseTracked(index);
    untrack(index);
}

void setOpacityPair(float& value, float& complement, float setting) {
    value = setting;
    complement = 1.0f - setting;
}

void apply(const SetDarkCommand& command) {
    const int index = addTracked(command.target);
    EffectEngine& engine = recordAt(index).engine;
    if (command.on) {
        if (!engine.engineAttached && !attachAndCount(index)) {
            return;
        }
        engine.darkEnabled = true;
        // The darkness test runs at the next changed frame.
        engine.lastDarknessTest = dueStamp(kDarknessTestPeriodMs);
        return;
    }
    engine.darkEnabled = false;
    if (!engine.glassEnabled) {
        releaseAndUntrack(index);
    }
}

void apply(const StartGlassCommand& command) {
    const int index = addTracked(command.target);
    EffectEngine& engine = recordAt(index).engine;
    FrameAnalyzer& analyzer = engine.analyzer;
    engine.blurRadius = command.blurRadius;
    engine.backdropBuffer.backdropBrightness = command.backdropBrightness;
    engine.monitorBuffer.backdropBrightness = command.backdropBrightness;
    engine.wallpaperOnlyBackdrop = command.wallpaperOnly;
    setOpacityPair(analyzer.contentOpacity, analyzer.contentOpacityComplement, command.contentOpacity);
    engine.glassDarkMode = command.glassDarkMode;
    setOpacityPair(analyzer.photoOpacity, analyzer.photoOpacityComplement, command.photoOpacity);
    setOpacityPair(analyzer.foregroundOpacity, analyzer.foregroundOpacityComplement,
                   command.foregroundOpacity);

    if (engine.engineAttached || attachAndCount(index)) {
        // A failed start leaves glass off; the controller's reply does not
        // depend on it.
        static_cast<void>(engine.startGlass());
    }
}

void apply(const StopGlassCommand& command) {
    const int index = findTracked(command.target);
    if (index < 0) {
        return;
    }
    EffectEngine& engine = recordAt(index).engine;
    engine.stopGlass(true);
    if (!engine.darkEnabled) {
        releaseAndUntrack(index);
    }
}

void apply(const UntrackWindowCommand& command) {
    const int index = findTracked(command.target);
    if (index >= 0) {
        untrack(index);
    }
}

void change(EffectEngine& engine, const SetBlurRadiusCommand& command) {
    engine.blurRadius = command.radius;
    engine.refreshGlass();
}

void change(EffectEngine& engine, const SetBackdropBrightnessCommand& command) {
    engine.backdropBuffer.backdropBrightness = command.brightness;
    engine.monitorBuffer.backdropBrightness = command.brightness;
    engine.refreshGlass();
}

void change(EffectEngine& engine, const SetWallpaperOnlyCommand& command) {
    engine.wallpaperOnlyBackdrop = command.on;
    engine.assignBackdropExclusions();
    engine.refreshGlass();
}

void change(EffectEngine& engine, const ChangeContentOpacityCommand& command) {
    engine.setContentOpacity(command.opacity);
    engine.backdropRecomposed = true;
}

void change(EffectEngine& engine, const SetGlassDarkModeCommand& command) {
    engine.glassDarkMode = command.on;
    engine.setContentOpacity(-1.0);
}

void change(EffectEngine& engine, const SetPhotoOpacityCommand& command) {
    FrameAnalyzer& analyzer = engine.analyzer;
    setOpacityPair(analyzer.photoOpacity, analyzer.photoOpacityComplement, command.opacity);
    engine.backdropRecomposed = true;
}

void change(EffectEngine& engine, const SetForegroundOpacityCommand& command) {
    FrameAnalyzer& analyzer = engine.analyzer;
    setOpacityPair(analyzer.foregroundOpacity, analyzer.foregroundOpacityComplement, command.opacity);
    engine.backdropRecomposed = true;
}

// Commands 4 to 10: one setting of a window that is tracked already.
template <typename Setting>
void apply(const Setting& command) {
    if (EffectEngine* engine = trackedEngine(command.target)) {
        change(*engine, command);
    }
}

}  // namespace

void applyCommand(const Command& command) {
    std::visit([](const auto& c) { apply(c); }, command);
}

void handleCommand(HWND peer, std::int32_t command, std::string payload, std::int32_t requestId) {
    if (!isAnsweredCommand(command)) {
        return;
    }
    if (const std::optional<Command> parsed = parseCommand(command, payload)) {
        applyCommand(*parsed);
    }
    sendReply(peer, requestId, {});
}

}  // namespace kestra
