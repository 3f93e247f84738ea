// Process entry of the helper.
//
// On Windows the controller starts kestra-helper.exe with the handle of its
// message window on the command line; WinMain hands the instance and the
// command line to the helper's entry and returns its exit code.
//
// Elsewhere there is no controller to start the helper, so this program runs
// a short demonstration on the simulated desktop: a controller window starts
// the real entry with its handle, switches the dark effect on for a document
// window, switches it off again after two seconds, and the helper ends with 0
// once nothing is tracked any more.
#include "host/helper_main.h"

#ifdef _WIN32

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR commandLine, int /*showCommand*/) {
    return kestra::helperMain(instance, commandLine);
}

#else

#include <cstdio>
#include <string>

#include "channel/framing.h"
#include "platform/sim/desktop.h"

namespace {

std::string request(HWND sender, int command, const std::string& payload, int requestId) {
    return kestra::formatRequestFrame(sender, command, payload, requestId);
}

// The helper window's handle as announced: the first field of the first frame.
HWND announcedHelper(const sim::Controller& controller) {
    if (controller.received().empty()) {
        return nullptr;
    }
    return kestra::readHandle(controller.received().front().bytes).value_or(nullptr);
}

}  // namespace

int main() {
    sim::Desktop desk;
    sim::App& editor = desk.app("editor");
    sim::WindowOptions documentOptions;
    documentOptions.rect = {200, 150, 1000, 750};
    documentOptions.title = "document";
    documentOptions.content = sim::Content::solid(sim::bgra(245, 245, 240));
    HWND document = editor.createWindow(documentOptions);
    sim::Controller controller(desk);

    desk.at(100, [&] {
        controller.send(announcedHelper(controller),
                        request(controller.hwnd(), 1, kestra::formatHandle(document) + "|1", 1));
    });
    desk.at(2100, [&] {
        controller.send(announcedHelper(controller),
                        request(controller.hwnd(), 1, kestra::formatHandle(document) + "|0", 2));
    });

    kestra::resetProcessState();
    const std::string commandLine = kestra::formatHandle(controller.hwnd());
    const int exitCode = kestra::helperMain(nullptr, commandLine.c_str());

    std::printf("helper ended with %d after %lld ms of simulated time; %zu frames reached the controller\n",
                exitCode, static_cast<long long>(desk.now()), controller.received().size());
    for (const sim::ReceivedFrame& frame : controller.received()) {
        std::printf("  at %6lld ms: %s\n", static_cast<long long>(frame.atMs), frame.bytes.c_str());
    }
    return exitCode == 0 ? 0 : 1;
}

#endif
