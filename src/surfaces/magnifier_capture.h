// MagnifierCapture: reads a screen rectangle through a Magnifier control with
// a filter list of windows to leave out. The image scaling callback records
// the source image in lastScaledFrame, synchronously inside MagSetWindowSource.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace kestra {

inline constexpr int MAX_EXCLUSIONS = 24;
// How often a capture with a filter mode rebuilds its filter list.
inline constexpr std::int32_t kFilterRefreshPeriodMs = 500;

// What one capture delivered: no frame (the capture failed and the previous
// frame stays), the same buffer and size as before, or a new buffer or size.
enum class [[nodiscard]] CaptureResult{noFrame = -1, sameFrame = 0, newFrame = 1};

// Which windows a capture leaves out besides its own exclusions, rebuilt
// every kFilterRefreshPeriodMs.
enum class FilterMode : std::int32_t { none = 0, windowsInFront = 1, allWindows = 2 };

struct MagnifierCapture {
    HWND hostWindow = nullptr;
    HWND magnifierWindow = nullptr;
    HWND sourceWindow = nullptr;
    RECT* sourceRect = nullptr;  // not owned: the TrackedWindow's captureRect or monitorRect
    std::vector<HWND> exclusions;
    MAGIMAGEHEADER frameHeader{};
    std::uint8_t* frameBits = nullptr;  // owned by the Magnifier control
    std::int32_t frameStride = 0;
    std::int32_t lastFilterRefresh = -kFilterRefreshPeriodMs;
    FilterMode filterMode = FilterMode::none;

    int createCapture();
    CaptureResult captureFrame();
    BOOL resizeCapture();
    void excludeWindowsInFront();
    void excludeAllWindows();
    BOOL destroyCapture(bool clearExclusions);
    // Replaces the Magnifier control with a fresh one, which holds no frame
    // until it is captured again: the old control's source buffer goes with
    // it. Exclusions, filter mode and source stay; frameBits is null and the
    // next capture counts as new. 0, or createCapture's failure, in which
    // case the old control and its frame stay as they were.
    int renewCapture();
};

// The one record the image scaling callback writes.
struct ScaledFrame {
    std::uint8_t* bits = nullptr;
    MAGIMAGEHEADER header{};
};
extern ScaledFrame lastScaledFrame;

BOOL CALLBACK imageScalingCallback(HWND hwnd, void* srcdata, MAGIMAGEHEADER srcheader, void* destdata,
                                   MAGIMAGEHEADER destheader, RECT unclipped, RECT clipped, HRGN dirty);

}  // namespace kestra
