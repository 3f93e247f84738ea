// Set-up for the platform contract tests when they run on a real Win32
// implementation (Windows, or Wine on an Xvfb display): the desktop is
// already there, so the environment has nothing to create. This header takes
// the place of tests/platform/contract_env.h in the wine_contract build.
//
// Messages from another process come from a second instance of this program
// started with "--copydata-sender <handle> <delay>": it sends, then ends
// before the test framework starts.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace contract {

// In the sender instance: waits, sends WM_COPYDATA (dwData 7, "hello") and
// ends the process. Runs at static initialisation, before main.
inline const bool copyDataSenderMode = [] {
    const char* commandLine = GetCommandLineA();
    const char* flag = commandLine != nullptr ? std::strstr(commandLine, "--copydata-sender ") : nullptr;
    if (flag == nullptr) {
        return false;
    }
    unsigned long long handle = 0;
    unsigned delay = 0;
    if (std::sscanf(flag + std::strlen("--copydata-sender "), "%llx %u", &handle, &delay) == 2) {
        Sleep(delay);
        char bytes[] = "hello";
        COPYDATASTRUCT data{7, 5, bytes};
        SendMessageA(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(handle)), WM_COPYDATA, 0,
                     reinterpret_cast<LPARAM>(&data));
    }
    ExitProcess(0);
    return true;
}();

class Environment {
  public:
    Environment() = default;
    ~Environment() {
        if (sender_.hProcess != nullptr) {
            WaitForSingleObject(sender_.hProcess, 10000);
            CloseHandle(sender_.hProcess);
            CloseHandle(sender_.hThread);
        }
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // Has another process send WM_COPYDATA (dwData 7, the bytes "hello") to
    // `to` with SendMessageA about delayMs from now (plus its start-up).
    bool sendCopyDataLater(HWND to, DWORD delayMs) {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        char arguments[96];
        std::snprintf(arguments, sizeof(arguments), " --copydata-sender %llx %lu",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(to)),
                      static_cast<unsigned long>(delayMs));
        std::string commandLine = std::string("\"") + path + "\"" + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &sender_) != 0;
    }

  private:
    PROCESS_INFORMATION sender_{};
};

}  // namespace contract
