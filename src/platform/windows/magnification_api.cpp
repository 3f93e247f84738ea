// Definitions of the Magnification API functions that forward to
// Magnification.dll, bound at run time. See magnification_binding.h.
#include "platform/windows/magnification_binding.h"

#include <string>

#include "platform/win32.h"

namespace kestra {
namespace {

using InitializeFn = BOOL(WINAPI*)();
using UninitializeFn = BOOL(WINAPI*)();
using SetWindowSourceFn = BOOL(WINAPI*)(HWND, RECT);
using SetWindowFilterListFn = BOOL(WINAPI*)(HWND, DWORD, int, HWND*);
using SetImageScalingCallbackFn = BOOL(WINAPI*)(HWND, MagImageScalingCallback);

constexpr const char* kDefaultLibrary = "Magnification.dll";

struct MagnificationBinding {
    bool attempted = false;
    HMODULE library = nullptr;
    InitializeFn initialize = nullptr;
    UninitializeFn uninitialize = nullptr;
    SetWindowSourceFn setWindowSource = nullptr;
    SetWindowFilterListFn setWindowFilterList = nullptr;
    SetImageScalingCallbackFn setImageScalingCallback = nullptr;
    std::string libraryName = kDefaultLibrary;

    bool complete() const {
        return initialize != nullptr && uninitialize != nullptr && setWindowSource != nullptr &&
               setWindowFilterList != nullptr && setImageScalingCallback != nullptr;
    }
};

MagnificationBinding& binding() {
    static MagnificationBinding value;
    return value;
}

template <typename Fn>
Fn lookUp(HMODULE library, const char* name) {
    // GetProcAddress returns a generic function pointer; going through
    // void (*)() is the conversion compilers accept without complaint.
    const FARPROC proc = GetProcAddress(library, name);
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Loads the library and looks every function up, once. A library that lacks
// any of them is released again: the API is then unavailable as a whole.
MagnificationBinding& bound() {
    MagnificationBinding& b = binding();
    if (b.attempted) {
        return b;
    }
    b.attempted = true;
    b.library = LoadLibraryA(b.libraryName.c_str());
    if (b.library == nullptr) {
        return b;
    }
    b.initialize = lookUp<InitializeFn>(b.library, "MagInitialize");
    b.uninitialize = lookUp<UninitializeFn>(b.library, "MagUninitialize");
    b.setWindowSource = lookUp<SetWindowSourceFn>(b.library, "MagSetWindowSource");
    b.setWindowFilterList = lookUp<SetWindowFilterListFn>(b.library, "MagSetWindowFilterList");
    b.setImageScalingCallback = lookUp<SetImageScalingCallbackFn>(b.library, "MagSetImageScalingCallback");
    if (!b.complete()) {
        FreeLibrary(b.library);
        b = MagnificationBinding{true, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, b.libraryName};
    }
    return b;
}

}  // namespace

bool magnificationAvailable() {
    return bound().complete();
}

void resetMagnificationBindingState(const char* libraryName) {
    MagnificationBinding& b = binding();
    if (b.library != nullptr) {
        FreeLibrary(b.library);
    }
    b = MagnificationBinding{};
    if (libraryName != nullptr) {
        b.libraryName = libraryName;
    }
}

}  // namespace kestra

// The functions themselves, with the SDK's names and signatures (declared
// with C linkage by <magnification.h> or platform/windows/magnification_api.h).

BOOL WINAPI MagInitialize(void) {
    const kestra::MagnificationBinding& b = kestra::bound();
    return b.complete() ? b.initialize() : FALSE;
}

BOOL WINAPI MagUninitialize(void) {
    const kestra::MagnificationBinding& b = kestra::bound();
    return b.complete() ? b.uninitialize() : FALSE;
}

BOOL WINAPI MagSetWindowSource(HWND hwnd, RECT rect) {
    const kestra::MagnificationBinding& b = kestra::bound();
    return b.complete() ? b.setWindowSource(hwnd, rect) : FALSE;
}

BOOL WINAPI MagSetWindowFilterList(HWND hwnd, DWORD dwFilterMode, int count, HWND* pHWND) {
    const kestra::MagnificationBinding& b = kestra::bound();
    return b.complete() ? b.setWindowFilterList(hwnd, dwFilterMode, count, pHWND) : FALSE;
}

BOOL WINAPI MagSetImageScalingCallback(HWND hwnd, MagImageScalingCallback callback) {
    const kestra::MagnificationBinding& b = kestra::bound();
    return b.complete() ? b.setImageScalingCallback(hwnd, callback) : FALSE;
}
