# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# Use: cmake -S . -B build-win --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORLITH_MINGW_TRIPLE x86_64-w64-mingw32)

# The "-posix" compilers use winpthreads: g++ 12's "-win32" thread model has no std::thread,
# std::mutex or std::condition_variable, which the core uses.
set(CMAKE_C_COMPILER ${ORLITH_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORLITH_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORLITH_MINGW_TRIPLE}-windres)

# Headers, libraries and CMake packages come only from the mingw sysroot, never from the host;
# programs (the compilers, windres) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ORLITH_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY ON)
# pkg-config would otherwise report the host's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${ORLITH_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# One self-contained .exe: libstdc++, libgcc and winpthreads linked in, so nothing has to be
# copied beside the program or found on Wine's PATH.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test executables run under Wine, through the wrapper that makes and reuses a prefix with the
# font and window-manager settings. Console tests need no X server.
set(ORLITH_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH
    "Wine prefix the cross-compiled tests run in (made on first use)")
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh;--prefix;${ORLITH_WINE_PREFIX};--no-x;--timeout;300;--")
