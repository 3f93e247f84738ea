// Wall-clock time of each turn of the helper's main loop on the simulated
// desktop, and what happened in it.
//
// A turn runs from one PeekMessageA to the next: the peek (with any request
// the controller sent), then one scheduler step (ticks, frame cycles,
// captures), then the wait for messages that may follow a quiet round. The
// meter runs first thing in every peek (the desktop's peek hook; an external
// event kept pending would end every wait at once); there it closes the
// previous turn and opens the next. The wall time of a turn leaves out the
// virtual time it waited, which costs nothing real. What a turn did is read from the
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
    ~TurnMeter() { desk_.setPeekHook(nullptr); }
    TurnMeter(const TurnMeter&) = delete;
    TurnMeter& operator=(const TurnMeter&) = delete;
    // Starts measuring at the next peek; turns on the call log.
    void start();
    void stop();
    // The current turn ran a script step.
    void markScripted() { scripted_ = true; }
    const std::vector<Turn>& turns() const { return turns_; }
    // Virtual time from start to stop, and how much of it the helper spent
    // waiting for messages.
    std::int64_t meteredUs() const { return stopUs_ - startUs_; }
    std::int64_t waitedUs() const { return waitsAtStop_.waitedUs - waitsAtStart_.waitedUs; }
    int waits() const { return waitsAtStop_.waits - waitsAtStart_.waits; }

  private:
    struct Role {
        HWND magnifier = nullptr;
        int engine = -1;
        int kind = 0;  // 0 main, 1 backdrop, 2 monitor
    };
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
    std::int64_t startUs_ = 0;
    std::int64_t stopUs_ = 0;
    sim::WaitStats waitsAtStart_{};
    sim::WaitStats waitsAtStop_{};
};

}  // namespace kestra::preview
