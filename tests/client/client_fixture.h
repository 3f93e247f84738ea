// A simulated desktop on which CreateProcessA("...\\kestra-helper.exe")
// starts the real helper entry (as a fresh process: its state reset), a
// light document window to use as target, and a Client that records every
// frame it sends and receives.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/helper_main.h"
#include "kestra/client.h"
#include "platform/sim/desktop.h"
#include "platform/sim/programs.h"

namespace clienttest {

inline constexpr const char* kHelperPath = "C:\\Program Files\\Kestra\\kestra-helper.exe";

struct TracedFrame {
    kestra::FrameDirection direction;
    std::string bytes;
};

inline int realHelperEntry(const char* commandLine) {
    kestra::resetProcessState();
    return kestra::helperMain(nullptr, commandLine);
}

class ClientOnDesktop : public ::testing::Test {
  protected:
    ClientOnDesktop() {
        sim::registerProgram("kestra-helper.exe", realHelperEntry);
        sim::WindowOptions options;
        options.rect = {60, 40, 260, 190};
        options.title = "document";
        options.content = sim::Content::solid(sim::bgra(245, 245, 240));
        target = desk.app("editor").createWindow(options);
        client.setTrace([this](kestra::FrameDirection direction, std::string_view bytes) {
            frames.push_back(TracedFrame{direction, std::string(bytes)});
        });
    }
    ~ClientOnDesktop() override { sim::unregisterPrograms(); }

    // Starts the helper and checks that it announced itself.
    HWND startHelper() {
        kestra::Result<HWND> started = client.start(kHelperPath);
        EXPECT_TRUE(started.ok()) << started.error().message;
        return started.ok() ? *started : nullptr;
    }

    static sim::DesktopOptions smallScreen() {
        sim::DesktopOptions options;
        options.width = 320;
        options.height = 240;
        return options;
    }

    std::vector<std::string> sentFrames() const { return framesOf(kestra::FrameDirection::Sent); }
    std::vector<std::string> receivedFrames() const { return framesOf(kestra::FrameDirection::Received); }

    // Windows of the helper process (its window, overlays, capture hosts).
    int helperProcessWindows() const {
        int count = 0;
        for (HWND w : desk.helperWindows()) {
            count += w != client.window() ? 1 : 0;
        }
        return count;
    }

    // A small screen keeps the helper's frames cheap: these tests are about
    // the protocol, not the pixels.
    sim::Desktop desk{smallScreen()};
    HWND target = nullptr;
    std::vector<TracedFrame> frames;
    kestra::Client client;  // after desk: ends its helper before the desktop goes

  private:
    std::vector<std::string> framesOf(kestra::FrameDirection direction) const {
        std::vector<std::string> out;
        for (const TracedFrame& f : frames) {
            if (f.direction == direction) {
                out.push_back(f.bytes);
            }
        }
        return out;
    }
};

}  // namespace clienttest
