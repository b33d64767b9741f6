# Builds GoogleTest and GoogleMock from the sources of Debian's googletest package, for
# toolchains with no prebuilt copy (Debian ships none for mingw-w64), and names the targets as
# find_package(GTest) does: GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main.
include_guard(GLOBAL)

set(ORLITH_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build when no prebuilt GoogleTest fits the toolchain")

function(orlith_add_googletest_from_source)
  if(NOT EXISTS "${ORLITH_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest sources in ${ORLITH_GOOGLETEST_SOURCE_DIR}: "
                        "install Debian's googletest package")
  endif()
  set(BUILD_GMOCK ON)
  set(INSTALL_GTEST OFF)
  # Our warnings-as-errors is for our code; a newer compiler warning inside GoogleTest must not
  # break the build. The directory's options are put back right after.
  get_directory_property(saved_options COMPILE_OPTIONS)
  set(third_party_options ${saved_options})
  list(FILTER third_party_options EXCLUDE REGEX "^-Werror")
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${third_party_options}")
  # SYSTEM: its headers are included with -isystem, so they raise no warnings in our tests.
  add_subdirectory("${ORLITH_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
                   EXCLUDE_FROM_ALL SYSTEM)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${saved_options}")
  # This GoogleTest names them itself; older copies did not.
  foreach(name IN ITEMS gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${name})
      add_library(GTest::${name} ALIAS ${name})
    endif()
  endforeach()
endfunction()
