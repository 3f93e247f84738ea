// Registration of the helper's window classes (the hidden helper window and
// the overlays), which differ only in name, window procedure and background.
#pragma once

#include "platform/win32.h"

namespace kestra {

// Registers `className` for `instance` with no class style or extra bytes, the
// application icon and the arrow cursor. Returns RegisterClassExA's atom, 0
// when it fails; the caller still owns `background` then.
inline ATOM registerWindowClass(HINSTANCE instance, LPCSTR className, WNDPROC procedure, HBRUSH background) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = 0;
    windowClass.lpfnWndProc = procedure;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background;
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = className;
    windowClass.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    return RegisterClassExA(&windowClass);
}

}  // namespace kestra
