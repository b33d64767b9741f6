# The browser game as a sub-build of a Linux build: built with Emscripten into <build>/web (the
# page, script and wasm in <build>/web/site) and tested from here in headless Chromium against
# this build's orlith-server (serving the site) and orlith (the Linux picture and players to
# compare with). Plain `ctest` of the Linux build runs them too (label "web").
#   ORLITH_WEB_BUILD=AUTO  when Emscripten, Chromium, its driver and Selenium are installed
#   ORLITH_WEB_BUILD=ON    always; missing tools are an error
#   ORLITH_WEB_BUILD=OFF   never
include_guard(GLOBAL)
set(ORLITH_WEB_BUILD AUTO CACHE STRING "Also build the browser game and run its tests in Chromium: ON, OFF or AUTO")
set_property(CACHE ORLITH_WEB_BUILD PROPERTY STRINGS AUTO ON OFF)

set(_orlith_web_wanted ${ORLITH_WEB_BUILD})
set(_orlith_web_why "")
if(CMAKE_CROSSCOMPILING OR WIN32)
  set(_orlith_web_wanted OFF)  # this is a cross build itself
elseif(NOT BUILD_TESTING OR NOT ORLITH_BUILD_GAME OR NOT ORLITH_BUILD_SERVER)
  set(_orlith_web_why "it is tested against this build's game and server, with tests on")
elseif(ORLITH_SANITIZE OR ORLITH_TSAN OR ORLITH_FUZZ)
  set(_orlith_web_why "sanitizers do not reach into the browser")
else()
  set(ORLITH_EMSCRIPTEN_TOOLCHAIN /usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
  foreach(tool emcc chromium chromedriver gzip)
    string(MAKE_C_IDENTIFIER "ORLITH_TOOL_${tool}" var)
    find_program(${var} ${tool})
    if(NOT ${var})
      string(APPEND _orlith_web_why " ${tool}")
    endif()
  endforeach()
  # Debian's Selenium is for Debian's Python, whatever python3 comes first on the PATH.
  find_program(ORLITH_WEB_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(ORLITH_WEB_PYTHON)
    execute_process(COMMAND ${ORLITH_WEB_PYTHON} -c "import selenium" RESULT_VARIABLE _orlith_selenium OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(NOT ORLITH_WEB_PYTHON OR NOT _orlith_selenium EQUAL 0)
    string(APPEND _orlith_web_why " python3-selenium")
  endif()
  if(NOT EXISTS ${ORLITH_EMSCRIPTEN_TOOLCHAIN})
    string(APPEND _orlith_web_why " ${ORLITH_EMSCRIPTEN_TOOLCHAIN}")
  endif()
  if(_orlith_web_why)
    set(_orlith_web_why "missing:${_orlith_web_why} (scripts/install-deps.sh web installs them)")
  endif()
endif()

if(_orlith_web_wanted STREQUAL "OFF")
  return()
elseif(_orlith_web_why)
  if(_orlith_web_wanted STREQUAL "ON")
    message(FATAL_ERROR "ORLITH_WEB_BUILD=ON, but no web build: ${_orlith_web_why}")
  endif()
  message(STATUS "Web build skipped: ${_orlith_web_why}")
  return()
endif()
message(STATUS "Web build: Emscripten in ${CMAKE_BINARY_DIR}/web, tested in headless Chromium by ctest")

include(ExternalProject)
# Debian's Emscripten runs its JavaScript tools with Debian's node modules.
set(_orlith_web_env ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
ExternalProject_Add(orlith_web
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/web
  PREFIX ${CMAKE_BINARY_DIR}/web-ep
  CMAKE_COMMAND ${_orlith_web_env} ${CMAKE_COMMAND}
  CMAKE_ARGS --toolchain ${ORLITH_EMSCRIPTEN_TOOLCHAIN}
             -DCMAKE_BUILD_TYPE=Release
             -DORLITH_WERROR=${ORLITH_WERROR}
             -DORLITH_BUILD_SERVER=OFF
             -DBUILD_TESTING=OFF
  BUILD_COMMAND ${_orlith_web_env} ${CMAKE_COMMAND} --build <BINARY_DIR> --target orlith
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)

# Few and strong, each a browser (two in the online one) beside the real server: one at a time.
foreach(group IN ITEMS offline online)
  add_test(NAME web_${group}
           COMMAND ${ORLITH_WEB_PYTHON} ${PROJECT_SOURCE_DIR}/tests/app/web/web_test.py ${group}
                   --site ${CMAKE_BINARY_DIR}/web/site --server $<TARGET_FILE:orlith-server> --game $<TARGET_FILE:orlith>
                   --work ${CMAKE_BINARY_DIR}/tests/web_${group})
  set_tests_properties(web_${group} PROPERTIES LABELS web TIMEOUT 600 RESOURCE_LOCK browser)
endforeach()
