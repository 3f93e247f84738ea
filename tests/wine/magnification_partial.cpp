// A Magnification.dll that exports MagInitialize alone: the run-time binding
// must treat it as no Magnification API at all.
#include <windows.h>

extern "C" BOOL WINAPI MagInitialize(void) {
    return TRUE;
}
