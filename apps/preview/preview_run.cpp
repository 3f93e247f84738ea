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
#include "platform/rect.h"
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
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(widthOf(r)) + "x" +
           std::to_string(heightOf(r));
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
        controller_.send(helper, formatRequestFrame(controller_.hwnd(), number, payload, requestId));
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

// ---- the scene ----

// The scene the options ask for: the built-in one, or the screenshot with the
// windows given on the command line. kExitOk, or the exit code of the problem
// (told on err).
int loadScene(const Options& options, const Fonts& fonts, Scene& scene, std::ostream& err) {
    if (options.screenshot.empty()) {
        scene = makeDefaultScene(options.width, options.height, fonts);
        return kExitOk;
    }
    sim::Image shot;
    std::string error;
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
        if (r.left < 0 || r.top < 0 || r.right > shot.width || r.bottom > shot.height || widthOf(r) < 16 ||
            heightOf(r) < 16) {
            err << "kestra-preview: --window " << r.left << "," << r.top << "," << widthOf(r) << ","
                << heightOf(r) << " must lie inside the " << shot.width << "x" << shot.height
                << " screenshot and be at least 16x16\n";
            return kExitBadArguments;
        }
    }
    scene = makeScreenshotScene(shot, options.windows);
    return kExitOk;
}

int prepareOutputFolder(const Options& options, std::ostream& err) {
    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec || !std::filesystem::is_directory(options.outDir)) {
        err << "kestra-preview: cannot create output folder '" << options.outDir << "': " << ec.message()
            << "\n";
        return kExitBadArguments;
    }
    return kExitOk;
}

sim::DesktopOptions desktopFor(const Scene& scene, const Options& options) {
    sim::DesktopOptions desktopOptions;
    desktopOptions.width = scene.width;
    desktopOptions.height = scene.height;
    desktopOptions.wallpaper = sim::Content::image(scene.wallpaper);
    desktopOptions.turnCostMs = options.turnCostMs;
    return desktopOptions;
}

// Opens the scene's windows as another application's and records them in res.
std::vector<HWND> openWindows(sim::Desktop& desk, const Scene& scene, PreviewResult& res) {
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
    return handles;
}

// The windows the script works on: the light ones (topmost first) get the
// glass; the top one of them is moved and resized, another light one (if
// any) minimised and restored.
struct Roles {
    std::vector<std::size_t> light;
    std::size_t moving = 0;
    std::size_t minimising = 0;
};

Roles chooseRoles(const Scene& scene) {
    Roles roles;
    for (std::size_t i = scene.windows.size(); i-- > 0;) {
        if (scene.windows[i].light) {
            roles.light.push_back(i);
        }
    }
    if (roles.light.empty()) {
        // Only dark windows: show the glass effect on all of them anyway.
        for (std::size_t i = scene.windows.size(); i-- > 0;) {
            roles.light.push_back(i);
        }
    }
    roles.moving = roles.light.front();
    roles.minimising = roles.light.size() > 1 ? roles.light[1] : roles.light.front();
    return roles;
}

// ---- the script ----

// Writes the script of the run onto the desktop's timeline, in simulated
// milliseconds: the effects switched on, changed, the top window dragged,
// resized, another one minimised and restored, everything switched off, with
// a screenshot at each stage. The events keep references to the desktop, the
// handles and res, which outlive the run.
class Storyboard {
  public:
    Storyboard(sim::Desktop& desk, Script& script, const std::vector<HWND>& handles, const Scene& scene,
               const Roles& roles, const Options& options, PreviewResult& res)
        : desk_(desk),
          script_(script),
          handles_(handles),
          scene_(scene),
          roles_(roles),
          options_(options),
          res_(res),
          scale_(std::max(1, scene.height / 540)) {}

    // Writes every stage; returns when the script's last event happens.
    std::int64_t write() {
        res_.stages.clear();
        shot(t_, stageFile("before"), "before: the desktop without effects");
        t_ += 50;
        if (options_.effect != EffectChoice::glass) {
            showDark();
        }
        if (options_.effect != EffectChoice::dark) {
            showGlass();
        }
        moveResizeMinimise();
        switchOff();
        return t_;
    }

    // How many screenshots the script takes.
    int stages() const { return stageNumber_; }

  private:
    void shot(std::int64_t atMs, const std::string& file, const std::string& title) {
        script_.at(atMs, [&desk = desk_, &res = res_, file, title] {
            Stage stage;
            stage.file = file;
            stage.title = title;
            stage.atMs = desk.now();
            stage.image = desk.screenshot();
            res.stages.push_back(std::move(stage));
        });
    }

    std::string stageFile(const std::string& name) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%02d-", ++stageNumber_);
        return prefix + name + ".png";
    }

    std::function<std::string()> handleText(std::size_t i, const std::string& rest) const {
        return [&handles = handles_, i, rest] { return formatHandle(handles[i]) + rest; };
    }

    // The user scrolls the top light window a little and back, so that its
    // content changes and every tick has a new frame to process.
    std::int64_t scroll(std::int64_t from) {
        const SceneWindow& w = scene_.windows[roles_.moving];
        if (!w.scrolled) {
            return from;
        }
        const std::vector<int> offsets = {3, 6, 9, 12, 15, 18, 21, 24, 18, 12, 6, 0};
        for (int offset : offsets) {
            from += 40;
            // Drawn now, so that the turn that shows it only copies pixels.
            const sim::Content content =
                sim::Content::image(w.scrolled(offset * scale_).render(widthOf(w.rect), heightOf(w.rect)));
            script_.at(
                from,
                [&desk = desk_, &handles = handles_, moving = roles_.moving, content] {
                    desk.window(handles[moving]).setContent(content);
                },
                true);
        }
        return from;
    }

    void showDark() {
        for (std::size_t i = 0; i < handles_.size(); ++i) {
            script_.command(t_, kSetDark, handleText(i, "|1"));
        }
        t_ = scroll(t_ + 300) + 500;
        shot(t_, stageFile("dark"), "dark effect (command 1) on every window");
        t_ += 50;
    }

    void showGlass() {
        const GlassSettings& glass = options_.glass;
        for (std::size_t i : roles_.light) {
            script_.command(t_, kStartGlassEffect,
                            [&handles = handles_, i, glass] { return glassPayload(handles[i], glass); });
        }
        t_ = scroll(t_ + 300) + 800;
        shot(t_, stageFile("glass"),
             "glass (command 2): radius " + std::to_string(glass.radius) + ", brightness " +
                 number(glass.brightness) + ", content opacity " + number(glass.contentOpacity) +
                 ", dark mode " + (glass.darkMode ? "on" : "off"));
        t_ += 50;
        if (!options_.contentOpacityChosen) {
            const float other = glass.contentOpacity == 0.5f ? 0.0f : 0.5f;
            for (std::size_t i : roles_.light) {
                script_.command(t_, kChangeContentOpacity, handleText(i, "," + number(other)));
            }
            t_ += 700;
            shot(t_, stageFile("glass-opacity-" + number(other)),
                 "glass, content opacity " + number(other) + " (command 7)");
            t_ += 50;
        }
        if (!options_.darkModeChosen) {
            for (std::size_t i : roles_.light) {
                script_.command(t_, kSetGlassDarkMode, handleText(i, glass.darkMode ? ",0" : ",1"));
            }
            t_ += 2100;  // the darkness test runs every 2 s
            shot(t_, stageFile(glass.darkMode ? "glass-dark-mode-off" : "glass-dark-mode-on"),
                 std::string("glass, dark mode ") + (glass.darkMode ? "off" : "on") + " (command 8)");
            t_ += 50;
            for (std::size_t i : roles_.light) {
                script_.command(t_, kSetGlassDarkMode, handleText(i, glass.darkMode ? ",1" : ",0"));
            }
        }
        if (!options_.contentOpacityChosen) {
            for (std::size_t i : roles_.light) {
                script_.command(t_, kChangeContentOpacity, handleText(i, "," + number(glass.contentOpacity)));
            }
        }
        t_ += 2100;
    }

    void moveResizeMinimise() {
        const std::size_t moving = roles_.moving;
        const std::size_t minimising = roles_.minimising;
        const int scale = scale_;
        // Drag the top light window, as a user would, in small steps.
        const int steps = 24;
        for (int s = 1; s <= steps; ++s) {
            script_.at(
                t_ + 25 * s,
                [&desk = desk_, &handles = handles_, moving, scale] {
                    desk.window(handles[moving]).moveBy(5 * scale, 2 * scale);
                },
                true);
            if (s == steps / 2) {
                shot(t_ + 25 * s + 12, stageFile("moving"),
                     options_.effect != EffectChoice::dark ? "glass while the window is dragged"
                                                           : "dark effect while the window is dragged");
            }
        }
        t_ += 25 * steps + 100;
        script_.at(t_, [&desk = desk_, &handles = handles_, moving, scale] {
            sim::Window w = desk.window(handles[moving]);
            const RECT r = w.rect();
            w.resize(widthOf(r) + 60 * scale, heightOf(r) - 40 * scale);
        });
        t_ += 1200;
        shot(t_, stageFile("resized"), "after the window was moved and resized");
        t_ += 100;
        script_.at(t_, [&desk = desk_, &handles = handles_, minimising] {
            desk.window(handles[minimising]).minimise();
        });
        t_ += 400;
        shot(t_, stageFile("minimised"), "'" + scene_.windows[minimising].name + "' minimised");
        t_ += 100;
        script_.at(t_, [&desk = desk_, &handles = handles_, minimising] {
            desk.window(handles[minimising]).restore();
        });
        t_ += 2100;
        shot(t_, stageFile("restored"), "after '" + scene_.windows[minimising].name + "' was restored");
        t_ += 100;
    }

    // Switch everything off: the helper untracks every window and ends with 0
    // at its next liveness check.
    void switchOff() {
        for (std::size_t i = 0; i < handles_.size(); ++i) {
            script_.command(t_, kSetDark, handleText(i, "|0"));
            script_.command(t_, kStopGlassEffect, handleText(i, ""));
        }
    }

    sim::Desktop& desk_;
    Script& script_;
    const std::vector<HWND>& handles_;
    const Scene& scene_;
    const Roles& roles_;
    const Options& options_;
    PreviewResult& res_;
    const int scale_;  // script distances in pixels of a 960x540 screen
    std::int64_t t_ = 100;
    int stageNumber_ = 0;
};

// ---- the run ----

// Runs the real helper entry until it ends; returns the wall-clock seconds
// it took. The meter stops after the script's last event, and a helper that
// keeps running long after that loses its controller.
double runHelper(sim::Desktop& desk, sim::Controller& controller, TurnMeter& meter, const Script& script,
                 std::int64_t endOfScript, PreviewResult& res) {
    desk.at(endOfScript + 1, [&desk, &meter] {
        meter.stop();
        desk.setTurnCost(50);  // nothing left to draw: reach the liveness check quickly
    });
    desk.at(endOfScript + 60000, [&controller] { controller.close(); });

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
    const std::string replyMarker =
        std::string(kFieldSeparator) + std::string(kReplyKind) + std::string(kHeaderSeparator);
    for (const sim::ReceivedFrame& frame : controller.received()) {
        if (frame.bytes.find(replyMarker) != std::string::npos) {
            ++res.repliesReceived;
        }
    }
    return wallSeconds;
}

// ---- the report ----

// What ran and how it ended; false when the run did not go as scripted.
bool reportRun(const Options& options, const Scene& scene, const PreviewResult& res, double wallSeconds,
               int stagesPlanned, std::int64_t endOfScript, std::ostream& out, std::ostream& err) {
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
    const bool ok = res.helperExitCode == 0 && res.repliesReceived == res.commandsSent &&
                    static_cast<std::int64_t>(res.stages.size()) == stagesPlanned;
    if (res.stages.size() != static_cast<std::size_t>(stagesPlanned)) {
        err << "kestra-preview: the helper ended before the script was done (" << res.stages.size() << " of "
            << stagesPlanned << " stages taken, script ran to " << endOfScript << " ms)\n";
    }
    return ok;
}

// Writes every stage's PNG and the contact sheet and lists them; false when
// a file cannot be written.
bool writePictures(const Options& options, Font& font, PreviewResult& res, std::ostream& out,
                   std::ostream& err) {
    out << "pictures:\n";
    std::size_t pathWidth = 0;
    for (const Stage& stage : res.stages) {
        pathWidth = std::max(pathWidth, (std::filesystem::path(options.outDir) / stage.file).string().size());
    }
    for (const Stage& stage : res.stages) {
        const std::string path = (std::filesystem::path(options.outDir) / stage.file).string();
        if (!writePng(path, stage.image)) {
            err << "kestra-preview: cannot write '" << path << "'\n";
            return false;
        }
        char line[1024];
        std::snprintf(line, sizeof line, "  %-*s  at %5lld ms  ", static_cast<int>(pathWidth), path.c_str(),
                      static_cast<long long>(stage.atMs));
        out << line << stage.title << "\n";
    }
    if (!res.stages.empty()) {
        res.contactSheet = (std::filesystem::path(options.outDir) / "contact-sheet.png").string();
        if (!writePng(res.contactSheet, contactSheet(res.stages, font))) {
            err << "kestra-preview: cannot write '" << res.contactSheet << "'\n";
            return false;
        }
        out << "  " << res.contactSheet << "  all stages side by side\n";
    }
    out << "the pictures are in " << std::filesystem::absolute(options.outDir).lexically_normal().string()
        << "\n";
    return true;
}

// What the measured turns cost, by the work they did, and what one
// simulated capture of the moving window costs beside them.
void reportTimings(const Scene& scene, const TurnMeter& meter, sim::Desktop& desk, std::size_t moving,
                   PreviewResult& res, std::ostream& out) {
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
    out << "  of which one simulated capture of '" << w.name << "' (" << widthOf(w.rect) << "x"
        << heightOf(w.rect) << ") takes about " << fixed(median(times), 2)
        << " ms: cost of the simulation, not of the helper\n";
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
    Scene scene;
    if (const int code = loadScene(options, fonts, scene, err); code != kExitOk) {
        return code;
    }
    if (const int code = prepareOutputFolder(options, err); code != kExitOk) {
        return code;
    }

    sim::Desktop desk(desktopFor(scene, options));
    const std::vector<HWND> handles = openWindows(desk, scene, res);
    const Roles roles = chooseRoles(scene);
    sim::Controller controller(desk);
    TurnMeter meter(desk);
    Script script(desk, controller, meter);
    Storyboard storyboard(desk, script, handles, scene, roles, options, res);
    const std::int64_t endOfScript = storyboard.write();

    const double wallSeconds = runHelper(desk, controller, meter, script, endOfScript, res);

    const bool ok = reportRun(options, scene, res, wallSeconds, storyboard.stages(), endOfScript, out, err);
    if (!writePictures(options, *fonts.sans, res, out, err)) {
        return kExitFailed;
    }
    reportTimings(scene, meter, desk, roles.moving, res, out);
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
