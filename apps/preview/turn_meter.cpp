#include "turn_meter.h"

#include "platform/sim/sim_state.h"
#include "tracking/tracked_window.h"

namespace kestra::preview {

void TurnMeter::start() {
    desk_.callLog().clear();
    desk_.callLog().enable();
    startUs_ = desk_.nowUs();
    stopUs_ = startUs_;
    waitsAtStart_ = desk_.waitStats();
    waitsAtStop_ = waitsAtStart_;
    // Before the due events: a script step due at this peek belongs to the
    // turn it opens.
    desk_.setPeekHook([this] { onTurn(); });
}

void TurnMeter::stop() {
    if (!stopped_) {
        stopUs_ = desk_.nowUs();
        waitsAtStop_ = desk_.waitStats();
    }
    stopped_ = true;
}

void TurnMeter::onTurn() {
    const auto now = std::chrono::steady_clock::now();
    if (open_) {
        closeTurn(std::chrono::duration<double, std::milli>(now - begin_).count());
    }
    if (stopped_) {
        open_ = false;
        desk_.callLog().disable();
        return;
    }
    openTurn();
    begin_ = std::chrono::steady_clock::now();
    open_ = true;
}

void TurnMeter::openTurn() {
    scripted_ = false;
    desk_.callLog().clear();
    roles_.clear();
    idleBefore_.assign(trackedWindows.size(), false);
    for (std::size_t i = 0; i < trackedWindows.size(); ++i) {
        const EffectEngine& engine = trackedWindows[i].engine;
        const int index = static_cast<int>(i);
        roles_.push_back({engine.mainCapture.magnifierWindow, index, 0});
        roles_.push_back({engine.backdropCapture.magnifierWindow, index, 1});
        roles_.push_back({engine.monitorCapture.magnifierWindow, index, 2});
        idleBefore_[i] = engine.backdropIdle;
    }
}

void TurnMeter::closeTurn(double wallMs) {
    Turn turn;
    turn.wallMs = wallMs;
    turn.scripted = scripted_;
    int presenting = -1;
    std::vector<bool> backdropCaptured(trackedWindows.size(), false);
    for (const sim::CallEntry& entry : desk_.callLog().entries()) {
        if (entry.function == "MagSetWindowSource") {
            for (const Role& role : roles_) {
                if (role.magnifier == nullptr || role.magnifier != entry.window) {
                    continue;
                }
                if (role.kind == 0) {
                    presenting = role.engine;
                } else if (role.kind == 1) {
                    backdropCaptured[static_cast<std::size_t>(role.engine)] = true;
                } else {
                    ++turn.monitorBlurs;
                }
            }
        } else if (entry.function == "BitBlt" && presenting >= 0 &&
                   static_cast<std::size_t>(presenting) < trackedWindows.size()) {
            if (trackedWindows[static_cast<std::size_t>(presenting)].engine.glassEnabled) {
                ++turn.glassFrames;
            } else {
                ++turn.darkFrames;
            }
            presenting = -1;
        }
    }
    for (std::size_t i = 0; i < backdropCaptured.size() && i < idleBefore_.size(); ++i) {
        if (backdropCaptured[i] && (!idleBefore_[i] || !trackedWindows[i].engine.backdropIdle)) {
            ++turn.recompositions;
        }
    }
    turns_.push_back(turn);
}

}  // namespace kestra::preview
