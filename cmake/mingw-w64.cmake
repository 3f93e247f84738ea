# Cross build for 64-bit Windows with mingw-w64 (posix threads, for OpenMP).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One self-contained executable: no libgcc, libstdc++, libgomp or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# FindOpenMP would otherwise pick libgomp's import library (libgomp.dll.a),
# which makes the executable need libgomp-1.dll; take the static archive.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgomp.a
                OUTPUT_VARIABLE KESTRA_MINGW_LIBGOMP OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(KESTRA_MINGW_LIBGOMP AND IS_ABSOLUTE "${KESTRA_MINGW_LIBGOMP}")
  set(OpenMP_gomp_LIBRARY "${KESTRA_MINGW_LIBGOMP}" CACHE FILEPATH "static libgomp of the mingw-w64 toolchain")
endif()
