// The helper soak: the real helperMain on a small simulated desktop, session
// after session (each session one helper process on a fresh desktop), driven
// by a seeded draw from a named, weighted table of operations: windows of
// other applications come and go, move, change size and show state and
// repaint; the cursor moves; the controller sends commands 1 to 11 with
// valid, edge and wrong payloads for tracked and untracked windows, and
// commands that are not answered, and sometimes closes its window; platform
// calls fail. Operations run as external events inside the helper's
// PeekMessageA, between two turns of its main loop, as messages from other
// processes do.
//
// Checked after every operation: the table's invariants, no helper window
// focused, resources bounded, no frame that nobody asked for, every command 1
// to 11 answered exactly once and no other command answered. Checked after
// every quiet spell (nothing changed for longer than every period of the
// engine): every visible overlay lies exactly over its target, which is
// visible and not minimised, and a dark overlay over an uncovered light
// target shows its plain part inverted. Checked when the helper returns: the
// exit code, and that nothing of the process is left once it has gone.
//
//   tests_soak --gtest_filter=HelperSoak.* --seed=<seed> --turns=<main-loop turns> [--progress=<turns>]
//   (or KESTRA_SOAK_SEED, KESTRA_SOAK_TURNS)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "channel/command_set.h"
#include "channel/framing.h"
#include "host/helper_main.h"
#include "long_run.h"
#include "platform/sim/desktop.h"
#include "soak_desktop.h"
#include "support/helper_invariants.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {
namespace {

// Turns of a quiet spell: long enough for every tracked window to have been
// ticked with its final rectangle and content since the last change, and for
// a darkness test to have seen that content. The test runs only in a cycle
// that goes on (a changed frame, or the colour learning) once its period has
// passed: a target that turns light just after a test is tested again at the
// first learning after the test's period, up to both periods later.
constexpr std::int64_t kQuietMinMs = kDarknessTestPeriodMs + kColourLearningPeriodMs + 100;
constexpr std::int64_t kQuietSpreadMs = 1400;

// A liveness check comes every ten seconds; give the last turn some room.
constexpr std::int64_t kExitAfterCloseMs = kLivenessPeriodMs + 300;

std::string peakMemory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    std::string found;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0 || line.rfind("VmRSS:", 0) == 0) {
            found +=
                line.substr(0, line.find(':')) + " " + line.substr(line.find_first_not_of(" \t", 6)) + "  ";
        }
    }
    return found;
}

struct SoakWindow {
    HWND hwnd = nullptr;
    Look look = Look::Light;
};

// One kind of step, drawn with probability weight / total.
struct Operation {
    const char* name;
    int weight;
    std::function<void()> run;
};

// How a session's helper starts.
enum class Start { Normal, NoController, ClassFails, WindowFails, MagnificationFails };

class Soak {
  public:
    Soak(std::uint64_t seed, std::uint64_t turns, std::uint64_t progressEvery)
        : seed_(seed), budget_(turns), progressEvery_(progressEvery), rng_(seed) {}

    // Runs sessions until the turn budget is spent or a check fails.
    void run() {
        const auto began = std::chrono::steady_clock::now();
        std::uint64_t nextProgress = progressEvery_;
        while (turnsDone_ < budget_ && !failed_) {
            runSession();
            if (progressEvery_ > 0 && turnsDone_ >= nextProgress) {
                printProgress(began);
                nextProgress = turnsDone_ + progressEvery_;
            }
        }
        printProgress(began);
        std::printf("soak steps:");
        for (const auto& [name, count] : opCounts_) {
            std::printf(" %s %llu,", name.c_str(), static_cast<unsigned long long>(count));
        }
        std::printf(
            "\nsoak checks: %llu replies, %llu quiet spells, %llu overlay placements, %llu inversions\n",
            static_cast<unsigned long long>(replies_), static_cast<unsigned long long>(quietChecks_),
            static_cast<unsigned long long>(placementChecks_),
            static_cast<unsigned long long>(inversionChecks_));
        std::fflush(stdout);
    }

    bool failed() const { return failed_; }

  private:
    // ---- random draws ----
    std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    int pickInt(int n) { return static_cast<int>(pick(static_cast<std::uint64_t>(n))); }
    int between(int low, int high) { return low + pickInt(high - low + 1); }
    template <typename T>
    const T& oneOf(const std::vector<T>& items) {
        return items[pick(items.size())];
    }

    const Operation& draw(const std::vector<Operation>& operations) {
        int total = 0;
        for (const Operation& op : operations) {
            total += op.weight;
        }
        int r = pickInt(total);
        for (const Operation& op : operations) {
            if (r < op.weight) {
                return op;
            }
            r -= op.weight;
        }
        return operations.back();
    }

    std::uint64_t turnsNow() const { return turnsDone_ + (desk_ ? desk_->peekCalls() : 0); }

    std::string context() const {
        std::ostringstream text;
        text << "soak seed " << seed_ << ", session " << session_ << ", turn " << turnsNow() << ", step "
             << step_ << " (" << opName_
             << "); replay: " << replayLine("HelperSoak.*", seed_, "turns", budget_);
        return text.str();
    }

    void printProgress(std::chrono::steady_clock::time_point began) const {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::printf("soak seed %llu: %llu turns, %llu sessions, %llu steps in %.1f s (%.0f turns/s)  %s\n",
                    static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(turnsNow()),
                    static_cast<unsigned long long>(session_), static_cast<unsigned long long>(step_),
                    seconds, seconds > 0 ? static_cast<double>(turnsNow()) / seconds : 0.0,
                    peakMemory().c_str());
        std::fflush(stdout);
    }

    // ---- sessions ----
    Start drawStart() {
        const int r = pickInt(100);
        if (r < 3) {
            return Start::NoController;
        }
        if (r < 5) {
            return Start::ClassFails;
        }
        if (r < 7) {
            return Start::WindowFails;
        }
        if (r < 10) {
            return Start::MagnificationFails;
        }
        return Start::Normal;
    }

    void runSession() {
        ++session_;
        desk_ = makeSoakDesktop();
        controller_ = std::make_unique<sim::Controller>(*desk_);
        apps_ = &desk_->app("apps");
        windows_.clear();
        gone_.clear();
        helper_ = nullptr;
        announced_ = false;
        controllerClosed_ = false;
        stopping_ = false;
        quietEnds_ = false;
        resetProcessState();
        const int initial = between(1, 5);
        for (int i = 0; i < initial; ++i) {
            createWindow();
        }

        const Start start = drawStart();
        std::string commandLine = formatHandle(controller_->hwnd());
        switch (start) {
            case Start::NoController: {
                HWND left = apps_->createWindow(windowOptions({0, 0, 4, 4}, Look::Light, false));
                desk_->window(left).destroy();
                commandLine = pick(2) == 0 ? formatHandle(left) : std::string(pick(2) == 0 ? "" : "window");
                break;
            }
            case Start::ClassFails:
                desk_->failNext("RegisterClassExA");
                break;
            case Start::WindowFails:
                desk_->failNext("CreateWindowExA");
                break;
            case Start::MagnificationFails:
                desk_->failNext("MagInitialize");
                break;
            case Start::Normal:
                break;
        }
        desk_->at(between(1, 20), [this] { onStep(); });
        const int exitCode = helperMain(nullptr, commandLine.c_str());
        {
            SCOPED_TRACE(context());
            checkExit(start, exitCode);
            endHelperProcess(*desk_);
            if (::testing::Test::HasFailure()) {
                fail();
            }
        }
        turnsDone_ += desk_->peekCalls();
        controller_.reset();
        desk_.reset();
    }

    void checkExit(Start start, int exitCode) {
        opName_ = "exit";
        switch (start) {
            case Start::NoController:
                EXPECT_EQ(exitCode, kExitNotAnnounced);
                EXPECT_TRUE(controller_->received().empty());
                return;
            case Start::ClassFails:
                EXPECT_EQ(exitCode, kExitClassNotRegistered);
                return;
            case Start::WindowFails:
                EXPECT_EQ(exitCode, kExitWindowNotCreated);
                return;
            default:
                break;
        }
        if (exitCode == kExitControllerGone) {
            EXPECT_TRUE(controllerClosed_) << "ended with -1000 while the controller window exists";
            EXPECT_LE(desk_->now() - closedAtMs_, kExitAfterCloseMs) << "no liveness check after the close";
        } else {
            EXPECT_EQ(exitCode, kExitNothingTracked);
            EXPECT_TRUE(activeList.empty()) << "ended with 0 while windows are tracked";
        }
    }

    // A failed check ends the session at once: the controller goes and every
    // window with it, so the helper returns at its next turns.
    void fail() {
        if (!failed_) {
            std::fprintf(stderr, "SOAK FAILURE at %s\n%s", context().c_str(), describeTable().c_str());
        }
        failed_ = true;
        if (desk_ && controller_) {
            closeController();
            for (const SoakWindow& w : windows_) {
                desk_->window(w.hwnd).destroy();
            }
            windows_.clear();
        }
    }

    static std::string rectText(const RECT& r) {
        return "{" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right) +
               ", " + std::to_string(r.bottom) + "}";
    }

    // The tracked records and the windows they name, for a failure report.
    std::string describeTable() const {
        std::ostringstream text;
        for (std::size_t i = 0; i < trackedWindows.size(); ++i) {
            const TrackedWindow& record = trackedWindows[i];
            if (record.target == nullptr) {
                continue;
            }
            const EffectEngine& engine = record.engine;
            sim::Window target = desk_->window(record.target);
            text << "  record " << i << ": target " << formatHandle(record.target) << " at "
                 << rectText(target.rect()) << (target.visible() ? " visible" : " hidden")
                 << (target.minimised() ? " minimised" : "") << (target.maximised() ? " maximised" : "")
                 << (record.live ? ", live" : ", not live") << (engine.engineAttached ? ", attached" : "")
                 << (engine.darkEnabled ? ", dark" : "") << (engine.glassEnabled ? ", glass" : "")
                 << (engine.overlayHiddenDark ? ", hidden as dark" : "") << "; capture "
                 << rectText(record.captureRect) << ", window " << rectText(record.windowRect)
                 << ", previous " << rectText(record.previousRect);
            if (engine.overlay.layerWindow != nullptr) {
                sim::Window overlay = desk_->window(engine.overlay.layerWindow);
                text << "; overlay " << rectText(overlay.rect())
                     << (overlay.visible() ? " visible" : " hidden") << ", surface " << engine.overlay.width
                     << "x" << engine.overlay.height
                     << (engine.overlay.surfaceBits == nullptr ? " (none)" : "");
            }
            text << "\n";
        }
        text << "  z-order, top first:";
        for (HWND window : desk_->zOrder()) {
            sim::Window w = desk_->window(window);
            text << "\n    " << formatHandle(window) << " " << desk_->className(window) << " "
                 << rectText(w.rect()) << (w.visible() ? " visible" : " hidden");
            if (desk_->owner(window) != nullptr) {
                text << ", owner " << formatHandle(desk_->owner(window));
            }
        }
        text << "\n";
        return text.str();
    }

    // ---- steps ----
    void onStep() {
        if (failed_) {
            return;
        }
        SCOPED_TRACE(context());
        checkStep();
        if (::testing::Test::HasFailure()) {
            fail();
            return;
        }
        if (!stopping_ && turnsNow() >= budget_) {
            stop();
        }
        std::int64_t delay = between(1, 24);
        if (!stopping_) {
            const Operation& op = draw(operations_);
            ++step_;
            opName_ = op.name;
            ++opCounts_[op.name];
            SCOPED_TRACE(context());
            if (trace_) {
                std::printf("turn %llu step %llu: %s\n", static_cast<unsigned long long>(turnsNow()),
                            static_cast<unsigned long long>(step_), op.name);
            }
            op.run();
            checkStep();
            if (::testing::Test::HasFailure()) {
                fail();
                return;
            }
            if (quietStarts_) {
                // The step after the quiet spell checks the settled desktop.
                quietStarts_ = false;
                quietEnds_ = true;
                delay = kQuietMinMs + static_cast<std::int64_t>(pick(kQuietSpreadMs));
            }
        } else {
            delay = 200;
        }
        desk_->after(delay, [this] { onStep(); });
    }

    // The budget is spent: the session winds down (and the run with it).
    void stop() {
        stopping_ = true;
        opName_ = "wind down";
        if (pick(2) == 0) {
            closeController();
        }
        for (const SoakWindow& w : windows_) {
            desk_->window(w.hwnd).destroy();
        }
        windows_.clear();
    }

    void checkStep() {
        if (!announced_ && !controllerClosed_) {
            // The first step runs inside the main loop: the announcement is in.
            ASSERT_EQ(controller_->received().size(), 1u) << "the announcement, alone";
            helper_ = readHandle(controller_->received().front().bytes.substr(0, 16)).value_or(nullptr);
            ASSERT_EQ(helper_, helperWindow);
            controller_->clearReceived();
            announced_ = true;
        }
        ASSERT_TRUE(controller_->received().empty()) << "a frame the controller did not ask for";
        expectHelperInvariants(*desk_);
        if (quietEnds_ && !::testing::Test::HasFailure()) {
            quietEnds_ = false;
            ++quietChecks_;
            checkSettled();
        }
    }

    // ---- settled checks ----
    const SoakWindow* soakWindow(HWND hwnd) const {
        for (const SoakWindow& w : windows_) {
            if (w.hwnd == hwnd) {
                return &w;
            }
        }
        return nullptr;
    }

    static bool intersects(const RECT& a, const RECT& b) {
        return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
    }

    // No visible window of another process above the target covers any of it.
    bool uncovered(HWND target) const {
        const RECT rect = desk_->window(target).rect();
        for (HWND window : desk_->zOrder()) {
            if (window == target) {
                return true;
            }
            if (desk_->isHelperWindow(window) || !desk_->window(window).visible()) {
                continue;
            }
            if (intersects(desk_->window(window).rect(), rect)) {
                return false;
            }
        }
        return true;
    }

    // The darkness test samples a grid inside the scan margins; a frame too
    // small to hold one sample keeps its last answer, which may be "dark"
    // from before the window shrank or turned light.
    static bool darknessTestSamples(const FrameAnalyzer& analyzer) {
        return analyzer.sampleRowBytes > 0 && analyzer.sampleColumnBytes > 0 &&
               analyzer.scanTop + analyzer.sampleRowBytes < analyzer.scanBottom &&
               analyzer.scanLeft + analyzer.sampleColumnBytes < analyzer.scanRight;
    }

    void checkSettled() {
        placementChecks_ += static_cast<std::uint64_t>(activeList.size());
        expectOverlaysOverStillTargets(*desk_);
        if (::testing::Test::HasFailure()) {
            return;
        }
        const RECT screen = desk_->virtualScreen();
        for (const TrackedWindow& record : trackedWindows) {
            const EffectEngine& engine = record.engine;
            if (record.target == nullptr || !engine.engineAttached || !engine.darkEnabled ||
                engine.glassEnabled) {
                continue;
            }
            const SoakWindow* w = soakWindow(record.target);
            sim::Window target = desk_->window(record.target);
            const RECT r = target.rect();
            // Only plain light windows: on windows a few dozen pixels wide
            // the photo regions found around a picture may take in the
            // whole frame (the dark cycle tests check them at real sizes).
            if (w == nullptr || w->look != Look::Light || !target.visible() || target.minimised() ||
                r.left < screen.left || r.top < screen.top || r.right > screen.right ||
                r.bottom > screen.bottom || r.right - r.left < 6 || r.bottom - r.top < 4 ||
                !uncovered(record.target) || !darknessTestSamples(engine.analyzer)) {
                continue;
            }
            ++inversionChecks_;
            ASSERT_TRUE(IsWindowVisible(engine.overlay.layerWindow))
                << "no overlay over a light " << lookName(w->look) << " window with the dark effect";
            const int x = r.left + (r.right - r.left) / 6;
            // The passes leave a frame's last two rows as captured: look
            // half way down the rows above them.
            const int y = r.top + (r.bottom - r.top - 2) / 2;
            ASSERT_EQ(desk_->pixelAt(x, y), inverted(kLightPaper))
                << "the plain part of a " << lookName(w->look) << " window at (" << x << ", " << y
                << ") is not shown inverted";
        }
    }

    // ---- windows of other applications ----
    sim::WindowOptions windowOptions(RECT rect, Look look, bool activate) {
        sim::WindowOptions options;
        options.rect = rect;
        options.title = lookName(look);
        options.content = lookContent(look, static_cast<std::uint32_t>(rng_()));
        options.activate = activate;
        return options;
    }

    RECT randomRect() {
        const int width = pickInt(8) == 0 ? 0 : between(1, 48);
        const int height = pickInt(12) == 0 ? 0 : between(1, 36);
        const int left = between(-24, kSoakScreenWidth - 8);
        const int top = between(-16, kSoakScreenHeight - 8);
        return RECT{left, top, left + width, top + height};
    }

    Look randomLook() { return static_cast<Look>(pickInt(4)); }

    void createWindow() {
        const Look look = randomLook();
        HWND hwnd = apps_->createWindow(windowOptions(randomRect(), look, pick(2) == 0));
        if (hwnd != nullptr) {
            windows_.push_back({hwnd, look});
        }
    }

    // A live window of another application; null when there is none.
    SoakWindow* someWindow() {
        if (windows_.empty()) {
            return nullptr;
        }
        return &windows_[pick(windows_.size())];
    }

    void onSomeWindow(const std::function<void(sim::Window)>& action) {
        if (SoakWindow* w = someWindow()) {
            action(desk_->window(w->hwnd));
        }
    }

    void destroySomeWindow(bool byClose) {
        if (windows_.empty()) {
            return;
        }
        const std::size_t index = pick(windows_.size());
        HWND hwnd = windows_[index].hwnd;
        if (byClose) {
            desk_->window(hwnd).close();
        } else {
            desk_->window(hwnd).destroy();
        }
        windows_.erase(windows_.begin() + static_cast<std::ptrdiff_t>(index));
        gone_.push_back(hwnd);
    }

    // ---- the controller ----
    void closeController() {
        if (!controllerClosed_) {
            controller_->close();
            controllerClosed_ = true;
            closedAtMs_ = desk_->now();
        }
    }

    // A window a command may name: tracked, any other window, one that is
    // gone, or one of the helper's own.
    HWND commandTarget() {
        const int r = pickInt(100);
        if (r < 40 && !activeList.empty()) {
            return trackedWindows[static_cast<std::size_t>(oneOf(activeList))].target;
        }
        if (r < 80 && !windows_.empty()) {
            return someWindow()->hwnd;
        }
        if (r < 90 && !gone_.empty()) {
            // The system reuses the handles of destroyed windows: a handle
            // that is gone may name one of the helper's windows by now.
            return oneOf(gone_);
        }
        const std::vector<HWND> own = desk_->helperWindows();
        if (r < 90 + kOwnWindowTargets && !own.empty()) {
            return oneOf(own);
        }
        return controller_->hwnd();
    }

    enum class Payload { Valid, Edge, Wrong };

    std::string handleText(HWND target, Payload kind) {
        const std::string plain = formatHandle(target);
        if (kind == Payload::Valid) {
            return plain;
        }
        std::string digits = plain;
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
        if (kind == Payload::Edge) {
            std::string lower = plain;
            for (char& c : lower) {
                c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
            }
            return oneOf(
                std::vector<std::string>{"0x" + digits, "  " + lower, digits, "+" + digits, plain + "tail"});
        }
        return oneOf(std::vector<std::string>{"", "zz", "0", "-1", "FFFFFFFFFFFFFFFF", "x" + plain,
                                              "0000000000000000"});
    }

    std::string unitValue(Payload kind) {
        if (kind == Payload::Valid) {
            return oneOf(std::vector<std::string>{"0", "0.1", "0.25", "0.5", "0.75", "0.9", "1"});
        }
        return oneOf(std::vector<std::string>{
            "-1",        "-0",         "1e309",  "-1e309", "nan",   "inf",
            "-inf",      "2147483648", "1e-320", "  0.5",  "0x1p3", "+1",
            "1.",        ".5",         "",       "3.4e38", "1e39",  "99999999999999999999",
            "1.0000001", "0.9999999"});
    }

    std::string flagValue(Payload kind) {
        return kind == Payload::Valid ? oneOf(std::vector<std::string>{"0", "1"}) : unitValue(kind);
    }

    std::string radiusValue(Payload kind) {
        if (kind == Payload::Valid) {
            return oneOf(std::vector<std::string>{"0", "1", "2", "5", "8", "16", "30"});
        }
        return oneOf(std::vector<std::string>{"-5", "100000", "2147483647", "1e9", "-2147483649", "7.9", "",
                                              "abc", "64"});
    }

    std::string payloadFor(int command, HWND target, Payload kind) {
        const std::string handle =
            handleText(target, kind == Payload::Wrong && pick(2) == 0 ? Payload::Wrong : Payload::Valid);
        const Payload values = kind == Payload::Valid ? Payload::Valid : Payload::Edge;
        if (kind == Payload::Wrong && pick(2) == 0) {
            // A piece too many or too few, or the other command's separator.
            switch (command) {
                case kSetDark:
                    return oneOf(std::vector<std::string>{handle + "," + flagValue(values), handle,
                                                          handle + "|1|1", "|1"});
                case kStartGlassEffect:
                    return handle + ",5,0.5,0,0.5,0,0.5" + (pick(2) == 0 ? "" : ",0.5,0.5");
                case kStopGlassEffect:
                case kUntrackWindow:
                    return oneOf(std::vector<std::string>{handle + ",1", "", handle + "|1"});
                default:
                    return oneOf(std::vector<std::string>{handle, handle + ",1,1", handle + "|1", ","});
            }
        }
        switch (command) {
            case kSetDark:
                return handle + "|" + flagValue(values);
            case kStartGlassEffect:
                return handle + "," + radiusValue(values) + "," + unitValue(values) + "," +
                       flagValue(values) + "," + (pick(4) == 0 ? "-1" : unitValue(values)) + "," +
                       flagValue(values) + "," + unitValue(values) + "," + unitValue(values);
            case kStopGlassEffect:
            case kUntrackWindow:
                return handle;
            case kSetBlurRadius:
                return handle + "," + radiusValue(values);
            case kSetWallpaperOnly:
            case kSetGlassDarkMode:
                return handle + "," + flagValue(values);
            case kChangeContentOpacity:
                return handle + "," + (pick(4) == 0 ? "-1" : unitValue(values));
            default:
                return handle + "," + unitValue(values);
        }
    }

    std::int32_t nextRequestId() {
        const int r = pickInt(20);
        if (r == 0) {
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(rng_()));
        }
        return ++requestCounter_;
    }

    // Sends one request and checks its answer: exactly one empty reply for
    // commands 1 to 11, none for any other number.
    void sendCommand(std::int32_t command, const std::string& payload) {
        if (controllerClosed_ || helper_ == nullptr) {
            return;
        }
        const std::int32_t id = nextRequestId();
        if (trace_) {
            std::printf("  command %d \"%s\" id %d\n", command, payload.c_str(), id);
        }
        controller_->send(helper_, formatRequestFrame(controller_->hwnd(), command, payload, id));
        const std::vector<sim::ReceivedFrame>& got = controller_->received();
        if (isAnsweredCommand(command)) {
            EXPECT_EQ(got.size(), 1u) << "replies to command " << command << " \"" << payload << "\"";
            if (got.size() == 1) {
                EXPECT_EQ(got[0].bytes, formatReplyFrame(helper_, id, {}));
            }
            ++replies_;
        } else {
            EXPECT_TRUE(got.empty()) << "command " << command << " was answered";
        }
        controller_->clearReceived();
    }

    void command(Payload kind) {
        const int number = between(1, 11);
        const HWND target = commandTarget();
        sendCommand(number, payloadFor(number, target, kind));
    }

    void commandOnTracked() {
        // Most requests of a real controller concern the windows it tracks.
        if (activeList.empty()) {
            return command(Payload::Valid);
        }
        const HWND target = trackedWindows[static_cast<std::size_t>(oneOf(activeList))].target;
        const int number = between(2, 11);
        sendCommand(number, payloadFor(number, target, Payload::Valid));
    }

    void darkOn() {
        SoakWindow* w = someWindow();
        if (w != nullptr) {
            sendCommand(kSetDark, formatHandle(w->hwnd) + "|1");
        }
    }

    void failNext(const char* function) { desk_->failNext(function); }

    // Percent of command targets that are the helper's own windows (which
    // commands 1 and 2 must never track).
    static constexpr int kOwnWindowTargets = 4;

    std::vector<Operation> makeOperations() {
        return {
            {"create window", 6, [this] { createWindow(); }},
            {"move", 8,
             [this] {
                 onSomeWindow([this](sim::Window w) {
                     if (pick(4) == 0) {
                         w.moveTo(between(-30, kSoakScreenWidth), between(-20, kSoakScreenHeight));
                     } else {
                         w.moveBy(between(-6, 6), between(-6, 6));
                     }
                 });
             }},
            {"resize", 5,
             [this] {
                 onSomeWindow([this](sim::Window w) {
                     w.resize(pickInt(6) == 0 ? 0 : between(1, 56), pickInt(8) == 0 ? 0 : between(1, 40));
                 });
             }},
            {"minimise", 3, [this] { onSomeWindow([](sim::Window w) { w.minimise(); }); }},
            {"maximise", 2, [this] { onSomeWindow([](sim::Window w) { w.maximise(); }); }},
            {"restore", 4, [this] { onSomeWindow([](sim::Window w) { w.restore(); }); }},
            {"hide", 3, [this] { onSomeWindow([](sim::Window w) { w.hide(); }); }},
            {"show", 4,
             [this] {
                 onSomeWindow([this](sim::Window w) {
                     if (pick(2) == 0) {
                         w.show();
                     } else {
                         w.showNoActivate();
                     }
                 });
             }},
            {"raise", 4,
             [this] {
                 onSomeWindow([this](sim::Window w) {
                     if (pick(2) == 0) {
                         w.activate();
                     } else {
                         w.bringToTop();
                     }
                 });
             }},
            {"repaint", 4,
             [this] {
                 if (SoakWindow* w = someWindow()) {
                     w->look = randomLook();
                     desk_->window(w->hwnd).setContent(
                         lookContent(w->look, static_cast<std::uint32_t>(rng_())));
                 }
             }},
            {"destroy", 3, [this] { destroySomeWindow(false); }},
            {"close", 1, [this] { destroySomeWindow(true); }},
            {"cursor", 4,
             [this] {
                 desk_->setCursor(between(-10, kSoakScreenWidth + 10), between(-10, kSoakScreenHeight + 10));
             }},
            {"dark on", 8, [this] { darkOn(); }},
            {"command", 10, [this] { command(Payload::Valid); }},
            {"command on tracked", 8, [this] { commandOnTracked(); }},
            {"command edge", 5, [this] { command(Payload::Edge); }},
            {"command wrong", 4, [this] { command(Payload::Wrong); }},
            {"command unanswered", 2,
             [this] {
                 const std::int32_t number =
                     oneOf(std::vector<std::int32_t>{0, 12, -1, 13, 2147483647, -2147483647 - 1});
                 sendCommand(number, formatHandle(commandTarget()) + "|1");
             }},
            {"quiet", 6, [this] { quietStarts_ = true; }},
            {"close controller", 1, [this] { closeController(); }},
            {"HeapAlloc fails", 1, [this] { failNext("HeapAlloc"); }},
            {"CreateDIBSection fails", 1, [this] { failNext("CreateDIBSection"); }},
            {"GetDC fails", 1, [this] { failNext("GetDC"); }},
            {"CreateWindowExA fails", 1, [this] { failNext("CreateWindowExA"); }},
            {"MagInitialize fails", 1, [this] { failNext("MagInitialize"); }},
            {"MagSetImageScalingCallback fails", 1, [this] { failNext("MagSetImageScalingCallback"); }},
            {"MagSetWindowSource fails", 1, [this] { failNext("MagSetWindowSource"); }},
            {"MagSetWindowFilterList fails", 1, [this] { failNext("MagSetWindowFilterList"); }},
        };
    }

    std::uint64_t seed_;
    std::uint64_t budget_;
    std::uint64_t progressEvery_;
    std::mt19937_64 rng_;
    std::vector<Operation> operations_ = makeOperations();

    std::unique_ptr<sim::Desktop> desk_;
    std::unique_ptr<sim::Controller> controller_;
    sim::App* apps_ = nullptr;
    std::vector<SoakWindow> windows_;
    std::vector<HWND> gone_;
    HWND helper_ = nullptr;
    bool announced_ = false;
    bool controllerClosed_ = false;
    std::int64_t closedAtMs_ = 0;
    bool stopping_ = false;
    bool quietStarts_ = false;
    bool quietEnds_ = false;
    bool failed_ = false;
    bool trace_ = std::getenv("KESTRA_SOAK_TRACE") != nullptr;
    std::int32_t requestCounter_ = 0;

    std::uint64_t turnsDone_ = 0;
    std::uint64_t session_ = 0;
    std::uint64_t step_ = 0;
    std::string opName_ = "start";
    std::map<std::string, std::uint64_t> opCounts_;
    std::uint64_t replies_ = 0;
    std::uint64_t quietChecks_ = 0;
    std::uint64_t placementChecks_ = 0;
    std::uint64_t inversionChecks_ = 0;
};

class HelperSoak : public ::testing::Test {
  protected:
    void SetUp() override { resetProcessState(); }
    void TearDown() override { resetProcessState(); }
};

TEST_F(HelperSoak, RandomSessionsKeepEveryInvariant) {
    const std::uint64_t seed = longRunSeed("KESTRA_SOAK_SEED");
    const std::uint64_t turns = longRunLength(longRunArguments().turns, "KESTRA_SOAK_TURNS", 20000);
    const std::uint64_t progress = longRunLength(longRunArguments().progressEvery, "KESTRA_SOAK_PROGRESS", 0);
    std::printf("soak: seed %llu, %llu turns; replay: %s\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(turns),
                replayLine("HelperSoak.*", seed, "turns", turns).c_str());
    std::fflush(stdout);
    Soak soak(seed, turns, progress);
    soak.run();
    EXPECT_FALSE(soak.failed());
}

}  // namespace
}  // namespace kestra::testing
