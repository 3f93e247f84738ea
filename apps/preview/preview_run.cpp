#include "preview_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "channel/command_set.h"
#include "channel/framing.h"
#include "host/helper_main.h"
#include "image_io.h"
#include "scene.h"
#include "turn_meter.h"

namespace kestra::preview {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string rectText(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) +
           "x" + std::to_string(r.bottom - r.top);
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

TimingLine timingOf(const std::string& label, const std::vector<double>& values) {
    TimingLine line;
    line.label = label;
    line.count = values.size();
    line.medianMs = median(values);
    line.worstMs = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    return line;
}

// The controller's side of the conversation: real request frames sent with
// SendMessageA from another application's window.
class Script {
  public:
    Script(sim::Desktop& desk, sim::Controller& controller, TurnMeter& meter)
        : desk_(desk), controller_(controller), meter_(meter) {}

    // Runs fn as an external event at atMs (inside the helper's peek).
    // A step that costs next to nothing (moving a window, showing prepared
    // pixels) leaves its turn among the measured ones: pass light.
    void at(std::int64_t atMs, std::function<void()> fn, bool light = false) {
        desk_.at(atMs, [this, light, fn = std::move(fn)] {
            if (!light) {
                meter_.markScripted();
            }
            fn();
        });
        last_ = std::max(last_, atMs);
    }

    void command(std::int64_t atMs, int number, std::function<std::string()> payload) {
        at(atMs, [this, number, payload = std::move(payload)] { send(number, payload()); });
    }

    void send(int number, const std::string& payload) {
        const HWND helper = announcedHelper();
        if (helper == nullptr) {
            return;
        }
        const int requestId = ++commandsSent_;
        controller_.send(helper, formatHandle(controller_.hwnd()) + "[.2.]REQ[.1.]" + std::to_string(number) +
                                     "[.2.]" + payload + "[.2.]" + std::to_string(requestId));
    }

    HWND announcedHelper() const {
        if (controller_.received().empty()) {
            return nullptr;
        }
        return readHandle(controller_.received().front().bytes.substr(0, 16)).value_or(nullptr);
    }

    int commandsSent() const { return commandsSent_; }
    std::int64_t last() const { return last_; }

  private:
    sim::Desktop& desk_;
    sim::Controller& controller_;
    TurnMeter& meter_;
    int commandsSent_ = 0;
    std::int64_t last_ = 0;
};

std::string glassPayload(HWND window, const GlassSettings& g) {
    return formatHandle(window) + "," + std::to_string(g.radius) + "," + number(g.brightness) + "," +
           (g.wallpaperOnly ? "1" : "0") + "," + number(g.contentOpacity) + "," + (g.darkMode ? "1" : "0") +
           "," + number(g.photoOpacity) + "," + number(g.foregroundOpacity);
}

sim::Image contactSheet(const std::vector<Stage>& stages, Font& font) {
    const int columns = stages.size() <= 4 ? 2 : 3;
    const int rows = static_cast<int>((stages.size() + columns - 1) / columns);
    const int cellWidth = 480;
    const sim::Image& first = stages.front().image;
    const int cellHeight = std::max(1, cellWidth * first.height / std::max(first.width, 1));
    const int label = 30;
    const int gap = 12;
    sim::Image sheet(gap + columns * (cellWidth + gap), gap + rows * (cellHeight + label + gap),
                     sim::bgra(28, 28, 32));
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const int x = gap + static_cast<int>(i % columns) * (cellWidth + gap);
        const int y = gap + static_cast<int>(i / columns) * (cellHeight + label + gap);
        sheet.draw(scaleDown(stages[i].image, cellWidth, cellHeight), x, y);
        // Long titles are shortened to the cell's width.
        std::string title = std::to_string(i + 1) + ". " + stages[i].title;
        while (title.size() > 4 && font.measure(title, 14) > cellWidth - 4) {
            title = title.substr(0, title.size() - 4) + "...";
        }
        font.draw(sheet, x + 2, y + cellHeight + 20, title, 14, sim::bgra(230, 230, 235));
    }
    return sheet;
}

}  // namespace

int runPreview(const Options& options, std::ostream& out, std::ostream& err, PreviewResult* result) {
    PreviewResult local;
    PreviewResult& res = result != nullptr ? *result : local;

    Fonts fonts;
    std::string error;
    if (!openFonts(fonts, error)) {
        err << "kestra-preview: " << error << "\n";
        return kExitFailed;
    }

    // The desktop and its windows.
    Scene scene;
    if (options.screenshot.empty()) {
        scene = makeDefaultScene(options.width, options.height, fonts);
    } else {
        sim::Image shot;
        if (!readPng(options.screenshot, shot, error)) {
            err << "kestra-preview: " << error << "\n";
            return kExitBadArguments;
        }
        if (shot.width < 64 || shot.height < 64) {
            err << "kestra-preview: screenshot '" << options.screenshot << "' is only " << shot.width << "x"
                << shot.height << " pixels; it needs at least 64x64\n";
            return kExitBadArguments;
        }
        for (const RECT& r : options.windows) {
            if (r.left < 0 || r.top < 0 || r.right > shot.width || r.bottom > shot.height ||
                r.right - r.left < 16 || r.bottom - r.top < 16) {
                err << "kestra-preview: --window " << r.left << "," << r.top << "," << r.right - r.left << ","
                    << r.bottom - r.top << " must lie inside the " << shot.width << "x" << shot.height
                    << " screenshot and be at least 16x16\n";
                return kExitBadArguments;
            }
        }
        scene = makeScreenshotScene(shot, options.windows);
    }

    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec || !std::filesystem::is_directory(options.outDir)) {
        err << "kestra-preview: cannot create output folder '" << options.outDir << "': " << ec.message()
            << "\n";
        return kExitBadArguments;
    }

    sim::DesktopOptions desktopOptions;
    desktopOptions.width = scene.width;
    desktopOptions.height = scene.height;
    desktopOptions.wallpaper = sim::Content::image(scene.wallpaper);
    desktopOptions.turnCostMs = options.turnCostMs;
    sim::Desktop desk(desktopOptions);
    sim::App& apps = desk.app("applications");
    std::vector<HWND> handles;
    res.wallpaper = scene.wallpaper;
    res.windows.clear();
    for (const SceneWindow& w : scene.windows) {
        sim::WindowOptions wo;
        wo.rect = w.rect;
        wo.title = w.name;
        wo.content = w.content;
        handles.push_back(apps.createWindow(wo));
        PreviewWindow info;
        info.name = w.name;
        info.rect = w.rect;
        info.light = w.light;
        info.hasPhoto = w.hasPhoto;
        info.photoRect = RECT{w.rect.left + w.photoRect.left, w.rect.top + w.photoRect.top,
                              w.rect.left + w.photoRect.right, w.rect.top + w.photoRect.bottom};
        res.windows.push_back(info);
    }
    // The top window of the scene is the one the script moves and resizes;
    // another light one (if any) is minimised and restored.
    std::vector<std::size_t> light;
    for (std::size_t i = scene.windows.size(); i-- > 0;) {
        if (scene.windows[i].light) {
            light.push_back(i);
        }
    }
    if (light.empty()) {
        // Only dark windows: show the glass effect on all of them anyway.
        for (std::size_t i = scene.windows.size(); i-- > 0;) {
            light.push_back(i);
        }
    }
    const std::size_t moving = light.front();
    const std::size_t minimising = light.size() > 1 ? light[1] : light.front();

    sim::Controller controller(desk);
    TurnMeter meter(desk);
    Script script(desk, controller, meter);
    res.stages.clear();
    auto shot = [&](std::int64_t atMs, const std::string& file, const std::string& title) {
        script.at(atMs, [&desk, &res, file, title] {
            Stage stage;
            stage.file = file;
            stage.title = title;
            stage.atMs = desk.now();
            stage.image = desk.screenshot();
            res.stages.push_back(std::move(stage));
        });
    };
    auto handleOf = [&handles](std::size_t i) { return [&handles, i] { return formatHandle(handles[i]); }; };
    const GlassSettings& glass = options.glass;
    const bool dark = options.effect != EffectChoice::glass;
    const bool withGlass = options.effect != EffectChoice::dark;
    const int scale = std::max(1, scene.height / 540);  // script distances in pixels of a 960x540 screen

    // ---- the script, in simulated milliseconds ----
    std::int64_t t = 100;
    int stageNumber = 0;
    auto stageFile = [&stageNumber](const std::string& name) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", ++stageNumber);
        return prefix + name + ".png";
    };
    // The user scrolls the top light window a little and back, so that its
    // content changes and every tick has a new frame to process.
    auto scroll = [&](std::int64_t from) {
        const SceneWindow& w = scene.windows[moving];
        if (!w.scrolled) {
            return from;
        }
        const std::vector<int> offsets = {3, 6, 9, 12, 15, 18, 21, 24, 18, 12, 6, 0};
        for (int offset : offsets) {
            from += 40;
            // Drawn now, so that the turn that shows it only copies pixels.
            const sim::Content content = sim::Content::image(
                w.scrolled(offset * scale).render(w.rect.right - w.rect.left, w.rect.bottom - w.rect.top));
            script.at(
                from,
                [&desk, &handles, moving, content] { desk.window(handles[moving]).setContent(content); },
                true);
        }
        return from;
    };
    shot(t, stageFile("before"), "before: the desktop without effects");
    t += 50;
    if (dark) {
        for (std::size_t i = 0; i < handles.size(); ++i) {
            script.command(t, kSetDark, [&handles, i] { return formatHandle(handles[i]) + "|1"; });
        }
        t = scroll(t + 300) + 500;
        shot(t, stageFile("dark"), "dark effect (command 1) on every window");
        t += 50;
    }
    if (withGlass) {
        for (std::size_t i : light) {
            script.command(t, kStartGlassEffect,
                           [&handles, i, glass] { return glassPayload(handles[i], glass); });
        }
        t = scroll(t + 300) + 800;
        shot(t, stageFile("glass"),
             "glass (command 2): radius " + std::to_string(glass.radius) + ", brightness " +
                 number(glass.brightness) + ", content opacity " + number(glass.contentOpacity) +
                 ", dark mode " + (glass.darkMode ? "on" : "off"));
        t += 50;
        if (!options.contentOpacityChosen) {
            const float other = glass.contentOpacity == 0.5f ? 0.0f : 0.5f;
            for (std::size_t i : light) {
                script.command(t, kChangeContentOpacity, [&handles, i, other] {
                    return formatHandle(handles[i]) + "," + number(other);
                });
            }
            t += 700;
            shot(t, stageFile("glass-opacity-" + number(other)),
                 "glass, content opacity " + number(other) + " (command 7)");
            t += 50;
        }
        if (!options.darkModeChosen) {
            for (std::size_t i : light) {
                script.command(t, kSetGlassDarkMode, [&handles, i, glass] {
                    return formatHandle(handles[i]) + "," + (glass.darkMode ? "0" : "1");
                });
            }
            t += 2100;  // the darkness test runs every 2 s
            shot(t, stageFile(glass.darkMode ? "glass-dark-mode-off" : "glass-dark-mode-on"),
                 std::string("glass, dark mode ") + (glass.darkMode ? "off" : "on") + " (command 8)");
            t += 50;
            for (std::size_t i : light) {
                script.command(t, kSetGlassDarkMode, [&handles, i, glass] {
                    return formatHandle(handles[i]) + "," + (glass.darkMode ? "1" : "0");
                });
            }
        }
        if (!options.contentOpacityChosen) {
            for (std::size_t i : light) {
                script.command(t, kChangeContentOpacity, [&handles, i, glass] {
                    return formatHandle(handles[i]) + "," + number(glass.contentOpacity);
                });
            }
        }
        t += 2100;
    }
    // Drag the top light window, as a user would, in small steps.
    const int steps = 24;
    for (int s = 1; s <= steps; ++s) {
        script.at(
            t + 25 * s,
            [&desk, &handles, moving, scale] { desk.window(handles[moving]).moveBy(5 * scale, 2 * scale); },
            true);
        if (s == steps / 2) {
            shot(t + 25 * s + 12, stageFile("moving"),
                 withGlass ? "glass while the window is dragged" : "dark effect while the window is dragged");
        }
    }
    t += 25 * steps + 100;
    script.at(t, [&desk, &handles, moving, scale] {
        sim::Window w = desk.window(handles[moving]);
        const RECT r = w.rect();
        w.resize(r.right - r.left + 60 * scale, r.bottom - r.top - 40 * scale);
    });
    t += 1200;
    shot(t, stageFile("resized"), "after the window was moved and resized");
    t += 100;
    script.at(t, [&desk, &handles, minimising] { desk.window(handles[minimising]).minimise(); });
    t += 400;
    shot(t, stageFile("minimised"), "'" + scene.windows[minimising].name + "' minimised");
    t += 100;
    script.at(t, [&desk, &handles, minimising] { desk.window(handles[minimising]).restore(); });
    t += 2100;
    shot(t, stageFile("restored"), "after '" + scene.windows[minimising].name + "' was restored");
    t += 100;
    // Switch everything off: the helper untracks every window and ends with 0
    // at its next liveness check.
    for (std::size_t i = 0; i < handles.size(); ++i) {
        script.command(t, kSetDark, [&handles, i] { return formatHandle(handles[i]) + "|0"; });
        script.command(t, kStopGlassEffect, handleOf(i));
    }
    const std::int64_t endOfScript = t;
    desk.at(t + 1, [&desk, &meter] {
        meter.stop();
        desk.setTurnCost(50);  // nothing left to draw: reach the liveness check quickly
    });
    // A helper that keeps running after that loses its controller.
    desk.at(t + 60000, [&controller] { controller.close(); });

    resetProcessState();
    meter.start();
    const auto wallStart = std::chrono::steady_clock::now();
    res.helperExitCode = helperMain(nullptr, formatHandle(controller.hwnd()).c_str());
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    res.simulatedMs = desk.now();
    resetProcessState();
    res.commandsSent = script.commandsSent();
    res.repliesReceived = 0;
    for (const sim::ReceivedFrame& frame : controller.received()) {
        if (frame.bytes.find("[.2.]RET[.1.]") != std::string::npos) {
            ++res.repliesReceived;
        }
    }

    // ---- what a person sees ----
    out << "kestra-preview: "
        << (scene.builtIn ? "built-in scene" : "screenshot '" + options.screenshot + "'") << ", "
        << scene.width << "x" << scene.height << ", windows:";
    for (std::size_t i = 0; i < scene.windows.size(); ++i) {
        out << (i == 0 ? " " : ", ") << scene.windows[i].name << " at " << rectText(scene.windows[i].rect);
    }
    out << "\n";
    out << "  the real helper ran on the simulated desktop for "
        << fixed(static_cast<double>(res.simulatedMs) / 1000.0, 1) << " s of simulated time ("
        << fixed(wallSeconds, 1) << " s wall clock, " << number(options.turnCostMs)
        << " ms per main-loop turn) and ended with exit code " << res.helperExitCode
        << (res.helperExitCode == 0 ? " (nothing left to track)" : "") << "\n";
    out << "  the controller sent " << res.commandsSent << " commands and received " << res.repliesReceived
        << " replies\n";
    bool ok = res.helperExitCode == 0 && res.repliesReceived == res.commandsSent &&
              static_cast<std::int64_t>(res.stages.size()) == stageNumber;
    if (res.stages.size() != static_cast<std::size_t>(stageNumber)) {
        err << "kestra-preview: the helper ended before the script was done (" << res.stages.size() << " of "
            << stageNumber << " stages taken, script ran to " << endOfScript << " ms)\n";
    }

    out << "pictures:\n";
    std::size_t pathWidth = 0;
    for (const Stage& stage : res.stages) {
        pathWidth = std::max(pathWidth, (std::filesystem::path(options.outDir) / stage.file).string().size());
    }
    for (const Stage& stage : res.stages) {
        const std::string path = (std::filesystem::path(options.outDir) / stage.file).string();
        if (!writePng(path, stage.image)) {
            err << "kestra-preview: cannot write '" << path << "'\n";
            return kExitFailed;
        }
        char line[1024];
        std::snprintf(line, sizeof line, "  %-*s  at %5lld ms  ", static_cast<int>(pathWidth), path.c_str(),
                      static_cast<long long>(stage.atMs));
        out << line << stage.title << "\n";
    }
    if (!res.stages.empty()) {
        res.contactSheet = (std::filesystem::path(options.outDir) / "contact-sheet.png").string();
        if (!writePng(res.contactSheet, contactSheet(res.stages, *fonts.sans))) {
            err << "kestra-preview: cannot write '" << res.contactSheet << "'\n";
            return kExitFailed;
        }
        out << "  " << res.contactSheet << "  all stages side by side\n";
    }
    out << "the pictures are in " << std::filesystem::absolute(options.outDir).lexically_normal().string()
        << "\n";

    // ---- what it cost ----
    std::vector<double> darkTurns, glassTurns, recomposeTurns, monitorTurns, idleTurns;
    std::size_t scripted = 0;
    for (const Turn& turn : meter.turns()) {
        if (turn.scripted) {
            ++scripted;
        } else if (turn.monitorBlurs > 0) {
            monitorTurns.push_back(turn.wallMs);
        } else if (turn.recompositions > 0) {
            recomposeTurns.push_back(turn.wallMs);
        } else if (turn.glassFrames > 0) {
            glassTurns.push_back(turn.wallMs);
        } else if (turn.darkFrames > 0) {
            darkTurns.push_back(turn.wallMs);
        } else {
            idleTurns.push_back(turn.wallMs);
        }
    }
    res.timings = {
        timingOf("dark frame processed and presented", darkTurns),
        timingOf("glass frame processed and presented", glassTurns),
        timingOf("glass frame with backdrop recomposition", recomposeTurns),
        timingOf("glass while moving (monitor blur)", monitorTurns),
        timingOf("no new frame (capture and compare only)", idleTurns),
    };
    out << "timings at " << scene.width << "x" << scene.height << " on "
        << std::thread::hardware_concurrency()
        << " hardware threads (wall clock of one main-loop turn: message peek and scheduler step,\n"
        << "  including the simulated desktop's capture of the window; " << meter.turns().size() << " turns, "
        << scripted << " of them carried a command, window change or screenshot and are not counted):\n";
    for (const TimingLine& line : res.timings) {
        char text[200];
        if (line.count == 0) {
            std::snprintf(text, sizeof text, "  %-42s      0 turns\n", line.label.c_str());
        } else {
            std::snprintf(text, sizeof text, "  %-42s %6zu turns   median %8.2f ms   worst %8.2f ms\n",
                          line.label.c_str(), line.count, line.medianMs, line.worstMs);
        }
        out << text;
    }
    // The helper's waits for messages between quiet rounds.
    if (meter.meteredUs() > 0) {
        res.waitingShare = static_cast<double>(meter.waitedUs()) / static_cast<double>(meter.meteredUs());
    }
    {
        char text[200];
        std::snprintf(text, sizeof text, "  %-42s %6d waits    %5.1f %% of %.1f s of simulated time\n",
                      "waiting for messages (nothing changed)", meter.waits(), 100.0 * res.waitingShare,
                      static_cast<double>(meter.meteredUs()) / 1e6);
        out << text;
    }
    // How much of a turn the simulation's capture is: compose the biggest
    // light window's rectangle as the Magnifier stand-in does.
    {
        const PreviewWindow& w = res.windows[moving];
        std::vector<double> times;
        for (int i = 0; i < 7; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const sim::Image captured = desk.compose(w.rect);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            if (captured.empty()) {
                break;
            }
        }
        out << "  of which one simulated capture of '" << w.name << "' (" << w.rect.right - w.rect.left << "x"
            << w.rect.bottom - w.rect.top << ") takes about " << fixed(median(times), 2)
            << " ms: cost of the simulation, not of the helper\n";
    }
    if (!ok) {
        err << "kestra-preview: the run did not go as scripted (see above)\n";
        return kExitFailed;
    }
    return kExitOk;
}

int previewMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                PreviewResult* result) {
    Options options;
    std::string error;
    if (parseOptions(args, options, error) != kExitOk) {
        err << "kestra-preview: " << error << "\n";
        return kExitBadArguments;
    }
    if (options.help) {
        out << usageText();
        return kExitOk;
    }
    return runPreview(options, out, err, result);
}

}  // namespace kestra::preview
