#include "host/helper_main.h"

#include <string>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "analysis/recolour_kernel.h"
#include "backdrop/stack_blur.h"
#include "channel/framing.h"
#include "host/command_apply.h"
#include "host/pacing.h"
#include "host/tick_scheduler.h"
#include "platform/clock.h"
#include "platform/window_class.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra {

namespace {

int registerHelperClass(HINSTANCE instance) {
    const auto background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    return registerWindowClass(instance, kHelperClassName, helperWindowProc, background) != 0 ? 0 : -1;
}

HWND createHelperWindow(HINSTANCE instance) {
    return CreateWindowExA(WS_EX_CLIENTEDGE, kHelperClassName, nullptr, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, nullptr);
}

}  // namespace

LRESULT CALLBACK helperWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_COPYDATA:
            if (lParam != 0) {
                onCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
            }
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

int runMainLoop(HWND controller) {
    std::int32_t lastLivenessCheck = 0;
    MSG message{};
    for (;;) {
        if (elapsedSince(lastLivenessCheck) > kLivenessPeriodMs) {
            if (!IsWindow(controller)) {
                return kExitControllerGone;
            }
            if (activeList.empty()) {
                MagUninitialize();
                return kExitNothingTracked;
            }
            lastLivenessCheck = nowMs();
        }
        // Sent messages, the controller's requests among them, reach the
        // window procedure inside the peek. Posted messages are dropped. A
        // window of this process that needs painting (a shown overlay) would
        // keep returning WM_PAINT and end every wait at once: it paints
        // itself by other means, so its update region is simply validated.
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) && message.message == WM_PAINT) {
            ValidateRect(message.hwnd, nullptr);
        }
        if (!schedulerStep()) {
            MagUninitialize();
            return kExitNothingTracked;
        }
        paceAfterTurn(lastLivenessCheck);
    }
}

int helperMain(HINSTANCE instance, const char* commandLine) {
    // The clock counts from here: this is where the process begins its work.
    resetClockOrigin();
    SetProcessDPIAware();
    sharedWindowProc = helperWindowProc;

    if (registerHelperClass(instance) != 0) {
        return kExitClassNotRegistered;
    }
    HWND window = createHelperWindow(instance);
    if (window == nullptr) {
        return kExitWindowNotCreated;
    }
    helperWindow = window;

    // A handle that names no window ends the process before Magnification is
    // touched.
    HWND controller = readHandle(commandLine != nullptr ? commandLine : "").value_or(nullptr);
    if (controller == nullptr || !IsWindow(controller)) {
        return kExitNotAnnounced;
    }
    // The announcement is the last step of start-up: a controller may send
    // its first command from its handler of it, and that command must find
    // Magnification initialised and the overlay class registered.
    initialiseTracking(instance);
    commandHandler = handleCommand;
    if (sendRequest(controller, formatHandle(window)) != 0) {
        MagUninitialize();
        return kExitNotAnnounced;
    }
    return runMainLoop(controller);
}

void resetProcessState() {
    resetChannelState();
    resetSurfacesState();
    resetTrackingState();
    resetSchedulerState();
    resetPacingState();
    resetClockOrigin();
    resetAnalysisState();
    resetPixelPassState();
    resetRecolourState();
    resetBackdropState();
}

}  // namespace kestra
