// MagnifierCapture: reads a screen rectangle through a Magnifier control with
// a filter list of windows to leave out. The image scaling callback records
// the source image in lastScaledFrame, synchronously inside MagSetWindowSource.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace kestra {

inline constexpr int MAX_EXCLUSIONS = 24;

struct MagnifierCapture {
    HWND hostWindow = nullptr;
    HWND magnifierWindow = nullptr;
    HWND sourceWindow = nullptr;
    RECT* sourceRect = nullptr;  // not owned: the TrackedWindow's captureRect or monitorRect
    std::vector<HWND> exclusions;
    MAGIMAGEHEADER frameHeader{};
    std::uint8_t* frameBits = nullptr;  // owned by the Magnifier control
    std::int32_t frameStride = 0;
    std::int32_t lastFilterRefresh = -500;
    std::int32_t filterMode = 0;  // 0 none, 1 windows in front, 2 all windows

    int createCapture();
    int captureFrame();  // 1 new frame, 0 same frame as before, -1 no frame
    BOOL resizeCapture();
    void excludeWindowsInFront();
    void excludeAllWindows();
    BOOL destroyCapture(bool clearExclusions);
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
