// Run-time binding of the Magnification API. Magnification.dll is loaded on
// first use (LoadLibraryA, then GetProcAddress for each function, once);
// there is no import of it, so the helper also starts where the DLL is
// missing (Wine, some server installations). Then MagInitialize reports
// FALSE and every other function fails with FALSE.
#pragma once

namespace kestra {

// True when Magnification.dll was loaded and exports every function the
// helper calls. Loads it on the first call.
bool magnificationAvailable();

// Unloads the library and forgets the bound functions, so that the next call
// binds again, from libraryName when one is given (a path or a module name;
// null restores "Magnification.dll"). For tests of the binding itself.
void resetMagnificationBindingState(const char* libraryName = nullptr);

}  // namespace kestra
