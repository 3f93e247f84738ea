// The one include for platform calls. On Windows this is the SDK; elsewhere it
// is the simulated desktop, which declares the same names with the same
// signatures and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h must come first: the other SDK headers build on it.
// clang-format off
#include <windows.h>
#include <magnification.h>
#include <psapi.h>
// clang-format on
// The functions mingw-w64's magnification.h leaves out; bound at run time.
#include "platform/windows/magnification_api.h"
#else
#include "platform/sim/win32_api.h"
#endif
