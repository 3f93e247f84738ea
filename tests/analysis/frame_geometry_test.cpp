// Frame geometry, grid steps, scan margins and the life of the work buffers.

#include <gtest/gtest.h>

#include "analysis/frame_analyzer.h"
#include "analysis_support.h"
#include "platform/heap.h"
#include "platform/sim/desktop.h"
#include "support/heap_copy.h"

namespace kestra {
namespace {

FrameAnalyzer sized(int width, int height) {
    FrameAnalyzer a;
    a.width = width;
    a.height = height;
    return a;
}

TEST(FrameGeometry, DerivesOffsetsAndStepsFromTheFrameAndDesktop) {
    FrameAnalyzer a = sized(801, 603);
    ASSERT_EQ(a.configureGeometryFor(1920 + 1080), 0);
    EXPECT_EQ(a.rowBytes, 801 * 4);
    EXPECT_EQ(a.pixelCount, 801 * 603);
    EXPECT_EQ(a.byteSize, 801 * 603 * 4);
    EXPECT_EQ(a.lastPixelOffset, 800 * 4);
    EXPECT_EQ(a.lastRowOffset, 602 * 801 * 4);
    EXPECT_EQ(a.sampleStep, 28);
    EXPECT_EQ(a.probeStep, 8);
    EXPECT_EQ(a.sampleRowBytes, 28 * a.rowBytes);
    EXPECT_EQ(a.sampleColumnBytes, 28 * 4);
    EXPECT_EQ(a.probeRowBytes, 8 * a.rowBytes);
    EXPECT_EQ(a.probeColumnBytes, 8 * 4);
    EXPECT_EQ(a.scanRowBytes, 4 * 8 * a.rowBytes);
    EXPECT_EQ(a.scanColumnBytes, 16 * 8);
    EXPECT_EQ(a.scanTop, 4 * a.rowBytes);
    EXPECT_EQ(a.scanBottom, a.lastRowOffset - 4 * a.rowBytes);
    EXPECT_EQ(a.scanLeft, 32);
    EXPECT_EQ(a.scanRight, a.rowBytes - 32);
    ASSERT_NE(a.regionMask.get(), nullptr);
    a.releaseAnalyzer();

    FrameAnalyzer small = sized(640, 360);
    ASSERT_EQ(small.configureGeometryFor(1280 + 720), 0);
    EXPECT_EQ(small.sampleStep, 18);
    EXPECT_EQ(small.probeStep, 5);
    small.releaseAnalyzer();
}

TEST(FrameGeometry, StepsNeverFallBelowOneNorRiseAboveTheFrame) {
    // Steps of 0 would make the grid walks stand still.
    for (int extent : {-5000, -1, 0, 1, 100}) {
        FrameAnalyzer a = sized(50, 40);
        a.configureGeometryFor(extent);
        EXPECT_EQ(a.sampleStep, 1) << extent;
        EXPECT_EQ(a.probeStep, 1) << extent;
        EXPECT_EQ(a.probeColumnBytes, 4) << extent;
        a.releaseAnalyzer();
    }
    FrameAnalyzer fine = sized(50, 40);
    fine.configureGeometryFor(355);
    EXPECT_EQ(fine.sampleStep, 3);
    EXPECT_EQ(fine.probeStep, 1);
    fine.releaseAnalyzer();

    FrameAnalyzer a = sized(50, 40);
    a.configureGeometryFor(2000000000);
    EXPECT_EQ(a.sampleStep, 50);
    EXPECT_EQ(a.probeStep, 50);
    EXPECT_EQ(a.scanRowBytes, 4 * 50 * a.rowBytes);
    a.releaseAnalyzer();
}

TEST(FrameGeometry, LimitsOtherThanTheDefaultStayInsideTheFrame) {
    FrameAnalyzer a = sized(100, 60);
    a.limitTop = 10;
    a.limitBottom = 500;
    a.limitLeft = -7;
    a.limitRight = 100;
    a.configureGeometryFor(3000);
    EXPECT_EQ(a.scanTop, 10 * a.rowBytes);
    EXPECT_EQ(a.scanBottom, a.lastRowOffset);
    EXPECT_EQ(a.scanLeft, 0);
    EXPECT_EQ(a.scanRight, a.lastPixelOffset);
    a.releaseAnalyzer();
}

TEST(FrameGeometry, UnusableSizesLeaveNoMask) {
    for (auto [w, h] : {std::pair{0, 10}, std::pair{10, 0}, std::pair{-3, 5}, std::pair{20000, 20000}}) {
        FrameAnalyzer a = sized(w, h);
        EXPECT_EQ(a.configureGeometryFor(3000), -1) << w << "x" << h;
        EXPECT_EQ(a.regionMask.get(), nullptr);
        EXPECT_EQ(a.byteSize, 0);
        // Every analysis does nothing on such a record.
        a.measureDarkness();
        a.detectPhotoRegions();
        a.learnBackgroundColours();
        a.recolourForeground();
        EXPECT_FALSE(a.isTextured(0, -100));
        a.releaseAnalyzer();
    }
}

TEST(FrameGeometry, ConfigureClearsInversionAndReplacesTheMask) {
    FrameAnalyzer a = sized(30, 20);
    a.frameInverted = 1;
    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    EXPECT_EQ(a.frameInverted, 0);
    for (int i = 0; i < a.pixelCount; ++i) {
        ASSERT_EQ(a.regionMask[i], 0);
    }
    a.regionMask[5] = 1;
    a.width = 31;
    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    EXPECT_EQ(a.pixelCount, 31 * 20);
    for (int i = 0; i < a.pixelCount; ++i) {
        ASSERT_EQ(a.regionMask[i], 0);
    }
    a.releaseAnalyzer();
}

TEST(GlassBuffers, RecolourMaskDesignatesRegionMaskAndIsNeverFreedTwice) {
    sim::Desktop desk;
    FrameAnalyzer a = sized(64, 48);
    a.contentOpacity = 0.25f;
    a.photoOpacity = 0.75f;
    a.foregroundOpacity = 0.5f;
    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    const int blocksBefore = desk.counts().heapBlocks;
    ASSERT_EQ(a.allocateGlassBuffers(), 0);
    EXPECT_EQ(desk.counts().heapBlocks, blocksBefore + 2);
    EXPECT_EQ(a.recolourMask, a.regionMask.get());
    EXPECT_NE(a.visitedMask.get(), nullptr);
    ASSERT_NE(a.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(a.backgroundColourTable[0], 0);
    EXPECT_EQ(a.backgroundColourTable[kColourTableBytes - 1], 0);
    EXPECT_EQ(a.verticalTolerance, 48 / 27);
    EXPECT_FLOAT_EQ(a.contentOpacityComplement, 0.75f);
    EXPECT_FLOAT_EQ(a.photoOpacityComplement, 0.25f);
    EXPECT_FLOAT_EQ(a.foregroundOpacityComplement, 0.5f);

    // A second allocation replaces the first set instead of leaking it.
    ASSERT_EQ(a.allocateGlassBuffers(), 0);
    EXPECT_EQ(desk.counts().heapBlocks, blocksBefore + 2);

    std::uint8_t* mask = a.regionMask.get();
    a.releaseGlassBuffers();
    EXPECT_EQ(a.recolourMask, nullptr);
    EXPECT_EQ(a.visitedMask.get(), nullptr);
    EXPECT_EQ(a.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(a.regionMask.get(), mask);
    EXPECT_EQ(desk.counts().heapBlocks, blocksBefore);
    a.releaseAnalyzer();
    EXPECT_EQ(desk.counts().heapBlocks, blocksBefore - 1);
}

TEST(GlassBuffers, ResizeDuringGlassLeavesNoDanglingRecolourMask) {
    FrameAnalyzer a = sized(40, 30);
    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    ASSERT_EQ(a.allocateGlassBuffers(), 0);
    a.width = 50;
    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    EXPECT_EQ(a.recolourMask, nullptr);
    // Without the glass buffers for the new size recolouring does nothing.
    testing::Frame frame(50, 30, {200, 200, 200});
    a.frame = frame.data();
    a.backdropImage = testing::heapCopyOf(std::vector<std::uint8_t>(frame.size(), 0));
    const testing::Frame before = frame;
    a.recolourForeground();
    EXPECT_TRUE(frame == before);
    a.releaseGlassBuffers();
    ASSERT_EQ(a.allocateGlassBuffers(), 0);
    EXPECT_EQ(a.recolourMask, a.regionMask.get());
    a.releaseAnalyzer();
    EXPECT_EQ(a.regionMask.get(), nullptr);
    EXPECT_EQ(a.recolourMask, nullptr);
    EXPECT_EQ(a.visitedMask.get(), nullptr);
    EXPECT_EQ(a.backgroundColourTable.get(), nullptr);
}

TEST(GlassBuffers, ReleasingTwiceOrWithNothingAllocatedIsHarmless) {
    FrameAnalyzer a;
    a.releaseGlassBuffers();
    a.releaseAnalyzer();
    a.releaseAnalyzer();
    EXPECT_EQ(a.regionMask.get(), nullptr);
}

TEST(FailedAllocations, AreReportedAndLeaveTheRecordConsistent) {
    sim::Desktop desk;
    FrameAnalyzer a = sized(64, 48);

    desk.failNext("HeapAlloc");
    EXPECT_EQ(a.configureGeometryFor(3000), -1);
    EXPECT_EQ(a.regionMask.get(), nullptr);
    EXPECT_EQ(a.allocateGlassBuffers(), -1);  // nothing to designate
    EXPECT_EQ(a.recolourMask, nullptr);

    ASSERT_EQ(a.configureGeometryFor(3000), 0);
    const int blocks = desk.counts().heapBlocks;
    // The colour table fails: nothing of the glass set stays behind.
    sim::Fault tableFault;
    tableFault.function = "HeapAlloc";
    tableFault.minBytes = kColourTableBytes;
    desk.addFault(tableFault);
    EXPECT_EQ(a.allocateGlassBuffers(), -1);
    EXPECT_EQ(a.backgroundColourTable.get(), nullptr);
    EXPECT_EQ(a.visitedMask.get(), nullptr);
    EXPECT_EQ(a.recolourMask, nullptr);
    EXPECT_EQ(desk.counts().heapBlocks, blocks);

    // The analyses run without the missing buffers and change nothing they need them for.
    testing::Frame frame(64, 48, {10, 20, 30});
    std::vector<std::uint8_t> backdrop(frame.size(), 99);
    a.frame = frame.data();
    a.backdropImage = testing::heapCopyOf(backdrop);
    const testing::Frame before = frame;
    a.learnBackgroundColours();
    a.detectPhotoRegions();
    a.measureDarkness();
    a.recolourForeground();
    EXPECT_TRUE(frame == before);
    a.backdropImage.reset();
    a.releaseAnalyzer();
    EXPECT_EQ(desk.counts().heapBlocks, blocks - 1);
}

TEST(FrameGeometry, ReadsTheDesktopExtent) {
    {
        sim::DesktopOptions small;
        small.width = 1280;
        small.height = 720;
        sim::Desktop desk(small);
        FrameAnalyzer a = sized(100, 100);
        ASSERT_EQ(a.configureGeometry(), 0);
        EXPECT_EQ(a.sampleStep, 18);
        EXPECT_EQ(a.probeStep, 5);
        a.releaseAnalyzer();
    }
    sim::Desktop desk;
    desk.failNext("GetWindowRect");
    FrameAnalyzer a = sized(100, 100);
    ASSERT_EQ(a.configureGeometry(), 0);
    EXPECT_EQ(a.probeStep, 1);  // an unreadable desktop gives the finest grid
    a.releaseAnalyzer();
}

}  // namespace
}  // namespace kestra
