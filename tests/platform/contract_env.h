// Set-up for the platform contract tests. The tests themselves use only the
// Win32 functions of platform/win32.h, so that the same sources can run
// against another Win32 implementation; this file is the one part that knows
// which implementation runs them. Here: a fresh simulated desktop per test,
// 1920 x 1080, one monitor, and a controller application for messages that
// come from another process.
#pragma once

#include <memory>
#include <string>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace contract {

class Environment {
  public:
    Environment()
        : desk_(std::make_unique<sim::Desktop>(sim::DesktopOptions{})),
          sender_(std::make_unique<sim::Controller>(*desk_, "sender")) {}

    // Has another process send WM_COPYDATA (dwData 7, the bytes "hello") to
    // `to` with SendMessageA about delayMs from now. False when it cannot.
    bool sendCopyDataLater(HWND to, DWORD delayMs) {
        sim::Controller* sender = sender_.get();
        desk_->after(delayMs, [sender, to] { sender->send(to, "hello", 7); });
        return true;
    }

  private:
    std::unique_ptr<sim::Desktop> desk_;
    std::unique_ptr<sim::Controller> sender_;
};

}  // namespace contract
