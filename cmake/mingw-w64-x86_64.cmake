# Cross-compiling the module for 64-bit Windows on Linux with Debian's mingw-w64 (GCC, win32
# thread model): tools/build-windows.sh passes this file as CMAKE_TOOLCHAIN_FILE, with the
# headers and the import library of the official Windows CPython as Python_INCLUDE_DIR and
# Python_LIBRARY.
#
# The module is linked against mingw's msvcrt.dll while the interpreter beside it uses the
# Universal CRT of MSVC. That is harmless here: no C runtime object crosses the module boundary.
# The module talks to the interpreter only through the C API (Python objects, its allocator,
# its errors); it hands it no FILE*, file descriptor, malloc'd block or locale of its own C
# runtime, and all file and process work goes through the interpreter's modules.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(UPDATER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# GCC's own runtime goes into the module, so that it needs no libstdc++-6.dll or
# libgcc_s_seh-1.dll beside it: it then imports only KERNEL32.dll, msvcrt.dll and python313.dll.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
