// The Magnification API functions the helper calls, for SDK headers that
// declare only its records (mingw-w64's magnification.h). Included by
// platform/win32.h right after <magnification.h>. The declarations repeat the
// Windows SDK's exactly (C linkage, WINAPI), so the definitions in
// magnification_api.cpp satisfy calls compiled against either header.
#pragma once

// The Windows SDK's header defines WC_MAGNIFIERA together with the function
// declarations; mingw-w64's defines neither.
#ifndef WC_MAGNIFIERA

#ifdef __cplusplus
extern "C" {
#endif

typedef BOOL(CALLBACK* MagImageScalingCallback)(HWND hwnd, void* srcdata, MAGIMAGEHEADER srcheader,
                                                void* destdata, MAGIMAGEHEADER destheader, RECT unclipped,
                                                RECT clipped, HRGN dirty);

BOOL WINAPI MagInitialize(void);
BOOL WINAPI MagUninitialize(void);
BOOL WINAPI MagSetWindowSource(HWND hwnd, RECT rect);
BOOL WINAPI MagSetWindowFilterList(HWND hwnd, DWORD dwFilterMode, int count, HWND* pHWND);
BOOL WINAPI MagSetImageScalingCallback(HWND hwnd, MagImageScalingCallback callback);

#ifdef __cplusplus
}
#endif

#endif  // WC_MAGNIFIERA
