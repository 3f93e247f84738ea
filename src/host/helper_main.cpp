#include "host/helper_main.h"

#include <string>

#include "analysis/frame_analyzer.h"
#include "analysis/pixel_passes.h"
#include "analysis/recolour_kernel.h"
#include "backdrop/stack_blur.h"
#include "channel/framing.h"
#include "host/command_apply.h"
#include "host/tick_scheduler.h"
#include "platform/clock.h"
#include "surfaces/overlay_layer.h"
#include "tracking/tracked_window.h"

namespace kestra {

namespace {

int registerHelperClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = 0;
    windowClass.lpfnWndProc = helperWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kHelperClassName;
    windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    return RegisterClassExA(&windowClass) != 0 ? 0 : -1;
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
        // window procedure inside the peek. Posted messages are dropped.
        PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);
        if (!schedulerStep()) {
            MagUninitialize();
            return kExitNothingTracked;
        }
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
    commandHandler = handleCommand;

    HWND controller = readHandle(commandLine != nullptr ? commandLine : "").value_or(nullptr);
    const std::string handleText = formatHandle(window);
    if (sendRequest(controller, handleText) != 0) {
        return kExitNotAnnounced;
    }

    initialiseTracking(instance);
    return runMainLoop(controller);
}

void resetProcessState() {
    resetChannelState();
    resetSurfacesState();
    resetTrackingState();
    resetSchedulerState();
    resetClockOrigin();
    resetAnalysisState();
    resetPixelPassState();
    resetRecolourState();
    resetBackdropState();
}

}  // namespace kestra
