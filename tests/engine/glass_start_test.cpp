// Glass started on a target whose dark cycle has already run: the very next
// glass cycle learns the window's background colours into the new, empty
// table and presents a glass frame, instead of leaving the last dark frame on
// screen until the colour learning falls due again.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "cycle_scenario.h"

namespace kestra::testing {
namespace {

constexpr sim::Colour kPaper = sim::bgra(244, 242, 238);
constexpr sim::Colour kInk = sim::bgra(22, 24, 30);
constexpr RECT kTextBar{40, 60, 300, 66};
constexpr RECT kBlank{320, 150, 560, 250};  // far from the text

sim::Content document() {
    return sim::Content::painter([](sim::Image& img) {
        img.fill(kPaper);
        img.fillRect(kTextBar, kInk);
    });
}

class GlassStart : public CycleScenario {
  protected:
    void SetUp() override {
        CycleScenario::SetUp();
        desk->setWallpaper(sim::Content::solid(sim::bgra(30, 110, 70)));
    }

    // Pixels of `area` that the overlay shows differently from backdropImage.
    int shownApartFromBackdrop(const TrackedWindow& record, const RECT& area) const {
        const sim::Image shown = overlayShot(record);
        const std::uint8_t* image = record.engine.analyzer.backdropImage.get();
        int differing = 0;
        for (int y = area.top; y < area.bottom; ++y) {
            for (int x = area.left; x < area.right; ++x) {
                const sim::Colour pixel = shown.pixel(x, y);
                const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(shown.width) +
                                        static_cast<std::size_t>(x)) *
                                       4u;
                differing += std::memcmp(&pixel, image + at, 3) != 0 ? 1 : 0;
            }
        }
        return differing;
    }

    static int areaOf(const RECT& r) { return (r.right - r.left) * (r.bottom - r.top); }

    // A dark-effect target ticked until its dark frame is on screen and the
    // still target presents nothing more.
    TrackedWindow& darkTargetShown() {
        const HWND target = createWindow(RECT{300, 200, 900, 600}, document());
        TrackedWindow& record = trackDark(target);
        for (int i = 0; i < 4; ++i) {
            tick(record);
            desk->runFor(16);
        }
        // The dark frame: the paper shows inverted.
        EXPECT_EQ(overlayShot(record).pixel(kBlank.left, kBlank.top) & 0xFFFFFFu, ~kPaper & 0xFFFFFFu);
        return record;
    }
};

TEST_F(GlassStart, FirstGlassCycleOnAStillDarkTargetPresentsGlass) {
    TrackedWindow& record = darkTargetShown();
    EffectEngine& engine = record.engine;
    const std::int32_t darkLearning = engine.lastColourLearning;
    ASSERT_LT(elapsedSince(darkLearning), 2500) << "the dark cycle's learning is recent";
    desk->callLog().enable();

    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    EXPECT_TRUE(engine.backdropIdle);
    EXPECT_FALSE(engine.backdropRecomposed);
    desk->runFor(16);
    tick(record);

    EXPECT_EQ(engine.lastColourLearning, nowMs()) << "the new table is filled at the first glass cycle";
    EXPECT_EQ(blits(), 1) << "the first glass frame is presented at once";
    EXPECT_EQ(shownApartFromBackdrop(record, kBlank), 0) << "the background shows the backdrop";
    const RECT insideText{kTextBar.left + 2, kTextBar.top, kTextBar.right - 2, kTextBar.bottom};
    EXPECT_EQ(shownApartFromBackdrop(record, insideText), areaOf(insideText)) << "the text stays visible";

    // Still target, idle backdrop: the next cycles present nothing until the
    // learning falls due again.
    for (int i = 0; i < 5; ++i) {
        desk->runFor(16);
        tick(record);
    }
    EXPECT_EQ(blits(), 1);
}

TEST_F(GlassStart, RestartingRunningGlassRelearnsAtTheNextCycle) {
    TrackedWindow& record = darkTargetShown();
    EffectEngine& engine = record.engine;
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    desk->runFor(16);
    tick(record);
    desk->runFor(16);
    tick(record);
    desk->callLog().enable();

    // The glass command again: the glass buffers are allocated afresh.
    ASSERT_EQ(engine.startGlass(), GlassStartResult::started);
    desk->runFor(16);
    tick(record);
    EXPECT_EQ(engine.lastColourLearning, nowMs());
    // The same settings give the same image: presented at most once, and
    // not at all where the window shows it already.
    EXPECT_LE(blits(), 1);
    const RECT insideText{kTextBar.left + 2, kTextBar.top, kTextBar.right - 2, kTextBar.bottom};
    EXPECT_EQ(shownApartFromBackdrop(record, insideText), areaOf(insideText));
    EXPECT_EQ(shownApartFromBackdrop(record, kBlank), 0);
}

TEST_F(GlassStart, FailedStartLeavesTheDarkCycleItsOwnPace) {
    TrackedWindow& record = darkTargetShown();
    EffectEngine& engine = record.engine;
    const std::int32_t darkLearning = engine.lastColourLearning;
    sim::Fault fault;
    fault.function = "MagSetWindowSource";
    fault.window = nullptr;  // any capture: the backdrop's first frame fails
    fault.remaining = 1;
    desk->addFault(fault);
    desk->callLog().enable();

    EXPECT_EQ(engine.startGlass(), GlassStartResult::noBackdropFrame);
    EXPECT_FALSE(engine.glassEnabled);
    EXPECT_EQ(engine.lastColourLearning, darkLearning) << "no glass buffers: nothing to relearn";
    desk->runFor(16);
    tick(record);
    EXPECT_EQ(blits(), 0) << "the still dark target presents nothing new";
}

}  // namespace
}  // namespace kestra::testing
