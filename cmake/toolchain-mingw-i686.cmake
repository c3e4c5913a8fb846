# Cross-compiles for 32-bit Windows with the win32 thread model: the posix model links
# winpthreads, which imports functions that Windows XP lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(_mingw i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-win32)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-win32)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# The libraries that scripts/setup builds for this target live in a cache outside the tree.
if(DEFINED ENV{DOWNLOADER_DEPS} AND NOT "$ENV{DOWNLOADER_DEPS}" STREQUAL "")
  set(DOWNLOADER_DEPS "$ENV{DOWNLOADER_DEPS}")
else()
  set(DOWNLOADER_DEPS "$ENV{HOME}/.cache/downloader-deps")
endif()

set(CMAKE_FIND_ROOT_PATH
    /usr/${_mingw}
    ${DOWNLOADER_DEPS}/curl-i686
    ${DOWNLOADER_DEPS}/sodium-i686
    ${DOWNLOADER_DEPS}/gtest-i686)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables (and gtest_discover_tests at build time) run under Wine.
get_filename_component(_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_repo}/scripts/wine-run")
