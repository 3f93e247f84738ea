// Set-up for the platform contract tests. The tests themselves use only the
// Win32 functions of platform/win32.h, so that the same sources can run
// against another Win32 implementation; this file is the one part that knows
// which implementation runs them. Here: a fresh simulated desktop per test,
// 1920 x 1080, one monitor.
#pragma once

#include <memory>

#include "platform/sim/desktop.h"
#include "platform/win32.h"

namespace contract {

class Environment {
  public:
    Environment() : desk_(std::make_unique<sim::Desktop>(sim::DesktopOptions{})) {}

  private:
    std::unique_ptr<sim::Desktop> desk_;
};

}  // namespace contract
