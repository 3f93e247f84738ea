// Set-up for the platform contract tests when they run on a real Win32
// implementation (Windows, or Wine on an Xvfb display): the desktop is
// already there, so the environment has nothing to create. This header takes
// the place of tests/platform/contract_env.h in the wine_contract build.
#pragma once

#include "platform/win32.h"

namespace contract {

class Environment {
  public:
    Environment() = default;
};

}  // namespace contract
