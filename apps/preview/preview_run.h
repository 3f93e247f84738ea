// The preview run: builds the desktop, starts the real helper entry on it
// with a scripted controller, takes screenshots at each stage, measures the
// main loop's turns and writes the PNGs and the contact sheet.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/desktop.h"
#include "preview_options.h"

namespace kestra::preview {

struct Stage {
    std::string file;   // e.g. "03-glass.png", inside the output folder
    std::string title;  // what it shows
    std::int64_t atMs = 0;
    sim::Image image;
};

struct PreviewWindow {
    std::string name;
    RECT rect{};  // where it was when the scene started
    bool light = true;
    bool hasPhoto = false;
    RECT photoRect{};  // screen coordinates at the start
};

struct TimingLine {
    std::string label;
    std::size_t count = 0;
    double medianMs = 0;
    double worstMs = 0;
};

struct PreviewResult {
    int helperExitCode = 0;
    int commandsSent = 0;
    int repliesReceived = 0;
    std::int64_t simulatedMs = 0;
    sim::Image wallpaper;
    std::vector<PreviewWindow> windows;
    std::vector<Stage> stages;
    std::vector<TimingLine> timings;
    std::string contactSheet;  // path
    double waitingShare = 0;   // of the scripted virtual time, spent in the helper's waits for messages
};

// Runs the preview as the program does; returns its exit code. Messages for
// the user go to out, problems to err. When result is given it receives what
// was made (for tests).
int runPreview(const Options& options, std::ostream& out, std::ostream& err, PreviewResult* result = nullptr);

// The program's entry without the process: parses args and runs.
int previewMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                PreviewResult* result = nullptr);

}  // namespace kestra::preview
