// End to end on Wine with the Magnification stand-in beside the helper: a
// target window with published pixels, the real kestra-helper.exe, command 1,
// and then what a person would see: the overlay window ("KESTRA_DLAYER",
// layered, click-through) lies exactly over the target and the screen there
// shows the target's pixels inverted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "published_window.h"
#include "wine_support.h"

namespace {

using winetest::invertedMismatches;
using winetest::kHeight;
using winetest::kWidth;
using winetest::PublishedWindow;
using winetest::readScreen;
using winetest::sameRect;

// Where the overlay stands against its target, for failure messages.
std::string restoredReport(HWND overlay, HWND target) {
    RECT o{};
    RECT t{};
    GetWindowRect(overlay, &o);
    GetWindowRect(target, &t);
    bool above = false;
    for (HWND w = GetWindow(overlay, GW_HWNDNEXT); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        above = above || w == target;
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "overlay %s, (%ld,%ld)-(%ld,%ld), %s the target; target %s%s, (%ld,%ld)-(%ld,%ld)",
                  IsWindowVisible(overlay) ? "visible" : "hidden", o.left, o.top, o.right, o.bottom,
                  above ? "above" : "below", IsWindowVisible(target) ? "visible" : "hidden",
                  IsIconic(target) ? " minimised" : "", t.left, t.top, t.right, t.bottom);
    return text;
}

TEST(OverlayEndToEnd, DarkEffectLiesOverTheTargetAndShowsItInverted) {
    PublishedWindow target(200, 150);
    ASSERT_TRUE(target.published());
    winetest::pumpMessages();

    winetest::RecordingWindow controller("e2e controller");
    winetest::ChildProcess helperProcess;
    ASSERT_TRUE(helperProcess.start(winetest::ownFolder() + "kestra-helper.exe",
                                    winetest::handleText(controller.hwnd())));
    ASSERT_TRUE(winetest::pumpUntil([&] { return !controller.frames().empty(); }, 20000));
    HWND helper = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::stoull(controller.frames()[0].bytes.substr(0, 16), nullptr, 16)));

    controller.clear();
    winetest::sendFrame(
        controller.hwnd(), helper,
        winetest::requestFrame(controller.hwnd(), 1, winetest::handleText(target.hwnd()) + "|1", 1));
    ASSERT_EQ(controller.frames().size(), 1u);

    // The overlay appears over the target.
    HWND overlay = nullptr;
    RECT targetRect{};
    GetWindowRect(target.hwnd(), &targetRect);
    ASSERT_TRUE(winetest::pumpUntil(
        [&] {
            overlay = FindWindowA("KESTRA_DLAYER", nullptr);
            RECT r{};
            return overlay != nullptr && IsWindowVisible(overlay) && GetWindowRect(overlay, &r) &&
                   sameRect(r, targetRect);
        },
        10000))
        << "no visible overlay over the target";
    const LONG exStyle = GetWindowLongA(overlay, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_LAYERED);
    EXPECT_TRUE(exStyle & WS_EX_TRANSPARENT);
    EXPECT_TRUE(exStyle & WS_EX_NOACTIVATE);
    EXPECT_FALSE(exStyle & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(overlay, GW_OWNER), target.hwnd());

    // A well-formed request sent to the overlay window is ignored.
    controller.clear();
    winetest::sendFrame(
        controller.hwnd(), overlay,
        winetest::requestFrame(controller.hwnd(), 5, winetest::handleText(target.hwnd()) + ",1", 9));
    EXPECT_TRUE(controller.frames().empty()) << "the overlay window answered a request";

    // Click-through: the point over the target belongs to the target.
    const POINT centre{(targetRect.left + targetRect.right) / 2, (targetRect.top + targetRect.bottom) / 2};
    EXPECT_EQ(WindowFromPoint(centre), target.hwnd());
    EXPECT_NE(GetForegroundWindow(), overlay) << "the overlay became the foreground window";
    EXPECT_NE(GetActiveWindow(), overlay);

    // The screen over the target shows it inverted.
    int mismatches = kWidth * kHeight;
    const std::int64_t shownAt = winetest::monotonicMs();
    winetest::pumpUntil(
        [&] {
            mismatches = invertedMismatches(target, targetRect);
            return mismatches == 0;
        },
        10000);
    std::printf("  inverted pixels on the screen %lld ms after the overlay was in place\n",
                static_cast<long long>(winetest::monotonicMs() - shownAt));
    std::string report;
    mismatches = invertedMismatches(target, targetRect, &report);
    EXPECT_EQ(mismatches, 0) << "pixels over the target that are not the target inverted, first ones:\n"
                             << report;

    // The overlay follows the target when it moves.
    SetWindowPos(target.hwnd(), nullptr, 240, 170, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(target.hwnd(), &targetRect);
    EXPECT_TRUE(winetest::pumpUntil(
        [&] {
            RECT r{};
            return GetWindowRect(overlay, &r) && sameRect(r, targetRect);
        },
        5000))
        << "the overlay did not follow the target";

    // A smaller target: the overlay takes the new size and its content the
    // new frame.
    SetWindowPos(target.hwnd(), nullptr, 0, 0, 240, 150, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(target.hwnd(), &targetRect);
    EXPECT_TRUE(winetest::pumpUntil(
        [&] {
            RECT r{};
            return GetWindowRect(overlay, &r) && sameRect(r, targetRect) &&
                   invertedMismatches(target, targetRect) == 0;
        },
        5000))
        << "the overlay did not take the new size and content";

    // Minimised, the target has no visible overlay; restored, it has again.
    ShowWindow(target.hwnd(), SW_MINIMIZE);
    EXPECT_TRUE(winetest::pumpUntil([&] { return !IsWindowVisible(overlay); }, 5000))
        << "the overlay stays visible over a minimised target";
    ShowWindow(target.hwnd(), SW_SHOWNOACTIVATE);
    SetWindowPos(target.hwnd(), nullptr, 240, 170, 240, 150, SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(target.hwnd(), &targetRect);
    EXPECT_TRUE(winetest::pumpUntil(
        [&] {
            RECT r{};
            return IsWindowVisible(overlay) && GetWindowRect(overlay, &r) && sameRect(r, targetRect) &&
                   invertedMismatches(target, targetRect) == 0;
        },
        5000))
        << "the overlay did not come back over the restored target: "
        << restoredReport(overlay, target.hwnd()) << "\n"
        << [&] {
               std::string pixels;
               const int differing = invertedMismatches(target, targetRect, &pixels);
               return std::to_string(differing) + " pixels differ, first ones:\n" + pixels;
           }();

    EXPECT_NE(GetForegroundWindow(), overlay) << "the overlay became the foreground window";

    // Dark effect off: the overlay goes, and with nothing tracked the helper
    // ends with 0.
    controller.clear();
    winetest::sendFrame(
        controller.hwnd(), helper,
        winetest::requestFrame(controller.hwnd(), 1, winetest::handleText(target.hwnd()) + "|0", 2));
    ASSERT_EQ(controller.frames().size(), 1u);
    EXPECT_FALSE(IsWindow(overlay));
    ASSERT_TRUE(helperProcess.waitForExit(20000));
    EXPECT_EQ(helperProcess.exitCode(), 0);
}

TEST(OverlayEndToEnd, DarkContentGetsNoVisibleOverlay) {
    PublishedWindow target(300, 260, true);
    ASSERT_TRUE(target.published());
    winetest::pumpMessages();
    winetest::RecordingWindow controller("e2e controller, dark");
    winetest::ChildProcess helperProcess;
    ASSERT_TRUE(helperProcess.start(winetest::ownFolder() + "kestra-helper.exe",
                                    winetest::handleText(controller.hwnd())));
    ASSERT_TRUE(winetest::pumpUntil([&] { return !controller.frames().empty(); }, 20000));
    HWND helper = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::stoull(controller.frames()[0].bytes.substr(0, 16), nullptr, 16)));
    controller.clear();
    winetest::sendFrame(
        controller.hwnd(), helper,
        winetest::requestFrame(controller.hwnd(), 1, winetest::handleText(target.hwnd()) + "|1", 1));
    ASSERT_EQ(controller.frames().size(), 1u);

    // The overlay exists (attach succeeded) but, once the darkness test has
    // run, stays hidden, and the screen shows the target as it is.
    HWND overlay = nullptr;
    ASSERT_TRUE(winetest::pumpUntil(
        [&] { return (overlay = FindWindowA("KESTRA_DLAYER", nullptr)) != nullptr; }, 10000));
    winetest::pumpUntil([] { return false; }, 1500);
    EXPECT_FALSE(IsWindowVisible(overlay));
    RECT r{};
    GetWindowRect(target.hwnd(), &r);
    const std::vector<std::uint32_t> screen = readScreen(r);
    EXPECT_EQ(screen[static_cast<std::size_t>(2) * kWidth + 2] & 0xFFFFFFu, target.pixel(2, 2) & 0xFFFFFFu);
    EXPECT_EQ(screen[static_cast<std::size_t>(10) * kWidth + 20] & 0xFFFFFFu,
              target.pixel(20, 10) & 0xFFFFFFu);

    helperProcess.terminate();
}

TEST(OverlayEndToEnd, GlassEffectReplacesThePageWithTheBackdrop) {
    PublishedWindow target(260, 200);
    ASSERT_TRUE(target.published());
    winetest::pumpMessages();
    winetest::RecordingWindow controller("e2e controller, glass");
    winetest::ChildProcess helperProcess;
    ASSERT_TRUE(helperProcess.start(winetest::ownFolder() + "kestra-helper.exe",
                                    winetest::handleText(controller.hwnd())));
    ASSERT_TRUE(winetest::pumpUntil([&] { return !controller.frames().empty(); }, 20000));
    HWND helper = reinterpret_cast<HWND>(
        static_cast<std::uintptr_t>(std::stoull(controller.frames()[0].bytes.substr(0, 16), nullptr, 16)));
    const std::string t = winetest::handleText(target.hwnd());
    auto command = [&](int number, const std::string& payload, int id) {
        controller.clear();
        winetest::sendFrame(controller.hwnd(), helper,
                            winetest::requestFrame(controller.hwnd(), number, payload, id));
        return controller.frames().size() == 1 &&
               controller.frames()[0].bytes == winetest::replyFrame(helper, id, "");
    };
    // Glass: radius 6, brightness 0.9, wallpaper only, content opacity 0 (the
    // page is replaced, not blended), no dark mode, photo and foreground
    // opacity 1.
    ASSERT_TRUE(command(2, t + ",6,0.9,1,0,0,1,1", 1));

    RECT targetRect{};
    GetWindowRect(target.hwnd(), &targetRect);
    HWND overlay = nullptr;
    ASSERT_TRUE(winetest::pumpUntil(
        [&] {
            overlay = FindWindowA("KESTRA_DLAYER", nullptr);
            RECT r{};
            return overlay != nullptr && IsWindowVisible(overlay) && GetWindowRect(overlay, &r) &&
                   sameRect(r, targetRect);
        },
        10000));

    // The page colour gives way to the backdrop: the stand-in's desktop
    // pattern behind the target (red 0x40 everywhere), toned to 0.9 and
    // blurred. Most page pixels then carry that red.
    const std::uint32_t page = target.pixel(0, 0) & 0xFFFFFFu;
    double replaced = 0.0;
    winetest::pumpUntil(
        [&] {
            const std::vector<std::uint32_t> screen = readScreen(targetRect);
            int pagePixels = 0;
            int changed = 0;
            for (int row = 0; row < kHeight - 2; ++row) {
                for (int column = 0; column < kWidth; ++column) {
                    if ((target.pixel(column, row) & 0xFFFFFFu) != page) {
                        continue;
                    }
                    ++pagePixels;
                    const std::uint32_t seen =
                        screen[static_cast<std::size_t>(row) * kWidth + column] & 0xFFFFFFu;
                    const int red = static_cast<int>((seen >> 16) & 0xFF);
                    if (seen != page && red >= 0x40 * 9 / 10 - 4 && red <= 0x40 * 9 / 10 + 4) {
                        ++changed;
                    }
                }
            }
            replaced = pagePixels > 0 ? static_cast<double>(changed) / pagePixels : 0.0;
            return replaced > 0.9;
        },
        10000);
    EXPECT_GT(replaced, 0.9) << "share of page pixels replaced by the backdrop";

    // Every glass setting is answered while the effect runs.
    EXPECT_TRUE(command(4, t + ",12", 4));
    EXPECT_TRUE(command(5, t + ",1.1", 5));
    EXPECT_TRUE(command(6, t + ",0", 6));
    EXPECT_TRUE(command(7, t + ",0.8", 7));
    EXPECT_TRUE(command(8, t + ",1", 8));
    EXPECT_TRUE(command(9, t + ",0.5", 9));
    EXPECT_TRUE(command(10, t + ",0.7", 10));
    winetest::pumpUntil([] { return false; }, 1000);
    EXPECT_TRUE(helperProcess.running()) << "exit code " << helperProcess.exitCode();

    // Stopping the only effect releases the window: the overlay goes.
    EXPECT_TRUE(command(3, t, 3));
    EXPECT_FALSE(IsWindow(overlay));
    helperProcess.terminate();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
