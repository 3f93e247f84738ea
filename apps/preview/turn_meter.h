// Wall-clock time of each turn of the helper's main loop on the simulated
// desktop, and what happened in it.
//
// A turn runs from one PeekMessageA to the next: the peek (with any request
// the controller sent), then one scheduler step (ticks, frame cycles,
// captures). The meter keeps an external event pending one microsecond ahead
// of the virtual clock, so it runs first thing in every peek; there it closes
// the previous turn and opens the next. What a turn did is read from the
// desktop's call log: a BitBlt after the main capture of an engine is a
// presented frame of that engine (dark or glass, by its effect), a capture
// through an engine's backdrop Magnifier while its backdrop was not idle is a
// recomposition of the blurred backdrop, a capture of the monitor is the
// blur of the whole monitor that the glass effect uses while a window moves.
// Turns in which a script step ran (a command, a window moved, a screenshot)
// are marked, so that their cost is not counted as frame processing.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/sim/desktop.h"

namespace kestra::preview {

struct Turn {
    double wallMs = 0;
    int darkFrames = 0;
    int glassFrames = 0;
    int recompositions = 0;
    int monitorBlurs = 0;
    bool scripted = false;
};

class TurnMeter {
  public:
    explicit TurnMeter(sim::Desktop& desk) : desk_(desk) {}
    // Starts measuring at the next peek; turns on the call log.
    void start();
    void stop() { stopped_ = true; }
    // The current turn ran a script step.
    void markScripted() { scripted_ = true; }
    const std::vector<Turn>& turns() const { return turns_; }

  private:
    struct Role {
        HWND magnifier = nullptr;
        int engine = -1;
        int kind = 0;  // 0 main, 1 backdrop, 2 monitor
    };
    void arm();
    void onTurn();
    void closeTurn(double wallMs);
    void openTurn();

    sim::Desktop& desk_;
    std::vector<Turn> turns_;
    std::vector<Role> roles_;
    std::vector<bool> idleBefore_;
    std::chrono::steady_clock::time_point begin_{};
    bool open_ = false;
    bool scripted_ = false;
    bool stopped_ = false;
};

}  // namespace kestra::preview
