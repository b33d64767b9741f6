# The Windows game as a sub-build of a Linux build: cross-compiled with mingw-w64 into
# <build>/windows and tested there under Wine, against this build's own orlith and
# orlith-server. Plain `ctest` of the Linux build then runs the Windows tests too (one entry,
# "windows"), so a fault in the Win32 or Direct3D 11 code fails it like any other.
#   ORLITH_WINDOWS_BUILD=AUTO  when the cross compiler, Wine and the X tools are installed
#   ORLITH_WINDOWS_BUILD=ON    always; missing tools are an error
#   ORLITH_WINDOWS_BUILD=OFF   never
include_guard(GLOBAL)

set(_orlith_win_wanted ${ORLITH_WINDOWS_BUILD})
set(_orlith_win_why "")
if(CMAKE_CROSSCOMPILING OR WIN32)
  set(_orlith_win_wanted OFF)  # this is the Windows build, or another cross build
elseif(NOT BUILD_TESTING OR NOT ORLITH_BUILD_GAME OR NOT ORLITH_BUILD_SERVER)
  set(_orlith_win_why "it is tested against this build's game and server, with tests on")
elseif(ORLITH_SANITIZE OR ORLITH_TSAN OR ORLITH_FUZZ)
  set(_orlith_win_why "sanitizers do not reach into Wine")
else()
  # What the cross build, its tests and their X server need.
  foreach(tool x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres wine wineserver Xvfb xdotool convert
               compare iconv timeout flock)
    string(MAKE_C_IDENTIFIER "ORLITH_TOOL_${tool}" var)
    find_program(${var} ${tool})
    if(NOT ${var})
      string(APPEND _orlith_win_why " ${tool}")
    endif()
  endforeach()
  if(NOT EXISTS /usr/src/googletest/CMakeLists.txt)
    string(APPEND _orlith_win_why " /usr/src/googletest")
  endif()
  if(_orlith_win_why)
    set(_orlith_win_why "missing:${_orlith_win_why} (scripts/install-windows-deps.sh installs them)")
  endif()
endif()

if(_orlith_win_wanted STREQUAL "OFF")
  return()
elseif(_orlith_win_why)
  if(_orlith_win_wanted STREQUAL "ON")
    message(FATAL_ERROR "ORLITH_WINDOWS_BUILD=ON, but no Windows build: ${_orlith_win_why}")
  endif()
  message(STATUS "Windows build skipped: ${_orlith_win_why}")
  return()
endif()
message(STATUS "Windows build: cross-compiled in ${CMAKE_BINARY_DIR}/windows, tested under Wine by ctest")

include(ExternalProject)
# BUILD_ALWAYS: the sub-build's own make decides what an edit needs, so a changed Win32 source
# is rebuilt on every build of this one.
ExternalProject_Add(orlith_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows
  PREFIX ${CMAKE_BINARY_DIR}/windows-ep
  CMAKE_ARGS --toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
             -DCMAKE_BUILD_TYPE=Release
             -DORLITH_WERROR=${ORLITH_WERROR}
             -DORLITH_BUILD_SERVER=OFF
             -DORLITH_LINUX_GAME=$<TARGET_FILE:orlith>
             -DORLITH_LINUX_SERVER=$<TARGET_FILE:orlith-server>
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  DEPENDS orlith orlith-server
  USES_TERMINAL_BUILD ON)

# The Windows tests share one Wine prefix and one X server per game run: two at a time is what
# two cores hold, and nothing else beside them (Wine starved of the cores misses the worker
# tests' bounds).
add_test(NAME windows
         COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/windows --output-on-failure
                 --parallel 2 --timeout 900)
set_tests_properties(windows PROPERTIES TIMEOUT 3600 LABELS wine RUN_SERIAL TRUE)
